"""What a person meets first: the chat page the hub serves to a browser, plain
HTTP answered and closed, honest start-up failures (a port in use, no TLS
identity), the set-up script's defaults, and the installed binary, man page
and service unit."""

import os
import re
import shutil
import socket
import ssl
import tempfile
import time
import unittest

from harness import (BIN, HOST, SLOW, Hub, JsonLines, expect_silence, free_port, make_cert, recv_exact,
                     run_tool)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


PAGE = read_file(os.path.join(ROOT, "web", "chat.html"))
CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
PUPPETEER = os.path.join(ROOT, "tests", "node", "node_modules", "puppeteer-core")
FIN_RE = r":: server_\d\d\.fin  active \d\d/\d\d  so %d\n"


def read_http(sock, timeout=10.0):
    """Everything the hub sends until it closes: (status, headers, body, closed)."""
    deadline = time.monotonic() + timeout * SLOW
    data = bytearray()
    closed = False
    while time.monotonic() < deadline:
        sock.settimeout(max(0.05, deadline - time.monotonic()))
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            break
        except ConnectionResetError:
            closed = True
            break
        if not chunk:
            closed = True
            break
        data += chunk
    head, _, body = bytes(data).partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split(" ")[1]) if lines and lines[0].startswith("HTTP/1.1 ") else None
    headers = dict(l.split(": ", 1) for l in lines[1:] if ": " in l)
    return status, headers, body, closed


def hub_with_cert(*args, **kw):
    d = tempfile.TemporaryDirectory()
    make_cert(d.name)
    hub = Hub(*args, cwd=d.name, **kw)
    hub._cert_dir = d  # removed with the hub's test
    return hub


class HttpAnswer(unittest.TestCase):
    """A plain GET is answered and closed; it never joins the relay."""

    def test_curl_gets_page_and_404_then_connection_is_gone(self):
        with Hub() as hub:
            member = hub.connect()
            base = "http://%s:%d" % (HOST, hub.port)
            p = run_tool(["curl", "-sS", "-D", "-", "--max-time", "10", base + "/"])
            self.assertEqual(p.returncode, 0, p.stderr)
            head, _, body = p.stdout.partition(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), head)
            self.assertIn(b"\r\nContent-Type: text/html; charset=utf-8", head)
            self.assertIn(b"\r\nConnection: close", head)
            self.assertIn(b"\r\nContent-Length: %d" % len(PAGE), head)
            self.assertEqual(body, PAGE)

            p = run_tool(["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "10",
                          base + "/nope"])
            self.assertEqual(p.stdout, b"404")
            p = run_tool(["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "10",
                          base + "/index.html"])
            self.assertEqual(p.stdout, b"200")
            hub.wait_for(r"so \d+  HTTP\n", count=3)
            # Each answered request has left again; only the RAW member remains.
            hub.wait_for(r"\.fin  active 01/32", count=3)
            member.sendall(b"after curl\n")
            expect_silence(member)
            member.close()

    def test_raw_request_is_answered_closed_and_never_relayed_to(self):
        with Hub() as hub:
            a = hub.connect()
            b = hub.connect()
            cases = [(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 200),
                     (b"GET /nope HTTP/1.0\r\n\r\n", 404),
                     (b"GET nope HTTP/1.1\r\n\r\n", 400),
                     (b"POST /form HTTP/1.1\r\nContent-Length: 9\r\n\r\nmsg=hello", 405)]
            for request, status in cases:
                with self.subTest(request=request):
                    s = socket.create_connection((HOST, hub.port), timeout=10)
                    port = s.getsockname()[1]
                    s.sendall(request)
                    hub.wait_for(r"SYN from 127\.0\.0\.1:%d .*so (\d+)  HTTP\n" % port)
                    so = int(re.search(r"SYN from 127\.0\.0\.1:%d .*so (\d+)  HTTP\n" % port,
                                       hub.output).group(1))
                    # Messages between the members while the answer goes out
                    # must not reach the HTTP client.
                    a.sendall(b"members only\n")
                    self.assertEqual(recv_exact(b, 13), b"members only\n")
                    got, headers, body, closed = read_http(s)
                    self.assertEqual(got, status)
                    self.assertTrue(closed, "the hub closes after the answer")
                    self.assertEqual(headers.get("Connection"), "close")
                    self.assertEqual(int(headers["Content-Length"]), len(body))
                    self.assertNotIn(b"members only", body)
                    if status == 200:
                        self.assertEqual(body, PAGE)
                    hub.wait_for(FIN_RE % so)
                    s.close()
            hub.wait_for(r"\.fin  active 02/32", count=3)

    def test_page_over_tls_on_the_same_port(self):
        with hub_with_cert() as hub:
            p = run_tool(["curl", "-sS", "-k", "--max-time", "10", "-o", "-", "-w", "\n%{http_code}",
                          "https://%s:%d/" % (HOST, hub.port)])
            self.assertEqual(p.returncode, 0, p.stderr)
            body, _, code = p.stdout.rpartition(b"\n")
            self.assertEqual(code, b"200")
            self.assertEqual(body, PAGE)
            hub.wait_for(r"so \d+  HTTP\n")

    def test_websocket_upgrade_is_still_a_websocket(self):
        with Hub() as hub:
            s = socket.create_connection((HOST, hub.port), timeout=10)
            s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nupgrade: WebSocket\r\nConnection: Upgrade\r\n"
                      b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
            s.settimeout(10 * SLOW)
            self.assertTrue(s.recv(4096).startswith(b"HTTP/1.1 101 "))
            hub.wait_for(r"so \d+  WS\n")
            s.close()


class StartUp(unittest.TestCase):
    def test_second_hub_on_the_same_port_fails_and_first_keeps_serving(self):
        with Hub() as first:
            with tempfile.TemporaryDirectory() as d:
                p = run_tool([BIN, "-p", str(first.port)], cwd=d, timeout=20)
            out = p.stdout.decode()
            self.assertEqual(p.returncode, 1, out)
            self.assertIn(":: bind(0.0.0.0:%d)  \nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))\n"
                          "   ^ERROR: 98, Address already in use\n\n" % first.port, out)
            self.assertNotIn("waiting for client connection", out)
            # Every new client still reaches the first hub, and they all meet.
            clients = [first.connect() for _ in range(4)]
            clients[0].sendall(b"one chat\n")
            for c in clients[1:]:
                self.assertEqual(recv_exact(c, 9), b"one chat\n")
            for c in clients:
                c.close()

    def test_usage_request_still_exits_zero(self):
        with tempfile.TemporaryDirectory() as d:
            p = run_tool([BIN, "-h"], cwd=d, timeout=20)
        self.assertEqual(p.returncode, 0)
        self.assertIn(":: usage ::", p.stdout.decode())


REFUSED = ": TLS and WSS clients will be refused\n"


class IdentityReport(unittest.TestCase):
    """One line says why there is no TLS, and TLS clients are then refused."""

    @staticmethod
    def key_of_another(d):
        other = make_cert(d, name="other.pem")
        return read_file(other + ".key")

    def start(self, files):
        """Hub in a directory holding `files` (name -> bytes, or a callable on the path)."""
        d = tempfile.TemporaryDirectory()
        self.addCleanup(d.cleanup)
        for name, content in files.items():
            path = os.path.join(d.name, name)
            if callable(content):
                content(path)
            else:
                with open(path, "wb") as f:
                    f.write(content)
        return d.name, Hub(cwd=d.name)

    def check(self, files, expected):
        d, hub = self.start(files)
        with hub:
            out = hub.output
            line = "!! no usable TLS identity (%s)%s" % (expected, REFUSED)
            self.assertIn(line + "\n:: bind(", out)
            self.assertEqual(out.count("no usable TLS identity"), 1)
            self.assertIn("RAW WS  max connections", out)
            # A TLS client gets no session.
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            with socket.create_connection((HOST, hub.port), timeout=10 * SLOW) as raw:
                with self.assertRaises((ssl.SSLError, OSError)):
                    ctx.wrap_socket(raw, server_hostname="localhost")

    def test_missing(self):
        self.check({}, "localhost.pem: missing; relayhub.pem: missing")

    def test_unreadable(self):
        self.check({"localhost.pem": os.mkdir},
                   "localhost.pem: unreadable (Is a directory); relayhub.pem: missing")
        if os.geteuid() != 0:  # root reads any file
            def no_access(path):
                with open(path, "wb") as f:
                    f.write(b"x")
                os.chmod(path, 0)
            self.check({"relayhub.pem": no_access},
                       "localhost.pem: missing; relayhub.pem: unreadable (Permission denied)")

    def test_not_a_certificate(self):
        self.check({"localhost.pem": b"hello\n", "relayhub.pem": b""},
                   "localhost.pem: not a certificate; relayhub.pem: not a certificate")

    def test_key_does_not_match_or_is_missing(self):
        with tempfile.TemporaryDirectory() as work:
            good = make_cert(work)
            cert = read_file(good + ".crt")
            self.check({"relayhub.pem": cert + self.key_of_another(work), "localhost.pem": cert},
                       "localhost.pem: no private key; "
                       "relayhub.pem: key does not match the certificate")

    def test_no_report_when_one_file_holds_an_identity(self):
        def good(path):
            make_cert(os.path.dirname(path), name=os.path.basename(path))
        for files in ({"localhost.pem": good}, {"relayhub.pem": good, "localhost.pem": b"junk"}):
            with self.subTest(files=sorted(files)):
                _, hub = self.start(files)
                with hub:
                    self.assertNotIn("no usable TLS identity", hub.output)
                    self.assertIn("RAW TLS WS WSS  max connections", hub.output)


class SetupScript(unittest.TestCase):
    def args(self, *args):
        p = run_tool(["bash", os.path.join(ROOT, "scripts", "setup.sh"), "args", *args])
        self.assertEqual(p.returncode, 0, p.stderr)
        return p.stdout.decode().split()

    def test_port_and_buffer_added_unless_given(self):
        cases = [
            ([], ["-p", "8081", "-L", "65536"]),
            (["-c", "8"], ["-p", "8081", "-L", "65536", "-c", "8"]),
            (["-p", "9000"], ["-L", "65536", "-p", "9000"]),
            (["-p9000", "-L1472"], ["-p9000", "-L1472"]),
            (["-hp90"], ["-L", "65536", "-hp90"]),          # p inside a group of letters
            (["-c4", "-L", "0"], ["-p", "8081", "-c4", "-L", "0"]),
            (["-c", "-p"], ["-p", "8081", "-L", "65536", "-c", "-p"]),  # -p is -c's value
            (["-p"], ["-p", "8081", "-L", "65536", "-p"]),  # a -p without a value sets nothing
        ]
        for given, expected in cases:
            with self.subTest(given=given):
                self.assertEqual(self.args(*given), expected)


class Install(unittest.TestCase):
    BUILD = os.path.dirname(os.path.abspath(BIN))

    @unittest.skipUnless(os.path.exists(os.path.join(BUILD, "cmake_install.cmake")),
                         "the binary is not in a CMake build directory")
    def test_install_puts_binary_and_man_page_under_the_prefix(self):
        with tempfile.TemporaryDirectory() as prefix:
            p = run_tool(["cmake", "--install", self.BUILD, "--prefix", prefix], timeout=120)
            self.assertEqual(p.returncode, 0, p.stderr)
            binary = os.path.join(prefix, "bin", "relayhub")
            man = os.path.join(prefix, "share", "man", "man1", "relayhub.1")
            self.assertTrue(os.access(binary, os.X_OK))
            with open(man, "rb") as a, open(os.path.join(ROOT, "docs", "relayhub.1"), "rb") as b:
                self.assertEqual(a.read(), b.read())
            # The installed binary runs: the usage text, status 0.
            q = run_tool([binary, "--help"], cwd=prefix)
            self.assertEqual(q.returncode, 0)
            self.assertIn(":: usage ::", q.stdout.decode())
            bridge = os.path.join(prefix, "bin", "relayhub-bridge")
            if os.path.exists(os.path.join(self.BUILD, "bridge")):  # built with the bridge
                q = run_tool([bridge, "--help"], cwd=prefix)
                self.assertEqual(q.returncode, 0)
                self.assertIn("--hub HOST:PORT", q.stdout.decode())

    @unittest.skipUnless(shutil.which("groff"), "groff missing")
    def test_man_page_renders_without_warnings(self):
        page = os.path.join(ROOT, "docs", "relayhub.1")
        p = run_tool(["groff", "-ww", "-z", "-man", page])
        self.assertEqual(p.returncode, 0)
        self.assertEqual(p.stderr.decode(), "")
        if shutil.which("man"):
            p = run_tool(["man", "-l", page], env=dict(os.environ, MANWIDTH="80", MAN_KEEP_STDERR="1",
                                                      MANPAGER="cat", PAGER="cat"))
            self.assertEqual(p.returncode, 0)
            self.assertEqual(p.stderr.decode(), "")
            # Justified lines spread their spaces, and where depends on the
            # lines before: compare words, not spacing.
            text = " ".join(p.stdout.decode().split())
            # The page names what a reader meets on the console.
            for word in ("RAW", "TLS", "WSS", "HTTP", "no usable TLS identity",
                         "waiting for client connection", ".fin", "EXIT STATUS", "Address already in use"):
                self.assertIn(word, text)


class Browser(JsonLines):
    """Headless Chromium with one chat page per URL, driven line by line."""

    def __init__(self, *urls):
        super().__init__(["node", os.path.join(HERE, "chat_browser.js"), *urls], cwd=HERE)
        loaded = self.get(60)
        if not loaded.get("ok"):
            self.close()
            raise AssertionError("browser did not load the pages: %s" % loaded)

    def ask(self, cmd, timeout=30, **kw):
        self.put(cmd=cmd, **kw)
        return self.get(timeout)

    def do(self, cmd, **kw):
        r = self.ask(cmd, **kw)
        if not r.get("ok"):
            raise AssertionError("%s %s failed: %s" % (cmd, kw, r))
        return r

    def close(self):
        if self.proc.poll() is None:
            try:
                self.ask("quit", timeout=15)
            except (AssertionError, OSError):
                pass
        super().close()


@unittest.skipUnless(os.path.exists(CHROMIUM) and os.path.isdir(PUPPETEER) and shutil.which("node"),
                     "Chromium or puppeteer-core missing (bash scripts/setup.sh test installs them)")
class ChatPage(unittest.TestCase):
    def test_http_and_https_pages_and_a_raw_client_chat(self):
        with hub_with_cert("-L", "65536") as hub:
            raw = hub.connect()
            browser = Browser("http://%s:%d/" % (HOST, hub.port), "https://%s:%d/" % (HOST, hub.port))
            try:
                browser.do("wait_open", page=0)
                browser.do("wait_open", page=1)
                # The browser also opens spare connections of its own, so the
                # kinds are not always printed (a SYN line gets its kind only
                # when no other connection came or went meanwhile).
                time.sleep(0.3 * SLOW)  # a slot turns ready just after its 101 went out

                raw.sendall(b"hello from nc\n")
                for page in (0, 1):
                    browser.do("wait_entry", page=page, kind="text", text="hello from nc")

                browser.do("send", page=0, text="hi from http")
                self.assertEqual(recv_exact(raw, 13), b"hi from http\n")
                browser.do("wait_entry", page=1, kind="text", text="hi from http")

                browser.do("send", page=1, text="h\u00e9llo from https \u2713")
                expected = "h\u00e9llo from https \u2713\n".encode()
                self.assertEqual(recv_exact(raw, len(expected)), expected)
                browser.do("wait_entry", page=0, kind="text", text="h\u00e9llo from https \u2713")

                # Bytes that are not UTF-8: binary on the pages, shown as hex
                # with the length, and both stay connected.
                raw.sendall(b"\xff\xfe\x00\x80bin")
                for page in (0, 1):
                    browser.do("wait_entry", page=page, kind="binary", text="7 bytes: ff fe 00 80 62 69 6e")
                time.sleep(0.3 * SLOW)
                raw.sendall(b"text again\n")
                for page in (0, 1):
                    browser.do("wait_entry", page=page, kind="text", text="text again")
                    self.assertEqual(browser.do("state", page=page)["state"], "open")
                browser.do("send", page=0, text="still connected")
                self.assertEqual(recv_exact(raw, 16), b"still connected\n")
                browser.do("wait_entry", page=1, kind="text", text="still connected")
                for page in (0, 1):
                    entries = browser.do("entries", page=page)["entries"]
                    self.assertFalse([e for e in entries if e[1].startswith("closed")], entries)

                shots = os.environ.get("RELAYHUB_SCREENSHOT_DIR")
                with tempfile.TemporaryDirectory() as d:
                    path = os.path.join(shots or d, "chat.png")
                    browser.do("screenshot", page=0, path=path)
                    with open(path, "rb") as f:
                        self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
            finally:
                browser.close()
            raw.close()

    def test_page_shows_the_close_code_then_reconnects(self):
        # A line longer than the receive buffer takes (4096 - 16 bytes at the
        # default -L) is refused with 1009; the page says so and comes back.
        with Hub() as hub:
            browser = Browser("http://%s:%d/" % (HOST, hub.port))
            try:
                browser.do("wait_open", page=0)
                browser.do("send", page=0, text="x" * 5000, fill=True)
                browser.do("wait_entry", page=0, kind="sys", text="closed, code 1009")
                hub.wait_for(r"!! ws\(\d+\) message over 4080 bytes: closed with 1009 \(raise -L\)")
                browser.do("wait_open", page=0)
                time.sleep(0.3 * SLOW)
                raw = hub.connect()
                raw.sendall(b"after the close\n")
                browser.do("wait_entry", page=0, kind="text", text="after the close")
                raw.close()
            finally:
                browser.close()

    def test_page_shows_the_close_and_reconnects(self):
        port = free_port()
        hub = Hub(port=port)
        browser = None
        try:
            browser = Browser("http://%s:%d/" % (HOST, port))
            browser.do("wait_open", page=0)
            hub.stop()
            browser.do("wait_entry", page=0, kind="sys", text="closed, code 1006")
            shown = browser.do("state", page=0)
            self.assertIn(shown["state"], ("closed", "connecting"))
            # A new hub on the same port: the page finds it by itself.
            hub = Hub(port=port)
            browser.do("wait_open", page=0)
            time.sleep(0.3 * SLOW)
            raw = hub.connect()
            raw.sendall(b"back again\n")
            browser.do("wait_entry", page=0, kind="text", text="back again")
            raw.close()
        finally:
            if browser is not None:
                browser.close()
            hub.stop()


if __name__ == "__main__":
    unittest.main()
