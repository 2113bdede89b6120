#include "extract/fault_guard.h"

// The thread's innermost armed guard lives in this TLS slot.
static volatile LONG g_guardSlot = (LONG)TLS_OUT_OF_INDEXES;

static DWORD GuardSlot()
{
    LONG slot = g_guardSlot;
    if (slot != (LONG)TLS_OUT_OF_INDEXES)
        return (DWORD)slot;
    LONG fresh = (LONG)TlsAlloc();
    LONG previous = InterlockedCompareExchange(&g_guardSlot, fresh, (LONG)TLS_OUT_OF_INDEXES);
    if (previous != (LONG)TLS_OUT_OF_INDEXES) {
        TlsFree((DWORD)fresh);  // another thread was first
        return (DWORD)previous;
    }
    return (DWORD)fresh;
}

// Faults are the exceptions of error severity that the system raises;
// software codes (the customer bit, C++ exceptions) and warnings such as
// debug output pass through.
static BOOL IsFault(DWORD code)
{
    if (code == EXCEPTION_DATATYPE_MISALIGNMENT)
        return TRUE;
    return (code & 0xC0000000u) == 0xC0000000u && (code & 0x20000000u) == 0;
}

#if !defined(_WIN64)
// x86: the head of the thread's chain of exception-handler frames, fs:[0].
static PVOID HandlerChain()
{
    PVOID chain;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(chain));
    return chain;
}

static void SetHandlerChain(PVOID chain)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(chain) : "memory");
}
#endif

// The running program's image: its code, and the inflate code linked in.
static BOOL InOwnImage(ULONG_PTR address)
{
    const BYTE* base = (const BYTE*)GetModuleHandleA(NULL);
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    return address - (ULONG_PTR)base < nt->OptionalHeader.SizeOfImage;
}

static BOOL InWatchedView(const FaultGuard* guard, ULONG_PTR address)
{
    for (; guard; guard = guard->outer) {
        for (int i = 0; i < kFaultGuardViews; ++i) {
            if (guard->views[i] && address - (ULONG_PTR)guard->views[i] < guard->viewSizes[i])
                return TRUE;
        }
    }
    return FALSE;
}

// The routine's own faults: see fault_guard.h.
static BOOL IsOwnFault(const FaultGuard* guard, const EXCEPTION_RECORD* record)
{
    if (InOwnImage((ULONG_PTR)record->ExceptionAddress))
        return TRUE;
    DWORD code = record->ExceptionCode;
    return (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR) && record->NumberParameters >= 2 &&
           InWatchedView(guard, record->ExceptionInformation[1]);
}

// Runs on the faulting thread's own stack after the handler has let the
// fault "continue" here; from now on it is ordinary code, so it may call the
// system before it jumps back to the guard's resume point.
extern "C" __attribute__((noinline, noreturn, used)) void FaultGuardResume()
{
    DWORD slot = GuardSlot();
    FaultGuard* guard = (FaultGuard*)TlsGetValue(slot);
    FaultGuardLeave(guard);
#if !defined(_WIN64)
    // The frames that the abandoned calls (system code among them) put on
    // the chain lie on the stack the jump gives up.
    SetHandlerChain(guard->handlerChain);
#endif
    SetLastError(guard->lastError);
    __builtin_longjmp(guard->resume, 1);
}

static LONG CALLBACK FaultGuardHandler(EXCEPTION_POINTERS* info)
{
    DWORD lastError = GetLastError();  // TlsGetValue clears it
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if (!IsFault(code))
        return EXCEPTION_CONTINUE_SEARCH;
    FaultGuard* guard = (FaultGuard*)TlsGetValue(GuardSlot());
    SetLastError(lastError);
    if (!guard || guard->exceptionCode || !IsOwnFault(guard, info->ExceptionRecord)) {
        SetLastError(lastError);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    guard->exceptionCode = code;
    guard->faultAddress = info->ExceptionRecord->ExceptionAddress;
    guard->lastError = lastError;

    // Continue in FaultGuardResume as if it had been called a little below
    // the faulting frame, with the stack aligned as at a call.
    CONTEXT* context = info->ContextRecord;
#if defined(_WIN64)
    context->Rsp = ((context->Rsp - 512) & ~(DWORD64)15) - sizeof(DWORD64);
    context->Rip = (DWORD64)(ULONG_PTR)&FaultGuardResume;
#else
    context->Esp = ((context->Esp - 512) & ~(DWORD)15) - sizeof(DWORD);
    context->Eip = (DWORD)(ULONG_PTR)&FaultGuardResume;
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

void FaultGuardArm(FaultGuard* guard)
{
    DWORD lastError = GetLastError();
    DWORD slot = GuardSlot();
    guard->outer = (FaultGuard*)TlsGetValue(slot);
    guard->lastError = 0;
    guard->exceptionCode = 0;
    guard->faultAddress = NULL;
    for (int i = 0; i < kFaultGuardViews; ++i)
        FaultGuardWatch(guard, i, NULL, 0);
#if !defined(_WIN64)
    guard->handlerChain = HandlerChain();
#endif
    TlsSetValue(slot, guard);
    // First in line, so that no other handler sees our faults first; it
    // passes on every fault that is not the routine's own.
    guard->handler = AddVectoredExceptionHandler(1, FaultGuardHandler);
    SetLastError(lastError);
}

void FaultGuardWatch(FaultGuard* guard, int slot, const void* view, SIZE_T size)
{
    guard->views[slot] = (const BYTE*)view;
    guard->viewSizes[slot] = size;
}

void FaultGuardLeave(FaultGuard* guard)
{
    DWORD lastError = GetLastError();
    if (guard->handler)
        RemoveVectoredExceptionHandler(guard->handler);
    guard->handler = NULL;
    TlsSetValue(GuardSlot(), guard->outer);
    SetLastError(lastError);
}
