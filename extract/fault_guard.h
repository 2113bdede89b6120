// A guard that catches the faults of a routine running on the calling
// thread, for a compiler without __try/__except.
//
// While a guard is armed, a vectored exception handler sends a fault on this
// thread back to the point where the guard was entered, as if FaultGuardTry
// had returned false there; the guard is then already disarmed. It claims
// only the faults that are the routine's own:
// - any fault raised by code of this program's image (its own code and the
//   inflate code linked into it);
// - an access violation or in-page error on data inside a view that the
//   routine mapped and declared with FaultGuardWatch (wherever the code
//   that touched it lies: the C runtime's memset, say).
// Everything else (a fault that system code raises and handles itself, as
// in a message box's modal loop) goes on to the handlers that would see it
// without the guard. Guards nest: the innermost armed guard of the thread
// catches, and it also claims faults on the views its outer guards watch.
// Other threads' faults pass through untouched. On x86 the thread's chain
// of exception-handler frames (fs:[0]) is put back as it was when the guard
// was armed before the jump, so that no frame of the abandoned calls stays
// on it.
//
// Use it around a call whose frame lies below the guard's:
//
//   FaultGuard guard;
//   if (FaultGuardTry(&guard)) {
//       result = TheRealWork(...);   // its own function, its own frame
//       FaultGuardLeave(&guard);     // on every way out of this branch
//       return result;
//   }
//   // guard.exceptionCode says what was caught; the last error is as it
//   // was when the fault was raised.
//
// What the guarded call changed in memory stays changed; handles it had
// open stay open. Values that the fault path reads must live in memory the
// guarded call writes through a pointer, not in the caller's locals.
#ifndef EXTRACT_FAULT_GUARD_H
#define EXTRACT_FAULT_GUARD_H

#include <windows.h>

enum { kFaultGuardViews = 2 };

struct FaultGuard {
    void* resume[5];        // __builtin_setjmp's buffer: where a fault goes
    FaultGuard* outer;      // the guard this one is nested in, or NULL
    PVOID handler;          // this guard's vectored handler registration
    PVOID handlerChain;     // x86: fs:[0] when the guard was armed
    const BYTE* views[kFaultGuardViews];     // views the routine mapped
    SIZE_T viewSizes[kFaultGuardViews];
    DWORD lastError;        // the thread's last error at the fault
    DWORD exceptionCode;    // the fault caught, 0 while none
    PVOID faultAddress;     // where it was raised
};

// Arms the guard. Must be a macro: the resume point has to be in the frame
// of the routine that uses the guard, which stays alive while it is armed.
#define FaultGuardTry(guard) \
    (__builtin_setjmp((guard)->resume) == 0 ? (FaultGuardArm(guard), TRUE) : FALSE)

void FaultGuardArm(FaultGuard* guard);

// Declares a view of size bytes at view, mapped by the guarded routine, in
// slot 0 or 1 (NULL empties the slot). Faults on its bytes are the
// routine's own.
void FaultGuardWatch(FaultGuard* guard, int slot, const void* view, SIZE_T size);

// Disarms the innermost guard of this thread, which must be guard.
void FaultGuardLeave(FaultGuard* guard);

#endif
