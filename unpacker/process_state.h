// The values that several routines of the front end share, process-wide.
// The lower floors keep their own: the log's place in report/report_error.h,
// the second stage's handles and the file times in extract/.
//
// There are no locks: each value below is written by one thread at a time
// that is named beside it, and the front end writes its values before the
// worker thread exists.
#ifndef UNPACKER_PROCESS_STATE_H
#define UNPACKER_PROCESS_STATE_H

#include "extract/extract_files.h"

#include <windows.h>

// The executable's instance handle. Written by WinMain first thing; read by
// the dialog creation.
extern HINSTANCE g_moduleHandle;

// "<temp>\KVFiles_Setup_Temp\", always ending in a backslash. Written by
// WinMain before the worker starts; read by the extraction (through
// g_extractJob) and by the hand-off.
extern char g_workingFolder[MAX_PATH];

// The working folder's path as the second stage is started in it, ending in
// a backslash: g_workingFolder, or the folder's own path where TMP's leads
// through a link (see FindLaunchFolder). Written by WinMain with the
// folder; read by the hand-off.
extern char g_launchFolder[MAX_PATH];

// The progress dialog. Written by WinMain; the worker posts it its one
// WM_DESTROY; the hand-off destroys it.
extern HWND g_dialog;

// The worker thread, null when it could not be created. Written by the
// dialog procedure on the main thread; waited on by the hand-off. Never
// closed.
extern HANDLE g_workerThread;

// The working folder, open from its making or its check in WinMain until
// the second stage has been created and the log handed over, sharing read
// and write but not delete: no other process can rename, delete or replace
// the folder meanwhile, and every file in it is opened through this handle
// (report/folder_file.h). Written by WinMain before the worker starts;
// closed by the hand-off. INVALID_HANDLE_VALUE when there is none.
extern HANDLE g_workingFolderHandle;

// The worker's parameter: the module, the working folder and its handle,
// whether the process runs elevated, the dialog. Written by WinMain before
// the worker starts; read by the worker and by the hand-off (elevated).
extern ExtractJob g_extractJob;

#endif
