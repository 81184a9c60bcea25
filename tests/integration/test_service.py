"""The hub and the bridge under a service manager: readiness through
NOTIFY_SOCKET, with a Unix datagram socket of this test in systemd's place,
and the service unit as systemd reads it."""

import os
import re
import shutil
import socket
import tempfile
import unittest

from harness import BIN, BRIDGE_BIN, HOST, SLOW, Bridge, Hub, Redis, run_tool

HERE = os.path.dirname(os.path.abspath(__file__))
DOCS = os.path.join(HERE, "..", "..", "docs")
UNIT = os.path.join(DOCS, "relayhub.service")
HAVE_BRIDGE = "RELAYHUB_BRIDGE_BIN" in os.environ


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
            bridge = Bridge(hub, redis, wait_up=False, env=manager.env)
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
                "set_tid_address setsockopt shutdown socket sysinfo write").split()
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

if __name__ == "__main__":
    unittest.main()
