// Every format a user plays, played to its end once without a sound device and
// once with a sound server: the host is told the truth of each. Its pictures
// carry their number, so every frame's time is checked against its own.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { SLOWDOWN, clip, cmd, load, quietEnv, raw, room, soundEnv } from './helpers.js';

const FRAME_MS = 40;
// Each clip, its streams as the tracks report is to list them (v video, a sound
// with its language when the file names one, s subtitles), and its length, ms.
const CLIPS: [string, string, number?][] = [
  ['fmt-h264.mp4', 'v a:eng'], ['fmt-hevc.mp4', 'v a'], ['fmt-av1.mp4', 'v a'], ['fmt-mpeg4.mp4', 'v a'], ['fmt-video.mp4', 'v'],
  ['fmt-opus.mkv', 'v a:eng'], ['fmt-vorbis.mkv', 'v a'], ['fmt-flac.mkv', 'v a:eng a:fra'], ['fmt-ac3.mkv', 'v a'],
  ['fmt-vp8.webm', 'v a'], ['fmt-vp9.webm', 'v a'], ['fmt-theora.ogv', 'v a'], ['fmt-mpeg4.avi', 'v a'], ['fmt-prores.mov', 'v a'],
  ['fmt-mjpeg.mov', 'v a'], ['fmt-h264.ts', 'v a'], ['fmt-mpeg2.ts', 'v a'], ['fmt-flv.flv', 'v a'],
  ['fmt-cbr.mp3', 'a'], ['fmt-vbr.mp3', 'a'], ['fmt.flac', 'a'], ['fmt.wav', 'a'], ['fmt-vorbis.ogg', 'a'], ['fmt.opus', 'a'],
  ['tone.m4a', 'a', 3000], ['short-tone.m4a', 'a', 300], ['fmt-blip.wav', 'a', 139],
];
const PLAYERS = 2; // at once, alone on the machine: one a core

const quantile = (v: number[], q: number) => v.toSorted((a, b) => a - b)[Math.floor(v.length * q)] ?? NaN;
const median = (v: number[]) => quantile(v, 0.5);

test('EveryFormatPlaysToItsEndWithTrueTimesTracksAndPicturesWithSoundAndWithout', async (t) => {
  const sound = await soundEnv(t);
  const plays = CLIPS.flatMap(([name, streams, length = 2000]) => [false, true].map((heard) => [name, streams, length, heard] as const));
  const [rows, problems]: string[][] = [[], []];
  const play = async ([name, streams, length, heard]: (typeof plays)[number]) => {
    const h = await raw(t, { env: heard ? sound : quietEnv(), args: ['--pixels=i420'] });
    const { generation } = await h.command(load(1, clip(name)), 1);
    await h.wait((e) => e.type === 'stopped', 10000 * SLOWDOWN, `the stop of ${name}`);
    h.send(cmd(2, 'quit'));
    const at = (type: string) => h.events.findIndex((e) => e.type === type);
    const all = (type: string) => h.events.filter((e) => e.type === type);
    const times = h.events.flatMap((e, i) => (e.type === 'time' && i < at('end') ? [[e.ms as number, h.times[i]!]] : []));
    const frames = h.frames.filter((f) => f.generation === generation);
    const own = (f: (typeof frames)[number]) => f.number * FRAME_MS;
    // Where the media's time 0 lies on the wall clock: from the pictures, else from the time reports of the first half
    // (a demuxer's last reports may lag, Ogg's), else from the start of playback.
    const reports = times.filter(([ms]) => ms < length / 2).map(([ms, wall]) => wall - ms);
    const start = frames.length ? median(frames.map((f) => f.wallUs / 1000 - own(f))) : reports.length ? median(reports) : h.times[at('playing')]!;
    const told = all('length').at(-1)?.ms ?? 0;
    const end = h.times[at('end')]! - start - length;
    const last = times.at(-1)?.[0] ?? 0;
    const back = times.filter(([ms], i) => i > 0 && ms < times[i - 1]![0]).length;
    const tracks = all('tracks').at(-1);
    const listed = tracks ? [...tracks.video.map(() => 'v'), ...tracks.audio.map((a: { language: string | null }) =>
      (a.language && a.language !== 'und' ? `a:${a.language}` : 'a')), ...tracks.spu.map(() => 's')].join(' ') : 'none';
    // Each picture's first frame: a redraw of the last one while the sound ends is not that picture's time.
    const errors = frames.filter((f, i) => i === 0 || f.number !== frames[i - 1]!.number).map((f) => Math.abs(f.ptsUs / 1000 - own(f)));
    const [pts, worst] = [median(errors), Math.max(0, ...errors)];
    const numbers = new Set(frames.map((f) => f.number));
    const what = `${name} ${heard ? 'sound' : 'quiet'}`;
    rows.push(`${what.padEnd(26)} length ${told - length}, end ${Math.round(end)}, last time ${last}, back ${back}, tracks ${listed}, ` +
      `frames ${numbers.size}/${frames.length}${frames.length ? `, pts error ${Math.round(pts)}/${Math.round(worst)}` : ''}`);
    // Known and left: with a sound server libvlc makes Ogg Theora's video track known so late that a 2 s clip
    // may end before a report lists it, and its end late; told as a diagnostic, not failed.
    const known = name === 'fmt-theora.ogv' && heard;
    const check = (ok: boolean, why: string, open = false) =>
      void (ok || (open && known ? rows.push(`${what}: known, left: ${why}`) : problems.push(`${what}: ${why}`)));
    check(all('error').length === 0 && [at('opening'), at('playing'), at('end'), at('stopped')].every((i, k, a) => i >= 0 && (k === 0 || a[k - 1]! < i)),
      `events out of order: ${h.lines.join(' ')}`);
    check(at('tracks') < at('end') && at('sound') < at('end') && at('length') < at('end'), 'tracks, sound or length after the end');
    // Only MPEG-TS's, an estimate less the muxer's delay, may fall short of the media's.
    check(Math.abs(told - length) <= 150 && (name.endsWith('.ts') || told >= length), `length ${told}`);
    // With a sound server libvlc ends Ogg sound alone up to 400 ms early by itself; where the start is taken from
    // time reports, a busy machine's late ones move it on by up to 100 ms more.
    check(end >= (heard ? -550 : -250) && end <= 700 * SLOWDOWN, `end ${Math.round(end)} ms from the real end`, true);
    check(last >= length - 300 && back === 0, `time ${times.map(([ms]) => ms)}`);
    check(listed === streams && all('sound').every((e) => e.state === (streams.includes('a') ? 'playing' : 'none')),
      `tracks ${listed}, sound ${all('sound').map((e) => e.state)}`, true);
    if (!streams.includes('v')) return check(frames.length === 0, 'frames of sound');
    const shape = all('format').at(-1)!;
    check(frames.every((f) => all('format').some((e) => e.w === f.width && e.h === f.height)) && Math.abs((shape.w * shape.sar) / shape.h - 16 / 9) < 0.02,
      `sizes ${JSON.stringify(all('format'))}`);
    // A busy machine makes the library drop late pictures (heavy decoders such as ProRes a quarter of them),
    // mostly as a play starts; never the last ones.
    // MPEG-TS's demuxer pauses at its end with the last pictures still queued: a few more go unshown.
    const unshown = 5 * SLOWDOWN + (name.endsWith('.ts') ? 3 : 0);
    check(numbers.size >= (0.6 * length) / FRAME_MS / SLOWDOWN && Math.max(...numbers) >= length / FRAME_MS - unshown, `pictures ${[...numbers]}`);
    // A picture shown late on a busy machine is one thing; a clock that leaves its pictures, many.
    check(pts <= 2 * FRAME_MS && quantile(errors, 0.9) <= 400 * SLOWDOWN, `pts errors ${errors.map(Math.round)}`);
  };
  // The players start apart: an engine's start is its busiest moment.
  await Promise.all(Array.from({ length: PLAYERS }, async (_, i) => {
    await room((i * 2000) / PLAYERS);
    for (let next; (next = plays.shift()); ) await play(next);
  }));
  rows.sort().forEach((r) => t.diagnostic(r));
  assert.deepEqual(problems, []);
});
