#include "unpacker/second_stage.h"

#include "extract/payload_format.h"
#include "extract/system_path.h"
#include "report/folder_file.h"
#include "report/report_error.h"
#include "unpacker/main_dialog.h"
#include "unpacker/process_state.h"
#include "unpacker/working_folder.h"

#include <shlobj.h>

// Exit codes from this value up, read unsigned (-1000 to -1), stop the install.
static const DWORD kStopThreshold = 0xFFFFFC18;


// What the second stage is started from, and so which program runs (with
// the unpacker's rights, elevated), is decided by no path that another
// program can change or that the system reads as another. Such a program
// can point a link on the way to the working folder elsewhere (TMP itself,
// or a junction in the user's folders) between any check of the path and
// the system's next lookup of it, and can make a folder whose name ends in
// a dot, which a plain path names as its twin without the dot. So the
// folder's files are opened through the held folder (report/folder_file.h),
// and the second stage is started from g_launchFolder: a path without links
// (see FindLaunchFolder: TMP's own path only where it is exactly, case
// too, the folder's own), none of whose parts ends in a dot or a blank (the
// only parts of such a path that the system rewrites), that opens, just
// before the start, to the held folder itself. Such a path keeps leading
// there: NTFS renames no folder that holds an open folder or file, and
// makes no folder with files in it a link (elevated, the held folder is on
// a local disk; see TrustFolder). The process created is then checked
// before it runs an instruction (RunsHeldSecondStage): the system must have
// recorded its image by that very path, and the image must be the held
// KVFiles1.tmp, the same file by volume and index, or it is ended and
// nothing runs. Once it runs, the folder stays open (sharing deletion, so
// that the second stage can remove it), until the unpacker ends: the path
// it was started from, its current folder and its command line keep
// naming the folder it was checked in. The same for a run that is not
// elevated. (What only Windows can show: the rename rules, junctions and
// the dots; Wine's links are Unix ones, it lets a folder with open files be
// renamed, and it names a folder "t." as "t" itself.)

// Whether process's image is the held KVFiles1.tmp, started from
// application: the system recorded it by that name exactly (in the long
// form of its parts, where one was given short), so no link was on the way
// (a link leaves the name of what it led to) and no part of it read as
// another's, and what that name opens, in the \\?\ form
// the system takes as it stands, is the held file by volume and index.
static BOOL RunsHeldSecondStage(HANDLE process, LPCSTR application)
{
    // C:\... as \\?\C:\..., \\server\... as \\?\UNC\server\...
    WCHAR given[MAX_PATH], givenLong[2 * MAX_PATH], nameLong[2 * MAX_PATH], image[2 * MAX_PATH + 8] = L"\\\\?\\";
    DWORD size = 2 * MAX_PATH;
    BY_HANDLE_FILE_INFORMATION theirs, ours;
    HANDLE file = INVALID_HANDLE_VALUE;
    LPWSTR name = image + 4;
    BOOL named = MultiByteToWideChar(CP_ACP, 0, application, -1, given, MAX_PATH) > 0 &&
                 QueryFullProcessImageNameW(process, 0, name, &size) &&
                 LongName(given, givenLong) && LongName(name, nameLong) && SameName(givenLong, nameLong);
    if (named) {
        if (name[0] == L'\\' && name[1] == L'\\') {
            for (DWORD i = size; i > 0; --i)  // two characters on, from the end (its zero) back
                image[6 + i] = name[i];
            image[4] = L'U', image[5] = L'N', image[6] = L'C';
        }
        file = CreateFileW(image, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    }
    BOOL same = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &theirs) &&
                GetFileInformationByHandle(g_secondStage.reader, &ours) &&
                theirs.dwVolumeSerialNumber == ours.dwVolumeSerialNumber &&
                theirs.nFileIndexHigh == ours.nFileIndexHigh && theirs.nFileIndexLow == ours.nFileIndexLow;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return same;
}

// Starts the second stage suspended. Its full path goes in as the
// application name, so that a working folder with blanks in its path cannot
// make the system run a program named by the path's first word; the
// command line stays as the second stage has always seen it, unquoted.
static void LaunchSecondStage(PROCESS_INFORMATION* process)
{
    char application[MAX_PATH], commandLine[MAX_PATH];
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    BOOL started = PathLeadsTo(g_launchFolder, g_workingFolderHandle);
    if (started) {
        wsprintfA(application, "%s%s", g_launchFolder, kSecondStageName);
        wsprintfA(commandLine, "%s -0", application);
        started = CreateProcessA(application, commandLine, NULL, NULL, FALSE, CREATE_SUSPENDED | NORMAL_PRIORITY_CLASS,
                                 NULL, g_launchFolder, &startup, process);
    }
    if (started && !RunsHeldSecondStage(process->hProcess, application)) {
        TerminateProcess(process->hProcess, 1);
        CloseHandle(process->hThread);
        CloseHandle(process->hProcess);
        ZeroMemory(process, sizeof *process);
        SetLastError(ERROR_FILE_INVALID);
        started = FALSE;
    }
    if (!started)
        ReportError("Could not create process in unpacker's MainDlgProc", NULL, TRUE, TRUE, "\r\n");
}

// The log's size; INVALID_FILE_SIZE when it cannot be had. An absent log is
// created empty.
static DWORD LogSize()
{
    HANDLE log = OpenInFolder(g_workingFolderHandle, kLogName, GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
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

// Elevated, the log's copy goes only into a plain folder of the user's own
// (OpenUsersFolder: one the user could write in anyway, reached by no
// link), read from the working folder and written through the folder's
// handle as a new file: an old copy's name is removed first, never written
// through (it may be a link, or a hard link to a file the user cannot
// write). The user's own rights would not do: an elevated process's linked
// token only identifies the user and cannot open files.
static BOOL CopyLogInto(LPCSTR documents)
{
    HANDLE folder = OpenUsersFolder(documents), from = INVALID_HANDLE_VALUE, to = INVALID_HANDLE_VALUE;
    if (folder != INVALID_HANDLE_VALUE && (DeleteInFolder(folder, kLogName) || GetLastError() == ERROR_FILE_NOT_FOUND))
        from = OpenInFolder(g_workingFolderHandle, kLogName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (from != INVALID_HANDLE_VALUE)
        to = OpenInFolder(folder, kLogName, GENERIC_WRITE, 0, CREATE_NEW);
    BOOL copied = to != INVALID_HANDLE_VALUE;
    BYTE buffer[1024];
    DWORD read, written;
    while (copied && (copied = ReadFile(from, buffer, sizeof buffer, &read, NULL)) && read > 0)
        copied = WriteFile(to, buffer, read, &written, NULL) && written == read;
    HANDLE handles[] = {to, from, folder};
    for (HANDLE handle : handles)
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    return copied;
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
        copied = g_extractJob.elevated ? CopyLogInto(documents) : CopyFileA(g_logPath, target, FALSE);
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
        // Elevated, a folder that keeps a payload's files that are not the
        // image's own (another program held one open) is no longer trusted.
        if (g_extractJob.elevated && g_foreignLeft)
            DistrustWorkingFolder();
        if (exitCode >= kStopThreshold || !g_secondStage.reader)
            MessageBoxA(NULL, "Install process was stopped because of\r\nsome errors in unpacker procedure", "Error",
                        MB_ICONINFORMATION);
        else
            LaunchSecondStage(&process);
    }
    // The second stage, if any, stays suspended until the user has read this.
    HandOverLog();

    // The second stage's process exists, or there will be none: nothing is
    // held against it any longer, so that it can remove its files and the
    // folder; the folder stays open, sharing deletion, as long as the
    // unpacker runs (never closed), so that nobody renames the folders on
    // its path meanwhile.
    ReopenFolder(g_workingFolderHandle, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ReleaseHeldFile(&g_secondStage);
    if (g_workingFolderHandle != INVALID_HANDLE_VALUE)
        CloseHandle(g_workingFolderHandle);
    g_workingFolderHandle = INVALID_HANDLE_VALUE;
    g_logFolder = NULL;

    if (process.hThread) {
        CloseHandle(process.hProcess);
        DestroyWindow(g_dialog);
        ResumeThread(process.hThread);
        WaitForSingleObject(process.hThread, INFINITE);
        CloseHandle(process.hThread);
    }
}
