// A guard that catches every fault raised while a routine runs on the
// calling thread (access violations, in-page errors, also inside zlib or the
// system), for a compiler without __try/__except.
//
// While a guard is armed, a vectored exception handler sends any fault on
// this thread back to the point where the guard was entered, as if
// FaultGuardTry had returned false there; the guard is then already
// disarmed. Guards nest: the innermost armed guard of the thread catches.
// Other threads' faults pass through untouched.
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

struct FaultGuard {
    void* resume[5];        // __builtin_setjmp's buffer: where a fault goes
    FaultGuard* outer;      // the guard this one is nested in, or NULL
    PVOID handler;          // this guard's vectored handler registration
    DWORD lastError;        // the thread's last error at the fault
    DWORD exceptionCode;    // the fault caught, 0 while none
    PVOID faultAddress;     // where it was raised
};

// Arms the guard. Must be a macro: the resume point has to be in the frame
// of the routine that uses the guard, which stays alive while it is armed.
#define FaultGuardTry(guard) \
    (__builtin_setjmp((guard)->resume) == 0 ? (FaultGuardArm(guard), TRUE) : FALSE)

void FaultGuardArm(FaultGuard* guard);

// Disarms the innermost guard of this thread, which must be guard.
void FaultGuardLeave(FaultGuard* guard);

#endif
