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
  if (!on) $('bar').hidden = true;
  for (const id of ['scan', 'refresh']) $(id).disabled = on;
}

const COLORS = { color: 'Colour', gray: 'Grey', bw: 'Black and white' };
const USUAL_DPI = [75, 100, 150, 200, 300, 400, 600, 1200];
const UNKNOWN_DPI = [75, 100, 150, 200, 300, 600];

/** Resolutions to offer: the scanner's list, or the usual ones its range allows. */
function resolutionChoices(told) {
  if (Array.isArray(told) && told.length) return told;
  if (told && typeof told === 'object') {
    const { min, max, step } = told;
    const fits = (v) => v >= min && v <= max && (!(step > 0) || Math.abs((v - min) / step - Math.round((v - min) / step)) < 1e-6);
    const usual = USUAL_DPI.filter(fits);
    return usual.length ? usual : [min, max].filter((v, i, a) => a.indexOf(v) === i);
  }
  return UNKNOWN_DPI;
}

/** Refills a select with [value, label] pairs, keeping the choice when still offered. */
function fill(select, choices, preferred) {
  const keep = select.value || String(preferred);
  select.replaceChildren(...choices.map(([value, label]) => new Option(label, String(value))));
  const values = choices.map(([value]) => String(value));
  select.value = values.includes(keep) ? keep : values.includes(String(preferred)) ? String(preferred) : values[0] ?? '';
}

/** A checkbox the scanner decides: off and locked when it cannot, forced on when it must. */
function allow(box, can, { forced = false } = {}) {
  box.disabled = can === false || forced;
  if (can === false) box.checked = false;
  if (forced) box.checked = true;
}

/** Builds the option lists from what the chosen scanner offers. */
async function loadCapabilities() {
  const id = $('scanner').value;
  if (!id) return;
  let caps = {};
  let read = false;
  try {
    ({ capabilities: caps } = await client.capabilities(Number(id)));
    read = true;
    $('caps').textContent = caps.pageSize ? `up to ${caps.pageSize.width} × ${caps.pageSize.height} in` : '';
  } catch (e) {
    $('caps').textContent = `Options not read: ${describe(e)}`;
  }
  const dpi = resolutionChoices(caps.resolutions).map((v) => [v, String(v)]);
  fill($('dpi'), dpi, 150);
  const told = Object.keys(COLORS).filter((c) => caps.colors?.includes?.(c));
  const colors = told.length ? told : Object.keys(COLORS);
  fill($('color'), colors.map((c) => [c, COLORS[c]]), 'color');
  // A scanner without a feeder or duplex unit does not know these capabilities at all.
  allow($('feeder'), read ? caps.feeder === true : undefined);
  allow($('duplex'), read ? caps.duplex === true : undefined);
  // The scanner shows its own dialog unless it can do without.
  allow($('showUI'), undefined, { forced: caps.showUI === false });
  window.lumraDemo.capabilities = caps;
}

/** Shows the host's word of each page, then how much of the answer has arrived. */
function progressShower() {
  const bar = $('bar');
  bar.hidden = false;
  bar.removeAttribute('value');
  let pages = 0;
  let bytes = 0;
  return (p) => {
    window.lumraDemo.progress.push(p);
    if (p.state === 'saved') {
      pages = p.page;
      bytes += p.bytes;
      $('progress').textContent = `Page ${pages} scanned`;
    } else if (p.state === 'received' && bytes > 0) {
      // Base64 makes four characters of three bytes.
      bar.max = Math.ceil((bytes * 4) / 3);
      bar.value = Math.min(p.bytes, bar.max);
      $('progress').textContent = `Receiving ${pages} page${pages === 1 ? '' : 's'}: ${Math.round((100 * bar.value) / bar.max)} %`;
    }
  };
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
    await loadCapabilities();
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
  if (settings.format.type === 'tif-multipage') settings.format = { type: 'tif', multipage: true };
  // JPEG quality is also that of the pages inside a PDF.
  if (['jpg', 'pdf'].includes(settings.format.type)) settings.format.quality = Number($('quality').value);
  return settings;
}

const FILE_NAME = { 'image/jpeg': 'jpg', 'image/png': 'png', 'image/tiff': 'tif', 'image/bmp': 'bmp', 'image/gif': 'gif', 'application/pdf': 'pdf' };

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
      view.textContent = `${p.type?.toUpperCase()} ${p.type === 'pdf' ? 'document' : 'page'}, ${Math.round(p.blob.size / 1024)} KiB`;
    }
    card.prepend(view);
    const save = document.createElement('a');
    save.className = 'save';
    save.href = url;
    save.download = `${p.type === 'pdf' ? 'document' : 'page'}-${p.number}.${FILE_NAME[p.blob.type] ?? p.type ?? 'bin'}`;
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
  window.lumraDemo.progress = [];
  const onProgress = progressShower();
  const started = performance.now();
  try {
    const answer = await client.scan(settingsFromForm(), { as, scannerId, onProgress });
    const seconds = ((performance.now() - started) / 1000).toFixed(1);
    // PDF and multi-page TIFF give the whole job as one file.
    const oneFile = ['pdf', 'tif-multipage'].includes($('format').value);
    const scanned = window.lumraDemo.progress.filter((p) => p.state === 'saved').length;
    const label = (n) => (oneFile ? `Document${scanned ? `, ${scanned} pages` : ''}` : `Page ${n}`);
    const items = as === 'files' ? answer.files : answer.pages;
    if (as === 'files') answer.files.forEach((f, i) => addCard({ fileName: f.fileName, label: `${label(i + 1)} (file)` }));
    else for (const p of answer.pages) addCard({ page: p, label: label(p.number) });
    const what = oneFile ? 'document' : as === 'files' ? 'page file' : 'page';
    setStatus(`${items.length} ${what}${items.length === 1 ? '' : 's'} in ${seconds} s`, 'ready');
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
$('scanner').addEventListener('change', () => { loadCapabilities(); });
$('clear').addEventListener('click', clearAll);
$('format').addEventListener('change', () => { $('quality').disabled = !['jpg', 'pdf'].includes($('format').value); });
window.lumraDemo = { client, transport, lastAnswer: null, capabilities: null, progress: [] };
start();
