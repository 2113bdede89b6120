#include "message_box_watcher.h"

#include <algorithm>

MessageBoxWatcher::MessageBoxWatcher(DWORD processId) : processId_(processId)
{
    InitializeCriticalSection(&lock_);
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

MessageBoxWatcher::~MessageBoxWatcher()
{
    SetEvent(stop_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(stop_);
    DeleteCriticalSection(&lock_);
}

std::vector<CapturedBox> MessageBoxWatcher::Boxes() const
{
    EnterCriticalSection(&lock_);
    std::vector<CapturedBox> copy = boxes_;
    LeaveCriticalSection(&lock_);
    return copy;
}

bool MessageBoxWatcher::WaitForBoxes(size_t count, DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    while (Boxes().size() < count) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

DWORD WINAPI MessageBoxWatcher::Run(LPVOID self)
{
    auto* watcher = static_cast<MessageBoxWatcher*>(self);
    while (WaitForSingleObject(watcher->stop_, 20) == WAIT_TIMEOUT) {
        // Forget the boxes that have closed; their handles may come back.
        auto& answered = watcher->answered_;
        answered.erase(std::remove_if(answered.begin(), answered.end(),
                                      [](HWND w) { return !IsWindow(w); }),
                       answered.end());
        EnumWindows(VisitWindow, (LPARAM)watcher);
    }
    return 0;
}

BOOL CALLBACK MessageBoxWatcher::VisitWindow(HWND window, LPARAM self)
{
    auto* watcher = reinterpret_cast<MessageBoxWatcher*>(self);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (pid == watcher->processId_ && lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window) &&
        std::find(watcher->answered_.begin(), watcher->answered_.end(), window) == watcher->answered_.end())
        watcher->Answer(window);
    return TRUE;
}

static std::string WindowText(HWND window)
{
    int length = GetWindowTextLengthA(window);
    std::string text(length + 1, '\0');
    text.resize(GetWindowTextA(window, &text[0], length + 1));
    return text;
}

// The icon a box shows, told by which of the system's shared icons its
// static icon control holds.
static UINT BoxIcon(HWND box)
{
    struct Search {
        HICON found = nullptr;
    } search;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM p) -> BOOL {
            HICON icon = (HICON)SendMessageA(child, STM_GETICON, 0, 0);
            if (icon) {
                reinterpret_cast<Search*>(p)->found = icon;
                return FALSE;
            }
            return TRUE;
        },
        (LPARAM)&search);
    if (!search.found)
        return 0;
    const struct {
        LPCSTR id;
        UINT style;
    } icons[] = {{IDI_HAND, MB_ICONERROR},
                 {IDI_ASTERISK, MB_ICONINFORMATION},
                 {IDI_EXCLAMATION, MB_ICONWARNING},
                 {IDI_QUESTION, MB_ICONQUESTION}};
    for (const auto& i : icons)
        if (LoadIconA(nullptr, i.id) == search.found)
            return i.style;
    return (UINT)-1;  // an icon, but none of the standard ones
}

void MessageBoxWatcher::Answer(HWND box)
{
    CapturedBox captured;
    captured.caption = WindowText(box);
    captured.text = WindowText(GetDlgItem(box, 0xFFFF));
    captured.icon = BoxIcon(box);
    answered_.push_back(box);
    EnterCriticalSection(&lock_);
    boxes_.push_back(captured);
    LeaveCriticalSection(&lock_);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}

static const DWORD kLookupFlags =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;

static std::string LookUp(DWORD code, DWORD* idAfter)
{
    LPSTR text = nullptr;
    SetLastError(code);
    FormatMessageA(kLookupFlags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0,
                   nullptr);
    *idAfter = GetLastError();
    std::string result = text ? text : "";
    LocalFree(text);
    return result;
}

std::string ExpectedErrorBoxText(const std::string& message, DWORD code)
{
    DWORD id;
    std::string system = LookUp(code, &id);
    return message + "\r\n" + system + "\r\nError ID: " + std::to_string((int)id);
}

std::string ExpectedErrorId(DWORD code)
{
    DWORD id;
    LookUp(code, &id);
    return std::to_string((int)id);
}

bool SystemHasText(DWORD code)
{
    DWORD id;
    return !LookUp(code, &id).empty();
}
