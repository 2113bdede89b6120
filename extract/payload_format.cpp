#include "extract/payload_format.h"

// The marker and the image digest's magic, each byte XOR kMarkerMask. Read
// through volatile so that the compiler cannot fold the plain bytes back
// into a table of their own.
static const uint8_t kMarkerMask = 0x5A;
static const volatile uint8_t kMaskedMarker[kEndMarkerLength] = {
    '!' ^ kMarkerMask, '-' ^ kMarkerMask, '-' ^ kMarkerMask, 'E' ^ kMarkerMask, 'N' ^ kMarkerMask,
    'D' ^ kMarkerMask, ' ' ^ kMarkerMask, 'F' ^ kMarkerMask, 'I' ^ kMarkerMask, 'L' ^ kMarkerMask,
    'E' ^ kMarkerMask, '-' ^ kMarkerMask, '-' ^ kMarkerMask, '!' ^ kMarkerMask,
};

static const volatile uint8_t kMaskedDigestMagic[8] = {
    'K' ^ kMarkerMask, 'V' ^ kMarkerMask, 'D' ^ kMarkerMask, 'I' ^ kMarkerMask,
    'G' ^ kMarkerMask, 'E' ^ kMarkerMask, 'S' ^ kMarkerMask, 'T' ^ kMarkerMask,
};

// The most sections the Windows loader takes in an image.
static const uint32_t kMaxImageSections = 96;

static uint8_t MarkerByte(int i)
{
    return (uint8_t)(kMaskedMarker[i] ^ kMarkerMask);
}

static uint32_t ReadU32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static uint64_t ReadU64(const uint8_t* p)
{
    return (uint64_t)ReadU32(p) | ((uint64_t)ReadU32(p + 4) << 32);
}

static void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

static void PutU64(uint8_t* p, uint64_t v)
{
    PutU32(p, (uint32_t)v);
    PutU32(p + 4, (uint32_t)(v >> 32));
}

bool IsEndMarkerAt(const uint8_t* p)
{
    for (int i = 0; i < kEndMarkerLength; ++i) {
        if (p[i] != MarkerByte(i))
            return false;
    }
    return true;
}

void CopyEndMarker(char out[kEndMarkerLength + 1])
{
    for (int i = 0; i < kEndMarkerLength; ++i)
        out[i] = (char)MarkerByte(i);
    out[kEndMarkerLength] = '\0';
}

int FindPayloadEnd(const uint8_t* data, uint32_t length, uint32_t* trailerEnd)
{
    *trailerEnd = length;
    uint32_t p = length > kScanWindow ? length - kScanWindow : 0;
    // A match needs its 14 bytes and the terminator byte after them, so the
    // last position looked at is length - 15. Written as a difference so that
    // a file shorter than 15 bytes is simply not scanned.
    for (; p < length && length - p > kEndMarkerLength; ++p) {
        if (data[p] != '!' || data[p + 1] != '-' || data[p + 2] != '-' || data[p + 3] != 'E')
            continue;
        if (IsEndMarkerAt(data + p)) {
            *trailerEnd = p + kEndMarkerLength + 1;
            break;
        }
    }
    return 1;
}

bool ReadCertificateTable(const uint8_t* data, uint32_t length, CertificateTable* table)
{
    if (length < 0x40 || data[0] != 'M' || data[1] != 'Z')
        return false;
    uint32_t pe = ReadU32(data + 0x3C);
    // The PE signature, the file header (20) and the optional header's
    // magic; the directory entry is tested separately below.
    if (!PayloadSpanInside(length, pe, 4 + 20 + 2) || ReadU32(data + pe) != 0x00004550)  // "PE\0\0"
        return false;
    uint32_t optional = pe + 24;
    uint32_t magic = (uint32_t)data[optional] | (uint32_t)data[optional + 1] << 8;
    if (magic != 0x10B && magic != 0x20B)
        return false;
    // PE32 and PE32+ differ in where the count and the directories sit;
    // the security directory is entry 4.
    uint32_t count = optional + (magic == 0x20B ? 108 : 92);
    uint32_t entry = optional + (magic == 0x20B ? 112 : 96) + 4 * 8;
    if (!PayloadSpanInside(length, count, 4) || ReadU32(data + count) < 5 || !PayloadSpanInside(length, entry, 8))
        return false;
    table->offset = ReadU32(data + entry);
    table->size = ReadU32(data + entry + 4);
    return table->offset != 0 || table->size != 0;
}

bool FindImageDigest(const uint8_t* data, uint32_t length, uint32_t* offset)
{
    if (length < 0x40 || data[0] != 'M' || data[1] != 'Z')
        return false;
    uint64_t pe = ReadU32(data + 0x3C);
    if (pe + 24 > length || ReadU32(data + pe) != 0x00004550)
        return false;
    // The section table follows the optional header, whose size the file
    // header gives; the record lies in .rdata, once (a debug build holds
    // copies of the magic in its debug sections). The header is believed
    // only as far as an image can go, so that one made to be slow costs a
    // pass over the file at most: 96 sections (the Windows loader's
    // limit), one .rdata (a header that claims two is no unpacker's).
    uint32_t sections = data[pe + 6] | data[pe + 7] << 8;
    uint64_t table = pe + 24 + (data[pe + 20] | data[pe + 21] << 8);
    if (sections > kMaxImageSections)
        return false;
    const uint8_t* rdata = 0;
    for (uint32_t i = 0; i < sections && table + 40 * (i + 1) <= length; ++i) {
        const uint8_t* section = data + table + 40 * i;
        if (ReadU32(section) != 0x6164722E || ReadU32(section + 4) != 0x00006174)  // ".rdata\0\0"
            continue;
        if (rdata)
            return false;
        rdata = section;
    }
    if (!rdata)
        return false;
    uint64_t start = ReadU32(rdata + 20), end = start + ReadU32(rdata + 16);
    int found = 0;
    for (uint64_t p = start; p + kImageDigestSize <= end && p + kImageDigestSize <= length; ++p) {
        int c = 0;
        while (c < 8 && data[p + c] == (uint8_t)(kMaskedDigestMagic[c] ^ kMarkerMask))
            ++c;
        if (c == 8)
            *offset = (uint32_t)p, ++found;
    }
    return found == 1;
}

bool FindPayloadBearingEnd(const uint8_t* head, uint32_t headLength, uint32_t length, uint32_t* payloadEnd)
{
    CertificateTable table;
    *payloadEnd = length;
    if (!ReadCertificateTable(head, headLength < length ? headLength : length, &table))
        return true;
    if (!PayloadSpanInside(length, table.offset, table.size) || table.offset + table.size != length)
        return false;
    *payloadEnd = table.offset;
    return true;
}

bool PayloadSpanInside(uint32_t length, uint32_t offset, uint64_t count)
{
    return offset <= length && count <= (uint64_t)(length - offset);
}

bool ReadPayloadTrailer(const uint8_t* data, uint32_t length, uint32_t trailerEnd,
                        PayloadTrailer* trailer)
{
    if (trailerEnd < kTrailerSize || !PayloadSpanInside(length, trailerEnd - kTrailerSize, kTrailerSize))
        return false;
    const uint8_t* p = data + (trailerEnd - kTrailerSize);
    trailer->FirstRecordOffset = ReadU32(p);
    for (int i = 0; i < kEndMarkerLength; ++i)
        trailer->EndMarker[i] = (char)p[4 + i];
    trailer->MarkerTerminator = p[4 + kEndMarkerLength];
    return true;
}

bool ReadRecordHeader(const uint8_t* data, uint32_t length, uint32_t offset,
                      FileRecordHeader* header)
{
    if (!PayloadSpanInside(length, offset, kRecordHeaderSize))
        return false;
    const uint8_t* p = data + offset;
    header->UncompressedSize = ReadU32(p);
    header->CompressedSize = ReadU32(p + 4);
    header->CreationTime = ReadU64(p + 8);
    header->LastAccessTime = ReadU64(p + 16);
    header->LastWriteTime = ReadU64(p + 24);
    return true;
}

bool DeclaredSizePossible(const FileRecordHeader* header)
{
    return header->UncompressedSize <= (uint64_t)kMaxInflateRatio * header->CompressedSize;
}

bool RecordStreamInside(uint32_t length, uint32_t offset, const FileRecordHeader* header)
{
    return PayloadSpanInside(length, offset, (uint64_t)kRecordHeaderSize + header->CompressedSize);
}

void BeginManifestTagScan(ManifestTagScan* scan, uint8_t* seen, uint32_t limit)
{
    scan->seen = seen;
    scan->limit = limit;
    scan->state = 0;
    scan->number = 0;
    scan->ended = false;
    scan->stopAtTags = false;
}

// States: 0 nothing, 1 "<", 2 "<P", 3 digits, 4 digits and "=". A '<'
// always starts a new match: it occurs in the tag only at its start.
uint32_t ScanManifestText(ManifestTagScan* scan, const uint8_t* text, uint32_t size)
{
    uint32_t i = 0;
    scan->tagged = false;
    while (i < size && !scan->ended && !scan->tagged) {
        uint8_t c = text[i++];
        uint32_t state = scan->state;
        scan->state = 0;
        if (c == 0) {
            scan->ended = true;
        } else if (c == '<') {
            scan->state = 1;
        } else if (state == 1 && c == 'P') {
            scan->state = 2;
            scan->number = 0;
        } else if ((state == 2 && c >= '1' && c <= '9') || (state == 3 && c >= '0' && c <= '9')) {
            uint64_t number = (uint64_t)scan->number * 10 + (c - '0');
            scan->number = number < scan->limit ? (uint32_t)number : scan->limit;
            scan->state = 3;
        } else if (state == 3 && c == '=') {
            scan->state = 4;
        } else if (state == 4 && c == '"') {
            if (scan->number < scan->limit)
                scan->seen[scan->number / 8] |= (uint8_t)(1u << (scan->number % 8));
            scan->tagged = scan->stopAtTags;
        }
    }
    return i;
}

uint32_t OutputFileName(uint32_t index, char out[kOutputNameSize])
{
    char digits[10];
    uint32_t n = 0, length = 0;
    do
        digits[n++] = (char)('0' + index % 10);
    while (index /= 10);
    for (const char* p = SETUP_OUTPUT_PREFIX; *p; ++p)
        out[length++] = *p;
    while (n)
        out[length++] = digits[--n];
    for (const char* p = SETUP_OUTPUT_SUFFIX; *p; ++p)
        out[length++] = *p;
    out[length] = 0;
    return length;
}

uint32_t NamedRecordCount(const ManifestTagScan* scan)
{
    uint32_t n = 1;
    while (n < scan->limit && (scan->seen[n / 8] >> (n % 8) & 1))
        ++n;
    return n - 1;
}

void WriteRecordHeader(const FileRecordHeader* header, uint8_t out[kRecordHeaderSize])
{
    PutU32(out, header->UncompressedSize);
    PutU32(out + 4, header->CompressedSize);
    PutU64(out + 8, header->CreationTime);
    PutU64(out + 16, header->LastAccessTime);
    PutU64(out + 24, header->LastWriteTime);
}

void WriteTrailer(uint32_t firstRecordOffset, uint8_t out[kTrailerSize])
{
    PutU32(out, firstRecordOffset);
    for (int i = 0; i < kEndMarkerLength; ++i)
        out[4 + i] = MarkerByte(i);
    out[4 + kEndMarkerLength] = 0;
}
