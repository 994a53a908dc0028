import { DEFAULT_OPTIONS, normalizeOrigin } from './relay.js';

const $ = (id) => document.getElementById(id);

async function load() {
  const { options = {} } = await chrome.storage.local.get('options');
  const o = { ...DEFAULT_OPTIONS, ...options };
  $('origins').value = o.allowedOrigins.join('\n');
  $('workdir').checked = o.allowWorkingDirectory;
}

async function save() {
  const lines = $('origins').value.split('\n').map((l) => l.trim()).filter(Boolean);
  const bad = lines.filter((l) => !normalizeOrigin(l));
  if (bad.length) {
    $('status').className = 'error';
    $('status').textContent = `Not an http or https origin: ${bad.join(', ')}`;
    return;
  }
  const allowedOrigins = [...new Set(lines.map(normalizeOrigin))];
  await chrome.storage.local.set({ options: { allowedOrigins, allowWorkingDirectory: $('workdir').checked } });
  $('origins').value = allowedOrigins.join('\n');
  $('status').className = '';
  $('status').textContent = 'Saved.';
}

$('save').addEventListener('click', save);
load();
