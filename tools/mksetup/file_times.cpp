// Files' times as FILETIME values: read, set, converted and shown.
#include "tools/mksetup/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
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
                              FILE_FLAG_BACKUP_SEMANTICS | kNoImpersonation, NULL);
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
                              OPEN_EXISTING, kNoImpersonation, NULL);
    FILETIME c = Make(times.creation), a = Make(times.lastAccess), w = Make(times.lastWrite);
    bool ok = file != INVALID_HANDLE_VALUE && SetFileTime(file, &c, &a, &w);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok)
        *error = path + ": cannot set its times";
    return ok;
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

#endif

}  // namespace mksetup
