"""Hubs joined through Redis by relayhub-bridge: real hubs, a real
redis-server on a loopback port (plain, persistent, TLS), and RAW, WS and WSS
clients on every hub; the default Redis Streams transport and pub/sub."""

import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
from contextlib import ExitStack

from harness import (HOST, KIND_RE, OP_BINARY, OP_TEXT, READER_RE, SLOW, WRITER_RE, Bridge, Hub, Proxy, RawWS,
                     Redis, Stream, free_port, make_cert, run_tool)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

HUB_ARGS = ("-L", "65536")
BACKOFF_CAP_S = 5.0


def stall_a_reader(f, hub):
    """A plain member of hub with a small receive buffer that never reads
    (the test may close it earlier); closed when the federation f ends."""
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect((HOST, hub.port))
    f.callback(stalled.close)
    hub.wait_for(r"so \d+  RAW\n", timeout=5)
    time.sleep(0.05)
    return stalled


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

    def __init__(self, hubs=2, bridge_args=None, redis_password=None, wait_up=True, hub_args=None,
                 transport="streams", persist=False):
        super().__init__()
        self.transport = transport
        try:
            self._start(hubs, bridge_args, redis_password, wait_up, hub_args, persist)
        except BaseException:
            self.close()  # what started must not outlive a failed start
            raise

    def _start(self, hubs, bridge_args, redis_password, wait_up, hub_args, persist):
        self.dir = self.enter_context(tempfile.TemporaryDirectory())
        self.cert = make_cert(self.dir) + ".crt"
        self.password_file = os.path.join(self.dir, "redis.pass")
        with open(os.open(self.password_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as out:
            out.write("%s\n" % redis_password)
        self.redis = self.enter_context(Redis(password=redis_password, persist=self.dir if persist else None))
        self.hubs = [self.enter_context(Hub(*a, cwd=self.dir)) for a in (hub_args or [HUB_ARGS] * hubs)]
        args = bridge_args(self) if bridge_args else [()] * hubs
        self.bridges = [self.bridge(h, *a, wait_up=wait_up) for h, a in zip(self.hubs, args)]

    def bridge(self, hub, *args, redis=None, wait_up=True):
        """One more bridge of this federation's transport, stopped on exit."""
        return self.enter_context(Bridge(hub, redis or self.redis, "--transport", self.transport, *args,
                                         wait_up=wait_up))

    def peer(self, name, hub, kind):
        p = Peer(name, hub, kind)
        self.callback(p.close)
        return p

    def silence(self, peers):
        for p in peers:
            p.conn.expect_silence(0.3)


class Relaying(unittest.TestCase):
    TRANSPORT = "streams"

    def test_two_hubs_every_client_gets_every_message_once(self):
        # One bridge verifies its hub's certificate, the other takes it as is.
        with Federation(bridge_args=lambda f: [("--ca", f.cert), ("--tls",)], transport=self.TRANSPORT) as f:
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
                                                       "rejected", "missed", "duplicates")), 0)

    def test_three_hubs_in_a_star_no_duplicates_no_loops(self):
        with Federation(hubs=3, transport=self.TRANSPORT) as f:
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


class RelayingPubsub(Relaying):
    TRANSPORT = "pubsub"


class PubsubFaults(unittest.TestCase):
    """Pub/sub keeps nothing: what cannot pass is dropped and counted."""

    def test_redis_restarted_bridges_resume_and_count_the_loss(self):
        with Federation(redis_password="s3cret pass", transport="pubsub",
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
        with Federation(hubs=1, redis_password="right", wait_up=False, transport="pubsub") as f:
            none = f.bridges[0]
            # One after the other: the hub completes a connection's line only
            # when no other one arrives meanwhile.
            none.wait_for(r":: hub \S+ up ")
            f.hubs[0].wait_for(KIND_RE, count=1)
            wrong_file = os.path.join(f.dir, "wrong.pass")
            with open(os.open(wrong_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as out:
                out.write("wrong\n")
            wrong = f.bridge(f.hubs[0], "--password-file", wrong_file, wait_up=False)
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
        with Federation(transport="pubsub") as f:
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
        with Federation(bridge_args=lambda f: [(), ("--buffer", "256k")], transport="pubsub") as f:
            sender, watcher = f.peer("a1", f.hubs[0], "ws"), f.peer("a2", f.hubs[0], "ws")
            b_ws = f.peer("b", f.hubs[1], "ws")
            stalled = stall_a_reader(f, f.hubs[1])

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


class Security(unittest.TestCase):
    def test_only_other_bridges_messages_reach_the_hub(self):
        with Federation(hubs=1, transport="pubsub") as f:
            a = f.peer("a", f.hubs[0], "ws")
            hub, other = os.urandom(8), os.urandom(8)
            for junk in (b"plain text", b"rh\x02\x07" + hub + other + b"\0" * 7 + b"\1" + b"bad type",
                         b"rh\x02\x01" + hub + other + b"\0" * 7 + b"\2" + b"\xff\xfe",
                         b"rh\x03\x01" + hub + other + b"\0" * 8 + b"next version", b"rh\x02\x01short"):
                f.redis.command("PUBLISH", "relayhub", junk)
            f.bridges[0].wait_counters(rejected=5)
            a.conn.expect_silence()
            f.redis.command("PUBLISH", "relayhub", b"rh\x02\x02" + hub + other + b"\0" * 7 + b"\1" + b"\x00from elsewhere")
            a.expect(b"\x00from elsewhere", OP_BINARY)
            # The same number again is a duplicate; a later one after a gap
            # is delivered and the gap counted.
            f.redis.command("PUBLISH", "relayhub", b"rh\x02\x02" + hub + other + b"\0" * 7 + b"\1" + b"again")
            f.redis.command("PUBLISH", "relayhub", b"rh\x02\x01" + hub + other + b"\0" * 7 + b"\5" + b"fifth")
            a.expect(b"fifth", OP_TEXT)
            f.bridges[0].wait_counters(duplicates=1, missed=3)
            # Format 1, as earlier bridges publish it, is still taken.
            f.redis.command("PUBLISH", "relayhub", b"rh\x01\x01" + os.urandom(8) + b"v1")
            a.expect(b"v1", OP_TEXT)

            # What the bridge publishes: the documented header, then the payload.
            sub = Stream(socket.create_connection((HOST, f.redis.port), timeout=10 * SLOW))
            f.callback(sub.close)
            sub.sock.sendall(b"*2\r\n$9\r\nSUBSCRIBE\r\n$8\r\nrelayhub\r\n")
            sub.until(b":1\r\n")
            for text in ("h\u00e9llo", "again"):
                a.send(text.encode())
                sub.until(b"$8\r\nrelayhub\r\n")
                n = int(sub.until(b"\r\n")[1:-2])
                msg = sub.take(n)
                hub_id = re.search(r"instance ([0-9a-f]{16})  message max", f.bridges[0].output).group(1)
                self.assertEqual((msg[:4], msg[4:12].hex(), msg[28:]), (b"rh\x02\x01", hub_id, text.encode()))
                self.assertEqual(msg[12:20].hex(), re.search(r"instance ([0-9a-f]{16})\n", f.bridges[0].output).group(1))
            a.conn.expect_silence()  # its own messages are not re-injected
            f.bridges[0].wait_counters(from_redis=4, to_hub=3, from_hub=2, to_redis=2)

    def test_large_message_on_the_channel_is_dropped_and_a_huge_one_never_held(self):
        with Federation(hubs=1, bridge_args=lambda f: [("--max-message", "1000")], transport="pubsub") as f:
            a = f.peer("a", f.hubs[0], "ws")
            head = b"rh\x02\x02" + os.urandom(16) + b"\0" * 7
            f.redis.command("PUBLISH", "relayhub", head + b"\1" + b"m" * 1001)  # whole, dropped
            f.bridges[0].wait_counters(too_large=1)
            f.bridges[0].wait_for(r"!! dropped a message of 1001 bytes toward hub \S+: it takes at most 1000")
            # Past the reply limit (1 MiB here): the subscription ends rather
            # than the bridge holding it.
            f.redis.command("PUBLISH", "relayhub", head + b"\2" + b"h" * (3 << 20))
            f.bridges[0].wait_for(r"!! redis \S+ down \(subscribe\): a reply larger than 1048576 bytes")
            f.bridges[0].wait_for(r":: redis \S+ up \(subscribe ", count=2, timeout=BACKOFF_CAP_S + 5)
            f.redis.command("PUBLISH", "relayhub", head + b"\3" + b"small")
            a.expect(b"small", OP_BINARY)
            f.bridges[0].wait_counters(too_large=1, to_hub=1)

    def test_wrong_certificate_never_connects(self):
        with Federation(hubs=1, bridge_args=lambda f: [("--ca", make_cert(f.dir, name="other.pem") + ".crt")],
                        wait_up=False) as f:
            br = f.bridges[0]
            br.wait_for(r"!! hub \S+ unreachable: TLS: certificate not accepted")
            br.wait_for(r":: redis \S+ up \(%s " % READER_RE)
            self.assertEqual(f.hubs[0].kinds(), [])
            self.assertNotIn(":: hub ", br.output)


    def test_tls_redis_with_an_acl_user_and_a_refused_certificate(self):
        with ExitStack() as st:
            d = st.enter_context(tempfile.TemporaryDirectory())
            pem = make_cert(d)
            pw = os.path.join(d, "bridge.pass")
            with open(os.open(pw, os.O_WRONLY | os.O_CREAT, 0o600), "w") as out:
                out.write("acl-secret\n")
            # Only what a bridge does: streams, its own keys, and scripts.
            redis = st.enter_context(Redis(tls=(pem + ".crt", pem + ".key"), users=[
                "default off", "bridge on >acl-secret ~* &* -@all +@stream +get +set +del +hgetall +hset +pexpire "
                "+eval +ping +auth +publish +subscribe"]))
            f = st.enter_context(ExitStack())
            hubs = [st.enter_context(Hub(*HUB_ARGS, cwd=d)) for _ in range(2)]
            args = ("--redis-ca", pem + ".crt", "--redis-user", "bridge", "--password-file", pw)
            bridges = [st.enter_context(Bridge(h, redis, *args)) for h in hubs]
            for br in bridges:
                self.assertIn("(tls, verified)", br.output)
            a, b = RawWS(hubs[0]), RawWS(hubs[1])
            f.callback(a.close)
            f.callback(b.close)
            a.send_frame(OP_TEXT, b"over TLS")
            self.assertEqual(b.recv_frame(), (0x81, b"over TLS"))
            # Another CA: never connected; no plain text reaches the port.
            other = make_cert(d, name="other.pem") + ".crt"
            refused = st.enter_context(Bridge(hubs[0], redis, "--redis-ca", other, "--redis-user", "bridge",
                                              "--password-file", pw, wait_up=False))
            refused.wait_for(r"!! redis \S+ unreachable \(%s\): TLS: certificate not accepted" % READER_RE)
            plain = st.enter_context(Bridge(hubs[0], redis, "--redis-user", "bridge", "--password-file", pw,
                                            wait_up=False))
            plain.wait_for(r"!! redis \S+ unreachable \(%s\)" % WRITER_RE)
            self.assertNotIn(":: redis", refused.output + plain.output)

    def test_secrets_others_can_read_are_refused(self):
        with tempfile.TemporaryDirectory() as d:
            pw = os.path.join(d, "redis.pass")
            with open(pw, "w") as out:
                out.write("secret\n")
            for mode in (0o644, 0o640, 0o604):
                os.chmod(pw, mode)
                p = run_tool([os.environ.get("RELAYHUB_BRIDGE_BIN", "relayhub-bridge"), "--hub", "127.0.0.1:1",
                              "--redis", "127.0.0.1:1", "--password-file", pw])
                self.assertEqual(p.returncode, 1)
                self.assertIn("!! the password file %s can be read by others (mode %03o): chmod 600 it"
                              % (pw, mode), p.stdout.decode())


def paced(test, sender, receiver, count, rate, fault_at=None, fault=None, timeout=40):
    """count numbered text messages from sender to receiver (RawWS clients of
    two hubs), rate a second; fault() starts in its own thread after
    fault_at of them and the sending goes on. Every message must arrive
    once, in order, and nothing after."""
    got = []

    def receive():
        try:
            while len(got) < count:
                got.append(int(receiver.recv_frame(timeout)[1].split()[1]))
        except AssertionError:
            pass

    rx = threading.Thread(target=receive, daemon=True)
    rx.start()
    errors = []

    def run_fault():
        try:
            fault()
        except BaseException as e:  # reported by the test, not lost in a thread
            errors.append(e)

    fx = None
    for i in range(count):
        if i == fault_at:
            fx = threading.Thread(target=run_fault, daemon=True)
            fx.start()
        sender.send_frame(OP_TEXT, b"m %d" % i)
        time.sleep(1.0 / rate)
    if fx is not None:
        fx.join(60 * SLOW)
        test.assertFalse(fx.is_alive(), "the fault did not end")
    rx.join((timeout + 10) * SLOW)
    if errors:
        raise errors[0]
    test.assertEqual(got, list(range(count)))
    receiver.expect_silence(0.5)


class Promise(unittest.TestCase):
    """Redis Streams: within the retention, faults lose nothing and
    duplicate nothing; past it, exactly what was missed is counted."""

    COUNT, RATE = 300, 100

    def pair(self, f):
        a, b = RawWS(f.hubs[0]), RawWS(f.hubs[1])
        f.callback(a.close)
        f.callback(b.close)
        return a, b

    def clean(self, counters, resent=False):
        """Nothing dropped or missed; with resent, appends whose answer was
        lost with the connection may have come twice (and were dropped)."""
        for k in ("redis down", "buffer full", "hub down", "too large", "rejected", "missed") + \
                 (() if resent else ("duplicates",)):
            self.assertEqual(counters[k], 0, counters)

    def test_redis_killed_and_restarted_with_persistence(self):
        with Federation(persist=True) as f:
            a, b = self.pair(f)

            def fault():
                f.redis.kill()
                time.sleep(1)
                f.redis.start()

            paced(self, a, b, self.COUNT, self.RATE, self.COUNT // 3, fault)
            for br in f.bridges:
                br.wait_for(r"!! redis \S+ down \(%s\)" % READER_RE)
            c = f.bridges[1].wait_until(lambda c: c["to hub"] == self.COUNT)
            self.clean(c, resent=True)

    def test_bridge_killed_and_restarted(self):
        with Federation() as f:
            a, b = self.pair(f)
            old = f.bridges[1]
            again = []

            def fault():
                old.stopped = True
                old._end(signal.SIGKILL)
                time.sleep(0.5)
                # Its claim on hub B runs out first: it stands by meanwhile.
                again.append(f.bridge(f.hubs[1], wait_up=False))

            paced(self, a, b, self.COUNT, self.RATE, self.COUNT // 3, fault)
            new = again[0]
            new.wait_for(r":: hub \S+ up ")
            hub_b = re.search(r"instance ([0-9a-f]{16})  message", old.output).group(1)
            self.assertIn("instance %s  message" % hub_b, new.output)  # the same hub: resumed
            c = new.wait_until(lambda c: c["to hub"] > 0)
            self.clean(c, resent=True)
            self.assertLess(c["to hub"], self.COUNT)  # only what the old one had not written

    def test_redis_link_of_a_bridge_cut_for_two_seconds(self):
        with Federation() as f:
            proxy = Proxy(f.redis.port)
            f.callback(proxy.close)
            f.bridges[0].stop()
            a_bridge = f.bridge(f.hubs[0], redis=proxy)
            a, b = self.pair(f)
            paced(self, a, b, self.COUNT, self.RATE, self.COUNT // 3, lambda: proxy.cut(2.0))
            a_bridge.wait_for(r"!! redis \S+ down \(%s\)" % WRITER_RE)
            self.clean(a_bridge.wait_until(lambda c: c["to redis"] == self.COUNT))
            self.clean(f.bridges[1].wait_until(lambda c: c["to hub"] == self.COUNT), resent=True)

    def test_second_bridge_on_a_hub_stands_by_and_nothing_multiplies(self):
        with Federation() as f:
            second = f.bridge(f.hubs[0], wait_up=False)
            second.wait_for(r"!! hub \S+ \(instance [0-9a-f]{16}\) is bridged already by bridge [0-9a-f]{16} "
                            r"\(stream relayhub\); standing by")
            a, b = self.pair(f)
            a2 = RawWS(f.hubs[0])
            f.callback(a2.close)
            a.send_frame(OP_TEXT, b"once")
            self.assertEqual(b.recv_frame(), (0x81, b"once"))
            self.assertEqual(a2.recv_frame(), (0x81, b"once"))
            b.send_frame(OP_TEXT, b"back once")
            for r in (a, a2):
                self.assertEqual(r.recv_frame(), (0x81, b"back once"))
            for r in (a, a2, b):
                r.expect_silence(1.0)
            self.assertNotIn(":: hub", second.output)
            # The same with pub/sub, where a second bridge used to loop.
            f.bridges[0].stop()
            f.bridges[1].stop()
            second.stop()
            f.transport = "pubsub"
            first = f.bridge(f.hubs[0])
            f.bridge(f.hubs[1])
            other = f.bridge(f.hubs[0], wait_up=False)
            other.wait_for(r"is bridged already by bridge [0-9a-f]{16} \(channel relayhub\); standing by")
            a.send_frame(OP_TEXT, b"pubsub once")
            self.assertEqual(b.recv_frame(), (0x81, b"pubsub once"))
            b.expect_silence(1.0)
            # When the active one goes, the one standing by takes over.
            first.stop()
            other.wait_for(r":: hub \S+ up ", timeout=15)
            time.sleep(1.0 * SLOW)  # until the hub has made its new connection a member
            a.send_frame(OP_TEXT, b"after the take-over")
            self.assertEqual(b.recv_frame(), (0x81, b"after the take-over"))

    def test_far_behind_skips_to_the_oldest_kept_and_counts_exactly(self):
        with Federation(bridge_args=lambda f: [("--retention", "1")] * 2) as f:
            a, b = self.pair(f)
            a.send_frame(OP_TEXT, b"m 0")
            self.assertEqual(b.recv_frame(), (0x81, b"m 0"))
            f.bridges[1].stop()
            for i in range(1, 21):
                a.send_frame(OP_TEXT, b"m %d" % i)
            f.bridges[0].wait_counters(to_redis=21)
            time.sleep(1.5)  # past the retention: the next append trims them
            for i in range(21, 26):
                a.send_frame(OP_TEXT, b"m %d" % i)
            f.bridges[0].wait_counters(to_redis=26)
            back = f.bridge(f.hubs[1], "--retention", "1")
            for i in range(21, 26):
                self.assertEqual(b.recv_frame(), (0x81, b"m %d" % i))
            back.wait_counters(missed=20, to_hub=5)
            back.wait_for(r"!! missed 20 message\(s\) of bridge [0-9a-f]{16} \(hub [0-9a-f]{16}\) before its "
                          r"number 22: they left the stream")

    def test_new_hub_starts_from_the_newest_entry(self):
        with Federation() as f:
            a, _ = self.pair(f)
            port_b = f.hubs[1].port
            f.hubs[1].stop()
            f.bridges[1].wait_for(r"!! hub \S+ down: ")
            for i in range(3):
                a.send_frame(OP_TEXT, b"before hub B %d" % i)
            f.bridges[0].wait_counters(to_redis=3)
            hub_b = f.enter_context(Hub(*HUB_ARGS, cwd=f.dir, port=port_b))
            f.bridges[1].wait_for(r":: hub \S+ up ", count=2, timeout=BACKOFF_CAP_S + 5)
            hub_b.wait_for(KIND_RE)
            b = RawWS(hub_b)
            f.callback(b.close)
            a.send_frame(OP_TEXT, b"after")
            self.assertEqual(b.recv_frame(), (0x81, b"after"))  # no history for new clients
            b.expect_silence(0.5)
            c = f.bridges[1].wait_counters(to_hub=1)
            self.clean(c)

    def test_slow_receiver_on_the_far_hub_loses_nothing(self):
        # Hub B holds its senders, the bridge among them, back for a client
        # that does not read; the bridge then reads the stream no faster.
        size, count = 16384, 800
        with Federation(bridge_args=lambda f: [(), ("--buffer", "256k")]) as f:
            sender, b_ws = RawWS(f.hubs[0]), RawWS(f.hubs[1])
            f.callback(sender.close)
            f.callback(b_ws.close)
            stalled = stall_a_reader(f, f.hubs[1])
            filler = os.urandom(size - 4)
            for seq in range(count):
                sender.send_frame(OP_BINARY, struct.pack(">I", seq) + filler)
            f.bridges[0].wait_counters(to_redis=count, timeout=30)
            rss = f.bridges[1].rss_kib()
            stalled.close()
            got = [struct.unpack(">I", b_ws.recv_frame(30)[1][:4])[0] for _ in range(count)]
            self.assertEqual(got, list(range(count)))
            self.clean(f.bridges[1].wait_counters(to_hub=count, timeout=30))
            if SLOW == 1:
                self.assertLess(rss, 32 * 1024)


class Limits(unittest.TestCase):
    def test_message_larger_than_the_hub_takes_is_dropped_with_a_line(self):
        # Hub B takes at most 4080 bytes per message (-L 4096) and says so.
        with Federation(hub_args=[HUB_ARGS, ("-L", "4096")]) as f:
            a = f.peer("a", f.hubs[0], "ws")
            b = f.peer("b", f.hubs[1], "raw")
            self.assertIn("message max 4080", f.bridges[1].output)
            for i in range(10):
                a.send(b"y" * 5000 if i == 3 else b"fits %d\n" % i, OP_BINARY if i == 3 else OP_TEXT)
            self.assertEqual(b.lines(9), [b"fits %d\n" % i for i in range(10) if i != 3])
            f.bridges[1].wait_for(r"!! dropped a message of 5000 bytes toward hub \S+: it takes at most 4080")
            f.bridges[1].wait_counters(from_redis=10, too_large=1, to_hub=9)
            self.assertNotIn("!! hub", f.bridges[1].output)

    def test_hostile_redis_keeps_the_bridge_small(self):
        """A server that answers with an array of fifty million elements, or
        a bulk string of a gigabyte, and streams the elements it announced."""
        bombs = [b"*50000000\r\n", b"$1000000000\r\n", b"*3\r\n*10000\r\n"]
        served = []
        listener = socket.socket()
        listener.bind((HOST, 0))
        listener.listen(8)
        stop = threading.Event()

        def serve(c):
            bomb = bombs[len(served) % len(bombs)]
            served.append(bomb)
            buf = b""
            try:
                c.settimeout(10)
                while not stop.is_set():
                    data = c.recv(65536)
                    if not data:
                        return
                    buf += data
                    if b"PING" in buf:
                        buf = b""
                        c.sendall(b"+PONG\r\n")
                    elif b"XREAD" in buf or b"EVAL" in buf:
                        # The claim and position scripts get the bomb too.
                        c.sendall(bomb)
                        chunk = (b":1\r\n" if bomb[0:1] == b"*" else b"x" * 4) * 16384
                        sent = 0
                        while sent < (8 << 20) and not stop.is_set():
                            c.sendall(chunk)
                            sent += len(chunk)
                        return
            except OSError:
                pass
            finally:
                c.close()

        def accept():
            while not stop.is_set():
                try:
                    c, _ = listener.accept()
                except OSError:
                    return
                threading.Thread(target=serve, args=(c,), daemon=True).start()

        threading.Thread(target=accept, daemon=True).start()
        try:
            with ExitStack() as st:
                hub = st.enter_context(Hub(*HUB_ARGS))

                class Fake:
                    port = listener.getsockname()[1]

                br = st.enter_context(Bridge(hub, Fake, wait_up=False))
                peak = 0
                deadline = time.monotonic() + 12 * SLOW
                while time.monotonic() < deadline and len(served) < 9:
                    peak = max(peak, br.rss_kib())
                    time.sleep(0.02)
                self.assertGreaterEqual(len(served), 6, br.output[-2000:])
                br.wait_for(r"reply over the limit of \d+ bytes or 16384 elements|a reply larger than \d+ bytes")
                if SLOW == 1:
                    self.assertLess(peak, 32 * 1024, "bridge RSS %d KiB" % peak)
        finally:
            stop.set()
            listener.close()


class Service(unittest.TestCase):
    def test_metrics_in_the_exposition_format_and_health(self):
        from prometheus_client.parser import text_string_to_metric_families
        port = free_port()
        with Federation(bridge_args=lambda f: [("--metrics", str(port)), ()]) as f:
            base = "http://%s:%d" % (HOST, port)

            def get(path):
                try:
                    with urllib.request.urlopen(base + path, timeout=5 * SLOW) as r:
                        return r.status, r.headers.get("Content-Type"), r.read().decode()
                except urllib.error.HTTPError as e:
                    return e.code, e.headers.get("Content-Type"), e.read().decode()

            def metrics():
                status, ctype, text = get("/metrics")
                self.assertEqual((status, ctype), (200, "text/plain; version=0.0.4; charset=utf-8"))
                out = {}
                for fam in text_string_to_metric_families(text):
                    for sample in fam.samples:
                        out[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
                return out

            def moved(before, after, name, **labels):
                key = (name, tuple(sorted(labels.items())))
                return after[key] - before[key]

            self.assertEqual(get("/healthz")[:1] + get("/healthz")[2:], (200, "ok\n"))
            before = metrics()
            a, b = RawWS(f.hubs[0]), RawWS(f.hubs[1])
            f.callback(a.close)
            f.callback(b.close)
            for i in range(3):
                a.send_frame(OP_TEXT, b"out %d" % i)
            for i in range(2):
                b.send_frame(OP_TEXT, b"in %d" % i)
            for i in range(2):
                a.recv_frame()
            for i in range(3):
                b.recv_frame()
            f.bridges[0].wait_counters(from_hub=3, to_redis=3, from_redis=2, to_hub=2)
            after = metrics()
            total = "relayhub_bridge_messages_%s_total"
            self.assertEqual([moved(before, after, total % k) for k in ("from_hub", "published", "from_redis",
                                                                         "delivered")], [3, 3, 2, 2])
            for reason in ("redis_down", "buffer_full", "hub_down", "too_large", "rejected", "duplicate"):
                self.assertEqual(after[(total % "dropped", (("reason", reason),))], 0)
            self.assertEqual(after[("relayhub_bridge_link_up", (("link", "hub"),))], 1)
            self.assertGreaterEqual(after[("relayhub_bridge_delivery_lag_seconds", ())], 0)
            self.assertEqual(get("/nothing")[0], 404)

            f.redis.stop()
            f.bridges[0].wait_for(r"!! redis \S+ down")
            deadline = time.monotonic() + 10 * SLOW
            while get("/healthz")[0] != 503 and time.monotonic() < deadline:
                time.sleep(0.1)
            status, _, text = get("/healthz")
            self.assertEqual(status, 503)
            self.assertIn("redis down", text)
            f.redis.start()
            for role in (READER_RE, WRITER_RE):
                f.bridges[0].wait_for(r":: redis \S+ up \(%s " % role, count=2, timeout=BACKOFF_CAP_S + 5)
            self.assertGreaterEqual(metrics()[("relayhub_bridge_reconnects_total", (("link", "redis_reader"),))], 1)
        # The port is taken: the bridge says so and does not start.
        with socket.socket() as s:
            s.bind((HOST, 0))
            s.listen(1)
            p = run_tool([os.environ.get("RELAYHUB_BRIDGE_BIN", "relayhub-bridge"), "--hub", "127.0.0.1:1", "--redis",
                          "127.0.0.1:1", "--metrics", str(s.getsockname()[1])])
            self.assertEqual(p.returncode, 1)
            self.assertIn("!! metrics: cannot listen on 127.0.0.1:%d" % s.getsockname()[1], p.stdout.decode())

    @unittest.skipUnless(shutil.which("groff"), "groff missing")
    def test_man_page_renders_and_names_every_option(self):
        page = os.path.join(ROOT, "docs", "relayhub-bridge.1")
        p = run_tool(["groff", "-ww", "-z", "-man", page])
        self.assertEqual((p.returncode, p.stderr.decode()), (0, ""))
        if shutil.which("man"):
            p = run_tool(["man", "-l", page], env=dict(os.environ, MANWIDTH="80", MAN_KEEP_STDERR="1",
                                                      MANPAGER="cat", PAGER="cat"))
            self.assertEqual((p.returncode, p.stderr.decode()), (0, ""))
            text = " ".join(p.stdout.decode().split())
            usage = run_tool([os.environ.get("RELAYHUB_BRIDGE_BIN", "relayhub-bridge"), "--help"]).stdout.decode()
            options = set(re.findall(r"--[a-z][a-z-]+", usage))
            self.assertGreater(len(options), 15)
            for word in sorted(options) + ["/metrics", "/healthz", "standing by", "EXIT STATUS", "missed"]:
                self.assertIn(word, text)

    def test_install_puts_the_man_page_beside_the_binary(self):
        build = os.path.dirname(os.path.abspath(os.environ.get("RELAYHUB_BRIDGE_BIN", "relayhub-bridge")))
        if not os.path.exists(os.path.join(build, "cmake_install.cmake")):
            self.skipTest("the bridge is not in a CMake build directory")
        with tempfile.TemporaryDirectory() as prefix:
            p = run_tool(["cmake", "--install", build, "--prefix", prefix], timeout=120)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertTrue(os.access(os.path.join(prefix, "bin", "relayhub-bridge"), os.X_OK))
            with open(os.path.join(prefix, "share", "man", "man1", "relayhub-bridge.1"), "rb") as a, \
                    open(os.path.join(ROOT, "docs", "relayhub-bridge.1"), "rb") as b:
                self.assertEqual(a.read(), b.read())


if __name__ == "__main__":
    unittest.main()
