// The two endpoints of ws_server.cpp on Node's ws, for bench/ws/run.
//   node ws_server.mjs PORT [--deflate]
// /echo sends each message back as it came.  /bcast: a text message "go"
// from any client sends one 64-byte text message to every client of that
// endpoint, its sender included, by the loop over the clients that ws's
// documentation shows.  --deflate turns perMessageDeflate on, else it is
// off.  Stops at a byte or the end of standard input, or at SIGTERM or
// SIGINT.
//
// ws comes from tests/browser/node_modules (cd tests/browser && npm ci).
import { createServer } from 'node:http';
import { createRequire } from 'node:module';

const require = createRequire(
  new URL('../../tests/browser/package.json', import.meta.url));
const { WebSocketServer, WebSocket } = require('ws');

// The same 64 bytes as ws_server.cpp.
const BROADCAST =
  'broadcast message of sixty-four bytes, the same for every client';

const [portArg, flag] = process.argv.slice(2);
const deflate = flag === '--deflate';
if (portArg === undefined || (flag !== undefined && !deflate)) {
  console.log('usage: node ws_server.mjs <PORT> [--deflate]');
  process.exit(1);
}

// ws leaves messages under 1024 bytes uncompressed by default; the library
// compresses from 32 bytes.  The threshold is set to the library's so that
// both compress the same 64-byte messages; the rest is ws's default
// (zlib's default level and memory level, context kept).
const perMessageDeflate = deflate ? { threshold: 32 } : false;
const echo = new WebSocketServer({ noServer: true, perMessageDeflate });
const bcast = new WebSocketServer({ noServer: true, perMessageDeflate });

echo.on('connection', (ws) => {
  ws.on('message', (data, isBinary) => ws.send(data, { binary: isBinary }));
});

bcast.on('connection', (ws) => {
  ws.on('message', (data, isBinary) => {
    if (isBinary || data.toString() !== 'go') return;
    for (const client of bcast.clients) {
      if (client.readyState === WebSocket.OPEN) client.send(BROADCAST);
    }
  });
});

const routes = { '/echo': echo, '/bcast': bcast };
const server = createServer((req, res) => {
  res.writeHead(404, { 'Content-Type': 'text/plain' });
  res.end('Not Found\n');
});
server.on('upgrade', (req, socket, head) => {
  let path = '';
  try {
    path = new URL(req.url, 'http://localhost').pathname;
  } catch {
    // A target no URL parser takes: no route, answered 404 below.
  }
  const wss = Object.hasOwn(routes, path) ? routes[path] : undefined;
  if (wss === undefined) {
    socket.end('HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n');
    return;
  }
  wss.handleUpgrade(req, socket, head, (ws) => wss.emit('connection', ws, req));
});

function stop() {
  for (const wss of Object.values(routes)) {
    for (const client of wss.clients) client.terminate();
  }
  server.close();
  process.exit(0);
}
process.on('SIGTERM', stop);
process.on('SIGINT', stop);
process.stdin.on('data', stop);
process.stdin.on('end', stop);

server.listen(Number(portArg), '127.0.0.1', () => {
  console.log(`permessage-deflate: ${deflate ? 'on' : 'off'}`);
  console.log(`Server running at http://localhost:${server.address().port}`);
});
