// The test host's page script, bundled by esbuild at test time: the official AppBridge of
// @modelcontextprotocol/ext-apps mounts a view through a sandbox proxy frame on another
// loopback origin. Tool calls from the view go to the test (window.vftCallTool, bound by
// Playwright), which passes them to the real program over its MCP client.
import { AppBridge, PostMessageTransport } from '@modelcontextprotocol/ext-apps/app-bridge';

const state = { sizes: [], initialized: false, appInfo: null, calls: [], bridge: null };
// Every wait of the mount is bounded: a view that never answers fails the check.
const kBoundMs = 10000;
function bounded(promise, what) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`no ${what} within ${kBoundMs} ms`)), kBoundMs);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}
window.vftHost = state;

// options: { html, sandboxUrl, tool, args, result, theme, variables, serverTools }
window.vftMount = async (options) => {
  const frame = document.createElement('iframe');
  frame.id = 'view';
  frame.setAttribute('sandbox', 'allow-scripts allow-same-origin allow-forms');
  frame.style.width = '640px';
  frame.style.height = '200px';
  frame.style.border = '0';
  document.body.replaceChildren(frame);

  const capabilities = options.serverTools ? { serverTools: {} } : {};
  const bridge = new AppBridge(
    null,
    { name: 'veymora-views-test', version: '1.0.0' },
    capabilities,
    {
      hostContext: {
        theme: options.theme,
        styles: { variables: options.variables || {} },
        toolInfo: { tool: options.tool },
        displayMode: 'inline',
        availableDisplayModes: ['inline'],
        containerDimensions: { width: 640, maxHeight: 6000 },
        locale: 'en-GB',
        platform: 'desktop',
      },
    },
  );
  state.bridge = bridge;
  bridge.oncalltool = async (params) => {
    state.calls.push(params);
    return window.vftCallTool(params);
  };
  bridge.onsizechange = (size) => {
    state.sizes.push(size);
    if (size.height != null) frame.style.height = `${size.height}px`;
  };
  const initialized = new Promise((resolve) => {
    bridge.oninitialized = () => {
      state.initialized = true;
      state.appInfo = bridge.getAppVersion() ?? null;
      resolve();
    };
  });
  const proxyReady = new Promise((resolve) => {
    bridge.onsandboxready = () => resolve();
  });
  frame.src = options.sandboxUrl;
  await bridge.connect(new PostMessageTransport(frame.contentWindow, frame.contentWindow));
  await bounded(proxyReady, 'sandbox-proxy-ready');
  await bridge.sendSandboxResourceReady({ html: options.html });
  await bounded(initialized, 'ui/notifications/initialized');
  await bridge.sendToolInput({ arguments: options.args });
  await bridge.sendToolResult(options.result);
  return state.appInfo;
};

window.vftContext = (update) => state.bridge.sendHostContextChange(update);
