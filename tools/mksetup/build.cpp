// Writing installers: streams, records, the manifest, the whole layout.
#include "tools/mksetup/installer.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

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

void AppendRecord(Bytes& out, uint32_t uncompressedSize, const Bytes& stream, const FileTimes& times)
{
    FileRecordHeader header;
    header.UncompressedSize = uncompressedSize;
    header.CompressedSize = (uint32_t)stream.size();
    header.CreationTime = times.creation;
    header.LastAccessTime = times.lastAccess;
    header.LastWriteTime = times.lastWrite;
    uint8_t bytes[kRecordHeaderSize];
    WriteRecordHeader(&header, bytes);
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

bool BuildInstaller(const Bytes& stub, const InputFile& manifest, const std::vector<InputFile>& files,
                    const BuildOptions& options, Bytes* out, std::string* error,
                    const std::function<void(size_t, size_t)>& progress)
{
    if (stub.empty()) {
        *error = "the stub is empty";
        return false;
    }
    if (files.empty()) {
        *error = "no FILE given: record 1 is the program that the unpacker starts";
        return false;
    }
    if (options.level < 0 || options.level > MaxLevel(options.compressor)) {
        *error = "--level must be 0 to " + std::to_string(MaxLevel(options.compressor));
        return false;
    }
    for (const InputFile& f : files) {
        if (f.data.empty()) {
            *error = f.path + ": the file is empty; the unpacker cannot map an output file of size 0";
            return false;
        }
    }
    if (manifest.path == kGeneratedManifest) {
        // A name that could end its tag, or start another, is refused.
        for (const InputFile& f : files) {
            if (f.name.find_first_of("\"<>\r\n") != std::string::npos) {
                *error = f.path + ": its name holds \", <, > or a line break, which would add or break a tag of the " +
                         "generated manifest; rename it or give --manifest";
                return false;
            }
        }
    }
    if (!CheckManifest(manifest, files, error))
        return false;

    Bytes result = stub;
    std::vector<uint64_t> starts;
    const uint64_t kLimit = 0xFFFFFFFFull;  // every offset and size fits 32 bits
    auto tooLarge = [&](const std::string& what) {
        *error = what + ": the installer would be 4 GB or more; the unpacker maps only files under 4 GB";
        return false;
    };
    if (result.size() > kLimit)
        return tooLarge("the stub");

    // Record 0: the manifest text and one zero byte, so that the unpacker's
    // search for tags ends inside the record.
    Bytes manifestRecord = manifest.data;
    manifestRecord.push_back(0);
    for (size_t i = 0; i <= files.size(); ++i) {
        if (progress)
            progress(i, files.size() + 1);
        const InputFile& f = i == 0 ? manifest : files[i - 1];
        const Bytes& data = i == 0 ? manifestRecord : f.data;
        if ((uint64_t)data.size() >= kLimit)
            return tooLarge(f.path);
        Bytes stream = CompressStream(data.data(), data.size(), options.compressor, options.level);
        if (stream.empty()) {
            *error = f.path + ": zlib could not compress it";
            return false;
        }
        if (result.size() + kRecordHeaderSize + stream.size() + kTrailerSize > kLimit)
            return tooLarge(f.path);
        starts.push_back(result.size());
        AppendRecord(result, (uint32_t)data.size(), stream, Clamp(f.times, options.clampTime));
    }
    if (progress)
        progress(files.size() + 1, files.size() + 1);
    AppendTrailer(result, (uint32_t)starts[0]);

    // The unpacker takes the first marker in the file's last 30000 bytes for
    // the trailer: there must be none before ours.
    uint32_t trailerEnd;
    FindPayloadEnd(result.data(), (uint32_t)result.size(), &trailerEnd);
    if (trailerEnd != result.size()) {
        uint64_t at = trailerEnd - kEndMarkerLength - 1;
        // In the stub only a stub that stores the marker whole can have it;
        // in a record it is chance, which other compressed bytes undo.
        std::string advice = at < starts[0] ? "use an unpacker built from this project, which holds no copy of it"
                                            : "another --level or --compressor packs that record differently";
        *error = PartAt(at, starts, manifest, files) + ": the marker bytes \"" + EndMarkerText() + "\" occur at offset " +
                 std::to_string(at) + ", within the last " + std::to_string(kScanWindow) +
                 " bytes before the trailer; the unpacker would take them for the trailer (" + advice + ")";
        return false;
    }
    *out = std::move(result);
    return true;
}

}  // namespace mksetup
