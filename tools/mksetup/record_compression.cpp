// A record's stream, whole or in pieces.
#include "tools/mksetup/record_compression.h"

#include "tools/mksetup/file_io.h"
#include "tools/mksetup/record_cache.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace mksetup {

uint64_t CompressionCost(uint64_t size)
{
    // Its input, a stream of at most its size plus a little, and a cached
    // stream's inflated bytes, to compare.
    return 3 * size + (size >> 10) + (1 << 16);
}

void Compress(Compression* c, const Bytes* manifestRecord, const BuildOptions& options)
{
    const InputFile& f = *c->file;
    try {
        Bytes read;
        const Bytes* data = manifestRecord ? manifestRecord : &f.data;
        if (!manifestRecord && f.fromPath) {
            if (!ReadFileExactly(f.path, f.size, f.id, &read, &c->error)) {
                c->failure = BuildResult::kUnreadable;
                return;
            }
            data = &read;
        }
        if (FindCachedStream(options, data->data(), data->size(), &c->stream))
            return;
        // What does not shrink is stored: compressing it would cost time and
        // gain nothing (or lose a little).
        int level = options.level && WorthCompressing(data->data(), data->size()) ? options.level : 0;
        c->stream = CompressStream(data->data(), data->size(), options.compressor, level);
        if (!c->stream.empty())
            CacheStream(options, data->data(), data->size(), c->stream);
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

static std::string ChangedSize(const InputFile& f)
{
    return f.path + ": changed size while it was read (" + std::to_string(f.Size()) + " bytes when the build began)";
}

namespace {

// A file too large to hold is cut into pieces of kPiece bytes, each
// deflated by a worker on its own as the next part of one zlib stream:
// with the last 32 KB of the piece before as its dictionary (so that
// matches reach back across the cut as in one stream) and ending on a
// byte boundary (a sync flush), the last one ending the stream. The bytes
// depend only on the file and the level, never on the number of workers.
// A piece that would not shrink is stored as it is.
const size_t kPiece = 4u << 20, kDictionary = 32u << 10;

struct Piece {
    Bytes in, dictionary, out;
    bool last = false;
    enum { kFree, kFilled, kTaken, kDone } state = kFree;
    bool failed = false;
};

void DeflatePiece(Piece* p, int level)
{
    z_stream z = {};
    int pieceLevel = WorthCompressing(p->in.data(), p->in.size()) ? level : 0;
    if (deflateInit2(&z, pieceLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        p->failed = true;
        return;
    }
    if (pieceLevel && !p->dictionary.empty())
        deflateSetDictionary(&z, p->dictionary.data(), (uInt)p->dictionary.size());
    p->out.resize(deflateBound(&z, (uLong)p->in.size()) + 64);
    z.next_in = p->in.data(), z.avail_in = (uInt)p->in.size();
    z.next_out = p->out.data(), z.avail_out = (uInt)p->out.size();
    int code = deflate(&z, p->last ? Z_FINISH : Z_SYNC_FLUSH);
    p->failed = code == Z_STREAM_ERROR || z.avail_in != 0 || (p->last && code != Z_STREAM_END);
    p->out.resize(z.total_out);
    deflateEnd(&z);
}

}  // namespace

bool WorthCompressing(const uint8_t* data, size_t size)
{
    // Up to four samples of 64 KB, spread over the data, at libdeflate's
    // fastest level: what does not shrink by 3 per cent there is already
    // compressed (or random), and stored costs nothing to write or read.
    const size_t kSample = 64u << 10;
    libdeflate_compressor* c = libdeflate_alloc_compressor(1);
    if (!c)
        return true;
    uint8_t out[kSample + 1024];
    size_t sampled = 0, packed = 0;
    for (int i = 0; i < 4; ++i) {
        size_t at = size > kSample ? (size - kSample) / 3 * i : 0, n = std::min(size - at, kSample);
        size_t made = libdeflate_deflate_compress(c, data + at, n, out, sizeof out);
        sampled += n, packed += made ? made : n;
        if (size <= kSample)
            break;
    }
    libdeflate_free_compressor(c);
    return packed * 100 < sampled * 97;
}

unsigned PieceWindow(unsigned jobs)
{
    return std::min(2 * std::max(jobs, 1u), 16u);
}

uint64_t PiecesCost(unsigned jobs)
{
    return (uint64_t)PieceWindow(jobs) * (2 * kPiece + kDictionary + (1 << 16));
}

BuildResult DeflatePieces(const InputFile& f, int level, unsigned jobs,
                          const std::function<BuildResult(const uint8_t*, size_t, uint64_t)>& emit,
                          uint64_t* streamSize, std::string* error)
{
    level = std::min(level, 9);
    *streamSize = 0;
    FILE* file = nullptr;
    if (f.fromPath && !(file = OpenToRead(f.path, error, nullptr, &f.id)))
        return BuildResult::kUnreadable;
    const unsigned window = PieceWindow(jobs);
    const uint64_t size = f.Size(), count = std::max<uint64_t>(1, (size + kPiece - 1) / kPiece);
    std::vector<Piece> pieces(window);
    std::mutex lock;
    std::condition_variable changed;
    bool stop = false;
    uint64_t next = 0;  // the next piece a worker takes
    std::vector<std::thread> workers;
    auto work = [&] {
        for (;;) {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return stop || pieces[next % window].state == Piece::kFilled; });
            if (stop)
                return;
            Piece* p = &pieces[next++ % window];
            p->state = Piece::kTaken;
            hold.unlock();
            try {
                DeflatePiece(p, level);
            } catch (const std::bad_alloc&) {
                p->failed = true;
            }
            hold.lock();
            p->state = Piece::kDone;
            changed.notify_all();
        }
    };
    BuildResult result = BuildResult::kBuilt;
    try {
        for (unsigned j = 0; j < std::min<uint64_t>(std::max(jobs, 1u), count); ++j)
            workers.emplace_back(work);
        // The zlib header, as zlib writes it for the level.
        uint8_t header[2] = {0x78, (uint8_t)((level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3) << 6)};
        header[1] += 31 - (header[0] * 256 + header[1]) % 31;
        result = emit(header, 2, 0);
        *streamSize += 2;
        uint32_t adler = 1;  // Adler-32 of nothing
        Bytes tail;  // the last 32 KB read: the next piece's dictionary
        uint64_t read = 0, filled = 0;
        for (uint64_t written = 0; written < count && result == BuildResult::kBuilt;) {
            // Fill every free place in the window, in order.
            for (; filled < count && filled < written + window; ++filled) {
                Piece& p = pieces[filled % window];
                size_t want = (size_t)std::min<uint64_t>(kPiece, size - read);
                p.in.resize(want);
                size_t got = !file ? (std::memcpy(p.in.data(), f.data.data() + read, want), want)
                                   : std::fread(p.in.data(), 1, want, file);
                if (got != want) {
                    *error = std::ferror(file) ? f.path + ": read error" : ChangedSize(f);
                    result = BuildResult::kUnreadable;
                    break;
                }
                adler = libdeflate_adler32(adler, p.in.data(), want);  // zlib's, at vector speed
                p.dictionary = tail;
                tail.assign(p.in.end() - std::min(want, kDictionary), p.in.end());  // only the last is shorter
                read += want;
                p.last = filled + 1 == count;
                std::lock_guard<std::mutex> hold(lock);
                p.state = Piece::kFilled;
                changed.notify_all();
            }
            if (result != BuildResult::kBuilt)
                break;
            Piece& p = pieces[written % window];
            {
                std::unique_lock<std::mutex> hold(lock);
                changed.wait(hold, [&] { return p.state == Piece::kDone; });
            }
            if (p.failed) {
                *error = f.path + ": not enough memory to compress it";
                result = BuildResult::kUnreadable;
                break;
            }
            result = emit(p.out.data(), p.out.size(), std::min(size, (written + 1) * kPiece));
            *streamSize += p.out.size();
            Bytes().swap(p.out), Bytes().swap(p.in), Bytes().swap(p.dictionary);
            std::lock_guard<std::mutex> hold(lock);
            p.state = Piece::kFree;
            ++written;
        }
        uint8_t more;
        if (result == BuildResult::kBuilt && file && std::fread(&more, 1, 1, file) == 1)
            *error = ChangedSize(f), result = BuildResult::kUnreadable;
        uint8_t trailer[4] = {(uint8_t)(adler >> 24), (uint8_t)(adler >> 16), (uint8_t)(adler >> 8), (uint8_t)adler};
        if (result == BuildResult::kBuilt && (result = emit(trailer, 4, size)) == BuildResult::kBuilt)
            *streamSize += 4;
    } catch (const std::bad_alloc&) {
        *error = f.path + ": not enough memory to compress it";
        result = BuildResult::kUnreadable;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        stop = true;
        changed.notify_all();
    }
    for (std::thread& w : workers)
        w.join();
    if (file)
        std::fclose(file);
    return result;
}

}  // namespace mksetup
