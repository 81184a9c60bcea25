// Drives the hub's chat page in headless Chromium for test_people.py.
//
//   node chat_browser.js URL [URL ...]
//
// Opens one page per URL and then reads one JSON command per line on stdin,
// answering each with one JSON line on stdout:
//   {"cmd": "wait_open", "page": i}               -> {"ok": true}
//   {"cmd": "send", "page": i, "text": "...", "fill": false}
//                                                  types the line (or fills it in) and presses Enter
//   {"cmd": "wait_entry", "page": i, "kind": "text"|"binary"|"sys", "text": "..."}
//                                                  waits for a log entry holding text
//   {"cmd": "state", "page": i}                   -> {"ok": true, "state": ..., "shown": ...}
//   {"cmd": "entries", "page": i}                 -> {"ok": true, "entries": [[kind, text], ...]}
//   {"cmd": "screenshot", "page": i, "path": "..."}
//   {"cmd": "quit"}
// Every wait is bounded by WAIT_MS; a failed wait answers {"ok": false, "error": ...}.
"use strict";

const { main, POLL_MS } = require("./browser_driver");

const WAIT_MS = Number(process.env.CHAT_WAIT_MS || 15000);
const wait = { timeout: WAIT_MS, polling: POLL_MS };

main({
  name: "chat",
  launch: { args: ["--ignore-certificate-errors"], defaultViewport: { width: 900, height: 560 } },
  open: async (browser) => {
    const pages = [];
    for (const url of process.argv.slice(2)) {
      const page = await browser.newPage();
      await page.goto(url, { waitUntil: "load", timeout: WAIT_MS });
      pages.push(page);
    }
    return pages;
  },
  commands: {
    wait_open: async (page) => {
      await page.waitForFunction(() => document.body.dataset.state === "open", wait);
    },
    send: async (page, c) => {
      await page.focus("#line");
      if (c.fill) {
        // Long lines: typing them key by key would take seconds.
        await page.$eval("#line", (e, t) => { e.value = t; }, c.text);
      } else {
        await page.keyboard.type(c.text);
      }
      await page.keyboard.press("Enter");
      await page.waitForFunction(() => document.getElementById("line").value === "", wait);
    },
    wait_entry: async (page, c) => {
      await page.waitForFunction((kind, text) =>
        Array.from(document.querySelectorAll("#log .msg." + kind + " .text"))
             .some((e) => e.textContent.includes(text)),
        wait, c.kind, c.text);
    },
    state: (page) => page.evaluate(() => ({
      state: document.body.dataset.state,
      shown: document.getElementById("state").textContent,
    })),
    entries: async (page) => ({
      entries: await page.evaluate(() =>
        Array.from(document.querySelectorAll("#log .msg")).map((e) =>
          [e.className.replace("msg ", ""), e.querySelector(".text").textContent])),
    }),
    screenshot: async (page, c) => {
      await page.screenshot({ path: c.path });
    },
  },
  // What the page shows, to tell why a wait failed.
  failure: async (page) => ({
    entries: await page.evaluate(() =>
      Array.from(document.querySelectorAll("#log .msg")).map((e) => e.textContent.slice(0, 200))),
  }),
});
