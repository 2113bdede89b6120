// Paths that the system gives in Unicode, in the ANSI code page that the
// unpacker works in.
#ifndef EXTRACT_SYSTEM_PATH_H
#define EXTRACT_SYSTEM_PATH_H

#include <windows.h>

// Converts path into the MAX_PATH buffer ansi, in the ANSI code page, never
// with a '?' or a best-fit look-alike (which would name another file, or
// put a quotation mark into a command line) for a character that the code
// page lacks: whole when it converts exactly; else its short (8.3) form,
// which Windows gives such names on its system drive, when that converts
// exactly. FALSE otherwise, ansi empty and the last error
// ERROR_NO_UNICODE_TRANSLATION: the path is unusable.
BOOL SystemPathToAnsi(LPCWSTR path, LPSTR ansi);

// The first step alone: path whole and exactly in the code page, or FALSE.
BOOL ConvertsExactly(LPCWSTR path, LPSTR ansi);

#endif
