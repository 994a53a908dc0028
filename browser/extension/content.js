// Bridge between a web page (window.postMessage) and the extension's service worker.
// The worker decides from this page's origin whether it may use the scanner.
(() => {
  const CHANNEL = 'lumra-scan';
  const targetOrigin = location.origin === 'null' ? '*' : location.origin;

  function reply(id, body) {
    window.postMessage({ channel: CHANNEL, to: 'page', id, ...body }, targetOrigin);
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window) return;
    const data = event.data;
    if (!data || data.channel !== CHANNEL || data.to !== 'extension') return;
    let sent;
    try {
      sent = chrome.runtime.sendMessage({ type: data.type, message: data.message });
    } catch (e) {
      // The extension was reloaded or removed under this page.
      reply(data.id, { error: { description: String(e?.message ?? e), kind: 'transport' } });
      return;
    }
    sent.then(
      (body) => reply(data.id, body ?? { error: { description: 'The extension sent no reply', kind: 'transport' } }),
      (e) => reply(data.id, { error: { description: String(e?.message ?? e), kind: 'transport' } }),
    );
  });
})();
