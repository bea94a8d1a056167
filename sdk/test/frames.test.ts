// Frames from the real engine: parsing across a change of size, the latest
// frame for a slow consumer, and no frame or event of a replaced load.

import assert from 'node:assert/strict';
import { setTimeout as sleep } from 'node:timers/promises';
import { test } from 'node:test';
import type { Frame } from '../src/index.js';
import { clip, colourAt, startEngine, until } from './helpers.js';

test('FramesAreParsedAcrossAResolutionSwitch', async (t) => {
  const { engine, faults, events } = await startEngine(t);
  const generation = await engine.load(clip('frames-sizes.ts'));
  const seen: string[] = [];
  const sizes = new Set<string>();
  let lastSeq = -1;
  for await (const f of engine.frames()) {
    assert.equal(f.generation, generation);
    assert.ok(f.seq > lastSeq, `seq ${f.seq} after ${lastSeq}`);
    assert.ok(f.pitch % 64 === 0 && f.pitch >= f.width * 4, `pitch ${f.pitch} for ${f.width}`);
    assert.equal(f.pixels.length, f.pitch * f.height);
    assert.equal(f.data.length, 60 + f.pixels.length);
    lastSeq = f.seq;
    sizes.add(`${f.width}x${f.height}`);
    // The decoder may pad a few rows (360 comes as up to 386); the width is exact.
    const rows = f.height - (f.width * 9) / 16;
    assert.ok(rows >= 0 && rows < 32, `${f.width}x${f.height}`);
    const kind = `${f.width} ${colourAt(f)}`;
    if (seen.at(-1) !== kind) seen.push(kind);
    if (seen.length === 3) break;
  }
  // Red at 640x360, then blue at 1280x720, then red again: one stream, two sizes.
  assert.deepEqual(seen, ['640 red', '1280 blue', '640 red']);
  const formats = events.flatMap((e) => (e.type === 'format' ? [`${e.w}x${e.h}`] : []));
  assert.deepEqual([...sizes].filter((size) => !formats.includes(size)), [], 'sizes without a format event');
  assert.deepEqual(faults, []);
});

test('ASlowConsumerGetsTheLatestFrame', async (t) => {
  const { engine, faults } = await startEngine(t);
  await engine.load(clip('frames-gen-a.mp4')); // 50 frames a second of 640x480
  const got: Frame[] = [];
  for await (const f of engine.frames()) {
    got.push({ ...f, pixels: Buffer.alloc(0), data: Buffer.alloc(0) });
    if (got.length === 4) break;
    await sleep(300); // far slower than the clip
  }
  const gaps = got.slice(1).map((f, i) => f.seq - got[i]!.seq);
  assert.ok(gaps.every((g) => g > 1), `frames skipped between takes: ${gaps}`);
  const stats = engine.frameStats;
  assert.ok(stats.dropped >= 10, JSON.stringify(stats));
  assert.ok(stats.received - stats.delivered - stats.dropped <= 1, JSON.stringify(stats)); // at most one waiting
  assert.deepEqual(faults, []);
});

test('NothingOfAReplacedLoadReachesTheHost', async (t) => {
  const { engine, faults, events } = await startEngine(t);
  // Grey 1280x720 at once replaced by blue 320x240, then green.
  const first = engine.load(clip('frames-1280x720.mp4'));
  const blue = await engine.load(clip('frames-blue.mp4'));
  assert.equal(await first, blue - 1);
  const frames = engine.frames();
  const shown = async (generation: number, colour: string, count: number) => {
    for (let i = 0; i < count; i++) {
      const { value: f } = await frames.next();
      assert.deepEqual([f!.generation, colourAt(f!), f!.width], [generation, colour, generation === blue ? 320 : 640]);
    }
  };
  await shown(blue, 'blue', 5);
  // Blue's last frame waits untaken at its end; the next load makes it stale.
  await until(engine, (s) => s.state === 'ended');
  const green = await engine.load(clip('frames-gen-a.mp4'));
  await shown(green, 'green', 5);
  await frames.return!();
  const formats = events.flatMap((e) => (e.type === 'format' ? [`${e.w}x${e.h}`] : []));
  assert.ok(!formats.includes('1280x720'), `format of a replaced load: ${formats}`);
  assert.deepEqual(faults, []);
});
