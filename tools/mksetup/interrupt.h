// What an interrupted mksetup leaves behind: nothing it made. SIGINT,
// SIGTERM and SIGHUP on Linux, Ctrl-C, Ctrl-Break and the console's close
// on Windows end a running signing program, delete the files mksetup is
// making (a build's temporary files, an extracted file not yet whole) and
// end mksetup as the interruption would have.
//
// Files and a program are named here while they are being made or run,
// and forgotten once they are done with. On Windows the files must be
// opened sharing deletion (CreateNewFile does), and a view of one is let go
// first (ViewOnInterrupt): the handler runs on a thread of its own, holds
// the main thread and removes them; on Linux the signal handler unlinks
// them.
#pragma once

#include <cstdint>
#include <string>

namespace mksetup {

// Installs the handlers; once, first thing.
void HandleInterrupts();

// Between the two an interruption waits: a file is made and named to
// DeleteOnInterrupt as one step, never left between them.
void HoldInterrupts();
void ReleaseInterrupts();

// Deletes path if mksetup is interrupted, until ForgetOnInterrupt(path).
void DeleteOnInterrupt(const std::string& path);
void ForgetOnInterrupt(const std::string& path);

// The view of a file named to DeleteOnInterrupt, let go before it is
// deleted (Windows will not delete a mapped file); NULL when it is gone.
void ViewOnInterrupt(const void* view);

// The signing program, ended if mksetup is interrupted: its process id on
// Linux, its process handle on Windows; 0 when it has ended.
void ChildOnInterrupt(uintptr_t child);

}  // namespace mksetup
