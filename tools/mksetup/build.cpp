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

int DefaultLevel(Compressor)
{
    // libdeflate's 9 packs about as small as zlib's 9 at twice its speed or
    // more; its 10 to 12 pack a few per cent smaller at four to ten times
    // the time of its 9 (see the benchmarks): asked for, not the default.
    return 9;
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

bool IsWindowsExecutable(const Bytes& data)
{
    auto u16 = [&](size_t at) { return (unsigned)data[at] | (unsigned)data[at + 1] << 8; };
    if (data.size() < 0x40 || data[0] != 'M' || data[1] != 'Z')
        return false;
    size_t pe = u16(0x3C) | (size_t)u16(0x3E) << 16;
    if (pe > data.size() - 26 || data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] || data[pe + 3])
        return false;
    unsigned characteristics = u16(pe + 22), magic = u16(pe + 24);
    return (magic == 0x10B || magic == 0x20B) && (characteristics & 0x0002) && !(characteristics & 0x2000);
}

void RecordHeaderBytes(uint32_t uncompressedSize, size_t streamSize, const FileTimes& times,
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

std::vector<ManifestTag> ManifestTags(const std::string& text, uint32_t limit)
{
    std::vector<ManifestTag> tags;
    std::vector<uint8_t> seen(limit / 8 + 1);
    ManifestTagScan scan;
    BeginManifestTagScan(&scan, seen.data(), limit);
    scan.stopAtTags = true;
    const uint8_t* bytes = (const uint8_t*)text.data();
    for (size_t at = 0; at < text.size() && !scan.ended;) {
        uint32_t piece = (uint32_t)std::min<size_t>(text.size() - at, 1u << 30);
        at += ScanManifestText(&scan, bytes + at, piece);
        if (scan.tagged) {
            // The name runs to its '"' (the scan stops at a zero byte first).
            size_t start = text.rfind('<', at - 1), end = std::min(text.find_first_of(std::string("\"\0", 2), at), text.size());
            tags.push_back(ManifestTag{scan.number, text.substr(start, at - start), text.substr(at, end - at)});
        }
    }
    return tags;
}

std::string EndMarkerText()
{
    char marker[kEndMarkerLength + 1];
    CopyEndMarker(marker);
    return marker;
}

}  // namespace mksetup
