// Spawns and supervises one engine process: commands and their acks, the
// event stream of the current generation, the snapshot, frames, the helpers
// that await outcomes, and the opt-in restart.

import { type ChildProcess, spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { EngineError, MediaError } from './errors.js';
import { type Frame, type FrameInfo, FrameReader, type FrameStats, framePipe } from './frames.js';
import {
  type CommandName,
  type LoadOptions,
  type LogCode,
  type PixelFormat,
  type SeekTarget,
  type WireEvent,
  checkArgs,
  parseEvent,
} from './protocol.js';
import { Generations } from './generations.js';
import { type EngineEvent, type Snapshot, blank, reduce } from './state.js';

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

export type SeekOutcome = { landedMs: number; ended: false } | { landedMs: null; ended: true };

interface Listeners {
  /** A playback event of the current media. */
  event: (e: EngineEvent) => void;
  /** The snapshot changed. */
  state: (s: Snapshot) => void;
  /** A diagnostics line of the engine or the library, with the engine's code for its own. Never an error. */
  log: (message: string, code?: LogCode) => void;
  /** The engine broke the protocol; the line or frame was not used. */
  fault: (err: EngineError) => void;
  exit: (info: ExitInfo) => void;
  /** A new engine replaced one that died; load again. */
  restart: () => void;
}

type Happening =
  | { kind: 'event'; e: EngineEvent }
  | { kind: 'frame'; info: FrameInfo }
  | { kind: 'generation'; generation: number }
  | { kind: 'exit'; err: EngineError };

type Ack = Extract<WireEvent, { type: 'ack' }>;

interface Pending {
  cmd: CommandName;
  args: Record<string, unknown>;
  settled: boolean;
  timer: NodeJS.Timeout;
  resolve: (ack: Ack) => void;
  reject: (err: Error) => void;
  onAck?: (ack: Ack) => void;
}

/** Time an `error` may follow an `end` (media with nothing decodable says so after its end). */
const ERROR_AFTER_END_MS = 1000;
const MAX_LINE = 1 << 20;
const RESTARTS_PER_MINUTE = 3;

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

export class Engine {
  /** The libvlc version the engine reported. */
  version = '';
  /** The engine's own version, as it reported it ('' when it did not). */
  engineVersion = '';
  private child!: ChildProcess;
  private reader: FrameReader | null = null;
  private alive = false;
  private exitInfo!: Promise<ExitInfo>;
  private expectExit = false;
  private sawReady = false;
  private restarting: Promise<void> | null = null;
  private restarts: number[] = [];
  private readonly pending = new Map<number, Pending>();
  private nextId = 1;
  private readonly generations = new Generations<EngineEvent>();
  private snap: Snapshot = blank(0);
  private readonly settings: { volume?: number; mute?: boolean; audioDelay?: number } = {};
  private readonly firstFrames = new Map<number, FrameInfo>();
  private consuming = false;
  private readonly listeners = new Map<string, Set<(arg: never) => void>>();
  private readonly watchers = new Set<(h: Happening) => void>();

  private constructor(private readonly options: StartOptions) {}

  /** Spawns the engine and resolves once it is ready. */
  static async start(options: StartOptions = {}): Promise<Engine> {
    const engine = new Engine(options);
    await engine.spawn();
    return engine;
  }

  get pid(): number | undefined {
    return this.child.pid;
  }

  /** The snapshot of the current media. */
  get state(): Snapshot {
    return this.snap;
  }

  get frameStats(): FrameStats {
    return { ...(this.reader?.stats ?? { received: 0, delivered: 0, dropped: 0, stale: 0 }) };
  }

  /** Resolves when this engine process ends. */
  get exited(): Promise<ExitInfo> {
    return this.exitInfo;
  }

  on<K extends keyof Listeners>(name: K, listener: Listeners[K]): () => void {
    let set = this.listeners.get(name);
    if (!set) this.listeners.set(name, (set = new Set()));
    set.add(listener as (arg: never) => void);
    return () => set.delete(listener as (arg: never) => void);
  }

  // ---- Commands: each settles on its ack ----------------------------------------

  /** Resolves with the new generation. */
  async load(url: string, options: LoadOptions = {}): Promise<number> {
    const ack = await this.send('load', { url, live: false, ...options });
    return ack.generation as number;
  }
  async stop(): Promise<void> {
    await this.send('stop');
  }
  async play(): Promise<void> {
    await this.send('play');
  }
  async pause(): Promise<void> {
    await this.send('pause');
  }
  async seek(target: SeekTarget): Promise<void> {
    await this.send('seek', { ...target });
  }
  async audio(track: number): Promise<void> {
    await this.send('audio', { track });
  }
  async spu(track: number): Promise<void> {
    await this.send('spu', { track });
  }
  async volume(level: number): Promise<void> {
    await this.send('volume', { level });
  }
  async mute(value: boolean): Promise<void> {
    await this.send('mute', { value });
  }
  async audioDelay(ms: number): Promise<void> {
    await this.send('audioDelay', { ms });
  }

  /** Asks the engine to end; kills it when it has not ended within the quit timeout. */
  async quit(): Promise<ExitInfo> {
    if (this.restarting) await this.restarting.catch(() => undefined);
    if (!this.alive) return this.exitInfo;
    this.expectExit = true;
    const timer = setTimeout(() => this.child.kill('SIGKILL'), this.options.quitTimeoutMs ?? 3000);
    this.send('quit').catch(() => undefined); // its ack or the exit, whichever comes
    const info = await this.exitInfo;
    clearTimeout(timer);
    return info;
  }

  /** Ends the engine at once. */
  kill(signal: NodeJS.Signals = 'SIGKILL'): Promise<ExitInfo> {
    if (this.alive) {
      this.expectExit = true;
      this.child.kill(signal);
    }
    return this.exitInfo;
  }

  // ---- Awaiting outcomes -------------------------------------------------------

  /** Loads `url` and resolves at its first frame; rejects with its MediaError, or if it ends without one. */
  loadFirstFrame(url: string, options: LoadOptions = {}, timeoutMs = 20000): Promise<{ generation: number; frame: FrameInfo }> {
    if (!this.reader) return Promise.reject(new EngineError('badArgument', 'the engine was started without frames'));
    let gen: number | null = null;
    let endTimer: NodeJS.Timeout | undefined;
    return this.outcome(`first frame of ${url}`, timeoutMs, (done) => {
      this.send('load', { url, live: false, ...options }, (ack) => {
        gen = ack.generation as number;
        const early = this.firstFrames.get(gen);
        if (early) done(null, { generation: gen, frame: early });
      }).catch((err) => done(err));
      return {
        watch: (h) => {
          if (gen === null) return;
          if (h.kind === 'frame' && h.info.generation === gen) done(null, { generation: gen, frame: h.info });
          else if (h.kind === 'generation') done(new EngineError('superseded', `load of ${url} was replaced`));
          else if (h.kind === 'event' && h.e.type === 'error') done(h.e.error);
          else if (h.kind === 'event' && (h.e.type === 'end' || h.e.type === 'stopped')) {
            const ended = new EngineError('ended', `${url} ended without a frame`);
            endTimer ??= setTimeout(() => done(ended), ERROR_AFTER_END_MS);
          }
        },
        cleanup: () => clearTimeout(endTimer),
      };
    });
  }

  /** Seeks and resolves where the seek landed, or when the media ends first. */
  seekAndWait(target: SeekTarget, timeoutMs = 10000): Promise<SeekOutcome> {
    let armed = false;
    return this.outcome('seek landing', timeoutMs, (done) => {
      this.send('seek', { ...target }, () => (armed = true)).catch((err) => done(err));
      return {
        watch: (h) => {
          if (!armed || h.kind === 'frame') return;
          if (h.kind === 'generation') done(new EngineError('superseded', 'the media was replaced during the seek'));
          else if (h.kind === 'event' && h.e.type === 'seekLanded') done(null, { landedMs: h.e.ms, ended: false });
          else if (h.kind === 'event' && h.e.type === 'end') done(null, { landedMs: null, ended: true });
          else if (h.kind === 'event' && h.e.type === 'error') done(h.e.error);
        },
      };
    });
  }

  // ---- Frames ------------------------------------------------------------------

  /**
   * The frames of the current media, latest first when the loop is slow: a
   * frame's buffers are reused once the next one is asked for. One consumer
   * at a time. Ends after quit(); throws the exit error when the engine dies.
   */
  frames(): AsyncIterableIterator<Frame> {
    const reader = this.reader;
    if (!reader) throw new EngineError('badArgument', 'the engine was started without frames');
    if (this.consuming) throw new EngineError('busy', 'another consumer is reading frames');
    this.consuming = true;
    let done = false;
    const finish = (): IteratorReturnResult<undefined> => {
      if (!done) {
        done = true;
        this.consuming = false;
        reader.cancel();
      }
      return { done: true, value: undefined };
    };
    const iterator: AsyncIterableIterator<Frame> = {
      [Symbol.asyncIterator]: () => iterator,
      next: async () => {
        if (done) return finish();
        try {
          const frame = await reader.next();
          return frame && !done ? { done: false, value: frame } : finish();
        } catch (err) {
          finish();
          throw err;
        }
      },
      return: async () => finish(),
    };
    return iterator;
  }

  /**
   * Calls `listener` with each frame, the next one only once its promise (if
   * it returns one) settles. Returns the function that stops the calls.
   */
  onFrame(listener: (frame: Frame) => void | Promise<void>): () => void {
    const frames = this.frames();
    (async () => {
      for await (const frame of frames) await listener(frame);
    })().catch((err: unknown) => {
      if (!(err instanceof EngineError && err.code === 'exited')) rethrow(err);
    });
    return () => void frames.return?.();
  }

  // ---- The process ---------------------------------------------------------------

  private args(): string[] {
    const { maxSize, frames = true, logLevel, pixels } = this.options;
    const args: string[] = [];
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

  private spawn(): Promise<void> {
    const binary = findEngine(this.options.binary);
    const { child, readFd } = spawnEngine(binary, this.args(), {
      frames: this.options.frames !== false,
      env: this.options.env ?? process.env,
    });
    this.child = child;
    this.alive = true;
    this.expectExit = false;
    this.sawReady = false;
    track(child);
    // Room for a scaled side passing an odd maximum by one, and for row padding.
    const format = this.options.pixels ?? 'bgrx';
    const area = (this.options.maxSize?.width ?? 1920) * (this.options.maxSize?.height ?? 1080);
    const maxBytes = (format === 'i420' ? area * 1.5 : area * 4) + 64 * 4096;
    this.reader =
      readFd === null
        ? null
        : new FrameReader(
            readFd,
            format,
            maxBytes,
            (g) => this.generations.wants(g),
            (info) => this.onFrameArrived(info),
            (err) => this.fault(err),
          );

    let stderr = '';
    child.stderr!.setEncoding('utf8');
    child.stderr!.on('data', (s: string) => (stderr = (stderr + s).slice(-4096)));
    child.stdin!.on('error', () => undefined); // a dead engine is told by its exit

    let ready: (err: EngineError | null) => void = () => undefined;
    const started = new Promise<void>((resolve, reject) => {
      const timer = setTimeout(() => {
        ready(new EngineError('startFailed', `no ready line within ${this.options.startTimeoutMs ?? 15000} ms`));
        child.kill('SIGKILL');
      }, this.options.startTimeoutMs ?? 15000);
      ready = (err) => {
        ready = () => undefined;
        clearTimeout(timer);
        if (err) reject(err);
        else resolve();
      };
    });

    let partial = '';
    child.stdout!.setEncoding('utf8');
    child.stdout!.on('data', (chunk: string) => {
      const lines = (partial + chunk).split('\n');
      partial = lines.pop()!;
      if (partial.length > MAX_LINE) {
        this.fault(new EngineError('protocol', `event line longer than ${MAX_LINE} bytes`));
        partial = '';
      }
      for (const line of lines) this.onLine(line, ready);
    });

    this.exitInfo = new Promise((resolve) => {
      child.on('error', (err) => {
        ready(new EngineError('startFailed', `cannot start ${binary}: ${err.message}`));
        if (child.pid === undefined) this.onExit(null, null, resolve);
      });
      child.on('close', (code: number | null, signal: NodeJS.Signals | null) => {
        const why = stderr.trim() ? `: ${stderr.trim()}` : '';
        ready(
          new EngineError('startFailed', `engine ended before ready, ${describeExit(code, signal)}${why}`, {
            exitCode: code,
            signal,
          }),
        );
        this.onExit(code, signal, resolve);
      });
    });
    return started.catch((err) => {
      this.kill();
      throw err;
    });
  }

  private onExit(code: number | null, signal: NodeJS.Signals | null, resolve: (i: ExitInfo) => void): void {
    if (!this.alive) return;
    this.alive = false;
    liveChildren.delete(this.child);
    const expected = this.expectExit;
    const exitError = (what: string, command?: string) =>
      new EngineError('exited', `${what}: the engine exited with ${describeExit(code, signal)}`, {
        command,
        exitCode: code,
        signal,
      });
    for (const p of this.pending.values()) {
      clearTimeout(p.timer);
      if (!p.settled) p.reject(exitError(p.cmd, p.cmd));
    }
    this.pending.clear();
    this.generations.reset();
    this.reader?.end(expected ? null : exitError('frames'));
    this.happen({ kind: 'exit', err: exitError('waiting') });
    const info = { code, signal, expected };
    this.emit('exit', info);
    resolve(info);
    // An engine that never got ready would only fail again.
    if (!expected && this.sawReady && this.options.restart) this.restart();
  }

  private restart(): void {
    const now = Date.now();
    this.restarts = this.restarts.filter((t) => now - t < 60000);
    if (this.restarts.length >= RESTARTS_PER_MINUTE) {
      this.fault(new EngineError('startFailed', `not restarting: the engine died ${RESTARTS_PER_MINUTE} times within a minute`));
      return;
    }
    this.restarts.push(now);
    this.firstFrames.clear();
    this.setSnapshot(blank(0));
    const restarting = (async () => {
      await this.spawn();
      this.restarting = null;
      const { volume, mute, audioDelay } = this.settings;
      const again: Promise<unknown>[] = [];
      if (volume !== undefined) again.push(this.volume(volume));
      if (mute !== undefined) again.push(this.mute(mute));
      if (audioDelay !== undefined) again.push(this.audioDelay(audioDelay));
      await Promise.all(again);
      this.emit('restart');
    })();
    this.restarting = restarting;
    restarting.catch((err: Error) => {
      this.restarting = null;
      this.fault(err instanceof EngineError ? err : new EngineError('startFailed', err.message));
    });
  }

  // ---- Lines from the engine ---------------------------------------------------------

  private send(cmd: CommandName, args: Record<string, unknown> = {}, onAck?: (ack: Ack) => void): Promise<Ack> {
    const problem = checkArgs(cmd, args);
    if (problem) return Promise.reject(new EngineError('badArgument', problem, { command: cmd }));
    const go = (): Promise<Ack> => {
      if (!this.alive) {
        return Promise.reject(new EngineError('exited', `${cmd}: the engine is not running`, { command: cmd }));
      }
      const id = this.nextId++;
      const timeoutMs = this.options.commandTimeoutMs ?? 10000;
      return new Promise<Ack>((resolve, reject) => {
        const p: Pending = { cmd, args, settled: false, resolve, reject, onAck, timer: undefined! };
        p.timer = setTimeout(() => {
          p.settled = true; // the ack may still come; it still moves the generation
          reject(new EngineError('timeout', `${cmd}: no ack within ${timeoutMs} ms`, { command: cmd }));
        }, timeoutMs);
        this.pending.set(id, p);
        this.generations.sent(cmd);
        this.child.stdin!.write(`${JSON.stringify({ id, cmd, ...args })}\n`);
      });
    };
    return this.restarting ? this.restarting.then(go, go) : go();
  }

  private onLine(line: string, ready: (err: EngineError | null) => void): void {
    let e: WireEvent;
    try {
      e = parseEvent(line);
    } catch (err) {
      const fault = new EngineError('protocol', `unparsable event line (${(err as Error).message}): ${line.slice(0, 200)}`);
      if (this.sawReady) this.fault(fault);
      else ready(fault); // start() rejects with it
      return;
    }
    switch (e.type) {
      case 'ready':
        if (this.sawReady) this.fault(new EngineError('protocol', 'a second ready line'));
        this.sawReady = true;
        this.version = e.version;
        this.engineVersion = e.engine ?? '';
        ready(null);
        return;
      case 'ack':
        this.onAck(e);
        return;
      case 'log':
        if (e.code === 'notACommand') {
          this.fault(new EngineError('protocol', `the engine did not take a line: ${e.message}`));
        }
        this.emit('log', e.message, e.code);
        return;
      case 'error':
        this.onEvent({ type: 'error', error: new MediaError(e.problem, e.codec, this.generations.current) });
        return;
      default:
        this.onEvent(e);
    }
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
    const { moved, due } = this.generations.acked(p.cmd, ack.ok, ack.generation);
    if (ack.ok && (p.cmd === 'volume' || p.cmd === 'mute' || p.cmd === 'audioDelay')) {
      const value = Object.values(p.args)[0];
      if (p.cmd === 'volume') this.settings.volume = value as number;
      else if (p.cmd === 'mute') this.settings.mute = value as boolean;
      else this.settings.audioDelay = value as number;
    }
    if (moved) {
      const generation = this.generations.current;
      this.setSnapshot(blank(generation, p.cmd === 'stop' ? 'stopped' : 'idle'));
      this.happen({ kind: 'generation', generation });
    }
    for (const e of due) this.deliver(e);
    p.onAck?.(ack);
    if (p.settled) return;
    p.settled = true;
    if (ack.ok) p.resolve(ack);
    else p.reject(new EngineError('refused', `${p.cmd} refused by the engine`, { command: p.cmd }));
  }

  private onEvent(e: EngineEvent): void {
    for (const due of this.generations.event(e)) this.deliver(due);
  }

  private deliver(e: EngineEvent): void {
    this.setSnapshot(reduce(this.snap, e));
    this.emit('event', e);
    this.happen({ kind: 'event', e });
  }

  private onFrameArrived(info: FrameInfo): void {
    if (!this.firstFrames.has(info.generation)) {
      this.firstFrames.set(info.generation, info);
      if (this.firstFrames.size > 8) this.firstFrames.delete(this.firstFrames.keys().next().value!);
    }
    this.happen({ kind: 'frame', info });
  }

  private setSnapshot(s: Snapshot): void {
    if (s === this.snap) return;
    this.snap = s;
    this.emit('state', s);
  }

  private fault(err: EngineError): void {
    if (this.listeners.get('fault')?.size) this.emit('fault', err);
    else process.emitWarning(err.message, { code: 'VEXOLO_ENGINE_FAULT' });
  }

  private emit<K extends keyof Listeners>(name: K, ...arg: Parameters<Listeners[K]>): void {
    for (const listener of [...(this.listeners.get(name) ?? [])]) {
      try {
        (listener as (...a: unknown[]) => void)(...arg);
      } catch (err) {
        rethrow(err);
      }
    }
  }

  private happen(h: Happening): void {
    for (const watch of [...this.watchers]) watch(h);
  }

  /** A promise settled by `setup`'s `done`, by the engine's exit, or by the timeout. */
  private outcome<T>(
    what: string,
    timeoutMs: number,
    setup: (done: (err: Error | null, value?: T) => void) => {
      watch: (h: Happening) => void;
      cleanup?: () => void;
    },
  ): Promise<T> {
    return new Promise<T>((resolve, reject) => {
      let hooks: { watch: (h: Happening) => void; cleanup?: () => void } | undefined;
      let settled = false;
      const watch = (h: Happening) => (h.kind === 'exit' ? done(h.err) : hooks?.watch(h));
      const timer = setTimeout(() => done(new EngineError('timeout', `no ${what} within ${timeoutMs} ms`)), timeoutMs);
      const done = (err: Error | null, value?: T) => {
        if (settled) return;
        settled = true;
        clearTimeout(timer);
        this.watchers.delete(watch);
        hooks?.cleanup?.();
        if (err) reject(err);
        else resolve(value as T);
      };
      this.watchers.add(watch);
      hooks = setup(done);
      if (settled) hooks.cleanup?.();
    });
  }
}

/** A host's listener threw: the error surfaces as an uncaught exception, as it would from an EventEmitter. */
function rethrow(err: unknown): void {
  process.nextTick(() => {
    throw err;
  });
}
