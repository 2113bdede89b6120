// Files of the working folder, opened through the folder's held handle
// rather than by a path: whatever a path to the folder leads to meanwhile
// (a link pointed elsewhere, a folder renamed in its place), a file opened
// here is one of the folder's. The lowest floor: the log, the extraction
// and the hand-off all open the folder's files through it.
#ifndef REPORT_FOLDER_FILE_H
#define REPORT_FOLDER_FILE_H

#include <windows.h>

// Opens name, a file name without a path, in the folder that folder (a
// handle of that folder) holds, as CreateFileA would open
// "<folder>\<name>": access, share and disposition (CREATE_NEW,
// CREATE_ALWAYS, OPEN_EXISTING or OPEN_ALWAYS) mean what they mean there,
// the handle is for synchronous reads and writes, and the last error is
// ERROR_ALREADY_EXISTS when CREATE_ALWAYS or OPEN_ALWAYS found the file.
// INVALID_HANDLE_VALUE on failure, the last error saying why.
HANDLE OpenInFolder(HANDLE folder, LPCSTR name, DWORD access, DWORD share, DWORD disposition);

// Creates name as a folder in the folder that parent holds, with the
// security descriptor given, and opens it as the working folder is held
// (read, sharing read and write): the handle is the folder this call made,
// whatever its path leads to a moment later. INVALID_HANDLE_VALUE on
// failure (ERROR_ALREADY_EXISTS when something has the name).
HANDLE CreateFolderIn(HANDLE parent, LPCSTR name, PSECURITY_DESCRIPTOR descriptor);

// Whether the first count characters of a and b (count < 0: all of them)
// are the same, ASCII letters in either case (others must match exactly).
BOOL SameText(LPCWSTR a, LPCWSTR b, int count);

// Whether a and b are the same, exactly (case too).
BOOL SameName(LPCWSTR a, LPCWSTR b);

// The final path of what handle holds, every link resolved, as a plain
// path ("C:\...\" or "\\server\share\...\") ending in a backslash, in path
// (2 * MAX_PATH characters). NULL when it cannot be had.
LPWSTR PlainPath(HANDLE handle, LPWSTR path);

// name into longName (2 * MAX_PATH characters) with its short (8.3) parts
// in their long forms, where it holds any (a '~'); else as it stands (the
// long form of a name is looked up, and a lookup that ignores case may give
// a twin's). FALSE when it cannot be had or does not fit.
BOOL LongName(LPCWSTR name, LPWSTR longName);

// Whether the ANSI path, its parts in their long forms, is what handle
// holds by its own path, exactly (case too): a path that leads there
// through no link.
BOOL IsOwnPath(LPCSTR path, HANDLE handle);

// Opens name, a folder that is there already, in the folder that parent
// holds, as the working folder is held (read and delete, sharing read and
// write), without following a link: on Windows the handle is what has the
// name, a junction or symbolic link itself where one is. Wine follows Unix
// links all the same, so the handle must also be the one its path names:
// the parent's final path with name after it. ERROR_DIRECTORY when what
// has the name is no folder of that path; INVALID_HANDLE_VALUE on failure.
HANDLE OpenFolderIn(HANDLE parent, LPCSTR name);

// Renames what file holds (opened with DELETE access) to name in the folder
// that folder holds, replacing nothing: no path is looked up but name
// relative to the held folder. FALSE on failure, the last error saying why.
BOOL RenameInFolder(HANDLE file, HANDLE folder, LPCSTR name);

// Whether the ANSI path leads to what folder holds, as a program started
// there, its current folder and its command line would see it: no part of
// it ends in a dot or a blank (Windows drops those from every part of a
// path it is given, so that "t.\x" names "t\x", another folder), and
// opening it by that path gives the same folder (volume and index). FALSE,
// the last error ERROR_INVALID_NAME or ERROR_FILE_INVALID, when it does not.
BOOL PathLeadsTo(LPCSTR path, HANDLE folder);

// Opens the folder that folder holds once more, with access and share.
// Sharing everything, a handle that lets others delete and rename what is
// in it, and the folder itself, while no folder above it can be renamed
// (NTFS renames no folder below which something is open).
// INVALID_HANDLE_VALUE on failure, the last error saying why.
HANDLE ReopenFolder(HANDLE folder, DWORD access, DWORD share);

// Deletes name in the folder held by folder, as DeleteFileA would (a link
// named so is deleted itself, not what it leads to). FALSE on failure, the
// last error saying why (ERROR_FILE_NOT_FOUND when there is none).
BOOL DeleteInFolder(HANDLE folder, LPCSTR name);

#endif
