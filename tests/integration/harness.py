"""Helpers for the integration tests: start the real relayhub binary on a free
loopback port, watch its console, and talk to it with plain sockets.

Every wait is bounded; only the processes started here are ever killed."""

import base64
import hashlib
import json
import os
import queue
import random
import re
import signal
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import zlib

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


class Watched:
    """A process started here whose stdout and stderr are collected as they
    come, so that tests can wait for its console lines."""

    def _start(self, argv, cwd=None, ready=None, env=None):
        """Start argv with env added to this environment; then ready(), if
        given. A process that does not get ready is killed before the failure
        is passed on: no caller holds it.

        NOTIFY_SOCKET is passed on only when env names it, so that a test run
        under a service manager does not tell that manager the hub is ready."""
        full = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
        full.update(env or {})
        self.proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, env=full)
        self._out = []
        self._err = []
        self._cond = threading.Condition()
        self._threads = [threading.Thread(target=self._pump, args=(self.proc.stdout, self._out), daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stderr, self._err), daemon=True)]
        for t in self._threads:
            t.start()
        if ready is not None:
            try:
                ready()
            except BaseException:
                self._end(signal.SIGKILL)
                raise

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

    def _end(self, sig):
        """Send sig (unless the process has ended) and collect what is left;
        returns the exit status, or None when it did not end in time."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.proc.wait(timeout=10 * SLOW)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)
            status = None
        else:
            status = self.proc.returncode
        for t in self._threads:
            t.join(timeout=5)
        for s in (self.proc.stdout, self.proc.stderr):
            try:
                s.close()
            except OSError:
                pass
        return status

    SANITIZER_MARKS = ("ERROR: AddressSanitizer", "WARNING: ThreadSanitizer", "runtime error:",
                       "ERROR: LeakSanitizer")

    def sanitizer_reports(self):
        err = self.errors
        return [m for m in self.SANITIZER_MARKS if m in err]

    def rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS for pid %d" % self.proc.pid)


class Hub(Watched):
    """One relayhub process on a free loopback port."""

    def __init__(self, *args, cwd=None, port=None, wait_ready=True, env=None, binary=None):
        self.port = port if port is not None else free_port()
        self._tmp = None
        if cwd is None:
            self._tmp = tempfile.TemporaryDirectory()
            cwd = self._tmp.name
        self.cwd = cwd
        self._kinds_seen = 0
        try:
            self._start([binary or BIN, "-p", str(self.port), *args], cwd=cwd, env=env,
                        ready=(lambda: self.wait_for("waiting for client connection")) if wait_ready else None)
        except BaseException:
            if self._tmp is not None:
                self._tmp.cleanup()
            raise

    def kinds(self):
        return KIND_RE.findall(self.output)

    def connect(self, expect_kind="RAW", timeout=10.0):
        """Connect a silent plain client and wait until the hub reports it ready."""
        before = len(self.kinds())
        s = socket.create_connection((HOST, self.port), timeout=timeout * SLOW)
        if expect_kind is not None:
            port = s.getsockname()[1]
            self.wait_for(r"SYN from 127\.0\.0\.1:%d " % port, timeout=timeout)
            self.wait_member(before)
        return s

    def wait_member(self, kinds_before):
        """Wait until the connection that arrived after `kinds_before` kind
        lines is a member. The kind completes the SYN line only when no other
        connection arrived or left meanwhile; without it, the set-up's windows
        (0.5 s each) bound the wait."""
        try:
            self.wait_for(KIND_RE, timeout=2.0, count=kinds_before + 1)
        except AssertionError:
            time.sleep(0.2 * SLOW)
        time.sleep(0.05)  # the kind is printed just before the slot turns ready

    # Start-up report of a hub run without a TLS identity on purpose.
    IDENTITY_REPORT = "!! no usable TLS identity ("

    def faults(self):
        """The console's fault lines ("!!"), but for the start-up identity report."""
        return [l for l in self.output.splitlines()
                if "!!" in l and not l.startswith(self.IDENTITY_REPORT)]

    def active(self):
        """Connections open now: each prints one SYN line when it comes and
        one .fin line when it goes. (The count printed last is no measure:
        slots that end together may print their counts out of order.)"""
        out = self.output
        return len(re.findall(r":: SYN from ", out)) - len(re.findall(r":: server_\d\d\.fin ", out))

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def stop(self):
        self._end(signal.SIGKILL)
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None

    def terminate(self, sig=signal.SIGTERM, timeout=10.0):
        """Sends sig and waits for the hub to exit on its own: (exit status,
        seconds it took). Fails when it does not exit within `timeout`."""
        start = time.monotonic()
        self.proc.send_signal(sig)
        try:
            status = self.proc.wait(timeout=timeout * SLOW)
        except subprocess.TimeoutExpired:
            raise AssertionError("the hub did not exit within %.1f s of signal %d" % (timeout * SLOW, sig))
        secs = time.monotonic() - start
        for t in self._threads:
            t.join(timeout=5)
        return status, secs

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

    def __init__(self, hub, wait_ready=True, request=None, tls=False):
        before = len(hub.kinds())
        sock = socket.create_connection((HOST, hub.port), timeout=10 * SLOW)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if tls:  # WSS; the hub's certificate is not checked here
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            sock = ctx.wrap_socket(sock, server_hostname="localhost")
        super().__init__(sock)
        key = base64.b64encode(os.urandom(16)).decode()
        sock.sendall(request or ws_request(hub.port, key))
        self.response = self.until(b"\r\n\r\n").decode("latin-1")
        self.expected_accept = accept_value(key)
        if wait_ready:
            hub.wait_member(before)

    def send_frame(self, opcode, payload, fin=True):
        self.sock.sendall(client_frame(opcode, payload, fin))


# ---------------------------------------------------------------------------
# a client of the older Key1/Key2 protocol (hixie-76), written after that
# protocol's own client: it sends the request that client sends and checks
# the answer as that client does, failing on the first difference.

OLD_CLOSE = b"\xff\x00"  # the closing handshake
# The protocol's worked example: keys, the 8 key bytes and the answer.
OLD_EXAMPLE_KEYS = ("4 @1  46546xW%0l 1 5", "12998 5 Y3 1  .P00", b"^n:ds[4U")
OLD_EXAMPLE_ANSWER = b"8jKS'y:G*Co,Wxa-"


def old_key_number(value):
    digits = "".join(c for c in value if c.isdigit())
    return int(digits) // value.count(" ")


def old_challenge_answer(key1, key2, key3):
    return hashlib.md5(struct.pack(">II", old_key_number(key1), old_key_number(key2)) + key3).digest()


def make_old_key(rng):
    """A Key1/Key2 value as the client makes one: a number times a blank
    count, other characters and the blanks mixed in."""
    spaces = rng.randint(1, 12)
    number = rng.randint(0, 0xFFFFFFFF // spaces)
    chars = list(str(number * spaces))
    for _ in range(rng.randint(1, 12)):
        chars.insert(rng.randint(0, len(chars)), rng.choice("!\"#$%&'()*+,-./:;<=>?@ABCxyz~"))
    for _ in range(spaces):
        chars.insert(rng.randint(1, len(chars) - 1), " ")
    return "".join(chars)


def old_request(host, path, key1, key2, origin="http://example.com", protocol=None):
    """The request head, in the worked example's order; the 8 key bytes
    follow it. host and origin go in as they are given."""
    return ("GET %s HTTP/1.1\r\nHost: %s\r\nConnection: Upgrade\r\nSec-WebSocket-Key2: %s\r\n%s"
            "Upgrade: WebSocket\r\nSec-WebSocket-Key1: %s\r\nOrigin: %s\r\n\r\n"
            % (path, host, key2, "" if protocol is None else "Sec-WebSocket-Protocol: %s\r\n" % protocol,
               key1, origin)).encode()


def check_old_answer(head, answer, url, origin, protocol, expected):
    """The client's checks of the answer: status 101; exactly one each of
    Upgrade "WebSocket", Connection "Upgrade", Sec-WebSocket-Origin equal to
    the origin sent and Sec-WebSocket-Location equal to the URL opened; when
    a protocol was asked for, exactly one Sec-WebSocket-Protocol equal to it
    (otherwise that field is not looked at); no field without a name; then
    the 16 bytes of the challenge's answer. head: the answer up to its empty
    line. Raises AssertionError naming the first difference."""
    status, _, rest = head.partition("\r\n")
    code = status.split(" ")[1] if status.count(" ") >= 2 else ""
    if code != "101":
        raise AssertionError("status %r" % status)
    fields = {}
    for line in rest[:-4].split("\r\n") if rest.endswith("\r\n\r\n") else [None]:
        if line is None or ":" not in line:
            raise AssertionError("not a field: %r" % line)
        name, _, value = line.partition(":")
        if not name:
            raise AssertionError("a field without a name: %r" % line)
        fields.setdefault(name.lower(), []).append(value[1:] if value.startswith(" ") else value)
    want = {"upgrade": "WebSocket", "connection": "Upgrade", "sec-websocket-origin": origin,
            "sec-websocket-location": url}
    if protocol is not None:
        want["sec-websocket-protocol"] = protocol
    for name, value in want.items():
        if fields.get(name) != [value]:
            raise AssertionError("%s: %r, expected %r" % (name, fields.get(name), value))
    if answer != expected:
        raise AssertionError("challenge answer %r, expected %r" % (answer, expected))


class OldWS(Stream):
    """A Key1/Key2 client. The request goes out in pieces of `chop` bytes
    (0: whole), its 8 key bytes `key_later` seconds after the head; the
    answer is checked with check_old_answer unless check is false."""

    def __init__(self, hub, path="/", protocol=None, tls=False, host=None, origin="http://example.com",
                 keys=None, key_later=0.0, chop=0, check=True, wait_ready=True):
        before = len(hub.kinds())
        sock = socket.create_connection((HOST, hub.port), timeout=10 * SLOW)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if tls:  # the hub's certificate is not checked here
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            sock = ctx.wrap_socket(sock, server_hostname="localhost")
        super().__init__(sock)
        self.host = host or "%s:%d" % (HOST, hub.port)
        # The URL as the client forms it: the port is in the Host value.
        self.url = "%s://%s%s" % ("wss" if tls else "ws", self.host.lower(), path)
        rng = random.Random()
        key1, key2, key3 = keys or (make_old_key(rng), make_old_key(rng), os.urandom(8))
        self.expected = old_challenge_answer(key1, key2, key3)
        head = old_request(self.host, path, key1, key2, origin, protocol)
        if key_later == 0:
            head, key3 = head + key3, b""
        for i in range(0, len(head), chop or len(head)):
            sock.sendall(head[i:i + (chop or len(head))])
            if chop:
                time.sleep(0.002)
        if key3:
            time.sleep(key_later)
            sock.sendall(key3)
        self.head = self.until(b"\r\n\r\n").decode("latin-1")
        self.answer = self.take(16) if self.head.startswith("HTTP/1.1 101 ") else b""
        if check:
            check_old_answer(self.head, self.answer, self.url, origin, protocol, self.expected)
        if wait_ready:
            hub.wait_member(before)

    def send_msg(self, payload):
        self.sock.sendall(b"\x00" + payload + b"\xff")

    def _more(self, deadline):
        """Reads what has come; False at the end of the stream."""
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("nothing more within the time")
        self.sock.settimeout(left)
        try:
            chunk = self.sock.recv(1 << 20)
        except ConnectionResetError:
            return False
        if not chunk:
            return False
        self.buf += chunk
        return True

    def next_frame(self, timeout=10):
        """The next frame from the hub: a message's payload, OLD_CLOSE for
        the closing handshake, or None at the end of the stream.
        AssertionError for bytes that are no frame; TimeoutError."""
        deadline = time.monotonic() + timeout * SLOW
        while True:
            b = self.buf
            if b and b[0] == 0x00:
                i = b.find(b"\xff", 1)
                if i > 0:
                    out = bytes(b[1:i])
                    del b[:i + 1]
                    return out
            elif b and b[0] == 0xFF and len(b) >= 2:
                if b[1] != 0x00:
                    raise AssertionError("0xFF followed by %#x" % b[1])
                del b[:2]
                return OLD_CLOSE
            elif b and b[0] != 0xFF:
                raise AssertionError("a frame starts with %#x" % b[0])
            if not self._more(deadline):
                if self.buf:
                    raise AssertionError("the stream ended inside a frame: %r" % bytes(self.buf[:40]))
                return None

    def recv_msg(self, timeout=10):
        f = self.next_frame(timeout)
        if f is None or f is OLD_CLOSE:
            raise AssertionError("expected a message, got %s" % ("the end" if f is None else "the close"))
        return f

    def expect_close_handshake(self, timeout=10):
        """The hub's 0xFF 0x00, then the end of the stream."""
        f = self.next_frame(timeout)
        if f is not OLD_CLOSE:
            raise AssertionError("expected 0xFF 0x00, got %r" % (f,))
        f = self.next_frame(timeout)
        if f is not None:
            raise AssertionError("after the close: %r" % (f,))


# ---------------------------------------------------------------------------
# Redis and relayhub-bridge, for hubs joined through a pub/sub channel.

BRIDGE_BIN = os.environ.get("RELAYHUB_BRIDGE_BIN", "relayhub-bridge")
if os.sep in BRIDGE_BIN:
    BRIDGE_BIN = os.path.abspath(BRIDGE_BIN)
REDIS_BIN = "/usr/bin/redis-server"


class Redis(Watched):
    """One redis-server on a loopback port, stopped by its own pid; start()
    again brings it back on the same port. It stores nothing unless given a
    directory (`persist`: an append-only file there, kept across restarts).
    `tls` (cert, key) serves TLS only; `users` are ACL lines."""

    def __init__(self, port=None, password=None, persist=None, tls=None, users=()):
        self.port = port if port is not None else free_port()
        self.password = password
        self.persist = persist
        self.tls = tls
        self.users = users
        self.start()

    def start(self):
        args = [REDIS_BIN, "--bind", HOST, "--daemonize", "no", "--logfile", ""]
        if self.persist:
            args += ["--dir", self.persist, "--save", "", "--appendonly", "yes"]
        else:
            args += ["--save", "", "--appendonly", "no"]
        if self.tls:
            args += ["--port", "0", "--tls-port", str(self.port), "--tls-cert-file", self.tls[0],
                     "--tls-key-file", self.tls[1], "--tls-ca-cert-file", self.tls[0], "--tls-auth-clients", "no"]
        else:
            args += ["--port", str(self.port)]
        if self.password is not None:
            args += ["--requirepass", self.password]
        for line in self.users:
            args += ["--user"] + line.split()
        self._start(args, ready=lambda: self.wait_for("Ready to accept connections"))

    def stop(self):
        return self._end(signal.SIGTERM)

    def kill(self):
        return self._end(signal.SIGKILL)

    def command(self, *args):
        """One command on a fresh connection; returns the reply's first line."""
        parts = [a if isinstance(a, bytes) else str(a).encode() for a in args]
        out = b"*%d\r\n" % len(parts) + b"".join(b"$%d\r\n%s\r\n" % (len(p), p) for p in parts)
        with Stream(socket.create_connection((HOST, self.port), timeout=10 * SLOW)) as s:
            if self.password is not None:
                s.sock.sendall(b"*2\r\n$4\r\nAUTH\r\n$%d\r\n%s\r\n" % (len(self.password), self.password.encode()))
                s.until(b"\r\n")
            s.sock.sendall(out)
            return s.until(b"\r\n").rstrip(b"\r\n")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Proxy:
    """A TCP relay on a free loopback port to `port`, whose connections can be
    cut: cut(seconds) ends every connection and, for that long, closes new
    ones at once. Threads are daemons; close() ends everything."""

    def __init__(self, port):
        self.target = port
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.conns = []
        self.refuse_until = 0.0
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.closed:
            try:
                c, _ = self.listener.accept()
            except OSError:
                return
            if time.monotonic() < self.refuse_until:
                c.close()
                continue
            try:
                u = socket.create_connection((HOST, self.target), timeout=5)
            except OSError:
                c.close()
                continue
            with self.lock:
                self.conns += [c, u]
            for a, b in ((c, u), (u, c)):
                threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    @staticmethod
    def _pump(a, b):
        try:
            while True:
                data = a.recv(65536)
                if not data:
                    break
                b.sendall(data)
        except OSError:
            pass
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self, seconds):
        self.refuse_until = time.monotonic() + seconds
        with self.lock:
            conns, self.conns = self.conns, []
        for s in conns:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def close(self):
        self.closed = True
        self.cut(0)
        self.listener.close()


COUNTER_NAMES = ("from hub", "to redis", "from redis", "to hub", "redis down", "buffer full", "hub down",
                 "too large", "rejected", "missed", "duplicates")
# The Redis links' names on the console: (reader, writer), by transport.
READER_RE = r"(?:subscribe|read)"
WRITER_RE = r"(?:publish|append)"
COUNTER_RE = re.compile(r":: counters  (.*)\n")


def parse_counters(line):
    return {name: int(re.search(re.escape(name) + r" (\d+)", line).group(1)) for name in COUNTER_NAMES}


class Bridge(Watched):
    """relayhub-bridge between a hub and a Redis, counters every second."""

    def __init__(self, hub, redis, *args, wait_up=True, env=None):
        self.hub = hub
        self.stopped = False
        before = len(hub.kinds())
        self._start([BRIDGE_BIN, "--hub", "%s:%d" % (HOST, hub.port), "--redis", "%s:%d" % (HOST, redis.port),
                     "--stats", "1", *args], env=env, ready=(lambda: self.wait_up(before)) if wait_up else None)

    def wait_up(self, kinds_before=None, count=1, timeout=10.0):
        """Until the bridge is a ready WebSocket member of its hub and
        subscribed (the `count`-th time it says so)."""
        self.wait_for(r":: redis \S+ up \(%s " % READER_RE, count=count, timeout=timeout)
        self.wait_for(r":: redis \S+ up \(%s " % WRITER_RE, count=count, timeout=timeout)
        self.wait_for(r":: hub \S+ up ", count=count, timeout=timeout)
        if kinds_before is not None:
            self.hub.wait_for(KIND_RE, count=kinds_before + 1)
        time.sleep(0.05)  # the kind is printed just before the slot turns ready

    def counters(self):
        lines = COUNTER_RE.findall(self.output)
        return parse_counters(lines[-1]) if lines else dict.fromkeys(COUNTER_NAMES, 0)

    def wait_until(self, check, timeout=10.0):
        """Until check(counters printed last) holds; returns those counters."""
        deadline = time.monotonic() + timeout * SLOW
        while True:
            c = self.counters()
            if check(c):
                return c
            if time.monotonic() > deadline:
                raise AssertionError("counters %r" % c)
            # Lines come only when a counter changed.
            self.wait_for(COUNTER_RE, count=len(COUNTER_RE.findall(self.output)) + 1,
                          timeout=max(deadline - time.monotonic(), 0.1) / SLOW)

    def wait_counters(self, timeout=10.0, **want):
        """Until the counters hold the values given (underscores for blanks:
        redis_down=3); returns all of them."""
        want = {k.replace("_", " "): v for k, v in want.items()}
        try:
            return self.wait_until(lambda c: all(c[k] == v for k, v in want.items()), timeout)
        except AssertionError as e:
            raise AssertionError("%s, want %r" % (e, want)) from None

    def stop(self, sig=signal.SIGTERM):
        """SIGTERM (or sig); the bridge must end by itself with status 0,
        its counters and ":: stopped" last. Returns those counters."""
        self.stopped = True
        status = self._end(sig)
        if status != 0 or not self.output.endswith(":: stopped\n") or not COUNTER_RE.search(self.output):
            raise AssertionError("bridge ended with %r:\n%s\n%s" % (status, self.output[-3000:],
                                                                      self.errors[-3000:]))
        return self.counters()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *exc):
        if self.proc.poll() is not None and not self.stopped and exc_type is None:
            raise AssertionError("bridge exited by itself:\n%s" % self.output[-3000:])
        if not self.stopped:
            self.stop()
        found = self.sanitizer_reports()
        if found and exc_type is None:
            raise AssertionError("sanitizer report from the bridge: %s\n%s" % (found, self.errors[-6000:]))


# ---------------------------------------------------------------------------
# TLS clients

def client_context(cafile=None, version=None):
    """TLS client context: verifies against `cafile` (the hub's self-signed
    certificate), or verifies nothing when no file is given."""
    import ssl
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    if cafile:
        ctx.load_verify_locations(cafile)
    else:
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    if version is not None:
        ctx.minimum_version = version
        ctx.maximum_version = version
    return ctx


# ---------------------------------------------------------------------------
# Integrity of relayed messages. Each message carries its sender, a sequence
# number and a CRC, so a receiver whose byte stream also holds other
# clients' bytes (between whole reads of each sender) still finds every
# message and tells lost, duplicated, reordered and corrupted ones apart.
# Bytes the tests inject never contain the marker.


MSG_MAGIC = b"\xa5\x5aHB"
MSG_HEAD = struct.Struct(">4sHIH")  # marker, sender, sequence, payload length
MSG_CRC = struct.Struct(">I")       # CRC-32 of sender .. payload
MSG_OVERHEAD = MSG_HEAD.size + MSG_CRC.size


def make_msg(sender, seq, payload):
    head = MSG_HEAD.pack(MSG_MAGIC, sender, seq, len(payload))
    return head + payload + MSG_CRC.pack(zlib.crc32(head[4:] + payload))


def foreign_bytes(n):
    """Random bytes that can never hold the message marker (all below 0x80)."""
    return os.urandom(n).translate(bytes(range(128)) * 2)


class MsgCheck:
    """Receiver side: feed() the bytes (or frames) as they arrive. Messages
    of each sender must come with sequence numbers 0, 1, 2, ... and intact;
    anything else lands in `faults`. Not thread-safe: one feeder."""

    def __init__(self, name, keep_foreign=False, late=False):
        self.name = name
        self.keep_foreign = keep_foreign
        self.late = late  # joined while senders were running: any first seq
        self.foreign_data = bytearray()  # the other bytes, when kept
        self.buf = bytearray()
        self.last = {}      # sender -> last sequence number seen
        self.count = 0      # intact messages
        self.bytes = 0      # their bytes, marker to CRC
        self.foreign = 0    # bytes of other clients between the messages
        self.faults = []

    def feed(self, data):
        self.buf += data
        buf = self.buf
        while True:
            i = buf.find(MSG_MAGIC)
            if i < 0:
                # Keep what could be the start of a split marker.
                n = len(buf) - (len(MSG_MAGIC) - 1)
                if n > 0:
                    self._other(n)
                return
            if i:
                self._other(i)
            if len(buf) < MSG_HEAD.size:
                return
            _, sender, seq, n = MSG_HEAD.unpack_from(buf)
            total = MSG_OVERHEAD + n
            if len(buf) < total:
                return
            (crc,) = MSG_CRC.unpack_from(buf, MSG_HEAD.size + n)
            if zlib.crc32(memoryview(buf)[4:MSG_HEAD.size + n]) != crc:
                self.faults.append("%s: corrupted message (sender %d, seq %d?)" % (self.name, sender, seq))
                del buf[:1]  # find the next marker
                continue
            del buf[:total]
            expect = self.last.get(sender, -1) + 1
            if self.late and sender not in self.last:
                expect = seq
            if seq != expect:
                what = "lost %d message(s) before" % (seq - expect) if seq > expect else "duplicated or reordered"
                self.faults.append("%s: sender %d seq %d: %s (expected %d)" % (self.name, sender, seq, what, expect))
            self.last[sender] = max(seq, self.last.get(sender, -1))
            self.count += 1
            self.bytes += total

    def _other(self, n):
        self.foreign += n
        if self.keep_foreign:
            self.foreign_data += self.buf[:n]
        del self.buf[:n]


class HealthyPair:
    """A RAW and a WS client that keep exchanging checked messages through
    the hub in the background, each direction in lock-step (the next message
    leaves once the previous one has arrived), so that one hub read never
    holds part of a message. Any loss, corruption, stall or close is
    recorded in `faults`; `progress()` tells how far both directions got."""

    RAW_ID, WS_ID = 1, 2

    def __init__(self, hub, max_payload=400, pace=0.004, stall=15.0):
        self.hub = hub
        self.max_payload = max_payload
        self.pace = pace
        self.stall = stall * SLOW
        self.faults = []
        self.stopping = threading.Event()
        self.cond = threading.Condition()
        before = len(hub.kinds())
        # A plain client that sends at once is classified without waiting
        # for the detection window; the byte goes to nobody.
        self.raw = socket.create_connection((HOST, hub.port), timeout=10 * SLOW)
        self.raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.raw.sendall(b"\n")
        hub.wait_for(KIND_RE, count=before + 1)
        self.ws = RawWS(hub)
        self.raw_check = MsgCheck("RAW")   # what the RAW client receives
        self.ws_check = MsgCheck("WS")     # what the WS client receives
        self.sent = {self.RAW_ID: -1, self.WS_ID: -1}
        self.threads = [threading.Thread(target=self._guard, args=(f,), daemon=True)
                        for f in (self._raw_reader, self._ws_reader, self._raw_sender, self._ws_sender)]
        for t in self.threads:
            t.start()

    def _guard(self, body):
        try:
            body()
        except Exception as e:  # recorded, and the test fails on it
            if not self.stopping.is_set():
                self._fault("%s: %r" % (body.__name__, e))

    def _fault(self, text):
        with self.cond:
            self.faults.append(text)
            self.cond.notify_all()

    def _raw_reader(self):
        self.raw.settimeout(None)
        while True:
            data = self.raw.recv(1 << 16)
            if not data:
                raise AssertionError("the hub closed the RAW client")
            with self.cond:
                self.raw_check.feed(data)
                self.cond.notify_all()

    def _ws_reader(self):
        self.ws.sock.settimeout(None)
        while True:
            b0, payload = self.ws.recv_frame(timeout=10 ** 6)
            if b0 & 0x0F == OP_CLOSE:
                raise AssertionError("the hub closed the WS client: %r" % payload[:2])
            if b0 & 0x0F not in (OP_TEXT, OP_BINARY) or not b0 & 0x80:
                raise AssertionError("WS client got frame %#x" % b0)
            with self.cond:
                self.ws_check.feed(payload)
                self.cond.notify_all()

    def _send_loop(self, sender, check, write):
        seq = 0
        while not self.stopping.is_set():
            n = int.from_bytes(os.urandom(2), "big") % (self.max_payload + 1)
            write(make_msg(sender, seq, os.urandom(n)))
            with self.cond:
                self.sent[sender] = seq
                deadline = time.monotonic() + self.stall
                while check.last.get(sender, -1) < seq and not self.faults:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        raise AssertionError("message %d of sender %d stalled for %.0f s" % (seq, sender, self.stall))
                    self.cond.wait(left)
                if self.faults:
                    return
            seq += 1
            time.sleep(self.pace)

    def _raw_sender(self):
        self._send_loop(self.RAW_ID, self.ws_check, self.raw.sendall)

    def _ws_sender(self):
        self._send_loop(self.WS_ID, self.raw_check, lambda m: self.ws.send_frame(OP_BINARY, m))

    def progress(self):
        """Messages delivered so far: (RAW -> WS, WS -> RAW)."""
        with self.cond:
            return (self.ws_check.last.get(self.RAW_ID, -1) + 1, self.raw_check.last.get(self.WS_ID, -1) + 1)

    def wait_seen(self, sender, seq, timeout=10.0):
        """Wait until both clients have received message `seq` of another
        `sender`."""
        deadline = time.monotonic() + timeout * SLOW
        with self.cond:
            while min(self.raw_check.last.get(sender, -1), self.ws_check.last.get(sender, -1)) < seq:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("message %d of sender %d did not reach both healthy clients" % (seq, sender))
                self.cond.wait(left)

    def all_faults(self):
        with self.cond:
            return self.faults + self.raw_check.faults + self.ws_check.faults

    def wait_progress(self, n=20, timeout=15.0):
        """Wait until both directions have delivered `n` more messages; fail
        on any fault."""
        start = self.progress()
        deadline = time.monotonic() + timeout * SLOW
        with self.cond:
            while True:
                faults = self.faults + self.raw_check.faults + self.ws_check.faults
                if faults:
                    raise AssertionError("healthy clients harmed: %s" % faults[:5])
                got = (self.ws_check.last.get(self.RAW_ID, -1) + 1, self.raw_check.last.get(self.WS_ID, -1) + 1)
                if got[0] >= start[0] + n and got[1] >= start[1] + n:
                    return got
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("healthy clients stalled at %s (from %s)" % (got, start))
                self.cond.wait(min(left, 0.5))

    def stop(self):
        """Stop sending, check that everything sent arrived, close both."""
        self.stopping.set()
        for t in self.threads[2:]:
            t.join(self.stall + 5)
        faults = self.all_faults()
        with self.cond:
            for sender, check in ((self.RAW_ID, self.ws_check), (self.WS_ID, self.raw_check)):
                if check.last.get(sender, -1) < self.sent[sender]:
                    faults.append("sender %d: sent up to %d, arrived up to %d"
                                  % (sender, self.sent[sender], check.last.get(sender, -1)))
        for s in (self.raw, self.ws.sock):
            try:
                s.shutdown(socket.SHUT_RDWR)  # wakes the blocked reader
            except OSError:
                pass
            s.close()
        for t in self.threads[:2]:
            t.join(5)
        return faults


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
