// InflateStream with zlib's uncompress, as the unpacker inflated before it
// took libdeflate: for extract_bench_zlib.exe only.
#include "extract/inflate_stream.h"

#include <zlib.h>

int InflateStream(libdeflate_decompressor*, const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize)
{
    uLongf length = outSize;
    return uncompress(out, &length, in, inSize);
}
