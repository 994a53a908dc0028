/** Commands of the host's protocol. */
export declare const Command: Readonly<{
  scannersList: 'scannersList';
  capabilities: 'scannerCapabilities';
  scan: 'scannerProcessing';
  scanFiles: 'scannerProcessingFiles';
  scanSplit: 'scannerSplitProcessing';
  filesSplit: 'filesSplitProcessing';
  removeFiles: 'removeFiles';
}>;

/** Who failed: the host, the connection to it, the extension's policy, or the caller. */
export type ScanErrorKind = 'host' | 'transport' | 'refused' | 'usage';

/** Error of a failed call, with the host's "description" and "code" when it answered. */
export declare class ScanError extends Error {
  constructor(description: string, options?: { kind?: ScanErrorKind; code?: number | null; answer?: HostAnswer | null });
  readonly description: string;
  /** The host's "status"."code" (a TWAIN condition code for scan failures), or null. */
  readonly code: number | null;
  readonly kind: ScanErrorKind;
  /** The host's whole answer when it answered with an error. */
  readonly answer: HostAnswer | null;
}

/** The "settings" object of a scan request. */
export interface ScanSettings {
  /** Dots per inch, both axes. */
  dpi?: number;
  /** "bw", "gray"; anything else means colour. */
  color?: 'bw' | 'gray' | 'color' | string;
  feeder?: boolean;
  duplex?: boolean;
  /** Show the scanner's own dialog. */
  showUI?: boolean;
  /** Time-out of the job in milliseconds. */
  timeout?: number;
  /**
   * Page file format. 'pdf' gives one PDF for the whole job; 'tif' with multipage: true one
   * multi-page TIFF. quality: JPEG quality (also of the JPEG pages inside a PDF).
   */
  format?: { type?: PageFormat; quality?: number; multipage?: boolean };
}

/** Formats the host writes (the page's "type" in answers). */
export type PageFormat =
  | 'jpg' | 'png' | 'gif' | 'bmp' | 'ico' | 'tif' | 'tga' | 'pcx' | 'wbmp' | 'jp2' | 'jpc'
  | 'pgx' | 'pnm' | 'ras' | 'mng' | 'ska' | 'pdf' | (string & {});

/**
 * Progress of a scan: the host's word of each page saved, then, for a split series run by
 * the page transport, the answer text received so far (in UTF-16 code units).
 */
export type ScanProgress =
  | { state: 'saved'; page: number; bytes: number }
  | { state: 'received'; bytes: number };

export interface ScanOptions {
  /** 'pages' (one answer), 'split' (sliced answer) or 'files' (paths left on disk). Default 'pages'. */
  as?: 'pages' | 'files' | 'split';
  /** Scanner id from listScanners(); absent: the default scanner. */
  scannerId?: number;
  /** Called as each page is saved (and as a series arrives), where the transport carries progress. */
  onProgress?: (progress: ScanProgress) => void;
  isDsm2?: boolean;
  workingDirectory?: string;
  contentId?: string;
}

export interface HostStatus {
  result?: 'success' | 'error' | string;
  description?: string;
  code?: number;
}

/** An answer of the host as it stands on the wire. */
export interface HostAnswer {
  messageId?: string;
  command?: string;
  contentId?: string;
  settings?: ScanSettings;
  status?: HostStatus;
  [key: string]: unknown;
}

export interface ScannerItem {
  scannerId: number;
  scannerName: string;
}

export interface ScannerListAnswer extends HostAnswer {
  scanners: ScannerItem[];
}

/** One page (or the one PDF or multi-page TIFF of a job): a Blob when the host could read it, else its "description". */
export interface Page {
  number: number;
  type?: string;
  mimeType?: string;
  blob?: Blob;
  description?: string;
}

export interface PagesAnswer extends HostAnswer {
  pages: Page[];
}

export interface FilesAnswer extends HostAnswer {
  files: { fileName: string }[];
}

/** Options of one request: progress frames that come before its answer, page bytes decoded on the way. */
export interface SendOptions {
  onProgress?: (progress: ScanProgress) => void;
  binary?: boolean;
}

/** Carries one request to the host and brings back its answer. */
export interface Transport {
  send(message: object, options?: SendOptions): Promise<HostAnswer>;
  /** Runs a whole split series from its first request, resolving with the full answer. */
  runSeries?(first: object, options?: SendOptions): Promise<HostAnswer>;
  /** True when onProgress can be called (the client then asks the host for progress). */
  readonly progressFrames?: boolean;
  /** False when each request meets a new host process (split series impossible). */
  readonly persistent?: boolean;
  /** Changes whenever the connection to the host is lost or renewed. */
  readonly generation?: number;
}

export declare class ScanClient {
  constructor(options: { transport: Transport; idPrefix?: string; isDsm2?: boolean });
  readonly transport: Transport;
  listScanners(): Promise<ScannerListAnswer>;
  /** What a scanner offers (the default one when scannerId is absent). */
  capabilities(scannerId?: number): Promise<CapabilitiesAnswer>;
  scan(settings?: ScanSettings, options?: ScanOptions & { as?: 'pages' | 'split' }): Promise<PagesAnswer>;
  scan(settings: ScanSettings, options: ScanOptions & { as: 'files' }): Promise<FilesAnswer>;
  /** Fetches page files reported earlier as Blobs; the host deletes them. */
  readFiles(paths: Array<string | { fileName: string }>): Promise<PagesAnswer>;
  removeFiles(paths: Array<string | { fileName: string }>): Promise<HostAnswer>;
  /** Sends one raw request in turn with the other calls; no status check. */
  send(message: object): Promise<HostAnswer>;
}

/** Native messaging from extension code: one persistent port, one-shot messages as fallback. */
export declare class NativeTransport implements Transport {
  constructor(hostName: string, options?: { runtime?: unknown });
  readonly persistent: boolean;
  readonly generation: number;
  readonly progressFrames: boolean;
  /** Called with the browser's text whenever the port closes. */
  onDisconnect: ((reason: string) => void) | null;
  send(message: object, options?: SendOptions): Promise<HostAnswer>;
  close(): void;
}

export declare const PAGE_CHANNEL: string;

/** For web pages: relays through the sample extension's content script. */
export declare class PageTransport implements Transport {
  constructor(options?: { target?: Window; channel?: string; helloTimeoutMs?: number });
  readonly persistent: boolean;
  readonly progressFrames: true;
  /** Asks the extension whether this page may use the scanner. */
  connect(): Promise<{ allowed: boolean; persistent: boolean; extensionId?: string }>;
  send(message: object, options?: SendOptions): Promise<HostAnswer>;
  /** The extension runs the series, asking for each slice before the page has the last; page items hold "bytes" (ArrayBuffer[]). */
  runSeries(first: object, options?: SendOptions): Promise<HostAnswer>;
  close(): void;
}

export declare function mimeTypeOf(type: string | undefined): string;
export declare function decodeBase64(text: string): Uint8Array;
/** Replaces each page's Base64 "content" by a Blob; returns the same answer object. */
export declare function decodePages<T extends HostAnswer>(answer: T): T & PagesAnswer;

/** What a scanner told of itself; members it did not tell are absent. */
export interface ScannerCapabilities {
  resolutions?: number[] | { min: number; max: number; step: number };
  colors?: Array<'bw' | 'gray' | 'color'>;
  feeder?: boolean;
  duplex?: boolean;
  /** The scanner can scan without showing its own dialog. */
  showUI?: boolean;
  /** Inches. */
  pageSize?: { width: number; height: number };
}

export interface CapabilitiesAnswer {
  messageId: string;
  command: 'scannerCapabilities';
  capabilities: ScannerCapabilities;
  status: { result: 'success' | 'error'; description?: string; code?: number };
  [key: string]: unknown;
}
