// A complete host through the library: starts the engine, plays the file
// named on the command line, prints its events, counts its frames, seeks
// half way, and quits at the end (or ten seconds after the seek).
//   node host.js FILE
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { Engine, MediaError } from 'vexolo-engine';

const file = process.argv[2];
if (!file) {
  console.error('usage: node host.js FILE');
  process.exit(2);
}

const engine = await Engine.start(); // vexolo-engine from PATH, or binary: '/path/to/vexolo-engine'
console.log(`engine ${engine.engineVersion}, libvlc ${engine.version}`);
const ended = new Promise<void>((resolve) => {
  engine.on('event', (e) => {
    if (e.type === 'error') console.log(`event error: ${e.error.problem}`);
    else if (e.type !== 'time' && e.type !== 'position') console.log(`event ${JSON.stringify(e)}`);
    if (e.type === 'end' || e.type === 'stopped') resolve();
  });
});
let frames = 0;
engine.onFrame((frame) => {
  // frame.pixels: frame.pitch x frame.height bytes of blue, green, red, unused,
  // valid until this function returns.
  if (frames++ === 0) console.log(`first frame ${frame.width}x${frame.height} at ${frame.ptsUs} us`);
});

let status = 0;
try {
  await engine.loadFirstFrame(pathToFileURL(path.resolve(file)).href);
  if (engine.state.seekable) {
    const landing = await engine.seekAndWait({ pos: 0.5 });
    console.log(landing.ended ? 'the seek ended the media' : `landed at ${landing.landedMs} ms`);
  }
  await Promise.race([ended, new Promise((resolve) => setTimeout(resolve, 10000).unref())]);
} catch (err) {
  if (!(err instanceof MediaError)) throw err;
  console.log(`cannot play ${file}: ${err.problem}${err.codec ? ` (${err.codec})` : ''}`);
  status = 1;
} finally {
  await engine.quit();
}
console.log(`frames: ${frames}`);
process.exitCode = status;
