// A contact sheet of one clip: the frame the engine marks as landed after
// each of several seeks, tiled three across into one PNG (ffmpeg encodes it).
//   node dist/demo/contact-sheet.js ENGINE CLIP PNG

import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { Engine, type Frame } from '../src/index.js';

const POSITIONS = [0.05, 0.2, 0.35, 0.5, 0.65, 0.8];
const ACROSS = 3;
const GAP = 4;

interface Tile {
  width: number;
  height: number;
  pitch: number;
  pixels: Buffer;
  ptsUs: number;
}

export async function contactSheet(binary: string, clip: string, png: string): Promise<Tile[]> {
  const engine = await Engine.start({ binary });
  try {
    const url = clip.includes('://') ? clip : pathToFileURL(path.resolve(clip)).href;
    await engine.loadFirstFrame(url);
    const frames = engine.frames();
    // Paused, each seek brings exactly one new picture: the landed one.
    await engine.pause();
    await until(engine, () => engine.state.state === 'paused' && engine.state.seekable);
    const tiles: Tile[] = [];
    for (const pos of POSITIONS) {
      const [landing, frame] = await Promise.all([engine.seekAndWait({ pos }), landedFrame(frames)]);
      if (landing.ended) break;
      tiles.push({ ...frame, pixels: Buffer.from(frame.pixels) });
    }
    await frames.return!();
    if (tiles.length === 0) throw new Error('no landed frame');
    writeSheet(tiles, png);
    return tiles;
  } finally {
    await engine.quit();
  }
}

async function landedFrame(frames: AsyncIterableIterator<Frame>): Promise<Frame> {
  for (;;) {
    const { value, done } = await frames.next();
    if (done) throw new Error('the engine ended');
    if (value.landed) return value;
  }
}

function until(engine: Engine, ready: () => boolean): Promise<void> {
  return new Promise((resolve) => {
    if (ready()) return resolve();
    const off = engine.on('state', () => ready() && (off(), resolve()));
  });
}

function writeSheet(tiles: Tile[], png: string): void {
  const w = Math.max(...tiles.map((t) => t.width));
  const h = Math.max(...tiles.map((t) => t.height));
  const cols = Math.min(ACROSS, tiles.length);
  const rows = Math.ceil(tiles.length / cols);
  const sheetW = cols * w + (cols + 1) * GAP;
  const sheetH = rows * h + (rows + 1) * GAP;
  const sheet = Buffer.alloc(sheetW * sheetH * 4, 0x30);
  tiles.forEach((t, i) => {
    const x0 = GAP + (i % cols) * (w + GAP);
    const y0 = GAP + Math.floor(i / cols) * (h + GAP);
    for (let y = 0; y < t.height; y++) {
      t.pixels.copy(sheet, ((y0 + y) * sheetW + x0) * 4, y * t.pitch, y * t.pitch + t.width * 4);
    }
  });
  execFileSync(
    'ffmpeg',
    ['-nostdin', '-v', 'error', '-y', '-f', 'rawvideo', '-pix_fmt', 'bgr0', '-s', `${sheetW}x${sheetH}`, '-i', '-', '-frames:v', '1', png],
    { input: sheet },
  );
}

if (process.argv[1] && import.meta.url === pathToFileURL(process.argv[1]).href) {
  const [binary, clip, png] = process.argv.slice(2);
  if (!binary || !clip || !png) {
    console.error('usage: contact-sheet.js ENGINE CLIP PNG');
    process.exit(2);
  }
  const tiles = await contactSheet(binary, clip, png);
  const at = tiles.map((t) => `${(t.ptsUs / 1e6).toFixed(2)} s`).join(', ');
  console.log(`contact sheet: ${tiles.length} landed frames (${at}) saved as ${path.resolve(png)}`);
}
