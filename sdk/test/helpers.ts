// The one test host, shared by the library's tests and the engine's scenarios:
// clips made by scripts/make-media.sh, an engine with a private home and no
// sound output or a sound server of its own, the engine on raw pipes, a
// scripted stand-in engine, a loopback HTTP server, colours.

import assert from 'node:assert/strict';
import { type ChildProcess, execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import net, { type AddressInfo } from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { type TestContext } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';
import { spawnEngine } from '../src/process.js';
import { type FrameInfo, headerProblem, parseHeader } from '../src/frames.js';
import { Engine, type EngineError, type EngineEvent, FRAME_HEADER as H, type Frame, type PixelFormat, type Snapshot, type StartOptions,
  findEngine, framePixelBytes } from '../src/index.js';

export const MEDIA = process.env.VEXOLO_MEDIA ?? fileURLToPath(new URL('../../../build/media/', import.meta.url));

export const clip = (name: string): string => pathToFileURL(path.join(MEDIA, name)).href;
if (!fs.existsSync(path.join(MEDIA, 'clip.mp4'))) throw new Error(`no test clips in ${MEDIA}: run scripts/make-media.sh ${MEDIA} (npm test does)`);

/**
 * A home of its own whose sound device is not there (the .asoundrc of scripts/private-home.sh), as on a headless
 * machine: the library cannot open a sound output.
 */
export function quietEnv(): NodeJS.ProcessEnv {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-test-'));
  fs.writeFileSync(path.join(home, '.asoundrc'), 'pcm.!default { type hw card 31 }\n');
  const env: NodeJS.ProcessEnv = { ...process.env, HOME: home };
  delete env.PULSE_SERVER;
  return env;
}

/** A home whose sound server (with a null sink, or those named) the engine finds, as on a desktop. */
export async function soundEnv(t: TestContext, sinks = ['']): Promise<NodeJS.ProcessEnv> {
  const env = quietEnv();
  const socket = path.join(env.HOME!, 'pulse-native');
  const server = spawn('pulseaudio', ['--daemonize=no', '--exit-idle-time=-1', '--use-pid-file=no', '-n',
    ...sinks.map((name) => `--load=module-null-sink${name && ` sink_name=${name}`}`),
    `--load=module-native-protocol-unix auth-anonymous=1 socket=${socket}`], { env, stdio: 'ignore' });
  t.after(() => server.kill('SIGKILL'));
  await poll('the sound server', () => (assert.equal(server.exitCode, null, 'the sound server ended'), fs.existsSync(socket)), 5000, 10);
  return { ...env, PULSE_SERVER: `unix:${socket}` };
}

/**
 * A loopback HTTP server. "/<status>/..." answers with that status; "/file/<name>"
 * serves a file of `dir` with byte ranges, at most `rate` bytes a second, a range
 * not from 0 answered `delayMs` late; "/stream/<name>" sends it without a length;
 * "/silent/..." never answers. Misbehaving as real servers do, a file's first half
 * then: "/stall/<name>" nothing for ever, or "?stall=<ms>", with the connection
 * open, "/cut/<name>" a closed connection, and every range refused the same
 * way. "/norange/<name>" answers every range with the whole file (with the
 * same stall when asked); "/redirect/<url>" with a 302 to that (encoded) URL;
 * "/hls/..." is `hls`. Bytes that are not HTTP (a TLS hello) get a 400. Every request is kept with its headers.
 */
export async function serve(t: TestContext, dir = MEDIA, tls = false) {
  const options = { rate: 0, delayMs: 0, answeredLate: [] as number[],
    hls: null as ((name: string) => string | Buffer) | null, requests: [] as { url: string; headers: http.IncomingHttpHeaders }[] };
  const answer: http.RequestListener = async (req, res) => {
    options.requests.push({ url: req.url!, headers: req.headers });
    const [where, query = ''] = req.url!.split('?');
    const [, kind = '', ...rest] = where!.split('/');
    const [name, stallMs] = [rest.join('/'), Number(/stall=(\d+)/.exec(query)?.[1] ?? 0)];
    if (kind === 'silent') return;
    if (kind === 'redirect') return void res.writeHead(302, { location: decodeURIComponent(name) }).end();
    if (kind === 'hls' && options.hls) return void res.end(options.hls(name));
    if (!['file', 'stream', 'stall', 'cut', 'norange'].includes(kind)) return void res.writeHead(Number(kind) || 400).end('no');
    const body = fs.readFileSync(path.join(dir, name));
    if (kind === 'stream') return void res.writeHead(200, { 'content-type': 'video/mp2t' }).write(body);
    const from = kind === 'norange' ? 0 : Number(/bytes=(\d+)/.exec(req.headers.range ?? '')?.[1] ?? 0);
    if (kind === 'cut' && from > 0) return void req.socket.destroy();
    if (from > 0 && options.delayMs) await sleep(options.delayMs).then(() => options.answeredLate.push(Date.now()));
    const ranged = req.headers.range && kind !== 'norange';
    res.writeHead(ranged ? 206 : 200, { 'accept-ranges': 'bytes', 'content-length': body.length - from,
      ...(ranged && { 'content-range': `bytes ${from}-${body.length - 1}/${body.length}` }) });
    const cut = kind === 'stall' || kind === 'cut' || stallMs ? Math.floor(body.length / 2) : Infinity;
    for (let at = from; at < body.length && !res.destroyed; at += 16384) {
      if (at >= cut && kind === 'cut') return void req.socket.end(); // once what was written is out
      if (at >= cut && at - 16384 < cut) await (stallMs ? sleep(stallMs) : new Promise((r) => res.on('close', r)));
      res.write(body.subarray(at, at + 16384));
      if (options.rate) await sleep((16384 * 1000) / options.rate);
    }
    res.end();
  };
  // Over TLS with a certificate made on the spot for 127.0.0.1, that nobody trusts.
  const key = path.join(dir === MEDIA ? os.tmpdir() : dir, `vexolo-${process.pid}-key.pem`);
  if (tls) execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-days', '1',
    '-subj', '/CN=127.0.0.1', '-keyout', key, '-out', `${key}.crt`], { stdio: 'ignore' });
  const server = tls ? https.createServer({ key: fs.readFileSync(key), cert: fs.readFileSync(`${key}.crt`) }, answer) : http.createServer(answer);
  await new Promise<void>((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => (server.closeAllConnections(), server.close(), fs.rmSync(key, { force: true }), fs.rmSync(`${key}.crt`, { force: true })));
  const port = (server.address() as AddressInfo).port;
  return Object.assign(options, { port, url: (p: string) => `${tls ? 'https' : 'http'}://127.0.0.1:${port}${p}` });
}

/**
 * A loopback internet radio: answers with icy-name and, when asked for them, sends radio.mp3 at its bit rate
 * with ICY titles every 8000 bytes (a second): `titles[0]` for two seconds, then `titles[1]`. Keeps the
 * headers of every request.
 */
export async function radio(t: TestContext, titles: string[]) {
  const requests: http.IncomingHttpHeaders[] = [];
  const mp3 = fs.readFileSync(path.join(MEDIA, 'radio.mp3'));
  const server = net.createServer((socket) => {
    let head = '';
    socket.on('error', () => undefined);
    socket.on('data', async (chunk) => {
      if (head.includes('\r\n\r\n')) return;
      head += chunk.toString('latin1');
      if (!head.includes('\r\n\r\n')) return;
      const lines = head.split('\r\n').slice(1, -2);
      const headers = Object.fromEntries(lines.map((l) => [l.slice(0, l.indexOf(':')).toLowerCase(), l.slice(l.indexOf(':') + 1).trim()]));
      requests.push(headers);
      const metadata = headers['icy-metadata'] === '1';
      socket.write(`HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name: Loopback FM\r\nicy-genre: Tests\r\n${metadata ? 'icy-metaint: 8000\r\n' : ''}\r\n`);
      for (let block = 0; block < 30 && !socket.destroyed; block++) {
        const at = (block * 8000) % (mp3.length - 8000);
        socket.write(mp3.subarray(at, at + 8000));
        if (metadata) {
          const text = Buffer.from(`StreamTitle='${titles[block < 2 ? 0 : 1]}';`);
          const meta = Buffer.alloc(Math.ceil(text.length / 16) * 16);
          text.copy(meta);
          socket.write(Buffer.concat([Buffer.from([meta.length / 16]), meta]));
        }
        await sleep(1000);
      }
      socket.end();
    });
  });
  await new Promise<void>((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => server.close());
  return { url: `http://127.0.0.1:${(server.address() as net.AddressInfo).port}/stream`, requests };
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
 * A stand-in engine in `dir`: `start` runs first (by default the ready line), then each
 * command is written down, `each` runs with its $id, the command is acked, and `after` runs.
 */
export function fakeEngine(t: TestContext, each = '', start = `echo '{"type":"ready","version":"fake"}'`, after = '') {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-fake-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const [binary, sent] = [path.join(dir, 'engine'), path.join(dir, 'sent')];
  const loop = `while read -r line; do\n  echo "$line" >>'${sent}'; id=$(echo "$line" | sed 's/^{"id":\\([0-9]*\\).*/\\1/')`;
  fs.writeFileSync(binary, `#!/bin/sh\n${start}\n${loop}\n  ${each}\n  printf '{"type":"ack","id":%s,"ok":true}\\n' "$id"\n  ${after}\ndone\n`, { mode: 0o755 });
  return { binary, dir, sent: () => fs.readFileSync(sent, 'utf8').trim().split('\n').map((l) => JSON.parse(l) as object) };
}

/** Waits until the snapshot satisfies `ready`; after timeoutMs (stretched by SLOWDOWN) fails naming `what` and the last snapshot. */
export const until = (engine: Engine, what: string, ready: (s: Snapshot) => boolean, timeoutMs = 20000) =>
  engine.until(what, ready, timeoutMs * SLOWDOWN);

/** Debian's Chromium, headless, with a fresh profile of its own, and nothing sent off this machine. */
export const chromiumLaunch = () => chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--headless', '--no-sandbox', '--disable-gpu',
  '--disable-quic', '--no-first-run', '--disable-sync', '--disable-background-networking', '--disable-component-update'] });

/** Polls until `ready` holds; after timeoutMs (stretched by SLOWDOWN) fails naming `what`. */
export async function poll(what: string | (() => string), ready: () => boolean, timeoutMs = 10000, everyMs = 20): Promise<void> {
  for (const deadline = Date.now() + timeoutMs * SLOWDOWN; !ready(); await sleep(everyMs)) {
    if (Date.now() > deadline) assert.fail(`timed out after ${timeoutMs * SLOWDOWN} ms waiting for ${typeof what === 'string' ? what : what()}`);
  }
}

/** Room for the engine to send something more that it must not: what came after it is then judged. */
export const room = (ms: number) => sleep(ms);

/** The colour at the centre of a frame, named coarsely. */
export function colourAt(frame: Frame): string {
  const [x, y] = [frame.width >> 1, frame.height >> 1];
  if (frame.format === 'i420') {
    const { planes, pitches } = frame;
    const chroma = (plane: Buffer, pitch: number) => plane[(y >> 1) * pitch + (x >> 1)]!;
    const [r, g, b] = yuvToRgb(planes.y[y * pitches.y + x]!, chroma(planes.u, pitches.u), chroma(planes.v, pitches.v));
    return nameColour(r!, g!, b!);
  }
  const at = y * frame.pitch + x * 4;
  return nameColour(frame.pixels[at + 2]!, frame.pixels[at + 1]!, frame.pixels[at]!);
}

export function nameColour(r: number, g: number, b: number): string {
  if (Math.max(r, g, b) - Math.min(r, g, b) < 30) return 'grey';
  const i = [r, g, b].findIndex((v, _, all) => v > 100 && all.filter((w) => w < 60).length === 2);
  return ['red', 'green', 'blue'][i] ?? `rgb(${r},${g},${b})`;
}

/** Red, green, blue of a BT.601 studio-range Y, U, V sample, as libvlc converts it. */
export function yuvToRgb(y: number, u: number, v: number): number[] {
  const [l, cb, cr] = [1.164 * (y - 16), u - 128, v - 128];
  return [l + 1.596 * cr, l - 0.392 * cb - 0.813 * cr, l + 2.017 * cb].map((c) => Math.round(Math.min(255, Math.max(0, c))));
}

/** A frame as read raw from fd 3, with when it began and ended to arrive. */
export interface RawFrame extends FrameInfo {
  begun: number; arrived: number;
  /**
   * The middle pixel as sent: blue, green, red, or Y, U, V; the largest distance of any sample of a plane from
   * it (small frames); and the samples at the middles of the four quarters, top left to bottom right.
   */
  centre: number[]; worst: number; quarters: number[][];
  /** The middle pixel's red, green, blue, whatever the layout. */
  rgb: number[];
  /** The number drawn in a numbered clip: ten blocks across the middle row, white for a set bit. */
  number: number;
}

/** Every line of the engine, strictly parsed, with awaits on what comes. */
export interface Raw {
  child: ChildProcess;
  events: Record<string, any>[];
  /** Each event's line as written, and when it arrived. */
  lines: string[];
  times: number[];
  frames: RawFrame[];
  /** The engine's exit status, 128 + N after signal N. */
  exit: Promise<number>;
  send(text: string): void;
  /**
   * The next event not yet consumed that matches; consumes up to it. Fails naming `what` (by default the
   * matcher's text) and the last events after timeoutMs (stretched by SLOWDOWN), or at once when the engine ends.
   */
  wait(match: (e: Record<string, any>) => boolean, timeoutMs?: number, what?: string): Promise<Record<string, any>>;
  command(line: string, id: number): Promise<Record<string, any>>;
  stderr(): string;
  /** Stops or resumes reading fd 3. */
  pauseFrames(paused: boolean): void;
}

export const SLOWDOWN = Number(process.env.VEXOLO_SLOWDOWN ?? 1);
/** The sanitizers' allocators keep freed memory: only the plain build can judge resident size. */
export const SIZES_TELL = SLOWDOWN === 1;
const status = (pid: number, key: string) => Number(new RegExp(`${key}:\\s+(\\d+)`).exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))?.[1]);
/** Resident kB, threads and descriptors of a process. */
export const usage = (pid: number) => ({ kb: status(pid, 'VmRSS'), threads: status(pid, 'Threads'), fds: fs.readdirSync(`/proc/${pid}/fd`).length });
export const cmd = (id: number, name: string, fields: object = {}) => JSON.stringify({ id, cmd: name, ...fields });
export const load = (id: number, url: string, fields: object = {}) => cmd(id, 'load', { url, live: false, ...fields });
export const ack = (id: number, ok: boolean) => ({ type: 'ack', id, ok });
/** The events of a type from index `from` on. */
export const of = (h: Raw, type: string, from = 0) => h.events.slice(from).filter((e) => e.type === type);

/** Reads the samples of pixel (x, y) in a frame's pixels: [blue, green, red] or [Y, U, V]. */
function sampleAt(f: RawFrame, pixels: Buffer, x: number, y: number): number[] {
  if (f.format === 'bgrx') return [...pixels.subarray(y * f.pitch + x * 4, y * f.pitch + x * 4 + 3)];
  const chroma = (plane: number) => f.pitch * f.height + plane * (f.pitch / 2) * Math.ceil(f.height / 2) + (y >> 1) * (f.pitch / 2) + (x >> 1);
  return [pixels[y * f.pitch + x]!, pixels[chroma(0)]!, pixels[chroma(1)]!];
}

/**
 * The engine on raw pipes, with a private home and no sound server. `setup` is
 * Python run in the child before the engine starts: a careless host's set-ups
 * of descriptors and signals. `frames: false` leaves fd 3 closed; `env` may
 * hold a sound server.
 */
export async function raw(t: TestContext, { args = [] as string[], frames = true, setup = '', ready = true, env = quietEnv() } = {}): Promise<Raw> {
  const errPath = path.join(env.HOME!, 'stderr');
  const format: PixelFormat = args.findLast((a) => a.startsWith('--pixels=')) === '--pixels=i420' ? 'i420' : 'bgrx';
  const err = fs.openSync(errPath, 'w');
  const engine = findEngine();
  const { child, readFd } = setup
    ? spawnEngine('python3', ['-c', `import os, sys, signal, fcntl\n${setup}\nos.execv(sys.argv[1], sys.argv[1:])`, engine, ...args],
      { frames, env, stderr: err })
    : spawnEngine(engine, args, { frames, env, stderr: err });
  fs.closeSync(err);
  child.stdin!.on('error', () => undefined);
  const h: Raw = {
    child, events: [], lines: [], times: [], frames: [],
    exit: new Promise((resolve) => child.on('exit', (code, sig) => resolve(code ?? 128 + os.constants.signals[sig!]))),
    send: (text) => void child.stdin!.write(`${text}\n`),
    wait: (match, timeoutMs = 10000, what = match.toString()) => new Promise((resolve, reject) => {
      const fail = (why: string) => (clearTimeout(timer),
        reject(new Error(`${why} waiting for ${what}; last events:\n${h.events.slice(-12).map((e) => JSON.stringify(e)).join('\n')}`)));
      const timer = setTimeout(() => fail(`timed out after ${timeoutMs * SLOWDOWN} ms`), timeoutMs * SLOWDOWN);
      waiters.push({ match: (e) => match(e) && (clearTimeout(timer), resolve(e), true), fail });
      next();
    }),
    command: (line, id) => (h.send(line), h.wait((e) => e.type === 'ack' && e.id === id, undefined, `the ack of ${line.slice(0, 100)}`)),
    stderr: () => fs.readFileSync(errPath, 'utf8'),
    pauseFrames: (paused) => void (paused ? socket?.pause() : socket?.resume()),
  };
  // Waits run in turn on the events not yet consumed; once the engine's output is closed, what is left fails.
  const waiters: { match: (e: Record<string, any>) => boolean; fail: (why: string) => void }[] = [];
  let [consumed, ended] = [0, ''];
  const next = () => {
    while (waiters.length && consumed < h.events.length) if (waiters[0]!.match(h.events[consumed++]!)) waiters.shift();
    if (ended) for (const w of waiters.splice(0)) w.fail(ended);
  };
  // A sanitizer's report is the reason an engine ended: told with it.
  const report = () => {
    const text = h.stderr();
    const at = text.search(/WARNING: ThreadSanitizer|ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:/);
    return at < 0 ? '' : text.slice(at, at + 4000);
  };
  child.on('close', (code, sig) => ((ended = `the engine ended (${sig ?? `status ${code}`})${code === 86 ? `\n${report()}` : ''}`), next()));
  let partial = '';
  child.stdout!.setEncoding('utf8').on('data', (chunk: string) => {
    const lines = (partial + chunk).split('\n');
    partial = lines.pop()!;
    for (const line of lines) {
      assert.ok(line.startsWith('{"type":"'), line);
      h.events.push(JSON.parse(line));
      h.lines.push(line);
      h.times.push(Date.now());
    }
    next();
  });
  child.stdout!.on('end', () => assert.equal(partial, '', 'output ends inside a line'));
  const socket = readFd === null ? null : new net.Socket({ fd: readFd, readable: true, writable: false });
  let frame: RawFrame | null = null;
  let pixels = Buffer.alloc(0);
  let [head, have] = [Buffer.alloc(H.size), 0];
  socket?.on('data', (chunk: Buffer) => {
    for (let at = 0; at < chunk.length;) {
      if (!frame) {
        const n = Math.min(H.size - have, chunk.length - at);
        chunk.copy(head, have, at, at + n);
        [at, have] = [at + n, have + n];
        if (have < H.size) break;
        const problem = headerProblem(head, format, Infinity);
        // Only a landed frame or a preview names its command there.
        const named = parseHeader(head, format);
        assert.ok(problem === null && (head.readUInt32LE(H.reserved) === 0 || named.landed || named.preview), `frame header: ${problem ?? 'reserved set'}`);
        frame = { ...parseHeader(head, format), begun: Date.now(), arrived: 0, centre: [], worst: 0, quarters: [], rgb: [], number: 0 };
        [pixels, have] = [Buffer.alloc(framePixelBytes(format, frame.pitch, frame.height)), 0];
      }
      const n = Math.min(pixels.length - have, chunk.length - at);
      chunk.copy(pixels, have, at, at + n);
      [at, have] = [at + n, have + n];
      if (have < pixels.length) break;
      const f = frame;
      const [midX, midY] = [f.width >> 1, f.height >> 1];
      f.centre = sampleAt(f, pixels, midX, midY);
      f.rgb = f.format === 'i420' ? yuvToRgb(f.centre[0]!, f.centre[1]!, f.centre[2]!) : f.centre.toReversed();
      f.quarters = [[1, 1], [3, 1], [1, 3], [3, 3]].map(([qx, qy]) => sampleAt(f, pixels, (f.width * qx!) >> 2, (f.height * qy!) >> 2));
      for (let k = 0; k < 10; k++) f.number |= Math.min(...sampleAt(f, pixels, Math.floor((f.width * (2 * k + 1)) / 20), midY).slice(0, f.format === 'i420' ? 1 : 3)) > 160 ? 1 << k : 0;
      for (let y = 0; f.width * f.height <= 320 * 240 && y < f.height; y++) {
        for (let x = 0; x < f.width; x++) sampleAt(f, pixels, x, y).forEach((v, i) => (f.worst = Math.max(f.worst, Math.abs(v - f.centre[i]!))));
      }
      h.frames.push({ ...f, arrived: Date.now() });
      [frame, have] = [null, 0];
    }
  });
  t.after(() => (child.kill('SIGKILL'), socket?.destroy()));
  // A sanitizer report from the engine fails the test that ran it.
  t.after(async () => (await h.exit, assert.doesNotMatch(h.stderr(), /Sanitizer|runtime error:/)));
  if (ready) await h.wait((e) => e.type === 'ready', undefined, 'the ready line');
  return h;
}
