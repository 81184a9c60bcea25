"""What a person meets first: the chat page the hub serves to a browser (names,
the connection state, the README's picture of two tabs and a terminal), plain
HTTP answered and closed, honest start-up failures (a port in use, no TLS
identity), the set-up script's defaults, and the installed binary, man page
and service unit."""

import os
import re
import shutil
import signal
import socket
import ssl
import struct
import tempfile
import time
import unittest

from harness import (BIN, HOST, SLOW, Hub, JsonLines, client_frame, expect_silence, free_port, make_cert, recv_exact,
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
    hub._tmp = d  # removed when the hub stops
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

    def test_a_spare_connection_used_later_is_answered(self):
        # A browser opens a connection ahead of time and uses it for its next
        # request seconds later: meanwhile the hub served the silent socket
        # as a plain member, but its first bytes are still read as what they
        # are. Over plain TCP a page request, over TLS an upgrade.
        with hub_with_cert() as hub:
            a = hub.connect()
            s = socket.create_connection((HOST, hub.port), timeout=10)
            hub.wait_for(r"SYN from 127\.0\.0\.1:%d [^\n]*RAW\n" % s.getsockname()[1])
            time.sleep(1.0)
            s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nCookie: secret=1\r\n\r\n")
            got, headers, body, closed = read_http(s)
            self.assertEqual((got, body, closed), (200, PAGE, True))
            hub.wait_for(r"server_\d\d\.late  so \d+  HTTP\n")
            expect_silence(a)  # the request went nowhere
            s.close()

            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            raw = socket.create_connection((HOST, hub.port), timeout=10)
            hub.wait_for(r"SYN from 127\.0\.0\.1:%d [^\n]*RAW\n" % raw.getsockname()[1])
            time.sleep(1.0)
            t = ctx.wrap_socket(raw, server_hostname="localhost")
            t.sendall(b"GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
            head = b""
            while b"\r\n\r\n" not in head:
                head += t.recv(4096)
            self.assertTrue(head.startswith(b"HTTP/1.1 101 "), head)
            hub.wait_for(r"server_\d\d\.late  so \d+  WSS\n")
            # A member again once what it sends is relayed.
            t.sendall(client_frame(0x1, b"hi"))
            self.assertEqual(recv_exact(a, 2), b"hi")
            a.sendall(b"to the late member\n")
            self.assertEqual(t.recv(64), b"\x81\x13to the late member\n")
            t.close()
            a.close()

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


class Terminal:
    """A shell in a detached tmux session of its own, typed into and read as
    a person at a terminal would."""

    def __init__(self, cols=92, rows=9):
        self.tmux = ["tmux", "-L", "relayhub-test-%d-%d" % (os.getpid(), id(self)), "-f", "/dev/null"]
        env = {k: v for k, v in os.environ.items() if k != "TMUX"}
        p = run_tool(self.tmux + ["new-session", "-d", "-s", "t", "-x", str(cols), "-y", str(rows),
                                  "env PS1='$ ' bash --norc --noprofile -i"], env=env)
        if p.returncode != 0:
            raise AssertionError("tmux did not start: %s" % p.stderr.decode())
        self.wait_for("$")  # the prompt (trailing spaces are not captured)

    def type(self, text):
        """Types a line and presses Enter."""
        for keys in (["-l", text], ["Enter"]):
            p = run_tool(self.tmux + ["send-keys", "-t", "t", *keys])
            if p.returncode != 0:
                raise AssertionError("send-keys failed: %s" % p.stderr.decode())

    def screen(self, history=False):
        p = run_tool(self.tmux + ["capture-pane", "-p", "-J", "-t", "t"] + (["-S", "-200"] if history else []))
        return p.stdout.decode("utf-8", "replace")

    def wait_for(self, text, timeout=10.0):
        deadline = time.monotonic() + timeout * SLOW
        while text not in self.screen(history=True):
            if time.monotonic() > deadline:
                raise AssertionError("%r not on the terminal:\n%s" % (text, self.screen(history=True)))
            time.sleep(0.05)

    def close(self):
        # The tmux server on this terminal's own socket, and the shell and nc in it.
        run_tool(self.tmux + ["kill-server"])


def rgb(css):
    return [int(float(v)) for v in re.findall(r"[\d.]+", css)[:3]]


def contrast(a, b):
    """WCAG contrast ratio of two sRGB colours."""
    def lum(c):
        c = [v / 255 for v in c]
        c = [v / 12.92 if v <= 0.03928 else ((v + 0.055) / 1.055) ** 2.4 for v in c]
        return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2]
    x, y = sorted((lum(a), lum(b)))
    return (y + 0.05) / (x + 0.05)


def port_is_free(port):
    """Whether a hub could listen on port (which, like the hub, ignores TIME_WAIT)."""
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((HOST, port))
        except OSError:
            return False
    return True


@unittest.skipUnless(os.path.exists(CHROMIUM) and os.path.isdir(PUPPETEER) and shutil.which("node"),
                     "Chromium or puppeteer-core missing (bash scripts/setup.sh test installs them)")
class ChatPage(unittest.TestCase):
    # The start of a PNG file: a binary message that is not UTF-8.
    BINARY = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + bytes(range(0x10, 0x28))

    def browser(self, *urls):
        b = Browser(*urls)
        self.addCleanup(b.close)
        return b

    def line(self, browser, sock, page, text, name):
        """Page `page` sends a line; the plain client gets "name: text"."""
        browser.do("send", page=page, text=text)
        expected = ("%s: %s\n" % (name, text)).encode()
        self.assertEqual(recv_exact(sock, len(expected)), expected)

    @unittest.skipUnless(shutil.which("tmux") and shutil.which("nc"), "tmux or nc missing")
    def test_two_tabs_and_a_terminal_follow_one_conversation(self):
        # RELAYHUB_SCREENSHOT_DIR=docs writes the README's picture, on the
        # README's port when it is free.
        shots = os.environ.get("RELAYHUB_SCREENSHOT_DIR")
        port = 8081 if shots and port_is_free(8081) else free_port()
        with hub_with_cert("-L", "65536", port=port) as hub:
            script = hub.connect()  # sees every byte plain clients get; sends binary
            self.addCleanup(script.close)
            tabs = ["http://localhost:%d/" % port, "https://localhost:%d/" % port]
            browser = self.browser(*tabs)
            for page, name in ((0, "ana"), (1, "ben")):
                browser.do("wait_open", page=page)
                self.assertEqual(browser.do("set_name", page=page, name=name)["name"], name)
            time.sleep(0.3 * SLOW)  # a slot turns ready just after its 101 went out

            self.line(browser, script, 0, "hi all, ana here in a tab", "ana")
            browser.do("wait_entry", page=1, kind="text", name="ana", text="hi all, ana here in a tab")

            script.sendall(self.BINARY)
            for page in (0, 1):
                browser.do("wait_entry", page=page, kind="binary",
                           text="40 bytes: 89 50 4e 47 0d 0a 1a 0a 00 00 00 0d 49 48 44 52 \u2026")
            hexdump = browser.do("expand", page=1)["hex"]
            self.assertEqual(hexdump, "0000  89 50 4e 47 0d 0a 1a 0a 00 00 00 0d 49 48 44 52\n"
                                      "0010  10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f\n"
                                      "0020  20 21 22 23 24 25 26 27")

            terminal = Terminal()
            self.addCleanup(terminal.close)
            terminal.type("nc 127.0.0.1 %d" % port)
            terminal.type("carol: hello from a terminal")
            self.assertEqual(recv_exact(script, 29), b"carol: hello from a terminal\n")
            for page in (0, 1):
                browser.do("wait_entry", page=page, kind="text", name="carol", text="hello from a terminal")

            self.line(browser, script, 1, "hi carol, ben here over https \u2713", "ben")
            terminal.wait_for("ben: hi carol, ben here over https \u2713")
            browser.do("wait_entry", page=0, kind="text", name="ben", text="ben here over https \u2713")

            # A terminal line without a name comes as it was typed.
            terminal.type("and this line has no name")
            self.assertEqual(recv_exact(script, 26), b"and this line has no name\n")
            for page in (0, 1):
                browser.do("wait_entry", page=page, kind="text", name=None, text="and this line has no name")

            self.line(browser, script, 0, "now everyone can tell who said what", "ana")
            terminal.wait_for("ana: now everyone can tell who said what")
            browser.do("wait_entry", page=1, kind="text", name="ana", text="who said what")
            browser.do("wait_entry", page=0, kind="self", name="ana", text="who said what")

            # One colour per name on every page, readable on its row in both
            # schemes; three names, three colours.
            for dark in (False, True):
                seen = {}
                for page in (0, 1):
                    for n in browser.do("colours", page=page, dark=dark)["names"]:
                        self.assertGreaterEqual(contrast(rgb(n["colour"]), rgb(n["background"])), 4.5, n)
                        self.assertEqual(seen.setdefault(n["name"], n["colour"]), n["colour"], n)
                self.assertEqual(sorted(seen), ["ana", "ben", "carol"])
                self.assertEqual(len(set(seen.values())), 3, seen)

            with tempfile.TemporaryDirectory() as d:
                path = os.path.join(shots or d, "chat.png")
                browser.do("montage", path=path,
                           tabs=[{"page": 0, "title": tabs[0]}, {"page": 1, "title": tabs[1]}],
                           terminal={"title": "terminal", "text": terminal.screen().rstrip() + "\n"})
                with open(path, "rb") as f:
                    head = f.read(24)
                self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n")
                width, height = struct.unpack(">II", head[16:24])
                self.assertGreater(width, 1000)  # two tabs side by side
                self.assertGreater(height, 500)  # and the terminal below

    def test_name_is_asked_once_kept_and_shown_as_text(self):
        with Hub() as hub:
            script = hub.connect()
            self.addCleanup(script.close)
            browser = self.browser("http://%s:%d/" % (HOST, hub.port))
            browser.do("wait_open", page=0)
            time.sleep(0.3 * SLOW)
            guest = browser.do("name", page=0)["name"]
            self.assertRegex(guest, r"^guest-\d{4}$")
            browser.do("wait_entry", page=0, kind="sys", text="Your name goes before each line you send")
            self.line(browser, script, 0, "first line", guest)

            # A colon would make the line ambiguous; spaces are tidied.
            self.assertEqual(browser.do("set_name", page=0, name="  zo\u00eb:  the tester ")["name"],
                             "zo\u00eb the tester")
            self.line(browser, script, 0, "second line", "zo\u00eb the tester")

            browser.do("reload", page=0)
            browser.do("wait_open", page=0)
            self.assertEqual(browser.do("name", page=0)["name"], "zo\u00eb the tester")
            time.sleep(0.3 * SLOW)

            # Names and text are shown as they came, never as markup; a line
            # without a name continues the row before it.
            script.sendall(b"<img src=x onerror=alert(1)>: <b>bold</b>\nand a second line\r\n"
                           b"bob: <i>hi</i>\n")
            browser.do("wait_entry", page=0, kind="text", name="bob", text="<i>hi</i>")
            script.sendall(b"10:30: stand-up\n")  # no name holds a colon
            browser.do("wait_entry", page=0, kind="text", name=None, text="10:30: stand-up")
            script.sendall(b"\xff\xfe\x00\x80bin")
            browser.do("wait_entry", page=0, kind="binary", text="7 bytes: ff fe 00 80 62 69 6e")
            entries = browser.do("entries", page=0)["entries"]
            # Asked once: no greeting after the reload.
            self.assertEqual([e["kind"] for e in entries], ["sys", "text", "text", "text", "binary"], entries)
            self.assertEqual(entries[0]["text"], "connected to ws://%s:%d/" % (HOST, hub.port))
            self.assertEqual([(e["name"], e["text"]) for e in entries[1:4]],
                             [("<img src=x onerror=alert(1)>", "<b>bold</b>\nand a second line"),
                              ("bob", "<i>hi</i>"), (None, "10:30: stand-up")])

            # A line over the receive buffer (4096 - 16 bytes at the default
            # -L) is refused with 1009; the page says so and comes back.
            browser.do("send", page=0, text="x" * 5000, fill=True)
            browser.do("wait_entry", page=0, kind="sys", text="disconnected: code 1009 (message too big)")
            hub.wait_for(r"!! ws\(\d+\) message over 4080 bytes: closed with 1009 \(raise -L\)")
            browser.do("wait_open", page=0)
            browser.do("wait_entry", page=0, kind="sys", text="(message too big); back after 1 attempt")
            time.sleep(0.3 * SLOW)
            script.sendall(b"after the close\n")
            browser.do("wait_entry", page=0, kind="text", text="after the close")

    def test_reconnect_indicator_across_a_hub_restart(self):
        port = free_port()
        hub = Hub(port=port)
        try:
            url = "http://%s:%d/" % (HOST, port)
            browser = self.browser(url, url + "?retries=2")
            for page in (0, 1):
                browser.do("wait_open", page=page)
                browser.do("watch", page=page)
            # Stopped as a person stops it, with Ctrl-C: the pages are told why.
            self.assertEqual(hub.terminate(signal.SIGINT)[0], 0)
            hub.stop()

            browser.do("wait_state", page=0, state="reconnecting", shown=r"^reconnecting in \d+ s \(attempt [3-9]\)$")
            shown = browser.do("state", page=0)
            self.assertEqual(shown["url"], "ws://%s:%d/" % (HOST, port))  # still in the header
            outage = [e["text"] for e in browser.do("entries", page=0)["entries"]
                      if "connect" in e["text"] and "connected to" not in e["text"]]
            self.assertEqual(len(outage), 1, outage)  # one row, rewritten as it goes
            self.assertRegex(outage[0], r"^disconnected: code 1001 \(going away\); "
                                        r"reconnecting in \d+ s \(attempt \d+\)$")

            # Told to stop after two attempts, a page says closed only then.
            browser.do("wait_state", page=1, state="closed", shown=r"^closed \(gave up after 2 attempts\)$")
            browser.do("wait_entry", page=1, kind="sys", text="(going away); gave up after 2 attempts")
            states = browser.do("states", page=1)["states"]
            self.assertEqual(states[-1], "closed")
            self.assertNotIn("closed", states[:-1])

            hub = Hub(port=port)
            browser.do("wait_open", page=0)
            browser.do("wait_entry", page=0, kind="sys", text="(going away); back after ")
            self.assertNotIn("closed", browser.do("states", page=0)["states"])
            self.assertEqual(browser.do("state", page=1)["state"], "closed")
            browser.do("click", page=1, selector="#reconnect")
            browser.do("wait_open", page=1)
            browser.do("wait_entry", page=1, kind="sys", text="(going away); back after 1 attempt")
            time.sleep(0.3 * SLOW)
            raw = hub.connect()
            raw.sendall(b"back again\n")
            for page in (0, 1):
                browser.do("wait_entry", page=page, kind="text", text="back again")
            raw.close()
        finally:
            hub.stop()


if __name__ == "__main__":
    unittest.main()
