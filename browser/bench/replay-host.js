#!/usr/bin/env node
// A stand-in host for the transport bench: answers each request of a split series at once
// with the next frame recorded from the real host (LUMRA_REPLAY_FRAMES), so that a run
// through the browser measures what the browser alone costs for the same bytes.
import { readFileSync } from 'node:fs';

const recorded = readFileSync(process.env.LUMRA_REPLAY_FRAMES);
const frames = [];
for (let at = 0; at < recorded.length;) {
  const n = recorded.readUInt32LE(at);
  frames.push(recorded.subarray(at + 4, at + 4 + n).toString('utf8'));
  at += 4 + n;
}
const RECORDED_ID = JSON.stringify(process.env.LUMRA_REPLAY_ID);

let next = frames.length;  // no series under way
let input = Buffer.alloc(0);
function answer(request) {
  let text;
  if (request.command === 'scannerSplitProcessing' && next === frames.length) next = 0;
  if (next < frames.length && /SplitProcessing$/.test(request.command)) {
    text = frames[next++].replace(RECORDED_ID, JSON.stringify(request.messageId));
  } else {
    // What the host answers a follow-up sent past the end of a series.
    text = JSON.stringify({ command: request.command, messageId: request.messageId, status: { code: 0, description: 'Error parsing list files', result: 'error' } });
  }
  const body = Buffer.from(text, 'utf8');
  const head = Buffer.alloc(4);
  head.writeUInt32LE(body.length);
  process.stdout.write(Buffer.concat([head, body]));
}
process.stdin.on('data', (chunk) => {
  input = Buffer.concat([input, chunk]);
  while (input.length >= 4 && input.length >= 4 + input.readUInt32LE(0)) {
    const n = input.readUInt32LE(0);
    answer(JSON.parse(input.subarray(4, 4 + n).toString('utf8')));
    input = input.subarray(4 + n);
  }
});
