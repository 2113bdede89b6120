#include "tests/support/child_process.h"

// This process's environment with the given variables set or replaced, as
// an environment block.
static std::string EnvironmentBlock(const std::map<std::string, std::string>& changes)
{
    std::string block;
    LPCH current = GetEnvironmentStringsA();
    for (LPCH p = current; *p; p += lstrlenA(p) + 1) {
        std::string entry = p;
        size_t equals = entry.find('=', 1);
        std::string name = entry.substr(0, equals);
        bool replaced = false;
        for (const auto& change : changes)
            replaced = replaced || lstrcmpiA(change.first.c_str(), name.c_str()) == 0;
        if (!replaced)
            block += entry + '\0';
    }
    FreeEnvironmentStringsA(current);
    for (const auto& change : changes)
        block += change.first + "=" + change.second + '\0';
    return block + '\0';
}

bool ChildProcess::Start(const std::string& application, const std::string& commandLine,
                         const std::map<std::string, std::string>& environment, bool answerBoxes)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string line = commandLine;
    std::string block = EnvironmentBlock(environment);
    if (!CreateProcessA(application.c_str(), &line[0], NULL, NULL, FALSE, CREATE_SUSPENDED,
                        environment.empty() ? NULL : &block[0], NULL, &startup, &process_))
        return false;
    watcher_.reset(new MessageBoxWatcher(process_.dwProcessId, answerBoxes));
    return true;
}

ChildProcess::~ChildProcess()
{
    if (!process_.hProcess)
        return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.hProcess, 0xDEAD);
        WaitForSingleObject(process_.hProcess, INFINITE);
    }
    watcher_.reset();
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

void ChildProcess::Resume()
{
    ResumeThread(process_.hThread);
}

bool ChildProcess::WaitForExit(DWORD timeoutMs)
{
    return WaitForSingleObject(process_.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const
{
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

ULONGLONG ChildProcess::ExitTime() const
{
    FILETIME creation, exit, kernel, user;
    GetProcessTimes(process_.hProcess, &creation, &exit, &kernel, &user);
    return ((ULONGLONG)exit.dwHighDateTime << 32) | exit.dwLowDateTime;
}

ChildRun RunChild(const std::string& application, const std::string& commandLine,
                  const std::function<void(const PROCESS_INFORMATION&)>& beforeResume, DWORD timeoutMs,
                  const std::map<std::string, std::string>& environment)
{
    ChildRun run;
    ChildProcess child;
    if (!child.Start(application, commandLine, environment))
        return run;
    run.started = true;
    if (beforeResume)
        beforeResume(child.Info());
    child.Resume();
    run.ended = child.WaitForExit(timeoutMs);
    run.exitCode = run.ended ? child.ExitCode() : 0xDEAD;
    run.boxes = child.Boxes().Boxes();
    return run;
}

std::string ThisProgramsFolder()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}
