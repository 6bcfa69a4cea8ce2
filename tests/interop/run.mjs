// Drives the built server with the official MCP TypeScript SDK clients: the v1 client
// (@modelcontextprotocol/sdk) on the legacy revision, and the v2 client
// (@modelcontextprotocol/client) with its default handshake (legacy), with automatic version
// negotiation (which must choose the current revision, 2026-07-28) and pinned to the current
// revision. Each client also aborts a render through its AbortSignal (a fake FFmpeg that
// waits to be ended; Linux).
//
// Usage: VFT_EXE=/path/to/veymora-free-tools node tests/interop/run.mjs
// Prints one line per check and ends with "N passed, M failed"; exits 1 on any failure.

import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { Client as ClientV1 } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport as StdioV1 } from '@modelcontextprotocol/sdk/client/stdio.js';
import { AjvJsonSchemaValidator as AjvV1 } from '@modelcontextprotocol/sdk/validation/ajv';
import { Client as ClientV2 } from '@modelcontextprotocol/client';
import { StdioClientTransport as StdioV2 } from '@modelcontextprotocol/client/stdio';
import { AjvJsonSchemaValidator as AjvV2 } from '@modelcontextprotocol/client/validators/ajv';

const EXE = process.env.VFT_EXE;
if (!EXE || !fs.existsSync(EXE)) {
  console.error('Set VFT_EXE to the built veymora-free-tools program');
  process.exit(2);
}

// Tool counts per app, in the app table's order.
const TOOL_COUNTS = {
  studio: 8,
  clipboard: 11,
  bookmarks: 6,
  inventory: 7,
  wallet: 8,
  media: 10,
  bills: 11,
};
const ALL_TOOLS = 61;
const PROTECTED_APPS = new Set(['wallet', 'clipboard', 'bills']);
const LEGACY_VERSION = '2025-06-18';
const CURRENT_VERSION = '2026-07-28';
// A sanity bound, not a benchmark: the probe must not wait for the client's time-out.
const CONNECT_BOUND_MS = 1000;
// The issue's bound for a cancelled renderer to be gone.
const RENDERER_GONE_MS = 1000;

const clientInfo = { name: 'veymora-interop', version: '0.1.0' };

const variants = [
  {
    label: 'v1',
    makeClient: () => new ClientV1(clientInfo, { capabilities: {} }),
    makeTransport: (params) => new StdioV1(params),
    validator: new AjvV1(),
    negotiatedVersion: (_client, seen) => seen.protocolVersion,
    version: LEGACY_VERSION,
    callTool: (client, params, options) => client.callTool(params, undefined, options),
  },
  {
    label: 'v2',
    makeClient: () => new ClientV2(clientInfo, { capabilities: {} }),
    makeTransport: (params) => new StdioV2(params),
    validator: new AjvV2(),
    negotiatedVersion: (client) => client.getNegotiatedProtocolVersion(),
    version: LEGACY_VERSION,
    era: 'legacy',
  },
  {
    label: 'v2 auto',
    makeClient: () =>
      new ClientV2(clientInfo, { capabilities: {}, versionNegotiation: { mode: 'auto' } }),
    makeTransport: (params) => new StdioV2(params),
    validator: new AjvV2(),
    negotiatedVersion: (client) => client.getNegotiatedProtocolVersion(),
    version: CURRENT_VERSION,
    era: 'modern',
    connectBoundMs: CONNECT_BOUND_MS,
  },
  {
    label: 'v2 pinned',
    makeClient: () =>
      new ClientV2(clientInfo, {
        capabilities: {},
        versionNegotiation: { mode: { pin: CURRENT_VERSION } },
      }),
    makeTransport: (params) => new StdioV2(params),
    validator: new AjvV2(),
    negotiatedVersion: (client) => client.getNegotiatedProtocolVersion(),
    version: CURRENT_VERSION,
    era: 'modern',
    connectBoundMs: CONNECT_BOUND_MS,
  },
];

function callTool(variant, client, params, options) {
  return variant.callTool ? variant.callTool(client, params, options) : client.callTool(params, options);
}

let passed = 0;
let failed = 0;

async function check(name, body) {
  try {
    const note = await body();
    passed += 1;
    console.log(`ok - ${name}${typeof note === 'string' ? ` (${note})` : ''}`);
  } catch (error) {
    failed += 1;
    console.log(`not ok - ${name}`);
    console.log(`  ${String(error?.stack ?? error).split('\n').join('\n  ')}`);
  }
}

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'vft-interop-'));

// A fresh data home and user home for each connection, so no run sees another's store or key.
function freshHomes(tag) {
  const root = fs.mkdtempSync(path.join(scratch, `${tag.replace(/\W+/g, '-')}-`));
  const data = path.join(root, 'data');
  const home = path.join(root, 'home');
  fs.mkdirSync(data);
  fs.mkdirSync(home);
  return { data, home };
}

function textOf(result) {
  assert.ok(Array.isArray(result.content), 'content is an array');
  assert.equal(result.content.length, 1, 'one content item');
  assert.equal(result.content[0].type, 'text');
  return result.content[0].text;
}

async function exerciseApp(variant, app) {
  const homes = freshHomes(`${variant.label}-${app}`);
  const transport = variant.makeTransport({
    command: EXE,
    args: [app],
    env: { HOME: homes.home, VEYMORA_DATA_HOME: homes.data },
    stderr: 'pipe',
  });
  let stderrText = '';
  transport.stderr?.on('data', (chunk) => {
    stderrText += chunk.toString('utf8');
  });
  // The v1 client has no getter for the negotiated version: watch the initialize answer.
  const seen = {};
  transport.onmessage = (message) => {
    if (message?.result?.protocolVersion !== undefined) {
      seen.protocolVersion = message.result.protocolVersion;
    }
  };
  const client = variant.makeClient();
  const prefix = `${variant.label} ${app}`;
  let connected = false;
  let tools = [];
  try {
    await check(`${prefix}: connect`, async () => {
      const started = performance.now();
      await client.connect(transport);
      const elapsed = performance.now() - started;
      connected = true;
      if (variant.connectBoundMs !== undefined) {
        assert.ok(
          elapsed < variant.connectBoundMs,
          `connect took ${elapsed.toFixed(0)} ms (bound ${variant.connectBoundMs} ms)`,
        );
      }
      const { title, description, icons, ...identity } = client.getServerVersion();
      assert.deepEqual(identity, { name: `Veymora ${app}`, version: '0.1.0' });
      if (variant.version === CURRENT_VERSION) {
        // The current revision presents the program: its title, description and icon.
        assert.equal(title, `Veymora ${app[0].toUpperCase()}${app.slice(1)}`);
        assert.equal(typeof description, 'string');
        assert.match(icons[0].src, /^data:image\/png;base64,iVBOR/);
      } else {
        assert.deepEqual([title, description, icons], [undefined, undefined, undefined]);
      }
      assert.deepEqual(client.getServerCapabilities(), { tools: {} });
      assert.equal(typeof client.getInstructions(), 'string');
      assert.equal(variant.negotiatedVersion(client, seen), variant.version);
      if (variant.era !== undefined) assert.equal(client.getProtocolEra(), variant.era);
      return `${elapsed.toFixed(0)} ms`;
    });
    if (!connected) return 0;

    await check(`${prefix}: tools/list passes the client's validation`, async () => {
      const listed = await client.listTools();
      tools = listed.tools;
      assert.equal(tools.length, TOOL_COUNTS[app]);
      assert.equal(tools[0].name, 'get_storage_info');
      assert.equal(new Set(tools.map((tool) => tool.name)).size, tools.length, 'unique names');
      assert.equal(listed.nextCursor, undefined, 'no paging');
      for (const tool of tools) {
        assert.equal(typeof tool.description, 'string', `${tool.name} description`);
        assert.equal(tool.inputSchema.type, 'object', `${tool.name} input schema type`);
        // The client's own JSON Schema engine must compile every input schema.
        const validate = variant.validator.getValidator(tool.inputSchema);
        assert.equal(typeof validate, 'function', `${tool.name} schema compiles`);
        const annotations = tool.annotations ?? {};
        for (const hint of ['readOnlyHint', 'openWorldHint', 'destructiveHint', 'idempotentHint']) {
          assert.equal(typeof annotations[hint], 'boolean', `${tool.name} ${hint}`);
        }
      }
      const storageInfo = variant.validator.getValidator(tools[0].inputSchema);
      assert.equal(storageInfo({}).valid, true, 'no arguments accepted');
      assert.equal(storageInfo({ bogus: true }).valid, false, 'extra argument refused');
    });

    await check(`${prefix}: get_storage_info`, async () => {
      const result = await callTool(variant, client, { name: 'get_storage_info', arguments: {} });
      assert.equal(result.isError, false);
      const info = result.structuredContent;
      const storeName = PROTECTED_APPS.has(app) ? 'records.dpapi' : 'records.json';
      assert.deepEqual(info, {
        app,
        encryptedAtRest: PROTECTED_APPS.has(app),
        networkRequests: false,
        recordCount: 0,
        schema: 1,
        storagePath: path.join(homes.data, app, storeName),
        version: '0.1.0',
      });
      assert.deepEqual(JSON.parse(textOf(result)), info);
      assert.ok(fs.statSync(path.join(homes.data, app)).isDirectory(), 'data folder created');
      assert.equal(fs.existsSync(info.storagePath), false, 'store file not written');
    });

    await check(`${prefix}: an unknown argument comes back as a tool error`, async () => {
      const result = await callTool(variant, client, {
        name: 'get_storage_info',
        arguments: { zeta: 1, bogus: true },
      });
      assert.equal(result.isError, true);
      assert.equal(textOf(result), 'Unknown argument: bogus');
      assert.equal(result.structuredContent, undefined);
    });

    await check(`${prefix}: an unknown tool comes back as a tool error`, async () => {
      const result = await callTool(variant, client, { name: 'no_such_tool', arguments: {} });
      assert.equal(result.isError, true);
      assert.equal(textOf(result), 'Unknown tool');
    });

    // The current revision has no ping.
    if (variant.era !== 'modern') {
      await check(`${prefix}: ping`, async () => {
        await client.ping();
      });
    }
  } finally {
    if (connected) await client.close();
  }
  await check(`${prefix}: nothing on standard error`, async () => {
    assert.equal(stderrText, '');
  });
  return tools.length;
}

// A render the client gives up on: a fake FFmpeg that reports some progress and then waits
// to be ended, and a client that aborts its call at the first progress notification.
async function abortRender(variant, clip) {
  const homes = freshHomes(`${variant.label}-render`);
  const folder = fs.mkdtempSync(path.join(scratch, 'fake-'));
  const pidFile = path.join(folder, 'renderer.pid');
  const script = path.join(folder, 'ffmpeg');
  fs.writeFileSync(
    script,
    `#!/bin/sh
case "$*" in
  *-filter_complex*)
    echo "frame=24 fps=0.0 q=0.0 size=0kB time=00:00:01.00 bitrate=1kbits/s speed=1x" >&2
    echo $$ > "${pidFile}"
    exec sleep 300 ;;
esac
exec ffmpeg "$@"
`,
    { mode: 0o755 },
  );
  const transport = variant.makeTransport({
    command: EXE,
    args: ['media'],
    env: { HOME: homes.home, VEYMORA_DATA_HOME: homes.data, VEYMORA_FFMPEG: script, PATH: process.env.PATH },
    stderr: 'pipe',
  });
  const client = variant.makeClient();
  const prefix = `${variant.label} media`;
  await client.connect(transport);
  try {
    await check(`${prefix}: a render aborted through the AbortSignal`, async () => {
      const call = async (name, args, options) => {
        const result = await callTool(variant, client, { name, arguments: args }, options);
        assert.equal(result.isError, false, JSON.stringify(result.content));
        return result.structuredContent;
      };
      const { project } = await call('import_video', { title: 'Clip', path: clip });
      const saved = await call('save_edit', {
        id: project.id,
        expectedVersion: project.version,
        name: 'Cut',
        timeline: { width: 160, height: 160 },
      });
      const store = fs.readFileSync(path.join(homes.data, 'media', 'records.json'));
      const destination = path.join(folder, 'out.mp4');
      const controller = new AbortController();
      const rendering = call(
        'render_edit',
        {
          id: saved.projectId,
          expectedVersion: saved.projectVersion,
          editId: saved.edit.id,
          destinationPath: destination,
        },
        { signal: controller.signal, onprogress: () => controller.abort('gave up') },
      );
      await assert.rejects(rendering);
      const pid = Number(fs.readFileSync(pidFile, 'utf8'));
      const aborted = performance.now();
      while (isRunning(pid)) {
        assert.ok(performance.now() - aborted < RENDERER_GONE_MS, 'renderer still running');
        await new Promise((resolve) => setTimeout(resolve, 10));
      }
      // The next call runs at once; the store and the destination folder are as before.
      const after = await call('get_project', { id: project.id });
      assert.deepEqual(after.exports, []);
      assert.deepEqual(fs.readFileSync(path.join(homes.data, 'media', 'records.json')), store);
      assert.deepEqual(fs.readdirSync(folder).sort(), ['ffmpeg', 'renderer.pid']);
      const logs = fs.readdirSync(path.join(homes.data, 'media')).filter((n) => n.endsWith('.log'));
      assert.deepEqual(logs, []);
    });
  } finally {
    await client.close();
  }
}

// Running: not gone, and not a zombie left for someone else to reap.
function isRunning(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(') ') + 2)[0] !== 'Z';
  } catch {
    return false;
  }
}

function makeClip() {
  const clip = path.join(scratch, 'clip.mkv');
  execFileSync('ffmpeg', [
    '-hide_banner', '-loglevel', 'error', '-nostdin', '-f', 'lavfi',
    '-i', 'testsrc=size=320x240:rate=24:duration=2', '-c:v', 'libx264', '-preset', 'ultrafast', clip,
  ]);
  return clip;
}

try {
  const clip = makeClip();
  for (const variant of variants) {
    let total = 0;
    for (const app of Object.keys(TOOL_COUNTS)) {
      total += await exerciseApp(variant, app);
    }
    await check(`${variant.label}: all ${ALL_TOOLS} tools listed`, async () => {
      assert.equal(total, ALL_TOOLS);
    });
    await abortRender(variant, clip);
  }
} finally {
  fs.rmSync(scratch, { recursive: true, force: true });
}

console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
