// Reads and answers the real message boxes that a process shows.
//
// A watcher thread looks for visible top-level dialog windows (class
// "#32770") of the watched process, records what the user would see in each
// (caption, text, icon) and answers it with OK. Tests then assert on exactly
// that. Without it a box would block the test for good.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct CapturedBox {
    std::string caption;
    std::string text;
    UINT icon;  // MB_ICONERROR, MB_ICONINFORMATION, MB_ICONWARNING,
                // MB_ICONQUESTION, or 0 when the box shows none
};

class MessageBoxWatcher {
public:
    // Watches the given process (by default this one) until destroyed.
    // With answer false, boxes are recorded but left open until
    // AnswerAll().
    explicit MessageBoxWatcher(DWORD processId = GetCurrentProcessId(), bool answer = true);
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    // The boxes answered so far, in the order they appeared.
    std::vector<CapturedBox> Boxes() const;

    // Waits until at least count boxes have been seen; false on timeout.
    bool WaitForBoxes(size_t count, DWORD timeoutMs = 20000) const;

    // Answers the boxes left open so far, and every box from now on.
    void AnswerAll();

    // Called on the watcher's thread with each new box, before it is
    // answered (set it before the process shows any). Whatever it posts to
    // the box goes first.
    std::function<void(HWND, const CapturedBox&)> onBox;

private:
    static DWORD WINAPI Run(LPVOID self);
    static BOOL CALLBACK VisitWindow(HWND window, LPARAM self);
    void Answer(HWND box);

    DWORD processId_;
    volatile LONG answer_;
    HANDLE thread_ = nullptr;
    HANDLE stop_ = nullptr;
    mutable CRITICAL_SECTION lock_;
    std::vector<CapturedBox> boxes_;
    std::vector<HWND> seen_;      // boxes recorded that may still exist
    std::vector<HWND> open_;      // boxes recorded but not answered yet
};

// "Error", "<message>\r\n<system text>\r\nError ID: <id>": what ReportError
// shows for an error code on this platform, with the ID read after the
// lookup as ReportError reads it.
std::string ExpectedErrorBoxText(const std::string& message, DWORD code);

// The error ID that ReportError logs for an error code on this platform.
std::string ExpectedErrorId(DWORD code);

// True when the system has a message text for code.
bool SystemHasText(DWORD code);
