// The host-facing engine: its commands, the snapshot and listeners of the
// current media, the helpers that await outcomes, the frames, and the opt-in
// restart. The process itself is a channel (process.ts), replaced whole on a
// restart.

import { EngineError } from './errors.js';
import { type Frame, type FrameInfo, type FrameStats, copyFrame } from './frames.js';
import { type Ack, Channel, type ExitInfo, type Heard, type StartOptions } from './process.js';
import type { CommandName, Device, LoadOptions, LogCode, SeekTarget } from './protocol.js';
import { type EngineEvent, type Snapshot, blank, reduce } from './state.js';
import { type WaitOptions, bounded, waitOptions, waitProblem } from './wait.js';

/**
 * Where a seek landed, with the picture it landed on: a copy the host keeps. The frame is null when the
 * engine sends no frames, for media without pictures, and when the media ended right after the landing.
 */
export type SeekOutcome = { landedMs: number; ended: false; frame: Frame | null } | { landedMs: null; ended: true; frame: null };

/** A preview: the moment its picture shows, and the picture, a copy the host keeps (never a playback frame). */
export interface PreviewOutcome {
  ms: number;
  frame: Frame;
}

export interface PreviewOptions extends WaitOptions {
  /** The picture's width, 32 to 640 (160 by default); its height follows the picture's shape. */
  width?: number;
  /** The picture at the moment, rather than the key frame at or before it, which comes faster. */
  exact?: boolean;
}

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

/** Time an `error` may follow an `end` (media with nothing decodable says so after its end). */
const ERROR_AFTER_END_MS = 1000;
const RESTARTS_PER_MINUTE = 3;

/** How long a wait for the next frame lasts unless the host says otherwise. */
const FRAME_WAIT_MS = 30000;
const PREVIEW_WAIT_MS = 10000;

const describe = (target: SeekTarget) => (target.ms !== undefined ? `ms ${target.ms}` : `pos ${target.pos}`);

/** Whether a landed frame's seek id (low 32 bits) is that of a seek after `id`. */
const later = (seekId: number, id: number) => ((seekId - id) | 0) > 0;

export class Engine {
  private channel!: Channel;
  private restarting: Promise<void> | null = null;
  private restarts: number[] = [];
  private snap: Snapshot = blank(0);
  private readonly settings: { volume?: number; mute?: boolean; audioDelay?: number; audioDevice?: string } = {};
  private consuming = false;
  private readonly listeners = new Map<string, Set<(arg: never) => void>>();
  private readonly watchers = new Set<(h: Heard) => void>();

  private constructor(private readonly options: StartOptions) {}

  /** Spawns the engine and resolves once it is ready. */
  static async start(options: StartOptions = {}): Promise<Engine> {
    const engine = new Engine(options);
    await engine.open();
    return engine;
  }

  /** The libvlc version the engine reported. */
  get version(): string {
    return this.channel.version;
  }

  /** The engine's own version, as it reported it ('' when it did not). */
  get engineVersion(): string {
    return this.channel.engineVersion;
  }

  get pid(): number | undefined {
    return this.channel.pid;
  }

  /** The snapshot of the current media. */
  get state(): Snapshot {
    return this.snap;
  }

  get frameStats(): FrameStats {
    return this.channel.frameStats;
  }

  /** Resolves when this engine process ends. */
  get exited(): Promise<ExitInfo> {
    return this.channel.exited;
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
  /** Playback speed, 0.25 to 4; refused without media and on a live load. Each load starts at 1. */
  async rate(value: number): Promise<void> {
    await this.send('rate', { value });
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
  /**
   * Adds a subtitle file (file://, http://, https://) to the current load, selected, at most 8 a load. One
   * the library cannot read is told as a log line with the code `subtitlesUnreadable`.
   */
  async addSubtitles(url: string): Promise<void> {
    await this.send('addSubtitles', { url });
  }
  /** Moves the current load's subtitles by ms, at most an hour either way. */
  async spuDelay(ms: number): Promise<void> {
    await this.send('spuDelay', { ms });
  }
  /** Seeks to the start of a chapter of `state.chapters`; it lands as a seek does. */
  async chapter(index: number): Promise<void> {
    await this.send('chapter', { index });
  }
  /** The sound outputs the library can play to, and the one in use (null: the default). */
  async devices(): Promise<{ list: Device[]; current: string | null }> {
    await this.send('devices');
    return this.snap.devices!;
  }
  /** Sends the sound of this and every later load to a device of `devices()`. */
  async audioDevice(device: string): Promise<void> {
    await this.send('audioDevice', { device });
  }

  /** Asks the engine to end; kills it when it has not ended within the quit timeout. */
  async quit(): Promise<ExitInfo> {
    if (this.restarting) await this.restarting.catch(() => undefined);
    return this.channel.quit(this.options.quitTimeoutMs ?? 3000);
  }

  /** Ends the engine at once. */
  kill(signal: NodeJS.Signals = 'SIGKILL'): Promise<ExitInfo> {
    return this.channel.kill(signal);
  }

  // ---- Awaiting outcomes -------------------------------------------------------

  /** Resolves with the snapshot once `ready` holds of it; `what` names the wait (default deadline 10 s). */
  until(what: string, ready: (s: Snapshot) => boolean, wait?: number | WaitOptions): Promise<Snapshot> {
    return this.outcome(
      () => `${what} (last snapshot ${JSON.stringify(this.snap)})`,
      waitOptions(wait, 10000),
      (done) => {
        const check = () => ready(this.snap) && done(null, this.snap);
        check();
        return { watch: (h) => (h.kind === 'event' || h.kind === 'generation') && check() };
      },
    );
  }

  /** Loads `url` and resolves at its first frame; rejects with its MediaError, or if it ends without one. */
  loadFirstFrame(url: string, options: LoadOptions = {}, wait?: number | WaitOptions): Promise<{ generation: number; frame: FrameInfo }> {
    if (!this.channel.reader) return Promise.reject(new EngineError('badArgument', 'the engine was started without frames'));
    let [id, gen] = [0, 0];
    let endTimer: NodeJS.Timeout | undefined;
    return this.outcome(`the first frame of ${url}`, waitOptions(wait, 20000), (done) => {
      this.send('load', { url, live: false, ...options }, (sent) => (id = sent)).catch((err) => done(err));
      return {
        watch: (h) => {
          if (h.kind === 'acked' && h.ack.id === id) {
            gen = h.ack.generation ?? 0;
            const early = this.channel.firstFrame(gen);
            if (early) done(null, { generation: gen, frame: early });
          }
          if (gen === 0) return;
          if (h.kind === 'frame' && h.info.generation === gen) done(null, { generation: gen, frame: h.info });
          else if (h.kind === 'generation' && h.generation !== gen) done(new EngineError('superseded', `load of ${url} was replaced`));
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

  /**
   * Seeks and resolves where the seek landed, with the frame it landed on when pictures come, or when the
   * media ends first. A later seek that the engine answers first makes it fail with `superseded`.
   */
  seekAndWait(target: SeekTarget, wait?: number | WaitOptions): Promise<SeekOutcome> {
    return this.landing('seek', { ...target }, `the seek to ${describe(target)}`, wait);
  }

  /**
   * Paused, shows the next picture (or with `back`, the one before) and resolves where it landed, with
   * that picture, as `seekAndWait` does. Refused while playing, without media, or on media without video.
   */
  frameStep(back = false, wait?: number | WaitOptions): Promise<SeekOutcome> {
    return this.landing('frameStep', { back }, `the step ${back ? 'back' : 'forward'}`, wait);
  }

  /**
   * A small picture of a moment of the current media, from a player of its own: playback goes on untouched.
   * `target` is ms, or `{ ms }` or `{ pos }`. A later preview asked while this one waits its turn replaces
   * it: this one then fails with `superseded`, once the engine answered a later one.
   */
  preview(target: number | SeekTarget, options: PreviewOptions = {}): Promise<PreviewOutcome> {
    const at: SeekTarget = typeof target === 'number' ? { ms: target } : target;
    const { width, exact, ...wait } = options;
    const of = `the preview of ${describe(at)}`;
    let id = 0;
    let ms: number | null = null;
    let frame: Frame | null = null;
    return this.outcome(of, waitOptions(wait, PREVIEW_WAIT_MS), (done) => {
      const args = { ...at, ...(width === undefined ? {} : { width }), ...(exact === undefined ? {} : { exact }) };
      this.send('preview', args, (sent) => (id = sent)).catch((err) => done(err));
      const replaced = () => done(new EngineError('superseded', `${of} was replaced by a later preview`));
      return {
        watch: (h) => {
          if (id === 0) return;
          if (h.kind === 'preview') {
            if (h.frame.seekId === id >>> 0) frame = h.frame;
            else if (later(h.frame.seekId, id)) replaced();
          } else if (h.kind === 'event' && h.e.type === 'preview') {
            if (h.e.id === id) ms = h.e.ms;
            else if (h.e.id > id) replaced();
          } else if (h.kind === 'generation') {
            done(new EngineError('superseded', `the media was replaced during ${of}`));
          }
          if (ms !== null && frame !== null) done(null, { ms, frame });
        },
      };
    });
  }

  /** Sends a command that lands like a seek, and waits for its landing and picture. */
  private landing(cmd: 'seek' | 'frameStep', args: Record<string, unknown>, of: string, wait?: number | WaitOptions): Promise<SeekOutcome> {
    let [id, acked] = [0, false];
    let landedMs: number | null = null;
    let frame: Frame | null = null;
    const what = () => (landedMs === null ? `the landing of ${of}` : `the picture of ${of}, landed at ${landedMs} ms`);
    return this.outcome(what, waitOptions(wait, 10000), (done) => {
      this.send(cmd, args, (sent) => (id = sent)).catch((err) => done(err));
      const replaced = () => done(new EngineError('superseded', `${of} was replaced by a later seek`));
      // Pictures come on the pipe when the engine sends them and the media has shown one.
      const whole = () =>
        landedMs !== null && (frame !== null || !this.channel.reader || !this.snap.format) && done(null, { landedMs, ended: false, frame });
      return {
        watch: (h) => {
          if (id === 0) return; // nothing is of this seek before it went out (after a restart under way)
          if (h.kind === 'acked' && h.ack.id === id) {
            acked = true;
            if (this.snap.state === 'stopped') done(null, { landedMs: null, ended: true, frame: null });
          } else if (h.kind === 'frame' && h.info.landed) {
            // An older engine flags the first frame after the landing without saying whose it is.
            const seekId = h.info.seekId || (landedMs !== null && frame === null ? id >>> 0 : 0);
            if (seekId === id >>> 0) frame = copyFrame(h.frame);
            else if (later(seekId, id)) replaced();
          } else if (h.kind === 'generation') {
            done(new EngineError('superseded', `the media was replaced during ${of}`));
          } else if (h.kind === 'event' && h.e.type === 'seekLanded') {
            // An older engine tells the landing of the last seek it took, and none of a seek it replaced.
            const owner = h.e.id ?? this.channel.lastSeek;
            if (owner === id) landedMs = h.e.ms;
            else if (owner > id) replaced();
          } else if (h.kind === 'event' && acked && (h.e.type === 'end' || h.e.type === 'stopped')) {
            done(null, landedMs === null ? { landedMs: null, ended: true, frame: null } : { landedMs, ended: false, frame });
          } else if (h.kind === 'event' && h.e.type === 'error') {
            done(h.e.error);
          }
          whole();
        },
      };
    });
  }

  // ---- Frames ------------------------------------------------------------------

  /**
   * The frames of the current media, latest first when the loop is slow: a
   * frame's buffers are reused once the next one is asked for. One consumer
   * at a time. Ends after quit(); throws the exit error when the engine dies,
   * and `timeout` or `aborted` (then ends) when the wait for a frame passes
   * `timeoutMs` (30 s unless given: a paused media sends none) or the signal
   * aborts. Previews' pictures never come here.
   */
  frames(given: WaitOptions = {}): AsyncIterableIterator<Frame> {
    const reader = this.channel.reader;
    if (!reader) throw new EngineError('badArgument', 'the engine was started without frames');
    const wait = waitOptions(given, FRAME_WAIT_MS);
    const problem = waitProblem(wait);
    if (problem) throw new EngineError('badArgument', problem);
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
          const frame = await bounded<Frame | null>(
            'the next frame',
            wait,
            (settle) => void reader.next().then((f) => settle(null, f), settle),
          );
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
   * it returns one) settles. Returns the function that stops the calls. The
   * calls also stop, quietly, when no frame came within the wait's `timeoutMs`
   * (30 s unless given) or its signal aborts.
   */
  onFrame(listener: (frame: Frame) => void | Promise<void>, wait: WaitOptions = {}): () => void {
    const frames = this.frames(wait);
    (async () => {
      for await (const frame of frames) await listener(frame);
    })().catch((err: unknown) => {
      const quiet = err instanceof EngineError && (err.code === 'exited' || err.code === 'timeout' || err.code === 'aborted');
      if (!quiet) rethrow(err);
    });
    return () => void frames.return?.();
  }

  // ---- The process ---------------------------------------------------------------

  /** Starts a process in place of the last; only the channel now current is heard. */
  private async open(): Promise<void> {
    const channel: Channel = new Channel(this.options, (h) => channel === this.channel && this.hear(h));
    this.channel = channel;
    await channel.ready;
  }

  private hear(h: Heard): void {
    switch (h.kind) {
      case 'event':
        this.setSnapshot(reduce(this.snap, h.e));
        this.emit('event', h.e);
        break;
      case 'acked':
        if (h.ack.ok && (h.cmd === 'volume' || h.cmd === 'mute' || h.cmd === 'audioDelay' || h.cmd === 'audioDevice')) {
          Object.assign(this.settings, { [h.cmd]: Object.values(h.args)[0] });
        }
        break;
      case 'generation':
        this.setSnapshot(blank(h.generation, h.cmd === 'stop' ? 'stopped' : 'idle', this.snap.devices));
        break;
      case 'log':
        this.emit('log', h.message, h.code);
        return;
      case 'fault':
        if (this.listeners.get('fault')?.size) this.emit('fault', h.err);
        else process.emitWarning(h.err.message, { code: 'VEXOLO_ENGINE_FAULT' });
        return;
    }
    for (const watch of [...this.watchers]) watch(h);
    if (h.kind !== 'exit') return;
    this.emit('exit', h.info);
    // An engine that never got ready would only fail again.
    if (!h.info.expected && this.channel.sawReady && this.options.restart) this.restart();
  }

  private restart(): void {
    const now = Date.now();
    this.restarts = this.restarts.filter((t) => now - t < 60000);
    if (this.restarts.length >= RESTARTS_PER_MINUTE) {
      const err = new EngineError('startFailed', `not restarting: the engine died ${RESTARTS_PER_MINUTE} times within a minute`);
      this.hear({ kind: 'fault', err });
      return;
    }
    this.restarts.push(now);
    this.setSnapshot(blank(0));
    const restarting = (async () => {
      await this.open();
      this.restarting = null;
      const { volume, mute, audioDelay, audioDevice } = this.settings;
      const again: Promise<unknown>[] = [];
      // A device gone since is no reason to fail the restart: the sound goes to the default.
      if (audioDevice !== undefined) again.push(this.audioDevice(audioDevice).catch(() => undefined));
      if (volume !== undefined) again.push(this.volume(volume));
      if (mute !== undefined) again.push(this.mute(mute));
      if (audioDelay !== undefined) again.push(this.audioDelay(audioDelay));
      await Promise.all(again);
      this.emit('restart');
    })();
    this.restarting = restarting;
    restarting.catch((err: Error) => {
      this.restarting = null;
      this.hear({ kind: 'fault', err: err instanceof EngineError ? err : new EngineError('startFailed', err.message) });
    });
  }

  /** Sends once a restart under way has ended. */
  private send(cmd: CommandName, args: Record<string, unknown> = {}, sent?: (id: number) => void): Promise<Ack> {
    const go = () => this.channel.send(cmd, args, sent);
    return this.restarting ? this.restarting.then(go, go) : go();
  }

  private setSnapshot(s: Snapshot): void {
    if (s === this.snap) return;
    this.snap = s;
    this.emit('state', s);
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

  /** A promise settled by `setup`'s `done`, by the engine's exit, by the deadline or by the signal. */
  private outcome<T>(
    what: string | (() => string),
    wait: WaitOptions,
    setup: (done: (err: Error | null, value?: T) => void) => { watch: (h: Heard) => void; cleanup?: () => void },
  ): Promise<T> {
    return bounded<T>(what, wait, (done) => {
      let hooks: ReturnType<typeof setup> | undefined;
      const watch = (h: Heard) => (h.kind === 'exit' ? done(h.err) : hooks?.watch(h));
      this.watchers.add(watch);
      hooks = setup(done);
      return () => {
        this.watchers.delete(watch);
        hooks?.cleanup?.();
      };
    });
  }
}

/** A host's listener threw: the error surfaces as an uncaught exception, as it would from an EventEmitter. */
function rethrow(err: unknown): void {
  process.nextTick(() => {
    throw err;
  });
}
