// The library against the real engine and against scripted stand-ins: start,
// commands and their acks, argument checks, the snapshot, media errors,
// protocol faults, and supervision of the process.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import type { AddressInfo } from 'node:net';
import path from 'node:path';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { Engine, EngineError, type ExitInfo, MediaError } from '../src/index.js';
import { clip, fakeEngine, quietEnv, startEngine, until } from './helpers.js';

test('OneEngineAnswersCommandsLoadsAndMediaErrors', async (t) => {
  const server = http.createServer((req, res) => res.writeHead(Number(req.url!.slice(1))).end('no'));
  await new Promise<void>((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => server.close());
  const base = `http://127.0.0.1:${(server.address() as AddressInfo).port}`;
  const { engine, faults, events } = await startEngine(t);
  assert.match(engine.version, /^3\.0\.\d+/);

  // One row per kind of check; none of them reaches the engine.
  const url = clip('clip.mp4');
  const refusedArgs: [string, () => Promise<unknown>][] = [
    ['load', () => engine.load('')],
    ['load', () => engine.load(`${url}\0.txt`)], // would load a shorter URL
    ['load', () => engine.load(`${url}\ud800`)], // a lone surrogate
    ['load', () => engine.load(url, { paused: 1 as unknown as boolean })],
    ['load', () => engine.load(url, { startMs: -1 })],
    ['volume', () => engine.volume(101)],
    ['volume', () => engine.volume(50.5)],
    ['audio', () => engine.audio(2 ** 31)],
    ['spu', () => engine.spu(Number.POSITIVE_INFINITY)],
    ['seek', () => engine.seek({} as { ms: number })],
    ['seek', () => engine.seek({ ms: 1, pos: 0.5 } as unknown as { ms: number })],
  ];
  for (const [command, call] of refusedArgs) {
    await assert.rejects(call(), { name: 'EngineError', code: 'badArgument', command }, String(call));
  }

  // Sent together, answered one by one: each promise gets its own ack.
  const [play, ...rest] = await Promise.allSettled([engine.play(), engine.volume(40), engine.mute(true),
    engine.audioDelay(-50), engine.stop(), engine.load(clip('seek-clock.mp4'))]);
  assert.ok(play.status === 'rejected' && play.reason instanceof EngineError, String(play));
  assert.deepEqual([play.reason.code, play.reason.command], ['refused', 'play']);
  assert.deepEqual(rest.map((r) => r.status === 'fulfilled' && r.value), [undefined, undefined, undefined, undefined, 1]);

  // A seek lands at least half way to its target; the snapshot holds the media.
  await until(engine, (s) => s.seekable && s.lengthMs > 0 && s.format !== null); // a seek by time needs both
  const landing = await engine.seekAndWait({ ms: 2000 });
  assert.ok(!landing.ended && landing.landedMs >= 1000, JSON.stringify(landing));
  const s = engine.state;
  assert.deepEqual([s.generation, s.lengthMs, s.seekable, s.landedMs, s.tracks?.video.length], [1, 10000, true, landing.landedMs, 1]);
  assert.deepEqual(s.format, { width: 320, height: 240, sar: 1 });

  // A second load starts the snapshot afresh; a stop of loaded media moves on, a second stop does not.
  const second = await engine.loadFirstFrame(clip('frames-red.mp4'));
  assert.deepEqual([second.generation, second.frame.generation, engine.state.generation], [2, 2, 2]);
  await assert.rejects(engine.seekAndWait({ ms: -1 }), { code: 'badArgument', command: 'seek' });
  await engine.stop();
  await until(engine, (st) => st.state === 'stopped');
  await engine.stop();
  await assert.rejects(engine.pause(), { code: 'refused', command: 'pause' });
  assert.equal(engine.state.generation, 3);

  // Media errors carry their problem and codec, and stay in the snapshot until the next load.
  const errors: [string, string, string | null][] = [
    ['file:///nonexistent/clip.mp4', 'notFound', null],
    [`${base}/403`, 'accessDenied', null],
    [`${base}/404`, 'notFound', null],
    [clip('undecodable-video.avi'), 'undecodableVideo', 'ZZ9'],
  ];
  for (const [url, problem, codec] of errors) {
    const err = await engine.loadFirstFrame(url).then(() => assert.fail(`${url} showed a frame`), (e: unknown) => e);
    assert.ok(err instanceof MediaError, `${url}: ${err}`);
    assert.deepEqual([err.problem, err.codec?.trim() ?? null, engine.state.lastError], [problem, codec, err], url);
  }
  // Sound without pictures is no error: the load just ends without a frame.
  await assert.rejects(engine.loadFirstFrame(clip('short-tone.m4a')), { code: 'ended' });
  assert.equal(engine.state.lastError, null);
  assert.ok(events.some((e) => e.type === 'playing'));
  assert.deepEqual(await engine.quit(), { code: 0, signal: null, expected: true });
  assert.deepEqual(faults, []);
});

test('StartFailsClearly', async (t) => {
  const cases: [string, Parameters<typeof Engine.start>[0], string, RegExp][] = [
    ['missing', { binary: '/nonexistent/engine' }, 'startFailed', /no engine executable/],
    ['silent', { binary: fakeEngine(t, '', 'exec sleep 30').binary, startTimeoutMs: 300 }, 'startFailed', /no ready line/],
    ['garbled', { binary: fakeEngine(t, '', 'echo "{not json"; exec sleep 30').binary }, 'protocol', /unparsable/],
    ['dies', { binary: fakeEngine(t, '', 'echo oops >&2; exit 3').binary }, 'startFailed', /status 3: oops/],
    ['usage', { maxSize: { width: 1, height: 1 } }, 'badArgument', /maxSize/],
  ];
  for (const [name, options, code, message] of cases) {
    await assert.rejects(Engine.start({ env: quietEnv(), ...options }), { code, message }, name);
  }
});

test('WhatBreaksTheProtocolComesAsAFault', async (t) => {
  // Before the first ack: a bad frame and bad lines; the second command is never acked.
  const lines = [
    '{"type":"ack","id":1,"ok":true', // cut short
    '{"type":"time","ms":"12"}', // a field of the wrong kind
    '{"type":"ack","id":99,"ok":true}', // no such command
    '{"type":"log","message":"not a command: {}"}',
  ];
  const { binary } = fakeEngine(t, `[ "$id" = 1 ] && printf 'NOPE%056d' 0 >&3 && printf '%s\\n' ${lines.map((l) => `'${l}'`).join(' ')}
  [ "$id" = 2 ] && exec sleep 30`);
  const { engine, faults, events } = await startEngine(t, { binary, commandTimeoutMs: 2000 });
  const frames = engine.frames();
  await engine.volume(5);
  await assert.rejects(engine.mute(true), { code: 'timeout', command: 'mute' });
  assert.equal((await frames.next()).done, true); // the pipe cannot be trusted any more
  const expected = [
    /^unparsable event line .*"ok":true$/,
    /^unparsable event line \(time: bad ms\)/,
    /^an ack for no command sent: id 99$/,
    /^the engine did not take a line: not a command: \{\}$/,
    /^frame pipe: bad magic$/,
  ];
  const messages = faults.map((f) => `${f.code} ${f.message}`);
  assert.equal(faults.length, expected.length, messages.join('\n'));
  for (const re of expected) assert.ok(faults.some((f) => f.code === 'protocol' && re.test(f.message)), `${re}: ${messages}`);
  assert.deepEqual(events, []);
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
    for (const deadline = Date.now() + 10000; !gone() && Date.now() < deadline; ) await sleep(20);
    assert.ok(gone(), `engine ${pid} outlived a host that ended by ${how}`);
  }
});

test('ADeadEngineRejectsWhatWaitsAndARestartSetsTheSoundAgain', async (t) => {
  const fake = fakeEngine(t);
  const { engine, faults } = await startEngine(t, { binary: fake.binary, restart: true, quitTimeoutMs: 300 });
  await Promise.all([engine.volume(30), engine.mute(true), engine.audioDelay(-120), engine.volume(35)]);
  const exits: ExitInfo[] = [];
  engine.on('exit', (info) => exits.push(info));
  const restarted = new Promise<void>((resolve) => engine.on('restart', resolve));
  const [oldPid, frames] = [engine.pid!, engine.frames()];
  // A stopped engine answers nothing, so all of these still wait when it dies.
  process.kill(oldPid, 'SIGSTOP');
  const pending = [engine.volume(10), engine.seekAndWait({ pos: 0.5 }), engine.loadFirstFrame(clip('clip.mp4')), frames.next()];
  process.kill(oldPid, 'SIGKILL');
  for (const outcome of await Promise.allSettled(pending)) {
    assert.ok(outcome.status === 'rejected' && outcome.reason instanceof EngineError, String(outcome));
    assert.deepEqual([outcome.reason.code, outcome.reason.signal], ['exited', 'SIGKILL']);
  }
  await restarted;
  assert.deepEqual(exits, [{ code: null, signal: 'SIGKILL', expected: false }]);
  assert.notEqual(engine.pid, oldPid);
  // The last acked settings, not the lost volume(10).
  assert.deepEqual(fake.sent().slice(4).map(({ id, ...rest }: { id?: number }) => rest), [
    { cmd: 'volume', level: 35 }, { cmd: 'mute', value: true }, { cmd: 'audioDelay', ms: -120 }]);

  // quit() on an engine that cannot answer falls back to a kill, and no restart follows.
  process.kill(engine.pid!, 'SIGSTOP');
  assert.deepEqual(await engine.quit(), { code: null, signal: 'SIGKILL', expected: true });
  await assert.rejects(engine.play(), { code: 'exited', command: 'play' });
  assert.deepEqual(faults, []);
});
