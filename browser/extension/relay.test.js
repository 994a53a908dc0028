import { test, describe } from 'node:test';
import assert from 'node:assert/strict';
import { ScanClient, NativeTransport, PageTransport } from '../client/index.js';
import { Relay, normalizeOrigin } from './relay.js';
import { FakeHost, FakeRuntime, hostJson } from '../testing/fake-host.js';
import { fakePage } from '../testing/fake-page.js';

const A = 'http://127.0.0.1:8000';
const B = 'https://other.example';
const EVIL = 'http://127.0.0.1:9000';

class FakeArea {
  constructor(data = {}) { this.data = structuredClone(data); }
  async get(keys) {
    const out = {};
    for (const k of [].concat(keys)) if (k in this.data) out[k] = structuredClone(this.data[k]);
    return out;
  }
  async set(items) { Object.assign(this.data, structuredClone(items)); }
}

function setup({ hostOptions = {}, runtimeOptions = {}, options = {}, session = {}, idleCloseMs = 0 } = {}) {
  const host = new FakeHost({ pages: [{ type: 'jpg', bytes: Uint8Array.of(0xff, 0xd8, 1, 2, 3) }, { type: 'jpg', bytes: Uint8Array.of(0xff, 0xd8, 4) }], sliceBytes: 40, ...hostOptions });
  const runtime = new FakeRuntime(host, runtimeOptions);
  const transport = new NativeTransport('lumra.scan_host', { runtime });
  const client = new ScanClient({ transport });
  const storage = {
    local: new FakeArea({ options: { allowedOrigins: [A, B], ...options } }),
    session: new FakeArea(session),
  };
  const relay = new Relay({ client, transport, storage, extensionId: 'ext', idleCloseMs });
  let n = 0;
  const send = (origin, message, tabId = 1) =>
    relay.onMessage({ type: 'request', message: { messageId: `m${++n}`, ...message } }, { id: 'ext', origin, tab: { id: tabId } });
  const sendRaw = (origin, message, tabId = 1, type = 'request') => relay.onMessage({ type, message }, { id: 'ext', origin, tab: { id: tabId } });
  return { host, runtime, transport, relay, storage, send, sendRaw };
}

const refused = (reply, kind = 'refused') => {
  assert.ok(reply.error, `expected a refusal, got ${JSON.stringify(reply).slice(0, 200)}`);
  assert.equal(reply.error.kind, kind, reply.error.description);
};
const ok = (reply) => {
  assert.ok(reply.answer, `expected an answer, got ${JSON.stringify(reply)}`);
  assert.equal(reply.answer.status.result, 'success');
  return reply.answer;
};

/** Runs a split series from `origin` to its end through the relay; returns the replies. */
async function runSeries(send, origin, first) {
  const replies = [await send(origin, first)];
  while (replies.at(-1).answer?.split?.last === false) {
    replies.push(await send(origin, { messageId: first.messageId, command: first.command }));
  }
  return replies;
}

describe('origins', () => {
  const cases = [
    { name: 'allowed origin', origin: A, allowed: true },
    { name: 'other port of an allowed host', origin: EVIL, allowed: false },
    { name: 'sender without origin or url', origin: undefined, allowed: false },
    { name: 'opaque origin of a page on an allowed site', origin: 'null', url: `${A}/sandboxed.html`, allowed: false },
  ];
  for (const c of cases) {
    test(c.name, async () => {
      const { relay, host } = setup();
      const sender = { id: 'ext', origin: c.origin, url: c.url };
      const hello = await relay.onMessage({ type: 'hello' }, sender);
      const reply = await relay.onMessage({ type: 'request', message: { messageId: 'o', command: 'scannersList' } }, sender);
      if (c.allowed) {
        assert.equal(hello.allowed, true);
        assert.equal(hello.extensionId, 'ext');
        ok(reply);
      } else {
        assert.deepEqual(hello, { allowed: false }, 'nothing that tells the extension apart');
        refused(reply);
        assert.equal(host.requests.length, 0);
      }
    });
  }

  test('origins typed in the options are normalised', () => {
    const table = { 'http://127.0.0.1:8080/': 'http://127.0.0.1:8080', ' https://a.example/path ': 'https://a.example', 'ftp://x': null, 'chrome-extension://abc': null, 'not a url': null };
    for (const [text, want] of Object.entries(table)) assert.equal(normalizeOrigin(text), want, text);
  });
});

describe('requests the relay refuses', () => {
  const cases = [
    { name: 'unknown command', message: { command: 'formatDisk' } },
    { name: 'no messageId', raw: { command: 'scannersList' }, kind: 'usage' },
    { name: 'not an object', raw: [1, 2], kind: 'usage' },
    { name: 'one unreported file among reported ones', before: true, message: { command: 'removeFiles', files: [{ fileName: '/tmp/lumra_image_scan/page_0.jpg' }, { fileName: '/etc/hosts' }] } },
    { name: 'split over one-shot messages', runtimeOptions: { connectNative: false }, message: { command: 'scannerSplitProcessing' }, kind: 'usage' },
    { name: 'series of a file never reported', type: 'series', raw: { messageId: 's', command: 'filesSplitProcessing', files: [{ fileName: '/etc/passwd' }] } },
    { name: 'series of a command that does not split', type: 'series', raw: { messageId: 's', command: 'scannerProcessing' }, kind: 'usage' },
  ];
  for (const c of cases) {
    test(c.name, async () => {
      const { host, send, sendRaw } = setup({ runtimeOptions: c.runtimeOptions });
      if (c.before) ok(await send(A, { command: 'scannerProcessingFiles' }));
      const before = host.requests.length;
      const filesBefore = host.files.size;
      refused(await (c.raw ? sendRaw(A, c.raw, 1, c.type) : send(A, c.message)), c.kind);
      assert.equal(host.requests.length, before, 'nothing reached the host');
      assert.equal(host.files.size, filesBefore);
    });
  }
});

describe('requests the relay shapes', () => {
  const POSIX = { folderOrigins: [A], baseFolder: '/home/u/scans' };
  const WINDOWS = { folderOrigins: [A], baseFolder: 'C:\\Users\\me\\Scans' };
  const folders = [
    { options: POSIX, dir: '/home/u/scans/x/../y', sent: '/home/u/scans/y' },
    { options: POSIX, dir: '/home/u/scans/', sent: '/home/u/scans' },
    { options: POSIX, dir: '', sent: '' },
    { options: POSIX, dir: '/home/u/scansx', sent: null },
    { options: POSIX, dir: '/home/U/scans/x', sent: null },
    { options: POSIX, dir: '//host/scans', sent: null },
    { options: POSIX, dir: '/home/u/scans/a\nb', sent: null },
    { options: POSIX, origin: B, dir: '/home/u/scans/x', sent: null },
    { options: { baseFolder: '/home/u/scans' }, dir: '/home/u/scans/x', sent: null },
    { options: WINDOWS, dir: 'c:/users/ME/scans/sub', sent: 'C:\\users\\ME\\scans\\sub' },
    { options: WINDOWS, dir: '\\\\server\\share\\Scans', sent: null },
    { options: WINDOWS, dir: 'C:Users\\me\\Scans', sent: null },
    { options: WINDOWS, dir: 'C:\\Users\\me\\Scans\\..\\..', sent: null },
    { options: WINDOWS, dir: 'C:\\Users\\me\\Scans\\NUL', sent: null },
    { options: WINDOWS, dir: 'C:\\Users\\me\\Scans\\x. ', sent: null },
    { options: WINDOWS, dir: 'C:\\Users\\me\\Scans\\x:stream', sent: null },
  ];
  for (const c of folders) {
    test(`working folder ${JSON.stringify(c.dir)} from ${c.origin ?? A} under ${c.options.baseFolder}`, async () => {
      const { host, send } = setup({ options: c.options });
      const reply = await send(c.origin ?? A, { command: 'scannerProcessingFiles', workingDirectory: c.dir });
      if (c.sent === null) {
        refused(reply);
        assert.equal(host.requests.length, 0);
      } else {
        ok(reply);
        assert.equal(host.requests[0].workingDirectory, c.sent);
      }
    });
  }

  const timeouts = [
    { settings: { timeout: 4294967295 }, sent: 600_000 },
    { settings: { timeout: -1 }, sent: 600_000 },
    { settings: { timeout: 5000, dpi: 300 }, sent: 5000 },
    { settings: { timeout: 'soon' }, sent: 'soon' },
    { settings: undefined, minutes: 1, sent: 60_000 },
  ];
  for (const c of timeouts) {
    test(`time-out ${JSON.stringify(c.settings)} capped at ${c.minutes ?? 10} minutes`, async () => {
      const { host, send } = setup({ options: c.minutes ? { scanTimeoutMinutes: c.minutes } : {} });
      ok(await send(A, { command: 'scannerProcessing', settings: c.settings }));
      assert.equal(host.requests[0].settings?.timeout, c.sent);
      if (c.settings?.dpi) assert.equal(host.requests[0].settings.dpi, c.settings.dpi);
    });
  }
});

describe('file ownership', () => {
  test('files reported to a page can be read and deleted by that page only', async () => {
    const { host, send } = setup();
    const { files } = ok(await send(A, { command: 'scannerProcessingFiles' }));
    assert.equal(files.length, 2);
    refused(await send(B, { command: 'removeFiles', files: [files[0]] }));
    refused(await send(B, { command: 'filesSplitProcessing', files: [files[0]] }));
    ok(await send(A, { command: 'removeFiles', files: [files[0]] }));
    assert.equal(host.files.has(files[0].fileName), false);
    // Deleted files are forgotten: naming them again is refused.
    refused(await send(A, { command: 'removeFiles', files: [files[0]] }));

    const replies = await runSeries(send, A, { messageId: 'read-1', command: 'filesSplitProcessing', files: [files[1]] });
    assert.ok(replies.length > 1);
    const full = JSON.parse(replies.map((r) => r.answer.split.part).join(''));
    assert.equal(full.pages.length, 1);
    // The host read and deleted it: a second read is refused.
    refused(await send(A, { command: 'filesSplitProcessing', files: [files[1]] }));
  });

  test('a job that fails part way gives its reported pages to its origin and takes the rest from others', async () => {
    const { host, send } = setup();
    const { files } = ok(await send(A, { command: 'scannerProcessingFiles' }));
    host.failNextScan = { code: 0, description: 'Error save image to file.', saved: 1 };
    const reply = await send(B, { command: 'scannerProcessingFiles' });
    assert.equal(reply.answer.status.result, 'error');
    assert.deepEqual(reply.answer.files, [files[0]]);
    // page_1 was partly written by B's job: A no longer reads it, B never owned it.
    for (const f of files) refused(await send(A, { command: 'filesSplitProcessing', files: [f] }));
    refused(await send(B, { command: 'removeFiles', files: [files[1]] }));
    ok(await send(B, { command: 'removeFiles', files: [files[0]] }));
  });

  test('ownership survives a restart of the worker', async () => {
    const first = setup();
    const { files } = ok(await first.send(A, { command: 'scannerProcessingFiles' }));
    const second = setup();
    second.storage.local = first.storage.local;
    second.relay.storage = second.storage;
    second.host.files = first.host.files;
    ok(await second.send(A, { command: 'removeFiles', files }));
    assert.equal(second.host.files.size, 0);
  });
});

describe('split series', () => {
  test('another page cannot take slices of a running series', async () => {
    const { send } = setup();
    const first = await send(A, { messageId: 's1', command: 'scannerSplitProcessing', settings: { dpi: 100 } });
    assert.equal(first.answer.split.last, false);
    refused(await send(B, { messageId: 's1', command: 'scannerSplitProcessing' }));
    refused(await send(B, { messageId: 's1', command: 'filesSplitProcessing' }));
    const rest = await runSeries(send, A, { messageId: 's1', command: 'scannerSplitProcessing' });
    const full = JSON.parse([first, ...rest].map((r) => r.answer.split.part).join(''));
    assert.equal(full.pages.length, 2);
    // Once ended, the id is free again.
    ok(await send(B, { messageId: 's1', command: 'scannerSplitProcessing' }));
  });

  test('closing the tab drains its series on the host', async () => {
    const { host, relay, send } = setup();
    await send(A, { messageId: 's3', command: 'scannerSplitProcessing' }, 7);
    await send(A, { messageId: 's4', command: 'scannerSplitProcessing' }, 8);
    assert.equal(host.registry.size, 2);
    await relay.tabClosed(7);
    assert.deepEqual([...host.registry.keys()], ['s4']);
    ok(await send(A, { messageId: 's3', command: 'scannerSplitProcessing' }));
  });

  const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
  const losses = [
    { name: 'its connection', lose: async ({ runtime, host }) => { runtime.ports[0].kill('Native host has exited.'); host.registry.clear(); await sleep(0); } },
    { name: 'a quiet spell', idleCloseMs: 30, lose: async ({ runtime }) => { await sleep(80); assert.equal(runtime.ports[0].connected, false, 'port closed'); } },
    { name: 'a previous worker', session: { series: { s: { owner: A, tabId: 1 } } } },
  ];
  for (const c of losses) {
    test(`a series lost with ${c.name} is refused, not started again`, async () => {
      const t = setup({ idleCloseMs: c.idleCloseMs, session: c.session });
      if (c.lose) await t.send(A, { messageId: 's', command: 'scannerSplitProcessing' });
      await c.lose?.(t);
      const scans = t.host.scansRun;
      refused(await t.send(A, { messageId: 's', command: 'scannerSplitProcessing' }), 'transport');
      refused(await t.send(B, { messageId: 's', command: 'scannerSplitProcessing' }));
      assert.equal(t.host.scansRun, scans, 'no second scan');
      ok(await t.send(A, { command: 'scannersList' }));
      assert.equal(t.runtime.ports.length, c.lose ? 2 : 1, 'a new request opens a new port');
    });
  }
});

describe('pages through the content script', () => {
  test('an origin allowed later is let in without reloading; no extension is a transport failure', async () => {
    const { relay, storage } = setup({ options: { allowedOrigins: [] } });
    const transport = new PageTransport({ target: fakePage(relay, { origin: A }).window });
    const client = new ScanClient({ transport });
    await assert.rejects(client.listScanners(), { kind: 'refused' });
    storage.local.data.options.allowedOrigins = [A];
    assert.equal((await client.listScanners()).scanners.length, 1);
    transport.close();
    const alone = new PageTransport({ target: fakePage(null, { origin: A }).window, helloTimeoutMs: 50 });
    await assert.rejects(new ScanClient({ transport: alone }).listScanners(), { kind: 'transport' });
    alone.close();
  });

  test('a request another window (a frame) posts into the page is not relayed', async () => {
    const { relay, host } = setup();
    const { window } = fakePage(relay, { origin: A });
    const request = (id) => ({ channel: 'lumra-scan', to: 'extension', id, type: 'request', message: { messageId: id, command: 'scannersList' } });
    window.postMessage(request('frame'), { source: {} });
    window.postMessage(request('page'));
    await new Promise((r) => setTimeout(r, 20));
    assert.deepEqual(host.requests.map((r) => r.messageId), ['page']);
  });

  // A page the host could not read sits between two it sent.
  const PAGES = [{ type: 'jpg', bytes: Uint8Array.from({ length: 300 }, (_, i) => i & 255) }, { type: 'jpg' }, { type: 'pdf', bytes: Uint8Array.of(0x25, 0x50, 0x44, 0x46) }];

  // Slices that cut the page items' markers and Base64 groups anywhere.
  for (const sliceBytes of [5, 64]) test(`a split series in ${sliceBytes}-byte slices: progress to the asking page only, each slice asked for before the page has the last, bytes as ArrayBuffers`, async () => {
    const { relay, host, runtime } = setup({ hostOptions: { pages: PAGES, sliceBytes } });
    const a = fakePage(relay, { origin: A, tabId: 1 });
    const b = fakePage(relay, { origin: B, tabId: 2 });
    const [ta, tb] = [new PageTransport({ target: a.window }), new PageTransport({ target: b.window })];
    const log = [];
    const handle = host.handle.bind(host);
    host.handle = (r) => { if (r.command !== 'scannersList') log.push('host'); return handle(r); };
    const progress = [];
    const [answer] = await Promise.all([
      new ScanClient({ transport: ta }).scan({ dpi: 300 }, { as: 'split', onProgress: (p) => { progress.push(p); log.push(p.state); } }),
      new ScanClient({ transport: tb }).listScanners(),
    ]);

    const saved = progress.filter((p) => p.state === 'saved');
    assert.deepEqual(saved, [{ bytes: 300, page: 1, state: 'saved' }, { bytes: 4, page: 2, state: 'saved' }]);
    const received = progress.filter((p) => p.state === 'received').map((p) => p.bytes);
    const slices = received.length;
    const [first, ...follow] = host.requests.filter((r) => r.command !== 'scannersList');
    assert.ok(slices > 3 && follow.length >= slices - 1, `${follow.length} follow-ups for ${slices} slices`);
    // Sent ahead, follow-ups never start a scan past the end of the series; what they get
    // there is taken to its end (these slices are short), so the host keeps nothing.
    for (const r of follow) assert.deepEqual(r, { messageId: first.messageId, command: 'filesSplitProcessing' });
    assert.equal(host.scansRun, 1);
    assert.equal(received.at(-1), hostJson(host.fullAnswers[0]).length);
    // Pipelined: the host had the request for slice k+1 before the page saw slice k.
    let asked = 0, seenSlices = 0;
    for (const x of log) {
      if (x === 'host') asked++;
      if (x === 'received') assert.ok(asked >= Math.min(++seenSlices + 1, slices), `slice ${seenSlices} seen after ${asked} requests`);
    }
    assert.equal(host.registry.size, 0);

    assert.deepEqual(answer.pages.map((p) => p.blob?.type ?? p.description), ['image/jpeg', 'Error create page', 'application/pdf']);
    for (const i of [0, 2]) assert.deepEqual(new Uint8Array(await answer.pages[i].blob.arrayBuffer()), PAGES[i].bytes);
    // The bytes crossed to the page decoded, not as Base64 text.
    const reply = a.seen.find((m) => m.answer?.pages);
    assert.ok(reply.answer.pages[0].bytes.every((b) => b instanceof ArrayBuffer));
    assert.equal('content' in reply.answer.pages[0], false);
    assert.equal(b.seen.some((m) => m.progress), false, 'no progress reaches another page');
    // The relay records each slice answer at its size as sent.
    const recorded = relay.stats.filter((x) => x.command === 'scannerSplitProcessing').map((x) => x.bytes);
    const sent = runtime.answered.filter((x) => x.messageId === first.messageId).map((x) => x.bytes);
    assert.deepEqual(recorded, sent.slice(0, slices));
    ta.close();
    tb.close();
  });
});
