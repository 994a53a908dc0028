// A web page with the extension's content script in it, wired to a Relay the way the
// extension's worker wires it: for tests of the whole page ↔ extension ↔ host path in Node.
import { readFileSync } from 'node:fs';
import { runInNewContext } from 'node:vm';
import { FakeEvent } from './fake-host.js';

const CONTENT_SCRIPT = readFileSync(new URL('../extension/content.js', import.meta.url), 'utf8');

/** A pair of connected runtime ports; messages cross as JSON, later, like the browser's. */
function portPair(name, sender) {
  const make = () => ({ name, onMessage: new FakeEvent(), onDisconnect: new FakeEvent() });
  const [a, b] = [make(), make()];
  for (const [from, to] of [[a, b], [b, a]]) {
    from.postMessage = (m) => { const copy = JSON.parse(JSON.stringify(m)); setTimeout(() => to.onMessage.dispatch(copy, to), 0); };
    from.disconnect = () => setTimeout(() => to.onDisconnect.dispatch(to), 0);
  }
  b.sender = sender;
  return [a, b];
}

/**
 * A page of `origin` in tab `tabId` whose content script reaches `relay` (none without
 * `relay`). Returns the window (for a PageTransport) and `seen`, every message the page was posted;
 * its postMessage takes a `source` option, for messages another window posts.
 */
export function fakePage(relay, { origin, tabId = 1 }) {
  const listeners = new Set();
  const seen = [];
  const window = {
    location: { origin },
    addEventListener: (type, f) => listeners.add(f),
    removeEventListener: (type, f) => listeners.delete(f),
    postMessage(data, options) {
      const copy = structuredClone(data, { transfer: options?.transfer ?? [] });
      setTimeout(() => {
        if (copy?.to === 'page') seen.push(structuredClone(copy));
        for (const f of [...listeners]) f({ source: options?.source ?? window, data: copy });
      }, 0);
    },
  };
  const runtime = {
    connect({ name }) {
      const [page, worker] = portPair(name, { id: 'ext', origin, url: `${origin}/`, tab: { id: tabId } });
      // What background.js does with a page's port.
      worker.onMessage.addListener((msg) => {
        const emit = (body) => worker.postMessage({ id: msg.id, ...body });
        relay.onMessage(msg, worker.sender, emit).then(emit);
      });
      return page;
    },
  };
  if (relay) runInNewContext(CONTENT_SCRIPT, { window, location: window.location, chrome: { runtime }, atob, Uint8Array, JSON, Map });
  return { window, seen };
}
