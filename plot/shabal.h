// Shabal hashing: the one-lane forms and the 4- and 8-lane SIMD forms.
//
// A nonce takes 8193 Shabal-256 hashes, so every form here is written for
// speed; all of them compute the same function and give the same bytes.
// Contexts are plain values without pointers: a bytewise copy of an
// initialised context is an independent, initialised context.
//
// The multi-lane forms live in their own units (shabal_sse2.cpp,
// shabal_avx.cpp, shabal_avx2.cpp) built with their instruction sets around
// the one compression of shabal_lanes.h; call one only when cpu_features()
// reports that set. The one-lane form is the reference they all must match.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// One-lane form: the nonce code and the lone nonces of the workers and the
// checker.

// The chaining state, contiguous so that update and close can move it in one
// copy into an aligned scratch area and back.
struct shabal_scalar_state {
    uint32_t A[12];
    uint32_t B[16];
    uint32_t C[16];
    uint64_t W;  // number of the next block, counted from 1
};

struct shabal_scalar_context {
    uint8_t buf[64];    // bytes of the current block not compressed yet
    uint32_t position;  // bytes held in buf, 0 to 63
    shabal_scalar_state state;
    uint32_t out_bits;
};

// Initial A (12 words), B (16) and C (16) for the output sizes 32, 64, ...,
// 512 bits: row k serves 32 x (k + 1) bits.
extern const uint32_t shabal_scalar_iv[16][44];

// out_bits: a multiple of 32 from 32 to 512 (not checked).
void shabal_scalar_init(shabal_scalar_context* ctx, unsigned out_bits);
void shabal_scalar_update(shabal_scalar_context* ctx, const void* data, uint64_t len);
// Ends the message with n (0 to 7) extra bits from the top of ub's low byte
// and writes out_bits / 8 bytes to dst (any alignment). The context is used
// up until the next init.
void shabal_scalar_close(shabal_scalar_context* ctx, unsigned ub, unsigned n, void* dst);
// Compresses nblocks (>= 1) 64-byte blocks into the state.
void shabal_scalar_core(shabal_scalar_state* st, const void* blocks, uint64_t nblocks);

// ---------------------------------------------------------------------------
// Second one-lane family with fixed output sizes; its close leaves the
// context ready for the next message of the same size.

struct shabal_plain_context {
    uint8_t buf[64];
    uint64_t position;
    uint32_t A[12];
    uint32_t B[16];
    uint32_t C[16];
    uint32_t Whigh;
    uint32_t Wlow;
};

void shabal_plain_core(shabal_plain_context* ctx, const void* data, uint64_t len);
void shabal_plain_finish(shabal_plain_context* ctx, unsigned ub, unsigned n, void* dst, unsigned out_words);

void shabal_plain192_init(shabal_plain_context* ctx);
void shabal_plain192_update(shabal_plain_context* ctx, const void* data, uint64_t len);
void shabal_plain192_close(shabal_plain_context* ctx, void* dst);
void shabal_plain192_close_bits(shabal_plain_context* ctx, unsigned ub, unsigned n, void* dst);
void shabal_plain224_init(shabal_plain_context* ctx);
void shabal_plain224_update(shabal_plain_context* ctx, const void* data, uint64_t len);
void shabal_plain224_close(shabal_plain_context* ctx, void* dst);
void shabal_plain224_close_bits(shabal_plain_context* ctx, unsigned ub, unsigned n, void* dst);
void shabal_plain256_init(shabal_plain_context* ctx);
void shabal_plain256_update(shabal_plain_context* ctx, const void* data, uint64_t len);
void shabal_plain256_close(shabal_plain_context* ctx, void* dst);
void shabal_plain256_close_bits(shabal_plain_context* ctx, unsigned ub, unsigned n, void* dst);
void shabal_plain384_init(shabal_plain_context* ctx);
void shabal_plain384_update(shabal_plain_context* ctx, const void* data, uint64_t len);
void shabal_plain384_close(shabal_plain_context* ctx, void* dst);
void shabal_plain384_close_bits(shabal_plain_context* ctx, unsigned ub, unsigned n, void* dst);
void shabal_plain512_init(shabal_plain_context* ctx);
void shabal_plain512_update(shabal_plain_context* ctx, const void* data, uint64_t len);
void shabal_plain512_close(shabal_plain_context* ctx, void* dst);
void shabal_plain512_close_bits(shabal_plain_context* ctx, unsigned ub, unsigned n, void* dst);

// ---------------------------------------------------------------------------
// Multi-lane forms: L messages of one length side by side, one per SIMD lane.
// State words are lane-interleaved: word i of lane k is element i * L + k.

struct shabal_x4_context {
    uint8_t buf[4 * 64];  // lane k's partial block at 64k
    uint64_t position;    // bytes held in every lane's block, 0 to 63
    uint32_t A[12 * 4];
    uint32_t B[16 * 4];
    uint32_t C[16 * 4];
    uint32_t Whigh;
    uint32_t Wlow;
    uint32_t out_bits;
};

struct shabal_x8_context {
    uint8_t buf[8 * 64];
    uint64_t position;
    uint32_t A[12 * 8];
    uint32_t B[16 * 8];
    uint32_t C[16 * 8];
    uint32_t Whigh;
    uint32_t Wlow;
    uint32_t out_bits;
};

// init (out_bits a multiple of 32 from 32 to 512); update absorbs len bytes
// from each lane's pointer (no alignment needed); close takes each lane's ub
// and the shared n (0 to 7) and writes out_bits / 32 words to each non-null
// dst[k]; compress works on nblocks whole blocks per lane (0 does nothing).
void shabal_x4_sse2_init(shabal_x4_context* ctx, unsigned out_bits);
void shabal_x4_sse2_update(shabal_x4_context* ctx, const void* const data[4], uint64_t len);
void shabal_x4_sse2_close(shabal_x4_context* ctx, const unsigned ub[4], unsigned n, uint32_t* const dst[4]);
void shabal_x4_sse2_compress(shabal_x4_context* ctx, const void* const blocks[4], uint64_t nblocks);

void shabal_x4_avx_init(shabal_x4_context* ctx, unsigned out_bits);
void shabal_x4_avx_update(shabal_x4_context* ctx, const void* const data[4], uint64_t len);
void shabal_x4_avx_close(shabal_x4_context* ctx, const unsigned ub[4], unsigned n, uint32_t* const dst[4]);
void shabal_x4_avx_compress(shabal_x4_context* ctx, const void* const blocks[4], uint64_t nblocks);

void shabal_x8_avx2_init(shabal_x8_context* ctx, unsigned out_bits);
void shabal_x8_avx2_update(shabal_x8_context* ctx, const void* const data[8], uint64_t len);
void shabal_x8_avx2_close(shabal_x8_context* ctx, const unsigned ub[8], unsigned n, uint32_t* const dst[8]);
void shabal_x8_avx2_compress(shabal_x8_context* ctx, const void* const blocks[8], uint64_t nblocks);

// ---------------------------------------------------------------------------
// Whole nonces, `groups` (1 or 2) groups of L nonces hashed in lockstep: the
// 8193 hashes of each nonce's chain and final hash.
//
// A group's work area holds its L nonces lane-interleaved, 4-byte word w of
// lane k at area[w * L + k], for the 65536 words of the nonce and the 4 of its
// seed (which the caller writes); 64-byte aligned, SHABAL_AREA_WORDS * L
// words. On return the area holds the nonces before the final XOR, and word j
// of lane k's final digest of group g is finals[(8 g + j) * L + k].
const uint64_t SHABAL_AREA_WORDS = 65540;

void shabal_x4_sse2_nonces(uint32_t* const* areas, int groups, uint32_t* finals);
void shabal_x4_avx_nonces(uint32_t* const* areas, int groups, uint32_t* finals);
void shabal_x8_avx2_nonces(uint32_t* const* areas, int groups, uint32_t* finals);
