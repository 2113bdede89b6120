// A second stage for the tests. It writes what it was given and what it
// finds to "<its own file name>.report" in the short form of its current
// directory (which may be as long as MAX_PATH allows):
//
//   command=<its command line>
//   directory=<its current directory>
//   dialog=gone|present      the window "Veltrano Setup"
//   end=<FILETIME>           500 ms later, just before it ends, so that a
//                            parent that does not wait is seen ending first
#include <windows.h>

#include <string>

int main()
{
    char module[MAX_PATH], directory[MAX_PATH], shortDirectory[MAX_PATH];
    GetModuleFileNameA(NULL, module, MAX_PATH);
    GetCurrentDirectoryA(MAX_PATH, directory);
    if (!GetShortPathNameA(directory, shortDirectory, MAX_PATH))
        lstrcpyA(shortDirectory, directory);
    std::string text = "command=" + std::string(GetCommandLineA()) + "\ndirectory=" + directory + "\ndialog=" +
                       (FindWindowA(NULL, "Veltrano Setup") ? "present" : "gone") + "\n";
    Sleep(500);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    text += "end=" + std::to_string(((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime) + "\n";
    std::string name = module;
    std::string report = std::string(shortDirectory) + "\\" + name.substr(name.find_last_of('\\') + 1) + ".report";
    HANDLE file = CreateFileA(report.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
    return 0;
}
