// Seeks end to end, through the host library: which are refused, where they
// land and the picture flagged there, while paused, at the edges, from a start
// position, on a slow source, and in a stream without a length.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import type { Engine, Frame, SeekTarget } from '../src/index.js';
import { SLOWDOWN, clip, poll, room, serve, startEngine, until } from './helpers.js';

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

test('SeeksLandOnceNearTheirTargetAndFlagTheFirstPictureFromThere', async (t) => {
  const { engine, faults, events } = await startEngine(t);
  const marks = flagged(engine);
  await playFrom(engine, clip('seek-clock.mp4'));
  // Paused, the library reports no time: the control loop alone sees these land, at once.
  const steps: [SeekTarget, number, boolean][] = [[{ ms: 6000 }, 6000, false], [{ pos: 0.3 }, 3000, false],
    [{ ms: 8000 }, 8000, false], [{ ms: 7000 }, 7000, true], [{ ms: 7000 }, 7000, true], [{ pos: 0.2 }, 2000, true]];
  for (const [target, ms, paused] of steps) {
    if (paused && engine.state.state !== 'paused') await engine.pause().then(() => until(engine, 'paused', (s) => s.state === 'paused'));
    const [n, sent] = [marks.length, Date.now()];
    const landing = await engine.seekAndWait(target);
    // Its picture comes soon after: the wait ends when both came.
    assert.ok(paused ? landing.landedMs === ms && Date.now() - sent < 2000 * SLOWDOWN : landedNear(landing.landedMs, ms), `${landing.landedMs}`);
    // One picture is flagged, from the new position, with the landing's time: paused too, right after a landing.
    await poll('a flagged picture', () => marks.length > n, 3000, 50);
    await room(200);
    // seekAndWait brought that picture too, a copy of its own.
    assert.ok(marks.length === n + 1 && near(marks[n]!.shown, landing.landedMs!, 600) && near(marks[n]!.pts, landing.landedMs!, 100 * SLOWDOWN)
      && landing.frame?.landed && shownMs(landing.frame) === marks[n]!.shown, JSON.stringify([target, landing.landedMs, marks.slice(n)]));
  }
  // At or past the end a seek may end the media instead of landing; no landing follows the end.
  for (const [target, lo, hi] of [[{ ms: 0 }, 0, 1000 * SLOWDOWN], [{ pos: 0 }, 0, 1000 * SLOWDOWN], [{ pos: 1 }, -1, -1], [{ ms: 60000 }, -1, -1],
    [{ ms: 1e19 }, -1, -1]] as const) {
    await playFrom(engine, clip('seek-clock.mp4'), 400);
    const from = events.length;
    const landing = await engine.seekAndWait(target);
    if (lo < 0) await until(engine, 'stopped', (s) => s.state === 'stopped');
    await room(300);
    const after = events.slice(from).map((e) => e.type);
    assert.ok(lo < 0 ? landing.ended || (after.includes('end') && after.lastIndexOf('seekLanded') < after.indexOf('end'))
      : landing.landedMs! >= lo && landing.landedMs! <= hi && after.filter((e) => e === 'seekLanded').length === 1,
    `${JSON.stringify(target)} ${landing.landedMs} ${landing.ended} ${after}`);
  }
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

// A raw H.264 stream: the library can seek in the file but knows no length, and
// reports its time as 0 throughout.
test('WithoutALengthSeeksGoByPositionAndPausedOnlyTheDeadlineLandsThem', async (t) => {
  const { engine, faults, events } = await startEngine(t, { frames: false });
  await engine.load(clip('seek.h264'));
  await until(engine, 'seekable and under way', (s) => s.seekable && s.position > 0);
  for (const ms of [1000, 0]) await assert.rejects(engine.seek({ ms }), { code: 'refused' });
  let sent = Date.now();
  const landing = await engine.seekAndWait({ pos: 0.7 });
  assert.ok(landing.landedMs === 0 && Date.now() - sent < 3000, JSON.stringify(landing));
  await until(engine, 'half way', (s) => s.position >= 0.5);
  // Paused, it reports neither time nor position: nothing tells the landing but the deadline.
  await engine.pause();
  await until(engine, 'paused', (s) => s.state === 'paused');
  const lastTime = events.filter((e) => e.type === 'time').at(-1)!.ms;
  sent = Date.now();
  const late = await engine.seekAndWait({ pos: 0.8 });
  assert.ok(Date.now() - sent >= 4500 && Date.now() - sent <= 6500 && late.landedMs === lastTime, JSON.stringify(late));
  assert.ok(events.every((e) => e.type !== 'length' || e.ms === 0));
  assert.deepEqual(faults, []);
});
