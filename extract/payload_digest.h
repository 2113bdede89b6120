// The payload's digest: BLAKE2s-256 (RFC 7693), unkeyed, over every byte
// from the first record's header to the trailer. mksetup records it in the
// unpacker's image; the unpacker computes it over the bytes it reads and
// starts nothing when the two differ. Shared by the unpacker, mksetup and
// the tests; no Windows dependency.
//
// Why BLAKE2s: a replacement payload is made on purpose, so the digest must
// be one that nobody can match with other bytes; BLAKE2s is such a hash,
// works in 32-bit words (the shipping build is 32-bit) and is faster than
// SHA-256 without special instructions. Measured on one core of the
// project's machines: about 420 MB/s with each round's steps unrolled (the
// builds made for speed), about 200 MB/s as the loop of under a kilobyte
// that the shipping build, made for size, keeps.
#ifndef EXTRACT_PAYLOAD_DIGEST_H
#define EXTRACT_PAYLOAD_DIGEST_H

#include <stdint.h>

enum { kDigestSize = 32, kDigestBlock = 64 };

struct Blake2s {
    uint32_t h[8];
    uint32_t t[2];  // bytes hashed so far
    uint8_t block[kDigestBlock];
    uint32_t used;  // bytes waiting in block
};

void Blake2sBegin(Blake2s* state);
void Blake2sAdd(Blake2s* state, const uint8_t* data, uint32_t size);
void Blake2sEnd(Blake2s* state, uint8_t digest[kDigestSize]);

#endif
