// The values that several routines of the unpacker share, process-wide.
//
// There are no locks: each value below is written by one thread at a time
// that is named beside it, and the front end writes its values before the
// worker thread exists.
#ifndef UNPACKER_PROCESS_STATE_H
#define UNPACKER_PROCESS_STATE_H

#include <windows.h>

// The product's name: the dialog's title "Veltrano Setup", the product
// mutex, and the last word of the log hand-off's messages.
#define PRODUCT_NAME "Veltrano"

// Start-up sends it once to the progress dialog, which starts the worker.
#define UM_EXTRACT (WM_USER + 1000)

// The executable's instance handle. Written by WinMain first thing; read by
// the dialog creation and by ExtractFiles to find its own file.
extern HINSTANCE g_moduleHandle;

// "<temp>\KVFiles_Setup_Temp\", always ending in a backslash. Written by
// WinMain before the worker starts; the worker's parameter; read by the
// extraction and by the hand-off.
extern char g_workingFolder[MAX_PATH];

// g_workingFolder followed by "setup_error.log". Written by WinMain before
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

// The times that the next extracted file receives. Worker thread only:
// ExtractFiles fills them from a record header, GetViewFile applies them to
// the new file (or captures a file's times into them).
extern FILETIME g_creationTime;
extern FILETIME g_lastAccessTime;
extern FILETIME g_lastWriteTime;

// The length of the executable's view, which bounds every read of the
// payload. Worker thread only: written by the top-level ExtractFiles once it
// has mapped the file, read by the nested calls it makes.
extern DWORD g_moduleViewSize;

#endif
