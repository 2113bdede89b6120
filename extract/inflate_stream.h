// InflateStream: one record's zlib stream into its output, as the unpacker
// inflates it: with libdeflate when stream and output are each in memory
// whole, with zlib's streaming inflate when they come window by window.
// Shared by the unpacker and the host tests; no Windows dependency.
#ifndef EXTRACT_INFLATE_STREAM_H
#define EXTRACT_INFLATE_STREAM_H

#include <stdint.h>

struct libdeflate_decompressor;

// zlib's result codes, which the unpacker's report has always carried.
enum {
    kInflateOk = 0,           // Z_OK
    kInflateBadData = -3,     // Z_DATA_ERROR: corrupt, cut short, preset dictionary
    kInflateNoMemory = -4,    // Z_MEM_ERROR: no decompressor
    kInflateTooLarge = -5,    // Z_BUF_ERROR: more output than outSize
    kInflateNoWindow = -100,  // a window could not be had (the windows' owner has reported)
};

// Inflates the zlib-format stream in[0, inSize) into out[0, outSize), which
// holds zeros (the unpacker's output file is zero-filled), and returns one
// of the codes above: the same that zlib's uncompress gives for the same
// stream and room, with one exception: a stream that both overflows outSize
// and is corrupt or cut short may be -5 here and -3 for uncompress, or the
// other way round (each stops at what it meets first, and libdeflate
// decodes ahead). Either way the record fails. A stream that inflates to
// fewer than outSize bytes succeeds and leaves the rest of out zero, as
// uncompress does. decompressor: from libdeflate_alloc_decompressor, NULL
// when that failed; one serves any number of streams, one at a time.
int InflateStream(libdeflate_decompressor* decompressor, const uint8_t* in, uint32_t inSize, uint8_t* out,
                  uint32_t outSize);

// Where a stream or its output does not fit in memory at once: the caller
// hands out windows. Each is asked for the piece that starts at offset (the
// bytes before it are done with, and its window may go) and gives a pointer
// to it and, in *length (at most the bytes left, which it holds on entry),
// how many bytes from there it holds; NULL when it has none to give.
struct InflateWindows {
    const uint8_t* (*input)(void* context, uint32_t offset, uint32_t* length);
    uint8_t* (*output)(void* context, uint32_t offset, uint32_t* length);
    void* context;
};

// Inflates the inSize bytes of stream into outSize bytes of output (zeros
// to begin with) with zlib's inflate, as uncompress would in one piece: the
// same code for every stream, and the output beyond what the stream gives
// stays zero. kInflateNoWindow when a window could not be had.
int InflateStreamInWindows(const InflateWindows* windows, uint32_t inSize, uint32_t outSize);

#endif
