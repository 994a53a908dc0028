// The extension's security boundary between web pages and the scanning host. The host
// deletes or reads any file it is named and serves any split series by its messageId, so
// the relay only lets a page touch files and series that the host produced for that page's
// origin.

const ALLOWED_COMMANDS = new Set([
  'scannersList', 'scannerCapabilities', 'scannerProcessing', 'scannerProcessingFiles', 'scannerSplitProcessing',
  'scannerProcessingSocketPartSend', 'filesSplitProcessing', 'removeFiles',
]);
const SCAN_COMMANDS = new Set(['scannerProcessing', 'scannerProcessingFiles', 'scannerSplitProcessing', 'scannerProcessingSocketPartSend']);
const SPLIT_COMMANDS = new Set(['scannerSplitProcessing', 'filesSplitProcessing']);
const FILE_COMMANDS = new Set(['filesSplitProcessing', 'removeFiles']);
const MAX_LOST_SERIES = 200;
const MAX_STATS = 500;
/** The host waits this long for a scanner when a request names no time-out. */
const HOST_DEFAULT_TIMEOUT_MS = 180_000;
const MAX_TIMEOUT_MS = 0xFFFF_FFFF;

/**
 * Default options: nothing allowed until the user lists origins; no page chooses a folder
 * until the user names a base folder and the origins that may write inside it; a scan waits
 * at most ten minutes for the scanner.
 */
export const DEFAULT_OPTIONS = Object.freeze({ allowedOrigins: [], folderOrigins: [], baseFolder: '', scanTimeoutMinutes: 10 });

const WINDOWS_DEVICE = /^(con|prn|aux|nul|com[0-9\u00b9\u00b2\u00b3]|lpt[0-9\u00b9\u00b2\u00b3]|conin\$|conout\$)(\..*)?$/i;

/**
 * An absolute local folder path split into its root and parts, "." and ".." resolved; null
 * for anything else: relative and drive-relative paths, ".." above the root, control
 * characters, and on Windows UNC and device paths and names Windows would read otherwise.
 */
export function folderParts(text) {
  if (typeof text !== 'string' || /[\u0000-\u001f\u007f]/.test(text)) return null;
  let windows, root, rest;
  if (text.startsWith('/') && !text.startsWith('//')) {
    [windows, root, rest] = [false, '/', text.split('/')];
  } else {
    const m = /^([A-Za-z]):[\\/](.*)$/s.exec(text);
    if (!m) return null;
    [windows, root, rest] = [true, `${m[1].toUpperCase()}:\\`, m[2].split(/[\\/]/)];
  }
  const parts = [];
  for (const part of rest) {
    if (part === '' || part === '.') continue;
    if (part === '..') {
      if (!parts.length) return null;
      parts.pop();
      continue;
    }
    if (windows && (/[<>:"|?*]/.test(part) || /[. ]$/.test(part) || WINDOWS_DEVICE.test(part))) return null;
    parts.push(part);
  }
  return { windows, root, parts };
}

/** `path` normalised when it names `base` or a folder inside it; else null. */
export function folderInside(path, base) {
  const p = folderParts(path);
  const b = folderParts(base);
  if (!p || !b || p.windows !== b.windows || p.root !== b.root || p.parts.length < b.parts.length) return null;
  const fold = (x) => (b.windows ? x.toLowerCase() : x);
  if (b.parts.some((part, i) => fold(part) !== fold(p.parts[i]))) return null;
  return p.root + p.parts.join(p.windows ? '\\' : '/');
}

/** Folder part of a page file path the host reported (its separator kept). */
function folderOf(fileName) {
  return fileName.slice(0, Math.max(fileName.lastIndexOf('/'), fileName.lastIndexOf('\\')) + 1);
}

/** Longest scan time-out in milliseconds that the options allow. */
function timeoutCap({ scanTimeoutMinutes }) {
  const minutes = Number(scanTimeoutMinutes);
  const ms = Number.isFinite(minutes) && minutes > 0 ? minutes * 60_000 : DEFAULT_OPTIONS.scanTimeoutMinutes * 60_000;
  return Math.min(Math.floor(ms), MAX_TIMEOUT_MS);
}

/** Normalises a user-typed origin ("http://127.0.0.1:8080/" → "http://127.0.0.1:8080"); null when invalid. */
export function normalizeOrigin(text) {
  try {
    const url = new URL(String(text).trim());
    if (!/^https?:$/.test(url.protocol)) return null;
    return url.origin;
  } catch {
    return null;
  }
}

function refusal(description, kind = 'refused') {
  return { error: { description, kind } };
}

/** UTF-8 size of an answer as the host sent it. */
function answerBytes(answer) {
  const utf8 = (value) => new TextEncoder().encode(JSON.stringify(value)).length;
  const part = answer?.split?.part;
  if (typeof part !== 'string' || /[^\x20-\x7e]/.test(part)) return utf8(answer);
  // A printable ASCII slice: its length, and a byte more for each character JSON escapes,
  // without another copy of it.
  let escaped = 0;
  for (const ch of ['"', '\\']) for (let i = part.indexOf(ch); i >= 0; i = part.indexOf(ch, i + 1)) escaped++;
  return utf8({ ...answer, split: { ...answer.split, part: '' } }) + part.length + escaped;
}

/**
 * Relays page requests to the host. storage: {local, session} areas with promise-style
 * get/set (chrome.storage); client: a ScanClient; transport: its NativeTransport.
 */
export class Relay {
  constructor({ client, transport, storage, extensionId = '', idleCloseMs = 60_000, now = () => Date.now() }) {
    this.client = client;
    this.transport = transport;
    this.storage = storage;
    this.extensionId = extensionId;
    this.idleCloseMs = idleCloseMs;
    this.now = now;
    this.tail = Promise.resolve();
    this.idleTimer = null;
    this.stats = [];
    this.loaded = null;
    transport.onDisconnect = (reason) => { this.exclusive(() => this.connectionLost(reason)); };
  }

  /** Runs jobs one after the other: checks, the host request and the records stay together. */
  exclusive(job) {
    const run = this.tail.then(job);
    this.tail = run.catch(() => {});
    return run;
  }

  /** Loads the series state once; series a previous worker left behind died with its port. */
  async state() {
    this.loaded ??= (async () => {
      const { series = {}, lostSeries = {} } = await this.storage.session.get(['series', 'lostSeries']);
      this.series = new Map();
      this.lostSeries = new Map(Object.entries({ ...lostSeries, ...series }));
      await this.saveSeries();
    })();
    return this.loaded;
  }

  async saveSeries() {
    const lost = [...this.lostSeries].slice(-MAX_LOST_SERIES);
    this.lostSeries = new Map(lost);
    await this.storage.session.set({ series: Object.fromEntries(this.series), lostSeries: Object.fromEntries(lost) });
  }

  async options() {
    const { options = {} } = await this.storage.local.get('options');
    return { ...DEFAULT_OPTIONS, ...options };
  }

  async ownedFiles() {
    const { ownedFiles = {} } = await this.storage.local.get('ownedFiles');
    return ownedFiles;
  }

  /**
   * Entry for messages of a content script's port: resolves with the reply. emit(body)
   * sends that page what comes before the reply: {progress} frames of its own request, and
   * the {part} slices of a series it asked the extension to run.
   */
  async onMessage(msg, sender, emit = () => {}) {
    const origin = senderOrigin(sender);
    if (!origin || (sender.id && this.extensionId && sender.id !== this.extensionId)) {
      return msg?.type === 'hello' ? { allowed: false } : refusal('Unknown sender');
    }
    const { allowedOrigins } = await this.options();
    const allowed = allowedOrigins.includes(origin);
    if (msg?.type === 'hello') {
      // A page that is not allowed learns nothing that tells this extension apart.
      if (!allowed) return { allowed: false };
      return { allowed, persistent: this.transport.persistent, extensionId: this.extensionId };
    }
    if (msg?.type !== 'request' && msg?.type !== 'series') return refusal('Unknown message type', 'usage');
    if (!allowed) return refusal('This page\'s origin is not allowed to use the scanner');
    return this.exclusive(() => this.relay(msg.message, origin, sender.tab?.id, emit, msg.type === 'series'));
  }

  /**
   * The request as it goes to the host: its folder normalised, its time-out capped. A
   * refusal when the page may not write where it asks.
   */
  async shape(message, origin) {
    const options = await this.options();
    let shaped = message;
    const folder = message.workingDirectory;
    if (folder !== undefined && folder !== '') {
      if (!options.folderOrigins.includes(origin) || !options.baseFolder) {
        return { refused: refusal('This page may not choose the working folder') };
      }
      const inside = folderInside(folder, options.baseFolder);
      if (inside === null) {
        return { refused: refusal('The working folder must be an absolute path inside the folder set in the extension\'s options') };
      }
      shaped = { ...shaped, workingDirectory: inside };
    }
    if (SCAN_COMMANDS.has(message.command)) {
      const cap = timeoutCap(options);
      const settings = message.settings;
      const given = settings !== null && typeof settings === 'object' && !Array.isArray(settings);
      const timeout = given && typeof settings.timeout === 'number' ? settings.timeout : HOST_DEFAULT_TIMEOUT_MS;
      // The host reads a negative time-out as a huge one.
      if (!(timeout >= 0 && timeout <= cap)) shaped = { ...shaped, settings: { ...(given ? settings : {}), timeout: cap } };
    }
    return { message: shaped };
  }

  /** Checks one request against the policy; null when it may go to the host. */
  async check(message, origin) {
    if (message === null || typeof message !== 'object' || Array.isArray(message)) {
      return refusal('The request must be a JSON object', 'usage');
    }
    const { messageId, command } = message;
    if (typeof messageId !== 'string' || typeof command !== 'string') {
      return refusal('The request needs a string messageId and command', 'usage');
    }
    if (!ALLOWED_COMMANDS.has(command)) return refusal(`The extension does not relay the command ${command}`);
    if (!SPLIT_COMMANDS.has(command)) return this.checkFiles(message, origin);
    if (!this.transport.persistent) return refusal('Split answers need a persistent connection to the host', 'usage');
    const lost = this.lostSeries.get(messageId);
    if (lost !== undefined) {
      return lost.owner === origin
        ? refusal('The connection to the host was lost during this split series', 'transport')
        : refusal('This messageId belongs to another page');
    }
    const running = this.series.get(messageId);
    if (running) return running.owner === origin ? null : refusal('This messageId belongs to another page');
    return this.checkFiles(message, origin);
  }

  async checkFiles(message, origin) {
    if (!FILE_COMMANDS.has(message.command) || !Array.isArray(message.files)) return null;
    const owned = await this.ownedFiles();
    for (const item of message.files) {
      // The host skips items without a string fileName, so only those can touch a file.
      const name = item?.fileName;
      if (typeof name === 'string' && owned[name] !== origin) {
        return refusal(`The file ${name} was not reported to this page by the scanner`);
      }
    }
    return null;
  }

  async relay(message, origin, tabId, emit, series) {
    await this.state();
    const refused = await this.check(message, origin);
    if (refused) return refused;
    if (series && (!SPLIT_COMMANDS.has(message.command) || this.series.has(message.messageId))) {
      return refusal('A series starts with the first request of a split command', 'usage');
    }
    const shaped = await this.shape(message, origin);
    if (shaped.refused) return shaped.refused;
    message = shaped.message;
    clearTimeout(this.idleTimer);
    const onProgress = (progress) => emit({ progress });
    try {
      if (series) return await this.runSeries(message, origin, tabId, onProgress, emit);
      const started = this.now();
      const answer = await this.client.send(message, { onProgress });
      this.record({ command: message.command, ms: this.now() - started, bytes: answerBytes(answer) });
      await this.learn(message, answer, origin, tabId);
      return { answer };
    } catch (e) {
      return { error: { description: e.description ?? String(e.message ?? e), kind: e.kind ?? 'transport', code: e.code ?? null } };
    } finally {
      this.scheduleIdleClose();
    }
  }

  /**
   * Runs a split series for a page, handing it each slice as {part} while the host cuts
   * the next one. Goes on to the end when the page is gone, so the host frees the series.
   */
  async runSeries(first, origin, tabId, onProgress, emit) {
    const follow = { messageId: first.messageId, command: first.command };
    let request = first;
    let mark = this.now();
    // The records are written beside the slices, not before them.
    let learning = Promise.resolve();
    try {
      const refused = await this.client.exclusive(() => this.client.pullSlices(first, {
        onProgress,
        onAnswer: (answer) => {
          // Requests overlap: each answer is timed from the one before.
          const now = this.now();
          this.record({ command: first.command, ms: now - mark, bytes: answerBytes(answer) });
          mark = now;
          // The series holds the relay's queue to its end: only its start and end change the
          // records (a slice in between would only write them again).
          if (request === first || answer?.split?.last !== false) {
            const asked = request;
            learning = learning.then(() => this.learn(asked, answer, origin, tabId));
          }
          request = follow;
        },
        onSlice: (part) => emit({ part }),
      }));
      return refused ? { answer: refused } : { end: true };
    } finally {
      await learning;
    }
  }

  /** Updates the records from what the host answered. */
  async learn(message, answer, origin, tabId) {
    const { command, messageId } = message;
    const ok = answer?.status?.result === 'success';
    const running = SPLIT_COMMANDS.has(command) && this.series.has(messageId);
    if (SCAN_COMMANDS.has(command) && !running) await this.scanned(message, answer, origin);
    if (SPLIT_COMMANDS.has(command) && answer?.split && typeof answer.split === 'object') {
      const wasRunning = this.series.has(messageId);
      if (answer.split.last === false) this.series.set(messageId, { owner: origin, tabId });
      else this.series.delete(messageId);
      await this.saveSeries();
      // The first request of a file series made the host read and delete its files.
      if (command === 'filesSplitProcessing' && !wasRunning) await this.forget(message.files);
    } else if (command === 'removeFiles' && ok) {
      await this.forget(message.files);
    }
  }

  /**
   * A scan wrote into its folder, over earlier pages of the same names, also when it failed
   * part way: no other origin keeps a file there. The pages it reported are the scanning
   * origin's, whatever the job's status.
   */
  async scanned(message, answer, origin) {
    const files = Array.isArray(answer?.files) ? answer.files.filter((f) => typeof f?.fileName === 'string') : [];
    let { defaultFolder = null } = await this.storage.local.get('defaultFolder');
    const chosen = typeof message.workingDirectory === 'string' && message.workingDirectory !== '';
    if (!chosen && files.length) defaultFolder = folderOf(files[0].fileName);
    const folder = chosen ? message.workingDirectory : defaultFolder;  // normalised by shape()
    const owned = await this.ownedFiles();
    for (const name of Object.keys(owned)) {
      if (owned[name] !== origin && folder !== null && sameFolder(folderOf(name), folder)) delete owned[name];
    }
    for (const f of files) owned[f.fileName] = origin;
    await this.storage.local.set({ ownedFiles: owned, defaultFolder });
  }

  async forget(files) {
    if (!Array.isArray(files)) return;
    const owned = await this.ownedFiles();
    for (const f of files) if (typeof f?.fileName === 'string') delete owned[f.fileName];
    await this.storage.local.set({ ownedFiles: owned });
  }

  record(entry) {
    this.stats.push(entry);
    if (this.stats.length > MAX_STATS) this.stats.splice(0, this.stats.length - MAX_STATS);
  }

  /** The host process ended: its split registry went with it. */
  async connectionLost() {
    await this.state();
    for (const [id, s] of this.series) this.lostSeries.set(id, s);
    this.series.clear();
    await this.saveSeries();
  }

  /** Drains the series of a closed tab, so the host frees their remaining slices. */
  async tabClosed(tabId) {
    await this.exclusive(async () => {
      await this.state();
      for (const [messageId, s] of [...this.series]) {
        if (s.tabId !== tabId) continue;
        for (let i = 0; i < 100_000 && this.series.has(messageId); i++) {
          let answer;
          try {
            answer = await this.client.send({ messageId, command: 'scannerSplitProcessing' });
          } catch {
            break;
          }
          if (!answer?.split || answer.split.last !== false) break;
        }
        this.series.delete(messageId);
      }
      await this.saveSeries();
    });
  }

  /**
   * Closes the port after a quiet spell, so the host exits and frees its memory and its
   * single-instance lock. A series quiet that long was abandoned by its page.
   */
  scheduleIdleClose() {
    clearTimeout(this.idleTimer);
    if (!this.idleCloseMs) return;
    this.idleTimer = setTimeout(() => {
      this.exclusive(async () => {
        this.transport.close();
        await this.connectionLost();
      });
    }, this.idleCloseMs);
  }
}

/** Folders as the host spells them: "/" or "\\" ends them, Windows letters fold. */
function sameFolder(a, b) {
  const key = (f) => (/^[A-Za-z]:/.test(f) ? f.replace(/\//g, '\\').toLowerCase() : f).replace(/[\\/]+$/, '');
  return key(a) === key(b);
}

function senderOrigin(sender) {
  if (!sender) return null;
  // An opaque origin ("null": sandboxed frames, data: URLs) is nobody's: never the URL's origin.
  if (typeof sender.origin === 'string') return sender.origin === 'null' ? null : sender.origin;
  try {
    const o = new URL(sender.url).origin;
    return o === 'null' ? null : o;
  } catch {
    return null;
  }
}
