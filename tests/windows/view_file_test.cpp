// GetViewFile on real files, where the installer cannot take it: a name
// with no room for "~~", a size added to an existing file, the times set
// before the first write, captured, or refused, and a real fault that ends
// the calling thread. The rest it does for the installer's table.
#include "extract/view_file.h"
#include "tests/support/message_box_watcher.h"
#include "tests/support/test_files.h"
#include "unpacker/process_state.h"

#include <gtest/gtest.h>

namespace {

class GetViewFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = MakeScratchFolder("view");
        log_ = UseLogIn(folder_);
    }

    // A MAX_PATH buffer holding folder_ + file, as the callers keep names.
    struct Name {
        char buffer[MAX_PATH];
    };
    Name NameOf(const std::string& file)
    {
        Name name;
        lstrcpynA(name.buffer, (folder_ + file).c_str(), MAX_PATH);
        return name;
    }

    std::string Log() { return FileExists(log_) ? ReadWholeFile(log_) : std::string(); }

    // The single entry the log should hold after one failure.
    std::string Entry(const std::string& message, const std::string& name, DWORD code)
    {
        return message + ". " + name + " Error ID=" + ExpectedErrorId(code) + "\r\n";
    }

    std::string folder_;
    std::string log_;
    MessageBoxWatcher boxes_;
};

TEST_F(GetViewFileTest, NameWithNoRoomForSuffixFailsAsAFailedOpen)
{
    // Names in a folder that does not exist: every open fails.
    std::string base = folder_ + "missing\\";
    std::string fits = base + std::string(257 - base.size(), 'n');      // 257: room for "~~"
    std::string noRoom = base + std::string(258 - base.size(), 'n');    // 258: none
    char buffer[MAX_PATH];
    DWORD size = 1;

    lstrcpynA(buffer, fits.c_str(), MAX_PATH);
    EXPECT_EQ(nullptr, GetViewFile(buffer, &size, GENERIC_READ, OPEN_EXISTING, FALSE, FALSE));
    EXPECT_EQ(fits + "~~", buffer);

    lstrcpynA(buffer, noRoom.c_str(), MAX_PATH);
    EXPECT_EQ(nullptr, GetViewFile(buffer, &size, GENERIC_READ, OPEN_EXISTING, FALSE, FALSE));
    EXPECT_EQ(noRoom, buffer) << "the buffer is left as it was";

    const std::string message = "Could not create file in unpacker's GetViewFile. ";
    std::string log = Log();
    EXPECT_EQ(0u, log.find(message + fits + "~~ Error ID=")) << log;
    EXPECT_NE(std::string::npos, log.find("\r\n" + message + noRoom + " Error ID=")) << log;
    EXPECT_EQ(2u, boxes_.Boxes().size());
}

TEST_F(GetViewFileTest, SizeInIsAddedToAnExistingFilesSize)
{
    WriteWholeFile(folder_ + "grow.bin", "0123456789");
    Name name = NameOf("grow.bin");
    DWORD size = 90;
    BYTE* view = (BYTE*)GetViewFile(name.buffer, &size, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FALSE, FALSE);
    ASSERT_NE(nullptr, view);
    EXPECT_EQ(100u, size);
    EXPECT_EQ("0123456789", std::string((char*)view, 10));
    UnmapViewOfFile(view);
    EXPECT_EQ(100u, ReadWholeFile(folder_ + "grow.bin").size());
}

void ReadTimes(const std::string& path, FILETIME times[3])
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ASSERT_TRUE(GetFileTime(file, &times[0], &times[1], &times[2]));
    CloseHandle(file);
}

TEST_F(GetViewFileTest, AppliedTimesAreOnTheFileBeforeAnythingIsWritten)
{
    // 2009-07-14 and two later moments, with odd 100 ns digits.
    const ULONGLONG creation = 128920896001234567ull, access = 130000000007654321ull,
                    write = 129500000000000001ull;
    g_creationTime = MakeFileTime(creation);
    g_lastAccessTime = MakeFileTime(access);
    g_lastWriteTime = MakeFileTime(write);

    Name name = NameOf("KVFiles4.tmp");
    DWORD size = 4096;
    BYTE* view = (BYTE*)GetViewFile(name.buffer, &size, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, FALSE, TRUE);
    ASSERT_NE(nullptr, view);
    FILETIME times[3];
    ReadTimes(folder_ + "KVFiles4.tmp", times);
    // Read before anything is written through the view; only mapping the
    // file may have moved the last-access time, as the platform does.
    SurvivingTimes kept = MeasureSurvivingTimes(folder_);
    if (kept.creation)
        EXPECT_EQ(creation, FileTimeValue(times[0]));
    if (kept.lastAccess)
        EXPECT_EQ(access, FileTimeValue(times[1]));
    else
        EXPECT_GT(FileTimeValue(times[1]), write) << "the platform's own time of the mapping";
    EXPECT_EQ(write, FileTimeValue(times[2]));
    UnmapViewOfFile(view);
    EXPECT_EQ("", Log());
}

TEST_F(GetViewFileTest, CapturedTimesAreTheFilesOwnAndCaptureRunsBeforeApply)
{
    const ULONGLONG creation = 125911584000000000ull, access = 126000000000000000ull,
                    write = 125950000000000000ull;
    WriteWholeFile(folder_ + "dated.bin", "dated");
    HANDLE file = CreateFileA((folder_ + "dated.bin").c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    FILETIME c = MakeFileTime(creation), a = MakeFileTime(access), w = MakeFileTime(write);
    ASSERT_TRUE(SetFileTime(file, &c, &a, &w));
    CloseHandle(file);
    FILETIME before[3];
    ReadTimes(folder_ + "dated.bin", before);

    g_creationTime = g_lastAccessTime = g_lastWriteTime = MakeFileTime(1);
    Name name = NameOf("dated.bin");
    DWORD size = 0;
    void* view = GetViewFile(name.buffer, &size, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, TRUE, TRUE);
    ASSERT_NE(nullptr, view);
    UnmapViewOfFile(view);
    EXPECT_EQ(FileTimeValue(before[0]), FileTimeValue(g_creationTime));
    EXPECT_EQ(access, FileTimeValue(g_lastAccessTime));
    EXPECT_EQ(write, FileTimeValue(g_lastWriteTime));

    FILETIME after[3];
    ReadTimes(folder_ + "dated.bin", after);
    if (MeasureSurvivingTimes(folder_).lastAccess)
        EXPECT_EQ(FileTimeValue(before[1]), FileTimeValue(after[1]));
    EXPECT_EQ(FileTimeValue(before[0]), FileTimeValue(after[0]));
    EXPECT_EQ(FileTimeValue(before[2]), FileTimeValue(after[2]));
    EXPECT_EQ("", Log());
}

TEST_F(GetViewFileTest, TimesThatCannotBeSetAreReportedAndTheViewStillReturned)
{
    // Negative times are refused by the file system.
    g_creationTime = g_lastAccessTime = g_lastWriteTime = MakeFileTime(0x8000000000000000ull);
    Name name = NameOf("KVFiles6.tmp");
    DWORD size = 16;
    SetLastError(0);
    void* view = GetViewFile(name.buffer, &size, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, FALSE, TRUE);
    EXPECT_NE(nullptr, view);
    UnmapViewOfFile(view);
    EXPECT_EQ(Entry("Could not to call SetFileTime in GetViewFile", folder_ + "KVFiles6.tmp", ERROR_INVALID_PARAMETER),
              Log());
    auto shown = boxes_.Boxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(ExpectedErrorBoxText("Could not to call SetFileTime in GetViewFile", ERROR_INVALID_PARAMETER),
              shown[0].text);
}

struct FaultingCall {
    char name[MAX_PATH];
    DWORD* size;
    volatile LONG returned;
};

DWORD WINAPI CallWithBadSize(LPVOID p)
{
    auto* call = (FaultingCall*)p;
    GetViewFile(call->name, call->size, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, FALSE, FALSE);
    call->returned = 1;  // never reached: the fault ends the thread
    return 0;
}

TEST_F(GetViewFileTest, RealFaultIsReportedAndEndsTheCallingThreadWithMinusOne)
{
    // The size pointer leads to a page that cannot be touched: a real
    // access violation inside the routine, after the file was opened over
    // an existing one (which leaves ERROR_ALREADY_EXISTS as last error).
    WriteWholeFile(folder_ + "KVFiles7.tmp", "old");
    DWORD* noAccess = (DWORD*)VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    FaultingCall call = {};
    lstrcpynA(call.name, (folder_ + "KVFiles7.tmp").c_str(), MAX_PATH);
    call.size = noAccess;
    HANDLE thread = CreateThread(NULL, 0, CallWithBadSize, &call, 0, NULL);
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    DWORD exitCode = 0;
    GetExitCodeThread(thread, &exitCode);
    CloseHandle(thread);
    VirtualFree(noAccess, 0, MEM_RELEASE);

    EXPECT_EQ((DWORD)-1, exitCode);
    EXPECT_EQ(0, call.returned);
    const std::string message = "Unexpected error in dialog's GetViewFile";
    EXPECT_EQ(Entry(message, folder_ + "KVFiles7.tmp", ERROR_ALREADY_EXISTS), Log());
    auto shown = boxes_.Boxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(ExpectedErrorBoxText(message, ERROR_ALREADY_EXISTS), shown[0].text);
    EXPECT_EQ((UINT)MB_ICONERROR, shown[0].icon);
}

}  // namespace
