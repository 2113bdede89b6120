// The demo's second stage: what an installer's real second stage would be
// started with, written to demo_report.txt in its current directory (the
// working folder), for the demo to print.
#include <windows.h>

#include <stdio.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char directory[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, directory);
    FILE* report = fopen("demo_report.txt", "w");
    if (!report)
        return 1;
    fprintf(report, "command line:      %s\n", GetCommandLineA());
    fprintf(report, "current directory: %s\n", directory);
    fprintf(report, "progress dialog:   %s\n", FindWindowA(NULL, "Veltrano Setup") ? "still open" : "closed");
    fprintf(report, "files found:\n");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("*", &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            SYSTEMTIME written;
            FileTimeToSystemTime(&found.ftLastWriteTime, &written);
            fprintf(report, "  %-16s %10lu bytes, last written %04u-%02u-%02u %02u:%02u:%02u UTC\n", found.cFileName,
                    found.nFileSizeLow, written.wYear, written.wMonth, written.wDay, written.wHour, written.wMinute,
                    written.wSecond);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    fclose(report);
    return 0;
}
