// Shared by the library's tests: clips made by scripts/make-media.sh, an engine
// with a private home and no sound output, a record of every fault, colours.

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

export interface Started {
  engine: Engine;
  /** Every protocol fault the library reported; a test ends with none. */
  faults: EngineError[];
  /** Every delivered event, in order. */
  events: EngineEvent[];
}

/** Starts an engine that the test kills at its end. */
export async function startEngine(t: TestContext, options: StartOptions = {}): Promise<Started> {
  const engine = await Engine.start({ env: quietEnv(), ...options });
  const started: Started = { engine, faults: [], events: [] };
  engine.on('fault', (f) => started.faults.push(f));
  engine.on('event', (e) => started.events.push(e));
  t.after(() => engine.kill());
  return started;
}

/** Waits for the first delivered event that `match` accepts. */
export function nextEvent<T extends EngineEvent['type']>(
  engine: Engine,
  type: T,
  match: (e: Extract<EngineEvent, { type: T }>) => boolean = () => true,
): Promise<Extract<EngineEvent, { type: T }>> {
  return new Promise((resolve) => {
    const off = engine.on('event', (e) => {
      if (e.type === type && match(e as Extract<EngineEvent, { type: T }>)) {
        off();
        resolve(e as Extract<EngineEvent, { type: T }>);
      }
    });
  });
}

/** Waits until the snapshot satisfies `ready`. */
export function until(engine: Engine, ready: (s: Snapshot) => boolean): Promise<Snapshot> {
  return new Promise((resolve) => {
    if (ready(engine.state)) return resolve(engine.state);
    const off = engine.on('state', (s) => {
      if (ready(s)) {
        off();
        resolve(s);
      }
    });
  });
}

/** The colour at the centre of a frame, named coarsely. */
export function colourAt(frame: Frame): string {
  const at = Math.floor(frame.height / 2) * frame.pitch + Math.floor(frame.width / 2) * 4;
  const [b, g, r] = [frame.pixels[at], frame.pixels[at + 1], frame.pixels[at + 2]];
  return nameColour(r!, g!, b!);
}

export function nameColour(r: number, g: number, b: number): string {
  const hi = (v: number) => v > 100;
  const lo = (v: number) => v < 60;
  if (hi(r) && lo(g) && lo(b)) return 'red';
  if (lo(r) && lo(g) && hi(b)) return 'blue';
  if (lo(r) && hi(g) && lo(b)) return 'green';
  if (Math.abs(r - g) < 20 && Math.abs(g - b) < 20) return 'grey';
  return `rgb(${r},${g},${b})`;
}
