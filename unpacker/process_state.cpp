#include "unpacker/process_state.h"

HINSTANCE g_moduleHandle;
char g_workingFolder[MAX_PATH];
char g_logPath[MAX_PATH];
HWND g_dialog;
HANDLE g_workerThread;
HANDLE g_workingFolderHandle = INVALID_HANDLE_VALUE;
HeldFile g_secondStage;

FILETIME g_creationTime;
FILETIME g_lastAccessTime;
FILETIME g_lastWriteTime;
