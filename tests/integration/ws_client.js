// A Node WebSocket client for the integration tests, driven line by line.
//
//   node ws_client.js ws URL                                  the `ws` package
//   node --experimental-websocket ws_client.js builtin URL    Node's own WebSocket
//
// Prints one JSON line per event: {"event": "open"}, {"event": "message",
// "binary": bool, "b64": "..."}, {"event": "close", "code": n, "reason": "..."},
// {"event": "error", "error": "..."}. Reads one JSON command per line:
//   {"cmd": "send", "text": "..."} or {"cmd": "send", "b64": "..."}  (binary)
//   {"cmd": "pings", "count": n, "interval_ms": ms}   (ws only) pings with
//        distinct payloads, one per interval; answers {"event": "pings",
//        "sent": [...], "pongs": [...]} once every pong is in or 5 s after
//        the last ping
//   {"cmd": "close", "code": n}
// and answers each command with {"event": "done", "cmd": ...}.
"use strict";

const path = require("path");
const readline = require("readline");
const crypto = require("crypto");
const { createRequire } = require("module");

const [impl, url] = process.argv.slice(2);

function out(obj) {
  process.stdout.write(JSON.stringify(obj) + "\n");
}

let ws;
if (impl === "builtin") {
  if (typeof WebSocket !== "function") {
    out({ event: "error", error: "no built-in WebSocket in node " + process.version });
    process.exit(2);
  }
  ws = new WebSocket(url);
  ws.binaryType = "arraybuffer";
} else {
  const WS = createRequire(path.join(__dirname, "..", "node", "package.json"))("ws");
  ws = new WS(url);
}

const b64 = (data) => Buffer.from(data).toString("base64");

function onMessage(data, isBinary) {
  if (impl === "builtin") {
    const binary = typeof data !== "string";
    out({ event: "message", binary, b64: binary ? b64(new Uint8Array(data)) : b64(Buffer.from(data, "utf8")) });
  } else {
    out({ event: "message", binary: isBinary, b64: b64(data) });
  }
}

const pongs = [];
if (impl === "builtin") {
  ws.onopen = () => out({ event: "open" });
  ws.onmessage = (e) => onMessage(e.data);
  ws.onclose = (e) => { out({ event: "close", code: e.code, reason: e.reason }); process.exit(0); };
  ws.onerror = (e) => out({ event: "error", error: String(e && e.message || e.type) });
} else {
  ws.on("open", () => out({ event: "open" }));
  ws.on("message", onMessage);
  ws.on("pong", (data) => pongs.push(data.toString("latin1")));
  ws.on("close", (code, reason) => { out({ event: "close", code, reason: reason.toString() }); process.exit(0); });
  ws.on("error", (e) => out({ event: "error", error: String(e && e.message || e) }));
}

async function pings(count, interval) {
  const sent = [];
  const start = pongs.length;
  for (let i = 0; i < count; ++i) {
    const payload = "ping-" + i + "-" + crypto.randomBytes(6).toString("hex");
    sent.push(payload);
    ws.ping(Buffer.from(payload, "latin1"));
    await new Promise((r) => setTimeout(r, interval));
  }
  const deadline = Date.now() + 5000;
  while (pongs.length - start < count && Date.now() < deadline) {
    await new Promise((r) => setTimeout(r, 20));
  }
  out({ event: "pings", sent, pongs: pongs.slice(start) });
}

const rl = readline.createInterface({ input: process.stdin });
rl.on("line", async (line) => {
  if (!line.trim()) return;
  const c = JSON.parse(line);
  try {
    if (c.cmd === "send") {
      ws.send(c.b64 !== undefined ? Buffer.from(c.b64, "base64") : c.text);
    } else if (c.cmd === "pings") {
      await pings(c.count, c.interval_ms);
    } else if (c.cmd === "close") {
      ws.close(c.code);
    }
    out({ event: "done", cmd: c.cmd });
  } catch (e) {
    out({ event: "error", error: String(e && e.message || e), cmd: c.cmd });
  }
});
// Standard input closed: the test is gone, so is this client.
rl.on("close", () => setTimeout(() => process.exit(0), 100));
