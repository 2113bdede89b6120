// The working folder: made private (elevated, labelled) or taken only when
// it can be trusted, and held from then on.
#include "unpacker/working_folder.h"

#include "unpacker/process_state.h"

#include "extract/payload_format.h"
#include "extract/system_path.h"
#include "report/folder_file.h"

#include <aclapi.h>
#include <intrin.h>
#include <winternl.h>

#ifndef FILE_REMOTE_DEVICE
#define FILE_REMOTE_DEVICE 0x00000010
#endif

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
    if (!OpenProcessToken((HANDLE)-1, TOKEN_QUERY, &token))  // this process
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

// Creates the working folder in the folder parent holds, with a protected
// DACL: full control for the three trusted SIDs, inherited by all inside,
// nothing from the parent (a shared temporary folder such as
// C:\Windows\Temp lets everyone in). Elevated, it also gets the high
// label: no process below high integrity can write, delete or rename
// anything in it, whatever the DACL says. Made and opened in one call (see
// CreateFolderIn). INVALID_HANDLE_VALUE on failure (ERROR_ALREADY_EXISTS
// when something has the name).
static HANDLE CreatePrivateFolder(HANDLE parent, TrustedSids* sids)
{
    DWORD aclBuffer[128];  // 3 ACEs of at most 8 + 68 bytes, and the header
    ACL* acl = (ACL*)aclBuffer;
    PSID trusted[3] = {sids->user.User.Sid, sids->system, sids->administrators};
    BOOL ok = InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION);
    // Elevated, the user's own (unelevated) programs may read and no more:
    // the label keeps them from writing, but not from deleting a file
    // through the folder's right to delete its children.
    for (int i = 0; i < 3; ++i)
        ok = ok && AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                         i == 0 && sids->elevated ? FILE_GENERIC_READ | FILE_GENERIC_EXECUTE : FILE_ALL_ACCESS,
                                         trusted[i]);
    SECURITY_DESCRIPTOR descriptor;
    ok = ok && InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
         SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    ok = ok && (!sids->elevated || SetSecurityDescriptorSacl(&descriptor, TRUE, (PACL)kHighLabel, FALSE));
    return ok ? CreateFolderIn(parent, kWorkingFolderName, &descriptor) : INVALID_HANDLE_VALUE;
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

// Whether handle, a held folder (sharing read and write but not delete:
// while it is open nobody can rename, delete or replace the folder, and its
// files are opened through it), is a plain folder, seen so by the handle,
// owned by a trusted SID (the user alone if userOnly) and, if checkLabel,
// carrying the high label. Elevated, only on a local disk: a file system
// someone else serves (a share, say) keeps none of the rules the defences
// rest on, and reports what it likes. FALSE, the last error saying why.
static BOOL TrustFolder(HANDLE handle, TrustedSids* sids, BOOL checkLabel, BOOL userOnly)
{
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
    IO_STATUS_BLOCK status;
    FILE_FS_DEVICE_INFORMATION device = {};
    if (sids->elevated && error == ERROR_SUCCESS &&
        (NtQueryVolumeInformationFile(handle, &status, &device, sizeof device, FileFsDeviceInformation) ||
         (device.DeviceType != FILE_DEVICE_DISK && device.DeviceType != FILE_DEVICE_DISK_FILE_SYSTEM) ||
         (device.Characteristics & FILE_REMOTE_DEVICE)))
        error = ERROR_NOT_SUPPORTED;
    BOOL trusted = error == ERROR_SUCCESS && owner &&
                   (EqualSid(owner, sids->user.User.Sid) ||
                    (!userOnly && (EqualSid(owner, sids->system) || EqualSid(owner, sids->administrators)))) &&
                   (!checkLabel || HasHighLabel(sacl));
    LocalFree(descriptor);
    SetLastError(trusted ? ERROR_SUCCESS : error != ERROR_SUCCESS ? error : ERROR_INVALID_OWNER);
    return trusted;
}

// handle when TrustFolder trusts it; else closed, INVALID_HANDLE_VALUE.
static HANDLE KeepIfTrusted(HANDLE handle, TrustedSids* sids, BOOL checkLabel, BOOL userOnly)
{
    if (TrustFolder(handle, sids, checkLabel, userOnly))
        return handle;
    if (handle != INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
    }
    return INVALID_HANDLE_VALUE;
}

// Opens a folder by its path, held, if it can be trusted (TrustFolder).
// Only a plain folder reached by no link is taken: the link itself is
// opened where one is (Windows), and what was opened must have that path
// as its own (Wine follows Unix links all the same).
static HANDLE OpenTrustedFolder(LPCSTR path, TrustedSids* sids, BOOL checkLabel, BOOL userOnly)
{
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle != INVALID_HANDLE_VALUE && !IsOwnPath(path, handle)) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    return KeepIfTrusted(handle, sids, checkLabel, userOnly);
}

// Sets folder, an untrusted working folder that OpenFolderIn opened in
// parent, aside under a new name in parent, untouched: nothing that an
// unelevated program may have put there is deleted, read or run. Renamed
// through its handle, relative to the held parent: no path is looked up
// again, so no link switched meanwhile can make this move anything else.
static BOOL SetAside(HANDLE folder, HANDLE parent)
{
    char aside[MAX_PATH];
    wsprintfA(aside, "%s.%lu", kWorkingFolderName, (DWORD)__rdtsc());  // a number that differs between runs
    return RenameInFolder(folder, parent, aside);
}

// g_launchFolder, the working folder's path as the second stage is started
// in it (see second_stage.cpp), from base, the path of parent that TMP
// gave, ending in a backslash: base itself where it leads to parent with no
// link on the way (the common case: nothing changes), else parent's own
// path with every link resolved. It must lead to parent as it stands
// (PathLeadsTo): a name that Windows would read as another's (a part ending
// in a dot) is refused here, before anything is made. FALSE, the last error
// saying why, when there is no such path.
static BOOL FindLaunchFolder(LPCSTR base, HANDLE parent)
{
    WCHAR final[2 * MAX_PATH];
    LPWSTR plain;
    char launch[MAX_PATH];
    if (IsOwnPath(base, parent))
        lstrcpynA(launch, base, MAX_PATH);
    else if (!(plain = PlainPath(parent, final)) || !SystemPathToAnsi(plain, launch))
        return FALSE;
    // The working folder's name and, in the command line, "KVFiles1.tmp -0" must fit after it.
    if (lstrlenA(launch) + lstrlenA(kWorkingFolderName) + 1 + lstrlenA(kSecondStageName) + 3 >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    if (!PathLeadsTo(launch, parent))
        return FALSE;
    wsprintfA(g_launchFolder, "%s%s\\", launch, kWorkingFolderName);
    return TRUE;
}

BOOL MakeWorkingFolder(BOOL* elevated)
{
    TrustedSids sids;
    if (!GetTrustedSids(&sids))
        return FALSE;
    *elevated = sids.elevated;
    // The temporary folder, the working folder's parent: by its path, or
    // the current folder when there is none.
    char path[MAX_PATH];
    lstrcpynA(path, g_workingFolder, lstrlenA(g_workingFolder) - lstrlenA(kWorkingFolderName));
    HANDLE parent = CreateFileA(path[0] ? path : ".", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (parent == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)  // for the working folder: its path is not found
            SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (FindLaunchFolder(path, parent)) {
        HANDLE made = CreatePrivateFolder(parent, &sids);
        if (made != INVALID_HANDLE_VALUE) {
            g_workingFolderHandle = KeepIfTrusted(made, &sids, FALSE, FALSE);
        } else if (GetLastError() == ERROR_ALREADY_EXISTS) {
            // Opened through the held parent, never followed through a
            // link; elevated, only a folder an elevated run labelled, and a
            // plain folder of another is set aside through its handle.
            HANDLE existing = OpenFolderIn(parent, kWorkingFolderName);
            if (TrustFolder(existing, &sids, sids.elevated, FALSE)) {
                g_workingFolderHandle = existing;
            } else if (existing != INVALID_HANDLE_VALUE) {
                DWORD error = GetLastError();
                BOOL aside = sids.elevated && SetAside(existing, parent);
                CloseHandle(existing);
                SetLastError(error);
                if (aside)
                    g_workingFolderHandle = KeepIfTrusted(CreatePrivateFolder(parent, &sids), &sids, FALSE, FALSE);
            }
        }
    }
    DWORD error = GetLastError();
    CloseHandle(parent);
    SetLastError(error);
    return g_workingFolderHandle != INVALID_HANDLE_VALUE;
}

void DistrustWorkingFolder()
{
    BYTE label[sizeof kHighLabel];
    CopyMemory(label, kHighLabel, sizeof label);
    label[25] = 0x20;  // S-1-16-0x2000: medium
    HANDLE folder = ReopenFolder(g_workingFolderHandle, WRITE_OWNER, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (folder != INVALID_HANDLE_VALUE) {
        SetSecurityInfo(folder, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, NULL, NULL, NULL, (PACL)label);
        CloseHandle(folder);
    }
}

HANDLE OpenUsersFolder(LPCSTR path)
{
    TrustedSids sids;
    if (!GetTrustedSids(&sids))
        return INVALID_HANDLE_VALUE;
    return OpenTrustedFolder(path, &sids, FALSE, TRUE);
}
