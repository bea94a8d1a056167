// The host side of the frame path at 1080p30: the library's CPU time per
// second of media, and the frames it delivered out of those the engine sent,
// with a consumer that keeps up (it reads one pixel of each frame).
//   node dist/bench/host-frames.js [SECONDS] [--pixels bgrx|i420] [--clip PATH] [--json]
// SECONDS defaults to 20; without --clip a clip of that length is made with
// ffmpeg. --json prints one line of figures instead of the text.

import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { Engine, MediaError, type PixelFormat } from '../src/index.js';

const option = (name: string) => {
  const i = process.argv.indexOf(name);
  return i > 0 ? process.argv[i + 1] : undefined;
};
const pixels = (option('--pixels') ?? 'bgrx') as PixelFormat;
const seconds = Number(process.argv[2]?.startsWith('--') ? 20 : (process.argv[2] ?? 20));
const media = process.env.VEXOLO_MEDIA ?? fileURLToPath(new URL('../../../build/media/', import.meta.url));
const clip = option('--clip') ?? path.join(media, `bench-1080p30-${seconds}s.mp4`);
if (!fs.existsSync(clip)) {
  fs.mkdirSync(media, { recursive: true });
  const make = `-nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -t ${seconds} -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 30`;
  execFileSync('ffmpeg', [...make.split(' '), `${clip}.tmp.mp4`], { timeout: 600000 });
  fs.renameSync(`${clip}.tmp.mp4`, clip);
}

/** Ends the run with a sentence on what went wrong. */
const fail = (err: Error) => {
  const why = err instanceof MediaError ? `${clip} cannot be played (${err.problem})` : err.message;
  console.error(`host-frames: ${why}`);
  process.exit(1);
};
const engine = await Engine.start({ pixels }).catch(fail);
let delivered = 0;
let first = -1;
let last = -1;
let sum = 0;
engine.onFrame((f) => {
  if (f.width !== 1920) return;
  delivered++;
  if (first < 0) first = f.seq;
  last = f.seq;
  sum += f.pixels[(f.height >> 1) * f.pitch + f.width * 2]!;
});
const cpu = process.cpuUsage();
const wall = performance.now();
// Played in real time, with room for a slow start and a busy machine.
const played = await engine
  .load(pathToFileURL(clip).href)
  .then(() => engine.until('the end of the clip', (s) => s.state === 'ended' || s.state === 'stopped', seconds * 3000 + 30000))
  .catch(fail);
if (played.lastError) fail(played.lastError);
const used = process.cpuUsage(cpu);
const wallS = (performance.now() - wall) / 1000;
await engine.quit();

const cpuS = (used.user + used.system) / 1e6;
const sent = last - first + 1;
if (process.argv.includes('--json')) {
  console.log(JSON.stringify({ pixels, cpu_per_s: cpuS / seconds, delivered, sent, wall_s: wallS }));
} else {
  console.log(`1080p30 ${pixels}, ${seconds} s of media in ${wallS.toFixed(1)} s`);
  console.log(`host CPU: ${(cpuS / seconds).toFixed(3)} s per media second (${cpuS.toFixed(2)} s in all)`);
  console.log(
    `frames: ${delivered} delivered of ${sent} the engine sent (${((100 * delivered) / sent).toFixed(1)}%)` +
      `; ${seconds * 30} in the clip; stats ${JSON.stringify(engine.frameStats)}; checksum ${sum}`,
  );
}
