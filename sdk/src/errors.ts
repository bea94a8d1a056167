// The errors a host can switch on: EngineError for the engine and the library
// (`code`), MediaError for media that cannot be played (`problem`, `codec`).

import type { Problem } from './protocol.js';

export type EngineErrorCode =
  /** The library refused the arguments; nothing was sent. */
  | 'badArgument'
  /** The engine answered the command with a negative ack. */
  | 'refused'
  /** What was awaited did not come within the time allowed (the message names it). */
  | 'timeout'
  /** The host's AbortSignal ended the wait (the message names what was awaited; `cause` is the signal's reason). */
  | 'aborted'
  /** The engine process ended (see exitCode and signal). */
  | 'exited'
  /** The engine could not be found or did not start. */
  | 'startFailed'
  /** The engine broke the protocol: a line or frame that does not parse. */
  | 'protocol'
  /** A newer load or stop replaced the media that was awaited, or a later seek the seek that was. */
  | 'superseded'
  /** The media ended or stopped before what was awaited happened. */
  | 'ended'
  /** Another consumer is reading frames. */
  | 'busy';

export class EngineError extends Error {
  override name = 'EngineError';
  readonly code: EngineErrorCode;
  /** The command concerned, for refused, timeout, badArgument and exited. */
  readonly command: string | undefined;
  readonly exitCode: number | null;
  readonly signal: NodeJS.Signals | null;

  constructor(
    code: EngineErrorCode,
    message: string,
    extra: { command?: string; exitCode?: number | null; signal?: NodeJS.Signals | null; cause?: unknown } = {},
  ) {
    super(message, 'cause' in extra ? { cause: extra.cause } : undefined);
    this.code = code;
    this.command = extra.command;
    this.exitCode = extra.exitCode ?? null;
    this.signal = extra.signal ?? null;
  }
}

/** An `error` event of the engine: the load it belongs to cannot be played. */
export class MediaError extends Error {
  override name = 'MediaError';
  readonly problem: Problem;
  /** The readable name of the codec to blame, or null. */
  readonly codec: string | null;
  readonly generation: number;

  constructor(problem: Problem, codec: string | null, generation: number) {
    super(codec ? `media error: ${problem} (${codec})` : `media error: ${problem}`);
    this.problem = problem;
    this.codec = codec;
    this.generation = generation;
  }
}
