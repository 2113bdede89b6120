// ReportError: the one place where the unpacker records a failure.
#ifndef REPORT_REPORT_ERROR_H
#define REPORT_REPORT_ERROR_H

#include <windows.h>

enum {
    kLogLineSize = 1000,   // the log line's buffer, NUL included
    kErrorIdSize = 12      // "-2147483648" and its NUL
};

// The setup error log's name, in the working folder and in Documents.
static const char kLogName[] = "setup_error.log";

// Where the log is: kLogName in the folder that g_logFolder holds (the
// working folder, through its handle, see folder_file.h), or, while no
// folder is held (the tests of single routines), the file g_logPath. Both
// written by the front end on the main thread before the worker exists and
// before the first logged report; g_logPath, the log's full name, is also
// what the user is told. Read by ReportError on both threads and by the
// hand-off.
extern char g_logPath[MAX_PATH];
extern HANDLE g_logFolder;

// Turns the calling thread's last error into text and records it.
//
// message     what failed and where, e.g. "Could not create map file in
//             dialog's GetViewFile". Required.
// detail      the file involved, or NULL.
// log         non-zero: append "<message>. <detail> Error ID=<id>" (or
//             "<message>. Error ID=<id>" without a detail) and then
//             terminator to the log (see g_logFolder). The file is opened and closed for
//             each entry; if it cannot be opened or written, nothing else
//             happens.
// show        non-zero: when the system has a text for the error, show
//             "<message>\r\n<system text>\r\nError ID: <id>" in a box
//             captioned "Error" with the error icon, and wait for the user.
// terminator  written after the line; every caller passes "\r\n".
//
// The error ID is the last error as it stands after the system text has
// been looked up (the lookup itself may change it). A detail longer than
// 260 characters (a full-length path with the "~~" retry suffix) is still
// logged; if the line would outgrow its 1000-byte buffer, the detail's end
// is kept behind "...". The ID always ends the line in full.
//
// Either thread may call it; it never stops the program.
void ReportError(LPCSTR message, LPCSTR detail, BOOL log, BOOL show, LPCSTR terminator);

#endif
