#include "tests/support/windows_test.h"

#include "demo/dc_pixels.h"

#include <algorithm>
#include <tlhelp32.h>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

// Runs the Unix program command names, on Unix paths, and waits, up to
// five seconds, until done() holds. Wine's start.exe starts it, and ends
// once it has: a 32-bit program that starts a Unix program itself was seen
// to lose its desktop and its session's named objects afterwards, now and
// then (a second copy no longer saw the first's mutex).
static void RunUnix(const std::string& command, const std::function<bool()>& done)
{
    std::string line = "start.exe /exec " + command;
    STARTUPINFOA startup = {sizeof startup};
    PROCESS_INFORMATION process;
    if (CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup, &process)) {
        WaitForSingleObject(process.hProcess, 5000);
        CloseHandle(process.hThread), CloseHandle(process.hProcess);
    }
    for (int i = 0; i < 500 && !done(); ++i)
        Sleep(10);
}

// path's Unix path, as Wine maps it.
static std::string UnixPath(const std::string& path)
{
    typedef char*(CDECL * ToUnix)(LPCWSTR);
    ToUnix toUnix = (ToUnix)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    char* unix = toUnix ? toUnix(Wide(path).c_str()) : NULL;
    std::string result = unix ? unix : "";
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

void UnixLink(const std::string& folder, const std::string& target, const std::string& name, const std::string& there)
{
    RunUnix("Z:\\bin\\ln -sfn " + target + " " + UnixPath(folder + name),
            [&] { return Exists(folder + name + "\\" + there); });
}

void UnixUnlink(const std::string& folder, const std::string& name)
{
    RunUnix("Z:\\bin\\rm " + UnixPath(folder + name), [&] {
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((folder + name).c_str(), &found);
        return find == INVALID_HANDLE_VALUE || !FindClose(find);
    });
}

std::string Here()
{
    char self[MAX_PATH];
    return std::string(self, GetModuleFileNameA(NULL, self, MAX_PATH)).substr(0, strrchr(self, '\\') - self + 1);
}

std::string Scratch(const std::string& tag)
{
    // A name of eight characters, its own short (8.3) form: a long name
    // gets a short one that Wine makes by hashing, shared by chance with
    // other folders of the same start, and a path through it could lead
    // into another run's folder. Process ids come back, and a folder an
    // earlier run could not remove stays: take only a new one.
    static unsigned counter;
    for (;;) {
        char name[16];
        snprintf(name, sizeof name, "%c%07X", toupper(tag[0]), (GetCurrentProcessId() * 4096 + ++counter) & 0xFFFFFFF);
        std::string folder = (fs::temp_directory_path() / name).string();
        if (CreateDirectoryA(folder.c_str(), NULL))
            return folder + "\\";
    }
}

// Through \\?\ paths, which take each name as it stands: a plain path
// would name a folder "t." as "t". A link is removed, not followed.
static void RemoveAll(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
            if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L".."))
                RemoveAll(path + L"\\" + found.cFileName);
        if (find != INVALID_HANDLE_VALUE)
            FindClose(find);
        RemoveDirectoryW(path.c_str());
    } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(path.c_str()))
            RemoveDirectoryW(path.c_str());
    }
}

void RemoveTree(const std::string& folder)
{
    std::wstring path = Wide(folder);
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    RemoveAll(path.size() > 1 && path[1] == L':' ? L"\\\\?\\" + path : path);
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Through \\?\ paths too, so that a folder "t." is listed as itself.
static void ListTree(const std::wstring& root, const std::wstring& under, std::map<std::string, size_t>* tree)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((root + under + L"*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found)) {
        std::wstring name = under + found.cFileName;
        char utf8[4 * MAX_PATH];
        WideCharToMultiByte(CP_UTF8, 0, name.c_str(), -1, utf8, sizeof utf8, NULL, NULL);
        if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L".."))
            continue;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            (*tree)[utf8] = (size_t)(((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow);
            continue;
        }
        (*tree)[utf8 + std::string("\\")] = 0;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))  // a link is not followed
            ListTree(root, name + L"\\", tree);
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
}

std::map<std::string, size_t> Tree(const std::string& folder)
{
    std::map<std::string, size_t> tree;
    ListTree(folder.size() > 1 && folder[1] == ':' ? L"\\\\?\\" + Wide(folder) : Wide(folder), L"", &tree);
    return tree;
}

KeptTimes PlatformKeptTimes()
{
    // What the unpacker does: times set while the file is open and mapped,
    // then the view written.
    static const KeptTimes kept = [] {
        std::string folder = Scratch("times"), path = folder + "kept-times.bin";
        FILETIME t[3] = {Time(125000000000000001ull), Time(125000000100000002ull), Time(125000000200000003ull)};
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, 4096, NULL);
        SetFileTime(file, &t[0], &t[1], &t[2]);
        CloseHandle(file);
        BYTE* view = (BYTE*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
        CloseHandle(mapping);
        view[0] = view[4095] = 1;
        UnmapViewOfFile(view);
        WIN32_FILE_ATTRIBUTE_DATA after;
        GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &after);
        RemoveTree(folder);
        return KeptTimes{Value(after.ftCreationTime) == Value(t[0]), Value(after.ftLastAccessTime) == Value(t[1]),
                         Value(after.ftLastWriteTime) == Value(t[2])};
    }();
    return kept;
}

std::string SystemText(DWORD code, std::string* id)
{
    LPSTR text = NULL;
    SetLastError(code);
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL,
                   code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0, NULL);
    if (id)
        *id = std::to_string((int)GetLastError());
    std::string result = text ? text : "";
    LocalFree(text);
    return result;
}

std::string ErrorBox(const std::string& message, DWORD code)
{
    std::string id, text = SystemText(code, &id);
    return message + "\r\n" + text + "\r\nError ID: " + id;
}

// The standard icon a box shows. Another process's icon handle means
// nothing here, so the pixels on the screen are compared with each
// standard icon drawn on the same background.
static UINT IconOf(HWND box)
{
    static const struct {
        LPCSTR id;
        UINT style;
    } kIcons[] = {{IDI_HAND, MB_ICONERROR}, {IDI_ASTERISK, MB_ICONINFORMATION},
                  {IDI_EXCLAMATION, MB_ICONWARNING}, {IDI_QUESTION, MB_ICONQUESTION}};
    HWND control = GetWindow(box, GW_CHILD);
    while (control && !(IsWindowVisible(control) && SendMessageA(control, STM_GETICON, 0, 0)))
        control = GetWindow(control, GW_HWNDNEXT);
    if (!control)
        return 0;
    int width = GetSystemMetrics(SM_CXICON), height = GetSystemMetrics(SM_CYICON);
    RECT at, all = {0, 0, width, height};
    GetWindowRect(control, &at);
    for (int attempt = 0; attempt < 50; ++attempt, Sleep(20)) {  // it may not be painted yet
        UpdateWindow(box);
        HDC screen = GetDC(NULL), memory = CreateCompatibleDC(screen);
        std::vector<DWORD> shown = DcPixels(screen, at.left, at.top, width, height);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
        HGDIOBJ old = SelectObject(memory, bitmap);
        HBRUSH brush = CreateSolidBrush(shown[0] & 0xFFFFFF);
        UINT found = 0;
        for (const auto& icon : kIcons) {
            FillRect(memory, &all, brush);
            DrawIconEx(memory, 0, 0, LoadIconA(NULL, icon.id), 0, 0, 0, NULL, DI_NORMAL | DI_DEFAULTSIZE);
            if (!found && DcPixels(memory, 0, 0, width, height) == shown)
                found = icon.style;
        }
        DeleteObject(brush), SelectObject(memory, old), DeleteObject(bitmap), DeleteDC(memory), ReleaseDC(NULL, screen);
        if (found)
            return found;
    }
    return (UINT)-1;  // an icon, but no standard one
}

static std::string TextOf(HWND window)
{
    char text[4096] = "";
    return window && GetWindowTextA(window, text, sizeof text) ? text : "";
}

static BOOL CALLBACK Visit(HWND window, LPARAM p)
{
    auto* w = (BoxWatcher*)p;
    DWORD pid = 0;
    char className[16] = "";
    GetWindowThreadProcessId(window, &pid);
    GetClassNameA(window, className, sizeof className);
    if (pid != w->processId || lstrcmpA(className, "#32770") || !IsWindowVisible(window) ||
        !GetDlgItem(window, IDOK) || std::count(w->seen.begin(), w->seen.end(), window))
        return TRUE;
    Box box = {TextOf(window), TextOf(GetDlgItem(window, 0xFFFF)), IconOf(window)};
    w->seen.push_back(window);
    w->open.push_back(window);
    {
        std::lock_guard<std::mutex> hold(w->lock);
        w->boxes.push_back(box);
    }
    if (w->onBox)
        w->onBox(window, box);
    return TRUE;
}

BoxWatcher::BoxWatcher(DWORD id, bool answerBoxes) : processId(id), answer(answerBoxes)
{
    thread = std::thread([this] {
        for (; !stop; Sleep(20)) {
            seen.erase(std::remove_if(seen.begin(), seen.end(), [](HWND h) { return !IsWindow(h); }), seen.end());
            EnumWindows(Visit, (LPARAM)this);  // a closed box's handle may come back
            for (size_t i = 0; answer && i < open.size(); ++i)
                PostMessageA(open[i], WM_COMMAND, IDOK, 0);
            if (answer)
                open.clear();
        }
    });
}

BoxWatcher::~BoxWatcher()
{
    stop = 1;
    thread.join();
}

std::vector<Box> BoxWatcher::Boxes()
{
    std::lock_guard<std::mutex> hold(lock);
    return boxes;
}

bool BoxWatcher::WaitFor(size_t count, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); Boxes().size() < count; Sleep(20))
        if (GetTickCount() - start > timeoutMs)
            return false;
    return true;
}

std::wstring Wide(const std::string& utf8)
{
    std::wstring wide(utf8.size() + 1, L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], (int)wide.size()) - 1);
    return wide;
}

bool Installer::Start(const std::string& exe, const std::string& temp, bool answer, bool elevated)
{
    std::wstring environment, line = L"\"" + Wide(exe) + L"\"";
    LPWCH block = GetEnvironmentStringsW();
    for (LPWCH p = block; *p; p += lstrlenW(p) + 1)
        if (_wcsnicmp(p, L"TMP=", 4) && _wcsnicmp(p, L"TEMP=", 5))
            environment += p + std::wstring(1, L'\0');
    FreeEnvironmentStringsW(block);
    environment += L"TMP=" + Wide(temp) + L'\0' + L"TEMP=" + Wide(temp) + L'\0';
    STARTUPINFOW startup = {sizeof startup};
    // Unelevated, as a user starts a program: with the token that this
    // elevated one is linked to (Wine gives every process an elevated
    // token, and a linked one that is not).
    HANDLE token = NULL;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size;
    if (!elevated && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size);
    BOOL started = CreateProcessAsUserW(linked.LinkedToken, Wide(exe).c_str(), &line[0], NULL, NULL, FALSE,  // none: ours
                                        CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, &environment[0], NULL, &startup, &process);
    CloseHandle(token), CloseHandle(linked.LinkedToken);
    if (!started)
        return false;
    boxes.reset(new BoxWatcher(process.dwProcessId, answer));
    return true;
}

static BOOL CALLBACK AddWindow(HWND window, LPARAM p)
{
    auto* s = (std::pair<DWORD, std::string*>*)p;
    DWORD pid = 0, thread = GetWindowThreadProcessId(window, &pid);
    char title[256] = "", type[64] = "";
    if (pid == s->first && IsWindowVisible(window) && GetClassNameA(window, type, sizeof type) >= 0 &&
        GetWindowTextA(window, title, sizeof title) >= 0)
        *s->second += "window \"" + std::string(title) + "\" (" + type + ") of thread " + std::to_string(thread) + "\n";
    return TRUE;
}

std::string Installer::Snapshot()
{
    std::string out;
    for (const Box& box : boxes->Boxes())
        out += "box \"" + box.caption + "\": " + box.text + "\n";
    std::pair<DWORD, std::string*> seen(process.dwProcessId, &out);
    EnumWindows(AddWindow, (LPARAM)&seen);
    // Its threads, with the time each has run: one that no longer gains any waits.
    HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 t = {sizeof t};
    for (BOOL more = Thread32First(threads, &t); more; more = Thread32Next(threads, &t)) {
        HANDLE thread = t.th32OwnerProcessID == process.dwProcessId ? OpenThread(THREAD_QUERY_INFORMATION, FALSE, t.th32ThreadID) : NULL;
        FILETIME created, exited, kernel, user;
        if (thread && GetThreadTimes(thread, &created, &exited, &kernel, &user))
            out += "thread " + std::to_string(t.th32ThreadID) + ": " + std::to_string((Value(kernel) + Value(user)) / 10000) + " ms run\n";
        CloseHandle(thread);
    }
    CloseHandle(threads);
    return out;
}

Installer::~Installer()
{
    if (!process.hProcess)
        return;
    if (!Wait(0))
        TerminateProcess(process.hProcess, 0xDEAD);
    Wait(INFINITE);
    boxes.reset();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}
