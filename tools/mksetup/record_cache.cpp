// Compressed records kept between builds (see record_cache.h).
#include "tools/mksetup/record_cache.h"

#include "extract/payload_digest.h"
#include "tools/mksetup/file_io.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace mksetup {

namespace fs = std::filesystem;

namespace {

// What decides a record's bytes beside its input. Changing how mksetup
// compresses (what it stores, how it drives a library) changes the first
// word, so that no entry of an older way is taken for the new one.
std::string Way(const BuildOptions& options)
{
    return options.compressor == Compressor::kLibdeflate
               ? "mksetup-record-1 libdeflate " LIBDEFLATE_VERSION_STRING " level " + std::to_string(options.level)
               : "mksetup-record-1 zlib " ZLIB_VERSION " level " + std::to_string(options.level);
}

const char kMagic[8] = {'M', 'K', 'S', 'R', 'E', 'C', '1', 0};
enum { kHeader = sizeof kMagic + kDigestSize };

struct Key {
    uint8_t bytes[kDigestSize];
};

Key KeyOf(const BuildOptions& options, const uint8_t* data, size_t size)
{
    Blake2s state;
    Blake2sBegin(&state);
    std::string way = Way(options) + " size " + std::to_string(size) + "\n";
    Blake2sAdd(&state, (const uint8_t*)way.data(), (uint32_t)way.size());
    Blake2sAdd(&state, data, (uint32_t)size);  // a record held whole: at most 64 MB
    Key key;
    Blake2sEnd(&state, key.bytes);
    return key;
}

std::string EntryPath(const BuildOptions& options, const Key& key)
{
    std::string name;
    for (uint8_t b : key.bytes)
        name += "0123456789abcdef"[b >> 4], name += "0123456789abcdef"[b & 15];
    return JoinPath(options.cacheFolder, name + ".rec");
}

// The folder and those above it; only the cache's own is made private.
bool MakeCacheFolder(const std::string& folder)
{
    std::error_code error;
    if (fs::is_directory(folder, error))
        return true;
    fs::create_directories(folder, error);
#ifndef _WIN32
    chmod(folder.c_str(), 0700);
#endif
    return fs::is_directory(folder, error);
}

}  // namespace

bool CacheIsPrivate(const std::string& folder)
{
#ifdef _WIN32
    (void)folder;  // the default lies in the user's own profile
    return true;
#else
    struct stat st;
    return lstat(folder.c_str(), &st) != 0 || (S_ISDIR(st.st_mode) && st.st_uid == geteuid() && !(st.st_mode & 022));
#endif
}

std::string DefaultCacheFolder()
{
#ifdef _WIN32
    const char* local = std::getenv("LOCALAPPDATA");
    return local && *local ? JoinPath(JoinPath(local, "mksetup"), "cache") : "";
#else
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && *xdg == '/')
        return JoinPath(xdg, "mksetup");
    const char* home = std::getenv("HOME");
    return home && *home == '/' ? JoinPath(JoinPath(home, ".cache"), "mksetup") : "";
#endif
}

bool FindCachedStream(const BuildOptions& options, const uint8_t* data, size_t size, Bytes* stream)
{
    if (options.cacheFolder.empty())
        return false;
    Key key = KeyOf(options, data, size);
    std::string path = EntryPath(options, key), error;
    uint64_t entrySize;
    // No stream of it can be larger than its stored blocks.
    uint64_t most = kHeader + (uint64_t)size + size / 16 + 64;
    Bytes entry;
    if (!GetFileSize(path, &entrySize, &error) || entrySize < kHeader || entrySize > most ||
        !ReadWholeFile(path, &entry, &error) || entry.size() != entrySize ||
        std::memcmp(entry.data(), kMagic, sizeof kMagic) ||
        std::memcmp(entry.data() + sizeof kMagic, key.bytes, kDigestSize))
        return false;
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    if (!d)
        return false;
    Bytes inflated(std::max<size_t>(size, 1));
    size_t in = 0, out = 0;
    bool same = libdeflate_zlib_decompress_ex(d, entry.data() + kHeader, entry.size() - kHeader, inflated.data(), size,
                                              &in, &out) == LIBDEFLATE_SUCCESS &&
                in == entry.size() - kHeader && out == size && std::memcmp(inflated.data(), data, size) == 0;
    libdeflate_free_decompressor(d);
    if (!same)
        return false;
    stream->assign(entry.begin() + kHeader, entry.end());
    std::error_code ignored;
    fs::last_write_time(path, fs::file_time_type::clock::now(), ignored);  // used: the last to go
    return true;
}

void CacheStream(const BuildOptions& options, const uint8_t* data, size_t size, const Bytes& stream)
{
    if (options.cacheFolder.empty() || !MakeCacheFolder(options.cacheFolder))
        return;
    Key key = KeyOf(options, data, size);
    std::string path = EntryPath(options, key), error;
    // A name of this build's own, then renamed into place whole.
    static std::atomic<unsigned> count;
    std::string temporary = path + "." + std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id())) +
                            "." + std::to_string(count++) + ".partial";
    FILE* file = CreateNewFile(temporary, &error);
    if (!file)
        return;
    bool ok = std::fwrite(kMagic, 1, sizeof kMagic, file) == sizeof kMagic &&
              std::fwrite(key.bytes, 1, kDigestSize, file) == kDigestSize &&
              std::fwrite(stream.data(), 1, stream.size(), file) == stream.size();
    ok = std::fclose(file) == 0 && ok;
    if (!ok || !MoveIntoPlace(temporary, path))
        std::remove(temporary.c_str());
}

void TrimCache(const BuildOptions& options)
{
    if (options.cacheFolder.empty())
        return;
    std::error_code error;
    // What an interrupted build left, a day on.
    auto stale = fs::file_time_type::clock::now() - std::chrono::hours(24);
    std::vector<std::pair<fs::file_time_type, std::pair<uint64_t, fs::path>>> entries;
    uint64_t total = 0;
    for (fs::directory_iterator i(options.cacheFolder, error), end; !error && i != end; i.increment(error)) {
        if (i->path().extension() == ".partial" && i->last_write_time(error) < stale)
            fs::remove(i->path(), error);
        if (i->path().extension() != ".rec" || !i->is_regular_file(error))
            continue;
        uint64_t size = i->file_size(error);
        fs::file_time_type time = i->last_write_time(error);
        if (error)
            continue;
        entries.push_back({time, {size, i->path()}});
        total += size;
    }
    std::sort(entries.begin(), entries.end());
    for (size_t i = 0; i < entries.size() && total > options.cacheLimit; ++i)
        if (fs::remove(entries[i].second.second, error))
            total -= entries[i].second.first;
}

}  // namespace mksetup
