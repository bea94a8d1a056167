// Scrub previews end to end: the picture of each moment asked, key frame or
// exact, on pictures that change every frame and pictures that hold still,
// playing and paused, while playback goes on untouched; a hover; a load after
// a preview; a network source that stalls; and every bad input.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { type Raw, type RawFrame, SLOWDOWN, clip, cmd, load, poll, raw, serve, startEngine, until } from './helpers.js';

// count.mp4: 6 s at 25 fps, a key frame each second, each picture's number
// drawn in it. held-colours.mp4: 4 s whose pictures hold still a second each,
// the second's number drawn in them.
const CLIPS = [
  { name: 'count.mp4', length: 6000, ownMs: (f: RawFrame) => f.number * 40, frameMs: 40 },
  { name: 'held-colours.mp4', length: 4000, ownMs: (f: RawFrame) => f.number * 1000, frameMs: 1000 },
];

/** The answer to preview `id`: its frame, then its event, both of generation `gen`. */
async function answer(h: Raw, id: number, gen: number) {
  const e = await h.wait((e) => e.type === 'preview' && e.id === id, 5000, `the preview ${id}`);
  // Sent before the event, on a pipe of its own: it may be read after.
  await poll(`the frame of preview ${id}`, () => h.frames.some((f) => f.preview && f.seekId === id), 5000);
  const frame = h.frames.find((f) => f.preview && f.seekId === id)!;
  assert.ok(frame && frame.generation === gen && !frame.landed && frame.ptsUs === e.ms * 1000, `preview ${id}: ${JSON.stringify(frame)}`);
  return { ms: e.ms as number, frame };
}

/** Playback's own events: a preview changes none of them. */
const playbackEvents = (h: Raw, from: number) => h.events.slice(from).filter((e) => !['ack', 'preview', 'log', 'time', 'position'].includes(e.type));

test('EachPreviewShowsItsMomentAndPlaybackGoesOnUntouched', async (t) => {
  for (const c of CLIPS) {
    for (const paused of [false, true]) {
      const h = await raw(t);
      const { generation } = await h.command(load(1, clip(c.name), { paused }), 1);
      await h.wait((e) => e.type === 'length' && e.ms > 0, undefined, `${c.name}'s length`);
      await h.wait((e) => e.type === 'sound', undefined, `${c.name}'s tracks and sound`);
      // Played at half speed: a busy machine asks its twenty previews before the end.
      if (!paused) h.send(cmd(2, 'rate', { value: 0.5 }));
      if (!paused) await h.wait((e) => e.type === 'rate', undefined, 'half speed');
      if (!paused) await poll(`${c.name} with a picture`, () => h.frames.length > 0, 5000);
      const [from, framesFrom, start] = [h.events.length, h.frames.length, Date.now()];
      let id = 10;
      for (const exact of [false, true]) {
        for (let pos = 0.1; pos <= 1.0001; pos += 0.1) {
          const width = id % 3 === 0 ? 320 : 160;
          assert.equal((await h.command(cmd(id, 'preview', { pos, exact, ...(width === 160 ? {} : { width }) }), id)).ok, true);
          const { ms, frame } = await answer(h, id, generation);
          const target = Math.min(pos * c.length, c.length - 1);
          const what = `${c.name} ${paused ? 'paused' : 'playing'}, ${exact ? 'exact' : 'key frame'} at ${target}: ${ms} ms, picture ${frame.number}`;
          assert.equal(frame.width, width, what);
          // The picture showing the moment; or the key frame at or before it (one a second), whose time comes
          // from its date: on a busy machine up to the stream's B-frame delay early until a later preview tells it.
          const key = Math.floor(target / 1000) * 1000;
          assert.equal(c.ownMs(frame), exact ? Math.floor(ms / c.frameMs) * c.frameMs : key, what);
          assert.ok(exact ? ms <= target && ms > target - c.frameMs : ms <= key && ms > key - 120, what);
          id++;
        }
      }
      const seconds = (Date.now() - start) / 1000;
      const played = h.frames.slice(framesFrom).filter((f) => !f.preview);
      assert.deepEqual(playbackEvents(h, from), [], `${c.name}: playback events while previewing`);
      if (paused) {
        assert.deepEqual([played.length, h.events.slice(from).filter((e) => e.type === 'time').length], [0, 0], `${c.name} paused`);
      } else {
        // Playback's pictures and times run on as before: no jump, none held back.
        const times = h.events.slice(from).filter((e) => e.type === 'time').map((e) => e.ms as number);
        assert.ok(times.every((ms, i) => i === 0 || (ms >= times[i - 1]! && ms - times[i - 1]! < 1000)), `${c.name} times ${times}`);
        const expected = Math.min(seconds * 0.5, (c.length - (times[0] ?? 0)) / 1000) * 25;
        // A busy machine drops a late picture now and then (25 of 28 beside another CI stage).
        assert.ok(played.length >= expected * (0.8 / SLOWDOWN), `${c.name}: ${played.length} pictures played in ${seconds} s`);
        assert.ok(played.every((f, i) => i === 0 || f.ptsUs > played[i - 1]!.ptsUs), `${c.name}: playback's pictures in order`);
      }
      h.send(cmd(99, 'quit'));
    }
  }
});

// A host hovering along the bar: 30 previews a second, each replacing the one
// that waits. Pictures keep coming, the last one's at once, and playback's
// frames keep flowing; a load right after a preview hears nothing of it.
test('AHoverSeesPictureAfterPictureAndTheLastAtOnce', async (t) => {
  const h = await raw(t);
  const { generation } = await h.command(load(1, clip('count.mp4')), 1);
  await poll('count.mp4 playing', () => h.events.some((e) => e.type === 'time' && e.ms > 0), 5000);
  const [framesFrom, start] = [h.frames.length, Date.now()];
  for (let i = 0; i < 30; i++) {
    h.send(cmd(100 + i, 'preview', { pos: 0.1 + i * 0.025, exact: i % 2 === 1 }));
    await new Promise((resolve) => setTimeout(resolve, 1000 / 30));
  }
  const end = Date.now();
  const last = await answer(h, 129, generation);
  const previews = h.frames.slice(framesFrom).filter((f) => f.preview);
  const played = h.frames.slice(framesFrom).filter((f) => !f.preview && f.arrived <= end);
  const figure = `${previews.length} previews, the last ${last.frame.arrived - end} ms after; ${played.length} pictures played in ${end - start} ms`;
  t.diagnostic(figure);
  // Under ThreadSanitizer, decoding the key frames behind the CI's other scenarios, two (a first and the last).
  assert.ok(previews.length >= (SLOWDOWN > 1 ? 2 : 10) && previews.every((f, i) => i === 0 || f.seekId > previews[i - 1]!.seekId),
    `${figure}: ${previews.map((f) => f.seekId)}`);
  assert.ok(last.frame.arrived - end < 1000 * SLOWDOWN && played.length >= ((end - start) / 40) * (0.9 / SLOWDOWN), figure);
  // A preview, then a load: nothing of the preview comes after the load's ack.
  h.send(cmd(200, 'preview', { ms: 3000, exact: true }));
  const next = await h.command(load(201, clip('count.mp4')), 201);
  const acked = h.events.length;
  await poll('the new load\'s picture', () => h.frames.some((f) => f.generation === next.generation), 5000);
  assert.deepEqual([h.events.slice(acked).filter((e) => e.type === 'preview'), h.frames.filter((f) => f.preview && f.seekId === 200 && f.generation === next.generation)], [[], []]);
});

test('PreviewsOfANetworkSourceHaveTheirOwnConnectionAndWaitOutAStall', async (t) => {
  const server = await serve(t);
  const h = await raw(t);
  const { generation } = await h.command(load(1, server.url('/file/count.mp4?stall=1500')), 1);
  await h.wait((e) => e.type === 'length' && e.ms > 0, undefined, 'the length');
  await poll('a picture', () => h.frames.length > 0, 5000);
  const asked = server.requests.length;
  h.send(cmd(2, 'preview', { ms: 5000, exact: true }));
  const { frame } = await answer(h, 2, generation);
  assert.equal(frame.number * 40, 5000);
  assert.ok(server.requests.length > asked, 'the previews asked the server themselves');
  assert.deepEqual(h.events.filter((e) => e.type === 'error'), []);
});

test('BadPreviewsAreRefused', async (t) => {
  const server = await serve(t);
  const h = await raw(t);
  const refused = async (id: number, fields: object, why: RegExp) => {
    const e = await h.command(cmd(id, 'preview', fields), id);
    assert.ok(!e.ok && why.test(e.message), `${JSON.stringify(fields)}: ${JSON.stringify(e)}`);
  };
  await refused(1, { ms: 1000 }, /no media/);
  // Each refused once the engine knows why: live, sound alone, a stream that cannot seek.
  const cases = [[clip('count.mp4'), true, 'playing', /live/], [clip('tone.m4a'), false, 'tracks', /no pictures/],
    [server.url('/stream/seek-stream.ts'), false, 'seekable', /cannot seek/]] as const;
  for (const [url, live, known, why] of cases) {
    const { generation } = await h.command(load(2, url, { live }), 2);
    await h.wait((e) => e.type === known, undefined, `${url}: ${known}`);
    if (known === 'seekable') await poll('a picture', () => h.frames.some((f) => f.generation === generation), 5000);
    await refused(3, { ms: 100 }, why);
  }
  await h.command(load(4, clip('count.mp4'), { paused: true }), 4);
  await h.wait((e) => e.type === 'length' && e.ms > 0, undefined, 'the length');
  await poll('a picture', () => h.frames.length > 0, 5000);
  const table: [object, RegExp][] = [
    [{}, /ms or pos/], [{ ms: 1, pos: 0.5 }, /ms or pos/], [{ ms: '1000' }, /ms or pos/], [{ ms: -1 }, /length/], [{ ms: 6001 }, /length/],
    [{ pos: 1.5 }, /pos/], [{ pos: -0.1 }, /pos/], [{ ms: 1, width: 31 }, /width/], [{ ms: 1, width: 641 }, /width/],
    [{ ms: 1, width: 100.5 }, /width/], [{ ms: 1, width: '160' }, /width/], [{ ms: 1, exact: 1 }, /exact/]];
  for (const [i, [fields, why]] of table.entries()) await refused(10 + i, fields, why);
  assert.deepEqual(h.frames.filter((f) => f.preview), []);
});

// The host library: preview() resolves with the picture, which never comes
// to frames(), and frames() ends by its deadline when none comes.
test('TheHostLibraryTellsPreviewsFromPlayback', async (t) => {
  const { engine, faults } = await startEngine(t);
  await engine.load(clip('count.mp4'), { paused: true });
  await until(engine, 'paused with a length', (s) => s.state === 'paused' && s.lengthMs > 0);
  const playback: boolean[] = [];
  const stop = engine.onFrame((f) => void playback.push(f.preview), { timeoutMs: 5000 });
  const [key, exact] = [await engine.preview(2600), await engine.preview({ pos: 0.5 }, { exact: true, width: 64 })];
  assert.deepEqual([key.ms, key.frame.width, key.frame.preview, exact.ms, exact.frame.width], [2000, 160, true, 3000, 64]);
  await assert.rejects(engine.preview(1000, { width: 20 }), { code: 'badArgument' });
  stop();
  assert.ok(playback.every((p) => !p), 'no preview among playback frames');
  await assert.rejects(engine.frames({ timeoutMs: 300 }).next(), { code: 'timeout' });
  assert.deepEqual(faults, []);
});
