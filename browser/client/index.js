// Client of the lumra scanning host: lists scanners, runs scan jobs, fetches and deletes
// page files. One module, no dependencies, no build step; works in browsers, extension
// service workers and Node (for tests).

/** Commands of the host's protocol. */
export const Command = Object.freeze({
  scannersList: 'scannersList',
  capabilities: 'scannerCapabilities',
  scan: 'scannerProcessing',
  scanFiles: 'scannerProcessingFiles',
  scanSplit: 'scannerSplitProcessing',
  filesSplit: 'filesSplitProcessing',
  removeFiles: 'removeFiles',
});

const SPLIT_COMMANDS = new Set([Command.scanSplit, Command.filesSplit]);
const SCAN_AS = { pages: Command.scan, files: Command.scanFiles, split: Command.scanSplit };

/** True for the host's {"command","messageId","progress":{...}} frames, which precede an answer. */
export function isProgressFrame(message) {
  return message !== null && typeof message === 'object' && !Array.isArray(message) &&
    !('status' in message) && message.progress !== null && typeof message.progress === 'object';
}

// A host that keeps answering empty slices would otherwise hold the queue forever.
const MAX_EMPTY_SLICES = 3;
// Requests of a split series under way at once over a port: the host cuts a slice while
// the browser carries the one before.
const SLICES_AHEAD = 2;

/** Error of a failed call; `kind` tells who failed: 'host', 'transport', 'refused' or 'usage'. */
export class ScanError extends Error {
  constructor(description, { kind = 'host', code = null, answer = null } = {}) {
    super(description);
    this.name = 'ScanError';
    this.description = description;
    this.code = code;
    this.kind = kind;
    this.answer = answer;
  }
}

const MIME_TYPES = {
  jpg: 'image/jpeg', jpeg: 'image/jpeg', png: 'image/png', gif: 'image/gif', bmp: 'image/bmp',
  ico: 'image/x-icon', tif: 'image/tiff', tiff: 'image/tiff', tga: 'image/x-tga',
  pcx: 'image/x-pcx', wbmp: 'image/vnd.wap.wbmp', jp2: 'image/jp2', jpc: 'image/x-jpc',
  pgx: 'image/x-pgx', pnm: 'image/x-portable-anymap', ras: 'image/x-sun-raster',
  mng: 'video/x-mng', ska: 'image/x-ska', pdf: 'application/pdf',
};

/** MIME type of a page from the host's "type" (its file extension). */
export function mimeTypeOf(type) {
  return MIME_TYPES[String(type ?? '').toLowerCase()] ?? 'application/octet-stream';
}

/** Bytes of Base64 text; throws on text that is not Base64. */
export function decodeBase64(text) {
  if (typeof Uint8Array.fromBase64 === 'function') return Uint8Array.fromBase64(text);
  if (typeof globalThis.Buffer === 'function') {
    if (!/^[A-Za-z0-9+/]*={0,2}$/.test(text) || text.length % 4 !== 0) {
      throw new Error('invalid Base64 text');
    }
    const b = globalThis.Buffer.from(text, 'base64');
    return new Uint8Array(b.buffer, b.byteOffset, b.length);
  }
  const bin = atob(text);
  const out = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
  return out;
}

/**
 * Replaces each page item's Base64 "content" (or "bytes", the ArrayBuffers that the
 * extension decoded already) by a Blob of the right MIME type. Items the host could not
 * read keep their "description"; undecodable content becomes one too.
 */
export function decodePages(answer) {
  const pages = Array.isArray(answer.pages) ? answer.pages : [];
  answer.pages = pages.map((item) => {
    const { content, bytes, ...rest } = item ?? {};
    const mimeType = mimeTypeOf(rest.type);
    if (Array.isArray(bytes)) return { ...rest, mimeType, blob: new Blob(bytes, { type: mimeType }) };
    if (typeof content !== 'string') return rest;
    try {
      return { ...rest, mimeType, blob: new Blob([decodeBase64(content)], { type: mimeType }) };
    } catch {
      return { ...rest, description: 'Page content is not Base64 text' };
    }
  });
  return answer;
}

/** Rejects answers whose "status"."result" is not "success". */
function checkStatus(answer) {
  if (answer === null || typeof answer !== 'object') {
    throw new ScanError('The host sent an answer that is not a JSON object', { kind: 'transport' });
  }
  const status = answer.status ?? {};
  if (status.result !== 'success') {
    const description = status.description || `The host answered "${status.result ?? 'no status'}"`;
    throw new ScanError(description, { code: status.code ?? null, answer });
  }
  return answer;
}

function newIdFactory(prefix) {
  let counter = 0;
  const random = () =>
    globalThis.crypto?.randomUUID?.() ?? Math.random().toString(36).slice(2) + Date.now().toString(36);
  return () => `${prefix}${++counter}-${random()}`;
}

/** Drives the host through a transport; calls never overlap, in call order. */
export class ScanClient {
  /**
   * @param {object} options transport: {send(message) → Promise<answer>, persistent?};
   *   idPrefix: prefix of generated message ids; isDsm2: sent with every request when set.
   */
  constructor({ transport, idPrefix = 'lumra-', isDsm2 } = {}) {
    if (!transport || typeof transport.send !== 'function') {
      throw new ScanError('ScanClient needs a transport with a send(message) method', { kind: 'usage' });
    }
    this.transport = transport;
    this.isDsm2 = isDsm2;
    this.nextId = newIdFactory(idPrefix);
    this.tail = Promise.resolve();
  }

  /** Runs `job` after every earlier call has settled; a failure does not block later calls. */
  exclusive(job) {
    const run = this.tail.then(job);
    this.tail = run.catch(() => {});
    return run;
  }

  /** Sends one request and resolves with the host's answer as it stands (no status check). */
  send(message, options) {
    return this.exclusive(() => this.sendNow(message, options));
  }

  async sendNow(message, options) {
    let answer;
    try {
      answer = await this.transport.send(message, options);
    } catch (e) {
      throw e instanceof ScanError ? e : new ScanError(String(e?.message ?? e), { kind: 'transport' });
    }
    if (answer === null || typeof answer !== 'object' || Array.isArray(answer)) {
      throw new ScanError('The host sent an answer that is not a JSON object', { kind: 'transport' });
    }
    return answer;
  }

  baseRequest(command, extra = {}) {
    const request = { messageId: this.nextId(), command };
    if (typeof this.isDsm2 === 'boolean') request.isDsm2 = this.isDsm2;
    for (const [k, v] of Object.entries(extra)) if (v !== undefined) request[k] = v;
    return request;
  }

  /** Resolves with the answer; its "scanners" is always an array of {scannerId, scannerName}. */
  async listScanners() {
    const answer = checkStatus(await this.send(this.baseRequest(Command.scannersList)));
    if (!Array.isArray(answer.scanners)) answer.scanners = [];
    return answer;
  }

  /**
   * Resolves with the answer; its "capabilities" is always an object, holding what the scanner
   * (the default one when scannerId is absent) told: resolutions (a list, or {min, max, step}),
   * colors, feeder, duplex, showUI, pageSize {width, height} in inches. What it did not tell
   * is absent.
   */
  async capabilities(scannerId) {
    const answer = checkStatus(await this.send(this.baseRequest(Command.capabilities, { scannerId })));
    if (answer.capabilities === null || typeof answer.capabilities !== 'object' || Array.isArray(answer.capabilities)) {
      answer.capabilities = {};
    }
    return answer;
  }

  /**
   * Runs a scan job. as 'pages' or 'split': the answer's "pages" hold Blobs; as 'files': its
   * "files" hold {fileName} of page files left on disk.
   * options: as, scannerId, isDsm2, workingDirectory, contentId, and onProgress({page, bytes,
   * state}), called as each page is saved where the transport can carry progress frames
   * (a native port; otherwise it is never called).
   */
  async scan(settings = {}, { as = 'pages', scannerId, isDsm2, workingDirectory, contentId, onProgress } = {}) {
    const command = SCAN_AS[as];
    if (!command) throw new ScanError(`Unknown scan mode "${as}": use pages, files or split`, { kind: 'usage' });
    if (settings === null || typeof settings !== 'object' || Array.isArray(settings)) {
      throw new ScanError('Scan settings must be an object', { kind: 'usage' });
    }
    const progress = typeof onProgress === 'function' && this.transport.progressFrames === true;
    const request = this.baseRequest(command, {
      scannerId, isDsm2, workingDirectory, contentId, settings, progress: progress || undefined,
    });
    const options = { onProgress: progress ? onProgress : undefined, binary: as !== 'files' };
    if (as === 'split') return decodePages(checkStatus(await this.exclusive(() => this.runSplit(request, options))));
    let answer;
    try {
      answer = checkStatus(await this.send(request, options));
    } catch (e) {
      // The browser drops answers over 1 MiB, and the host has already deleted those pages.
      if (as === 'pages' && e.kind === 'transport' && /communicating with the native messaging host/i.test(e.description)) {
        throw new ScanError(`${e.description} An answer with every page can exceed the browser's 1 MiB limit: scan with {as: 'split'}.`, { kind: 'transport' });
      }
      throw e;
    }
    if (as === 'files') {
      if (!Array.isArray(answer.files)) answer.files = [];
      return answer;
    }
    return decodePages(answer);
  }

  /** Reads page files the host reported earlier (and deletes them); "pages" hold Blobs. */
  async readFiles(paths) {
    const request = this.baseRequest(Command.filesSplit, { files: fileItems(paths) });
    return decodePages(checkStatus(await this.exclusive(() => this.runSplit(request, { binary: true }))));
  }

  /** Deletes page files; the host answers success also for files it could not delete. */
  async removeFiles(paths) {
    return checkStatus(await this.send(this.baseRequest(Command.removeFiles, { files: fileItems(paths) })));
  }

  /**
   * Runs a split series to its end and resolves with the full answer it carried. Called
   * inside exclusive(): the series is never interleaved with other calls of this client.
   * A transport that runs whole series itself (the page transport) is left to do so.
   */
  async runSplit(first, options = {}) {
    if (this.transport.persistent === false) {
      throw new ScanError('Split answers need a persistent connection to the host', { kind: 'usage' });
    }
    if (typeof this.transport.runSeries === 'function') {
      try {
        return await this.transport.runSeries(first, options);
      } catch (e) {
        throw e instanceof ScanError ? e : new ScanError(String(e?.message ?? e), { kind: 'transport' });
      }
    }
    const parts = [];
    const refused = await this.pullSlices(first, { onProgress: options.onProgress, onSlice: (part) => parts.push(part) });
    if (refused) {
      // Not a slice at all: the host refused the request itself.
      throw new ScanError(refused.status?.description || 'The host sent no split slice',
        { code: refused.status?.code ?? null, answer: refused, kind: refused.status ? 'host' : 'transport' });
    }
    try {
      return JSON.parse(parts.join(''));
    } catch {
      throw new ScanError('The slices of a split answer do not form JSON', { kind: 'transport' });
    }
  }

  /**
   * Pulls a split series from the host to its end. Slices are asked for ahead, so the host
   * cuts the next while onSlice(part) handles the one at hand; onAnswer(answer) is awaited
   * for every answer of the series first. Resolves with null at the end, or with the host's
   * answer when it holds no slice (the request was refused). Only inside exclusive().
   */
  async pullSlices(first, { onProgress, onAnswer, onSlice }) {
    // Progress frames come before the first slice only.
    let answer = await this.sendNow(first, { onProgress });
    const generation = this.transport.generation;
    // Follow-ups name the series by messageId alone. Past its end, a filesSplitProcessing
    // without files gets an error answer, where a scan command would start a new scan: so
    // only that command may be sent ahead of knowing whether more slices follow.
    const ahead = this.transport.pipelined === true ? SLICES_AHEAD : 1;
    const follow = { messageId: first.messageId, command: ahead > 1 ? Command.filesSplit : first.command };
    const inFlight = [];
    let empty = 0;
    try {
      for (;;) {
        const split = answer.split;
        if (split === null || typeof split !== 'object' || typeof split.part !== 'string') {
          await onAnswer?.(answer);
          return answer;
        }
        const last = split.last === true;
        empty = split.part.length === 0 ? empty + 1 : 0;
        if (!last) {
          if (empty >= MAX_EMPTY_SLICES) throw new ScanError('The host keeps sending empty slices', { kind: 'transport' });
          // A new connection would meet a new host, which would take the request for a new scan.
          if (this.transport.generation !== generation) {
            throw new ScanError('The connection to the host was lost during a split series', { kind: 'transport' });
          }
          while (inFlight.length < ahead) {
            const next = this.sendNow(follow);
            next.catch(() => {}); // awaited below; a failure then is the series' failure
            inFlight.push(next);
          }
        }
        await onAnswer?.(answer);
        onSlice(split.part);
        if (last) return null;
        answer = await inFlight.shift();
      }
    } finally {
      // Requests sent past the end got answers of their own, which the host may have cut
      // into slices too (a long messageId): take those to their end, so the host drops them.
      for (const extra of inFlight) {
        let a = await extra.catch(() => null);
        for (let i = 0; a?.split?.last === false && this.transport.generation === generation && i < 1000; i++) {
          a = await this.sendNow(follow).catch(() => null);
        }
      }
    }
  }
}

function fileItems(paths) {
  if (!Array.isArray(paths)) throw new ScanError('File list must be an array', { kind: 'usage' });
  return paths.map((p) => {
    const fileName = typeof p === 'string' ? p : p?.fileName;
    if (typeof fileName !== 'string' || fileName === '') {
      throw new ScanError('Every file must be a non-empty path', { kind: 'usage' });
    }
    return { fileName };
  });
}

const NOT_ANSWERED = 'Native host has exited.';

/**
 * Transport over the browser's native messaging (for extension code). Keeps one port open
 * and falls back to one-shot messages where ports are unavailable; split series need the
 * port, because a one-shot host process ends after its answer.
 */
export class NativeTransport {
  /** runtime: chrome.runtime or browser.runtime (default: the global one). */
  constructor(hostName, { runtime = globalThis.chrome?.runtime ?? globalThis.browser?.runtime } = {}) {
    if (!runtime) throw new ScanError('No extension runtime here: native messaging is unavailable', { kind: 'usage' });
    this.hostName = hostName;
    this.runtime = runtime;
    this.port = null;
    this.queue = []; // requests sent on this.port, oldest first: the host answers in order
    this.oneShotPending = false;
    this.generation = 0;
    this.oneShot = typeof runtime.connectNative !== 'function';
    this.onDisconnect = null;
  }

  get persistent() { return !this.oneShot; }

  /** Progress frames reach onProgress only over a port. */
  get progressFrames() { return !this.oneShot; }

  /** Over a port, requests may follow each other before their answers come. */
  get pipelined() { return !this.oneShot; }

  /** options: onProgress(progress), for the frames that come before the answer. */
  send(message, { onProgress } = {}) {
    if (this.oneShotPending) return Promise.reject(new ScanError('A request to the host is already under way', { kind: 'usage' }));
    if (this.oneShot) return this.sendOneShot(message);
    if (!this.port && !this.connect()) return this.sendOneShot(message);
    return new Promise((resolve, reject) => {
      const p = { resolve, reject, message, onProgress };
      this.queue.push(p);
      try {
        this.port.postMessage(message);
      } catch (e) {
        this.queue.splice(this.queue.indexOf(p), 1);
        reject(new ScanError(String(e?.message ?? e), { kind: 'transport' }));
      }
    });
  }

  connect() {
    let port;
    try {
      port = this.runtime.connectNative(this.hostName);
    } catch {
      this.oneShot = true;
      return false;
    }
    this.port = port;
    this.queue = [];
    this.generation++;
    let answered = false;
    port.onMessage.addListener((answer) => {
      answered = true;
      if (this.port !== port) return;
      const p = this.queue[0];
      if (!p) return;
      // A progress frame is not the answer: the answer still follows.
      if (isProgressFrame(answer)) {
        try { p.onProgress?.(answer.progress); } catch { /* the caller's trouble, not the series' */ }
        return;
      }
      this.queue.shift();
      p.resolve(answer);
    });
    port.onDisconnect.addListener(() => {
      const text = this.runtime.lastError?.message || port.error?.message || NOT_ANSWERED;
      const lost = this.port === port ? this.queue : [];
      if (this.port === port) {
        this.port = null;
        this.queue = [];
      }
      this.generation++;
      this.onDisconnect?.(text);
      for (const p of lost) {
        // A port that never answered may be refused by this browser; a list request is safe
        // to repeat, anything else may have reached the scanner and is not sent twice.
        if (!answered && lost.length === 1 && p.message?.command === Command.scannersList && !/not found|forbidden/i.test(text)) {
          this.oneShot = true;
          this.sendOneShot(p.message).then(p.resolve, p.reject);
          return;
        }
        p.reject(new ScanError(text, { kind: 'transport' }));
      }
    });
    return true;
  }

  sendOneShot(message) {
    // One message comes back: a progress frame would take the answer's place.
    if (message && typeof message === 'object' && 'progress' in message) {
      message = { ...message };
      delete message.progress;
    }
    return new Promise((resolve, reject) => {
      this.oneShotPending = true;
      let settled = false;
      const settle = (error, answer) => {
        if (settled) return;
        settled = true;
        this.oneShotPending = false;
        if (error) reject(new ScanError(String(error), { kind: 'transport' }));
        else resolve(answer);
      };
      try {
        const r = this.runtime.sendNativeMessage(this.hostName, message, (answer) => {
          const err = this.runtime.lastError;
          settle(err ? err.message || NOT_ANSWERED : answer === undefined ? NOT_ANSWERED : null, answer);
        });
        if (r && typeof r.then === 'function') r.then((a) => settle(null, a), (e) => settle(e?.message ?? e));
      } catch (e) {
        settle(e?.message ?? e);
      }
    });
  }

  /** Closes the port; the host sees the end of its input and exits. */
  close() {
    const port = this.port;
    this.port = null;
    if (!port) return;
    this.generation++;
    const lost = this.queue;
    this.queue = [];
    for (const p of lost) p.reject(new ScanError('The connection to the host was closed', { kind: 'transport' }));
    port.disconnect();
  }
}

/** Channel name that the sample extension's content script listens on. */
export const PAGE_CHANNEL = 'lumra-scan';

/**
 * Transport for web pages: talks to the sample extension's content script with
 * window.postMessage. The extension decides whether this page's origin may use the host;
 * it runs split series itself and hands over page bytes as transferred ArrayBuffers.
 */
export class PageTransport {
  constructor({ target = globalThis.window, channel = PAGE_CHANNEL, helloTimeoutMs = 4000 } = {}) {
    this.target = target;
    this.channel = channel;
    this.helloTimeoutMs = helloTimeoutMs;
    this.waiting = new Map();
    this.nextId = newIdFactory('page-'); // unique also beside other transports of this window
    this.hello = null;
    this.persistent = true;
    this.progressFrames = true;
    this.generation = 0;
    this.listener = (event) => this.receive(event);
    target.addEventListener('message', this.listener);
  }

  receive(event) {
    if (event.source !== this.target) return;
    const data = event.data;
    if (!data || data.channel !== this.channel || data.to !== 'page') return;
    const w = this.waiting.get(data.id);
    if (!w) return;
    // Progress comes before the reply, never in its place.
    if (data.progress !== undefined) {
      try { w.onProgress?.(data.progress); } catch { /* the caller's trouble */ }
      return;
    }
    this.waiting.delete(data.id);
    clearTimeout(w.timer);
    w.done(data);
  }

  post(type, payload, { timeoutMs, onProgress } = {}) {
    const id = this.nextId();
    return new Promise((resolve, reject) => {
      const timer = timeoutMs ? setTimeout(() => {
        this.waiting.delete(id);
        reject(new ScanError('The scanning extension does not answer: is it installed and enabled?', { kind: 'transport' }));
      }, timeoutMs) : null;
      this.waiting.set(id, { timer, done: resolve, onProgress });
      const origin = this.target.location?.origin;
      this.target.postMessage({ channel: this.channel, to: 'extension', id, type, ...payload }, origin && origin !== 'null' ? origin : '*');
    });
  }

  /** Resolves with {allowed, persistent, extensionId} once the extension answers. */
  connect() {
    this.hello ??= this.post('hello', {}, { timeoutMs: this.helloTimeoutMs }).then((reply) => {
      this.persistent = reply.persistent !== false;
      return { allowed: reply.allowed === true, persistent: this.persistent, extensionId: reply.extensionId };
    }, (e) => { this.hello = null; throw e; });
    return this.hello;
  }

  async request(type, message, { onProgress, binary = false } = {}) {
    const hello = await this.connect();
    if (!hello.allowed) {
      this.hello = null; // ask again next time: the user may allow this origin meanwhile
      throw new ScanError('This page\'s origin is not allowed to use the scanner', { kind: 'refused' });
    }
    const reply = await this.post(type, { message, binary }, { onProgress });
    if (reply.error) throw new ScanError(reply.error.description, { kind: reply.error.kind ?? 'transport', code: reply.error.code ?? null });
    return reply.answer;
  }

  /** options: onProgress(progress) for the host's frames; binary: page bytes as ArrayBuffers. */
  send(message, options) {
    return this.request('request', message, options);
  }

  /**
   * Has the extension run a whole split series and resolves with the full answer, whose
   * page items hold "bytes" (ArrayBuffers) instead of "content". onProgress also sees
   * {state: 'received', bytes} as slices arrive (bytes: answer text so far).
   */
  runSeries(first, options) {
    return this.request('series', first, options);
  }

  close() {
    this.target.removeEventListener('message', this.listener);
  }
}
