"""WebSocket conformance of the hub, case by case, in the groups of the public
Autobahn test suite: 1 framing, 2 pings and pongs, 3 reserved bits, 4 opcodes,
5 fragmentation, 6 UTF-8, 7 closing, 9 limits, 10 auto-fragmentation; and
group H, clients of the older Key1/Key2 protocol (hixie-76), which that suite
does not cover.

Each case opens a fresh sender A, sends exactly the frames of the public case
(in one piece, frame by frame or octet by octet, as the case says) and checks
what A gets back (pongs, the close code, or nothing while the connection
stays open) and what two standing receivers get: B, a WebSocket client, must
receive every relayed message as one frame of the sender's type, and R, a
plain TCP client, the bare payloads. A hub relays where the public suite's
server echoes, so "echoed" there means "relayed to B and R" here.

Where the hub's documented behaviour differs from the public suite's
expectations, the case expects the hub's (noted in the case): a message over
the receive buffer (-L less 16 bytes) is refused with 1009, a close frame
without a status code is answered with 1000, and no extension is negotiated,
so every RSV bit is a protocol error.

In group H the sender A is a client of the older protocol that checks the
hub's answer as that protocol's own client does (harness.check_old_answer):
over ws:// and wss://, on several paths, with and without a protocol, with
its 8 key bytes in a later segment. Every case that stays open ends with A's
closing handshake 0xFF 0x00, which must be answered in kind; some cases are
sent by B or R and check what A gets.

With RELAYHUB_CONFORMANCE_DOC=path the run writes its table (case, expected,
result, counts per group) to that file; RELAYHUB_CONFORMANCE_JSON=path keeps
the raw results, and RELAYHUB_CONFORMANCE_BASELINE=path (such a JSON file of
an earlier build) with RELAYHUB_CONFORMANCE_BASELINE_LABEL adds its results
as a column."""

import json
import os
import re
import select
import socket
import struct
import tempfile
import threading
import time
import unittest

from harness import (BIN, HOST, OLD_CLOSE, OLD_EXAMPLE_ANSWER, OLD_EXAMPLE_KEYS, SLOW, Hub, OldWS, RawWS,
                     Stream, check_old_answer, client_frame, make_cert)

OP_CONT, OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0, 1, 2, 8, 9, 10

# -L 0 is the largest receive buffer (2 MiB); a message may fill it less
# the room for its own header and for the header that frames it again.
HUB_ARGS = ("-c", "8", "-L", "0")
BUFFER = 2 << 20
MESSAGE_MAX = BUFFER - 16

# Per-wait bounds; a wait returns as soon as its event arrives.
WAIT = 10.0
WAIT_LARGE = 30.0
# How long a fail-fast case waits for the close before it sends the rest.
FAST_WAIT = 5.0

KOSME = "\u03ba\u1f79\u03c3\u03bc\u03b5".encode()  # the classic Greek word, 11 bytes
HELLO_UTF8 = "Hello-\u00b5@\u00df\u00f6\u00e4\u00fc\u00e0\u00e1-UTF-8!!".encode()


# ---------------------------------------------------------------------------
# frames and steps

def frame(opcode, payload=b"", fin=True, rsv=0):
    return client_frame(opcode, payload, fin=fin, rsv=rsv)


def close_frame(code=None, reason=b""):
    return frame(OP_CLOSE, b"" if code is None else struct.pack(">H", code) + reason)


class Send:
    """Bytes the sender writes: in `chop`-sized pieces with `pause` seconds
    between them (chop 0: in one piece). by: who writes them in group H, the
    sender "A" or a standing receiver, "B" or "R"."""

    def __init__(self, data, chop=0, pause=0.0, by="A"):
        self.data, self.chop, self.pause, self.by = data, chop, pause, by


class Sleep:
    def __init__(self, seconds):
        self.seconds = seconds


class FailFast:
    """The close must have arrived by now, before the rest is sent."""


def whole(*frames):
    return [Send(b"".join(frames))]


def framewise(*frames):
    return [Send(f, pause=0.005) for f in frames]


def octetwise(*frames):
    return [Send(b"".join(frames), chop=1, pause=0.001)]


class Case:
    """One conformance case.

    relayed: (opcode, payload) messages B must receive, in order (R gets
    their payloads); back: frames A must get back before the end; close: the
    status code of the hub's close, or None when A stays connected."""

    def __init__(self, cid, title, steps, relayed=(), back=(), close=None, note="", wait=WAIT):
        self.cid, self.title, self.steps = cid, title, steps
        self.relayed, self.back, self.close = list(relayed), list(back), close
        self.note, self.wait = note, wait

    @property
    def group(self):
        return self.cid.split(".")[0]

    def expected(self):
        parts = [relayed_text(self.relayed)]
        pongs = [p for op, p in self.back if op == OP_PONG]
        if pongs:
            parts.append("%s back" % ("pong" if len(pongs) == 1 else "%d pongs" % len(pongs)))
        if self.close is None:
            parts.append("stays open")
        else:
            fast = not callable(self.steps) and any(isinstance(s, FailFast) for s in self.steps)
            parts.append("close %d%s" % (self.close, " (fail fast)" if fast else ""))
        return "; ".join(parts)


def relayed_text(relayed):
    if not relayed:
        return "nothing relayed"
    kinds = {}
    for op, p in relayed:
        key = ("text" if op == OP_TEXT else "binary", len(p))
        kinds[key] = kinds.get(key, 0) + 1
    return ", ".join("%s%s %s B" % ("%d x " % n if n > 1 else "", k, size)
                     for (k, size), n in kinds.items()) + " relayed"


class OldCase:
    """One case of group H: A, a Key1/Key2 client opened with `opening`
    (OldWS's arguments), and the steps.

    to_b: (opcode, payload) messages B must receive; to_r: the bytes R must
    receive (default: those payloads); to_a: the payloads A must receive;
    answer: the exact answer A must get (head and the 16 bytes), when given;
    ends: the connection ends within the steps, with the hub's 0xFF 0x00
    (answering A's own, or for a fault of A's); else A stays open."""

    def __init__(self, cid, title, steps, opening=None, to_b=(), to_r=None, to_a=(), answer=None, ends=False,
                 note="", wait=WAIT):
        self.cid, self.title, self.steps = cid, title, steps
        self.opening = opening or {}
        self.to_b, self.to_a, self.answer, self.ends = list(to_b), list(to_a), answer, ends
        self.to_r = b"".join(p for _, p in self.to_b) if to_r is None else to_r
        self.note, self.wait = note, wait

    def expected(self):
        parts = [relayed_text(self.to_b)]
        if self.to_a or any(getattr(s, "by", "A") != "A" for s in self.steps):
            parts.append("A gets %s" % (", ".join("%d B" % len(p) for p in self.to_a) or "nothing"))
        parts.append("0xFF 0x00 back, closed" if self.ends else "stays open")
        return "; ".join(parts)


# ---------------------------------------------------------------------------
# readers: every socket of a case is drained by a thread of its own, so that
# a sender is never stopped by a receiver nobody reads

class Reader:
    def __init__(self, sock, initial=b""):
        self.sock = sock
        self.buf = bytearray(initial)
        self.pos = 0
        self.end = None  # "eof" or the error that ended the stream
        self.cond = threading.Condition()
        sock.settimeout(None)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            try:
                chunk = self.sock.recv(1 << 20)
            except OSError as e:
                with self.cond:
                    self.end = type(e).__name__
                    self.cond.notify_all()
                return
            with self.cond:
                if not chunk:
                    self.end = "eof"
                    self.cond.notify_all()
                    return
                self.buf += chunk
                self.cond.notify_all()

    def _wait(self, ready, timeout):
        deadline = time.monotonic() + timeout * SLOW
        with self.cond:
            while True:
                r = ready()
                if r is not None:
                    return r
                if self.end is not None:
                    return None
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError
                self.cond.wait(left)

    def _parse_frame(self, keep=False):
        b = self.buf
        p = self.pos
        if len(b) - p < 2:
            return None
        n = b[p + 1] & 0x7F
        head = 2
        if n == 126:
            if len(b) - p < 4:
                return None
            n = struct.unpack_from(">H", b, p + 2)[0]
            head = 4
        elif n == 127:
            if len(b) - p < 10:
                return None
            n = struct.unpack_from(">Q", b, p + 2)[0]
            head = 10
        if b[p + 1] & 0x80:
            head += 4  # a server must not mask; reported by the caller
        if len(b) - p < head + n:
            return None
        f = (b[p], bytes(b[p + head:p + head + n]), bool(b[p + 1] & 0x80))
        self.pos = p + head + n
        if not keep and self.pos > (1 << 22):
            del self.buf[:self.pos]
            self.pos = 0
        return f

    def frame(self, timeout=WAIT):
        """(first byte, payload, masked) of the next frame; None when the
        stream ended first; TimeoutError when nothing came in time."""
        return self._wait(self._parse_frame, timeout)

    def has_frame_now(self):
        with self.cond:
            return self._peek_frame() is not None or self.end is not None

    def _peek_frame(self):
        pos = self.pos
        f = self._parse_frame(keep=True)
        self.pos = pos
        return f

    def until(self, marker, timeout=WAIT):
        """The bytes before `marker` (consumed with it); None at the end of
        the stream."""
        start = [self.pos]

        def ready():
            i = self.buf.find(marker, max(self.pos, start[0] - len(marker)))
            start[0] = len(self.buf)
            if i < 0:
                return None
            out = bytes(self.buf[self.pos:i])
            self.pos = i + len(marker)
            return out
        return self._wait(ready, timeout)

    def contains(self, marker, timeout):
        """Whether `marker` is among the unread bytes within `timeout`
        seconds; nothing is consumed."""
        try:
            return self._wait(lambda: True if marker in self.buf[self.pos:] else None, timeout) is True
        except TimeoutError:
            return False

    def leftover(self):
        with self.cond:
            return bytes(self.buf[self.pos:])

    def ended(self, timeout=WAIT):
        """True once the stream has ended and nothing is left unread."""
        try:
            self._wait(lambda: True if self.buf[self.pos:] else None, timeout)
        except TimeoutError:
            return False
        return self.end is not None and not self.buf[self.pos:]


def describe(f):
    b0, payload, _ = f
    op = b0 & 0x0F
    name = {0: "cont", 1: "text", 2: "binary", 8: "close", 9: "ping", 10: "pong"}.get(op, "op%d" % op)
    if op == OP_CLOSE and len(payload) >= 2:
        return "close %d" % struct.unpack(">H", payload[:2])[0]
    shown = " %r" % payload if len(payload) <= 16 else ""
    return "%s(%d B%s%s)" % (name, len(payload), shown, "" if b0 & 0x80 else ", no FIN")


def send_bounded(sock, data, timeout):
    """sendall with a deadline, on a socket whose reads block in a reader
    thread (a socket time-out would end that reader too)."""
    view = memoryview(data)
    deadline = time.monotonic() + timeout * SLOW
    if not view:
        sock.send(b"", socket.MSG_DONTWAIT)
    while view:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("send stalled")
        select.select([], [sock], [], left)
        try:
            n = sock.send(view[:1 << 20], socket.MSG_DONTWAIT)
        except BlockingIOError:
            continue
        view = view[n:]


def shut(sock):
    """Ends a socket and wakes its reader thread."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


# ---------------------------------------------------------------------------
# the runner

class Bench:
    """A hub with the two standing receivers of a group: B (WebSocket) and
    R (plain TCP); with tls, the hub has a TLS identity."""

    def __init__(self, tls=False):
        self.certs = None
        if tls:
            self.certs = tempfile.TemporaryDirectory()
            make_cert(self.certs.name)
        self.hub = Hub(*HUB_ARGS, cwd=self.certs.name if tls else None)
        self.b = self.r = None
        self.marks = 0
        self.connect_receivers()

    def connect_receivers(self):
        for x in (self.b, self.r):
            if x is not None:
                shut(x.sock)
        r = self.hub.connect()
        r.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.r = Reader(r)
        self.r.sock = r
        w = RawWS(self.hub)
        self.b = Reader(w.sock, bytes(w.buf))
        self.await_ready(WAIT_LARGE)

    def await_ready(self, timeout):
        """Until each receiver gets the other's message: a slot that is not
        ready yet is not sent to, so the first ones may be lost. A final
        round of markers leaves both streams at a clean start."""
        deadline = time.monotonic() + timeout * SLOW
        n = 0
        ready_b = ready_r = False
        while not (ready_b and ready_r):
            if time.monotonic() > deadline:
                raise AssertionError("the standing receivers never got each other's messages")
            n += 1
            send_bounded(self.r.sock, b"ready-r-%d;" % n, timeout)
            send_bounded(self.b.sock, frame(OP_TEXT, b"ready-b-%d;" % n), timeout)
            ready_b = ready_b or self.b.contains(b"ready-r-", 0.5)
            ready_r = ready_r or self.r.contains(b"ready-b-", 0.5)
        self.sync_receivers(timeout)

    def stop(self):
        for x in (self.b, self.r):
            shut(x.sock)
        self.hub.stop()
        if self.certs is not None:
            self.certs.cleanup()

    def open_sender(self):
        w = RawWS(self.hub, wait_ready=False)
        if not w.response.startswith("HTTP/1.1 101 "):
            w.close()
            raise AssertionError("no upgrade: %r" % w.response[:100])
        return w.sock, Reader(w.sock, bytes(w.buf))

    def sync_receivers(self, timeout):
        """Markers from each receiver to the other: everything before them on
        B (frames) and R (bytes) is what the case relayed."""
        self.marks += 1
        mark_r = b"mark-r-%d" % self.marks
        mark_b = b"mark-b-%d" % self.marks
        send_bounded(self.r.sock, mark_r, timeout)
        send_bounded(self.b.sock, frame(OP_TEXT, mark_b), timeout)
        frames = []
        while True:
            f = self.b.frame(timeout)
            if f is None:
                raise AssertionError("receiver B was disconnected")
            # Text as a rule; the marker's type is not what a case checks.
            if f[0] in (0x81, 0x82) and f[1] == mark_r:
                break
            frames.append(f)
        raw = self.r.until(mark_b, timeout)
        if raw is None:
            raise AssertionError("receiver R was disconnected")
        return frames, raw


def is_marker(f):
    return (f[0] & 0x0F) in (OP_TEXT, OP_BINARY) and re.fullmatch(rb"mark-[rb]-\d+", f[1]) is not None


def check_receivers(bench, wait, relayed, want_r, problems, early=([], b"")):
    """What the standing receivers got: B (RFC 6455) the messages `relayed`
    as (opcode, payload), R (plain) the bytes `want_r`; `early` is what they
    had taken before the case ended. Problems are appended to `problems`."""
    try:
        frames, raw = bench.sync_receivers(max(wait, WAIT))
        frames, raw = early[0] + frames, early[1] + raw
        got_b = [(f[0], f[1]) for f in frames]
        want_b = [(0x80 | op, p) for op, p in relayed]
        if got_b != want_b:
            problems.append("B got %s, expected %s" % ([describe(f) for f in frames][:8] or "nothing",
                                                       [describe((b, p, False)) for b, p in want_b][:8]
                                                       or "nothing"))
        if raw != want_r:
            problems.append("R got %d bytes, expected %d%s" % (
                len(raw), len(want_r), "" if len(raw) != len(want_r) else " (different bytes)"))
    except (AssertionError, TimeoutError) as e:
        problems.append("receivers: %s" % (e or "timed out"))
        bench.connect_receivers()


def run_case(bench, case):
    """Returns None when the case passed, else what went wrong."""
    problems = []
    sock, a = bench.open_sender()
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    stopped = False
    steps = case.steps() if callable(case.steps) else case.steps
    try:
        for step in steps:
            if isinstance(step, Sleep):
                time.sleep(step.seconds)
            elif isinstance(step, FailFast):
                deadline = time.monotonic() + FAST_WAIT * SLOW
                while not a.has_frame_now() and time.monotonic() < deadline:
                    time.sleep(0.005)
                if not a.has_frame_now():
                    problems.append("not failed fast: no close before the rest was sent")
            elif not stopped:
                data = step.data
                chop = step.chop or len(data) or 1
                try:
                    for i in range(0, max(len(data), 1), chop):
                        send_bounded(sock, data[i:i + chop], case.wait)
                        if step.pause:
                            time.sleep(step.pause)
                except (OSError, TimeoutError):
                    stopped = True  # the hub closed first: the rest is not read anyway
                    if case.close is None:
                        problems.append("sending failed: the connection was closed")

        # What A gets back.
        got = []
        wait = case.wait
        try:
            for _ in case.back:
                f = a.frame(wait)
                if f is None or (f[0] & 0x0F) == OP_CLOSE:
                    if f is not None:
                        got.append(f)
                    break
                got.append(f)
            if case.close is None:
                if got == [] or (got[-1][0] & 0x0F) != OP_CLOSE:
                    # Still connected: one more message goes through, and a
                    # close of our own is answered.
                    send_bounded(sock, frame(OP_TEXT, b"alive-" + case.cid.encode()), wait)
                    send_bounded(sock, close_frame(1000), wait)
                f = a.frame(wait)
                while f is not None and (f[0] & 0x0F) != OP_CLOSE:
                    got.append(f)
                    f = a.frame(wait)
                if f is not None:
                    got.append(f)
            else:
                f = a.frame(wait)
                while f is not None and (f[0] & 0x0F) != OP_CLOSE:
                    got.append(f)
                    f = a.frame(wait)
                if f is not None:
                    got.append(f)
        except TimeoutError:
            problems.append("no close from the hub within %.0f s" % (wait * SLOW))
        except OSError as e:
            problems.append("sender: %s" % type(e).__name__)

        closes = [f for f in got if (f[0] & 0x0F) == OP_CLOSE]
        # A fan-out still under way when A turned ready may bring A the
        # standing receivers' last markers: they are not the case's.
        others = [f for f in got if (f[0] & 0x0F) != OP_CLOSE and not is_marker(f)]
        want_back = [(0x80 | op, p) for op, p in case.back]
        if [(f[0], f[1]) for f in others] != want_back:
            problems.append("back: got %s, expected %s" % (
                [describe(f) for f in others][:12] or "nothing",
                [describe((b, p, False)) for b, p in want_back][:12] or "nothing"))
        if any(f[2] for f in got):
            problems.append("a frame from the hub was masked")
        want_close = 1000 if case.close is None else case.close
        if not closes:
            if not problems or "no close" not in problems[-1]:
                problems.append("no close frame (connection %s)" % (a.end or "open"))
        else:
            c = closes[0]
            code = struct.unpack(">H", c[1][:2])[0] if len(c[1]) >= 2 else None
            if c[0] != 0x88 or code != want_close:
                problems.append("close %s, expected %d" % (code, want_close))
            if not a.ended(wait):
                problems.append("connection not ended after the close")
            extra = a.leftover()
            if extra:
                problems.append("bytes after the close: %r" % extra[:20])
    finally:
        shut(sock)

    # What the receivers got.
    relayed = list(case.relayed)
    if case.close is None:
        relayed.append((OP_TEXT, b"alive-" + case.cid.encode()))
    check_receivers(bench, case.wait, relayed, b"".join(p for _, p in relayed), problems)
    return "; ".join(problems) or None


OLD_MARK_RE = re.compile(rb"mark-[rb]-\d+|ready-a-\d+;")


def run_old_case(bench, case):
    """Group H: returns None when the case passed, else what went wrong."""
    problem = run_old_steps(bench, case)
    # The hub's port changes from run to run; the table should not.
    return problem.replace(":%d/" % bench.hub.port, ":PORT/") if problem else None


def run_old_steps(bench, case):
    problems = []
    try:
        a = OldWS(bench.hub, check=False, wait_ready=False, **case.opening)
    except (AssertionError, OSError) as e:
        return "handshake: %s: %s" % (type(e).__name__, e)
    wait = case.wait
    try:
        try:
            check_old_answer(a.head, a.answer, a.url, case.opening.get("origin", "http://example.com"),
                             case.opening.get("protocol"), a.expected)
        except AssertionError as e:
            return "answer: %s" % e
        if case.answer is not None and a.head.encode("latin-1") + a.answer != case.answer:
            problems.append("answer %r, expected %r" % (a.head.encode("latin-1") + a.answer, case.answer))
        if case.opening.get("protocol") is None and "sec-websocket-protocol" in a.head.lower():
            problems.append("a protocol answered where none was asked for")

        got_a = []
        early = ([], b"")

        def next_a(timeout):
            """A's next frame that is not a standing receiver's marker."""
            while True:
                f = a.next_frame(timeout)
                if f is None or f is OLD_CLOSE or not OLD_MARK_RE.fullmatch(f):
                    return f

        # A is served once R's messages reach it; what B and R got meanwhile
        # is not the case's.
        deadline = time.monotonic() + WAIT * SLOW
        n = 0
        while True:
            n += 1
            send_bounded(bench.r.sock, b"ready-a-%d;" % n, WAIT)
            try:
                if a.until(b"ready-a-", 0.5):
                    break
            except (AssertionError, TimeoutError):
                if time.monotonic() > deadline:
                    return "A never got the standing receivers' messages"
        bench.sync_receivers(WAIT)
        a.until(b"\xff", 0.5)  # the rest of that marker's frame

        socks = {"B": bench.b.sock, "R": bench.r.sock}
        stopped = False
        for step in case.steps:
            if isinstance(step, Sleep):
                time.sleep(step.seconds)
                continue
            if stopped:
                continue
            data = step.data
            chop = step.chop or len(data) or 1
            try:
                for i in range(0, max(len(data), 1), chop):
                    if step.by == "A":
                        a.sock.settimeout(wait * SLOW)
                        a.sock.sendall(data[i:i + chop])
                    else:
                        send_bounded(socks[step.by], data[i:i + chop], wait)
                    if step.pause:
                        time.sleep(step.pause)
            except (OSError, TimeoutError):
                stopped = True  # the hub closed first: the rest is not read anyway
                if not case.ends:
                    problems.append("sending failed: the connection was closed")

        end = None  # how A's stream ended: "close" (0xFF 0x00) or "eof"

        def read_a():
            """A's next message; None once its stream has ended (see end)."""
            nonlocal end
            f = next_a(wait)
            if f is None or f is OLD_CLOSE:
                end = "eof" if f is None else "close"
                return None
            return f

        try:
            # What A is to get, before anything else is sent.
            while not case.ends and end is None and len(got_a) < len(case.to_a):
                f = read_a()
                if f is not None:
                    got_a.append(f)
        except TimeoutError:
            problems.append("A got no more within %.0f s" % (wait * SLOW))
        except (AssertionError, OSError) as e:
            problems.append("A: %s: %s" % (type(e).__name__, e))
        if end is None and any(getattr(st, "by", "A") != "A" for st in case.steps):
            # What B or R sent reaches the other one before A's message
            # does: messages of different senders keep no order. (R's bytes
            # have been read once A has them: its marker is a read of its own.)
            try:
                early = bench.sync_receivers(wait)
            except (AssertionError, TimeoutError) as e:
                problems.append("receivers: %s" % (e or "timed out"))
        try:
            if not case.ends and end is None:
                # Still open: one more message goes through, and the
                # closing handshake is answered.
                a.sock.settimeout(wait * SLOW)
                a.sock.sendall(b"\x00alive-" + case.cid.encode() + b"\xff" + OLD_CLOSE)
            while end is None:
                f = read_a()
                if f is not None:
                    got_a.append(f)
            if end == "eof":
                problems.append("no 0xFF 0x00 from the hub (connection eof)")
            else:
                after = a.next_frame(wait)
                if after is not None:
                    problems.append("after the close: %r" % (after,))
        except TimeoutError:
            problems.append("no close from the hub within %.0f s" % (wait * SLOW))
        except (AssertionError, OSError) as e:
            problems.append("A: %s: %s" % (type(e).__name__, e))
        if got_a != case.to_a:
            problems.append("A got %s, expected %s" % ([len(p) for p in got_a][:12] or "nothing",
                                                       [len(p) for p in case.to_a][:12] or "nothing"))
    finally:
        shut(a.sock)

    relayed = list(case.to_b)
    want_r = case.to_r
    if not case.ends:
        alive = b"alive-" + case.cid.encode()
        relayed.append((OP_TEXT, alive))
        want_r += alive
    check_receivers(bench, case.wait, relayed, want_r, problems, early)
    return "; ".join(problems) or None


# ---------------------------------------------------------------------------
# the cases

def text(p):
    return (OP_TEXT, p)


def binary(p):
    return (OP_BINARY, p)


def pong(p):
    return (OP_PONG, p)


def group1():
    cases = []
    sizes = [0, 125, 126, 127, 128, 65535, 65536]
    for op, sub, fill, name in ((OP_TEXT, 1, b"*", "text"), (OP_BINARY, 2, b"\xfe", "binary")):
        for i, n in enumerate(sizes):
            p = fill * n
            cases.append(Case("1.%d.%d" % (sub, i + 1), "%s message, payload %d B" % (name, n),
                              whole(frame(op, p)), relayed=[(op, p)]))
        p = fill * 65536
        cases.append(Case("1.%d.8" % sub, "%s message, payload 65536 B sent in chops of 997 B" % name,
                          [Send(frame(op, p), chop=997)], relayed=[(op, p)]))
    return cases


def group2():
    small = b"Hello, world!"
    bin_small = b"\x00\xff\xfe\xfd\xfc\xfb\x00\xff"
    c = [
        Case("2.1", "ping without payload", whole(frame(OP_PING)), back=[pong(b"")]),
        Case("2.2", "ping with a small text payload", whole(frame(OP_PING, small)), back=[pong(small)]),
        Case("2.3", "ping with a small binary payload", whole(frame(OP_PING, bin_small)),
             back=[pong(bin_small)]),
        Case("2.4", "ping with a 125 B payload", whole(frame(OP_PING, b"\xfe" * 125)),
             back=[pong(b"\xfe" * 125)]),
        Case("2.5", "ping with a 126 B payload (too long for a control frame)",
             whole(frame(OP_PING, b"\xfe" * 126)), close=1002),
        Case("2.6", "ping with a 125 B payload, sent octet by octet",
             octetwise(frame(OP_PING, b"\xfe" * 125)), back=[pong(b"\xfe" * 125)]),
        Case("2.7", "unsolicited pong without payload", whole(frame(OP_PONG))),
        Case("2.8", "unsolicited pong with payload", whole(frame(OP_PONG, b"unsolicited pong payload"))),
        Case("2.9", "unsolicited pong, then ping with payload",
             whole(frame(OP_PONG, b"unsolicited pong payload"), frame(OP_PING, b"ping payload")),
             back=[pong(b"ping payload")]),
    ]
    pings = [b"payload-%d" % i for i in range(10)]
    c.append(Case("2.10", "10 pings with payload", whole(*[frame(OP_PING, p) for p in pings]),
                  back=[pong(p) for p in pings]))
    c.append(Case("2.11", "10 pings with payload, sent octet by octet",
                  octetwise(*[frame(OP_PING, p) for p in pings]), back=[pong(p) for p in pings]))
    return c


def group3():
    small = b"Hello, world!"
    note = "no extension is negotiated: any RSV bit is a protocol error"
    return [
        Case("3.1", "text message with RSV = 1", whole(frame(OP_TEXT, small, rsv=4)), close=1002, note=note),
        Case("3.2", "text, text with RSV = 2, ping",
             whole(frame(OP_TEXT, small), frame(OP_TEXT, small, rsv=2), frame(OP_PING)),
             relayed=[text(small)], close=1002, note=note),
        Case("3.3", "text, text with RSV = 3, ping; frame by frame",
             framewise(frame(OP_TEXT, small), frame(OP_TEXT, small, rsv=6), frame(OP_PING)),
             relayed=[text(small)], close=1002, note=note),
        Case("3.4", "text, text with RSV = 4, ping; octet by octet",
             octetwise(frame(OP_TEXT, small), frame(OP_TEXT, small, rsv=1), frame(OP_PING)),
             relayed=[text(small)], close=1002, note=note),
        Case("3.5", "binary message with RSV = 5", whole(frame(OP_BINARY, b"\x00\xff\xfe\xfd\xfc\xfb\x00\xff",
                                                             rsv=5)), close=1002, note=note),
        Case("3.6", "ping with RSV = 6", whole(frame(OP_PING, small, rsv=3)), close=1002, note=note),
        Case("3.7", "close with RSV = 7", whole(frame(OP_CLOSE, struct.pack(">H", 1000), rsv=7)),
             close=1002, note=note),
    ]


def group4():
    small = b"Hello, world!"
    payload = b"reserved opcode payload"
    cases = []
    for sub, ops in ((1, (3, 4, 5, 6, 7)), (2, (11, 12, 13, 14, 15))):
        kind = "non-control" if sub == 1 else "control"
        a, b, c, d, e = ops
        cases += [
            Case("4.%d.1" % sub, "reserved %s opcode %d" % (kind, a), whole(frame(a)), close=1002),
            Case("4.%d.2" % sub, "reserved %s opcode %d with payload" % (kind, b), whole(frame(b, payload)),
                 close=1002),
            Case("4.%d.3" % sub, "text, reserved %s opcode %d, ping" % (kind, c),
                 whole(frame(OP_TEXT, small), frame(c), frame(OP_PING)), relayed=[text(small)], close=1002),
            Case("4.%d.4" % sub, "text, reserved %s opcode %d with payload, ping; frame by frame" % (kind, d),
                 framewise(frame(OP_TEXT, small), frame(d, payload), frame(OP_PING)),
                 relayed=[text(small)], close=1002),
            Case("4.%d.5" % sub, "text, reserved %s opcode %d with payload, ping; octet by octet" % (kind, e),
                 octetwise(frame(OP_TEXT, small), frame(e, payload), frame(OP_PING)),
                 relayed=[text(small)], close=1002),
        ]
    return cases


def group5():
    f1, f2 = b"fragment1", b"fragment2"
    two = [frame(OP_TEXT, f1, fin=False), frame(OP_CONT, f2)]
    with_ping = [frame(OP_TEXT, f1, fin=False), frame(OP_PING, b"pongme!"), frame(OP_CONT, f2)]
    orphan_fin = frame(OP_CONT, b"non-continuation payload")
    orphan = frame(OP_CONT, b"non-continuation payload", fin=False)
    five = [frame(OP_TEXT, b"fragment1", fin=False), frame(OP_CONT, b"fragment2", fin=False),
            frame(OP_PING, b"pongme 1!"), frame(OP_CONT, b"fragment3", fin=False)]
    five_end = [frame(OP_CONT, b"fragment4", fin=False), frame(OP_PING, b"pongme 2!"),
                frame(OP_CONT, b"fragment5")]
    joined5 = b"fragment1fragment2fragment3fragment4fragment5"
    return [
        Case("5.1", "ping in 2 fragments", whole(frame(OP_PING, f1, fin=False), frame(OP_CONT, f2)),
             close=1002),
        Case("5.2", "pong in 2 fragments", whole(frame(OP_PONG, f1, fin=False), frame(OP_CONT, f2)),
             close=1002),
        Case("5.3", "text in 2 fragments", whole(*two), relayed=[text(f1 + f2)]),
        Case("5.4", "text in 2 fragments; octet by octet", octetwise(*two), relayed=[text(f1 + f2)]),
        Case("5.5", "text in 2 fragments; frame by frame", framewise(*two), relayed=[text(f1 + f2)]),
        Case("5.6", "text in 2 fragments, ping between", whole(*with_ping), relayed=[text(f1 + f2)],
             back=[pong(b"pongme!")]),
        Case("5.7", "text in 2 fragments, ping between; frame by frame", framewise(*with_ping),
             relayed=[text(f1 + f2)], back=[pong(b"pongme!")]),
        Case("5.8", "text in 2 fragments, ping between; octet by octet", octetwise(*with_ping),
             relayed=[text(f1 + f2)], back=[pong(b"pongme!")]),
        Case("5.9", "continuation (FIN) with nothing to continue, then text in 2 fragments",
             whole(orphan_fin, *two), close=1002),
        Case("5.10", "continuation (FIN) with nothing to continue, then text in 2 fragments; frame by frame",
             framewise(orphan_fin, *two), close=1002),
        Case("5.11", "continuation (FIN) with nothing to continue, then text in 2 fragments; octet by octet",
             octetwise(orphan_fin, *two), close=1002),
        Case("5.12", "continuation (no FIN) with nothing to continue, then text in 2 fragments",
             whole(orphan, *two), close=1002),
        Case("5.13", "continuation (no FIN) with nothing to continue, then text in 2 fragments; frame by frame",
             framewise(orphan, *two), close=1002),
        Case("5.14", "continuation (no FIN) with nothing to continue, then text in 2 fragments; octet by octet",
             octetwise(orphan, *two), close=1002),
        Case("5.15", "text in 2 fragments, continuation (no FIN) with nothing to continue, text",
             whole(*two, frame(OP_CONT, b"fragment3", fin=False), frame(OP_TEXT, b"fragment4")),
             relayed=[text(f1 + f2)], close=1002),
        Case("5.16", "twice: continuation (no FIN) with nothing to continue, text in 2 fragments",
             whole(*([frame(OP_CONT, f1, fin=False), frame(OP_TEXT, f2, fin=False),
                      frame(OP_CONT, b"fragment3")] * 2)), close=1002),
        Case("5.17", "twice: continuation (FIN) with nothing to continue, text in 2 fragments",
             whole(*([frame(OP_CONT, f1), frame(OP_TEXT, f2, fin=False), frame(OP_CONT, b"fragment3")] * 2)),
             close=1002),
        Case("5.18", "text in 2 fragments, both with the text opcode",
             whole(frame(OP_TEXT, f1, fin=False), frame(OP_TEXT, f2)), close=1002),
        Case("5.19", "text in 5 fragments with 2 pings between, with pauses",
             whole(*five) + [Sleep(0.3)] + whole(*five_end), relayed=[text(joined5)],
             back=[pong(b"pongme 1!"), pong(b"pongme 2!")]),
        Case("5.20", "text in 5 fragments with 2 pings between, with pauses; frame by frame",
             framewise(*five) + [Sleep(0.3)] + framewise(*five_end), relayed=[text(joined5)],
             back=[pong(b"pongme 1!"), pong(b"pongme 2!")]),
    ]


def utf8_case(cid, title, payload, valid):
    if valid:
        return Case(cid, title, whole(frame(OP_TEXT, payload)), relayed=[text(payload)])
    return Case(cid, title, whole(frame(OP_TEXT, payload)), close=1007)


def group6():
    cases = [
        Case("6.1.1", "empty text message", whole(frame(OP_TEXT)), relayed=[text(b"")]),
        Case("6.1.2", "text in 3 empty fragments",
             whole(frame(OP_TEXT, fin=False), frame(OP_CONT, fin=False), frame(OP_CONT)), relayed=[text(b"")]),
        Case("6.1.3", "text in 3 fragments, only the middle one with payload",
             whole(frame(OP_TEXT, fin=False), frame(OP_CONT, b"middle frame payload", fin=False),
                   frame(OP_CONT)), relayed=[text(b"middle frame payload")]),
        Case("6.2.1", "valid UTF-8 text in one fragment", whole(frame(OP_TEXT, HELLO_UTF8)),
             relayed=[text(HELLO_UTF8)]),
        Case("6.2.2", "valid UTF-8 text in 2 fragments split on a code point",
             whole(frame(OP_TEXT, HELLO_UTF8[:12], fin=False), frame(OP_CONT, HELLO_UTF8[12:])),
             relayed=[text(HELLO_UTF8)]),
        Case("6.2.3", "valid UTF-8 text in fragments of 1 octet",
             whole(*[frame(OP_TEXT if i == 0 else OP_CONT, HELLO_UTF8[i:i + 1], fin=i == len(HELLO_UTF8) - 1)
                     for i in range(len(HELLO_UTF8))]), relayed=[text(HELLO_UTF8)]),
        Case("6.2.4", "valid UTF-8 text (Greek) in fragments of 1 octet",
             whole(*[frame(OP_TEXT if i == 0 else OP_CONT, KOSME[i:i + 1], fin=i == len(KOSME) - 1)
                     for i in range(len(KOSME))]), relayed=[text(KOSME)]),
    ]
    bad = KOSME + b"\xed\xa0\x80" + b"edited"
    cases += [
        Case("6.3.1", "invalid UTF-8 text in one fragment", whole(frame(OP_TEXT, bad)), close=1007),
        Case("6.3.2", "invalid UTF-8 text in fragments of 1 octet",
             whole(*[frame(OP_TEXT if i == 0 else OP_CONT, bad[i:i + 1], fin=i == len(bad) - 1)
                     for i in range(len(bad))]), close=1007),
    ]
    # Fail fast: the close must come once the bytes that make the text
    # invalid have arrived, before the rest is sent.
    p1, p2, p3 = KOSME, b"\xf4\x90\x80\x80", b"edited"
    q1, q2, q3 = KOSME + b"\xf4", b"\x90", b"\x80\x80edited"
    whole_frame = frame(OP_TEXT, p1 + p2 + p3)
    cut1, cut2 = len(whole_frame) - len(p2 + p3), len(whole_frame) - len(p3)
    whole_frame2 = frame(OP_TEXT, q1 + q2 + q3)
    cut3, cut4 = len(whole_frame2) - len(q2 + q3), len(whole_frame2) - len(q3)
    cases += [
        Case("6.4.1", "invalid UTF-8 (U+110000) in the second of 3 fragments, with pauses",
             [Send(frame(OP_TEXT, p1, fin=False)), Sleep(0.2), Send(frame(OP_CONT, p2, fin=False)),
              FailFast(), Send(frame(OP_CONT, p3))], close=1007),
        Case("6.4.2", "invalid UTF-8: the byte that makes it invalid alone in the second of 3 fragments",
             [Send(frame(OP_TEXT, q1, fin=False)), Sleep(0.2), Send(frame(OP_CONT, q2, fin=False)),
              FailFast(), Send(frame(OP_CONT, q3))], close=1007),
        Case("6.4.3", "invalid UTF-8 (U+110000) in one frame sent in 3 chops, with pauses",
             [Send(whole_frame[:cut1]), Sleep(0.2), Send(whole_frame[cut1:cut2]), FailFast(),
              Send(whole_frame[cut2:])], close=1007),
        Case("6.4.4", "invalid UTF-8: one frame in 3 chops, the byte that makes it invalid alone",
             [Send(whole_frame2[:cut3]), Sleep(0.2), Send(whole_frame2[cut3:cut4]), FailFast(),
              Send(whole_frame2[cut4:])], close=1007),
    ]
    valid = [("Greek word", KOSME), ("Latin with accents", HELLO_UTF8),
             ("CJK", "\u4e2d\u6587\u5b57\u7b26".encode()), ("emoji", "\U0001f600\U0001f680".encode()),
             ("mixed scripts", "a\u00e9\u0627\u0928\u0e01\U00010348z".encode())]
    for i, (name, p) in enumerate(valid):
        cases.append(utf8_case("6.5.%d" % (i + 1), "valid UTF-8: %s" % name, p, True))
    boundaries = {2, 5, 7, 9, 11}
    for n in range(1, 12):
        cases.append(utf8_case("6.6.%d" % n, "first %d B of the Greek word" % n, KOSME[:n], n in boundaries))

    def seqs(sub, title, items, valid):
        for i, (name, p) in enumerate(items):
            cases.append(utf8_case("6.%d.%d" % (sub, i + 1), "%s: %s" % (title, name), p, valid))

    seqs(7, "first sequence of its length", [("U+0000", b"\x00"), ("U+0080", b"\xc2\x80"),
                                              ("U+0800", b"\xe0\xa0\x80"), ("U+10000", b"\xf0\x90\x80\x80")],
         True)
    seqs(8, "first 5/6-byte sequence", [("5 bytes", b"\xf8\x88\x80\x80\x80"),
                                         ("6 bytes", b"\xfc\x84\x80\x80\x80\x80")], False)
    seqs(9, "last sequence of its length", [("U+007F", b"\x7f"), ("U+07FF", b"\xdf\xbf"),
                                             ("U+FFFF", b"\xef\xbf\xbf"), ("U+10FFFF", b"\xf4\x8f\xbf\xbf")], True)
    seqs(10, "last 4/5/6-byte sequence beyond Unicode", [("U+1FFFFF", b"\xf7\xbf\xbf\xbf"),
                                                          ("5 bytes", b"\xfb\xbf\xbf\xbf\xbf"),
                                                          ("6 bytes", b"\xfd\xbf\xbf\xbf\xbf\xbf")], False)
    seqs(11, "boundary", [("U+D7FF", b"\xed\x9f\xbf"), ("U+E000", b"\xee\x80\x80"),
                          ("U+FFFD", b"\xef\xbf\xbd"), ("U+10FFFF", b"\xf4\x8f\xbf\xbf")], True)
    cases.append(utf8_case("6.11.5", "boundary: U+110000", b"\xf4\x90\x80\x80", False))
    seqs(12, "unexpected continuation bytes", [("0x80", b"\x80"), ("0xBF", b"\xbf"),
                                               ("2 bytes", b"\x80\xbf"), ("3 bytes", b"\x80\xbf\x80"),
                                               ("4 bytes", b"\x80\xbf\x80\xbf"),
                                               ("5 bytes", b"\x80\xbf\x80\xbf\x80"),
                                               ("6 bytes", b"\x80\xbf\x80\xbf\x80\xbf"),
                                               ("all 64", bytes(range(0x80, 0xc0)))], False)
    seqs(13, "lonely start bytes, each followed by a space",
         [("2-byte leads 0xC0-0xDF", b"".join(bytes([c, 0x20]) for c in range(0xc0, 0xe0))),
          ("3-byte leads 0xE0-0xEF", b"".join(bytes([c, 0x20]) for c in range(0xe0, 0xf0))),
          ("4-byte leads 0xF0-0xF7", b"".join(bytes([c, 0x20]) for c in range(0xf0, 0xf8))),
          ("5-byte leads 0xF8-0xFB", b"".join(bytes([c, 0x20]) for c in range(0xf8, 0xfc))),
          ("6-byte leads 0xFC-0xFD", b"".join(bytes([c, 0x20]) for c in range(0xfc, 0xfe)))], False)
    missing = [("2-byte U+0000", b"\xc0"), ("3-byte U+0000", b"\xe0\x80"), ("4-byte U+0000", b"\xf0\x80\x80"),
               ("5-byte U+0000", b"\xf8\x80\x80\x80"), ("6-byte U+0000", b"\xfc\x80\x80\x80\x80"),
               ("2-byte U+07FF", b"\xdf"), ("3-byte U+FFFF", b"\xef\xbf"), ("4-byte U+1FFFFF", b"\xf7\xbf\xbf"),
               ("5-byte U+3FFFFFF", b"\xfb\xbf\xbf\xbf"), ("6-byte U+7FFFFFFF", b"\xfd\xbf\xbf\xbf\xbf")]
    seqs(14, "last continuation byte missing", missing, False)
    cases.append(utf8_case("6.15.1", "all 10 incomplete sequences concatenated",
                           b"".join(p for _, p in missing), False))
    seqs(16, "impossible bytes", [("0xFE", b"\xfe"), ("0xFF", b"\xff"), ("0xFE 0xFE 0xFF 0xFF", b"\xfe\xfe\xff\xff")],
         False)
    seqs(17, "overlong '/'", [("2 bytes", b"\xc0\xaf"), ("3 bytes", b"\xe0\x80\xaf"),
                              ("4 bytes", b"\xf0\x80\x80\xaf"), ("5 bytes", b"\xf8\x80\x80\x80\xaf"),
                              ("6 bytes", b"\xfc\x80\x80\x80\x80\xaf")], False)
    seqs(18, "maximum overlong", [("U+007F in 2 bytes", b"\xc1\xbf"), ("U+07FF in 3 bytes", b"\xe0\x9f\xbf"),
                                  ("U+FFFF in 4 bytes", b"\xf0\x8f\xbf\xbf"),
                                  ("U+1FFFFF in 5 bytes", b"\xf8\x87\xbf\xbf\xbf"),
                                  ("U+3FFFFFF in 6 bytes", b"\xfc\x83\xbf\xbf\xbf\xbf")], False)
    seqs(19, "overlong NUL", [("2 bytes", b"\xc0\x80"), ("3 bytes", b"\xe0\x80\x80"),
                              ("4 bytes", b"\xf0\x80\x80\x80"), ("5 bytes", b"\xf8\x80\x80\x80\x80"),
                              ("6 bytes", b"\xfc\x80\x80\x80\x80\x80")], False)
    singles = [0xD800, 0xDB7F, 0xDB80, 0xDBFF, 0xDC00, 0xDF80, 0xDFFF]

    def surrogate(u):
        return bytes([0xed, 0x80 | (u >> 6) & 0x3f, 0x80 | u & 0x3f])
    seqs(20, "single UTF-16 surrogate", [("U+%04X" % u, surrogate(u)) for u in singles], False)
    pairs = [(hi, lo) for hi in (0xD800, 0xDB7F, 0xDB80, 0xDBFF) for lo in (0xDC00, 0xDFFF)]
    seqs(21, "paired UTF-16 surrogates", [("U+%04X U+%04X" % (hi, lo), surrogate(hi) + surrogate(lo))
                                          for hi, lo in pairs], False)
    nonchars = []
    for plane in range(17):
        for low in (0xFFFE, 0xFFFF):
            u = plane << 16 | low
            nonchars.append(("U+%04X" % u, chr(u).encode("utf-8", "surrogatepass")))
    seqs(22, "noncharacter (valid UTF-8)", nonchars, True)
    seqs(23, "specials", [("U+FFF9", "\ufff9".encode()), ("U+FFFA", "\ufffa".encode()),
                          ("U+FFFB", "\ufffb".encode()), ("U+FFFC", "\ufffc".encode()),
                          ("U+FFFD", "\ufffd".encode()), ("U+FFFD between text", "x\ufffdy".encode()),
                          ("U+FDD0-U+FDEF", "".join(chr(u) for u in range(0xFDD0, 0xFDF0)).encode())], True)
    return cases


def group7():
    hello = b"Hello World!"
    big = (b"BAsd7&jh23" * 26215)[:256 * 1024]
    cases = [
        Case("7.1.1", "text, then close", whole(frame(OP_TEXT, hello), close_frame(1000)),
             relayed=[text(hello)], close=1000),
        Case("7.1.2", "two closes", whole(close_frame(1000), close_frame(1000)), close=1000),
        Case("7.1.3", "close, then ping", whole(close_frame(1000), frame(OP_PING, hello)), close=1000),
        Case("7.1.4", "close, then text", whole(close_frame(1000), frame(OP_TEXT, hello)), close=1000),
        Case("7.1.5", "first fragment, close, last fragment",
             whole(frame(OP_TEXT, b"fragment1", fin=False), close_frame(1000), frame(OP_CONT, b"fragment2")),
             close=1000),
        Case("7.1.6", "256 KiB text, close, ping",
             whole(frame(OP_TEXT, big), close_frame(1000), frame(OP_PING, hello)),
             relayed=[text(big)], close=1000, wait=WAIT_LARGE),
        Case("7.3.1", "close without payload", whole(close_frame()), close=1000,
             note="answered with 1000 (the public suite also takes an empty close)"),
        Case("7.3.2", "close with a 1 B payload", whole(frame(OP_CLOSE, b"a")), close=1002),
        Case("7.3.3", "close with code 1000", whole(close_frame(1000)), close=1000),
        Case("7.3.4", "close with code 1000 and a reason", whole(close_frame(1000, hello)), close=1000),
        Case("7.3.5", "close with code 1000 and a 123 B reason", whole(close_frame(1000, b"*" * 123)),
             close=1000),
        Case("7.3.6", "close with code 1000 and a 124 B reason (payload over 125 B)",
             whole(close_frame(1000, b"*" * 124)), close=1002),
        Case("7.5.1", "close with a reason that is not UTF-8",
             whole(close_frame(1000, KOSME + b"\xed\xa0\x80edited")), close=1002,
             note="1002; the public suite takes 1002 or 1007"),
    ]
    for i, code in enumerate((1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 3000, 3999, 4000, 4999)):
        cases.append(Case("7.7.%d" % (i + 1), "close with valid code %d" % code, whole(close_frame(code)),
                          close=code))
    for i, code in enumerate((0, 999, 1004, 1005, 1006, 1016, 1100, 2000, 2999)):
        cases.append(Case("7.9.%d" % (i + 1), "close with invalid code %d" % code, whole(close_frame(code)),
                          close=1002))
    for i, code in enumerate((5000, 65535)):
        cases.append(Case("7.13.%d" % (i + 1), "close with code %d (beyond the registry)" % code,
                          whole(close_frame(code)), close=1002,
                          note="informational in the public suite; refused as invalid here"))
    return cases


OVER = "over the largest message (-L less 16 B): refused with 1009 where the public suite expects an echo"


def sized(cid, title, steps, op, payload_len, payload):
    if payload_len <= MESSAGE_MAX:
        return Case(cid, title, steps, relayed=[(op, payload())], wait=WAIT_LARGE)
    return Case(cid, title, steps, close=1009, wait=WAIT_LARGE, note=OVER)


def fragments(op, payload, size):
    out = []
    for i in range(0, len(payload), size):
        last = i + size >= len(payload)
        out.append(frame(op if i == 0 else OP_CONT, payload[i:i + size], fin=last))
    return b"".join(out)


def group9():
    cases = []
    mib = 1 << 20
    sizes = [64 * 1024, 256 * 1024, mib, 4 * mib, 8 * mib, 16 * mib]
    for sub, op, fill, name in ((1, OP_TEXT, b"*", "text"), (2, OP_BINARY, b"\xfe", "binary")):
        for i, n in enumerate(sizes):
            cases.append(sized("9.%d.%d" % (sub, i + 1), "%s message of %s" % (name, human(n)),
                               lambda op=op, f=fill, n=n: [Send(frame(op, f * n))], op, n,
                               lambda f=fill, n=n: f * n))
    frag_sizes = [64, 256, 1024, 4096, 16384, 65536, 256 * 1024, mib, 4 * mib]
    for sub, op, fill, name in ((3, OP_TEXT, b"*", "text"), (4, OP_BINARY, b"\xfe", "binary")):
        for i, fs in enumerate(frag_sizes):
            cases.append(sized("9.%d.%d" % (sub, i + 1), "%s message of 4 MiB in fragments of %s"
                               % (name, human(fs)),
                               lambda op=op, f=fill, fs=fs: [Send(fragments(op, f * (4 * mib), fs))],
                               op, 4 * mib, lambda f=fill: f * (4 * mib)))
    chops = [64, 128, 256, 512, 1024, 2048]
    for sub, op, fill, name in ((5, OP_TEXT, b"*", "text"), (6, OP_BINARY, b"\xfe", "binary")):
        for i, ch in enumerate(chops):
            cases.append(sized("9.%d.%d" % (sub, i + 1), "%s message of 1 MiB sent in chops of %d B"
                               % (name, ch), lambda op=op, f=fill, ch=ch: [Send(frame(op, f * mib), chop=ch)],
                               op, mib, lambda f=fill: f * mib))
    counts = [0, 16, 64, 256, 1024, 4096]
    for sub, op, fill, name in ((7, OP_TEXT, b"*", "text"), (8, OP_BINARY, b"\xfe", "binary")):
        for i, n in enumerate(counts):
            msgs = [(op, fill * n)] * 1000
            cases.append(Case("9.%d.%d" % (sub, i + 1), "1000 %s messages of %d B, one by one" % (name, n),
                              lambda op=op, f=fill, n=n: [Send(frame(op, f * n)) for _ in range(1000)],
                              relayed=msgs,
                              wait=WAIT_LARGE))
    return cases


def human(n):
    if n >= 1 << 20:
        return "%d MiB" % (n >> 20)
    if n >= 1024:
        return "%d KiB" % (n >> 10)
    return "%d B" % n


def group10():
    p = b"*" * 65536
    return [Case("10.1.1", "text message of 64 KiB in fragments of 1300 B",
                 [Send(fragments(OP_TEXT, p, 1300))], relayed=[text(p)])]


def old_frame(p):
    return b"\x00" + p + b"\xff"


def group_h():
    hello = b"Hello World!"
    checked = "opening handshake, the answer checked as the old client checks it; a text message"
    cases = []
    n = 0
    for tls in (False, True):
        for path in ("/", "/chat?room=1"):
            for protocol in (None, "chat"):
                n += 1
                cases.append(OldCase("H.1.%d" % n, "%s, path %s, %s: %s" % (
                    "wss://" if tls else "ws://", path, "protocol chat" if protocol else "no protocol", checked),
                    [Send(old_frame(hello))], opening=dict(tls=tls, path=path, protocol=protocol),
                    to_b=[text(hello)]))
    for tls in (False, True):
        n += 1
        cases.append(OldCase("H.1.%d" % n, "%s, the 8 key bytes 0.3 s after the head: %s" % (
            "wss://" if tls else "ws://", checked), [Send(old_frame(hello))],
            opening=dict(tls=tls, path="/chat?room=1", key_later=0.3), to_b=[text(hello)]))
    cases.append(OldCase("H.1.%d" % (n + 1), "ws://, the request in pieces of 5 B: %s" % checked,
                         [Send(old_frame(hello))], opening=dict(chop=5), to_b=[text(hello)]))
    cases.append(OldCase(
        "H.1.%d" % (n + 2), "the protocol's worked example (Host example.com, path /demo, protocol sample)",
        [], opening=dict(host="example.com", path="/demo", protocol="sample", keys=OLD_EXAMPLE_KEYS),
        answer=b"HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
               b"Sec-WebSocket-Origin: http://example.com\r\nSec-WebSocket-Location: ws://example.com/demo\r\n"
               b"Sec-WebSocket-Protocol: sample\r\n\r\n" + OLD_EXAMPLE_ANSWER,
        note="the published answer, byte for byte"))

    big = b"*" * (64 * 1024)
    largest = b"*" * MESSAGE_MAX
    cases += [
        OldCase("H.2.1", "text message", [Send(old_frame(hello))], to_b=[text(hello)]),
        OldCase("H.2.2", "empty message (0x00 0xFF)", [Send(b"\x00\xff")], to_b=[text(b"")],
                note="WebSocket receivers get an empty text frame, plain receivers nothing"),
        OldCase("H.2.3", "three messages in one segment, the middle one empty",
                [Send(old_frame(b"one") + old_frame(b"") + old_frame(b"two"))],
                to_b=[text(b"one"), text(b""), text(b"two")]),
        OldCase("H.2.4", "100 empty messages in one segment", [Send(old_frame(b"") * 100)],
                to_b=[text(b"")] * 100),
        OldCase("H.2.5", "text message, sent octet by octet", [Send(old_frame(hello), chop=1, pause=0.001)],
                to_b=[text(hello)]),
        OldCase("H.2.6", "UTF-8 text", [Send(old_frame(KOSME))], to_b=[text(KOSME)]),
        OldCase("H.2.7", "bytes that are not UTF-8", [Send(old_frame(b"\x80\xfe\x00abc"))],
                to_b=[binary(b"\x80\xfe\x00abc")],
                note="the bytes decide the frame type, as for a plain sender"),
        OldCase("H.2.8", "text message of 64 KiB", [Send(old_frame(big))], to_b=[text(big)]),
        OldCase("H.2.9", "text message of the largest size (-L less 16 B)", [Send(old_frame(largest))],
                to_b=[text(largest)], wait=WAIT_LARGE),
        OldCase("H.3.1", "text message from B", [Send(frame(OP_TEXT, hello), by="B")], to_r=hello,
                to_a=[hello]),
        OldCase("H.3.2", "empty text message from B", [Send(frame(OP_TEXT, b""), by="B")], to_r=b"",
                to_a=[b""], note="A gets 0x00 0xFF"),
        OldCase("H.3.3", "bytes from R", [Send(hello, by="R")], to_b=[text(hello)], to_r=b"", to_a=[hello]),
        OldCase("H.3.4", "binary message with a 0xFF byte from B",
                [Send(frame(OP_BINARY, b"\x01\xff\x02"), by="B")], to_r=b"\x01\xff\x02",
                note="the old framing cannot carry a 0xFF byte: not sent to A"),
        OldCase("H.4.1", "closing handshake (0xFF 0x00)", [Send(OLD_CLOSE)], ends=True),
        OldCase("H.4.2", "text message and closing handshake in one segment",
                [Send(old_frame(hello) + OLD_CLOSE)], to_b=[text(hello)], ends=True),
        OldCase("H.4.3", "closing handshake, then a text message", [Send(OLD_CLOSE + old_frame(hello))],
                ends=True),
        OldCase("H.4.4", "closing handshake in two segments 0.1 s apart",
                [Send(b"\xff"), Sleep(0.1), Send(b"\x00")], ends=True),
        OldCase("H.4.5", "empty message, then closing handshake (0x00 0xFF 0xFF 0x00)",
                [Send(b"\x00\xff" + OLD_CLOSE)], to_b=[text(b"")], ends=True),
        OldCase("H.4.6", "two closing handshakes", [Send(OLD_CLOSE + OLD_CLOSE)], ends=True),
    ]
    fault = ("the protocol lets a server skip frames of other types; the hub takes them for a fault and "
             "closes with its own 0xFF 0x00")
    cases += [
        OldCase("H.5.1", "length-prefixed frame of type 0x80", [Send(b"\x80\x03abc")], ends=True, note=fault),
        OldCase("H.5.2", "0xFF with a length", [Send(b"\xff\x03abc")], ends=True, note=fault),
        OldCase("H.5.3", "text frame of type 0x01", [Send(b"\x01abc\xff")], ends=True, note=fault),
        OldCase("H.5.4", "text message, then a frame of type 0x80",
                [Send(old_frame(hello) + b"\x80\x00")], to_b=[text(hello)], ends=True, note=fault),
        OldCase("H.5.5", "text message over the largest size",
                [Send(b"\x00" + b"*" * (MESSAGE_MAX + 1) + b"\xff")], ends=True, wait=WAIT_LARGE,
                note="the hub's own close for a message over -L less 16 B (1009 on an RFC 6455 connection)"),
    ]
    return cases


GROUPS = [
    ("1", "Framing: text and binary messages of every length-field size", group1),
    ("2", "Pings and pongs", group2),
    ("3", "Reserved bits", group3),
    ("4", "Opcodes", group4),
    ("5", "Fragmentation", group5),
    ("6", "UTF-8 handling", group6),
    ("7", "Close handling", group7),
    ("9", "Limits and performance, up to the receive buffer", group9),
    ("10", "Auto-fragmentation", group10),
    ("H", "Older Key1/Key2 protocol: handshake, messages, closing handshake", group_h),
]

RESULTS = {}  # group -> [(case, problem or None, seconds)]


def run_group(test, key):
    _, _, make = next(g for g in GROUPS if g[0] == key)
    cases = make()
    old = key == "H"
    bench = Bench(tls=old)
    results = []
    try:
        for case in cases:
            t0 = time.monotonic()
            try:
                problem = run_old_case(bench, case) if old else run_case(bench, case)
            except (AssertionError, OSError, TimeoutError) as e:
                problem = "%s: %s" % (type(e).__name__, e)
                bench.connect_receivers()
            results.append((case, problem, time.monotonic() - t0))
        RESULTS[key] = results
        write_reports()  # after every group, so that a partial run is kept too
        # The hub stays up and serves a last client after the whole group.
        test.assertIsNone(bench.hub.proc.poll(), "the hub ended")
        probe = RawWS(bench.hub, wait_ready=False)
        with probe:
            probe.send_frame(OP_PING, b"still here")
            test.assertEqual(probe.recv_frame(), (0x8A, b"still here"))
    finally:
        bench.stop()
    # An instrumented hub reports races and memory errors on stderr.
    test.assertEqual(bench.hub.sanitizer_reports(), [], bench.hub.errors[-6000:])
    failed = ["%s %s: %s" % (c.cid, c.title, p) for c, p, _ in results if p]
    test.assertEqual(failed, [], "%d of %d cases failed" % (len(failed), len(results)))


class Framing(unittest.TestCase):
    def test_group_1(self):
        run_group(self, "1")


class PingsAndPongs(unittest.TestCase):
    def test_group_2(self):
        run_group(self, "2")


class ReservedBits(unittest.TestCase):
    def test_group_3(self):
        run_group(self, "3")


class Opcodes(unittest.TestCase):
    def test_group_4(self):
        run_group(self, "4")


class Fragmentation(unittest.TestCase):
    def test_group_5(self):
        run_group(self, "5")


class Utf8(unittest.TestCase):
    def test_group_6(self):
        run_group(self, "6")


class Closing(unittest.TestCase):
    def test_group_7(self):
        run_group(self, "7")


class Limits(unittest.TestCase):
    def test_group_9(self):
        run_group(self, "9")


class AutoFragmentation(unittest.TestCase):
    def test_group_10(self):
        run_group(self, "10")


class OldProtocol(unittest.TestCase):
    def test_group_h(self):
        run_group(self, "H")


# ---------------------------------------------------------------------------
# the report

def md_escape(s):
    return s.replace("|", "\\|").replace("\n", " ")


def write_reports():
    path_json = os.environ.get("RELAYHUB_CONFORMANCE_JSON")
    flat = {c.cid: p for key in RESULTS for c, p, _ in RESULTS[key]}
    if path_json:
        with open(path_json, "w") as f:
            json.dump(flat, f, indent=1, sort_keys=True)
    path = os.environ.get("RELAYHUB_CONFORMANCE_DOC")
    if not path:
        return
    base = None
    base_path = os.environ.get("RELAYHUB_CONFORMANCE_BASELINE")
    label = os.environ.get("RELAYHUB_CONFORMANCE_BASELINE_LABEL", "baseline")
    if base_path:
        with open(base_path) as f:
            base = json.load(f)

    def passed(results):
        return sum(1 for _, p, _ in results if p is None)

    out = ["# WebSocket conformance", "",
           "Generated by `tests/integration/test_conformance.py` (see its head for how to",
           "regenerate this file). Each case sends, from a fresh client, the frames of",
           "the case of the same number in the public Autobahn test suite, and checks",
           "what that client gets back and what a WebSocket receiver and a plain TCP",
           "receiver get relayed. The hub runs with `%s` (receive buffer %d B," % (" ".join(HUB_ARGS), BUFFER),
           "largest message %d B)." % MESSAGE_MAX, "",
           "Where the hub's documented behaviour differs from the public suite's",
           "expectations, the case expects the hub's and says so in its note:",
           "", "- a message larger than the receive buffer allows (`-L` less 16 bytes) is",
           "  refused with close 1009 instead of being echoed (groups 9.1 to 9.6);",
           "- no extension is negotiated, so every RSV bit is a protocol error (1002);",
           "- a close without a status code is answered with 1000;",
           "- close codes 5000 and 65535 (informational there) are refused with 1002.", "",
           "Group 8 of the public suite does not exist; groups 12 and 13 (compression)",
           "need an extension the hub does not offer.", "",
           "Group H is the hub's own: clients of the older Key1/Key2 protocol",
           "(hixie-76), which the public suite does not cover. Its sender checks the",
           "hub's answer as that protocol's client does (status, Upgrade, Connection,",
           "origin, the location it opened and the protocol it asked for, the",
           "challenge's answer), over `ws://` and `wss://`; every case that stays open",
           "ends with the client's closing handshake `0xFF 0x00`, which must be",
           "answered in kind, and a protocol line answered where none was asked for",
           "counts as a failure. A is that client, B and R the standing receivers.", ""]
    if base:
        out += ["The column %s holds, for comparison, the results of the same suite" % label,
                "against the hub built at %s (an earlier build)." % label, ""]
    out += ["## Counts", ""]
    head = "| group | cases | passed |" + (" passed at %s |" % label if base else "")
    out += [head, "|---|---|---|" + ("---|" if base else "")]
    total = total_pass = total_base = 0
    for key, title, _ in GROUPS:
        if key not in RESULTS:
            continue
        res = RESULTS[key]
        n, ok = len(res), passed(res)
        total += n
        total_pass += ok
        row = "| %s %s | %d | %d |" % (key, title, n, ok)
        if base:
            b = sum(1 for c, _, _ in res if c.cid in base and base[c.cid] is None)
            total_base += b
            row += " %d |" % b
        out.append(row)
    out.append("| all | %d | %d |%s" % (total, total_pass, " %d |" % total_base if base else ""))
    out.append("")
    for key, title, _ in GROUPS:
        if key not in RESULTS:
            continue
        out += ["## %s %s" % (key, title), ""]
        out.append("| case | what is sent | expected | result |" + (" %s |" % label if base else ""))
        out.append("|---|---|---|---|" + ("---|" if base else ""))
        for c, p, _ in RESULTS[key]:
            exp = c.expected() + ("<br>*%s*" % c.note if c.note else "")
            res = "pass" if p is None else "FAIL: " + p
            row = "| %s | %s | %s | %s |" % (c.cid, md_escape(c.title), md_escape(exp), md_escape(res))
            if base:
                bp = base.get(c.cid, "missing")
                row += " %s |" % ("pass" if bp is None else "FAIL: " + md_escape(bp)[:160])
            out.append(row)
        out.append("")
    with open(path, "w") as f:
        f.write("\n".join(out))


def tearDownModule():
    write_reports()


if __name__ == "__main__":
    unittest.main()
