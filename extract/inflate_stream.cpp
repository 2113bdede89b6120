#include "extract/inflate_stream.h"

#include <libdeflate.h>

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
        return kInflateOk;
    case LIBDEFLATE_INSUFFICIENT_SPACE:
        return kInflateTooLarge;
    default:
        return kInflateBadData;
    }
}
