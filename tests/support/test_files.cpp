#include "tests/support/test_files.h"

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

void RemoveTree(const std::string& folder)
{
    std::string base = folder.back() == '\\' ? folder : folder + "\\";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((base + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(base + name);
            else
                DeleteFileA((base + name).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(base.c_str());
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

SurvivingTimes MeasureSurvivingTimes(const std::string& folder)
{
    // The sequence GetViewFile and the extraction follow: times set while
    // the file is open and the mapping exists, then the view written.
    std::string path = folder + "probe-times.bin";
    const ULONGLONG creation = 125000000000000001ull, access = 125000000100000002ull, write = 125000000200000003ull;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, 4096, NULL);
    FILETIME c = MakeFileTime(creation), a = MakeFileTime(access), w = MakeFileTime(write);
    SetFileTime(file, &c, &a, &w);
    CloseHandle(file);
    BYTE* view = (BYTE*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    CloseHandle(mapping);
    SurvivingTimes kept = {};
    if (!view)
        return kept;
    view[0] = 1;
    view[4095] = 2;
    UnmapViewOfFile(view);
    file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    GetFileTime(file, &c, &a, &w);
    CloseHandle(file);
    kept.creation = FileTimeValue(c) == creation;
    kept.lastAccess = FileTimeValue(a) == access;
    kept.lastWrite = FileTimeValue(w) == write;
    return kept;
}
