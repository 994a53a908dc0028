// Pieces of the browser test: a static server, Debian's Chromium with the sample extension
// loaded and the host registered in the test's own profile, and the options page.
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { existsSync } from 'node:fs';
import { spawnSync } from 'node:child_process';
import { join, extname, normalize, sep } from 'node:path';
import { fileURLToPath } from 'node:url';

export const BROWSER_DIR = fileURLToPath(new URL('..', import.meta.url));
export const ROOT = join(BROWSER_DIR, '..');
// The extension as the build lays it out, with its copy of the client.
export const EXTENSION_DIR = process.env.LUMRA_EXTENSION_DIR ?? join(ROOT, 'build', 'browser-extension');
export const EXTENSION_ID = 'bebjjoghbeoiaaikohkeaamlnbghlpcd';
export const CHROMIUM = process.env.LUMRA_CHROMIUM ?? '/usr/bin/chromium';

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css', '.json': 'application/json', '.png': 'image/png' };

/** Serves `root` on 127.0.0.1 at a free port; resolves with {origin, close}. */
export async function serve(root = BROWSER_DIR) {
  const server = createServer(async (req, res) => {
    const path = normalize(join(root, decodeURIComponent(new URL(req.url, 'http://x').pathname)));
    try {
      const body = await readFile(path.endsWith(sep) ? join(path, 'index.html') : path);
      res.writeHead(200, { 'content-type': TYPES[extname(path) || '.html'] ?? 'application/octet-stream', 'cache-control': 'no-store' }).end(body);
    } catch {
      res.writeHead(404).end();
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { origin: `http://127.0.0.1:${server.address().port}`, close: () => new Promise((r) => server.close(r)) };
}

/** Registers the host in the profile through register.sh; env goes to its launcher. */
export function registerHost({ profile, host, env = {} }) {
  const args = [join(BROWSER_DIR, 'register.sh'), '--user-data-dir', profile, '--host', host];
  for (const [k, v] of Object.entries(env)) args.push('--env', `${k}=${v}`);
  const r = spawnSync('bash', args, { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`register.sh failed: ${r.stderr}`);
}

/** Launches headless Chromium with the extension; resolves with {context, worker}. */
export async function launch(profile) {
  if (!existsSync(CHROMIUM)) throw new Error(`no Chromium at ${CHROMIUM} (apt-get install chromium)`);
  const { chromium } = await import('playwright-core');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    ignoreDefaultArgs: ['--disable-extensions'],
    viewport: { width: 1100, height: 800 },
    args: [
      '--no-sandbox', '--disable-gpu',
      `--disable-extensions-except=${EXTENSION_DIR}`, `--load-extension=${EXTENSION_DIR}`,
      '--disable-background-networking', '--disable-component-update', '--disable-sync', '--no-first-run',
    ],
  });
  const worker = context.serviceWorkers().find((w) => w.url().startsWith(`chrome-extension://${EXTENSION_ID}/`))
    ?? await context.waitForEvent('serviceworker', { predicate: (w) => w.url().startsWith(`chrome-extension://${EXTENSION_ID}/`), timeout: 15_000 });
  return { context, worker };
}

/** Fills the extension's options page the way a user would. */
export async function allowOrigins(context, origins, { baseFolder = '', folderOrigins = [] } = {}) {
  const page = await context.newPage();
  await page.goto(`chrome-extension://${EXTENSION_ID}/options.html`);
  // The page fills its fields from storage once loaded; typing earlier would be overwritten.
  await page.waitForFunction(() => document.querySelector('#timeout').value !== '');
  await page.fill('#origins', origins.join('\n'));
  await page.fill('#basefolder', baseFolder);
  await page.fill('#folderorigins', folderOrigins.join('\n'));
  await page.click('#save');
  await page.waitForSelector('#status:has-text("Saved.")');
  await page.close();
}
