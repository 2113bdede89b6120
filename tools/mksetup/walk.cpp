// Reading installers as the unpacker reads them: the walk and the inflate
// step.
#include "tools/mksetup/installer.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace mksetup {

std::string OutputName(uint32_t index)
{
    char name[kOutputNameSize];
    OutputFileName(index, name);
    return name;
}

// The unpacker's result, for messages: "(-7)".
static std::string Result(ExtractResult result)
{
    return "(" + std::to_string(result) + ")";
}

const char* ZlibCodeName(int code)
{
    switch (code) {
    case Z_OK: return "Z_OK";
    case Z_STREAM_END: return "Z_STREAM_END";
    case Z_NEED_DICT: return "Z_NEED_DICT";
    case Z_ERRNO: return "Z_ERRNO";
    case Z_STREAM_ERROR: return "Z_STREAM_ERROR";
    case Z_DATA_ERROR: return "Z_DATA_ERROR";
    case Z_MEM_ERROR: return "Z_MEM_ERROR";
    case Z_BUF_ERROR: return "Z_BUF_ERROR";
    case Z_VERSION_ERROR: return "Z_VERSION_ERROR";
    default: return "unknown";
    }
}

int InflateRecord(const uint8_t* stream, uint32_t streamSize, uint32_t declaredSize, uint64_t* inflated,
                  const std::function<bool(const uint8_t*, size_t)>& write,
                  const std::function<void(uint32_t)>& consumed)
{
    // A record of up to 64 MB is inflated in one piece by libdeflate, three
    // times zlib's speed; where that fails, zlib inflates it again, so that
    // the code is uncompress's to the last (libdeflate succeeds exactly where
    // uncompress does, with the same bytes: the fuzz target holds the two
    // against each other).
    std::unique_ptr<uint8_t[]> whole(declaredSize <= (64u << 20) ? new (std::nothrow) uint8_t[declaredSize + 1] : nullptr);
    if (whole) {
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        size_t in = 0, out = 0;
        bool ok = d && libdeflate_zlib_decompress_ex(d, stream, streamSize, whole.get(), declaredSize, &in, &out) ==
                           LIBDEFLATE_SUCCESS;
        libdeflate_free_decompressor(d);
        if (ok) {
            if (consumed)
                consumed((uint32_t)in);
            if (inflated)
                *inflated = out;
            std::memset(whole.get() + out, 0, declaredSize - out);
            for (size_t at = 0; at < declaredSize; at += 1 << 20)
                if (!write(whole.get() + at, std::min<size_t>(declaredSize - at, 1 << 20)))
                    return Z_ERRNO;
            return Z_OK;
        }
        whole.reset();
    }
    z_stream z = {};
    if (inflateInit(&z) != Z_OK)
        return Z_MEM_ERROR;
    z.next_in = const_cast<uint8_t*>(stream);
    z.avail_in = streamSize;
    // Like uncompress: inflate until it stops, with output room for the
    // declared size and not a byte more.
    static const uInt kChunk = 1 << 20;
    std::vector<uint8_t> buffer(kChunk);
    uint8_t* chunk = buffer.data();
    uint64_t produced = 0;
    bool writing = true;
    int code;
    do {
        uInt room = (uInt)std::min<uint64_t>(declaredSize - produced, kChunk);
        z.next_out = chunk;
        z.avail_out = room;
        code = inflate(&z, Z_NO_FLUSH);
        uInt got = room - z.avail_out;
        produced += got;
        if (got && writing)
            writing = write(chunk, got);
        if (consumed)
            consumed((uint32_t)(z.next_in - stream));
    } while (code == Z_OK && writing);
    inflateEnd(&z);
    if (!writing)
        return Z_ERRNO;
    // uncompress's own mapping of inflate's last word.
    if (code == Z_STREAM_END)
        code = Z_OK;
    else if (code == Z_NEED_DICT)
        code = Z_DATA_ERROR;
    else if (code == Z_BUF_ERROR && produced < declaredSize)
        code = Z_DATA_ERROR;
    if (code != Z_OK)
        return code;
    if (inflated)
        *inflated = produced;
    std::memset(chunk, 0, kChunk);
    while (produced < declaredSize) {
        size_t n = (size_t)std::min<uint64_t>(declaredSize - produced, kChunk);
        if (!write(chunk, n))
            return Z_ERRNO;
        produced += n;
    }
    return Z_OK;
}

namespace {

// One walk, step by step as the unpacker's extraction takes it.
class Walker {
public:
    Walker(const uint8_t* data, uint32_t length, bool inflateAll, RecordSink* sink, InstallerWalk* walk,
           const std::function<void(uint64_t, uint64_t)>& passed)
        : data_(data), length_(length), inflateAll_(inflateAll), sink_(sink), walk_(*walk), passed_(passed)
    {
    }
    ~Walker()
    {
        if (hasher_.joinable())  // a walk that ended by an exception
            hasher_.join();
    }

    // The walk, with the payload's digest made beside it on a thread of its
    // own (on one core, on this one, after the walk).
    void Run()
    {
        Walk();
        if (hasher_.joinable())
            hasher_.join();
        else if (trailerStart_ != 0)
            Hash();
        if (trailerStart_ == 0)
            return;  // no trailer to tell where the payload is
        Blake2sEnd(&digest_, walk_.digest);
        uint32_t at;
        walk_.checks = FindImageDigest(data_, std::min(walk_.firstRecordOffset, length_), &at);
        walk_.recorded = walk_.checks && data_[at + kImageDigestRecorded] == 1;
        std::memcpy(walk_.recordedDigest, data_ + at + kImageDigestBytes, walk_.checks ? kDigestSize : 0);
        if (!walk_.checks)
            walk_.warnings.push_back("the stub holds no payload digest: an unpacker that cannot tell its payload "
                                     "from another installer's");
        else if (!walk_.recorded)
            Fail(Problem::kNoDigest, -1, at,
                 "the stub records no payload digest (built by an older mksetup): elevated, as Windows runs "
                 "installers, the unpacker starts nothing " + Result(kExtractPayloadNotOwn));
        else if (std::memcmp(walk_.digest, walk_.recordedDigest, kDigestSize) != 0)
            Fail(Problem::kNotOwnPayload, -1, walk_.firstRecordOffset,
                 "the payload's digest is not the one the stub records: the payload is not the one this stub was "
                 "built with, and the unpacker starts nothing " + Result(kExtractPayloadNotOwn));
    }

private:
    // The payload's digest, over every byte from the first record to the
    // trailer, letting the bytes go 4 MB at a time (the walk, which may not
    // have come to them yet, reads them again from the file).
    void Hash()
    {
        Blake2sBegin(&digest_);
        for (uint32_t at = walk_.firstRecordOffset; at < trailerStart_;) {
            uint32_t piece = std::min<uint32_t>(trailerStart_ - at, 4u << 20);
            Blake2sAdd(&digest_, data_ + at, piece);
            if (passed_)
                passed_(at, at + piece);
            at += piece;
        }
    }

    void Walk()
    {
        FindPayloadEnd(data_, length_, &walk_.trailerEnd);
        uint32_t end = walk_.trailerEnd;
        walk_.markerFound = end >= kEndMarkerLength + 1 &&
                            IsEndMarkerAt(data_ + end - kEndMarkerLength - 1);
        if (!walk_.markerFound) {
            NoTrailer();  // and no records read from bytes that are none
            return;
        }
        PayloadTrailer trailer;
        if (!ReadPayloadTrailer(data_, length_, end, &trailer)) {
            Fail(Problem::kTooShort, -1, 0, "the file is too short to hold a trailer (the unpacker stops with " +
                                              Result(kExtractPayloadUnreadable).substr(1));
            return;
        }
        if (walk_.markerFound && trailer.MarkerTerminator != 0)
            walk_.warnings.push_back("the trailer's final byte is not zero");
        trailerStart_ = end - kTrailerSize;
        walk_.firstRecordOffset = trailer.FirstRecordOffset;
        if (walk_.firstRecordOffset < trailerStart_) {
            try {
                hasher_ = std::thread([this] { Hash(); });
            } catch (const std::system_error&) {  // no thread to be had: Run hashes after the walk
            }
        }

        uint32_t running = trailer.FirstRecordOffset;
        Bytes manifest;  // the text up to its first zero byte
        if (!Record(0, &running, true, &manifest))
            return;
        if (manifest.size() > kMaxManifestText) {
            Fail(Problem::kManifestTooLarge, 0, trailer.FirstRecordOffset,
                 "the manifest's text is over " + std::to_string(kMaxManifestText) +
                     " bytes, too large to check");
            return;
        }
        if (!manifestEnded_)
            walk_.warnings.push_back("record 0 (the manifest) has no zero byte after its text");

        // The tags as the unpacker finds them: one pass, records 1, 2, ... up
        // to the first number without a tag.
        std::vector<uint8_t> seen(manifest.size() / 5 / 8 + 1);
        ManifestTagScan scan;
        BeginManifestTagScan(&scan, seen.data(), (uint32_t)manifest.size() / 5 + 2);
        ScanManifestText(&scan, manifest.data(), (uint32_t)manifest.size());
        uint32_t named = NamedRecordCount(&scan);
        walk_.names.assign(named + 1, std::string());
        for (const ManifestTag& t : ManifestTags(std::string(manifest.begin(), manifest.end()), named + 1))
            if (t.number <= named && walk_.names[t.number].empty())
                walk_.names[t.number] = t.name;
        if (named == 0)
            Fail(Problem::kNoSecondStage, 0, trailer.FirstRecordOffset,
                 "the manifest has no tag <P1=\": there is no second stage to start (the unpacker stops with " +
                     Result(kExtractNoSecondStage).substr(1));
        for (uint32_t n = 1; n <= named; ++n) {
            if (!Record(n, &running, inflateAll_, nullptr))
                return;
            if (outsideFrom_) {
                // Every later record would be sought at the same offset.
                Fail(Problem::kOutside, n, running,
                     "the manifest names records " + std::to_string(n) + " to " + std::to_string(named) +
                         ", but their headers would lie outside the file" +
                         (n == 1 ? " (with no second stage, the unpacker stops with " + Result(kExtractNoSecondStage).substr(1)
                                 : std::string()));
                return;
            }
        }
        if (walk_.problems.empty() && running < trailerStart_)
            Fail(Problem::kUnnamedRecords, -1, running,
                 std::to_string(trailerStart_ - running) + " bytes between the last record the manifest names (record " +
                     std::to_string(walk_.records.size() - 1) +
                     ") and the trailer are never extracted: is a <Pn=\" tag missing from the manifest?");
    }

    // No marker in the window: in plain words, what the file is. An
    // installer whose trailer was pushed out (by a signature, say) says by
    // how much; one that holds the unpacker's image but no trailer at all
    // was cut short; anything else is no installer.
    void NoTrailer()
    {
        for (uint64_t p = length_ >= kEndMarkerLength + 1 ? length_ - kEndMarkerLength - 1 : 0; p-- > 0;) {
            if (data_[p] == '!' && IsEndMarkerAt(data_ + p)) {
                walk_.trailerOutsideEnd = p + kEndMarkerLength + 1;
                uint64_t after = length_ - walk_.trailerOutsideEnd;
                Fail(Problem::kNoTrailer, -1, 0,
                     "is not an installer the unpacker can read: its trailer ends at offset " +
                         std::to_string(walk_.trailerOutsideEnd) + ", and the " + std::to_string(after) +
                         " bytes after it are " + std::to_string(after - kMaxBytesAfterTrailer) + " more than the " +
                         std::to_string(kMaxBytesAfterTrailer) + " the unpacker allows");
                return;
            }
        }
        uint32_t at;
        bool unpacker = FindImageDigest(data_, std::min<uint32_t>(length_, 1u << 20), &at);
        Fail(Problem::kNoTrailer, -1, 0,
             std::string(unpacker ? "is truncated: it holds the unpacker but not" : "is not an installer: no") +
                 " end marker (\"" + EndMarkerText() + "\") in its last " + std::to_string(kScanWindow) + " bytes");
    }

    void Fail(Problem::Kind kind, int64_t index, uint64_t offset, const std::string& what)
    {
        walk_.problems.push_back(Problem{kind, index, offset, what});
    }

    // One record at *running, as one call of the unpacker's extraction.
    // False where the unpacker stops. The bytes it passed over are handed to
    // passed_ once it is done with them.
    bool Record(uint32_t index, uint32_t* running, bool inflate, Bytes* keep)
    {
        uint32_t start = *running;
        bool go = RecordAt(index, running, inflate, keep);
        if (passed_ && *running > start)
            passed_(start, *running);
        return go;
    }

    bool RecordAt(uint32_t index, uint32_t* running, bool inflate, Bytes* keep)
    {
        uint32_t offset = *running;
        FileRecordHeader header;
        if (!ReadRecordHeader(data_, length_, offset, &header)) {
            if (index == 0) {
                Fail(Problem::kOutside, 0, offset, "record 0's header lies outside the file (the unpacker stops with " +
                                                   Result(kExtractPayloadUnreadable).substr(1));
                return false;
            }
            // The unpacker reports it and goes on from the same offset.
            outsideFrom_ = index;
            return true;
        }
        if (offset >= trailerStart_) {
            Fail(Problem::kInTrailer, index, offset,
                 (index == 0 ? std::string("record 0 would start")
                             : "the manifest names record " + std::to_string(index) + ", but it would start") +
                     " inside or after the trailer (offset " + std::to_string(trailerStart_) + ")");
            return false;
        }
        walk_.records.push_back(WalkedRecord{index, offset, header});
        *running = offset + kRecordHeaderSize + header.CompressedSize;
        if (!RecordStreamInside(length_, offset, &header)) {
            Fail(Problem::kStreamOutside, index, offset, "is truncated: its stream of " +
                                    std::to_string(header.CompressedSize) + " bytes runs past the end of the file");
            return false;
        }
        if (!DeclaredSizePossible(&header)) {
            Fail(Problem::kImpossibleSize, index, offset,
                 "declares " + std::to_string(header.UncompressedSize) + " bytes, more than its stream of " +
                     std::to_string(header.CompressedSize) + " could ever inflate to (" +
                     std::to_string(kMaxInflateRatio) + " per byte): damage, which the unpacker refuses before " +
                     "making the file (Error in uncompress routine -3)");
            return false;
        }
        if (!inflate)
            return true;
        const WalkedRecord& record = walk_.records.back();
        if (sink_ && !sink_->Open(record))
            return false;  // the sink has said why
        uint64_t inflated = 0;
        uint64_t streamAt = offset + kRecordHeaderSize;
        uint32_t released = 0;
        int code = InflateRecord(data_ + offset + kRecordHeaderSize, header.CompressedSize, header.UncompressedSize,
                                 &inflated, [&](const uint8_t* bytes, size_t n) {
                                     if (keep && !manifestEnded_) {
                                         // Kept up to one byte past the limit, which
                                         // Run then reports.
                                         const uint8_t* zero = (const uint8_t*)std::memchr(bytes, 0, n);
                                         size_t take = std::min<size_t>(zero ? zero - bytes : n,
                                                                        kMaxManifestText + 1 - keep->size());
                                         keep->insert(keep->end(), bytes, bytes + take);
                                         manifestEnded_ = zero != nullptr || keep->size() > kMaxManifestText;
                                     }
                                     return !sink_ || sink_->Write(bytes, n);
                                 },
                                 [&](uint32_t read) {  // a large stream let go as it is read
                                     if (passed_ && read - released >= (64u << 20)) {
                                         passed_(streamAt + released, streamAt + read);
                                         released = read;
                                     }
                                 });
        bool closed = !sink_ || sink_->Close(code == Z_OK);
        if (code == Z_ERRNO || !closed)
            return false;
        if (code != Z_OK) {
            Fail(Problem::kInflateFailed, index, offset, "inflating fails with zlib code " + std::to_string(code) + " (" + ZlibCodeName(code) +
                                    ")");
            return false;
        }
        if (inflated < header.UncompressedSize)  // the unpacker goes on, its file ending in zeros
            Fail(Problem::kShortStream, index, offset,
                 "its stream inflates to " + std::to_string(inflated) + " bytes, fewer than the " +
                     std::to_string(header.UncompressedSize) + " it declares: damage, which the unpacker fills with zeros");
        return true;
    }

    const uint8_t* data_;
    uint32_t length_;
    bool inflateAll_;
    RecordSink* sink_;
    InstallerWalk& walk_;
    std::function<void(uint64_t, uint64_t)> passed_;
    uint32_t trailerStart_ = 0;
    Blake2s digest_;
    std::thread hasher_;
    bool manifestEnded_ = false;  // a zero byte ended the manifest's text
    uint32_t outsideFrom_ = 0;    // the first named record whose header is outside
};

}  // namespace

InstallerWalk WalkInstaller(const uint8_t* data, uint64_t size, bool inflateAll, RecordSink* sink,
                            const std::function<void(uint64_t, uint64_t)>& passed)
{
    InstallerWalk walk;
    walk.fileSize = size;
    walk.signature = FindSignature(data, size);
    if (size > 0xFFFFFFFFull) {
        walk.problems.push_back(
            Problem{Problem::kTooLarge, -1, 0, "the file is " + std::to_string(size) + " bytes; the unpacker maps only files under 4 GB"});
        return walk;
    }
    const PeSignature& signature = walk.signature;
    if (!signature.inPlace) {
        walk.problems.push_back(Problem{Problem::kBadCertificates, -1, signature.offset,
                                        "the certificate table (" + std::to_string(signature.size) + " bytes at offset " +
                                            std::to_string(signature.offset) +
                                            ") does not end the file; the unpacker reads no payload from it " +
                                            Result(kExtractPayloadUnreadable)});
        return walk;
    }
    if (signature.slack)
        walk.problems.push_back(Problem{Problem::kCertificateSlack, -1, signature.offset,
                                        std::to_string(signature.slack) +
                                            " bytes of the certificate table are neither signature nor its padding: "
                                            "room for hidden content, refused by Windows' certificate padding check"});
    Walker(data, signature.payloadEnd, inflateAll, sink, &walk, passed).Run();
    return walk;
}

}  // namespace mksetup
