// Writing installers: streams, records, the manifest, the whole layout.
#include "tools/mksetup/installer.h"
#include "extract/payload_digest.h"
#include "tools/mksetup/file_io.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace mksetup {

Bytes ZlibCompress(const uint8_t* data, size_t size, int level)
{
    uLongf length = compressBound((uLong)size);
    Bytes out(length);
    if (compress2(out.data(), &length, data, (uLong)size, level) != Z_OK)
        return Bytes();
    out.resize(length);
    return out;
}

Compressor DefaultCompressor()
{
    return Compressor::kLibdeflate;
}

int DefaultLevel(Compressor compressor)
{
    return compressor == Compressor::kLibdeflate ? 12 : 9;
}

int MaxLevel(Compressor compressor)
{
    return compressor == Compressor::kLibdeflate ? 12 : 9;
}

Bytes CompressStream(const uint8_t* data, size_t size, Compressor compressor, int level)
{
    if (compressor == Compressor::kLibdeflate) {
        libdeflate_compressor* c = libdeflate_alloc_compressor(level);
        if (!c)
            return Bytes();
        Bytes out(libdeflate_zlib_compress_bound(c, size));
        out.resize(libdeflate_zlib_compress(c, data, size, out.data(), out.size()));
        libdeflate_free_compressor(c);
        return out;
    }
    return ZlibCompress(data, size, level);
}

// A record's header, as it goes before its stream.
static void RecordHeaderBytes(uint32_t uncompressedSize, size_t streamSize, const FileTimes& times,
                              uint8_t (&bytes)[kRecordHeaderSize])
{
    FileRecordHeader header;
    header.UncompressedSize = uncompressedSize;
    header.CompressedSize = (uint32_t)streamSize;
    header.CreationTime = times.creation;
    header.LastAccessTime = times.lastAccess;
    header.LastWriteTime = times.lastWrite;
    WriteRecordHeader(&header, bytes);
}

void AppendRecord(Bytes& out, uint32_t uncompressedSize, const Bytes& stream, const FileTimes& times)
{
    uint8_t bytes[kRecordHeaderSize];
    RecordHeaderBytes(uncompressedSize, stream.size(), times, bytes);
    out.insert(out.end(), bytes, bytes + kRecordHeaderSize);
    out.insert(out.end(), stream.begin(), stream.end());
}

void AppendTrailer(Bytes& out, uint32_t firstRecordOffset)
{
    uint8_t bytes[kTrailerSize];
    WriteTrailer(firstRecordOffset, bytes);
    out.insert(out.end(), bytes, bytes + kTrailerSize);
}

InputFile GeneratedManifest(const std::vector<InputFile>& files, uint64_t time)
{
    InputFile manifest;
    manifest.path = kGeneratedManifest;
    std::string text;
    for (size_t i = 0; i < files.size(); ++i)
        text += "<P" + std::to_string(i + 1) + "=\"" + files[i].name + "\">\r\n";
    manifest.data.assign(text.begin(), text.end());
    manifest.times = FileTimes{time, time, time};
    return manifest;
}

std::vector<uint64_t> ManifestTagNumbers(const std::string& text)
{
    // Only the form the unpacker searches for counts: plain decimal, no
    // leading zero.
    std::vector<uint64_t> numbers;
    for (size_t p = text.find("<P"); p != std::string::npos; p = text.find("<P", p + 1)) {
        size_t digits = p + 2, end = digits;
        while (end < text.size() && end - digits < 19 && text[end] >= '0' && text[end] <= '9')
            ++end;
        if (end == digits || text[digits] == '0' || text.compare(end, 2, "=\"") != 0)
            continue;
        numbers.push_back(std::stoull(text.substr(digits, end - digits)));
    }
    return numbers;
}

std::string EndMarkerText()
{
    char marker[kEndMarkerLength + 1];
    CopyEndMarker(marker);
    return marker;
}

// For reproducible builds: every time at most the limit. A file's
// last-access time moves whenever the file is read (by this very build, say),
// so it is replaced by the last-write time.

static FileTimes Clamp(FileTimes t, const std::optional<uint64_t>& limit)
{
    if (limit) {
        t.creation = std::min(t.creation, *limit);
        t.lastWrite = std::min(t.lastWrite, *limit);
        t.lastAccess = t.lastWrite;
    }
    return t;
}

static bool CheckManifest(const InputFile& manifest, const std::vector<InputFile>& files, std::string* error)
{
    const Bytes& text = manifest.data;
    auto zero = std::find(text.begin(), text.end(), 0);
    if (zero != text.end()) {
        *error = manifest.path + ": the manifest holds a zero byte at offset " + std::to_string(zero - text.begin()) +
                 "; the unpacker reads it as text ending at its first zero byte";
        return false;
    }
    std::vector<uint64_t> tags = ManifestTagNumbers(std::string(text.begin(), text.end()));
    std::vector<uint64_t> sorted = tags;
    std::sort(sorted.begin(), sorted.end());
    auto twice = std::adjacent_find(sorted.begin(), sorted.end());
    if (twice != sorted.end()) {
        *error = manifest.path + ": tag <P" + std::to_string(*twice) + "=\" appears more than once; the second stage " +
                 "would take either name for record " + std::to_string(*twice);
        return false;
    }
    for (size_t n = 1; n <= files.size(); ++n) {
        if (std::find(tags.begin(), tags.end(), n) == tags.end()) {
            *error = manifest.path + ": no tag <P" + std::to_string(n) + "=\" for record " + std::to_string(n) +
                     " (" + files[n - 1].path + "); the unpacker extracts records up to the first missing number";
            return false;
        }
    }
    for (uint64_t n : tags) {
        if (n > files.size()) {
            *error = manifest.path + ": tag <P" + std::to_string(n) + "=\" names record " + std::to_string(n) +
                     ", but only " + std::to_string(files.size()) + " files are given";
            return false;
        }
    }
    return true;
}

// Which part of the installer an offset falls in, for messages.
static std::string PartAt(uint64_t offset, const std::vector<uint64_t>& starts, const InputFile& manifest,
                          const std::vector<InputFile>& files)
{
    if (offset < starts[0])
        return "the stub";
    size_t i = std::upper_bound(starts.begin(), starts.end(), offset) - starts.begin() - 1;
    return "record " + std::to_string(i) + " (" + (i == 0 ? manifest.path : files[i - 1].path) + ")";
}

// One record on its way from its input to the output: compressed by a
// worker, written by the builder in order.
struct Compression {
    const InputFile* file;
    uint64_t cost;        // memory it may hold: its input and its compressed bound
    bool done = false;
    Bytes stream;         // the zlib stream, once done
    BuildResult failure = BuildResult::kBuilt;
    std::string error;
};

static uint64_t CompressionCost(uint64_t size)
{
    return 2 * size + (size >> 10) + (1 << 16);  // input, and a stream of at most its size plus a little
}

// Compresses one record: its bytes from memory, or read whole from its file
// (a file that changed size since the build began fails). Worker threads.
static void Compress(Compression* c, const Bytes* manifestRecord, const BuildOptions& options)
{
    const InputFile& f = *c->file;
    try {
        Bytes read;
        const Bytes* data = manifestRecord ? manifestRecord : &f.data;
        if (!manifestRecord && f.fromPath) {
            if (!ReadFileExactly(f.path, f.size, &read, &c->error)) {
                c->failure = BuildResult::kUnreadable;
                return;
            }
            data = &read;
        }
        c->stream = CompressStream(data->data(), data->size(), options.compressor, options.level);
        if (c->stream.empty()) {
            c->error = f.path + ": zlib could not compress it";
            c->failure = BuildResult::kRefused;
        }
    } catch (const std::bad_alloc&) {
        c->error = f.path + ": not enough memory to compress its " + std::to_string(f.Size()) +
                   " bytes (a 32-bit mksetup has 2 GB of address space: use a 64-bit one)";
        c->failure = BuildResult::kUnreadable;
        c->stream = Bytes();
    }
}

BuildResult BuildInstaller(const Bytes& stub, const InputFile& manifest, const std::vector<InputFile>& files,
                           const BuildOptions& options, const Writer& write, std::string* error,
                           const std::function<void(size_t done, size_t total)>& progress)
{
    const BuildResult kRefused = BuildResult::kRefused;
    if (stub.empty()) {
        *error = "the stub is empty";
        return kRefused;
    }
    if (files.empty()) {
        *error = "no FILE given: record 1 is the program that the unpacker starts";
        return kRefused;
    }
    if (options.level < 0 || options.level > MaxLevel(options.compressor)) {
        *error = "--level must be 0 to " + std::to_string(MaxLevel(options.compressor));
        return kRefused;
    }
    const uint64_t kLimit = 0xFFFFFFFFull;  // every offset and size fits 32 bits
    auto tooLarge = [&](const std::string& what) {
        *error = what + ": the installer would be 4 GB or more; the unpacker maps only files under 4 GB";
        return kRefused;
    };
    uint64_t largest = manifest.data.size() + 1;
    for (const InputFile& f : files) {
        if (f.Size() == 0) {
            *error = f.path + ": the file is empty; the unpacker cannot map an output file of size 0";
            return kRefused;
        }
        if (f.Size() >= kLimit)
            return tooLarge(f.path);
        largest = std::max(largest, f.Size());
    }
    if (manifest.path == kGeneratedManifest) {
        // A name that could end its tag, or start another, is refused.
        for (const InputFile& f : files) {
            if (f.name.find_first_of("\"<>\r\n") != std::string::npos) {
                *error = f.path + ": its name holds \", <, > or a line break, which would add or break a tag of the " +
                         "generated manifest; rename it or give --manifest";
                return kRefused;
            }
        }
    }
    if (!CheckManifest(manifest, files, error))
        return kRefused;
    if (stub.size() > kLimit)
        return tooLarge("the stub");

    // Record 0: the manifest text and one zero byte, so that the unpacker's
    // search for tags ends inside the record.
    Bytes manifestRecord = manifest.data;
    manifestRecord.push_back(0);
    std::vector<Compression> records(files.size() + 1);
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].file = i == 0 ? &manifest : &files[i - 1];
        records[i].cost = CompressionCost(i == 0 ? manifestRecord.size() : files[i - 1].Size());
    }

    // Workers take records in order as the memory budget lets them in; the
    // builder writes each as soon as it and all before it are done.
    const uint64_t budget = CompressionCost(largest) + (64u << 20);
    unsigned jobs = options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    std::mutex lock;
    std::condition_variable changed;
    size_t admitted = 0, taken = 0;
    uint64_t inFlight = 0;
    bool stop = false;
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < std::min<size_t>(jobs, records.size()); ++j)
        workers.emplace_back([&] {
            for (;;) {
                std::unique_lock<std::mutex> hold(lock);
                changed.wait(hold, [&] { return stop || taken < admitted; });
                if (stop)
                    return;
                Compression* c = &records[taken];
                bool isManifest = taken++ == 0;
                hold.unlock();
                Compress(c, isManifest ? &manifestRecord : nullptr, options);
                hold.lock();
                c->done = true;
                changed.notify_all();
            }
        });

    BuildResult result = BuildResult::kBuilt;
    std::vector<uint64_t> starts;
    uint64_t written = 0;
    // The bytes before the trailer that the unpacker's scan reads, to look
    // for a marker there at the end.
    Bytes tail;
    // The payload's digest, recorded in the stub's image at the end.
    Blake2s digest;
    Blake2sBegin(&digest);
    bool payload = false;  // the records' bytes are being written
    auto emit = [&](const uint8_t* bytes, size_t size) {
        tail.insert(tail.end(), bytes + (size > kScanWindow ? size - kScanWindow : 0), bytes + size);
        if (tail.size() > 2 * kScanWindow)
            tail.erase(tail.begin(), tail.end() - kScanWindow);
        if (payload)
            Blake2sAdd(&digest, bytes, (uint32_t)size);  // below 4 GB in all
        written += size;
        return write(written - size, bytes, size, error);
    };
    try {
        if (!emit(stub.data(), stub.size()))
            result = BuildResult::kUnreadable;
        payload = true;
        for (size_t i = 0; i < records.size() && result == BuildResult::kBuilt; ++i) {
            if (progress)
                progress(i, records.size());
            std::unique_lock<std::mutex> hold(lock);
            while (admitted < records.size() && (inFlight == 0 || inFlight + records[admitted].cost <= budget))
                inFlight += records[admitted++].cost;
            changed.notify_all();
            changed.wait(hold, [&] { return records[i].done; });
            hold.unlock();
            Compression& c = records[i];
            const InputFile& f = *c.file;
            uint64_t size = i == 0 ? manifestRecord.size() : f.Size();
            if (c.failure != BuildResult::kBuilt) {
                *error = c.error;
                result = c.failure;
            } else if (written + kRecordHeaderSize + c.stream.size() + kTrailerSize > kLimit) {
                result = tooLarge(f.path);
            } else {
                starts.push_back(written);
                uint8_t bytes[kRecordHeaderSize];
                RecordHeaderBytes((uint32_t)size, c.stream.size(), Clamp(f.times, options.clampTime), bytes);
                if (!emit(bytes, sizeof bytes) || !emit(c.stream.data(), c.stream.size()))
                    result = BuildResult::kUnreadable;
            }
            Bytes().swap(c.stream);
            hold.lock();
            inFlight -= c.cost;
        }
    } catch (const std::bad_alloc&) {  // the workers are stopped and joined first
        *error = "not enough memory";
        result = BuildResult::kUnreadable;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        stop = true;
        changed.notify_all();
    }
    for (std::thread& w : workers)
        w.join();
    if (result != BuildResult::kBuilt)
        return result;
    if (progress)
        progress(records.size(), records.size());

    // The unpacker takes the first marker in the file's last 30000 bytes for
    // the trailer: there must be none before ours.
    uint8_t trailer[kTrailerSize];
    WriteTrailer((uint32_t)starts[0], trailer);
    uint64_t tailStart = written - tail.size();
    tail.insert(tail.end(), trailer, trailer + kTrailerSize);
    uint32_t trailerEnd;
    FindPayloadEnd(tail.data(), (uint32_t)tail.size(), &trailerEnd);
    if (trailerEnd != tail.size()) {
        uint64_t at = tailStart + trailerEnd - kEndMarkerLength - 1;
        // In the stub only a stub that stores the marker whole can have it;
        // in a record it is chance, which other compressed bytes undo.
        std::string advice = at < starts[0] ? "use an unpacker built from this project, which holds no copy of it"
                                            : "another --level or --compressor packs that record differently";
        *error = PartAt(at, starts, manifest, files) + ": the marker bytes \"" + EndMarkerText() + "\" occur at offset " +
                 std::to_string(at) + ", within the last " + std::to_string(kScanWindow) +
                 " bytes before the trailer; the unpacker would take them for the trailer (" + advice + ")";
        return kRefused;
    }
    // The digest goes into the stub's image, where the unpacker finds it;
    // a stub without the place for it (not this project's unpacker, or one
    // from before) gets none.
    uint32_t at;
    uint8_t record[kImageDigestSize - kImageDigestRecorded] = {1};
    Blake2sEnd(&digest, record + kImageDigestBytes - kImageDigestRecorded);
    if (FindImageDigest(stub.data(), (uint32_t)stub.size(), &at) &&
        !write(at + kImageDigestRecorded, record, sizeof record, error))
        return BuildResult::kUnreadable;
    return emit(trailer, sizeof trailer) ? BuildResult::kBuilt : BuildResult::kUnreadable;
}

bool BuildInstaller(const Bytes& stub, const InputFile& manifest, const std::vector<InputFile>& files,
                    const BuildOptions& options, Bytes* out, std::string* error)
{
    out->clear();
    auto append = [&](uint64_t offset, const uint8_t* bytes, size_t size, std::string*) {
        out->resize(std::max<uint64_t>(out->size(), offset + size));
        std::memcpy(out->data() + offset, bytes, size);
        return true;
    };
    return BuildInstaller(stub, manifest, files, options, append, error) == BuildResult::kBuilt;
}

}  // namespace mksetup
