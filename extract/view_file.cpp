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

LPVOID MapFileWindow(HANDLE mapping, DWORD access, DWORD offset, DWORD length, LPCSTR name)
{
    LPVOID view = MapViewOfFile(mapping, (access & GENERIC_WRITE) ? FILE_MAP_WRITE : FILE_MAP_READ, 0, offset, length);
    if (!view)
        ReportFileError("Could not create map view file in dialog's GetViewFile", name);
    return view;
}

static LPVOID MapFirstWindow(LPSTR name, DWORD* size, DWORD access, DWORD disposition,
                             BOOL captureTimes, BOOL applyTimes, BOOL retryName, HANDLE* mappingOut)
{
    HANDLE file = OpenForView(name, access, disposition, retryName);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;

    // With CREATE_ALWAYS the file has just been emptied, so this is the size
    // asked for. Mappings take the low 32 bits: files stay under 4 GB.
    *size += GetFileSize(file, NULL);

    HANDLE mapping = CreateFileMappingA(file, NULL, (access & GENERIC_WRITE) ? PAGE_READWRITE : PAGE_READONLY,
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
    LPVOID view = MapFileWindow(mapping, access, 0, *size < kViewWindow ? *size : kViewWindow, name);
    if (view && mappingOut)
        *mappingOut = mapping;
    else
        CloseHandle(mapping);
    return view;
}

LPVOID GetViewFile(LPSTR name, DWORD* size, DWORD access, DWORD disposition,
                   BOOL captureTimes, BOOL applyTimes, BOOL retryName, HANDLE* mapping)
{
    FaultGuard guard;
    if (FaultGuardTry(&guard)) {
        LPVOID view = MapFirstWindow(name, size, access, disposition, captureTimes, applyTimes, retryName, mapping);
        FaultGuardLeave(&guard);
        return view;
    }
    ReportFileError("Unexpected error in dialog's GetViewFile", name);
    ExitThread((DWORD)-1);
}
