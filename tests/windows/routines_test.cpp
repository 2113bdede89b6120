// The routines where the installer cannot take them: the report of an error
// the system has no text for and of a line too long for its buffer; the
// times on a new file before anything is written to it; the fault guard's
// contract, with real faults (also deep inside the inflate code); and the
// folder routines with names and links that Wine cannot make as Windows
// does, as those routines would meet them.
#include "extract/fault_guard.h"
#include "extract/inflate_stream.h"
#include "extract/view_file.h"
#include "report/folder_file.h"
#include "report/report_error.h"
#include "tests/support/windows_test.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

namespace {

struct Logged {
    std::string folder = Scratch("routine"), log = folder + kLogName;
    BoxWatcher boxes;
    Logged() { lstrcpynA(g_logPath, log.c_str(), MAX_PATH); }
    ~Logged() { RemoveTree(folder); }
};

TEST(ReportError, LogsEveryLineWholeWithItsTerminatorButShowsOnlyWhatTheSystemCanSay)
{
    Logged l;
    WriteAll(l.log, "earlier run\r\n");
    const DWORD kNoText = 0x20001234;
    ASSERT_EQ("", SystemText(kNoText));
    SetLastError(kNoText);
    ReportError("Error in uncompress routine -3", NULL, TRUE, TRUE, "\r\n");
    const char kMessage[] = "Could not create file in unpacker's GetViewFile";
    std::string detail = "C:\\start" + std::string(2000, 'f') + "\\KVFiles12.tmp~~";
    SetLastError(ERROR_SHARING_VIOLATION);
    ReportError(kMessage, detail.c_str(), TRUE, TRUE, "|");

    std::string first = "earlier run\r\nError in uncompress routine -3. Error ID=" + ErrorId(kNoText) + "\r\n";
    std::string text = ReadAll(l.log), line = text.substr(first.size());
    std::string end = "\\KVFiles12.tmp~~ Error ID=" + ErrorId(ERROR_SHARING_VIOLATION) + "|";
    EXPECT_EQ(first, text.substr(0, first.size()));
    EXPECT_EQ(999u + 1, line.size()) << "the line fills its buffer; the detail's end and the ID are kept";
    EXPECT_EQ(0u, line.find(kMessage + std::string(". ...ffff"))) << line;
    EXPECT_EQ(end, line.substr(line.size() - end.size()));
    auto shown = l.boxes.Boxes();
    ASSERT_EQ(1u, shown.size()) << "no box without the system's text";
    EXPECT_EQ(std::make_tuple("Error", ErrorBox(kMessage, ERROR_SHARING_VIOLATION), (UINT)MB_ICONERROR),
              std::make_tuple(shown[0].caption, shown[0].text, shown[0].icon));
}

struct Call {
    char name[MAX_PATH];
    DWORD* size;
};

DWORD WINAPI CallWithBadSize(LPVOID call)
{
    GetViewFile(((Call*)call)->name, ((Call*)call)->size, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, FALSE, FALSE);
    return 0;  // not reached: the fault ends the thread
}

TEST(GetViewFile, TimesOnTheNewFileBeforeAnyWriteThenAReportedRealFaultEndsTheThread)
{
    Logged l;
    const ULONGLONG creation = 128920896001234567ull, access = 130000000007654321ull, write = 129500000000000001ull;
    g_creationTime = Time(creation), g_lastAccessTime = Time(access), g_lastWriteTime = Time(write);
    Call call = {};
    lstrcpynA(call.name, (l.folder + "KVFiles4.tmp").c_str(), MAX_PATH);
    DWORD size = 4096;
    void* view = GetViewFile(call.name, &size, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, FALSE, TRUE);
    ASSERT_NE(nullptr, view);
    WIN32_FILE_ATTRIBUTE_DATA t;
    GetFileAttributesExA(call.name, GetFileExInfoStandard, &t);
    UnmapViewOfFile(view);
    KeptTimes kept = PlatformKeptTimes();
    EXPECT_TRUE(!kept.creation || creation == Value(t.ftCreationTime));
    EXPECT_TRUE(!kept.lastAccess || access == Value(t.ftLastAccessTime));  // else the mapping moved it
    EXPECT_EQ(write, Value(t.ftLastWriteTime));

    // The size leads to a page that cannot be touched, after the file was
    // opened over an existing one (ERROR_ALREADY_EXISTS the last error).
    call.size = (DWORD*)VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    HANDLE thread = CreateThread(NULL, 0, CallWithBadSize, &call, 0, NULL);
    DWORD exitCode = 0;
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    GetExitCodeThread(thread, &exitCode);
    CloseHandle(thread);
    EXPECT_EQ((DWORD)-1, exitCode);
    const char kFault[] = "Unexpected error in dialog's GetViewFile";
    EXPECT_EQ(kFault + (". " + std::string(call.name)) + " Error ID=" + ErrorId(ERROR_ALREADY_EXISTS) + "\r\n", ReadAll(l.log));
    ASSERT_EQ(1u, l.boxes.Boxes().size());
    EXPECT_EQ(ErrorBox(kFault, ERROR_ALREADY_EXISTS), l.boxes.Boxes()[0].text);
}

// A page the process may not touch, and one it may only read.
struct Pages {
    BYTE* none = (BYTE*)VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    BYTE* readOnly = (BYTE*)VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
    ~Pages() { VirtualFree(none, 0, MEM_RELEASE), VirtualFree(readOnly, 0, MEM_RELEASE); }
};

// Each guarded piece of work is a function of its own, as the guard asks.
__attribute__((noinline)) void Touch(volatile BYTE* p, bool write, volatile int* progress)
{
    *progress = 1;
    write ? (void)(*p = 1) : (void)*p;
    *progress = 2;
}

// The exception code caught, 0 if none.
__attribute__((noinline)) DWORD Guarded(volatile BYTE* p, bool write, volatile int* progress)
{
    FaultGuard guard;
    if (FaultGuardTry(&guard)) {
        Touch(p, write, progress);
        FaultGuardLeave(&guard);
        return 0;
    }
    return guard.exceptionCode;
}

TEST(FaultGuard, CatchesReadsAndWritesWhereTheyFaultInnermostFirst)
{
    Pages pages;
    BYTE fine = 7;
    volatile int progress = 0;
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, Guarded(pages.none, false, &progress));
    EXPECT_EQ(1, progress) << "the work stopped at the fault";
    SetLastError(ERROR_SHARING_VIOLATION);
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, Guarded(pages.readOnly, true, &progress));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError()) << "the last error as it was at the fault";
    EXPECT_EQ(0u, Guarded(&fine, true, &progress));
    EXPECT_EQ(2, progress);

    FaultGuard outer;
    volatile DWORD inner = 0;
    if (FaultGuardTry(&outer)) {
        inner = Guarded(NULL, false, &progress);
        Touch(pages.readOnly, true, &progress);  // now the outer guard's turn
        FaultGuardLeave(&outer);
    }
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, inner);
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, outer.exceptionCode);
    EXPECT_EQ(1, progress);
}

__attribute__((noinline)) int Inflate(BYTE* source, uLong length, BYTE* out, uint32_t outLength)
{
    static libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    return InflateStream(decompressor, source, (uint32_t)length, out, outLength);
}

TEST(FaultGuard, CatchesAFaultInsideTheInflateCode)
{
    // 64 KB over 16 letters: a stream of many pages, whose fifth is taken away.
    static BYTE plain[65536], out[65536];
    unsigned state = 2463534242u;
    for (BYTE& b : plain)
        state ^= state << 13, state ^= state >> 17, state ^= state << 5, b = (BYTE)('a' + state % 16);
    BYTE* region = (BYTE*)VirtualAlloc(NULL, 128 * 1024, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    uLongf length = 128 * 1024;
    ASSERT_EQ(Z_OK, compress2(region, &length, plain, sizeof plain, 9));
    DWORD old;
    ASSERT_TRUE(length > 20480 && VirtualProtect(region + 16384, 4096, PAGE_NOACCESS, &old));
    FaultGuard guard;
    volatile int result = 12345;
    if (FaultGuardTry(&guard)) {
        result = Inflate(region, length, out, sizeof out);
        FaultGuardLeave(&guard);
    }
    EXPECT_EQ(12345, result) << "the inflate step did not return";
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, guard.exceptionCode);
    EXPECT_NE((PVOID)&Inflate, guard.faultAddress) << "raised by the inflate code";
    VirtualFree(region, 0, MEM_RELEASE);
}

#if defined(__i386__)
// x86: a frame on the thread's handler chain, as system code puts one
// there around a callback into the guarded routine.
struct ChainFrame {
    ChainFrame* next;
    void* handler;
};

ChainFrame* Chain()
{
    ChainFrame* chain;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(chain));
    return chain;
}

__attribute__((noinline)) void FaultUnderAFrame(volatile BYTE* readOnly)
{
    auto passOn = [](EXCEPTION_RECORD*, void*, CONTEXT*, void*) { return ExceptionContinueSearch; };
    ChainFrame frame = {Chain(), (void*)+passOn};
    __asm__ volatile("movl %0, %%fs:0" : : "r"(&frame) : "memory");
    *readOnly = 1;
    __asm__ volatile("movl %0, %%fs:0" : : "r"(frame.next) : "memory");
}
#endif

__attribute__((noinline)) void RaiseInPageError(const BYTE* at)
{
    // A view's file cannot be cut short under it here (ERROR_USER_MAPPED_FILE):
    // raised as the system raises it, by system code, on the address.
    ULONG_PTR info[3] = {0, (ULONG_PTR)at, (ULONG_PTR)0xC000009CL};
    RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 3, info);
}

TEST(FaultGuard, LeavesFaultsSystemCodeHandlesClaimsThoseOnItsViewsAndPutsTheHandlerChainBack)
{
    Pages pages;  // the no-access page stands in for a view the routine mapped
    FaultGuard guard;
    volatile int stage = 0;
    if (FaultGuardTry(&guard)) {
        FaultGuardWatch(&guard, 1, pages.none, 4096);
        stage = IsBadReadPtr((const void*)16, 1) && IsBadWritePtr(pages.readOnly, 1) ? 1 : -1;
        RaiseInPageError(pages.none + 100);
        stage = 2;
        FaultGuardLeave(&guard);
    }
    EXPECT_EQ(1, stage);
    EXPECT_EQ((DWORD)EXCEPTION_IN_PAGE_ERROR, guard.exceptionCode);
#if defined(__i386__)
    ChainFrame* before = Chain();
    if (FaultGuardTry(&guard)) {
        FaultUnderAFrame(pages.readOnly);
        FaultGuardLeave(&guard);
    }
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, guard.exceptionCode);
    EXPECT_EQ(before, Chain()) << "a frame of the abandoned call is still on the chain";
#endif
    EXPECT_TRUE(IsBadReadPtr(pages.none, 1)) << "the system's own recovery still works";
}

HANDLE OpenFolder(const std::string& path)
{
    return CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

TEST(FolderFile, APathLeadsToAFolderOnlyAsNamedAndOnlyAPlainFolderIsOpenedAndMovedByItsHandle)
{
    // "t." (made through \\?\, as anyone can) beside its twin "t", which a
    // plain path "t.\" names; "link" leads to "t.".
    std::string s = Scratch("folders");
    ASSERT_TRUE(CreateDirectoryW(Wide("\\\\?\\" + s + "t.").c_str(), NULL));
    CreateDirectoryA((s + "t").c_str(), NULL);
    UnixLink(s, "t.", "link", "");
    HANDLE dotted = OpenFolder("\\\\?\\" + s + "t."), twin = OpenFolder(s + "t");
    ASSERT_NE(INVALID_HANDLE_VALUE, dotted);
    for (const char* path : {"t.\\", "t\\..\\t.\\", "link\\t \\"}) {
        EXPECT_FALSE(PathLeadsTo((s + path).c_str(), dotted)) << path;
        EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError()) << path;
    }
    EXPECT_FALSE(PathLeadsTo((s + "t\\").c_str(), dotted));
    EXPECT_EQ((DWORD)ERROR_FILE_INVALID, GetLastError());
    EXPECT_TRUE(PathLeadsTo((s + "t\\").c_str(), twin));
    EXPECT_TRUE(PathLeadsTo((s + "link\\").c_str(), dotted)) << "a link is followed, as by a program started there";

    // Only a plain folder is opened in its parent, held: nobody renames
    // it; it is moved by its handle, within the parent, replacing nothing.
    WriteAll(s + "file", "a file");
    WriteAll(s + "t\\kept", "kept");
    HANDLE parent = OpenFolder(s);
    for (const char* name : {"link", "file", "missing"})
        EXPECT_EQ(INVALID_HANDLE_VALUE, OpenFolderIn(parent, name)) << name;
    HANDLE folder = OpenFolderIn(parent, "t");
    ASSERT_NE(INVALID_HANDLE_VALUE, folder);
    EXPECT_FALSE(MoveFileA((s + "t").c_str(), (s + "t2").c_str()));
    EXPECT_TRUE(RenameInFolder(folder, parent, "aside"));
    EXPECT_EQ("kept", ReadAll(s + "aside\\kept"));
    CreateDirectoryA((s + "t").c_str(), NULL);
    HANDLE again = OpenFolderIn(parent, "t");
    EXPECT_FALSE(RenameInFolder(again, parent, "aside"));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    for (HANDLE h : {dotted, twin, parent, folder, again})
        CloseHandle(h);
    UnixUnlink(s, "link");
    RemoveTree(s);
}

}  // namespace
