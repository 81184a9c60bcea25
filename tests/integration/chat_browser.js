// Drives the hub's chat page in headless Chromium for test_people.py.
//
//   node chat_browser.js URL [URL ...]
//
// Opens one page per URL and then reads one JSON command per line on stdin,
// answering each with one JSON line on stdout:
//   {"cmd": "wait_open", "page": i}               -> {"ok": true}
//   {"cmd": "wait_state", "page": i, "state": "...", "shown": "regex"}
//                                                  waits for that state, its text matching shown
//   {"cmd": "state", "page": i}                   -> {"ok": true, "state": ..., "shown": ..., "url": ...}
//   {"cmd": "watch", "page": i}                   from now on records every state the page takes
//   {"cmd": "states", "page": i}                  -> {"ok": true, "states": [...]} recorded so far
//   {"cmd": "send", "page": i, "text": "...", "fill": false}
//                                                  types the line (or fills it in) and presses Enter
//   {"cmd": "set_name", "page": i, "name": "..."} -> {"ok": true, "name": what the field then holds}
//   {"cmd": "name", "page": i}                    -> {"ok": true, "name": the name field}
//   {"cmd": "reload", "page": i}
//   {"cmd": "wait_entry", "page": i, "kind": "text"|"self"|"binary"|"sys", "text": "...", "name": ...}
//                                                  waits for a log entry holding text (and, when
//                                                  "name" is given, by that name; null: none)
//   {"cmd": "entries", "page": i}                 -> {"ok": true, "entries": [{kind, name, text}, ...]}
//   {"cmd": "expand", "page": i}                  opens the last binary entry -> {"ok": true, "hex": ...}
//   {"cmd": "colours", "page": i, "dark": bool}   -> {"ok": true, "names": [{name, colour, background}]}
//   {"cmd": "click", "page": i, "selector": "..."}
//   {"cmd": "screenshot", "page": i, "path": "..."}
//   {"cmd": "montage", "path": "...", "tabs": [{"page": i, "title": "..."}], "terminal": {"title", "text"}}
//                                                  the tabs side by side, the terminal below, one PNG
//   {"cmd": "quit"}
// Every wait is bounded by WAIT_MS; a failed wait answers {"ok": false, "error": ...}.
"use strict";

const { main, POLL_MS } = require("./browser_driver");

const WAIT_MS = Number(process.env.CHAT_WAIT_MS || 15000);
const wait = { timeout: WAIT_MS, polling: POLL_MS };
const TAB = { width: 580, height: 470 };

let browser = null;

// Runs in the page, as window.__entries: the log as [{kind, name, text}].
function readEntries() {
  return Array.from(document.querySelectorAll("#log .msg")).map((e) => ({
    kind: e.className.replace("msg ", ""),
    name: e.dataset.name === undefined ? null : e.dataset.name,
    text: Array.from(e.querySelectorAll(".text")).map((t) => t.textContent).join(""),
  }));
}

// The montage: a window frame per tab, a terminal below. Texts are set as
// text, after the markup is in place.
const MONTAGE = `<!doctype html><html><head><style>
  body { margin: 0; background: #d5d9e0; font: 13px system-ui, sans-serif; }
  #m { display: inline-grid; grid-template-columns: auto auto; gap: 16px; padding: 16px; }
  figure { margin: 0; border-radius: 8px; overflow: hidden; box-shadow: 0 1px 4px #0005; }
  figcaption { padding: 6px 12px; background: #eceef1; color: #3a3f45; border-bottom: 1px solid #c8ccd2; }
  figcaption::before { content: "\\25CF  \\25CF  \\25CF   "; color: #b5bac1; letter-spacing: 1px; }
  img { display: block; }
  .term { grid-column: 1 / 3; }
  .term figcaption { background: #30343a; color: #d0d4da; border-color: #1c1f23; }
  .term figcaption::before { color: #5d636b; }
  pre { margin: 0; padding: 10px 14px; background: #1d2025; color: #e3e6ea;
        font: 14px/1.45 "DejaVu Sans Mono", "Liberation Mono", monospace; }
</style></head><body><div id="m"></div></body></html>`;

async function montage(pages, c) {
  const tabs = [];
  for (const t of c.tabs) {
    tabs.push({ title: t.title, png: await pages[t.page].screenshot({ encoding: "base64" }) });
  }
  const m = await browser.newPage();
  try {
    await m.setViewport({ width: 1600, height: 1200 });
    await m.setContent(MONTAGE, { waitUntil: "load", timeout: WAIT_MS });
    await m.evaluate(async (tabs, term) => {
      const root = document.getElementById("m");
      const figure = (cls, title, content) => {
        const f = document.createElement("figure");
        f.className = cls;
        const cap = document.createElement("figcaption");
        cap.textContent = title;
        f.append(cap, content);
        root.append(f);
      };
      for (const t of tabs) {
        const img = document.createElement("img");
        img.src = "data:image/png;base64," + t.png;
        figure("tab", t.title, img);
        await img.decode();
      }
      const pre = document.createElement("pre");
      pre.textContent = term.text;
      figure("term", term.title, pre);
    }, tabs, c.terminal);
    const root = await m.$("#m");
    await root.screenshot({ path: c.path });
  } finally {
    await m.close();
  }
}

main({
  name: "chat",
  launch: { args: ["--ignore-certificate-errors"], defaultViewport: TAB },
  open: async (b) => {
    browser = b;
    const pages = [];
    for (const url of process.argv.slice(2)) {
      const page = await b.newPage();
      await page.evaluateOnNewDocument("window.__entries = " + readEntries.toString());
      await page.goto(url, { waitUntil: "load", timeout: WAIT_MS });
      pages.push(page);
    }
    return pages;
  },
  commands: {
    wait_open: async (page) => {
      await page.waitForFunction(() => document.body.dataset.state === "open", wait);
    },
    wait_state: async (page, c) => {
      await page.waitForFunction((state, shown) =>
        document.body.dataset.state === state &&
          (shown === null || new RegExp(shown).test(document.getElementById("state").textContent)),
        wait, c.state, c.shown === undefined ? null : c.shown);
    },
    state: (page) => page.evaluate(() => ({
      state: document.body.dataset.state,
      shown: document.getElementById("state").textContent,
      url: document.getElementById("url").textContent,
    })),
    watch: async (page) => {
      await page.evaluate(() => {
        window.__states = [document.body.dataset.state];
        new MutationObserver(() => window.__states.push(document.body.dataset.state))
          .observe(document.body, { attributes: true, attributeFilter: ["data-state"] });
      });
    },
    states: async (page) => ({ states: await page.evaluate(() => window.__states) }),
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
    set_name: async (page, c) => {
      // As a person does: select what is there, type over it, leave the field.
      // (A click would wait for a page in the background to be drawn.)
      await page.$eval("#name", (e) => { e.focus(); e.select(); });
      await page.keyboard.type(c.name);
      await page.focus("#line");
      return { name: await page.$eval("#name", (e) => e.value) };
    },
    name: async (page) => ({ name: await page.$eval("#name", (e) => e.value) }),
    reload: async (page) => {
      await page.reload({ waitUntil: "load", timeout: WAIT_MS });
    },
    wait_entry: async (page, c) => {
      await page.waitForFunction((kind, text, anyName, name) =>
        window.__entries().some((e) => e.kind === kind && e.text.includes(text) && (anyName || e.name === name)),
        wait, c.kind, c.text, !("name" in c), c.name === undefined ? null : c.name);
    },
    entries: async (page) => ({ entries: await page.evaluate(() => window.__entries()) }),
    expand: async (page) => {
      const summaries = await page.$$("#log .msg.binary summary");
      if (!summaries.length) throw new Error("no binary entry that opens");
      await summaries[summaries.length - 1].click();
      await page.waitForFunction(() => {
        const all = document.querySelectorAll("#log .msg.binary .hex");
        return all.length && all[all.length - 1].textContent !== "";
      }, wait);
      return { hex: await page.evaluate(() => {
        const all = document.querySelectorAll("#log .msg.binary .hex");
        return all[all.length - 1].textContent;
      }) };
    },
    colours: async (page, c) => {
      await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: c.dark ? "dark" : "light" }]);
      try {
        return { names: await page.evaluate(() => Array.from(document.querySelectorAll("#log .name")).map((n) => {
          let bg = "rgba(0, 0, 0, 0)";
          for (let e = n; e && /rgba\(.*, 0\)$/.test(bg); e = e.parentElement) bg = getComputedStyle(e).backgroundColor;
          return { name: n.textContent, colour: getComputedStyle(n).color, background: bg };
        })) };
      } finally {
        await page.emulateMediaFeatures([]);
      }
    },
    click: async (page, c) => {
      await page.click(c.selector);
    },
    screenshot: async (page, c) => {
      await page.screenshot({ path: c.path });
    },
    montage: async (page, c, pages) => {
      await montage(pages, c);
    },
  },
  // What the page shows, to tell why a wait failed.
  failure: async (page) => ({ entries: await page.evaluate(readEntries) }),
});
