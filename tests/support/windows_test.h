// What the Windows tests share: scratch files, the message boxes a process
// shows (read as the user sees them and answered), and installers started
// as the user starts them.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

std::string Here();  // the test program's folder, ending in "\"
std::string Scratch(const std::string& tag);  // a new empty folder under TEMP, ending in "\"
void RemoveTree(const std::string& folder);
std::string ReadAll(const std::string& path);  // "" when it cannot be read
void WriteAll(const std::string& path, const std::string& bytes);
inline bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
// Every file and folder below folder ("sub\" for a folder), with file sizes.
std::map<std::string, size_t> Tree(const std::string& folder);

std::wstring Wide(const std::string& utf8);

// A symbolic link named name in folder, leading to target, once it leads
// to there (a path below it); and the same removed (a dangling link stalls
// RemoveTree). Wine makes no links itself: it shows Unix ones, made here by
// Unix programs.
void UnixLink(const std::string& folder, const std::string& target, const std::string& name, const std::string& there);
void UnixUnlink(const std::string& folder, const std::string& name);

inline FILETIME Time(ULONGLONG value) { return {(DWORD)value, (DWORD)(value >> 32)}; }
inline ULONGLONG Value(const FILETIME& time) { return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime; }
// Which times set on a file before it is written through a view survive
// the writing: Windows keeps all three; Wine moves last access and last
// write and keeps no creation time.
struct KeptTimes { bool creation, lastAccess, lastWrite; };
KeptTimes PlatformKeptTimes();  // measured once per process

// The system's text for an error code ("" when it has none) and, as
// ReportError logs it, the ID: the last error after the lookup. ErrorBox:
// "<message>\r\n<system text>\r\nError ID: <id>", as ReportError shows it.
std::string SystemText(DWORD code, std::string* id = nullptr);
inline std::string ErrorId(DWORD code) { std::string id; SystemText(code, &id); return id; }
std::string ErrorBox(const std::string& message, DWORD code);

struct Box {
    std::string caption, text;
    UINT icon;  // MB_ICONERROR, MB_ICONINFORMATION, MB_ICONWARNING, MB_ICONQUESTION or 0
};

// Watches one process for dialogs with an OK button (message boxes, the
// folder dialog), records each as the user sees it and, unless told to
// wait, answers it with OK.
struct BoxWatcher {
    explicit BoxWatcher(DWORD processId = GetCurrentProcessId(), bool answer = true);
    ~BoxWatcher();
    std::vector<Box> Boxes();
    bool WaitFor(size_t count, DWORD timeoutMs = 20000);
    void AnswerAll() { answer = 1; }
    // Called on the watcher's thread with each new box before it is answered.
    std::function<void(HWND, const Box&)> onBox;

    DWORD processId;
    volatile LONG answer, stop = 0;
    std::mutex lock;
    std::thread thread;
    std::vector<Box> boxes;
    std::vector<HWND> seen, open;
};

// An installer started suspended with TMP and TEMP set to temp (both in
// UTF-8), unelevated unless told otherwise; killed if it still runs when
// destroyed.
struct Installer {
    bool Start(const std::string& exe, const std::string& temp, bool answer = true, bool elevated = false);
    void Resume() { ResumeThread(process.hThread); }
    bool Wait(DWORD timeoutMs) { return WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0; }
    DWORD ExitCode() { DWORD code = 0; return GetExitCodeProcess(process.hProcess, &code), code; }
    // What it shows and runs, for the report of a hang: the boxes it showed,
    // its windows (title, class, thread) and its threads (time each has run).
    std::string Snapshot();
    ~Installer();

    PROCESS_INFORMATION process = {};
    std::unique_ptr<BoxWatcher> boxes;
};
