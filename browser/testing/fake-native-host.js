#!/usr/bin/env node
// A native-messaging host in Node built on FakeHost: lets the browser test run its own
// plumbing where the real host is not built. Pages: FAKE_HOST_PAGES JPEG files (default 3).
import { readFileSync } from 'node:fs';
import { FakeHost } from './fake-host.js';

const jpegPath = process.env.FAKE_HOST_JPEG;
const bytes = jpegPath ? readFileSync(jpegPath) : Uint8Array.of(0xff, 0xd8, 0xff, 0xd9);
const count = Number(process.env.FAKE_HOST_PAGES ?? 3);
const host = new FakeHost({ pages: Array.from({ length: count }, () => ({ type: 'jpg', bytes })) });

let buffer = Buffer.alloc(0);
process.stdin.on('data', (chunk) => {
  buffer = Buffer.concat([buffer, chunk]);
  while (buffer.length >= 4) {
    const length = buffer.readUInt32LE(0);
    if (length === 0) process.exit(0);
    if (buffer.length < 4 + length) break;
    const request = JSON.parse(buffer.subarray(4, 4 + length).toString('utf8'));
    buffer = buffer.subarray(4 + length);
    const body = Buffer.from(JSON.stringify(host.handle(request)), 'utf8');
    const header = Buffer.alloc(4);
    header.writeUInt32LE(body.length, 0);
    process.stdout.write(Buffer.concat([header, body]));
  }
});
process.stdin.on('end', () => process.exit(0));
