#!/usr/bin/env python3
# mksetup on the host: build, list, verify and extract through the real
# command line, on real files with real times. (Signing with osslsigncode is
# run_with_host_mksetup.sh's, under Wine.)
#
#   mksetup_test.py MKSETUP PROJECT_DIR [unittest arguments]
import os, pathlib, struct, subprocess, sys, tempfile, time, unittest, zlib

MKSETUP, PROJECT = sys.argv.pop(1), sys.argv.pop(1)


def filetime(seconds, ns=0):
    return seconds * 10**7 + ns // 100 + 116444736000000000


# (offset, size, stream size, creation, last access, last write) of each record.
def records(data):
    at, found = struct.unpack_from("<I", data, len(data) - 19)[0], []
    while at < len(data) - 19:
        found.append((at,) + struct.unpack_from("<IIQQQ", data, at))
        at += 32 + found[-1][2]
    return found


class Mksetup(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.stub = self.file("stub.exe", b"MZ" + b"\x90" * 4000)
        big = b"".join(b"line %d of the second stage's data\n" % (i * 7919 % 10007) for i in range(20000))
        self.files = [self.file("setup2.exe", b"MZ second stage", 1262304000), self.file("data.txt", big, 1300000000),
                      self.file("noise.bin", os.urandom(50000), 1400000000)]

    def path(self, name):
        return os.path.join(self.dir.name, name)

    # A file with this content, last access an hour after last write.
    def file(self, name, content, seconds=0):
        pathlib.Path(self.path(name)).write_bytes(content)
        os.utime(self.path(name), ns=((seconds + 3600) * 10**9 + 123456700, seconds * 10**9 + 987654300))
        return self.path(name)

    def read(self, path):
        return pathlib.Path(path).read_bytes()

    def tool(self, *args, env=None):
        return subprocess.run([MKSETUP, *args], capture_output=True, text=True, env=dict(os.environ, **(env or {})))

    def build(self, out, *args, env=None):
        return self.tool("build", "--stub", self.stub, "-o", out, *args, env=env)

    def test_builds_what_lists_verifies_and_extracts_byte_identical_with_the_times_or_their_clamp(self):
        # 2012-10-12: after the first two files' times, before the third's.
        epoch = {"SOURCE_DATE_EPOCH": "1350000000"}
        self.assertEqual(0, self.build(self.path("c.exe"), *self.files).returncode)  # first: reading moves last access
        self.assertEqual(0, self.build(self.path("a.exe"), *self.files, env=epoch).returncode)
        time.sleep(1)  # a later "now" for the generated manifest: the same bytes
        self.assertEqual(0, self.build(self.path("b.exe"), *self.files, env=epoch).returncode)
        self.assertEqual(self.read(self.path("a.exe")), self.read(self.path("b.exe")))
        self.assertIn("all 4 records", self.tool("verify", self.path("c.exe")).stdout)
        listing = self.tool("list", "--json", self.path("c.exe")).stdout
        for part in ['"firstRecordOffset": 4002,', '"bytesAfterTrailer": 0,', '"size": 50000,', '"name": "KVFiles3.tmp"',
                     '"lastWriteTime": "2014-05-13T16:53:20.9876543Z"']:
            self.assertIn(part, listing)
        for name in "ac":
            out = self.path(name)
            self.assertEqual(0, self.tool("extract", out + ".exe", out).returncode)
            self.assertEqual(b'<P1="setup2.exe">\r\n<P2="data.txt">\r\n<P3="noise.bin">\r\n\0', self.read(out + "/KVFiles0.tmp"))
            for i, seconds in enumerate([1262304000, 1300000000, 1400000000]):
                extracted = "%s/KVFiles%d.tmp" % (out, i + 1)
                times = os.stat(extracted)  # before reading moves them
                write, access = filetime(seconds, 987654300), filetime(seconds + 3600, 123456700)
                if name == "a":  # clamped; the last access follows the last write
                    write = access = filetime(1350000000) if i == 2 else write
                self.assertEqual((write, access), (filetime(0, times.st_mtime_ns), filetime(0, times.st_atime_ns)))
                self.assertEqual(self.read(self.files[i]), self.read(extracted))
        self.assertEqual("mksetup %s\n" % self.read(PROJECT + "/VERSION").decode().strip(), self.tool("-V").stdout)

    def test_refuses_what_the_unpacker_would_mishandle_leaving_nothing(self):
        setup, two = self.path("setup.exe"), self.files[:2]
        marker = self.file("marker.txt", b"x" * 1000 + b"!--END FILE--!tail")
        for args, expected in [
                ([self.files[0], self.file("empty", b"")], "empty: the file is empty"),
                (["--manifest", self.file("z", b'<P1="a">\0<P2="b">'), *two], "z: the manifest holds a zero byte at offset 8"),
                (["--manifest", self.file("s", b'<P1="a"><P3="c">'), *self.files], 'no tag <P2=" for record 2 ('),
                (["--manifest", self.file("p", b'<P01="a">'), self.files[0]], 'no tag <P1=" for record 1'),
                (["--manifest", self.file("d", b'<P1="a"><P2="b"><P2="c">'), *two], 'tag <P2=" appears more than once'),
                ([self.files[0], self.file('x"><P2="evil.dll', b"evil")], "would add or break a tag"),
                (["--manifest", self.file("x", b'<P1="a"><P2="b"><P3="c"><P4="d">'), *self.files],
                 'tag <P4=" names record 4, but only 3 files are given'),
                (["--level", "0", self.files[0], marker], "): the marker bytes")]:
            run = self.build(setup, *args)
            self.assertEqual((1, True), (run.returncode, expected in run.stderr), run.stderr)
            self.assertFalse([f for f in os.listdir(self.dir.name) if f.startswith("setup.exe")], args)
        self.assertEqual(0, self.build(setup, self.files[0], marker).returncode, "compressed, the marker is gone")
        for misuse in [[], ["--level", "13", "-o", "x"], ["--compressor", "zlib", "--level", "10", "-o", "x"]]:
            self.assertEqual(2, self.tool("build", "--stub", self.stub, *misuse, *self.files).returncode, misuse)
        self.assertEqual(3, self.tool("build", "--stub", self.path("missing"), "-o", "x", *self.files).returncode)

        # verify: a download cut short, a byte flipped, bytes appended, the
        # manifest naming one record too many or skipping one (the same rebuilt
        # with the right manifest passes), 5 MiB of manifest packed small.
        self.assertEqual(0, self.build(setup, *self.files).returncode)
        good = self.read(setup)
        found = records(good)
        flipped = bytearray(good)
        flipped[found[2][0] + 42] ^= 0x20

        def installer(manifest, rest=good[found[1][0]:-19]):
            manifest += b"\0"
            packed = zlib.compress(manifest)
            return self.read(self.stub) + struct.pack("<IIQQQ", len(manifest), len(packed), 0, 0, 0) + packed + rest + \
                struct.pack("<I", 4002) + b"!--END FILE--!\0"
        for file, expected, code in [
                (good[:-300], "no trailer", 1),
                (flipped, "record 2 at offset %d: inflating fails" % found[2][0], 1),
                (good + bytes(29986), "1 more than the 29985", 1),
                (good + bytes(29985), "", 0),
                (installer(b'<P1="a"><P2="b"><P3="c">'), "", 0),
                (installer(b'<P1="a"><P2="b"><P3="c"><P4="d">'), "record 4 at offset", 1),
                (installer(b'<P1="a"><P3="c">'), "tag missing from the manifest", 1),
                (installer(b'<P10="a">', b""), 'no tag <P1=": there is no second stage', 1),
                (installer(b'<P1="a">', b""), "with no second stage, the unpacker stops with -7", 1),
                (installer(b"x" * (5 << 20), b""), "too large to check", 1)]:
            run = self.tool("verify", self.file("damaged.exe", file))
            self.assertEqual((code, True), (run.returncode, expected in run.stderr), run.stderr)

    def test_any_number_of_threads_builds_the_same_bytes(self):
        epoch = {"SOURCE_DATE_EPOCH": "1350000000"}
        files = [self.file("f%02d" % i, (b"record %d " % i) * (i * 997 + 1) + os.urandom(i * 131), 1300000000 + i)
                 for i in range(40)]
        manifest = self.file("m", b"".join(b'<P%d="f%02d">' % (i + 1, i) for i in range(40)))
        for extra in [[], ["--manifest", manifest]]:
            builds = [self.build(self.path("j%d.exe" % jobs), "--jobs", str(jobs), *extra, *files, env=epoch)
                      for jobs in (1, 2, 3, 8)]
            self.assertEqual([0] * 4, [b.returncode for b in builds])
            self.assertEqual(1, len({self.read(self.path("j%d.exe" % jobs)) for jobs in (1, 2, 3, 8)}), extra)

    def test_a_file_that_changes_size_while_threads_build_is_refused_leaving_nothing(self):
        big = [self.file("big%d" % i, os.urandom(16 << 20)) for i in range(2)]
        late = self.file("late", os.urandom(1 << 20))
        run = subprocess.Popen([MKSETUP, "build", "--stub", self.stub, "-o", self.path("s.exe"), "--jobs", "2", *big, late],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        while not os.path.exists(self.path("s.exe.partial")) and run.poll() is None:
            time.sleep(0.001)
        os.truncate(late, 1 << 19)  # read only once a thread is free of big0 or big1
        self.assertEqual((3, True), (run.wait(), "late: changed size while it was read" in run.stderr.read()))
        self.assertFalse([f for f in os.listdir(self.dir.name) if f.startswith("s.exe")])

    def test_the_signing_command_runs_without_a_shell_must_sign_and_temporaries_never_follow_links(self):
        # The placeholders quoted by the command itself: the name stays one word.
        setup = self.path("we {out} $(touch pwned);'q\"b.exe")
        run = self.build(setup, "--sign", "cp '{in}' \"{out}\"", self.files[0])
        self.assertEqual((1, True), (run.returncode, "left the installer unsigned" in run.stderr), run.stderr)
        self.assertEqual([], [f for f in os.listdir(self.dir.name) if "pwned" in f or f.startswith("we ")])
        self.assertFalse(os.path.exists("pwned"))
        failing = self.build(self.path("f.exe"), "--sign", "false {in} {out} -pass s3cret", *self.files)
        self.assertEqual((1, True, False), (failing.returncode, "exit status 1" in failing.stderr, "s3cret" in failing.stderr))
        self.assertEqual(2, self.build(self.path("q.exe"), "--sign", "sign 'open {in} {out}", *self.files).returncode)
        victim = self.file("victim", b"keep")
        os.symlink(victim, self.path("o.exe.partial"))
        self.assertEqual(0, self.build(self.path("o.exe"), self.files[0]).returncode)  # read back, not signed
        os.mkdir(self.path("x"))
        os.symlink(victim, self.path("x/KVFiles1.tmp.partial"))
        self.assertEqual(0, self.tool("extract", self.path("o.exe"), self.path("x")).returncode)
        self.assertEqual((b"keep", b"MZ second stage"), (self.read(victim), self.read(self.path("x/KVFiles1.tmp"))))


if __name__ == "__main__":
    unittest.main()
