// Runs a real program as a child process, answering its message boxes.
#pragma once

#include "message_box_watcher.h"

#include <functional>
#include <string>
#include <vector>

struct ChildRun {
    bool started = false;
    bool ended = false;      // false: killed after the timeout
    DWORD exitCode = 0;
    std::vector<CapturedBox> boxes;  // in the order the child showed them
};

// Starts application with commandLine (which includes argv[0]) suspended,
// calls beforeResume with the new process, lets it run while a watcher
// reads and answers its message boxes, and waits up to timeoutMs for it.
ChildRun RunChild(const std::string& application, const std::string& commandLine,
                  const std::function<void(const PROCESS_INFORMATION&)>& beforeResume = {},
                  DWORD timeoutMs = 60000);

// The folder of the running test program, ending in "\".
std::string ThisProgramsFolder();
