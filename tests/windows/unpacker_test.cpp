// The real unpacker, end to end: installers built from unpacker.exe with a
// test second stage, started as the user would start them, their message
// boxes read and answered. One table holds most of it: each row prepares
// the installer or its surroundings and says what must follow. The cases
// that need a second process or a look at the window follow the table.
#include "tests/support/installer_under_test.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

using mksetup::Bytes;

const UINT kErr = MB_ICONERROR, kInfo = MB_ICONINFORMATION;
const char kStop[] = "Install process was stopped because of\r\nsome errors in unpacker procedure";
const char kSaved[] =
    "Setup Error log-file was saved in\r\n{docs}\\setup_error.log\r\nplease email it to support of program\r\nVeltrano";
const char kNoTempDir[] = "Could not to create temp dir in unpacker's WinMain";

// A box as the user must see it. In texts, {work} is the working folder,
// {docs} the Documents folder's own name, {box:MESSAGE|CODE} what
// ReportError shows for a system error, {id:CODE} the ID it logs; a text
// ending in '*' need only begin with what comes before.
struct Box {
    const char* caption;
    std::string text;
    UINT icon;
};

// One run: the installer and the folders around it.
struct Scene {
    std::string scratch, temp, work, documents, exe;
    std::vector<mksetup::InputFile> files;
    Bytes installer;
    HANDLE held = INVALID_HANDLE_VALUE;  // a file some other program has open
    bool holdInstaller = false;          // held as soon as its process exists
    HKEY dllOverrides = NULL;

    void UseTemp(const std::string& folder)
    {
        temp = folder;
        work = temp + "KVFiles_Setup_Temp\\";
    }
    mksetup::WalkedRecord Record(size_t index) const
    {
        return mksetup::WalkInstaller(installer.data(), installer.size(), false).records.at(index);
    }
    void SetDeclaredSize(size_t index, uint32_t size)
    {
        uint32_t at = Record(index).offset;
        for (int i = 0; i < 4; ++i)
            installer[at + i] = (uint8_t)(size >> 8 * i);
    }
    // The installer laid out by hand: the stub, this manifest text, and the
    // files' records, with the streams given where a file's own will not do.
    void Assemble(const std::string& manifest, const std::map<size_t, Bytes>& streams = {}, uint32_t slack = 0)
    {
        installer = ToBytes(ReadWholeFile(ThisProgramsFolder() + "unpacker-stub.exe"));
        uint32_t first = (uint32_t)installer.size();
        Bytes text = ToBytes(manifest + '\0');
        mksetup::AppendRecord(installer, (uint32_t)text.size() + slack, mksetup::ZlibCompress(text.data(), text.size(), 9),
                              {});
        for (size_t i = 0; i < files.size(); ++i) {
            const Bytes& data = files[i].data;
            mksetup::AppendRecord(installer, (uint32_t)data.size(),
                                  streams.count(i) ? streams.at(i) : mksetup::ZlibCompress(data.data(), data.size(), 9),
                                  files[i].times);
        }
        mksetup::AppendTrailer(installer, first);
    }
    void DamageStream(size_t index)
    {
        mksetup::WalkedRecord r = Record(index);
        installer[r.offset + kRecordHeaderSize + r.header.CompressedSize - 1] ^= 1;  // its Adler-32
    }
    // A folder whose path, with its backslash, is length characters long.
    std::string FolderOfLength(size_t length)
    {
        std::string path = scratch;
        while (path.size() < length) {
            size_t left = length - path.size();  // never 1: each name needs a character and a backslash
            path += std::string(left > 101 ? std::min<size_t>(100, left - 3) : left - 1, 'p') + "\\";
            CreateDirectoryA(path.c_str(), NULL);
        }
        return path;
    }
};

struct Row {
    const char* name;
    void (*prepare)(Scene&);
    std::vector<Box> boxes;
    const char* log;      // the working folder's log; NULL: the run leaves nothing behind
    bool started;         // the second stage runs, after the user has read any log
    const char* outputs;  // if given, the outputs left: "0 1 2~~" for KVFiles0.tmp, KVFiles1.tmp, KVFiles2.tmp~~
};

std::string Outputs(const std::string& work)
{
    std::string list;
    for (const auto& entry : FolderTree(work)) {
        const std::string& name = entry.first;
        size_t dot = name.find(".tmp");
        if (name.rfind("KVFiles", 0) == 0 && dot != std::string::npos &&
            (name.size() == dot + 4 || name.substr(dot + 4) == "~~"))
            list += (list.empty() ? "" : " ") + name.substr(7, dot - 7) + name.substr(dot + 4);
    }
    return list;
}

std::string Expand(const Scene& s, std::string text)
{
    auto field = [&](const std::string& name, const std::function<std::string(const std::string&)>& value) {
        for (size_t at; (at = text.find("{" + name)) != std::string::npos;) {
            size_t end = text.find('}', at);
            text.replace(at, end + 1 - at, value(text.substr(at + name.size() + 1, end - at - name.size() - 1)));
        }
    };
    field("work", [&](const std::string&) { return s.work; });
    field("exe", [&](const std::string&) { return s.exe; });
    field("docs", [&](const std::string&) { return s.documents.substr(s.documents.find_last_of('\\') + 1); });
    field("id:", [](const std::string& code) { return ExpectedErrorId(std::stoul(code)); });
    field("box:", [](const std::string& what) {
        size_t bar = what.find('|');
        return ExpectedErrorBoxText(what.substr(0, bar), std::stoul(what.substr(bar + 1)));
    });
    return text;
}

BOOL CALLBACK FindFolderDialogTitle(HWND child, LPARAM title)
{
    char text[64] = "";
    GetWindowTextA(child, text, sizeof text);
    if (lstrcmpA(text, "Select Temp Directory ") == 0)
        *(std::string*)title = text;
    return TRUE;
}

void ExpectText(const std::string& expected, const std::string& actual, const char* what)
{
    if (!expected.empty() && expected.back() == '*')
        EXPECT_EQ(0u, actual.rfind(expected.substr(0, expected.size() - 1), 0)) << what << ": " << actual;
    else
        EXPECT_EQ(expected, actual) << what;
}

void Cut(Scene& s, size_t from, size_t to)
{
    s.installer.erase(s.installer.begin() + from, s.installer.begin() + to);
}

// A failure that stops the install: its error box, the stop, the log handed over.
std::vector<Box> Stopped(const std::string& error)
{
    return {{"Error", error, kErr}, {"Error", kStop, kInfo}, {"Exit Setup", kSaved, kInfo}};
}

const Row kRows[] = {
    {"a whole installer", [](Scene&) {}, {}, "", true, "0 1 2 3"},
    {"a record another zlib compressor wrote (pigz, zopfli)",
     [](Scene& s) {
         s.files[2].data = ToBytes(ReadWholeFile(ThisProgramsFolder() + "pigz_sample.txt"));
         ASSERT_FALSE(s.files[2].data.empty());
         s.Assemble("<P1=\"a\"><P2=\"b\"><P3=\"c\">", {{2, ToBytes(ReadWholeFile(ThisProgramsFolder() + "pigz_sample.txt.zz"))}});
     },
     {}, "", true, "0 1 2 3"},
    {"tags 1 and 3: the loop ends at the gap", [](Scene& s) { s.Assemble("<P1=\"a\">\r\n<P3=\"c\">"); }, {}, "", true,
     "0 1"},
    {"no tag <P1=\", only <P10=\"",
     [](Scene& s) { s.Assemble("<P10=\"a\">"); },
     {{"Error", "Could not create process in unpacker's MainDlgProc\r\n*", kErr}, {"Exit Setup", kSaved, kInfo}},
     "Could not create process in unpacker's MainDlgProc. Error ID=*", false, "0"},
    {"the manifest declared larger than its text: searched to its zero, the rest zero-filled",
     [](Scene& s) { s.Assemble(std::string("<P1=\"a\">") + '\0' + "<P2=\"b\"><P3=\"c\">", {}, 1000); }, {}, "", true,
     "0 1"},
    {"the installer's own file held by another program",
     [](Scene& s) { s.holdInstaller = true; },
     Stopped("{box:Could not create file in unpacker's GetViewFile|2}"),
     "Could not create file in unpacker's GetViewFile. {exe}~~ Error ID={id:2}\r\n", false, ""},
    {"the manifest's stream damaged", [](Scene& s) { s.DamageStream(0); },
     Stopped("Error in uncompress routine -3\r\n*"),
     "Error in uncompress routine -3. Error ID=*", false, "0"},
    {"a record inflating past its declared size", [](Scene& s) { s.SetDeclaredSize(2, 99999); },
     Stopped("Error in uncompress routine -5\r\n*"),
     "Error in uncompress routine -5. Error ID=*", false, "0 1 2"},
    {"a record declared empty", [](Scene& s) { s.SetDeclaredSize(3, 0); },
     Stopped("Could not create map file in dialog's GetViewFile\r\n*"),
     "Could not create map file in dialog's GetViewFile. {work}KVFiles3.tmp Error ID=*", false, "0 1 2 3"},
    {"a download cut short inside record 2: found before its file is made",
     [](Scene& s) {
         uint32_t first = s.Record(0).offset;
         mksetup::WalkedRecord r = s.Record(2);
         s.installer.resize(r.offset + kRecordHeaderSize + r.header.CompressedSize / 2);
         mksetup::AppendTrailer(s.installer, first);
     },
     Stopped("Unexpected error in unpacker's ExtractFiles\r\n*"),
     "Unexpected error in unpacker's ExtractFiles. Error ID=*", false, "0 1"},
    {"KVFiles2.tmp held open: record 2 goes to KVFiles2.tmp~~",
     [](Scene& s) {
         CreateDirectoryA(s.work.c_str(), NULL);
         s.held = CreateFileA((s.work + "KVFiles2.tmp").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0,
                              NULL);
     },
     {}, "", true, "0 1 2 2~~ 3"},
    {"a record's stream damaged, an older log copy in Documents",
     [](Scene& s) {
         s.DamageStream(2);
         WriteWholeFile(s.documents + "\\setup_error.log", "an older run's log\r\n");
     },
     Stopped("Error in uncompress routine -3\r\n*"),
     "Error in uncompress routine -3. Error ID=*", false},
    {"the manifest names one record more than is stored",
     [](Scene& s) { Cut(s, s.Record(3).offset, s.installer.size() - kTrailerSize); },
     {{"Error", "Unexpected error in unpacker's ExtractFiles\r\n*", kErr}, {"Exit Setup", kSaved, kInfo}},
     "Unexpected error in unpacker's ExtractFiles. Error ID=*", true},
    {"the trailer points past the end of the file",
     [](Scene& s) { s.installer[s.installer.size() - kTrailerSize + 3] = 0x7F; },
     Stopped("Unexpected error in unpacker's ExtractFiles\r\n*"),
     "Unexpected error in unpacker's ExtractFiles. Error ID=*", false},
    {"KVFiles1.tmp held open by an earlier second stage",
     [](Scene& s) {
         CreateDirectoryA(s.work.c_str(), NULL);
         std::string held = s.work + "KVFiles1.tmp";
         CopyFileA((ThisProgramsFolder() + "second_stage_probe.exe").c_str(), held.c_str(), FALSE);
         s.held = CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
     },
     Stopped("{box:Could not create file in unpacker's GetViewFile|32}"),
     "Could not create file in unpacker's GetViewFile. {work}KVFiles1.tmp Error ID={id:32}\r\n", false},
    {"record 1 is no program",
     [](Scene& s) {
         s.files[0].data = ToBytes("not a program");
         s.installer = BuildTestInstaller(s.files);
     },
     {{"Error", "Could not create process in unpacker's MainDlgProc\r\n*", kErr}, {"Exit Setup", kSaved, kInfo}},
     "Could not create process in unpacker's MainDlgProc. Error ID=*", false},
    {"the log's copy in Documents held open",
     [](Scene& s) {
         s.DamageStream(2);
         WriteWholeFile(s.documents + "\\setup_error.log", "held");
         s.held = CreateFileA((s.documents + "\\setup_error.log").c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
     },
     {{"Error", "Error in uncompress routine -3\r\n*", kErr},
      {"Error", kStop, kInfo},
      {"Exit Setup",
       "Setup log-file with an errorhas been saved to\r\n{work}setup_error.log\r\nplease email to support service of "
       "Veltrano\r\n",
       kInfo}},
     "Error in uncompress routine -3. Error ID=*", false},
    {"an old log and another file in the working folder",
     [](Scene& s) {
         CreateDirectoryA(s.work.c_str(), NULL);
         WriteWholeFile(s.work + "setup_error.log", "Error in uncompress routine -3. Error ID=0\r\n");
         WriteWholeFile(s.work + "other.txt", "kept");
         WriteWholeFile(s.work + "KVFiles2.tmp", std::string(300000, 'o'));  // to be cut to its record's size
     },
     {}, "", true},
    {"blanks in the temp path, and a with.exe where the first word ends",
     [](Scene& s) {
         s.UseTemp(s.scratch + "with blanks\\temp\\");
         CreateDirectoryA((s.scratch + "with blanks").c_str(), NULL);
         CreateDirectoryA(s.temp.c_str(), NULL);
         CopyFileA((ThisProgramsFolder() + "second_stage_probe.exe").c_str(), (s.scratch + "with.exe").c_str(), FALSE);
     },
     {}, "", true},
    {"the temp path in its short (8.3) form",
     [](Scene& s) {
         std::string longForm = s.scratch + "a long folder name\\";
         CreateDirectoryA(longForm.c_str(), NULL);
         char shortForm[MAX_PATH] = "";
         GetShortPathNameA(longForm.c_str(), shortForm, MAX_PATH);
         ASSERT_NE(std::string::npos, std::string(shortForm).find('~')) << shortForm;
         s.UseTemp(longForm);
         s.temp = shortForm;  // the environment holds the short form; {work} the long one
     },
     {}, "", true},
    {"a temp path as long as fits", [](Scene& s) { s.UseTemp(s.FolderOfLength(MAX_PATH - 1 - 34)); }, {}, "", true},
    {"a temp path one character longer",
     [](Scene& s) { s.UseTemp(s.FolderOfLength(MAX_PATH - 34)); },
     {{"Error", std::string("{box:") + kNoTempDir + "|206}", kErr}}, NULL, false},
    {"the temp folder does not exist", [](Scene& s) { s.UseTemp(s.scratch + "missing\\"); },
     {{"Error", std::string("{box:") + kNoTempDir + "|3}", kErr}}, NULL, false},
    {"a plain file named KVFiles_Setup_Temp",
     [](Scene& s) { WriteWholeFile(s.temp + "KVFiles_Setup_Temp", "not a folder"); },
     {{"Error", std::string(kNoTempDir) + "\r\n*", kErr}}, NULL, false},
    {"no usable temp path: the folder dialog, cancelled",
     [](Scene& s) { s.temp = "C:\\" + std::string(300, 't') + "\\"; },
     {{"Error", "{box:Could not to find temp path in unpacker's WinMain|206}", kErr},
      {"Browse For Folder", "Select Temp Directory ", 0}},
     NULL, false},
    {"uxtheme.dll planted beside the installer, preferred by Wine",
     // uxtheme.dll: loaded by name while the unpacker runs (seen with
     // WINEDEBUG=+loaddll), and no known DLL on Windows, so the search would
     // reach the installer's folder. (Wine also loads imm32.dll and
     // version.dll from there while the process starts, through its own
     // user32 and shell32; on Windows both come from the system folder.)
     [](Scene& s) {
         CopyFileA((ThisProgramsFolder() + "planted.dll").c_str(), (s.scratch + "uxtheme.dll").c_str(), FALSE);
         RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\setup.exe\\DllOverrides", 0, NULL, 0,
                         KEY_ALL_ACCESS, NULL, &s.dllOverrides, NULL);
         RegSetValueExA(s.dllOverrides, "uxtheme", 0, REG_SZ, (const BYTE*)"native,builtin", 15);
     },
     {}, "", true},
};

class UnpackerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch_.push_back(MakeScratchFolder("times"));
        kept_ = MeasureSurvivingTimes(scratch_.back());
        char documents[MAX_PATH] = "";
        SHGetFolderPathA(NULL, CSIDL_PERSONAL, NULL, 0, documents);
        documents_ = documents;
    }

    void TearDown() override
    {
        DeleteFileA((documents_ + "\\setup_error.log").c_str());
        if (!HasFailure())
            for (const std::string& folder : scratch_)
                RemoveTree(folder);
    }

    Scene NewScene(const char* tag)
    {
        Scene s;
        s.scratch = MakeScratchFolder(tag);
        scratch_.push_back(s.scratch);
        s.UseTemp(s.scratch + "temp\\");
        CreateDirectoryA(s.temp.c_str(), NULL);
        s.documents = documents_;
        DeleteFileA((documents_ + "\\setup_error.log").c_str());
        s.exe = s.scratch + "setup.exe";
        s.files = TestPayloadFiles({ToBytes(std::string(100000, 'a')), ToBytes("tiny")});
        s.installer = BuildTestInstaller(s.files);
        return s;
    }

    void Write(const Scene& s) { WriteWholeFile(s.exe, std::string(s.installer.begin(), s.installer.end())); }

    void Run(const Row& row);

    std::string documents_;
    std::vector<std::string> scratch_;
    SurvivingTimes kept_;
};

void UnpackerTest::Run(const Row& row)
{
    SCOPED_TRACE(row.name);
    Scene s = NewScene("unpacker");
    row.prepare(s);
    Write(s);
    auto before = FolderTree(s.scratch);
    auto report = [&] {  // where the second stage writes it: see second_stage_probe.cpp
        char folder[MAX_PATH];
        return (GetShortPathNameA(s.work.c_str(), folder, MAX_PATH) ? folder : s.work) + "KVFiles1.tmp.report";
    };
    bool ranBeforeExitSetup = false;
    std::string folderTitle;

    ChildProcess child;
    ASSERT_TRUE(child.Start(s.exe, "\"" + s.exe + "\"", {{"TMP", s.temp}, {"TEMP", s.temp}}));
    child.Boxes().onBox = [&](HWND window, const CapturedBox& box) {
        if (!GetDlgItem(window, 0xFFFF)) {  // no message box: the folder dialog, its title in a child
            EnumChildWindows(window, FindFolderDialogTitle, (LPARAM)&folderTitle);
            PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
        }
        if (box.caption == "Exit Setup" && row.started) {
            Sleep(1500);  // time enough for a second stage that was not held back
            ranBeforeExitSetup = FileExists(report());
        }
    };
    if (s.holdInstaller)
        s.held = CreateFileA(s.exe.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    child.Resume();
    bool ended = child.WaitForExit(60000);
    if (s.held != INVALID_HANDLE_VALUE)
        CloseHandle(s.held);
    if (s.dllOverrides) {
        RegDeleteTreeA(s.dllOverrides, NULL);
        RegCloseKey(s.dllOverrides);
    }
    ASSERT_TRUE(ended);
    EXPECT_EQ(0u, child.ExitCode());

    auto boxes = child.Boxes().Boxes();
    ASSERT_EQ(row.boxes.size(), boxes.size());
    bool handedOver = false, namesDocuments = false;
    for (size_t i = 0; i < boxes.size(); ++i) {
        if (boxes[i].text.empty())
            boxes[i].text = folderTitle;
        // Case aside: the folder dialog's caption is the system's.
        EXPECT_EQ(0, lstrcmpiA(row.boxes[i].caption, boxes[i].caption.c_str())) << "box " << i << ": " << boxes[i].caption;
        ExpectText(Expand(s, row.boxes[i].text), boxes[i].text, row.boxes[i].caption);
        EXPECT_EQ(row.boxes[i].icon, boxes[i].icon) << "box " << i;
        handedOver = handedOver || boxes[i].caption == "Exit Setup";
        namesDocuments = namesDocuments || boxes[i].text.rfind("Setup Error log-file was saved in", 0) == 0;
    }

    if (!row.log) {
        EXPECT_EQ(before, FolderTree(s.scratch)) << "the run left something behind";
    } else {
        std::string log = ReadWholeFile(s.work + "setup_error.log");
        ExpectText(Expand(s, row.log), log, "the log");
        std::string copy = s.documents + "\\setup_error.log";
        if (namesDocuments)
            EXPECT_EQ(log, ReadWholeFile(copy)) << "the log's copy in Documents";
        else if (!handedOver)
            EXPECT_FALSE(FileExists(copy)) << "a log handed over";
        for (const auto& entry : before)
            if (entry.first.find("other.txt") != std::string::npos)
                EXPECT_EQ("kept", ReadWholeFile(s.scratch + entry.first));
    }
    for (const auto& entry : FolderTree(s.scratch)) {
        EXPECT_EQ(std::string::npos, entry.first.find(".loaded")) << "a planted library was loaded";
        EXPECT_TRUE(entry.first.find(".report") == std::string::npos || entry.first.find("KVFiles1.tmp.report") !=
                    std::string::npos) << entry.first << ": another program ran";
    }

    if (row.outputs)
        EXPECT_EQ(row.outputs, Outputs(s.work));
    EXPECT_EQ(row.started, FileExists(report())) << "the second stage ran";
    if (!row.started || !FileExists(report()))
        return;
    EXPECT_FALSE(ranBeforeExitSetup) << "the second stage ran before the user had read the log";
    auto fields = ReportFields(ReadWholeFile(report()));
    DeleteFileA(report().c_str());  // its long name may be too long to remove
    EXPECT_EQ(s.work + "KVFiles1.tmp -0", fields["command"]);
    EXPECT_EQ(s.work.substr(0, s.work.size() - 1), fields["directory"]);
    EXPECT_EQ("gone", fields["dialog"]);
    EXPECT_EQ("waiting", fields["parent"]);
    ASSERT_FALSE(fields["end"].empty());
    EXPECT_GE(child.ExitTime(), std::stoull(fields["end"])) << "the unpacker waited for the second stage";
    for (size_t i = 0; i < s.files.size(); ++i) {
        std::string path = s.work + "KVFiles" + std::to_string(i + 1) + ".tmp";
        if (FileExists(path + "~~"))
            path += "~~";
        if (!FileExists(path))
            continue;  // the manifest named it, but it was not stored
        EXPECT_TRUE(ReadWholeFile(path) == std::string(s.files[i].data.begin(), s.files[i].data.end())) << path;
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        FILETIME c, a, w;
        GetFileTime(file, &c, &a, &w);
        CloseHandle(file);
        if (kept_.creation)
            EXPECT_EQ(s.files[i].times.creation, FileTimeValue(c)) << path;
        if (kept_.lastWrite)
            EXPECT_EQ(s.files[i].times.lastWrite, FileTimeValue(w)) << path;
    }
}

TEST_F(UnpackerTest, EachSituationGivesWhatTheUserAndTheSecondStageMustSee)
{
    for (const Row& row : kRows)
        Run(row);
}

HWND WaitForWindow(const char* title, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    HWND window;
    while (!(window = FindWindowA(NULL, title)) && GetTickCount() - start < timeoutMs)
        Sleep(5);
    return window;
}

TEST_F(UnpackerTest, SecondCopyBringsTheFirstOrTheSecondStageForwardAndChangesNothing)
{
    // The first copy's worker waits on an error box that is not answered
    // yet, so its dialog stays on screen.
    Scene s = NewScene("second-copy");
    s.DamageStream(2);
    Write(s);
    ChildProcess first;
    ASSERT_TRUE(StartInstaller(first, s.exe, s.temp, false));
    ASSERT_TRUE(first.Boxes().WaitForBoxes(1));
    HWND dialog = WaitForWindow("Veltrano Setup", 10000);
    ASSERT_NE(nullptr, dialog);
    ShowWindow(dialog, SW_MINIMIZE);
    auto before = FolderTree(s.scratch);

    ChildProcess second;
    ASSERT_TRUE(StartInstaller(second, s.exe, s.temp));
    ASSERT_TRUE(second.WaitForExit(20000));
    EXPECT_EQ(0u, second.ExitCode());
    EXPECT_TRUE(second.Boxes().Boxes().empty());
    EXPECT_EQ(before, FolderTree(s.scratch));
    EXPECT_FALSE(IsIconic(dialog)) << "the first copy's window is restored";
    first.Boxes().AnswerAll();
    ASSERT_TRUE(first.WaitForExit(60000));

    // With the progress dialog gone, the second stage's "Welcome" window.
    HANDLE running = CreateMutexA(NULL, FALSE, "Mutex");
    HWND welcome = CreateWindowA("STATIC", "Welcome", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL, NULL, NULL, NULL);
    ShowWindow(welcome, SW_MINIMIZE);
    ChildProcess third;
    ASSERT_TRUE(StartInstaller(third, s.exe, s.temp));
    HANDLE process = third.Info().hProcess;  // restoring the window waits for this thread's messages
    while (MsgWaitForMultipleObjects(1, &process, FALSE, 20000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        for (MSG m; PeekMessageA(&m, NULL, 0, 0, PM_REMOVE);)
            DispatchMessageA(&m);
    ASSERT_TRUE(third.WaitForExit(0));
    EXPECT_FALSE(IsIconic(welcome)) << "the Welcome window is restored";
    EXPECT_TRUE(third.Boxes().Boxes().empty());
    DestroyWindow(welcome);
    CloseHandle(running);
}

TEST_F(UnpackerTest, HeldProductMutexDelaysStartUpByTwoSeconds)
{
    Scene s = NewScene("mutex");
    Write(s);
    HANDLE mutex = CreateMutexA(NULL, TRUE, "Veltrano");
    ASSERT_NE(nullptr, mutex);
    ChildProcess child;
    DWORD start = GetTickCount();
    ASSERT_TRUE(StartInstaller(child, s.exe, s.temp));
    HWND dialog = WaitForWindow("Veltrano Setup", 20000);
    DWORD waited = GetTickCount() - start;
    ASSERT_TRUE(child.WaitForExit(60000));
    ReleaseMutex(mutex);
    CloseHandle(mutex);

    EXPECT_NE(nullptr, dialog);
    EXPECT_GE(waited, 1900u) << "start-up waits for the mutex";
    EXPECT_EQ("waiting", ReportFields(ReadWholeFile(s.work + "KVFiles1.tmp.report"))["parent"]) << "then runs on";
}

TEST_F(UnpackerTest, DialogShowsCentredWithItsTextAndCannotBeClosed)
{
    Scene s = NewScene("dialog");
    s.DamageStream(2);
    Write(s);
    ChildProcess child;
    ASSERT_TRUE(StartInstaller(child, s.exe, s.temp, false));
    ASSERT_TRUE(child.Boxes().WaitForBoxes(1));  // the worker waits on its box
    HWND dialog = WaitForWindow("Veltrano Setup", 10000);
    ASSERT_NE(nullptr, dialog);

    char text[64] = "";
    HWND line = GetWindow(dialog, GW_CHILD);
    ASSERT_NE(nullptr, line);
    GetWindowTextA(line, text, sizeof text);
    EXPECT_STREQ("Prepearing to install...", text);
    EXPECT_EQ(nullptr, GetWindow(line, GW_HWNDNEXT)) << "one control";
    EXPECT_TRUE(GetWindowLongA(dialog, GWL_STYLE) & WS_SYSMENU) << "a close box";

    // Centred on the work area, within a pixel of rounding.
    RECT window, area;
    GetWindowRect(dialog, &window);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    EXPECT_NEAR((area.left + area.right) / 2, (window.left + window.right) / 2, 1);
    EXPECT_NEAR((area.top + area.bottom) / 2, (window.top + window.bottom) / 2, 1);

    // The close box and Alt+F4 (both the system's close command) change nothing.
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(dialog, WM_SYSKEYDOWN, VK_F4, 1 << 29);
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    Sleep(500);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(child.Info().hProcess, 0));

    // Extraction goes on once the box is answered, to its end.
    child.Boxes().AnswerAll();
    ASSERT_TRUE(child.WaitForExit(60000));
    auto boxes = child.Boxes().Boxes();
    ASSERT_EQ(3u, boxes.size());
    EXPECT_EQ(kStop, boxes[1].text);
}

}  // namespace
