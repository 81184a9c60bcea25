'use strict';
// Comparison peer: the ws package's "broadcast to all other clients" server.
//
//   node broadcast.js PORT                    ws://127.0.0.1:PORT/
//   node broadcast.js PORT --tls CERT KEY     wss://127.0.0.1:PORT/
//
// Every message is sent on to every other open client with its binary flag
// kept. Nothing else is added, so the numbers show the recipe as people use it.

const fs = require('fs');
const http = require('http');
const https = require('https');
const { WebSocket, WebSocketServer } = require('ws');

const args = process.argv.slice(2);
const port = Number(args[0]);
if (!Number.isInteger(port) || port <= 0 || port > 65535) {
  console.error('usage: node broadcast.js PORT [--tls CERT KEY]');
  process.exit(2);
}

let server;
if (args[1] === '--tls') {
  if (args.length < 4) {
    console.error('usage: node broadcast.js PORT --tls CERT KEY');
    process.exit(2);
  }
  server = https.createServer({ cert: fs.readFileSync(args[2]), key: fs.readFileSync(args[3]) });
} else {
  server = http.createServer();
}

// The default 100 MiB limit is kept explicit: the largest benchmark message is
// 16 KiB, and a limit must never be what a run measures.
const wss = new WebSocketServer({ server, maxPayload: 100 * 1024 * 1024 });

wss.on('connection', function connection(ws) {
  ws.on('error', console.error);
  ws.on('message', function message(data, isBinary) {
    wss.clients.forEach(function each(client) {
      if (client !== ws && client.readyState === WebSocket.OPEN) {
        client.send(data, { binary: isBinary });
      }
    });
  });
});

server.on('error', (err) => {
  console.error(err.message);
  process.exit(1);
});
server.listen(port, '127.0.0.1', () => {
  console.log(`broadcast ${args[1] === '--tls' ? 'wss' : 'ws'} listening on 127.0.0.1:${port}`);
});
