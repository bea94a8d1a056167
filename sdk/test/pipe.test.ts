// The frame pipe on raw descriptors: sizes and pixels, generations and their
// numbering, a host that stops reading, each size announced once with its true
// shape, frame times against the pictures, and memory across size changes.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { framePixelBytes } from '../src/index.js';
import { type Raw, type RawFrame, SIZES_TELL, SLOWDOWN, clip, cmd, load, poll, raw, room, usage } from './helpers.js';

/** Plays a clip to its end: its generation, format events and frames, and resident size sampled meanwhile with the colour last read. */
async function playToEnd(h: Raw, id: number, name: string) {
  const from = h.events.length;
  const { generation } = await h.command(load(id, clip(name)), id);
  // [kB, the run of one size announced by then]: a busy machine drops frames, and may drop a whole run's.
  const samples: [number, number][] = [];
  const run = () => {
    let [n, w, ht] = [-1, 0, 0];
    for (const e of h.events.slice(from)) if (e.type === 'format' && (e.w !== w || e.h !== ht)) [n, w, ht] = [n + 1, e.w, e.h];
    return n;
  };
  await poll(() => `the end of ${name}; last events ${JSON.stringify(h.events.slice(-5))}`, () => {
    if (h.frames.length) samples.push([usage(h.child.pid!).kb, run()]);
    return h.events.slice(from).some((e) => e.type === 'end');
  }, 30000, 50);
  const formats = h.events.slice(from).filter((e) => e.type === 'format');
  return { generation, formats, samples, frames: h.frames.filter((f) => f.generation === generation) };
}

// Colours as sent: blue, green, red in BGRX, and Y, U, V (studio range) in I420.
const BGR = { red: [0, 0, 255], green: [0, 255, 0], blue: [255, 0, 0], white: [255, 255, 255] };
const YUV = { red: [81, 90, 240], green: [145, 54, 34], blue: [41, 240, 110], white: [235, 128, 128] };
const PATCHES = (c: typeof BGR) => [c.red, c.green, c.blue, c.white];
const I420 = '--pixels=i420';

test('SizesFitTheMaximumAndPixelsKeepTheirColour', async (t) => {
  // [clip, arguments, width, height, sar, the one colour of every pixel or those of the four quarters, fd 3 open]
  const cases: [string, string[], number, number, number, number[][] | null, boolean?][] = [
    ['frames-red.mp4', [], 320, 240, 1, [BGR.red]],
    ['frames-red.mp4', [I420], 320, 240, 1, [YUV.red]],
    ['frames-blue.mp4', ['--frames=fd:3', '--pixels=bgrx'], 320, 240, 1, [BGR.blue]],
    ['planar-patches.mp4', [I420], 640, 360, 1, PATCHES(YUV)],
    // Scaled to an odd number of chroma columns (161) and rows (91).
    ['planar-patches.mp4', ['--max-size=322x182'], 322, 182, 1, PATCHES(BGR)],
    ['planar-patches.mp4', ['--max-size=322x182', I420], 322, 182, 1, PATCHES(YUV)],
    // 4:2:0 at odd sides, not scaled: 161 x 121 chroma samples.
    ['planar-odd.webm', [], 321, 241, 1, PATCHES(BGR)],
    ['planar-odd.webm', [I420], 321, 241, 1, PATCHES(YUV)],
    ['frames-3840x2160.mp4', [], 1920, 1080, 1, null],
    ['frames-3840x2160.mp4', [I420], 1920, 1080, 1, null],
    // Fits: odd sides are kept; each row carries 60 bytes beyond the pixels.
    ['frames-1281x721.mp4', [], 1281, 721, 1, null],
    ['frames-1281x721.mp4', [I420], 1281, 721, 1, null],
    ['frames-1280x720.mp4', ['--max-size=640x360'], 640, 360, 1, null],
    // Scaled sides are rounded to the nearest even number, past an odd maximum.
    ['frames-3838x2158.mp4', ['--max-size=1919x1079'], 1920, 1080, 1, null],
    // 720x576 pixels shown 16:9 wide: the pixels are sent as stored.
    ['frames-anamorphic.mp4', [], 720, 576, 64 / 45, null],
    ['frames-anamorphic.mp4', [I420], 720, 576, 64 / 45, null],
    // Pictures are still decoded, and fd 3 is left alone, open or not.
    ['frames-red.mp4', ['--frames=null'], 320, 240, 1, null],
    ['frames-red.mp4', ['--frames=fd:3', '--frames=null'], 320, 240, 1, null, false],
  ];
  for (const [name, args, width, height, sar, colours, open = true] of cases) {
    const what = `${name} ${args}`;
    const h = await raw(t, { args, frames: open });
    const p = await playToEnd(h, 1, name);
    assert.equal(p.generation, 1);
    assert.equal(p.formats.length, 1, `${what}: one format per size`);
    assert.ok(p.formats[0]!.w === width && p.formats[0]!.h === height && Math.abs(p.formats[0]!.sar - sar) < 0.001, what);
    // On a busy machine the last frames may still be on their way when the end is told.
    const none = args.at(-1) === '--frames=null';
    if (!none) await framesOf(h, p.generation, 1);
    const frames = h.frames.filter((f) => f.generation === p.generation);
    assert.equal(frames.length === 0, none, what);
    const planar = args.includes(I420);
    for (const f of frames) {
      assert.ok(f.width === width && f.height === height && f.pitch === Math.ceil((width * (planar ? 1 : 4)) / 64) * 64, what);
      // Colours survive coding only approximately: in every sample of every plane, or in the middle of each quarter.
      const near = (got: number[], want: number[]) => got.every((v, i) => Math.abs(v - want[i]!) < 12);
      if (colours?.length === 1) assert.ok(near(f.centre, colours[0]!) && f.worst <= 12, `${what}: ${f.centre} ${f.worst}`);
      if (colours?.length === 4) assert.ok(f.quarters.every((q, i) => near(q, colours[i]!)), `${what}: ${JSON.stringify(f.quarters)}`);
    }
    assert.deepEqual(await h.command(cmd(2, 'quit'), 2), { type: 'ack', id: 2, ok: true });
    assert.equal(await h.exit, 0);
  }
});

/** Waits until n frames of a generation were read. */
const framesOf = (h: Raw, generation: number, n: number) =>
  poll(`${n} frames of generation ${generation}`, () => h.frames.filter((f) => f.generation === generation).length >= n, 10000, 5);

/** Whole frames like f that the 1 MiB pipe holds. */
const pipeHolds = (f: RawFrame) => Math.floor(1048576 / framePixelBytes(f.format, f.pitch, f.height));

// Every other load comes while the host has stopped reading, so that the
// engine's queue is full of older frames at the switch. An older frame begun
// after the host saw the ack can only be one the pipe held or the one being
// written then: a 640x480 frame is 1.2 MB in BGRX, more than the pipe holds,
// and 460 kB in I420.
test('OnlyTheCurrentGenerationFollowsALoadsAckAndSeqRunsOnByOne', async (t) => {
  for (const args of [[], [I420]]) {
    const h = await raw(t, { args });
    const rounds: [number, number][] = [];
    for (let id = 1; id <= 6; id++) {
      if (id % 2 === 0) h.pauseFrames(true);
      if (id % 2 === 0) await sleep(150); // the engine's queue fills meanwhile
      // Looping: a machine too busy for ten pictures in one pass has them in the next.
      const a = await h.command(load(id, clip(id % 2 ? 'frames-gen-a.mp4' : 'frames-gen-b.mp4'), { loop: true }), id);
      rounds.push([a.generation, h.times[h.events.indexOf(a)]!]);
      h.pauseFrames(false);
      await framesOf(h, a.generation, 10);
    }
    assert.ok(h.frames.every((f, i) => f.seq === i && (i === 0 || f.generation >= h.frames[i - 1]!.generation)),
      'a host that reads everything sees every number once, from 0, and generations never go back');
    for (const [generation, acked] of rounds) {
      const older = h.frames.filter((f) => f.generation < generation && f.begun > acked).length;
      assert.ok(older <= pipeHolds(h.frames[0]!) + 1, `${args}: ${older} older frames after the ack of ${generation}`);
    }
  }
});

test('AStalledHostHoldsUpNeitherPlaybackNorCommands', async (t) => {
  for (const args of [[], [I420]]) {
    const h = await raw(t, { args });
    await h.command(load(1, clip('clip.mp4')), 1);
    await framesOf(h, 1, 3);
    h.pauseFrames(true);
    await sleep(50); // what was on its way is read
    const [readBefore, stalled] = [h.frames.length, h.events.length];
    // The clip plays to its end while nothing is read from fd 3; meanwhile every command is answered at once.
    const ackMs: number[] = [];
    for (let id = 2; !h.events.slice(stalled).some((e) => e.type === 'end'); id++, await sleep(100)) {
      assert.ok(ackMs.length < 60 * SLOWDOWN, 'playback stalled with the host');
      const sent = Date.now();
      assert.equal((await h.command(cmd(id, 'volume', { level: 50 + (id % 2) }), id)).ok, true);
      ackMs.push(Date.now() - sent);
    }
    ackMs.sort((a, b) => a - b);
    // A loaded machine may delay a single answer.
    assert.ok(ackMs.length >= 10 && ackMs[ackMs.length >> 1]! < 100 && ackMs.at(-1)! < 500, `${ackMs}`);
    assert.ok(h.frames.length <= readBefore + 1, 'the reader really paused');
    // What waited for the host is bounded: what the pipe holds (three 320x240
    // frames of 300 kB in BGRX, nine of 115 kB in I420), one more being
    // written, two more in the queue.
    const resumed = Date.now();
    h.pauseFrames(false);
    assert.equal((await h.command(load(100, clip('frames-red.mp4')), 100)).generation, 2);
    await framesOf(h, 2, 1);
    const late = h.frames.filter((f) => f.generation === 1 && f.begun >= resumed).length;
    assert.ok(late >= 1 && late <= pipeHolds(h.frames[0]!) + 3, `${args}: ${late}`);
  }
});

// A size is announced once, with its first picture, not for every format the
// library tries. In MPEG-TS the library proposes the decoder's padded buffer
// (640x386 for 640x360) before its track list knows the visible size: the size
// may be announced once more, with the sar that gives the true shape.
// frames-sizes.ts switches between red 640x360 and blue 1280x720, whose
// pools a new format must let go; frames-widths.ts between red 640x352 and
// blue 480x352, the width alone.
test('EachSizeIsAnnouncedOnceWithItsTrueShapeAndMemoryStaysFlat', async (t) => {
  // [clip, runs of one size, format events per size, numbered, red and blue width and height, arguments]
  const cases: [string, number, number, boolean, number[], string[]?][] = [['count.mp4', 1, 1, true, []], ['count-360.ts', 1, 2, true, []],
    ['count-360.ts', 1, 2, true, [], [I420]], ['count-720.ts', 1, 2, true, []], ['count-1080.ts', 1, 2, true, []],
    ['frames-sizes.ts', 5, 2, false, [640, 360, 1280, 720]], ['frames-sizes.ts', 5, 2, false, [640, 360, 1280, 720], [I420]],
    ['frames-widths.ts', 3, 2, false, [640, 352, 480, 352]]];
  for (const [name, sizes, perSize, numbered, [redW, redH, blueW, blueH] = [], args = []] of cases) {
    const h = await raw(t, { args });
    const p = await playToEnd(h, 1, name);
    const runs: Record<string, any>[][] = [];
    for (const f of p.formats) {
      if (!runs.length || runs.at(-1)![0]!.w !== f.w || runs.at(-1)![0]!.h !== f.h) runs.push([]);
      runs.at(-1)!.push(f);
    }
    assert.ok(runs.length <= sizes && runs.every((r) => r.length <= perSize), `${name}: ${JSON.stringify(runs)}`);
    assert.ok(runs.length === sizes, `${name}: every change of size is announced: ${JSON.stringify(runs)}`);
    // A run's last announcement gives its size's true shape.
    const shape = (w: number) => (numbered ? 16 / 9 : w === blueW ? blueW / blueH! : redW! / redH!);
    for (const f of runs.map((r) => r.at(-1)!)) assert.ok(Math.abs((f.w * f.sar) / f.h - shape(f.w)) < 0.01, `${name}: ${JSON.stringify(f)}`);
    assert.ok(p.frames.length > 0);
    for (const [i, f] of p.frames.entries()) {
      assert.ok(p.formats.some((e) => e.w === f.width && e.h === f.height), `${name}: ${f.width}x${f.height} never announced`);
      const blue = f.rgb[2]! > 200 && f.rgb[0]! < 60;
      // The padded size libvlc proposes is at most 63 rows more.
      assert.ok(numbered ? i === 0 || f.number >= p.frames[i - 1]!.number
        : f.width === (blue ? blueW : redW) && f.height - (blue ? blueH : redH)! >= 0 && f.height - (blue ? blueH : redH)! < 64, `${name} ${i}`);
    }
    if (numbered || !SIZES_TELL) continue;
    // The last two red runs (the even ones, red first) by their medians:
    // libvlc's decoder set-up briefly takes tens of megabytes at every switch.
    const red: number[][] = [];
    for (const [kb, run] of p.samples) if (run % 2 === 0) (red[run / 2] ??= []).push(kb);
    const median = (v: number[]) => [...v].sort((a, b) => a - b)[v.length >> 1]!;
    const [before, last] = red.filter(Boolean).slice(-2);
    assert.ok(before && last && median(last) - median(before) < 16384, JSON.stringify(red));
  }
});

// Frame times against the numbers drawn in a 25 fps clip, from the first
// picture on: they follow the clock between the library's time reports, a
// pause holds them, and they restart where a seek landed, paused or not. While
// paused the library redraws the still many times a second: it is sent once,
// and the still a seek shows then once, flagged.
test('FrameTimesFollowThePicturesAndAPausedStillIsSentOnce', async (t) => {
  const h = await raw(t);
  await h.command(load(1, clip('count.mp4')), 1);
  await h.wait((e) => e.type === 'time' && e.ms >= 1000);
  h.send(cmd(5, 'seek', { ms: 2500 }));
  await h.wait((e) => e.type === 'seekLanded');
  await h.wait((e) => e.type === 'time' && e.ms >= 2800);
  h.send(cmd(2, 'pause'));
  await h.wait((e) => e.type === 'paused');
  await sleep(300); // the still comes
  const still = h.frames.length;
  await room(1000);
  assert.ok(h.frames.length <= still + 2, 'redraws of the still were sent');
  const beforeSeek = h.frames.length;
  h.send(cmd(3, 'seek', { ms: 4000 }));
  await h.wait((e) => e.type === 'seekLanded');
  await poll('the still after the seek', () => h.frames.length > beforeSeek, 2000);
  await room(1000);
  const landed = h.frames.slice(beforeSeek).map((f) => [f.landed, f.number]);
  assert.ok(landed.length === 1 && landed[0]![0] && [100, 101, 102].includes(landed[0]![1] as number), `the new still, once, flagged: ${landed}`);
  h.send(cmd(4, 'play'));
  await h.wait((e) => e.type === 'end');
  assert.deepEqual(h.events.filter((e) => e.type === 'ack').map((e) => e.ok), [true, true, true, true, true]);
  const errors = h.frames.map((f: RawFrame) => Math.abs(f.ptsUs / 1000 - f.number * 40));
  // The first pictures carry their times; a busy machine shows pictures late now and then.
  assert.ok(errors.slice(0, 5).every((e) => e <= 60 * SLOWDOWN), `the first frames are off by ${errors.slice(0, 5)} ms`);
  errors.sort((a, b) => a - b);
  // Pictures after a resume come some tens of ms after the clock restarts: room for them.
  assert.ok(errors.length >= 60 && errors[Math.floor(errors.length * 0.9)]! <= 100 * SLOWDOWN, `${errors.length} frames, worst ${errors.slice(-10)} ms`);
});
