// Test doubles of the scanning host: an in-process host that answers like the real one
// (split series included) and a chrome.runtime with native ports built on it.

const MAX_SLICE_BASE = 1047552;

/** UTF-8 bytes of a JS string. */
export const utf8 = (s) => new TextEncoder().encode(s);

/** JSON text as the host writes it: "/" escaped as "\/". */
export const hostJson = (value) => JSON.stringify(value).replaceAll('/', '\\/');

/**
 * Cuts a text's UTF-8 form into slices of at most `size` bytes, never inside a character
 * (a slice smaller than one holds that whole character), as a real host cuts its "part"s.
 */
export function sliceUtf8(text, size) {
  const parts = [''];
  let bytes = 0;
  for (const ch of text) {
    const n = utf8(ch).length;
    if (bytes > 0 && bytes + n > size) {
      parts.push('');
      bytes = 0;
    }
    parts[parts.length - 1] += ch;
    bytes += n;
  }
  return parts;
}

/**
 * A host in memory. `handle(request)` returns the answer object. Scans produce `pages`
 * (array of {type, bytes}); split series are sliced with `sliceBytes` (default: as the host
 * does, from the request's length).
 */
export class FakeHost {
  constructor({ pages = [], scanners = { 1: 'Virtual' }, sliceBytes, files = new Map() } = {}) {
    this.pages = pages;
    this.scanners = scanners;
    this.sliceBytes = sliceBytes;
    this.files = files; // path -> {type, bytes}
    this.registry = new Map(); // messageId -> remaining slices
    this.requests = [];
    this.scansRun = 0;
    this.failNextScan = null;
  }

  /** The request's fields the host repeats in its answer. */
  echo({ files, progress, ...repeated }) { return repeated; }

  pageItems(list) {
    return list.map((p, i) => (p.bytes
      ? { content: Buffer.from(p.bytes).toString('base64'), number: i + 1, type: p.type }
      : { description: 'Error create page', number: i + 1 }));
  }

  /** Runs a scan: an error answer when armed to fail, else null (and progress frames when asked). */
  scan(request) {
    this.scansRun++;
    if (this.failNextScan) {
      const f = this.failNextScan;
      this.failNextScan = null;
      return { ...this.echo(request), status: { code: f.code, description: f.description, result: 'error' } };
    }
    if (request.progress === true) {
      this.frames = this.pages.filter((p) => p.bytes).map((p, i) =>
        ({ command: request.command, messageId: request.messageId, progress: { bytes: p.bytes.length, page: i + 1, state: 'saved' } }));
    }
    return null;
  }

  /** Progress frames the last request made, taken. */
  takeFrames() {
    const frames = this.frames ?? [];
    this.frames = [];
    return frames;
  }

  handle(request) {
    this.requests.push(request);
    const length = utf8(JSON.stringify(request)).length;
    const { messageId = '', command } = request;
    const ok = { result: 'success' };
    switch (command) {
      case 'scannersList':
        return { ...this.echo(request), scanners: Object.entries(this.scanners).map(([id, name]) => ({ scannerId: Number(id), scannerName: name })), status: ok };
      case 'scannerProcessing': {
        return this.scan(request) ?? { ...this.echo(request), pages: this.pageItems(this.pages), status: ok };
      }
      case 'scannerProcessingFiles': {
        // A job that fails part way still reports the pages saved before (failNextScan.saved).
        const saved = this.failNextScan?.saved ?? this.pages.length;
        const failed = this.scan(request);
        const folder = request.workingDirectory ? `${request.workingDirectory}/` : '/tmp/lumra_image_scan/';
        const files = this.pages.slice(0, saved).map((p, i) => {
          const path = `${folder}page_${i}.${p.type}`;
          this.files.set(path, p);
          return { fileName: path };
        });
        if (failed) return files.length ? { ...failed, files } : failed;
        return { ...this.echo(request), files, status: ok };
      }
      case 'removeFiles':
        if (!Array.isArray(request.files)) return { ...this.echo(request), status: { code: 0, description: 'Error parsing list files', result: 'error' } };
        for (const f of request.files) this.files.delete(f?.fileName);
        return { ...this.echo(request), status: ok };
      case 'scannerSplitProcessing':
      case 'filesSplitProcessing': {
        if (!this.registry.has(messageId)) {
          let full;
          if (command === 'scannerSplitProcessing') {
            full = this.scan(request) ?? { ...this.echo(request), pages: this.pageItems(this.pages), status: ok };
          } else if (!Array.isArray(request.files)) {
            full = { ...this.echo(request), status: { code: 0, description: 'Error parsing list files', result: 'error' } };
          } else {
            const list = request.files.map((f) => this.files.get(f.fileName) ?? {});
            request.files.forEach((f) => this.files.delete(f.fileName));
            full = { ...this.echo(request), pages: this.pageItems(list), status: ok };
          }
          this.fullAnswers = [...(this.fullAnswers ?? []), full];
          const size = this.sliceBytes ?? Math.floor((MAX_SLICE_BASE - length) / 2);
          this.registry.set(messageId, sliceUtf8(hostJson(full), size));
        }
        const rest = this.registry.get(messageId);
        const part = rest.shift();
        if (rest.length === 0) this.registry.delete(messageId);
        return { ...this.echo(request), split: { last: rest.length === 0, part }, status: ok };
      }
    }
  }
}

/** An event like chrome's: addListener / dispatch. */
export class FakeEvent {
  constructor() { this.listeners = []; }
  addListener(f) { this.listeners.push(f); }
  dispatch(...args) { for (const f of [...this.listeners]) f(...args); }
}

/**
 * chrome.runtime with connectNative / sendNativeMessage backed by a FakeHost. Answers
 * come asynchronously; `maxAnswerBytes` imitates the browser's 1 MiB limit.
 */
export class FakeRuntime {
  constructor(host, { maxAnswerBytes = 1048576, connectNative = true, notFound = false } = {}) {
    this.host = host;
    this.maxAnswerBytes = maxAnswerBytes;
    this.notFound = notFound;
    this.lastError = undefined;
    this.ports = [];
    this.oneShots = 0;
    this.answered = []; // {messageId, bytes} of every answer, in order
    if (!connectNative) this.connectNative = undefined;
  }

  answerOrError(message) {
    const answer = this.host.handle(structuredClone(message));
    const size = utf8(JSON.stringify(answer)).length;
    this.answered.push({ messageId: message.messageId, bytes: size });
    if (size > this.maxAnswerBytes) return { error: 'Error when communicating with the native messaging host.' };
    return { answer };
  }

  connectNative(name) {
    const rt = this;
    const port = {
      name, onMessage: new FakeEvent(), onDisconnect: new FakeEvent(), connected: true,
      postMessage(message) {
        if (!port.connected) throw new Error('Attempting to use a disconnected port object');
        setTimeout(() => {
          if (!port.connected) return;
          if (rt.notFound) return port.kill('Specified native messaging host not found.');
          if (port.dropNext) { port.dropNext = false; return port.kill('Native host has exited.'); }
          const r = rt.answerOrError(message);
          for (const frame of rt.host.takeFrames()) port.onMessage.dispatch(frame, port);
          if (r.error) return port.kill(r.error);
          port.onMessage.dispatch(structuredClone(r.answer), port);
        }, 0);
      },
      disconnect() { port.connected = false; },
      kill(text) {
        port.connected = false;
        rt.lastError = { message: text };
        port.onDisconnect.dispatch(port);
        rt.lastError = undefined;
      },
    };
    this.ports.push(port);
    return port;
  }

  sendNativeMessage(name, message, callback) {
    this.oneShots++;
    setTimeout(() => {
      const r = this.notFound ? { error: 'Specified native messaging host not found.' } : this.answerOrError(message);
      // A one-shot host process takes its split registry with it.
      this.host.registry.clear();
      if (r.error) this.lastError = { message: r.error };
      callback(r.error ? undefined : structuredClone(r.answer));
      this.lastError = undefined;
    }, 0);
  }
}
