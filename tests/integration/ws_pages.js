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
//   {"cmd": "closed", "page": i}  -> {"ok": true, "code": n, "clean": bool} once the socket closed
//   {"cmd": "state", "page": i}   -> {"ok": true, "readyState": n}
//   {"cmd": "quit"}
// Every wait is bounded by WAIT_MS; a failed one answers {"ok": false, "error": ...}.
"use strict";

const { main, POLL_MS } = require("./browser_driver");

const WAIT_MS = Number(process.env.PAGES_WAIT_MS || 15000);
const wait = { timeout: WAIT_MS, polling: POLL_MS };

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
    ws.onclose = (e) => {
      window.__closed = e.code;
      window.__clean = e.wasClean;
      reject(new Error("closed " + e.code));
    };
    ws.onopen = () => resolve(true);
  });
}

main({
  name: "pages",
  open: async (browser) => {
    const pages = [];
    for (let i = 0; i < Number(process.argv[2] || 1); ++i) pages.push(await browser.newPage());
    return pages;
  },
  commands: {
    open: async (page, c) => {
      await page.evaluate(pageOpen, c.url, c.binaryType || "blob");
    },
    send: async (page, c) => {
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
    },
    messages: async (page, c) => {
      await page.waitForFunction((n) => window.__got.length >= n, wait, c.count);
      return { messages: await page.evaluate(() => Promise.all(window.__got)) };
    },
    closed: async (page) => {
      await page.waitForFunction(() => window.__closed !== null, wait);
      return await page.evaluate(() => ({ code: window.__closed, clean: window.__clean }));
    },
    state: async (page) => ({ readyState: await page.evaluate(() => window.__ws.readyState) }),
  },
});
