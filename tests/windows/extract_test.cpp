// The extraction driver over a real executable's own file: extract_probe.exe
// copied with a payload appended, run as a child process under the same
// system, its boxes answered, its exit code, files and log checked.
#include "tests/support/installer_under_test.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <set>

namespace {

using mksetup::Bytes;
using mksetup::FileTimes;

struct Record {
    Bytes stream;
    uint32_t declaredSize;
    FileTimes times;
    Bytes content;  // what the output file should hold
};

FileTimes TimesFor(int index)
{
    // Distinct, with 100 ns digits, around 2009 to 2011.
    uint64_t base = 128900000000000000ull + (uint64_t)index * 1000000000123ull;
    return FileTimes{base + 1111111, base + 30000002222222ull, base + 20000003333333ull};
}

Record FromContent(const Bytes& content, int index, uint32_t declaredSize = 0)
{
    Record r;
    r.stream = mksetup::ZlibCompress(content.data(), content.size(), 9);
    r.declaredSize = declaredSize ? declaredSize : (uint32_t)content.size();
    r.times = TimesFor(index);
    r.content = content;
    r.content.resize(r.declaredSize, 0);
    return r;
}

// The manifest record: the text and a zero byte after it.
Record Manifest(const std::string& text)
{
    Bytes b = ToBytes(text);
    b.push_back(0);
    return FromContent(b, 0);
}

std::string Tags(std::initializer_list<int> numbers)
{
    std::string text = "<Setup Product=\"Veltrano\">\r\n";
    for (int n : numbers)
        text += "<P" + std::to_string(n) + "=\"file" + std::to_string(n) + ".dat\">\r\n";
    return text;
}

Bytes FileContent(int index, size_t size)
{
    Bytes b(size);
    uint32_t state = 0x9E3779B9u * (uint32_t)(index + 1);
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        // Text-like: compresses, but not to nothing.
        b[i] = (uint8_t)("etaoin shrdlu\r\n"[(state >> 16) % 15]);
    }
    return b;
}

struct Outcome {
    ChildRun run;
    int result = 0;  // the worker's exit code, signed
    std::string report;
    std::string log;
};

class ExtractTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = MakeScratchFolder("extract");
        work_ = folder_ + "work\\";
        CreateDirectoryA(work_.c_str(), NULL);
        std::string probe = ReadWholeFile(ThisProgramsFolder() + "extract_probe.exe");
        probe_ = ToBytes(probe);
    }

    Bytes Installer(const std::vector<Record>& records)
    {
        Bytes file = probe_;
        for (const Record& r : records)
            mksetup::AppendRecord(file, r.declaredSize, r.stream, r.times);
        mksetup::AppendTrailer(file, (uint32_t)probe_.size());
        return file;
    }

    Outcome Run(const Bytes& installer, const std::function<void(const PROCESS_INFORMATION&)>& beforeResume = {})
    {
        std::string exe = folder_ + "setup.exe";
        WriteWholeFile(exe, std::string(installer.begin(), installer.end()));
        std::string reportPath = folder_ + "probe.txt";
        Outcome o;
        // The folder's final backslash is doubled, or it would escape the quote.
        o.run = RunChild(exe, "\"" + exe + "\" \"" + work_ + "\\\" \"" + reportPath + "\"", beforeResume);
        EXPECT_TRUE(o.run.started);
        EXPECT_TRUE(o.run.ended) << "the extraction did not end by itself";
        o.result = (int)o.run.exitCode;
        o.report = FileExists(reportPath) ? ReadWholeFile(reportPath) : "";
        o.log = FileExists(work_ + "setup_error.log") ? ReadWholeFile(work_ + "setup_error.log") : "";
        return o;
    }

    std::set<std::string> FilesInWork()
    {
        std::set<std::string> names;
        for (const auto& entry : FolderTree(work_))
            if (entry.first != "setup_error.log")
                names.insert(entry.first);
        return names;
    }

    // The file holds the record's content, size and times.
    void ExpectExtracted(const std::string& name, const Record& r)
    {
        std::string path = work_ + name;
        ASSERT_TRUE(FileExists(path)) << name;
        EXPECT_TRUE(ReadWholeFile(path) == std::string(r.content.begin(), r.content.end())) << name;
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        FILETIME c, a, w;
        ASSERT_TRUE(GetFileTime(file, &c, &a, &w));
        CloseHandle(file);
        // Times the platform itself moves on a mapped write are its own,
        // later than any stored here.
        if (kept_.creation)
            EXPECT_EQ(r.times.creation, FileTimeValue(c)) << name;
        if (kept_.lastAccess)
            EXPECT_EQ(r.times.lastAccess, FileTimeValue(a)) << name;
        else
            EXPECT_GT(FileTimeValue(a), r.times.lastAccess) << name;
        if (kept_.lastWrite)
            EXPECT_EQ(r.times.lastWrite, FileTimeValue(w)) << name;
        else
            EXPECT_GT(FileTimeValue(w), r.times.lastWrite) << name;
    }

    static std::string LogLine(const std::string& message, DWORD code)
    {
        return message + ". Error ID=" + ExpectedErrorId(code) + "\r\n";
    }

    std::string folder_, work_;
    Bytes probe_;
    SurvivingTimes kept_ = MeasureSurvivingTimes(MakeScratchFolder("probe"));
};

const char kUnexpected[] = "Unexpected error in unpacker's ExtractFiles";

TEST_F(ExtractTest, ManifestNamingExactlyItsRecordsGivesEveryFileWithSizeAndTimes)
{
    std::vector<Record> records = {Manifest(Tags({1, 2, 3}))};
    records.push_back(FromContent(FileContent(1, 70000), 1));
    records.push_back(FromContent(FileContent(2, 1), 2));
    records.push_back(FromContent(FileContent(3, 300000), 3));
    Outcome o = Run(Installer(records));

    EXPECT_EQ(0, o.result);
    EXPECT_EQ("destroy=1\nviews=0", o.report);
    EXPECT_TRUE(o.run.boxes.empty());
    EXPECT_EQ("", o.log);
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp", "KVFiles1.tmp", "KVFiles2.tmp", "KVFiles3.tmp"}), FilesInWork());
    for (int i = 0; i < 4; ++i)
        ExpectExtracted("KVFiles" + std::to_string(i) + ".tmp", records[i]);
}

TEST_F(ExtractTest, ManifestWithoutFirstTagGivesOnlyTheManifestFile)
{
    // "<P10=" is not "<P1=": the loop ends at once.
    Outcome o = Run(Installer({Manifest("<Setup>\r\n<P10=\"x\">\r\n"), FromContent(FileContent(1, 100), 1)}));
    EXPECT_EQ(0, o.result);
    EXPECT_EQ("destroy=1\nviews=0", o.report);
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp"}), FilesInWork());
}

TEST_F(ExtractTest, GapInTheTagsEndsTheLoop)
{
    std::vector<Record> records = {Manifest(Tags({1, 2, 4}))};
    for (int i = 1; i <= 4; ++i)
        records.push_back(FromContent(FileContent(i, 1000 * i), i));
    Outcome o = Run(Installer(records));
    EXPECT_EQ(0, o.result);
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp", "KVFiles1.tmp", "KVFiles2.tmp"}), FilesInWork());
    ExpectExtracted("KVFiles2.tmp", records[2]);
    EXPECT_TRUE(o.run.boxes.empty());
}

TEST_F(ExtractTest, ManifestDeclaredLargerThanItsTextIsZeroFilledAndSearchedToItsFirstZero)
{
    // 1031 bytes of text, then a zero and a tag that must not be seen.
    std::string text = Tags({1});
    text += std::string(1031 - text.size(), ' ');
    Bytes content = ToBytes(text);
    content.push_back(0);
    for (char c : std::string("<P2=\"hidden\">"))
        content.push_back((uint8_t)c);
    Record manifest = FromContent(content, 0, 2078);
    std::vector<Record> records = {manifest, FromContent(FileContent(1, 500), 1), FromContent(FileContent(2, 500), 2)};
    Outcome o = Run(Installer(records));

    EXPECT_EQ(0, o.result);
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp", "KVFiles1.tmp"}), FilesInWork());
    std::string out = ReadWholeFile(work_ + "KVFiles0.tmp");
    ASSERT_EQ(2078u, out.size());
    EXPECT_EQ(text, out.substr(0, 1031));
    EXPECT_EQ(std::string(2078 - 1031 - 14, '\0'), out.substr(1031 + 14));
}

TEST_F(ExtractTest, CorruptManifestStreamStopsAtTopLevelWithMinusFour)
{
    Record manifest = Manifest(Tags({1}));
    manifest.stream[manifest.stream.size() - 1] ^= 0x01;  // its Adler-32
    Outcome o = Run(Installer({manifest, FromContent(FileContent(1, 100), 1)}));

    EXPECT_EQ(-4, o.result);
    EXPECT_EQ("destroy=1\nviews=0", o.report);
    ASSERT_EQ(1u, o.run.boxes.size());
    EXPECT_EQ("Error", o.run.boxes[0].caption);
    EXPECT_EQ((UINT)MB_ICONERROR, o.run.boxes[0].icon);
    EXPECT_EQ(0u, o.run.boxes[0].text.find("Error in uncompress routine -3\r\n")) << o.run.boxes[0].text;
    EXPECT_EQ(0u, o.log.find("Error in uncompress routine -3. Error ID=")) << o.log;
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp"}), FilesInWork());
}

TEST_F(ExtractTest, RecordInflatingPastItsSizeFailsTheRunWithMinusFive)
{
    std::vector<Record> records = {Manifest(Tags({1, 2, 3}))};
    for (int i = 1; i <= 3; ++i)
        records.push_back(FromContent(FileContent(i, 5000), i));
    records[2].declaredSize = 4000;  // the stream holds 5000
    Outcome o = Run(Installer(records));

    EXPECT_EQ(-5, o.result);
    EXPECT_EQ("destroy=1\nviews=0", o.report);
    ASSERT_EQ(1u, o.run.boxes.size());
    EXPECT_EQ(0u, o.run.boxes[0].text.find("Error in uncompress routine -5\r\n"));
    EXPECT_EQ(0u, o.log.find("Error in uncompress routine -5. Error ID=")) << o.log;
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp", "KVFiles1.tmp", "KVFiles2.tmp"}), FilesInWork());
    ExpectExtracted("KVFiles1.tmp", records[1]);
    // Partly filled: the first 4000 bytes of the content.
    std::string partial = ReadWholeFile(work_ + "KVFiles2.tmp");
    ASSERT_EQ(4000u, partial.size());
    EXPECT_EQ(0, memcmp(records[2].content.data(), partial.data(), 4000));
}

TEST_F(ExtractTest, PresetDictionaryIsRefusedWithZlibsCode)
{
    // A stream whose header asks for a preset dictionary.
    Bytes data = FileContent(1, 2000);
    z_stream z = {};
    deflateInit(&z, 9);
    const Bytes dictionary = FileContent(7, 64);
    deflateSetDictionary(&z, dictionary.data(), (uInt)dictionary.size());
    Bytes stream(4096);
    z.next_in = data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = stream.data();
    z.avail_out = (uInt)stream.size();
    ASSERT_EQ(Z_STREAM_END, deflate(&z, Z_FINISH));
    stream.resize(z.total_out);
    deflateEnd(&z);
    Record withDictionary = FromContent(data, 1);
    withDictionary.stream = stream;

    // Older zlib gives Z_NEED_DICT (2) here, newer Z_DATA_ERROR: the report
    // carries whatever this zlib's uncompress says.
    Bytes scratch(data.size());
    uLongf scratchLength = (uLongf)scratch.size();
    int code = uncompress(scratch.data(), &scratchLength, stream.data(), (uLong)stream.size());
    ASSERT_TRUE(code == Z_NEED_DICT || code == Z_DATA_ERROR) << code;

    Outcome o = Run(Installer({Manifest(Tags({1})), withDictionary}));
    EXPECT_EQ(-5, o.result);
    EXPECT_EQ(0u, o.log.find("Error in uncompress routine " + std::to_string(code) + ". Error ID=")) << o.log;
}

TEST_F(ExtractTest, ManifestNamingOneRecordMoreThanStoredIsReportedAndTheRunSucceeds)
{
    std::vector<Record> records = {Manifest(Tags({1, 2, 3}))};
    records.push_back(FromContent(FileContent(1, 800), 1));
    records.push_back(FromContent(FileContent(2, 900), 2));
    Outcome o = Run(Installer(records));

    EXPECT_EQ(0, o.result);
    EXPECT_EQ("destroy=1\nviews=0", o.report);
    ASSERT_EQ(1u, o.run.boxes.size());
    EXPECT_EQ(0u, o.run.boxes[0].text.find(std::string(kUnexpected) + "\r\n"));
    EXPECT_EQ(0u, o.log.find(std::string(kUnexpected) + ". Error ID=")) << o.log;
    EXPECT_EQ(std::string::npos, o.log.find("\r\n", o.log.find("\r\n") + 2)) << "one entry: " << o.log;
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp", "KVFiles1.tmp", "KVFiles2.tmp"}), FilesInWork());
    ExpectExtracted("KVFiles2.tmp", records[2]);
}

TEST_F(ExtractTest, LockedOutputNameIsWrittenWithRetrySuffix)
{
    std::vector<Record> records = {Manifest(Tags({1, 2, 3}))};
    for (int i = 1; i <= 3; ++i)
        records.push_back(FromContent(FileContent(i, 3000), i));
    HANDLE holder = CreateFileA((work_ + "KVFiles2.tmp").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                                0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    Outcome o = Run(Installer(records));
    CloseHandle(holder);

    EXPECT_EQ(0, o.result);
    EXPECT_TRUE(o.run.boxes.empty());
    EXPECT_EQ("", o.log);
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp", "KVFiles1.tmp", "KVFiles2.tmp", "KVFiles2.tmp~~",
                                     "KVFiles3.tmp"}),
              FilesInWork());
    ExpectExtracted("KVFiles2.tmp~~", records[2]);
    ExpectExtracted("KVFiles3.tmp", records[3]);
    EXPECT_EQ("", ReadWholeFile(work_ + "KVFiles2.tmp"));
}

TEST_F(ExtractTest, RecordOfSizeZeroCannotBeMapped)
{
    // Record 1 of size 0: its call fails with -3, the run with -5.
    Record empty = FromContent(Bytes(), 1);
    Outcome nested = Run(Installer({Manifest(Tags({1, 2})), empty, FromContent(FileContent(2, 10), 2)}));
    EXPECT_EQ(-5, nested.result);
    EXPECT_EQ(0u, nested.log.find("Could not create map file in dialog's GetViewFile. " + work_ + "KVFiles1.tmp Error ID="))
        << nested.log;
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp", "KVFiles1.tmp"}), FilesInWork());

    // Record 0 of size 0: the top-level call itself returns -3.
    Record emptyManifest = FromContent(Bytes(), 0);
    Outcome top = Run(Installer({emptyManifest}));
    EXPECT_EQ(-3, top.result);
    EXPECT_EQ("destroy=1\nviews=0", top.report);
}

TEST_F(ExtractTest, OwnFileThatCannotBeReadFailsWithMinusTwoAfterTheRetry)
{
    HANDLE holder = INVALID_HANDLE_VALUE;
    std::string exe = folder_ + "setup.exe";
    // Once the process exists, hold its file so that nobody else may read it.
    Outcome o = Run(Installer({Manifest(Tags({1})), FromContent(FileContent(1, 10), 1)}),
                    [&](const PROCESS_INFORMATION&) {
                        holder = CreateFileA(exe.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
                    });
    ASSERT_NE(INVALID_HANDLE_VALUE, holder) << "this system lets no one hold a running program's file";
    CloseHandle(holder);

    EXPECT_EQ(-2, o.result);
    EXPECT_EQ("destroy=1\nviews=0", o.report);
    EXPECT_EQ("Could not create file in unpacker's GetViewFile. " + exe + "~~ Error ID=" +
                  ExpectedErrorId(ERROR_FILE_NOT_FOUND) + "\r\n",
              o.log);
    EXPECT_TRUE(FilesInWork().empty());
}

TEST_F(ExtractTest, TopLevelFaultsStopTheRunWithMinusSix)
{
    // The first record's offset points past the end of the file.
    Bytes installer = Installer({Manifest(Tags({1})), FromContent(FileContent(1, 10), 1)});
    size_t trailer = installer.size() - kTrailerSize;
    installer[trailer + 3] = 0x7F;
    Outcome beyond = Run(installer);
    EXPECT_EQ(-6, beyond.result);
    EXPECT_EQ("destroy=1\nviews=0", beyond.report);
    ASSERT_EQ(1u, beyond.run.boxes.size());
    EXPECT_EQ(0u, beyond.run.boxes[0].text.find(std::string(kUnexpected) + "\r\n"));
    EXPECT_EQ(0u, beyond.log.find(std::string(kUnexpected) + ". Error ID="));
    EXPECT_TRUE(FilesInWork().empty());

    // Record 0's stream runs past the end of the file: its output was
    // created, then found unreadable.
    Record manifest = Manifest(Tags({1}));
    Bytes file = probe_;
    mksetup::AppendRecord(file, manifest.declaredSize, manifest.stream, manifest.times);
    uint32_t claimed = (uint32_t)manifest.stream.size() + 100000;
    file[probe_.size() + 4] = (uint8_t)claimed;
    file[probe_.size() + 5] = (uint8_t)(claimed >> 8);
    file[probe_.size() + 6] = (uint8_t)(claimed >> 16);
    mksetup::AppendTrailer(file, (uint32_t)probe_.size());
    Outcome pastEnd = Run(file);
    EXPECT_EQ(-6, pastEnd.result);
    EXPECT_EQ(0u, pastEnd.log.find(std::string(kUnexpected) + ". Error ID="));
}

TEST_F(ExtractTest, NestedStreamRunningPastTheEndFailsTheRunWithMinusFive)
{
    // A truncated download: record 2's stream is cut short by the end of
    // the file (the trailer follows what is left of it).
    std::vector<Record> records = {Manifest(Tags({1, 2})), FromContent(FileContent(1, 2000), 1),
                                   FromContent(FileContent(2, 200000), 2)};
    Bytes full = Installer(records);
    size_t cut = full.size() - kTrailerSize - records[2].stream.size() / 2;
    Bytes truncated(full.begin(), full.begin() + cut);
    mksetup::AppendTrailer(truncated, (uint32_t)probe_.size());
    Outcome o = Run(truncated);

    EXPECT_EQ(-5, o.result);
    EXPECT_EQ("destroy=1\nviews=0", o.report);
    EXPECT_EQ(0u, o.log.find(std::string(kUnexpected) + ". Error ID=")) << o.log;
    ExpectExtracted("KVFiles1.tmp", records[1]);
    // Found before its output file was made.
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp", "KVFiles1.tmp"}), FilesInWork());
}

TEST_F(ExtractTest, InstallerBuiltByMksetupUnpacksByteIdentical)
{
    std::vector<mksetup::InputFile> files;
    for (int i = 1; i <= 5; ++i) {
        mksetup::InputFile f;
        f.path = f.name = "file" + std::to_string(i) + ".bin";
        f.data = FileContent(i, 1 + 40000 * (i - 1));
        f.times = TimesFor(i);
        files.push_back(f);
    }
    mksetup::InputFile manifest = mksetup::GeneratedManifest(files, 0);
    manifest.times = TimesFor(0);
    Bytes installer;
    std::string error;
    ASSERT_TRUE(mksetup::BuildInstaller(probe_, manifest, files, mksetup::BuildOptions(), &installer, &error))
        << error;

    Outcome o = Run(installer);
    EXPECT_EQ(0, o.result);
    EXPECT_EQ("", o.log);
    for (int i = 1; i <= 5; ++i) {
        Record expected{Bytes(), (uint32_t)files[i - 1].data.size(), files[i - 1].times, files[i - 1].data};
        ExpectExtracted("KVFiles" + std::to_string(i) + ".tmp", expected);
    }
    Bytes manifestOut = manifest.data;
    manifestOut.push_back(0);
    ExpectExtracted("KVFiles0.tmp", Record{Bytes(), (uint32_t)manifestOut.size(), manifest.times, manifestOut});
}

TEST_F(ExtractTest, StreamFromAnotherZlibCompressorUnpacksByteExact)
{
    std::string original = ReadWholeFile(ThisProgramsFolder() + "pigz_sample.txt");
    std::string packed = ReadWholeFile(ThisProgramsFolder() + "pigz_sample.txt.zz");
    ASSERT_FALSE(packed.empty());
    Record pigz;
    pigz.stream = ToBytes(packed);
    pigz.declaredSize = (uint32_t)original.size();
    pigz.times = TimesFor(1);
    pigz.content = ToBytes(original);
    Outcome o = Run(Installer({Manifest(Tags({1})), pigz}));
    EXPECT_EQ(0, o.result);
    ExpectExtracted("KVFiles1.tmp", pigz);
}

}  // namespace
