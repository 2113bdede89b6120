#include "child_process.h"

ChildRun RunChild(const std::string& application, const std::string& commandLine,
                  const std::function<void(const PROCESS_INFORMATION&)>& beforeResume, DWORD timeoutMs)
{
    ChildRun run;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string line = commandLine;
    if (!CreateProcessA(application.c_str(), &line[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup,
                        &process))
        return run;
    run.started = true;
    {
        MessageBoxWatcher watcher(process.dwProcessId);
        if (beforeResume)
            beforeResume(process);
        ResumeThread(process.hThread);
        run.ended = WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
        if (!run.ended) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, INFINITE);
        }
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        run.boxes = watcher.Boxes();
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

std::string ThisProgramsFolder()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}
