import { test, describe } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, writeFileSync, chmodSync, chownSync, readFileSync, existsSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';

const SCRIPT = new URL('./register.sh', import.meta.url).pathname;
const SAMPLE_ID = 'bebjjoghbeoiaaikohkeaamlnbghlpcd';
const OTHER_ID = 'abcdefghijklmnopabcdefghijklmnop';

function sandbox() {
  const home = mkdtempSync(join(tmpdir(), 'lumra-register-'));
  const host = join(home, 'bin dir', 'lumra-scan-host');
  spawnSync('mkdir', ['-p', join(home, 'bin dir')]);
  writeFileSync(host, '#!/bin/sh\necho "$@" "$PWD" "$LUMRA_X"\n');
  chmodSync(host, 0o755);
  const run = (...args) => spawnSync('bash', [SCRIPT, '--host', host, ...args], {
    env: { PATH: process.env.PATH, HOME: home }, encoding: 'utf8',
  });
  const manifest = (rel) => JSON.parse(readFileSync(join(home, rel, 'lumra.scan_host.json'), 'utf8'));
  return { home, host, run, manifest, done: () => rmSync(home, { recursive: true, force: true }) };
}

const DIRS = {
  chrome: '.config/google-chrome/NativeMessagingHosts',
  chromium: '.config/chromium/NativeMessagingHosts',
  edge: '.config/microsoft-edge/NativeMessagingHosts',
  firefox: '.mozilla/native-messaging-hosts',
};

describe('register.sh', () => {
  const cases = [
    {
      name: 'default: every Chromium-family browser, the sample extension only, Firefox skipped',
      args: [],
      written: { chrome: [SAMPLE_ID], chromium: [SAMPLE_ID], edge: [SAMPLE_ID] },
      absent: ['firefox'],
    },
    {
      name: 'given ids only',
      args: ['--browser', 'chromium,firefox', '--extension-id', OTHER_ID, '--firefox-id', 'scan@lumra.example'],
      written: { chromium: [OTHER_ID], firefox: ['scan@lumra.example'] },
      absent: ['chrome', 'edge'],
    },
    { name: 'bad Chrome id', args: ['--extension-id', 'ABC'], fails: /not a Chrome extension id/ },
    { name: 'bad Firefox id', args: ['--browser', 'firefox', '--firefox-id', 'x y'], fails: /not a Firefox extension id/ },
    { name: 'Firefox asked for without an id', args: ['--browser', 'firefox'], fails: /needs --firefox-id/ },
    { name: 'unknown browser', args: ['--browser', 'opera'], fails: /unknown browser/ },
    { name: 'host name with capitals', args: ['--name', 'Lumra.Host'], fails: /host name/ },
    { name: 'missing host', args: ['--host', '/nonexistent/host'], fails: /no host at/ },
    { name: '--system, host in a folder others can write', root: true, args: ['--system'], prepare: (s) => chmodSync(dirname(s.host), 0o777), fails: /only root can change/ },
    { name: '--system, host a user owns', root: true, args: ['--system'], prepare: (s) => chownSync(s.host, 65534, 65534), fails: /only root can change/ },
  ];
  for (const c of cases) {
    test(c.name, { skip: c.root && process.getuid() !== 0 && 'needs root' }, () => {
      const s = sandbox();
      const umask = process.umask(0o002); // a umask that lets the group write
      try {
        c.prepare?.(s);
        const r = s.run(...c.args);
        if (c.fails) {
          assert.notEqual(r.status, 0);
          assert.match(r.stderr, c.fails);
          for (const d of Object.values(DIRS)) assert.equal(existsSync(join(s.home, d)), false);
          return;
        }
        assert.equal(r.status, 0, r.stderr);
        for (const [browser, ids] of Object.entries(c.written)) {
          const { name, type, path, allowed_origins: origins, allowed_extensions: extensions } = s.manifest(DIRS[browser]);
          const firefox = browser === 'firefox';
          assert.deepEqual({ name, type, path, origins, extensions }, {
            name: 'lumra.scan_host', type: 'stdio', path: s.host,
            origins: firefox ? undefined : ids.map((id) => `chrome-extension://${id}/`), extensions: firefox ? ids : undefined,
          });
          assert.equal(statSync(join(s.home, DIRS[browser], 'lumra.scan_host.json')).mode & 0o777, 0o644);
        }
        for (const b of c.absent) assert.equal(existsSync(join(s.home, DIRS[b], 'lumra.scan_host.json')), false, b);
      } finally {
        process.umask(umask);
        s.done();
      }
    });
  }

  test('a profile folder with a launcher that sets the environment, then unregister', () => {
    const s = sandbox();
    try {
      const profile = join(s.home, 'profile');
      let r = s.run('--user-data-dir', profile, '--env', "LUMRA_X=it's set");
      assert.equal(r.status, 0, r.stderr);
      const m = s.manifest('profile/NativeMessagingHosts');
      assert.equal(m.path, join(profile, 'NativeMessagingHosts', 'lumra.scan_host.sh'));
      const out = spawnSync(m.path, ['chrome-extension://x/'], { encoding: 'utf8', cwd: '/' });
      assert.equal(out.stdout.trim(), `chrome-extension://x/ ${join(s.home, 'bin dir')} it's set`);
      assert.equal(existsSync(join(s.home, DIRS.chromium)), false, 'nothing outside the profile');

      r = s.run('--user-data-dir', profile, '--unregister');
      assert.equal(r.status, 0, r.stderr);
      assert.equal(existsSync(join(profile, 'NativeMessagingHosts', 'lumra.scan_host.json')), false);
      assert.equal(existsSync(m.path), false);
    } finally {
      s.done();
    }
  });
});
