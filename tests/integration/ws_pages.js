// WebSocket clients inside headless Chromium pages, for test_clients.py.
//
//   node ws_pages.js PAGES
//
// Opens PAGES blank pages, answers {"ok": true, "event": "loaded"} and then
// reads one JSON command per line on stdin, answering each with one line:
//   {"cmd": "open", "page": i, "url": "ws://...", "binaryType": "blob"|"arraybuffer"}
//                                   -> {"ok": true} once the socket is open
//   {"cmd": "send", "page": i, "text": "..."}   a text message (may be empty)
//   {"cmd": "send", "page": i, "b64": "..."}    an ArrayBuffer with these bytes
//   {"cmd": "messages", "page": i, "count": n}  -> {"ok": true, "messages":
//        [{"type": "string", "text": ...} | {"type": "Blob"|"ArrayBuffer", "b64": ...}]}
//        once the page has received n messages (all it has, in order)
//   {"cmd": "closed", "page": i}  -> {"ok": true, "code": n} once the socket closed
//   {"cmd": "state", "page": i}   -> {"ok": true, "readyState": n}
//   {"cmd": "quit"}
// Every wait is bounded by WAIT_MS; a failed one answers {"ok": false, "error": ...}.
"use strict";

const fs = require("fs");
const os = require("os");
const path = require("path");
const readline = require("readline");
const { createRequire } = require("module");

const puppeteer = createRequire(path.join(__dirname, "..", "node", "package.json"))("puppeteer-core");

// Waits poll on a timer: the default polls on animation frames, which a
// page in the background (all but the last one opened) may not get at all.
const POLL_MS = 50;
const WAIT_MS = Number(process.env.PAGES_WAIT_MS || 15000);
const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";

function reply(obj) {
  process.stdout.write(JSON.stringify(obj) + "\n");
}

// Runs inside the page: one socket, every message kept with its type.
function pageOpen(url, binaryType) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(url);
    ws.binaryType = binaryType;
    window.__ws = ws;
    window.__got = [];
    window.__closed = null;
    ws.onmessage = (e) => {
      if (typeof e.data === "string") {
        window.__got.push(Promise.resolve({ type: "string", text: e.data }));
        return;
      }
      const type = e.data.constructor.name;
      const bytes = type === "Blob" ? e.data.arrayBuffer() : Promise.resolve(e.data);
      window.__got.push(bytes.then((b) => {
        let s = "";
        for (const c of new Uint8Array(b)) s += String.fromCharCode(c);
        return { type, b64: btoa(s) };
      }));
    };
    ws.onclose = (e) => { window.__closed = e.code; reject(new Error("closed " + e.code)); };
    ws.onopen = () => resolve(true);
  });
}

async function main() {
  const count = Number(process.argv[2] || 1);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "relayhub-pages-"));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
           "--disable-backgrounding-occluded-windows",
           "--user-data-dir=" + profile],
  });
  try {
    const pages = [];
    for (let i = 0; i < count; ++i) pages.push(await browser.newPage());
    reply({ ok: true, event: "loaded", pages: pages.length });

    const rl = readline.createInterface({ input: process.stdin });
    for await (const line of rl) {
      if (!line.trim()) continue;
      const c = JSON.parse(line);
      const page = pages[c.page || 0];
      try {
        if (c.cmd === "quit") {
          reply({ ok: true });
          break;
        } else if (c.cmd === "open") {
          await page.evaluate(pageOpen, c.url, c.binaryType || "blob");
          reply({ ok: true });
        } else if (c.cmd === "send") {
          await page.evaluate((text, b64) => {
            if (b64 === null) {
              window.__ws.send(text);
            } else {
              const s = atob(b64);
              const a = new Uint8Array(s.length);
              for (let i = 0; i < s.length; ++i) a[i] = s.charCodeAt(i);
              window.__ws.send(a.buffer);
            }
          }, c.text === undefined ? null : c.text, c.b64 === undefined ? null : c.b64);
          reply({ ok: true });
        } else if (c.cmd === "messages") {
          await page.waitForFunction((n) => window.__got.length >= n, { timeout: WAIT_MS, polling: POLL_MS }, c.count);
          const messages = await page.evaluate(() => Promise.all(window.__got));
          reply({ ok: true, messages });
        } else if (c.cmd === "closed") {
          await page.waitForFunction(() => window.__closed !== null, { timeout: WAIT_MS, polling: POLL_MS });
          reply({ ok: true, code: await page.evaluate(() => window.__closed) });
        } else if (c.cmd === "state") {
          reply({ ok: true, readyState: await page.evaluate(() => window.__ws.readyState) });
        } else {
          reply({ ok: false, error: "unknown command " + c.cmd });
        }
      } catch (e) {
        reply({ ok: false, error: String(e && e.message || e) });
      }
    }
  } finally {
    try { await browser.close(); } catch (e) { /* already gone */ }
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().catch((e) => {
  reply({ ok: false, error: String(e && e.stack || e) });
  process.exit(1);
});
