"""The Debian package: cpack -G DEB from this build, its contents and
control fields as dpkg-deb shows them, and the programs it holds run from a
root it was extracted into."""

import os
import re
import tempfile
import unittest

from harness import SLOW, Hub, run_tool

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
BUILD = os.environ.get("RELAYHUB_BUILD_DIR", "")
HAVE_BRIDGE = "RELAYHUB_BRIDGE_BIN" in os.environ

# Every file in the package: (path, mode, source file it is a copy of, or
# None for a program). A new install rule adds its line here.
CONTENTS = [
    ("usr/bin/relayhub", 0o755, None),
    ("usr/share/man/man1/relayhub.1", 0o644, "docs/relayhub.1"),
    ("usr/share/doc/relayhub/README.md", 0o644, "README.md"),
    ("usr/share/doc/relayhub/design.md", 0o644, "docs/design.md"),
    ("usr/share/doc/relayhub/federation.md", 0o644, "docs/federation.md"),
    ("usr/share/doc/relayhub/examples/relayhub.service", 0o644, "docs/relayhub.service"),
]
if HAVE_BRIDGE:
    CONTENTS += [
        ("usr/bin/relayhub-bridge", 0o755, None),
        ("usr/share/man/man1/relayhub-bridge.1", 0o644, "docs/relayhub-bridge.1"),
    ]


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(relayhub VERSION ([0-9.]+)", f.read()).group(1)


def check_output(args, timeout=60):
    p = run_tool(args, timeout=timeout)
    if p.returncode != 0:
        raise AssertionError("%s: status %d\n%s%s" % (args, p.returncode, p.stdout.decode()[-3000:],
                                                       p.stderr.decode()[-3000:]))
    return p.stdout.decode()


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not BUILD:
            raise AssertionError("RELAYHUB_BUILD_DIR is not set (ctest sets it)")
        cls.tmp = tempfile.TemporaryDirectory()
        out = os.path.join(cls.tmp.name, "out")
        check_output(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out],
                     timeout=600)
        arch = check_output(["dpkg", "--print-architecture"]).strip()
        cls.deb = os.path.join(out, "relayhub_%s_%s.deb" % (project_version(), arch))
        if not os.path.isfile(cls.deb):
            raise AssertionError("no %s among %s" % (cls.deb, os.listdir(out)))
        cls.arch = arch
        cls.root = os.path.join(cls.tmp.name, "root")
        check_output(["dpkg-deb", "-x", cls.deb, cls.root])

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def field(self, name):
        return check_output(["dpkg-deb", "-f", self.deb, name]).strip()

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), "relayhub")
        self.assertEqual(self.field("Version"), project_version())
        self.assertEqual(self.field("Architecture"), self.arch)
        self.assertEqual(self.field("Section"), "net")
        self.assertRegex(self.field("Maintainer"), r"^[^<>]+ <[^@<>\s]+@[^@<>\s]+>$")
        synopsis, _, long_text = self.field("Description").partition("\n")
        self.assertTrue(synopsis.strip())
        for program in ("relayhub", "relayhub-bridge"):
            self.assertIn(program, long_text)

    def test_depends_covers_every_library_the_programs_load(self):
        depends = {}
        for entry in self.field("Depends").split(","):
            m = re.fullmatch(r"\s*([a-z0-9][a-z0-9.+-]*)\s*(\(>= [^)]+\))?\s*", entry)
            self.assertIsNotNone(m, entry)
            depends[m.group(1)] = m.group(2)
        # dpkg-shlibdeps gives most the least version with the symbols used.
        self.assertIsNotNone(depends.get("libc6"), depends)
        for path, _, source in CONTENTS:
            if source is not None:
                continue
            dynamic = check_output(["readelf", "-d", os.path.join(self.root, path)])
            for soname in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic):
                owners = {line.split(":")[0] for line in check_output(["dpkg", "-S", "*/" + soname]).splitlines()}
                self.assertTrue(owners & set(depends), "%s needs %s of %s; Depends: %s"
                                % (path, soname, sorted(owners), sorted(depends)))

    def test_contents(self):
        listing = check_output(["dpkg-deb", "-c", self.deb])
        files = {}
        for line in listing.splitlines():
            mode, _, _, _, _, name = line.split(None, 5)
            self.assertEqual(line.split()[1], "root/root", line)
            if mode[0] != "d":
                files[name.removeprefix("./")] = mode
        self.assertEqual(sorted(files), sorted(p for p, _, _ in CONTENTS))
        for path, mode, source in CONTENTS:
            with self.subTest(path=path):
                self.assertEqual(files[path], "-" + "".join(
                    c if mode >> (8 - i) & 1 else "-" for i, c in enumerate("rwxrwxrwx")))
                extracted = os.path.join(self.root, path)
                if source is not None:
                    with open(extracted, "rb") as a, open(os.path.join(SOURCE, source), "rb") as b:
                        self.assertEqual(a.read(), b.read())
                else:
                    # Stripped: no debugging sections go into the package.
                    sections = check_output(["readelf", "-S", "-W", extracted])
                    self.assertNotIn(".debug_info", sections)

    def test_extracted_programs_run(self):
        hub = os.path.join(self.root, "usr/bin/relayhub")
        p = run_tool([hub, "-h"], timeout=20, cwd=self.tmp.name)
        self.assertEqual(p.returncode, 0)
        self.assertIn(":: usage ::\n\t%s <-p listen port>\n" % hub, p.stdout.decode())
        if HAVE_BRIDGE:
            bridge = os.path.join(self.root, "usr/bin/relayhub-bridge")
            p = run_tool([bridge, "--help"], timeout=20)
            self.assertEqual(p.returncode, 0)
            self.assertTrue(p.stdout.decode().startswith("usage: %s --hub HOST:PORT" % bridge), p.stdout[:200])
        # The packaged hub relays between two plain clients.
        with Hub("-c", "2", binary=hub) as h, h.connect() as a, h.connect() as b:
            a.sendall(b"from the package\n")
            b.settimeout(10 * SLOW)
            got = b""
            while not got.endswith(b"\n"):
                chunk = b.recv(4096)
                self.assertTrue(chunk, "closed after %r" % got)
                got += chunk
            self.assertEqual(got, b"from the package\n")


if __name__ == "__main__":
    unittest.main()
