// The host side of a view, spoken by hand: the ui/initialize handshake, the host's
// notifications (tool input, tool result, context changes), size reports and tool calls
// through the host. Inlined into every view at build time; the views share `vft` below.
'use strict';
const vft = (() => {
  const root = document.documentElement;
  const htmlNs = root.namespaceURI;
  // Taken from the document's own <svg> element, so no namespace address is written here.
  const svgNs = document.querySelector('svg').namespaceURI;
  const kCallBound = 60000; // a tool call through the host (a render may take long)
  const kHandshakeBound = 10000;
  const pending = new Map();
  const listeners = { input: [], result: [], context: [], cancelled: [] };
  let nextId = 1;
  let context = {};
  let capabilities = {};

  function post(message) {
    window.parent.postMessage(message, '*');
  }

  // A request to the host; every wait is bounded.
  function request(method, params, bound) {
    const id = nextId++;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        pending.delete(id);
        reject(new Error('The host did not answer ' + method));
      }, bound || kCallBound);
      pending.set(id, { resolve, reject, timer });
      post({ jsonrpc: '2.0', id, method, params });
    });
  }

  function notify(method, params) {
    post({ jsonrpc: '2.0', method, params });
  }

  // Host variables are names only ("--color-…"); their values stay CSS values.
  function applyContext(update) {
    context = Object.assign({}, context, update);
    const theme = context.theme === 'dark' ? 'dark' : context.theme === 'light' ? 'light' : '';
    if (theme) {
      root.setAttribute('data-theme', theme);
      root.style.colorScheme = theme;
    }
    const variables = update && update.styles && update.styles.variables;
    if (variables && typeof variables === 'object') {
      for (const [name, value] of Object.entries(variables)) {
        if (/^--[a-z0-9-]+$/.test(name) && typeof value === 'string') {
          root.style.setProperty(name, value);
        }
      }
    }
    // A fixed dimension is filled; a maximum bounds the document, which then scrolls.
    const box = update && update.containerDimensions;
    if (box && typeof box === 'object') {
      root.style.height = 'height' in box ? '100vh' : '';
      root.style.width = 'width' in box ? '100vw' : '';
      root.style.maxHeight = Number(box.maxHeight) > 0 ? box.maxHeight + 'px' : '';
      root.style.maxWidth = Number(box.maxWidth) > 0 ? box.maxWidth + 'px' : '';
    }
    for (const listener of listeners.context) listener(context);
  }

  function answer(id, result) {
    post({ jsonrpc: '2.0', id, result });
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window.parent) return;
    const message = event.data;
    if (!message || typeof message !== 'object' || message.jsonrpc !== '2.0') return;
    if (message.method === undefined) {
      const waiting = pending.get(message.id);
      if (!waiting) return;
      pending.delete(message.id);
      clearTimeout(waiting.timer);
      if (message.error) {
        waiting.reject(new Error(String(message.error.message || 'The host refused the call')));
      } else {
        waiting.resolve(message.result);
      }
      return;
    }
    const params = message.params || {};
    switch (message.method) {
      case 'ui/notifications/tool-input':
        for (const listener of listeners.input) listener(params.arguments || {});
        break;
      case 'ui/notifications/tool-result':
        for (const listener of listeners.result) listener(params);
        break;
      case 'ui/notifications/tool-cancelled':
        for (const listener of listeners.cancelled) listener(String(params.reason || ''));
        break;
      case 'ui/notifications/host-context-changed':
        applyContext(params);
        break;
      case 'ping':
      case 'ui/resource-teardown':
        if (message.id !== undefined) answer(message.id, {});
        break;
      default:
        if (message.id !== undefined) {
          post({
            jsonrpc: '2.0',
            id: message.id,
            error: { code: -32601, message: 'Method not found' },
          });
        }
    }
  });

  // Reports the document's size whenever it changes, as the host sizes the frame by it.
  let lastSize = '';
  function reportSize() {
    // The document's own height: the scroll height never drops below the frame's.
    const width = Math.ceil(root.scrollWidth);
    const height = Math.ceil(root.getBoundingClientRect().height);
    const size = width + 'x' + height;
    if (size === lastSize) return;
    lastSize = size;
    notify('ui/notifications/size-changed', { width, height });
  }

  async function start(name, version) {
    const result = await request(
      'ui/initialize',
      {
        appCapabilities: { availableDisplayModes: ['inline'] },
        appInfo: { name, version },
        protocolVersion: '2026-01-26',
      },
      kHandshakeBound,
    );
    capabilities = (result && result.hostCapabilities) || {};
    applyContext((result && result.hostContext) || {});
    notify('ui/notifications/initialized', {});
    new ResizeObserver(reportSize).observe(root);
    reportSize();
  }

  // How every view begins: a cancelled call and a failed handshake are said in the element
  // #status; the element that holds the server's controls shows only when the host offers
  // calls.
  function begin(name, controls, cancelled) {
    const status = (text) => {
      document.getElementById('status').textContent = text;
    };
    on('cancelled', (reason) => status(cancelled + ' ' + reason));
    start(name, '1.0.0').then(() => {
      document.getElementById(controls).hidden = !Boolean(capabilities.serverTools);
    }, (e) => status(e.message));
  }

  // The result's data: structuredContent, else the JSON of its first text item.
  function dataOf(result) {
    if (!result || typeof result !== 'object') return { error: 'No result' };
    const first = Array.isArray(result.content) ? result.content[0] : undefined;
    const text = first && first.type === 'text' ? String(first.text) : '';
    if (result.isError) return { error: text || 'The tool failed' };
    if (result.structuredContent && typeof result.structuredContent === 'object') {
      return { data: result.structuredContent };
    }
    try {
      return { data: JSON.parse(text) };
    } catch (e) {
      return { error: text || 'The result holds no data' };
    }
  }

  // A read-only tool of this server, through the host; only when the host offers it. A
  // refusal comes back shaped as a failed tool result.
  async function callRaw(name, args) {
    const failed = (text) => ({ isError: true, content: [{ type: 'text', text }] });
    if (!capabilities.serverTools) return failed('This host does not let views call tools');
    try {
      return await request('tools/call', { name, arguments: args });
    } catch (e) {
      return failed(e.message);
    }
  }
  const call = async (name, args) => dataOf(await callRaw(name, args));

  // Elements: text only ever enters through textContent.
  function make(ns, tag, attributes, children) {
    const element = document.createElementNS(ns, tag);
    for (const [key, value] of Object.entries(attributes || {})) {
      if (value !== undefined && value !== null) element.setAttribute(key, String(value));
    }
    for (const child of [].concat(children === undefined ? [] : children)) {
      if (child === null || child === undefined) continue;
      element.append(typeof child === 'object' ? child : document.createTextNode(String(child)));
    }
    return element;
  }
  const h = (tag, attributes, children) => make(htmlNs, tag, attributes, children);
  const s = (tag, attributes, children) => make(svgNs, tag, attributes, children);

  function show(id, ...nodes) {
    const box = document.getElementById(id);
    box.replaceChildren(...nodes);
    return box;
  }

  // A table whose headings line up with their figures: a column of figures is right-aligned.
  function table(caption, headers, rows) {
    const first = rows[0] ? rows[0].cells : [];
    const heading = (text, i) =>
      h('th', { scope: 'col', class: first[i] && first[i].classList.contains('num') ? 'num' : null }, text);
    return h('table', {}, [
      h('caption', {}, caption),
      h('thead', {}, h('tr', {}, headers.map(heading))),
      h('tbody', {}, rows),
    ]);
  }

  function on(kind, listener) {
    listeners[kind].push(listener);
  }

  return {
    start,
    begin,
    on,
    call,
    callRaw,
    dataOf,
    h,
    s,
    show,
    table,
    canCall: () => Boolean(capabilities.serverTools),
    context: () => context,
  };
})();
