// Building an installer: what is refused before anything is written, the
// records compressed on worker threads and written in order (large files
// streamed), the payload's digest recorded in the stub, the trailer.
#include "extract/payload_digest.h"
#include "tools/mksetup/installer.h"
#include "tools/mksetup/record_cache.h"
#include "tools/mksetup/record_compression.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <queue>
#include <system_error>
#include <thread>

namespace mksetup {

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
    uint32_t beyond = (uint32_t)files.size() + 1;
    std::vector<ManifestTag> tags = ManifestTags(std::string(text.begin(), text.end()), beyond);
    std::vector<bool> seen(beyond);
    for (const ManifestTag& t : tags) {
        if (t.number == beyond) {
            *error = manifest.path + ": tag " + t.tag + " names a record beyond the " + std::to_string(files.size()) +
                     " files given";
            return false;
        }
        if (seen[t.number]) {
            *error = manifest.path + ": tag " + t.tag + " appears more than once; the second stage would take " +
                     "either name for record " + std::to_string(t.number);
            return false;
        }
        seen[t.number] = true;
    }
    for (size_t n = 1; n <= files.size(); ++n) {
        if (!seen[n]) {
            *error = manifest.path + ": no tag <P" + std::to_string(n) + "=\" for record " + std::to_string(n) +
                     " (" + files[n - 1].path + "); the unpacker extracts records up to the first missing number";
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

// A file larger than this is deflated in pieces by zlib (level 9 at most),
// on every core, as it is written, never held whole; one up to this size is
// compressed whole by the compressor asked for. libdeflate's best levels
// pack a few per cent smaller than zlib's, but need the whole file and
// twice its size in memory: at 64 MB, the records in flight hold under
// 256 MB whatever the files, the pieces of a larger one another 130 MB at
// most (PiecesCost), and the pieces cost 3 or 4 per cent only on files
// larger.
static const uint64_t kWholeRecord = 64u << 20;
static const uint64_t kLimit = 0xFFFFFFFFull;  // every offset and size fits 32 bits

// What a build refuses before anything is written; kBuilt when nothing.
static BuildResult CheckBuild(const InputFile& manifest, const std::vector<InputFile>& files,
                              const BuildOptions& options, std::string* error)
{
    const BuildResult kRefused = BuildResult::kRefused;
    if (files.empty()) {
        *error = "no FILE given: record 1 is the program that the unpacker starts";
        return kRefused;
    }
    if (options.level < 0 || options.level > MaxLevel(options.compressor)) {
        *error = "--level must be 0 to " + std::to_string(MaxLevel(options.compressor));
        return kRefused;
    }
    if (files[0].Size() == 0) {
        *error = files[0].path + ": is empty, but FILE 1 is the program the unpacker starts";
        return kRefused;
    }
    for (const InputFile& f : files) {
        if (f.Size() >= kLimit) {
            *error = f.path + ": the installer would be 4 GB or more; the unpacker maps only files under 4 GB";
            return kRefused;
        }
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
    return CheckManifest(manifest, files, error) ? BuildResult::kBuilt : kRefused;
}

namespace {

// The payload's digest, made on a thread of its own from the bytes handed to
// it in order (at most 64 MB of them waiting), so that on a second core it
// costs the build no time; without a thread, as they are handed.
class Digester {
public:
    Digester()
    {
        Blake2sBegin(&state_);
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
        }
    }
    ~Digester() { Stop(); }

    void Add(Bytes bytes)
    {
        if (!thread_.joinable()) {
            Blake2sAdd(&state_, bytes.data(), (uint32_t)bytes.size());
            return;
        }
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return waiting_ < (64u << 20); });
        waiting_ += bytes.size();
        queue_.push_back(std::move(bytes));
        changed_.notify_all();
    }
    void Add(const uint8_t* bytes, size_t size) { Add(Bytes(bytes, bytes + size)); }

    void Finish(uint8_t digest[kDigestSize])
    {
        Stop();
        Blake2sEnd(&state_, digest);
    }

private:
    void Run()
    {
        for (;;) {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            Bytes bytes = std::move(queue_.front());
            queue_.pop_front();
            hold.unlock();
            Blake2sAdd(&state_, bytes.data(), (uint32_t)bytes.size());  // below 4 GB in all
            hold.lock();
            waiting_ -= bytes.size();
            changed_.notify_all();
        }
    }
    void Stop()
    {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
            changed_.notify_all();
        }
        thread_.join();
    }

    Blake2s state_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Bytes> queue_;
    uint64_t waiting_ = 0;
    bool stop_ = false;
};

// One build: the stub, the records in order (compressed on worker threads,
// or streamed by the builder), the digest recorded in the stub, the trailer.
class Builder {
public:
    Builder(const InputFile& manifest, const std::vector<InputFile>& files, const BuildOptions& options,
            const Writer& write, const Reader& read, std::string* error, const BuildWatch& watch)
        : manifest_(manifest), files_(files), options_(options), write_(write), read_(read), error_(*error),
          watch_(watch)
    {
    }

    BuildResult Run(const Bytes& stub);

private:
    bool Emit(const uint8_t* bytes, size_t size);
    unsigned Jobs() const { return options_.jobs ? options_.jobs : std::max(1u, std::thread::hardware_concurrency()); }
    BuildResult WriteRecords();
    void Packed(uint64_t bytes)
    {
        if (watch_.bytes)
            watch_.bytes(packed_ += bytes, total_);
    }
    BuildResult WriteWhole(Compression& c, uint64_t size);
    BuildResult WriteStreamed(const InputFile& f);
    BuildResult Finish(const Bytes& stub);
    BuildResult TooLarge(const std::string& what)
    {
        error_ = what + ": the installer would be 4 GB or more; the unpacker maps only files under 4 GB";
        return BuildResult::kRefused;
    }

    const InputFile& manifest_;
    const std::vector<InputFile>& files_;
    const BuildOptions& options_;
    const Writer& write_;
    const Reader& read_;
    std::string& error_;
    const BuildWatch& watch_;
    uint64_t packed_ = 0, total_ = 0;  // input bytes
    Bytes manifestRecord_;
    std::vector<Compression> records_;
    std::vector<uint64_t> starts_;  // each record's offset
    uint64_t written_ = 0;
    Bytes tail_;                    // the last bytes written, for the marker check
    Digester digest_;               // of every record byte, in order
};

// Appends to the output.
bool Builder::Emit(const uint8_t* bytes, size_t size)
{
    tail_.insert(tail_.end(), bytes + (size > kScanWindow ? size - kScanWindow : 0), bytes + size);
    if (tail_.size() > 2 * kScanWindow)
        tail_.erase(tail_.begin(), tail_.end() - kScanWindow);
    written_ += size;
    return write_(written_ - size, bytes, size, &error_);
}

BuildResult Builder::Run(const Bytes& stub)
{
    if (stub.size() > kLimit)
        return TooLarge("the stub");
    // Record 0: the manifest text and one zero byte, so that the unpacker's
    // search for tags ends inside the record.
    manifestRecord_ = manifest_.data;
    manifestRecord_.push_back(0);
    if (!Emit(stub.data(), stub.size()))
        return BuildResult::kUnreadable;
    BuildResult result = WriteRecords();
    TrimCache(options_);
    return result == BuildResult::kBuilt ? Finish(stub) : result;
}

// The records in order. Workers take the whole ones in order as the memory
// budget lets them in; the builder writes each as soon as it and all
// before it are done, and streams a large one itself when its turn comes.
BuildResult Builder::WriteRecords()
{
    records_.resize(files_.size() + 1);
    uint64_t largest = 0;
    for (size_t i = 0; i < records_.size(); ++i) {
        Compression& c = records_[i];
        c.file = i == 0 ? &manifest_ : &files_[i - 1];
        uint64_t size = i == 0 ? manifestRecord_.size() : c.file->Size();
        c.streamed = i > 0 && size > kWholeRecord;
        c.done = c.streamed;
        c.cost = c.streamed ? 0 : CompressionCost(size);
        largest = std::max(largest, c.cost);
        total_ += size;
    }
    const uint64_t budget = largest + (64u << 20);
    unsigned jobs = Jobs();
    std::mutex lock;
    std::condition_variable changed;
    size_t admitted = 0;
    // The admitted records no worker has taken, the largest first, so that
    // no large one is left for last while the other cores wait.
    std::priority_queue<std::pair<uint64_t, size_t>> ready;
    uint64_t inFlight = 0;
    bool stop = false;
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < std::min<size_t>(jobs, records_.size()); ++j)
        workers.emplace_back([&] {
            for (;;) {
                std::unique_lock<std::mutex> hold(lock);
                changed.wait(hold, [&] { return stop || !ready.empty(); });
                if (stop)
                    return;
                size_t index = SIZE_MAX - ready.top().second;
                ready.pop();
                Compression* c = &records_[index];
                hold.unlock();
                Compress(c, index == 0 ? &manifestRecord_ : nullptr, options_);
                hold.lock();
                c->done = true;
                changed.notify_all();
            }
        });

    BuildResult result = BuildResult::kBuilt;
    try {
        for (size_t i = 0; i < records_.size() && result == BuildResult::kBuilt; ++i) {
            std::unique_lock<std::mutex> hold(lock);
            for (; admitted < records_.size() && (inFlight == 0 || inFlight + records_[admitted].cost <= budget); ++admitted) {
                inFlight += records_[admitted].cost;
                if (!records_[admitted].streamed)
                    ready.push({records_[admitted].cost, SIZE_MAX - admitted});  // ties: the earlier first
            }
            changed.notify_all();
            changed.wait(hold, [&] { return records_[i].done; });
            hold.unlock();
            Compression& c = records_[i];
            starts_.push_back(written_);
            uint64_t size = i == 0 ? manifestRecord_.size() : c.file->Size(), before = written_;
            result = c.streamed ? WriteStreamed(*c.file) : WriteWhole(c, size);
            if (result == BuildResult::kBuilt) {
                if (!c.streamed)
                    Packed(size);
                if (watch_.record)
                    watch_.record(i, *c.file, written_ - before - kRecordHeaderSize);
            }
            Bytes().swap(c.stream);
            hold.lock();
            inFlight -= c.cost;
        }
    } catch (const std::bad_alloc&) {  // the workers are stopped and joined first
        error_ = "not enough memory";
        result = BuildResult::kUnreadable;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        stop = true;
        changed.notify_all();
    }
    for (std::thread& w : workers)
        w.join();
    return result;
}

// A record a worker compressed whole: its header, then its stream.
BuildResult Builder::WriteWhole(Compression& c, uint64_t size)
{
    if (c.failure != BuildResult::kBuilt) {
        error_ = c.error;
        return c.failure;
    }
    if (written_ + kRecordHeaderSize + c.stream.size() + kTrailerSize > kLimit)
        return TooLarge(c.file->path);
    uint8_t header[kRecordHeaderSize];
    RecordHeaderBytes((uint32_t)size, c.stream.size(), Clamp(c.file->times, options_.clampTime), header);
    if (!Emit(header, sizeof header) || !Emit(c.stream.data(), c.stream.size()))
        return BuildResult::kUnreadable;
    digest_.Add(header, sizeof header);
    digest_.Add(std::move(c.stream));
    return BuildResult::kBuilt;
}

// A large file, deflated in pieces straight into the output after room for
// its header, which is written once the stream's size is known; the digest
// then takes the header and, read back, the stream, in the order the
// unpacker reads them.
BuildResult Builder::WriteStreamed(const InputFile& f)
{
    uint64_t headerAt = written_, streamAt = headerAt + kRecordHeaderSize, streamSize = 0;
    uint8_t header[kRecordHeaderSize] = {};
    if (!Emit(header, sizeof header))
        return BuildResult::kUnreadable;
    uint64_t taken = 0;
    BuildResult result = DeflatePieces(f, options_.level, Jobs(), [&](const uint8_t* piece, size_t size, uint64_t read) {
        if (written_ + size + kTrailerSize > kLimit)
            return TooLarge(f.path);
        Packed(read - taken), taken = read;
        return Emit(piece, size) ? BuildResult::kBuilt : BuildResult::kUnreadable;
    }, &streamSize, &error_);
    if (result != BuildResult::kBuilt)
        return result;
    RecordHeaderBytes((uint32_t)f.Size(), streamSize, Clamp(f.times, options_.clampTime), header);
    if (!write_(headerAt, header, sizeof header, &error_))
        return BuildResult::kUnreadable;
    digest_.Add(header, sizeof header);
    for (uint64_t at = 0; at < streamSize; at += 4u << 20) {
        Bytes piece((size_t)std::min<uint64_t>(4u << 20, streamSize - at));
        if (!read_(streamAt + at, piece.data(), piece.size(), &error_))
            return BuildResult::kUnreadable;
        digest_.Add(std::move(piece));
    }
    return BuildResult::kBuilt;
}

// The marker check, the digest recorded in the stub, the trailer.
BuildResult Builder::Finish(const Bytes& stub)
{
    // The unpacker takes the first marker in the file's last 30000 bytes for
    // the trailer: there must be none before ours.
    uint8_t trailer[kTrailerSize];
    WriteTrailer((uint32_t)starts_[0], trailer);
    uint64_t tailStart = written_ - tail_.size();
    tail_.insert(tail_.end(), trailer, trailer + kTrailerSize);
    uint32_t trailerEnd;
    FindPayloadEnd(tail_.data(), (uint32_t)tail_.size(), &trailerEnd);
    if (trailerEnd != tail_.size()) {
        uint64_t at = tailStart + trailerEnd - kEndMarkerLength - 1;
        // In the stub only a stub that stores the marker whole can have it;
        // in a record it is chance, which other compressed bytes undo.
        std::string advice = at < starts_[0] ? "use an unpacker built from this project, which holds no copy of it"
                                             : "another --level or --compressor packs that record differently";
        error_ = PartAt(at, starts_, manifest_, files_) + ": the marker bytes \"" + EndMarkerText() +
                 "\" occur at offset " + std::to_string(at) + ", within the last " + std::to_string(kScanWindow) +
                 " bytes before the trailer; the unpacker would take them for the trailer (" + advice + ")";
        return BuildResult::kRefused;
    }
    // The digest goes into the stub's image, where the unpacker finds it;
    // a stub without the place for it (not this project's unpacker, or one
    // from before) gets none.
    uint32_t at;
    uint8_t record[kImageDigestSize - kImageDigestRecorded] = {1};
    digest_.Finish(record + kImageDigestBytes - kImageDigestRecorded);
    if (FindImageDigest(stub.data(), (uint32_t)stub.size(), &at) &&
        !write_(at + kImageDigestRecorded, record, sizeof record, &error_))
        return BuildResult::kUnreadable;
    return Emit(trailer, sizeof trailer) ? BuildResult::kBuilt : BuildResult::kUnreadable;
}

}  // namespace

BuildResult BuildInstaller(const Bytes& stub, const InputFile& manifest, const std::vector<InputFile>& files,
                           const BuildOptions& options, const Writer& write, const Reader& read, std::string* error,
                           const BuildWatch& watch)
{
    BuildResult checked = CheckBuild(manifest, files, options, error);
    if (checked != BuildResult::kBuilt)
        return checked;
    return Builder(manifest, files, options, write, read, error, watch).Run(stub);
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
    auto read = [&](uint64_t offset, uint8_t* bytes, size_t size, std::string*) {
        std::memcpy(bytes, out->data() + offset, size);
        return true;
    };
    return BuildInstaller(stub, manifest, files, options, append, read, error) == BuildResult::kBuilt;
}

}  // namespace mksetup
