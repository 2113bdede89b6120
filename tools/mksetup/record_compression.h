// A record's stream, made one of two ways: whole, on a worker thread, by
// the compressor asked for; or, for a file too large to hold, deflated a
// piece at a time by zlib as it is written. builder.cpp's.
#pragma once

#include "tools/mksetup/installer.h"

namespace mksetup {

// One record on its way from its input to the output: compressed by a
// worker, written by the builder in order.
struct Compression {
    const InputFile* file;
    uint64_t cost;          // memory it may hold: its input and its compressed bound
    bool streamed = false;  // too large to be held: the builder streams it
    bool done = false;
    Bytes stream;           // the zlib stream, once done
    BuildResult failure = BuildResult::kBuilt;
    std::string error;
};

// What compressing size bytes whole may hold at once.
uint64_t CompressionCost(uint64_t size);

// Compresses one record whole: manifestRecord's bytes if given, else the
// file's, read whole from its path where it is read from one (a file that
// changed size since the build began fails). Worker threads.
void Compress(Compression* c, const Bytes* manifestRecord, const BuildOptions& options);

// Whether data would shrink by 3 per cent or more: samples of it at
// libdeflate's fastest level. What would not (compressed or random data) is
// stored.
bool WorthCompressing(const uint8_t* data, size_t size);

// Deflates the file at level (at most 9) as one zlib stream, in pieces of
// 4 MB deflated on jobs threads, each the next part of the stream (with the
// 32 KB before it as its dictionary), a piece that would not shrink stored;
// emit gets each part of the stream in order as it is made, with how much
// of the file it covers (emit's result other than kBuilt ends it), and
// *streamSize is the stream's size. The bytes are the same for any number
// of threads. The file must be the one gathered, of the size it had when the
// build began. kBuilt, or why not (error says). Memory: PiecesCost(jobs).
unsigned PieceWindow(unsigned jobs);  // the pieces in flight at once
uint64_t PiecesCost(unsigned jobs);
BuildResult DeflatePieces(const InputFile& f, int level, unsigned jobs,
                          const std::function<BuildResult(const uint8_t*, size_t, uint64_t)>& emit,
                          uint64_t* streamSize, std::string* error);

}  // namespace mksetup
