// Seeks, picture steps, loops and frame times on the pictures users play:
// some change every picture, others hold still (a colour a second, animation
// on twos, a fade through a second of black, a screencast that keeps only its
// changes). The blocks drawn in each picture say what it shows, and the
// clip's own picture times, read with ffprobe, say when each begins: every
// flagged frame is the last picture begun by its place, at that picture's
// time, and every other frame carries the time of the picture it shows.

import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import path from 'node:path';
import { test } from 'node:test';
import { MEDIA, type RawFrame, ack, clip, cmd, load, poll, raw, room } from './helpers.js';

/** What a frame shows: its blocks' number, or black where none are drawn on black. */
type Shown = number | 'black';
interface Clip {
  name: string;
  /** Where its pictures start in the library's time: Matroska's sound starts 7 ms before zero, its video 7 ms after. */
  offset: number;
  /** What the picture of this time, ms, shows (t: its time as ffmpeg drew it, s). */
  shows: (t: number) => Shown;
  /** Its pictures come only where they change, at their own times. */
  uneven?: boolean;
}
const CLIPS: Clip[] = [
  { name: 'seek-colours.mp4', offset: 0, shows: (t) => Math.round(t * 25) },
  { name: 'seek-colours.mkv', offset: 14, shows: (t) => Math.round(t * 25) },
  { name: 'seek-colours.webm', offset: 14, shows: (t) => Math.round(t * 25) },
  { name: 'held-colours.mp4', offset: 0, shows: (t) => Math.floor(t) },
  { name: 'held-twos.mp4', offset: 0, shows: (t) => Math.floor(Math.round(t * 25) / 2) },
  { name: 'held-fade.mp4', offset: 0, shows: (t) => (t >= 2 && t < 2.999 ? 'black' : Math.round(t * 25)) },
  { name: 'held-screencast.mp4', offset: 0, shows: (t) => Math.floor(t * 1.7) + Math.floor(t * t), uneven: true },
];
const AT_ONCE = 2; // clips played at once

const shownBy = (f: RawFrame): Shown => (f.number === 0 && Math.max(...f.rgb) < 40 ? 'black' : f.number);

/** The clip's pictures: when each begins in the library's time, ms, and what it shows. */
function pictures(c: Clip) {
  const probe = spawnSync('ffprobe', ['-v', 'error', '-select_streams', 'v', '-show_entries', 'packet=pts_time', '-of', 'csv=p=0',
    path.join(MEDIA, c.name)], { encoding: 'utf8' });
  assert.equal(probe.status, 0, probe.stderr);
  const times = probe.stdout.trim().split('\n').map(Number).sort((a, b) => a - b);
  // ffprobe gives Matroska's times as stored, 7 ms after zero; ffmpeg drew the picture at a multiple of 40 ms.
  return times.map((s) => {
    const drawn = Math.round(s * 25) * 0.04;
    return { ms: Math.round(drawn * 1000) + c.offset, shows: c.shows(drawn) };
  });
}

/**
 * Whether a picture beginning at begins is told at ms. A crowded machine hears the start of the library's clock
 * late, and a time from it runs late: within the picture's first half.
 */
const toldAt = (ms: number, begins: number) => ms >= begins && ms - begins < 20;

const quantile = (v: number[], q: number) => v.toSorted((a, b) => a - b)[Math.min(v.length - 1, Math.floor(v.length * q))] ?? NaN;

test('EveryPictureAndEveryLandingIsThePictureOfItsTime', async (t) => {
  const figures: string[] = [];
  const play = async (c: Clip) => {
    const all = pictures(c);
    /** The picture that shows the place: the last begun by it. */
    const showing = (target: number) => all.findLast((p) => p.ms <= target) ?? all[0]!;
    const what = (f: RawFrame) => `${c.name}: picture ${JSON.stringify(shownBy(f))} at ${f.ptsUs / 1000}`;
    const h = await raw(t);
    let [framesFrom, generation] = [0, 0];
    /** Frames since the last check each show the picture of their time; the load's first is at 0 (its start). */
    const truthful = (from: number) => {
      for (const f of h.frames.slice(from)) {
        const ms = f.ptsUs / 1000;
        const p = showing(ms);
        assert.ok((toldAt(ms, p.ms) && p.shows === shownBy(f)) || (ms === 0 && shownBy(f) === all[0]!.shows), what(f));
      }
    };
    const open = async (id: number, fields: object = {}) => {
      framesFrom = h.frames.length;
      ({ generation } = await h.command(load(id, clip(c.name), fields), id));
      await h.wait((e) => e.type === 'seekable' && e.v, undefined, `${c.name} seekable`);
      await h.wait((e) => e.type === 'length' && e.ms > 0, undefined, `${c.name} with a length`);
      await poll(`a picture of ${c.name}`, () => h.frames.some((f) => f.generation === generation), 5000);
      return h.events.findLast((e) => e.type === 'length')!.ms as number;
    };
    /** A seek or step, its landing and the flagged frame: the picture of target, at its time, first after the ack. */
    const land = async (id: number, command: string, target: () => number) => {
      const from = h.frames.length;
      const sent = Date.now();
      const answer = await h.command(command, id);
      if (!answer.ok) return null;
      const outcome = await h.wait((e) => (e.type === 'seekLanded' && e.id === id) || e.type === 'end', 5000, `the landing of ${command}`);
      if (outcome.type === 'end') return null;
      await poll(`the flagged frame of ${command}`, () => h.frames.slice(from).some((f) => f.landed), 3000);
      const f = h.frames.slice(from).find((g) => g.landed)!;
      // A paused seek to the end: the library pauses at the end of the file once its output took the last pictures,
      // which may be before it showed them (up to the last three, all those of its last 0.4 s where pictures come
      // only where they change): it lands on the last one the library showed (the README says so).
      const last = all.filter((p) => p.ms <= target()).slice(c.uneven ? -all.filter((p) => p.ms >= length - 400).length : -3);
      const end = target() >= length - 1 && last.some((p) => toldAt(f.ptsUs / 1000, p.ms));
      const want = end ? last.findLast((p) => toldAt(f.ptsUs / 1000, p.ms))! : showing(target());
      assert.ok(f.seekId === id && toldAt(f.ptsUs / 1000, want.ms) && outcome.ms === f.ptsUs / 1000 && shownBy(f) === want.shows,
        `${command}: ${what(f)}, landed ${outcome.ms}; wanted ${JSON.stringify(want)}`);
      // Frames written before the ack may still be on their way; none written after it comes first. The ack's
      // arrival is known to the millisecond below it: a frame of that millisecond may have come before it.
      const acked = h.times[h.events.indexOf(answer)]!;
      const before = h.frames.slice(from, h.frames.indexOf(f)).filter((g) => g.wallUs / 1000 >= acked + 1);
      assert.deepEqual(before.map(what), [], `${command}: frames between the ack and the flagged one`);
      return { f, ms: f.arrived - sent };
    };

    // Played from the start: every frame the picture of its time.
    let length = await open(1);
    await poll('0.6 s played', () => (h.frames.at(-1)?.ptsUs ?? 0) >= 600000, 5000);
    truthful(framesFrom);
    h.send(cmd(2, 'pause'));
    await h.wait((e) => e.type === 'paused', undefined, `${c.name} paused`);

    // Paused seeks: nothing moves after the landing.
    const paused: number[] = [];
    for (const pos of [0.1, 0.5, 0.9, 0.97, 1]) {
      const id = 100 + Math.round(pos * 100);
      const landed = await land(id, cmd(id, 'seek', { pos }), () => Math.min(pos * length, length - 1));
      assert.ok(landed, `${c.name}: paused seek to ${pos} refused or ended`);
      paused.push(landed.ms);
      await room(150);
      assert.equal(h.frames.at(-1), landed.f, `${c.name}: moved after the paused seek to ${pos}`);
    }

    // Steps from a paused landing: the next pictures, then the ones before, each once.
    await land(250, cmd(250, 'seek', { pos: 0.3 }), () => 0.3 * length);
    let index = all.indexOf(showing(0.3 * length));
    const steps: number[] = [];
    const forward = Math.min(25, all.filter((p) => !c.uneven || p.ms < length - 400).length - 1 - index);
    for (let i = 0; i < forward + 10; i++) {
      const id = 300 + i;
      const back = i >= forward;
      index += back ? -1 : 1;
      const to = all[index]!.ms;
      const landed = await land(id, cmd(id, 'frameStep', back ? { back: true } : {}), () => to);
      assert.ok(landed, `${c.name}: step ${id} refused`);
      steps.push(landed.ms);
    }

    // Playing seeks: the pictures go on from the landing; at the end it may end instead, and is loaded again.
    h.send(cmd(3, 'play'));
    await h.wait((e) => e.type === 'playing', undefined, `${c.name} playing`);
    const playing: number[] = [];
    for (const pos of [0.1, 0.5, 0.9, 0.97, 1]) {
      const id = 400 + Math.round(pos * 100);
      if (h.events.slice(-3).some((e) => e.type === 'end' || e.type === 'stopped')) length = await open(id + 50);
      const from = h.frames.length;
      const landed = await land(id, cmd(id, 'seek', { pos }), () => Math.min(pos * length, length - 1));
      if (!landed) {
        assert.ok(pos >= 0.97, `${c.name}: playing seek to ${pos} refused or ended`);
        length = await open(id + 60);
        continue;
      }
      playing.push(landed.ms);
      await room(200);
      truthful(from);
    }

    // A loop: each pass starts again at the first picture, in the same generation.
    await open(5, { loop: true });
    h.send(cmd(6, 'seek', { pos: 0.9 }));
    await h.wait((e) => e.type === 'looped', 6000, `${c.name} looped`);
    const looping = () => h.frames.slice(framesFrom).filter((f) => f.generation === generation);
    await poll('a picture of the next pass', () => looping().some((f, i, a) => i > 0 && f.ptsUs < a[i - 1]!.ptsUs), 3000);
    const passAt = looping().findIndex((f, i, a) => i > 0 && f.ptsUs < a[i - 1]!.ptsUs);
    const [last, pass] = [looping()[passAt - 1]!, looping()[passAt]!];
    // The first picture at the start (0), or at its own time where the library dates it (Matroska's 14 ms). A host
    // that fell behind loses pictures to the queue's limit, the pass's first among them: the last pass's last frame
    // waited in the queue then.
    const behind = last.begun - last.wallUs / 1000 > 10;
    assert.ok(([0, all[0]!.ms].includes(pass.ptsUs / 1000) && shownBy(pass) === all[0]!.shows) || (behind && pass.ptsUs / 1000 < 400),
      `${c.name}: the loop's first ${what(pass)}, the last pass's last waited ${last.begun - last.wallUs / 1000} ms`);
    truthful(framesFrom);
    h.send(cmd(7, 'stop'));

    const stepped = `steps p50 ${quantile(steps, 0.5)} p95 ${quantile(steps, 0.95)} ms`;
    figures.push(`${c.name}: ack to flagged frame, paused ${paused.join(' ')} ms, playing ${playing.join(' ')} ms; ${stepped}`);
  };
  const queue = [...CLIPS];
  await Promise.all(Array.from({ length: AT_ONCE }, async () => {
    for (let c; (c = queue.shift()); ) await play(c);
  }));
  figures.sort().forEach((f) => t.diagnostic(f));
  assert.ok(figures.length === CLIPS.length);
});

// A step asks for a paused picture: refused without media, while playing and on sound alone.
test('StepsAreRefusedWithoutAPausedPicture', async (t) => {
  const h = await raw(t);
  assert.deepEqual(await h.command(cmd(1, 'frameStep'), 1), ack(1, false), 'without media');
  await h.command(load(2, clip('seek-colours.mp4')), 2);
  await h.wait((e) => e.type === 'playing', undefined, 'playing');
  assert.deepEqual(await h.command(cmd(3, 'frameStep'), 3), ack(3, false), 'while playing');
  await h.command(load(4, clip('seek-tone.m4a')), 4);
  await h.wait((e) => e.type === 'playing', undefined, 'the tone playing');
  h.send(cmd(5, 'pause'));
  await h.wait((e) => e.type === 'paused', undefined, 'the tone paused');
  assert.deepEqual(await h.command(cmd(6, 'frameStep'), 6), ack(6, false), 'on sound alone');
});
