#include "extract/payload_digest.h"

static const uint32_t kIv[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

// The message words each round takes, in order: RFC 7693's permutations,
// two to a byte (the first in the low half).
static const uint8_t kSigma[10][8] = {
    {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE},
    {0xAE, 0x84, 0xF9, 0x6D, 0xC1, 0x20, 0x7B, 0x35},
    {0x8B, 0x0C, 0x25, 0xDF, 0xEA, 0x63, 0x17, 0x49},
    {0x97, 0x13, 0xCD, 0xEB, 0x62, 0xA5, 0x04, 0x8F},
    {0x09, 0x75, 0x42, 0xFA, 0x1E, 0xCB, 0x86, 0xD3},
    {0xC2, 0xA6, 0xB0, 0x38, 0xD4, 0x57, 0xEF, 0x91},
    {0x5C, 0xF1, 0xDE, 0xA4, 0x70, 0x36, 0x29, 0xB8},
    {0xBD, 0xE7, 0x1C, 0x93, 0x05, 0x4F, 0x68, 0xA2},
    {0xF6, 0x9E, 0x3B, 0x80, 0x2C, 0x7D, 0x41, 0x5A},
    {0x2A, 0x48, 0x67, 0x51, 0xBF, 0xE9, 0xC3, 0x0D},
};

static inline uint32_t Rotate(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

static inline uint32_t Load32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The four words each step of a round mixes: the columns, then the diagonals.
static const uint8_t kSteps[8][4] = {{0, 4, 8, 12}, {1, 5, 9, 13}, {2, 6, 10, 14}, {3, 7, 11, 15},
                                     {0, 5, 10, 15}, {1, 6, 11, 12}, {2, 7, 8, 13}, {3, 4, 9, 14}};

static void Compress(Blake2s* state, const uint8_t* block, bool last)
{
    uint32_t m[16], v[16];
    for (int i = 0; i < 16; ++i)
        m[i] = Load32(block + 4 * i);
    for (int i = 0; i < 8; ++i)
        v[i] = state->h[i], v[i + 8] = kIv[i];
    v[12] ^= state->t[0], v[13] ^= state->t[1];
    if (last)
        v[14] = ~v[14];
    for (int r = 0; r < 10; ++r) {
        // Unrolled, the steps' words are constants and the hash twice as
        // fast.
#pragma GCC unroll 8
        for (int g = 0; g < 8; ++g) {
            const uint8_t* k = kSteps[g];
            uint32_t &a = v[k[0]], &b = v[k[1]], &c = v[k[2]], &d = v[k[3]];
            a += b + m[kSigma[r][g] & 15], d = Rotate(d ^ a, 16);
            c += d, b = Rotate(b ^ c, 12);
            a += b + m[kSigma[r][g] >> 4], d = Rotate(d ^ a, 8);
            c += d, b = Rotate(b ^ c, 7);
        }
    }
    for (int i = 0; i < 8; ++i)
        state->h[i] ^= v[i] ^ v[i + 8];
}

static void Count(Blake2s* state, uint32_t bytes)
{
    state->t[0] += bytes;
    state->t[1] += state->t[0] < bytes;
}

void Blake2sBegin(Blake2s* state)
{
    for (int i = 0; i < 8; ++i)
        state->h[i] = kIv[i];
    state->h[0] ^= 0x01010000 ^ kDigestSize;  // no key, fan-out and depth 1
    state->t[0] = state->t[1] = 0;
    state->used = 0;
}

// A full block is compressed only once more bytes follow: the last one is
// compressed by Blake2sEnd, marked as the last. Whole blocks are taken
// straight from data, the rest through the state's block.
void Blake2sAdd(Blake2s* state, const uint8_t* data, uint32_t size)
{
    while (size > 0) {
        if (state->used == kDigestBlock) {
            Count(state, kDigestBlock);
            Compress(state, state->block, false);
            state->used = 0;
        }
        for (; state->used == 0 && size > kDigestBlock; data += kDigestBlock, size -= kDigestBlock) {
            Count(state, kDigestBlock);
            Compress(state, data, false);
        }
        for (; size > 0 && state->used < kDigestBlock; --size)
            state->block[state->used++] = *data++;
    }
}

void Blake2sEnd(Blake2s* state, uint8_t digest[kDigestSize])
{
    Count(state, state->used);
    for (uint32_t i = state->used; i < kDigestBlock; ++i)
        state->block[i] = 0;
    Compress(state, state->block, true);
    for (int i = 0; i < kDigestSize; ++i)
        digest[i] = (uint8_t)(state->h[i / 4] >> (8 * (i % 4)));
}
