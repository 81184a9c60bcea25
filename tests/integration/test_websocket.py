"""WebSocket interoperability through the real hub: the python `websockets`
client (a strict RFC 6455 implementation we did not write), hand-made RFC 6455
frames sent in awkward segments, and a hand-written client of the older
Key1/Key2 protocol, each talking to plain TCP clients and to one another.
The Key1/Key2 protocol's cases, one by one, are group H of
test_conformance.py."""

import asyncio
import base64
import os
import random
import signal
import socket
import struct
import tempfile
import threading
import time
import unittest

import websockets

from harness import (HOST, KIND_RE, OLD_EXAMPLE_ANSWER, OLD_EXAMPLE_KEYS, SLOW, Hub, OldWS, RawWS, Stream,
                     accept_value, client_frame, expect_silence, make_cert, make_old_key, old_challenge_answer, old_request,
                     recv_exact, ws_request)


# ---------------------------------------------------------------------------
# python websockets (asyncio) behind a blocking interface

class _Loop:
    """One event loop on its own thread; tests submit coroutines to it."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, coro, timeout):
        async def bounded():
            return await asyncio.wait_for(coro, timeout * SLOW)
        fut = asyncio.run_coroutine_threadsafe(bounded(), self.loop)
        return fut.result(timeout * SLOW + 5)

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        if not self.thread.is_alive():
            self.loop.close()


LOOP = None


def setUpModule():
    global LOOP
    LOOP = _Loop()


def tearDownModule():
    LOOP.stop()


class Client:
    """A python websockets client. Keep-alive pings are off, so that what
    goes over the wire is what the test sends."""

    def __init__(self, hub, wait_ready=True, path="/", **kw):
        kw.setdefault("ping_interval", None)
        kw.setdefault("close_timeout", 2)
        kw.setdefault("max_size", 1 << 20)
        before = len(hub.kinds())

        async def open_():
            return await websockets.connect("ws://%s:%d%s" % (HOST, hub.port, path), **kw)

        self.ws = LOOP.run(open_(), 10)
        if wait_ready:
            hub.wait_for(KIND_RE, count=before + 1)
            time.sleep(0.05)  # the kind is printed just before the slot turns ready

    def send(self, msg):
        LOOP.run(self.ws.send(msg), 10)

    def recv(self, timeout=10):
        return LOOP.run(self.ws.recv(), timeout)

    def recv_n(self, n, timeout=10):
        return [self.recv(timeout) for _ in range(n)]

    def expect_silence(self, wait=0.3):
        try:
            msg = self.recv(wait)
        except asyncio.TimeoutError:
            return
        raise AssertionError("unexpected message: %r" % (msg[:100],))

    def close(self, code=1000, reason=""):
        LOOP.run(self.ws.close(code, reason), 10)

    @property
    def open(self):
        return self.ws.open

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            self.close()
        except Exception:
            pass


def exchange_request(hub, request):
    """Sends a request and returns the hub's answer: an HTTP answer up to the
    close, a 101 up to its end (with the Key1/Key2 digest)."""
    with Stream(socket.create_connection((HOST, hub.port), timeout=10 * SLOW)) as st:
        st.sock.sendall(request)
        head = st.until(b"\r\n\r\n")
        if head.startswith(b"HTTP/1.1 101 WebSocket Protocol"):
            return head + st.take(16)
        if head.startswith(b"HTTP/1.1 101"):
            return head
        st.sock.settimeout(5 * SLOW)
        rest = b""
        while True:
            chunk = st.sock.recv(1 << 16)
            if not chunk:
                return head + bytes(st.buf) + rest
            rest += chunk


def fin_re(active, total):
    return r"server_\d\d\.fin  active %02d/%02d" % (active, total)


# ---------------------------------------------------------------------------

class Handshake(unittest.TestCase):
    def test_python_client_is_accepted_and_reported_ws(self):
        with Hub("-c", "4") as hub:
            with Client(hub, path="/any/path?x=1") as c:
                self.assertTrue(c.open)
                self.assertEqual(hub.kinds(), ["WS"])
                self.assertIsNone(c.ws.subprotocol)
            with Client(hub, subprotocols=["chat", "superchat"]) as c:
                # Of the offered protocols the first is echoed back.
                self.assertEqual(c.ws.subprotocol, "chat")
                self.assertEqual(hub.kinds(), ["WS", "WS"])
            self.assertNotIn("Invalid or unsupported", hub.output)

    def test_hand_made_handshake_response(self):
        with Hub("-c", "4") as hub:
            with RawWS(hub) as w:
                lines = w.response.split("\r\n")
                self.assertEqual(lines[0], "HTTP/1.1 101 Switching Protocols")
                self.assertIn("Sec-WebSocket-Accept: " + w.expected_accept, lines)
                self.assertTrue(w.response.endswith("\r\n\r\n"))
                self.assertEqual(hub.kinds(), ["WS"])
                w.expect_silence(0.2)  # nothing but the response


class Relay(unittest.TestCase):
    def test_raw_to_ws_one_message_per_read(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, Client(hub) as c:
                raw.sendall(b"first")
                self.assertEqual(c.recv(), "first")  # text: valid UTF-8
                raw.sendall("second \u00e9\u20ac".encode())
                self.assertEqual(c.recv(), "second \u00e9\u20ac")
                raw.sendall(b"\xff\xfe")
                self.assertEqual(c.recv(), b"\xff\xfe")  # bytes = binary frame
                c.expect_silence()

    def test_ws_to_raw_payload_only(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, Client(hub) as c:
                c.send("hello")
                self.assertEqual(recv_exact(raw, 5), b"hello")
                expect_silence(raw)  # no header, mask or terminator
                data = bytes(range(256))
                c.send(data)
                self.assertEqual(recv_exact(raw, 256), data)
                expect_silence(raw)
                msgs = [("m%02d|" % i) * (i + 1) for i in range(30)]
                for m in msgs:
                    c.send(m)
                want = "".join(msgs).encode()
                self.assertEqual(recv_exact(raw, len(want)), want)
                expect_silence(raw)
                c.expect_silence(0.1)  # never its own data

    def test_ws_to_ws_types_content_and_order(self):
        with Hub("-c", "4") as hub:
            with Client(hub) as a, Client(hub) as b:
                a.send("plain text")
                self.assertEqual(b.recv(), "plain text")
                a.send("caf\u00e9 \u00fcber \u4e2d")  # 2- and 3-byte characters
                self.assertEqual(b.recv(), "caf\u00e9 \u00fcber \u4e2d")
                msgs = ["n%d" % i for i in range(50)]
                for m in msgs:
                    a.send(m)
                self.assertEqual(b.recv_n(50), msgs)
                binary = bytes([0xff, 0xfe, 0x00, 0x01, 0x80])
                a.send(binary)
                self.assertEqual(b.recv(), binary)
                # Each message keeps its sender's type: text after binary is
                # text again.
                a.send("after")
                self.assertEqual(b.recv(), "after")
                a.send(b"valid utf-8 bytes")
                self.assertEqual(b.recv(), b"valid utf-8 bytes")
                # The other direction has its own decision, still text.
                b.send("reply")
                self.assertEqual(a.recv(), "reply")
                a.expect_silence(0.1)
                b.expect_silence(0.1)

    def test_fan_out_to_mixed_receivers(self):
        with Hub("-c", "6") as hub:
            r1 = hub.connect()
            with r1, Client(hub) as a, Client(hub) as b:
                r2 = hub.connect()
                with r2:
                    a.send("to everyone")
                    self.assertEqual(b.recv(), "to everyone")
                    self.assertEqual(recv_exact(r1, 11), b"to everyone")
                    self.assertEqual(recv_exact(r2, 11), b"to everyone")
                    r2.sendall(b"raw says")
                    self.assertEqual(a.recv(), "raw says")
                    self.assertEqual(b.recv(), "raw says")
                    self.assertEqual(recv_exact(r1, 8), b"raw says")
                    for s in (r1, r2):
                        expect_silence(s, 0.1)
                    a.expect_silence(0.1)
                    b.expect_silence(0.1)


class LargeMessages(unittest.TestCase):
    def test_64kib_messages_ws_to_ws_and_raw(self):
        with Hub("-c", "4", "-L", "70000") as hub:
            raw = hub.connect()
            with raw, Client(hub) as a, Client(hub) as b:
                text = ("0123456789abcd\u00e9" * 4096)[:65536 - 4096]
                text += "x" * (65536 - len(text.encode()))
                self.assertEqual(len(text.encode()), 65536)
                a.send(text)
                self.assertEqual(b.recv(timeout=20), text)
                self.assertEqual(recv_exact(raw, 65536, timeout=20), text.encode())
                data = os.urandom(65536)
                a.send(data)
                self.assertEqual(b.recv(timeout=20), data)
                self.assertEqual(recv_exact(raw, 65536, timeout=20), data)
                # The largest message: the receive buffer less 16 bytes.
                edge = os.urandom(70000 - 16)
                b.send(edge)
                self.assertEqual(a.recv(timeout=20), edge)
                self.assertEqual(recv_exact(raw, len(edge), timeout=20), edge)
                expect_silence(raw)

    def test_message_beyond_receive_buffer_ends_only_the_sender(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, Client(hub) as big, Client(hub) as other:
                big.send(b"y" * 4081)  # one byte over 4096 - 16
                hub.wait_for(r"!! ws\(\d\d\) message over 4080 bytes: closed with 1009 \(raise -L\)")
                hub.wait_for(fin_re(2, 4))
                with self.assertRaises(websockets.ConnectionClosed) as cm:
                    big.recv(5)
                self.assertEqual(cm.exception.code, 1009)
                expect_silence(raw, 0.2)
                other.expect_silence(0.1)
                other.send("still here")
                self.assertEqual(recv_exact(raw, 10), b"still here")
                raw.sendall(b"ok")
                self.assertEqual(other.recv(), "ok")


    def test_frame_filling_the_receive_buffer_reaches_ws_receivers(self):
        # The largest message at -L 65536 is 65520 bytes.
        with Hub("-c", "4", "-L", "65536") as hub:
            raw = hub.connect()
            with raw, Client(hub) as a, Client(hub) as b:
                for n in (65520, 65519):
                    data = os.urandom(n)
                    a.send(data)
                    self.assertEqual(b.recv(timeout=20), data)
                    self.assertEqual(recv_exact(raw, n, timeout=20), data)

    def test_stalled_ws_receiver_gets_whole_frames(self):
        # The receiver's socket fills up in the middle of a frame; the rest of
        # that frame must follow before anything else, for every frame.
        data = os.urandom(8 << 20)
        with Hub("-c", "4", "-L", "65536") as hub:
            raw = hub.connect()
            with raw, RawWS(hub) as w, Client(hub, max_size=1 << 17) as c:
                got_c = []

                def strict_reader():
                    total = 0
                    try:
                        while total < len(data):
                            m = c.recv(timeout=60)
                            m = m.encode() if isinstance(m, str) else m
                            got_c.append(m)
                            total += len(m)
                    except Exception as e:  # reported through the comparison below
                        got_c.append(repr(e).encode())

                sender = threading.Thread(target=raw.sendall, args=(data,), daemon=True)
                reader = threading.Thread(target=strict_reader, daemon=True)
                sender.start()
                reader.start()
                time.sleep(1.0)  # w reads nothing yet: its buffers run full
                got_w = bytearray()
                while len(got_w) < len(data):
                    b0, payload = w.recv_frame(timeout=60)
                    self.assertIn(b0, (0x81, 0x82))
                    self.assertTrue(payload)
                    got_w += payload
                sender.join(30 * SLOW)
                reader.join(60 * SLOW)
                self.assertFalse(sender.is_alive())
                self.assertEqual(bytes(got_w), data)
                self.assertEqual(b"".join(got_c), data)


class Segmentation(unittest.TestCase):
    def test_several_frames_in_one_segment(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, Client(hub) as c, RawWS(hub) as w:
                long_text = "L" * 300  # 16-bit length field
                frames = [(1, b"one"), (1, long_text.encode()), (1, b"t"), (1, "\u00e9t\u00e9".encode()),
                          (2, b"\xff\x00\xfe")]
                w.sock.sendall(b"".join(client_frame(op, p) for op, p in frames))
                self.assertEqual(c.recv_n(5), ["one", long_text, "t", "\u00e9t\u00e9", b"\xff\x00\xfe"])
                want = b"".join(p for _, p in frames)
                self.assertEqual(recv_exact(raw, len(want)), want)
                c.expect_silence(0.1)
                expect_silence(raw, 0.1)

    def test_split_frames_relayed_once_complete(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, Client(hub) as c, RawWS(hub) as w:
                payload = "split-\u00e9-" * 20  # 180 bytes: 16-bit length, 2-byte character
                frame = client_frame(1, payload.encode())
                # Cut after the first byte, inside the length field, inside the
                # masking key, inside the payload (through a character).
                for cut in (1, 3, 6, 9, 60):
                    w.sock.sendall(frame[:cut])
                    time.sleep(0.15)
                    c.expect_silence(0.1)
                    expect_silence(raw, 0.05)
                    w.sock.sendall(frame[cut:])
                    self.assertEqual(c.recv(), payload, "cut at %d" % cut)
                    self.assertEqual(recv_exact(raw, len(payload.encode())), payload.encode())
                # Whole frames before and after a split one, in one stream.
                f1, f2, f3 = (client_frame(1, b"A" * 10), client_frame(1, b"B" * 200),
                              client_frame(1, b"C" * 5))
                w.sock.sendall(f1 + f2[:100])
                self.assertEqual(c.recv(), "A" * 10)
                time.sleep(0.15)
                c.expect_silence(0.1)
                w.sock.sendall(f2[100:] + f3)
                self.assertEqual(c.recv_n(2), ["B" * 200, "C" * 5])
                want = b"A" * 10 + b"B" * 200 + b"C" * 5
                self.assertEqual(recv_exact(raw, len(want)), want)
                expect_silence(raw, 0.1)

    def test_fragmented_message_relayed_as_one(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, Client(hub) as c, RawWS(hub) as w:
                w.send_frame(1, b"part1-", fin=False)
                w.send_frame(9, b"between")  # answered, the message goes on
                w.send_frame(0, b"part2-", fin=False)
                w.send_frame(0, b"end", fin=True)
                self.assertEqual(w.recv_frame(), (0x8A, b"between"))
                self.assertEqual(recv_exact(raw, 15), b"part1-part2-end")
                self.assertEqual(c.recv(), "part1-part2-end")
                # A continuation with no message started is a protocol error.
                orphan = RawWS(hub)
                with orphan:
                    orphan.send_frame(0, b"orphan")
                    orphan.expect_close(1002)
                    hub.wait_for(fin_re(3, 4))
                expect_silence(raw, 0.2)
                c.expect_silence(0.1)
                w.send_frame(1, b"fine")
                self.assertEqual(recv_exact(raw, 4), b"fine")


class Closing(unittest.TestCase):
    def test_client_close_is_echoed_and_fin(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, Client(hub) as keep:
                c = Client(hub)
                c.send("before close")
                self.assertEqual(keep.recv(), "before close")
                self.assertEqual(recv_exact(raw, 12), b"before close")
                c.close(4000, "leaving")  # the hub echoes the code
                self.assertEqual(c.ws.close_code, 4000)
                self.assertFalse(c.open)
                hub.wait_for(fin_re(2, 4))
                raw.sendall(b"after")
                self.assertEqual(keep.recv(), "after")
                keep.send("still")
                self.assertEqual(recv_exact(raw, 5), b"still")
                expect_silence(raw, 0.1)
            self.assertEqual(hub.faults(), [])

    def test_close_frame_bytes_on_the_wire(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, RawWS(hub) as w:
                w.sock.sendall(client_frame(8, struct.pack(">H", 1001) + b"bye"))
                self.assertEqual(w.take(4), b"\x88\x02\x03\xe9")
                w.expect_closed()
                hub.wait_for(fin_re(1, 4))
                expect_silence(raw, 0.2)

    def test_ping_pong_and_empty_messages_keep_the_client(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, Client(hub) as keep, RawWS(hub) as w:
                w.send_frame(9, b"are you there")
                self.assertEqual(w.recv_frame(), (0x8A, b"are you there"))
                w.send_frame(10, b"unsolicited")  # a pong is read and ignored
                w.send_frame(1, b"")
                self.assertEqual(keep.recv(), "")
                w.send_frame(2, b"")
                self.assertEqual(keep.recv(), b"")
                expect_silence(raw, 0.2)  # plain receivers get nothing
                w.send_frame(1, b"first")
                self.assertEqual(keep.recv(), "first")
                self.assertEqual(recv_exact(raw, 5), b"first")
                keep.send("others fine")
                self.assertEqual(recv_exact(raw, 11), b"others fine")
                self.assertEqual(w.recv_frame(), (0x81, b"others fine"))
                self.assertNotIn(".fin", hub.output)

    def test_python_client_ping_is_answered(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, Client(hub) as c:
                async def ping():
                    pong = await c.ws.ping(b"x")
                    await pong
                    return "pong"

                self.assertEqual(LOOP.run(ping(), 10), "pong")
                raw.sendall(b"still relayed")
                self.assertEqual(c.recv(), "still relayed")


class OldProtocol(unittest.TestCase):
    def test_worked_example_answer(self):
        # The protocol's worked example and its published answer, byte for
        # byte, and random keys checked as the protocol's client checks them.
        with Hub("-c", "4") as hub:
            with OldWS(hub, "/demo", "sample", host="example.com", keys=OLD_EXAMPLE_KEYS) as o:
                self.assertEqual(o.head, "HTTP/1.1 101 WebSocket Protocol Handshake\r\n"
                                         "Upgrade: WebSocket\r\nConnection: Upgrade\r\n"
                                         "Sec-WebSocket-Origin: http://example.com\r\n"
                                         "Sec-WebSocket-Location: ws://example.com/demo\r\n"
                                         "Sec-WebSocket-Protocol: sample\r\n\r\n")
                self.assertEqual(o.answer, OLD_EXAMPLE_ANSWER)
                o.expect_silence(0.1)
            hub.wait_for(fin_re(0, 4))
            rng = random.Random(20240611)
            for i in range(5):
                keys = make_old_key(rng), make_old_key(rng), os.urandom(8)
                with self.subTest(keys=keys):
                    with OldWS(hub, keys=keys, origin="http://o%d.test" % i) as o:
                        self.assertNotIn("Sec-WebSocket-Protocol", o.head)  # none asked for
                        o.expect_silence(0.1)
                    hub.wait_for(fin_re(0, 4), count=i + 2)
            self.assertEqual(hub.kinds(), ["WS"] * 6)

    def test_copied_request_values_cannot_add_response_lines(self):
        # Origin and Host go into the Key1/Key2 answer's own header lines, the
        # offered protocol into the RFC 6455 answer: a line break ends the
        # copied value, and a request with a bare CR or another control byte
        # in a header is refused with 400, so a request cannot add lines.
        rng = random.Random(13)
        seps = ["\r\n", "\n", "\r", "\x0b"]
        kinds = []
        with Hub("-c", "4") as hub:
            for i, sep in enumerate(seps):
                key1, key2, key3 = make_old_key(rng), make_old_key(rng), os.urandom(8)
                with self.subTest(form="Key1/Key2", sep=sep):
                    request = old_request("h.test" + sep + "X-Injected: 1", "/", key1, key2,
                                          origin="http://a.test" + sep + "Set-Cookie: injected=1",
                                          protocol="p" + sep + "X-Injected: 2") + key3
                    answer = exchange_request(hub, request)
                    self.assertNotIn(b"injected", answer.lower())
                    if sep in ("\r\n", "\n"):
                        head, _, digest = answer.partition(b"\r\n\r\n")
                        lines = head.decode().split("\r\n")
                        self.assertEqual(lines[0], "HTTP/1.1 101 WebSocket Protocol Handshake")
                        self.assertIn("Sec-WebSocket-Origin: http://a.test", lines)
                        self.assertIn("Sec-WebSocket-Location: ws://h.test/", lines)
                        self.assertIn("Sec-WebSocket-Protocol: p", lines)
                        self.assertEqual(digest, old_challenge_answer(key1, key2, key3))
                        kinds.append("WS")
                    else:
                        self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), answer[:60])
                        kinds.append("HTTP")
                    hub.wait_for(fin_re(0, 4), count=i + 1)
            for i, sep in enumerate(seps):
                key = base64.b64encode(os.urandom(16)).decode()
                request = ws_request(hub.port, key, "Sec-WebSocket-Protocol: chat" + sep
                                     + "Set-Cookie: injected=1\r\n")
                with self.subTest(form="RFC 6455", sep=sep):
                    answer = exchange_request(hub, request)
                    self.assertNotIn(b"injected", answer.lower())
                    if sep in ("\r\n", "\n"):
                        lines = answer.decode().split("\r\n")
                        self.assertIn("Sec-WebSocket-Accept: " + accept_value(key), lines)
                        self.assertIn("Sec-WebSocket-Protocol: chat", lines)
                        kinds.append("WS")
                    else:
                        self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), answer[:60])
                        kinds.append("HTTP")
                    hub.wait_for(fin_re(0, 4), count=len(seps) + i + 1)
            self.assertEqual(hub.kinds(), kinds)

    def test_old_client_with_raw_and_rfc6455_clients(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, OldWS(hub, "/chat?room=1", "chat") as o, Client(hub) as c:
                # Old frame -> raw: exactly the payload, no terminator byte.
                o.send_msg(b"hello")
                self.assertEqual(recv_exact(raw, 5), b"hello")
                self.assertEqual(c.recv(), "hello")
                expect_silence(raw)
                # Raw bytes and RFC 6455 messages -> old frames; an empty
                # message is 0x00 0xFF.
                raw.sendall(b"from raw")
                self.assertEqual(o.recv_msg(), b"from raw")
                self.assertEqual(c.recv(), "from raw")
                c.send("from new \u00e9")
                self.assertEqual(o.recv_msg(), "from new \u00e9".encode())
                self.assertEqual(recv_exact(raw, 11), "from new \u00e9".encode())
                c.send("")
                self.assertEqual(o.recv_msg(), b"")
                # Several old frames in one segment, an empty one among them,
                # and one split in two.
                o.sock.sendall(b"\x00one\xff\x00\xff\x00two\xff\x00thr")
                self.assertEqual(c.recv_n(3), ["one", "", "two"])
                time.sleep(0.15)
                c.expect_silence(0.1)
                o.sock.sendall(b"ee\xff")
                self.assertEqual(c.recv(), "three")
                self.assertEqual(recv_exact(raw, 11), b"onetwothree")
                expect_silence(raw, 0.1)
                o.expect_silence(0.1)
                # The closing handshake: 0xFF 0x00 is answered in kind, and
                # the connection ends.
                o.sock.sendall(b"\xff\x00")
                o.expect_close_handshake()
                hub.wait_for(fin_re(2, 4))
                raw.sendall(b"left")
                self.assertEqual(c.recv(), "left")
            self.assertEqual(hub.faults(), [])


    def test_hub_stop_ends_with_the_closing_handshake(self):
        # The hub's own close on a stop is the old protocol's 0xFF 0x00 for
        # such clients, over ws:// and wss:// alike, after what was relayed.
        with tempfile.TemporaryDirectory() as certs:
            make_cert(certs)
            with Hub("-c", "4", cwd=certs) as hub:
                raw = hub.connect()
                with raw, OldWS(hub, "/chat?room=1") as o, OldWS(hub, "/", "chat", tls=True) as s:
                    raw.sendall(b"last")
                    self.assertEqual((o.recv_msg(), s.recv_msg()), (b"last", b"last"))
                    status, _ = hub.terminate(signal.SIGTERM, timeout=5)
                    self.assertEqual(status, 0, hub.output[-2000:])
                    o.expect_close_handshake()
                    s.expect_close_handshake()


class Utf8Gate(unittest.TestCase):
    def test_character_split_between_writes(self):
        with Hub("-c", "4") as hub:
            raw = hub.connect()
            with raw, Client(hub) as c:
                # The rest of the character follows at once: held, joined,
                # and both pieces are text.
                raw.sendall(b"abc\xc3")
                raw.sendall(b"\xa9def")
                got = c.recv()
                self.assertIsInstance(got, str)
                if got == "abc":
                    got += c.recv()
                self.assertEqual(got, "abc\u00e9def")
                # A sender that stops inside a character: what came before
                # is text at once, the lone lead byte follows as binary.
                raw.sendall(b"xyz\xc3")
                self.assertEqual(c.recv(), "xyz")
                self.assertEqual(c.recv(), b"\xc3")
                raw.sendall(b"\xa9def")
                self.assertEqual(c.recv(), b"\xa9def")
                # The strict client kept the connection: no 1007 close.
                self.assertTrue(c.open)
                raw.sendall(b"whole \xc3\xa9")
                self.assertEqual(c.recv(), "whole \u00e9")
                c.send("still open")
                self.assertEqual(recv_exact(raw, 10), b"still open")
                self.assertNotIn(".fin", hub.output)


if __name__ == "__main__":
    unittest.main()
