"""Real WebSocket clients we did not write, against the real hub: Debian's
python3-websockets with its default keep-alive pings and Node's `ws` pinging
every second, side by side for a minute; Node's built-in WebSocket (it sends
its header names in lower case); and WebSocket pages in headless Chromium
exchanging text in several scripts, binary data, an empty message and one
message over the limit."""

import asyncio
import base64
import logging
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

import websockets

from harness import HOST, KIND_RE, SLOW, Hub, JsonLines, RawWS, expect_silence, make_cert, recv_exact

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
NODE = shutil.which("node")
NODE_MODULES = os.path.join(ROOT, "tests", "node", "node_modules")
CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
WS_CLIENT = os.path.join(HERE, "ws_client.js")
WS_PAGES = os.path.join(HERE, "ws_pages.js")

HAVE_WS = NODE is not None and os.path.isdir(os.path.join(NODE_MODULES, "ws"))
HAVE_BROWSER = (NODE is not None and os.path.exists(CHROMIUM)
                and os.path.isdir(os.path.join(NODE_MODULES, "puppeteer-core")))
MISSING = "node, Chromium or tests/node/node_modules missing (bash scripts/setup.sh test installs them)"


def node_builtin_args():
    """Node's options for its own WebSocket (behind a flag in Node 20 and
    21, always there from 22 on), or None when this Node has none."""
    if NODE is None:
        return None
    for args in ([], ["--experimental-websocket"]):
        try:
            p = subprocess.run([NODE, *args, "-e", "process.stdout.write(typeof WebSocket)"],
                               capture_output=True, timeout=30)
        except subprocess.TimeoutExpired:
            return None
        if p.returncode == 0 and p.stdout == b"function":
            return args
    return None


def wait_ready(hub, before):
    """After a handshake: the kind is printed just before the slot turns
    ready, unless another connection came or went meanwhile."""
    try:
        hub.wait_for(KIND_RE, count=before + 1, timeout=3.0)
    except AssertionError:
        time.sleep(0.3 * SLOW)
    time.sleep(0.05)


class Collector:
    """Everything a plain client receives, read by a thread of its own."""

    def __init__(self, sock):
        self.sock = sock
        self.data = bytearray()
        self.cond = threading.Condition()
        sock.settimeout(None)
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                chunk = b""
            with self.cond:
                if not chunk:
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.cond.notify_all()

    def wait_for(self, needle, timeout=10.0):
        deadline = time.monotonic() + timeout * SLOW
        with self.cond:
            while needle not in self.data:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no %r in %r" % (needle, bytes(self.data[-300:])))
                self.cond.wait(left)

    def text(self):
        with self.cond:
            return bytes(self.data)


class KeepAliveCounter(logging.Handler):
    """Counts the keep-alive pings python-websockets sends and the pongs it gets."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.pings = 0
        self.pongs = 0

    def emit(self, record):
        msg = record.getMessage()
        if "sending keepalive ping" in msg:
            self.pings += 1
        elif "received keepalive pong" in msg:
            self.pongs += 1


def python_soak(url, seconds, opened, result):
    """A python-websockets client with its default keep-alive (a ping every
    20 s, closing with 1011 when a pong does not come within 20 s) that
    sends py-N; every 5 s for `seconds` and keeps what it receives."""
    counter = KeepAliveCounter()
    logger = logging.getLogger("relayhub.test.keepalive")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(counter)

    async def main():
        ws = await websockets.connect(url, logger=logger, close_timeout=5)
        result["got"] = got = []
        opened.set()

        async def reader():
            async for m in ws:
                got.append(m)
        task = asyncio.ensure_future(reader())
        start = time.monotonic()
        n = 0
        try:
            while time.monotonic() - start < seconds:
                await asyncio.sleep(5)
                await ws.send("py-%d;" % n)
                n += 1
            result["sent"] = n
            # Any keep-alive ping sent so far is answered before this one.
            await asyncio.wait_for(await ws.ping(b"final"), 10 * SLOW)
            result["pings"], result["pongs"] = counter.pings, counter.pongs
            result["open_at_end"] = ws.open
            await ws.close(1000)
            result["close_code"] = ws.close_code
        finally:
            task.cancel()

    try:
        asyncio.run(main())
    except Exception as e:  # reported by the test through `result`
        result["error"] = repr(e)
    finally:
        logger.removeHandler(counter)
        opened.set()


@unittest.skipUnless(HAVE_WS, MISSING)
class KeepAlive(unittest.TestCase):
    SOAK = 60   # python-websockets: three keep-alive intervals
    PINGS = 30  # ws: one ping a second

    def test_default_keepalive_and_pings_every_second_stay_connected_and_relay(self):
        with Hub("-c", "6") as hub:
            url = "ws://%s:%d/" % (HOST, hub.port)
            raw = Collector(hub.connect())
            node = JsonLines([NODE, WS_CLIENT, "ws", url])
            py_result = {}
            try:
                before = len(hub.kinds())
                node.until(lambda o: o.get("event") == "open")
                wait_ready(hub, before)
                before = len(hub.kinds())
                opened = threading.Event()
                py = threading.Thread(target=python_soak, args=(url, self.SOAK, opened, py_result),
                                      daemon=True)
                py.start()
                self.assertTrue(opened.wait(15 * SLOW))
                self.assertNotIn("error", py_result)
                wait_ready(hub, before)

                # Both soak at once: ws pings every second for 30 s while
                # python-websockets runs its own keep-alive for 60 s; a plain
                # client ticks every 5 s, and ws adds a message of its own
                # while it pings.
                node.put(cmd="pings", count=self.PINGS, interval_ms=1000)
                t0 = time.monotonic()
                ticks = self.SOAK // 5
                for i in range(ticks):
                    time.sleep(max(0.0, t0 + 5 * i - time.monotonic()))
                    raw.sock.sendall(b"tick-%d\n" % i)
                    if 5 * i < self.PINGS:
                        node.put(cmd="send", text="ws-%d;" % i)
                py.join((self.SOAK + 30) * SLOW)
                self.assertFalse(py.is_alive())

                pings, node_before = node.until(lambda o: o.get("event") == "pings", 20)
                node.put(cmd="close", code=1000)
                closed, node_after = node.until(lambda o: o.get("event") == "close")
            finally:
                node.close()

            # ws: every ping answered with its own payload, in order.
            self.assertEqual(len(pings["sent"]), self.PINGS)
            self.assertEqual(pings["pongs"], pings["sent"])
            self.assertEqual(closed["code"], 1000)
            node_msgs = [base64.b64decode(o["b64"]).decode() for o in node_before + node_after
                         if o.get("event") == "message"]
            self.assertEqual([m for m in node_msgs if m.startswith("tick")],
                             ["tick-%d\n" % i for i in range(ticks)])
            self.assertEqual([m for m in node_msgs if m.startswith("py")],
                             ["py-%d;" % i for i in range(py_result.get("sent", -1))])
            self.assertFalse([o for o in node_before + node_after if o.get("event") == "error"])

            # python-websockets: its keep-alive pings were answered and it
            # stayed connected the whole minute.
            self.assertNotIn("error", py_result)
            self.assertTrue(py_result["open_at_end"])
            self.assertGreaterEqual(py_result["pings"], 2)
            self.assertEqual(py_result["pongs"], py_result["pings"])
            self.assertEqual(py_result["close_code"], 1000)
            got = py_result["got"]
            self.assertEqual([m for m in got if m.startswith("tick")], ["tick-%d\n" % i for i in range(ticks)])
            self.assertEqual([m for m in got if m.startswith("ws")],
                             ["ws-%d;" % i for i in range(ticks) if 5 * i < self.PINGS])

            # The plain client got everything both sent, nothing else.
            wanted = set(re.findall(rb"(?:py|ws)-\d+;", raw.text()))
            self.assertEqual(wanted, {b"py-%d;" % i for i in range(py_result["sent"])}
                             | {b"ws-%d;" % i for i in range(ticks) if 5 * i < self.PINGS})
            self.assertEqual(len(re.findall(rb"(?:py|ws)-\d+;", raw.text())), len(wanted))
            raw.sock.close()


@unittest.skipUnless(NODE is not None, MISSING)
class NodeBuiltin(unittest.TestCase):
    def test_builtin_websocket_connects_and_relays(self):
        args = node_builtin_args()
        if args is None:
            self.skipTest("this Node has no built-in WebSocket")
        with Hub("-c", "4") as hub:
            url = "ws://%s:%d/" % (HOST, hub.port)
            raw = hub.connect()
            peer = RawWS(hub)
            with raw, peer:
                before = len(hub.kinds())
                c = JsonLines([NODE, *args, WS_CLIENT, "builtin", url])
                try:
                    c.until(lambda o: o.get("event") == "open")
                    wait_ready(hub, before)
                    self.assertEqual(hub.kinds()[-1:], ["WS"])

                    arabic = "\u0645\u0631\u062d\u0628\u0627 from raw\n"
                    raw.sendall(arabic.encode())
                    m, _ = c.until(lambda o: o.get("event") == "message")
                    self.assertEqual((m["binary"], base64.b64decode(m["b64"])), (False, arabic.encode()))
                    raw.sendall(b"\xff\x00bin")
                    m, _ = c.until(lambda o: o.get("event") == "message")
                    self.assertEqual((m["binary"], base64.b64decode(m["b64"])), (True, b"\xff\x00bin"))
                    self.assertEqual(peer.recv_frame(), (0x81, arabic.encode()))
                    self.assertEqual(peer.recv_frame(), (0x82, b"\xff\x00bin"))

                    hello = "hello from node \u00e9"
                    c.put(cmd="send", text=hello)
                    self.assertEqual(recv_exact(raw, len(hello.encode())), hello.encode())
                    self.assertEqual(peer.recv_frame(), (0x81, "hello from node \u00e9".encode()))
                    # Binary stays binary even when its bytes are valid UTF-8.
                    c.put(cmd="send", b64=base64.b64encode(b"plain bytes").decode())
                    self.assertEqual(recv_exact(raw, 11), b"plain bytes")
                    self.assertEqual(peer.recv_frame(), (0x82, b"plain bytes"))

                    c.put(cmd="close", code=1000)
                    closed, _ = c.until(lambda o: o.get("event") == "close")
                    self.assertEqual(closed["code"], 1000)
                finally:
                    c.close()
                hub.wait_for(r"server_\d\d\.fin")
                expect_silence(raw, 0.1)


@unittest.skipUnless(HAVE_BROWSER, MISSING)
class BrowserPages(unittest.TestCase):
    def do(self, pages, cmd, **kw):
        pages.put(cmd=cmd, **kw)
        r = pages.get(30)
        if not r.get("ok"):
            raise AssertionError("%s %s failed: %s" % (cmd, kw, r))
        return r

    def test_two_pages_exchange_scripts_binary_empty_and_oversize(self):
        # The hub's default buffer: a message may have 4096 - 16 bytes.
        with Hub("-c", "6") as hub:
            url = "ws://%s:%d/" % (HOST, hub.port)
            raw = Collector(hub.connect())
            pages = JsonLines([NODE, WS_PAGES, "2"])
            try:
                loaded = pages.get(60)
                self.assertTrue(loaded.get("ok"), loaded)
                for i, kind in ((0, "blob"), (1, "arraybuffer")):
                    before = len(hub.kinds())
                    self.do(pages, "open", page=i, url=url, binaryType=kind)
                    wait_ready(hub, before)

                texts = ["plain ASCII",
                         "\u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645",  # Arabic
                         "\u0928\u092e\u0938\u094d\u0924\u0947 \u0926\u0941\u0928\u093f\u092f\u093e",  # Devanagari
                         "\u0e2a\u0e27\u0e31\u0e2a\u0e14\u0e35",  # Thai
                         "emoji \U0001f600\U0001f680 end",
                         "ASCII again"]
                for t in texts:
                    self.do(pages, "send", page=0, text=t)
                got = self.do(pages, "messages", page=1, count=len(texts))["messages"]
                self.assertEqual(got, [{"type": "string", "text": t} for t in texts])
                raw.wait_for("".join(texts).encode())

                # ArrayBuffers arrive intact and binary, even when their bytes
                # are valid UTF-8; text after them is text again.
                blobs = [bytes(range(256)), b"valid utf-8 bytes", os.urandom(1000)]
                for b in blobs:
                    self.do(pages, "send", page=1, b64=base64.b64encode(b).decode())
                self.do(pages, "send", page=1, text="text after binary")
                got = self.do(pages, "messages", page=0, count=4)["messages"]
                self.assertEqual(got[:3], [{"type": "Blob", "b64": base64.b64encode(b).decode()} for b in blobs])
                self.assertEqual(got[3], {"type": "string", "text": "text after binary"})
                raw.wait_for(b"".join(blobs) + b"text after binary")

                # An empty message reaches the other page, not the plain client.
                self.do(pages, "send", page=0, text="")
                got = self.do(pages, "messages", page=1, count=len(texts) + 1)["messages"]
                self.assertEqual(got[-1], {"type": "string", "text": ""})

                # From a plain sender: valid UTF-8 in any script is text,
                # anything else binary.
                raw.sock.sendall("\u0928\u092e\u0938\u094d\u0924\u0947 \u0645\u0631\u062d\u0628\u0627".encode())
                self.do(pages, "messages", page=0, count=5)  # one read, one message
                raw.sock.sendall(b"\xff\xfe\x00")
                got0 = self.do(pages, "messages", page=0, count=6)["messages"][4:]
                got1 = self.do(pages, "messages", page=1, count=len(texts) + 3)["messages"][-2:]
                self.assertEqual(got0, [{"type": "string", "text": "\u0928\u092e\u0938\u094d\u0924\u0947 "
                                         "\u0645\u0631\u062d\u0628\u0627"},
                                        {"type": "Blob", "b64": base64.b64encode(b"\xff\xfe\x00").decode()}])
                self.assertEqual(got1[0], got0[0])
                self.assertEqual(got1[1], {"type": "ArrayBuffer", "b64": base64.b64encode(b"\xff\xfe\x00").decode()})

                # Over the limit: that page is closed with 1009, the other
                # page gets nothing of it and stays.
                self.do(pages, "send", page=0, text="x" * 5000)
                self.assertEqual(self.do(pages, "closed", page=0)["code"], 1009)
                hub.wait_for(r"!! ws\(\d\d\) message over 4080 bytes: closed with 1009 \(raise -L\)")
                self.assertEqual(self.do(pages, "state", page=1)["readyState"], 1)
                raw.sock.sendall(b"still here")
                got1 = self.do(pages, "messages", page=1, count=len(texts) + 4)["messages"]
                self.assertEqual(got1[-1], {"type": "string", "text": "still here"})
                self.assertNotIn(b"x" * 100, raw.text())

                # Far over the limit, while the page is still sending: the
                # close frame still arrives, and the close is clean.
                for size in (65536, 1 << 20):
                    before = len(hub.kinds())
                    self.do(pages, "open", page=0, url=url, binaryType="blob")
                    wait_ready(hub, before)
                    self.do(pages, "send", page=0, text="y" * size)
                    closed = self.do(pages, "closed", page=0)
                    self.assertEqual((closed["code"], closed["clean"]), (1009, True), size)
                self.do(pages, "quit")
            finally:
                pages.close()
                raw.sock.close()


class TlsFirstMessage(unittest.TestCase):
    def test_message_sent_right_after_the_tls_handshake_is_relayed(self):
        # The hub looks for a WebSocket request in the first decrypted bytes;
        # a plain TLS client's first message must stay queued for the relay.
        with tempfile.TemporaryDirectory() as d:
            make_cert(d)
            with Hub("-c", "4", cwd=d) as hub:
                raw = hub.connect()
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                ctx.check_hostname = False
                ctx.verify_mode = ssl.CERT_NONE
                with raw:
                    for i in range(3):
                        before = len(hub.kinds())
                        s = ctx.wrap_socket(socket.create_connection((HOST, hub.port), timeout=10 * SLOW),
                                            server_hostname="localhost")
                        with s:
                            s.sendall(b"first-%d" % i)  # inside the hub's handshake window
                            self.assertEqual(recv_exact(raw, 7), b"first-%d" % i)
                            s.sendall(b"second-%d" % i)
                            self.assertEqual(recv_exact(raw, 8), b"second-%d" % i)
                            # The console arrives through its own pipe, maybe
                            # after the relayed bytes.
                            hub.wait_for(KIND_RE, count=before + 1)
                            self.assertEqual(hub.kinds()[before:], ["TLS"])
                        hub.wait_for(r"server_\d\d\.fin", count=i + 1)
                    expect_silence(raw, 0.1)
                self.assertNotIn("Invalid or unsupported WebSocket handshake", hub.output)


if __name__ == "__main__":
    unittest.main()
