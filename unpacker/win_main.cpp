// The unpacker's entry: one copy at a time, the working folder, the
// progress dialog, extraction on the worker thread, then the hand-off.
#include "extract/system_path.h"
#include "report/report_error.h"
#include "unpacker/main_dialog.h"
#include "unpacker/process_state.h"
#include "unpacker/second_stage.h"

#include <aclapi.h>
#include <intrin.h>
#include <shlobj.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif
#ifndef BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE
#define BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE 0x00000001
#define BASE_SEARCH_PATH_PERMANENT 0x00008000
#endif

static const char kWorkingFolderName[] = "KVFiles_Setup_Temp";

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

// The SIDs that may own the working folder and have access to one it
// creates: the current user, SYSTEM and the Administrators group; and
// whether this process runs elevated.
struct TrustedSids {
    union {
        TOKEN_USER user;
        BYTE userBuffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    };
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BOOL elevated;
};

// Elevated (Windows elevates an installer after asking the user), the
// process shares its temporary folder with every unelevated program of the
// same user, which could otherwise plant or change what it then runs with
// administrator rights. A token whose elevation cannot be read counts as
// elevated.
static BOOL GetTrustedSids(TrustedSids* sids)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return FALSE;
    DWORD size = sizeof sids->userBuffer;
    BOOL ok = GetTokenInformation(token, TokenUser, sids->userBuffer, size, &size);
    TOKEN_ELEVATION elevation;
    size = sizeof elevation;
    sids->elevated = !GetTokenInformation(token, TokenElevation, &elevation, size, &size) || elevation.TokenIsElevated;
    CloseHandle(token);
    size = sizeof sids->system;
    ok = ok && CreateWellKnownSid(WinLocalSystemSid, NULL, sids->system, &size);
    size = sizeof sids->administrators;
    return ok && CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, sids->administrators, &size);
}

// The label of an elevated run's folder, as a system ACL: one mandatory
// label ACE, inherited by files and folders, no writing up, high integrity
// (S-1-16-12288).
static const BYTE kHighLabel[28] = {
    ACL_REVISION, 0, 28, 0, 1, 0, 0, 0,                              // ACL: size 28, one ACE
    SYSTEM_MANDATORY_LABEL_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 20, 0,  // size 20
    SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, 0, 0, 0,                    // mask
    1, 1, 0, 0, 0, 0, 0, 16, 0x00, 0x30, 0, 0};                      // S-1-16-0x3000

// Creates the folder with a protected DACL: full control for the three
// trusted SIDs, inherited by all inside, nothing from the parent (a shared
// temporary folder such as C:\Windows\Temp lets everyone in). Elevated, it
// also gets the high label: no process below high integrity can write,
// delete or rename anything in it, whatever the DACL says.
static BOOL CreatePrivateFolder(LPCSTR folder, TrustedSids* sids)
{
    DWORD aclBuffer[128];  // 3 ACEs of at most 8 + 68 bytes, and the header
    ACL* acl = (ACL*)aclBuffer;
    PSID trusted[3] = {sids->user.User.Sid, sids->system, sids->administrators};
    BOOL ok = InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION);
    for (int i = 0; i < 3; ++i)
        ok = ok && AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                                         trusted[i]);
    SECURITY_DESCRIPTOR descriptor;
    ok = ok && InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
         SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    ok = ok && (!sids->elevated || SetSecurityDescriptorSacl(&descriptor, TRUE, (PACL)kHighLabel, FALSE));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    return ok && CreateDirectoryA(folder, &attributes);
}

// Whether the folder's label is the one an elevated run gives it: high,
// and no writing up.
static BOOL HasHighLabel(PACL sacl)
{
    ACE_HEADER* ace = (ACE_HEADER*)(sacl + 1);
    for (WORD i = 0; sacl && i < sacl->AceCount; ++i, ace = (ACE_HEADER*)((BYTE*)ace + ace->AceSize)) {
        if (ace->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
            continue;
        SYSTEM_MANDATORY_LABEL_ACE* label = (SYSTEM_MANDATORY_LABEL_ACE*)ace;
        return EqualSid(&label->SidStart, (PSID)(kHighLabel + 16)) && (label->Mask & SYSTEM_MANDATORY_LABEL_NO_WRITE_UP);
    }
    return FALSE;
}

// A real folder, neither a file nor a junction or symbolic link (which
// would lead the log's deletion and the outputs elsewhere). Invalid
// attributes have both bits set: no folder either.
static BOOL IsPlainFolder(DWORD attributes)
{
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY;
}

// Opens the working folder and holds it, sharing read and write but not
// delete: while the handle is open nobody can rename, delete or replace
// the folder, so every path in it leads where it led when it was checked.
// Only a plain folder is taken, seen so by its path (without the final
// backslash, which would lead through a link; Wine shows a Unix symbolic
// link by its path only) and by the handle, owned by a trusted SID and,
// elevated, one that this run has just made or that carries the high
// label. INVALID_HANDLE_VALUE otherwise, the last error saying why.
static HANDLE OpenTrustedFolder(LPCSTR path, TrustedSids* sids, BOOL made)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (IsPlainFolder(GetFileAttributesA(path)))
        handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    BOOL checkLabel = sids->elevated && !made;
    BY_HANDLE_FILE_INFORMATION info;
    PSID owner = NULL;
    PACL sacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    DWORD error = ERROR_DIRECTORY;
    if (handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) &&
        IsPlainFolder(info.dwFileAttributes))
        error = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | (checkLabel ? LABEL_SECURITY_INFORMATION : 0), &owner,
                                NULL, NULL, &sacl, &descriptor);
    BOOL trusted = error == ERROR_SUCCESS && owner &&
                   (EqualSid(owner, sids->user.User.Sid) || EqualSid(owner, sids->system) ||
                    EqualSid(owner, sids->administrators)) &&
                   (!checkLabel || HasHighLabel(sacl));
    LocalFree(descriptor);
    if (trusted)
        return handle;
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_INVALID_OWNER);
    return INVALID_HANDLE_VALUE;
}

// Sets an untrusted working folder aside under a new name, untouched:
// nothing that an unelevated program may have put there is deleted, read
// or run. Only a plain folder: Windows would rename a link itself, but
// Wine moves what it leads to.
static BOOL MoveAside(LPCSTR path)
{
    char aside[MAX_PATH];
    wsprintfA(aside, "%s.%lu", path, (DWORD)__rdtsc());  // a number that differs between runs
    if (IsPlainFolder(GetFileAttributesA(path)))
        return MoveFileA(path, aside);
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
}

// Creates g_workingFolder, or takes the one that is there, and holds it
// (g_workingFolderHandle). An untrusted one is refused, but elevated, a
// real folder that unelevated programs could have written in (every folder
// an earlier version made, too) is set aside and a new one made: refusing
// it would stop every install of a user who has one.
static BOOL MakeWorkingFolder()
{
    TrustedSids sids;
    if (!GetTrustedSids(&sids))
        return FALSE;
    char path[MAX_PATH];
    lstrcpynA(path, g_workingFolder, lstrlenA(g_workingFolder));  // without its backslash
    BOOL made = CreatePrivateFolder(path, &sids);
    if (!made && GetLastError() != ERROR_ALREADY_EXISTS)
        return FALSE;
    g_workingFolderHandle = OpenTrustedFolder(path, &sids, made);
    if (g_workingFolderHandle == INVALID_HANDLE_VALUE && !made && sids.elevated && MoveAside(path) &&
        CreatePrivateFolder(path, &sids))
        g_workingFolderHandle = OpenTrustedFolder(path, &sids, TRUE);
    return g_workingFolderHandle != INVALID_HANDLE_VALUE;
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
    if (!MakeWorkingFolder()) {
        ReportError("Could not to create temp dir in unpacker's WinMain", NULL, FALSE, TRUE, "\r\n");
        return 0;
    }
    DeleteFileA(g_logPath);  // the only place an old log goes

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
