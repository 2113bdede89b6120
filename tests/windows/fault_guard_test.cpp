// The fault guard with real faults: reads and writes of memory that is not
// there or not writable, also deep inside the inflate code, nested guards
// and threads;
// faults it must leave to others; on x86, the handler chain it puts back.
#include "extract/fault_guard.h"
#include "extract/inflate_stream.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

namespace {

// A page the process may not touch at all, and one it may only read.
struct Pages {
    Pages()
    {
        noAccess = (BYTE*)VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
        readOnly = (BYTE*)VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
    }
    ~Pages()
    {
        VirtualFree(noAccess, 0, MEM_RELEASE);
        VirtualFree(readOnly, 0, MEM_RELEASE);
    }
    BYTE* noAccess;
    BYTE* readOnly;
};

// Each guarded piece of work is a function of its own, as the guard asks.
__attribute__((noinline)) int ReadByte(const volatile BYTE* p, int* progress)
{
    *progress = 1;
    int value = *p;
    *progress = 2;
    return value;
}

__attribute__((noinline)) void WriteByte(volatile BYTE* p)
{
    *p = 1;
}

// Guarded read: returns the exception code caught, 0 if none, and the
// progress the work had made.
DWORD GuardedRead(const volatile BYTE* p, int* progress)
{
    FaultGuard guard;
    if (FaultGuardTry(&guard)) {
        ReadByte(p, progress);
        FaultGuardLeave(&guard);
        return 0;
    }
    return guard.exceptionCode;
}

TEST(FaultGuard, CatchesReadsOfMemoryThatIsNotThere)
{
    Pages pages;
    int progress = 0;
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, GuardedRead(pages.noAccess, &progress));
    EXPECT_EQ(1, progress) << "the work stopped at the fault";
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, GuardedRead(NULL, &progress));

    // The same thread can guard again, and work without a fault runs through.
    BYTE fine = 7;
    EXPECT_EQ(0u, GuardedRead(&fine, &progress));
    EXPECT_EQ(2, progress);
}

TEST(FaultGuard, CatchesWritesToReadOnlyMemoryAndKeepsLastError)
{
    Pages pages;
    FaultGuard guard;
    volatile BOOL reachedEnd = FALSE;
    SetLastError(ERROR_SHARING_VIOLATION);
    if (FaultGuardTry(&guard)) {
        WriteByte(pages.readOnly);
        reachedEnd = TRUE;
        FaultGuardLeave(&guard);
    }
    EXPECT_FALSE(reachedEnd);
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, guard.exceptionCode);
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    EXPECT_EQ(0, pages.readOnly[0]);
}

// The unpacker's inflate step reading a source whose fifth page is gone: the
// fault is raised inside libdeflate's code.
__attribute__((noinline)) int InflateAcrossMissingPage(BYTE* source, uLong sourceLength, BYTE* out, uLongf* outLength)
{
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    int code = InflateStream(decompressor, source, (uint32_t)sourceLength, out, (uint32_t)*outLength);
    libdeflate_free_decompressor(decompressor);
    return code;
}

TEST(FaultGuard, CatchesFaultsInsideTheInflateCode)
{
    // 64 KB over 16 letters packs to about half: a stream of many pages,
    // decoded by zlib's own Huffman code.
    static BYTE plain[65536];
    unsigned state = 2463534242u;
    for (size_t i = 0; i < sizeof plain; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        plain[i] = (BYTE)('a' + state % 16);
    }
    static BYTE packed[70000];
    uLongf packedLength = sizeof packed;
    ASSERT_EQ(Z_OK, compress2(packed, &packedLength, plain, sizeof plain, 9));
    ASSERT_GT(packedLength, 20480u);

    BYTE* region = (BYTE*)VirtualAlloc(NULL, 128 * 1024, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(nullptr, region);
    memcpy(region, packed, packedLength);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(region + 16384, 4096, PAGE_NOACCESS, &old));

    static BYTE out[65536];
    uLongf outLength = sizeof out;
    FaultGuard guard;
    volatile int result = 12345;
    if (FaultGuardTry(&guard)) {
        result = InflateAcrossMissingPage(region, packedLength, out, &outLength);
        FaultGuardLeave(&guard);
    }
    EXPECT_EQ(12345, result) << "the inflate step did not return";
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, guard.exceptionCode);
    // The fault is the inflate code's: raised outside this test's own code.
    EXPECT_NE((PVOID)&InflateAcrossMissingPage, guard.faultAddress);

    // With the page back the same call succeeds.
    ASSERT_TRUE(VirtualProtect(region + 16384, 4096, PAGE_READWRITE, &old));
    outLength = sizeof out;
    EXPECT_EQ(Z_OK, InflateAcrossMissingPage(region, packedLength, out, &outLength));
    EXPECT_EQ(0, memcmp(plain, out, sizeof plain));
    VirtualFree(region, 0, MEM_RELEASE);
}

__attribute__((noinline)) DWORD InnerGuardedRead(const volatile BYTE* p, int* progress)
{
    return GuardedRead(p, progress);
}

TEST(FaultGuard, InnermostGuardCatchesAndOuterStaysArmed)
{
    Pages pages;
    FaultGuard outer;
    volatile DWORD innerCode = 0;
    volatile int stage = 0;
    int progress = 0;
    if (FaultGuardTry(&outer)) {
        innerCode = InnerGuardedRead(pages.noAccess, &progress);
        stage = 1;
        WriteByte(pages.readOnly);  // now the outer guard's turn
        stage = 2;
        FaultGuardLeave(&outer);
    }
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, innerCode);
    EXPECT_EQ(1, stage);
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, outer.exceptionCode);
}

// Behind the guard: takes the test's software exception and in-page errors
// raised on purpose, as the handlers that would see them without a guard.
volatile LONG g_behindSeen;
LONG CALLBACK CatchTestException(EXCEPTION_POINTERS* p)
{
    DWORD code = p->ExceptionRecord->ExceptionCode;
    if (code != 0xE0001234 && code != EXCEPTION_IN_PAGE_ERROR)
        return EXCEPTION_CONTINUE_SEARCH;
    ++g_behindSeen;
    return EXCEPTION_CONTINUE_EXECUTION;
}

__attribute__((noinline)) void RaiseInPageError(const BYTE* at)
{
    // A mapped file cannot be cut short under its view here (the system
    // refuses with ERROR_USER_MAPPED_FILE), so the in-page error is raised
    // as the system would raise it, by system code, on the view's address.
    ULONG_PTR info[3] = {0, (ULONG_PTR)at, (ULONG_PTR)0xC000009CL /* STATUS_DEVICE_DATA_ERROR */};
    RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 3, info);
}

TEST(FaultGuard, ClaimsSystemCodeFaultsOnlyOnItsOwnViews)
{
    Pages pages;  // the noAccess page stands in for a view the routine mapped
    g_behindSeen = 0;
    PVOID behind = AddVectoredExceptionHandler(0, CatchTestException);
    FaultGuard guard;
    volatile int stage = 0;
    if (FaultGuardTry(&guard)) {
        FaultGuardWatch(&guard, 1, pages.noAccess, 4096);
        // Not its own: a fault that system code raises and handles itself,
        // an in-page error outside the watched view, a software exception.
        volatile BOOL bad = IsBadReadPtr((const void*)16, 1) && IsBadWritePtr(pages.readOnly, 1);
        stage = bad ? 1 : -1;
        RaiseInPageError(pages.readOnly);
        RaiseException(0xE0001234, 0, 0, NULL);
        stage = 2;
        RaiseInPageError(pages.noAccess + 100);  // its own
        stage = 3;
        FaultGuardLeave(&guard);
    }
    RemoveVectoredExceptionHandler(behind);
    EXPECT_EQ(2, stage);
    EXPECT_EQ(2, g_behindSeen);
    EXPECT_EQ((DWORD)EXCEPTION_IN_PAGE_ERROR, guard.exceptionCode);

    // The system's own recovery still works once the guard has caught.
    EXPECT_TRUE(IsBadReadPtr(pages.noAccess, 1));
}

#if defined(__i386__)
// x86: a frame on the thread's handler chain, as system code puts one
// there around a callback into the guarded routine.
struct ChainFrame {
    ChainFrame* next;
    void* handler;
};

EXCEPTION_DISPOSITION __cdecl PassOn(EXCEPTION_RECORD*, void*, CONTEXT*, void*)
{
    return ExceptionContinueSearch;
}

void* Chain()
{
    void* chain;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(chain));
    return chain;
}

__attribute__((noinline)) void FaultUnderAFrame(volatile BYTE* readOnly)
{
    ChainFrame frame = {(ChainFrame*)Chain(), (void*)PassOn};
    __asm__ volatile("movl %0, %%fs:0" : : "r"(&frame) : "memory");
    *readOnly = 1;
    __asm__ volatile("movl %0, %%fs:0" : : "r"(frame.next) : "memory");
}

TEST(FaultGuard, PutsTheHandlerChainBackAsItWasWhenArmed)
{
    Pages pages;
    void* before = Chain();
    FaultGuard guard;
    if (FaultGuardTry(&guard)) {
        FaultUnderAFrame(pages.readOnly);
        FaultGuardLeave(&guard);
    }
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, guard.exceptionCode);
    EXPECT_EQ(before, Chain()) << "a frame of the abandoned call is still on the chain";
    EXPECT_TRUE(IsBadReadPtr(pages.noAccess, 1));
}
#endif

struct ThreadRun {
    const volatile BYTE* address;
    DWORD code;
    int progress;
};

DWORD WINAPI GuardedReadThread(LPVOID p)
{
    auto* run = (ThreadRun*)p;
    run->code = GuardedRead(run->address, &run->progress);
    return 0;
}

TEST(FaultGuard, EachThreadHasItsOwnGuards)
{
    Pages pages;
    BYTE fine = 1;
    ThreadRun runs[4] = {{pages.noAccess, 99, 0}, {&fine, 99, 0}, {NULL, 99, 0}, {&fine, 99, 0}};
    HANDLE threads[4];
    for (int i = 0; i < 4; ++i)
        threads[i] = CreateThread(NULL, 0, GuardedReadThread, &runs[i], 0, NULL);
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (HANDLE t : threads)
        CloseHandle(t);
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, runs[0].code);
    EXPECT_EQ(0u, runs[1].code);
    EXPECT_EQ(2, runs[1].progress);
    EXPECT_EQ((DWORD)EXCEPTION_ACCESS_VIOLATION, runs[2].code);
    EXPECT_EQ(0u, runs[3].code);
}

}  // namespace
