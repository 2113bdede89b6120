// The payload format as the unpacker reads it: the trailer scan and the
// bounds of every read.
#include "extract/payload_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// An "image" of the given size that holds no marker byte sequence.
Bytes Image(size_t size)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = (uint8_t)('a' + i % 26);
    return b;
}

void AppendTrailer(Bytes& b, uint32_t firstRecordOffset)
{
    uint8_t t[kTrailerSize];
    WriteTrailer(firstRecordOffset, t);
    b.insert(b.end(), t, t + kTrailerSize);
}

void Append(Bytes& b, const std::string& s)
{
    b.insert(b.end(), s.begin(), s.end());
}

uint32_t TrailerEnd(const Bytes& b)
{
    uint32_t end = 0xDEADBEEF;
    EXPECT_EQ(1, FindPayloadEnd(b.data(), (uint32_t)b.size(), &end));
    return end;
}

uint32_t FirstRecordOffsetAt(const Bytes& b, uint32_t trailerEnd)
{
    PayloadTrailer t;
    EXPECT_TRUE(ReadPayloadTrailer(b.data(), (uint32_t)b.size(), trailerEnd, &t));
    return t.FirstRecordOffset;
}

}  // namespace

TEST(FindPayloadEnd, TrailerAsLastBytesEndsAtFileLength)
{
    Bytes b = Image(65536);
    AppendTrailer(b, 65536);
    uint32_t end = TrailerEnd(b);
    EXPECT_EQ(b.size(), end);
    EXPECT_EQ(65536u, FirstRecordOffsetAt(b, end));
}

TEST(FindPayloadEnd, BytesAfterTrailerAreIgnoredUpTo29985)
{
    for (size_t after : {size_t(1), size_t(100), size_t(29985)}) {
        Bytes b = Image(40000);
        AppendTrailer(b, 1234);
        Bytes tail = Image(after);
        b.insert(b.end(), tail.begin(), tail.end());
        uint32_t end = TrailerEnd(b);
        EXPECT_EQ(b.size() - after, end) << after << " bytes after the trailer";
        EXPECT_EQ(1234u, FirstRecordOffsetAt(b, end));
    }
    EXPECT_EQ(29985, kMaxBytesAfterTrailer);
}

TEST(FindPayloadEnd, TrailerPushedOutOfWindowByOneByteIsNotFound)
{
    Bytes b = Image(40000);
    AppendTrailer(b, 1234);
    Bytes tail = Image(29986);
    tail[29986 - 19] = 0x78;  // the last 19 bytes: what the reader takes instead
    tail[29986 - 18] = 0x56;
    tail[29986 - 17] = 0x34;
    tail[29986 - 16] = 0x12;
    b.insert(b.end(), tail.begin(), tail.end());
    uint32_t end = TrailerEnd(b);
    EXPECT_EQ(b.size(), end);
    EXPECT_EQ(0x12345678u, FirstRecordOffsetAt(b, end));
}

TEST(FindPayloadEnd, MarkerWithoutFinalByteIsNotFound)
{
    Bytes b = Image(1000);
    Append(b, "!--END FILE--!");
    EXPECT_EQ(b.size(), TrailerEnd(b));
    b.push_back(0);  // one more byte and it is a trailer
    EXPECT_EQ(b.size(), TrailerEnd(b));
    b.push_back('x');
    EXPECT_EQ(b.size() - 1, TrailerEnd(b));
}

TEST(FindPayloadEnd, ShortFileIsScannedFromItsStart)
{
    // A marker at offset 0 counts in a file of 30000 bytes...
    Bytes b;
    Append(b, "!--END FILE--!");
    b.push_back(0);
    Bytes rest = Image(30000 - b.size());
    b.insert(b.end(), rest.begin(), rest.end());
    ASSERT_EQ(30000u, b.size());
    EXPECT_EQ(15u, TrailerEnd(b));
    // ...but one byte more puts it outside the window.
    b.push_back('x');
    EXPECT_EQ(b.size(), TrailerEnd(b));
}

TEST(FindPayloadEnd, FilesShorterThanFifteenBytesGiveTheirLength)
{
    const std::string full = std::string("!--END FILE--!") + '\0';
    for (size_t length = 0; length < 15; ++length) {
        // Each buffer is exactly length bytes, so an over-read is a sanitizer error.
        Bytes b(full.begin(), full.begin() + length);
        uint32_t end = 0xDEADBEEF;
        FindPayloadEnd(b.empty() ? nullptr : b.data(), (uint32_t)length, &end);
        EXPECT_EQ(length, end);
        PayloadTrailer t;
        EXPECT_FALSE(ReadPayloadTrailer(b.data(), (uint32_t)length, end, &t)) << length;
    }
    Bytes b(full.begin(), full.end());
    EXPECT_EQ(15u, TrailerEnd(b));
}

TEST(FindPayloadEnd, FalseQuickMatchesArePassedOver)
{
    Bytes b = Image(5000);
    Append(b, "!--E");
    Append(b, "!--END FILE--?");
    Append(b, "!--END FILE-");
    AppendTrailer(b, 77);
    Append(b, "tail");
    uint32_t end = TrailerEnd(b);
    EXPECT_EQ(b.size() - 4, end);
    EXPECT_EQ(77u, FirstRecordOffsetAt(b, end));
}

TEST(FindPayloadEnd, LowerOfTwoTrailersWins)
{
    Bytes b = Image(50000);
    AppendTrailer(b, 111);
    size_t firstEnd = b.size();
    Append(b, "between");
    AppendTrailer(b, 222);
    uint32_t end = TrailerEnd(b);
    EXPECT_EQ(firstEnd, end);
    EXPECT_EQ(111u, FirstRecordOffsetAt(b, end));
}

TEST(PayloadBounds, TrailerMustLieInsideTheFile)
{
    Bytes b = Image(100);
    PayloadTrailer t;
    EXPECT_TRUE(ReadPayloadTrailer(b.data(), 100, 19, &t));
    EXPECT_FALSE(ReadPayloadTrailer(b.data(), 100, 18, &t));
    EXPECT_TRUE(ReadPayloadTrailer(b.data(), 100, 100, &t));
    EXPECT_FALSE(ReadPayloadTrailer(b.data(), 100, 101, &t));
}

TEST(PayloadBounds, HeaderAndStreamMustLieWhollyInsideTheFile)
{
    Bytes b = Image(1000);
    FileRecordHeader h{};
    EXPECT_TRUE(ReadRecordHeader(b.data(), 1000, 968, &h));
    EXPECT_FALSE(ReadRecordHeader(b.data(), 1000, 969, &h));
    EXPECT_FALSE(ReadRecordHeader(b.data(), 1000, 1000, &h));
    EXPECT_FALSE(ReadRecordHeader(b.data(), 1000, 0xFFFFFFF0u, &h));

    h.CompressedSize = 68;
    EXPECT_TRUE(RecordStreamInside(1000, 900, &h));
    h.CompressedSize = 69;
    EXPECT_FALSE(RecordStreamInside(1000, 900, &h));
    // Sizes that would wrap a 32-bit sum.
    h.CompressedSize = 0xFFFFFFFFu;
    EXPECT_FALSE(RecordStreamInside(1000, 0, &h));
    h.CompressedSize = 0xFFFFFFE0u;
    EXPECT_FALSE(RecordStreamInside(0xFFFFFFFFu, 0x40, &h));
    EXPECT_TRUE(PayloadSpanInside(0xFFFFFFFFu, 0xFFFFFFFFu, 0));
    EXPECT_FALSE(PayloadSpanInside(0xFFFFFFFFu, 0xFFFFFFFFu, 1));
}

TEST(PayloadLayout, HeaderAndTrailerBytesAreLittleEndianAtTheirOffsets)
{
    FileRecordHeader h{};
    h.UncompressedSize = 0x04030201u;
    h.CompressedSize = 0x08070605u;
    h.CreationTime = 0x100F0E0D0C0B0A09ull;
    h.LastAccessTime = 0x1817161514131211ull;
    h.LastWriteTime = 0x201F1E1D1C1B1A19ull;
    uint8_t bytes[kRecordHeaderSize];
    WriteRecordHeader(&h, bytes);
    for (int i = 0; i < kRecordHeaderSize; ++i)
        EXPECT_EQ(i + 1, bytes[i]) << "byte " << i;

    FileRecordHeader back{};
    ASSERT_TRUE(ReadRecordHeader(bytes, sizeof bytes, 0, &back));
    EXPECT_EQ(0, std::memcmp(&h, &back, sizeof h));

    uint8_t t[kTrailerSize];
    WriteTrailer(0x00010000u, t);
    const uint8_t expected[kTrailerSize] = {0x00, 0x00, 0x01, 0x00, '!', '-', '-', 'E', 'N', 'D',
                                            ' ', 'F', 'I', 'L', 'E', '-', '-', '!', 0};
    EXPECT_EQ(0, std::memcmp(expected, t, kTrailerSize));
}

TEST(Manifest, TagsAreFormattedInPlainDecimal)
{
    char tag[kManifestTagSize];
    FormatManifestTag(1, tag);
    EXPECT_STREQ("<P1=\"", tag);
    FormatManifestTag(13, tag);
    EXPECT_STREQ("<P13=\"", tag);
    FormatManifestTag(0xFFFFFFFFu, tag);
    EXPECT_STREQ("<P4294967295=\"", tag);
}

TEST(Manifest, TagSearchEndsAtTheFirstZeroByteAndAtTheEnd)
{
    const std::string text = "<Setup>\r\n<P1=\"a.exe\">\r\n<P12=\"b\">";
    Bytes b(text.begin(), text.end());
    EXPECT_TRUE(ManifestHasTag(b.data(), (uint32_t)b.size(), "<P1=\""));
    EXPECT_TRUE(ManifestHasTag(b.data(), (uint32_t)b.size(), "<P12=\""));
    EXPECT_FALSE(ManifestHasTag(b.data(), (uint32_t)b.size(), "<P2=\""));
    // A tag after a zero byte is not seen.
    b.push_back(0);
    Append(b, "<P2=\"");
    EXPECT_FALSE(ManifestHasTag(b.data(), (uint32_t)b.size(), "<P2=\""));
    // Nor one cut by the end of the view, with no zero byte at all.
    Bytes cut(text.begin(), text.end() - 4);  // "...<P12=" without its quote
    EXPECT_FALSE(ManifestHasTag(cut.data(), (uint32_t)cut.size(), "<P12=\""));
    EXPECT_TRUE(ManifestHasTag(cut.data(), (uint32_t)cut.size(), "<P1=\""));
}
