// Demo page: talks to the scanner through the sample extension.
import { ScanClient, PageTransport } from '../client/index.js';

const $ = (id) => document.getElementById(id);
const transport = new PageTransport();
const client = new ScanClient({ transport, idPrefix: 'demo-' });
let busy = false;

function setStatus(text, state) {
  $('status').textContent = text;
  $('status').dataset.state = state;
}

function setBusy(on, text = '') {
  busy = on;
  $('progress').textContent = text;
  for (const id of ['scan', 'refresh']) $(id).disabled = on;
}

function describe(e) {
  return e?.code ? `${e.description ?? e.message} (code ${e.code})` : (e?.description ?? e?.message ?? String(e));
}

async function refreshScanners() {
  setBusy(true, 'Looking for scanners…');
  try {
    const { scanners } = await client.listScanners();
    const select = $('scanner');
    select.replaceChildren(...scanners.map((s) => new Option(s.scannerName, String(s.scannerId))));
    if (scanners.length === 0) select.append(new Option('No scanner found', ''));
    select.disabled = scanners.length === 0;
    setStatus(`${scanners.length} scanner${scanners.length === 1 ? '' : 's'} found`, 'ready');
  } catch (e) {
    setStatus(`Cannot list the scanners: ${describe(e)}`, 'error');
  } finally {
    setBusy(false);
  }
}

function settingsFromForm() {
  const settings = {
    dpi: Number($('dpi').value),
    color: $('color').value,
    feeder: $('feeder').checked,
    duplex: $('duplex').checked,
    showUI: $('showUI').checked,
    format: { type: $('format').value },
  };
  if (settings.format.type === 'jpg') settings.format.quality = Number($('quality').value);
  return settings;
}

const FILE_NAME = { 'image/jpeg': 'jpg', 'image/png': 'png', 'image/tiff': 'tif', 'image/bmp': 'bmp', 'image/gif': 'gif' };

/** Adds one page card: a thumbnail with Save and Delete, or a file with Fetch and Delete. */
function addCard({ page, fileName, label }) {
  const card = document.createElement('figure');
  card.className = 'page';
  const actions = document.createElement('div');
  actions.className = 'actions';
  const caption = document.createElement('figcaption');
  caption.textContent = label;
  let url = null;

  const showBlob = (p) => {
    url = URL.createObjectURL(p.blob);
    let view;
    if (['image/jpeg', 'image/png', 'image/gif', 'image/bmp'].includes(p.blob.type)) {
      view = new Image();
      view.src = url;
      view.alt = label;
    } else {
      view = document.createElement('div');
      view.className = 'placeholder';
      view.textContent = `${p.type?.toUpperCase()} page, ${Math.round(p.blob.size / 1024)} KiB`;
    }
    card.prepend(view);
    const save = document.createElement('a');
    save.className = 'save';
    save.href = url;
    save.download = `page-${p.number}.${FILE_NAME[p.blob.type] ?? p.type ?? 'bin'}`;
    save.textContent = 'Save';
    actions.replaceChildren(save, button('Delete', () => remove()));
    caption.textContent = `${label} · ${Math.round(p.blob.size / 1024)} KiB`;
    card.dataset.mime = p.blob.type;
    card.dataset.bytes = String(p.blob.size);
  };

  const remove = async () => {
    if (fileName) {
      try {
        await client.removeFiles([fileName]);
      } catch (e) {
        caption.textContent = `Not deleted: ${describe(e)}`;
        return;
      }
    }
    if (url) URL.revokeObjectURL(url);
    card.remove();
    $('clear').disabled = $('pages').children.length === 0;
  };

  if (page?.blob) {
    showBlob(page);
  } else if (fileName) {
    const view = document.createElement('div');
    view.className = 'placeholder';
    view.textContent = fileName;
    card.prepend(view);
    card.dataset.file = fileName;
    actions.append(button('Fetch', async () => {
      try {
        const { pages } = await client.readFiles([fileName]);
        view.remove();
        delete card.dataset.file;
        fileName = null; // the host deleted the file once it sent it
        if (pages[0]?.blob) showBlob({ ...pages[0], number: page?.number ?? 1 });
        else card.classList.add('failed');
      } catch (e) {
        caption.textContent = `Not fetched: ${describe(e)}`;
      }
    }), button('Delete', () => remove()));
  } else {
    card.classList.add('failed');
    const view = document.createElement('div');
    view.className = 'placeholder';
    view.textContent = page?.description ?? 'Page missing';
    card.prepend(view);
    actions.append(button('Dismiss', () => remove()));
  }
  card.append(caption, actions);
  $('pages').append(card);
  $('clear').disabled = false;
}

function button(text, onClick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = text;
  b.addEventListener('click', onClick);
  return b;
}

async function scan(event) {
  event.preventDefault();
  if (busy) return;
  const as = $('mode').value;
  const scannerId = $('scanner').value ? Number($('scanner').value) : undefined;
  setBusy(true, 'Scanning…');
  const started = performance.now();
  try {
    const answer = await client.scan(settingsFromForm(), { as, scannerId });
    const seconds = ((performance.now() - started) / 1000).toFixed(1);
    if (as === 'files') {
      answer.files.forEach((f, i) => addCard({ fileName: f.fileName, label: `Page ${i + 1} (file)` }));
      setStatus(`${answer.files.length} page file${answer.files.length === 1 ? '' : 's'} in ${seconds} s`, 'ready');
    } else {
      for (const p of answer.pages) addCard({ page: p, label: `Page ${p.number}` });
      setStatus(`${answer.pages.length} page${answer.pages.length === 1 ? '' : 's'} in ${seconds} s`, 'ready');
    }
    window.lumraDemo.lastAnswer = answer;
  } catch (e) {
    setStatus(`Scan failed: ${describe(e)}`, 'error');
  } finally {
    setBusy(false);
  }
}

function clearAll() {
  for (const img of $('pages').querySelectorAll('img')) URL.revokeObjectURL(img.src);
  $('pages').replaceChildren();
  $('clear').disabled = true;
}

async function start() {
  try {
    let hello;
    // A sleeping extension worker can be slow to wake on a busy machine.
    for (let attempt = 1; ; attempt++) {
      try {
        hello = await transport.connect();
        break;
      } catch (e) {
        if (attempt === 3) throw e;
      }
    }
    if (!hello.allowed) {
      setStatus(`This page (${location.origin}) is not allowed: add it in the extension's options.`, 'error');
      return;
    }
    $('scan').disabled = false;
    await refreshScanners();
  } catch (e) {
    setStatus(describe(e), 'error');
  }
}

$('settings').addEventListener('submit', scan);
$('refresh').addEventListener('click', refreshScanners);
$('clear').addEventListener('click', clearAll);
$('format').addEventListener('change', () => { $('quality').disabled = $('format').value !== 'jpg'; });
window.lumraDemo = { client, transport, lastAnswer: null };
start();
