// Frames from the real engine, one engine for all: the latest frame for a slow
// consumer, nothing of a replaced load, and parsing across a change of size.

import assert from 'node:assert/strict';
import { setTimeout as sleep } from 'node:timers/promises';
import { test } from 'node:test';
import { clip, colourAt, startEngine, until } from './helpers.js';

test('FramesOfTheCurrentLoadComeLatestFirstAcrossSizes', async (t) => {
  const { engine, faults, events } = await startEngine(t);
  const frames = engine.frames();
  const take = async (generation: number, colour: string, width: number) => {
    const { value: f } = await frames.next();
    assert.deepEqual([f!.generation, colourAt(f!), f!.width], [generation, colour, width]);
    return f!.seq;
  };
  // 50 frames a second of 640x480, taken far slower: the newest comes, the rest are dropped.
  const green = await engine.load(clip('frames-gen-a.mp4'));
  const seqs: number[] = [];
  for (let i = 0; i < 4; i++, await sleep(300)) seqs.push(await take(green, 'green', 640));
  const stats = engine.frameStats;
  assert.ok(seqs.slice(1).every((seq, i) => seq > seqs[i]! + 1), `frames skipped between takes: ${seqs}`);
  assert.ok(stats.dropped >= 10 && stats.received - stats.delivered - stats.dropped <= 1, JSON.stringify(stats));

  // Grey 1280x720 at once replaced by blue 320x240, while green's frames still wait.
  const grey = engine.load(clip('frames-1280x720.mp4'));
  const blue = await engine.load(clip('frames-blue.mp4'));
  assert.equal(await grey, blue - 1);
  for (let i = 0; i < 5; i++) await take(blue, 'blue', 320);
  const formats = () => events.flatMap((e) => (e.type === 'format' ? [`${e.w}x${e.h}`] : []));
  assert.ok(!formats().includes('1280x720'), `format of a replaced load: ${formats()}`);

  // Blue's last frame waits untaken at its end; the next load makes it stale.
  // Red at 640x360, then blue at 1280x720, then red again: one stream, two sizes.
  await until(engine, (s) => s.state === 'ended');
  const switching = await engine.load(clip('frames-sizes.ts'));
  const [seen, sizes] = [[] as string[], new Set<string>()];
  for (let lastSeq = -1; seen.length < 3; ) {
    const { value: f } = await frames.next();
    assert.ok(f!.generation === switching && f!.seq > lastSeq, `frame ${f!.seq} of ${f!.generation} after ${lastSeq}`);
    assert.ok(f!.pitch % 64 === 0 && f!.pitch >= f!.width * 4, `pitch ${f!.pitch} for ${f!.width}`);
    assert.deepEqual([f!.pixels.length, f!.data.length], [f!.pitch * f!.height, 60 + f!.pitch * f!.height]);
    // The decoder may pad a few rows (360 comes as up to 386); the width is exact.
    const rows = f!.height - (f!.width * 9) / 16;
    assert.ok(rows >= 0 && rows < 32, `${f!.width}x${f!.height}`);
    sizes.add(`${f!.width}x${f!.height}`);
    const kind = `${f!.width} ${colourAt(f!)}`;
    if (seen.at(-1) !== kind) seen.push(kind);
    lastSeq = f!.seq;
  }
  assert.deepEqual(seen, ['640 red', '1280 blue', '640 red']);
  assert.deepEqual([...sizes].filter((size) => !formats().includes(size)), [], 'sizes without a format event');
  assert.deepEqual(faults, []);
});
