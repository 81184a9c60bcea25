"""Hubs joined through Redis pub/sub by relayhub-bridge: real hubs, a real
redis-server on a loopback port, and RAW, WS and WSS clients on every hub."""

import os
import signal
import socket
import struct
import tempfile
import threading
import time
import unittest
from contextlib import ExitStack

from harness import (HOST, KIND_RE, OP_BINARY, OP_TEXT, SLOW, Bridge, Hub, RawWS, Redis, Stream, make_cert)

HUB_ARGS = ("-L", "65536")
BACKOFF_CAP_S = 5.0


class Peer:
    """One client of a hub: RAW (bytes), WS or WSS (frames)."""

    def __init__(self, name, hub, kind):
        self.name, self.kind = name, kind
        if kind == "raw":
            self.conn = Stream(hub.connect())
        else:
            self.conn = RawWS(hub, tls=kind == "wss")

    def send(self, payload, opcode=OP_TEXT):
        if self.kind == "raw":
            self.conn.sock.sendall(payload)
        else:
            self.conn.send_frame(opcode, payload)

    def expect(self, payload, opcode):
        """The message as this kind receives it: a plain client the bytes
        (an empty message not at all), a WebSocket client frames of opcode."""
        if self.kind == "raw":
            got = self.conn.take(len(payload)) if payload else b""
        else:
            got = b""
            while True:  # a plain sender's message may come in pieces
                b0, part = self.conn.recv_frame()
                if b0 != 0x80 | opcode:
                    raise AssertionError("%s: frame %#x for %r, want opcode %d" % (self.name, b0, part[:40], opcode))
                got += part
                if len(got) >= len(payload):
                    break
        if got != payload:
            raise AssertionError("%s: got %r, want %r" % (self.name, got[:80], payload[:80]))

    def lines(self, n, timeout=20):
        """n newline-ended messages, as they arrive."""
        out = []
        while len(out) < n:
            if self.kind == "raw":
                out.append(self.conn.until(b"\n", timeout=timeout))
            else:
                out.append(self.conn.recv_frame(timeout)[1])
        return out

    def close(self):
        self.conn.close()


def check_order(test, receiver, lines, senders, count):
    """Every sender's `count` messages, once each and in order."""
    got = {}
    for line in lines:
        name, seq = line.split()
        got.setdefault(name.decode(), []).append(int(seq))
    test.assertEqual(got, {s.name: list(range(count)) for s in senders if s is not receiver}, receiver.name)


class Federation(ExitStack):
    """Redis, hubs and one bridge per hub, all stopped on exit. bridge_args,
    when given, maps the federation (its cert and password file are made
    first) to the extra arguments of each bridge."""

    def __init__(self, hubs=2, bridge_args=None, redis_password=None, wait_up=True, hub_args=None):
        super().__init__()
        try:
            self._start(hubs, bridge_args, redis_password, wait_up, hub_args)
        except BaseException:
            self.close()  # what started must not outlive a failed start
            raise

    def _start(self, hubs, bridge_args, redis_password, wait_up, hub_args):
        self.dir = self.enter_context(tempfile.TemporaryDirectory())
        self.cert = make_cert(self.dir) + ".crt"
        self.password_file = os.path.join(self.dir, "redis.pass")
        with open(self.password_file, "w") as out:
            out.write("%s\n" % redis_password)
        self.redis = self.enter_context(Redis(password=redis_password))
        self.hubs = [self.enter_context(Hub(*a, cwd=self.dir)) for a in (hub_args or [HUB_ARGS] * hubs)]
        args = bridge_args(self) if bridge_args else [()] * hubs
        self.bridges = [self.enter_context(Bridge(h, self.redis, *a, wait_up=wait_up))
                        for h, a in zip(self.hubs, args)]

    def peer(self, name, hub, kind):
        p = Peer(name, hub, kind)
        self.callback(p.close)
        return p

    def silence(self, peers):
        for p in peers:
            p.conn.expect_silence(0.3)


class Relaying(unittest.TestCase):
    def test_two_hubs_every_client_gets_every_message_once(self):
        # One bridge verifies its hub's certificate, the other takes it as is.
        with Federation(bridge_args=lambda f: [("--ca", f.cert), ("--tls",)]) as f:
            peers = [f.peer("%s.%s" % (side, kind), hub, kind)
                     for side, hub in zip("AB", f.hubs) for kind in ("raw", "ws", "wss")]

            # One at a time: exact bytes and types, across the bridges and
            # on the sender's own hub.
            for s in peers:
                if s.kind == "raw":
                    messages = [(OP_TEXT, b"%s plain line\n" % s.name.encode())]
                else:
                    messages = [(OP_TEXT, ("%s text \u00fc \u2713" % s.name).encode()),
                                (OP_BINARY, b"\x00\xff\x80" + s.name.encode()),
                                (OP_TEXT, b""),
                                (OP_BINARY, os.urandom(60000))]
                for opcode, payload in messages:
                    s.send(payload, opcode)
                    for r in peers:
                        if r is not s:
                            r.expect(payload, opcode)

            # All WebSocket senders at once: each message once, in order per sender.
            senders = [p for p in peers if p.kind != "raw"]
            count = 40
            for seq in range(count):
                for s in senders:
                    s.send(b"%s %d\n" % (s.name.encode(), seq))
            for r in peers:
                n = count * sum(1 for s in senders if s is not r)
                check_order(self, r, r.lines(n), senders, count)
            f.silence(peers)  # nothing more, and nothing back to a sender

            a, b = (br.stop() for br in f.bridges)
            for mine, other in ((a, b), (b, a)):
                self.assertEqual(mine["from hub"], mine["to redis"])
                self.assertEqual((mine["from redis"], mine["to hub"]), (other["to redis"],) * 2)
                self.assertEqual(sum(mine[k] for k in ("redis down", "buffer full", "hub down", "too large",
                                                       "rejected")), 0)

    def test_three_hubs_in_a_star_no_duplicates_no_loops(self):
        with Federation(hubs=3) as f:
            ws = [f.peer("ws%d" % i, h, "ws") for i, h in enumerate(f.hubs)]
            raw = [f.peer("raw%d" % i, h, "raw") for i, h in enumerate(f.hubs)]
            count = 30
            for seq in range(count):
                for s in ws:
                    s.send(b"%s %d\n" % (s.name.encode(), seq))
            for r in ws + raw:
                n = count * sum(1 for s in ws if s is not r)
                check_order(self, r, r.lines(n), ws, count)
            f.silence(ws + raw)
            counts = [br.stop(signal.SIGINT if i == 0 else signal.SIGTERM) for i, br in enumerate(f.bridges)]
            for i, c in enumerate(counts):
                others = sum(o["to redis"] for j, o in enumerate(counts) if j != i)
                self.assertEqual((c["from hub"], c["to redis"]), (count, count), c)
                self.assertEqual((c["from redis"], c["to hub"]), (others, others), c)


class Faults(unittest.TestCase):
    def test_redis_restarted_bridges_resume_and_count_the_loss(self):
        with Federation(redis_password="s3cret pass",
                        bridge_args=lambda f: [("--password-file", f.password_file)] * 2) as f:
            a, b = f.peer("a", f.hubs[0], "ws"), f.peer("b", f.hubs[1], "ws")
            a.send(b"before")
            b.expect(b"before", OP_TEXT)

            f.redis.stop()
            for br in f.bridges:
                br.wait_for(r"!! redis \S+ down \(publish\)")
                br.wait_for(r"!! redis \S+ down \(subscribe\)")
            for i in range(3):
                a.send(b"lost %d" % i)
            f.bridges[0].wait_counters(from_hub=4, to_redis=1, redis_down=3)

            f.redis.start()
            for br in f.bridges:  # within the backoff cap
                for role in ("publish", "subscribe"):
                    br.wait_for(r":: redis \S+ up \(%s " % role, count=2, timeout=BACKOFF_CAP_S + 5)
            a.send(b"after")
            b.expect(b"after", OP_TEXT)  # the first thing b gets: nothing lost comes late
            b.send(b"back", OP_BINARY)
            a.expect(b"back", OP_BINARY)
            f.silence([a, b])

    def test_redis_password_missing_or_wrong_is_refused_and_counted(self):
        with Federation(hubs=1, redis_password="right", wait_up=False) as f:
            none = f.bridges[0]
            # One after the other: the hub completes a connection's line only
            # when no other one arrives meanwhile.
            none.wait_for(r":: hub \S+ up ")
            f.hubs[0].wait_for(KIND_RE, count=1)
            wrong_file = os.path.join(f.dir, "wrong.pass")
            with open(wrong_file, "w") as out:
                out.write("wrong\n")
            wrong = f.enter_context(Bridge(f.hubs[0], f.redis, "--password-file", wrong_file, wait_up=False))
            wrong.wait_for(r":: hub \S+ up ")
            f.hubs[0].wait_for(KIND_RE, count=2)
            time.sleep(0.05)
            for br, reason in ((none, "NOAUTH"), (wrong, "AUTH refused: WRONGPASS")):
                br.wait_for(r"!! redis \S+ unreachable \(publish\): .*%s" % reason)
                br.wait_for(r"!! redis \S+ unreachable \(subscribe\): .*%s" % reason)
            a = f.peer("a", f.hubs[0], "ws")
            a.send(b"unpublished")
            for br in (none, wrong):
                br.wait_counters(from_hub=1, to_redis=0, redis_down=1)
            self.assertNotIn("redis 127.0.0.1:%d up" % f.redis.port, none.output + wrong.output)

    def test_hub_restarted_its_bridge_reconnects(self):
        with Federation() as f:
            a = f.peer("a", f.hubs[0], "ws")
            port_b = f.hubs[1].port
            f.hubs[1].stop()
            f.bridges[1].wait_for(r"!! hub \S+ down: ")
            for i in range(2):
                a.send(b"nobody on B %d" % i)
            f.bridges[1].wait_counters(from_redis=2, to_hub=0, hub_down=2)

            hub_b = f.enter_context(Hub(*HUB_ARGS, cwd=f.dir, port=port_b))
            f.bridges[1].wait_for(r":: hub \S+ up ", count=2, timeout=BACKOFF_CAP_S + 5)
            hub_b.wait_for(KIND_RE)
            time.sleep(0.05)
            b = f.peer("b", hub_b, "ws")
            a.send(b"after")
            b.expect(b"after", OP_TEXT)
            b.send(b"to a")
            a.expect(b"to a", OP_TEXT)
            f.silence([a, b])

    def test_stalled_client_bridge_buffers_drops_and_stays_flat(self):
        size, phase = 16384, 800
        with Federation(bridge_args=lambda f: [(), ("--buffer", "256k")]) as f:
            sender, watcher = f.peer("a1", f.hubs[0], "ws"), f.peer("a2", f.hubs[0], "ws")
            b_ws = f.peer("b", f.hubs[1], "ws")
            stalled = socket.socket()
            stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            stalled.connect((HOST, f.hubs[1].port))  # and never reads
            f.callback(stalled.close)
            f.hubs[1].wait_for(r"so \d+  RAW\n", timeout=5)
            time.sleep(0.05)

            seen = []

            def watch(n):
                for _ in range(n):
                    seen.append(struct.unpack(">I", watcher.conn.recv_frame(30)[1][:4])[0])

            def send_phase(first):
                t = threading.Thread(target=watch, args=(phase,))
                t.start()
                filler = os.urandom(size - 4)
                for seq in range(first, first + phase):
                    sender.send(struct.pack(">I", seq) + filler, OP_BINARY)
                t.join(60 * SLOW)
                self.assertFalse(t.is_alive(), "hub A's client stopped receiving")

            send_phase(0)
            f.bridges[1].wait_until(lambda c: c["buffer full"] > 0, timeout=20)
            rss_full = f.bridges[1].rss_kib()
            send_phase(phase)
            rss_after = f.bridges[1].rss_kib()
            self.assertEqual(seen, list(range(2 * phase)))  # hub A unaffected
            if SLOW == 1:  # sanitizers keep freed memory in quarantine on purpose
                self.assertLess(rss_after - rss_full, 2048, "bridge RSS grew from %d KiB" % rss_full)
            f.bridges[0].wait_counters(from_hub=2 * phase, to_redis=2 * phase)

            # Released: hub B gets the newest of what was buffered, in order.
            stalled.close()
            sender.send(struct.pack(">I", 2 * phase) + b"end", OP_BINARY)
            got = []
            while not got or got[-1] != 2 * phase:
                got.append(struct.unpack(">I", b_ws.conn.recv_frame(30)[1][:4])[0])
            self.assertEqual(got, sorted(set(got)))
            c = f.bridges[1].wait_counters(from_redis=2 * phase + 1, to_hub=len(got))
            self.assertGreater(c["buffer full"], 0)
            self.assertEqual(c["to hub"] + c["buffer full"], c["from redis"])


    def test_message_larger_than_a_hub_takes(self):
        # Hub B takes at most 4080 bytes per message (-L 4096). Its first
        # bridge passes everything on, so hub B closes it with 1009 and it
        # comes back; the second drops what is too large and stays.
        with Federation(hub_args=[HUB_ARGS, ("-L", "4096")]) as f:
            a = f.peer("a", f.hubs[0], "ws")
            b = f.peer("b", f.hubs[1], "raw")
            a.send(b"x" * 5000, OP_BINARY)
            f.bridges[1].wait_for(r"!! hub \S+ down: the hub closed the connection with 1009: .*--max-message")
            f.bridges[1].wait_for(r":: hub \S+ up ", count=2, timeout=BACKOFF_CAP_S + 5)
            f.bridges[1].stop()
            kinds = len(f.hubs[1].kinds())
            limited = f.enter_context(Bridge(f.hubs[1], f.redis, "--max-message", "4080"))
            f.hubs[1].wait_for(KIND_RE, count=kinds + 1)
            a.send(b"y" * 5000, OP_BINARY)
            a.send(b"fits")
            b.expect(b"fits", OP_TEXT)
            limited.wait_counters(from_redis=2, too_large=1, to_hub=1)
            self.assertNotIn("!! hub", limited.output)


class Security(unittest.TestCase):
    def test_only_other_bridges_messages_reach_the_hub(self):
        with Federation(hubs=1) as f:
            a = f.peer("a", f.hubs[0], "ws")
            other = os.urandom(8)
            for junk in (b"plain text", b"rh\x01\x07" + other + b"bad type", b"rh\x01\x01" + other + b"\xff\xfe",
                         b"rh\x02\x01" + other + b"next version"):
                f.redis.command("PUBLISH", "relayhub", junk)
            f.bridges[0].wait_counters(rejected=4)
            a.conn.expect_silence()
            f.redis.command("PUBLISH", "relayhub", b"rh\x01\x02" + other + b"\x00from elsewhere")
            a.expect(b"\x00from elsewhere", OP_BINARY)

            # What the bridge publishes: the documented header, then the payload.
            sub = Stream(socket.create_connection((HOST, f.redis.port), timeout=10 * SLOW))
            f.callback(sub.close)
            sub.sock.sendall(b"*2\r\n$9\r\nSUBSCRIBE\r\n$8\r\nrelayhub\r\n")
            sub.until(b":1\r\n")
            a.send("h\u00e9llo".encode())
            sub.until(b"$8\r\nrelayhub\r\n")
            n = int(sub.until(b"\r\n")[1:-2])
            msg = sub.take(n)
            self.assertEqual((msg[:4], msg[12:]), (b"rh\x01\x01", "h\u00e9llo".encode()))
            a.conn.expect_silence()  # its own message is not re-injected
            f.bridges[0].wait_counters(from_redis=1, to_hub=1, from_hub=1, to_redis=1)

    def test_huge_message_on_the_channel_is_not_buffered(self):
        with Federation(hubs=1, bridge_args=lambda f: [("--max-message", "1000")]) as f:
            a = f.peer("a", f.hubs[0], "ws")
            other = os.urandom(8)
            f.redis.command("PUBLISH", "relayhub", b"rh\x01\x02" + other + b"m" * 1001)  # whole, dropped
            f.bridges[0].wait_counters(too_large=1)
            f.redis.command("PUBLISH", "relayhub", b"rh\x01\x02" + other + b"h" * 300000)  # not held
            f.bridges[0].wait_for(r"!! redis \S+ down \(subscribe\): a message on the channel is larger than 1000")
            f.bridges[0].wait_for(r":: redis \S+ up \(subscribe ", count=2, timeout=BACKOFF_CAP_S + 5)
            f.redis.command("PUBLISH", "relayhub", b"rh\x01\x01" + other + b"small")
            a.expect(b"small", OP_TEXT)
            f.bridges[0].wait_counters(too_large=2, to_hub=1)

    def test_wrong_certificate_never_connects(self):
        with Federation(hubs=1, bridge_args=lambda f: [("--ca", make_cert(f.dir, name="other.pem") + ".crt")],
                        wait_up=False) as f:
            br = f.bridges[0]
            br.wait_for(r"!! hub \S+ unreachable: TLS: certificate not accepted")
            br.wait_for(r":: redis \S+ up \(subscribe ")
            self.assertEqual(f.hubs[0].kinds(), [])
            self.assertNotIn(":: hub ", br.output)


if __name__ == "__main__":
    unittest.main()
