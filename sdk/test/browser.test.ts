// The demo page in Debian's Chromium: the canvas shows the clip's colours
// through WebCodecs and through the ImageData fallback, and another load
// changes them; the demo server skips frames for a reader that lags.

import assert from 'node:assert/strict';
import http from 'node:http';
import { test } from 'node:test';
import { chromium } from 'playwright-core';
import { startDemo } from '../demo/server.js';
import { clip, nameColour, quietEnv, until } from './helpers.js';

test('TheDemoDrawsTheClipsColoursAndSkipsFramesForASlowReader', async (t) => {
  const demo = await startDemo({ engine: { env: quietEnv() } });
  t.after(() => demo.close());

  // A reader that does not keep up: what a socket holds is written, the rest skipped, nothing queued.
  const res = await new Promise<http.IncomingMessage>((resolve) => http.get(`${demo.url}frames`, resolve));
  res.pause();
  await demo.engine.load(clip('frames-gen-a.mp4')); // 150 frames of 640x480 in 3 s
  await until(demo.engine, (s) => s.state === 'ended');
  const { received } = demo.engine.frameStats;
  assert.ok(demo.sent > 0 && demo.sent < received / 4 && demo.skipped > 0, `${demo.sent} of ${received} written`);
  res.destroy();

  // Playwright gives the browser a fresh profile of its own.
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-sync',
      '--disable-background-networking', '--disable-component-update'],
  });
  t.after(() => browser.close());
  const page = await browser.newPage();
  const pageErrors: string[] = [];
  page.on('pageerror', (err) => pageErrors.push(err.message));
  const look = () => page.evaluate(() => {
    const canvas = document.getElementById('screen') as HTMLCanvasElement;
    const [r, g, b] = canvas.getContext('2d')!.getImageData(canvas.width >> 1, canvas.height >> 1, 1, 1).data;
    return { r: r!, g: g!, b: b!, drawn: [(window as unknown as { demo: { path: string } }).demo.path, canvas.width, canvas.height] };
  });
  const shows = async (name: string, colour: string) => {
    await page.fill('#url', clip(name));
    await page.click('#load');
    for (let seen = '', deadline = Date.now() + 30000; seen !== colour; await page.waitForTimeout(50)) {
      assert.ok(Date.now() < deadline, `${name}: the canvas shows ${seen}, not ${colour}`);
      const { r, g, b } = await look();
      seen = nameColour(r, g, b);
    }
  };
  for (const [query, drawPath] of [['', 'VideoFrame'], ['?draw=imagedata', 'ImageData']]) {
    await page.goto(demo.url + query);
    await shows('frames-red.mp4', 'red');
    await shows('frames-blue.mp4', 'blue');
    assert.deepEqual((await look()).drawn, [drawPath, 320, 240]);
    assert.match(await page.textContent('#log') ?? '', /"type":"playing"/);
  }
  assert.deepEqual(pageErrors, []);
});
