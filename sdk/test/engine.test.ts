// The library against the real engine and against scripted stand-ins: start,
// commands and their acks, argument checks, the snapshot, media errors,
// protocol faults, supervision of the process, and frames: headers checked for
// their layout, the latest one for a slow consumer, nothing of a replaced load,
// parsing across a change of size, in BGRX and in I420.

import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { headerProblem } from '../src/frames.js';
import { Engine, FRAME_HEADER, FRAME_LANDED, MediaError, type PixelFormat, findEngine } from '../src/index.js';
import { MEDIA, SLOWDOWN, clip, colourAt, fakeEngine, poll, quietEnv, serve, startEngine, until } from './helpers.js';

test('OneEngineAnswersCommandsLoadsAndMediaErrors', async (t) => {
  const server = await serve(t);
  const { engine, faults } = await startEngine(t);
  assert.match(engine.version, /^3\.0\.\d+/);

  // One row per kind of check; none of them reaches the engine.
  const url = clip('clip.mp4');
  const refusedArgs: [string, () => Promise<unknown>][] = [
    ['load', () => engine.load('')],
    ['load', () => engine.load(`${url}\0.txt`)], // would load a shorter URL
    ['load', () => engine.load(`${url}\ud800`)], // a lone surrogate
    ['load', () => engine.load(url, { paused: 1 as unknown as boolean })],
    ['load', () => engine.load(url, { timeoutMs: -1 })],
    ['volume', () => engine.volume(101)],
    ['volume', () => engine.volume(50.5)],
    ['audio', () => engine.audio(2 ** 31)],
    ['audioDelay', () => engine.audioDelay(-3600001)],
    ['spu', () => engine.spu(Number.POSITIVE_INFINITY)],
    ['seek', () => engine.seekAndWait({ ms: -1 })],
    ['seek', () => engine.seek({} as { ms: number })],
    ['seek', () => engine.seek({ ms: 1, pos: 0.5 } as unknown as { ms: number })],
  ];
  for (const [command, call] of refusedArgs) {
    await assert.rejects(call(), { name: 'EngineError', code: 'badArgument', command }, String(call));
  }

  // Sent together, answered one by one: each promise gets its own ack.
  const acks = await Promise.allSettled([engine.play(), engine.volume(40), engine.mute(true),
    engine.audioDelay(-50), engine.stop(), engine.load(clip('seek-clock.mp4'))]);
  assert.deepEqual(acks.map((a) => (a.status === 'rejected' ? `${a.reason.name} ${a.reason.code} ${a.reason.command}` : a.value)),
    ['EngineError refused play', undefined, undefined, undefined, undefined, 1]);

  // A seek lands at least half way to its target; the snapshot holds the media.
  // A seek by time needs both; tracks are told once the streams settled.
  await until(engine, 'length, format and tracks', (s) => s.seekable && s.lengthMs > 0 && s.format !== null && s.tracks !== null);
  const landing = await engine.seekAndWait({ ms: 2000 });
  assert.ok(!landing.ended && landing.landedMs >= 1000, `${landing.landedMs}`);
  const s = engine.state;
  assert.deepEqual([s.generation, s.lengthMs, s.seekable, s.landedMs, s.tracks?.video.length], [1, 10000, true, landing.landedMs, 1]);
  assert.deepEqual(s.format, { width: 320, height: 240, sar: 1 });

  // A second load starts the snapshot afresh; a stop of loaded media moves on, a second stop does not.
  const second = await engine.loadFirstFrame(clip('frames-red.mp4'));
  assert.deepEqual([second.generation, second.frame.generation, engine.state.generation, engine.state.landedMs], [2, 2, 2, null]);
  await engine.stop();
  await engine.stop();
  assert.equal(engine.state.generation, 3);

  // Media errors carry their problem and codec, and stay in the snapshot until the next load.
  const errors: [string, string, string | null][] = [
    ['file:///nonexistent/clip.mp4', 'notFound', null],
    [server.url('/403/clip.mp4'), 'accessDenied', null],
    [clip('undecodable-video.avi'), 'undecodableVideo', 'ZZ9'],
  ];
  for (const [url, problem, codec] of errors) {
    const err = await engine.loadFirstFrame(url).then(() => assert.fail(`${url} showed a frame`), (e: MediaError) => e);
    assert.deepEqual([err instanceof MediaError, err.problem, err.codec?.trim() ?? null, engine.state.lastError],
      [true, problem, codec, err], `${url}: ${err}`);
  }
  // Sound without pictures is no error: the load just ends without a frame.
  await assert.rejects(engine.loadFirstFrame(clip('short-tone.m4a')), { code: 'ended' });
  // Every load's generation came from the engine, which counted the stop of loaded media only.
  assert.deepEqual([engine.state.lastError, engine.state.generation], [null, 3 + errors.length + 1]);
  assert.deepEqual(await engine.quit(), { code: 0, signal: null, expected: true });
  assert.deepEqual(faults, []);
});

test('StartFailsClearly', async (t) => {
  // The engine alone, without its display module beside it: it never guesses without it.
  const alone = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-alone-')), 'vexolo-engine');
  fs.copyFileSync(findEngine(), alone);
  fs.chmodSync(alone, 0o755);
  t.after(() => fs.rmSync(path.dirname(alone), { recursive: true, force: true }));
  const cases: [string, Parameters<typeof Engine.start>[0], string, RegExp][] = [
    ['no display plugin', { binary: alone }, 'startFailed', /status 1: vexolo-engine: its display plugin libvexolo_plugin\.so is in neither plugins\/ nor \.\.\/lib\/vexolo-engine\/ beside the executable/],
    ['missing', { binary: '/nonexistent/engine' }, 'startFailed', /no engine executable/],
    ['silent', { binary: fakeEngine(t, '', 'exec sleep 30').binary, startTimeoutMs: 300 }, 'startFailed', /no ready line/],
    ['garbled', { binary: fakeEngine(t, '', 'echo "{not json"; exec sleep 30').binary }, 'protocol', /unparsable/],
    ['dies', { binary: fakeEngine(t, '', 'echo oops >&2; exit 3').binary }, 'startFailed', /status 3: oops/],
    ['usage', { maxSize: { width: 1, height: 1 } }, 'badArgument', /maxSize/],
    ['layout', { pixels: 'I420' as 'i420' }, 'badArgument', /pixels must be 'bgrx' or 'i420'/],
    ['deadline', { commandTimeoutMs: Infinity }, 'badArgument', /^commandTimeoutMs must be a number of ms from 1 to 2147483647$/],
  ];
  for (const [name, options, code, message] of cases) {
    await assert.rejects(Engine.start({ env: quietEnv(), ...options }), { code, message }, name);
  }
});

/** A frame as the engine writes it: a header with these fields, then `pixels` bytes of `fill`. */
function frameBytes(fourcc: string, fields: Partial<Record<keyof typeof FRAME_HEADER, number>>, pixels = 0, fill = 0) {
  const b = Buffer.alloc(FRAME_HEADER.size + pixels, fill).fill(0, 0, FRAME_HEADER.size);
  b.write('VXFR', FRAME_HEADER.magic, 'latin1');
  b.write(fourcc, FRAME_HEADER.fourcc, 'latin1');
  for (const [key, v] of Object.entries(fields)) b.writeUInt32LE(v, FRAME_HEADER[key as keyof typeof FRAME_HEADER]);
  return b;
}

test('AFrameHeaderMustFitTheLayoutAskedForAndTheMaximumSize', () => {
  // [layout asked for, fourcc, width, height, pitch, largest pixel bytes, problem]
  const odd = 384 * 241 + 2 * 192 * 121;
  const cases: [PixelFormat, string, number, number, number, number, RegExp | null][] = [
    ['bgrx', 'bgr0', 1920, 1080, 7680, 1920 * 1080 * 4, null],
    ['bgrx', 'bgr0', 1920, 1080, 7680, 1920 * 1080 * 4 - 1, /^frame of 1920x1080 above the maximum size$/],
    ['bgrx', 'bgr0', 320, 240, 320, 1e9, /^bad pitch 320 for width 320$/],
    ['bgrx', 'I420', 320, 240, 1280, 1e9, /^bad fourcc "I420" for bgrx$/],
    ['i420', 'bgr0', 320, 240, 320, 1e9, /^bad fourcc "bgr0" for i420$/],
    ['i420', 'I420', 321, 241, 384, odd, null],
    ['i420', 'I420', 321, 241, 384, odd - 1, /above the maximum size/],
    ['i420', 'I420', 64, 1, 64, 128, null],
    // A chroma row of 33 samples does not fit a half pitch of 32.
    ['i420', 'I420', 65, 2, 64, 1e9, /^bad pitch 64 for width 65$/],
    ['i420', 'I420', 320, 240, 352, 1e9, /^bad pitch 352/],
  ];
  for (const [format, fourcc, width, height, pitch, max, problem] of cases) {
    const got = headerProblem(frameBytes(fourcc, { width, height, pitch }), format, max);
    assert.ok(problem ? problem.test(got ?? '') : got === null, `${format} ${fourcc} ${width}x${height}: ${got}`);
  }
});

test('WhatBreaksTheProtocolComesAsAFault', async (t) => {
  // Before the first ack: a bad frame and bad lines; the second command is never acked.
  const bad: [string, RegExp][] = [
    ['{"type":"ack","id":1,"ok":true', /^unparsable event line .*"ok":true$/], // cut short
    ['{"type":"time","ms":"12"}', /^unparsable event line \(time: bad ms\)/], // a field of the wrong kind
    ['{"type":"ack","id":99,"ok":true}', /^an ack for no command sent: id 99$/],
    ['{"type":"log","message":"not a command: {}","code":"notACommand"}', /^the engine did not take a line: not a command: \{\}$/],
  ];
  // A log line without the engine's code is the library's, whatever it says: no fault.
  const lines = [...bad.map(([l]) => l), '{"type":"log","message":"not a command: said libvlc"}'];
  const { binary } = fakeEngine(t, `[ "$id" = 1 ] && printf 'NOPE%056d' 0 >&3 && printf '%s\\n' ${lines.map((l) => `'${l}'`).join(' ')}
  [ "$id" = 2 ] && exec sleep 30`);
  const { engine, faults, events } = await startEngine(t, { binary, commandTimeoutMs: 2000 });
  const logs: unknown[][] = [];
  engine.on('log', (...told) => logs.push(told));
  const frames = engine.frames();
  await engine.volume(5);
  await assert.rejects(engine.mute(true), { code: 'timeout', command: 'mute' });
  assert.equal((await frames.next()).done, true); // the pipe cannot be trusted any more
  const expected = [...bad.map(([, re]) => re), /^frame pipe: bad magic$/];
  const matched = faults.map((f) => expected.findIndex((re) => f.code === 'protocol' && re.test(f.message)));
  assert.deepEqual(matched.sort(), [0, 1, 2, 3, 4], faults.map((f) => `${f.code} ${f.message}`).join('\n'));
  assert.deepEqual(events, []);
  assert.deepEqual(logs, [['not a command: {}', 'notACommand'], ['not a command: said libvlc', undefined]]);
});

test('TheEngineEndsWithItsHost', async () => {
  // A host that exits, and one that is killed: the engine goes with it either way.
  const host = `import { Engine } from ${JSON.stringify(new URL('../src/index.js', import.meta.url).href)};
    const engine = await Engine.start();
    console.log(engine.pid);
    if (process.argv[1] === 'exit') process.exit(0);`;
  for (const how of ['exit', 'SIGKILL'] as const) {
    const child = spawn(process.execPath, ['--input-type=module', '-e', host, how], { env: quietEnv() });
    const pid = Number(((await once(child.stdout, 'data')) as [Buffer])[0].toString());
    if (how === 'SIGKILL') child.kill('SIGKILL');
    await once(child, 'exit');
    const gone = () => !fs.existsSync(`/proc/${pid}`) || fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(' ')[2] === 'Z';
    await poll(`the end of engine ${pid} with a host that ended by ${how}`, gone);
  }
});

test('ADeadEngineRejectsWhatWaitsAndARestartSetsTheSoundAgain', async (t) => {
  const fake = fakeEngine(t, `echo '{"type":"playing"}'`); // an event before each ack
  const { engine, faults, events } = await startEngine(t, { binary: fake.binary, restart: true, quitTimeoutMs: 300 });
  await Promise.all([engine.volume(30), engine.mute(true), engine.audioDelay(-120), engine.volume(35)]);
  const restarted = new Promise<void>((resolve) => engine.on('restart', resolve));
  const [oldPid, frames, died] = [engine.pid!, engine.frames(), engine.exited];
  // A stopped engine answers nothing, so all of these still wait when it dies.
  process.kill(oldPid, 'SIGSTOP');
  const pending = [engine.volume(10), engine.seekAndWait({ pos: 0.5 }), engine.loadFirstFrame(clip('clip.mp4')), frames.next()];
  process.kill(oldPid, 'SIGKILL');
  const outcomes = await Promise.allSettled(pending);
  assert.deepEqual(outcomes.map((o) => o.status === 'rejected' && `${o.reason.name} ${o.reason.code} ${o.reason.signal}`),
    Array(4).fill('EngineError exited SIGKILL'));
  await restarted;
  // The new engine's events come through, though a load was out when the old one died.
  assert.deepEqual([await died, events.length], [{ code: null, signal: 'SIGKILL', expected: false }, 7]);
  // The last acked settings, not the lost volume(10).
  assert.deepEqual(fake.sent().slice(4).map(({ id, ...rest }: { id?: number }) => rest), [
    { cmd: 'volume', level: 35 }, { cmd: 'mute', value: true }, { cmd: 'audioDelay', ms: -120 }]);

  // quit() on an engine that cannot answer falls back to a kill, and no restart follows.
  process.kill(engine.pid!, 'SIGSTOP');
  assert.deepEqual(await engine.quit(), { code: null, signal: 'SIGKILL', expected: true });
  await assert.rejects(engine.play(), { code: 'exited', command: 'play' });
  assert.deepEqual(faults, []);
});

test('FramesOfTheCurrentLoadComeLatestFirstAcrossSizesInBothLayouts', async (t) => {
  for (const pixels of ['bgrx', 'i420'] as const) {
    const { engine, faults, events } = await startEngine(t, { pixels });
    const frames = engine.frames();
    const take = async (generation: number, colour: string, width: number) => {
      const { value: f } = await frames.next();
      assert.deepEqual([f!.generation, colourAt(f!), f!.width], [generation, colour, width]);
      return f!.seq;
    };
    // 50 frames a second of 640x480, taken far slower: the newest comes, the rest are dropped.
    const green = await engine.load(clip('frames-gen-a.mp4'));
    const seqs: number[] = [];
    for (let i = 0; i < 4; i++, await sleep(300)) seqs.push(await take(green, 'green', 640)); // a slow consumer
    const stats = engine.frameStats;
    assert.ok(seqs.slice(1).every((seq, i) => seq > seqs[i]! + 1), `frames skipped between takes: ${seqs}`);
    assert.ok(stats.dropped >= 10 && stats.received - stats.delivered - stats.dropped <= 1, JSON.stringify(stats));

    // Grey 1280x720 at once replaced by blue 320x240, while green's frames still wait.
    const grey = engine.load(clip('frames-1280x720.mp4'));
    const blue = await engine.load(clip('frames-blue.mp4'));
    assert.equal(await grey, blue - 1);
    for (let i = 0; i < 5; i++) await take(blue, 'blue', 320);
    const formats = () => events.flatMap((e) => (e.type === 'format' ? [`${e.w}x${e.h}`] : []));
    assert.ok(!formats().includes('1280x720'), `format of a replaced load: ${formats()}`);

    // Blue's last frame waits untaken at its end; the next load makes it stale.
    // Red at 640x360, then blue at 1280x720, then red again: one stream, two sizes.
    await until(engine, 'the end', (s) => s.state === 'ended');
    const switching = await engine.load(clip('frames-sizes.ts'));
    const [seen, sizes] = [[] as string[], new Set<string>()];
    while (seen.length < 3) {
      const { value: f } = await frames.next();
      // In I420 the U and V planes follow the Y plane, each of half its pitch and half its rows, rounded up.
      const [luma, chroma] = [f!.pitch * f!.height, f!.format === 'i420' ? (f!.pitch / 2) * Math.ceil(f!.height / 2) : 0];
      assert.deepEqual([f!.format, f!.generation, f!.pixels.length, f!.data.length], [pixels, switching, luma + 2 * chroma, FRAME_HEADER.size + luma + 2 * chroma]);
      if (f!.format === 'i420') {
        const { y, u, v } = f!.planes;
        assert.deepEqual([y.length, u.length, v.length, u.byteOffset - y.byteOffset, v.byteOffset - u.byteOffset, f!.pitches],
          [luma, chroma, chroma, luma, chroma, { y: f!.pitch, u: f!.pitch / 2, v: f!.pitch / 2 }]);
      }
      // The decoder may pad a few rows (360 comes as up to 386); the width is exact.
      const rows = f!.height - (f!.width * 9) / 16;
      assert.ok(f!.pitch % 64 === 0 && f!.pitch >= f!.width * (pixels === 'i420' ? 1 : 4) && rows >= 0 && rows < 32, `${f!.pitch} ${f!.width}x${f!.height}`);
      sizes.add(`${f!.width}x${f!.height}`);
      const kind = `${f!.width} ${colourAt(f!)}`;
      if (seen.at(-1) !== kind) seen.push(kind);
    }
    assert.deepEqual(seen, ['640 red', '1280 blue', '640 red']);
    assert.deepEqual([...sizes].filter((size) => !formats().includes(size)), [], 'sizes without a format event');
    assert.deepEqual(faults, []);
  }
});

// Seeks on a scripted engine: one landed but replaced, told its landing before its ack, and as an older
// engine tells them, without saying which seek a landing answers or whose picture a flagged frame is. Then
// waits that must expire, on seeks landed without a picture and a load never answered.
test('ASeekGetsItsOwnLandingAndPictureAndEveryWaitEndsNamingWhatItWaitedFor', async (t) => {
  const fake = fakeEngine(t, `case $id in
    2) echo '{"type":"seekLanded","ms":1000,"id":1}'; cat 2 >&3; echo '{"type":"seekLanded","ms":2000,"id":2}';;
    3) echo '{"type":"seekLanded","ms":500}';;
    4) cat 0 >&3;;
    *) case "$line" in *'"load"'*) continue;; *'"seek"'*) echo '{"type":"seekLanded","ms":1000,"id":'$id'}';; esac;;
  esac`, `cd "$(dirname "$0")"; echo '{"type":"ready","version":"fake"}'; echo '{"type":"format","w":16,"h":1,"sar":1}'`,
  `[ $id = 3 ] && echo '{"type":"seekLanded","ms":3000}'`);
  for (const seekId of [2, 0]) fs.writeFileSync(path.join(fake.dir, `${seekId}`),
    frameBytes('bgr0', { width: 16, height: 1, pitch: 64, flags: FRAME_LANDED, reserved: seekId }, 64, 0x20 + seekId));
  const { engine, faults } = await startEngine(t, { binary: fake.binary });
  const [first, second] = [engine.seekAndWait({ ms: 1 }), engine.seekAndWait({ ms: 2 })];
  await assert.rejects(first, { code: 'superseded', message: 'the seek to ms 1 was replaced by a later seek' });
  const [landed, third] = [await second, engine.seekAndWait({ ms: 3 })];
  // Its picture comes only with the next command, once the landing was seen.
  const old = await until(engine, 'the third landing', (s) => s.landedMs === 3000).then(() => engine.volume(1)).then(() => third);
  assert.deepEqual([landed.landedMs, landed.frame?.seekId, landed.frame?.pixels[0], old.landedMs, old.frame?.seekId, old.frame?.pixels[0]],
    [2000, 2, 0x22, 3000, 0, 0x20]);

  const waits: [() => Promise<unknown>, string, RegExp][] = [
    [() => engine.seekAndWait({ pos: 0.5 }, 300), 'timeout', /^timed out after 300 ms waiting for the picture of the seek to pos 0.5, landed at 1000 ms$/],
    [() => engine.loadFirstFrame('file:///a.mp4', {}, { timeoutMs: 300 }), 'timeout', /^timed out after 300 ms waiting for the first frame of file:\/\/\/a.mp4$/],
    [() => engine.frames({ timeoutMs: 300 }).next(), 'timeout', /^timed out after 300 ms waiting for the next frame$/],
    [() => engine.frames({ signal: AbortSignal.timeout(300) }).next(), 'aborted', /^stopped waiting for the next frame: TimeoutError/],
    [() => engine.until('playing', (s) => s.state === 'playing', 300), 'timeout', /^timed out after 300 ms waiting for playing \(last snapshot \{"generation":0,"state":"idle"/],
    [() => engine.seekAndWait({ ms: 5 }, { signal: AbortSignal.abort('gone') }), 'aborted', /^stopped waiting for the landing of the seek to ms 5: gone$/],
    [() => engine.seekAndWait({ ms: 5 }, { timeoutMs: Infinity }), 'badArgument', /^timeoutMs must be a number of ms from 1 to 2147483647$/],
  ];
  for (const [wait, code, message] of waits) await assert.rejects(wait(), { name: 'EngineError', code, message });
  // What gave up before it began sent nothing.
  assert.deepEqual(fake.sent().slice(4).map((c) => (c as { cmd: string }).cmd), ['seek', 'load']);
  assert.deepEqual(faults, []);
});

// Run as the README runs them, with an engine that never answers, one that dies, and a clip that does not exist.
test('EveryProgramEndsWithASentenceWhenItsEngineOrClipFails', async (t) => {
  const [silent, dead] = [fakeEngine(t, 'exec sleep 60').binary, fakeEngine(t, '', `echo '{"type":"ready","version":"fake"}'; exit 3`).binary];
  const [good, missing, png] = [path.join(MEDIA, 'clip.mp4'), path.join(MEDIA, 'no-such-clip.mp4'), path.join(quietEnv().HOME!, 'x.png')];
  const [sheet, demoHost, hostPy] = ['dist/demo/contact-sheet.js', '../scripts/demo-host.py', '../examples/host.py'];
  // [program, arguments, engine by $VEXOLO_ENGINE, most seconds, what it says]
  const cases: [string, string[], string, number, RegExp][] = [
    [sheet, [silent, good, png], '', 15, /^contact sheet: timed out after 8000 ms waiting for the first frame of file:/m],
    [sheet, [findEngine(), missing, png], '', 10, /^contact sheet: .*no-such-clip.mp4 cannot be played \(notFound\)$/m],
    [demoHost, [silent, good, png], '', 15, /^demo host: the engine said nothing for 10 s while the demo waited for end$/m],
    [demoHost, [dead, good, png], '', 10, /^demo host: the engine ended \(status 3\) while the demo waited for end$/m],
    [demoHost, [findEngine(), missing, png], '', 10, /^demo host: .*no-such-clip.mp4 cannot be played: notFound$/m],
    [hostPy, [good, silent], '', 20, /^the engine said nothing for 10 s$/m],
    ['dist/bench/host-frames.js', ['1', '--clip', good], silent, 15, /^host-frames: load: no ack within 10000 ms$/m],
  ];
  const began = Date.now(); // all at once
  await Promise.all(cases.map(([program, args, engine, seconds, says]) => new Promise<void>((resolve, reject) =>
    execFile(program.endsWith('.js') ? process.execPath : 'python3', [program, ...args], { env: { ...quietEnv(), ...(engine && { VEXOLO_ENGINE: engine }) },
      timeout: 60000 }, (err, stdout, stderr) => (err?.code === 1 && says.test(stdout + stderr) && Date.now() - began < seconds * 1000 * SLOWDOWN ? resolve()
      : reject(new Error(`${program} ${args}: status ${err?.code} after ${Date.now() - began} ms\n${(stdout + stderr).slice(-2000)}`)))))));
});
