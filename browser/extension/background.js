// Service worker: one connection to the scanning host, shared by every allowed page.
import { ScanClient, NativeTransport } from './lib/lumra-scan-client.js';
import { Relay } from './relay.js';

/** Name under which the host's manifest is registered (browser/register.sh). */
export const HOST_NAME = 'lumra.scan_host';
/** Name of the ports that content scripts open. */
const PAGE_PORT = 'lumra-scan';

const transport = new NativeTransport(HOST_NAME);
const client = new ScanClient({ transport, idPrefix: 'ext-' });
const relay = new Relay({ client, transport, storage: chrome.storage, extensionId: chrome.runtime.id });

// One port per page: what a request brings before its reply (progress, slices) goes to
// that page alone.
chrome.runtime.onConnect.addListener((port) => {
  if (port.name !== PAGE_PORT) return;
  let open = true;
  port.onDisconnect.addListener(() => { open = false; });
  port.onMessage.addListener((msg) => {
    const id = msg?.id;
    const emit = (body) => {
      if (!open) return;
      try { port.postMessage({ id, ...body }); } catch { open = false; }
    };
    relay.onMessage(msg, port.sender, emit).then(emit, (e) => emit({ error: { description: String(e?.message ?? e), kind: 'transport' } }));
  });
});
chrome.tabs.onRemoved.addListener((tabId) => { relay.tabClosed(tabId); });

// For tests and the curious: the relay's records (answer sizes and times).
globalThis.lumraRelay = relay;
