// zlib's inflate checks each stream's Adler-32 with libdeflate's, which
// the unpacker carries anyway (and which is vectorised): zlib's own
// adler32.c is not built into the Windows programs. The same checksum.
#include <libdeflate.h>
#include <zlib.h>

uLong ZEXPORT adler32(uLong adler, const Bytef* buf, uInt len)
{
    return buf ? libdeflate_adler32((uint32_t)adler, buf, len) : 1;
}
