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

const fs = require("fs");
const os = require("os");
const path = require("path");
const readline = require("readline");
const { createRequire } = require("module");

const nodeDir = path.join(__dirname, "..", "node");
const puppeteer = createRequire(path.join(nodeDir, "package.json"))("puppeteer-core");

// Waits poll on a timer: the default polls on animation frames, which a
// page in the background (all but the last one opened) may not get at all.
const POLL_MS = 50;
const WAIT_MS = Number(process.env.CHAT_WAIT_MS || 15000);
const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";

function reply(obj) {
  process.stdout.write(JSON.stringify(obj) + "\n");
}

async function main() {
  const urls = process.argv.slice(2);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "relayhub-chat-"));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
           "--disable-backgrounding-occluded-windows",
           "--ignore-certificate-errors", "--user-data-dir=" + profile],
    defaultViewport: { width: 900, height: 560 },
  });
  const cleanup = async () => {
    try { await browser.close(); } catch (e) { /* already gone */ }
    fs.rmSync(profile, { recursive: true, force: true });
  };
  try {
    const pages = [];
    for (const url of urls) {
      const page = await browser.newPage();
      await page.goto(url, { waitUntil: "load", timeout: WAIT_MS });
      pages.push(page);
    }
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
        } else if (c.cmd === "wait_open") {
          await page.waitForFunction(() => document.body.dataset.state === "open", { timeout: WAIT_MS, polling: POLL_MS });
          reply({ ok: true });
        } else if (c.cmd === "send") {
          await page.focus("#line");
          if (c.fill) {
            // Long lines: typing them key by key would take seconds.
            await page.$eval("#line", (e, t) => { e.value = t; }, c.text);
          } else {
            await page.keyboard.type(c.text);
          }
          await page.keyboard.press("Enter");
          await page.waitForFunction(() => document.getElementById("line").value === "", { timeout: WAIT_MS, polling: POLL_MS });
          reply({ ok: true });
        } else if (c.cmd === "wait_entry") {
          await page.waitForFunction((kind, text) =>
            Array.from(document.querySelectorAll("#log .msg." + kind + " .text"))
                 .some((e) => e.textContent.includes(text)),
            { timeout: WAIT_MS, polling: POLL_MS }, c.kind, c.text);
          reply({ ok: true });
        } else if (c.cmd === "state") {
          const s = await page.evaluate(() => ({
            state: document.body.dataset.state,
            shown: document.getElementById("state").textContent,
          }));
          reply({ ok: true, ...s });
        } else if (c.cmd === "entries") {
          const entries = await page.evaluate(() =>
            Array.from(document.querySelectorAll("#log .msg")).map((e) =>
              [e.className.replace("msg ", ""), e.querySelector(".text").textContent]));
          reply({ ok: true, entries });
        } else if (c.cmd === "screenshot") {
          await page.screenshot({ path: c.path });
          reply({ ok: true });
        } else {
          reply({ ok: false, error: "unknown command " + c.cmd });
        }
      } catch (e) {
        let entries = [];
        try {
          entries = await page.evaluate(() =>
            Array.from(document.querySelectorAll("#log .msg")).map((e) => e.textContent.slice(0, 200)));
        } catch (e2) { /* page gone */ }
        reply({ ok: false, error: String(e && e.message || e), entries });
      }
    }
  } finally {
    await cleanup();
  }
}

main().catch((e) => {
  reply({ ok: false, error: String(e && e.stack || e) });
  process.exit(1);
});
