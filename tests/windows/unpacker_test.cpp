// The real unpacker, end to end: installers built from unpacker.exe with a
// test second stage, started as the user would start them, their message
// boxes read and answered, and what the user and the second stage see
// checked.
#include "tests/support/installer_under_test.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <map>
#include <set>

namespace {

using mksetup::Bytes;

const char kStopText[] = "Install process was stopped because of\r\nsome errors in unpacker procedure";

std::set<std::string> Split(const std::string& list)
{
    std::set<std::string> items;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find('|', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            items.insert(list.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

class UnpackerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch_ = MakeScratchFolder("unpacker");
        UseTemp(scratch_ + "temp\\");
        CreateDirectoryA(temp_.c_str(), NULL);
        char documents[MAX_PATH] = "";
        SHGetFolderPathA(NULL, CSIDL_PERSONAL, NULL, 0, documents);
        documents_ = documents;
        DeleteFileA((documents_ + "\\setup_error.log").c_str());
    }

    void TearDown() override
    {
        if (!HasFailure())
            RemoveTree(scratch_);
    }

    void UseTemp(const std::string& temp)
    {
        temp_ = temp;
        work_ = temp_ + "KVFiles_Setup_Temp\\";
    }

    // The unpacker with the test second stage as record 1 and the given
    // data files after it; corrupt: the index of a record whose stream gets
    // a wrong checksum.
    std::string MakeInstaller(const std::vector<Bytes>& data, int corrupt = -1)
    {
        files_ = TestPayloadFiles(data);
        Bytes installer = BuildTestInstaller(files_);
        EXPECT_FALSE(installer.empty());
        if (corrupt >= 0) {
            mksetup::InstallerWalk walk = mksetup::WalkInstaller(installer.data(), installer.size(), false);
            const mksetup::WalkedRecord& r = walk.records.at(corrupt);
            installer[r.offset + kRecordHeaderSize + r.header.CompressedSize - 1] ^= 0x01;  // its Adler-32
        }
        std::string path = scratch_ + "setup.exe";
        WriteWholeFile(path, std::string(installer.begin(), installer.end()));
        return path;
    }

    void Start(ChildProcess& child, const std::string& exe, bool answerBoxes = true)
    {
        ASSERT_TRUE(StartInstaller(child, exe, temp_, answerBoxes));
    }

    std::string Report(const std::string& program = "KVFiles1.tmp")
    {
        std::string path = work_ + program + ".report";
        return FileExists(path) ? ReadWholeFile(path) : "";
    }

    static HWND WaitForWindow(const char* title, DWORD timeoutMs)
    {
        DWORD start = GetTickCount();
        HWND window;
        while (!(window = FindWindowA(NULL, title)) && GetTickCount() - start < timeoutMs)
            Sleep(5);
        return window;
    }

    std::string DocumentsName() const { return documents_.substr(documents_.find_last_of('\\') + 1); }

    std::string scratch_, temp_, work_, documents_;
    std::vector<mksetup::InputFile> files_;
};

TEST_F(UnpackerTest, NormalRunExtractsEverythingAndHandsOverToTheSecondStage)
{
    std::string exe = MakeInstaller({ToBytes(std::string(100000, 'a')), ToBytes("tiny")});
    ChildProcess child;
    Start(child, exe);
    ASSERT_TRUE(child.WaitForExit(60000));

    EXPECT_EQ(0u, child.ExitCode());
    EXPECT_TRUE(child.Boxes().Boxes().empty());
    EXPECT_EQ("", ReadWholeFile(work_ + "setup_error.log")) << "an empty log is left";

    auto report = ReportFields(Report());
    EXPECT_EQ(work_ + "KVFiles1.tmp -0", report["command"]);
    EXPECT_EQ(work_.substr(0, work_.size() - 1), report["directory"]);
    EXPECT_EQ("gone", report["dialog"]);
    EXPECT_EQ("waiting", report["parent"]);
    EXPECT_EQ((std::set<std::string>{"KVFiles0.tmp", "KVFiles1.tmp", "KVFiles2.tmp", "KVFiles3.tmp",
                                     "setup_error.log"}),
              Split(report["files"]));
    ASSERT_FALSE(report["end"].empty());
    EXPECT_GE(child.ExitTime(), std::stoull(report["end"])) << "the unpacker waited for the second stage";

    SurvivingTimes kept = MeasureSurvivingTimes(scratch_);
    for (size_t i = 0; i < files_.size(); ++i) {
        std::string path = work_ + "KVFiles" + std::to_string(i + 1) + ".tmp";
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        FILETIME c, a, w;
        GetFileTime(file, &c, &a, &w);
        CloseHandle(file);
        if (kept.creation)
            EXPECT_EQ(files_[i].times.creation, FileTimeValue(c)) << path;
        if (kept.lastWrite)
            EXPECT_EQ(files_[i].times.lastWrite, FileTimeValue(w)) << path;
        EXPECT_TRUE(ReadWholeFile(path) == std::string(files_[i].data.begin(), files_[i].data.end())) << path;
    }
}

TEST_F(UnpackerTest, CorruptRecordStopsTheInstallAndHandsTheLogToTheUser)
{
    std::string exe = MakeInstaller({ToBytes(std::string(5000, 'b')), ToBytes(std::string(7000, 'c'))}, 2);
    ChildProcess child;
    Start(child, exe);
    ASSERT_TRUE(child.WaitForExit(60000));
    EXPECT_EQ(0u, child.ExitCode());

    auto boxes = child.Boxes().Boxes();
    ASSERT_EQ(3u, boxes.size());
    EXPECT_EQ("Error", boxes[0].caption);
    EXPECT_EQ((UINT)MB_ICONERROR, boxes[0].icon);
    EXPECT_EQ(0u, boxes[0].text.find("Error in uncompress routine -3\r\n")) << boxes[0].text;
    EXPECT_EQ("Error", boxes[1].caption);
    EXPECT_EQ(kStopText, boxes[1].text);
    EXPECT_EQ((UINT)MB_ICONINFORMATION, boxes[1].icon);
    EXPECT_EQ("Exit Setup", boxes[2].caption);
    EXPECT_EQ("Setup Error log-file was saved in\r\n" + DocumentsName() +
                  "\\setup_error.log\r\nplease email it to support of program\r\nVeltrano",
              boxes[2].text);
    EXPECT_EQ((UINT)MB_ICONINFORMATION, boxes[2].icon);

    std::string log = ReadWholeFile(work_ + "setup_error.log");
    EXPECT_EQ(0u, log.find("Error in uncompress routine -3. Error ID=")) << log;
    EXPECT_EQ(log, ReadWholeFile(documents_ + "\\setup_error.log"));
    EXPECT_EQ("", Report()) << "no second stage";
    EXPECT_FALSE(FileExists(work_ + "KVFiles3.tmp"));
}

TEST_F(UnpackerTest, SecondCopyBringsTheFirstToTheFrontAndChangesNothing)
{
    // The first copy's worker waits on an error box that is not answered
    // yet, so its dialog stays on screen.
    std::string exe = MakeInstaller({ToBytes("x")}, 2);
    ChildProcess first;
    Start(first, exe, false);
    ASSERT_TRUE(first.Boxes().WaitForBoxes(1));
    HWND dialog = WaitForWindow("Veltrano Setup", 10000);
    ASSERT_NE(nullptr, dialog);
    ShowWindow(dialog, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(dialog));
    auto before = FolderTree(scratch_);

    ChildProcess second;
    Start(second, exe);
    ASSERT_TRUE(second.WaitForExit(20000));
    EXPECT_EQ(0u, second.ExitCode());
    EXPECT_TRUE(second.Boxes().Boxes().empty());
    EXPECT_EQ(before, FolderTree(scratch_));
    EXPECT_FALSE(IsIconic(dialog)) << "the first copy's window is restored";

    first.Boxes().AnswerAll();
    ASSERT_TRUE(first.WaitForExit(60000));
    EXPECT_EQ(3u, first.Boxes().Boxes().size());
}

TEST_F(UnpackerTest, HeldProductMutexDelaysStartUpByTwoSeconds)
{
    std::string exe = MakeInstaller({ToBytes("held")});
    HANDLE mutex = CreateMutexA(NULL, TRUE, "Veltrano");
    ASSERT_NE(nullptr, mutex);
    ChildProcess child;
    DWORD start = GetTickCount();
    Start(child, exe);
    HWND dialog = WaitForWindow("Veltrano Setup", 20000);
    DWORD waited = GetTickCount() - start;
    ASSERT_TRUE(child.WaitForExit(60000));
    ReleaseMutex(mutex);
    CloseHandle(mutex);

    EXPECT_NE(nullptr, dialog);
    EXPECT_GE(waited, 1900u) << "start-up waits for the mutex";
    EXPECT_EQ(0u, child.ExitCode());
    EXPECT_EQ("waiting", ReportFields(Report())["parent"]) << "and then the run goes on";
}

TEST_F(UnpackerTest, OldLogInAnExistingWorkingFolderIsDeletedAtStart)
{
    CreateDirectoryA(work_.c_str(), NULL);
    WriteWholeFile(work_ + "setup_error.log", "Error in uncompress routine -3. Error ID=0\r\n");
    WriteWholeFile(work_ + "other.txt", "kept");
    std::string exe = MakeInstaller({ToBytes("again")});
    ChildProcess child;
    Start(child, exe);
    ASSERT_TRUE(child.WaitForExit(60000));

    EXPECT_TRUE(child.Boxes().Boxes().empty()) << "an old log is not handed over";
    EXPECT_EQ("", ReadWholeFile(work_ + "setup_error.log"));
    EXPECT_EQ("kept", ReadWholeFile(work_ + "other.txt"));
    EXPECT_FALSE(FileExists(documents_ + "\\setup_error.log"));
}

TEST_F(UnpackerTest, MissingTemporaryFolderIsReportedAndNothingIsCreated)
{
    std::string exe = MakeInstaller({ToBytes("nowhere")});
    UseTemp(scratch_ + "missing\\");
    auto before = FolderTree(scratch_);
    ChildProcess child;
    Start(child, exe);
    ASSERT_TRUE(child.WaitForExit(60000));

    EXPECT_EQ(0u, child.ExitCode());
    auto boxes = child.Boxes().Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Error", boxes[0].caption);
    EXPECT_EQ((UINT)MB_ICONERROR, boxes[0].icon);
    EXPECT_EQ(ExpectedErrorBoxText("Could not to create temp dir in unpacker's WinMain", ERROR_PATH_NOT_FOUND),
              boxes[0].text);
    EXPECT_EQ(before, FolderTree(scratch_));
}

TEST_F(UnpackerTest, DialogShowsCentredWithItsTextAndCannotBeClosed)
{
    std::string exe = MakeInstaller({ToBytes("y")}, 2);
    ChildProcess child;
    Start(child, exe, false);
    ASSERT_TRUE(child.Boxes().WaitForBoxes(1));  // the worker waits on its box
    HWND dialog = WaitForWindow("Veltrano Setup", 10000);
    ASSERT_NE(nullptr, dialog);

    char text[64] = "";
    GetWindowTextA(dialog, text, sizeof text);
    EXPECT_STREQ("Veltrano Setup", text);
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
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(child.Info().hProcess, 0));

    // Extraction goes on once the box is answered, to its end.
    child.Boxes().AnswerAll();
    ASSERT_TRUE(child.WaitForExit(60000));
    auto boxes = child.Boxes().Boxes();
    ASSERT_EQ(3u, boxes.size());
    EXPECT_EQ(kStopText, boxes[1].text);
}

TEST_F(UnpackerTest, WorkingFolderWithBlanksStartsTheRightProgramWithAnUnquotedCommandLine)
{
    // "...\with blanks\temp\": unquoted, the command line's first word would
    // be "...\with", and the system would run with.exe if it existed.
    UseTemp(scratch_ + "with blanks\\temp\\");
    CreateDirectoryA((scratch_ + "with blanks").c_str(), NULL);
    CreateDirectoryA(temp_.c_str(), NULL);
    std::string decoy = scratch_ + "with.exe";
    CopyFileA((ThisProgramsFolder() + "second_stage_probe.exe").c_str(), decoy.c_str(), FALSE);

    std::string exe = MakeInstaller({ToBytes("blank")});
    ChildProcess child;
    Start(child, exe);
    ASSERT_TRUE(child.WaitForExit(60000));

    EXPECT_TRUE(child.Boxes().Boxes().empty());
    auto report = ReportFields(Report());
    EXPECT_EQ(work_ + "KVFiles1.tmp -0", report["command"]);
    EXPECT_EQ("waiting", report["parent"]);
    EXPECT_EQ("", Report("with.exe")) << "the decoy did not run";
    EXPECT_FALSE(FileExists(scratch_ + "with.exe.report"));
}

// Hostile surroundings: what lies beside the installer or in its working
// folder must not choose what runs or where the installer writes.

TEST_F(UnpackerTest, HeldSecondStageFailsItsRecordAndNothingIsStarted)
{
    // An earlier second stage, still open without write sharing.
    CreateDirectoryA(work_.c_str(), NULL);
    std::string held = work_ + "KVFiles1.tmp";
    CopyFileA((ThisProgramsFolder() + "second_stage_probe.exe").c_str(), held.c_str(), FALSE);
    HANDLE holder = CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    std::string exe = MakeInstaller({ToBytes("new")});
    ChildProcess child;
    Start(child, exe);
    ASSERT_TRUE(child.WaitForExit(60000));
    CloseHandle(holder);

    const std::string message = "Could not create file in unpacker's GetViewFile";
    auto boxes = child.Boxes().Boxes();
    ASSERT_EQ(3u, boxes.size());
    EXPECT_EQ(ExpectedErrorBoxText(message, ERROR_SHARING_VIOLATION), boxes[0].text);
    EXPECT_EQ(kStopText, boxes[1].text);
    EXPECT_EQ("Exit Setup", boxes[2].caption);
    EXPECT_EQ(message + ". " + held + " Error ID=" + ExpectedErrorId(ERROR_SHARING_VIOLATION) + "\r\n",
              ReadWholeFile(work_ + "setup_error.log"));
    EXPECT_FALSE(FileExists(held + "~~"));
    EXPECT_EQ("", Report()) << "the old second stage was started";
}

TEST_F(UnpackerTest, PlainFileInPlaceOfTheWorkingFolderIsRefused)
{
    WriteWholeFile(temp_ + "KVFiles_Setup_Temp", "not a folder");
    std::string exe = MakeInstaller({ToBytes("x")});
    auto before = FolderTree(scratch_);
    ChildProcess child;
    Start(child, exe);
    ASSERT_TRUE(child.WaitForExit(60000));

    auto boxes = child.Boxes().Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find("Could not to create temp dir in unpacker's WinMain\r\n")) << boxes[0].text;
    EXPECT_EQ(before, FolderTree(scratch_));
}

TEST_F(UnpackerTest, LibraryPlantedBesideTheInstallerIsNotLoaded)
{
    // uxtheme.dll: loaded by name while the unpacker runs (seen with
    // WINEDEBUG=+loaddll), and no known DLL on Windows, so the search would
    // reach the installer's folder. Wine is told to prefer a native copy
    // wherever the search finds one. (It also loads imm32.dll and
    // version.dll from there, while the process starts, through its own
    // user32 and shell32; on Windows both are known DLLs or their
    // dependencies, found in the system folder only.)
    std::string exe = MakeInstaller({ToBytes("planted")});
    std::string planted = scratch_ + "uxtheme.dll";
    CopyFileA((ThisProgramsFolder() + "planted.dll").c_str(), planted.c_str(), FALSE);
    HKEY overrides;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\setup.exe\\DllOverrides",
                                             0, NULL, 0, KEY_ALL_ACCESS, NULL, &overrides, NULL));
    RegSetValueExA(overrides, "uxtheme", 0, REG_SZ, (const BYTE*)"native,builtin", 15);
    ChildProcess child;
    Start(child, exe);
    bool ended = child.WaitForExit(60000);
    RegDeleteTreeA(overrides, NULL);
    RegCloseKey(overrides);
    ASSERT_TRUE(ended);

    EXPECT_TRUE(child.Boxes().Boxes().empty());
    EXPECT_EQ("waiting", ReportFields(Report())["parent"]);
    EXPECT_FALSE(FileExists(planted + ".loaded")) << "the planted uxtheme.dll was loaded";
}

}  // namespace
