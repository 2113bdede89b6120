// GetViewFile: every file the extraction reads or writes, as one view.
#ifndef EXTRACT_VIEW_FILE_H
#define EXTRACT_VIEW_FILE_H

#include <windows.h>

// Opens (or creates) a file and maps all of it into memory.
//
// name         the caller's MAX_PATH buffer. If the file cannot be opened
//              under its name and retryName is set, "~~" is appended in
//              place and that name is tried once; afterwards the buffer
//              holds the name really used. A name longer than 257
//              characters has no room for the suffix and fails as if the
//              second open had failed.
// size         in: bytes wanted beyond the file's present size (0 to map it
//              as it is); out: the present size plus that, the size of the
//              mapping and so of the file, which grows to it.
// access       GENERIC_READ (read-only view) or GENERIC_READ | GENERIC_WRITE
//              (writable view).
// disposition  OPEN_EXISTING or CREATE_ALWAYS.
// captureTimes non-zero: copy the file's three times into g_creationTime,
//              g_lastAccessTime and g_lastWriteTime.
// applyTimes   non-zero: give the file those three times (after capturing,
//              when both are set).
// retryName    non-zero (the default): try the name with "~~" when the name
//              itself cannot be opened. The second stage has no such
//              fallback: the hand-off starts it by its own name.
//
// Returns the view, which the caller releases with UnmapViewOfFile; the
// file and mapping handles are closed before it returns. Returns NULL after
// reporting (logged and shown, the name as detail) when the file cannot be
// opened, mapped or viewed; failing to read or set the times is reported
// and the call goes on.
//
// A fault anywhere inside is reported as "Unexpected error in dialog's
// GetViewFile" and ends the calling thread with exit code -1: the call does
// not return then. The worker thread is its only caller.
LPVOID GetViewFile(LPSTR name, DWORD* size, DWORD access, DWORD disposition,
                   BOOL captureTimes, BOOL applyTimes, BOOL retryName = TRUE);

#endif
