import { test, describe } from 'node:test';
import assert from 'node:assert/strict';
import { ScanClient, ScanError, NativeTransport, decodePages, mimeTypeOf } from './index.js';
import { FakeHost, FakeRuntime, sliceUtf8, utf8, hostJson } from '../testing/fake-host.js';

/** Transport that hands requests straight to a FakeHost, after a delay, and checks overlap. */
class HostTransport {
  constructor(host, { delay = () => 0 } = {}) {
    this.host = host;
    this.delay = delay;
    this.inFlight = 0;
    this.maxInFlight = 0;
    this.persistent = true;
    this.generation = 1;
  }

  async send(message) {
    this.inFlight++;
    this.maxInFlight = Math.max(this.maxInFlight, this.inFlight);
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
    { name: 'three-byte characters', contentId: '日本語のスキャン'.repeat(9), slice: 4 },
    { name: 'one slice', contentId: 'Größe 😀', slice: 1 << 20 },
  ];
  for (const c of cases) {
    test(c.name, async () => {
      const pages = [{ type: 'jpg', bytes: jpeg(120) }, { type: 'png', bytes: Uint8Array.of(0x89, 0x50, 0x4e, 0x47) }];
      const host = new FakeHost({ pages, sliceBytes: c.slice });
      const client = new ScanClient({ transport: new HostTransport(host) });
      const answer = await client.scan({ dpi: 150, format: { type: 'jpg' } }, { as: 'split', contentId: c.contentId });

      assert.equal(answer.contentId, c.contentId);
      assert.deepEqual(answer.settings, { dpi: 150, format: { type: 'jpg' } });
      assert.equal(answer.pages.length, 2);
      assert.deepEqual(await bytesOf(answer.pages[0].blob), pages[0].bytes);
      assert.equal(answer.pages[0].blob.type, 'image/jpeg');
      assert.deepEqual(await bytesOf(answer.pages[1].blob), pages[1].bytes);
      assert.equal(answer.pages[1].blob.type, 'image/png');
      assert.equal(host.registry.size, 0, 'series ran to its end');
      assert.equal(host.scansRun, 1);

      const [first, ...rest] = host.requests;
      assert.equal(first.settings.dpi, 150);
      const expectedSlices = sliceUtf8(utf8(hostJson(host.fullAnswers[0])), c.slice).length;
      assert.equal(host.requests.length, expectedSlices);
      for (const r of rest) assert.deepEqual(r, { messageId: first.messageId, command: 'scannerSplitProcessing' });
    });
  }

  test('slices cut between the halves of a surrogate pair still join', async () => {
    const full = { messageId: 'm', status: { result: 'success' }, pages: [], contentId: 'x😀y😀z' };
    const text = JSON.stringify(full);
    const cut = text.indexOf('😀') + 1; // between the two UTF-16 code units
    const slices = [text.slice(0, cut), text.slice(cut)];
    const transport = { persistent: true, send: async (m) => ({ messageId: m.messageId, status: { result: 'success' }, split: { last: slices.length === 1, part: slices.shift() } }) };
    const answer = await new ScanClient({ transport }).scan({}, { as: 'split' });
    assert.equal(answer.contentId, 'x😀y😀z');
  });

  test('real slice size from the request length keeps every answer under 1 MiB', async () => {
    const pages = Array.from({ length: 3 }, () => ({ type: 'jpg', bytes: jpeg(700_000) }));
    const host = new FakeHost({ pages });
    const runtime = new FakeRuntime(host);
    const client = new ScanClient({ transport: new NativeTransport('lumra.scan_host', { runtime }) });
    const answer = await client.scan({ dpi: 300 }, { as: 'split' });
    assert.equal(answer.pages.length, 3);
    assert.ok(runtime.answerSizes.length >= 3);
    for (const size of runtime.answerSizes) assert.ok(size <= 1048576, `answer of ${size} bytes`);
  });

  test('files read back through a split series', async () => {
    const pages = [{ type: 'tif', bytes: jpeg(5000) }];
    const host = new FakeHost({ pages, sliceBytes: 999 });
    const client = new ScanClient({ transport: new HostTransport(host) });
    const { files } = await client.scan({}, { as: 'files' });
    assert.deepEqual(files, [{ fileName: '/tmp/lumra_image_scan/page_0.tif' }]);
    const answer = await client.readFiles(files);
    assert.equal(answer.pages[0].blob.type, 'image/tiff');
    assert.deepEqual(await bytesOf(answer.pages[0].blob), pages[0].bytes);
    assert.equal(host.files.size, 0);
  });
});

describe('errors', () => {
  const cases = [
    {
      name: 'scan failure carries description and code',
      call: (c, host) => { host.failNextScan = { code: 4, description: 'Error open data source.' }; return c.scan({}, { as: 'pages' }); },
      want: { kind: 'host', code: 4, description: 'Error open data source.' },
    },
    {
      name: 'split scan failure still runs the series to its end',
      call: (c, host) => { host.failNextScan = { code: 7, description: 'Scan was cancelled' }; return c.scan({}, { as: 'split' }); },
      want: { kind: 'host', code: 7, description: 'Scan was cancelled' },
      after: (host) => assert.equal(host.registry.size, 0),
    },
    {
      name: 'removeFiles without a list is a usage error, nothing sent',
      call: (c) => c.removeFiles('page_0.jpg'),
      want: { kind: 'usage' },
      after: (host) => assert.equal(host.requests.length, 0),
    },
    {
      name: 'unknown scan mode',
      call: (c) => c.scan({}, { as: 'blobs' }),
      want: { kind: 'usage' },
    },
    {
      name: 'settings that are not an object',
      call: (c) => c.scan('300dpi', { as: 'pages' }),
      want: { kind: 'usage' },
    },
    {
      name: 'transport failure',
      transport: { persistent: true, send: async () => { throw new Error('Native host has exited.'); } },
      call: (c) => c.listScanners(),
      want: { kind: 'transport', description: 'Native host has exited.' },
    },
    {
      name: 'answer that is not an object',
      transport: { persistent: true, send: async () => [1] },
      call: (c) => c.listScanners(),
      want: { kind: 'transport' },
    },
    {
      name: 'split answer without a slice (request refused by the host)',
      transport: { persistent: true, send: async () => ({ status: { code: 0, description: 'JSON failed to parse', result: 'error' } }) },
      call: (c) => c.scan({}, { as: 'split' }),
      want: { kind: 'host', code: 0, description: 'JSON failed to parse' },
    },
    {
      name: 'endless empty slices',
      transport: { persistent: true, send: async () => ({ status: { result: 'success' }, split: { last: false, part: '' } }) },
      call: (c) => c.scan({}, { as: 'split' }),
      want: { kind: 'transport' },
    },
    {
      name: 'slices that are not JSON',
      transport: { persistent: true, send: async () => ({ status: { result: 'success' }, split: { last: true, part: '{"pages":' } }) },
      call: (c) => c.scan({}, { as: 'split' }),
      want: { kind: 'transport' },
    },
    {
      name: 'split over a one-shot transport',
      transport: { persistent: false, send: async () => { throw new Error('must not be sent'); } },
      call: (c) => c.readFiles(['/tmp/a.jpg']),
      want: { kind: 'usage' },
    },
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
      const client = new ScanClient({ transport: c.transport ?? new HostTransport(host) });
      await assert.rejects(c.call(client, host), (e) => {
        assert.ok(e instanceof ScanError, `got ${e}`);
        for (const [k, v] of Object.entries(c.want)) assert.equal(e[k], v, k);
        return true;
      });
      c.after?.(host);
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

  test('MIME types by page type', () => {
    const table = { jpg: 'image/jpeg', png: 'image/png', tif: 'image/tiff', bmp: 'image/bmp', gif: 'image/gif', jp2: 'image/jp2', unknow: 'application/octet-stream', '': 'application/octet-stream', 'x/page_0.jpg': 'application/octet-stream' };
    for (const [type, mime] of Object.entries(table)) assert.equal(mimeTypeOf(type), mime, type);
  });
});

describe('ordering', () => {
  test('concurrent calls go out one at a time, in call order, each with its own answer', async () => {
    const host = new FakeHost({ pages: [{ type: 'jpg', bytes: jpeg(2000) }], sliceBytes: 500 });
    // Later requests answer faster: overlap would reorder them.
    let n = 10;
    const transport = new HostTransport(host, { delay: () => (n > 0 ? n-- : 0) });
    const client = new ScanClient({ transport });
    host.failNextScan = null;
    const calls = [
      client.listScanners(),
      client.scan({ dpi: 100 }, { as: 'split', contentId: 'A' }),
      client.scan({}, { as: 'blobs' }).catch((e) => e),
      client.removeFiles(['/tmp/x.jpg']),
      client.scan({ dpi: 200 }, { as: 'pages', contentId: 'B' }),
      client.scan({ dpi: 300 }, { as: 'files', contentId: 'C' }),
    ];
    const [list, split, bad, removed, pages, files] = await Promise.all(calls);
    assert.equal(transport.maxInFlight, 1);
    assert.equal(list.scanners[0].scannerName, 'Virtual');
    assert.equal(split.contentId, 'A');
    assert.equal(bad.kind, 'usage');
    assert.equal(removed.command, 'removeFiles');
    assert.equal(pages.contentId, 'B');
    assert.equal(files.contentId, 'C');
    // The split series' requests are contiguous, and calls follow in order.
    const commands = host.requests.map((r) => r.command);
    const slices = commands.filter((c) => c === 'scannerSplitProcessing').length;
    assert.ok(slices > 2);
    assert.deepEqual(commands, ['scannersList', ...Array(slices).fill('scannerSplitProcessing'), 'removeFiles', 'scannerProcessing', 'scannerProcessingFiles']);
    const ids = new Set(host.requests.map((r) => r.messageId));
    assert.equal(ids.size, 5, 'one id per call, shared by the series');
  });

  test('a failed call does not block the next ones', async () => {
    const host = new FakeHost();
    const client = new ScanClient({ transport: new HostTransport(host) });
    host.failNextScan = { code: 1, description: 'boom' };
    const [a, b] = await Promise.allSettled([client.scan({}), client.listScanners()]);
    assert.equal(a.status, 'rejected');
    assert.equal(b.status, 'fulfilled');
  });
});

describe('native transport', () => {
  test('keeps one port for many requests', async () => {
    const runtime = new FakeRuntime(new FakeHost());
    const client = new ScanClient({ transport: new NativeTransport('h', { runtime }) });
    await client.listScanners();
    await client.listScanners();
    assert.equal(runtime.ports.length, 1);
    assert.equal(runtime.oneShots, 0);
  });

  const cases = [
    {
      name: 'host gone: pending request rejected with the browser text, next request reconnects',
      run: async (client, runtime) => {
        await client.listScanners();
        runtime.ports[0].dropNext = true;
        await assert.rejects(client.scan({}), { kind: 'transport', description: 'Native host has exited.' });
        await client.listScanners();
        assert.equal(runtime.ports.length, 2);
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
      name: 'no connectNative: one-shot messages, split refused',
      opts: { connectNative: false },
      run: async (client, runtime) => {
        const list = await client.listScanners();
        assert.equal(list.scanners.length, 1);
        assert.equal(runtime.oneShots, 1);
        await assert.rejects(client.scan({}, { as: 'split' }), { kind: 'usage' });
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

describe('capabilities', () => {
  const cases = [
    { name: 'default scanner', scannerId: undefined, told: { colors: ['gray'], resolutions: { min: 50, max: 600, step: 50 } } },
    { name: 'scanner by number', scannerId: 2, told: { resolutions: [150, 300], feeder: true } },
    { name: 'nothing told', scannerId: 1, told: undefined },
  ];
  for (const c of cases) {
    test(c.name, async () => {
      const sent = [];
      const transport = {
        persistent: true,
        send: async (m) => {
          sent.push(m);
          const answer = { messageId: m.messageId, command: m.command, status: { result: 'success' } };
          if (c.told) answer.capabilities = c.told;
          return answer;
        },
      };
      const answer = await new ScanClient({ transport }).capabilities(c.scannerId);
      assert.equal(sent[0].command, 'scannerCapabilities');
      assert.equal(sent[0].scannerId, c.scannerId);
      assert.equal('scannerId' in sent[0], c.scannerId !== undefined);
      assert.deepEqual(answer.capabilities, c.told ?? {});
    });
  }
});

describe('progress frames', () => {
  // A port that answers every request with `frames` progress frames, then the answer.
  const runtimeWith = (frames) => ({
    lastError: undefined,
    sent: [],
    connectNative() {
      const rt = this;
      const listeners = [];
      return {
        onMessage: { addListener: (f) => listeners.push(f) },
        onDisconnect: { addListener() {} },
        postMessage(m) {
          rt.sent.push(m);
          setTimeout(() => {
            for (let page = 1; page <= frames; page++) {
              for (const f of listeners) f({ command: m.command, messageId: m.messageId, progress: { bytes: 10 * page, page, state: 'saved' } });
            }
            for (const f of listeners) f({ command: m.command, messageId: m.messageId, files: [{ fileName: '/p/page_0.jpg' }], status: { result: 'success' } });
          }, 0);
        },
        disconnect() {},
      };
    },
  });
  for (const c of [{ name: 'asked for', onProgress: true, frames: 3 }, { name: 'not asked for', onProgress: false, frames: 0 }]) {
    test(c.name, async () => {
      const runtime = runtimeWith(c.frames);
      const client = new ScanClient({ transport: new NativeTransport('host', { runtime }) });
      const seen = [];
      const answer = await client.scan({}, { as: 'files', onProgress: c.onProgress ? (p) => seen.push(p.page) : undefined });
      assert.deepEqual(answer.files, [{ fileName: '/p/page_0.jpg' }]);
      assert.deepEqual(seen, c.onProgress ? [1, 2, 3] : []);
      assert.equal(runtime.sent[0].progress, c.onProgress ? true : undefined);
      // The next request is matched with its own answer, not a stray frame.
      const next = await client.scan({}, { as: 'files' });
      assert.equal(next.status.result, 'success');
    });
  }
  test('a one-shot transport never asks for progress', async () => {
    const sent = [];
    const runtime = { lastError: undefined, sendNativeMessage: (host, m, reply) => { sent.push(m); reply({ status: { result: 'success' }, files: [] }); } };
    const client = new ScanClient({ transport: new NativeTransport('host', { runtime }) });
    await client.scan({}, { as: 'files', onProgress: () => assert.fail('no progress over one-shot messages') });
    await new NativeTransport('host', { runtime }).send({ messageId: 'x', command: 'scannerProcessing', progress: true });
    assert.equal('progress' in sent[0], false);
    assert.equal('progress' in sent[1], false);
  });
});

