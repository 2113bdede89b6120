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
