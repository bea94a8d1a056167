// The library against the real engine: start, commands and their acks,
// argument checks, media errors, and the engine dying under pending promises.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import type { AddressInfo } from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { Engine, EngineError, MediaError } from '../src/index.js';
import { clip, nextEvent, quietEnv, startEngine, until } from './helpers.js';

const refusedBy = (command: string) => (err: unknown) =>
  err instanceof EngineError && err.code === 'refused' && err.command === command;

test('AcksMatchTheirCommandsAndLoadsMoveTheGeneration', async (t) => {
  const { engine, faults, events } = await startEngine(t);
  assert.match(engine.version, /^3\.0\.\d+/);

  // Sent together, answered one by one: each promise gets its own ack.
  const [play, volume, mute, delay, stop, load] = await Promise.allSettled([
    engine.play(),
    engine.volume(40),
    engine.mute(true),
    engine.audioDelay(-50),
    engine.stop(),
    engine.load(clip('seek-clock.mp4')),
  ]);
  assert.equal(play.status, 'rejected');
  assert.ok(refusedBy('play')((play as PromiseRejectedResult).reason));
  assert.deepEqual([volume, mute, delay, stop].map((r) => r.status), Array(4).fill('fulfilled'));
  assert.deepEqual(load, { status: 'fulfilled', value: 1 });

  // A seek lands at least half way to its target.
  await until(engine, (s) => s.seekable && s.lengthMs > 0 && s.format !== null); // a seek by time needs both
  const landing = await engine.seekAndWait({ ms: 2000 });
  assert.equal(landing.ended, false);
  assert.ok(landing.landedMs! >= 1000, `landed at ${landing.landedMs}`);
  const s = engine.state;
  assert.deepEqual([s.generation, s.lengthMs, s.seekable, s.landedMs], [1, 10000, true, landing.landedMs]);
  assert.deepEqual(s.format, { width: 320, height: 240, sar: 1 });
  assert.equal(s.tracks?.video.length, 1);

  // A second load: the snapshot starts afresh for generation 2.
  const second = await engine.loadFirstFrame(clip('frames-red.mp4'));
  assert.equal(second.generation, 2);
  assert.equal(second.frame.generation, 2);
  assert.equal(engine.state.generation, 2);
  await assert.rejects(engine.seekAndWait({ ms: -1 }), { code: 'badArgument', command: 'seek' });

  // A stop of loaded media moves to an empty player; a second stop moves nothing.
  const stopped = nextEvent(engine, 'stopped');
  await engine.stop();
  await stopped;
  assert.deepEqual([engine.state.generation, engine.state.state], [3, 'stopped']);
  await engine.stop();
  await assert.rejects(engine.pause(), refusedBy('pause'));
  assert.equal(engine.state.generation, 3);
  assert.equal((await engine.loadFirstFrame(clip('frames-blue.mp4'))).generation, 4);

  assert.ok(events.some((e) => e.type === 'playing'));
  assert.deepEqual(await engine.quit(), { code: 0, signal: null, expected: true });
  assert.deepEqual(faults, []);
});

test('ArgumentsTheEngineWouldNotTakeAreRefusedBeforeSending', async (t) => {
  const { engine, faults } = await startEngine(t, { frames: false });
  const url = clip('clip.mp4');
  const cases: [string, () => Promise<unknown>][] = [
    ['load', () => engine.load('')],
    ['load', () => engine.load(url, { startPos: 1.5 })],
    ['load', () => engine.load(url, { startMs: -1 })],
    ['load', () => engine.load(url, { audio: 1.5 })],
    ['load', () => engine.load(`${url}\ud800`)], // a lone surrogate
    ['load', () => engine.load(`${url}\0.txt`)], // would load a shorter URL
    ['load', () => engine.load(url, { paused: 1 as unknown as boolean })],
    ['seek', () => engine.seek({} as { ms: number })],
    ['seek', () => engine.seek({ ms: 1, pos: 0.5 } as unknown as { ms: number })],
    ['seek', () => engine.seek({ pos: Number.NaN })],
    ['volume', () => engine.volume(101)],
    ['volume', () => engine.volume(50.5)],
    ['audio', () => engine.audio(2 ** 31)],
    ['spu', () => engine.spu(Number.POSITIVE_INFINITY)],
    ['mute', () => engine.mute('yes' as unknown as boolean)],
    ['audioDelay', () => engine.audioDelay(0.5)],
  ];
  for (const [command, call] of cases) {
    await assert.rejects(call(), { name: 'EngineError', code: 'badArgument', command }, String(call));
  }
  // Nothing went out: the engine answers the next command, and said nothing.
  await engine.volume(50);
  assert.deepEqual(faults, []);
});

test('MediaErrorsCarryTheirProblemAndCodec', async (t) => {
  const server = http.createServer((req, res) => res.writeHead(Number(req.url!.slice(1))).end('no'));
  await new Promise<void>((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => server.close());
  const base = `http://127.0.0.1:${(server.address() as AddressInfo).port}`;
  const { engine, faults } = await startEngine(t);
  const cases: [string, string, string | null][] = [
    ['file:///nonexistent/clip.mp4', 'notFound', null],
    [`${base}/403`, 'accessDenied', null],
    [`${base}/404`, 'notFound', null],
    [clip('undecodable-video.avi'), 'undecodableVideo', 'ZZ9'],
  ];
  for (const [url, problem, codec] of cases) {
    const err = await engine.loadFirstFrame(url).then(
      () => assert.fail(`${url} showed a frame`),
      (e: unknown) => e,
    );
    assert.ok(err instanceof MediaError, `${url}: ${err}`);
    assert.deepEqual([err.problem, err.codec?.trim() ?? null], [problem, codec], url);
    assert.equal(engine.state.lastError, err);
  }
  // Sound without pictures is no error: the load just ends without a frame.
  await assert.rejects(engine.loadFirstFrame(clip('short-tone.m4a')), { code: 'ended' });
  assert.equal(engine.state.lastError, null);
  assert.deepEqual(faults, []);
});

test('StartFailsClearly', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-fake-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const fake = (name: string, body: string) => {
    const file = path.join(dir, name);
    fs.writeFileSync(file, `#!/bin/sh\n${body}\n`, { mode: 0o755 });
    return file;
  };
  const cases: [string, Parameters<typeof Engine.start>[0], string, RegExp][] = [
    ['missing', { binary: path.join(dir, 'none') }, 'startFailed', /no engine executable/],
    ['silent', { binary: fake('silent', 'exec sleep 30'), startTimeoutMs: 300 }, 'startFailed', /no ready line/],
    ['garbled', { binary: fake('garbled', 'echo "{not json"; exec sleep 30') }, 'protocol', /unparsable/],
    ['dies', { binary: fake('dies', 'echo oops >&2; exit 3') }, 'startFailed', /status 3: oops/],
    ['usage', { maxSize: { width: 1, height: 1 } }, 'badArgument', /maxSize/],
  ];
  for (const [name, options, code, message] of cases) {
    await assert.rejects(Engine.start({ env: quietEnv(), ...options }), { code, message }, name);
  }
});

test('WhatBreaksTheProtocolComesAsAFault', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-fake-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  // A fake engine: ready, then for its first command a bad frame and bad lines, then the ack.
  const lines = [
    '{"type":"ack","id":1,"ok":true', // cut short
    '{"type":"time","ms":"12"}', // a field of the wrong kind
    '{"type":"ack","id":99,"ok":true}', // no such command
    '{"type":"log","message":"not a command: {}"}',
    '{"type":"ack","id":1,"ok":true}',
  ];
  const binary = path.join(dir, 'engine');
  fs.writeFileSync(
    binary,
    `#!/bin/sh
echo '{"type":"ready","version":"fake"}'
read line
printf 'NOPE%056d' 0 >&3
printf '%s\\n' ${lines.map((l) => `'${l}'`).join(' ')}
exec sleep 30
`,
    { mode: 0o755 },
  );
  const { engine, faults, events } = await startEngine(t, { binary, commandTimeoutMs: 2000 });
  const frames = engine.frames();
  await engine.volume(5); // acked by the last line, after all the others
  await assert.rejects(engine.mute(true), { code: 'timeout', command: 'mute' }); // never acked
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

test('ARestartSetsTheSoundAgain', async (t) => {
  // An engine that acks everything and writes down what it was sent.
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-fake-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const binary = path.join(dir, 'engine');
  const sent = path.join(dir, 'sent');
  fs.writeFileSync(
    binary,
    `#!/bin/sh
echo '{"type":"ready","version":"fake"}'
while read -r line; do
  echo "$line" >>'${sent}'
  echo "{\\"type\\":\\"ack\\",\\"id\\":$(echo "$line" | sed 's/^{"id":\\([0-9]*\\).*/\\1/'),\\"ok\\":true}"
done
`,
    { mode: 0o755 },
  );
  const { engine, faults } = await startEngine(t, { binary, restart: true });
  await Promise.all([engine.volume(30), engine.mute(true), engine.audioDelay(-120), engine.volume(35)]);
  const restarted = new Promise<void>((resolve) => engine.on('restart', resolve));
  process.kill(engine.pid!, 'SIGKILL');
  await restarted;
  const lines = fs.readFileSync(sent, 'utf8').trim().split('\n').map((l) => JSON.parse(l));
  assert.deepEqual(lines.slice(4).map(({ id, ...rest }) => rest), [
    { cmd: 'volume', level: 35 },
    { cmd: 'mute', value: true },
    { cmd: 'audioDelay', ms: -120 },
  ]);
  assert.deepEqual(faults, []);
});

test('TheEngineEndsWithItsHost', async (t) => {
  // A host that exits, and one that is killed: the engine goes with it either way.
  const host = `import { Engine } from ${JSON.stringify(new URL('../src/index.js', import.meta.url).href)};
    const engine = await Engine.start();
    console.log(engine.pid);
    if (process.argv[1] === 'exit') process.exit(0);`;
  for (const how of ['exit', 'SIGKILL'] as const) {
    const child = spawn(process.execPath, ['--input-type=module', '-e', host, how], { env: quietEnv() });
    const [line] = (await once(child.stdout, 'data')) as [Buffer];
    const pid = Number(line.toString());
    if (how === 'SIGKILL') child.kill('SIGKILL');
    await once(child, 'exit');
    const gone = () => {
      try {
        return fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(' ')[2] === 'Z';
      } catch {
        return true;
      }
    };
    for (const deadline = Date.now() + 10000; !gone() && Date.now() < deadline; ) await sleep(20);
    assert.ok(gone(), `engine ${pid} outlived a host that ended by ${how}`);
  }
});

test('EveryPendingPromiseRejectsWhenTheEngineDies', async (t) => {
  const { engine, faults } = await startEngine(t);
  await engine.loadFirstFrame(clip('seek-clock.mp4'));
  const exits: unknown[] = [];
  engine.on('exit', (info) => exits.push(info));

  // Paused, with the latest frame taken, nothing more comes on the pipe; a
  // stopped engine answers nothing, so everything below is still pending.
  await engine.pause();
  await until(engine, (s) => s.state === 'paused');
  const frames = engine.frames();
  assert.equal((await frames.next()).done, false);
  process.kill(engine.pid!, 'SIGSTOP');
  const pending = [
    engine.volume(10),
    engine.seekAndWait({ pos: 0.5 }),
    engine.loadFirstFrame(clip('clip.mp4')),
    engine.stop(),
    frames.next(),
  ];
  process.kill(engine.pid!, 'SIGKILL');
  for (const outcome of await Promise.allSettled(pending)) {
    assert.equal(outcome.status, 'rejected');
    assert.ok(outcome.reason instanceof EngineError);
    assert.deepEqual([outcome.reason.code, outcome.reason.signal], ['exited', 'SIGKILL']);
  }
  await assert.rejects(engine.play(), { code: 'exited', command: 'play' });
  assert.deepEqual(exits, [{ code: null, signal: 'SIGKILL', expected: false }]);

  // With restart on, a new engine takes over, the sound settings re-applied.
  const { engine: second } = await startEngine(t, { restart: true, quitTimeoutMs: 300 });
  await Promise.all([second.volume(30), second.mute(true), second.audioDelay(120)]);
  await second.loadFirstFrame(clip('frames-red.mp4'));
  const restarted = new Promise<void>((resolve) => second.on('restart', resolve));
  const died = second.exited;
  const oldPid = second.pid;
  const lost = second.seekAndWait({ pos: 0.9 });
  process.kill(oldPid!, 'SIGKILL');
  await assert.rejects(lost, { code: 'exited' });
  assert.equal((await died).expected, false);
  await restarted;
  assert.notEqual(second.pid, oldPid);
  assert.equal(second.state.generation, 0);
  assert.equal((await second.loadFirstFrame(clip('frames-blue.mp4'))).generation, 1);

  // quit() on an engine that cannot answer falls back to a kill, and no restart follows.
  process.kill(second.pid!, 'SIGSTOP');
  assert.deepEqual(await second.quit(), { code: null, signal: 'SIGKILL', expected: true });
  await assert.rejects(second.play(), { code: 'exited' });
  assert.deepEqual(faults, []);
});
