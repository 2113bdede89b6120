#!/usr/bin/env python3
# mksetup on the host: build, list, verify and extract through the real
# command line, on real files with real times. (Signing with osslsigncode is
# run_with_host_mksetup.sh's, under Wine.)
#
#   mksetup_test.py MKSETUP PROJECT_DIR [unittest arguments]
import hashlib, json, os, pathlib, socket, struct, subprocess, sys, tempfile, time, unittest, zlib

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


# The smallest Windows executable mksetup takes for a stub: MZ, a PE header
# with no sections, an executable PE32 image; 4002 bytes in all.
def pe_stub():
    data = bytearray(4002)
    data[0:2], data[0x40:0x44] = b"MZ", b"PE\0\0"
    struct.pack_into("<I", data, 0x3C, 0x40)
    struct.pack_into("<HHIIIHHH", data, 0x44, 0x14C, 0, 0, 0, 0, 0xE0, 0x0102, 0x10B)
    return bytes(data)


# pe_stub grown to size, its section table (name, file offset, size) and
# the image digest's record, none recorded, in its last 64 bytes.
def sectioned_stub(sections, size=8192):
    data = bytearray(pe_stub() + bytes(size - 4002))
    struct.pack_into("<H", data, 0x46, len(sections))
    table = b"".join(name.ljust(8, b"\0") + struct.pack("<IIII", n, 0, n, at) + bytes(16) for name, at, n in sections)
    data[0x138:0x138 + len(table)] = table
    data[-64:-56] = b"KVDIGEST"
    return bytes(data)


class Mksetup(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        os.environ["XDG_CACHE_HOME"] = self.path("cache-home")  # each test a cache of its own
        self.stub = self.file("stub.exe", pe_stub())
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

    def tool(self, *args, env=None, timeout=None):
        return subprocess.run([MKSETUP, *args], capture_output=True, text=True, env=dict(os.environ, **(env or {})),
                              timeout=timeout)

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
        listing = json.loads(self.tool("list", "--json", self.path("c.exe")).stdout)
        c = self.read(self.path("c.exe"))  # the digest is BLAKE2s-256 of the records, as the standard has it
        self.assertEqual(hashlib.blake2s(c[records(c)[0][0]:-19]).hexdigest(), listing["payloadDigest"])
        self.assertEqual((4002, 0, {"index": 3, "output": "KVFiles3.tmp", "name": "noise.bin", "size": 50000,
                                    "lastWriteTime": "2014-05-13T16:53:20.9876543Z"}),
                         (listing["firstRecordOffset"], listing["bytesAfterTrailer"],
                          {k: listing["records"][3][k] for k in ["index", "output", "name", "size", "lastWriteTime"]}))
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
                ([self.file("empty", b""), self.files[0]], "empty: is empty, but FILE 1 is the program"),
                (["--manifest", self.file("z", b'<P1="a">\0<P2="b">'), *two], "z: the manifest holds a zero byte at offset 8"),
                (["--manifest", self.file("s", b'<P1="a"><P3="c">'), *self.files], 'no tag <P2=" for record 2 ('),
                (["--manifest", self.file("p", b'<P01="a">'), self.files[0]], 'no tag <P1=" for record 1'),
                (["--manifest", self.file("d", b'<P1="a"><P2="b"><P2="c">'), *two], 'tag <P2=" appears more than once'),
                ([self.files[0], self.file('x"><P2="evil.dll', b"evil")], "holds a character Windows does not allow"),
                (["--manifest", self.file("x", b'<P1="a"><P2="b"><P3="c"><P4="d">'), *self.files],
                 'tag <P4=" names a record beyond the 3 files given'),
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
                (good[:-300], "is not an installer: no end marker", 1),
                (flipped, "record 2 at offset %d: inflating fails" % found[2][0], 1),
                (good + bytes(29986), "1 more than the 29985", 1),
                (good + bytes(29985), "", 0),
                (installer(b'<P1="a"><P2="b"><P3="c">'), "", 0),
                (installer(b'<P1="a"><P2="b"><P3="c"><P4="d">'), "record 4 at offset", 1),
                (installer(b'<P1="a"><P3="c">'), "tag missing from the manifest", 1),
                (installer(b'<P10="a">', b""), 'no tag <P1=": there is no second stage', 1),
                (installer(b'<P1="a">', b""), "with no second stage, the unpacker stops with -7", 1),
                (installer(b"x" * (5 << 20), b""), "too large to check", 1),
                (good[:found[3][0]] + struct.pack("<IIQQQ", 0xFFFFFFF0, 7, 0, 0, 0) + zlib.compress(b"x") + good[-19:],
                 "declares 4294967280 bytes, more than its stream of 7 could ever inflate to", 1),
                (good[:found[3][0]] + struct.pack("<IIQQQ", 9, 9, 0, 0, 0) + zlib.compress(b"x") + good[-19:],
                 "inflates to 1 bytes, fewer than the 9 it declares", 1)]:
            run = self.tool("verify", self.file("damaged.exe", file))
            self.assertEqual((code, True), (run.returncode, expected in run.stderr), run.stderr)

    def test_writes_over_nothing_it_reads_and_says_in_one_line_what_is_wrong(self):
        kept = {f: self.read(f) for f in [self.stub, *self.files]}
        manifest = self.file("m.txt", b'<P1="a"><P2="b">')
        os.symlink(self.files[1], self.path("alias"))
        for args, expected in [
                (["-o", self.files[1], *self.files], "data.txt: is the input"),
                (["-o", self.stub, self.files[0]], "stub.exe: is the stub"),
                (["-o", manifest, "--manifest", manifest, *self.files[:2]], "m.txt: is the manifest"),
                (["-o", self.path("s.exe"), self.files[1], self.path("alias")], "data.txt and %s are the same file" % self.path("alias"))]:
            run = self.tool("build", "--stub", self.stub, *args)
            self.assertEqual((1, True), (run.returncode, expected in run.stderr), run.stderr)
        self.assertEqual(kept, {f: self.read(f) for f in kept})
        for stub, expected in [(self.files[1], "data.txt: is not a Windows executable"), (self.dir.name, "is a folder")]:
            self.assertIn(expected, self.tool("build", "--stub", stub, "-o", self.path("s.exe"), self.files[0]).stderr)
        twice = self.tool("build", "--stub", self.stub, "-o", "a", "-o", "b", self.files[0])
        self.assertEqual((2, "mksetup: -o is given twice\ntry 'mksetup build --help'\n"), (twice.returncode, twice.stderr))
        self.assertEqual((1, "mksetup: %s: is a folder\n" % self.dir.name), (self.tool("verify", self.dir.name).returncode,
                                                                            self.tool("list", self.dir.name).stderr))
        run = self.build(self.path("one.exe"), self.files[0], env={"SOURCE_DATE_EPOCH": ""})
        self.assertEqual((0, True), (run.returncode, "1 file after" in run.stdout), run.stderr)
        self.assertEqual(0, self.tool("extract", self.path("one.exe"), self.path("x")).returncode)
        self.file("x/KVFiles1.tmp", b"mine")
        os.remove(self.path("x/KVFiles0.tmp"))
        os.symlink(self.path("nowhere"), self.path("x/KVFiles0.tmp"))  # a link leading nowhere is a name taken too
        run = self.tool("extract", self.path("one.exe"), self.path("x"))
        self.assertEqual((1, b"mine", True), (run.returncode, self.read(self.path("x/KVFiles1.tmp")),
                                             os.path.islink(self.path("x/KVFiles0.tmp"))), run.stderr)
        self.assertEqual(2, self.build(self.path("e.exe"), "--codepage", "500", self.files[0]).returncode)  # EBCDIC

    def test_reads_only_regular_files_and_writes_over_none_of_them(self):
        # A FIFO, a link to /dev/zero and a socket, each given as every file
        # mksetup reads: refused at once, none waited on or read.
        specials = [self.path("d%d/%s" % (i, name)) for i, name in enumerate(["fifo", "zero", "sock"])]
        for special in specials:
            os.makedirs(os.path.dirname(special))
        os.mkfifo(specials[0])
        os.symlink("/dev/zero", specials[1])
        sock = socket.socket(socket.AF_UNIX)
        self.addCleanup(sock.close)
        sock.bind(specials[2])
        out = ["-o", self.path("o.exe")]
        for special in specials:
            for args in [["list", special], ["verify", special], ["extract", special, self.path("x")],
                         ["build", "--stub", special, *out, self.files[0]],
                         ["build", "--stub", self.stub, *out, "--manifest", special, self.files[0]],
                         ["build", "--stub", self.stub, *out, "@" + special],
                         ["build", "--stub", self.stub, *out, "--follow-links", self.files[0], os.path.dirname(special)]]:
                run = self.tool(*args, timeout=60)
                self.assertEqual((1, "mksetup: %s: is not a regular file (a device, FIFO or socket); mksetup reads only "
                                  "files\n" % special), (run.returncode, run.stderr), args)
        # What it reads is never written over, told by identity: a list (by
        # its name or a link's), the installer extract reads.
        listing = self.file("files.txt", self.files[0].encode())
        os.symlink(listing, self.path("alias"))
        for out in [listing, self.path("alias")]:
            run = self.build(out, "@" + listing)
            self.assertEqual((1, "mksetup: %s: is %s, which this build reads; mksetup never writes over what it reads\n"
                              % (out, listing), self.files[0].encode()), (run.returncode, run.stderr, self.read(listing)))
        os.makedirs(self.path("out"))
        for name in ["KVFiles0.tmp", "KVFiles1.tmp.partial"]:
            setup = self.path("out/" + name)
            self.assertEqual(0, self.build(setup, self.files[0]).returncode)
            kept, run = self.read(setup), self.tool("extract", "--force", setup, self.path("out"))
            self.assertEqual((1, "mksetup: %s: is the installer %s; mksetup never writes over what it reads\n" % (setup, setup),
                              kept), (run.returncode, run.stderr, self.read(setup)))
            os.remove(setup)

    def test_a_tree_a_list_and_the_names_the_manifest_gives(self):
        for name, content in [("bin/tool.dll", b"MZ tool"), ("doc/copyright", b"GPL"), ("lib/x/copyright", b"MIT"),
                              ("empty.txt", b""), ("\u00e9t\u00e9.txt", b"summer")]:
            os.makedirs(os.path.dirname(self.path("app/" + name)), exist_ok=True)
            self.file("app/" + name, content, 1300000000)
        built = self.build(self.path("t.exe"), "--json", self.files[0], self.path("app"))
        self.assertEqual(0, built.returncode, built.stderr)
        names = ["setup2.exe", "bin\\tool.dll", "doc\\copyright", "empty.txt", "lib\\x\\copyright", "\u00e9t\u00e9.txt"]
        self.assertEqual(names, [f["name"] for f in json.loads(built.stdout)["files"]])
        self.assertEqual(names, [r["name"] for r in json.loads(self.tool("list", "--json", self.path("t.exe")).stdout)["records"][1:]])
        self.assertEqual((True, 7), (lambda v: (v["ok"], v["records"]))(json.loads(self.tool("verify", "--json", self.path("t.exe")).stdout)))
        extracted = json.loads(self.tool("extract", "--json", self.path("t.exe"), self.path("out")).stdout)
        self.assertEqual(names, [w["name"] for w in extracted["written"]][1:])
        self.assertIn(b'<P6="\xe9t\xe9.txt">', self.read(self.path("out/KVFiles0.tmp")))  # Windows-1252
        self.assertEqual((b"", filetime(1300000000, 987654300)), (self.read(self.path("out/KVFiles4.tmp")),
                                                                  filetime(0, os.stat(self.path("out/KVFiles4.tmp")).st_mtime_ns)))
        self.assertIn("KVFiles5.tmp   lib\\x\\copyright", self.tool("extract", "--names", self.path("t.exe"), self.path("o2")).stdout)
        # A list of inputs; what the manifest cannot hold or tell apart.
        self.file("list.txt", b"# the program first\n%s\n\n%s\r\n" % (self.files[0].encode(), self.path("app/doc").encode()))
        self.assertEqual(["setup2.exe", "copyright"], [f["name"] for f in json.loads(
            self.build(self.path("l.exe"), "--json", "@" + self.path("list.txt")).stdout)["files"]])
        os.makedirs(self.path("app/Doc"))
        self.file("app/Doc/COPYRIGHT", b"again")
        self.file("app/\u03c9MEGA", b"2")
        os.makedirs(self.path("t1"))
        self.file("t1/docs", b"a file")
        os.makedirs(self.path("t2/Docs"))
        self.file("t2/Docs/readme.txt", b"a file in a folder")
        os.makedirs(self.path("twice"))
        os.symlink(self.path("app/doc"), self.path("twice/a"))
        os.symlink(self.path("app/doc"), self.path("twice/b"))
        os.makedirs(self.path("cycle/in"))
        os.symlink(self.path("cycle"), self.path("cycle/in/back"))
        os.makedirs(self.path("far"))
        self.file("far/\u65e5\u672c.txt", b"nihon")
        for args, expected in [
                ([self.files[0], self.path("app/doc/copyright"), self.path("app/lib/x/copyright")],
                 "app/doc/copyright and %s would both be named copyright" % self.path("app/lib/x/copyright")),
                ([self.files[0], self.path("app/doc"), self.path("app/Doc")], "would both be named COPYRIGHT"),
                (["--codepage", "1253", self.files[0], self.file("\u03a9mega", b"1"), self.path("app/\u03c9MEGA")],
                 "would both be named \u03c9MEGA"),
                ([self.files[0], self.path("cycle")], "cycle/in/back: leads back to a folder it is in"),
                ([self.files[0], self.path("far")], "its name \u65e5\u672c.txt cannot be written in code page 1252"),
                ([self.files[0], self.file("a:b", b"x")], "holds a character Windows does not allow"),
                ([self.files[0], self.file("CON .txt", b"x")], "is a device's name"),
                ([self.files[0], self.file("com\u00b9.log", b"x")], "is a device's name"),
                ([self.files[0], self.path("t1"), self.path("t2")], "Docs/readme.txt: Docs would be a file and a folder"),
                (["--follow-links", self.files[0], self.path("twice")], "twice/b: is a folder already taken")]:
            run = self.build(self.path("r.exe"), *args)
            self.assertEqual((1, True, False), (run.returncode, expected in run.stderr, os.path.exists(self.path("r.exe"))),
                             run.stderr)
        self.assertEqual(0, self.build(self.path("j.exe"), "--codepage", "932", "-q", self.files[0], self.path("far")).returncode)
        # A hostile manifest's names, shown: no control reaches a terminal, and JSON stays UTF-8.
        self.file("hostile.txt", b'<P1="\xc2\x9b2J\x1b[31m\xed\xa0\x80">')
        self.build(self.path("h.exe"), "--manifest", self.path("hostile.txt"), self.files[0])
        shown = subprocess.run([MKSETUP, "list", "--codepage", "65001", self.path("h.exe")], capture_output=True).stdout
        self.assertEqual((False, False), (b"\x1b" in shown, b"\x9b" in shown))
        self.assertEqual("?2J?[31m\\xED\\xA0\\x80", json.loads(self.tool("list", "--json", "--codepage", "65001",
                                                                       self.path("h.exe")).stdout)["records"][1]["name"])

    def test_links_leading_out_of_a_tree_and_an_input_swapped_before_it_is_read(self):
        # A link in a folder given, at any depth, to a file or a folder out of
        # it (app-keys only begins like app) is refused, naming it and where
        # it leads, unless --follow-links; one that stays inside is walked.
        app, keys = self.path("app"), self.path("app-keys")
        os.makedirs(keys)
        os.makedirs(self.path("app/deep/er"))
        self.file("app-keys/me.key", b"secret")
        self.file("app/readme.txt", b"read me")
        out = "a link leading out of %s (to %s); --follow-links packs what such links lead to"
        for link, to, expected in [("app/deep/er/extras", keys, out % (app, os.path.realpath(keys))),
                                   ("app/deep/up", "..", "leads back to a folder it is in"),
                                   ("app/notes.txt", "../app-keys/me.key", out % (app, os.path.realpath(keys + "/me.key")))]:
            os.symlink(to, self.path(link))
            run = self.build(self.path("o.exe"), self.files[0], app)
            self.assertEqual((1, True, False), (run.returncode, "mksetup: %s: %s" % (self.path(link), expected) in run.stderr,
                                                os.path.exists(self.path("o.exe"))), run.stderr)
            if link != "app/notes.txt":
                os.remove(self.path(link))
        # A key out of the tree whose whole path is longer than a path may
        # be (no realpath), reached through two links the system follows.
        fd = os.open(keys, os.O_RDONLY)
        for level in range(24):
            if level == 12:
                os.symlink("/".join(["d" * 200] * 12), "hop", dir_fd=fd)
            os.mkdir("d" * 200, dir_fd=fd)
            inner = os.open("d" * 200, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = inner
        os.close(os.open("far.key", os.O_WRONLY | os.O_CREAT, dir_fd=fd))
        os.close(fd)
        os.symlink(keys + "/" + "/".join(["d" * 200] * 12) + "/hop/far.key", self.path("app/far.key"))
        run = self.build(self.path("o.exe"), self.files[0], app)
        self.assertEqual((1, "mksetup: %s/far.key: a link leading where its path cannot be told; --follow-links packs "
                             "what such links lead to\n" % app), (run.returncode, run.stderr))
        built = self.build(self.path("f.exe"), "--json", "--follow-links", self.files[0], app)
        self.assertEqual(["setup2.exe", "far.key", "notes.txt", "readme.txt"],
                         [f["name"] for f in json.loads(built.stdout)["files"]])
        # An input put back as a link to a secret of its size while the build
        # is busy with a larger one: a file read whole, and one streamed.
        big, late, secret = self.file("big", os.urandom(16 << 20)), self.path("late"), self.path("secret")
        for size in [1 << 20, 65 << 20]:
            for name in [late, secret]:
                os.truncate(self.file(name, b""), size)
            run = subprocess.Popen([MKSETUP, "build", "--stub", self.stub, "-o", self.path("s.exe"), "--jobs", "1", big, late],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            while not os.path.exists(self.path("s.exe.partial")) and run.poll() is None:
                time.sleep(0.001)
            os.remove(late)
            os.symlink(secret, late)
            self.assertEqual((3, "mksetup: %s: changed while the build ran: it is not the file that was listed\n" % late),
                             (run.wait(60), run.communicate()[1]))
            self.assertFalse([f for f in os.listdir(self.dir.name) if f.startswith("s.exe")])
            os.remove(late)

    def test_a_rebuild_takes_from_the_cache_only_streams_that_inflate_to_the_file(self):
        epoch, cache = {"SOURCE_DATE_EPOCH": "1350000000"}, self.path("cache-home/mksetup")
        files = self.files + [self.file("zeros", bytes(3 << 20))]
        self.assertEqual(0, self.build(self.path("fresh.exe"), "--no-cache", *files, env=epoch).returncode)
        self.assertFalse(os.path.exists(cache), "--no-cache keeps nothing")
        self.assertEqual(0, self.build(self.path("first.exe"), *files, env=epoch).returncode)
        entries = sorted(pathlib.Path(cache).glob("*.rec"))
        self.assertEqual((5, 0o700), (len(entries), os.stat(cache).st_mode & 0o777))
        # Entries someone else made: the stream of other bytes of the same
        # size, the right one with a byte after it, one cut short: none is
        # taken.
        for i, entry in enumerate(entries):
            data = entry.read_bytes()
            other = zlib.compress(bytes(b ^ 1 for b in zlib.decompress(data[24:])))
            entry.write_bytes(data[:24] + [other, data[24:] + b"x", data[24:-1]][i % 3])
        for name, args in [("again.exe", []), ("trimmed.exe", ["--cache-limit", "1"])]:
            self.assertEqual(0, self.build(self.path(name), *args, *files, env=epoch).returncode)
            self.assertEqual(self.read(self.path("fresh.exe")), self.read(self.path(name)), name)
        self.assertLessEqual(sum(e.stat().st_size for e in pathlib.Path(cache).glob("*.rec")), 1 << 20)
        os.chmod(cache, 0o777)
        run = self.build(self.path("shared.exe"), *files, env=epoch)
        self.assertEqual((0, True), (run.returncode, "others can write in it, so it is not used" in run.stderr))
        self.assertEqual(2, self.build(self.path("x.exe"), "--no-cache", "--cache", cache, *files).returncode)

    def test_interrupted_leaves_nothing_and_ends_its_signer(self):
        big = self.file("big", os.urandom(96 << 20))
        signer = "python3 -c 'import time; time.sleep(60)' {in} {out}"
        for signal, sign in [(2, []), (15, ["--sign", signer])]:
            run = subprocess.Popen([MKSETUP, "build", "--stub", self.stub, "-o", self.path("s.exe"), *sign, big],
                                   stdout=subprocess.DEVNULL, stderr=open(self.path("err"), "w"))
            temp = self.path("s.exe" + (".unsigned" if sign else ".partial"))
            signing = lambda: subprocess.run(["pgrep", "-f", "sleep.60. " + temp], capture_output=True).returncode == 0
            while run.poll() is None and not (signing() if sign else os.path.exists(temp)):
                time.sleep(0.01)
            run.send_signal(signal)
            self.assertEqual(-signal, run.wait(), self.read(self.path("err")))
            self.assertFalse([f for f in os.listdir(self.dir.name) if f.startswith("s.exe")])
            self.assertFalse(signing(), "the signer was ended")

    def test_signs_only_with_a_program_on_the_path(self):
        signer = self.file("signer", b"#!/bin/sh\ntouch planted-ran\ncp $1 $2\n")
        os.chmod(signer, 0o755)
        run = subprocess.run([MKSETUP, "build", "--stub", self.stub, "-o", "s.exe", "--sign", "signer {in} {out}",
                              self.files[0]], capture_output=True, text=True, cwd=self.dir.name,
                             env=dict(os.environ, PATH=":.:" + os.environ["PATH"]))
        self.assertEqual((1, True, False), (run.returncode, "signer is not on the PATH" in run.stderr,
                                            os.path.exists(self.path("planted-ran"))), run.stderr)

    def test_any_number_of_threads_builds_the_same_bytes_a_large_file_streamed_among_them(self):
        epoch = {"SOURCE_DATE_EPOCH": "1350000000"}
        files = [self.file("f%02d" % i, (b"record %d " % i) * (i * 997 + 1) + os.urandom(i * 131), 1300000000 + i)
                 for i in range(40)]
        files[20] = self.file("f20", bytes(68 << 20) + os.urandom(1 << 20))  # past 64 MB: deflated in pieces
        manifest = self.file("m", b"".join(b'<P%d="f%02d">' % (i + 1, i) for i in range(40)))
        for extra in [[], ["--manifest", manifest]]:
            builds = [self.build(self.path("j%d.exe" % jobs), "--jobs", str(jobs), *extra, *files, env=epoch)
                      for jobs in (1, 2, 3, 8)]
            self.assertEqual([0] * 4, [b.returncode for b in builds])
            self.assertEqual(1, len({self.read(self.path("j%d.exe" % jobs)) for jobs in (1, 2, 3, 8)}), extra)
        self.assertEqual((0, 0), (self.tool("verify", self.path("j2.exe")).returncode,
                                  self.tool("extract", self.path("j2.exe"), self.path("x")).returncode))
        self.assertEqual(self.read(files[20]), self.read(self.path("x/KVFiles21.tmp")))

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
        run = self.build(self.path("o.exe"), self.files[0])
        self.assertEqual((1, True), (run.returncode, "o.exe.partial exists" in run.stderr), run.stderr)
        os.remove(self.path("o.exe.partial"))
        self.assertEqual(0, self.build(self.path("o.exe"), self.files[0]).returncode)
        os.mkdir(self.path("x"))
        os.symlink(victim, self.path("x/KVFiles1.tmp.partial"))
        self.assertEqual(0, self.tool("extract", "--force", self.path("o.exe"), self.path("x")).returncode)
        self.assertEqual((b"keep", b"MZ second stage"), (self.read(victim), self.read(self.path("x/KVFiles1.tmp"))))

    def test_a_header_is_believed_only_as_far_as_an_image_goes(self):
        # The digest's record is found in the one .rdata of a header of at
        # most 96 sections; 65535 of them over 8 MB, each .rdata, cost a pass.
        slow = self.file("slow.exe", sectioned_stub([(b".rdata", 0, 8 << 20)] * 65535, 8 << 20))
        for sections, shown in [([(b".rdata", 0, 8192)], ", as the stub records"),
                                ([(b".rdata", 0, 4096), (b".rdata", 0, 8192)], "; the stub records none and checks none"),
                                ([(b".text", 0, 16)] * 96 + [(b".rdata", 0, 8192)], "; the stub records none")]:
            self.assertEqual(0, self.tool("build", "--stub", self.file("s.exe", sectioned_stub(sections)), "-o",
                                          self.path("d.exe"), self.files[0]).returncode)
            self.assertIn(shown, self.tool("list", self.path("d.exe")).stdout, len(sections))
            os.remove(self.path("d.exe"))
        self.assertEqual(0, self.tool("build", "--stub", slow, "-o", self.path("d.exe"), self.files[0], timeout=60).returncode)
        for args in [["list", self.path("d.exe")], ["verify", self.path("d.exe")], ["extract", self.path("d.exe"), self.path("x")]]:
            run = self.tool(*args, timeout=60)
            self.assertEqual((0, True), (run.returncode, "the stub holds no payload digest" in run.stderr), run.stderr)
        self.assertIn("is not an installer: no end marker", self.tool("verify", slow, timeout=60).stderr)


if __name__ == "__main__":
    unittest.main()
