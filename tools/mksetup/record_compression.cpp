// A record's stream, whole or in pieces.
#include "tools/mksetup/record_compression.h"

#include "tools/mksetup/file_io.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace mksetup {

uint64_t CompressionCost(uint64_t size)
{
    return 2 * size + (size >> 10) + (1 << 16);  // input, and a stream of at most its size plus a little
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

static std::string ChangedSize(const InputFile& f)
{
    return f.path + ": changed size while it was read (" + std::to_string(f.Size()) + " bytes when the build began)";
}

// zlib's deflate makes the same stream however its input is cut into
// pieces, so the bytes depend only on the file and the level.
BuildResult DeflatePieces(const InputFile& f, int level, const std::function<BuildResult(const uint8_t*, size_t, uint64_t)>& emit,
                          uint64_t* streamSize, std::string* error)
{
    const size_t kPiece = 1 << 20;
    z_stream z = {};
    if (deflateInit(&z, std::min(level, 9)) != Z_OK) {
        *error = f.path + ": not enough memory to compress it";
        return BuildResult::kUnreadable;
    }
    Bytes in(kPiece), out(kPiece);
    BuildResult result = BuildResult::kBuilt;
    FILE* file = f.fromPath ? OpenToRead(f.path, error, nullptr, &f.id) : nullptr;
    if (f.fromPath && !file)
        result = BuildResult::kUnreadable;
    uint64_t read = 0;
    int code = Z_OK;
    while (result == BuildResult::kBuilt && code != Z_STREAM_END) {
        if (z.avail_in == 0 && read < f.Size()) {
            size_t want = (size_t)std::min<uint64_t>(kPiece, f.Size() - read), got = want;
            if (file)
                got = std::fread(in.data(), 1, want, file);
            else
                std::memcpy(in.data(), f.data.data() + read, want);
            if (got != want) {
                *error = std::ferror(file) ? f.path + ": read error" : ChangedSize(f);
                result = BuildResult::kUnreadable;
                break;
            }
            z.next_in = in.data(), z.avail_in = (uInt)got, read += got;
        }
        z.next_out = out.data(), z.avail_out = (uInt)kPiece;
        code = deflate(&z, read == f.Size() ? Z_FINISH : Z_NO_FLUSH);
        if (code == Z_STREAM_ERROR)
            *error = f.path + ": zlib could not compress it", result = BuildResult::kRefused;
        else
            result = emit(out.data(), kPiece - z.avail_out, read - z.avail_in);
    }
    uint8_t more;
    if (result == BuildResult::kBuilt && file && std::fread(&more, 1, 1, file) == 1)
        *error = ChangedSize(f), result = BuildResult::kUnreadable;
    if (file)
        std::fclose(file);
    *streamSize = z.total_out;
    deflateEnd(&z);
    return result;
}

}  // namespace mksetup
