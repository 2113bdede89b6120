#include "extract/view_file.h"

#include "extract/fault_guard.h"
#include "extract/payload_digest.h"
#include "report/folder_file.h"
#include "report/report_error.h"

FILETIME g_creationTime;
FILETIME g_lastAccessTime;
FILETIME g_lastWriteTime;

static void ReportFileError(LPCSTR message, LPCSTR name)
{
    ReportError(message, name, TRUE, TRUE, "\r\n");
}

static const char kNoFile[] = "Could not create file in unpacker's GetViewFile";

// The file's own name in its folder: what follows the last backslash.
static LPCSTR Leaf(LPCSTR name)
{
    LPCSTR leaf = name;
    for (LPCSTR p = name; *p; ++p)
        if (*p == '\\')
            leaf = p + 1;
    return leaf;
}

// CreateFileA, or its like through the held folder.
static HANDLE Open(HANDLE folder, LPCSTR name, DWORD access, DWORD share, DWORD disposition)
{
    if (folder)
        return OpenInFolder(folder, Leaf(name), access, share, disposition);
    return CreateFileA(name, access, share, NULL, disposition, 0, NULL);
}

// The second stage's file, made anew in the held folder through its guard
// and its writer (see HoldWrittenFile). An old file that cannot be deleted
// is a failed open.
static HANDLE OpenHeld(HANDLE folder, LPCSTR name, DWORD access, HeldFile* held)
{
    HANDLE guard = INVALID_HANDLE_VALUE, writer = INVALID_HANDLE_VALUE;
    if (DeleteInFolder(folder, Leaf(name)) || GetLastError() == ERROR_FILE_NOT_FOUND)
        guard = Open(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_NEW);
    if (guard != INVALID_HANDLE_VALUE)
        writer = ReOpenFile(guard, access, FILE_SHARE_READ | FILE_SHARE_DELETE, 0);
    if (writer == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (guard != INVALID_HANDLE_VALUE)
            CloseHandle(guard);
        SetLastError(error);
        ReportFileError(kNoFile, name);
        return INVALID_HANDLE_VALUE;
    }
    held->guard = guard;
    held->writer = writer;
    return writer;
}

static HANDLE OpenForView(LPSTR name, DWORD access, DWORD disposition, const ViewFileOptions* options)
{
    HANDLE folder = options ? options->folder : NULL;
    HANDLE file = Open(folder, name, access, FILE_SHARE_READ, disposition);
    if (file != INVALID_HANDLE_VALUE)
        return file;
    // The name may be held by another process (an earlier copy of the same
    // file still open, say): use the name with "~~" instead, once.
    if ((!options || options->retryName) && lstrlenA(name) + 2 < MAX_PATH) {
        lstrcatA(name, "~~");
        file = Open(folder, name, access, FILE_SHARE_READ, disposition);
    }
    if (file == INVALID_HANDLE_VALUE)
        ReportFileError(kNoFile, name);
    return file;
}

LPVOID MapFileWindow(HANDLE mapping, DWORD access, DWORD offset, DWORD length, LPCSTR name)
{
    LPVOID view = MapViewOfFile(mapping, (access & GENERIC_WRITE) ? FILE_MAP_WRITE : FILE_MAP_READ, 0, offset, length);
    if (!view)
        ReportFileError("Could not create map view file in dialog's GetViewFile", name);
    return view;
}

static LPVOID MapFirstWindow(LPSTR name, DWORD* size, DWORD access, DWORD disposition, BOOL captureTimes,
                             BOOL applyTimes, const ViewFileOptions* options)
{
    HeldFile* held = options ? options->held : NULL;
    HANDLE file = held ? OpenHeld(options->folder, name, access, held) : OpenForView(name, access, disposition, options);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;

    // With CREATE_ALWAYS the file has just been emptied, so this is the size
    // asked for. Mappings take the low 32 bits: files stay under 4 GB.
    *size += GetFileSize(file, NULL);

    // A file of size 0 has nothing to map (and no mapping can be made of it).
    HANDLE mapping = *size ? CreateFileMappingA(file, NULL, (access & GENERIC_WRITE) ? PAGE_READWRITE : PAGE_READONLY,
                                                0, *size, NULL)
                           : NULL;

    // The times go on while the file is open and before anything is written
    // through the view.
    if (captureTimes && !GetFileTime(file, &g_creationTime, &g_lastAccessTime, &g_lastWriteTime))
        ReportFileError("Could not to call GetFileTime in GetViewFile", name);
    if (applyTimes && !SetFileTime(file, &g_creationTime, &g_lastAccessTime, &g_lastWriteTime))
        ReportFileError("Could not to call SetFileTime in GetViewFile", name);
    HANDLE* keep = options ? options->file : NULL;
    if (keep)
        *keep = file;
    else if (!held)
        CloseHandle(file);

    if (!*size)
        return name;
    if (!mapping) {
        ReportFileError("Could not create map file in dialog's GetViewFile", name);
        return NULL;
    }
    LPVOID view = MapFileWindow(mapping, access, 0, *size < kViewWindow ? *size : kViewWindow, name);
    if (view && options && options->mapping)
        *options->mapping = mapping;
    else
        CloseHandle(mapping);
    return view;
}

LPVOID GetViewFile(LPSTR name, DWORD* size, DWORD access, DWORD disposition, BOOL captureTimes,
                   BOOL applyTimes, const ViewFileOptions* options)
{
    FaultGuard guard;
    if (FaultGuardTry(&guard)) {
        LPVOID view = MapFirstWindow(name, size, access, disposition, captureTimes, applyTimes, options);
        FaultGuardLeave(&guard);
        return view;
    }
    ReportFileError("Unexpected error in dialog's GetViewFile", name);
    ExitThread((DWORD)-1);
}

// The file's digest (payload_digest.h), read from the start through file;
// FALSE when it cannot be had (the last error says why).
static BOOL Digest(HANDLE file, BYTE* digest)
{
    const DWORD kPiece = 64 << 10;
    BYTE* buffer = (BYTE*)HeapAlloc(GetProcessHeap(), 0, kPiece);
    if (!buffer) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    Blake2s state;
    Blake2sBegin(&state);
    DWORD read;
    BOOL ok;
    while ((ok = ReadFile(file, buffer, kPiece, &read, NULL)) && read > 0)
        Blake2sAdd(&state, buffer, read);
    Blake2sEnd(&state, digest);
    DWORD error = GetLastError();  // the failing read's, kept through the clean-up
    HeapFree(GetProcessHeap(), 0, buffer);
    SetLastError(error);
    return ok;
}

BOOL HoldWrittenFile(HeldFile* held, LPCSTR name)
{
    BYTE written[kDigestSize], found[kDigestSize];
    BOOL ok = Digest(held->writer, written);
    CloseHandle(held->writer);
    held->writer = NULL;
    if (ok) {
        HANDLE reader = ReOpenFile(held->guard, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, 0);
        ok = reader != INVALID_HANDLE_VALUE;
        held->reader = ok ? reader : NULL;
    }
    ok = ok && Digest(held->reader, found);
    if (ok)
        SetLastError(ERROR_FILE_INVALID);  // if they differ: written to by someone else
    for (int i = 0; ok && i < kDigestSize; ++i)
        ok = written[i] == found[i];
    if (!ok) {
        ReportFileError(kNoFile, name);
        ReleaseHeldFile(held);
    }
    return ok;
}

void ReleaseHeldFile(HeldFile* held)
{
    HANDLE* handles[] = {&held->writer, &held->reader, &held->guard};
    for (HANDLE* handle : handles) {
        if (*handle)
            CloseHandle(*handle);
        *handle = NULL;
    }
}
