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
import { FRAME_FOURCC, FRAME_HEADER as H, FRAME_LANDED, FRAME_MAGIC } from './protocol.js';

/** A frame's header fields. */
export interface FrameInfo {
  width: number;
  height: number;
  /** Bytes per row, a multiple of 64; the first width x 4 are pixels. */
  pitch: number;
  /** Playback time of the picture, microseconds. */
  ptsUs: number;
  /** Counts every frame the engine wrote, across loads. */
  seq: number;
  /** Wall clock when the picture was shown, microseconds since the epoch. */
  wallUs: number;
  generation: number;
  /** The first frame sent after a seek landed. */
  landed: boolean;
}

/**
 * A frame and its pixels. The buffers belong to the library: they are valid
 * until the consumer asks for the next frame (or its callback settles).
 */
export interface Frame extends FrameInfo {
  /** pitch x height bytes: blue, green, red, unused. */
  pixels: Buffer;
  /** The frame as it came on the pipe, header and pixels. */
  data: Buffer;
}

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

function parseHeader(b: Buffer): FrameInfo {
  return {
    width: b.readUInt32LE(H.width),
    height: b.readUInt32LE(H.height),
    pitch: b.readUInt32LE(H.pitch),
    ptsUs: Number(b.readBigInt64LE(H.ptsUs)),
    seq: Number(b.readBigUInt64LE(H.seq)),
    wallUs: Number(b.readBigInt64LE(H.wallUs)),
    generation: Number(b.readBigUInt64LE(H.generation)),
    landed: (b.readUInt32LE(H.flags) & FRAME_LANDED) !== 0,
  };
}

function headerProblem(b: Buffer, f: FrameInfo, maxBytes: number): string | null {
  if (decoder.decode(b.subarray(H.magic, H.magic + 4)) !== FRAME_MAGIC) return 'bad magic';
  if (decoder.decode(b.subarray(H.fourcc, H.fourcc + 4)) !== FRAME_FOURCC) return 'bad fourcc';
  if (f.pitch % 64 !== 0 || f.pitch < f.width * 4) return `bad pitch ${f.pitch} for width ${f.width}`;
  if (f.pitch * f.height > maxBytes) return `frame of ${f.width}x${f.height} above the maximum size`;
  return null;
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
   * @param accept whether a frame of this generation is wanted now
   * @param arrived told of every wanted frame as it completes
   * @param fault told once when the pipe carries something that is not a frame
   */
  constructor(
    fd: number,
    private readonly maxBytes: number,
    private readonly accept: (generation: number) => boolean,
    private readonly arrived: (info: FrameInfo) => void,
    private readonly fault: (err: EngineError) => void,
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
    if (w) (err ? w.reject(err) : w.resolve(null));
  }

  private onRead(n: number): boolean {
    this.filled += n;
    if (this.filled < this.need) return true;
    if (this.need === H.size) return this.onHeader();
    this.onFrame();
    return true;
  }

  private onHeader(): boolean {
    const info = parseHeader(this.fill);
    const problem = headerProblem(this.fill, info, this.maxBytes);
    if (problem) {
      this.fault(new EngineError('protocol', `frame pipe: ${problem}`));
      this.end(null);
      return false;
    }
    this.need = H.size + info.pitch * info.height;
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
    const info = parseHeader(data);
    this.filled = 0;
    this.need = H.size;
    if (!this.accept(info.generation)) {
      this.stats.stale++;
      return;
    }
    this.stats.received++;
    const frame: Frame = { ...info, data, pixels: data.subarray(H.size) };
    this.fill = this.spare.pop() ?? Buffer.allocUnsafeSlow(data.length);
    if (this.pending) {
      // Latest wins: the older complete frame's buffer is filled next.
      this.stats.dropped++;
      this.spare.push(whole(this.pending.data));
    }
    this.pending = frame;
    this.arrived(info);
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
