// Checks the MCP bundles the way a desktop host uses them. For each app's .mcpb: the bundle
// tool reads it (`mcpb info`), unpacks it as a host does and validates its manifest
// (`mcpb validate`); the files, the version and the tool list are compared with the project;
// then the bundle tool's own resolution (getMcpConfigForManifest) works out the command a
// host runs, on Linux and on Windows, with the settings given, left unset (the tool leaves
// `${user_config.NAME}` in place) and given empty, and the official MCP client runs a session
// against it: the Linux program natively, the .exe under Wine. Records must land in the
// chosen folder, or in the default one, and never in the folder the host started in.
//
// Usage: node tests/bundle/check.mjs BUNDLE_FOLDER
// Environment: VFT_VERSION (the project version); for the Windows sessions VFT_WINE=1 with
// wine64 on PATH, WINEPREFIX and WINEDEBUG set (scripts/test-bundles.sh does this).
// Prints one line per check and ends with "N passed, M failed"; exits 1 on any failure.

import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { getMcpConfigForManifest, unpackExtension } from '@anthropic-ai/mcpb';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '..', '..');
const MCPB_CLI = path.join(here, 'node_modules', '@anthropic-ai', 'mcpb', 'dist', 'cli', 'cli.js');
const bundleFolder = process.argv[2];
const VERSION = process.env.VFT_VERSION;
const WINE = process.env.VFT_WINE === '1';
if (!bundleFolder || !VERSION) {
  console.error('Usage: VFT_VERSION=X.Y.Z node tests/bundle/check.mjs BUNDLE_FOLDER');
  process.exit(2);
}

const PROTECTED_APPS = new Set(['wallet', 'clipboard', 'bills']);
const BUNDLE_FILES = [
  'LICENSE',
  'README.md',
  'icon.png',
  'manifest.json',
  'server/veymora-free-tools',
  'server/veymora-free-tools.exe',
];
// A host that leaves an optional setting without a default unset passes this text through.
const unfilled = (name) => '${user_config.' + name + '}';

// The catalogue with one platform's texts, as the programs embed it.
function catalogue(platform) {
  let text = fs.readFileSync(path.join(root, 'catalog', 'catalog.json'), 'utf8');
  const texts = JSON.parse(fs.readFileSync(path.join(root, 'catalog', `texts-${platform}.json`)));
  for (const [key, value] of Object.entries(texts)) text = text.replaceAll(`@@${key}@@`, value);
  return JSON.parse(text);
}
const CATALOGUE = { linux: catalogue('linux'), win32: catalogue('windows') };
const APPS = Object.keys(CATALOGUE.linux);
const listed = (tools) => tools.map(({ name, description }) => ({ name, description }));

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vft-bundles-'));
process.on('exit', () => fs.rmSync(work, { recursive: true, force: true }));
let counter = 0;
const freshFolder = (label) => {
  const folder = path.join(work, `${label}-${(counter += 1)}`);
  fs.mkdirSync(folder, { recursive: true });
  return folder;
};

// The files below a folder, as sorted relative paths with forward slashes.
function filesIn(folder, prefix = '') {
  return fs.readdirSync(path.join(folder, prefix), { withFileTypes: true })
    .flatMap((entry) => {
      const name = prefix ? `${prefix}/${entry.name}` : entry.name;
      return entry.isDirectory() ? filesIn(folder, name) : [name];
    })
    .sort();
}

function winePath(hostPath) {
  return execFileSync('winepath', ['-w', hostPath], { encoding: 'utf8' }).trim();
}
function hostPathOf(windowsPath) {
  return execFileSync('winepath', ['-u', windowsPath], { encoding: 'utf8' }).trim();
}

function mcpb(...args) {
  const done = spawnSync(process.execPath, [MCPB_CLI, ...args], { encoding: 'utf8' });
  assert.equal(done.status, 0, `mcpb ${args.join(' ')}: ${done.stdout}${done.stderr}`);
  return done.stdout;
}

let passed = 0;
let failed = 0;
async function check(name, body) {
  try {
    await body();
    passed += 1;
    console.log(`ok - ${name}`);
  } catch (error) {
    failed += 1;
    console.log(`not ok - ${name}\n  ${String(error?.stack ?? error).replaceAll('\n', '\n  ')}`);
  }
}

// What getMcpConfigForManifest gives a host on `platform` (it reads process.platform).
async function hostConfig(manifest, platform, extensionPath, userConfig) {
  const real = Object.getOwnPropertyDescriptor(process, 'platform');
  Object.defineProperty(process, 'platform', { value: platform });
  try {
    return await getMcpConfigForManifest({
      manifest,
      extensionPath,
      systemDirs: {},
      userConfig,
      pathSeparator: platform === 'win32' ? '\\' : '/',
    });
  } finally {
    Object.defineProperty(process, 'platform', real);
  }
}

function checkManifest(app, manifest) {
  assert.equal(manifest.name, `veymora-free-tools-${app}`);
  assert.equal(manifest.display_name, `Veymora ${app}`);
  assert.equal(manifest.version, VERSION);
  assert.equal(manifest.server.type, 'binary');
  assert.deepEqual([...manifest.compatibility.platforms].sort(), ['linux', 'win32']);
  const env = { VEYMORA_DATA_HOME: unfilled('data_folder') };
  const settings = ['data_folder'];
  if (app === 'media') {
    env.VEYMORA_FFMPEG = unfilled('ffmpeg');
    settings.push('ffmpeg');
  }
  const config = manifest.server.mcp_config;
  assert.deepEqual(
    { command: config.command, args: config.args, env: config.env },
    { command: '${__dirname}/server/veymora-free-tools', args: [app], env },
  );
  assert.deepEqual(config.platform_overrides, {
    win32: { command: '${__dirname}/server/veymora-free-tools.exe', args: [app], env },
  });
  assert.deepEqual(Object.keys(manifest.user_config).sort(), settings.sort());
  assert.equal(manifest.user_config.data_folder.type, 'directory');
  if (app === 'media') assert.equal(manifest.user_config.ffmpeg.type, 'file');
  for (const setting of Object.values(manifest.user_config)) assert.equal(setting.required, false);
  // The tools as both programs list them, their descriptions with the Linux texts.
  assert.deepEqual(manifest.tools, listed(CATALOGUE.linux[app]));
  assert.deepEqual(
    CATALOGUE.win32[app].map((t) => t.name),
    manifest.tools.map((t) => t.name),
  );
}

// One session of the official client with the command the host worked out; returns what the
// checks below need. `cwd` stands for the folder the host happened to start in.
async function session(platform, config, cwd, baseEnv, setting) {
  const command =
    platform === 'win32'
      ? { command: 'wine64', args: [config.command, ...config.args] }
      : { command: config.command, args: config.args };
  const transport = new StdioClientTransport({
    ...command,
    env: { ...baseEnv, ...config.env },
    cwd,
    stderr: 'pipe',
  });
  let stderr = '';
  transport.stderr?.on('data', (chunk) => (stderr += chunk));
  const client = new Client({ name: 'veymora-bundle-check', version: VERSION });
  try {
    await client.connect(transport);
    const app = config.args[0];
    const tools = (await client.listTools()).tools;
    const info = await client.callTool({ name: 'get_storage_info', arguments: {} });
    const out = { server: client.getServerVersion(), tools, info };
    if (app === 'media') {
      out.renderer = await client.callTool({ name: 'get_renderer_status', arguments: {} });
    }
    if (app === 'bookmarks') {
      out.saved = await client.callTool({
        name: 'save_bookmark',
        arguments: { title: `Recipes ${setting}`, url: 'https://example.org/recipes' },
      });
    }
    return out;
  } catch (error) {
    throw new Error(`${error.message}\n  the program's standard error: ${stderr}`);
  } finally {
    await client.close();
  }
}

const platforms = ['linux'];
if (WINE) platforms.push('win32');
else console.log('# VFT_WINE is not set: the .exe is not run');

// The Windows default data root: Wine gives each process the prefix's own LOCALAPPDATA.
let wineLocalAppData;
if (WINE) {
  wineLocalAppData = execFileSync('wine64', ['cmd', '/c', 'echo %LOCALAPPDATA%'], {
    encoding: 'utf8',
  }).trim();
}

const bundles = fs.readdirSync(bundleFolder).filter((name) => name.endsWith('.mcpb')).sort();
await check('one bundle per app, named with the version', () => {
  assert.deepEqual(bundles, APPS.map((app) => `veymora-free-tools-${app}-${VERSION}.mcpb`).sort());
});

for (const app of APPS) {
  const bundle = path.join(bundleFolder, `veymora-free-tools-${app}-${VERSION}.mcpb`);
  const unpacked = freshFolder(`${app}-bundle`);
  let manifest;

  await check(`${app}: mcpb info reads the bundle`, () => {
    assert.match(mcpb('info', bundle), new RegExp(`^File: ${path.basename(bundle)}$`, 'm'));
  });
  await check(`${app}: unpacked as a host does, it holds the programs, texts and icon`, async () => {
    assert.equal(await unpackExtension({ mcpbPath: bundle, outputDir: unpacked, silent: true }), true);
    assert.deepEqual(filesIn(unpacked), BUNDLE_FILES);
    const program = fs.statSync(path.join(unpacked, 'server', 'veymora-free-tools'));
    assert.equal(program.mode & 0o755, 0o755, 'the Linux program is not executable');
    for (const [name, original] of [['README.md', 'README.md'], ['LICENSE', 'LICENSE'],
      ['icon.png', 'doc/icon.png']]) {
      assert.ok(fs.readFileSync(path.join(unpacked, name)).equals(
        fs.readFileSync(path.join(root, original))), `${name} differs from ${original}`);
    }
    manifest = JSON.parse(fs.readFileSync(path.join(unpacked, 'manifest.json'), 'utf8'));
  });
  if (!manifest) continue;
  await check(`${app}: mcpb validate passes`, () => {
    mcpb('validate', path.join(unpacked, 'manifest.json'));
  });
  await check(`${app}: the manifest runs the app with its settings and lists its tools`, () =>
    checkManifest(app, manifest));

  for (const platform of platforms) {
    const windows = platform === 'win32';
    const extensionPath = windows ? winePath(unpacked) : unpacked;
    const sep = windows ? '\\' : '/';
    const join = (...parts) => parts.join(sep);
    const storeName = PROTECTED_APPS.has(app) ? 'records.dpapi' : 'records.json';
    for (const setting of ['given', 'unset', 'empty']) {
      await check(`${app} on ${platform}: a session with the settings ${setting}`, async () => {
        const home = freshFolder(`${app}-home`);
        const start = freshFolder(`${app}-start`);
        const chosen = path.join(home, 'chosen data');
        const ffmpegFile = path.join(home, 'tools', 'ffmpeg');
        fs.mkdirSync(path.dirname(ffmpegFile));
        fs.writeFileSync(ffmpegFile, '');
        const given = {
          data_folder: windows ? winePath(chosen) : chosen,
          ...(app === 'media' ? { ffmpeg: windows ? winePath(ffmpegFile) : ffmpegFile } : {}),
        };
        const userConfig = {
          given,
          unset: {},
          empty: Object.fromEntries(Object.keys(given).map((key) => [key, ''])),
        }[setting];
        const config = await hostConfig(manifest, platform, extensionPath, userConfig);
        const program = windows ? 'veymora-free-tools.exe' : 'veymora-free-tools';
        assert.equal(config.command, `${extensionPath}/server/${program}`);
        assert.deepEqual(config.args, [app]);
        const expectedEnv = {
          given: given.data_folder,
          unset: unfilled('data_folder'),
          empty: '',
        }[setting];
        assert.equal(config.env.VEYMORA_DATA_HOME, expectedEnv);

        const baseEnv = windows
          ? {
              PATH: process.env.PATH,
              HOME: home,
              WINEPREFIX: process.env.WINEPREFIX,
              WINEDEBUG: process.env.WINEDEBUG ?? '-all',
              LC_ALL: 'C.UTF-8',
            }
          : { PATH: process.env.PATH, HOME: home };
        const got = await session(platform, config, start, baseEnv, setting);

        assert.deepEqual(got.server, { name: `Veymora ${app}`, version: VERSION });
        assert.deepEqual(listed(got.tools), listed(CATALOGUE[platform][app]));
        assert.deepEqual(got.tools.map((t) => t.name), manifest.tools.map((t) => t.name));
        if (!windows) assert.deepEqual(listed(got.tools), manifest.tools);

        assert.equal(got.info.isError, false, JSON.stringify(got.info));
        const dataRoot =
          setting === 'given'
            ? given.data_folder
            : windows
              ? join(wineLocalAppData, 'Veymora')
              : path.join(home, '.local', 'share', 'veymora');
        const storePath = join(dataRoot, app, storeName);
        assert.equal(got.info.structuredContent.storagePath, storePath);
        if (got.saved) {
          assert.equal(got.saved.isError, false, JSON.stringify(got.saved));
          const hostStore = windows ? hostPathOf(storePath) : storePath;
          // The Windows default folder is the Wine prefix's, the same for every session.
          const records = JSON.parse(fs.readFileSync(hostStore, 'utf8')).records;
          assert.equal(records.at(-1).title, `Recipes ${setting}`);
        }
        if (got.renderer) {
          const status = got.renderer.structuredContent;
          const defaultPath = windows ? 'ffmpeg.exe' : 'ffmpeg';
          assert.equal(status.path, setting === 'given' ? given.ffmpeg : defaultPath);
        }
        assert.deepEqual(fs.readdirSync(start), [], 'the program wrote into its start folder');
      });
    }
  }
}

console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
