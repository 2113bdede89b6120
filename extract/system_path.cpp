#include "extract/system_path.h"

BOOL ConvertsExactly(LPCWSTR path, LPSTR ansi)
{
    BOOL replaced = FALSE;
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path, -1, ansi, MAX_PATH, NULL, &replaced) > 0 &&
           !replaced;
}

BOOL SystemPathToAnsi(LPCWSTR path, LPSTR ansi)
{
    WCHAR shortForm[MAX_PATH];
    DWORD length;
    if (ConvertsExactly(path, ansi) ||
        ((length = GetShortPathNameW(path, shortForm, MAX_PATH)) > 0 && length < MAX_PATH &&
         ConvertsExactly(shortForm, ansi)))
        return TRUE;
    ansi[0] = '\0';
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return FALSE;
}
