"""Command line, usage text and configuration dump of the real binary."""

import re
import socket
import subprocess
import tempfile
import unittest

from harness import BIN, HOST, Hub, free_port, run_tool

CLEAR = "\033[H\033[J"
HYPHENS = "-" * 79 + "\n"


def usage(prog):
    return (CLEAR + ":: WebSocket relay utility  " + "NOTICE\n" + HYPHENS
            + ":: Relay data between WebSocket, TCP and TLS clients.\n" + HYPHENS
            + ":: usage ::\n"
            + "\t%s <-p listen port>\n" % prog
            + "\t[-p listen port]\n"
            + "\t[-c 1 to 32 connections]\n"
            + "\t[-L 1472|1405|1422|65112|65507       packet length]\n"
            + "\n"
            + ":: example ::\n"
            + "\t%s\n" % prog
            + "\t%s -p 81\n" % prog
            + "\n\n")


def dump(connections=32, packet=4096, port=81):
    return (":: config ::\n"
            "  print:1, print_once:0, listen:1, write:1, connections:%u\n"
            "  verbose:1, quiet:0, packet_length_r:%u\n"
            "  so_type:1, so_protocol:6\n"
            "  addr_local  :%u\n"
            "  addr_remote :0\n\n"
            ":: ------ ::\n") % (connections, packet, port)


def run(*args):
    with tempfile.TemporaryDirectory() as d:
        p = run_tool([BIN, *args], cwd=d, timeout=20)
    return p.returncode, p.stdout.decode(), p.stderr.decode()


def split_usage(out):
    """Return (text before the usage, usage with its notice replaced)."""
    i = out.rfind(CLEAR + ":: WebSocket relay utility  ")
    assert i >= 0, out
    head, tail = out[:i], out[i:]
    tail = re.sub(r"(:: WebSocket relay utility  )[^\n]*\n", r"\1NOTICE\n", tail, count=1)
    return head, tail


class UsageText(unittest.TestCase):
    def check_usage(self, args, port=81, connections=32, packet=4096):
        rc, out, _ = run(*args)
        self.assertEqual(rc, 0)
        head, tail = split_usage(out)
        self.assertEqual(tail, usage(BIN))
        # The screen clear comes first, then the OpenSSL version line, then the dump.
        self.assertTrue(head.startswith(CLEAR), head)
        self.assertTrue(head.endswith(dump(connections, packet, port)), head)
        return head

    def test_help_forms(self):
        for args in (["-h"], ["--help"], ["--HELP"], ["--Help"], ["-p", "0"]):
            with self.subTest(args=args):
                self.check_usage(args, port=0 if args == ["-p", "0"] else 81)

    def test_help_with_port_in_one_argument(self):
        self.check_usage(["-hp90"], port=90)

    def test_helpx_reads_p_with_value_x(self):
        self.check_usage(["--helpx"], port=0)

    def test_long_port_is_not_an_option(self):
        # "--port 90": the scan meets p with the rest "ort", which parses as 0.
        self.check_usage(["--port", "90"], port=0)

    def test_p_consumes_following_option(self):
        self.check_usage(["-p", "-c"], port=0)

    def test_connection_count_rules(self):
        cases = [(["-c", "33"], 32, True), (["-c", "-1"], 32, True),
                 (["-c", "65537"], 1, False), (["-c", "0"], 32, False), (["-c", "7"], 7, False)]
        for args, expected, reduced in cases:
            with self.subTest(args=args):
                head = self.check_usage(["-h", *args], connections=expected)
                msg = "!! G_SOCKET::config()  number of connections reduced to: 32\n\n"
                self.assertEqual(msg in head, reduced, head)

    def test_packet_length_as_parsed(self):
        self.check_usage(["-h", "-L", "0"], packet=0)
        self.check_usage(["-h", "-L", "-1"], packet=18446744073709551615)
        self.check_usage(["-h", "-L1472"], packet=1472)

    def test_lone_dashes_ignored(self):
        self.check_usage(["-", "--", "-h", "stray"])


class Running(unittest.TestCase):
    def test_reduction_and_dump_then_runs(self):
        port = free_port()
        with Hub("-c", "33", port=port) as hub:
            out = hub.output
            self.assertIn("!! G_SOCKET::config()  number of connections reduced to: 32\n\n", out)
            self.assertIn(dump(32, 4096, port), out)
            self.assertIn(":: bind(0.0.0.0:%u)  RAW WS  max connections: 32\n"
                          ":: waiting for client connection...\n\n" % port, out)
            hub.wait_for(r"RAM at: 0x[0-9a-f]{8}", stderr=True)
            self.assertRegex(hub.errors, r":: page size   2 MB  :: align    2 MB RAM at: 0x[0-9a-f]{8}")

    def test_port_given_last_without_value(self):
        # "-p" as the last argument leaves the port alone; the harness' own -p
        # comes first, so the hub still listens on it.
        with Hub("-p") as hub:
            self.assertIn("waiting for client connection", hub.output)

    def test_packet_length_clamp_sizes_arena(self):
        with Hub("-c", "1", "-L", "0") as hub:
            # 2 MiB packets, one connection: R = 2 MiB, stride 6 MiB = 3 units.
            hub.wait_for("waiting")
            hub.wait_for(r"RAM at: 0x[0-9a-f]{8}", stderr=True)
            self.assertRegex(hub.errors, r":: align    6 MB RAM at")
            self.assertIn("packet_length_r:0\n", hub.output)

    def test_bind_failure(self):
        blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        blocker.bind((HOST, 0))
        blocker.listen(1)
        port = blocker.getsockname()[1]
        try:
            with tempfile.TemporaryDirectory() as d:
                p = subprocess.run([BIN, "-p", str(port)], cwd=d, capture_output=True, timeout=20)
            out = p.stdout.decode()
            # A hub that could not open its port ends with a failure status.
            self.assertEqual(p.returncode, 1)
            self.assertIn(":: bind(0.0.0.0:%u)  \nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))\n"
                          "   ^ERROR: 98, Address already in use\n\n" % port, out)
            self.assertNotIn("waiting for client connection", out)
        finally:
            blocker.close()

    def test_output_is_line_buffered_into_a_pipe(self):
        # The announcement must reach a pipe while the hub still runs.
        with Hub("-c", "2") as hub:
            self.assertIn("max connections: 2", hub.output)


if __name__ == "__main__":
    unittest.main()
