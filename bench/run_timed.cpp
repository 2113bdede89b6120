// Runs a program as the user starts it, waits for it and prints the
// seconds from its start to its end: the whole process, as a user waits
// for it (scripts/bench.sh compares installers with it).
//
//   run_timed.exe [--unelevated] [--temp DIR] PROGRAM [ARGUMENT...]
//
// --unelevated: with the token this one is linked to (Wine gives every
// process an elevated token, and a linked one that is not); --temp: TMP
// and TEMP set to DIR. Exit code: the program's, or 1 when it could not be
// started.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    bool unelevated = false;
    std::wstring temp, line;
    int i = 1;
    for (; i < argc && argv[i][0] == L'-'; ++i) {
        if (!wcscmp(argv[i], L"--unelevated"))
            unelevated = true;
        else if (!wcscmp(argv[i], L"--temp") && i + 1 < argc)
            temp = argv[++i];
    }
    if (i >= argc) {
        fprintf(stderr, "usage: run_timed.exe [--unelevated] [--temp DIR] PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    for (int j = i; j < argc; ++j) {  // quoted where it holds a blank (NSIS reads /D= unquoted)
        std::wstring word = argv[j];
        line += (j > i ? L" " : L"") + (word.find(L' ') == std::wstring::npos ? word : L"\"" + word + L"\"");
    }
    if (!temp.empty()) {
        SetEnvironmentVariableW(L"TMP", temp.c_str());
        SetEnvironmentVariableW(L"TEMP", temp.c_str());
    }
    HANDLE token = NULL;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size;
    if (unelevated && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size);
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessAsUserW(linked.LinkedToken, argv[i], &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                              &process)) {
        fprintf(stderr, "run_timed: could not start %ls (error %lu)\n", argv[i], GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    QueryPerformanceCounter(&end);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    printf("%.3f\n", (double)(end.QuadPart - start.QuadPart) / frequency.QuadPart);
    return (int)code;
}
