// Shared by the library's tests: clips made by scripts/make-media.sh, an engine
// with a private home and no sound output or a sound server of its own, a
// scripted stand-in engine, a loopback HTTP server, colours.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import type { AddressInfo } from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { type TestContext } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { Engine, type EngineError, type EngineEvent, type Frame, type Snapshot, type StartOptions } from '../src/index.js';

export const MEDIA = process.env.VEXOLO_MEDIA ?? fileURLToPath(new URL('../../../build/media/', import.meta.url));

export const clip = (name: string): string => pathToFileURL(path.join(MEDIA, name)).href;

/** A home of its own with a null sound sink, as on a machine without sound. */
export function quietEnv(): NodeJS.ProcessEnv {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-test-'));
  fs.writeFileSync(path.join(home, '.asoundrc'), 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n');
  const env: NodeJS.ProcessEnv = { ...process.env, HOME: home };
  delete env.PULSE_SERVER;
  return env;
}

/** A home whose sound server (with a null sink) the engine finds, as on a desktop. */
export async function soundEnv(t: TestContext): Promise<NodeJS.ProcessEnv> {
  const env = quietEnv();
  const socket = path.join(env.HOME!, 'pulse-native');
  const server = spawn('pulseaudio', ['--daemonize=no', '--exit-idle-time=-1', '--use-pid-file=no', '-n',
    '--load=module-null-sink', `--load=module-native-protocol-unix auth-anonymous=1 socket=${socket}`], { env, stdio: 'ignore' });
  t.after(() => server.kill('SIGKILL'));
  for (const deadline = Date.now() + 5000; !fs.existsSync(socket); await sleep(10)) {
    assert.ok(Date.now() < deadline && server.exitCode === null, 'no sound server could be started');
  }
  return { ...env, PULSE_SERVER: `unix:${socket}` };
}

/**
 * A loopback HTTP server. "/<status>/..." answers with that status; "/file/<name>"
 * serves a file of `dir` with byte ranges, at most `rate` bytes a second, a range
 * not from 0 answered `delayMs` late; "/stream/<name>" sends it without a length;
 * "/silent/..." never answers. Bytes that are not HTTP (a TLS hello) get a 400.
 */
export async function serve(t: TestContext, dir = MEDIA) {
  const options = { rate: 0, delayMs: 0, answeredLate: [] as number[] };
  const server = http.createServer(async (req, res) => {
    const [, kind, name = ''] = req.url!.split('/');
    if (kind === 'silent') return;
    if (kind !== 'file' && kind !== 'stream') return void res.writeHead(Number(kind) || 400).end('no');
    const body = fs.readFileSync(path.join(dir, name));
    if (kind === 'stream') return void res.writeHead(200, { 'content-type': 'video/mp2t' }).write(body);
    const from = Number(/bytes=(\d+)/.exec(req.headers.range ?? '')?.[1] ?? 0);
    if (from > 0 && options.delayMs) await sleep(options.delayMs).then(() => options.answeredLate.push(Date.now()));
    res.writeHead(req.headers.range ? 206 : 200, { 'accept-ranges': 'bytes', 'content-length': body.length - from,
      ...(req.headers.range && { 'content-range': `bytes ${from}-${body.length - 1}/${body.length}` }) });
    for (let at = from; at < body.length && !res.destroyed; at += 16384) {
      res.write(body.subarray(at, at + 16384));
      if (options.rate) await sleep((16384 * 1000) / options.rate);
    }
    res.end();
  });
  await new Promise<void>((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => (server.closeAllConnections(), server.close()));
  const port = (server.address() as AddressInfo).port;
  return Object.assign(options, { port, url: (p: string) => `http://127.0.0.1:${port}${p}` });
}

/** An engine that the test kills at its end, with every protocol fault and delivered event recorded. */
export async function startEngine(t: TestContext, options: StartOptions = {}) {
  const engine = await Engine.start({ env: quietEnv(), ...options });
  const started = { engine, faults: [] as EngineError[], events: [] as EngineEvent[] };
  engine.on('fault', (f) => started.faults.push(f));
  engine.on('event', (e) => started.events.push(e));
  t.after(() => engine.kill());
  return started;
}

/**
 * A stand-in engine: `start` runs first (by default the ready line), then each
 * command is written down, `each` runs with its $id, and the command is acked.
 */
export function fakeEngine(t: TestContext, each = '', start = `echo '{"type":"ready","version":"fake"}'`) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-fake-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const [binary, sent] = [path.join(dir, 'engine'), path.join(dir, 'sent')];
  const loop = `while read -r line; do\n  echo "$line" >>'${sent}'; id=$(echo "$line" | sed 's/^{"id":\\([0-9]*\\).*/\\1/')`;
  fs.writeFileSync(binary, `#!/bin/sh\n${start}\n${loop}\n  ${each}\n  printf '{"type":"ack","id":%s,"ok":true}\\n' "$id"\ndone\n`, { mode: 0o755 });
  return { binary, sent: () => fs.readFileSync(sent, 'utf8').trim().split('\n').map((l) => JSON.parse(l) as object) };
}

/** Waits until the snapshot satisfies `ready`. */
export const until = (engine: Engine, ready: (s: Snapshot) => boolean) => new Promise<Snapshot>((resolve) => {
  const off = engine.on('state', (s) => ready(s) && (off(), resolve(s)));
  if (ready(engine.state)) (off(), resolve(engine.state));
});

/** The colour at the centre of a frame, named coarsely. */
export function colourAt(frame: Frame): string {
  const at = Math.floor(frame.height / 2) * frame.pitch + Math.floor(frame.width / 2) * 4;
  return nameColour(frame.pixels[at + 2]!, frame.pixels[at + 1]!, frame.pixels[at]!);
}

export function nameColour(r: number, g: number, b: number): string {
  if (Math.max(r, g, b) - Math.min(r, g, b) < 30) return 'grey';
  const i = [r, g, b].findIndex((v, _, all) => v > 100 && all.filter((w) => w < 60).length === 2);
  return ['red', 'green', 'blue'][i] ?? `rgb(${r},${g},${b})`;
}
