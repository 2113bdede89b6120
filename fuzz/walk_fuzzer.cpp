// libFuzzer target: the installer walk that mksetup's list, verify and
// extract share, over any bytes (the payload format's trailer scan, bounds
// checks, header reads and tag search), with every record it inflates
// inflated twice more, by zlib's uncompress and by the unpacker's
// InflateStream. All three must agree on success and then on every byte of
// the declared size, and on the error code but where a stream both
// overflows its output and is corrupt (see inflate_stream.h).
#include "extract/inflate_stream.h"
#include "tools/mksetup/installer.h"

#include <libdeflate.h>
#include <zlib.h>

namespace {

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
        std::vector<uint8_t> zlib(h.UncompressedSize), unpacker(h.UncompressedSize);
        uLongf length = h.UncompressedSize;
        int want = uncompress(zlib.data(), &length, stream, h.CompressedSize);
        int got = InflateStream(decompressor, stream, h.CompressedSize, unpacker.data(), h.UncompressedSize);
        bool edge = (got == kInflateTooLarge && want == kInflateBadData) || (got == kInflateBadData && want == kInflateTooLarge);
        if ((got != want && !edge) || whole != (want == Z_OK) || (whole && (zlib != unpacker || zlib != pieces)))
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
