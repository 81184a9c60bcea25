"""Helpers for the integration tests: start the real relayhub binary on a free
loopback port, watch its console, and talk to it with plain sockets.

Every wait is bounded; only the processes started here are ever killed."""

import base64
import hashlib
import json
import os
import queue
import re
import socket
import struct
import subprocess
import tempfile
import threading
import time

BIN = os.environ.get("RELAYHUB_BIN", "relayhub")
# The hub runs in its own working directory: a relative path must not follow it.
if os.sep in BIN:
    BIN = os.path.abspath(BIN)
HOST = "127.0.0.1"
KIND_RE = re.compile(r"so -?\d+  (RAW|WS|TLS|WSS|HTTP)\n")
# Instrumented builds (sanitizers, valgrind) are several times slower.
SLOW = float(os.environ.get("RELAYHUB_TEST_SLOW", "1"))


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def make_cert(directory, name="localhost.pem", days=30, cn="localhost"):
    """Self-signed certificate and key in one PEM file, as the hub expects."""
    path = os.path.join(directory, name)
    key = path + ".key"
    crt = path + ".crt"
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", key, "-out", crt, "-days", str(days), "-subj", "/CN=" + cn,
         "-addext", "subjectAltName=DNS:" + cn + ",IP:127.0.0.1"],
        check=True, capture_output=True, timeout=60)
    with open(path, "wb") as out:
        for part in (crt, key):
            with open(part, "rb") as f:
                out.write(f.read())
    return path


class Hub:
    """One relayhub process on a free loopback port."""

    def __init__(self, *args, cwd=None, port=None, wait_ready=True):
        self.port = port if port is not None else free_port()
        self._tmp = None
        if cwd is None:
            self._tmp = tempfile.TemporaryDirectory()
            cwd = self._tmp.name
        self.cwd = cwd
        self.proc = subprocess.Popen([BIN, "-p", str(self.port), *args], cwd=cwd,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
        self._out = []
        self._err = []
        self._cond = threading.Condition()
        self._kinds_seen = 0
        self._threads = [threading.Thread(target=self._pump, args=(self.proc.stdout, self._out), daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stderr, self._err), daemon=True)]
        for t in self._threads:
            t.start()
        if wait_ready:
            self.wait_for("waiting for client connection")

    def _pump(self, stream, sink):
        while True:
            chunk = stream.read1(65536) if hasattr(stream, "read1") else stream.read(1)
            if not chunk:
                break
            with self._cond:
                sink.append(chunk.decode("utf-8", "replace"))
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    @property
    def output(self):
        with self._cond:
            return "".join(self._out)

    @property
    def errors(self):
        with self._cond:
            return "".join(self._err)

    def wait_for(self, pattern, timeout=10.0, count=1, stderr=False):
        """Wait until the console (or stderr) holds `count` matches of `pattern`.

        The two streams arrive through separate pipes, so a line on one says
        nothing about how far the other has been read."""
        rx = re.compile(pattern) if isinstance(pattern, str) else pattern
        deadline = time.monotonic() + timeout * SLOW
        with self._cond:
            while True:
                text = "".join(self._err if stderr else self._out)
                found = rx.findall(text)
                if len(found) >= count:
                    return found
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not any(t.is_alive() for t in self._threads)):
                    raise AssertionError("timed out waiting for %r x%d; console:\n%s\nstderr:\n%s"
                                         % (rx.pattern, count, text[-4000:], "".join(self._err)[-2000:]))
                self._cond.wait(min(left, 0.2))

    def kinds(self):
        return KIND_RE.findall(self.output)

    def connect(self, expect_kind="RAW", timeout=10.0):
        """Connect a silent plain client and wait until the hub reports it ready."""
        before = len(self.kinds())
        s = socket.create_connection((HOST, self.port), timeout=timeout * SLOW)
        if expect_kind is not None:
            port = s.getsockname()[1]
            self.wait_for(r"SYN from 127\.0\.0\.1:%d " % port, timeout=timeout)
            try:
                self.wait_for(KIND_RE, timeout=2.0, count=before + 1)
            except AssertionError:
                # The kind completes the SYN line only when no other connection
                # arrived or left meanwhile; a silent client is ready once the
                # detection and handshake windows (0.5 s each) have passed.
                time.sleep(0.2 * SLOW)
            time.sleep(0.05)  # the kind is printed just before the slot turns ready
        return s

    # Start-up report of a hub run without a TLS identity on purpose.
    IDENTITY_REPORT = "!! no usable TLS identity ("

    def faults(self):
        """The console's fault lines ("!!"), but for the start-up identity report."""
        return [l for l in self.output.splitlines()
                if "!!" in l and not l.startswith(self.IDENTITY_REPORT)]

    def active(self):
        m = re.findall(r"active (\d\d)/\d\d", self.output)
        return int(m[-1]) if m else None

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        for t in self._threads:
            t.join(timeout=5)
        for s in (self.proc.stdout, self.proc.stderr):
            try:
                s.close()
            except OSError:
                pass
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None

    SANITIZER_MARKS = ("ERROR: AddressSanitizer", "WARNING: ThreadSanitizer", "runtime error:",
                       "ERROR: LeakSanitizer")

    def sanitizer_reports(self):
        err = self.errors
        return [m for m in self.SANITIZER_MARKS if m in err]

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *exc):
        self.stop()
        # An instrumented hub reports races and memory errors on stderr.
        if exc_type is None:
            found = self.sanitizer_reports()
            if found:
                raise AssertionError("sanitizer report from the hub: %s\n%s" % (found, self.errors[-6000:]))


def recv_exact(sock, n, timeout=10.0):
    """Read exactly n bytes or fail after `timeout` seconds."""
    deadline = time.monotonic() + timeout * SLOW
    buf = bytearray()
    while len(buf) < n:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("timed out after %d of %d bytes" % (len(buf), n))
        sock.settimeout(left)
        chunk = sock.recv(min(n - len(buf), 1 << 20))
        if not chunk:
            raise AssertionError("connection closed after %d of %d bytes" % (len(buf), n))
        buf += chunk
    return bytes(buf)


def expect_silence(sock, wait=0.3):
    """Assert that nothing arrives on sock within `wait` seconds."""
    sock.settimeout(wait * SLOW)
    try:
        data = sock.recv(65536)
    except socket.timeout:
        return
    raise AssertionError("unexpected data: %r" % data[:100])


def run_tool(args, timeout=30, **kw):
    return subprocess.run(args, capture_output=True, timeout=timeout * SLOW, **kw)


# ---------------------------------------------------------------------------
# hand-made RFC 6455 client over a plain socket: every byte on the wire is
# chosen by the test, so segmentation and malformed frames are exact.

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
OP_CONT, OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0, 1, 2, 8, 9, 10


def accept_value(key):
    return base64.b64encode(hashlib.sha1(key.encode() + GUID).digest()).decode()


def client_frame(opcode, payload, fin=True, key=None, rsv=0, mask=True):
    """A client frame, masked unless `mask` is false; `rsv` is the three RSV
    bits as a number 0-7 (RSV1 is 4)."""
    n = len(payload)
    head = bytes([(0x80 if fin else 0) | (rsv & 7) << 4 | (opcode & 0x0F)])
    bit = 0x80 if mask else 0
    if n <= 125:
        head += bytes([bit | n])
    elif n <= 0xFFFF:
        head += bytes([bit | 126]) + struct.pack(">H", n)
    else:
        head += bytes([bit | 127]) + struct.pack(">Q", n)
    if not mask:
        return head + bytes(payload)
    key = os.urandom(4) if key is None else key
    # Whole-word XOR: a 128 KiB payload masks in microseconds, not seconds.
    reps = key * (n // 4 + 1)
    masked = (int.from_bytes(payload, "big") ^ int.from_bytes(reps[:n], "big")).to_bytes(n, "big") if n else b""
    return head + key + masked


class Stream:
    """A socket with a read-ahead buffer; every read is bounded."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def fill(self, n, timeout):
        deadline = time.monotonic() + timeout * SLOW
        while len(self.buf) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out with %r" % bytes(self.buf[:100]))
            self.sock.settimeout(left)
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise AssertionError("connection closed with %r" % bytes(self.buf[:100]))
            self.buf += chunk

    def take(self, n, timeout=10):
        self.fill(n, timeout)
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out

    def until(self, marker, timeout=10, limit=4096):
        deadline = time.monotonic() + timeout * SLOW
        while marker not in self.buf:
            if len(self.buf) > limit:
                raise AssertionError("no %r in %r" % (marker, bytes(self.buf[:200])))
            self.fill(len(self.buf) + 1, max(deadline - time.monotonic(), 0.001))
        i = self.buf.index(marker) + len(marker)
        out = bytes(self.buf[:i])
        del self.buf[:i]
        return out

    def expect_silence(self, wait=0.3):
        if self.buf:
            raise AssertionError("unexpected data: %r" % bytes(self.buf[:100]))
        expect_silence(self.sock, wait)

    def expect_closed(self, timeout=5):
        """The hub ends the connection: end of stream (or a reset), no data."""
        if self.buf:
            raise AssertionError("unexpected data: %r" % bytes(self.buf[:100]))
        self.sock.settimeout(timeout * SLOW)
        try:
            data = self.sock.recv(65536)
        except ConnectionResetError:
            return
        except socket.timeout:
            raise AssertionError("connection still open")
        if data:
            raise AssertionError("unexpected data: %r" % data[:100])

    def recv_frame(self, timeout=10):
        """(first byte, payload) of one server frame, which must be unmasked."""
        b0, b1 = self.take(2, timeout)
        if b1 & 0x80:
            raise AssertionError("server frame is masked")
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack(">H", self.take(2, timeout))[0]
        elif n == 127:
            n = struct.unpack(">Q", self.take(8, timeout))[0]
        return b0, self.take(n, timeout)

    def expect_close(self, code, timeout=10):
        """The hub's close frame with `code`, then the end of the stream."""
        b0, payload = self.recv_frame(timeout)
        if b0 != 0x88 or struct.unpack(">H", payload[:2])[0] != code:
            raise AssertionError("expected close %d, got %#x %r" % (code, b0, payload[:20]))
        self.expect_closed(timeout)


def ws_request(port, key, extra="", version=13, names=None):
    """An RFC 6455 upgrade request; `names` maps the canonical header names to
    the spelling to send (lower case, Go's canonical form, ...)."""
    names = names or {}
    lines = ["GET /chat HTTP/1.1", "Host: %s:%d" % (HOST, port), "Upgrade: websocket",
             "Connection: Upgrade"]
    if key is not None:
        lines.append("Sec-WebSocket-Key: " + key)
    if version is not None:
        lines.append("Sec-WebSocket-Version: %s" % version)
    out = []
    for line in lines[1:]:
        name, value = line.split(": ", 1)
        out.append("%s: %s" % (names.get(name, name), value))
    return ("\r\n".join([lines[0]] + out) + "\r\n" + extra + "\r\n").encode()


class RawWS(Stream):
    """RFC 6455 client written by hand, to control segmentation exactly."""

    def __init__(self, hub, wait_ready=True, request=None):
        before = len(hub.kinds())
        sock = socket.create_connection((HOST, hub.port), timeout=10 * SLOW)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().__init__(sock)
        key = base64.b64encode(os.urandom(16)).decode()
        sock.sendall(request or ws_request(hub.port, key))
        self.response = self.until(b"\r\n\r\n").decode("latin-1")
        self.expected_accept = accept_value(key)
        if wait_ready:
            hub.wait_for(KIND_RE, count=before + 1)
            time.sleep(0.05)

    def send_frame(self, opcode, payload, fin=True):
        self.sock.sendall(client_frame(opcode, payload, fin))


# ---------------------------------------------------------------------------
# helper processes (Node clients, the browser driver) that read one JSON
# command per line and print one JSON object per line

class JsonLines:
    def __init__(self, args, cwd=None):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, cwd=cwd)
        self.lines = queue.Queue()
        self.err = []
        self.threads = [threading.Thread(target=self._pump, args=(stream, sink, last), daemon=True)
                        for stream, sink, last in ((self.proc.stdout, self.lines.put, True),
                                                   (self.proc.stderr, self.err.append, False))]
        for t in self.threads:
            t.start()

    @staticmethod
    def _pump(stream, sink, mark_end):
        for line in iter(stream.readline, b""):
            sink(line.decode("utf-8", "replace"))
        if mark_end:
            sink(None)  # the process has ended: get() stops waiting

    def put(self, **cmd):
        self.proc.stdin.write((json.dumps(cmd) + "\n").encode())
        self.proc.stdin.flush()

    def get(self, timeout=15.0):
        """The next object; AssertionError when none comes in time or the
        process ended."""
        try:
            line = self.lines.get(timeout=timeout * SLOW)
        except queue.Empty:
            line = None
        if line is None:
            raise AssertionError("no line from %s; stderr:\n%s"
                                 % (self.proc.args[1:3], "".join(self.err)[-3000:]))
        return json.loads(line)

    def until(self, want, timeout=15.0):
        """Objects up to the first for which want(obj) holds: (obj, before)."""
        deadline = time.monotonic() + timeout * SLOW
        before = []
        while True:
            obj = self.get(max(deadline - time.monotonic(), 0.001) / SLOW)
            if want(obj):
                return obj, before
            before.append(obj)

    def close(self, timeout=15.0):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=timeout * SLOW)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)
        for t in self.threads:
            t.join(timeout=5)
        for s in (self.proc.stdout, self.proc.stderr):
            s.close()
