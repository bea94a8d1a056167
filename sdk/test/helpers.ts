// Shared by the library's tests: clips made by scripts/make-media.sh, an engine
// with a private home and no sound output, a scripted stand-in engine, colours.

import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { type TestContext } from 'node:test';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { Engine, type EngineError, type EngineEvent, type Frame, type Snapshot, type StartOptions } from '../src/index.js';

export const MEDIA = process.env.VEXOLO_MEDIA ?? fileURLToPath(new URL('../../../build/media/', import.meta.url));

export const clip = (name: string): string => pathToFileURL(path.join(MEDIA, name)).href;

/** A home of its own with a null sound sink, as on a machine without sound. */
export function quietEnv(): NodeJS.ProcessEnv {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-test-'));
  fs.writeFileSync(path.join(home, '.asoundrc'), 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n');
  const env: NodeJS.ProcessEnv = { ...process.env, HOME: home };
  delete env.PULSE_SERVER;
  return env;
}

/** An engine that the test kills at its end, with every protocol fault and delivered event recorded. */
export async function startEngine(t: TestContext, options: StartOptions = {}) {
  const engine = await Engine.start({ env: quietEnv(), ...options });
  const started = { engine, faults: [] as EngineError[], events: [] as EngineEvent[] };
  engine.on('fault', (f) => started.faults.push(f));
  engine.on('event', (e) => started.events.push(e));
  t.after(() => engine.kill());
  return started;
}

/**
 * A stand-in engine: `start` runs first (by default the ready line), then each
 * command is written down, `each` runs with its $id, and the command is acked.
 */
export function fakeEngine(t: TestContext, each = '', start = `echo '{"type":"ready","version":"fake"}'`) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-fake-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const [binary, sent] = [path.join(dir, 'engine'), path.join(dir, 'sent')];
  const loop = `while read -r line; do\n  echo "$line" >>'${sent}'; id=$(echo "$line" | sed 's/^{"id":\\([0-9]*\\).*/\\1/')`;
  fs.writeFileSync(binary, `#!/bin/sh\n${start}\n${loop}\n  ${each}\n  printf '{"type":"ack","id":%s,"ok":true}\\n' "$id"\ndone\n`, { mode: 0o755 });
  return { binary, sent: () => fs.readFileSync(sent, 'utf8').trim().split('\n').map((l) => JSON.parse(l) as object) };
}

/** Waits until the snapshot satisfies `ready`. */
export const until = (engine: Engine, ready: (s: Snapshot) => boolean) => new Promise<Snapshot>((resolve) => {
  const off = engine.on('state', (s) => ready(s) && (off(), resolve(s)));
  if (ready(engine.state)) (off(), resolve(engine.state));
});

/** The colour at the centre of a frame, named coarsely. */
export function colourAt(frame: Frame): string {
  const at = Math.floor(frame.height / 2) * frame.pitch + Math.floor(frame.width / 2) * 4;
  return nameColour(frame.pixels[at + 2]!, frame.pixels[at + 1]!, frame.pixels[at]!);
}

export function nameColour(r: number, g: number, b: number): string {
  if (Math.max(r, g, b) - Math.min(r, g, b) < 30) return 'grey';
  const i = [r, g, b].findIndex((v, _, all) => v > 100 && all.filter((w) => w < 60).length === 2);
  return ['red', 'green', 'blue'][i] ?? `rgb(${r},${g},${b})`;
}
