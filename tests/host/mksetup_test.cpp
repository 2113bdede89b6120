// mksetup on the host: build, list, verify and extract through the real
// command line, on real files with real times.
#include "extract/inflate_stream.h"
#include "tools/mksetup/file_io.h"
#include "tools/mksetup/installer.h"

#include <libdeflate.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using mksetup::Bytes;

struct ToolRun {
    int exitCode;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class MksetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/mksetup-test-XXXXXX";
        dir_ = mkdtemp(pattern);
        stub_ = dir_ + "/stub.exe";
        WriteText(stub_, "MZ" + std::string(4000, '\x90'));
    }
    void TearDown() override { std::system(("rm -rf " + Quote(dir_)).c_str()); }

    ToolRun Tool(const std::string& args, const std::string& environment = "")
    {
        std::string err = dir_ + "/stderr.txt";
        std::string command = environment + " " + Quote(MKSETUP_PATH) + " " + args + " 2>" + Quote(err);
        ToolRun run;
        FILE* pipe = popen(command.c_str(), "r");
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            run.out.append(buffer, n);
        int status = pclose(pipe);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.err = ReadText(err);
        return run;
    }

    // A file with the given content and times (whole 100 ns steps, as the
    // format keeps them).
    std::string MakeFile(const std::string& name, const std::string& content, int64_t seconds)
    {
        std::string path = dir_ + "/" + name;
        WriteText(path, content);
        struct timespec times[2] = {{(time_t)seconds + 3600, 123456700}, {(time_t)seconds, 987654300}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
        return path;
    }

    Bytes Load(const std::string& path)
    {
        std::string text = ReadText(path);
        return Bytes(text.begin(), text.end());
    }

    void Save(const std::string& path, const Bytes& b) { WriteText(path, std::string(b.begin(), b.end())); }

    // Three files, one of them large and compressible, one incompressible.
    std::vector<std::string> SampleFiles()
    {
        std::string big;
        for (int i = 0; i < 20000; ++i)
            big += "line " + std::to_string(i * 7919 % 10007) + " of the second stage's data\n";
        std::string noise(50000, '\0');
        uint32_t state = 12345;
        for (char& c : noise) {
            state = state * 1664525u + 1013904223u;
            c = (char)(state >> 24);
        }
        return {MakeFile("setup2.exe", "MZ second stage", 1262304000), MakeFile("data.txt", big, 1300000000),
                MakeFile("noise.bin", noise, 1400000000)};
    }

    std::string dir_, stub_;
};

TEST_F(MksetupTest, RoundTripGivesByteIdenticalFilesWithTheirTimes)
{
    std::vector<std::string> files = SampleFiles();
    std::string setup = dir_ + "/setup.exe";
    ToolRun build = Tool("build --stub " + Quote(stub_) + " -o " + Quote(setup) + " " + Quote(files[0]) + " " +
                         Quote(files[1]) + " " + Quote(files[2]));
    ASSERT_EQ(0, build.exitCode) << build.err;

    ToolRun verify = Tool("verify " + Quote(setup));
    EXPECT_EQ(0, verify.exitCode) << verify.err;
    EXPECT_NE(std::string::npos, verify.out.find("all 4 records")) << verify.out;

    ToolRun list = Tool("list --json " + Quote(setup));
    ASSERT_EQ(0, list.exitCode) << list.err;
    EXPECT_NE(std::string::npos, list.out.find("\"firstRecordOffset\": 4002,")) << list.out;
    EXPECT_NE(std::string::npos, list.out.find("\"bytesAfterTrailer\": 0,"));
    EXPECT_NE(std::string::npos, list.out.find("\"name\": \"KVFiles3.tmp\", \"offset\": "));
    EXPECT_NE(std::string::npos, list.out.find("\"size\": 50000,"));
    // noise.bin's last write, 2014-05-13T16:53:20.9876543Z.
    EXPECT_NE(std::string::npos, list.out.find("\"lastWriteTime\": \"2014-05-13T16:53:20.9876543Z\""));

    std::string out = dir_ + "/out";
    ToolRun extract = Tool("extract " + Quote(setup) + " " + Quote(out));
    ASSERT_EQ(0, extract.exitCode) << extract.err;
    EXPECT_EQ("<P1=\"setup2.exe\">\r\n<P2=\"data.txt\">\r\n<P3=\"noise.bin\">\r\n" + std::string(1, '\0'),
              ReadText(out + "/KVFiles0.tmp"));
    const int64_t seconds[3] = {1262304000, 1300000000, 1400000000};
    for (int i = 0; i < 3; ++i) {
        std::string extracted = out + "/KVFiles" + std::to_string(i + 1) + ".tmp";
        // Times before contents: reading moves the last-access time.
        mksetup::FileTimes copy;
        std::string error;
        ASSERT_TRUE(mksetup::GetFileTimes(extracted, &copy, &error));
        EXPECT_EQ(mksetup::FileTimeFromUnix(seconds[i], 987654300), copy.lastWrite) << extracted;
        EXPECT_EQ(mksetup::FileTimeFromUnix(seconds[i] + 3600, 123456700), copy.lastAccess) << extracted;
        EXPECT_EQ(ReadText(files[i]), ReadText(extracted)) << extracted;
    }
}

TEST_F(MksetupTest, StreamFromAnotherZlibCompressorExtractsByteExact)
{
    std::string source = SampleFiles()[1];
    std::string packed = dir_ + "/data.zz";
    ASSERT_EQ(0, std::system(("pigz -z -11 -c " + Quote(source) + " > " + Quote(packed)).c_str()));
    Bytes stream = Load(packed);
    Bytes original = Load(source);

    Bytes installer = Load(stub_);
    uint32_t first = (uint32_t)installer.size();
    std::string manifest = std::string("<P1=\"data.txt\">") + '\0';
    mksetup::AppendRecord(installer, (uint32_t)manifest.size(),
                          mksetup::ZlibCompress((const uint8_t*)manifest.data(), manifest.size(), 9), {});
    mksetup::AppendRecord(installer, (uint32_t)original.size(), stream, {1, 2, 3});
    mksetup::AppendTrailer(installer, first);
    std::string setup = dir_ + "/pigz-setup.exe";
    Save(setup, installer);

    EXPECT_EQ(0, Tool("verify " + Quote(setup)).exitCode);
    ASSERT_EQ(0, Tool("extract " + Quote(setup) + " " + Quote(dir_ + "/out")).exitCode);
    EXPECT_EQ(ReadText(source), ReadText(dir_ + "/out/KVFiles1.tmp"));
}

TEST_F(MksetupTest, VerifyFindsWhatWouldStopTheUnpacker)
{
    std::vector<std::string> files = SampleFiles();
    std::string setup = dir_ + "/setup.exe";
    ASSERT_EQ(0, Tool("build --stub " + Quote(stub_) + " -o " + Quote(setup) + " " + Quote(files[0]) + " " +
                      Quote(files[1]) + " " + Quote(files[2]))
                     .exitCode);
    Bytes good = Load(setup);
    mksetup::InstallerWalk walk = mksetup::WalkInstaller(good.data(), good.size(), false);
    ASSERT_EQ(4u, walk.records.size());
    const uint32_t record2 = walk.records[2].offset;

    struct Case {
        const char* what;
        Bytes file;
        std::string expected;
    };
    std::vector<Case> cases;

    // A download cut short: the trailer is gone with the end of the file.
    cases.push_back({"truncated", Bytes(good.begin(), good.begin() + good.size() - 30000), "no trailer"});

    // One byte flipped inside record 2's stream.
    Bytes flipped = good;
    flipped[record2 + 32 + 100] ^= 0x20;
    cases.push_back({"flipped byte", flipped,
                     "record 2 at offset " + std::to_string(record2) + ": inflating fails with zlib code"});

    // Manifests that name one record too many, or skip one: rebuilt with the
    // same records and a changed manifest text.
    auto withManifest = [&](const std::string& text) {
        Bytes file = Load(stub_);
        uint32_t first = (uint32_t)file.size();
        Bytes manifest(text.begin(), text.end());
        manifest.push_back(0);
        mksetup::AppendRecord(file, (uint32_t)manifest.size(),
                              mksetup::ZlibCompress(manifest.data(), manifest.size(), 9), {});
        file.insert(file.end(), good.begin() + walk.records[1].offset, good.end() - kTrailerSize);
        mksetup::AppendTrailer(file, first);
        return file;
    };
    cases.push_back({"over-count", withManifest("<P1=\"a\"><P2=\"b\"><P3=\"c\"><P4=\"d\">"),
                     "record 4 at offset"});
    cases.push_back({"missing tag", withManifest("<P1=\"a\"><P3=\"c\">"), "tag missing from the manifest"});

    for (const Case& c : cases) {
        std::string path = dir_ + "/broken.exe";
        Save(path, c.file);
        ToolRun run = Tool("verify " + Quote(path));
        EXPECT_EQ(1, run.exitCode) << c.what;
        EXPECT_NE(std::string::npos, run.err.find(c.expected)) << c.what << ": " << run.err;
    }
    // The same rebuild with a correct manifest passes: the cases fail for
    // what was changed, not for how they were made.
    Save(dir_ + "/rebuilt.exe", withManifest("<P1=\"a\"><P2=\"b\"><P3=\"c\">"));
    EXPECT_EQ(0, Tool("verify " + Quote(dir_ + "/rebuilt.exe")).exitCode);
}

TEST_F(MksetupTest, BuildRefusesWhatTheUnpackerWouldMishandleAndLeavesNoOutput)
{
    std::vector<std::string> files = SampleFiles();
    std::string setup = dir_ + "/setup.exe";
    std::string empty = MakeFile("empty.dat", "", 1262304000);
    std::string zero = MakeFile("zero.txt", std::string("<P1=\"a\">") + '\0' + "<P2=\"b\">", 1262304000);
    std::string skips = MakeFile("skips.txt", "<P1=\"a\"><P3=\"c\">", 1262304000);
    std::string padded = MakeFile("padded.txt", "<P01=\"a\">", 1262304000);  // the unpacker seeks <P1="
    std::string extra = MakeFile("extra.txt", "<P1=\"a\"><P2=\"b\"><P3=\"c\"><P4=\"d\">", 1262304000);
    // A stored (level 0) file whose end holds the marker bytes.
    std::string marker = MakeFile("marker.txt", std::string(1000, 'x') + "!--END FILE--!" + "tail", 1262304000);

    struct Case {
        std::string args;
        std::string expected;
    };
    std::vector<Case> cases = {
        {Quote(files[0]) + " " + Quote(empty), empty + ": the file is empty"},
        {"--manifest " + Quote(zero) + " " + Quote(files[0]) + " " + Quote(files[1]), zero + ": the manifest holds a zero byte at offset 8"},
        {"--manifest " + Quote(skips) + " " + Quote(files[0]) + " " + Quote(files[1]) + " " + Quote(files[2]),
         skips + ": no tag <P2=\" for record 2 (" + files[1] + ")"},
        {"--manifest " + Quote(padded) + " " + Quote(files[0]), padded + ": no tag <P1=\" for record 1"},
        {"--manifest " + Quote(extra) + " " + Quote(files[0]) + " " + Quote(files[1]) + " " + Quote(files[2]),
         extra + ": tag <P4=\" names record 4, but only 3 files are given"},
        {"--level 0 " + Quote(files[0]) + " " + Quote(marker), "record 2 (" + marker + "): the marker bytes"},
    };
    for (const Case& c : cases) {
        ToolRun run = Tool("build --stub " + Quote(stub_) + " -o " + Quote(setup) + " " + c.args);
        EXPECT_EQ(1, run.exitCode) << c.args;
        EXPECT_NE(std::string::npos, run.err.find(c.expected)) << run.err;
        EXPECT_FALSE(Exists(setup)) << c.args;
        EXPECT_FALSE(Exists(setup + ".partial")) << c.args;
    }
    // The same file at level 9 compresses the marker away and is accepted.
    ToolRun fine = Tool("build --stub " + Quote(stub_) + " -o " + Quote(setup) + " " + Quote(files[0]) + " " +
                        Quote(marker));
    EXPECT_EQ(0, fine.exitCode) << fine.err;

    EXPECT_EQ(2, Tool("build --stub " + Quote(stub_) + " " + Quote(files[0])).exitCode) << "no -o";
    EXPECT_EQ(2, Tool("build --stub " + Quote(stub_) + " -o x --level 13 " + Quote(files[0])).exitCode);
    EXPECT_EQ(2, Tool("build --stub " + Quote(stub_) + " -o x --compressor zlib --level 10 " + Quote(files[0])).exitCode);
    EXPECT_EQ(3, Tool("build --stub " + Quote(dir_ + "/missing") + " -o x " + Quote(files[0])).exitCode);
    EXPECT_EQ(0, Tool("build --help").exitCode);
    std::ifstream version(PROJECT_DIR "/VERSION");
    std::string released;
    std::getline(version, released);
    EXPECT_EQ("mksetup " + released + "\n", Tool("-V").out);
}

TEST_F(MksetupTest, SourceDateEpochMakesBuildsByteIdenticalAndClampsTimes)
{
    std::vector<std::string> files = SampleFiles();
    std::string args = " build --stub " + Quote(stub_) + " " + Quote(files[0]) + " " + Quote(files[1]) + " " +
                       Quote(files[2]) + " -o ";
    // 2011-01-01T00:00:00Z: after the first file's times, before the others'.
    std::string epoch = "SOURCE_DATE_EPOCH=1293840000";
    ASSERT_EQ(0, Tool(args + Quote(dir_ + "/a.exe"), epoch).exitCode);
    sleep(1);  // a later "now" for the generated manifest
    ASSERT_EQ(0, Tool(args + Quote(dir_ + "/b.exe"), epoch).exitCode);
    EXPECT_TRUE(ReadText(dir_ + "/a.exe") == ReadText(dir_ + "/b.exe")) << "the two builds differ";

    Bytes built = Load(dir_ + "/a.exe");
    mksetup::InstallerWalk walk = mksetup::WalkInstaller(built.data(), built.size(), false);
    ASSERT_EQ(4u, walk.records.size());
    const uint64_t clamp = mksetup::FileTimeFromUnix(1293840000);
    EXPECT_EQ(clamp, walk.records[0].header.CreationTime);
    // Earlier times stay; later ones are clamped; last access follows last write.
    EXPECT_EQ(mksetup::FileTimeFromUnix(1262304000, 987654300), walk.records[1].header.LastWriteTime);
    EXPECT_EQ(mksetup::FileTimeFromUnix(1262304000, 987654300), walk.records[1].header.LastAccessTime);
    EXPECT_EQ(clamp, walk.records[2].header.LastWriteTime);
    EXPECT_EQ(clamp, walk.records[3].header.LastAccessTime);
    EXPECT_EQ(clamp, walk.records[3].header.CreationTime);
}

}  // namespace

namespace {

// What uncompress gives for a stream into a zeroed buffer of declared bytes.
int Uncompress(const Bytes& stream, uint32_t declared, Bytes* out)
{
    out->assign(declared, 0);
    uLongf length = declared;
    return uncompress(out->data(), &length, stream.data(), (uLong)stream.size());
}

// Hostile names and files around mksetup itself.
TEST_F(MksetupTest, FileNamesNeverBecomeShellTextAndTemporariesNeverFollowLinks)
{
    std::vector<std::string> files = SampleFiles();
    // Each a way out of naive quoting: a placeholder, a substitution,
    // quotes and blanks.
    std::string setup = dir_ + "/we {out} $(touch pwned) 'q\"b.exe";
    std::remove("pwned");
    ToolRun signedRun = Tool("build --stub " + Quote(stub_) + " -o " + Quote(setup) + " --sign " +
                             Quote("cp {in} {out}") + " " + Quote(files[0]));
    EXPECT_EQ(0, signedRun.exitCode) << signedRun.err;
    EXPECT_TRUE(Exists(setup));
    EXPECT_FALSE(Exists("pwned")) << "in the shell's folder";

    // A failing command is told by its status, never by its text.
    ToolRun failing = Tool("build --stub " + Quote(stub_) + " -o " + Quote(dir_ + "/f.exe") + " --sign " +
                           Quote("test {in} = {out} -pass s3cret || exit 3") + " " + Quote(files[0]));
    EXPECT_EQ(1, failing.exitCode);
    EXPECT_NE(std::string::npos, failing.err.find("exit status 3")) << failing.err;
    EXPECT_EQ(std::string::npos, failing.err.find("s3cret")) << failing.err;

    // Links planted on the temporary names are replaced, not written through.
    std::string victim = dir_ + "/victim";
    WriteText(victim, "keep");
    std::string out = dir_ + "/o.exe";
    ASSERT_EQ(0, symlink(victim.c_str(), (out + ".partial").c_str()));
    ASSERT_EQ(0, Tool("build --stub " + Quote(stub_) + " -o " + Quote(out) + " " + Quote(files[0])).exitCode);
    ASSERT_EQ(0, mkdir((dir_ + "/x").c_str(), 0755));
    ASSERT_EQ(0, symlink(victim.c_str(), (dir_ + "/x/KVFiles1.tmp.partial").c_str()));
    EXPECT_EQ(0, Tool("extract " + Quote(out) + " " + Quote(dir_ + "/x")).exitCode);
    EXPECT_EQ("keep", ReadText(victim));
    EXPECT_EQ("MZ second stage", ReadText(dir_ + "/x/KVFiles1.tmp"));
}

TEST_F(MksetupTest, ManifestTooLargeToCheckIsReportedAsSuch)
{
    // 5 MiB of tags-free text that packs to a few kilobytes.
    std::string text(5u << 20, 'x');
    Bytes file = Load(stub_);
    Bytes stream = mksetup::ZlibCompress((const uint8_t*)text.data(), text.size() + 1, 9);
    mksetup::AppendRecord(file, (uint32_t)text.size() + 1, stream, mksetup::FileTimes{});
    mksetup::AppendTrailer(file, (uint32_t)Load(stub_).size());
    Save(dir_ + "/big.exe", file);
    ToolRun verify = Tool("verify " + Quote(dir_ + "/big.exe"));
    EXPECT_EQ(1, verify.exitCode);
    EXPECT_NE(std::string::npos, verify.err.find("too large to check")) << verify.err;
}

}  // namespace

// mksetup's inflation in pieces and the unpacker's in one go (libdeflate)
// both answer as zlib's uncompress does.
TEST(InflateRecord, AgreesWithUncompressOnWholeBrokenAndMutatedStreams)
{
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "record " + std::to_string(i * 31 % 977) + " ";
    Bytes plain(text.begin(), text.end());
    Bytes stream = mksetup::ZlibCompress(plain.data(), plain.size(), 9);
    const uint32_t size = (uint32_t)plain.size();

    uint32_t state = 1;
    auto next = [&] { return state = state * 1103515245u + 12345u, state >> 8; };
    int mismatches = 0, failures = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes s = stream;
        uint32_t declared = size;
        switch (round % 5) {
        case 0: s[next() % s.size()] ^= (uint8_t)(1 + next() % 255); break;   // a flipped byte
        case 1: s.resize(next() % s.size()); break;                           // cut short
        case 2: declared = size - 1 - next() % 100; break;                    // output too small
        case 3: declared = size + next() % 70000; break;                      // room to spare
        case 4: s[next() % 2] ^= (uint8_t)(1 << (next() % 8)); break;         // the zlib header
        }
        if (declared == 0)
            continue;
        Bytes expected;
        int want = Uncompress(s, declared, &expected);
        Bytes got;
        int code = mksetup::InflateRecord(s.data(), (uint32_t)s.size(), declared, [&](const uint8_t* p, size_t n) {
            got.insert(got.end(), p, p + n);
            return true;
        });
        failures += want != Z_OK;
        if (code != want || (want == Z_OK && got != expected))
            ++mismatches;
        Bytes unpacked(declared, 0);
        int unpacker = InflateStream(decompressor, s.data(), (uint32_t)s.size(), unpacked.data(), declared);
        if (unpacker != want || (want == Z_OK && unpacked != expected)) {
            ADD_FAILURE() << "round " << round << ": the unpacker gives " << unpacker << ", uncompress " << want;
            ++mismatches;
        }
    }
    libdeflate_free_decompressor(decompressor);
    EXPECT_EQ(0, mismatches);
    EXPECT_GT(failures, 1000) << "the mutations must break streams, not only pass";
}

// Signing with a throwaway self-signed certificate and osslsigncode.
class MksetupSignTest : public MksetupTest {
protected:
    void SetUp() override
    {
        MksetupTest::SetUp();
        // A real PE stub: a signature needs PE headers to go into.
        stub_ = SIGNING_STUB_PATH;
        ASSERT_TRUE(Exists(stub_)) << stub_;
        ASSERT_EQ(0, std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Veltrano-Test -keyout " +
                                  Quote(dir_ + "/key.pem") + " -out " + Quote(dir_ + "/cert.pem") + " 2>/dev/null")
                                     .c_str()));
        sign_ = "osslsigncode sign -certs " + dir_ + "/cert.pem -key " + dir_ +
                "/key.pem -n Veltrano -in {in} -out {out} >/dev/null";
    }
    std::string sign_;
};

TEST_F(MksetupSignTest, SignedInstallerVerifiesAndStillUnpacks)
{
    std::vector<std::string> files = SampleFiles();
    std::string setup = dir_ + "/signed.exe";
    ToolRun build = Tool("build --stub " + Quote(stub_) + " -o " + Quote(setup) + " --sign " + Quote(sign_) + " " +
                         Quote(files[0]) + " " + Quote(files[1]));
    ASSERT_EQ(0, build.exitCode) << build.err;
    EXPECT_NE(std::string::npos, build.out.find("signed: an Authenticode signature")) << build.out;
    EXPECT_FALSE(Exists(setup + ".unsigned"));
    EXPECT_FALSE(Exists(setup + ".signed"));

    EXPECT_EQ(0, std::system(("osslsigncode verify -CAfile " + Quote(dir_ + "/cert.pem") + " " + Quote(setup) +
                              " >/dev/null 2>&1")
                                 .c_str()))
        << "osslsigncode accepts the signature";

    Bytes file = Load(setup);
    mksetup::PeSignature signature = mksetup::FindSignature(file.data(), file.size());
    ASSERT_TRUE(signature.present);
    EXPECT_EQ(file.size(), (size_t)signature.offset + signature.size) << "the signature ends the file";
    ToolRun verify = Tool("verify " + Quote(setup));
    EXPECT_EQ(0, verify.exitCode) << verify.err;
    EXPECT_NE(std::string::npos,
              verify.out.find("signed: an Authenticode signature of " + std::to_string(signature.size) + " bytes"))
        << verify.out;
    ToolRun list = Tool("list --json " + Quote(setup));
    EXPECT_NE(std::string::npos, list.out.find("\"signature\": {\"offset\": " + std::to_string(signature.offset)))
        << list.out;

    ASSERT_EQ(0, Tool("extract " + Quote(setup) + " " + Quote(dir_ + "/out")).exitCode);
    EXPECT_TRUE(ReadText(files[1]) == ReadText(dir_ + "/out/KVFiles2.tmp"));
}

TEST_F(MksetupSignTest, SigningThatPushesTheTrailerOutOfTheWindowIsRefused)
{
    std::vector<std::string> files = SampleFiles();
    std::string setup = dir_ + "/signed.exe";
    // A "signature" of 29986 bytes: one more than the unpacker allows.
    ToolRun tooMuch = Tool("build --stub " + Quote(stub_) + " -o " + Quote(setup) + " --sign " +
                           Quote("cp {in} {out} && head -c 29986 /dev/zero >> {out}") + " " + Quote(files[0]));
    EXPECT_EQ(1, tooMuch.exitCode);
    EXPECT_NE(std::string::npos, tooMuch.err.find("the 29986 bytes after it are 1 more than the 29985")) << tooMuch.err;
    EXPECT_FALSE(Exists(setup));
    EXPECT_FALSE(Exists(setup + ".unsigned"));
    EXPECT_FALSE(Exists(setup + ".signed"));

    // 29985 are still fine, and a failing command is refused as such.
    EXPECT_EQ(0, Tool("build --stub " + Quote(stub_) + " -o " + Quote(setup) + " --sign " +
                      Quote("cp {in} {out} && head -c 29985 /dev/zero >> {out}") + " " + Quote(files[0]))
                     .exitCode);
    std::remove(setup.c_str());
    ToolRun failing = Tool("build --stub " + Quote(stub_) + " -o " + Quote(setup) + " --sign " + Quote("false {in} {out}") +
                           " " + Quote(files[0]));
    EXPECT_EQ(1, failing.exitCode);
    EXPECT_NE(std::string::npos, failing.err.find("the signing command failed")) << failing.err;
    EXPECT_FALSE(Exists(setup));

    // verify says the same of a file that something appended to.
    ASSERT_EQ(0, Tool("build --stub " + Quote(stub_) + " -o " + Quote(setup) + " " + Quote(files[0])).exitCode);
    Bytes file = Load(setup);
    file.resize(file.size() + 29986, 0);
    Save(setup, file);
    ToolRun verify = Tool("verify " + Quote(setup));
    EXPECT_EQ(1, verify.exitCode);
    EXPECT_NE(std::string::npos, verify.err.find("1 more than the 29985")) << verify.err;
}
