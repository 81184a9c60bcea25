"""Plain TCP relaying through the real hub."""

import os
import socket
import threading
import time
import unittest

from harness import HOST, SLOW, Hub, expect_silence, recv_exact


class TwoAndThree(unittest.TestCase):
    def test_two_clients_exchange_in_order(self):
        with Hub("-c", "4") as hub:
            a, b = hub.connect(), hub.connect()
            with a, b:
                for i in range(20):
                    a.sendall(b"a%03d;" % i)
                self.assertEqual(recv_exact(b, 100), b"".join(b"a%03d;" % i for i in range(20)))
                b.sendall(b"from-b")
                self.assertEqual(recv_exact(a, 6), b"from-b")
                expect_silence(a)  # never its own bytes
                expect_silence(b)

    def test_three_clients_each_get_the_others(self):
        with Hub("-c", "4") as hub:
            socks = [hub.connect() for _ in range(3)]
            try:
                for i, s in enumerate(socks):
                    msg = b"<%d>" % i * 50
                    s.sendall(msg)
                    for j, r in enumerate(socks):
                        if j != i:
                            self.assertEqual(recv_exact(r, len(msg)), msg)
                    for r in socks:
                        expect_silence(r, 0.1)
            finally:
                for s in socks:
                    s.close()

    def test_one_client_alone_drops_its_data(self):
        with Hub("-c", "4") as hub:
            a = hub.connect()
            with a:
                a.sendall(b"nobody listens")
                expect_silence(a)
                b = hub.connect()
                with b:
                    expect_silence(b)  # nothing from before it was ready
                    a.sendall(b"now")
                    self.assertEqual(recv_exact(b, 3), b"now")

    def test_silent_client_later_sends(self):
        with Hub("-c", "4") as hub:
            a, b = hub.connect(), hub.connect()
            with a, b:
                time.sleep(1.0)
                a.sendall(b"late")
                self.assertEqual(recv_exact(b, 4), b"late")

    def test_connect_and_close_at_once(self):
        with Hub("-c", "4") as hub:
            a = hub.connect()
            with a:
                c = socket.create_connection((HOST, hub.port), timeout=5)
                c.close()
                hub.wait_for(r"server_\d\d\.fin  active 01/04")
                b = hub.connect()
                with b:
                    a.sendall(b"still fine")
                    self.assertEqual(recv_exact(b, 10), b"still fine")


class Volume(unittest.TestCase):
    def test_4mib_transfer_intact(self):
        data = os.urandom(4 << 20)
        with Hub("-c", "4") as hub:
            a, b, c = hub.connect(), hub.connect(), hub.connect()
            with a, b, c:
                results = {}

                def reader(name, s):
                    try:
                        results[name] = recv_exact(s, len(data), timeout=60)
                    except AssertionError as e:
                        results[name] = e

                ts = [threading.Thread(target=reader, args=(n, s)) for n, s in (("b", b), ("c", c))]
                for t in ts:
                    t.start()
                a.sendall(data)
                for t in ts:
                    t.join(90 * SLOW)
                self.assertEqual(results.get("b"), data)
                self.assertEqual(results.get("c"), data)

    def test_stalled_receiver_applies_backpressure_then_recovers(self):
        with Hub("-c", "4") as hub:
            a, b, c = hub.connect(), hub.connect(), hub.connect()
            with a, b, c:
                # c never reads for now: a's writes must stall once every buffer
                # on the way to c is full, without the hub queueing data.
                a.setblocking(False)
                sent = bytearray()
                got_b = bytearray()
                block = os.urandom(65536)
                stalled = False
                deadline = time.monotonic() + 30 * SLOW
                while time.monotonic() < deadline:
                    try:
                        n = a.send(block)
                        sent += block[:n]
                    except BlockingIOError:
                        # Drain b so that only c can be the cause of the stall.
                        b.settimeout(0.2)
                        try:
                            while True:
                                chunk = b.recv(1 << 20)
                                if not chunk:
                                    break
                                got_b += chunk
                        except socket.timeout:
                            pass
                        try:
                            n = a.send(block)
                            sent += block[:n]
                        except BlockingIOError:
                            stalled = True
                            break
                self.assertTrue(stalled, "sender never stalled")
                self.assertLess(len(sent), 64 << 20)  # bounded: nothing piles up in the hub
                # c reads again: everything arrives intact, at b and at c (both
                # read at once, since each one's backpressure holds the other).
                results = {}

                def reader(name, s, n):
                    try:
                        results[name] = recv_exact(s, n, timeout=60)
                    except (AssertionError, OSError) as e:
                        results[name] = e

                ts = [threading.Thread(target=reader, args=("c", c, len(sent))),
                      threading.Thread(target=reader, args=("b", b, len(sent) - len(got_b)))]
                for t in ts:
                    t.start()
                for t in ts:
                    t.join(90 * SLOW)
                self.assertEqual(results.get("c"), bytes(sent))
                self.assertEqual(bytes(got_b) + results.get("b", b""), bytes(sent))
                a.setblocking(True)
                a.sendall(b"after")
                self.assertEqual(recv_exact(c, 5), b"after")

    def test_stalled_receiver_leaving_releases_senders(self):
        with Hub("-c", "4") as hub:
            a, b, c = hub.connect(), hub.connect(), hub.connect()
            with a, b:
                a.setblocking(False)
                block = os.urandom(65536)
                sent = 0
                deadline = time.monotonic() + 20 * SLOW
                b.settimeout(0.05)
                while time.monotonic() < deadline:
                    try:
                        sent += a.send(block)
                    except BlockingIOError:
                        try:
                            b.recv(1 << 20)
                        except socket.timeout:
                            break
                # b goes on reading from here: a reader that stopped while
                # the hub still relays to it would be cut as stalled itself.
                b.settimeout(30 * SLOW)
                seen = {}

                def drain_b():
                    tail = b""
                    try:
                        while not tail.endswith(b"END-MARK"):
                            chunk = b.recv(1 << 20)
                            if not chunk:
                                seen["error"] = "b lost its connection"
                                return
                            tail = (tail + chunk)[-16:]
                        seen["end"] = True
                    except OSError as e:
                        seen["error"] = repr(e)

                reader = threading.Thread(target=drain_b, daemon=True)
                reader.start()
                c.close()  # the stuck receiver leaves
                hub.wait_for(r"fin  active 02/04")
                a.setblocking(True)
                a.sendall(b"END-MARK")
                reader.join(40 * SLOW)
                self.assertEqual(seen, {"end": True}, hub.faults())


if __name__ == "__main__":
    unittest.main()


class TextStaysText(unittest.TestCase):
    def test_a_long_line_of_text_reaches_websocket_receivers_as_text(self):
        # A plain read that fills the buffer and ends inside a character
        # keeps that character's first bytes for the next read: every piece
        # is valid UTF-8, goes out as a text frame, and the pieces join to
        # the line. (Unaligned: one ASCII byte in front shifts every cut.)
        from harness import RawWS
        words = "déjà-vu naïve Ångström Съешь же ещё этих мягких булок 漢字かな交じり文 😀🚀👍🏽 "
        line = ("x" + words * 2000)[:100000].encode()[:100000]
        line = line.decode("utf-8", "ignore").encode() + b"\n"
        for size in ("4096", "65536"):
            with self.subTest(L=size), Hub("-c", "4", "-L", size) as hub:
                w = RawWS(hub)
                sender = hub.connect()
                sender.sendall(line)
                got = bytearray()
                while len(got) < len(line):
                    b0, payload = w.recv_frame(timeout=10)
                    self.assertEqual(b0, 0x81, "a piece went out as binary at byte %d" % len(got))
                    payload.decode("utf-8")  # each piece is text on its own
                    got += payload
                self.assertEqual(bytes(got), line)
                sender.close()
                w.close()
