// The payload that an installer carries after its executable image.
//
// This header is shared by the unpacker, the mksetup tool and the host tests,
// and does not depend on Windows. All integers are little-endian and
// unsigned; all offsets are byte offsets from the start of the file.
//
//   +---------------------------+  0
//   | executable image          |
//   +---------------------------+  FirstRecordOffset
//   | record 0: header (32)     |  the manifest: text with <P1=" ... <PN=" tags
//   |           zlib stream     |
//   +---------------------------+
//   | record 1: header, stream  |  the second stage, KVFiles1.tmp
//   | ...                       |
//   | record N: header, stream  |
//   +---------------------------+
//   | trailer (19):             |
//   |   FirstRecordOffset  u32  |
//   |   "!--END FILE--!"   14   |
//   |   terminator byte    0    |
//   +---------------------------+  trailer end
//   | up to 29985 more bytes    |  (a signature, say); the marker must still
//   +---------------------------+  start inside the file's last 30000 bytes
//
// Records follow each other with no gap and no count: record n+1 starts at
// record n's offset + 32 + CompressedSize. Only the manifest's tags say how
// many records there are.
//
// Record header, 32 bytes:
//   0  u32 UncompressedSize   size of the output file (0: an empty file)
//   4  u32 CompressedSize     bytes of the zlib stream after the header
//   8  u64 CreationTime       FILETIME, 100 ns units since 1601-01-01 UTC
//  16  u64 LastAccessTime
//  24  u64 LastWriteTime
#ifndef EXTRACT_PAYLOAD_FORMAT_H
#define EXTRACT_PAYLOAD_FORMAT_H

#include <stdint.h>

enum {
    kRecordHeaderSize = 32,
    kTrailerSize = 19,
    kEndMarkerLength = 14,
    // The marker is sought in the file's last kScanWindow bytes only
    // (decimal, not 32 KB). It must start inside them, so at most
    // 30000 - 14 - 1 = 29985 bytes may follow the trailer.
    kScanWindow = 30000,
    kMaxBytesAfterTrailer = kScanWindow - kEndMarkerLength - 1,
};

// Record n is extracted to "KVFiles<n>.tmp" (OutputFileName); record 1,
// the second stage, to kSecondStageName.
#define SETUP_OUTPUT_PREFIX "KVFiles"
#define SETUP_OUTPUT_SUFFIX ".tmp"
static const char kSecondStageName[] = SETUP_OUTPUT_PREFIX "1" SETUP_OUTPUT_SUFFIX;
enum { kOutputNameSize = sizeof SETUP_OUTPUT_PREFIX + 10 + sizeof SETUP_OUTPUT_SUFFIX - 1 };
// Writes record index's output name and a zero into out; returns its length.
uint32_t OutputFileName(uint32_t index, char out[kOutputNameSize]);

// What the unpacker's extraction comes to: its worker thread's exit code,
// 0 or one of the failures below, each reported before it is returned.
typedef int ExtractResult;
enum {
    kExtractDone = 0,               // every record the manifest names was handled
    kExtractNoModulePath = -1,      // the executable's own path was not to be had
    kExtractNoModuleView = -2,      // the executable could not be opened or mapped
    kExtractNoOutputFile = -3,      // an output file could not be created or mapped
    kExtractInflateFailed = -4,     // uncompress failed, or the stream could not be
                                    // read, or declares more than it could inflate to
    kExtractRecordFailed = -5,      // a nested call failed (it has reported)
    kExtractPayloadUnreadable = -6, // the top-level call caught a fault: the
                                    // trailer, record 0's header or stream lie
                                    // outside the file, a signed file's
                                    // certificate table does not end it, or
                                    // reading them faulted
    kExtractNoSecondStage = -7,     // record 1, the second stage, was not
                                    // written: the manifest names none, or
                                    // its header could not be read
    kExtractPayloadNotOwn = -8,     // the payload is not the one this image
                                    // was built with: its digest differs
                                    // from the one the image records, or,
                                    // elevated, the image records none
};

// The marker "!--END FILE--!", 14 bytes, no terminating zero in the file.
// No program that carries this module holds the 14 bytes in one piece: the
// scan window of a small installer reaches back into its stub, which would
// otherwise offer its own copy of the marker as the trailer.
//
// IsEndMarkerAt: true when the 14 bytes at p are the marker.
// CopyEndMarker: the marker as zero-terminated text, for messages.
bool IsEndMarkerAt(const uint8_t* p);
void CopyEndMarker(char out[kEndMarkerLength + 1]);

struct FileRecordHeader {
    uint32_t UncompressedSize;
    uint32_t CompressedSize;
    uint64_t CreationTime;
    uint64_t LastAccessTime;
    uint64_t LastWriteTime;
};

struct PayloadTrailer {
    uint32_t FirstRecordOffset;
    char EndMarker[kEndMarkerLength];
    uint8_t MarkerTerminator;
};

// A signed executable ends in its Authenticode certificate table, which the
// PE security directory locates (a file offset and a size) and which the
// signature does not cover: nothing in it may be taken for payload. The
// payload-bearing file is what lies before the table; every other routine
// here is given that length.
struct CertificateTable {
    uint32_t offset;
    uint32_t size;
};

// True, with the directory's entry, when data[0, length) is a PE image
// whose security directory declares a table (either field non-zero).
// False for an unsigned image and for anything that is no PE image.
bool ReadCertificateTable(const uint8_t* data, uint32_t length, CertificateTable* table);

// *payloadEnd: length for an unsigned file, the table's offset for a signed
// one. False when a declared table does not lie inside the file or does not
// end exactly at its end: then no byte of the file is payload. head holds
// the file's first headLength bytes (all of it, or as much as a reader has
// at hand: a header beyond them counts as none); length is the whole file's.
bool FindPayloadBearingEnd(const uint8_t* head, uint32_t headLength, uint32_t length, uint32_t* payloadEnd);

// The payload's digest in the unpacker's image (see payload_digest.h): a
// record in its read-only data (.rdata), which the loader maps and the Authenticode
// hash covers (it is part of the image, not of the payload or of the
// certificate table). The unpacker is built with none recorded; mksetup
// records the digest of the payload it appends, before any signing.
//
//   0  "KVDIGEST"                      the magic
//   8  u32 recorded                    1: the digest below is the payload's
//  12  digest, kDigestSize (32) bytes  of every byte from the first
//                                      record's header to the trailer
//
// As with the marker, no program but the unpacker holds the magic in one
// piece, so that a tool that carries this module and the unpacker's code
// (mksetup, the benchmark) has one record only.
enum { kImageDigestSize = 44, kImageDigestRecorded = 8, kImageDigestBytes = 12 };

// The offset of the image digest record in data[0, length), the unpacker's
// image (the stub): where its magic stands in the image's .rdata section,
// once only. False when it is not there once (an unpacker from before the
// digest, or no unpacker: one whose header claims more than 96 sections,
// or two .rdata). A pass over the file at most, whatever the header claims.
bool FindImageDigest(const uint8_t* data, uint32_t length, uint32_t* offset);

// Finds the trailer in the last kScanWindow bytes of data[0, length).
// *trailerEnd is set to length and, where the marker is found with at least
// one byte after it, to the offset just past that byte (marker + 15). The
// lowest match wins. A file shorter than 15 bytes holds no marker and gives
// length. Always returns 1; a missing marker is not an error here.
int FindPayloadEnd(const uint8_t* data, uint32_t length, uint32_t* trailerEnd);

// True when the count bytes at offset lie wholly inside a file of length
// bytes. Every read of the payload is tested with it before any byte is read.
bool PayloadSpanInside(uint32_t length, uint32_t offset, uint64_t count);

// Reads the kTrailerSize bytes that end at trailerEnd, whatever they hold
// (when no marker was found they are simply the file's last 19 bytes).
// False, with nothing read, when they are not inside the file.
bool ReadPayloadTrailer(const uint8_t* data, uint32_t length, uint32_t trailerEnd,
                        PayloadTrailer* trailer);

// Reads the record header at offset. False, with nothing read, when the 32
// bytes are not wholly inside the file.
bool ReadRecordHeader(const uint8_t* data, uint32_t length, uint32_t offset,
                      FileRecordHeader* header);

// A deflate stream turns each bit into at most 258 bytes: its shortest
// codes, a length of 258 and a distance, take a bit each. No stream of n
// bytes inflates to more than 1032 n. True when the record declares no
// more than that; a record that does is damage, or a bomb of zeros.
enum { kMaxInflateRatio = 1032 };
bool DeclaredSizePossible(const FileRecordHeader* header);

// True when the zlib stream of the record at offset, CompressedSize bytes
// after its header, lies wholly inside the file.
bool RecordStreamInside(uint32_t length, uint32_t offset, const FileRecordHeader* header);

// The manifest's tags in one pass over its text, which may come in pieces
// (the text ends at its first zero byte or where the pieces end). Record n
// is named when the text holds <Pn=" (plain decimal, no leading zero)
// anywhere; the records taken are 1 to the first number not named. The
// file's name for the second stage follows the tag, up to the next '"'.
//
// seen is the caller's bitmap of (limit + 7) / 8 zero bytes: numbers from
// limit on are not recorded, so at most limit - 1 records are counted. With
// limit = text size / 5 + 2 nothing is lost (each tag takes five bytes).
//
// ScanManifestText returns how many bytes it took: all of them, but with
// stopAtTags set it stops after each tag, setting tagged and number (limit
// for any number from limit on).
struct ManifestTagScan {
    uint8_t* seen;
    uint32_t limit;
    uint32_t state;   // how much of "<P", digits, "=\"" has been matched
    uint32_t number;  // the digits so far, limit if more
    bool ended;       // the zero byte has been reached
    bool stopAtTags, tagged;
};
void BeginManifestTagScan(ManifestTagScan* scan, uint8_t* seen, uint32_t limit);
uint32_t ScanManifestText(ManifestTagScan* scan, const uint8_t* text, uint32_t size);
uint32_t NamedRecordCount(const ManifestTagScan* scan);

// The writer's side, for mksetup and the tests.
void WriteRecordHeader(const FileRecordHeader* header, uint8_t out[kRecordHeaderSize]);
void WriteTrailer(uint32_t firstRecordOffset, uint8_t out[kTrailerSize]);

#endif
