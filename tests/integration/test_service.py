"""The hub and the bridge under a service manager: a clean stop on SIGTERM
and SIGINT, the TLS identity reloaded on SIGHUP, readiness through
NOTIFY_SOCKET (with a Unix datagram socket of this test in systemd's
place), the metrics and health pages, and the service unit as systemd reads
it."""

import hashlib
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

from harness import (BIN, BRIDGE_BIN, HOST, OP_TEXT, SLOW, Bridge, Hub, RawWS, Redis, Stream, client_frame,
                     foreign_bytes, make_cert, recv_exact, run_tool, ws_request)

HERE = os.path.dirname(os.path.abspath(__file__))
DOCS = os.path.join(HERE, "..", "..", "docs")
UNIT = os.path.join(DOCS, "relayhub.service")
HAVE_BRIDGE = "RELAYHUB_BRIDGE_BIN" in os.environ

# The hub gives its sessions 1.4 s of its 2 s and then exits; the bound
# leaves a loaded machine room to schedule it. What it catches is a stop
# that waits for a client, which would run into terminate's 5 s.
STOP_BOUND = 3.0 * SLOW


class NotifySocket:
    """systemd's end of NOTIFY_SOCKET: a bound datagram socket, at a path or
    (abstract) under a name of the abstract namespace."""

    def __init__(self, abstract=False):
        self._dir = None
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if abstract:
            self.name = "@relayhub-test-%d-%s" % (os.getpid(), os.urandom(4).hex())
            self.sock.bind("\0" + self.name[1:])
        else:
            self._dir = tempfile.TemporaryDirectory()
            self.name = os.path.join(self._dir.name, "notify")
            self.sock.bind(self.name)
        self.env = {"NOTIFY_SOCKET": self.name}

    def receive(self, timeout):
        """The next datagram, or None when none came within timeout."""
        self.sock.settimeout(timeout * SLOW)
        try:
            return self.sock.recv(4096)
        except socket.timeout:
            return None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.sock.close()
        if self._dir is not None:
            self._dir.cleanup()


class Readiness(unittest.TestCase):
    def test_hub_says_ready_once_when_it_accepts(self):
        for abstract in (False, True):
            with self.subTest(abstract=abstract), NotifySocket(abstract) as manager, \
                    Hub("-c", "2", wait_ready=False, env=manager.env) as hub:
                self.assertEqual(manager.receive(10), b"READY=1")
                # Ready means listening: a client connects at once and is served.
                with socket.create_connection((HOST, hub.port), timeout=5 * SLOW) as c:
                    hub.wait_for(r"SYN from 127\.0\.0\.1:%d " % c.getsockname()[1])
                self.assertIsNone(manager.receive(0.3))
                self.assertNotIn("NOTIFY_SOCKET", hub.errors)

    def test_hub_runs_on_when_nobody_takes_the_notification(self):
        with tempfile.TemporaryDirectory() as d:
            # A manager that went away leaves its socket file; nobody reads it.
            path = os.path.join(d, "notify")
            dead = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            dead.bind(path)
            dead.close()
            with Hub("-c", "2", env={"NOTIFY_SOCKET": path}) as hub:
                hub.wait_for(r"readiness notification to NOTIFY_SOCKET failed\n\s+\^ERROR: 111, ",
                             stderr=True)
                with socket.create_connection((HOST, hub.port), timeout=5 * SLOW) as c:
                    hub.wait_for(r"SYN from 127\.0\.0\.1:%d " % c.getsockname()[1])

    @unittest.skipUnless(HAVE_BRIDGE, "relayhub-bridge not built")
    def test_bridge_says_ready_once_both_links_are_up_the_first_time(self):
        with NotifySocket() as manager, Hub("-c", "2") as hub, Redis() as redis:
            redis.stop()
            # Pub/sub: its hub link comes up without Redis (toward Streams it
            # waits for its claim on the hub, in Redis).
            bridge = Bridge(hub, redis, "--transport", "pubsub", wait_up=False, env=manager.env)
            try:
                # The hub link alone is not enough.
                bridge.wait_for(r":: hub \S+ up ")
                bridge.wait_for(r"!! redis \S+ unreachable \(publish\)")
                self.assertIsNone(manager.receive(0.5))
                redis.start()
                self.assertEqual(manager.receive(15), b"READY=1")
                bridge.wait_up()
                # Links that come back later say nothing more.
                redis.stop()
                redis.start()
                for role in ("publish", "subscribe"):
                    bridge.wait_for(r":: redis \S+ up \(%s " % role, count=2, timeout=20)
                self.assertIsNone(manager.receive(0.5))
            finally:
                bridge.stop()


class Unit(unittest.TestCase):
    """docs/relayhub.service, which the package installs unchanged."""

    def setUp(self):
        self.analyze = shutil.which("systemd-analyze")
        # Never skipped: scripts/setup.sh installs systemd with the test packages.
        self.assertIsNotNone(self.analyze, "systemd-analyze is missing (Debian package systemd)")
        with open(UNIT) as f:
            self.text = f.read()

    def settings(self):
        """[Service] key -> list of values, in order."""
        out = {}
        section = None
        for line in self.text.splitlines():
            line = line.strip()
            if line.startswith("["):
                section = line
            elif section == "[Service]" and "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                out.setdefault(key, []).append(value)
        return out

    def test_systemd_accepts_it(self):
        with tempfile.TemporaryDirectory() as d:
            # systemd finds "relayhub" in /usr/local/bin or /usr/bin; verify
            # wants it there, so it is pointed at this build's binary.
            self.assertRegex(self.text, r"(?m)^ExecStart=relayhub ")
            unit = os.path.join(d, "relayhub.service")
            with open(unit, "w") as f:
                f.write(re.sub(r"(?m)^ExecStart=relayhub ", "ExecStart=%s " % BIN, self.text))
            # Documentation=man:relayhub(1) must name a page that exists.
            os.makedirs(os.path.join(d, "man", "man1"))
            shutil.copy(os.path.join(DOCS, "relayhub.1"), os.path.join(d, "man", "man1"))
            env = dict(os.environ, MANPATH=os.path.join(d, "man"))
            p = run_tool([self.analyze, "verify", unit], env=env, timeout=60)
            # Unknown keys and values that do not parse are only warnings.
            ours = [l for l in p.stderr.decode().splitlines() if "relayhub" in l]
            self.assertEqual((p.returncode, ours), (0, []), p.stderr.decode())
            # The hardening stays at systemd's "OK" level (exposure below 2.0).
            p = run_tool([self.analyze, "security", "--offline=yes", "--threshold=20", unit],
                         env=env, timeout=60)
            self.assertEqual(p.returncode, 0, p.stdout.decode()[-3000:] + p.stderr.decode())

    def test_what_the_hub_needs_is_left_to_it(self):
        s = self.settings()
        self.assertEqual(s["Type"], ["notify"])
        self.assertEqual(s["Restart"], ["on-failure"])
        self.assertRegex(s["User"][0], r"^\w+$")
        # Where the PEM files are read from.
        self.assertRegex(s["WorkingDirectory"][0], r"^/\S+$")
        self.assertRegex(s["ExecReload"][0], r"^/bin/kill -HUP \$MAINPID$")
        # Binding port 81 as an unprivileged user.
        for key in ("AmbientCapabilities", "CapabilityBoundingSet"):
            self.assertEqual(s[key], ["CAP_NET_BIND_SERVICE"], key)
        for key in ("PrivateNetwork", "PrivateUsers"):
            self.assertNotIn(key, s)
        # IPv4 for clients, AF_UNIX for READY=1.
        families = " ".join(s["RestrictAddressFamilies"]).split()
        self.assertIn("AF_INET", families)
        self.assertIn("AF_UNIX", families)
        # The system calls the hub makes (strace of a session with every kind
        # of client) pass the filter: mlock for the arena, the scheduling
        # policy of its threads, and a datagram for READY=1 among them.
        allowed = self.syscalls([v for v in s["SystemCallFilter"] if not v.startswith("~")])
        denied = self.syscalls([v[1:] for v in s["SystemCallFilter"] if v.startswith("~")])
        used = ("accept access arch_prctl bind brk clone3 close execve futex getpid getrandom listen lseek "
                "mlock munlock mmap mprotect munmap newfstatat openat pread64 prlimit64 read recvfrom rseq "
                "rt_sigaction rt_sigprocmask sched_setaffinity sched_setscheduler sendto set_robust_list "
                "set_tid_address setsockopt shutdown socket sysinfo write "
                # the stop and reload watch, bounded waits and socket errors
                "rt_sigtimedwait clock_nanosleep nanosleep poll getsockopt exit_group").split()
        self.assertEqual([c for c in used if c not in allowed - denied], [])

    def syscalls(self, groups):
        """The system calls that the filter groups (and names) stand for."""
        names, todo = set(), list(groups)
        while todo:
            g = todo.pop()
            if not g.startswith("@"):
                names.add(g)
                continue
            p = run_tool([self.analyze, "syscall-filter", g], timeout=60)
            self.assertEqual(p.returncode, 0, p.stderr.decode())
            for m in re.findall(r"^\s+(@?[\w-]+)$", p.stdout.decode(), re.M):
                if m.startswith("@"):
                    todo.append(m)
                else:
                    names.add(m)
        return names

# ---------------------------------------------------------------------------
# stop, reload, metrics

CERT_DIRS = []


def cert_dir(cn="localhost"):
    d = tempfile.TemporaryDirectory()
    CERT_DIRS.append(d)
    make_cert(d.name, cn=cn)
    return d.name


def tearDownModule():
    for d in CERT_DIRS:
        d.cleanup()


def tls_client(port, ragged_eof_fails=True):
    """A TLS client socket; with ragged_eof_fails an end of TCP without the
    peer's close_notify raises instead of reading as the end."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    raw = socket.create_connection((HOST, port), timeout=10 * SLOW)
    return ctx.wrap_socket(raw, server_hostname="localhost", suppress_ragged_eofs=not ragged_eof_fails)


def read_all(sock, timeout=10.0):
    """Everything until the peer's end; fails on a reset or a TLS end
    without close_notify."""
    sock.settimeout(timeout * SLOW)
    data = bytearray()
    while True:
        chunk = sock.recv(1 << 16)
        if not chunk:
            return bytes(data)
        data += chunk


def ws_payloads(w, timeout=10.0, pace=0.0):
    """The payloads of the server frames up to its close frame, and the close
    code; the connection must then end. pace: a pause after each frame."""
    data = bytearray()
    while True:
        if pace:
            time.sleep(pace)
        b0, payload = w.recv_frame(timeout=timeout)
        if b0 == 0x88:
            w.expect_closed(timeout)
            return bytes(data), int.from_bytes(payload[:2], "big")
        data += payload


def scrape(port, path="/metrics"):
    with urllib.request.urlopen("http://%s:%d%s" % (HOST, port, path), timeout=10 * SLOW) as r:
        return r.status, r.headers, r.read().decode()


def metrics(port):
    """{(name, (label, value) ...): value} of one scrape, as a real
    exposition-format parser reads it."""
    status, headers, text = scrape(port)
    assert status == 200 and headers["Content-Type"].startswith("text/plain; version=0.0.4"), headers
    out = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            out[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    return out


def metric(m, name, **labels):
    return m[(name, tuple(sorted(labels.items())))]


class CleanStop(unittest.TestCase):
    def test_every_kind_is_closed_politely_and_the_hub_exits_0(self):
        # -L 65536: a plain sender's 2 MiB go out in large reads to every
        # kind of receiver (one WebSocket receiver reads slowly) when the
        # stop comes: what was read is delivered, then each kind is closed
        # in its own way.
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig), NotifySocket() as manager, \
                    Hub("-c", "8", "-L", "65536", cwd=cert_dir(), env=manager.env) as hub:
                self.assertEqual(manager.receive(10), b"READY=1")
                ws, wss = RawWS(hub), RawWS(hub, tls=True)
                raw = hub.connect()
                tls = tls_client(hub.port)
                # A member once its first bytes are relayed (a kind line may
                # be left out when connections come and go together).
                tls.sendall(b"\n")
                self.assertEqual(recv_exact(raw, 1), b"\n")
                got, ends = {}, {}

                def reader(name, read):
                    try:
                        got[name], ends[name] = read()
                    except Exception as e:  # checked below
                        ends[name] = repr(e)

                readers = [threading.Thread(target=reader, args=a, daemon=True) for a in (
                    ("ws", lambda: ws_payloads(ws, pace=0.002)), ("wss", lambda: ws_payloads(wss)),
                    ("raw", lambda: (read_all(raw), "fin")), ("tls", lambda: (read_all(tls), "close_notify")))]
                for t in readers:
                    t.start()
                sender = hub.connect()
                data = foreign_bytes(2 << 20)
                threading.Thread(target=_send_quietly, args=(sender, data), daemon=True).start()
                time.sleep(0.2 * SLOW)
                status, secs = hub.terminate(sig, timeout=5)
                self.assertEqual(status, 0, hub.output[-2000:])
                self.assertLess(secs, STOP_BOUND)
                self.assertEqual(len(re.findall(r":: stopping on SIG(TERM|INT): closing \d+ connections\n",
                                                hub.output)), 1)
                self.assertEqual(manager.receive(5), b"STOPPING=1")
                for t in readers:
                    t.join(15 * SLOW)
                self.assertEqual(ends, {"ws": 1001, "wss": 1001, "raw": "fin", "tls": "close_notify"})
                for name, d in got.items():
                    # Whole and in order: a prefix of what was sent (the
                    # TLS client's "\n" reached the others first).
                    d = d[1:] if name != "tls" and d[:1] == b"\n" else d
                    self.assertGreater(len(d), 0, name)
                    self.assertEqual(d, data[:len(d)], name)
                for c in (ws, wss, raw, tls, sender):
                    c.close()

    def test_a_client_that_does_not_answer_does_not_hold_the_stop(self):
        # A WebSocket receiver that never reads, with its buffers full: its
        # close frame cannot go out. The hub still exits with 0 in time; a
        # second signal during such a stop ends it at once.
        for second in (False, True):
            # Ending at once leaves the threads where they are: an
            # instrumented build must not count that as a fault.
            env = {"TSAN_OPTIONS": (os.environ.get("TSAN_OPTIONS", "") + " report_thread_leaks=0").strip()}
            with self.subTest(second_signal=second), Hub("-c", "8", env=env if second else None) as hub:
                w = RawWS(hub)
                w.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                sender = hub.connect()
                t = threading.Thread(target=lambda: _send_quietly(sender, foreign_bytes(8 << 20)), daemon=True)
                t.start()
                hub.wait_for(r"SYN")  # flowing
                time.sleep(0.5 * SLOW)
                if second:
                    hub.proc.send_signal(signal.SIGTERM)
                    hub.wait_for(r":: stopping on SIGTERM")
                    status, secs = hub.terminate(signal.SIGINT, timeout=5)
                    self.assertEqual(status, 128 + signal.SIGINT)
                    self.assertIn("!! SIGINT again: stopping at once", hub.output)
                else:
                    status, secs = hub.terminate(signal.SIGTERM, timeout=5)
                    self.assertEqual(status, 0, hub.output[-2000:])
                    self.assertLess(secs, STOP_BOUND)
                sender.close()
                w.close()



def _send_quietly(sock, data):
    try:
        sock.sendall(data)
    except OSError:
        pass


class Reload(unittest.TestCase):
    def certificate_of(self, port):
        with tls_client(port) as c:
            return hashlib.sha256(c.getpeercert(binary_form=True)).hexdigest()

    def test_sighup_gives_new_handshakes_the_new_identity(self):
        d = cert_dir()
        pem = os.path.join(d, "localhost.pem")
        with NotifySocket() as manager, Hub("-c", "8", cwd=d, env=manager.env) as hub:
            self.assertEqual(manager.receive(10), b"READY=1")
            old = self.certificate_of(hub.port)
            hub.wait_for(r"\.fin ")  # gone before the members below come
            # A session that lives across the reload.
            other = hub.connect()
            keep = tls_client(hub.port)
            keep.sendall(b"\n")
            self.assertEqual(recv_exact(other, 1), b"\n")
            # Renewed files, as an ACME client leaves them.
            fresh = cert_dir(cn="renewed")
            shutil.copy(os.path.join(fresh, "localhost.pem"), pem)
            hub.proc.send_signal(signal.SIGHUP)
            m = hub.wait_for(r":: reloaded the TLS identity \(localhost\.pem: loaded; relayhub\.pem: missing\): "
                             r"new handshakes use it, expires (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC)\n")
            datagram = manager.receive(5)
            self.assertRegex(datagram, rb"^RELOADING=1\nMONOTONIC_USEC=\d+$")
            self.assertEqual(manager.receive(5), b"READY=1")
            new = self.certificate_of(hub.port)
            self.assertNotEqual(new, old)
            # The old session goes on, both ways.
            keep.sendall(b"still the old session\n")
            self.assertEqual(recv_exact(other, 22), b"still the old session\n")
            other.sendall(b"back\n")
            self.assertEqual(recv_exact(keep, 5), b"back\n")
            expiry = metric(metrics(hub.port), "relayhub_tls_identity_expiry_timestamp_seconds")
            self.assertEqual(time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(expiry)), m[0])
            # A broken file keeps the identity in use, and says why.
            with open(pem, "w") as f:
                f.write("not a certificate\n")
            hub.proc.send_signal(signal.SIGHUP)
            hub.wait_for(r"!! no usable TLS identity \(localhost\.pem: not a certificate; relayhub\.pem: missing\): "
                         r"the current identity stays\n")
            self.assertEqual(self.certificate_of(hub.port), new)
            keep.close()
            other.close()

    def test_a_hub_without_tls_gains_it_when_an_identity_appears(self):
        with tempfile.TemporaryDirectory() as d, Hub("-c", "4", cwd=d) as hub:
            self.assertIn("RAW WS  max connections", hub.output)
            with self.assertRaises((ssl.SSLError, ConnectionError, OSError)):
                self.certificate_of(hub.port)
            make_cert(d, name="relayhub.pem")
            hub.proc.send_signal(signal.SIGHUP)
            hub.wait_for(r":: reloaded the TLS identity \(localhost\.pem: missing; relayhub\.pem: loaded\)")
            self.certificate_of(hub.port)


class Metrics(unittest.TestCase):
    def test_counters_move_by_exactly_what_the_clients_did(self):
        with Hub("-c", "8", cwd=cert_dir()) as hub:
            # Members first: a silent client that arrives right after an
            # HTTP answer to its address is taken for a browser's spare
            # connection and waits outside the relay.
            a, b = hub.connect(), hub.connect()
            w = RawWS(hub)
            before = metrics(hub.port)
            a.sendall(b"hello\n")
            self.assertEqual(recv_exact(b, 6), b"hello\n")
            self.assertEqual(w.recv_frame()[1], b"hello\n")
            w.send_frame(OP_TEXT, b"hi there")
            self.assertEqual(recv_exact(a, 8), b"hi there")
            self.assertEqual(recv_exact(b, 8), b"hi there")
            # Two HTTP answers and a refused upgrade.
            for request in (b"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", b"GET /nope HTTP/1.1\r\n\r\n",
                            ws_request(hub.port, "dGhlIHNhbXBsZSBub25jZQ==", version=8)):
                with Stream(socket.create_connection((HOST, hub.port), timeout=10 * SLOW)) as st:
                    st.sock.sendall(request)
                    st.until(b"\r\n\r\n")
            # The first scrape and these three have gone.
            hub.wait_for(r"\.fin ", count=4)
            now = metrics(hub.port)
            delta = {k: now[k] - before.get(k, 0) for k in now}

            def d(name, **labels):
                return delta[(name, tuple(sorted(labels.items())))]

            self.assertEqual((metric(before, "relayhub_connections_accepted_total", kind="raw"),
                              metric(before, "relayhub_connections_accepted_total", kind="ws")), (2, 1))
            self.assertEqual(d("relayhub_connections_accepted_total", kind="raw"), 0)
            self.assertEqual((metric(now, "relayhub_connections", kind="raw"),
                              metric(now, "relayhub_connections", kind="ws"),
                              metric(now, "relayhub_websocket_connections", form="rfc6455")), (2, 1, 1))
            self.assertEqual((d("relayhub_messages_received_total", kind="raw"),
                              d("relayhub_received_bytes_total", kind="raw"),
                              d("relayhub_messages_received_total", kind="ws"),
                              d("relayhub_received_bytes_total", kind="ws")), (1, 6, 1, 8))
            # hello: to b (raw) and w (ws); hi there: to a and b (raw).
            self.assertEqual((d("relayhub_messages_delivered_total", kind="raw"),
                              d("relayhub_delivered_bytes_total", kind="raw"),
                              d("relayhub_messages_delivered_total", kind="ws"),
                              d("relayhub_delivered_bytes_total", kind="ws")), (3, 22, 1, 6))
            self.assertEqual(metric(before, "relayhub_http_responses_total", status="101"), 1)
            self.assertEqual([d("relayhub_http_responses_total", status=s) for s in ("200", "404", "405", "426")],
                             [1, 1, 1, 1])
            self.assertEqual(d("relayhub_setup_failures_total", reason="upgrade_refused"), 1)
            # The members and this scrape hold slots.
            self.assertEqual(metric(now, "relayhub_slots_in_use"), 4)
            self.assertEqual(metric(now, "relayhub_slots_configured"), 8)
            self.assertEqual(metric(now, "relayhub_accepting"), 1)
            self.assertGreater(metric(now, "relayhub_tls_identity_expiry_timestamp_seconds"), time.time())
            self.assertAlmostEqual(metric(now, "relayhub_process_start_time_seconds"), time.time(), delta=120)
            # Closes: an echoed 1000, and a 1009 for a message too large.
            w.sock.sendall(client_frame(0x8, b"\x03\xe8"))
            self.assertEqual(w.recv_frame()[0], 0x88)
            # A connection being closed is no member any more.
            closing = metrics(hub.port)
            self.assertEqual((metric(closing, "relayhub_connections", kind="ws"),
                              metric(closing, "relayhub_websocket_connections", form="rfc6455"),
                              metric(closing, "relayhub_websocket_connections", form="key1key2")), (0, 0, 0))
            w.close()
            # Its 101 is enough: a kind line may be left out while other
            # slots end around its arrival.
            big = RawWS(hub, wait_ready=False)
            big.sock.sendall(client_frame(0x2, b"x" * 5000))
            hub.wait_for(r"closed with 1009")
            hub.wait_for(r"\.fin ", count=8)
            after = metrics(hub.port)
            self.assertEqual([metric(after, "relayhub_closes_sent_total", code=c) -
                              metric(before, "relayhub_closes_sent_total", code=c) for c in ("1000", "1009")], [1, 1])
            for c in (a, b, big):
                c.close()

    def test_health(self):
        with Hub("-c", "2") as hub:
            self.assertEqual(scrape(hub.port, "/healthz")[::2], (200, "ok\n"))
            req = urllib.request.Request("http://%s:%d/healthz" % (HOST, hub.port), method="HEAD")
            with urllib.request.urlopen(req, timeout=10 * SLOW) as r:
                self.assertEqual((r.status, r.read()), (200, b""))


if __name__ == "__main__":
    unittest.main()
