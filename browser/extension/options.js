import { DEFAULT_OPTIONS, normalizeOrigin, folderParts } from './relay.js';

const $ = (id) => document.getElementById(id);
const lines = (id) => $(id).value.split('\n').map((l) => l.trim()).filter(Boolean);

async function load() {
  const { options = {} } = await chrome.storage.local.get('options');
  const o = { ...DEFAULT_OPTIONS, ...options };
  $('origins').value = o.allowedOrigins.join('\n');
  $('basefolder').value = o.baseFolder;
  $('folderorigins').value = o.folderOrigins.join('\n');
  $('timeout').value = o.scanTimeoutMinutes;
}

function fail(text) {
  $('status').className = 'error';
  $('status').textContent = text;
}

async function save() {
  const typed = [...lines('origins'), ...lines('folderorigins')];
  const bad = typed.filter((l) => !normalizeOrigin(l));
  if (bad.length) return fail(`Not an http or https origin: ${bad.join(', ')}`);
  const baseFolder = $('basefolder').value.trim();
  if (baseFolder && !folderParts(baseFolder)) return fail(`Not an absolute local folder: ${baseFolder}`);
  const minutes = Number($('timeout').value);
  if (!Number.isInteger(minutes) || minutes < 1 || minutes > 71_582) return fail('The longest wait is a whole number of minutes, 1 or more');
  const allowedOrigins = [...new Set(lines('origins').map(normalizeOrigin))];
  const folderOrigins = [...new Set(lines('folderorigins').map(normalizeOrigin))];
  await chrome.storage.local.set({ options: { allowedOrigins, folderOrigins, baseFolder, scanTimeoutMinutes: minutes } });
  await load();
  $('status').className = '';
  $('status').textContent = 'Saved.';
}

$('save').addEventListener('click', save);
load();
