// The real unpacker, end to end: installers built from unpacker.exe with a
// test second stage, started as the user starts them, their boxes read and
// answered. One table holds most of it: each row prepares the installer or
// its surroundings and says what must follow. After it: what needs a second
// process or a look at the window, damaged installers by the hundred, and
// a full disk.
#include "tests/support/windows_test.h"
#include "tools/mksetup/installer.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <fstream>
#include <functional>

namespace {

using mksetup::Bytes;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
// The test second stage, then one file per blob, each with its own times.
std::vector<mksetup::InputFile> PayloadFiles(const std::vector<Bytes>& data)
{
    std::vector<mksetup::InputFile> files(1 + data.size());
    for (size_t i = 0; i < files.size(); ++i) {
        files[i].path = files[i].name = "file" + std::to_string(i + 1);
        files[i].times = {128900000000000000ull + i, 129000000000000000ull + i, 129100000000000000ull + i};
        files[i].data = i ? data[i - 1] : ToBytes(ReadAll(Here() + "second_stage_probe.exe"));
    }
    return files;
}

// The shipped unpacker, and the same with windows of 256 KB (four granules
// of 64 KB), which small files take through every window path.
const char kStub[] = "unpacker-stub.exe", kSmallWindows[] = "unpacker-small-windows.exe";
const uint32_t kGranule = 64 << 10;

Bytes Build(const std::vector<mksetup::InputFile>& files, const char* stub = kStub)
{
    Bytes installer;
    std::string error;
    mksetup::BuildInstaller(ToBytes(ReadAll(Here() + stub)),
                            mksetup::GeneratedManifest(files, 128800000000000000ull), files, {}, &installer, &error);
    return installer;
}

// For the small windows: each file's stream followed by bytes that it never
// reaches, so that the next record's header starts phase[i] bytes after a
// granule's start (-1: no padding). Headers and streams then start, end or
// straddle every window edge that phase names.
Bytes BuildOnEdges(const std::vector<mksetup::InputFile>& files, const std::vector<int>& phase)
{
    Bytes out = ToBytes(ReadAll(Here() + kSmallWindows));
    mksetup::InputFile manifest = mksetup::GeneratedManifest(files, 128800000000000000ull);
    uint32_t first = (uint32_t)out.size();
    mksetup::AppendRecord(out, (uint32_t)manifest.data.size(), mksetup::ZlibCompress(manifest.data.data(), manifest.data.size(), 9), manifest.times);
    for (size_t i = 0; i < files.size(); ++i) {
        Bytes stream = mksetup::ZlibCompress(files[i].data.data(), files[i].data.size(), 9);
        if (phase[i] >= 0)
            stream.resize(stream.size() + (phase[i] - out.size() - kRecordHeaderSize - stream.size()) % kGranule, 0x55);
        mksetup::AppendRecord(out, (uint32_t)files[i].data.size(), stream, files[i].times);
    }
    mksetup::AppendTrailer(out, first);
    return out;
}

// Records the digest of the installer's payload in its stub, as mksetup
// does: a row that changes the payload means its publisher built it so.
// Unrecorded: as an older mksetup left it.
void Seal(Bytes& installer, bool recorded = true)
{
    mksetup::InstallerWalk walk = mksetup::WalkInstaller(installer.data(), installer.size(), false);
    uint32_t at;
    if (!FindImageDigest(installer.data(), walk.firstRecordOffset, &at))
        return;  // an unpacker from before the digest
    installer[at + kImageDigestRecorded] = recorded;
    memcpy(&installer[at + kImageDigestBytes], walk.digest, kDigestSize);
}

Bytes Noise(size_t size, uint64_t seed)
{
    Bytes bytes(size);
    for (uint8_t& b : bytes)
        b = (uint8_t)((seed = seed * 6364136223846793005ull + 1442695040888963407ull) >> 56);
    return bytes;
}
Bytes Text(size_t size)
{
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += "line " + std::to_string(i * 7 % 1009) + " of the data file\r\n";
    return ToBytes(text.substr(0, size));
}

// The second stage's report, where it writes it (see second_stage_probe.cpp).
std::string ReportPath(const std::string& work)
{
    char folder[MAX_PATH];
    return (GetShortPathNameA(work.c_str(), folder, MAX_PATH) ? folder : work) + "KVFiles1.tmp.report";
}

const UINT kErr = MB_ICONERROR, kInfo = MB_ICONINFORMATION;
const std::string kLog = [] {
    char documents[MAX_PATH] = "";
    SHGetFolderPathA(NULL, CSIDL_PERSONAL, NULL, 0, documents);
    return documents + std::string("\\setup_error.log");
}();
const std::string kStop = "Install process was stopped because of\r\nsome errors in unpacker procedure";
const std::string kSaved = "Setup Error log-file was saved in\r\n" +
                           kLog.substr(kLog.rfind('\\', kLog.size() - 17) + 1) +
                           "\r\nplease email it to support of program\r\nVeltrano";
const std::string kNoTempDir = "Could not to create temp dir in unpacker's WinMain";
const std::string kCopy = "Could not create file in unpacker's GetViewFile";
const std::string kNoProcess = "Could not create process in unpacker's MainDlgProc";
const std::string kUnexpected = "Unexpected error in unpacker's ExtractFiles";
const std::string kInflate = "Error in uncompress routine -";
const std::string kNoSecondStage = "Could not to extract KVFiles1.tmp in unpacker's ExtractFiles";
const std::string kNotOwn = "Could not to verify the payload in unpacker's ExtractFiles";

// Points the user's Documents folder (where Wine looks for it) at folder.
void PointDocumentsAt(const std::wstring& folder)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                    L"Personal", REG_EXPAND_SZ, folder.c_str(), (DWORD)(folder.size() + 1) * 2);
}

// One run: the installer and the folders around it.
struct Scene {
    std::string scratch, temp, work, exe;
    std::vector<mksetup::InputFile> files;
    Bytes installer;
    HANDLE held = NULL;  // a file (or the product's mutex) that another program holds
    // Started elevated; something tries to change KVFiles1.tmp and its folder;
    // another program tells it to quit at its first error box; Documents
    // elsewhere; the payload's digest recorded as it stands when prepared.
    bool holdInstaller = false, elevated = false, watch = false, quit = false, documents = false, sealed = true;
    std::string tmp, launch;     // TMP and the installer's path as given (UTF-8), where not temp and exe
    // What another program does once the installer runs, on a thread of its
    // own; running says whether the installer still does.
    std::function<void(Scene&, const std::function<bool()>& running)> meanwhile;
    HKEY dllOverrides = NULL;

    void UseTemp(const std::string& folder) { work = (temp = folder) + "KVFiles_Setup_Temp\\"; }
    mksetup::WalkedRecord Record(size_t i) const
    {
        return mksetup::WalkInstaller(installer.data(), installer.size(), false).records.at(i);
    }
    void Declare(size_t i, uint32_t size) { memcpy(&installer[Record(i).offset], &size, 4); }
    void Damage(size_t i) { installer[Record(i).offset + kRecordHeaderSize + Record(i).header.CompressedSize - 1] ^= 1; }
    // The manifest replaced by this text (zlib's stream), declared slack bytes longer.
    void Manifest(const std::string& text, uint32_t slack = 0)
    {
        Bytes t = ToBytes(text + '\0'), rest(installer.begin() + Record(1).offset, installer.end() - kTrailerSize);
        uint32_t first = Record(0).offset;
        installer.resize(first);
        mksetup::AppendRecord(installer, (uint32_t)t.size() + slack, mksetup::ZlibCompress(t.data(), t.size(), 9), {});
        installer.insert(installer.end(), rest.begin(), rest.end());
        mksetup::AppendTrailer(installer, first);
    }
    // A folder whose path, with its backslash, is length characters long.
    std::string FolderOfLength(size_t length)
    {
        std::string path = scratch;
        for (size_t left; (left = length - path.size()) > 0; CreateDirectoryA(path.c_str(), NULL))
            path += std::string(left > 101 ? std::min<size_t>(100, left - 3) : left - 1, 'p') + "\\";
        return path;
    }
    void Hold(const std::string& path, DWORD share)
    {
        held = CreateFileA(path.c_str(), GENERIC_READ, share, NULL, OPEN_ALWAYS, 0, NULL);
    }
    void MakeWork() { CreateDirectoryA(work.c_str(), NULL); }
    void OldSecondStage() { MakeWork(), CopyFileA((Here() + "second_stage_probe.exe").c_str(), (work + "KVFiles1.tmp").c_str(), 0); }
    // A folder named in UTF-8, made in the scratch folder: its short form.
    std::string Folder(const std::string& name) const
    {
        WCHAR wide[MAX_PATH] = L"";
        char ansi[MAX_PATH] = "";
        CreateDirectoryW(Wide(scratch + name).c_str(), NULL);
        GetShortPathNameW(Wide(scratch + name).c_str(), wide, MAX_PATH);
        return std::string(ansi, WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, MAX_PATH, NULL, NULL) - 1) + "\\";
    }
    // TMP under such a folder: the unpacker can use it by its short form only.
    void UnicodeTemp(const std::string& name) { tmp = scratch + name + "\\", UseTemp(Folder(name)); }
    // The working folder a symbolic link to a folder with a log that is not
    // the installer's.
    void LinkWork()
    {
        CreateDirectoryA((scratch + "elsewhere").c_str(), NULL);
        WriteAll(scratch + "elsewhere\\setup_error.log", "not the installer's");
        UnixLink(temp, "../elsewhere", "KVFiles_Setup_Temp", "setup_error.log");
    }
    // With 256 KB windows: an incompressible file whose stream and output
    // span several windows, a text whose output does, one exactly a window.
    void LargeRecords()
    {
        files = PayloadFiles({Noise(700000, 1), Text(1200000), Text(256 << 10)});
        installer = Build(files, kSmallWindows);
    }
};

struct Row {
    const char* name;
    void (*prepare)(Scene&);
    // The boxes in order. In texts (and the log), {work} is the working
    // folder and {exe} the installer; a text ending in '*' need only begin so.
    std::vector<Box> boxes;
    std::string log;      // the working folder's log; "none": the run leaves nothing behind
    bool started;         // the second stage runs, and only after the user has read any log
    const char* outputs;  // if given, the outputs left (see Outputs)
    void (*check)(const Scene&) = nullptr;  // what else must hold afterwards
};

// A failure's box (its text beginning with message) and the log handed over,
// with the stop between them when it stops the install; the log's line.
std::vector<Box> Failed(const std::string& message, bool stops = true, const std::string& handOver = kSaved)
{
    std::vector<Box> boxes = {{"Error", message + "\r\n*", kErr}, {"Error", kStop, kInfo}, {"Exit Setup", handOver, kInfo}};
    return stops ? boxes : std::vector<Box>{boxes[0], boxes[2]};
}
std::string Line(const std::string& message)
{
    return message + ". Error ID=*";
}

const Row kRows[] = {
    {"a whole installer, TMP under a name in Cyrillic, the installer in one in Greek and Latin: used by their short forms",
     [](Scene& s) { s.UnicodeTemp(u8"Пользователь"), s.launch = s.scratch + u8"Ελένη Smith\\setup.exe", s.exe = s.Folder(u8"Ελένη Smith") + "setup.exe"; },
     {}, "", true, "0 1 2 3"},
    {"windows: outputs and streams over several windows, headers and streams on every edge",
     [](Scene& s) {
         std::vector<Bytes> data = {Noise(700000, 2), Text(1200000), Text(256 << 10), Text((256 << 10) + 1)};
         std::vector<int> phase = {-1, -1, -1, -1, 0};
         for (int i = 0; i < 15; ++i) {  // five granules' edges each: header on it, straddling it, ending on it
             data.push_back(i % 2 ? Noise(3000 + 7919 * i, i) : Text(3000 + 7919 * i));
             phase.push_back(i < 5 ? 0 : i < 10 ? kGranule - 16 : kGranule - kRecordHeaderSize);
         }
         s.files = PayloadFiles(data);
         s.installer = BuildOnEdges(s.files, phase);
     }, {}, "", true, "0 1 10 11 12 13 14 15 16 17 18 19 2 20 3 4 5 6 7 8 9"},
    {"windows: a manifest over two windows, a tag across their edge",
     [](Scene& s) {
         s.LargeRecords();
         s.Manifest(std::string((256 << 10) - 3, ' ') + "<P1=\"a\"><P2=\"b\"><P3=\"c\"><P4=\"d\">", 20000);
     }, {}, "", true, "0 1 2 3 4"},
    {"windows: a large record's stream damaged in the middle",
     [](Scene& s) { s.LargeRecords(), s.installer[s.Record(2).offset + s.Record(2).header.CompressedSize / 2] ^= 1; }, Failed(kInflate + "3"), Line(kInflate + "3"), false, "0 1 2"},
    {"windows: a large record's stream cut short in the middle of its windows",
     [](Scene& s) {
         s.LargeRecords();
         uint32_t half = s.Record(2).header.CompressedSize / 2;
         memcpy(&s.installer[s.Record(2).offset + 4], &half, 4);
     }, Failed(kInflate + "3"), Line(kInflate + "3"), false, "0 1 2"},
    {"windows: a record declared larger than it inflates to: zeros to its end, over windows",
     [](Scene& s) { s.LargeRecords(), s.Declare(3, 1500000), s.files[2].data.resize(1500000); }, {}, "", true, "0 1 2 3 4"},
    {"windows: a large record inflating past its declared size", [](Scene& s) { s.LargeRecords(), s.Declare(3, 600000); },
     Failed(kInflate + "5"), Line(kInflate + "5"), false, "0 1 2 3"},
    {"the product's mutex held by another program: start-up waits, then goes on",
     [](Scene& s) { s.held = CreateMutexA(NULL, TRUE, "Veltrano"); }, {}, "", true, "0 1 2 3"},
    {"another program holds the product's mutex (two seconds' delay), renames the running installer aside and puts "
     "another of the same stub in its place: its payload is not this image's, nothing of it is started or left",
     [](Scene& s) {
         s.held = CreateMutexA(NULL, TRUE, "Veltrano");
         s.meanwhile = [](Scene& s, const std::function<bool()>&) {
             Bytes other = Build(PayloadFiles({ToBytes("planted")}));
             MoveFileA(s.exe.c_str(), (s.exe + ".aside").c_str());
             WriteAll(s.exe, std::string(other.begin(), other.end()));
         };
     }, Failed(kNotOwn), Line(kNotOwn), false, ""},
    {"a payload one byte away from its image's digest, in the last record: nothing is started or left",
     [](Scene& s) { s.installer[s.Record(3).offset + 8] ^= 1, s.sealed = false; }, Failed(kNotOwn), Line(kNotOwn), false,
     ""},
    {"the same in the manifest's stream, which fails, its name held by another program: the \"~~\" file it went to "
     "goes, the other program's stays",
     [](Scene& s) {
         s.Damage(0), s.sealed = false, s.MakeWork();
         s.Hold(s.work + "KVFiles0.tmp", FILE_SHARE_READ | FILE_SHARE_DELETE);
     },
     {Failed(kInflate + "3")[0], {"Error", kNotOwn + "\r\n*", kErr}, Failed("")[1], Failed("")[2]},
     Line(kInflate + "3"), false, "0",
     [](const Scene& s) { EXPECT_NE(std::string::npos, ReadAll(s.work + "setup_error.log").find(kNotOwn + ". Error ID=")); }},
    {"the same in the last record, KVFiles2.tmp held open by another program that shares no deletion: the run "
     "writes it all the same, and cannot delete it, which the log says",
     [](Scene& s) {
         s.installer[s.Record(3).offset + 8] ^= 1, s.sealed = false, s.MakeWork();
         WriteAll(s.work + "KVFiles2.tmp", "old"), s.Hold(s.work + "KVFiles2.tmp", FILE_SHARE_READ | FILE_SHARE_WRITE);
     },
     Failed(kNotOwn), Line(kNotOwn), false, "2",
     [](const Scene& s) {
         EXPECT_NE(std::string::npos, ReadAll(s.work + "setup_error.log")
                                          .find("Could not to delete file in unpacker's ExtractFiles. " + s.work +
                                                "KVFiles2.tmp Error ID=" + ErrorId(ERROR_SHARING_VIOLATION)));
     }},
    {"no digest recorded (an older mksetup's build): installed unchecked", [](Scene& s) { Seal(s.installer, false), s.sealed = false; },
     {}, "", true, "0 1 2 3"},
    {"elevated, the same: nothing is started or left; the log's copy goes to Documents, a plain folder of the user's",
     [](Scene& s) {
         Seal(s.installer, false), s.sealed = false, s.elevated = true;
         s.Folder("docs"), s.documents = true, PointDocumentsAt(Wide(s.scratch + "docs"));
     },
     Failed(kNotOwn, true, "Setup Error log-file was saved in\r\ndocs\\setup_error.log\r\n*"), Line(kNotOwn), false, "",
     [](const Scene& s) { EXPECT_EQ(ReadAll(s.work + "setup_error.log"), ReadAll(s.scratch + "docs\\setup_error.log")); }},
    {"elevated, Documents a link (as Wine makes it): no copy is written through it",
     [](Scene& s) { s.Damage(2), s.elevated = true; },
     Failed(kInflate + "3", true, "Setup log-file with an errorhas been saved to\r\n{work}setup_error.log\r\n"
                                  "please email to support service of Veltrano\r\n"),
     Line(kInflate + "3"), false, "0 1 2", [](const Scene&) { EXPECT_FALSE(Exists(kLog)); }},
    {"elevated, TMP a link to the temporary folder, pointed at another folder with a KVFiles1.tmp of its own once "
     "the installer's is written: nothing is written or started but in the folder the installer holds, and the "
     "second stage is started by the folder's own path",
     [](Scene& s) {
         CreateDirectoryA((s.scratch + "other").c_str(), NULL);
         CreateDirectoryA((s.scratch + "other\\KVFiles_Setup_Temp").c_str(), NULL);
         CopyFileA((Here() + "second_stage_probe.exe").c_str(), (s.scratch + "other\\KVFiles_Setup_Temp\\KVFiles1.tmp").c_str(), FALSE);
         UnixLink(s.scratch, "temp", "link", "");
         s.files = PayloadFiles({Bytes(24 << 20, 'a'), Bytes(24 << 20, 'b'), Bytes(24 << 20, 'c')});
         s.installer = Build(s.files), s.elevated = true, s.tmp = s.scratch + "link\\";
         s.meanwhile = [](Scene& s, const std::function<bool()>& running) {
             while (!Exists(s.work + "KVFiles2.tmp") && running())
                 Sleep(1);
             UnixLink(s.scratch, "other", "link", "KVFiles_Setup_Temp\\KVFiles1.tmp");
         };
     }, {}, "", true, "0 1 2 3 4",
     [](const Scene& s) {
         EXPECT_EQ((std::map<std::string, size_t>{{"KVFiles1.tmp", ReadAll(Here() + "second_stage_probe.exe").size()}}),
                   Tree(s.scratch + "other\\KVFiles_Setup_Temp\\"));
         UnixUnlink(s.scratch, "link");
     }},
    {"elevated, TMP a link into a folder whose name ends in a dot, beside its twin without the dot, which holds a "
     "KVFiles_Setup_Temp with a KVFiles1.tmp of its own: a plain path to the one names the other, so the folder is "
     "refused before anything is written, and nothing runs",
     [](Scene& s) {
         CreateDirectoryA((s.scratch + "t").c_str(), NULL);
         CreateDirectoryA((s.scratch + "t\\KVFiles_Setup_Temp").c_str(), NULL);
         CopyFileA((Here() + "second_stage_probe.exe").c_str(), (s.scratch + "t\\KVFiles_Setup_Temp\\KVFiles1.tmp").c_str(), FALSE);
         CreateDirectoryW(Wide("\\\\?\\" + s.scratch + "t.").c_str(), NULL);
         UnixLink(s.scratch, "t.", "tmp", "");
         s.elevated = true, s.tmp = s.scratch + "tmp\\";
     }, {{"Error", kNoTempDir + "\r\n*", kErr}}, "none", false, nullptr,
     [](const Scene& s) { UnixUnlink(s.scratch, "tmp"); }},
    {"TMP a link named TEMP beside the folder temp it leads to (on Windows, in a folder that tells case apart): "
     "the second stage is started by the folder's own path, temp",
     [](Scene& s) { UnixLink(s.scratch, "temp", "TEMP", ""), s.tmp = s.scratch + "TEMP\\"; }, {}, "", true, "0 1 2 3",
     [](const Scene& s) { UnixUnlink(s.scratch, "TEMP"); }},
    {"tags 1 and 3: the loop ends at the gap", [](Scene& s) { s.Manifest("<P1=\"a\">\r\n<P3=\"c\">"); }, {}, "", true, "0 1"},
    {"no tag <P1=\", only <P10=\", over the second stage of an earlier run: nothing is started",
     [](Scene& s) { s.Manifest("<P10=\"a\">"), s.OldSecondStage(); }, Failed(kNoSecondStage), Line(kNoSecondStage), false, "0 1"},
    {"the manifest declared larger than its text: searched to its zero, the rest zero-filled",
     [](Scene& s) { s.Manifest(std::string("<P1=\"a\">") + '\0' + "<P2=\"b\"><P3=\"c\">", 1000); }, {}, "", true, "0 1"},
    {"the installer's own file held by another program, another installer planted beside it as setup.exe~~",
     [](Scene& s) { Bytes b = Build(PayloadFiles({ToBytes("planted")})); s.holdInstaller = true, WriteAll(s.exe + "~~", std::string(b.begin(), b.end())); },
     {{"Error", ErrorBox(kCopy, 32), kErr}, Failed("")[1], Failed("")[2]}, kCopy + ". {exe} Error ID=" + ErrorId(32) + "\r\n", false, ""},
    {"something tries to write, replace, rename or delete KVFiles1.tmp and to rename its folder while later records are written",
     [](Scene& s) {
         s.files = PayloadFiles({Bytes(24 << 20, 'a'), Bytes(24 << 20, 'b'), Bytes(24 << 20, 'c')});
         s.installer = Build(s.files), s.watch = true, WriteAll(s.scratch + "decoy", "the replacement");
     }, {}, "", true, "0 1 2 3 4"},
    {"elevated: a working folder that an unelevated program could have made is set aside untouched, a new one made",
     [](Scene& s) { s.elevated = true, s.MakeWork(), WriteAll(s.work + "planted.txt", "planted"); }, {}, "", true, "0 1 2 3",
     [](const Scene& s) {  // the old folder set aside whole
         for (const auto& e : Tree(s.temp))
             EXPECT_TRUE(e.first.find("planted") == std::string::npos || e.first.rfind("KVFiles_Setup_Temp.", 0) == 0) << e.first;
         EXPECT_EQ(2u, Tree(s.temp).size() - Tree(s.work).size() - 1) << "a folder set aside, with its file";
     }},
    {"a symbolic link named KVFiles_Setup_Temp: refused, nothing deleted or written where it leads",
     [](Scene& s) { s.LinkWork(); }, {{"Error", ErrorBox(kNoTempDir, ERROR_DIRECTORY), kErr}}, "none", false},
    {"elevated: the same, and the link not set aside either", [](Scene& s) { s.elevated = true, s.LinkWork(); },
     {{"Error", ErrorBox(kNoTempDir, ERROR_DIRECTORY), kErr}}, "none", false},
    {"the manifest's stream damaged", [](Scene& s) { s.Damage(0); }, Failed(kInflate + "3"), Line(kInflate + "3"), false, "0"},
    {"another program posts it a quit message and sends its dialog WM_DESTROY while its worker waits: it ends as ever",
     [](Scene& s) { s.Damage(2), s.quit = true; }, Failed(kInflate + "3"), Line(kInflate + "3"), false, "0 1 2"},
    {"a record inflating past its declared size", [](Scene& s) { s.Declare(2, 99999); }, Failed(kInflate + "5"),
     Line(kInflate + "5"), false, "0 1 2"},
    {"a record declared larger than it inflates to, its stream followed by other bytes: the rest of its file is zeros",
     [](Scene& s) {
         mksetup::WalkedRecord r = s.Record(2);
         uint32_t stream = r.header.CompressedSize + 64;
         s.installer.insert(s.installer.begin() + r.offset + kRecordHeaderSize + stream - 64, 64, 0x55);
         memcpy(&s.installer[r.offset + 4], &stream, 4);
         s.Declare(2, 101000), s.files[1].data.resize(101000);
     }, {}, "", true, "0 1 2 3"},
    {"a record declaring 0xFFFFFFF0 bytes, more than its stream could ever inflate to: refused before its file is made",
     [](Scene& s) { s.Declare(2, 0xFFFFFFF0); }, Failed(kInflate + "3"), Line(kInflate + "3"), false, "0 1"},
    {"empty files, the last record and one between: made empty, with their times",
     [](Scene& s) { s.files = PayloadFiles({ToBytes("first"), Bytes(), Text(3000), Bytes()}), s.installer = Build(s.files); },
     {}, "", true, "0 1 2 3 4 5"},
    {"a record declared empty whose stream holds bytes", [](Scene& s) { s.Declare(3, 0); }, Failed(kInflate + "5"),
     Line(kInflate + "5"), false, "0 1 2 3"},
    {"a download cut short inside record 2: found before its file is made",
     [](Scene& s) {
         mksetup::WalkedRecord first = s.Record(0), r = s.Record(2);
         s.installer.resize(r.offset + kRecordHeaderSize + r.header.CompressedSize / 2);
         mksetup::AppendTrailer(s.installer, first.offset);
     },
     Failed(kUnexpected), Line(kUnexpected), false, "0 1"},
    {"KVFiles2.tmp held open: record 2 goes to KVFiles2.tmp~~",
     [](Scene& s) { s.MakeWork(), s.Hold(s.work + "KVFiles2.tmp", FILE_SHARE_READ); }, {}, "", true, "0 1 2 2~~ 3"},
    {"a record's stream damaged, an older log copy in Documents",
     [](Scene& s) { s.Damage(2), WriteAll(kLog, "an older run's log\r\n"); },
     Failed(kInflate + "3"), Line(kInflate + "3"), false},
    {"the manifest names one record more than is stored; Documents under a name in Cyrillic, TMP in Chinese",
     [](Scene& s) {
         s.installer.erase(s.installer.begin() + s.Record(3).offset, s.installer.end() - kTrailerSize);
         s.UnicodeTemp(u8"用户名"), s.Folder(u8"Документы"), s.documents = true, PointDocumentsAt(Wide(s.scratch + u8"Документы"));
     },
     Failed(kUnexpected, false, "Setup Error log-file was saved in\r\n*"), Line(kUnexpected), true, "0 1 2",
     [](const Scene& s) { EXPECT_EQ(ReadAll(s.work + "setup_error.log"), ReadAll(s.Folder(u8"Документы") + "setup_error.log")); }},
    {"the trailer points past the end of the file", [](Scene& s) { s.installer[s.installer.size() - kTrailerSize + 3] = 0x7F; },
     Failed(kUnexpected), Line(kUnexpected), false},
    {"KVFiles1.tmp held open by an earlier second stage",
     [](Scene& s) { s.OldSecondStage(), s.Hold(s.work + "KVFiles1.tmp", FILE_SHARE_READ); },
     {{"Error", ErrorBox(kCopy, 32), kErr}, Failed("")[1], Failed("")[2]}, kCopy + ". {work}KVFiles1.tmp Error ID=" + ErrorId(32) + "\r\n", false},
    {"record 1 is no program", [](Scene& s) { s.files[0].data = ToBytes("not a program"), s.installer = Build(s.files); },
     Failed(kNoProcess, false), Line(kNoProcess), false},
    {"the log's copy in Documents held open", [](Scene& s) { s.Damage(2), s.Hold(kLog, 0); },
     Failed(kInflate + "3", true, "Setup log-file with an errorhas been saved to\r\n{work}setup_error.log\r\n"
                                  "please email to support service of Veltrano\r\n"),
     Line(kInflate + "3"), false},
    {"an old log, an oversized old output and another file in the working folder",
     [](Scene& s) {
         s.MakeWork();
         WriteAll(s.work + "setup_error.log", "Error in uncompress routine -3. Error ID=0\r\n");
         WriteAll(s.work + "other.txt", "kept");
         WriteAll(s.work + "KVFiles2.tmp", std::string(300000, 'o'));
     }, {}, "", true},
    {"blanks in the temp path, and a with.exe where the first word ends",
     [](Scene& s) {
         s.UseTemp(s.scratch + "with blanks\\temp\\");
         CreateDirectoryA((s.scratch + "with blanks").c_str(), NULL);
         CreateDirectoryA(s.temp.c_str(), NULL);
         CopyFileA((Here() + "second_stage_probe.exe").c_str(), (s.scratch + "with.exe").c_str(), FALSE);
     }, {}, "", true},
    {"the temp path in its short (8.3) form: the long form is used",
     [](Scene& s) {
         s.UseTemp(s.scratch + "a long folder name\\");
         CreateDirectoryA(s.temp.c_str(), NULL);
         char shortForm[MAX_PATH] = "";
         GetShortPathNameA(s.temp.c_str(), shortForm, MAX_PATH);
         ASSERT_NE(nullptr, strchr(shortForm, '~')) << shortForm;
         s.temp = shortForm;  // what the environment holds; {work} keeps the long form
     }, {}, "", true},
    {"a temp path as long as fits", [](Scene& s) { s.UseTemp(s.FolderOfLength(MAX_PATH - 1 - 34)); }, {}, "", true},
    {"a temp path one character longer", [](Scene& s) { s.UseTemp(s.FolderOfLength(MAX_PATH - 34)); },
     {{"Error", ErrorBox(kNoTempDir, 206), kErr}}, "none", false},
    {"the temp folder does not exist", [](Scene& s) { s.UseTemp(s.scratch + "missing\\"); },
     {{"Error", ErrorBox(kNoTempDir, 3), kErr}}, "none", false},
    {"a plain file named KVFiles_Setup_Temp", [](Scene& s) { WriteAll(s.temp + "KVFiles_Setup_Temp", "no folder"); },
     {{"Error", kNoTempDir + "\r\n*", kErr}}, "none", false},
    {"no usable temp path: the folder dialog, cancelled", [](Scene& s) { s.temp = "C:\\" + std::string(300, 't') + "\\"; },
     {{"Error", ErrorBox("Could not to find temp path in unpacker's WinMain", 206), kErr},
      {"Browse For Folder", "Select Temp Directory ", 0}}, "none", false},
    {"TMP in the short form of a name in Cyrillic: kept, as its long form cannot be used",
     [](Scene& s) { s.UnicodeTemp(u8"Пользователь"), s.tmp = s.temp; }, {}, "", true, "0 1 2 3"},
    {"TMP under Łukasz, whose best-fit look-alike Lukasz lies beside it: that folder stays untouched",
     [](Scene& s) { s.Folder("Lukasz"), s.UnicodeTemp(u8"Łukasz"); }, {}, "", true, "0 1 2 3",
     [](const Scene& s) { EXPECT_TRUE(Tree(s.scratch + "Lukasz\\").empty()); }},
    {"TMP under a name in Cyrillic with no short form to be had (no such folder): as no temp path",
     [](Scene& s) { s.tmp = s.scratch + u8"Пользователь\\"; }, {{"Error", ErrorBox("Could not to find temp path in unpacker's WinMain", ERROR_NO_UNICODE_TRANSLATION), kErr},
      {"Browse For Folder", "Select Temp Directory ", 0}}, "none", false},
    {"uxtheme.dll planted beside the installer, preferred by Wine",
     // Loaded by name while the unpacker runs (WINEDEBUG=+loaddll) and no
     // known DLL on Windows. (Wine loads imm32.dll and version.dll from the
     // installer's folder too, through its own user32 and shell32, before
     // any of the unpacker's code runs.)
     [](Scene& s) {
         CopyFileA((Here() + "planted.dll").c_str(), (s.scratch + "uxtheme.dll").c_str(), FALSE);
         RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\setup.exe\\DllOverrides", 0, NULL, 0,
                         KEY_ALL_ACCESS, NULL, &s.dllOverrides, NULL);
         RegSetValueExA(s.dllOverrides, "uxtheme", 0, REG_SZ, (const BYTE*)"native,builtin", 15);
     }, {}, "", true},
};

void ExpectText(const Scene& s, std::string expected, const std::string& actual, const char* what)
{
    for (const auto& field : {std::make_pair("{work}", s.work), std::make_pair("{exe}", s.exe)})
        for (size_t at; (at = expected.find(field.first)) != std::string::npos;)
            expected.replace(at, strlen(field.first), field.second);
    if (!expected.empty() && expected.back() == '*')
        EXPECT_EQ(0u, actual.rfind(expected.substr(0, expected.size() - 1), 0)) << what << ": " << actual;
    else
        EXPECT_EQ(expected, actual) << what;
}

// The outputs left: "0 1 2~~" for KVFiles0.tmp, KVFiles1.tmp, KVFiles2.tmp~~.
std::string Outputs(const std::string& work)
{
    std::string list;
    for (const auto& e : Tree(work))
        if (e.first.rfind("KVFiles", 0) == 0 && e.first.find(".report") == std::string::npos)
            list += " " + e.first.substr(7, e.first.find(".tmp") - 7) + e.first.substr(e.first.find(".tmp") + 4);
    return list.substr(list.empty() ? 0 : 1);
}

class UnpackerTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        DeleteFileA(kLog.c_str());
        for (const std::string& folder : scratch_)
            if (!HasFailure())
                RemoveTree(folder);
    }
    Scene NewScene(const char* tag)
    {
        Scene s;
        scratch_.push_back(s.scratch = Scratch(tag));
        s.UseTemp(s.scratch + "temp\\");
        CreateDirectoryA(s.temp.c_str(), NULL);
        DeleteFileA(kLog.c_str());
        s.exe = s.scratch + "setup.exe";
        s.files = PayloadFiles({ToBytes(std::string(100000, 'a')), ToBytes("tiny")});
        s.installer = Build(s.files);
        return s;
    }
    static void Write(const Scene& s) { WriteAll(s.exe, std::string(s.installer.begin(), s.installer.end())); }
    // Starts the installer as the user would; false if it does not end in time.
    static bool Launch(Installer& child, const Scene& s, bool answer = true, DWORD timeoutMs = 60000)
    {
        Write(s);
        return child.Start(s.exe, s.temp, answer) && (child.Resume(), child.Wait(timeoutMs));
    }
    void Run(const Row& row);

    std::vector<std::string> scratch_;
};

void UnpackerTest::Run(const Row& row)
{
    SCOPED_TRACE(row.name);
    Scene s = NewScene("unpacker");
    row.prepare(s);
    if (s.sealed)
        Seal(s.installer);
    Write(s);
    auto before = Tree(s.scratch);
    bool ranBeforeExitSetup = false;
    std::string folderTitle;
    Installer child;
    ASSERT_TRUE(child.Start(s.launch.empty() ? s.exe : s.launch, s.tmp.empty() ? s.temp : s.tmp, true, s.elevated));
    child.boxes->onBox = [&](HWND window, const Box& box) {
        if (!GetDlgItem(window, 0xFFFF)) {  // no message box: the folder dialog, its title a child
            folderTitle = FindWindowExA(window, NULL, NULL, "Select Temp Directory ") ? "Select Temp Directory " : "?";
            PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
        }
        HWND dialog = s.quit && box.icon == kErr ? FindWindowA(NULL, "Veltrano Setup") : NULL;  // its worker waits on this box
        if (dialog)
            PostThreadMessageA(GetWindowThreadProcessId(dialog, NULL), WM_QUIT, 0, 0), SendNotifyMessageA(dialog, WM_DESTROY, 0, 0);
        if (box.caption == "Exit Setup" && row.started) {
            Sleep(1500);  // time enough for a second stage that was not held back
            ranBeforeExitSetup = Exists(ReportPath(s.work));
        }
    };
    if (s.holdInstaller)
        s.Hold(s.exe, 0);
    // From the second record on until the last, KVFiles1.tmp and its folder
    // must stay as the installer made them.
    std::string changed;
    int attempts = 0;
    std::thread watcher([&] {
        std::string one = s.work + "KVFiles1.tmp", folder = s.work.substr(0, s.work.size() - 1);
        while (s.watch && !Exists(s.work + "KVFiles2.tmp") && !child.Wait(0))
            Sleep(1);
        for (; s.watch && !Exists(s.work + "KVFiles4.tmp") && !child.Wait(0); ++attempts) {
            changed += std::ofstream(one, std::ios::in | std::ios::out | std::ios::binary) ? "opened for writing; " : "";
            for (auto move : {std::make_pair(s.scratch + "decoy", one), {one, one + "~"}, {folder, folder + "~"}})
                changed += MoveFileExA(move.first.c_str(), move.second.c_str(), MOVEFILE_REPLACE_EXISTING) ? move.second + "; " : "";
            changed += DeleteFileA(one.c_str()) ? "deleted" : "";
        }
    });
    child.Resume();
    std::thread meanwhile([&] {
        if (s.meanwhile)
            s.meanwhile(s, [&] { return !child.Wait(0); });
    });
    bool ended = child.Wait(60000);
    watcher.join(), meanwhile.join();
    EXPECT_TRUE(!s.watch || (attempts > 0 && changed.empty())) << attempts << " attempts: " << changed;
    CloseHandle(s.held);
    if (s.documents)
        PointDocumentsAt(Wide(kLog.substr(0, kLog.rfind('\\'))));
    if (s.dllOverrides)
        RegDeleteTreeA(s.dllOverrides, NULL), RegCloseKey(s.dllOverrides);
    ASSERT_TRUE(ended) << child.Snapshot();
    EXPECT_EQ(0u, child.ExitCode());

    auto boxes = child.boxes->Boxes();
    ASSERT_EQ(row.boxes.size(), boxes.size()) << (boxes.empty() ? "" : boxes[0].text);
    bool handedOver = false, namesDocuments = false;
    for (size_t i = 0; i < boxes.size(); ++i) {
        EXPECT_EQ(0, lstrcmpiA(row.boxes[i].caption.c_str(), boxes[i].caption.c_str())) << i << ": " << boxes[i].caption;
        ExpectText(s, row.boxes[i].text, boxes[i].text.empty() ? folderTitle : boxes[i].text, "a box");
        EXPECT_EQ(row.boxes[i].icon, boxes[i].icon) << "box " << i;
        handedOver = handedOver || boxes[i].caption == "Exit Setup";
        namesDocuments = namesDocuments || boxes[i].text == kSaved;
    }
    if (row.log == "none") {
        EXPECT_EQ(before, Tree(s.scratch)) << "the run left something behind";
    } else {
        std::string log = ReadAll(s.work + "setup_error.log");
        ExpectText(s, row.log, log, "the log");
        if (namesDocuments)
            EXPECT_EQ(log, ReadAll(kLog)) << "the log's copy in Documents";
        else if (!handedOver)
            EXPECT_FALSE(Exists(kLog)) << "a log handed over";
        if (Exists(s.work + "other.txt"))
            EXPECT_EQ("kept", ReadAll(s.work + "other.txt"));
    }
    EXPECT_FALSE(Exists(s.scratch + "uxtheme.dll.loaded")) << "the planted library was loaded";
    if (row.check)
        row.check(s);
    EXPECT_FALSE(Exists(s.work + "with.exe.report")) << "the decoy with.exe ran";
    if (row.outputs)
        EXPECT_EQ(row.outputs, Outputs(s.work));
    std::string report = ReadAll(ReportPath(s.work));
    DeleteFileA(ReportPath(s.work).c_str());
    ASSERT_EQ(row.started, !report.empty()) << "the second stage ran";
    if (!row.started)
        return;
    EXPECT_FALSE(ranBeforeExitSetup) << "the second stage ran before the user had read the log";
    size_t end = report.find("end=");
    EXPECT_EQ("command=" + s.work + "KVFiles1.tmp -0\ndirectory=" + s.work.substr(0, s.work.size() - 1) + "\ndialog=gone\n",
              report.substr(0, end));
    FILETIME created, exited, kernel, user;
    GetProcessTimes(child.process.hProcess, &created, &exited, &kernel, &user);
    EXPECT_GE(Value(exited), std::stoull("0" + report.substr(end + 4))) << "the unpacker waited for the second stage";
    KeptTimes kept = PlatformKeptTimes();
    for (size_t i = 0; i < s.files.size(); ++i) {
        std::string path = s.work + "KVFiles" + std::to_string(i + 1) + ".tmp";
        path += Exists(path + "~~") ? "~~" : "";
        if (!Exists(path))
            continue;  // named by the manifest, but not stored
        EXPECT_TRUE(ReadAll(path) == std::string(s.files[i].data.begin(), s.files[i].data.end())) << path;
        WIN32_FILE_ATTRIBUTE_DATA d;
        GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d);
        EXPECT_TRUE(!kept.creation || s.files[i].times.creation == Value(d.ftCreationTime)) << path;
        EXPECT_TRUE(!kept.lastWrite || s.files[i].times.lastWrite == Value(d.ftLastWriteTime)) << path;
    }
}

TEST_F(UnpackerTest, EachSituationGivesWhatTheUserAndTheSecondStageMustSee)
{
    for (const Row& row : kRows)
        Run(row);
}

TEST_F(UnpackerTest, TheDialogCannotBeClosedAndASecondCopyBringsItOrTheWelcomeWindowForward)
{
    // The worker waits on an error box not answered yet: the dialog stays.
    Scene s = NewScene("dialog");
    s.Damage(2), Seal(s.installer);
    Installer first, second, third;
    Launch(first, s, false, 0);
    ASSERT_TRUE(first.boxes->WaitFor(1));
    HWND dialog = FindWindowA(NULL, "Veltrano Setup");
    ASSERT_NE(nullptr, dialog);
    // The close box and Alt+F4 change nothing.
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(dialog, WM_SYSKEYDOWN, VK_F4, 1 << 29);
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    ShowWindow(dialog, SW_MINIMIZE);
    auto before = Tree(s.scratch);
    ASSERT_TRUE(Launch(second, s, true, 20000));
    EXPECT_EQ(0u, second.ExitCode());
    EXPECT_TRUE(second.boxes->Boxes().empty());
    EXPECT_EQ(before, Tree(s.scratch));
    EXPECT_TRUE(IsWindow(dialog) && !IsIconic(dialog)) << "the first copy's window, still there, is restored";
    first.boxes->AnswerAll();
    ASSERT_TRUE(first.Wait(60000));
    EXPECT_EQ(3u, first.boxes->Boxes().size()) << "extraction went on to its end";

    // With the progress dialog gone, the second stage's "Welcome" window.
    HANDLE running = CreateMutexA(NULL, FALSE, "Mutex");
    HWND welcome = CreateWindowA("STATIC", "Welcome", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL, NULL, NULL, NULL);
    ShowWindow(welcome, SW_MINIMIZE);
    Launch(third, s, true, 0);
    HANDLE process = third.process.hProcess;  // restoring the window waits for this thread's messages
    while (MsgWaitForMultipleObjects(1, &process, FALSE, 20000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        for (MSG m; PeekMessageA(&m, NULL, 0, 0, PM_REMOVE);)
            DispatchMessageA(&m);
    ASSERT_TRUE(third.Wait(0));
    EXPECT_FALSE(IsIconic(welcome)) << "the Welcome window is restored";
    EXPECT_TRUE(third.boxes->Boxes().empty());
    DestroyWindow(welcome);
    CloseHandle(running);
}

// Installers damaged by byte flips, cuts and appended bytes from a fixed
// seed (CAMPAIGN_CASES, CAMPAIGN_SEED). Each must end by itself without a
// crash, log every error box, change nothing outside its working folder,
// start the second stage only when no record it names failed, and install
// cleanly when mksetup verify passes it. What ended how is printed.
TEST_F(UnpackerTest, DamagedInstallersNeverCrashHangOrInstallBrokenFiles)
{
    unsigned cases = getenv("CAMPAIGN_CASES") ? atoi(getenv("CAMPAIGN_CASES")) : 10;
    uint64_t state = getenv("CAMPAIGN_SEED") ? atoi(getenv("CAMPAIGN_SEED")) : 20261206;
    auto next = [&](uint32_t below) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return below ? (uint32_t)(state >> 33) % below : 0;
    };
    Bytes noise(30000);
    std::generate(noise.begin(), noise.end(), [&] { return (uint8_t)next(256); });
    const Bytes intact = Build(PayloadFiles({Text(107595), noise, ToBytes("short")}));
    const uint32_t payload = mksetup::WalkInstaller(intact.data(), intact.size(), false).firstRecordOffset;
    std::map<std::string, int> outcomes;
    for (unsigned n = 0; n < cases; ++n) {
        Scene s = NewScene("mutation");
        s.installer = intact;
        uint32_t how = next(3), size = (uint32_t)intact.size() - payload;
        for (uint32_t i = 0, flips = 1 + next(8); how == 0 && i < flips; ++i)
            s.installer[payload + next(size)] ^= (uint8_t)(1 + next(255));
        if (how == 1)
            s.installer.resize(payload + next(size));
        for (uint32_t i = 0, extra = 1 + next(40000); how == 2 && i < extra; ++i)
            s.installer.push_back((uint8_t)next(256));
        SCOPED_TRACE("case " + std::to_string(n) + ", damage " + std::to_string(how));
        Installer child;
        ASSERT_TRUE(Launch(child, s)) << "it hung:\n" << child.Snapshot();
        EXPECT_EQ(0u, child.ExitCode()) << "a crash";
        std::string log = ReadAll(s.work + "setup_error.log");
        bool stopped = false;
        for (const Box& box : child.boxes->Boxes()) {
            if (box.icon == kErr)
                EXPECT_NE(std::string::npos, log.find(box.text.substr(0, box.text.find("\r\n")) + ". ")) << box.text;
            stopped = stopped || (box.caption == "Error" && box.icon == kInfo);
        }
        EXPECT_FALSE(stopped && log.empty()) << "stopped with nothing in the log";
        auto tree = Tree(s.scratch);
        for (auto i = tree.begin(); i != tree.end();)
            i = i->first.rfind("temp\\KVFiles_Setup_Temp\\", 0) == 0 ? tree.erase(i) : std::next(i);
        tree.erase("temp\\KVFiles_Setup_Temp\\");
        EXPECT_EQ((std::map<std::string, size_t>{{"setup.exe", s.installer.size()}, {"temp\\", 0}}), tree);

        mksetup::InstallerWalk walk = mksetup::WalkInstaller(s.installer.data(), s.installer.size(), true);
        bool started = Exists(ReportPath(s.work)), recordFailed = false, noTrailer = false;
        for (const auto& p : walk.problems) {
            using P = mksetup::Problem;
            recordFailed = recordFailed || p.kind == P::kInflateFailed || p.kind == P::kStreamOutside ||
                           p.kind == P::kInTrailer || (p.kind == P::kOutside && p.index <= 1) || p.kind == P::kNoSecondStage;
            noTrailer = noTrailer || p.kind == P::kNoTrailer;
        }
        EXPECT_FALSE(started && recordFailed && !noTrailer) << "the second stage started although a record failed";
        EXPECT_FALSE(walk.Ok() && (!started || !log.empty())) << "an installer that verifies did not install cleanly";
        ++outcomes[stopped ? "stopped with a report" : !started ? "nothing started"
                   : walk.Ok() ? "installed, verify passes" : "installed, verify objects"];
        if (!HasFailure())
            RemoveTree(s.scratch);  // a thousand cases leave no thousand folders
    }
    for (const auto& o : outcomes)
        printf("Mutation campaign: %d of %u %s\n", o.second, cases, o.first.c_str());
}

// Run by run_full_disk.sh, which mounts a small file system and names its
// folder (a Windows path ending in "\") in FULL_DISK_FOLDER.
TEST_F(UnpackerTest, ARecordLargerThanTheFreeSpaceStopsTheInstallWithAReport)
{
    const char* folder = getenv("FULL_DISK_FOLDER");
    ULARGE_INTEGER space;
    if (!folder || !GetDiskFreeSpaceExA(folder, &space, NULL, NULL))
        GTEST_SKIP() << "no small file system mounted (see run_full_disk.sh)";
    // In one window, and on a later window of many.
    for (const char* stub : {kStub, kSmallWindows}) {
        SCOPED_TRACE(stub);
        Scene s = NewScene("fulldisk");
        s.UseTemp(folder);
        RemoveTree(s.work);
        s.installer = Build(PayloadFiles({ToBytes("small first"), Bytes(space.QuadPart * 2, 'v')}), stub);
        Installer child;
        ASSERT_TRUE(Launch(child, s, true, 120000)) << "it hung on the full disk";
        EXPECT_EQ(0u, child.ExitCode());
        auto boxes = child.boxes->Boxes();
        ASSERT_GE(boxes.size(), 2u);  // the log's copy too may find no room
        ExpectText(s, "Unexpected error in unpacker's ExtractFiles\r\n*", boxes[0].text, "the error");
        EXPECT_EQ(kErr, boxes[0].icon);
        EXPECT_EQ(kStop, boxes[1].text);
        EXPECT_FALSE(Exists(ReportPath(s.work))) << "no second stage";
    }
}

}  // namespace
