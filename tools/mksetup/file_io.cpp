#include "tools/mksetup/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace mksetup {

static const int64_t kUnixEpochInFileTimeSeconds = 11644473600;  // 1601 to 1970
static const uint64_t kTicksPerSecond = 10000000;

uint64_t FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds)
{
    return (uint64_t)(seconds + kUnixEpochInFileTimeSeconds) * kTicksPerSecond + nanoseconds / 100;
}

std::string FormatFileTimeUtc(uint64_t fileTime)
{
    int64_t seconds = (int64_t)(fileTime / kTicksPerSecond) - kUnixEpochInFileTimeSeconds;
    unsigned fraction = (unsigned)(fileTime % kTicksPerSecond);
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t secondOfDay = seconds - days * 86400;
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned dayOfEra = (unsigned)(days - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t year = (int64_t)yearOfEra + era * 400;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned mp = (5 * dayOfYear + 2) / 153;
    unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    unsigned month = mp < 10 ? mp + 3 : mp - 9;
    if (month <= 2)
        ++year;
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u", (long long)year, month, day,
                  (unsigned)(secondOfDay / 3600), (unsigned)(secondOfDay / 60 % 60), (unsigned)(secondOfDay % 60));
    std::string result = text;
    if (fraction) {
        std::snprintf(text, sizeof text, ".%07u", fraction);
        result += text;
    }
    return result + "Z";
}

std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    char last = folder.back();
    return (last == '/' || last == '\\') ? folder + name : folder + "/" + name;
}

bool ReadWholeFile(const std::string& path, Bytes* out, std::string* error)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    // One read of the whole file where its size is known, then whatever
    // follows (a file that grows meanwhile, or one with no size).
    out->clear();
    if (std::fseek(file, 0, SEEK_END) == 0) {
        long size = std::ftell(file);
        if (size > 0)
            out->resize((size_t)size);
        std::rewind(file);
    }
    size_t got = out->empty() ? 0 : std::fread(out->data(), 1, out->size(), file);
    out->resize(got);
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        out->insert(out->end(), buffer, buffer + n);
    bool ok = !std::ferror(file);
    std::fclose(file);
    if (!ok)
        *error = path + ": read error";
    return ok;
}

bool GetFileSize(const std::string& path, uint64_t* size, std::string* error)
{
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d)) {
        *size = ((uint64_t)d.nFileSizeHigh << 32) | d.nFileSizeLow;
        return true;
    }
    *error = path + ": cannot be read (error " + std::to_string(GetLastError()) + ")";
#else
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        *size = (uint64_t)st.st_size;
        return true;
    }
    *error = path + ": " + std::strerror(errno);
#endif
    return false;
}

bool ReadFileExactly(const std::string& path, uint64_t size, Bytes* out, std::string* error)
{
    if (size > SIZE_MAX) {
        *error = path + ": too large for this mksetup's address space (use a 64-bit mksetup)";
        return false;
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    out->resize((size_t)size);
    size_t got = 0, n = 1;
    while (got < out->size() && (n = std::fread(out->data() + got, 1, std::min<size_t>(out->size() - got, 1 << 20), file)) > 0)
        got += n;
    uint8_t more;
    bool grew = got == out->size() && std::fread(&more, 1, 1, file) == 1, failed = std::ferror(file) != 0;
    std::fclose(file);
    if (got != out->size() || grew || failed) {
        *error = path + (failed ? ": read error" : ": changed size while it was read (" + std::to_string(size) +
                                                       " bytes when the build began)");
        return false;
    }
    return true;
}

bool FileView::Open(const std::string& path, std::string* error)
{
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    LARGE_INTEGER size;
    if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
        GetFileType(file) == FILE_TYPE_DISK) {
        HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
        void* view = mapping && (uint64_t)size.QuadPart <= SIZE_MAX ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
        if (mapping)
            CloseHandle(mapping);
        CloseHandle(file);
        if (!view) {
            *error = path + ": too large to map into this mksetup's address space (use the x86-64 mksetup.exe)";
            return false;
        }
        data_ = (const uint8_t*)view;
        size_ = (uint64_t)size.QuadPart;
        mapped_ = true;
        return true;
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
#else
    int fd = open(path.c_str(), O_RDONLY);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        void* p = (uint64_t)st.st_size <= SIZE_MAX ? mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0)
                                                   : MAP_FAILED;
        close(fd);
        if (p == MAP_FAILED) {
            *error = path + ": too large to map into this mksetup's address space (use a 64-bit mksetup)";
            return false;
        }
        data_ = (const uint8_t*)p;
        size_ = (uint64_t)st.st_size;
        mapped_ = true;
        return true;
    } else if (fd >= 0) {
        close(fd);
    }
#endif
    if (!ReadWholeFile(path, &copy_, error))
        return false;
    data_ = copy_.data();
    size_ = copy_.size();
    return true;
}

void FileView::Release(uint64_t begin, uint64_t end) const
{
    const uint64_t kPage = 4096;
    begin = (begin + kPage - 1) / kPage * kPage;  // whole pages inside the range only
    end = std::min(end, size_) / kPage * kPage;
    if (!mapped_ || begin >= end)
        return;
#ifdef _WIN32
    // Pages of a view that are not locked leave the working set.
    VirtualUnlock((void*)(data_ + begin), (SIZE_T)(end - begin));
#else
    madvise((void*)(data_ + begin), (size_t)(end - begin), MADV_DONTNEED);
#endif
}

FileView::~FileView()
{
    if (!mapped_)
        return;
#ifdef _WIN32
    UnmapViewOfFile(data_);
#else
    munmap(const_cast<uint8_t*>(data_), (size_t)size_);
#endif
}

bool MoveIntoPlace(const std::string& from, const std::string& to)
{
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

FILE* CreateNewFile(const std::string& path, std::string* error)
{
    std::remove(path.c_str());  // a link is removed, not followed
#ifdef _WIN32
    int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
#endif
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
    }
    return file;
}

bool SeekFile(FILE* file, uint64_t offset)
{
#ifdef _WIN32
    return _fseeki64(file, (__int64)offset, SEEK_SET) == 0;
#else
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}

bool WriteFileAtomically(const std::string& path, const Bytes& data, std::string* error)
{
    std::string temporary = path + ".partial";
    FILE* file = CreateNewFile(temporary, error);
    if (!file)
        return false;
    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size();
    ok = std::fclose(file) == 0 && ok;
    ok = ok && MoveIntoPlace(temporary, path);
    if (!ok) {
        *error = path + ": could not be written";
        std::remove(temporary.c_str());
    }
    return ok;
}

#ifdef _WIN32

static uint64_t Value(const FILETIME& t)
{
    return ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

static FILETIME Make(uint64_t v)
{
    FILETIME t;
    t.dwLowDateTime = (DWORD)v;
    t.dwHighDateTime = (DWORD)(v >> 32);
    return t;
}

bool GetFileTimes(const std::string& path, FileTimes* times, std::string* error)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, NULL);
    FILETIME c, a, w;
    bool ok = file != INVALID_HANDLE_VALUE && GetFileTime(file, &c, &a, &w);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok) {
        *error = path + ": cannot read its times";
        return false;
    }
    *times = FileTimes{Value(c), Value(a), Value(w)};
    return true;
}

bool SetFileTimes(const std::string& path, const FileTimes& times, std::string* error)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    FILETIME c = Make(times.creation), a = Make(times.lastAccess), w = Make(times.lastWrite);
    bool ok = file != INVALID_HANDLE_VALUE && SetFileTime(file, &c, &a, &w);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok)
        *error = path + ": cannot set its times";
    return ok;
}

bool StderrIsTerminal()
{
    return _isatty(_fileno(stderr));
}

bool MakeFolder(const std::string& path, std::string* error)
{
    if (CreateDirectoryA(path.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    *error = path + ": cannot create the folder";
    return false;
}

#else

static struct timespec ToTimespec(uint64_t fileTime)
{
    struct timespec t;
    t.tv_sec = (time_t)((int64_t)(fileTime / kTicksPerSecond) - kUnixEpochInFileTimeSeconds);
    t.tv_nsec = (long)(fileTime % kTicksPerSecond) * 100;
    return t;
}

bool GetFileTimes(const std::string& path, FileTimes* times, std::string* error)
{
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    auto convert = [](const struct statx_timestamp& t) { return FileTimeFromUnix(t.tv_sec, t.tv_nsec); };
    times->lastAccess = convert(sx.stx_atime);
    times->lastWrite = convert(sx.stx_mtime);
    times->creation = (sx.stx_mask & STATX_BTIME) ? convert(sx.stx_btime) : times->lastWrite;
    return true;
}

bool SetFileTimes(const std::string& path, const FileTimes& times, std::string* error)
{
    struct timespec both[2] = {ToTimespec(times.lastAccess), ToTimespec(times.lastWrite)};
    if (utimensat(AT_FDCWD, path.c_str(), both, 0) != 0) {
        *error = path + ": cannot set its times: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool StderrIsTerminal()
{
    return isatty(STDERR_FILENO);
}

bool MakeFolder(const std::string& path, std::string* error)
{
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST)
        return true;
    *error = path + ": " + std::strerror(errno);
    return false;
}

#endif

}  // namespace mksetup
