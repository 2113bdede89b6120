#include "tests/support/message_box_watcher.h"

#include "tests/support/dc_pixels.h"

#include <algorithm>

MessageBoxWatcher::MessageBoxWatcher(DWORD processId, bool answer) : processId_(processId), answer_(answer)
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
        auto& seen = watcher->seen_;
        seen.erase(std::remove_if(seen.begin(), seen.end(), [](HWND w) { return !IsWindow(w); }), seen.end());
        EnumWindows(VisitWindow, (LPARAM)watcher);
        if (watcher->answer_) {
            for (HWND box : watcher->open_)
                PostMessageA(box, WM_COMMAND, IDOK, 0);
            watcher->open_.clear();
        }
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
    // A message box is a dialog with an OK button; the process's other
    // dialogs (a progress dialog, say) have none.
    if (pid == watcher->processId_ && lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window) &&
        GetDlgItem(window, IDOK) &&
        std::find(watcher->seen_.begin(), watcher->seen_.end(), window) == watcher->seen_.end())
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

struct StandardIcon {
    LPCSTR id;
    UINT style;
};
static const StandardIcon kStandardIcons[] = {{IDI_HAND, MB_ICONERROR},
                                              {IDI_ASTERISK, MB_ICONINFORMATION},
                                              {IDI_EXCLAMATION, MB_ICONWARNING},
                                              {IDI_QUESTION, MB_ICONQUESTION}};

// A standard icon drawn as a static control draws it: on the control's
// background, at the control's top left, at its own size.
static std::vector<DWORD> Reference(LPCSTR id, COLORREF background, int width, int height)
{
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    HBRUSH brush = CreateSolidBrush(background);
    RECT all = {0, 0, width, height};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, LoadIconA(nullptr, id), 0, 0, 0, NULL, DI_NORMAL | DI_DEFAULTSIZE);
    std::vector<DWORD> pixels = DcPixels(memory, 0, 0, width, height);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return pixels;
}

// The icon a box shows. In this process the icon handle tells which of the
// system's shared icons it is. Another process's icon handle means nothing
// here, so its pixels on the screen are compared with each standard icon
// drawn the same way.
struct IconSearch {
    HWND control = nullptr;
    HICON icon = nullptr;
};

static BOOL CALLBACK FindIconControl(HWND child, LPARAM p)
{
    HICON icon = (HICON)SendMessageA(child, STM_GETICON, 0, 0);
    if (icon && IsWindowVisible(child)) {
        reinterpret_cast<IconSearch*>(p)->control = child;
        reinterpret_cast<IconSearch*>(p)->icon = icon;
        return FALSE;
    }
    return TRUE;
}

static UINT BoxIcon(HWND box, bool sameProcess)
{
    IconSearch search;
    EnumChildWindows(box, FindIconControl, (LPARAM)&search);
    if (!search.icon)
        return 0;
    if (sameProcess) {
        for (const auto& i : kStandardIcons)
            if (LoadIconA(nullptr, i.id) == search.icon)
                return i.style;
        return (UINT)-1;  // an icon, but none of the standard ones
    }
    int width = GetSystemMetrics(SM_CXICON), height = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetWindowRect(search.control, &rect);
    // The box may not be painted yet: look again for a moment.
    for (int attempt = 0; attempt < 50; ++attempt) {
        UpdateWindow(box);
        HDC screen = GetDC(NULL);
        std::vector<DWORD> shown = DcPixels(screen, rect.left, rect.top, width, height);
        ReleaseDC(NULL, screen);
        for (const auto& i : kStandardIcons)
            if (Reference(i.id, shown[0] & 0xFFFFFF, width, height) == shown)
                return i.style;
        Sleep(20);
    }
    return (UINT)-1;
}

void MessageBoxWatcher::Answer(HWND box)
{
    CapturedBox captured;
    captured.caption = WindowText(box);
    captured.text = WindowText(GetDlgItem(box, 0xFFFF));
    captured.icon = BoxIcon(box, processId_ == GetCurrentProcessId());
    seen_.push_back(box);
    open_.push_back(box);
    EnterCriticalSection(&lock_);
    boxes_.push_back(captured);
    LeaveCriticalSection(&lock_);
    if (onBox)
        onBox(box, captured);
}

void MessageBoxWatcher::AnswerAll()
{
    InterlockedExchange(&answer_, 1);
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
