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

// Deletes name in the folder held by folder, as DeleteFileA would (a link
// named so is deleted itself, not what it leads to). FALSE on failure, the
// last error saying why (ERROR_FILE_NOT_FOUND when there is none).
BOOL DeleteInFolder(HANDLE folder, LPCSTR name);

#endif
