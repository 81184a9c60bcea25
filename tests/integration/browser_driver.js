// The common part of the headless-Chromium drivers (chat_browser.js,
// ws_pages.js): Debian's Chromium launched with a fresh profile, then one
// JSON command per line on stdin, each answered with one JSON line on stdout.
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
const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";

function reply(obj) {
  process.stdout.write(JSON.stringify(obj) + "\n");
}

// run({ name, launch, open, commands, failure }):
//   launch    extra launch options (defaultViewport, ...) and `args`, more flags
//   open      async (browser) -> pages, before {"ok": true, "event": "loaded"}
//   commands  { cmd: async (page, c, pages) -> reply object (ok is added) }
//   failure   async (page) -> extra fields for a failed command's reply
// {"cmd": "quit"} ends the driver; every other command runs on pages[c.page].
async function run({ name, launch = {}, open, commands, failure }) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "relayhub-" + name + "-"));
  fs.mkdirSync(path.join(profile, "Default"));
  const { args = [], ...options } = launch;
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    // No background traffic (the machine may have no network), no throttling
    // of pages that are not in front.
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
           "--disable-backgrounding-occluded-windows", ...args, "--user-data-dir=" + profile],
    ...options,
  });
  try {
    const pages = await open(browser);
    reply({ ok: true, event: "loaded", pages: pages.length });
    const rl = readline.createInterface({ input: process.stdin });
    for await (const line of rl) {
      if (!line.trim()) continue;
      const c = JSON.parse(line);
      if (c.cmd === "quit") {
        reply({ ok: true });
        break;
      }
      const page = pages[c.page || 0];
      const handler = commands[c.cmd];
      if (!handler) {
        reply({ ok: false, error: "unknown command " + c.cmd });
        continue;
      }
      try {
        reply({ ok: true, ...(await handler(page, c, pages)) });
      } catch (e) {
        let extra = {};
        if (failure) {
          try { extra = await failure(page); } catch (e2) { /* page gone */ }
        }
        reply({ ok: false, error: String(e && e.message || e), ...extra });
      }
    }
  } finally {
    try { await browser.close(); } catch (e) { /* already gone */ }
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

function main(options) {
  run(options).catch((e) => {
    reply({ ok: false, error: String(e && e.stack || e) });
    process.exit(1);
  });
}

module.exports = { main, POLL_MS };
