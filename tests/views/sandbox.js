// The sandbox proxy of the test host (another loopback origin than the host page): it tells
// the host it is ready, loads the HTML the host sends into an inner frame, and passes every
// other message between the host and the view. The view is loaded by a form post so that
// its own response carries the default CSP as a header.
const inner = document.createElement('iframe');
inner.name = 'view-inner';
inner.setAttribute('sandbox', 'allow-scripts allow-same-origin');
inner.style.cssText = 'border:0;width:100%;height:100%;display:block';
document.body.append(inner);

window.addEventListener('message', (event) => {
  const message = event.data;
  if (event.source === window.parent) {
    if (message && message.method === 'ui/notifications/sandbox-resource-ready') {
      const form = document.createElement('form');
      form.method = 'POST';
      form.action = '/view';
      form.target = 'view-inner';
      form.acceptCharset = 'utf-8';
      // Base64 of the UTF-8 bytes: a form would turn every line break into CRLF.
      const field = document.createElement('input');
      field.type = 'hidden';
      field.name = 'html';
      let binary = '';
      for (const byte of new TextEncoder().encode(message.params.html)) binary += String.fromCharCode(byte);
      field.value = btoa(binary);
      form.append(field);
      document.body.append(form);
      form.submit();
      form.remove();
      return;
    }
    if (message && typeof message.method === 'string' && message.method.startsWith('ui/notifications/sandbox-')) return;
    inner.contentWindow.postMessage(message, '*');
  } else if (event.source === inner.contentWindow) {
    window.parent.postMessage(message, '*');
  }
});
window.parent.postMessage(
  { jsonrpc: '2.0', method: 'ui/notifications/sandbox-proxy-ready', params: {} }, '*');
