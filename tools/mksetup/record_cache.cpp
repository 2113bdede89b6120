// Compressed records kept between builds (see record_cache.h).
#include "tools/mksetup/record_cache.h"

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
               ? "mksetup-record-2 libdeflate " LIBDEFLATE_VERSION_STRING " level " + std::to_string(options.level)
               : "mksetup-record-2 zlib " ZLIB_VERSION " level " + std::to_string(options.level);
}

const char kMagic[8] = {'M', 'K', 'S', 'R', 'E', 'C', '2', 0};
enum { kKeySize = 16, kHeader = sizeof kMagic + kKeySize };

struct Key {
    uint8_t bytes[kKeySize];
};

// 64 bits of a mix that spreads every input bit over all output bits.
uint64_t Spread(uint64_t h)
{
    h ^= h >> 33, h *= 0xFF51AFD7ED558CCDull, h ^= h >> 33, h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

// The key: 128 bits of a fast hash, not a cryptographic one, of the way and
// the bytes. It need not resist anyone's collisions: a stream found under it
// is taken only once it has inflated to exactly the bytes (a collision only
// costs a compression), and the bytes are read at memory's speed, where a
// cryptographic digest would cost a rebuild a third of its time.
Key KeyOf(const BuildOptions& options, const uint8_t* data, size_t size)
{
    std::string way = Way(options) + " size " + std::to_string(size) + "\n";
    uint64_t lane[2] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full};
    auto add = [&](const uint8_t* p, size_t n) {
        size_t i = 0;
        for (; i + 16 <= n; i += 16) {
            uint64_t a, b;
            std::memcpy(&a, p + i, 8), std::memcpy(&b, p + i + 8, 8);
            lane[0] = (lane[0] ^ a) * 0x9FB21C651E98DF25ull, lane[0] ^= lane[0] >> 29;
            lane[1] = (lane[1] ^ b) * 0xD6E8FEB86659FD93ull, lane[1] ^= lane[1] >> 31;
        }
        uint8_t last[16] = {};
        if (n > i)  // an empty file has no bytes to take
            std::memcpy(last, p + i, n - i);
        last[15] = (uint8_t)(n - i);
        uint64_t a, b;
        std::memcpy(&a, last, 8), std::memcpy(&b, last + 8, 8);
        lane[0] = Spread(lane[0] ^ a), lane[1] = Spread(lane[1] ^ b ^ lane[0]);
    };
    add((const uint8_t*)way.data(), way.size());
    add(data, size);
    Key key;
    std::memcpy(key.bytes, &lane[0], 8), std::memcpy(key.bytes + 8, &lane[1], 8);
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
        std::memcmp(entry.data() + sizeof kMagic, key.bytes, kKeySize))
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
              std::fwrite(key.bytes, 1, kKeySize, file) == kKeySize &&
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
