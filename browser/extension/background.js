// Service worker: one connection to the scanning host, shared by every allowed page.
import { ScanClient, NativeTransport } from './lib/lumra-scan-client.js';
import { Relay } from './relay.js';

/** Name under which the host's manifest is registered (browser/register.sh). */
export const HOST_NAME = 'lumra.scan_host';

const transport = new NativeTransport(HOST_NAME);
const client = new ScanClient({ transport, idPrefix: 'ext-' });
const relay = new Relay({ client, transport, storage: chrome.storage, extensionId: chrome.runtime.id });

chrome.runtime.onMessage.addListener((msg, sender, sendResponse) => {
  relay.onMessage(msg, sender).then(sendResponse, (e) => sendResponse({ error: { description: String(e?.message ?? e), kind: 'transport' } }));
  return true;
});
chrome.tabs.onRemoved.addListener((tabId) => { relay.tabClosed(tabId); });

// For tests and the curious: the relay's records (answer sizes and times).
globalThis.lumraRelay = relay;
