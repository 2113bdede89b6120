// Runs a real program as a child process, answering its message boxes.
#pragma once

#include "tests/support/message_box_watcher.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// One child process with a watcher on its message boxes. Started suspended;
// ended (killed if need be) when destroyed.
class ChildProcess {
public:
    // environment: variables to set or replace in a copy of this process's
    // environment. answerBoxes: see MessageBoxWatcher.
    bool Start(const std::string& application, const std::string& commandLine,
               const std::map<std::string, std::string>& environment = {}, bool answerBoxes = true);
    ~ChildProcess();

    void Resume();
    bool WaitForExit(DWORD timeoutMs);  // false: still running
    DWORD ExitCode() const;
    ULONGLONG ExitTime() const;  // FILETIME value
    const PROCESS_INFORMATION& Info() const { return process_; }
    MessageBoxWatcher& Boxes() { return *watcher_; }

private:
    PROCESS_INFORMATION process_ = {};
    std::unique_ptr<MessageBoxWatcher> watcher_;
};

struct ChildRun {
    bool started = false;
    bool ended = false;      // false: killed after the timeout
    DWORD exitCode = 0;
    std::vector<CapturedBox> boxes;  // in the order the child showed them
};

// Starts application with commandLine (which includes argv[0]) suspended,
// calls beforeResume with the new process, lets it run while its message
// boxes are read and answered, and waits up to timeoutMs for it.
ChildRun RunChild(const std::string& application, const std::string& commandLine,
                  const std::function<void(const PROCESS_INFORMATION&)>& beforeResume = {},
                  DWORD timeoutMs = 60000, const std::map<std::string, std::string>& environment = {});

// The folder of the running test program, ending in "\".
std::string ThisProgramsFolder();
