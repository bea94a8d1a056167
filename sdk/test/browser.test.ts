// The demo page in Debian's Chromium: the canvas shows the clip's colours
// through WebCodecs and through the ImageData fallback, and another load
// changes them; the demo server skips frames for a reader that lags.

import assert from 'node:assert/strict';
import http from 'node:http';
import { test } from 'node:test';
import { chromium } from 'playwright-core';
import { startDemo } from '../demo/server.js';
import { clip, nameColour, quietEnv } from './helpers.js';

test('TheDemoDrawsTheClipsColoursAndSkipsFramesForASlowReader', async (t) => {
  const demo = await startDemo({ engine: { env: quietEnv() } });
  t.after(() => demo.close());

  // A reader that does not keep up: what a socket holds is written, the rest skipped, nothing queued.
  const res = await new Promise<http.IncomingMessage>((resolve) => http.get(`${demo.url}frames`, resolve));
  res.pause();
  const ended = new Promise<void>((resolve) => demo.engine.on('event', (e) => e.type === 'end' && resolve()));
  await demo.engine.load(clip('frames-gen-a.mp4')); // 150 frames of 640x480 in 3 s
  await ended;
  const { received } = demo.engine.frameStats;
  assert.ok(demo.sent > 0 && demo.sent < received / 4 && demo.skipped > 0, `${demo.sent} of ${received} written`);
  res.destroy();

  // Playwright gives the browser a fresh profile of its own.
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  t.after(() => browser.close());
  const page = await browser.newPage();
  const pageErrors: string[] = [];
  page.on('pageerror', (err) => pageErrors.push(err.message));
  const shows = async (name: string, colour: string) => {
    await page.fill('#url', clip(name));
    await page.click('#load');
    let seen = '';
    for (const deadline = Date.now() + 30000; Date.now() < deadline; await page.waitForTimeout(50)) {
      seen = nameColour(...(await page.evaluate(() => {
        const canvas = document.getElementById('screen') as HTMLCanvasElement;
        const [r, g, b] = canvas.getContext('2d')!.getImageData(canvas.width >> 1, canvas.height >> 1, 1, 1).data;
        return [r!, g!, b!] as const;
      })));
      if (seen === colour) return;
    }
    assert.fail(`${name}: the canvas shows ${seen}, not ${colour}`);
  };
  for (const [query, drawPath] of [['', 'VideoFrame'], ['?draw=imagedata', 'ImageData']]) {
    await page.goto(demo.url + query);
    await shows('frames-red.mp4', 'red');
    await shows('frames-blue.mp4', 'blue');
    const drawn = await page.evaluate(() => {
      const canvas = document.getElementById('screen') as HTMLCanvasElement;
      return [(window as unknown as { demo: { path: string } }).demo.path, canvas.width, canvas.height];
    });
    assert.deepEqual(drawn, [drawPath, 320, 240]);
    assert.match(await page.textContent('#log') ?? '', /"type":"playing"/);
    if (process.env.VEXOLO_SCREENSHOT) await page.screenshot({ path: `${process.env.VEXOLO_SCREENSHOT}${drawPath}.png` });
  }
  assert.deepEqual(pageErrors, []);
});
