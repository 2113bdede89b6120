#include "extract/view_file.h"

#include "report/report_error.h"
#include "unpacker/process_state.h"
#include "extract/fault_guard.h"

static void ReportFileError(LPCSTR message, LPCSTR name)
{
    ReportError(message, name, TRUE, TRUE, "\r\n");
}

static HANDLE OpenForView(LPSTR name, DWORD access, DWORD disposition, BOOL retryName)
{
    HANDLE file = CreateFileA(name, access, FILE_SHARE_READ, NULL, disposition, 0, NULL);
    if (file != INVALID_HANDLE_VALUE)
        return file;
    // The name may be held by another process (an earlier copy of the same
    // file still open, say): use the name with "~~" instead, once.
    if (retryName && lstrlenA(name) + 2 < MAX_PATH) {
        lstrcatA(name, "~~");
        file = CreateFileA(name, access, FILE_SHARE_READ, NULL, disposition, 0, NULL);
    }
    if (file == INVALID_HANDLE_VALUE)
        ReportFileError("Could not create file in unpacker's GetViewFile", name);
    return file;
}

static LPVOID MapWholeFile(LPSTR name, DWORD* size, DWORD access, DWORD disposition,
                           BOOL captureTimes, BOOL applyTimes, BOOL retryName)
{
    HANDLE file = OpenForView(name, access, disposition, retryName);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;

    // With CREATE_ALWAYS the file has just been emptied, so this is the size
    // asked for. Mappings take the low 32 bits: files stay under 4 GB.
    *size += GetFileSize(file, NULL);

    BOOL writable = (access & GENERIC_WRITE) != 0;
    HANDLE mapping = CreateFileMappingA(file, NULL, writable ? PAGE_READWRITE : PAGE_READONLY,
                                        0, *size, NULL);

    // The times go on while the file is open and before anything is written
    // through the view.
    if (captureTimes && !GetFileTime(file, &g_creationTime, &g_lastAccessTime, &g_lastWriteTime))
        ReportFileError("Could not to call GetFileTime in GetViewFile", name);
    if (applyTimes && !SetFileTime(file, &g_creationTime, &g_lastAccessTime, &g_lastWriteTime))
        ReportFileError("Could not to call SetFileTime in GetViewFile", name);
    CloseHandle(file);

    if (!mapping) {
        ReportFileError("Could not create map file in dialog's GetViewFile", name);
        return NULL;
    }
    LPVOID view = MapViewOfFile(mapping, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, 0);
    if (!view)
        ReportFileError("Could not create map view file in dialog's GetViewFile", name);
    CloseHandle(mapping);
    return view;
}

LPVOID GetViewFile(LPSTR name, DWORD* size, DWORD access, DWORD disposition,
                   BOOL captureTimes, BOOL applyTimes, BOOL retryName)
{
    FaultGuard guard;
    if (FaultGuardTry(&guard)) {
        LPVOID view = MapWholeFile(name, size, access, disposition, captureTimes, applyTimes, retryName);
        FaultGuardLeave(&guard);
        return view;
    }
    ReportFileError("Unexpected error in dialog's GetViewFile", name);
    ExitThread((DWORD)-1);
}
