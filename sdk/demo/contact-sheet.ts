// A contact sheet of one clip: the frame the engine marks as landed after
// each of several seeks, tiled three across into one PNG (ffmpeg encodes it).
//   node dist/demo/contact-sheet.js ENGINE CLIP PNG

import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { type BgrxFrame, Engine, MediaError } from '../src/index.js';

const POSITIONS = [0.05, 0.2, 0.35, 0.5, 0.65, 0.8];
const ACROSS = 3;
const GAP = 4;

type Tile = Pick<BgrxFrame, 'width' | 'height' | 'pitch' | 'pixels' | 'ptsUs'>;

/** How long any one step may take: the start, the first picture, the pause, each seek with its picture. */
const STEP_MS = 8000;

export async function contactSheet(binary: string, clip: string, png: string): Promise<Tile[]> {
  const engine = await Engine.start({ binary, startTimeoutMs: STEP_MS, commandTimeoutMs: STEP_MS });
  try {
    const url = clip.includes('://') ? clip : pathToFileURL(path.resolve(clip)).href;
    await engine.loadFirstFrame(url, {}, STEP_MS);
    // Paused, each seek brings one new picture: the landed one.
    await engine.pause();
    await engine.until('the clip paused and seekable', (s) => s.state === 'paused' && s.seekable, STEP_MS);
    const tiles: Tile[] = [];
    for (const pos of POSITIONS) {
      const landing = await engine.seekAndWait({ pos }, STEP_MS);
      if (landing.ended) break;
      if (!landing.frame) throw new Error(`the seek to pos ${pos} landed at ${landing.landedMs} ms without a picture`);
      tiles.push(landing.frame as BgrxFrame);
    }
    if (tiles.length === 0) throw new Error('no seek landed on a picture');
    writeSheet(tiles, png);
    return tiles;
  } finally {
    await engine.quit();
  }
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
    { input: sheet, timeout: 30000 },
  );
}

if (process.argv[1] && import.meta.url === pathToFileURL(process.argv[1]).href) {
  const [binary, clip, png] = process.argv.slice(2);
  if (!binary || !clip || !png) {
    console.error('usage: contact-sheet.js ENGINE CLIP PNG');
    process.exit(2);
  }
  const tiles = await contactSheet(binary, clip, png).catch((err: Error) => {
    const why = err instanceof MediaError ? `${clip} cannot be played (${err.problem})` : err.message;
    console.error(`contact sheet: ${why}`);
    process.exit(1);
  });
  const at = tiles.map((t) => `${(t.ptsUs / 1e6).toFixed(2)} s`).join(', ');
  console.log(`contact sheet: ${tiles.length} landed frames (${at}) saved as ${path.resolve(png)}`);
}
