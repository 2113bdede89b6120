// GetViewFile: every file the extraction reads or writes, as one view.
#ifndef EXTRACT_VIEW_FILE_H
#define EXTRACT_VIEW_FILE_H

#include <windows.h>

// Files are mapped a window at a time, so that a 32-bit process holds a
// few windows at most whatever the files' sizes (its address space has no
// room for a view of a whole file of a GB or more). A test build makes the
// window small to take every window path with small files. Windows start
// at multiples of the system's allocation granularity, 64 KB.
#ifndef SETUP_VIEW_WINDOW
#define SETUP_VIEW_WINDOW (64u << 20)
#endif
enum : DWORD { kViewWindow = SETUP_VIEW_WINDOW, kViewAlignment = 64u << 10 };
static_assert(kViewWindow % kViewAlignment == 0 && kViewWindow >= 2 * kViewAlignment, "a window of whole granules");

// Opens (or creates) a file, sizes its mapping and maps its first window:
// the whole file when it is at most kViewWindow bytes.
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
// mapping      NULL: the mapping handle is closed before the call returns;
//              else it is handed to the caller, who maps the file's further
//              windows with MapFileWindow and closes it.
//
// Returns the view of the first min(size, kViewWindow) bytes, which the
// caller releases with UnmapViewOfFile; the file handle is closed before
// it returns. Returns NULL after
// reporting (logged and shown, the name as detail) when the file cannot be
// opened, mapped or viewed; failing to read or set the times is reported
// and the call goes on.
//
// A fault anywhere inside is reported as "Unexpected error in dialog's
// GetViewFile" and ends the calling thread with exit code -1: the call does
// not return then. The worker thread is its only caller.
LPVOID GetViewFile(LPSTR name, DWORD* size, DWORD access, DWORD disposition,
                   BOOL captureTimes, BOOL applyTimes, BOOL retryName = TRUE, HANDLE* mapping = NULL);

// The length bytes at offset (a multiple of kViewAlignment) of a mapping
// that GetViewFile handed out, writable or not as access says; NULL after
// the report GetViewFile makes when a view cannot be mapped (name as detail).
LPVOID MapFileWindow(HANDLE mapping, DWORD access, DWORD offset, DWORD length, LPCSTR name);

#endif
