// The engine's wire contract in one place: the commands and their fields, the
// event lines and their fields, and the frame header of descriptor 3. The
// engine's own command table drives its checks; this one drives ours.

/** The largest magnitude the engine takes for an integer field. */
export const INT_LIMIT = 2147483647;

/** The largest audio delay the engine takes either way, ms: an hour. */
export const AUDIO_DELAY_LIMIT = 3600000;

/** The largest subtitle delay the engine takes either way, ms: an hour. */
export const SPU_DELAY_LIMIT = 3600000;

/** The playback speeds the engine takes. */
export const RATE_MIN = 0.25;
export const RATE_MAX = 4;

/** The widths of a preview's picture, in pixels; its height follows the picture's shape. */
export const PREVIEW_WIDTH_MIN = 32;
export const PREVIEW_WIDTH_MAX = 640;

export type FieldKind = 'string' | 'boolean' | 'number' | 'integer';

export interface FieldRule {
  kind: FieldKind;
  optional?: boolean;
  min?: number;
  max?: number;
}

export interface CommandRules {
  fields: Readonly<Record<string, FieldRule>>;
  /** Exactly one of these fields must be given. */
  oneOf?: readonly string[];
  /** An ok ack moves the engine to a new generation (always for load, with media for stop). */
  newGeneration?: boolean;
}

const num = (min?: number, max?: number): FieldRule => ({ kind: 'number', optional: true, min, max });

export const COMMANDS = {
  load: {
    fields: {
      url: { kind: 'string', min: 1 },
      live: { kind: 'boolean' },
      startMs: num(0),
      startPos: num(0, 1),
      paused: { kind: 'boolean', optional: true },
      audio: { kind: 'integer', optional: true },
      spu: { kind: 'integer', optional: true },
      timeoutMs: { kind: 'integer', optional: true, min: 0 },
      loop: { kind: 'boolean', optional: true },
      subtitles: { kind: 'string', optional: true, min: 1 },
      userAgent: { kind: 'string', optional: true, min: 1 },
      referrer: { kind: 'string', optional: true, min: 1 },
    },
    newGeneration: true,
  },
  stop: { fields: {}, newGeneration: true },
  play: { fields: {} },
  pause: { fields: {} },
  seek: { fields: { ms: num(0), pos: num(0, 1) }, oneOf: ['ms', 'pos'] },
  rate: { fields: { value: { kind: 'number', min: RATE_MIN, max: RATE_MAX } } },
  frameStep: { fields: { back: { kind: 'boolean', optional: true } } },
  preview: {
    fields: {
      ms: num(0),
      pos: num(0, 1),
      width: { kind: 'integer', optional: true, min: PREVIEW_WIDTH_MIN, max: PREVIEW_WIDTH_MAX },
      exact: { kind: 'boolean', optional: true },
    },
    oneOf: ['ms', 'pos'],
  },
  audio: { fields: { track: { kind: 'integer' } } },
  spu: { fields: { track: { kind: 'integer' } } },
  volume: { fields: { level: { kind: 'integer', min: 0, max: 100 } } },
  mute: { fields: { value: { kind: 'boolean' } } },
  audioDelay: { fields: { ms: { kind: 'integer', min: -AUDIO_DELAY_LIMIT, max: AUDIO_DELAY_LIMIT } } },
  addSubtitles: { fields: { url: { kind: 'string', min: 1 } } },
  spuDelay: { fields: { ms: { kind: 'integer', min: -SPU_DELAY_LIMIT, max: SPU_DELAY_LIMIT } } },
  chapter: { fields: { index: { kind: 'integer', min: 0 } } },
  devices: { fields: {} },
  audioDevice: { fields: { device: { kind: 'string', min: 1 } } },
  quit: { fields: {} },
} as const satisfies Record<string, CommandRules>;

export type CommandName = keyof typeof COMMANDS;

export interface LoadOptions {
  /** A live stream: start time and position are ignored. Default false. */
  live?: boolean;
  startMs?: number;
  startPos?: number;
  paused?: boolean;
  /** Audio and subtitle track ids as listed by `tracks`; -1 for subtitles keeps them off. */
  audio?: number;
  spu?: number;
  /**
   * How long the source may deliver nothing (no answer, a stall) before the
   * load ends with the problem `timedOut`; 0 never. The engine's default is 20000.
   */
  timeoutMs?: number;
  /** At its end the media plays again from its start, told by `looped`, with no `end`. Default false. */
  loop?: boolean;
  /**
   * A subtitle file (SRT, WebVTT, ASS/SSA) at a file://, http:// or https:// location: a track marked
   * `external`, selected unless `spu` is given. One the library cannot read is told as a log line with the
   * code `subtitlesUnreadable`; the load plays on.
   */
  subtitles?: string;
  /** Sent on every request of the load: products and comments as HTTP has them, printable ASCII, at most 512 bytes. */
  userAgent?: string;
  /** Sent as the Referer of every request of the load: printable ASCII, at most 512 bytes. */
  referrer?: string;
}

export type SeekTarget = { ms: number; pos?: undefined } | { pos: number; ms?: undefined };

/**
 * Why `args` cannot go out as `cmd`, or null when they can. Anything the
 * engine's parser would refuse without an ack (a lone surrogate, a value that
 * is not finite) is caught here; so is a NUL, which would cut a URL short.
 */
export function checkArgs(cmd: CommandName, args: Record<string, unknown>): string | null {
  const rules: CommandRules = COMMANDS[cmd];
  for (const key of Object.keys(args)) {
    if (args[key] !== undefined && !(key in rules.fields)) return `${cmd} takes no field ${key}`;
  }
  for (const [key, rule] of Object.entries(rules.fields)) {
    const value = args[key];
    if (value === undefined) {
      if (!rule.optional) return `${cmd} needs ${key}`;
      continue;
    }
    const problem = checkValue(value, rule);
    if (problem) return `${cmd}: ${key} ${problem}`;
  }
  if (rules.oneOf && rules.oneOf.filter((k) => args[k] !== undefined).length !== 1) {
    return `${cmd} needs exactly one of ${rules.oneOf.join(', ')}`;
  }
  return null;
}

function checkValue(value: unknown, rule: FieldRule): string | null {
  switch (rule.kind) {
    case 'boolean':
      return typeof value === 'boolean' ? null : 'must be a boolean';
    case 'string':
      if (typeof value !== 'string') return 'must be a string';
      if (value.length < (rule.min ?? 0)) return 'must not be empty';
      if (value.includes('\0')) return 'must not contain NUL';
      return value.isWellFormed() ? null : 'must be well-formed Unicode';
    case 'integer':
    case 'number': {
      if (typeof value !== 'number' || !Number.isFinite(value)) return 'must be a finite number';
      if (rule.kind === 'integer' && (!Number.isInteger(value) || Math.abs(value) > INT_LIMIT)) {
        return `must be an integer within ±${INT_LIMIT}`;
      }
      if (rule.min !== undefined && value < rule.min) return `must be at least ${rule.min}`;
      if (rule.max !== undefined && value > rule.max) return `must be at most ${rule.max}`;
      return null;
    }
  }
}

// ---- Events ------------------------------------------------------------------

/** Problem codes of `error` events; an engine may add others. */
export type Problem =
  | 'notFound'
  | 'accessDenied'
  | 'timedOut'
  | 'connectionLimit'
  | 'geoBlocked'
  | 'serverError'
  | 'unavailable'
  | 'unrecognized'
  | 'insecure'
  | 'unreachable'
  | 'outOfMemory'
  | 'undecodableVideo'
  | 'undecodableAudio'
  | (string & {});

export interface Track {
  id: number;
  name: string;
  language: string | null;
  /** Subtitle tracks: a file the host added (`subtitles`, `addSubtitles`). */
  external?: boolean;
}

/** What the media says about itself: the members known. A radio's `nowPlaying` changes with each song. */
export interface Meta {
  title?: string;
  artist?: string;
  album?: string;
  genre?: string;
  date?: string;
  trackNumber?: string;
  description?: string;
  nowPlaying?: string;
  /** Where the library keeps the cover art it found. */
  artworkUrl?: string;
}

export interface Chapter {
  ms: number;
  durationMs: number;
  name: string | null;
}

/** A sound output the library can play to; `id` is what `audioDevice` takes. */
export interface Device {
  id: string;
  name: string;
}

export interface TracksEvent {
  type: 'tracks';
  audio: Track[];
  spu: Track[];
  video: Track[];
  /** -1 where none is selected. */
  selected: { audio: number; spu: number; video: number };
}

/**
 * What the engine's own diagnostics are about, on their log lines: a line that is not a command, a line
 * over its size limit, a start position dropped because the media cannot seek. Library lines have none.
 */
export type LogCode = 'notACommand' | 'lineTooLong' | 'startPosDropped' | 'subtitlesUnreadable' | 'deviceGone';

/** Every line the engine prints, as it is on the wire. */
export type WireEvent =
  | { type: 'ready'; version: string; engine?: string }
  /** `message`: why a refused command was refused, naming the field, where the engine says. */
  | { type: 'ack'; id: number; ok: boolean; generation?: number; message?: string }
  | { type: 'log'; message: string; code?: LogCode }
  | { type: 'opening' }
  | { type: 'buffering'; pct: number }
  | { type: 'playing' }
  | { type: 'paused' }
  | { type: 'stopped' }
  | { type: 'end' }
  | { type: 'time'; ms: number }
  | { type: 'position'; value: number }
  | { type: 'length'; ms: number }
  | { type: 'seekable'; v: boolean }
  | { type: 'pausable'; v: boolean }
  /** `id`: the id of the seek or frameStep command it answers (older engines leave it out). */
  | { type: 'seekLanded'; ms: number; id?: number }
  /** The preview of command `id` shows the moment `ms`; its frame (flag FRAME_PREVIEW) went before. */
  | { type: 'preview'; id: number; ms: number }
  /** The speed in force, when it changed. */
  | { type: 'rate'; value: number }
  /** A looping load played again from its start: the count-th time. */
  | { type: 'looped'; count: number }
  | { type: 'format'; w: number; h: number; sar: number }
  | TracksEvent
  | { type: 'sound'; state: 'playing' | 'none' }
  | ({ type: 'meta' } & Meta)
  | { type: 'chapters'; list: Chapter[] }
  /** Playback entered the chapter of this index, in the list of `chapters`. */
  | { type: 'chapter'; index: number }
  /** The answer to `devices`: `current` is the device in use, null for the default. */
  | { type: 'devices'; list: Device[]; current: string | null }
  | { type: 'error'; problem: Problem; codec: string | null };

type Shape = 'string' | 'number' | 'boolean' | 'array' | 'object' | 'string?' | 'number?' | 'string|null';

const EVENT_FIELDS: Record<WireEvent['type'], Record<string, Shape>> = {
  ready: { version: 'string', engine: 'string?' },
  ack: { id: 'number', ok: 'boolean', generation: 'number?', message: 'string?' },
  log: { message: 'string', code: 'string?' },
  opening: {},
  buffering: { pct: 'number' },
  playing: {},
  paused: {},
  stopped: {},
  end: {},
  time: { ms: 'number' },
  position: { value: 'number' },
  length: { ms: 'number' },
  seekable: { v: 'boolean' },
  pausable: { v: 'boolean' },
  seekLanded: { ms: 'number', id: 'number?' },
  preview: { id: 'number', ms: 'number' },
  rate: { value: 'number' },
  looped: { count: 'number' },
  format: { w: 'number', h: 'number', sar: 'number' },
  tracks: { audio: 'array', spu: 'array', video: 'array', selected: 'object' },
  sound: { state: 'string' },
  meta: {
    title: 'string?',
    artist: 'string?',
    album: 'string?',
    genre: 'string?',
    date: 'string?',
    trackNumber: 'string?',
    description: 'string?',
    nowPlaying: 'string?',
    artworkUrl: 'string?',
  },
  chapters: { list: 'array' },
  chapter: { index: 'number' },
  devices: { list: 'array', current: 'string|null' },
  error: { problem: 'string', codec: 'string|null' },
};

function fits(value: unknown, shape: Shape): boolean {
  switch (shape) {
    case 'array':
      return Array.isArray(value);
    case 'object':
      return typeof value === 'object' && value !== null && !Array.isArray(value);
    case 'string?':
      return value === undefined || typeof value === 'string';
    case 'number?':
      return value === undefined || typeof value === 'number';
    case 'string|null':
      return value === null || typeof value === 'string';
    default:
      return typeof value === shape;
  }
}

/** Parses one event line strictly; throws with the reason when it is not one. */
export function parseEvent(line: string): WireEvent {
  const value: unknown = JSON.parse(line);
  if (typeof value !== 'object' || value === null || Array.isArray(value)) throw new Error('not an object');
  const type = (value as { type?: unknown }).type;
  if (typeof type !== 'string' || !Object.hasOwn(EVENT_FIELDS, type)) throw new Error(`unknown type ${String(type)}`);
  for (const [key, shape] of Object.entries(EVENT_FIELDS[type as WireEvent['type']])) {
    if (!fits((value as Record<string, unknown>)[key], shape)) throw new Error(`${type}: bad ${key}`);
  }
  return value as WireEvent;
}

// ---- Frame header ------------------------------------------------------------

/**
 * Little-endian, 60 bytes, followed by the pixels: in BGRX pitch x height bytes of B, G, R, X; in I420 the
 * Y plane of pitch x height bytes, then U and V of pitch/2 x (height+1)/2 bytes each.
 */
export const FRAME_HEADER = {
  size: 60,
  magic: 0, // "VXFR"
  width: 4,
  height: 8,
  pitch: 12,
  fourcc: 16, // "bgr0" or "I420"
  ptsUs: 20,
  seq: 28,
  wallUs: 36,
  generation: 44,
  flags: 52,
  reserved: 56, // the low 32 bits of the id of the seek (FRAME_LANDED) or preview (FRAME_PREVIEW) it answers; else 0
} as const;

export const FRAME_MAGIC = 'VXFR';

/** The pixel layouts the engine sends (its --pixels option), and the fourcc each frame of them carries. */
export type PixelFormat = 'bgrx' | 'i420';
export const FRAME_FOURCC: Readonly<Record<PixelFormat, string>> = { bgrx: 'bgr0', i420: 'I420' };

/** Bytes of a frame's pixels after its header. */
export function framePixelBytes(format: PixelFormat, pitch: number, height: number): number {
  return pitch * height + (format === 'i420' ? 2 * (pitch / 2) * Math.ceil(height / 2) : 0);
}

/** The narrowest pitch that holds a row of width pixels: for I420 an even number, so that its half holds a chroma row. */
export function minimumPitch(format: PixelFormat, width: number): number {
  return format === 'i420' ? width + (width & 1) : width * 4;
}
/** Flag of the frame a seek landed on. */
export const FRAME_LANDED = 1;
/** Flag of a preview's frame, which is not playback's. */
export const FRAME_PREVIEW = 2;
