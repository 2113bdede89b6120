// The hand-off: launching the second stage and giving the user the log.
#ifndef UNPACKER_SECOND_STAGE_H
#define UNPACKER_SECOND_STAGE_H

// Runs on the main thread after the message loop. Waits for the worker; if
// its exit code is -1000 to -1, tells the user that the install stopped,
// otherwise creates "<working folder>KVFiles1.tmp -0" suspended in the
// working folder. Then hands a non-empty setup_error.log to the user (a
// copy in Documents and an "Exit Setup" message). Last, if the second stage
// was created, destroys the dialog, lets the second stage run and waits for
// its primary thread.
void RunSecondStage();

#endif
