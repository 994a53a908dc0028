// Bridge between a web page (window.postMessage) and the extension's service worker (one
// port). The worker decides from this page's origin whether it may use the scanner. Split
// series arrive here slice by slice; the page gets the whole answer, with page bytes as
// ArrayBuffers handed over without a copy.
(() => {
  const CHANNEL = 'lumra-scan';
  const targetOrigin = location.origin === 'null' ? '*' : location.origin;
  const open = new Map(); // request id -> what came so far: see takeSlice()
  let port = null;

  function reply(id, body, transfer = []) {
    window.postMessage({ channel: CHANNEL, to: 'page', id, ...body }, { targetOrigin, transfer });
  }

  function fail(id, description) {
    open.delete(id);
    reply(id, { error: { description, kind: 'transport' } });
  }

  function base64Bytes(text) {
    if (typeof Uint8Array.fromBase64 === 'function') return Uint8Array.fromBase64(text);
    const bin = atob(text);
    const out = new Uint8Array(bin.length);
    for (let i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
    return out;
  }

  /** The answer with each page's Base64 "content" as "bytes" (ArrayBuffers), and those buffers. */
  function withBytes(answer, decoded = null) {
    const buffers = [];
    if (!Array.isArray(answer?.pages)) return { answer, buffers };
    let next = 0;
    answer.pages = answer.pages.map((item) => {
      if (typeof item?.content !== 'string') return item;
      const { content, ...rest } = item;
      try {
        const bytes = decoded ? decoded[next++] : [base64Bytes(content).buffer];
        if (!bytes) throw new Error('not Base64');
        buffers.push(...bytes);
        return { ...rest, bytes };
      } catch {
        return { ...rest, description: 'Page content is not Base64 text' };
      }
    });
    return { answer, buffers };
  }

  // The host writes a page item's "content" first, and Base64 holds no quote: page bytes
  // are decoded as the slices come, and only the rest of the answer is parsed at its end.
  // An unescaped quote after a brace lies outside every JSON string.
  const CONTENT = '{"content":"';

  /** Takes one slice of a series' answer text into r (skeleton, decoded pages, carry). */
  function takeSlice(r, part) {
    let text = r.carry + part;
    for (;;) {
      if (!r.chunks) {
        const at = text.indexOf(CONTENT);
        if (at < 0) {
          const keep = Math.min(text.length, CONTENT.length - 1); // a marker cut by the slice
          r.skeleton.push(text.slice(0, text.length - keep));
          r.carry = text.slice(text.length - keep);
          return;
        }
        r.skeleton.push(text.slice(0, at + CONTENT.length));
        text = text.slice(at + CONTENT.length);
        r.chunks = [];
      }
      const end = text.indexOf('"');
      let raw = end < 0 ? text : text.slice(0, end);
      // The host writes "/" as "\/": an escape may be cut by the slice.
      const held = end < 0 && raw.endsWith('\\') ? '\\' : '';
      if (held) raw = raw.slice(0, -1);
      const base64 = raw.includes('\\') ? raw.replaceAll('\\/', '/') : raw;
      const whole = end < 0 ? base64.length - (base64.length % 4) : base64.length;
      try {
        if (base64.includes('\\')) throw new Error('not Base64');
        if (whole > 0 && r.chunks.valid !== false) r.chunks.push(base64Bytes(base64.slice(0, whole)).buffer);
      } catch {
        r.chunks.valid = false;
      }
      if (end < 0) {
        r.carry = base64.slice(whole) + held;
        return;
      }
      r.pages.push(r.chunks.valid === false ? null : r.chunks);
      r.chunks = null;
      text = text.slice(end);
    }
  }

  function finish(id, r, body) {
    open.delete(id);
    let answer = body.answer;
    let decoded = null;
    if (body.end) {
      try {
        if (r.chunks) throw new Error('cut inside a page');
        answer = JSON.parse(r.skeleton.join('') + r.carry);
        decoded = r.pages;
        const holders = Array.isArray(answer?.pages) ? answer.pages.filter((p) => typeof p?.content === 'string').length : 0;
        if (holders !== decoded.length) throw new Error('pages do not match');
      } catch {
        reply(id, { error: { description: 'The slices of a split answer do not form JSON', kind: 'transport' } });
        return;
      }
    }
    // A series' pages were decoded on the way: they are bytes whatever was asked.
    if (!decoded && (!r.binary || answer === undefined)) return reply(id, body);
    const out = withBytes(answer, decoded);
    reply(id, { answer: out.answer }, out.buffers);
  }

  function fromExtension(m) {
    const r = open.get(m?.id);
    if (!r) return;
    if (m.progress !== undefined) return reply(m.id, { progress: m.progress });
    if (typeof m.part === 'string') {
      takeSlice(r, m.part);
      r.received += m.part.length;
      reply(m.id, { progress: { state: 'received', bytes: r.received } });
      return;
    }
    const { id, ...body } = m;
    finish(id, r, body);
  }

  function connect() {
    port = chrome.runtime.connect({ name: CHANNEL });
    port.onMessage.addListener(fromExtension);
    port.onDisconnect.addListener(() => {
      port = null;
      // The worker stopped or the extension was reloaded: what was under way is lost.
      for (const id of [...open.keys()]) fail(id, 'The scanning extension went away during the request');
    });
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window) return;
    const data = event.data;
    if (!data || data.channel !== CHANNEL || data.to !== 'extension') return;
    open.set(data.id, { binary: data.binary === true, skeleton: [], carry: '', chunks: null, pages: [], received: 0 });
    try {
      if (!port) connect();
      port.postMessage({ id: data.id, type: data.type, message: data.message });
    } catch (e) {
      // The extension was reloaded or removed under this page.
      port = null;
      fail(data.id, String(e?.message ?? e));
    }
  });
})();
