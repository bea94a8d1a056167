// The engine's reports of real media, through the host library: the problem
// of every way a load can fail, the same with a sound server and without;
// the tracks and sound of what plays; track choices and sound settings as the
// sound server sees them; transport streams.

import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import type { AddressInfo } from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { isDeepStrictEqual } from 'node:util';
import type { Engine, EngineEvent, LoadOptions } from '../src/index.js';
import { MEDIA, clip, poll, quietEnv, room, serve, soundEnv, startEngine, until } from './helpers.js';

/** Loads url; its events once it stopped and a fifth of a second passed, when a second error would show. */
async function playOut(engine: Engine, url: string, options: LoadOptions = {}): Promise<EngineEvent[]> {
  const events: EngineEvent[] = [];
  const off = engine.on('event', (e) => events.push(e));
  await engine.load(url, options);
  await until(engine, 'stopped', (s) => s.state === 'stopped');
  await room(200);
  off();
  return events;
}

const track = (id: number, language: string | null = null, name = 'Track 1') => ({ id, name, language });
const tracks = (audio: object[], spu: object[], video: object[], selected: object) => ({ type: 'tracks', audio, spu, video, selected });
const MKV = tracks([track(1, 'eng', 'English - [English]'), track(2, 'fra', 'French - [French]')],
  [{ ...track(3, 'deu', 'Deutsch - [German]'), external: false }, { ...track(4, 'eng', 'Captions - [English]'), external: false }], [track(0, 'und')],
  { audio: 1, spu: 3, video: 0 });

test('EveryLoadEndsInItsProblemOrItsTracksTheSameWithSoundAndWithout', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-media-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const file = (name: string, bytes: string | Buffer) => (fs.writeFileSync(path.join(dir, name), bytes), `file://${dir}/${name}`);
  let seed = 5; // the same bytes on every run
  const noise = Buffer.from(Array.from({ length: 204800 }, () => (seed = (seed * 1103515245 + 12345) >>> 0) >>> 24));
  const mp4 = fs.readFileSync(path.join(MEDIA, 'clip.mp4'));
  const [server, untrusted] = [await serve(t, dir), await serve(t, dir, true)];
  fs.writeFileSync(path.join(dir, 'page.html'), '<!doctype html><html><head><title>Hi</title></head><body><p>Hi</p></body></html>\n');
  const closed = http.createServer().listen(0, '127.0.0.1');
  await new Promise((resolve) => closed.on('listening', resolve));
  const refused = (closed.address() as AddressInfo).port;
  closed.close();
  // Longer than the 253 bytes a DNS name may have: refused on the spot, no query sent.
  const unresolvable = `${Array(5).fill('x'.repeat(60)).join('.')}.invalid`;
  const nasty = `/tmp/vexolo "q" \\ \u0001 ${'n'.repeat(10000)}`;
  const hostile = (e: EngineEvent[]) => {
    const [tr] = e.filter((x) => x.type === 'tracks') as Extract<EngineEvent, { type: 'tracks' }>[];
    assert.ok(tr!.video[0]!.name.startsWith('say "hi" \\ back\\slash \u0001\u001f ctl') && tr!.audio[0]!.name.length <= 297);
  };
  // A problem with the library's words that decide it, or what a load that plays tells.
  type Plays = { sound: string; tracks?: object; pictures: boolean; check?: (e: EngineEvent[]) => void };
  const cases: [string, [string, string | null] | [string, string | null, string] | Plays][] = [
    [`http://127.0.0.1:${refused}/clip.mp4`, ['unreachable', 'connection failed: Connection refused']],
    [`http://${unresolvable}/clip.mp4`, ['unreachable', 'Name or service not known']],
    // A plain HTTP server answers the TLS hello with a plain 400 page.
    [`https://127.0.0.1:${server.port}/clip.mp4`, ['insecure', 'TLS handshake error']],
    [untrusted.url('/file/page.html'), ['insecure', 'Certificate verification failure']],
    [server.url('/404/clip.mp4'), ['notFound', 'HTTP 404 error']],
    [server.url('/503/clip.mp4'), ['serverError', 'HTTP 503 error']],
    [clip('no-such-clip.mp4'), ['notFound', 'No such file or directory']],
    [`file://${nasty}`, ['unavailable', '"q" \\ \u0001 n']], // a name too long for the file system, quoted back
    [file('notes.txt', 'Shopping list\nmilk\nbread\n'), ['unrecognized', null]],
    [file('noise.bin', noise), ['unrecognized', null]],
    [server.url('/file/page.html'), ['unrecognized', null]],
    [file('cut.mp4', mp4.subarray(0, mp4.length / 2)), ['unrecognized', null]],
    [`file://${dir}`, ['unrecognized', null]],
    [file('empty.mp4', ''), ['unrecognized|unavailable', null]], // the library may give up before it looks
    // H.264 under the FourCC "ZZ9 ": the name is the FourCC without its space.
    [clip('undecodable-video.avi'), ['undecodableVideo', "Codec `ZZ9 '", 'ZZ9']],
    [clip('undecodable-tone.mov'), ['undecodableAudio', "Codec `QQQQ'", 'QQQQ']],
    // Beside video that plays, silent audio is no error: only no sound.
    [clip('undecodable-sound.mov'), { sound: 'none', pictures: true }],
    [clip('short-video.mp4'), { sound: 'none', pictures: true }],
    [clip('tracks.mkv'), { sound: 'playing', pictures: true, tracks: MKV }],
    [clip('hostile.mkv'), { sound: 'playing', pictures: true, check: hostile }],
  ];
  // With and without a sound server, warnings asked for and not: the same answers.
  for (const [env, logLevel] of [[await soundEnv(t), 0], [quietEnv(), 1]] as const) {
    const { engine, faults } = await startEngine(t, { env, logLevel, frames: false });
    const logs: string[] = [];
    engine.on('log', (m) => logs.push(m));
    for (const [url, expected] of cases) {
      logs.length = 0;
      const events = await playOut(engine, url);
      const what = `${logLevel ? 'no sound' : 'sound'}: ${url.slice(0, 80)}\n${events.map((e) => JSON.stringify(e)).join('\n')}`;
      const at = (type: string) => events.findIndex((e) => e.type === type);
      const errors = events.flatMap((e) => (e.type === 'error' ? [[e.error.problem, e.error.codec]] : []));
      if (Array.isArray(expected)) {
        const [problem, line, codec = null] = expected;
        assert.ok(errors.length === 1 && problem.split('|').includes(errors[0]![0]!) && errors[0]![1] === codec, what);
        assert.ok(at('error') < at('stopped'), what);
        // Lines of earlier loads may have used up this second's share: then their count comes.
        if (line) await poll(() => `${line} in ${what}\n${logs.join('\n')}`, () => logs.some((m) => m.includes(line) || m.endsWith(' log lines dropped')), 1500, 50);
      } else {
        assert.deepEqual(errors, [], what);
        assert.ok(at('end') >= 0 && at('end') < at('stopped') && at('format') >= 0 === expected.pictures, what);
        assert.equal((events.filter((e) => e.type === 'sound').at(-1) as { state: string }).state, expected.sound, what);
        if (expected.tracks) assert.deepEqual(events.find((e) => e.type === 'tracks'), expected.tracks, what);
        expected.check?.(events);
      }
      // A load that began to play is told its tracks and sound before it stops.
      if (at('playing') >= 0) assert.ok(at('tracks') >= 0 && at('tracks') < at('stopped') && at('sound') < at('stopped'), what);
    }
    assert.deepEqual(faults, []);
  }
});

test('TracksAndSoundSettingsReachThePlayerAndSoundIsToldOnlyWhenItChanges', async (t) => {
  const env = await soundEnv(t);
  const { engine, faults, events } = await startEngine(t, { frames: false, env });
  await Promise.all([engine.mute(true), engine.volume(40)]); // for every player to come
  // A tracks report with this selection, within five seconds: after a command's ack, the next one.
  const selected = (audio: number, spu: number, video = 0) =>
    until(engine, `a report of ${[audio, spu, video]}`, (s) => isDeepStrictEqual(s.tracks?.selected, { audio, spu, video }), 5000);
  // The first tone, id 0, over the default second; subtitles off, though first
  // and by default on; French and the captions, by the ids the report gives.
  for (const [name, options, want] of [['two-tones.mka', { audio: 0 }, [0, -1, -1]], ['subtitles-first.mkv', { spu: -1 }, [-1, -1, 1]],
    ['tracks.mkv', { audio: 2, spu: 4 }, [2, 4, 0]]] as const) {
    await engine.load(clip(name), options);
    await selected(want[0], want[1], want[2]);
  }
  // Subtitles off on load stay off through an audio switch, until the host's own choice.
  const loaded = events.length;
  await engine.load(clip('tracks.mkv'), { spu: -1 });
  await until(engine, 'the tracks', (s) => s.tracks !== null); // tracks can be switched once they are known
  // The sound server's own view: settings made before the player, then on it.
  const heard = async (pattern: RegExp) => {
    let sinks = '';
    await poll(() => `${pattern} in ${sinks}`, () => pattern.test((sinks = execFileSync('pactl', ['list', 'sink-inputs'], { env }).toString())), 3000, 50);
  };
  await heard(/Mute: yes\s+Volume: front-left: \d+ \/ +40%/);
  await Promise.all([engine.mute(false), engine.volume(70)]);
  await heard(/Mute: no\s+Volume: front-left: \d+ \/ +70%/);
  for (const [kind, id, audio, spu] of [['audio', 2, 2, -1], ['spu', 3, 2, 3], ['audio', -1, -1, 3], ['audio', 1, 1, 3],
    ['audio', 2, 2, 3]] as const) {
    if (kind === 'spu') {
      const offs = events.slice(loaded).flatMap((e) => (e.type === 'tracks' ? [e.selected.spu] : []));
      assert.deepEqual([...new Set(offs)], [-1]);
    }
    await (kind === 'audio' ? engine.audio(id) : engine.spu(id));
    await selected(audio, spu);
  }
  await engine.quit();
  // A player tells its sound once, then only the changes of whether anything is heard.
  assert.deepEqual(events.slice(loaded).flatMap((e) => (e.type === 'sound' ? [e.state] : [])), ['playing', 'none', 'playing']);
  assert.deepEqual(faults, []);
});

// In a transport stream the tracks carry the stream PIDs as ids and the media's
// list of streams lags behind them; languages and sound are still those of the
// streams, from a file as live over HTTP, from the first report on. No report
// is told twice in a row.
test('TransportStreamsTellLanguagesAndSoundAndNoRepeats', async (t) => {
  const server = await serve(t);
  const { engine, faults } = await startEngine(t, { frames: false });
  for (const url of [clip('tracks.ts'), server.url('/file/tracks.ts')]) {
    const events: EngineEvent[] = [];
    engine.on('event', (e) => events.push(e));
    await engine.load(url, { live: url.startsWith('http') });
    await until(engine, 'two audio tracks with their languages', (s) => s.tracks?.audio.length === 2 && s.tracks.audio[1]!.language !== null);
    await room(500);
    const { tracks, sound } = engine.state;
    assert.deepEqual([tracks!.audio.map((a) => a.language), tracks!.selected.audio, tracks!.video.length, sound],
      [['eng', 'fra'], tracks!.audio[0]!.id, 1, 'playing'], url);
    // Told once the streams settled: the first report already lists every sound stream with its language.
    const first = events.findIndex((e) => e.type === 'tracks');
    assert.deepEqual([(events[first] as typeof tracks & EngineEvent).audio.map((a) => a.language), events.findIndex((e) => e.type === 'sound') > first],
      [['eng', 'fra'], true], url);
    for (const type of ['tracks', 'length', 'seekable', 'pausable', 'sound']) {
      const told = events.filter((e) => e.type === type).map((e) => JSON.stringify(e));
      assert.ok(told.every((e, i) => e !== told[i - 1]), `${type} told twice: ${told}`);
    }
  }
  assert.deepEqual(faults, []);
});

// A machine without a sound device: the library's output fails, and the host
// is told once per load, with the same problems and tracks as elsewhere.
test('WithoutASoundDeviceTheHostIsToldOnceALoad', async (t) => {
  const { engine, faults } = await startEngine(t, { frames: false });
  const logs: string[] = [];
  engine.on('log', (m) => logs.push(m));
  for (const name of ['tone.m4a', 'clip.mp4']) {
    logs.length = 0;
    const events = await playOut(engine, clip(name));
    assert.ok(events.every((e) => e.type !== 'error') && events.some((e) => e.type === 'sound'), name);
    const sound = logs.filter((m) => /sound|audio|ALSA/i.test(m));
    assert.ok(sound.length === 1 && sound[0]!.startsWith('sound cannot be played on this machine ('), `${name}: ${logs.join('\n')}`);
  }
  assert.deepEqual(faults, []);
});
