// The unpacker's entry: one copy at a time, the working folder, the
// progress dialog, extraction on the worker thread, then the hand-off.
#include "../report/report_error.h"
#include "main_dialog.h"
#include "process_state.h"
#include "second_stage.h"

#include <shlobj.h>

static const char kWorkingFolderName[] = "KVFiles_Setup_Temp";
static const char kLogName[] = "setup_error.log";

// The longest base path that leaves room, within MAX_PATH, for the working
// folder's name and backslash (19) and then "setup_error.log" or
// "KVFiles1.tmp -0" (15).
static const int kMaxBasePath = MAX_PATH - 1 - 34;

// Another copy runs: bring its window to the front, the progress dialog if
// it still shows, else the second stage's "Welcome" window.
static void ShowOtherCopy(LPCSTR title)
{
    HWND window = FindWindowA(NULL, title);
    if (!window)
        window = FindWindowA(NULL, "Welcome");
    if (window) {
        ShowWindow(window, SW_RESTORE);
        SetForegroundWindow(window);
    }
}

// Lets the user choose a folder when the system has no temporary path.
// FALSE when the user cancels. A choice without a file-system path leaves
// the buffer empty (the working folder is then relative to the current
// directory).
static BOOL BrowseForTempFolder(LPSTR folder)
{
    char displayName[MAX_PATH];
    BROWSEINFOA browse;
    ZeroMemory(&browse, sizeof browse);
    browse.pszDisplayName = displayName;
    browse.lpszTitle = "Select Temp Directory ";
    browse.ulFlags = BIF_EDITBOX;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&browse);
    if (!chosen)
        return FALSE;
    SHGetPathFromIDListA(chosen, folder);
    ILFree(chosen);
    int length = lstrlenA(folder);
    if (length > 0 && folder[length - 1] != '\\' && length < MAX_PATH - 1)
        lstrcatA(folder, "\\");
    return TRUE;
}

// g_workingFolder from the base path: its long form when it holds short
// (8.3) names, then "KVFiles_Setup_Temp\". FALSE when it would leave no room
// for the names that follow it.
static BOOL MakeWorkingFolderPath(LPCSTR base)
{
    BOOL converted = FALSE;
    for (LPCSTR p = base; *p && !converted; ++p) {
        if (*p == '~') {
            DWORD length = GetLongPathNameA(base, g_workingFolder, MAX_PATH);
            converted = length > 0 && length < MAX_PATH;
        }
    }
    if (!converted)
        lstrcpynA(g_workingFolder, base, MAX_PATH);
    if (lstrlenA(g_workingFolder) > kMaxBasePath) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    lstrcatA(g_workingFolder, kWorkingFolderName);
    lstrcatA(g_workingFolder, "\\");
    return TRUE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    char title[MAX_PATH];
    wsprintfA(title, "%s Setup", PRODUCT_NAME);

    // Both mutexes live as long as the process: never closed.
    CreateMutexA(NULL, FALSE, "Mutex");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        ShowOtherCopy(title);
        ExitProcess(0);
    }
    HANDLE productMutex = CreateMutexA(NULL, FALSE, PRODUCT_NAME);
    WaitForSingleObject(productMutex, 2000);  // whatever the outcome

    g_moduleHandle = instance;

    char base[MAX_PATH];
    ZeroMemory(base, sizeof base);
    DWORD length = GetTempPathA(MAX_PATH, base);
    if (length == 0 || length >= MAX_PATH) {  // a path too long for the buffer counts as none
        if (length)
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        ReportError("Could not to find temp path in unpacker's WinMain", NULL, FALSE, TRUE, "\r\n");
        ZeroMemory(base, sizeof base);
        if (!BrowseForTempFolder(base))
            return 0;
    }

    if (!MakeWorkingFolderPath(base)) {
        ReportError("Could not to create temp dir in unpacker's WinMain", NULL, FALSE, TRUE, "\r\n");
        return 0;
    }
    wsprintfA(g_logPath, "%s%s", g_workingFolder, kLogName);
    DeleteFileA(g_logPath);  // the only place an old log goes
    if (!CreateDirectoryA(g_workingFolder, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
        ReportError("Could not to create temp dir in unpacker's WinMain", NULL, FALSE, TRUE, "\r\n");
        return 0;
    }

    g_dialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(101), NULL, MainDlgProc, 0);
    if (!g_dialog) {
        ReportError("Could not to create main dialog in unpacker's WinMain", NULL, TRUE, TRUE, "\r\n");
        return 0;
    }
    SetWindowTextA(g_dialog, title);
    ShowWindow(g_dialog, SW_SHOW);
    SendMessageA(g_dialog, UM_EXTRACT, 0, 0);

    RunMessageLoop(g_workerThread);
    RunSecondStage();
    return 0;
}

// The process's entry: the unpacker needs none of the C runtime's start-up
// (no constructors, no arguments, no atexit), only WinMain's arguments and
// ExitProcess with its result. msvcrt.dll, which zlib calls for memory,
// initialises itself.
extern "C" void WinMainCRTStartup()
{
    STARTUPINFOA startup;
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    ExitProcess((UINT)WinMain(GetModuleHandleA(NULL), NULL, GetCommandLineA(), show));
}
