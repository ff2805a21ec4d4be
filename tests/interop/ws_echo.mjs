// The chatroom demo's WebSockets as npm's ws client sees them: /echo with
// text, binary, 1 MiB messages, a message sent in fragments, a ping and a
// close of the client's, then a close of the server's on /chat.  Prints one
// line per check, as ws_echo.py does, for tests/ws_interop_test.cpp.
//
// Usage: node ws_echo.mjs PORT deflate|plain
// Exits 77 (a skip) when the ws package is not installed in tests/browser.
import { createRequire } from 'node:module';

const SKIP = 77;
const WAIT_MS = 20000;  // bound on the whole run

const require = createRequire(new URL('../browser/package.json', import.meta.url));
let WebSocket;
try {
  WebSocket = require('ws');
} catch {
  console.log('skipped: ws is not installed in tests/browser (scripts/install-deps)');
  process.exit(SKIP);
}

const [port, mode] = process.argv.slice(2);
if (!port || (mode !== 'deflate' && mode !== 'plain')) {
  console.error('usage: node ws_echo.mjs PORT deflate|plain');
  process.exit(2);
}
setTimeout(() => {
  console.log('timed out');
  process.exit(1);
}, WAIT_MS).unref();

// A connection whose messages are taken in order with next(), and whose
// close (code and reason) is awaited with closed.
function connect(path) {
  const ws = new WebSocket(`ws://127.0.0.1:${port}${path}`,
                           { perMessageDeflate: mode === 'deflate' });
  const arrived = [];
  const waiting = [];
  ws.on('message', (data, isBinary) => {
    const message = { data, kind: isBinary ? 'binary' : 'text' };
    if (waiting.length > 0) waiting.shift()(message);
    else arrived.push(message);
  });
  const closed = new Promise((resolve) => ws.on('close', (code, reason) =>
    resolve(`${code} ${reason.toString()}`)));
  const next = () => (arrived.length > 0 ? Promise.resolve(arrived.shift())
    : new Promise((resolve) => waiting.push(resolve)));
  return new Promise((resolve, reject) => {
    ws.once('open', () => resolve({ ws, next, closed }));
    ws.once('error', reject);
  });
}

// Bytes that do not compress: a deflated copy is a little larger.
function noise(size) {
  const out = Buffer.alloc(size);
  let x = 12345;
  for (let i = 0; i < size; i++) {
    x = (x * 1103515245 + 12345) >>> 0;
    out[i] = x >>> 24;
  }
  return out;
}

// Text of exactly |size| bytes: numbered lines.
function lines(size) {
  let text = '';
  for (let i = 0; text.length < size; i++) text += `line ${i}\n`;
  return text.slice(0, size);
}

async function echo(c, label, payload, options = {}) {
  c.ws.send(payload, options);
  const { data, kind } = await c.next();
  const same = Buffer.from(payload).equals(data) ? 'same' : 'differs';
  console.log(`${label}: ${kind} ${data.length} ${same}`);
}

const c = await connect('/echo');
console.log(`extension: ${c.ws.extensions.split(';')[0] || 'none'}`);

c.ws.send('h\u00e9llo \u2713');
let m = await c.next();
console.log(`text: ${m.kind} ${m.data.toString()}`);
c.ws.send(Buffer.from([0x00, 0xff, 0x01, 0x80]));
m = await c.next();
console.log(`binary: ${m.kind} ${m.data.toString('hex')}`);

await echo(c, '1 MiB text', lines(1 << 20));
await echo(c, '1 MiB binary', noise(1 << 20), { binary: true });

// One message in four frames of 64 KiB, the last one final.
const part = lines(1 << 16);
for (let i = 0; i < 4; i++) c.ws.send(part, { fin: i === 3 });
m = await c.next();
console.log(`fragments: ${m.kind} ${m.data.length} ` +
            `${m.data.toString() === part.repeat(4) ? 'same' : 'differs'}`);

const pong = new Promise((resolve) => c.ws.once('pong', resolve));
c.ws.ping('are you there');
console.log(`ping: pong ${(await pong).toString()}`);

c.ws.close(4000, 'bye');
console.log(`close: ${await c.closed}`);

// The chat takes text only: binary is closed with 1003 by the server.
const chat = await connect('/chat');
const joined = (await chat.next()).data.toString();
chat.ws.send(Buffer.from([1, 2, 3]));
console.log(`chat: ${joined}, then ${await chat.closed}`);
