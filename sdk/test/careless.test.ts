// A careless host on raw pipes: the ways the engine ends whoever reads, odd
// descriptors at start-up, random commands and bursts of loads.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';
import { type Raw, SIZES_TELL, SLOWDOWN, ack, clip, cmd, load, of, poll, raw, room, usage } from './helpers.js';


/** Some thousands of commands in one write, each to be answered. */
const flood = (n: number) => Array.from({ length: n }, (_, i) => cmd(1000 + i, 'nosuch')).join('\n');

test('QuitEndOfInputAndSignalsEndTheEngineWhoeverReads', async (t) => {
  // [what, playing, the end (quit, end of input or a signal), reading, flood, Python set-up]
  const cases: [string, boolean, string, boolean, number, string][] = [
    ['end of input, nothing sent', false, 'eof', true, 0, ''],
    ['end of input inside a line', false, 'eof', true, 1, ''],
    ['quit while playing', true, 'quit', true, 1000, ''],
    ['end of input while playing', true, 'eof', true, 1, ''],
    ['quit, output unread', false, 'quit', false, 5000, ''],
    ['end of input while playing, output unread', true, 'eof', false, 5000, ''],
    ['quit while playing, output unread', true, 'quit', false, 5000, ''],
    // as the host's process manager left them
    ['SIGTERM', true, 'SIGTERM', true, 0, ''],
    ['SIGTERM blocked and ignored', true, 'SIGTERM', true, 0, 'signal.pthread_sigmask(signal.SIG_BLOCK, [15]); signal.signal(15, signal.SIG_IGN)'],
    ['SIGINT', true, 'SIGINT', true, 0, ''],
    ['SIGHUP blocked', true, 'SIGHUP', true, 0, 'signal.pthread_sigmask(signal.SIG_BLOCK, [1])'],
    ['SIGHUP ignored', true, 'SIGHUP', true, 0, 'signal.signal(1, signal.SIG_IGN)'],
  ];
  for (const [what, playing, end, reading, n, setup] of cases) {
    const h = await raw(t, { setup });
    if (playing) {
      await h.command(load(1, clip('video-only.mp4')), 1);
      await h.wait((e) => e.type === 'time');
    }
    const from = h.events.length;
    if (!reading) h.child.stdout!.pause();
    const sent = Date.now();
    if (end.startsWith('SIG')) h.child.kill(end as NodeJS.Signals);
    else h.child.stdin!.end(flood(n) + (end === 'quit' ? `\n${cmd(9, 'quit')}` : '')); // the last line without its LF
    const code = await h.exit;
    const took = Date.now() - sent;
    h.child.stdout!.resume();
    await poll('the end of the output', () => h.child.stdout!.closed); // every line that made it out is whole
    const signal = end.startsWith('SIG') ? 128 + (end === 'SIGTERM' ? 15 : end === 'SIGINT' ? 2 : 1) : 0;
    assert.ok(code === signal && (reading || took <= 1500 + 1000 * SLOWDOWN), `${what}: status ${code} after ${took} ms`);
    if (!reading || signal) continue;
    assert.equal(of(h, 'ack', from).length, n + (end === 'quit' ? 1 : 0), what);
    assert.ok(end !== 'quit' || h.events.at(-1)!.id === 9, `${what}: nothing follows the quit ack`);
    assert.deepEqual(of(h, 'stopped', from), [], `${what}: no line reports the shutdown`);
  }
});

// Descriptors as a careless host leaves them, each with a session that the old faults broke.
test('OddDescriptorsAreMadeSafe', async (t) => {
  const cases: [string, string, (h: Raw) => Promise<void>][] = [
    ['standard input closed', 'os.close(0)', async (h) => assert.equal(h.events.length, 1)],
    ['standard input non-blocking', 'os.set_blocking(0, False)', async (h) => assert.deepEqual(await h.command(cmd(1, 'x'), 1), ack(1, false))],
    ['standard output non-blocking', 'os.set_blocking(1, False)', async (h) => {
      h.child.stdout!.pause(); // the acks fill the unread output
      h.send(flood(3000));
      await room(500); // for the acks to fill the unread output
      h.child.stdout!.resume();
      await h.wait((e) => e.id === 3999);
      assert.equal(of(h, 'ack').length, 3000, 'no ack lost');
    }],
    ['frame pipe non-blocking', 'os.set_blocking(3, False)', async (h) => {
      h.pauseFrames(true); // frames bigger than the pipe, unread
      await h.command(load(1, clip('frames-gen-a.mp4')), 1);
      await h.wait((e) => e.type === 'time' && e.ms >= 500);
      h.pauseFrames(false);
      await h.wait((e) => e.type === 'end');
      assert.ok(h.frames.length >= 5);
    }],
    ['standard output closed by the host', '', async (h) => {
      h.child.stdout!.destroy(); // the host stops listening to events for good
      h.send(load(1, clip('clip.mp4')));
      await poll('10 frames', () => h.frames.length >= 10);
      h.send(`${cmd(2, 'stop')}\n${load(3, clip('clip.mp4'))}`);
      await poll('frames of generation 3', () => h.frames.at(-1)!.generation === 3); // commands were still served
    }],
    // Closed, it is /dev/null again, or the first socket the library opens
    // would take its number and the events would go to a server.
    ['standard output closed', 'os.close(1)', async (h) => {
      const fd1 = `/proc/${h.child.pid}/fd/1`;
      // The descriptor may be gone for a moment while the engine puts /dev/null in its place.
      const target = () => { try { return fs.readlinkSync(fd1); } catch { return ''; } };
      await poll('/dev/null on descriptor 1', () => target() === '/dev/null');
    }],
  ];
  for (const [what, setup, session] of cases) {
    const h = await raw(t, { setup, ready: !what.endsWith('output closed') });
    await session(h);
    h.child.stdin!.end();
    assert.equal(await h.exit, 0, what);
  }
});

// Random commands while a host reads frames, then a careless host's bursts of
// loads and stops of a 1080p clip, written at once and spaced by acks.
test('RandomCommandsAndBurstsKeepEveryPromise', async (t) => {
  const h = await raw(t);
  const pid = h.child.pid!;
  // Idle, and the thread that reports dropped log lines, started for good once any are (a sound that cannot be
  // played is told with each load).
  const idle = { ...usage(pid), threads: usage(pid).threads + 1 };
  const clips = ['clip.mp4', 'tone.m4a', 'hostile.mkv'].map(clip);
  let [seed, generation, media] = [20261206, 0, false];
  const random = (n: number) => (seed = (seed * 1103515245 + 12345) >>> 0) % n;
  // Stops, then samples once the reapers have released the retired players.
  const settled = async (id: number) => {
    await h.command(cmd(id, 'stop'), id);
    generation += media ? 1 : 0;
    media = false;
    await poll(() => `idle threads and descriptors: ${JSON.stringify(usage(pid))}`,
      () => usage(pid).threads <= idle.threads && usage(pid).fds <= idle.fds, 10000, 50);
    return usage(pid);
  };
  const plateaus = [];
  const loadAcks: [number, number][] = [];
  // Under a sanitizer the engine answers each in about half a second: half as
  // many there, still two plateaus.
  for (let id = 1; id <= (SLOWDOWN > 1 ? 200 : 400); id++) {
    const kind = random(10);
    const [name, fields] = ([['load', { url: clips[random(3)], live: false }], ['stop', {}], ['seek', { pos: random(100) / 100 }],
      ['seek', { ms: random(3000) }], [kind === 8 ? 'pause' : 'play', {}]] as const)[kind < 3 ? 0 : kind < 5 ? 1 : kind < 7 ? 2 : kind < 8 ? 3 : 4];
    const a = await h.command(cmd(id, name, fields), id);
    if (name === 'load') loadAcks.push([++generation, Date.now()]);
    if (name === 'load') assert.deepEqual(a, { ...ack(id, true), generation });
    else if (name === 'stop' || !media) assert.deepEqual(a, ack(id, name === 'stop'), `${name} ${media}`);
    generation += name === 'stop' && media ? 1 : 0;
    media = name === 'load' || (name !== 'stop' && media);
    if (id % 100 === 0) plateaus.push(await settled(10000 + id));
  }
  // Generations never go back and seq has no gaps; once a load is acked, older
  // pictures stop: what the pipe still held is read within moments.
  assert.ok(h.frames.every((f, i) => i === 0 || (f.generation >= h.frames[i - 1]!.generation && f.seq === h.frames[i - 1]!.seq + 1)));
  assert.deepEqual(loadAcks.flatMap(([g, at]) => h.frames.filter((f) => f.generation < g && f.arrived > at + 500)), []);
  // Memory, threads and descriptors come back to a plateau: a player leaked per
  // load would add several MB each. The first may be lower, the heap still cold.
  for (const [i, p] of plateaus.entries()) {
    assert.ok(p.threads <= idle.threads && p.fds <= idle.fds && (!SIZES_TELL || i === 0 || p.kb <= plateaus[1]!.kb + 49152), JSON.stringify(p));
  }

  const burst = clip('burst-1080p.mp4');
  let id = 20000;
  for (const atOnce of [true, false]) {
    const lines = Array.from({ length: atOnce ? 200 : 40 }, (_, i) => (i % 4 < 3 ? load(++id, burst) : cmd(++id, 'stop')));
    if (atOnce) h.send(lines.join('\n'));
    let peak = 0;
    for (const [i, line] of lines.entries()) {
      const a = atOnce ? await h.wait((e) => e.type === 'ack' && e.id === id - lines.length + i + 1) : await h.command(line, id - lines.length + i + 1);
      assert.ok(a.ok && (a.generation === undefined || a.generation === generation + 1), JSON.stringify(a));
      generation++;
      peak = Math.max(peak, usage(pid).kb);
    }
    // Every command answered; memory and threads bounded, and back to idle soon.
    await poll(() => `idle threads and memory: ${JSON.stringify(usage(pid))}`,
      () => usage(pid).threads <= idle.threads && !(SIZES_TELL && usage(pid).kb > 61440));
    assert.ok(!SIZES_TELL || peak < 512000, `${peak} kB`);
  }
  assert.deepEqual(await h.command(cmd(9999, 'quit'), 9999), ack(9999, true));
});
