#include "report/report_error.h"

#include "report/folder_file.h"

char g_logPath[MAX_PATH];
HANDLE g_logFolder;

// Appends as much of text as fits into a buffer of size bytes.
static void AppendBounded(LPSTR buffer, int size, LPCSTR text)
{
    int used = lstrlenA(buffer);
    if (used < size - 1)
        lstrcpynA(buffer + used, text, size - used);
}

// "<message>. [<detail> ]Error ID=<id>", never longer than the buffer. The
// callers' messages are short and their details at most 262 characters, so
// in practice nothing is cut; the bounds are for the detail that is not.
static void FormatLogLine(LPSTR line, LPCSTR message, LPCSTR detail, LPCSTR errorId)
{
    char idText[32];
    wsprintfA(idText, "Error ID=%s", errorId);
    int idLength = lstrlenA(idText);

    line[0] = '\0';
    AppendBounded(line, kLogLineSize - 2 - idLength, message);
    lstrcatA(line, ". ");
    if (detail) {
        // Characters left for the detail and the blank that follows it.
        int room = kLogLineSize - 1 - idLength - lstrlenA(line) - 1;
        int length = lstrlenA(detail);
        if (length <= room) {
            lstrcatA(line, detail);
            lstrcatA(line, " ");
        } else if (room > 3) {
            // The end of a path says most: keep it.
            lstrcatA(line, "...");
            lstrcatA(line, detail + length - (room - 3));
            lstrcatA(line, " ");
        }
    }
    lstrcatA(line, idText);
}

// Opened for appending: every write goes to the end, whoever wrote last.
static void AppendToLog(LPCSTR line, LPCSTR terminator)
{
    HANDLE log = g_logFolder ? OpenInFolder(g_logFolder, kLogName, FILE_APPEND_DATA, FILE_SHARE_READ, OPEN_ALWAYS)
                             : CreateFileA(g_logPath, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(log, line, (DWORD)lstrlenA(line), &written, NULL);
    WriteFile(log, terminator, (DWORD)lstrlenA(terminator), &written, NULL);
    CloseHandle(log);
}

static void ShowErrorBox(LPCSTR message, LPCSTR systemText, LPCSTR errorId)
{
    // Message, system text and ID, plus room for the separators.
    LPSTR text = (LPSTR)HeapAlloc(GetProcessHeap(), 0, lstrlenA(systemText) + lstrlenA(message) + 100);
    if (!text)
        return;
    wsprintfA(text, "%s\r\n%s\r\nError ID: %s", message, systemText, errorId);
    MessageBoxA(NULL, text, "Error", MB_ICONERROR);
    HeapFree(GetProcessHeap(), 0, text);
}

void ReportError(LPCSTR message, LPCSTR detail, BOOL log, BOOL show, LPCSTR terminator)
{
    LPSTR systemText = NULL;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   NULL, GetLastError(), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   (LPSTR)&systemText, 0, NULL);

    // Read again after the lookup, which may have changed it.
    char errorId[kErrorIdSize];
    wsprintfA(errorId, "%d", (int)GetLastError());

    if (log) {
        char line[kLogLineSize];
        FormatLogLine(line, message, detail, errorId);
        AppendToLog(line, terminator);
    }
    if (show && systemText)
        ShowErrorBox(message, systemText, errorId);
    LocalFree(systemText);
}
