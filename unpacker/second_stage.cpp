#include "unpacker/second_stage.h"

#include "extract/payload_format.h"
#include "extract/system_path.h"
#include "extract/view_file.h"
#include "report/report_error.h"
#include "unpacker/main_dialog.h"
#include "unpacker/process_state.h"

#include <shlobj.h>

// Exit codes from this value up, read unsigned (-1000 to -1), stop the install.
static const DWORD kStopThreshold = 0xFFFFFC18;


// Starts the second stage suspended. Its full path goes in as the
// application name, so that a working folder with blanks in its path cannot
// make the system run a program named by the path's first word; the
// command line stays as the second stage has always seen it, unquoted.
static void LaunchSecondStage(PROCESS_INFORMATION* process)
{
    char application[MAX_PATH];
    char commandLine[MAX_PATH];
    wsprintfA(application, "%s%s", g_workingFolder, kSecondStageName);
    wsprintfA(commandLine, "%s%s -0", g_workingFolder, kSecondStageName);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(application, commandLine, NULL, NULL, FALSE, CREATE_SUSPENDED | NORMAL_PRIORITY_CLASS, NULL,
                        g_workingFolder, &startup, process))
        ReportError("Could not create process in unpacker's MainDlgProc", NULL, TRUE, TRUE, "\r\n");
}

// The log's size; INVALID_FILE_SIZE when it cannot be had. An absent log is
// created empty.
static DWORD LogSize()
{
    HANDLE log = CreateFileA(g_logPath, GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return INVALID_FILE_SIZE;
    DWORD size = GetFileSize(log, NULL);
    CloseHandle(log);
    return size;
}

// The user's Documents folder into a zeroed MAX_PATH buffer; empty when it
// cannot be found or named in the code page (each failure is reported and
// logged).
static void FindDocuments(LPSTR documents)
{
    ZeroMemory(documents, MAX_PATH);
    static const char kNotFound[] =
        "Could not to find directory for the\r\ncommon repository for documents in unpacker's WinMain";
    LPITEMIDLIST items = NULL;
    WCHAR wide[MAX_PATH];
    if (SHGetSpecialFolderLocation(NULL, CSIDL_PERSONAL, &items) != S_OK)
        ReportError(kNotFound, NULL, TRUE, TRUE, "\r\n");
    if (!SHGetPathFromIDListW(items, wide))
        ReportError("Could not to call SHGetPathFromIDList in unpacker's WinMain", NULL, TRUE, TRUE, "\r\n");
    else if (!SystemPathToAnsi(wide, documents))  // no name the code page can spell: not found
        ReportError(kNotFound, NULL, TRUE, TRUE, "\r\n");
    if (items)
        ILFree(items);
    // Some systems (Wine) end the path in a backslash: the copy's name and
    // the folder's own name are taken from the path without it.
    int length = lstrlenA(documents);
    if (length > 3 && documents[length - 1] == '\\')
        documents[length - 1] = '\0';
}

static void HandOverLog()
{
    DWORD size = LogSize();
    if (size == 0 || size == INVALID_FILE_SIZE)
        return;

    char documents[MAX_PATH];
    FindDocuments(documents);
    char text[1000];
    if (!documents[0]) {
        wsprintfA(text, "Setup Error log-file was saved in\r\n%s\r\nplease email it to support of program\r\n%s",
                  g_logPath, PRODUCT_NAME);
        MessageBoxA(NULL, text, "Exit Setup", MB_ICONINFORMATION);
        return;
    }

    // A Documents path too long for the copy's name counts as a failed copy.
    BOOL copied = FALSE;
    if (lstrlenA(documents) + 1 + lstrlenA(kLogName) < MAX_PATH) {
        char target[MAX_PATH];
        wsprintfA(target, "%s\\%s", documents, kLogName);
        copied = CopyFileA(g_logPath, target, FALSE);
    }
    if (copied) {
        // Named by the folder's own name: "Documents\setup_error.log".
        LPCSTR folderName = documents;
        for (LPCSTR p = documents; *p; ++p)
            if (*p == '\\')
                folderName = p + 1;
        char shortTarget[MAX_PATH];
        wsprintfA(shortTarget, "%s\\%s", folderName, kLogName);
        wsprintfA(text, "Setup Error log-file was saved in\r\n%s\r\nplease email it to support of program\r\n%s",
                  shortTarget, PRODUCT_NAME);
    } else {
        wsprintfA(text, "Setup log-file with an errorhas been saved to\r\n%s\r\nplease email to support service of %s\r\n",
                  g_logPath, PRODUCT_NAME);
    }
    MessageBoxA(NULL, text, "Exit Setup", MB_ICONINFORMATION);
}

void RunSecondStage()
{
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);

    if (g_workerThread) {
        WaitForSingleObject(g_workerThread, INFINITE);
        DWORD exitCode = 0;
        GetExitCodeThread(g_workerThread, &exitCode);
        // Only a second stage that this run wrote and still holds is started.
        if (exitCode >= kStopThreshold || !g_secondStage.reader)
            MessageBoxA(NULL, "Install process was stopped because of\r\nsome errors in unpacker procedure", "Error",
                        MB_ICONINFORMATION);
        else
            LaunchSecondStage(&process);
    }
    // The second stage's process exists, or there will be none: nothing is
    // held any longer, so that it can remove its files and the folder.
    ReleaseHeldFile(&g_secondStage);
    if (g_workingFolderHandle != INVALID_HANDLE_VALUE)
        CloseHandle(g_workingFolderHandle);
    g_workingFolderHandle = INVALID_HANDLE_VALUE;

    // The second stage, if any, stays suspended until the user has read this.
    HandOverLog();

    if (process.hThread) {
        CloseHandle(process.hProcess);
        DestroyWindow(g_dialog);
        ResumeThread(process.hThread);
        WaitForSingleObject(process.hThread, INFINITE);
        CloseHandle(process.hThread);
    }
}
