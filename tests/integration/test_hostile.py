"""Hostile clients. Each case attacks a fresh hub while a healthy RAW and a
healthy WS client keep exchanging checked messages (harness.HealthyPair):
afterwards those two must have lost, duplicated, reordered or corrupted
nothing and must still be served, and the offender must have met a defined
end (a close code, an HTTP refusal, a close or reset within a bounded time)
with its slot given back.

The outcomes and their times are printed at the end of the run (the table
in docs/reliability.md comes from it)."""

import fcntl
import os
import re
import select
import socket
import ssl
import struct
import subprocess
import sys
import termios
import tempfile
import threading
import time
import unittest

from harness import (HOST, MSG_MAGIC, OP_BINARY, OP_CONT, SLOW, HealthyPair, Hub, MsgCheck, RawWS, Stream,
                     client_context, client_frame, foreign_bytes, make_cert, make_msg, ws_request)

WAIT = 10.0 * SLOW
# A bound on how long an offender may hold its slot once it has shown what
# it is: generous, it tells "ends" from "never ends", not speed.
BOUND = 5.0 * SLOW
FIN_RE = re.compile(r":: server_\d\d\.fin  active \d\d/\d\d  so \d+\n")
# The hub's default receive buffer and the largest WebSocket message it takes.
DEFAULT_L = 4096
MESSAGE_MAX = DEFAULT_L - 16

CERT_DIR = None
RESULTS = []  # (case, outcome, seconds)


def setUpModule():
    global CERT_DIR
    CERT_DIR = tempfile.TemporaryDirectory()
    make_cert(CERT_DIR.name)


def tearDownModule():
    if RESULTS:
        width = max(len(r[0]) for r in RESULTS)
        lines = ["", "hostile inputs and their outcomes:"]
        for case, outcome, secs in RESULTS:
            t = "" if secs is None else "  %.3f s" % secs
            lines.append("  %-*s  %s%s" % (width, case, outcome, t))
        sys.stderr.write("\n".join(lines) + "\n")
    CERT_DIR.cleanup()


def record(case, outcome, secs=None):
    RESULTS.append((case, outcome, secs))


# ---------------------------------------------------------------- offenders

def connect(hub):
    s = socket.create_connection((HOST, hub.port), timeout=WAIT)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def reset_close(sock):
    """Close with linger 0: the peer gets a reset instead of a FIN."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def read_to_end(sock, timeout=BOUND):
    """Everything the hub sends until it ends the connection, and how it
    ended it: ("eof" | "reset", data, seconds). Fails when it does not end
    within `timeout`."""
    start = time.monotonic()
    data = bytearray()
    while True:
        left = start + timeout - time.monotonic()
        if left <= 0:
            raise AssertionError("the hub did not end the connection within %.1f s (got %r)"
                                 % (timeout, bytes(data[:200])))
        sock.settimeout(left)
        try:
            chunk = sock.recv(1 << 16)
        except ConnectionResetError:
            return "reset", bytes(data), time.monotonic() - start
        except socket.timeout:
            continue
        if not chunk:
            return "eof", bytes(data), time.monotonic() - start
        data += chunk


class Drain:
    """Reads and drops what the hub sends to an offender that has become a
    member, so that it never stalls the others by not reading (which is
    the hub's backpressure, not an attack). `ended` is set, and `how` says
    "eof" or "reset", when the hub ends the connection."""

    def __init__(self, sock, check=None):
        self.sock = sock
        self.check = check  # a MsgCheck fed with everything read, if given
        self.bytes = 0
        self.how = None
        self.lock = threading.Lock()  # the check is fed here and read by the test
        self.ended = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        self.sock.settimeout(None)
        try:
            while True:
                chunk = self.sock.recv(1 << 16)
                if not chunk:
                    self.how = "eof"
                    break
                self.bytes += len(chunk)
                if self.check is not None:
                    with self.lock:
                        self.check.feed(chunk)
        except ConnectionResetError:
            self.how = "reset"
        except OSError:
            self.how = "closed here"
        self.ended.set()

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(5)


def expect_close_code(w, code, timeout=BOUND):
    """Skip the relayed frames a WebSocket offender gets until the hub's
    close frame, which must carry `code`; then the connection must end."""
    deadline = time.monotonic() + timeout
    while True:
        b0, payload = w.recv_frame(timeout=max(deadline - time.monotonic(), 0.001))
        if b0 in (0x81, 0x82):
            continue
        if b0 != 0x88 or struct.unpack(">H", payload[:2])[0] != code:
            raise AssertionError("expected close %d, got %#x %r" % (code, b0, payload[:20]))
        w.expect_closed(timeout)
        return


def send_until_refused(sock, chunk, limit_s=BOUND):
    """Keep sending `chunk` until the hub stops the connection; the bytes
    sent and the seconds it took. Fails if the hub takes data for ever."""
    sent = 0
    start = time.monotonic()
    sock.setblocking(False)
    try:
        while time.monotonic() - start < limit_s:
            try:
                sent += sock.send(chunk)
            except BlockingIOError:
                select.select([], [sock], [], 0.1)
            except (BrokenPipeError, ConnectionResetError):
                return sent, time.monotonic() - start
        raise AssertionError("the hub still took data after %.1f s (%d bytes)" % (limit_s, sent))
    finally:
        sock.setblocking(True)


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def inq(sock):
    """Bytes waiting in the socket's receive queue."""
    return struct.unpack("i", fcntl.ioctl(sock, termios.FIONREAD, b"\0\0\0\0"))[0]


def send_in_background(sock, data):
    """sendall in a thread of its own; an error is left in thread.error."""
    def run():
        try:
            sock.sendall(data)
        except OSError as e:
            t.error = e
    t = threading.Thread(target=run, daemon=True)
    t.error = None
    t.start()
    return t


def tls_over(sock, ctx=None):
    """A TLS client over `sock` through memory BIOs, so that the test can
    put any bytes it likes on the wire next to the real records."""
    inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
    obj = (ctx or client_context()).wrap_bio(inc, out, server_hostname="localhost")
    obj.net_in, obj.net_out = inc, out
    return obj


def hello_bytes():
    obj = tls_over(None)
    try:
        obj.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return obj.net_out.read()


def tls_handshake(sock, obj, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while True:
        try:
            obj.do_handshake()
            sock.sendall(obj.net_out.read())
            return
        except ssl.SSLWantReadError:
            pending = obj.net_out.read()
            if pending:
                sock.sendall(pending)
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("TLS handshake timed out")
        sock.settimeout(left)
        data = sock.recv(1 << 16)
        if not data:
            raise AssertionError("the hub closed during the TLS handshake")
        obj.net_in.write(data)


# ---------------------------------------------------------------- base

class HostileCase(unittest.TestCase):
    """A hub of its own (with a TLS identity) and the healthy pair."""

    HUB_ARGS = ("-c", "8")

    def setUp(self):
        self.hub = Hub(*self.HUB_ARGS, cwd=CERT_DIR.name)
        try:
            self.pair = HealthyPair(self.hub)
            self.pair.wait_progress(5)
        except BaseException:
            self.hub.stop()
            raise

    def tearDown(self):
        faults = self.pair.stop()
        self.hub.stop()
        self.assertEqual(faults, [], "healthy clients harmed")
        self.assertEqual(self.hub.sanitizer_reports(), [], self.hub.errors[-6000:])

    def slot_freed(self, sock_port, timeout=BOUND):
        """Wait until the connection from local port `sock_port` has been
        torn down on the hub (its ".fin" line); the seconds waited."""
        start = time.monotonic()
        self.hub.wait_for(r"(?s)SYN from 127\.0\.0\.1:%d  :: server_(\d\d)\.working.*?:: server_\1\.fin  "
                          r"active \d\d/\d\d  so \d+\n" % sock_port, timeout=timeout)
        return time.monotonic() - start

    def kind_of(self, sock_port):
        """The kind the hub reported for the connection from `sock_port`,
        "" when it was dropped unclassified, None when not yet known."""
        m = re.search(r"SYN from 127\.0\.0\.1:%d  [^\n]*so -?\d+  (RAW|WS|TLS|WSS|HTTP)?\n" % sock_port,
                      self.hub.output)
        return None if m is None else (m.group(1) or "")

    def wait_active(self, n, timeout=BOUND):
        deadline = time.monotonic() + timeout
        while self.hub.active() != n:
            if time.monotonic() > deadline:
                self.fail("%s connections active, expected %d" % (self.hub.active(), n))
            time.sleep(0.02)

    def assert_unharmed(self, n=20):
        """The healthy pair still delivers, and only it is left on the hub."""
        self.pair.wait_progress(n)
        self.wait_active(2)


# ---------------------------------------------------------------- cases

class Slowloris(HostileCase):
    def test_silent_and_dripping_during_detection(self):
        # Silent: classified as a plain stream once the detection and
        # handshake windows (0.5 s each) have passed, then a member.
        s = connect(self.hub)
        port = s.getsockname()[1]
        start = time.monotonic()
        self.hub.wait_for(r"SYN from 127\.0\.0\.1:%d  [^\n]*  RAW\n" % port, timeout=BOUND)
        record("silent client during detection", "RAW member", time.monotonic() - start)
        s = Drain(s)
        # Dripping a ClientHello one byte at a time: the detection peek sees
        # one byte, not a ClientHello, and the client is a plain stream at once.
        d = connect(self.hub)
        dport = d.getsockname()[1]
        hello = hello_bytes()
        start = time.monotonic()
        d.sendall(hello[:1])
        self.hub.wait_for(r"SYN from 127\.0\.0\.1:%d  [^\n]*  RAW\n" % dport, timeout=BOUND)
        secs = time.monotonic() - start
        drain = Drain(d)
        for i in range(1, 6):
            time.sleep(0.2)
            d.sendall(hello[i:i + 1])
        record("ClientHello dripped 1 byte / 0.2 s", "RAW member", secs)
        self.pair.wait_progress(20)
        s.close()
        drain.close()
        self.slot_freed(port)
        self.slot_freed(dport)
        self.assert_unharmed()

    def test_dripping_during_the_http_handshake(self):
        # A request head is read across reads, within the set-up time: one
        # that does not end by then is refused with 400 and closed.
        for head, status in ((b"GET /chat HTTP/1.1\r\n", b"400"),
                             (b"GET /chat HTTP/1.1\r\nUpgrade: websocket\r\n", b"400")):
            with self.subTest(head=head):
                s = connect(self.hub)
                port = s.getsockname()[1]
                s.sendall(head)
                start = time.monotonic()
                try:
                    for c in b"Connection: Upgrade\r\n":
                        s.sendall(bytes([c]))
                        time.sleep(0.2)
                except (BrokenPipeError, ConnectionResetError):
                    pass
                how, data, _ = read_to_end(s)
                secs = time.monotonic() - start
                self.assertTrue(data.startswith(b"HTTP/1.1 " + status), data[:100])
                record("slowloris after %r" % head.split(b"\r\n")[-2].decode(), status.decode() + ", " + how, secs)
                self.slot_freed(port)
                s.close()
        self.assert_unharmed()

    def test_dripping_tls_handshake(self):
        # A ClientHello whose first record header arrives whole, then one
        # byte every 0.2 s: the handshake must not hold the slot for ever.
        s = connect(self.hub)
        port = s.getsockname()[1]
        hello = hello_bytes()
        s.sendall(hello[:6])
        start = time.monotonic()
        try:
            for i in range(6, len(hello)):
                s.sendall(hello[i:i + 1])
                time.sleep(0.2)
                if time.monotonic() - start > 2 * BOUND:
                    break
        except (BrokenPipeError, ConnectionResetError):
            pass
        how, data, _ = read_to_end(s)
        secs = time.monotonic() - start
        record("ClientHello dripped after its header", "dropped unclassified, " + how, secs)
        self.assertLess(secs, BOUND)
        self.slot_freed(port)
        self.assertEqual(self.kind_of(port), "")
        s.close()
        self.assert_unharmed()


    def test_dripping_first_record_after_the_tls_handshake(self):
        # The handshake completes; the first application record (where the
        # hub looks for "GET ") comes one byte every 0.2 s. The set-up must
        # end within its bounds: the client is then a TLS member.
        s = connect(self.hub)
        port = s.getsockname()[1]
        obj = tls_over(s)
        tls_handshake(s, obj)
        obj.write(b"GET / HTTP/1.1\r\n\r\n")
        rec = obj.net_out.read()
        start = time.monotonic()
        for i in range(len(rec) - 1):
            s.sendall(rec[i:i + 1])
            time.sleep(0.2)
            if self.kind_of(port) is not None or time.monotonic() - start > 2 * BOUND:
                break
        secs = time.monotonic() - start
        kind = self.kind_of(port)
        record("first TLS record dripped after the handshake", "%s member" % kind, secs)
        self.assertEqual(kind, "TLS")
        self.assertLess(secs, BOUND)
        reset_close(s)
        self.slot_freed(port)
        self.assert_unharmed()


class OversizedRequests(HostileCase):
    def request(self, parts, status=b"400"):
        s = connect(self.hub)
        port = s.getsockname()[1]
        start = time.monotonic()
        # The request's head goes in one segment, so that the hub's one
        # read sees at least the upgrade.
        try:
            for p in parts:
                s.sendall(p)
        except (BrokenPipeError, ConnectionResetError):
            pass
        how, data, _ = read_to_end(s)
        self.assertTrue(data.startswith(b"HTTP/1.1 " + status), data[:100])
        self.slot_freed(port)
        s.close()
        return how, time.monotonic() - start

    def test_endless_header(self):
        s = connect(self.hub)
        port = s.getsockname()[1]
        s.sendall(b"GET /chat HTTP/1.1\r\nUpgrade: websocket\r\nX-Endless: ")
        sent, secs = send_until_refused(s, b"a" * 4096)
        how, data, _ = read_to_end(s)
        # The refusal may be lost to the reset that closing on unread data
        # sends (the hub stops reading after its bound); the connection ends
        # either way.
        self.assertTrue(data == b"" or data.startswith(b"HTTP/1.1 431"), data[:100])
        record("endless header", "%s after %d bytes" % ("431, " + how if data else "reset", sent), secs)
        self.slot_freed(port)
        s.close()
        self.assert_unharmed()

    def test_64kib_header_line_and_1000_headers(self):
        key = b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
        head = b"GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        how, secs = self.request([head + b"X-Long: " + b"a" * 65536 + b"\r\n" + key], b"431")
        record("64 KiB header line", "431, " + how, secs)
        many = b"".join(b"X-H%d: v\r\n" % i for i in range(1000))
        how, secs = self.request([head + many + key], b"431")
        record("1,000 headers", "431, " + how, secs)
        self.assert_unharmed()


class FrameLengths(HostileCase):
    def ws_offender(self):
        before = len(self.hub.kinds())
        w = RawWS(self.hub)
        self.assertEqual(self.hub.kinds()[before], "WS")
        return w, w.sock.getsockname()[1]

    def test_64bit_lengths(self):
        # 2^63 and above break the rule that the top bit is 0: protocol
        # error. 2^63 - 1 is well-formed but larger than any buffer.
        for length, code in ((1 << 63, 1002), ((1 << 64) - 1, 1002), ((1 << 63) - 1, 1009)):
            with self.subTest(length=length):
                w, port = self.ws_offender()
                start = time.monotonic()
                w.sock.sendall(bytes([0x82, 0xFF]) + struct.pack(">Q", length) + os.urandom(4) + b"x" * 100)
                expect_close_code(w, code)
                record("64-bit length %#x" % length, "close %d" % code, time.monotonic() - start)
                self.slot_freed(port)
                w.close()
        self.assert_unharmed()

    def test_lengths_just_above_the_buffer(self):
        # The largest message passes; one byte more is refused with 1009, as
        # a single frame, as fragments, and when only its header has come.
        w, port = self.ws_offender()
        w.send_frame(OP_BINARY, foreign_bytes(MESSAGE_MAX))
        self.pair.wait_progress(5)
        cases = (("one frame", client_frame(OP_BINARY, foreign_bytes(MESSAGE_MAX + 1))),
                 ("fragments", client_frame(OP_BINARY, foreign_bytes(2000), fin=False)
                  + client_frame(OP_CONT, foreign_bytes(MESSAGE_MAX + 1 - 2000))),
                 ("header only", client_frame(OP_BINARY, b"\0" * (MESSAGE_MAX + 1))[:8]))
        for name, wire in cases:
            with self.subTest(name):
                if w is None:
                    w, port = self.ws_offender()
                start = time.monotonic()
                w.sock.sendall(wire)
                expect_close_code(w, 1009)
                record("length buffer + 1 (%s)" % name, "close 1009", time.monotonic() - start)
                self.slot_freed(port)
                w.close()
                w = None
        self.assert_unharmed()


class TlsInput(HostileCase):
    def tls_offender(self, wire, case, close_after=False):
        s = connect(self.hub)
        port = s.getsockname()[1]
        start = time.monotonic()
        s.sendall(wire)
        if close_after:
            s.shutdown(socket.SHUT_WR)
        how, data, _ = read_to_end(s)
        secs = time.monotonic() - start
        self.slot_freed(port)
        # Refused before it was classified: no kind on its line.
        self.assertEqual(self.kind_of(port), "")
        s.close()
        record(case, "dropped unclassified, %s%s" % ("alert, " if data[:1] == b"\x15" or b"\x15\x03" in data else "", how), secs)
        return data

    def test_broken_client_hellos(self):
        hello = hello_bytes()
        self.tls_offender(hello + b"\x99" * 64, "garbage after a ClientHello")
        self.tls_offender(hello[:len(hello) // 2], "ClientHello cut short, then silent")
        self.tls_offender(hello[:len(hello) // 2], "ClientHello cut short, then FIN", close_after=True)
        # A handshake record of 65535 bytes: longer than TLS allows.
        self.tls_offender(b"\x16\x03\x01\xff\xff\x01" + hello[6:], "record length 0xFFFF")
        self.assert_unharmed()

    def test_garbage_records_after_the_handshake(self):
        for name, record_bytes in (("bad MAC", b"\x17\x03\x03\x00\x40" + os.urandom(64)),
                                   ("unknown type", b"\x63\x03\x03\x00\x10" + os.urandom(16))):
            with self.subTest(name):
                s = connect(self.hub)
                port = s.getsockname()[1]
                tls_handshake(s, tls_over(s))
                self.hub.wait_for(r"SYN from 127\.0\.0\.1:%d  [^\n]*  TLS\n" % port, timeout=BOUND)
                start = time.monotonic()
                s.sendall(record_bytes)
                how, data, _ = read_to_end(s)
                secs = time.monotonic() - start
                self.slot_freed(port)
                s.close()
                record("garbage record after the handshake (%s)" % name, "closed, " + how, secs)
        self.assert_unharmed()


class Departures(HostileCase):
    def bulk_receivers(self, n):
        """n plain members that check everything they get; (socket, Drain)."""
        out = []
        for _ in range(n):
            s = connect(self.hub)
            s.sendall(b"\n")
            self.hub.wait_for(r"SYN from 127\.0\.0\.1:%d  [^\n]*  RAW\n" % s.getsockname()[1])
            out.append(Drain(s, MsgCheck("bulk", keep_foreign=True, late=True)))
        return out

    def assert_copy(self, drain, data, who):
        """The bytes `drain` got from other members end with `data`, whole
        and in order. Its last bytes may wait in the checker for a marker
        that never comes, so the end is taken from both."""
        check = drain.check
        deadline = time.monotonic() + 60 * SLOW
        while True:
            with drain.lock:
                got = bytes(check.foreign_data) + (bytes(check.buf) if MSG_MAGIC not in check.buf else b"")
                faults = list(check.faults)
            if got.endswith(data) or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(faults, [])
        if not got.endswith(data):
            tail = got[-len(data):]
            first = next((i for i, (a, b) in enumerate(zip(tail, data)) if a != b), min(len(tail), len(data)))
            self.fail("%s's copy differs: %d bytes from others, %d sent; the last %d differ from byte %d on"
                      % (who, len(got), len(data), len(data), first))

    def test_reset_during_a_large_send_to_it(self):
        sender, keeper = self.bulk_receivers(2)
        sender.check.keep_foreign = False
        victim = connect(self.hub)
        vport = victim.getsockname()[1]
        victim.sendall(b"\n")
        self.hub.wait_for(r"SYN from 127\.0\.0\.1:%d  [^\n]*  RAW\n" % vport)
        data = foreign_bytes(8 << 20)
        t = send_in_background(sender.sock, data)
        # The victim does not read: once its receive window is full, the
        # hub's write to it blocks, and so does everybody's fan-out.
        # Blocked: the victim's queue and the keeper's copy stand still.
        deadline = time.monotonic() + WAIT
        last, still = None, 0
        while still < 5:
            self.assertLess(time.monotonic(), deadline, "the victim's window never filled")
            time.sleep(0.05)
            now = (inq(victim), keeper.check.foreign)
            still = still + 1 if now == last and now[0] >= (32 << 10) else 0
            last = now
        record_queued = last[0]
        reset_close(victim)
        secs = self.slot_freed(vport)
        record("reset in the middle of a large send to it", "slot freed (%d KiB were waiting in its queue)"
               % (record_queued >> 10), secs)
        t.join(60 * SLOW)
        self.assertFalse(t.is_alive(), "the sender stalled")
        self.assertIsNone(t.error)
        # Everything the sender sent reached the other member, in order (the
        # victim's "\n" came before it).
        self.assert_copy(keeper, data, "the keeper")
        for d in (sender, keeper):
            d.close()
        self.assert_unharmed()

    def test_half_closed_clients(self):
        # A plain client that half-closes after a message: the message is
        # relayed, then the hub ends the connection.
        for sender_id, name in ((7, "RAW"), (8, "WS"), (None, "RAW before detection")):
            with self.subTest(name):
                if name == "WS":
                    w = RawWS(self.hub)
                    s = w.sock
                    s.sendall(client_frame(OP_BINARY, make_msg(sender_id, 0, b"last words")))
                elif name == "RAW":
                    s = connect(self.hub)
                    s.sendall(b"\n")
                    self.hub.wait_for(r"SYN from 127\.0\.0\.1:%d  [^\n]*  RAW\n" % s.getsockname()[1])
                    s.sendall(make_msg(sender_id, 0, b"last words"))
                else:
                    s = connect(self.hub)
                port = s.getsockname()[1]
                start = time.monotonic()
                s.shutdown(socket.SHUT_WR)
                drain = Drain(s)
                self.assertTrue(drain.ended.wait(BOUND), "the hub kept the half-closed client")
                record("half-closed %s client" % name, "closed (%s)" % drain.how, time.monotonic() - start)
                self.slot_freed(port)
                if sender_id is not None:
                    self.pair.wait_seen(sender_id, 0)  # its last message was relayed
                drain.close()
                self.pair.wait_progress(5)
        self.assert_unharmed()

    def test_receivers_vanish_during_a_fan_out(self):
        sender, *receivers = self.bulk_receivers(6)
        sender.check.keep_foreign = False
        data = foreign_bytes(4 << 20)
        t = send_in_background(sender.sock, data)
        deadline = time.monotonic() + WAIT
        while receivers[0].check.foreign < (1 << 20):
            self.assertLess(time.monotonic(), deadline, "the fan-out did not start")
            time.sleep(0.005)
        # Mid-way: one closes, one resets, one half-closes its reading side
        # and stops reading; two stay.
        gone = receivers[2:]
        ports = [d.sock.getsockname()[1] for d in gone]
        start = time.monotonic()
        gone[0].close()
        reset_close(gone[1].sock)
        gone[2].sock.shutdown(socket.SHUT_RD)
        for p in ports[:2]:
            self.slot_freed(p)
        record("receivers vanish during a fan-out", "slots freed", time.monotonic() - start)
        t.join(60 * SLOW)
        self.assertFalse(t.is_alive(), "the sender stalled")
        self.assertIsNone(t.error)
        gone[2].close()
        self.slot_freed(ports[2])
        for i, d in enumerate(receivers[:2]):
            self.assert_copy(d, data, "survivor %d" % i)
        for d in [sender] + receivers[:2]:
            d.close()
        self.assert_unharmed()


class Churn(HostileCase):
    def test_2000_rapid_connect_close_cycles(self):
        base_fds = self.hub.fd_count()
        fins = len(FIN_RE.findall(self.hub.output))
        start = time.monotonic()
        for i in range(2000):
            s = socket.create_connection((HOST, self.hub.port), timeout=WAIT)
            if i % 3 == 1:
                s.sendall(b"x")
            if i % 3 == 2:
                reset_close(s)
            else:
                s.close()
        self.hub.wait_for(FIN_RE, count=fins + 2000, timeout=60)
        record("2,000 connect/close cycles", "all torn down", time.monotonic() - start)
        self.assert_unharmed()
        self.assertEqual(self.hub.fd_count(), base_fds)

    def test_200_tls_handshakes_in_a_row(self):
        # An address-checking build keeps freed blocks in a quarantine that
        # counts as resident; a small one lets the RSS show real growth.
        # (The hub of setUp is replaced by one started with that setting.)
        self.pair.stop()
        self.hub.stop()
        saved = os.environ.get("ASAN_OPTIONS")
        os.environ["ASAN_OPTIONS"] = (saved + ":" if saved else "") + "quarantine_size_mb=1"
        try:
            self.setUp()
        finally:
            if saved is None:
                del os.environ["ASAN_OPTIONS"]
            else:
                os.environ["ASAN_OPTIONS"] = saved
        hub = self.hub
        base_fds = hub.fd_count()
        fins = len(FIN_RE.findall(hub.output))
        cafile = os.path.join(CERT_DIR.name, "localhost.pem")
        contexts = [client_context(cafile, ssl.TLSVersion.TLSv1_2), client_context(cafile, ssl.TLSVersion.TLSv1_3)]
        rss = {}
        start = time.monotonic()
        for i in range(1, 201):
            raw = socket.create_connection((HOST, hub.port), timeout=WAIT)
            s = contexts[i % 2].wrap_socket(raw, server_hostname="localhost")
            if i % 3 == 0:
                s.sendall(b"x")
            s.close()
            if i in (50, 200):
                hub.wait_for(FIN_RE, count=fins + i, timeout=60)
                time.sleep(0.2)
                rss[i] = vm_rss_kib(hub.proc.pid)
        record("200 TLS handshakes in a row", "all torn down, RSS %d -> %d KiB" % (rss[50], rss[200]),
               time.monotonic() - start)
        self.assertEqual(hub.fd_count(), base_fds)
        self.assertLess(rss[200] - rss[50], 4096, "RSS grew from %d to %d KiB" % (rss[50], rss[200]))
        self.assert_unharmed()
        faults = self.pair.stop()
        self.assertEqual(faults, [])
        # Let the hub run its own exit path, so that a leak checker built
        # into it gets to report: with the descriptor limit at the lowest free
        # number, accept fails with EMFILE and the hub closes its listening
        # socket and returns.
        hub.wait_for(r"fin  active 00/\d\d  so \d+\n")
        used = {int(n) for n in os.listdir("/proc/%d/fd" % hub.proc.pid)}
        limit = min(set(range(len(used) + 1)) - used)
        subprocess.run(["prlimit", "--pid", str(hub.proc.pid), "--nofile=%d:%d" % (limit, limit)],
                       check=True, capture_output=True, timeout=10)
        # Tasks blocked in accept hold a descriptor reserved already: the one
        # that serves this connection fails on its next accept. A task that
        # was still on its way back to accept fails at once and closes the
        # listening socket before we connect: the hub ends all the same.
        try:
            socket.create_connection((HOST, hub.port), timeout=WAIT).close()
        except ConnectionRefusedError:
            pass
        try:
            rc = hub.proc.wait(30 * SLOW)
        except subprocess.TimeoutExpired:
            self.fail("the hub did not end after EMFILE")
        self.assertEqual(rc, 0, hub.errors[-3000:])


class Capacity(HostileCase):
    HUB_ARGS = ("-c", "32")

    def test_idle_connections_hold_every_slot_33rd_waits(self):
        # With the healthy pair, 30 idle members hold all 32 slots.
        drains = [Drain(connect(self.hub)) for _ in range(30)]
        # A member gets the healthy pair's messages: then it is ready.
        deadline = time.monotonic() + WAIT
        while not all(d.bytes for d in drains):
            self.assertLess(time.monotonic(), deadline, "idle clients not served")
            time.sleep(0.05)
        self.assertEqual(self.hub.active(), 32)
        # The 33rd is taken into the kernel's queue and sends at once.
        extra = connect(self.hub)
        eport = extra.getsockname()[1]
        queued_at = time.monotonic()
        extra.sendall(make_msg(33, 0, b"the 33rd"))
        time.sleep(2.0)  # nothing may happen meanwhile
        self.pair.wait_progress(10)
        self.assertNotIn("127.0.0.1:%d " % eport, self.hub.output)
        with self.pair.cond:
            self.assertNotIn(33, self.pair.raw_check.last)
        # One idle member leaves: the 33rd gets its slot, and its message,
        # waiting since it connected, reaches both healthy clients.
        left_at = time.monotonic()
        drains.pop().close()
        self.pair.wait_seen(33, 0)
        served = time.monotonic()
        record("33rd connection, 32 slots held", "waited %.1f s until one left, then served" % (served - queued_at),
               served - left_at)
        # Its console line may reach us after its message reached the pair.
        self.hub.wait_for(r"SYN from 127\.0\.0\.1:%d " % eport, timeout=5.0)
        got = MsgCheck("33rd", late=True)
        d = Drain(extra, got)
        self.pair.wait_progress(10)
        self.assertGreater(got.count, 0, "the 33rd receives nothing")
        d.close()
        for x in drains:
            x.close()
        self.assert_unharmed()


# ---------------------------------------------------------------- receivers that do not keep up

# The hub's bound on a batch in flight to one receiver, and what a test
# allows on top of it before it calls the wait unbounded.
STALL_CUT = 10.0
STALL_LINE = r"!! server_(\d\d)  stalled: its messages were not taken for (\d+\.\d) s, disconnected\n"


class Flood:
    """A plain member that sends `chunk`-sized pieces of foreign bytes as
    fast as the hub takes them (or every `pace` seconds) and drops what it
    receives, from one thread that never blocks, so that it can leave with a
    reset at any moment. It keeps what it sent when asked, so that a
    receiver's copy can be compared."""

    def __init__(self, hub, chunk=16384, pace=0.0, keep=False):
        self.sock = connect(hub)
        self.sock.sendall(b"\n")
        hub.wait_for(r"SYN from 127\.0\.0\.1:%d  [^\n]*  RAW\n" % self.sock.getsockname()[1])
        self.sock.setblocking(False)
        self.chunk, self.pace, self.keep = chunk, pace, keep
        self.sent = bytearray()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        data, due = foreign_bytes(self.chunk), 0.0
        try:
            while not self.stopping.is_set():
                want = [self.sock] if data and time.monotonic() >= due else []
                readable, writable, _ = select.select([self.sock], want, [], 0.05)
                if readable and not self.sock.recv(1 << 16):
                    return
                if writable:
                    n = self.sock.send(data)
                    if self.keep:
                        self.sent += data[:n]
                    data = data[n:]
                    if not data:
                        data, due = foreign_bytes(self.chunk), time.monotonic() + self.pace
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            return

    def stop(self):
        """Stops sending and leaves with a FIN once the hub has taken all it
        sent (a close with unread data would reset, dropping its queue)."""
        self.stopping.set()
        self.thread.join(5 * SLOW)
        try:
            self.sock.shutdown(socket.SHUT_WR)
            deadline = time.monotonic() + WAIT
            while time.monotonic() < deadline:
                if select.select([self.sock], [], [], 0.1)[0] and not self.sock.recv(1 << 16):
                    break
        except OSError:
            pass
        self.sock.close()

    def leave(self):
        """Leaves at once with a reset, whatever it still had queued."""
        self.stopping.set()
        self.thread.join(5 * SLOW)
        reset_close(self.sock)


class StalledReceivers(HostileCase):
    def staller(self, rcvbuf=4096):
        w = RawWS(self.hub)
        w.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        return w, w.sock.getsockname()[1]

    def cut_of(self, port, timeout):
        """Waits for the stall line and the fin line of the connection from
        `port`; the seconds the hub reported."""
        m = self.hub.wait_for(r"(?s)SYN from 127\.0\.0\.1:%d  :: server_(\d\d)\.working.*?"
                              r"!! server_\1  stalled: its messages were not taken for (\d+\.\d) s, "
                              r"disconnected\n.*?:: server_\1\.fin  " % port, timeout=timeout)
        return float(m[0][1])

    def test_receiver_that_never_reads_is_cut(self):
        w, port = self.staller()
        start = time.monotonic()
        flood = Flood(self.hub)
        held = self.cut_of(port, timeout=STALL_CUT + 8)
        secs = time.monotonic() - start
        record("WS receiver that never reads, flood of 16 KiB", "cut after %.1f s (hub: %.1f s)" % (secs, held), secs)
        self.assertGreaterEqual(held, STALL_CUT - 0.2)
        # The pair went on (its messages never waited longer than the pair's
        # own stall bound), and goes on once the staller has gone.
        flood.stop()
        how, _, _ = read_to_end(w.sock, timeout=BOUND)
        w.close()
        self.assert_unharmed()

    def test_trickling_reads_do_not_renew_the_bound(self):
        w, port = self.staller()
        flood = Flood(self.hub)
        # Once its buffers are full, it reads one byte every 2 s.
        deadline = time.monotonic() + WAIT
        while inq(w.sock) < 4096:
            self.assertLess(time.monotonic(), deadline, "the staller's buffers never filled")
            time.sleep(0.05)
        start = time.monotonic()
        got = 0
        w.sock.setblocking(False)
        while not re.search(STALL_LINE, self.hub.output):
            self.assertLess(time.monotonic() - start, STALL_CUT + 8 * SLOW, "the trickler was never cut")
            try:
                got += len(w.sock.recv(1))
            except (BlockingIOError, ConnectionResetError):
                pass
            time.sleep(2.0)
        secs = time.monotonic() - start
        held = self.cut_of(port, timeout=BOUND)
        record("WS receiver reading 1 byte / 2 s", "cut after %.1f s of trickling (%d bytes read)" % (secs, got), secs)
        self.assertGreater(got, 0)
        flood.stop()
        w.close()
        self.assert_unharmed()

    def test_slow_reader_that_keeps_up_is_never_cut(self):
        # A receiver that pauses 3 s at a time, longer than its buffers last
        # at 96 KB/s of flood (the hub's write to it then waits), and then
        # reads everything for a second: it keeps up on average, so it is
        # never cut (a batch waits about 2 s, well within the bound), and
        # every byte arrives.
        w = RawWS(self.hub)
        flood = Flood(self.hub, chunk=4000, pace=1 / 24, keep=True)
        got = MsgCheck("slow reader", keep_foreign=True, late=True)  # the pair's messages come too
        start = time.monotonic()
        while time.monotonic() - start < STALL_CUT * 1.5:
            time.sleep(3.0)
            until = time.monotonic() + 1.0
            while True:
                left = until - time.monotonic()
                if left <= 0 or not select.select([w.sock], [], [], left)[0]:
                    break
                data = w.sock.recv(1 << 20)
                self.assertTrue(data, "the hub closed the slow reader")
                w.buf += data
            while len(w.buf) >= 2:  # whole frames only
                n = w.buf[1] & 0x7F
                head = 2 if n < 126 else 4 if n == 126 else 10
                if len(w.buf) < head:
                    break
                if n >= 126:
                    n = int.from_bytes(w.buf[2:head], "big")
                if len(w.buf) < head + n:
                    break
                got.feed(bytes(w.buf[head:head + n]))
                del w.buf[:head + n]
        flood.stop()
        w.sock.setblocking(True)
        self.assertNotRegex(self.hub.output, STALL_LINE)
        # The last pieces still on their way.
        deadline = time.monotonic() + WAIT
        expected = b"\n" + bytes(flood.sent)  # the flooder's first byte made it a member
        while len(got.foreign_data) < len(expected) and time.monotonic() < deadline:
            b0, payload = w.recv_frame(timeout=WAIT)
            got.feed(payload)
        self.assertEqual(got.faults, [])
        self.assertEqual(bytes(got.foreign_data[:len(expected)]), expected)
        record("WS receiver pausing 3 s, then reading, keeping up (15 s)", "never cut, %d KiB intact" % (len(expected) >> 10),
               time.monotonic() - start)
        w.close()
        self.assert_unharmed()

    def test_sender_that_leaves_while_it_waits_frees_its_slot_at_once(self):
        w, port = self.staller()
        flood = Flood(self.hub)
        fport = flood.sock.getsockname()[1]
        # Once the flood has been held a while, the flooder goes away.
        deadline = time.monotonic() + WAIT
        while inq(w.sock) < 4096:
            self.assertLess(time.monotonic(), deadline, "the staller's buffers never filled")
            time.sleep(0.05)
        time.sleep(1.5)
        flood.leave()
        secs = self.slot_freed(fport, timeout=STALL_CUT / 2)
        record("sender leaves while it waits for a staller", "slot freed", secs)
        # Freed before the staller's own cut: the sender did not wait for it.
        self.assertNotRegex(self.hub.output, STALL_LINE)
        self.cut_of(port, timeout=STALL_CUT + 8)
        w.close()
        self.assert_unharmed()


# ---------------------------------------------------------------- every HTTP request is answered

class HttpRequests(HostileCase):
    def answer_of(self, parts, gap=0.0, status=None, silence=0.0):
        """Sends a request in `parts` (`gap` seconds apart, the first after
        `silence` seconds); the status line of the answer and whether the hub
        then closed. The request's text must never reach the members."""
        foreign = (self.pair.raw_check.foreign, self.pair.ws_check.foreign)
        s = connect(self.hub)
        port = s.getsockname()[1]
        if silence:
            time.sleep(silence)
        start = time.monotonic()
        for i, p in enumerate(parts):
            if i and gap:
                time.sleep(gap)
            s.sendall(p)
        st = Stream(s)
        line = st.until(b"\r\n", timeout=WAIT).split(b"\r\n")[0].decode()
        if status is not None:
            self.assertEqual(line.split(" ")[1], str(status), line)
        secs = time.monotonic() - start
        return st, port, line, secs, foreign

    def check_closed(self, st, port, foreign):
        how, _, _ = read_to_end(st.sock)
        self.assertEqual(how, "eof", "the answer was not closed cleanly")
        self.slot_freed(port)
        st.close()
        self.pair.wait_progress(5)
        self.assertEqual((self.pair.raw_check.foreign, self.pair.ws_check.foreign), foreign,
                         "request bytes reached the members")

    def test_any_method_any_form(self):
        cases = (
            ("form POST with a body", [b"POST /send HTTP/1.1\r\nHost: x\r\nContent-Type: application/"
                                       b"x-www-form-urlencoded\r\nContent-Length: 27\r\n\r\nmsg=%1B%5B2Jhello+everyone"], 405),
            ("HEAD /", [b"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n"], 200),
            ("OPTIONS *", [b"OPTIONS * HTTP/1.1\r\nHost: x\r\n\r\n"], 405),
            ("lower-case get", [b"get / HTTP/1.1\r\nHost: x\r\n\r\n"], 405),
            ("empty line, then GET", [b"\r\nGET /x HTTP/1.1\r\n\r\n"], 404),
            ("a byte at a time", [bytes([c]) for c in b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"], 200),
            ("a head that never ends", [b"GET / HTTP/1.1\r\nHost: x\r\n"], 400),
            ("larger than the buffer", [b"GET / HTTP/1.1\r\nX-Big: " + b"b" * (2 * DEFAULT_L) + b"\r\n\r\n"], 431),
        )
        for name, parts, status in cases:
            with self.subTest(name):
                st, port, line, secs, foreign = self.answer_of(parts, gap=0.02 if len(parts) > 1 else 0,
                                                               status=status)
                if name == "HEAD /":
                    head = st.until(b"\r\n\r\n")
                    self.assertEqual(bytes(st.buf), b"", "HEAD has no body")
                # The kind is printed once the answer has gone out.
                self.hub.wait_for(r"SYN from 127\.0\.0\.1:%d  [^\n]*  HTTP\n" % port)
                self.check_closed(st, port, foreign)
                record("HTTP: " + name, line, secs)
        self.assert_unharmed()

    def test_a_spare_connection_put_to_use_later(self):
        # Browsers open a connection ahead of time and send their request
        # over it seconds later: it was served as a plain member meanwhile
        # (and got the members' messages), but its first bytes are still
        # taken for what they are. Its request (cookies and all) never
        # reaches the members, and it is answered.
        foreign = (self.pair.raw_check.foreign, self.pair.ws_check.foreign)
        s = connect(self.hub)
        port = s.getsockname()[1]
        self.hub.wait_for(r"SYN from 127\.0\.0\.1:%d  [^\n]*  RAW\n" % port)
        time.sleep(1.0)
        s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nCookie: secret=1\r\n\r\n")
        how, data, secs = read_to_end(s)
        self.assertEqual(how, "eof")
        self.assertIn(b"HTTP/1.1 200 OK\r\n", data)
        self.hub.wait_for(r"server_\d\d\.late  so \d+  HTTP\n")
        self.slot_freed(port)
        s.close()
        self.pair.wait_progress(5)
        self.assertEqual((self.pair.raw_check.foreign, self.pair.ws_check.foreign), foreign,
                         "request bytes reached the members")
        record("spare connection: GET after its set-up", "200 after the members' messages, closed", secs)
        self.assert_unharmed()

    def test_upgrades_that_arrive_in_pieces(self):
        key = "dGhlIHNhbXBsZSBub25jZQ=="
        split = ws_request(self.hub.port, key)
        cut = split.index(b"Upgrade:")
        cookie = (b"GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Mozilla/5.0\r\nCookie: "
                  + b"; ".join(b"c%d=%s" % (i, b"v" * 40) for i in range(66))[:3000]
                  + b"\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key.encode()
                  + b"\r\nSec-WebSocket-Version: 13\r\n\r\n")
        third = len(cookie) // 3
        cases = (("split before Upgrade:, rest 0.15 s later", [split[:cut], split[cut:]], 0.15),
                 ("3,000-byte cookie in three writes", [cookie[:third], cookie[third:2 * third], cookie[2 * third:]], 0.03))
        for name, parts, gap in cases:
            with self.subTest(name):
                st, port, line, secs, _ = self.answer_of(parts, gap=gap, status=101)
                st.until(b"\r\n\r\n")
                self.hub.wait_for(r"SYN from 127\.0\.0\.1:%d  [^\n]*  WS\n" % port)
                # A member now: it gets the pair's messages as frames.
                b0, payload = st.recv_frame(timeout=WAIT)
                self.assertIn(b0, (0x81, 0x82))
                record("upgrade: " + name, "101, member", secs)
                reset_close(st.sock)
                self.slot_freed(port)
        self.assert_unharmed()
