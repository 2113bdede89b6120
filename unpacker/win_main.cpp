// The unpacker's entry: one copy at a time, the working folder, the
// progress dialog, extraction on the worker thread, then the hand-off.
#include "extract/system_path.h"
#include "report/folder_file.h"
#include "report/report_error.h"
#include "unpacker/main_dialog.h"
#include "unpacker/process_state.h"
#include "unpacker/second_stage.h"
#include "unpacker/working_folder.h"

#include <shlobj.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif
#ifndef BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE
#define BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE 0x00000001
#define BASE_SEARCH_PATH_PERMANENT 0x00008000
#endif

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

// The working folder's base from a folder the system names in Unicode, in
// the code page (see SystemPathToAnsi): its long form when it holds short
// (8.3) names and the long form converts exactly, else as it is or its
// short form. A short form is never traded for a long one that cannot be
// used. FALSE when there is no usable form.
static BOOL TakeBase(LPCWSTR folder, LPSTR base)
{
    WCHAR longForm[MAX_PATH];
    BOOL shortNames = FALSE;
    for (LPCWSTR p = folder; *p; ++p)
        shortNames = shortNames || *p == L'~';
    DWORD length = shortNames ? GetLongPathNameW(folder, longForm, MAX_PATH) : 0;
    return (length > 0 && length < MAX_PATH && ConvertsExactly(longForm, base)) || SystemPathToAnsi(folder, base);
}

// Lets the user choose a folder when the system has no temporary path.
// FALSE when the user cancels, or (after the temp-dir report) picks one
// that the code page cannot name. A choice without a file-system path
// leaves the buffer empty (the working folder is then relative to the
// current directory).
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
    WCHAR wide[MAX_PATH];
    BOOL usable = !SHGetPathFromIDListW(chosen, wide) || TakeBase(wide, folder);
    ILFree(chosen);
    if (!usable) {
        ReportError("Could not to create temp dir in unpacker's WinMain", NULL, FALSE, TRUE, "\r\n");
        return FALSE;
    }
    int length = lstrlenA(folder);
    if (length > 0 && folder[length - 1] != '\\' && length < MAX_PATH - 1)
        lstrcatA(folder, "\\");
    return TRUE;
}

// g_workingFolder from the base path: "KVFiles_Setup_Temp\" after it. FALSE
// when it would leave no room for the names that follow it.
static BOOL MakeWorkingFolderPath(LPCSTR base)
{
    if (lstrlenA(base) > kMaxBasePath) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    wsprintfA(g_workingFolder, "%s%s\\", base, kWorkingFolderName);
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

    // Taken in Unicode: a temporary folder under a user's name that the code
    // page cannot spell is used by its short form, or counts as none.
    char base[MAX_PATH];
    WCHAR temp[MAX_PATH];
    ZeroMemory(base, sizeof base);
    DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH || !TakeBase(temp, base)) {  // too long for the buffer: none
        if (length >= MAX_PATH)
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
    BOOL elevated;
    if (!MakeWorkingFolder(&elevated)) {
        ReportError("Could not to create temp dir in unpacker's WinMain", NULL, FALSE, TRUE, "\r\n");
        return 0;
    }
    g_logFolder = g_workingFolderHandle;
    DeleteInFolder(g_workingFolderHandle, kLogName);  // the only place an old log goes

    g_dialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(101), NULL, MainDlgProc, 0);
    if (!g_dialog) {
        ReportError("Could not to create main dialog in unpacker's WinMain", NULL, TRUE, TRUE, "\r\n");
        return 0;
    }
    SetWindowTextA(g_dialog, title);
    ShowWindow(g_dialog, SW_SHOW);
    ExtractJob job = {instance, g_workingFolder, g_workingFolderHandle, elevated, g_dialog};
    g_extractJob = job;
    SendMessageA(g_dialog, UM_EXTRACT, 0, 0);

    RunMessageLoop(g_workerThread);
    RunSecondStage();
    return 0;
}

// The process's entry: the unpacker needs none of the C runtime's start-up
// (no constructors, no arguments, no atexit), only WinMain's arguments and
// ExitProcess with its result. msvcrt.dll, which zlib calls for memory,
// initialises itself.
// Libraries loaded by name while the unpacker runs (the system loads some
// for the dialogs) come from the system folder only, never from the
// installer's own folder, Downloads say, where anyone can leave a DLL.
static void RestrictDllSearch()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    typedef BOOL(WINAPI * FlagsFunction)(DWORD);
    FlagsFunction setDefaultDirectories = (FlagsFunction)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (!setDefaultDirectories || !setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryA("");  // older systems: at least not the current folder
    // SearchPath: the current folder after the system's.
    FlagsFunction setSearchPathMode = (FlagsFunction)(void*)GetProcAddress(kernel, "SetSearchPathMode");
    if (setSearchPathMode)
        setSearchPathMode(BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | BASE_SEARCH_PATH_PERMANENT);
    // A damaged heap ends the process rather than being used.
    HeapSetInformation(NULL, HeapEnableTerminationOnCorruption, NULL, 0);
}

extern "C" void WinMainCRTStartup()
{
    RestrictDllSearch();
    STARTUPINFOA startup;
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    ExitProcess((UINT)WinMain(GetModuleHandleA(NULL), NULL, GetCommandLineA(), show));
}
