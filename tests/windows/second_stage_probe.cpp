// A second stage for the tests: it records what it was given and what it
// finds, as "<its own file name>.report" in its current directory:
//
//   command=<its command line>
//   directory=<its current directory>
//   dialog=gone|present      the window "Veltrano Setup"
//   parent=waiting|ended     the process that started it
//   files=<name>|<name>|...  the files in its current directory
//   end=<FILETIME>           just before its primary thread ends
//
// It stays 500 ms between the last two lines, so that a parent that does
// not wait for it would be seen ending first.
#include <windows.h>
#include <tlhelp32.h>

#include <string>

static std::string ParentState()
{
    DWORD self = GetCurrentProcessId(), parent = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (entry.th32ProcessID == self)
            parent = entry.th32ParentProcessID;
    CloseHandle(snapshot);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, parent);
    if (!process)
        return "ended";
    bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running ? "waiting" : "ended";
}

static std::string Files()
{
    std::string list;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("*", &found);
    if (search == INVALID_HANDLE_VALUE)
        return list;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            list += (list.empty() ? "" : "|") + std::string(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return list;
}

static void Append(const std::string& path, const std::string& text)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    DWORD written;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
}

int main()
{
    char module[MAX_PATH], directory[MAX_PATH];
    GetModuleFileNameA(NULL, module, MAX_PATH);
    GetCurrentDirectoryA(MAX_PATH, directory);
    std::string name = module;
    name = name.substr(name.find_last_of('\\') + 1);
    // In the folder's short form: the folder may be as long as MAX_PATH allows.
    char shortDirectory[MAX_PATH];
    if (!GetShortPathNameA(directory, shortDirectory, MAX_PATH))
        lstrcpyA(shortDirectory, directory);
    std::string report = std::string(shortDirectory) + "\\" + name + ".report";

    std::string text = "command=" + std::string(GetCommandLineA()) + "\n";
    text += "directory=" + std::string(directory) + "\n";
    text += std::string("dialog=") + (FindWindowA(NULL, "Veltrano Setup") ? "present" : "gone") + "\n";
    text += "parent=" + ParentState() + "\n";
    text += "files=" + Files() + "\n";
    Append(report, text);
    Sleep(500);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG value = ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
    Append(report, "end=" + std::to_string(value) + "\n");
    return 0;
}
