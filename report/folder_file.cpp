#include "report/folder_file.h"

#include <winternl.h>

#ifndef FILE_OPEN_REPARSE_POINT
#define FILE_OPEN_REPARSE_POINT 0x00200000
#endif

// NtCreateFile of name relative to folder; the Win32 error on failure.
// FILE_NON_DIRECTORY_FILE unless options say FILE_DIRECTORY_FILE.
static HANDLE OpenRelative(HANDLE folder, LPCSTR name, DWORD access, DWORD share, ULONG disposition, ULONG options,
                           ULONG_PTR* information, PSECURITY_DESCRIPTOR descriptor = NULL)
{
    // The names are the unpacker's own, in ASCII.
    WCHAR wide[MAX_PATH];
    int length = 0;
    while (length < MAX_PATH - 1 && name[length])
        wide[length] = (BYTE)name[length], ++length;
    UNICODE_STRING unicode = {(USHORT)(length * sizeof(WCHAR)), (USHORT)(length * sizeof(WCHAR)), wide};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, folder, descriptor);
    IO_STATUS_BLOCK status;
    HANDLE file;
    NTSTATUS result = NtCreateFile(&file, access | SYNCHRONIZE, &attributes, &status, NULL, FILE_ATTRIBUTE_NORMAL, share,
                                   disposition,
                                   options | (options & FILE_DIRECTORY_FILE ? 0 : FILE_NON_DIRECTORY_FILE) |
                                       FILE_SYNCHRONOUS_IO_NONALERT,
                                   NULL, 0);
    if (!NT_SUCCESS(result)) {
        SetLastError(RtlNtStatusToDosError(result));
        return INVALID_HANDLE_VALUE;
    }
    *information = status.Information;
    return file;
}

HANDLE OpenInFolder(HANDLE folder, LPCSTR name, DWORD access, DWORD share, DWORD disposition)
{
    // CreateFileA's dispositions in the system's own terms.
    static const ULONG kDisposition[] = {FILE_OPEN, FILE_CREATE, FILE_OVERWRITE_IF, FILE_OPEN, FILE_OPEN_IF};
    ULONG_PTR information = 0;
    HANDLE file = OpenRelative(folder, name, access, share, kDisposition[disposition <= OPEN_ALWAYS ? disposition : 0],
                               0, &information);
    if (file != INVALID_HANDLE_VALUE)
        SetLastError(information == FILE_OVERWRITTEN || (information == FILE_OPENED && disposition == OPEN_ALWAYS)
                         ? ERROR_ALREADY_EXISTS
                         : ERROR_SUCCESS);
    return file;
}

HANDLE CreateFolderIn(HANDLE parent, LPCSTR name, PSECURITY_DESCRIPTOR descriptor)
{
    ULONG_PTR information;
    return OpenRelative(parent, name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                        FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &information, descriptor);
}

BOOL SameText(LPCWSTR a, LPCWSTR b, int count)
{
    for (; count--; ++a, ++b) {
        WCHAR x = (unsigned)(*a - L'a') < 26u ? *a - 32 : *a, y = (unsigned)(*b - L'a') < 26u ? *b - 32 : *b;
        if (x != y)
            return FALSE;
        if (!x)
            return TRUE;
    }
    return TRUE;
}

BOOL SameName(LPCWSTR a, LPCWSTR b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

// Appends text and a backslash (unless it ends in one) to the path of
// length characters (-1: to its end) in a buffer of 2 * MAX_PATH; the new
// length, 0 when it does not fit.
static int Append(LPWSTR path, int length, LPCWSTR text)
{
    if (length < 0)
        for (length = 0; path[length]; ++length) {
        }
    while (*text && length < 2 * MAX_PATH - 2)
        path[length++] = *text++;
    if (*text)
        return 0;
    if (!length || path[length - 1] != L'\\')
        path[length++] = L'\\';
    path[length] = L'\0';
    return length;
}

LPWSTR PlainPath(HANDLE handle, LPWSTR path)
{
    DWORD length = GetFinalPathNameByHandleW(handle, path, 2 * MAX_PATH - 2, FILE_NAME_NORMALIZED);
    if (!length || length >= 2 * MAX_PATH - 2 || !Append(path, length, L""))
        return NULL;
    // "\\?\C:\..." or "\\?\UNC\server\..." as a plain path.
    if (!SameText(path, L"\\\\?\\UNC\\", 8))
        return path + 4;
    path[6] = L'\\';
    return path + 6;
}

BOOL LongName(LPCWSTR name, LPWSTR longName)
{
    BOOL shortNames = FALSE;
    int length = 0;
    for (; name[length] && length < 2 * MAX_PATH - 1; ++length) {
        shortNames = shortNames || name[length] == L'~';
        longName[length] = name[length];
    }
    longName[length] = L'\0';
    if (shortNames)
        length = (int)GetLongPathNameW(name, longName, 2 * MAX_PATH);
    return length > 0 && length < 2 * MAX_PATH - 1;
}

BOOL IsOwnPath(LPCSTR path, HANDLE handle)
{
    WCHAR given[MAX_PATH], longForm[2 * MAX_PATH], final[2 * MAX_PATH];
    LPWSTR plain = PlainPath(handle, final);
    // Exactly: in a folder that tells case apart, "TEMP" may be a link to
    // "temp".
    return plain && MultiByteToWideChar(CP_ACP, 0, path, -1, given, MAX_PATH) > 0 && LongName(given, longForm) &&
           Append(longForm, -1, L"") && SameName(longForm, plain);
}

HANDLE OpenFolderIn(HANDLE parent, LPCSTR name)
{
    ULONG_PTR information;
    HANDLE folder = OpenRelative(parent, name, GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                 FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &information);
    if (folder == INVALID_HANDLE_VALUE)
        return folder;
    WCHAR parentPath[2 * MAX_PATH], folderPath[2 * MAX_PATH], wide[MAX_PATH];
    LPWSTR expected = PlainPath(parent, parentPath), found = PlainPath(folder, folderPath);
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide, MAX_PATH);
    BY_HANDLE_FILE_INFORMATION info;
    if (!expected || !found || !Append(expected, -1, wide) || !SameText(expected, found, -1) ||
        !GetFileInformationByHandle(folder, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY) {
        CloseHandle(folder);
        SetLastError(ERROR_DIRECTORY);
        return INVALID_HANDLE_VALUE;
    }
    return folder;
}

BOOL RenameInFolder(HANDLE file, HANDLE folder, LPCSTR name)
{
    // FILE_RENAME_INFORMATION with room for a name.
    struct {
        BOOLEAN ReplaceIfExists;
        HANDLE RootDirectory;
        ULONG FileNameLength;
        WCHAR FileName[MAX_PATH];
    } rename;
    rename.ReplaceIfExists = FALSE;
    rename.RootDirectory = folder;
    ULONG length = 0;
    while (length < MAX_PATH && name[length])
        rename.FileName[length] = (BYTE)name[length], ++length;
    rename.FileNameLength = length * sizeof(WCHAR);
    IO_STATUS_BLOCK status;
    NTSTATUS result = NtSetInformationFile(file, &status, &rename, sizeof rename, FileRenameInformation);
    if (!NT_SUCCESS(result))
        SetLastError(RtlNtStatusToDosError(result));
    return NT_SUCCESS(result);
}

BOOL PathLeadsTo(LPCSTR path, HANDLE folder)
{
    for (LPCSTR p = path; *p; ++p) {
        if ((p[0] == '.' || p[0] == ' ') && (p[1] == '\\' || p[1] == '/' || !p[1])) {
            SetLastError(ERROR_INVALID_NAME);
            return FALSE;
        }
    }
    BY_HANDLE_FILE_INFORMATION theirs, ours;
    HANDLE found = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    BOOL same = found != INVALID_HANDLE_VALUE && GetFileInformationByHandle(found, &theirs) &&
                GetFileInformationByHandle(folder, &ours) && theirs.dwVolumeSerialNumber == ours.dwVolumeSerialNumber &&
                theirs.nFileIndexHigh == ours.nFileIndexHigh && theirs.nFileIndexLow == ours.nFileIndexLow;
    if (found != INVALID_HANDLE_VALUE)
        CloseHandle(found);
    if (!same)
        SetLastError(ERROR_FILE_INVALID);
    return same;
}

HANDLE ReopenFolder(HANDLE folder, DWORD access, DWORD share)
{
    ULONG_PTR information;
    return OpenRelative(folder, "", access, share, FILE_OPEN, FILE_DIRECTORY_FILE, &information);
}

BOOL DeleteInFolder(HANDLE folder, LPCSTR name)
{
    ULONG_PTR information;
    HANDLE file = OpenRelative(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                               FILE_DELETE_ON_CLOSE | FILE_OPEN_REPARSE_POINT, &information);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    CloseHandle(file);
    return TRUE;
}
