// Deadlines and abort signals: every promise the library returns is settled by
// what it waits for, by its deadline (`timeout`) or by the host's signal
// (`aborted`), and its failure names what it waited for.

import { EngineError } from './errors.js';

export interface WaitOptions {
  /** Give up after this many ms with an EngineError of code `timeout`; 1 to 2147483647. */
  timeoutMs?: number;
  /** Give up when this signal aborts, with an EngineError of code `aborted`. */
  signal?: AbortSignal;
}

/** The longest delay a Node timer keeps; a longer one would fire at once. */
const MAX_DELAY_MS = 2147483647;

/** Why `ms` cannot be the deadline named `name`, or null when it can. */
export function delayProblem(name: string, ms: unknown): string | null {
  const ok = typeof ms === 'number' && Number.isFinite(ms) && ms > 0 && ms <= MAX_DELAY_MS;
  return ok ? null : `${name} must be a number of ms from 1 to ${MAX_DELAY_MS}`;
}

/** The options of a wait given as a bare timeout or as options, with `defaultMs` when they name no timeout. */
export function waitOptions(given: number | WaitOptions | undefined, defaultMs?: number): WaitOptions {
  if (typeof given === 'number' || given === undefined) return { timeoutMs: given ?? defaultMs };
  return { ...given, timeoutMs: given.timeoutMs ?? defaultMs };
}

/** Why these options cannot bound a wait, or null when they can. */
export function waitProblem(options: WaitOptions): string | null {
  if (options.signal !== undefined && !(options.signal instanceof AbortSignal)) return 'signal must be an AbortSignal';
  return options.timeoutMs === undefined ? null : delayProblem('timeoutMs', options.timeoutMs);
}

/**
 * A promise settled by `start`'s `done`, or failed when the deadline passes or the signal aborts. The
 * function `start` returns runs once the promise is settled, however; `what` (read then) names the wait.
 */
export function bounded<T>(
  what: string | (() => string),
  options: WaitOptions,
  start: (done: (err: Error | null, value?: T) => void) => (() => void) | void,
): Promise<T> {
  const problem = waitProblem(options);
  if (problem) return Promise.reject(new EngineError('badArgument', problem));
  const name = () => (typeof what === 'string' ? what : what());
  const { timeoutMs, signal } = options;
  return new Promise<T>((resolve, reject) => {
    let settled = false;
    let cleanup: (() => void) | void;
    let timer: NodeJS.Timeout | undefined;
    const abort = () =>
      done(new EngineError('aborted', `stopped waiting for ${name()}: ${String(signal!.reason)}`, { cause: signal!.reason }));
    const done = (err: Error | null, value?: T) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      signal?.removeEventListener('abort', abort);
      cleanup?.();
      if (err) reject(err);
      else resolve(value as T);
    };
    if (signal?.aborted) return abort();
    signal?.addEventListener('abort', abort, { once: true });
    if (timeoutMs !== undefined) {
      timer = setTimeout(() => done(new EngineError('timeout', `timed out after ${timeoutMs} ms waiting for ${name()}`)), timeoutMs);
    }
    cleanup = start(done);
    if (settled) cleanup?.();
  });
}
