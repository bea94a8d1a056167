// One engine process: spawns it with its frame pipe, frames its output into
// event lines, matches acks to the commands sent, keeps only the current
// generation's events and frames, and reads the frames. Everything it hears
// goes to one sink, in order; nothing follows the exit. A restart is a new
// channel.

import { type ChildProcess, spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { EngineError, MediaError } from './errors.js';
import { type Frame, type FrameInfo, FrameReader, type FrameStats, framePipe } from './frames.js';
import { Generations } from './generations.js';
import { type CommandName, type LogCode, type PixelFormat, type WireEvent, checkArgs, parseEvent } from './protocol.js';
import type { EngineEvent } from './state.js';
import { delayProblem } from './wait.js';

export interface StartOptions {
  /** The engine executable; else $VEXOLO_ENGINE; else the repository's build/vexolo-engine; else vexolo-engine on PATH. */
  binary?: string;
  /** Largest picture sent; default 1920x1080. */
  maxSize?: { width: number; height: number };
  /** Pictures on descriptor 3; default true. */
  frames?: boolean;
  /**
   * The layout of the pictures: 'bgrx' (default), 4 bytes a pixel, or 'i420', the decoder's own planar
   * 4:2:0 at 1.5 bytes a pixel, which the engine sends without a colour conversion when no scaling is needed.
   */
  pixels?: PixelFormat;
  /** Above 0, library warnings come as log lines too. */
  logLevel?: number;
  /** Default 15000. */
  startTimeoutMs?: number;
  /** Time allowed for each ack; default 10000. */
  commandTimeoutMs?: number;
  /** Time quit() waits for the process to end before it kills it; default 3000. */
  quitTimeoutMs?: number;
  /** Start a new engine when this one dies unasked, and re-apply volume, mute and audio delay. */
  restart?: boolean;
  env?: NodeJS.ProcessEnv;
}

export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
  /** Ended by quit() or kill(), not on its own. */
  expected: boolean;
}

export type Ack = Extract<WireEvent, { type: 'ack' }>;

/** What a channel hears, told to its sink in the order heard. */
export type Heard =
  /** An event of the current generation. */
  | { kind: 'event'; e: EngineEvent }
  /** Every ack, with the command it answers. */
  | { kind: 'acked'; cmd: CommandName; args: Readonly<Record<string, unknown>>; ack: Ack }
  /** An ack moved the engine to a new generation (told before the events it releases). */
  | { kind: 'generation'; generation: number; cmd: CommandName }
  /** A frame of the current generation as it completes; `frame`'s buffers hold until the sink returns. */
  | { kind: 'frame'; info: FrameInfo; frame: Frame }
  /** A preview's frame of the current generation, a copy the host may keep. */
  | { kind: 'preview'; frame: Frame }
  | { kind: 'log'; message: string; code?: LogCode }
  /** The engine broke the protocol; the line or frame was not used. */
  | { kind: 'fault'; err: EngineError }
  /** The process ended: the last thing told. `err` is what a wait then fails with. */
  | { kind: 'exit'; info: ExitInfo; err: EngineError };

interface Pending {
  cmd: CommandName;
  args: Record<string, unknown>;
  settled: boolean;
  timer: NodeJS.Timeout;
  resolve: (ack: Ack) => void;
  reject: (err: Error) => void;
}

const MAX_LINE = 1 << 20;
/** How long the output may stay open after the process ended (a child of its own holding it) before the exit is told. */
const CLOSE_GRACE_MS = 1000;

const liveChildren = new Set<ChildProcess>();
let exitHooked = false;

/** Kills every engine this process started when it exits, whatever the host forgot. */
function track(child: ChildProcess): void {
  liveChildren.add(child);
  if (exitHooked) return;
  exitHooked = true;
  process.on('exit', () => {
    for (const c of liveChildren) c.kill('SIGKILL');
  });
}

const isExecutable = (file: string): boolean => {
  try {
    fs.accessSync(file, fs.constants.X_OK);
    return fs.statSync(file).isFile();
  } catch {
    return false;
  }
};

/**
 * The engine executable: the option or else $VEXOLO_ENGINE, when given, and
 * nothing else; otherwise the repository's build/vexolo-engine (when this
 * library runs from the repository), then vexolo-engine on PATH.
 */
export function findEngine(binary?: string): string {
  const chosen = binary ?? process.env.VEXOLO_ENGINE;
  if (chosen !== undefined) {
    if (isExecutable(chosen)) return chosen;
    const by = binary === undefined ? 'VEXOLO_ENGINE' : 'the binary option';
    throw new EngineError('startFailed', `no engine executable at ${chosen} (named by ${by})`);
  }
  const looked: string[] = [];
  const here = fileURLToPath(import.meta.url);
  if (!here.split(path.sep).includes('node_modules')) {
    const built = fileURLToPath(new URL('../../../build/vexolo-engine', import.meta.url));
    if (isExecutable(built)) return built;
    looked.push(built);
  }
  // Empty PATH entries would mean the working directory: not a place to run programs from.
  const dirs = (process.env.PATH ?? '').split(path.delimiter).filter((dir) => path.isAbsolute(dir));
  for (const dir of dirs) {
    const file = path.join(dir, 'vexolo-engine');
    if (isExecutable(file)) return file;
  }
  looked.push(`vexolo-engine on PATH (${dirs.join(path.delimiter) || 'empty'})`);
  throw new EngineError(
    'startFailed',
    `no engine executable: looked at ${looked.join(', then ')}; install vexolo-engine, pass binary or set VEXOLO_ENGINE`,
  );
}

/**
 * Runs `command` with the write end of a fresh frame pipe as its descriptor 3 (or none there when `frames`
 * is false) and closes our copy of that end; the read end is the caller's. Both the library and the tests'
 * raw host start the engine through here.
 */
export function spawnEngine(
  command: string,
  args: string[],
  options: { frames: boolean; env: NodeJS.ProcessEnv; stderr?: 'pipe' | number },
): { child: ChildProcess; readFd: number | null } {
  let pipe: ReturnType<typeof framePipe> | null = null;
  try {
    pipe = options.frames ? framePipe() : null;
  } catch (err) {
    throw new EngineError('startFailed', `cannot make the frame pipe: ${(err as Error).message}`);
  }
  try {
    const child = spawn(command, args, {
      stdio: ['pipe', 'pipe', options.stderr ?? 'pipe', pipe ? pipe.writeFd : 'ignore'],
      env: options.env,
    });
    return { child, readFd: pipe?.readFd ?? null };
  } catch (err) {
    if (pipe) fs.closeSync(pipe.readFd);
    throw new EngineError('startFailed', `cannot start ${command}: ${(err as Error).message}`);
  } finally {
    if (pipe) fs.closeSync(pipe.writeFd);
  }
}

function describeExit(code: number | null, signal: NodeJS.Signals | null): string {
  return signal ? `signal ${signal}` : `status ${code}`;
}

/** The engine's arguments for these options; throws badArgument for options it cannot take. */
function engineArgs({ maxSize, frames = true, logLevel, pixels, ...rest }: StartOptions): string[] {
  const args: string[] = [];
  for (const name of ['startTimeoutMs', 'commandTimeoutMs', 'quitTimeoutMs'] as const) {
    const problem = rest[name] === undefined ? null : delayProblem(name, rest[name]);
    if (problem) throw new EngineError('badArgument', problem);
  }
  if (maxSize) {
    const ok = [maxSize.width, maxSize.height].every((n) => Number.isInteger(n) && n > 1 && n < 2 ** 32);
    if (!ok) throw new EngineError('badArgument', 'maxSize needs integer sides above 1');
    args.push(`--max-size=${maxSize.width}x${maxSize.height}`);
  }
  args.push(frames ? '--frames=fd:3' : '--frames=null');
  if (pixels !== undefined) {
    if (pixels !== 'bgrx' && pixels !== 'i420') throw new EngineError('badArgument', "pixels must be 'bgrx' or 'i420'");
    args.push(`--pixels=${pixels}`);
  }
  if (logLevel !== undefined) {
    if (!Number.isInteger(logLevel)) throw new EngineError('badArgument', 'logLevel must be an integer');
    args.push(`--loglevel=${logLevel}`);
  }
  return args;
}

export class Channel {
  /** The libvlc version and the engine's own, from the ready line. */
  version = '';
  engineVersion = '';
  /** The id of the last seek the engine took: the one an older engine's seekLanded, which has no id, answers. */
  lastSeek = 0;
  readonly reader: FrameReader | null;
  /** Resolves once the engine is ready; rejects with why it did not start, and the process is killed. */
  readonly ready: Promise<void>;
  /** Resolves when the process has ended and all of its output was read. */
  readonly exited: Promise<ExitInfo>;
  private readonly child: ChildProcess;
  private readonly generations = new Generations<EngineEvent>();
  private readonly pending = new Map<number, Pending>();
  /** The first frame of each of the last generations, for a load whose frame came before its ack was read. */
  private readonly firstFrames = new Map<number, FrameInfo>();
  private nextId = 1;
  private alive = true;
  private expectExit = false;
  /** The ready line came: the engine started. */
  sawReady = false;

  /** Spawns the engine; throws startFailed or badArgument when it cannot. */
  constructor(
    private readonly options: StartOptions,
    private readonly sink: (h: Heard) => void,
  ) {
    const binary = findEngine(options.binary);
    const { child, readFd } = spawnEngine(binary, engineArgs(options), {
      frames: options.frames !== false,
      env: options.env ?? process.env,
    });
    this.child = child;
    track(child);
    // Room for a scaled side passing an odd maximum by one, and for row padding.
    const format = options.pixels ?? 'bgrx';
    const area = (options.maxSize?.width ?? 1920) * (options.maxSize?.height ?? 1080);
    const maxBytes = (format === 'i420' ? area * 1.5 : area * 4) + 64 * 4096;
    this.reader =
      readFd === null
        ? null
        : new FrameReader(
            readFd,
            format,
            maxBytes,
            (g) => this.generations.wants(g),
            (info, frame) => this.onFrame(info, frame),
            (err) => this.fault(err),
            (frame) => this.sink({ kind: 'preview', frame }),
          );

    const startMs = options.startTimeoutMs ?? 15000;
    this.ready = new Promise<void>((resolve, reject) => {
      const timer = setTimeout(() => this.started(new EngineError('startFailed', `no ready line within ${startMs} ms`)), startMs);
      this.started = (err) => {
        this.started = () => undefined;
        clearTimeout(timer);
        if (err) reject(err);
        else resolve();
      };
    }).catch((err: unknown) => {
      this.kill('SIGKILL');
      throw err;
    });

    let stderr = '';
    child.stderr!.setEncoding('utf8');
    child.stderr!.on('data', (s: string) => (stderr = (stderr + s).slice(-4096)));
    child.stdin!.on('error', () => undefined); // a dead engine is told by its exit

    let partial = '';
    child.stdout!.setEncoding('utf8');
    child.stdout!.on('data', (chunk: string) => {
      const lines = (partial + chunk).split('\n');
      partial = lines.pop()!;
      if (partial.length > MAX_LINE) {
        this.fault(new EngineError('protocol', `event line longer than ${MAX_LINE} bytes`));
        partial = '';
      }
      for (const line of lines) this.onLine(line);
    });

    this.exited = new Promise((resolve) => {
      let grace: NodeJS.Timeout | undefined;
      const ended = (code: number | null, signal: NodeJS.Signals | null) => {
        clearTimeout(grace);
        const why = stderr.trim() ? `: ${stderr.trim()}` : '';
        const exit = { exitCode: code, signal };
        this.started(new EngineError('startFailed', `engine ended before ready, ${describeExit(code, signal)}${why}`, exit));
        if (this.alive) resolve(this.onExit(code, signal));
      };
      child.on('error', (err) => {
        this.started(new EngineError('startFailed', `cannot start ${binary}: ${err.message}`));
        if (child.pid === undefined) ended(null, null);
      });
      // All output is read by 'close'; a child of the engine's that holds it open delays that only so long.
      child.on('exit', (code, signal) => {
        grace = setTimeout(() => (child.stdout!.destroy(), child.stderr!.destroy(), ended(code, signal)), CLOSE_GRACE_MS);
      });
      child.on('close', ended);
    });
  }

  /** Told once: null when the ready line came, else why the start failed. */
  private started!: (err: EngineError | null) => void;

  get pid(): number | undefined {
    return this.child.pid;
  }

  get frameStats(): FrameStats {
    return { ...(this.reader?.stats ?? { received: 0, delivered: 0, dropped: 0, stale: 0 }) };
  }

  /** The first frame of `generation` if it came already. */
  firstFrame(generation: number): FrameInfo | undefined {
    return this.firstFrames.get(generation);
  }

  /**
   * Sends a command and settles on its ack, or fails with badArgument (nothing sent), refused, timeout
   * or exited. `sent` learns the command's id as it goes out.
   */
  send(cmd: CommandName, args: Record<string, unknown> = {}, sent?: (id: number) => void): Promise<Ack> {
    const problem = checkArgs(cmd, args);
    if (problem) return Promise.reject(new EngineError('badArgument', problem, { command: cmd }));
    if (!this.alive) return Promise.reject(new EngineError('exited', `${cmd}: the engine is not running`, { command: cmd }));
    const id = this.nextId++;
    const timeoutMs = this.options.commandTimeoutMs ?? 10000;
    return new Promise<Ack>((resolve, reject) => {
      const p: Pending = { cmd, args, settled: false, resolve, reject, timer: undefined! };
      p.timer = setTimeout(() => {
        p.settled = true; // the ack may still come; it still moves the generation
        reject(new EngineError('timeout', `${cmd}: no ack within ${timeoutMs} ms`, { command: cmd }));
      }, timeoutMs);
      this.pending.set(id, p);
      this.generations.sent(cmd);
      sent?.(id);
      this.child.stdin!.write(`${JSON.stringify({ id, cmd, ...args })}\n`);
    });
  }

  /** Asks the engine to end, and kills it when it has not within `timeoutMs`. */
  async quit(timeoutMs: number): Promise<ExitInfo> {
    if (!this.alive) return this.exited;
    this.expectExit = true;
    const timer = setTimeout(() => this.child.kill('SIGKILL'), timeoutMs);
    this.send('quit').catch(() => undefined); // its ack or the exit, whichever comes
    const info = await this.exited;
    clearTimeout(timer);
    return info;
  }

  kill(signal: NodeJS.Signals): Promise<ExitInfo> {
    if (this.alive) {
      this.expectExit = true;
      this.child.kill(signal);
    }
    return this.exited;
  }

  private onLine(line: string): void {
    let e: WireEvent;
    try {
      e = parseEvent(line);
    } catch (err) {
      const fault = new EngineError('protocol', `unparsable event line (${(err as Error).message}): ${line.slice(0, 200)}`);
      if (this.sawReady) this.fault(fault);
      else this.started(fault); // start() rejects with it
      return;
    }
    switch (e.type) {
      case 'ready':
        if (this.sawReady) this.fault(new EngineError('protocol', 'a second ready line'));
        this.sawReady = true;
        this.version = e.version;
        this.engineVersion = e.engine ?? '';
        this.started(null);
        return;
      case 'ack':
        this.onAck(e);
        return;
      case 'log':
        if (e.code === 'notACommand') this.fault(new EngineError('protocol', `the engine did not take a line: ${e.message}`));
        this.sink({ kind: 'log', message: e.message, code: e.code });
        return;
    }
    // The answer to devices is the engine's, whatever media is loaded.
    if (e.type === 'devices') return this.sink({ kind: 'event', e });
    const event: EngineEvent =
      e.type === 'error' ? { type: 'error', error: new MediaError(e.problem, e.codec, this.generations.current) } : e;
    for (const due of this.generations.event(event)) this.sink({ kind: 'event', e: due });
  }

  private onAck(ack: Ack): void {
    const p = this.pending.get(ack.id);
    if (!p) {
      this.fault(new EngineError('protocol', `an ack for no command sent: id ${ack.id}`));
      return;
    }
    this.pending.delete(ack.id);
    clearTimeout(p.timer);
    if (ack.ok && p.cmd === 'load' && ack.generation === undefined) {
      this.fault(new EngineError('protocol', 'the ack of a load without a generation'));
    }
    if (ack.ok && (p.cmd === 'seek' || p.cmd === 'frameStep' || p.cmd === 'chapter')) this.lastSeek = ack.id;
    const { moved, due } = this.generations.acked(p.cmd, ack.ok, ack.generation);
    this.sink({ kind: 'acked', cmd: p.cmd, args: p.args, ack });
    if (moved) this.sink({ kind: 'generation', generation: this.generations.current, cmd: p.cmd });
    for (const e of due) this.sink({ kind: 'event', e });
    if (p.settled) return;
    p.settled = true;
    if (ack.ok) p.resolve(ack);
    else p.reject(new EngineError('refused', ack.message ?? `${p.cmd} refused by the engine`, { command: p.cmd }));
  }

  private onFrame(info: FrameInfo, frame: Frame): void {
    if (!this.firstFrames.has(info.generation)) {
      this.firstFrames.set(info.generation, info);
      if (this.firstFrames.size > 8) this.firstFrames.delete(this.firstFrames.keys().next().value!);
    }
    this.sink({ kind: 'frame', info, frame });
  }

  private fault(err: EngineError): void {
    if (this.alive) this.sink({ kind: 'fault', err });
  }

  private onExit(code: number | null, signal: NodeJS.Signals | null): ExitInfo {
    this.alive = false;
    liveChildren.delete(this.child);
    const expected = this.expectExit;
    const exitError = (what: string, command?: string) =>
      new EngineError('exited', `${what}: the engine exited with ${describeExit(code, signal)}`, { command, exitCode: code, signal });
    for (const p of this.pending.values()) {
      clearTimeout(p.timer);
      if (!p.settled) p.reject(exitError(p.cmd, p.cmd));
    }
    this.pending.clear();
    this.reader?.end(expected ? null : exitError('frames'));
    const info = { code, signal, expected };
    this.sink({ kind: 'exit', info, err: exitError('waiting') });
    return info;
  }
}
