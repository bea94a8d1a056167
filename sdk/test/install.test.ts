// The install path, as a user takes it: the Debian package built, checked and
// unpacked into a temporary root, where the engine plays a clip for the
// Python example; the host library packed and installed into a new project
// outside the repository, whose TypeScript example finds that engine on PATH.

import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { MEDIA, SLOWDOWN, quietEnv } from './helpers.js';

const ROOT = fileURLToPath(new URL('../../../', import.meta.url));
const SDK = path.join(ROOT, 'sdk');
const VERSION = (JSON.parse(fs.readFileSync(path.join(SDK, 'package.json'), 'utf8')) as { version: string }).version;
const CLIP = path.join(MEDIA, 'clip.mp4');
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'vexolo-install-'));
const bin = path.join(tmp, 'root/usr/bin');
let deb = '';

const run = (file: string, args: string[], options: { cwd?: string; env?: NodeJS.ProcessEnv; timeoutS?: number } = {}) => {
  const r = spawnSync(file, args, { encoding: 'utf8', cwd: options.cwd ?? tmp, env: options.env ?? process.env,
    timeout: (options.timeoutS ?? 60) * 1000 * SLOWDOWN, stdio: ['ignore', 'pipe', 'pipe'] });
  assert.ok(r.signal === null, `${file} ${args.join(' ')} did not end within ${options.timeoutS ?? 60} s:\n${r.stdout}${r.stderr}`);
  return r;
};
const must = (file: string, args: string[], options: Parameters<typeof run>[2] = {}) => {
  const r = run(file, args, options);
  assert.equal(r.status, 0, `${file} ${args.join(' ')}:\n${r.stdout}${r.stderr}`);
  return r.stdout;
};
/** An environment with a private home, no sound server, and only `dirs` on PATH. */
const userEnv = (...dirs: string[]) => {
  const env: NodeJS.ProcessEnv = { ...quietEnv(), PATH: dirs.join(':'), npm_config_cache: path.join(tmp, 'npm-cache') };
  delete env.VEXOLO_ENGINE;
  return env;
};

before(() => {
  // Built at low priority: the other tests of the suite play media meanwhile.
  deb = must('nice', ['-n', '10', path.join(ROOT, 'scripts/package.sh'), process.env.VEXOLO_PACKAGE_DIR ?? path.join(ROOT, 'build')],
    { timeoutS: 900 }).trim().split('\n').at(-1)!;
  must('dpkg-deb', ['-x', deb, path.join(tmp, 'root')]);
});

test('ThePackageHoldsTheEngineItsPagesAndTheDependsToPlay', () => {
  const arch = must('dpkg', ['--print-architecture']).trim();
  assert.equal(path.basename(deb), `vexolo-engine_${VERSION}_${arch}.deb`);
  const depends = must('dpkg-deb', ['-f', deb, 'Depends']).trim().split(/,\s*/).map((d) => d.split(' ')[0]!);
  assert.ok(['libvlc5', 'libvlccore9', 'vlc-plugin-base'].every((d) => depends.includes(d)), `Depends: ${depends}`);
  assert.deepEqual(depends.filter((d) => /-dev$|gtest|cmake|node|npm|ffmpeg|clang|g\+\+|pulseaudio/.test(d)), [], `Depends: ${depends}`);
  // Files and modes; directories and owners as Debian wants them.
  const entries = must('dpkg-deb', ['-c', deb]).trim().split('\n').map((l) => l.split(/\s+/));
  assert.deepEqual(entries.filter(([mode]) => !mode!.startsWith('d')).map(([mode, , , , , name]) => `${mode} ${name}`), [
    '-rwxr-xr-x ./usr/bin/vexolo-engine',
    '-rw-r--r-- ./usr/lib/vexolo-engine/libvexolo_plugin.so',
    '-rw-r--r-- ./usr/share/doc/vexolo-engine/README.md',
    '-rw-r--r-- ./usr/share/doc/vexolo-engine/copyright',
    '-rw-r--r-- ./usr/share/man/man1/vexolo-engine.1.gz',
  ]);
  assert.deepEqual(entries.filter(([mode, owner]) => owner !== 'root/root' || (mode!.startsWith('d') && mode !== 'drwxr-xr-x')), []);
  const doc = path.join(tmp, 'root/usr/share/doc/vexolo-engine');
  assert.equal(fs.readFileSync(path.join(doc, 'copyright'), 'utf8'), fs.readFileSync(path.join(ROOT, 'LICENSE'), 'utf8'));
  const manual = must('gzip', ['-dc', path.join(tmp, 'root/usr/share/man/man1/vexolo-engine.1.gz')]);
  assert.ok(manual.includes(`.TH VEXOLO-ENGINE 1 "" "vexolo-engine ${VERSION}"`) && !manual.includes('@'), manual.slice(0, 200));
  // The system's libvlc, by no search path of its own; hardened as Debian's own; --version needs no frame pipe
  // and names the display module the engine found beside itself.
  const dynamic = must('readelf', ['-d', path.join(bin, 'vexolo-engine')]);
  assert.ok(dynamic.includes('[libvlc.so.5]') && !/RPATH|RUNPATH/.test(dynamic) && /FLAGS.*BIND_NOW/.test(dynamic), dynamic);
  assert.match(must(path.join(bin, 'vexolo-engine'), ['--version']), new RegExp(`^vexolo-engine ${VERSION.replaceAll('.', '\\.')} ` +
    `\\(libvlc 3\\.0\\.\\d+ .*, display plugin ${path.join(tmp, 'root/usr/lib/vexolo-engine/libvexolo_plugin.so')}\\)\n$`));
});

/** The lines of an example's output that begin with `mark`, each parsed strictly as one event. */
const events = (out: string, mark: string) => out.split('\n').filter((l) => l.startsWith(mark)).map((l) => {
  const line = l.slice(mark.length);
  assert.ok(line.startsWith('{"type":"'), line);
  return JSON.parse(line) as Record<string, unknown> & { type: string };
});

test('ThePythonExamplePlaysAClipOnTheUnpackedEngine', () => {
  const source = fs.readFileSync(path.join(ROOT, 'examples/host.py'), 'utf8');
  const spawn = source.slice(source.indexOf('def spawn('), source.indexOf('def read_frames(')).trimEnd();
  assert.ok(spawn && fs.readFileSync(path.join(ROOT, 'README.md'), 'utf8').includes(spawn), 'the README shows the spawn of examples/host.py as it is');
  const python = (file: string) => run('python3', [path.join(ROOT, 'examples/host.py'), file, path.join(bin, 'vexolo-engine')], { env: userEnv('/usr/bin', '/bin') });
  const missing = python(path.join(tmp, 'missing.mp4'));
  assert.deepEqual([missing.status, events(missing.stdout, '< ').filter((e) => e.type === 'error')], [1, [{ type: 'error', problem: 'notFound', codec: null }]]);
  const played = python(CLIP);
  assert.equal(played.status, 0, played.stdout + played.stderr);
  const out = played.stdout;
  const said = events(out, '< ');
  assert.deepEqual(said[0], { type: 'ready', version: said[0]!.version, engine: VERSION });
  assert.deepEqual([said.find((e) => e.type === 'ack'), said.at(-1)], [
    { type: 'ack', id: 1, ok: true, generation: 1 }, { type: 'ack', id: 3, ok: true }]);
  assert.ok(['seekLanded', 'end'].every((type) => said.some((e) => e.type === type)), out);
  assert.ok(!said.some((e) => e.type === 'error'), out);
  const [, frames, width] = /^frames: (\d+), last \((\d+), /m.exec(out) ?? [];
  assert.ok(Number(frames) > 10 && width === '320', out);
});

test('TheHostLibraryInstallsIntoANewProjectAndItsExampleFindsTheEngineOnPath', () => {
  // Packed as published: the compiled modules and their types, the page and the licence.
  const [packed] = JSON.parse(must('npm', ['pack', '--json', '--ignore-scripts', '--pack-destination', tmp], { cwd: SDK })) as
    { filename: string; size: number; files: { path: string }[] }[];
  const modules = fs.readdirSync(path.join(SDK, 'src')).map((f) => f.replace(/\.ts$/, ''));
  assert.deepEqual(packed!.files.map((f) => f.path).sort(),
    ['LICENSE', 'README.md', 'package.json', ...modules.flatMap((m) => [`dist/src/${m}.d.ts`, `dist/src/${m}.js`])].sort());
  assert.equal(packed!.filename, `vexolo-engine-${VERSION}.tgz`);

  // A new project that installs the tarball offline: the library needs nothing else.
  const app = path.join(tmp, 'app');
  fs.mkdirSync(app);
  fs.writeFileSync(path.join(app, 'package.json'), JSON.stringify({ name: 'app', private: true, type: 'module' }));
  const nodeDir = path.dirname(process.execPath);
  must('npm', ['install', '--offline', '--no-audit', '--no-fund', path.join(tmp, packed!.filename)],
    { cwd: app, env: userEnv(nodeDir, '/usr/bin', '/bin') });
  // The example compiles against the installed types, strictly.
  const example = fs.readFileSync(path.join(ROOT, 'examples/host.ts'), 'utf8');
  assert.ok(fs.readFileSync(path.join(ROOT, 'README.md'), 'utf8').includes(example), 'the README shows examples/host.ts as it is');
  fs.writeFileSync(path.join(app, 'host.ts'), example);
  fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({ files: ['host.ts'], compilerOptions: {
    target: 'es2022', module: 'nodenext', moduleResolution: 'nodenext', strict: true, skipLibCheck: false,
    types: ['node'], typeRoots: [path.join(SDK, 'node_modules/@types')] } }));
  must(path.join(SDK, 'node_modules/.bin/tsc'), ['-p', app]);

  const host = (file: string, ...dirs: string[]) => run(process.execPath, [path.join(app, 'host.js'), file], { cwd: app, env: userEnv(...dirs) });
  const played = host(CLIP, bin, '/usr/bin', '/bin');
  assert.deepEqual([played.status, played.stderr], [0, ''], played.stdout);
  assert.match(played.stdout, new RegExp(`^engine ${VERSION.replaceAll('.', '\\.')}, libvlc 3\\.0\\.\\d+`));
  const said = events(played.stdout, 'event ');
  assert.deepEqual(said.filter((e) => e.type === 'format'), [{ type: 'format', w: 320, h: 240, sar: 1 }]);
  assert.ok(said.some((e) => e.type === 'end'), played.stdout);
  assert.match(played.stdout, /^landed at \d+ ms$/m);
  assert.ok(Number(/^frames: (\d+)$/m.exec(played.stdout)?.[1]) > 10, played.stdout);
  const missing = host(path.join(tmp, 'missing.mp4'), bin, '/usr/bin', '/bin');
  assert.deepEqual([missing.status, /^cannot play .*: notFound$/m.test(missing.stdout)], [1, true], missing.stdout);
  // Without one on PATH, the error names where it looked.
  const lost = host(CLIP, path.join(tmp, 'nowhere'));
  assert.notEqual(lost.status, 0);
  assert.match(lost.stderr, new RegExp(`no engine executable: looked at vexolo-engine on PATH \\(${path.join(tmp, 'nowhere')}\\)`));
});

after(() => fs.rmSync(tmp, { recursive: true, force: true }));
