// The unpacker's entry: one copy at a time, the working folder, the
// progress dialog, extraction on the worker thread, then the hand-off.
#include "report/report_error.h"
#include "unpacker/main_dialog.h"
#include "unpacker/process_state.h"
#include "unpacker/second_stage.h"

#include <aclapi.h>
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

// The SIDs that may own the working folder and have access to one it
// creates: the current user, SYSTEM and the Administrators group.
struct TrustedSids {
    union {
        TOKEN_USER user;
        BYTE userBuffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    };
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE administrators[SECURITY_MAX_SID_SIZE];
};

static BOOL GetTrustedSids(TrustedSids* sids)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return FALSE;
    DWORD size = sizeof sids->userBuffer;
    BOOL ok = GetTokenInformation(token, TokenUser, sids->userBuffer, size, &size);
    CloseHandle(token);
    size = sizeof sids->system;
    ok = ok && CreateWellKnownSid(WinLocalSystemSid, NULL, sids->system, &size);
    size = sizeof sids->administrators;
    return ok && CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, sids->administrators, &size);
}

// Creates the folder with a protected DACL: full control for the three
// trusted SIDs, inherited by all inside, nothing from the parent (a shared
// temporary folder such as C:\Windows\Temp lets everyone in).
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
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    return ok && CreateDirectoryA(folder, &attributes);
}

// An existing working folder is used only when it is a real folder (no
// file, no junction or symbolic link that would lead the log's deletion and
// the outputs elsewhere) owned by one of the trusted SIDs.
static BOOL IsTrustedFolder(LPCSTR folder, TrustedSids* sids)
{
    DWORD attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FALSE;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    DWORD error = GetNamedSecurityInfoA(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL,
                                        &descriptor);
    BOOL trusted = error == ERROR_SUCCESS && owner &&
                   (EqualSid(owner, sids->user.User.Sid) || EqualSid(owner, sids->system) ||
                    EqualSid(owner, sids->administrators));
    LocalFree(descriptor);
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_INVALID_OWNER);
    return trusted;
}

// Creates g_workingFolder, or checks the one that is there.
static BOOL MakeWorkingFolder()
{
    TrustedSids sids;
    if (!GetTrustedSids(&sids))
        return FALSE;
    if (!CreatePrivateFolder(g_workingFolder, &sids) && GetLastError() != ERROR_ALREADY_EXISTS)
        return FALSE;
    return IsTrustedFolder(g_workingFolder, &sids);
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
