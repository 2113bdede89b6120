// Building and reading installers: the unpacker's executable with the
// payload appended. Portable C++17 on the shared payload format, for the
// mksetup tool (Linux and Windows) and the tests. build.cpp writes them,
// walk.cpp reads them.
#pragma once

#include "extract/payload_digest.h"
#include "extract/payload_format.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mksetup {

using Bytes = std::vector<uint8_t>;

// FILETIME values: 100 ns intervals since 1601-01-01 UTC.
struct FileTimes {
    uint64_t creation = 0;
    uint64_t lastAccess = 0;
    uint64_t lastWrite = 0;
};

// ---- Writing ----------------------------------------------------------

// A zlib-format stream (RFC 1950) of data at level 0 to 9.
Bytes ZlibCompress(const uint8_t* data, size_t size, int level);

// Which compressor writes the records' streams. Both write the zlib format
// without a preset dictionary, with a window of at most 32 KB, as the
// unpacker reads it. libdeflate's strongest level packs smaller, and is the
// default on Linux and Windows alike (the same version: the same bytes).
enum class Compressor { kZlib, kLibdeflate };
Compressor DefaultCompressor();
int DefaultLevel(Compressor compressor);  // 9 for zlib, 12 for libdeflate
int MaxLevel(Compressor compressor);

// A zlib-format stream of data; empty on failure.
Bytes CompressStream(const uint8_t* data, size_t size, Compressor compressor, int level);

// True when data is a Windows executable: an MZ header leading to a PE
// header whose optional header is PE32 or PE32+, marked executable and not
// a DLL.
bool IsWindowsExecutable(const Bytes& data);

// A record's header, as it goes before its stream.
void RecordHeaderBytes(uint32_t uncompressedSize, size_t streamSize, const FileTimes& times,
                       uint8_t (&bytes)[kRecordHeaderSize]);

// Appends one record: header, then the stream as given.
void AppendRecord(Bytes& out, uint32_t uncompressedSize, const Bytes& stream, const FileTimes& times);

// Appends the 19-byte trailer.
void AppendTrailer(Bytes& out, uint32_t firstRecordOffset);

// Which file a path names, so that two names of one file are told apart
// from two files: device and inode on Linux, volume and file index on
// Windows.
struct FileId {
    uint64_t device = 0, file = 0;
    bool operator==(const FileId& other) const { return device == other.device && file == other.file; }
};

struct InputFile {
    std::string path;  // as given, for messages
    std::string name;  // its name in the generated manifest, in its code page
    std::string label; // that name in UTF-8, for messages (name if empty)
    Bytes data;        // the content, unless it is read from path
    // Read from path when it is compressed, which must then be the file id
    // and hold exactly size bytes (what they were when the build began).
    bool fromPath = false;
    FileId id;
    uint64_t size = 0;
    FileTimes times;
    uint64_t Size() const { return fromPath ? size : data.size(); }
};

// The manifest made when none is given: one <Pn="NAME"> line per file, n
// from 1, with all three times set to time. Its path is kGeneratedManifest;
// BuildInstaller refuses it when a name holds ", <, > or a line break.
static const char kGeneratedManifest[] = "the generated manifest";
InputFile GeneratedManifest(const std::vector<InputFile>& files, uint64_t time);

struct BuildOptions {
    Compressor compressor = DefaultCompressor();
    int level = DefaultLevel(DefaultCompressor());
    // When set (SOURCE_DATE_EPOCH): creation and last-write times are
    // clamped to it, and the last-access time, which reading the file
    // moves, is the clamped last-write time.
    std::optional<uint64_t> clampTime;
    // Threads that compress records (0: one per core). The bytes written
    // are the same whatever the number.
    unsigned jobs = 0;
    // Where compressed records are kept for the next build ("": nowhere),
    // and how many bytes they may take there (see record_cache.h).
    std::string cacheFolder;
    uint64_t cacheLimit = 2048ull << 20;
};

// What a build came to.
enum class BuildResult {
    kBuilt,
    kRefused,    // the unpacker would mishandle it (see BuildInstaller)
    kUnreadable, // an input could not be read, changed size while it was, or
                 // there was no memory for it; or the output could not be written
};

// Writes size bytes at offset of the installer being built; false when it
// could not (error says why). Every byte is written in order but the stub's
// payload digest, written over once the payload is known.
using Writer = std::function<bool(uint64_t offset, const uint8_t* bytes, size_t size, std::string* error)>;
// Reads back size bytes at offset of what was written; false when it could
// not (error says why).
using Reader = std::function<bool(uint64_t offset, uint8_t* bytes, size_t size, std::string* error)>;

// Lays out stub, manifest record, one record per file, trailer, writing
// them in order to write (false: it could not; error says why), and records
// the payload's digest in the stub (see FindImageDigest). Refuses, with a
// message naming the file and the rule, whatever the unpacker would
// mishandle: an empty file, 4 GB or more in all, a manifest with a zero
// byte, a tag twice, or tags that are not exactly 1..N for the N files, a
// generated manifest that a name would break, the marker bytes inside the
// last 30000 bytes before the trailer.
//
// Records of files up to 64 MB are compressed whole, on options.jobs
// threads, by the compressor asked for, and written in order;
// a larger file is read and deflated a piece at a time by zlib (level 9 at
// most) as it is written, and read back for the digest. Memory: the whole
// records in flight (each its input and its compressed bound) are kept
// within the largest one's cost plus 64 MB: under 512 MB, whatever the
// files. The bytes are the same for any number of threads.
// What a build tells as it goes: bytes of the inputs packed so far, of
// all; and each record once it is written (0 the manifest), with the size
// of its stream.
struct BuildWatch {
    std::function<void(uint64_t done, uint64_t total)> bytes;
    std::function<void(size_t index, const InputFile& file, uint64_t streamSize)> record;
};
BuildResult BuildInstaller(const Bytes& stub, const InputFile& manifest, const std::vector<InputFile>& files,
                           const BuildOptions& options, const Writer& write, const Reader& read, std::string* error,
                           const BuildWatch& watch = {});

// The same into memory (tests, benchmarks): true when built.
bool BuildInstaller(const Bytes& stub, const InputFile& manifest, const std::vector<InputFile>& files,
                    const BuildOptions& options, Bytes* out, std::string* error);

// The tags of a manifest's text, in order, as the unpacker reads them
// (see ManifestTagScan): each with its number (limit for any from limit
// on), its text (<Pn=") and the name that follows it.
struct ManifestTag {
    uint32_t number;
    std::string tag, name;
};
std::vector<ManifestTag> ManifestTags(const std::string& text, uint32_t limit);

// The trailer's marker, for messages.
std::string EndMarkerText();

// ---- Reading ----------------------------------------------------------

// One problem that stops the unpacker from extracting a record.
struct Problem {
    enum Kind {
        kNoTrailer,        // no marker: no installer, or one cut short
        kTooShort,         // no room for a trailer at all
        kOutside,          // a record the manifest names lies outside the file
        kInTrailer,        // a record would start inside or after the trailer
        kStreamOutside,    // the stream runs past the end of the file
        kInflateFailed,    // uncompress fails
        kUnnamedRecords,   // stored bytes that no tag names
        kTooLarge,         // 4 GB or more
        kBadCertificates,  // a certificate table that does not end the file
        kCertificateSlack, // bytes in the table beyond the signatures
        kManifestTooLarge, // a manifest text too large to check
        kNoSecondStage,    // no tag <P1=": nothing for the unpacker to start
        kImpossibleSize,   // more declared than the stream could ever inflate to
        kShortStream,      // a stream that inflates to less than its record declares
        kNotOwnPayload,    // the payload's digest is not the one its stub records
        kNoDigest,         // a stub that checks its payload, with no digest recorded
    };
    Kind kind;
    int64_t index;    // the record, or -1 for the file as a whole
    uint64_t offset;  // where it lies in the file
    std::string what;
};

struct WalkedRecord {
    uint32_t index;
    uint32_t offset;
    FileRecordHeader header;
};

// An Authenticode signature: the PE security directory's entry, and what
// the unpacker makes of it.
struct PeSignature {
    bool present = false;
    uint32_t offset = 0;      // a file offset, for this directory
    uint32_t size = 0;
    bool inPlace = true;      // the table lies in the file and ends it
    uint32_t payloadEnd = 0;  // where the payload-bearing file ends
    // Bytes of the table that are neither a signature blob nor the
    // padding to its 8-byte boundary: room to hide anything in, which
    // Windows accepts unless its certificate padding check is on.
    uint64_t slack = 0;
};
PeSignature FindSignature(const uint8_t* data, uint64_t size);

// The most manifest text the walk keeps to search for its tags; the
// unpacker searches a manifest of any size, but nobody writes such.
enum : uint32_t { kMaxManifestText = 4u << 20 };

// What the unpacker would see in an installer.
struct InstallerWalk {
    uint64_t fileSize = 0;
    bool markerFound = false;
    uint32_t trailerEnd = 0;     // as the unpacker's scan gives it
    // Where no marker is in the scan window: the end of the last trailer
    // in the whole file, if any (a signature too large pushed it out).
    uint64_t trailerOutsideEnd = 0;
    PeSignature signature;
    uint32_t firstRecordOffset = 0;
    std::vector<WalkedRecord> records;  // those whose header could be read
    // names[n]: the name the manifest gives record n, in the manifest's code
    // page; "" where it gives none (and for record 0).
    std::vector<std::string> names;
    // The payload's digest, over every byte from the first record to the
    // trailer (see payload_digest.h), and the one the stub records: an
    // unpacker that checks (checks) starts only the payload whose digest
    // it records (recorded).
    bool checks = false, recorded = false;
    uint8_t recordedDigest[kDigestSize] = {}, digest[kDigestSize] = {};
    std::vector<Problem> problems;
    std::vector<std::string> warnings;  // harmless to the unpacker
    bool Ok() const { return problems.empty(); }
};

// Receives inflated records, each as Open, its bytes in order by Write
// (its declared size in all: what the stream gave, then zeros, as in the
// unpacker's zero-filled output file), and Close.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // False ends the walk (an output that cannot be written).
    virtual bool Open(const WalkedRecord& record) = 0;
    virtual bool Write(const uint8_t* data, size_t size) = 0;
    // whole: the record inflated without error; otherwise its output is to
    // be dropped.
    virtual bool Close(bool whole) = 0;
};

// Walks the installer as the unpacker does: trailer scan, record 0, then
// record n for each tag <Pn=" of the manifest, each at the offset the
// previous one left. Record 0 is always inflated (its tags drive the walk);
// with inflateAll every record is, and handed to sink if one is given. The
// walk stops where the unpacker would stop.
//
// Records are inflated whole up to 64 MB and in pieces beyond, never into
// a buffer of a larger declared size, so that a damaged header cannot make
// the walk allocate gigabytes; the result is zlib's uncompress's to the
// code (see InflateRecord).
// passed, if given, is told each span of the file that the walk is done
// with (FileView::Release keeps a walk over a mapped file small).
InstallerWalk WalkInstaller(const uint8_t* data, uint64_t size, bool inflateAll, RecordSink* sink = nullptr,
                            const std::function<void(uint64_t, uint64_t)>& passed = nullptr);

// Inflates a zlib stream as uncompress would into a zeroed buffer of
// declaredSize bytes, and returns the same code: Z_OK, Z_BUF_ERROR when the
// output would not fit, Z_DATA_ERROR for a corrupt or short stream (or one
// that needs a dictionary), Z_MEM_ERROR. The output goes to write in pieces,
// declaredSize bytes in all (zeros after what the stream gave), unless the
// stream fails first. *inflated (if given): what the stream gave.
// consumed (if given) is told, as it goes, how much of the stream has
// been read. Up to 64 MB declared, libdeflate inflates it in one piece
// first (zlib again only where that fails, for zlib's code).
int InflateRecord(const uint8_t* stream, uint32_t streamSize, uint32_t declaredSize, uint64_t* inflated,
                  const std::function<bool(const uint8_t*, size_t)>& write,
                  const std::function<void(uint32_t)>& consumed = nullptr);

// "KVFiles<n>.tmp"
std::string OutputName(uint32_t index);

// zlib's name for one of its codes, e.g. "Z_DATA_ERROR".
const char* ZlibCodeName(int code);

}  // namespace mksetup
