// InflateStreamInWindows (see inflate_stream.h): zlib's streaming inflate,
// for the records too large for one window.
#include "extract/inflate_stream.h"

#include <zlib.h>

int InflateStreamInWindows(const InflateWindows* windows, uint32_t inSize, uint32_t outSize)
{
    z_stream stream = {};
    if (inflateInit(&stream) != Z_OK)
        return kInflateNoMemory;
    // uncompress's loop, with a window where it hands on the next piece.
    uint32_t inLeft = inSize, outLeft = outSize;
    int code = Z_OK;
    while (code == Z_OK) {
        if (stream.avail_out == 0 && outLeft) {
            uint32_t length = outLeft;
            if (!(stream.next_out = windows->output(windows->context, outSize - outLeft, &length))) {
                code = kInflateNoWindow;
                break;
            }
            stream.avail_out = length;
            outLeft -= length;
        }
        if (stream.avail_in == 0 && inLeft) {
            uint32_t length = inLeft;
            if (!(stream.next_in = (Bytef*)windows->input(windows->context, inSize - inLeft, &length))) {
                code = kInflateNoWindow;
                break;
            }
            stream.avail_in = length;
            inLeft -= length;
        }
        code = inflate(&stream, Z_NO_FLUSH);
    }
    inflateEnd(&stream);
    if (code == Z_STREAM_END)
        return kInflateOk;
    // Out of input with room left: the stream was cut short.
    if (code == Z_NEED_DICT || (code == Z_BUF_ERROR && outLeft + stream.avail_out))
        return kInflateBadData;
    return code;
}
