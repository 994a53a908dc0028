#!/usr/bin/env node
// Figures of the browser path: a 20-page colour A4 300 dpi JPEG job from request to the
// last Blob in a page, as one answer ('pages') and as a split series ('split'), and the
// same job sent straight to the host over pipes, which gives the host's own share. Both
// ask for progress; "transfer" is the time from the first slice to the end, which leaves
// out the scan (the part that other work on the machine disturbs most). Mode 'floor' runs the
// split series through the browser against a host that replays frames recorded from the
// real one at once: what the browser alone costs for those bytes.
//   LUMRA_BENCH_MODES=pages,split|floor node browser/bench/transport.js [runs=3] [pages=20] [dpi=300]
import { spawn } from 'node:child_process';
import { writeFileSync, rmSync, mkdirSync, mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { fileURLToPath } from 'node:url';
import { dirname, join } from 'node:path';
import { serve, registerHost, launch, allowOrigins, ROOT } from '../e2e/harness.js';

const RUNS = Number(process.argv[2] ?? 3);
const PAGES = Number(process.argv[3] ?? 20);
const HOST = process.env.LUMRA_HOST_BIN ?? join(ROOT, 'build', 'bin', 'lumra-scan-host');
const SETTINGS = { dpi: Number(process.argv[4] ?? 300), color: 'color', feeder: true, format: { type: 'jpg', quality: 80 } };

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const ms = (x) => `${x.toFixed(0)} ms`;

/** Speaks frames with a host process started like the browser starts it. */
class DirectHost {
  constructor(env, frames = null) {
    this.frames = frames;
    this.child = spawn(HOST, ['chrome-extension://bench/'], { cwd: dirname(HOST), env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'ignore'] });
    this.buffer = Buffer.alloc(0);
    this.waiting = null;
    this.child.stdout.on('data', (c) => { this.buffer = Buffer.concat([this.buffer, c]); this.pump(); });
  }

  pump() {
    while (this.waiting && this.buffer.length >= 4) {
      const n = this.buffer.readUInt32LE(0);
      if (this.buffer.length < 4 + n) return;
      const body = this.buffer.subarray(4, 4 + n);
      this.buffer = this.buffer.subarray(4 + n);
      this.frames?.push(Buffer.from(this.buffer.buffer, this.buffer.byteOffset - 4 - n, 4 + n));
      const answer = JSON.parse(body.toString('utf8'));
      if (answer.progress && !answer.status) continue;
      const w = this.waiting;
      this.waiting = null;
      w({ bytes: n, answer });
    }
  }

  send(message) {
    const body = Buffer.from(JSON.stringify(message), 'utf8');
    const head = Buffer.alloc(4);
    head.writeUInt32LE(body.length);
    return new Promise((resolve) => { this.waiting = resolve; this.child.stdin.write(Buffer.concat([head, body])); this.pump(); });
  }

  /** Ends the host's input; resolves once it exited and freed its single-instance lock. */
  close() {
    const done = this.child.exitCode !== null || this.child.signalCode !== null;
    const exited = done ? Promise.resolve() : new Promise((r) => this.child.once('exit', r));
    this.child.stdin.end();
    return exited;
  }
}

async function direct(env, command, id, frames = null) {
  let host, started, bytes, answer;
  // The browser's host may still be on its way out, holding the single-instance lock.
  for (let attempt = 1; ; attempt++) {
    host = new DirectHost(env, frames);
    started = performance.now();
    ({ bytes, answer } = await host.send({ messageId: id, command, settings: SETTINGS, progress: true }));
    if (answer.status?.description !== 'The application is already running' || attempt === 50) break;
    await host.close();
    frames?.splice(0);
    await new Promise((r) => setTimeout(r, 100));
  }
  const firstSlice = performance.now();
  let maxBytes = bytes, requests = 1;
  const parts = [];
  while (answer.split) {
    parts.push(answer.split.part);
    if (answer.split.last) break;
    ({ bytes, answer } = await host.send({ messageId: id, command }));
    maxBytes = Math.max(maxBytes, bytes);
    requests++;
  }
  const full = parts.length ? JSON.parse(parts.join('')) : answer;
  const elapsed = performance.now() - started;
  await host.close();
  if (full.status?.result !== 'success') throw new Error(`host: ${JSON.stringify(full.status)}`);
  return { elapsed, transfer: performance.now() - firstSlice, maxBytes, requests, pages: full.pages.length, pageBytes: full.pages.reduce((s, p) => s + p.content.length * 0.75, 0) };
}

async function main() {
  const work = mkdtempSync(join(tmpdir(), 'lumra-bench-'));
  for (const d of ['profile', 'host-tmp']) mkdirSync(join(work, d));
  const scenario = join(work, 'scenario.txt');
  writeFileSync(scenario, `pages = ${PAGES}\n`);
  // No SANE backend: their network probes take seconds at every opening of the manager,
  // which would hide the browser's share.
  const saneConfig = join(work, 'sane');
  mkdirSync(saneConfig);
  writeFileSync(join(saneConfig, 'dll.conf'), '');
  const env = { TMPDIR: join(work, 'host-tmp'), LUMRA_VIRTUAL_SCENARIO: scenario, SANE_CONFIG_DIR: saneConfig };
  const modes = (process.env.LUMRA_BENCH_MODES ?? 'pages,split').split(',');
  if (modes.includes('floor')) {
    if (modes.length > 1) throw new Error("mode 'floor' runs alone: it registers another host");
    const frames = [];
    await direct(env, 'scannerSplitProcessing', 'bench-recorded', frames);
    writeFileSync(join(work, 'frames'), Buffer.concat(frames.filter((f) => !JSON.parse(f.subarray(4)).progress)));
    registerHost({
      profile: join(work, 'profile'),
      host: fileURLToPath(new URL('replay-host.js', import.meta.url)),
      env: { LUMRA_REPLAY_FRAMES: join(work, 'frames'), LUMRA_REPLAY_ID: 'bench-recorded' },
    });
  } else {
    registerHost({ profile: join(work, 'profile'), host: HOST, env });
  }
  const server = await serve();
  const { context, worker } = await launch(join(work, 'profile'));
  try {
    await allowOrigins(context, [server.origin]);
    const page = await context.newPage();
    await page.goto(`${server.origin}/demo/`);
    await page.waitForFunction(() => document.querySelector('#status').dataset.state !== 'starting');

    console.log(`${PAGES}-page colour A4 ${SETTINGS.dpi} dpi JPEG q${SETTINGS.format.quality}, median of ${RUNS} runs`);
    for (const mode of modes) {
      const as = mode === 'floor' ? 'split' : mode;
      const command = as === 'split' ? 'scannerSplitProcessing' : 'scannerProcessing';
      const browser = [], host = [], relay = [], browserTransfer = [], hostTransfer = [];
      let info = null, failure = null;
      for (let r = 0; r < RUNS; r++) {
        await worker.evaluate(() => globalThis.lumraRelay.stats.splice(0));
        const result = await page.evaluate(async ({ settings, as }) => {
          const t0 = performance.now();
          let firstSlice = null;
          const onProgress = (p) => { if (p.state === 'received') firstSlice ??= performance.now(); };
          try {
            const answer = await window.lumraDemo.client.scan(settings, { as, onProgress });
            const blobs = answer.pages.filter((p) => p.blob);
            const end = performance.now();
            return { ms: end - t0, transfer: end - (firstSlice ?? t0), pages: blobs.length, bytes: blobs.reduce((s, p) => s + p.blob.size, 0) };
          } catch (e) {
            return { ms: performance.now() - t0, error: `${e.kind}: ${e.description}` };
          }
        }, { settings: SETTINGS, as });
        // The host runs once per session: the extension lets go of it before the direct run.
        const stats = await worker.evaluate(() => { globalThis.lumraRelay.transport.close(); return globalThis.lumraRelay.stats.splice(0); });
        if (result.error) { failure = result.error; break; }
        browser.push(result.ms);
        browserTransfer.push(result.transfer);
        relay.push(stats.reduce((s, x) => s + x.ms, 0));
        info = { ...result, requests: stats.length, maxBytes: Math.max(...stats.map((s) => s.bytes)) };
        const d = await direct(env, command, `bench-${as}-${r}`);
        host.push(d.elapsed);
        hostTransfer.push(d.transfer);
      }
      if (failure) {
        const d = await direct(env, command, `bench-${as}-size`);
        console.log(`  as ${as}: refused by the browser (${failure}); the host's answer is ${(d.maxBytes / 1048576).toFixed(1)} MiB, over the 1 MiB limit of native messages`);
        console.log(`    host alone: ${ms(d.elapsed)} for ${d.pages} pages`);
        continue;
      }
      const b = median(browser), h = median(host), w = median(relay);
      if (mode === 'floor') {
        console.log(`  as split, from a host that replays the real host's recorded frames at once: ${ms(b)} request to last Blob, ${ms(median(browserTransfer))} from the first slice`);
        console.log(`    the real host alone over pipes: ${ms(h)}, ${ms(median(hostTransfer))} from the first slice; the browser's floor is ${(b / h).toFixed(2)} x the host alone`);
        continue;
      }
      console.log(`  as ${as}: ${ms(b)} request to last Blob, ${(info.pages / (b / 1000)).toFixed(2)} pages/s, ${info.requests} host answers (largest ${(info.maxBytes / 1024).toFixed(0)} KiB), ${(info.bytes / 1048576).toFixed(1)} MiB of JPEG`);
      console.log(`    host alone over pipes: ${ms(h)} (${(100 * h / b).toFixed(0)} %); browser transport and decoding: ${ms(b - h)} (${(100 * (b - h) / b).toFixed(0)} %)`);
      console.log(`    of which native messaging (worker round trips less host): ${ms(Math.max(0, w - h))}; extension messaging, Base64 and Blobs in the page: ${ms(b - w)}`);
      console.log(`    ratio browser / host alone: ${(b / h).toFixed(2)}; transfer after the scan: ${ms(median(browserTransfer))} in the browser, ${ms(median(hostTransfer))} over pipes`);
    }
  } finally {
    await context.close();
    await server.close();
    rmSync(work, { recursive: true, force: true });
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
