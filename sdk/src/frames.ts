// Reads descriptor 3 into frame buffers. The pipe is a FIFO made for the
// child, so the engine gets a real pipe (its 1 MiB size request works), and the
// kernel reads each frame straight into a preallocated buffer: one copy.
// At most three buffers live: one filling, the latest complete, the consumer's.

import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { EngineError } from './errors.js';
import {
  FRAME_FOURCC,
  FRAME_HEADER as H,
  FRAME_LANDED,
  FRAME_MAGIC,
  FRAME_PREVIEW,
  type PixelFormat,
  framePixelBytes,
  minimumPitch,
} from './protocol.js';

/** A frame's header fields. */
export interface FrameInfo {
  width: number;
  height: number;
  /**
   * Bytes per row of the first plane, a multiple of 64: in BGRX the first width x 4 are pixels, in I420 the
   * first width are Y samples.
   */
  pitch: number;
  /** The layout of the pixels: the `pixels` the engine was started with ('bgrx' by default). */
  format: PixelFormat;
  /** Playback time of the picture, microseconds. */
  ptsUs: number;
  /** Counts every frame the engine wrote, across loads. */
  seq: number;
  /** Wall clock when the picture was shown, microseconds since the epoch. */
  wallUs: number;
  generation: number;
  /** The frame a seek landed on (flag FRAME_LANDED). */
  landed: boolean;
  /**
   * On a landed frame, the low 32 bits of the id of the seek command it answers; on a preview, of the preview
   * command's; 0 otherwise, and from older engines.
   */
  seekId: number;
  /** A preview's picture (flag FRAME_PREVIEW): never one of playback's frames, `ptsUs` the moment it shows. */
  preview: boolean;
}

interface FrameBuffers {
  /** Every pixel byte after the header, in the frame's layout. */
  pixels: Buffer;
  /** The frame as it came on the pipe, header and pixels. */
  data: Buffer;
}

/** A frame in BGRX: `pixels` is pitch x height bytes, each pixel blue, green, red, unused. */
export interface BgrxFrame extends FrameInfo, FrameBuffers {
  format: 'bgrx';
}

/**
 * A frame in I420, planar 4:2:0 with BT.601 studio-range samples as the decoder made them: `pixels` holds
 * the Y plane (pitch x height bytes), then U and V (pitch/2 x (height+1)/2 bytes each), one after another.
 * A pixel (x, y) has the samples y[y * pitches.y + x], u[(y >> 1) * pitches.u + (x >> 1)] and the same in v.
 */
export interface I420Frame extends FrameInfo, FrameBuffers {
  format: 'i420';
  /** The three planes, views into `pixels`. */
  planes: { y: Buffer; u: Buffer; v: Buffer };
  /** Bytes per row of each plane. */
  pitches: { y: number; u: number; v: number };
}

/**
 * A frame and its pixels, in the layout the engine was started with; `format` tells which. The buffers
 * (`data`, `pixels` and the planes, all views of one buffer) belong to the library: they are valid until
 * the consumer asks for the next frame (or its callback settles). Copy what must outlive that.
 */
export type Frame = BgrxFrame | I420Frame;

export interface FrameStats {
  /** Frames of the current media read whole from the pipe. */
  received: number;
  /** Frames handed to a consumer. */
  delivered: number;
  /** Frames replaced by a later one before a consumer took them. */
  dropped: number;
  /** Frames of a replaced media, discarded. */
  stale: number;
}

/** The two ends of a fresh pipe: ours to read (non-blocking), the child's to write. */
export function framePipe(): { readFd: number; writeFd: number } {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-'));
  const fifo = path.join(dir, 'frames');
  try {
    execFileSync('mkfifo', ['-m', '600', fifo]);
    // The read end opens at once without blocking; the write end then finds a reader.
    const readFd = fs.openSync(fifo, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
    const writeFd = fs.openSync(fifo, fs.constants.O_WRONLY);
    return { readFd, writeFd };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

const decoder = new TextDecoder('latin1');

/** The fields of a frame header (FRAME_HEADER); headerProblem tells whether they make a frame. */
export function parseHeader(b: Buffer, format: PixelFormat): FrameInfo {
  return {
    width: b.readUInt32LE(H.width),
    height: b.readUInt32LE(H.height),
    pitch: b.readUInt32LE(H.pitch),
    format,
    ptsUs: Number(b.readBigInt64LE(H.ptsUs)),
    seq: Number(b.readBigUInt64LE(H.seq)),
    wallUs: Number(b.readBigInt64LE(H.wallUs)),
    generation: Number(b.readBigUInt64LE(H.generation)),
    landed: (b.readUInt32LE(H.flags) & FRAME_LANDED) !== 0,
    seekId: b.readUInt32LE(H.reserved),
    preview: (b.readUInt32LE(H.flags) & FRAME_PREVIEW) !== 0,
  };
}

/** Why a header is not one of a frame in `format` of at most maxBytes pixel bytes, or null when it is. */
export function headerProblem(b: Buffer, format: PixelFormat, maxBytes: number): string | null {
  const f = parseHeader(b, format);
  if (decoder.decode(b.subarray(H.magic, H.magic + 4)) !== FRAME_MAGIC) return 'bad magic';
  const fourcc = decoder.decode(b.subarray(H.fourcc, H.fourcc + 4));
  if (fourcc !== FRAME_FOURCC[format]) return `bad fourcc ${JSON.stringify(fourcc)} for ${format}`;
  if (f.pitch % 64 !== 0 || f.pitch < minimumPitch(format, f.width)) return `bad pitch ${f.pitch} for width ${f.width}`;
  if (framePixelBytes(format, f.pitch, f.height) > maxBytes) return `frame of ${f.width}x${f.height} above the maximum size`;
  return null;
}

/** The frame over data, with views of its planes. */
function frameOver(data: Buffer, info: FrameInfo): Frame {
  const pixels = data.subarray(H.size);
  if (info.format === 'bgrx') return { ...info, format: 'bgrx', data, pixels };
  const [luma, chroma] = [info.pitch * info.height, (info.pitch / 2) * Math.ceil(info.height / 2)];
  return {
    ...info,
    format: 'i420',
    data,
    pixels,
    planes: { y: pixels.subarray(0, luma), u: pixels.subarray(luma, luma + chroma), v: pixels.subarray(luma + chroma, luma + 2 * chroma) },
    pitches: { y: info.pitch, u: info.pitch / 2, v: info.pitch / 2 },
  };
}

/** A frame with buffers of its own, for a frame that must outlive the reader's reuse of its buffer. */
export function copyFrame(frame: Frame): Frame {
  return frameOver(Buffer.from(frame.data), frame);
}

/** The whole buffer under a frame's view (frame buffers are never pooled). */
function whole(view: Buffer): Buffer {
  return Buffer.from(view.buffer, 0, view.buffer.byteLength);
}

interface Waiter {
  resolve: (frame: Frame | null) => void;
  reject: (err: Error) => void;
}

export class FrameReader {
  readonly stats: FrameStats = { received: 0, delivered: 0, dropped: 0, stale: 0 };
  private readonly socket: net.Socket;
  private fill: Buffer = Buffer.allocUnsafeSlow(H.size);
  private filled = 0;
  /** Bytes of the frame being filled: the header until it is known. */
  private need: number = H.size;
  private pending: Frame | null = null;
  private held: Buffer | null = null;
  private spare: Buffer[] = [];
  private waiter: Waiter | null = null;
  private ended: Error | null | undefined = undefined;

  /**
   * @param format the layout the engine was started with; a frame in another is a fault
   * @param accept whether a frame of this generation is wanted now
   * @param arrived told of every wanted frame as it completes; its buffers hold until the call returns
   * @param fault told once when the pipe carries something that is not a frame
   * @param previewed told of every wanted preview frame, a copy of its own; previews never reach next()
   */
  constructor(
    fd: number,
    private readonly format: PixelFormat,
    private readonly maxBytes: number,
    private readonly accept: (generation: number) => boolean,
    private readonly arrived: (info: FrameInfo, frame: Frame) => void,
    private readonly fault: (err: EngineError) => void,
    private readonly previewed: (frame: Frame) => void = () => undefined,
  ) {
    // `onread` reads into our buffer instead of a fresh 64 KiB chunk per read
    // (Node takes it here as in connect(), though its types only list it there).
    const onread = {
      buffer: () => this.fill.subarray(this.filled, this.need),
      callback: (n: number) => this.onRead(n),
    };
    this.socket = new net.Socket({ fd, readable: true, writable: false, onread } as net.SocketConstructorOpts);
    this.socket.on('error', () => this.socket.destroy());
  }

  /**
   * The latest wanted frame not yet taken, waiting for one if need be; null
   * after the engine quit. Hands the previous frame's buffer back.
   */
  next(): Promise<Frame | null> {
    this.release();
    if (this.waiter) return Promise.reject(new EngineError('busy', 'another consumer is reading frames'));
    const frame = this.takePending();
    if (frame) return Promise.resolve(frame);
    if (this.ended !== undefined) return this.ended ? Promise.reject(this.ended) : Promise.resolve(null);
    return new Promise((resolve, reject) => (this.waiter = { resolve, reject }));
  }

  /** Gives the consumer's buffer back. */
  release(): void {
    if (this.held) this.spare.push(this.held);
    this.held = null;
  }

  /** The consumer left: a waiting next() gets null, and its buffer comes back. */
  cancel(): void {
    this.release();
    const w = this.waiter;
    this.waiter = null;
    w?.resolve(null);
  }

  /** The engine is gone: err for a death, null for a quit. Waiting consumers get it. */
  end(err: Error | null): void {
    if (this.ended !== undefined) return;
    this.ended = err;
    this.socket.destroy();
    this.pending = null;
    const w = this.waiter;
    this.waiter = null;
    if (w) err ? w.reject(err) : w.resolve(null);
  }

  private onRead(n: number): boolean {
    this.filled += n;
    if (this.filled < this.need) return true;
    if (this.need === H.size) return this.onHeader();
    this.onFrame();
    return true;
  }

  private onHeader(): boolean {
    const problem = headerProblem(this.fill, this.format, this.maxBytes);
    if (problem) {
      this.fault(new EngineError('protocol', `frame pipe: ${problem}`));
      this.end(null);
      return false;
    }
    const info = parseHeader(this.fill, this.format);
    this.need = H.size + framePixelBytes(this.format, info.pitch, info.height);
    if (this.fill.length < this.need) {
      const bigger = Buffer.allocUnsafeSlow(this.need);
      this.fill.copy(bigger, 0, 0, H.size);
      this.fill = bigger;
    }
    if (this.filled >= this.need) this.onFrame(); // a picture of no rows
    return true;
  }

  private onFrame(): void {
    const data = this.fill.subarray(0, this.need);
    const info = parseHeader(data, this.format);
    this.filled = 0;
    this.need = H.size;
    if (!this.accept(info.generation)) {
      this.stats.stale++;
      return;
    }
    if (info.preview) {
      this.previewed(frameOver(Buffer.from(data), info));
      return;
    }
    this.stats.received++;
    const frame = frameOver(data, info);
    this.fill = this.spare.pop() ?? Buffer.allocUnsafeSlow(data.length);
    if (this.pending) {
      // Latest wins: the older complete frame's buffer is filled next.
      this.stats.dropped++;
      this.spare.push(whole(this.pending.data));
    }
    this.pending = frame;
    this.arrived(info, frame);
    if (this.waiter) {
      const w = this.waiter;
      this.waiter = null;
      const next = this.takePending();
      if (next) w.resolve(next);
      else this.waiter = w;
    }
  }

  private takePending(): Frame | null {
    const frame = this.pending;
    this.pending = null;
    if (!frame) return null;
    if (!this.accept(frame.generation)) {
      this.stats.stale++;
      this.spare.push(whole(frame.data));
      return null;
    }
    this.stats.delivered++;
    this.held = whole(frame.data);
    return frame;
  }
}
