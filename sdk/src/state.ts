// The snapshot of the current media: what its events have said so far. A new
// generation starts from a blank one.

import type { MediaError } from './errors.js';
import type { Chapter, Device, Meta, Track, TracksEvent, WireEvent } from './protocol.js';

/** A playback event of the current media, as a host receives it. */
export type EngineEvent =
  Exclude<WireEvent, { type: 'ready' } | { type: 'ack' } | { type: 'log' } | { type: 'error' }> | { type: 'error'; error: MediaError };

export type PlayState = 'idle' | 'opening' | 'playing' | 'paused' | 'stopped' | 'ended';

export interface Snapshot {
  readonly generation: number;
  readonly state: PlayState;
  /** Buffer fill in percent, as last reported. */
  readonly buffering: number;
  readonly timeMs: number;
  /** 0 until known. */
  readonly lengthMs: number;
  /** 0..1 */
  readonly position: number;
  readonly seekable: boolean;
  readonly pausable: boolean;
  readonly format: { width: number; height: number; sar: number } | null;
  readonly tracks: {
    audio: Track[];
    spu: Track[];
    video: Track[];
    selected: TracksEvent['selected'];
  } | null;
  readonly sound: 'playing' | 'none' | null;
  /** Where the last seek or picture step landed, ms. */
  readonly landedMs: number | null;
  /** The playback speed; 1 at every load. */
  readonly rate: number;
  /** Times a looping load played again from its start. */
  readonly loops: number;
  readonly lastError: MediaError | null;
  /** What the media says about itself, as last told. */
  readonly meta: Meta | null;
  readonly chapters: Chapter[];
  /** The index of the chapter playing, in `chapters`. */
  readonly chapter: number | null;
  /** The sound devices as the last `devices()` answered: the engine's, kept across loads. */
  readonly devices: { list: Device[]; current: string | null } | null;
}

export function blank(generation: number, state: PlayState = 'idle', devices: Snapshot['devices'] = null): Snapshot {
  return {
    generation,
    state,
    buffering: 0,
    timeMs: 0,
    lengthMs: 0,
    position: 0,
    seekable: false,
    pausable: false,
    format: null,
    tracks: null,
    sound: null,
    landedMs: null,
    rate: 1,
    loops: 0,
    lastError: null,
    meta: null,
    chapters: [],
    chapter: null,
    devices,
  };
}

/** The snapshot after `e`, or the same object when nothing changed. */
export function reduce(s: Snapshot, e: EngineEvent): Snapshot {
  const next = (patch: Partial<Snapshot>): Snapshot => {
    for (const [k, v] of Object.entries(patch)) {
      if (s[k as keyof Snapshot] !== v) return { ...s, ...patch };
    }
    return s;
  };
  switch (e.type) {
    case 'opening':
    case 'playing':
    case 'paused':
    case 'stopped':
      return next({ state: e.type });
    case 'end':
      return next({ state: 'ended' });
    case 'buffering':
      return next({ buffering: e.pct });
    case 'time':
      return next({ timeMs: e.ms });
    case 'position':
      return next({ position: e.value });
    case 'length':
      return next({ lengthMs: e.ms });
    case 'seekable':
      return next({ seekable: e.v });
    case 'pausable':
      return next({ pausable: e.v });
    case 'seekLanded':
      return { ...s, landedMs: e.ms, timeMs: e.ms };
    case 'rate':
      return next({ rate: e.value });
    case 'looped':
      return next({ loops: e.count });
    case 'format':
      return { ...s, format: { width: e.w, height: e.h, sar: e.sar } };
    case 'tracks':
      return { ...s, tracks: { audio: e.audio, spu: e.spu, video: e.video, selected: e.selected } };
    case 'sound':
      return next({ sound: e.state });
    case 'error':
      return { ...s, lastError: e.error };
    case 'meta': {
      const { type: _, ...meta } = e;
      return { ...s, meta };
    }
    case 'chapters':
      return { ...s, chapters: e.list };
    case 'chapter':
      return next({ chapter: e.index });
    case 'devices':
      return { ...s, devices: { list: e.list, current: e.current } };
    case 'preview':
      return s; // a picture of another moment: playback is where it was
  }
}
