#include "extract/inflate_stream.h"

#include <libdeflate.h>

// More than libdeflate's fast loop can write past its last match (five
// words less one byte; the whole loop's worst case is under 300 bytes).
static const size_t kScribbleBytes = 512;

int InflateStream(libdeflate_decompressor* decompressor, const uint8_t* in, uint32_t inSize, uint8_t* out,
                  uint32_t outSize)
{
    if (!decompressor)
        return kInflateNoMemory;
    // With a place for the length, a short output is no failure: the same
    // as uncompress, which leaves the rest of the buffer alone.
    size_t produced;
    switch (libdeflate_zlib_decompress(decompressor, in, inSize, out, outSize, &produced)) {
    case LIBDEFLATE_SUCCESS:
        // libdeflate copies matches a word at a time and may write a few
        // words past the end of what it produced (inside out): those bytes
        // are zero again, as the rest of the output is.
        for (size_t i = produced; i < outSize && i < produced + kScribbleBytes; ++i)
            out[i] = 0;
        return kInflateOk;
    case LIBDEFLATE_INSUFFICIENT_SPACE:
        return kInflateTooLarge;
    default:
        return kInflateBadData;
    }
}
