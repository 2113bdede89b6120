#include "test_files.h"

#include "unpacker/process_state.h"

#include <stdexcept>

std::string MakeScratchFolder(const std::string& tag)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static LONG counter;
    for (;;) {
        std::string folder = std::string(temp) + "setup-test-" + tag + "-" + std::to_string(GetCurrentProcessId()) +
                             "-" + std::to_string(InterlockedIncrement(&counter));
        if (CreateDirectoryA(folder.c_str(), nullptr))
            return folder + "\\";
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            throw std::runtime_error("cannot create " + folder);
    }
}

std::string ReadWholeFile(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + path);
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ReadFile(file, &bytes[0], (DWORD)bytes.size(), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

void WriteWholeFile(const std::string& path, const std::string& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create " + path);
    DWORD written = 0;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(file);
    if (written != bytes.size())
        throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string UseLogIn(const std::string& folder)
{
    std::string log = folder + "setup_error.log";
    lstrcpynA(g_logPath, log.c_str(), MAX_PATH);
    return log;
}

FILETIME MakeFileTime(ULONGLONG value)
{
    FILETIME t;
    t.dwLowDateTime = (DWORD)value;
    t.dwHighDateTime = (DWORD)(value >> 32);
    return t;
}

ULONGLONG FileTimeValue(const FILETIME& time)
{
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}
