import { test, describe } from 'node:test';
import assert from 'node:assert/strict';
import { ScanClient, ScanError, NativeTransport, decodePages } from './index.js';
import { FakeHost, FakeRuntime, sliceUtf8, hostJson } from '../testing/fake-host.js';

/** Hands requests straight to a FakeHost after `delay(message)` ms (which may throw), counting overlap. */
class HostTransport {
  constructor(host, delay = () => 0) { Object.assign(this, { host, delay, inFlight: 0, maxInFlight: 0, persistent: true, generation: 1 }); }
  async send(message) {
    this.maxInFlight = Math.max(this.maxInFlight, ++this.inFlight);
    try {
      await new Promise((r) => setTimeout(r, this.delay(message)));
      return structuredClone(this.host.handle(structuredClone(message)));
    } finally {
      this.inFlight--;
    }
  }
}

const bytesOf = async (blob) => new Uint8Array(await blob.arrayBuffer());
const jpeg = (n) => Uint8Array.from({ length: n }, (_, i) => (i < 2 ? [0xff, 0xd8][i] : (i * 7) & 255));

describe('split series', () => {
  // Slice sizes chosen so cuts land inside multi-byte characters and surrogate pairs.
  const cases = [
    { name: 'characters of every length, slice smaller than a character', contentId: 'aé日😀'.repeat(11), slice: 1 },
  ];
  for (const c of cases) {
    test(c.name, async () => {
      const pages = [{ type: 'jpg', bytes: jpeg(120) }, { type: 'png', bytes: Uint8Array.of(0x89, 0x50, 0x4e, 0x47) }];
      const host = new FakeHost({ pages, sliceBytes: c.slice });
      const answer = await new ScanClient({ transport: new HostTransport(host) }).scan({ dpi: 150, format: { type: 'jpg' } }, { as: 'split', contentId: c.contentId });
      assert.equal(answer.contentId, c.contentId);
      assert.deepEqual(answer.settings, { dpi: 150, format: { type: 'jpg' } });
      assert.deepEqual(answer.pages.map((p) => p.blob.type), ['image/jpeg', 'image/png']);
      for (const i of [0, 1]) assert.deepEqual(await bytesOf(answer.pages[i].blob), pages[i].bytes);
      assert.equal(host.registry.size, 0, 'series ran to its end');
      assert.equal(host.scansRun, 1);
      const [first, ...rest] = host.requests;
      assert.equal(host.requests.length, sliceUtf8(hostJson(host.fullAnswers[0]), c.slice).length);
      for (const r of rest) assert.deepEqual(r, { messageId: first.messageId, command: 'scannerSplitProcessing' });
    });
  }
});

describe('errors', () => {
  const answering = (answer, more) => ({ persistent: true, send: async () => answer, ...more });
  const cases = [
    { name: 'scan failure carries description and code', fail: { code: 4, description: 'Error open data source.' }, call: (c) => c.scan({}, { as: 'pages' }), want: { kind: 'host', code: 4, description: 'Error open data source.' } },
    { name: 'split scan failure still runs the series to its end', fail: { code: 7, description: 'Scan was cancelled' }, call: (c) => c.scan({}, { as: 'split' }), want: { kind: 'host', code: 7, description: 'Scan was cancelled' } },
    { name: 'removeFiles without a list', call: (c) => c.removeFiles('page_0.jpg'), want: { kind: 'usage' } },
    { name: 'unknown scan mode', call: (c) => c.scan({}, { as: 'blobs' }), want: { kind: 'usage' } },
    { name: 'settings that are not an object', call: (c) => c.scan('300dpi', { as: 'pages' }), want: { kind: 'usage' } },
    { name: 'transport failure', transport: { persistent: true, send: async () => { throw new Error('Native host has exited.'); } }, want: { kind: 'transport', description: 'Native host has exited.' } },
    { name: 'answer that is not an object', transport: answering([1]), want: { kind: 'transport' } },
    { name: 'split answer without a slice (request refused by the host)', transport: answering({ status: { code: 0, description: 'JSON failed to parse', result: 'error' } }), call: (c) => c.scan({}, { as: 'split' }), want: { kind: 'host', code: 0, description: 'JSON failed to parse' } },
    { name: 'endless empty slices', transport: answering({ status: { result: 'success' }, split: { last: false, part: '' } }), call: (c) => c.scan({}, { as: 'split' }), want: { kind: 'transport' } },
    { name: 'slices that are not JSON', transport: answering({ status: { result: 'success' }, split: { last: true, part: '{"pages":' } }), call: (c) => c.scan({}, { as: 'split' }), want: { kind: 'transport' } },
    {
      name: 'connection lost inside a series',
      transport: (() => {
        const t = { persistent: true, generation: 1, send: async () => { t.generation++; return { status: { result: 'success' }, split: { last: false, part: '{' } }; } };
        return t;
      })(),
      call: (c) => c.scan({}, { as: 'split' }),
      want: { kind: 'transport', description: 'The connection to the host was lost during a split series' },
    },
  ];
  for (const c of cases) {
    test(c.name, async () => {
      const host = new FakeHost({ pages: [{ type: 'jpg', bytes: jpeg(10) }], sliceBytes: 16 });
      host.failNextScan = c.fail;
      const client = new ScanClient({ transport: c.transport ?? new HostTransport(host) });
      await assert.rejects((c.call ?? ((x) => x.listScanners()))(client), (e) => {
        assert.ok(e instanceof ScanError, `got ${e}`);
        for (const [k, v] of Object.entries(c.want)) assert.equal(e[k], v, k);
        return true;
      });
      assert.equal(host.registry.size, 0);
      if (c.want.kind === 'usage') assert.equal(host.requests.length, 0, 'nothing sent');
    });
  }

  test('an unreadable page keeps its description, the others decode', () => {
    const answer = decodePages({ pages: [
      { description: 'Error create page', number: 1 },
      { content: 'not base64!', number: 2, type: 'jpg' },
      { content: 'AAEC', number: 3, type: 'JPG' },
    ] });
    assert.deepEqual(answer.pages[0], { description: 'Error create page', number: 1 });
    assert.equal(answer.pages[1].blob, undefined);
    assert.match(answer.pages[1].description, /Base64/);
    assert.equal(answer.pages[2].blob.type, 'image/jpeg');
    assert.equal(answer.pages[2].blob.size, 3);
  });
});

test('concurrent calls go out one at a time, in call order, each with its own answer; a failed one blocks none', async () => {
  const host = new FakeHost({ pages: [{ type: 'jpg', bytes: jpeg(2000) }], sliceBytes: 500 });
  // Later requests answer faster: overlap would reorder them.
  let n = 10;
  const transport = new HostTransport(host, (m) => {
    if (m.command === 'scannerCapabilities') throw new Error('Native host has exited.');
    return n > 0 ? n-- : 0;
  });
  const client = new ScanClient({ transport });
  const [list, split, failed, removed, pages, files] = await Promise.all([
    client.listScanners(),
    client.scan({ dpi: 100 }, { as: 'split', contentId: 'A' }),
    client.capabilities(2).catch((e) => e),
    client.removeFiles(['/tmp/x.jpg']),
    client.scan({ dpi: 200 }, { as: 'pages', contentId: 'B' }),
    client.scan({ dpi: 300 }, { as: 'files', contentId: 'C' }),
  ]);
  assert.equal(transport.maxInFlight, 1);
  assert.equal(list.scanners[0].scannerName, 'Virtual');
  assert.equal(split.contentId, 'A');
  assert.equal(failed.kind, 'transport');
  assert.equal(removed.command, 'removeFiles');
  assert.equal(pages.contentId, 'B');
  assert.equal(files.contentId, 'C');
  // The split series' requests are contiguous, and calls follow in order.
  const commands = host.requests.map((r) => r.command);
  const slices = commands.filter((c) => c === 'scannerSplitProcessing').length;
  assert.ok(slices > 2);
  assert.deepEqual(commands, ['scannersList', ...Array(slices).fill('scannerSplitProcessing'), 'removeFiles', 'scannerProcessing', 'scannerProcessingFiles']);
  assert.equal(new Set(host.requests.map((r) => r.messageId)).size, 5, 'one id per call, shared by the series');
});

describe('native transport', () => {
  const cases = [
    {
      name: 'one port for many requests; host gone: pending request rejected with the browser text, next request reconnects',
      run: async (client, runtime) => {
        await client.listScanners();
        await client.listScanners();
        runtime.ports[0].dropNext = true;
        await assert.rejects(client.scan({}), { kind: 'transport', description: 'Native host has exited.' });
        await client.listScanners();
        assert.equal(runtime.ports.length, 2);
        assert.equal(runtime.oneShots, 0);
      },
    },
    {
      name: 'host gone inside a split series with two requests under way: both fail, nothing starts it again',
      pages: [{ type: 'jpg', bytes: jpeg(3000) }],
      run: async (client, runtime) => {
        runtime.host.sliceBytes = 500;
        const handle = runtime.host.handle.bind(runtime.host);
        runtime.host.handle = (r) => { const a = handle(r); runtime.ports[0].dropNext = true; return a; };
        await assert.rejects(client.scan({}, { as: 'split' }), { kind: 'transport', description: 'Native host has exited.' });
        assert.equal(runtime.host.requests.length, 1);
        assert.equal(runtime.ports.length, 1, 'nothing sent to a new host');
      },
    },
    {
      name: 'answer over 1 MiB is an error, not a hang',
      pages: [{ type: 'jpg', bytes: jpeg(900_000) }],
      run: async (client) => {
        await assert.rejects(client.scan({}, { as: 'pages' }), (e) => e.kind === 'transport' && /^Error when communicating with the native messaging host\. .*as: 'split'/.test(e.description));
      },
    },
    {
      name: 'no connectNative: one-shot messages, no progress asked for',
      opts: { connectNative: false },
      run: async (client, runtime) => {
        await client.scan({}, { as: 'files', onProgress: () => assert.fail('no progress over one-shot messages') });
        assert.equal(runtime.oneShots, 1);
        // One message comes back: a frame would take the answer's place.
        await client.transport.send({ messageId: 'x', command: 'scannerProcessing', progress: true });
        assert.deepEqual(runtime.host.requests.map((r) => 'progress' in r), [false, false]);
      },
    },
    {
      name: 'port refused before any answer: a list request falls back to one-shot',
      run: async (client, runtime) => {
        const p = client.listScanners();
        runtime.ports[0].dropNext = true;
        await p;
        assert.equal(runtime.oneShots, 1);
        assert.equal(client.transport.persistent, false);
      },
    },
    {
      name: 'port refused before any answer: a scan is not sent twice',
      run: async (client, runtime) => {
        const p = client.scan({});
        runtime.ports[0].dropNext = true;
        await assert.rejects(p, { kind: 'transport' });
        assert.equal(runtime.oneShots, 0);
        assert.equal(runtime.host.scansRun, 0);
      },
    },
    {
      name: 'host not found is reported, no fallback',
      opts: { notFound: true },
      run: async (client, runtime) => {
        await assert.rejects(client.listScanners(), { description: 'Specified native messaging host not found.' });
        assert.equal(runtime.oneShots, 0);
      },
    },
    {
      name: 'progress frames go to onProgress when asked for, and never stand for the answer',
      pages: [{ type: 'jpg', bytes: jpeg(10) }, { type: 'jpg', bytes: jpeg(20) }],
      run: async (client, runtime) => {
        const seen = [];
        const answer = await client.scan({}, { as: 'files', onProgress: (p) => seen.push([p.page, p.bytes]) });
        assert.equal(answer.files.length, 2);
        assert.deepEqual(seen, [[1, 10], [2, 20]]);
        await client.scan({}, { as: 'files' });
        assert.deepEqual(runtime.host.requests.map((r) => r.progress), [true, undefined]);
      },
    },
  ];
  for (const c of cases) {
    test(c.name, async () => {
      const runtime = new FakeRuntime(new FakeHost({ pages: c.pages ?? [{ type: 'jpg', bytes: jpeg(10) }] }), c.opts);
      const client = new ScanClient({ transport: new NativeTransport('h', { runtime }) });
      // Ports are made lazily: make the first one now so cases can arm it.
      client.transport.connect();
      await c.run(client, runtime);
    });
  }
});

test('capabilities: of the default scanner or one by number; always an object', async () => {
  const sent = [];
  const told = { resolutions: [150, 300], feeder: true };
  const transport = { persistent: true, send: async (m) => { sent.push(m); return { status: { result: 'success' }, ...(m.scannerId && { capabilities: told }) }; } };
  const client = new ScanClient({ transport });
  assert.deepEqual((await client.capabilities()).capabilities, {});
  assert.deepEqual((await client.capabilities(2)).capabilities, told);
  assert.deepEqual(sent.map((m) => [m.command, m.scannerId, 'scannerId' in m]), [['scannerCapabilities', undefined, false], ['scannerCapabilities', 2, true]]);
});
