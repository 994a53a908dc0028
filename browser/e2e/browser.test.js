// The kit end to end: Debian's Chromium, the sample extension, the demo page and the real
// host with the virtual scanner behind it.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readdirSync, writeFileSync, mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { serve, registerHost, launch, allowOrigins, ROOT } from './harness.js';

const HOST = process.env.LUMRA_HOST_BIN ?? join(ROOT, 'build', 'bin', 'lumra-scan-host');
const OUT = process.env.LUMRA_BROWSER_OUT ?? join(ROOT, 'build', 'browser-test');
const MAX_ANSWER = 1048576;

/** A4 in pixels at a resolution, as a scanner rounds it (±2 px allowed). */
const a4 = (dpi) => ({ width: (210 / 25.4) * dpi, height: (297 / 25.4) * dpi });

let work, allowed, other, context, worker, page;

/** Decodes every page image shown in the demo with the browser's own decoder. */
async function shownImages(p) {
  return p.$$eval('#pages .page img', (imgs) => Promise.all(imgs.map(async (img) => {
    await img.decode();
    const blob = await (await fetch(img.src)).blob();
    const bitmap = await createImageBitmap(blob);
    // Content check on a small copy: a scanned page is not one flat colour.
    const canvas = new OffscreenCanvas(64, 90);
    const g = canvas.getContext('2d');
    g.drawImage(bitmap, 0, 0, 64, 90);
    const px = g.getImageData(0, 0, 64, 90).data;
    const values = new Set();
    for (let i = 0; i < px.length; i += 4) values.add((px[i] >> 4) << 8 | (px[i + 1] >> 4) << 4 | px[i + 2] >> 4);
    return { width: bitmap.width, height: bitmap.height, type: blob.type, bytes: blob.size, colours: values.size };
  })));
}

async function scanInDemo(p, { dpi, mode, color = 'color', format = 'jpg' }) {
  await p.selectOption('#dpi', String(dpi));
  await p.selectOption('#mode', mode);
  await p.selectOption('#color', color);
  await p.selectOption('#format', format);
  await p.check('#feeder');
  const before = await p.locator('#pages .page').count();
  await p.click('#scan');
  await p.waitForFunction((n) => document.querySelectorAll('#pages .page').length > n || document.querySelector('#status').dataset.state === 'error', before, { timeout: 120_000 });
  await p.waitForFunction(() => !document.querySelector('#progress').textContent);
  const status = await p.textContent('#status');
  assert.doesNotMatch(status, /failed/i, status);
}

const relayStats = () => worker.evaluate(() => globalThis.lumraRelay.stats.splice(0));
const hostTmpFiles = () => {
  const dir = join(work, 'host-tmp', `lumra-${process.getuid()}`, 'lumra_image_scan');
  return existsSync(dir) ? readdirSync(dir) : [];
};

describe('browser kit in Chromium', { timeout: 300_000 }, () => {
  before(async () => {
    assert.ok(existsSync(HOST), `no host at ${HOST}: build it first (./run build)`);
    work = mkdtempSync(join(tmpdir(), 'lumra-browser-'));
    for (const sub of ['profile', 'host-tmp']) mkdirSync(join(work, sub));
    // The usual scanner first, then a flatbed that offers little.
    const scenario = join(work, 'scenario.txt');
    writeFileSync(scenario, '[source]\nname = Lumra Virtual Scanner\n[source]\nname = Lumra Flatbed\n'
      + 'resolutions = 100 200 300\npixel_types = gray bw\nhas_feeder = no\nduplex_kind = none\n');
    const env = { TMPDIR: join(work, 'host-tmp'), LUMRA_VIRTUAL_SCENARIO: scenario };
    // An installed host through the system's manifest gets the browser's environment.
    if (process.env.LUMRA_SYSTEM_MANIFEST) Object.assign(process.env, env);
    else registerHost({ profile: join(work, 'profile'), host: HOST, env });
    allowed = await serve();
    other = await serve();
    ({ context, worker } = await launch(join(work, 'profile')));
    await allowOrigins(context, [allowed.origin], { baseFolder: join(work, 'scans'), folderOrigins: [allowed.origin] });
    page = await context.newPage();
    await page.goto(`${allowed.origin}/demo/`);
  });

  after(async () => {
    await context?.close();
    await allowed?.close();
    await other?.close();
    if (work && !process.env.LUMRA_KEEP_WORK) rmSync(work, { recursive: true, force: true });
  });

  test('lists the scanners and builds the option lists from what the chosen one offers', async () => {
    await page.waitForFunction(() => document.querySelector('#status').dataset.state !== 'starting', null, { timeout: 30_000 });
    assert.equal(await page.getAttribute('#status', 'data-state'), 'ready', await page.textContent('#status'));
    const lists = () => page.evaluate(() => ({
      scanners: [...document.querySelectorAll('#scanner option')].map((o) => o.textContent),
      dpi: [...document.querySelectorAll('#dpi option')].map((o) => o.value),
      color: [...document.querySelectorAll('#color option')].map((o) => o.value),
      feeder: document.querySelector('#feeder').disabled,
      duplex: document.querySelector('#duplex').disabled,
    }));
    const scanners = ['Lumra Virtual Scanner', 'Lumra Flatbed'];
    await page.selectOption('#scanner', { label: 'Lumra Flatbed' });
    await page.waitForFunction(() => document.querySelectorAll('#dpi option').length === 3);
    assert.deepEqual(await lists(), { scanners, dpi: ['100', '200', '300'], color: ['gray', 'bw'], feeder: true, duplex: true });
    await page.selectOption('#scanner', { label: 'Lumra Virtual Scanner' });
    await page.waitForFunction(() => document.querySelectorAll('#dpi option').length > 3);
    // A range of 25 to 1200 dpi in steps of 1: the usual values inside it.
    assert.deepEqual(await lists(), { scanners, dpi: ['75', '100', '150', '200', '300', '400', '600', '1200'], color: ['color', 'gray', 'bw'], feeder: false, duplex: false });
  });

  test('scans three pages as one answer', async () => {
    await relayStats();
    await scanInDemo(page, { dpi: 75, mode: 'pages', color: 'gray' });
    const images = await shownImages(page);
    assert.equal(images.length, 3);
    for (const img of images) {
      assert.equal(img.type, 'image/jpeg');
      assert.ok(Math.abs(img.width - a4(75).width) <= 2 && Math.abs(img.height - a4(75).height) <= 2, `${img.width}x${img.height}`);
      assert.ok(img.colours > 1, 'page has content');
    }
    const stats = await relayStats();
    assert.deepEqual(stats.map((s) => s.command), ['scannerProcessing']);
    assert.ok(stats[0].bytes < MAX_ANSWER);
    assert.deepEqual(hostTmpFiles(), [], 'the host deleted the pages it sent');
  });

  test('scans three colour pages at 300 dpi into one PDF, as a split series with progress', async () => {
    await scanInDemo(page, { dpi: 300, mode: 'split', format: 'pdf' });
    assert.deepEqual(await page.$$eval('#pages .page', (c) => c.map((x) => x.dataset.mime)), ['image/jpeg', 'image/jpeg', 'image/jpeg', 'application/pdf']);
    const pdf = await page.evaluate(async () => {
      const text = new TextDecoder('latin1').decode(await window.lumraDemo.lastAnswer.pages[0].blob.arrayBuffer());
      const boxes = [...text.matchAll(/\/MediaBox\s*\[\s*0\s+0\s+([\d.]+)\s+([\d.]+)\s*\]/g)].map((m) => [Number(m[1]), Number(m[2])]);
      return { head: text.slice(0, 5), tail: text.trimEnd().slice(-5), pages: (text.match(/\/Type\s*\/Page\b/g) ?? []).length, boxes };
    });
    assert.deepEqual([pdf.head, pdf.tail, pdf.pages], ['%PDF-', '%%EOF', 3]);
    // Each page sized from its resolution: A4 in points.
    for (const [w, h] of pdf.boxes) assert.ok(Math.abs(w - 595.3) < 2 && Math.abs(h - 841.9) < 2, `${w} x ${h}`);
    assert.equal(pdf.boxes.length, 3);
    const stats = await relayStats();
    assert.ok(stats.every((s) => s.command === 'scannerSplitProcessing'));
    assert.ok(stats.length > 1, 'three colour pages at 300 dpi do not fit one answer');
    for (const s of stats) assert.ok(s.bytes < MAX_ANSWER, `answer of ${s.bytes} bytes`);
    // The host's word of every page, then the slices as they came; the bar is gone.
    const progress = await page.evaluate(() => window.lumraDemo.progress);
    assert.deepEqual(progress.slice(0, 3).map((p) => [p.state, p.page]), [['saved', 1], ['saved', 2], ['saved', 3]]);
    const received = progress.slice(3).map((p) => p.state === 'received' && p.bytes);
    assert.equal(received.length, stats.length);
    assert.ok(received.every((b, i) => b > (received[i - 1] ?? 0)), 'growing');
    assert.equal(await page.isHidden('#bar'), true);
    assert.deepEqual(hostTmpFiles(), []);
    mkdirSync(OUT, { recursive: true });
    await page.screenshot({ path: join(OUT, 'demo-after-scan.png'), fullPage: true });
  });

  test('scans to files, fetches one, deletes the others', async () => {
    await page.click('#clear');
    await scanInDemo(page, { dpi: 100, mode: 'files' });
    const files = await page.$$eval('#pages .page[data-file]', (cards) => cards.map((c) => c.dataset.file));
    assert.equal(files.length, 3);
    for (const f of files) assert.ok(existsSync(f), f);

    const cards = page.locator('#pages .page');
    await cards.nth(0).getByRole('button', { name: 'Fetch' }).click();
    await page.waitForSelector('#pages .page:nth-child(1) img');
    const [fetched] = await shownImages(page);
    assert.equal(fetched.type, 'image/jpeg');
    assert.equal(existsSync(files[0]), false, 'the host deleted the file it sent');

    await cards.nth(2).getByRole('button', { name: 'Delete' }).click();
    await cards.nth(1).getByRole('button', { name: 'Delete' }).click();
    await page.waitForFunction(() => document.querySelectorAll('#pages .page').length === 1);
    for (const f of files) assert.equal(existsSync(f), false, f);
  });

  test('scans into a folder inside the base folder of the options, never outside it', async () => {
    const inside = join(work, 'scans', 'today');
    const outside = join(work, 'outside');
    mkdirSync(join(work, 'scans'));
    const result = await page.evaluate(async ({ inside, outside }) => {
      const client = window.lumraDemo.client;
      const out = {};
      const { files } = await client.scan({ dpi: 50, color: 'gray', feeder: false }, { as: 'files', workingDirectory: inside });
      out.files = files.map((f) => f.fileName);
      for (const [name, dir] of [['outside', outside], ['climbing out', `${inside}/../../outside`], ['relative', 'outside']]) {
        out[name] = await client.scan({ dpi: 50 }, { as: 'files', workingDirectory: dir }).then(() => 'accepted', (e) => e.kind);
      }
      await client.removeFiles(files);
      return out;
    }, { inside, outside });
    assert.equal(result.files.length, 1);
    assert.ok(result.files[0].startsWith(`${inside}/page_0.`), result.files[0]);
    assert.deepEqual([result.outside, result['climbing out'], result.relative], ['refused', 'refused', 'refused']);
    assert.equal(existsSync(outside), false);
    assert.deepEqual(readdirSync(inside), []);
  });

  test('native transport in the worker: one-shot messages and a missing host, with the browser texts', async () => {
    const result = await worker.evaluate(async () => {
      const relay = globalThis.lumraRelay;
      relay.transport.close(); // one host at a time: let go of the relay's
      const client = (name, runtime) => new relay.client.constructor({ transport: new relay.transport.constructor(name, { runtime }) });
      const kindOf = (promise) => promise.then(() => 'accepted', (e) => `${e.kind}: ${e.description}`);
      const oneShotRuntime = {
        sendNativeMessage: chrome.runtime.sendNativeMessage.bind(chrome.runtime),
        get lastError() { return chrome.runtime.lastError; },
      };
      const oneShot = client('lumra.scan_host', oneShotRuntime);
      return {
        persistent: oneShot.transport.persistent,
        scanners: (await oneShot.listScanners()).scanners.length,
        split: (await kindOf(oneShot.scan({}, { as: 'split' }))).split(':')[0],
        port: await kindOf(client('lumra.no_such_host', chrome.runtime).listScanners()),
        oneShot: await kindOf(client('lumra.no_such_host', oneShotRuntime).listScanners()),
      };
    });
    const missing = 'transport: Specified native messaging host not found.';
    assert.deepEqual(result, { persistent: false, scanners: 2, split: 'usage', port: missing, oneShot: missing });
  });

  test('refuses a page from an origin that is not allowed', async () => {
    const stranger = await context.newPage();
    try {
      await stranger.goto(`${other.origin}/demo/`);
      await stranger.waitForFunction(() => document.querySelector('#status').dataset.state === 'error');
      assert.match(await stranger.textContent('#status'), /not allowed/);
      const kind = await stranger.evaluate(() => window.lumraDemo.client.listScanners().then(() => 'accepted', (e) => e.kind));
      assert.equal(kind, 'refused');
      assert.equal(await stranger.isDisabled('#scan'), true);
    } finally {
      await stranger.close();
    }
  });
});
