// The values that several routines of the unpacker share, process-wide.
//
// There are no locks: each value below is written by one thread at a time
// that is named beside it, and the front end writes its values before the
// worker thread exists.
#ifndef UNPACKER_PROCESS_STATE_H
#define UNPACKER_PROCESS_STATE_H

#include <windows.h>

// The executable's instance handle. Written by WinMain first thing; read by
// the dialog creation and by ExtractFiles to find its own file.
extern HINSTANCE g_moduleHandle;

// "<temp>\KVFiles_Setup_Temp\", always ending in a backslash. Written by
// WinMain before the worker starts; the worker's parameter; read by the
// extraction and by the hand-off.
extern char g_workingFolder[MAX_PATH];

// The setup error log's name in the working folder and in Documents.
static const char kLogName[] = "setup_error.log";

// g_workingFolder followed by kLogName. Written by WinMain before
// the first logged report; read by ReportError on both threads and by the
// hand-off.
extern char g_logPath[MAX_PATH];

// The progress dialog. Written by WinMain; the worker sends it its one
// WM_DESTROY; the hand-off destroys it.
extern HWND g_dialog;

// The worker thread, null when it could not be created. Written by the
// dialog procedure on the main thread; waited on by the hand-off. Never
// closed.
extern HANDLE g_workerThread;

// The working folder, open from its check in WinMain until the second stage
// has been created, sharing read and write but not delete: no other process
// can rename, delete or replace the folder meanwhile. Written by WinMain
// before the worker starts; closed by the hand-off. INVALID_HANDLE_VALUE
// when there is none.
extern HANDLE g_workingFolderHandle;

// KVFiles1.tmp, held from its creation until the second stage's process
// exists (see HoldWrittenFile in extract/view_file.h). Written by the worker
// while it extracts record 1; read and closed by the hand-off after the
// worker has ended. reader is set only when this run wrote the whole file
// and found it unchanged: the hand-off starts nothing otherwise.
struct HeldFile {
    HANDLE guard;   // DELETE access, sharing read and write: no rename, no delete
    HANDLE writer;  // read and write, sharing read and delete, while it is filled
    HANDLE reader;  // read, sharing read and delete, once it is whole
};
extern HeldFile g_secondStage;

// The times that the next extracted file receives. Worker thread only:
// ExtractFiles fills them from a record header, GetViewFile applies them to
// the new file (or captures a file's times into them).
extern FILETIME g_creationTime;
extern FILETIME g_lastAccessTime;
extern FILETIME g_lastWriteTime;

#endif
