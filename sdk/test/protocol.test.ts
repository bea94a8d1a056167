// The engine's protocol on raw pipes: start-up, line framing, the commands and
// the generations they make.

import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import { test } from 'node:test';
import { findEngine } from '../src/index.js';
import { type Raw, SIZES_TELL, ack, clip, cmd, load, of, raw, room, usage } from './helpers.js';

const USAGE = 'usage: vexolo-engine --max-size=WxH --frames=fd:3|null --pixels=bgrx|i420 --loglevel=N\n';
const log = (message: string) => ({ type: 'log', message });
/** The engine's refusal of a line, or of its head when too long. */
const refused = (line: string, tooLong = false) =>
  tooLong ? { ...log(`line longer than 1048576 bytes: ${line}`), code: 'lineTooLong' } : { ...log(`not a command: ${line}`), code: 'notACommand' };
/** The engine is released under the host library's version. */
const VERSION = (JSON.parse(fs.readFileSync(new URL('../../package.json', import.meta.url), 'utf8')) as { version: string }).version;

test('TheCommandLineAndTheFramePipeDecideHowItStarts', async (t) => {
  const fd3 = 'vexolo-engine: fd 3 must be the frame pipe (or --frames=null)\n';
  const readOnly = 'os.dup2(os.open("/dev/null", os.O_RDONLY), 3)';
  const cases: [string[], string | null, number, string][] = [
    [['--bogus'], null, 2, 'vexolo-engine: --bogus\n'],
    [['positional'], null, 2, 'vexolo-engine: positional\n'],
    [['--frames=fd:4'], null, 2, 'vexolo-engine: --frames=fd:4\n'],
    [['--max-size'], null, 2, 'vexolo-engine: --max-size\n'],
    [['--max-size=1x720'], null, 2, 'vexolo-engine: bad --max-size\n'],
    [['--max-size=1280x1'], null, 2, 'vexolo-engine: bad --max-size\n'],
    [['--max-size=1280'], null, 2, 'vexolo-engine: bad --max-size\n'],
    [['--max-size=640x480', '--bogus'], null, 2, 'vexolo-engine: --bogus\n'],
    [['--pixels=I420'], null, 2, 'vexolo-engine: bad --pixels\n'],
    [['--pixels='], null, 2, 'vexolo-engine: bad --pixels\n'],
    [['--pixels'], null, 2, 'vexolo-engine: --pixels\n'],
    [[], 'os.close(3)', 2, fd3],
    [[], 'os.dup2(os.pipe()[0], 3)', 2, fd3],
    [['--frames=null', '--frames=fd:3'], readOnly, 2, fd3],
    [['--frames=fd:3', '--frames=null'], readOnly, 0, ''],
    [['--max-size=1280x720 and more', '--loglevel=abc'], null, 0, ''],
    [['--max-size=2x2', '--loglevel=-7', '--loglevel=99999999999'], null, 0, ''],
    [['--pixels=i420', '--pixels=bgrx'], null, 0, ''],
  ];
  for (const [args, setup, code, stderr] of cases) {
    const h = await raw(t, { args, setup: setup ?? '', ready: false });
    if (code === 0) {
      const ready = await h.wait(() => true);
      assert.match(ready.version, /^3\.0\.\d+/);
      assert.deepEqual(ready, { type: 'ready', version: ready.version, engine: VERSION });
      assert.deepEqual(await h.command(cmd(1, 'quit'), 1), ack(1, true));
    }
    assert.deepEqual([await h.exit, h.stderr(), h.events.length > 0], [code, code ? stderr + USAGE : '', code === 0], args.join(' '));
  }
  // --version asks for no frame pipe; it answers where it stands among the options.
  const versions: [string[], number, string][] = [
    [['--version'], 0, ''],
    [['--frames=null', '--max-size=640x480', '--version', '--bogus'], 0, ''],
    [['--bogus', '--version'], 2, 'vexolo-engine: --bogus\n'],
    [['--version=1'], 2, 'vexolo-engine: --version=1\n'],
  ];
  for (const [args, code, said] of versions) {
    const run = spawnSync(findEngine(), args, { encoding: 'utf8', timeout: 10000, stdio: ['ignore', 'pipe', 'pipe'] });
    const line = new RegExp(`^vexolo-engine ${VERSION.replaceAll('.', '\\.')} \\(libvlc 3\\.0\\.\\d+ [^\n]*\\)\\n$`);
    if (code === 0) assert.deepEqual([run.status, run.stderr, line.test(run.stdout)], [0, '', true], run.stdout);
    else assert.deepEqual([run.status, run.stdout, run.stderr], [code, '', said + USAGE], args.join(' '));
  }
});

test('EveryLineIsAnsweredInOrderAndQuitEndsThem', async (t) => {
  const h = await raw(t, { ready: false });
  // Before the ready line: answered after it, in order; empty lines say nothing.
  h.send(['', '', cmd(1, 'nosuch'), cmd(2, 'Quit'), cmd(3, 'LOAD'), cmd(4, ''), cmd(5, 'quit ')].join('\n'));
  await h.wait((e) => e.id === 5);
  assert.deepEqual(h.events.slice(1), [1, 2, 3, 4, 5].map((id) => ack(id, false)));
  const idle = usage(h.child.pid!).kb;
  const same = (line: string) => [line, refused(line)] as const;
  const fffd = '\ufffd';
  const big = '{"id":5,"cmd":"nosuch","pad":"';
  const MiB = 1 << 20;
  const id = (text: string, value: string) => [`{"cmd":"x","id":${text}}`, `{"type":"ack","id":${value},"ok":false}`] as const;
  const cases: (readonly [string | Buffer, object | string])[] = [
    same('{"id":1.5,"cmd":"stop"}'), same('{"id":"1","cmd":"stop"}'), same('{"id":1,"cmd":5}'), same('{"cmd":"stop"}'),
    same('{}'), same('\r'), same('stop'), same('{"id":1,"cmd":"stop"} x'), same('{"id":1,"cmd":"stop",}'),
    same('{"id":1,"cmd":"st\\u00"}'), same('\x01\x1f\t"\\'), same('snow \u2603'),
    // a NUL byte makes the line no command, and shows in the echo
    same('{"id":4,"cmd":"volume","level":10}\0junk'), same('\0'),
    // bytes that are not UTF-8 come back as U+FFFD; the cut at capacity never splits a character
    [Buffer.from('caf\xe9 \xff\xfe \xed\xa0\x80', 'latin1'), refused(`caf${fffd} ${fffd}${fffd} ${fffd}${fffd}${fffd}`)],
    [Buffer.from([0xc3]), refused(fffd)],
    [`${'a'.repeat(290)}${'\u2603'.repeat(10)}`, refused(`${'a'.repeat(290)}\u2603`)],
    ['"'.repeat(1000), refused(`${'"'.repeat(146)}`)],
    // ids are signed 64-bit, clamped beyond
    id('-9223372036854775808', '-9223372036854775808'), id('1e19', '9223372036854775807'),
    id('-1e19', '-9223372036854775808'), id('9007199254740993', '9007199254740992'), id('0x10', '16'), id('1e3', '1000'),
    // lines are whole up to 1 MiB, and cut short beyond without being held
    [`${big}${'x'.repeat(MiB - big.length - 2)}"}`, ack(5, false)],
    ['x'.repeat(MiB), refused(`${'x'.repeat(292)}`)],
    [`${big}${'x'.repeat(MiB)}"}`, refused(`${big}${'x'.repeat(253)}`, true)],
    [Buffer.alloc(64 * MiB), refused(`${'\0'.repeat(49)}`, true)],
  ];
  for (const [line, answer] of cases) {
    h.child.stdin!.write(Buffer.concat([Buffer.from(line as string), Buffer.from('\n')]));
    const got = await h.wait((e) => e.type === 'ack' || e.type === 'log');
    assert.deepEqual(typeof answer === 'string' ? h.lines[h.events.indexOf(got)] : got, answer, String(line).slice(0, 60));
  }
  assert.ok(!SIZES_TELL || usage(h.child.pid!).kb - idle < 16384, 'the long lines left memory behind');
  // Lines behind quit in the same write are never handled.
  const seen = h.events.length;
  h.send(`${cmd(-3, 'quit')}\n${cmd(4, 'nosuch')}\nnot json`);
  assert.deepEqual([await h.exit, h.events.slice(seen)], [0, [ack(-3, true)]]);
});


/** Loads a clip: its ack comes before every event of its generation, while the old player may still report. */
async function loaded(h: Raw, id: number, name: string, fields: object = {}): Promise<number> {
  h.send(load(id, clip(name), fields));
  const first = await h.wait((e) => e.type === 'ack' || e.type === 'opening');
  assert.equal(first.type, 'ack');
  return first.ok ? first.generation : -1;
}
/** The first event of a type from index `from` on, waited for if not yet there. */
const seen = (h: Raw, type: string, from: number) =>
  h.events.slice(from).find((e) => e.type === type) ?? h.wait((e) => e.type === type);

test('APlayerLivesThroughItsCommandsAndEachPlayerHasItsGeneration', async (t) => {
  const h = await raw(t);
  const url = clip('clip.mp4');
  // Without media, stop makes no player and the rest is refused; sound settings
  // are checked and kept for the players to come.
  const bare: [string, object, boolean][] = [
    ['stop', {}, true], ['stop', {}, true], ['play', {}, false], ['pause', {}, false], ['seek', { ms: 1000 }, false],
    ['seek', { pos: 0.5 }, false], ['audio', { track: 1 }, false], ['spu', { track: -1 }, false], ['audio', {}, false],
    ['volume', { level: 0 }, true], ['volume', { level: 100 }, true], ['volume', { level: 101 }, false],
    ['volume', { level: -1 }, false], ['volume', { level: 50.5 }, false], ['volume', { level: '50' }, false],
    ['volume', {}, false], ['mute', { value: true }, true], ['mute', { value: false }, true], ['mute', { value: 1 }, false],
    ['mute', {}, false], ['audioDelay', { ms: -200 }, true], ['audioDelay', { ms: 2147483647 }, false],
    ['audioDelay', { ms: 3600000 }, true], ['audioDelay', { ms: -3600000 }, true], ['audioDelay', { ms: 3600001 }, false],
    ['audioDelay', { ms: -3600001 }, false], // at most an hour either way
    ['audioDelay', { ms: 1.5 }, false], ['audioDelay', { ms: null }, false], ['audioDelay', {}, false],
    ['audioDelay', { ms: 0 }, true], // or the sound would never end
  ];
  for (const [name, fields, ok] of bare) assert.deepEqual(await h.command(cmd(9, name, fields), 9), ack(9, ok), `${name} ${JSON.stringify(fields)}`);
  h.send('{"id":9,"cmd":"volume","level":50.0}'); // a whole number written as a fraction
  assert.deepEqual(await h.wait((e) => e.type === 'ack'), ack(9, true));

  // Paused from a later start, played to its end: length, throttled time, end.
  assert.equal(await loaded(h, 10, 'clip.mp4', { paused: true, startMs: 1500 }), 1, 'the stops made no generation');
  const start = h.events.length;
  await h.wait((e) => e.type === 'paused');
  let from = h.events.length;
  assert.deepEqual(await h.command(cmd(11, 'play'), 11), ack(11, true));
  await seen(h, 'playing', from); // told from within the call: maybe before the ack
  const end = await h.wait((e) => e.type === 'end');
  assert.ok(Math.abs((await seen(h, 'length', start)).ms - 3000) <= 100);
  const times = of(h, 'time', start).map((e) => e.ms as number);
  assert.ok(times.length >= 2 && times[0]! >= 1300 && times.every((ms, i) => i === 0 || ms >= times[i - 1]! + 250), `${times}`);
  // After the end a stop tells stopped once; a stop while playing acks, then
  // tells it, and nothing of the player follows; a stop of nothing says nothing.
  from = h.events.indexOf(end);
  assert.deepEqual(await h.command(cmd(12, 'stop'), 12), ack(12, true));
  assert.equal(await loaded(h, 13, 'clip.mp4'), 3);
  assert.equal(of(h, 'stopped', from).length, 1);
  await h.wait((e) => e.type === 'playing');
  assert.deepEqual(await h.command(cmd(14, 'stop'), 14), ack(14, true));
  assert.deepEqual(await h.wait(() => true), { type: 'stopped' });
  assert.deepEqual(await h.command(cmd(15, 'stop'), 15), ack(15, true));
  assert.deepEqual(await h.command(cmd(16, 'pause'), 16), ack(16, false));
  from = h.events.length;
  await room(300);
  assert.deepEqual(h.events.slice(from), []);

  // Paused and played again; refused loads change nothing and use no generation.
  assert.equal(await loaded(h, 20, 'clip.mp4'), 5);
  await h.wait((e) => e.type === 'playing');
  for (const [name, event] of [['pause', 'paused'], ['play', 'playing']]) {
    from = h.events.length;
    assert.deepEqual(await h.command(cmd(20, name!), 20), ack(20, true));
    await seen(h, event!, from);
  }
  const refused = [{ url }, { url: '', live: false }, { url: 5, live: false }, { live: false }, { url, live: 'false' },
    { startPos: 1.5 }, { startPos: -0.1 }, { startMs: -1 }, { startMs: '5' }, { paused: 1 }, { paused: null },
    { audio: 1.5 }, { audio: '1' }, { spu: 2147483648 }, { spu: -2147483648 }, { timeoutMs: -1 }, { timeoutMs: 0.5 },
    { timeoutMs: '5000' }];
  from = h.events.length;
  for (const fields of refused) {
    const line = 'live' in fields || 'url' in fields ? cmd(2, 'load', fields) : load(2, url, fields);
    assert.deepEqual(await h.command(line, 2), ack(2, false), line);
  }
  await seen(h, 'time', from); // still playing: a busy machine may reach the end while the refusals go on
  assert.deepEqual(await h.command(cmd(21, 'audio', { track: '1' }), 21), ack(21, false));
  assert.equal(await loaded(h, 23, 'clip.mp4', { startPos: 1, startMs: 0, paused: false, audio: -5, spu: -1, timeoutMs: 0 }), 6);
});

// Lines written at once. A load that the next line certainly retires (a valid
// load, stop or quit) still uses its generation but is never heard of again:
// no event, no frame. Any other next line leaves it playing.
test('ALoadRetiredByTheNextQueuedLineIsNeverHeardOf', async (t) => {
  const h = await raw(t);
  const [red, blue] = [clip('frames-red.mp4'), clip('frames-blue.mp4')];
  const batches: [string[], (number | boolean)[], number][] = [
    [[load(1, red), load(2, red), cmd(3, 'stop'), cmd(4, 'stop'), load(5, blue)], [1, 2, true, true, 4], 4],
    [[load(6, red), cmd(7, 'load', { url: 'x' })], [5, false], 5],
    [[load(8, blue), cmd(9, 'nosuch')], [6, false], 6],
    [[load(10, red), cmd(11, 'quit')], [7, true], 0],
  ];
  let id = 1;
  for (const [lines, acks, plays] of batches) {
    h.send(lines.join('\n'));
    for (const want of acks) {
      const a = await h.wait((e) => e.type === 'ack' && e.id === id);
      assert.deepEqual([a.ok, a.generation], [want !== false, typeof want === 'number' ? want : undefined], `ack ${id++}`);
    }
    if (plays) {
      await h.wait((e) => e.type === 'end');
      assert.equal(h.frames.at(-1)?.generation, plays);
    }
  }
  assert.equal(await h.exit, 0);
  // Between the acks of the two stops, and of the second stop and the load after:
  // the first stop tells stopped, the second has nothing to stop.
  const at = (n: number) => h.events.findIndex((e) => e.type === 'ack' && e.id === n);
  assert.deepEqual([of(h, 'stopped').filter((e) => h.events.indexOf(e) > at(3) && h.events.indexOf(e) < at(4)).length,
    h.events.slice(at(4), at(5)).filter((e) => e.type === 'stopped').length], [1, 0]);
  assert.deepEqual(h.frames.filter((f) => f.generation < 4 || f.generation > 6), []);
});
