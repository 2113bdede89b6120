// libFuzzer target: the installer walk that mksetup's list, verify and
// extract share, over any bytes (the payload format's trailer scan, bounds
// checks, header reads and tag search), with every record it inflates
// inflated three times more: by zlib's uncompress, by the unpacker's
// InflateStream, and by its InflateStreamInWindows through windows of a few
// bytes to a few KB. All must agree on success and then on every byte of
// the declared size, and on the error code but where a stream both
// overflows its output and is corrupt and libdeflate inflates it (see
// inflate_stream.h); the windows, zlib's too, must give uncompress's code.
// A record of size 0 is an empty file, which the unpacker maps nothing of:
// its stream must inflate to nothing, and no windows are taken.
#include "extract/inflate_stream.h"
#include "tools/mksetup/installer.h"

#include <algorithm>
#include <libdeflate.h>
#include <zlib.h>

namespace {

// Windows of in and out bytes over the two buffers.
struct Windows {
    const uint8_t* stream;
    uint8_t* output;
    uint32_t in, out;
};

const uint32_t kCompared = 1 << 20;  // larger outputs are only counted

struct Agreement : mksetup::RecordSink {
    const uint8_t* data;
    mksetup::WalkedRecord record;
    uint64_t seen = 0;
    std::vector<uint8_t> pieces;

    bool Open(const mksetup::WalkedRecord& r) override
    {
        record = r;
        seen = 0;
        pieces.clear();
        return true;
    }
    bool Write(const uint8_t* bytes, size_t size) override
    {
        seen += size;
        if (record.header.UncompressedSize <= kCompared)
            pieces.insert(pieces.end(), bytes, bytes + size);
        return true;
    }
    bool Close(bool whole) override
    {
        const FileRecordHeader& h = record.header;
        if (whole && seen != h.UncompressedSize)
            __builtin_trap();
        if (h.UncompressedSize > kCompared)
            return true;
        static libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
        const uint8_t* stream = data + record.offset + kRecordHeaderSize;
        std::vector<uint8_t> zlib(h.UncompressedSize), unpacker(h.UncompressedSize), windowed(h.UncompressedSize);
        uLongf length = h.UncompressedSize;
        int want = uncompress(zlib.data(), &length, stream, h.CompressedSize);
        if (h.UncompressedSize == 0) {
            // An empty file: its stream must inflate to nothing. (uncompress
            // into no room takes a stream of one byte; the unpacker does not.)
            uint8_t byte;
            length = 1;
            want = uncompress(&byte, &length, stream, h.CompressedSize);
            want = want == Z_OK && length ? Z_BUF_ERROR : want;
        }
        int got = InflateStream(decompressor, stream, h.CompressedSize, unpacker.data(), h.UncompressedSize);
        Windows w = {stream, windowed.data(), 1 + record.offset % 4099, 1 + (record.offset / 3 + h.CompressedSize) % 5003};
        InflateWindows windows = {
            [](void* c, uint32_t at, uint32_t* n) { return *n = std::min(*n, ((Windows*)c)->in), ((Windows*)c)->stream + at; },
            [](void* c, uint32_t at, uint32_t* n) { return *n = std::min(*n, ((Windows*)c)->out), ((Windows*)c)->output + at; },
            &w};
        int gotWindowed = InflateStreamInWindows(&windows, h.CompressedSize, h.UncompressedSize);
        bool edge = (got == kInflateTooLarge && want == kInflateBadData) || (got == kInflateBadData && want == kInflateTooLarge);
        if ((got != want && !edge) || whole != (want == Z_OK) || (whole && (zlib != unpacker || zlib != pieces)))
            __builtin_trap();
        if (h.UncompressedSize && (gotWindowed != want || (whole && windowed != zlib)))  // no windows of nothing
            __builtin_trap();
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Agreement sink;
    sink.data = data;
    for (const mksetup::WalkedRecord& r : mksetup::WalkInstaller(data, size, true, &sink).records)
        if ((uint64_t)r.offset + kRecordHeaderSize > size)  // every record it reports lies inside
            __builtin_trap();
    return 0;
}
