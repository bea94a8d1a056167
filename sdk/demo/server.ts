// The web demo: one engine behind a small HTTP server on 127.0.0.1. The page
// sends commands as POSTs, hears events through server-sent events, and reads
// frames from one long response, in the engine's own frame format. A browser
// that reads slowly gets the latest frame when it is ready, never a queue. A
// load that asks for the other pixel layout gets an engine started with it.
// The seek bar's previews come one by one from /preview?pos=, as frames.
//   node dist/demo/server.js [--port N] [--load URL] [--engine PATH] [--pixels bgrx|i420]

import fs from 'node:fs';
import http from 'node:http';
import type { AddressInfo } from 'node:net';
import { fileURLToPath } from 'node:url';
import { Engine, EngineError, FRAME_HEADER, type PixelFormat, type StartOptions } from '../src/index.js';

const PAGE = fileURLToPath(new URL('../../demo/page.html', import.meta.url));
/** The width of the pictures shown above the seek bar under the pointer. */
const PREVIEW_WIDTH = 160;

export interface Demo {
  url: string;
  /** The engine now running; a load in the other layout replaces it. */
  readonly engine: Engine;
  /** Frames written to browsers. */
  readonly sent: number;
  /** Frames the server skipped because a browser was still reading an earlier one. */
  readonly skipped: number;
  close(): Promise<void>;
}

interface FrameClient {
  res: http.ServerResponse;
  writing: boolean;
  latest: Buffer | null;
}

export async function startDemo(options: { port?: number; engine?: StartOptions } = {}): Promise<Demo> {
  let engine = await Engine.start(options.engine);
  let pixels: PixelFormat = options.engine?.pixels ?? 'bgrx';
  const frameClients = new Set<FrameClient>();
  const eventClients = new Set<http.ServerResponse>();
  let skipped = 0;
  let sent = 0;

  const send = (client: FrameClient, frame: Buffer) => {
    client.writing = true;
    sent++;
    client.res.write(frame, () => {
      client.writing = false;
      const next = client.latest;
      client.latest = null;
      if (next && frameClients.has(client)) send(client, next);
    });
  };
  const broadcast = (message: unknown) => {
    const line = `data: ${JSON.stringify(message)}\n\n`;
    for (const res of eventClients) res.write(line);
  };
  // Only the engine now running reaches the page.
  const wire = (e: Engine) => {
    // The engine's frame buffers are reused once this returns: one copy, shared.
    e.onFrame((frame) => {
      if (frameClients.size === 0 || e !== engine) return;
      const copy = Buffer.from(frame.data);
      for (const client of frameClients) {
        if (!client.writing) send(client, copy);
        else {
          if (client.latest) skipped++;
          client.latest = copy;
        }
      }
    });
    const tell = (message: unknown) => e === engine && broadcast(message);
    e.on('event', (ev) => tell(ev.type === 'error' ? { type: 'error', problem: ev.error.problem, codec: ev.error.codec } : ev));
    e.on('state', (s) => tell({ type: 'state', state: s.state, timeMs: s.timeMs, lengthMs: s.lengthMs, position: s.position }));
    e.on('log', (message) => tell({ type: 'log', message }));
    e.on('fault', (err) => tell({ type: 'fault', message: err.message }));
    e.on('exit', (info) => tell({ type: 'exit', ...info }));
  };
  wire(engine);
  // The engine for a load in layout: this one, or a new one in its place;
  // one change at a time, so that loads in a row end on the last one asked.
  let changing: Promise<unknown> = Promise.resolve();
  const engineFor = (layout: unknown): Promise<Engine> => {
    const next = changing.then(() => change(layout));
    changing = next.catch(() => undefined);
    return next;
  };
  const change = async (layout: unknown): Promise<Engine> => {
    if (layout === undefined || layout === pixels) return engine;
    if (layout !== 'bgrx' && layout !== 'i420') throw new EngineError('badArgument', "pixels must be 'bgrx' or 'i420'");
    const next = await Engine.start({ ...options.engine, pixels: layout });
    const old = engine;
    [engine, pixels] = [next, layout];
    wire(next);
    broadcast({ type: 'log', message: `engine restarted for ${layout} frames` });
    await old.quit();
    return next;
  };

  const server = http.createServer((req, res) => {
    const path = new URL(req.url ?? '/', 'http://127.0.0.1').pathname;
    if (req.method === 'GET' && path === '/') {
      res.writeHead(200, { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'no-store' });
      // The page reads the frame header by the library's offsets.
      res.end(fs.readFileSync(PAGE, 'utf8').replace('<script>', `<script>\nconst H = ${JSON.stringify(FRAME_HEADER)};`));
    } else if (req.method === 'GET' && path === '/events') {
      res.writeHead(200, { 'content-type': 'text/event-stream', 'cache-control': 'no-store' }).flushHeaders();
      res.write(`data: ${JSON.stringify({ type: 'hello', version: engine.version })}\n\n`);
      eventClients.add(res);
      res.on('close', () => eventClients.delete(res));
    } else if (req.method === 'GET' && path === '/frames') {
      res.writeHead(200, { 'content-type': 'application/octet-stream', 'cache-control': 'no-store' }).flushHeaders();
      const client: FrameClient = { res, writing: false, latest: null };
      frameClients.add(client);
      res.on('close', () => frameClients.delete(client));
    } else if (req.method === 'GET' && path === '/preview') {
      // The picture of a moment of the bar, as a frame: header and pixels.
      const pos = Number(new URL(req.url ?? '/', 'http://127.0.0.1').searchParams.get('pos'));
      engine.preview({ pos }, { width: PREVIEW_WIDTH, timeoutMs: 5000 }).then(
        ({ frame }) => void res.writeHead(200, { 'content-type': 'application/octet-stream', 'cache-control': 'no-store' }).end(frame.data),
        (err: Error) =>
          reply(res, err instanceof EngineError && err.code === 'superseded' ? 409 : 400, { ok: false, message: err.message }),
      );
    } else if (req.method === 'POST' && path === '/command') {
      let body = '';
      req.setEncoding('utf8');
      req.on('data', (s: string) => (body = body.length < 65536 ? body + s : body));
      req.on('end', () => {
        command(engineFor, body).then(
          (result) => reply(res, 200, { ok: true, result }),
          (err: Error) => {
            const code = err instanceof EngineError ? err.code : 'badArgument';
            reply(res, code === 'refused' || code === 'badArgument' ? 400 : 500, { ok: false, code, message: err.message });
          },
        );
      });
    } else {
      reply(res, 404, { ok: false, message: 'not found' });
    }
  });
  await new Promise<void>((resolve) => server.listen(options.port ?? 0, '127.0.0.1', resolve));
  const url = `http://127.0.0.1:${(server.address() as AddressInfo).port}/`;
  return {
    url,
    get engine() {
      return engine;
    },
    get sent() {
      return sent;
    },
    get skipped() {
      return skipped;
    },
    async close() {
      for (const res of eventClients) res.end();
      for (const client of frameClients) client.res.end();
      frameClients.clear();
      server.closeAllConnections();
      await new Promise((resolve) => server.close(resolve));
      await engine.quit();
    },
  };
}

function reply(res: http.ServerResponse, status: number, body: unknown): void {
  res.writeHead(status, { 'content-type': 'application/json' });
  res.end(JSON.stringify(body));
}

/** Runs one command of the page: {"cmd": "load", "url": ..., "pixels": "i420", "loop": true} and so on; the devices' answer is its result. */
async function command(engineFor: (pixels: unknown) => Promise<Engine>, body: string): Promise<unknown> {
  const c = JSON.parse(body) as Record<string, unknown>;
  const engine = await engineFor(c.cmd === 'load' ? c.pixels : undefined);
  switch (c.cmd) {
    case 'load':
      return engine.load(c.url as string, { loop: c.loop === true });
    case 'play':
      return engine.play();
    case 'pause':
      return engine.pause();
    case 'stop':
      return engine.stop();
    case 'seek':
      return engine.seek({ pos: c.pos as number });
    case 'rate':
      return engine.rate(c.value as number);
    case 'frameStep':
      return engine.frameStep(c.back === true);
    case 'spu':
      return engine.spu(c.track as number);
    case 'addSubtitles':
      return engine.addSubtitles(c.url as string);
    case 'chapter':
      return engine.chapter(c.index as number);
    case 'devices':
      return engine.devices();
    case 'audioDevice':
      return engine.audioDevice(c.device as string);
    case 'volume':
      return engine.volume(c.level as number);
    case 'mute':
      return engine.mute(c.value as boolean);
    default:
      throw new EngineError('badArgument', `no command ${String(c.cmd)}`);
  }
}

if (process.argv[1] && fileURLToPath(import.meta.url) === fs.realpathSync(process.argv[1])) {
  const arg = (name: string) => {
    const i = process.argv.indexOf(name);
    return i > 0 ? process.argv[i + 1] : undefined;
  };
  const fail = (err: Error) => {
    console.error(`demo: ${err.message}`);
    process.exit(1);
  };
  const demo = await startDemo({
    port: Number(arg('--port') ?? 8080),
    engine: { binary: arg('--engine'), pixels: arg('--pixels') as PixelFormat | undefined },
  }).catch(fail);
  const load = arg('--load');
  if (load) await demo.engine.load(load).catch(fail);
  console.log(`demo: open ${demo.url} (engine ${demo.engine.version}); Ctrl-C ends it`);
  const end = () => void demo.close().then(() => process.exit(0));
  process.on('SIGINT', end);
  process.on('SIGTERM', end);
}
