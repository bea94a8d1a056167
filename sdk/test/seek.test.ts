// Seeks end to end beyond the pictures table: while dragging, which are
// refused, start positions, slow sources, sound alone, and a stream without a
// length.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import type { Engine, Frame } from '../src/index.js';
import { type Raw, type RawFrame, SLOWDOWN, clip, cmd, load, poll, raw, room, serve, startEngine, until } from './helpers.js';

/** Where in the clock clip a picture was taken, ms: the grey square in its middle brightens by 25.3 levels a second. */
const shownMs = (f: Frame) => {
  const at = Math.floor(f.height / 2) * f.pitch + Math.floor(f.width / 2) * 4;
  return ((f.pixels[at]! + f.pixels[at + 1]! + f.pixels[at + 2]!) / 3 / 25.3) * 1000;
};

/** The flagged frames, as where they show and their time. */
function flagged(engine: Engine): { shown: number; pts: number; at: number }[] {
  const out: { shown: number; pts: number; at: number }[] = [];
  engine.onFrame((f) => void (f.landed && out.push({ shown: shownMs(f), pts: f.ptsUs / 1000, at: Date.now() })));
  return out;
}

const near = (v: number | null, target: number, room = 500) => v !== null && Math.abs(v - target) <= room;
/** A landing is told at the library's first time report from there: up to a second on, on a busy machine more. */
const landedNear = (v: number | null, target: number) => v !== null && v >= target - 300 && v <= target + 1000 * SLOWDOWN;

async function playFrom(engine: Engine, url: string, ms = 300, options = {}) {
  await engine.load(url, options);
  await until(engine, 'the target passed, seekable', (s) => s.timeMs >= ms && s.seekable && s.lengthMs > 0); // a seek by time needs both
}

// The seeking clip: 4 s at 25 fps, each picture's number drawn in it, so a
// picture's own time is its number x 40 ms.
const FRAME_MS = 40;
const ownMs = (f: RawFrame) => f.number * FRAME_MS;
/** The picture at ms shows the place target: the last begun by it. */
const shows = (ms: number, target: number) => ms <= target && ms > target - FRAME_MS;

/** Loads a seeking clip on raw pipes until it can seek and showed a picture, then pauses it when asked. */
async function open(h: Raw, id: number, name: string, paused: boolean) {
  const { generation } = await h.command(load(id, clip(name)), id);
  await h.wait((e) => e.type === 'seekable' && e.v, undefined, `${name} seekable`);
  await h.wait((e) => e.type === 'length' && e.ms > 0, undefined, `${name} with a length`);
  await poll(`a picture of ${name}`, () => h.frames.some((f) => f.generation === generation), 5000);
  if (paused) h.send(cmd(id + 500, 'pause')), await h.wait((e) => e.type === 'paused', undefined, `${name} paused`);
}

// A host dragging a seek bar: 30 seeks a second for two seconds, each
// replacing the last. It keeps seeing pictures of the places dragged over,
// each flagged with its own seek's id, and the last seek's picture at once.
const DRAG_TO = 0.95;
test('DraggingShowsThePlacesDraggedOverAndTheLastAtOnce', async (t) => {
  const figures: string[] = [];
  for (const paused of [true, false]) {
    const h = await raw(t);
    await open(h, 1, 'seek-colours.mp4', paused);
    const targets = new Map<number, number>();
    const [framesFrom, start] = [h.frames.length, Date.now()];
    let end = 0;
    for (let i = 0; i < 60; i++) {
      const pos = 0.05 + ((DRAG_TO - 0.05) * i) / 59;
      targets.set(1000 + i, pos * 4000);
      [end] = [Date.now(), h.send(cmd(1000 + i, 'seek', { pos }))];
      await room(1000 / 30);
    }
    await poll('the last seek\'s picture', () => h.frames.slice(framesFrom).some((f) => f.landed && f.seekId === 1059), 3000);
    const marked = h.frames.slice(framesFrom).filter((f) => f.landed);
    const during = marked.filter((f) => f.arrived <= end);
    const last = marked.find((f) => f.seekId === 1059)!;
    figures.push(`${paused ? 'paused' : 'playing'}: ${during.length} flagged in ${end - start} ms of drag, the last ${last.arrived - end} ms after`);
    assert.ok(during.length >= ((5 / SLOWDOWN) * (end - start)) / 1000, figures.at(-1));
    assert.ok(marked.every((f) => targets.has(f.seekId) && f.ptsUs / 1000 === ownMs(f) && shows(ownMs(f), targets.get(f.seekId)!)),
      `${paused ? 'paused' : 'playing'}: flagged ${JSON.stringify(marked.map((f) => [f.seekId, ownMs(f)]))}; the last frames ${JSON.stringify(h.frames.slice(-25).map((f) => [f.seekId, f.number, f.ptsUs / 1000, f.arrived - end]))}`);
    assert.ok(last.arrived - end < 1000 * SLOWDOWN,
      `${figures.at(-1)}: picture ${ownMs(last)} for ${targets.get(1059)}`);
  }
  figures.forEach((f) => t.diagnostic(f));
});

test('SeeksAreRefusedWithoutMediaTheLibraryCanSeekIn', async (t) => {
  const server = await serve(t);
  const { engine, faults, events } = await startEngine(t, { frames: false });
  const logs: string[] = [];
  engine.on('log', (m) => logs.push(m));
  const refused = async (when: string) => {
    for (const target of [{ ms: 1000 }, { pos: 0.5 }]) await assert.rejects(engine.seek(target), { code: 'refused' }, when);
  };
  await refused('before any load');
  // A server that never answers: the library never learns whether it can seek.
  await engine.load(server.url('/silent/silent.ts'));
  await until(engine, 'opening', (s) => s.state === 'opening');
  await refused('before the library said whether it can seek');
  // A start position it cannot seek to is dropped, and the host told.
  let from = events.length;
  await engine.load(server.url('/stream/seek-stream.ts'), { startPos: 0.5 });
  await until(engine, 'the start position dropped', (s) => s.state === 'playing' && logs.includes('startPos dropped: the media cannot seek'));
  assert.ok(events.slice(from).some((e) => e.type === 'seekable' && !e.v));
  await refused('on a stream without length or ranges');
  from = events.length;
  await playFrom(engine, clip('seek-clock.mp4'), 0);
  await Promise.all([engine.seek({ ms: 1000 }), engine.seek({ pos: 0.5 })]);
  await engine.stop();
  await refused('after stop');
  assert.deepEqual(faults, []);
});

test('StartPositionsSlowSourcesAndSoundOnly', async (t) => {
  const server = await serve(t);
  const { engine, faults, events } = await startEngine(t);
  const marks = flagged(engine);
  // A start position jumps there without a report; played from the start it would show the times between.
  let from = events.length;
  await playFrom(engine, clip('seek-clock.mp4'), 3300, { startPos: 0.3 });
  const early = events.slice(from).filter((e) => e.type === 'seekLanded' || (e.type === 'time' && e.ms > 600 && e.ms < 2400));
  assert.deepEqual([early, marks.length], [[], 0]);
  // A seek as soon as the media can seek, mostly before its buffers first filled, holds: the start position is dropped.
  await engine.load(clip('seek-clock.mp4'), { startPos: 0.8 });
  await until(engine, 'seekable with a length', (s) => s.seekable && s.lengthMs > 0);
  assert.ok(landedNear((await engine.seekAndWait({ ms: 2000 })).landedMs, 2000));
  from = events.length;
  await until(engine, '2.6 s played', (s) => s.timeMs >= 2600);
  await room(300);
  assert.ok(events.slice(from).every((e) => e.type !== 'time' || e.ms < 4000), 'the start position was applied after the seek');

  // Sound only: it lands without any frame.
  const frames = engine.frameStats.received;
  await playFrom(engine, clip('seek-tone.m4a'));
  assert.ok(landedNear((await engine.seekAndWait({ ms: 6000 })).landedMs, 6000));
  assert.equal(engine.frameStats.received, frames);

  // The source answers a range 2.5 s late, no faster than twice the clip's rate: the library
  // reports the target as its time at once, but the landing waits for playback to move.
  server.rate = 250000;
  await playFrom(engine, server.url('/file/seek-clock.mp4'));
  server.delayMs = 2500;
  const [n, sent] = [marks.length, Date.now()];
  const landing = await engine.seekAndWait({ ms: 6000 });
  const landedAt = Date.now();
  assert.ok(landedNear(landing.landedMs, 6000) && server.answeredLate.length > 0 && landedAt >= server.answeredLate[0]!,
    `asked at ${sent}, answered ${server.answeredLate}, landed ${landedAt}`);
  await until(engine, '6.3 s played', (s) => s.timeMs >= 6300);
  assert.ok(near(marks[n]?.shown ?? null, landing.landedMs!, 600), JSON.stringify(marks));
  assert.deepEqual(faults, []);
});

// A raw H.264 stream: the library can seek in the file but knows no length,
// and reports its time as 0 throughout: seeks go by position and land on the
// first picture from there, paused too.
test('WithoutALengthSeeksGoByPositionAndLandOnAPicture', async (t) => {
  const { engine, faults } = await startEngine(t);
  await engine.load(clip('seek.h264'));
  await until(engine, 'seekable and under way', (s) => s.seekable && s.position > 0);
  for (const ms of [1000, 0]) await assert.rejects(engine.seek({ ms }), { code: 'refused' });
  for (const paused of [false, true]) {
    if (paused) await engine.pause().then(() => until(engine, 'paused', (s) => s.state === 'paused'));
    const sent = Date.now();
    const landing = await engine.seekAndWait({ pos: paused ? 0.8 : 0.7 });
    // seekAndWait brings the landed picture too, a copy of its own.
    assert.ok(landing.landedMs === 0 && landing.frame?.landed && Date.now() - sent < 3000 * SLOWDOWN, `${landing.landedMs} ${landing.frame?.landed}`);
  }
  assert.deepEqual(faults, []);
});
