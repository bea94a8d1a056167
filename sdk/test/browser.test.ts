// The demo page in Debian's Chromium: the canvas shows the clip's colours
// through WebCodecs and through the ImageData fallback, from BGRX frames and
// from I420 frames when the page asks for them (at odd sizes too), and another
// load changes them; the demo server skips frames for a reader that lags. Its
// speed box, loop box and step buttons reach the engine; its subtitle box and
// track menu draw a file's line, its title line tells a radio's song, its
// chapter marks seek, and its device menu sends the sound elsewhere. Hovering
// along the seek bar shows pictures above it while playback's keep coming, and
// dragging it seeks before it is let go.

import assert from 'node:assert/strict';
import http from 'node:http';
import { test } from 'node:test';
import { startDemo } from '../demo/server.js';
import { chromiumLaunch, clip, nameColour, quietEnv, radio, until } from './helpers.js';

test('TheDemoDrawsTheClipsColoursAndSkipsFramesForASlowReader', async (t) => {
  const demo = await startDemo({ engine: { env: quietEnv() } });
  t.after(() => demo.close());

  // A reader that does not keep up: what a socket holds is written, the rest skipped, nothing queued.
  const res = await new Promise<http.IncomingMessage>((resolve) => http.get(`${demo.url}frames`, resolve));
  res.pause();
  await demo.engine.load(clip('frames-gen-a.mp4')); // 150 frames of 640x480 in 3 s
  await until(demo.engine, 'the end', (s) => s.state === 'ended');
  const { received } = demo.engine.frameStats;
  assert.ok(demo.sent > 0 && demo.sent < received / 4 && demo.skipped > 0, `${demo.sent} of ${received} written`);
  res.destroy();

  const browser = await chromiumLaunch();
  t.after(() => browser.close());
  const page = await browser.newPage();
  const pageErrors: string[] = [];
  page.on('pageerror', (err) => pageErrors.push(err.message));
  // The colours at the middle, or at the middles of the four quarters, of the canvas.
  const look = (quarters: boolean) => page.evaluate((quarters) => {
    const canvas = document.getElementById('screen') as HTMLCanvasElement;
    const at = ([x, y]: number[]) => [...canvas.getContext('2d')!.getImageData((canvas.width * x!) >> 2, (canvas.height * y!) >> 2, 1, 1).data];
    const { path, format } = (window as unknown as { demo: { path: string; format: string } }).demo;
    return { rgb: (quarters ? [[1, 1], [3, 1], [1, 3], [3, 3]] : [[2, 2]]).map(at), drawn: [path, format, canvas.width, canvas.height] };
  }, quarters);
  const shows = async (name: string, ...colours: string[]) => {
    await page.fill('#url', clip(name));
    await page.click('#load');
    for (let seen = '', deadline = Date.now() + 30000; seen !== `${colours}`; await page.waitForTimeout(50)) {
      assert.ok(Date.now() < deadline, `${name}: the canvas shows ${seen}, not ${colours}`);
      seen = `${(await look(colours.length > 1)).rgb.map(([r, g, b]) => nameColour(r!, g!, b!))}`;
    }
  };
  for (const [query, drawPath] of [['', 'VideoFrame'], ['?draw=imagedata', 'ImageData']]) {
    await page.goto(demo.url + query);
    for (const format of ['BGRX', 'I420']) {
      await page.setChecked('#i420', format === 'I420');
      await shows('frames-red.mp4', 'red');
      await shows('frames-blue.mp4', 'blue');
      assert.deepEqual((await look(false)).drawn, [drawPath, format, 320, 240]);
      // Odd sides: 161 x 121 chroma samples in I420.
      await shows('planar-odd.webm', 'red', 'green', 'blue', 'grey');
      assert.deepEqual((await look(false)).drawn, [drawPath, format, 321, 241]);
    }
    assert.match(await page.textContent('#log') ?? '', /"type":"playing"/);
  }
  // A hover along the bar: pictures of its moments above it, and playback's frames meanwhile.
  await page.fill('#url', clip('count.mp4'));
  await page.click('#load');
  await page.waitForFunction(() => /^0:0[1-9] \/ 0:06$/.test(document.getElementById('time')!.textContent!), undefined, { timeout: 10000 });
  const counts = () => page.evaluate(() => ({ ...(window as unknown as { demo: { drawn: number; previews: number } }).demo }));
  const bar = (await page.locator('#seek').boundingBox())!;
  const [before, y] = [await counts(), bar.y + bar.height / 2];
  for (let i = 0; i < 20; i++) await page.mouse.move(bar.x + (bar.width * i) / 20, y), await page.waitForTimeout(50);
  await page.waitForFunction((n) => (window as unknown as { demo: { previews: number } }).demo.previews >= n, before.previews + 5, { timeout: 10000 });
  const after = await counts();
  assert.ok(after.drawn - before.drawn >= 10, `${after.drawn - before.drawn} playback frames drawn while hovering`);
  await page.mouse.move(bar.x + bar.width / 2, y);
  await page.waitForSelector('#preview', { state: 'visible', timeout: 5000 });
  if (process.env.VEXOLO_SHOT) await page.screenshot({ path: process.env.VEXOLO_SHOT });
  // Dragging seeks before the bar is let go.
  await page.evaluate(() => void (document.getElementById('log')!.textContent = ''));
  await page.mouse.down();
  await page.mouse.move(bar.x + bar.width / 4, y, { steps: 5 });
  await page.waitForFunction(() => /> \{"cmd":"seek","pos":[\d.]+\} ok/.test(document.getElementById('log')!.textContent!), undefined, { timeout: 10000 });
  await page.mouse.up();
  await page.mouse.move(0, 0);
  // The speed box, the loop box and the step buttons, as their events in the log tell.
  const logged = (what: RegExp) => page.waitForFunction((source) => new RegExp(source).test(document.getElementById('log')!.textContent!),
    what.source, { timeout: 10000 }).catch(async (err) => assert.fail(`${what} not in the log: ${await page.textContent('#log')} (${err})`));
  await page.setChecked('#loop', true);
  await page.evaluate(() => void (document.getElementById('log')!.textContent = ''));
  await shows('loop.mp4', 'blue');
  await logged(/"type":"playing"/);
  await page.selectOption('#rate', '2');
  await logged(/"type":"rate","value":2\b/);
  await logged(/"type":"looped","count":1/);
  await page.click('#pause');
  await logged(/"type":"paused"/);
  await page.click('#step');
  await logged(/"type":"seekLanded"/);
  await page.click('#back');
  await logged(/"type":"seekLanded"[^]*"type":"seekLanded"/);

  // A subtitle file added, drawn in the lower third of the black clip (looping: its line comes each pass),
  // then off and on again through the track menu.
  const litBelow = () => page.evaluate(() => {
    const canvas = document.getElementById('screen') as HTMLCanvasElement;
    const { data } = canvas.getContext('2d')!.getImageData(0, (canvas.height * 2) / 3, canvas.width, canvas.height / 3);
    return data.filter((_, i) => i % 4 === 0 && data[i]! > 160 && data[i + 1]! > 160 && data[i + 2]! > 160).length;
  });
  const line = async (shown: boolean) => {
    for (const deadline = Date.now() + 15000; ((await litBelow()) > 20) !== shown; await page.waitForTimeout(50)) {
      assert.ok(Date.now() < deadline, `the subtitle line ${shown ? 'never' : 'still'} drawn`);
    }
  };
  await shows('subtitles.mp4', 'grey');
  await page.fill('#subs', clip('subtitles.srt'));
  await page.click('#addsubs');
  await page.waitForFunction(() => (document.getElementById('spu') as HTMLSelectElement).selectedOptions[0]?.text.endsWith('(file)'));
  await line(true);
  await page.selectOption('#spu', '-1');
  await logged(/"selected":\{"audio":\d+,"spu":-1/);
  await line(false);
  await page.selectOption('#spu', { label: 'Track 1 (file)' });
  await line(true);
  // The title line: a radio's name and song.
  const station = await radio(t, ['First song', 'Second song']);
  await page.fill('#url', station.url);
  await page.click('#load');
  await page.waitForFunction(() => /^Loopback FM · now playing: (First|Second) song$/.test(document.getElementById('about')!.textContent!));
  // Chapter marks on the seek bar: the third seeks to its start.
  await page.fill('#url', clip('chapters.mkv'));
  await page.click('#load');
  await page.waitForFunction(() => document.querySelectorAll('#marks button').length === 3);
  await page.click('#marks button:nth-child(3)');
  await logged(/"type":"chapter","index":2/);
  assert.equal(await page.getAttribute('#marks button:nth-child(3)', 'class'), 'now');
  // The device menu: ALSA's null device, on this machine without a sound server.
  await page.selectOption('#device', 'null');
  await logged(/> \{"cmd":"audioDevice","device":"null"\} ok/);
  assert.deepEqual(pageErrors, []);
});
