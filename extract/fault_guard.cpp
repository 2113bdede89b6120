#include "fault_guard.h"

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

// Runs on the faulting thread's own stack after the handler has let the
// fault "continue" here; from now on it is ordinary code, so it may call the
// system before it jumps back to the guard's resume point.
extern "C" __attribute__((noinline, noreturn, used)) void FaultGuardResume()
{
    DWORD slot = GuardSlot();
    FaultGuard* guard = (FaultGuard*)TlsGetValue(slot);
    FaultGuardLeave(guard);
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
    if (!guard || guard->exceptionCode)
        return EXCEPTION_CONTINUE_SEARCH;
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
    TlsSetValue(slot, guard);
    // First in line, so that no other handler sees our faults first.
    guard->handler = AddVectoredExceptionHandler(1, FaultGuardHandler);
    SetLastError(lastError);
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
