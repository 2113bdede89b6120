#include "unpacker/process_state.h"

HINSTANCE g_moduleHandle;
char g_workingFolder[MAX_PATH];
char g_launchFolder[MAX_PATH];
HWND g_dialog;
HANDLE g_workerThread;
HANDLE g_workingFolderHandle = INVALID_HANDLE_VALUE;
ExtractJob g_extractJob;
