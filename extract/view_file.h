// GetViewFile: every file the extraction reads or writes, as one view.
#ifndef EXTRACT_VIEW_FILE_H
#define EXTRACT_VIEW_FILE_H

#include <windows.h>

// The times that the next extracted file receives. Worker thread only:
// ExtractFiles fills them from a record header, GetViewFile applies them to
// the new file (or captures a file's times into them).
extern FILETIME g_creationTime;
extern FILETIME g_lastAccessTime;
extern FILETIME g_lastWriteTime;

// KVFiles1.tmp, held from its creation until the second stage's process
// exists (see HoldWrittenFile). reader is set only when the whole file was
// written and found unchanged.
struct HeldFile {
    HANDLE guard;   // DELETE access, sharing read and write: no rename, no delete
    HANDLE writer;  // read and write, sharing read and delete, while it is filled
    HANDLE reader;  // read, sharing read and delete, once it is whole
};

// What GetViewFile is told beyond its first six arguments; NULL for none
// of it (the file opened by its name, with the "~~" fallback).
//
// folder     a handle of the folder that name lies in: the file is opened
//            through it (see report/folder_file.h), name's last part alone,
//            and never by the path. NULL: by name.
// retryName  non-zero: try the name with "~~" when the name itself cannot
//            be opened. Neither the executable's own file nor the second
//            stage has such a fallback (the one is read as itself, the
//            other started by its own name), nor any file of an elevated
//            run, whose folder only it may write.
// mapping    non-NULL: the mapping handle is handed to the caller, who maps
//            the file's further windows with MapFileWindow and closes it;
//            else it is closed before the call returns.
// file       non-NULL: the file handle stays open and is handed to the
//            caller, who closes it; else it is closed before the call
//            returns. The executable's own file is kept so, opened sharing
//            reading only: while it is open nobody can write it.
// held       non-NULL for the second stage, which lies in folder: the file
//            is made anew under its name (an old one is deleted first; one
//            that cannot be is a failed open), through the guard and writer handles of held,
//            which stay open (see HoldWrittenFile); disposition and
//            retryName are not used then.
struct ViewFileOptions {
    HANDLE folder;
    BOOL retryName;
    HANDLE* mapping;
    HANDLE* file;
    HeldFile* held;
};

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
// name         the caller's MAX_PATH buffer, the file's full name (the one
//              reports give). If the file cannot be opened under it and
//              options allow, "~~" is appended in place and that name is
//              tried once; afterwards the buffer holds the name really
//              used. A name longer than 257 characters has no room for the
//              suffix and fails as if the second open had failed.
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
// options      see ViewFileOptions.
//
// Returns the view of the first min(size, kViewWindow) bytes, which the
// caller releases with UnmapViewOfFile; for a file of size 0, which has
// nothing to map, name itself (no view: nothing to read, write or release;
// the file is made, with its times, all the same). Returns NULL after
// reporting (logged and shown, the name as detail) when the file cannot be
// opened, mapped or viewed; failing to read or set the times is reported
// and the call goes on.
//
// A fault anywhere inside is reported as "Unexpected error in dialog's
// GetViewFile" and ends the calling thread with exit code -1: the call does
// not return then. The worker thread is its only caller.
LPVOID GetViewFile(LPSTR name, DWORD* size, DWORD access, DWORD disposition, BOOL captureTimes,
                   BOOL applyTimes, const ViewFileOptions* options = NULL);

// The length bytes at offset (a multiple of kViewAlignment) of a mapping
// that GetViewFile handed out, writable or not as access says; NULL after
// the report GetViewFile makes when a view cannot be mapped (name as detail).
LPVOID MapFileWindow(HANDLE mapping, DWORD access, DWORD offset, DWORD length, LPCSTR name);

// The second stage, from its creation until the hand-off has started it.
//
// No other process may write, rename, delete or replace KVFiles1.tmp in that
// time. The system runs a program only when no handle has it open for
// writing, and no handle that forbids writing can be opened while one that
// writes is open: so no single handle both fills the file and keeps others
// from writing it up to the start, and between closing the writer and
// opening the reader there is an instant, which an attacker can widen (an
// opportunistic lock holds up an open for as long as its owner likes).
// Three handles keep what that instant allows to a write that is found:
// - the guard is the file's first handle (a new file, made by CREATE_NEW),
//   with DELETE access only and sharing read and write, open up to the
//   start: from the file's creation on no other process can rename, delete
//   or replace it (each needs DELETE access, which its sharing refuses),
//   and the system's own open to run it (read and execute, sharing read and
//   delete) passes it;
// - the writer and the reader are opened from the guard's handle, never by
//   name again, so they are the guard's file wherever its name points;
// - the writer (read and write, sharing read and delete) is opened at once
//   after the guard; a process that opened the file for writing in between
//   makes that open fail, and the record with it;
// - the reader (read, sharing read and delete) replaces the writer: from
//   then on nobody else can write. A process that opened the file for
//   writing in the instant between them makes the reader's open fail; one
//   that wrote and closed again changes the file's digest, which is read
//   through the writer before it closes and through the reader after it
//   opens. Either fails the record, and the hand-off starts nothing.
// The working folder is held too, and the file is made through it.
//
// HoldWrittenFile runs once the caller has unmapped every view of the file.
// FALSE after a report (the file's name as detail); held is then released.
BOOL HoldWrittenFile(HeldFile* held, LPCSTR name);

// Closes what held has open and empties it.
void ReleaseHeldFile(HeldFile* held);

#endif
