// 8-lane Shabal on AVX2: one 256-bit vector holds one state word of eight
// messages.
#include <immintrin.h>

#include <cstring>

#include "plot/shabal.h"

namespace {

typedef __m256i VEC;
typedef shabal_x8_context CTX;
const int LANES = 8;

inline VEC LOAD(const uint32_t* p) { return _mm256_loadu_si256((const __m256i*)p); }
inline void STORE(uint32_t* p, VEC v) { _mm256_storeu_si256((__m256i*)p, v); }
inline VEC SET1(int v) { return _mm256_set1_epi32(v); }
inline VEC ADD(VEC a, VEC b) { return _mm256_add_epi32(a, b); }
inline VEC SUB(VEC a, VEC b) { return _mm256_sub_epi32(a, b); }
inline VEC XOR(VEC a, VEC b) { return _mm256_xor_si256(a, b); }
inline VEC ANDNOT(VEC a, VEC b) { return _mm256_andnot_si256(a, b); }  // ~a & b
inline VEC ROTL(VEC x, int n) { return _mm256_or_si256(_mm256_slli_epi32(x, n), _mm256_srli_epi32(x, 32 - n)); }
inline VEC ROTL1(VEC x) { return _mm256_or_si256(_mm256_add_epi32(x, x), _mm256_srli_epi32(x, 31)); }
inline VEC MUL5(VEC x) { return _mm256_mullo_epi32(x, _mm256_set1_epi32(5)); }
inline VEC MUL3(VEC x) { return _mm256_mullo_epi32(x, _mm256_set1_epi32(3)); }

// Transposes each lane's 16 message words into M[0..15], eight at a time.
void gather_words(const uint8_t* const* p, VEC* M) {
    for (int g = 0; g < 2; g++) {
        VEC r[8], t[8], u[8];
        for (int k = 0; k < 8; k++) r[k] = _mm256_loadu_si256((const __m256i*)(p[k] + 32 * g));
        for (int k = 0; k < 8; k += 2) {
            t[k] = _mm256_unpacklo_epi32(r[k], r[k + 1]);
            t[k + 1] = _mm256_unpackhi_epi32(r[k], r[k + 1]);
        }
        for (int h = 0; h < 8; h += 4) {
            u[h + 0] = _mm256_unpacklo_epi64(t[h + 0], t[h + 2]);
            u[h + 1] = _mm256_unpackhi_epi64(t[h + 0], t[h + 2]);
            u[h + 2] = _mm256_unpacklo_epi64(t[h + 1], t[h + 3]);
            u[h + 3] = _mm256_unpackhi_epi64(t[h + 1], t[h + 3]);
        }
        for (int w = 0; w < 4; w++) {
            M[8 * g + w] = _mm256_permute2x128_si256(u[w], u[w + 4], 0x20);
            M[8 * g + w + 4] = _mm256_permute2x128_si256(u[w], u[w + 4], 0x31);
        }
    }
}

// Step of the permutation on word i: A[x] from itself, the previous A word
// A[xp], C[c], B[i], B[b13], B[b9], B[b6] and M[i]; then B[i] from A[x].
// Only the path through A[xp] is serial from step to step, so every other
// term is combined off that path, and the A words are named variables so the
// compiler keeps them (and the B words) in registers rather than in memory.
#define SHABAL_STEP(x, xp, i, c, b13, b9, b6)                                                      \
    do {                                                                                           \
        VEC t = XOR(MUL5(ROTL(a##xp, 15)), XOR(a##x, C[c]));                                       \
        a##x = XOR(MUL3(t), XOR(b##b13, XOR(ANDNOT(b##b6, b##b9), M[i])));                         \
        b##i = XOR(ROTL1(b##i), XOR(a##x, ONES));                                                  \
    } while (0)

// Compresses nblocks blocks of every lane; the state stays in local vectors
// for the whole call.
void compress_lanes(CTX* ctx, const uint8_t* const* blocks, uint64_t nblocks) {
    if (nblocks == 0) return;
    const uint8_t* p[LANES];
    for (int k = 0; k < LANES; k++) p[k] = blocks[k];
    VEC A[12], B[16], C[16], M[16];
    for (int i = 0; i < 12; i++) A[i] = LOAD(ctx->A + i * LANES);
    for (int i = 0; i < 16; i++) B[i] = LOAD(ctx->B + i * LANES);
    for (int i = 0; i < 16; i++) C[i] = LOAD(ctx->C + i * LANES);
    uint32_t wlow = ctx->Wlow, whigh = ctx->Whigh;
    const VEC ONES = SET1(-1);
    do {
        gather_words(p, M);
        VEC b0 = ROTL(ADD(B[0], M[0]), 17);
        VEC b1 = ROTL(ADD(B[1], M[1]), 17);
        VEC b2 = ROTL(ADD(B[2], M[2]), 17);
        VEC b3 = ROTL(ADD(B[3], M[3]), 17);
        VEC b4 = ROTL(ADD(B[4], M[4]), 17);
        VEC b5 = ROTL(ADD(B[5], M[5]), 17);
        VEC b6 = ROTL(ADD(B[6], M[6]), 17);
        VEC b7 = ROTL(ADD(B[7], M[7]), 17);
        VEC b8 = ROTL(ADD(B[8], M[8]), 17);
        VEC b9 = ROTL(ADD(B[9], M[9]), 17);
        VEC b10 = ROTL(ADD(B[10], M[10]), 17);
        VEC b11 = ROTL(ADD(B[11], M[11]), 17);
        VEC b12 = ROTL(ADD(B[12], M[12]), 17);
        VEC b13 = ROTL(ADD(B[13], M[13]), 17);
        VEC b14 = ROTL(ADD(B[14], M[14]), 17);
        VEC b15 = ROTL(ADD(B[15], M[15]), 17);
        VEC a0 = XOR(A[0], SET1((int)wlow)), a1 = XOR(A[1], SET1((int)whigh)), a2 = A[2], a3 = A[3];
        VEC a4 = A[4], a5 = A[5], a6 = A[6], a7 = A[7], a8 = A[8], a9 = A[9], a10 = A[10], a11 = A[11];
        SHABAL_STEP(0, 11, 0, 8, 13, 9, 6);
        SHABAL_STEP(1, 0, 1, 7, 14, 10, 7);
        SHABAL_STEP(2, 1, 2, 6, 15, 11, 8);
        SHABAL_STEP(3, 2, 3, 5, 0, 12, 9);
        SHABAL_STEP(4, 3, 4, 4, 1, 13, 10);
        SHABAL_STEP(5, 4, 5, 3, 2, 14, 11);
        SHABAL_STEP(6, 5, 6, 2, 3, 15, 12);
        SHABAL_STEP(7, 6, 7, 1, 4, 0, 13);
        SHABAL_STEP(8, 7, 8, 0, 5, 1, 14);
        SHABAL_STEP(9, 8, 9, 15, 6, 2, 15);
        SHABAL_STEP(10, 9, 10, 14, 7, 3, 0);
        SHABAL_STEP(11, 10, 11, 13, 8, 4, 1);
        SHABAL_STEP(0, 11, 12, 12, 9, 5, 2);
        SHABAL_STEP(1, 0, 13, 11, 10, 6, 3);
        SHABAL_STEP(2, 1, 14, 10, 11, 7, 4);
        SHABAL_STEP(3, 2, 15, 9, 12, 8, 5);
        SHABAL_STEP(4, 3, 0, 8, 13, 9, 6);
        SHABAL_STEP(5, 4, 1, 7, 14, 10, 7);
        SHABAL_STEP(6, 5, 2, 6, 15, 11, 8);
        SHABAL_STEP(7, 6, 3, 5, 0, 12, 9);
        SHABAL_STEP(8, 7, 4, 4, 1, 13, 10);
        SHABAL_STEP(9, 8, 5, 3, 2, 14, 11);
        SHABAL_STEP(10, 9, 6, 2, 3, 15, 12);
        SHABAL_STEP(11, 10, 7, 1, 4, 0, 13);
        SHABAL_STEP(0, 11, 8, 0, 5, 1, 14);
        SHABAL_STEP(1, 0, 9, 15, 6, 2, 15);
        SHABAL_STEP(2, 1, 10, 14, 7, 3, 0);
        SHABAL_STEP(3, 2, 11, 13, 8, 4, 1);
        SHABAL_STEP(4, 3, 12, 12, 9, 5, 2);
        SHABAL_STEP(5, 4, 13, 11, 10, 6, 3);
        SHABAL_STEP(6, 5, 14, 10, 11, 7, 4);
        SHABAL_STEP(7, 6, 15, 9, 12, 8, 5);
        SHABAL_STEP(8, 7, 0, 8, 13, 9, 6);
        SHABAL_STEP(9, 8, 1, 7, 14, 10, 7);
        SHABAL_STEP(10, 9, 2, 6, 15, 11, 8);
        SHABAL_STEP(11, 10, 3, 5, 0, 12, 9);
        SHABAL_STEP(0, 11, 4, 4, 1, 13, 10);
        SHABAL_STEP(1, 0, 5, 3, 2, 14, 11);
        SHABAL_STEP(2, 1, 6, 2, 3, 15, 12);
        SHABAL_STEP(3, 2, 7, 1, 4, 0, 13);
        SHABAL_STEP(4, 3, 8, 0, 5, 1, 14);
        SHABAL_STEP(5, 4, 9, 15, 6, 2, 15);
        SHABAL_STEP(6, 5, 10, 14, 7, 3, 0);
        SHABAL_STEP(7, 6, 11, 13, 8, 4, 1);
        SHABAL_STEP(8, 7, 12, 12, 9, 5, 2);
        SHABAL_STEP(9, 8, 13, 11, 10, 6, 3);
        SHABAL_STEP(10, 9, 14, 10, 11, 7, 4);
        SHABAL_STEP(11, 10, 15, 9, 12, 8, 5);
        a0 = ADD(a0, C[3]); a1 = ADD(a1, C[4]); a2 = ADD(a2, C[5]); a3 = ADD(a3, C[6]);
        a4 = ADD(a4, C[7]); a5 = ADD(a5, C[8]); a6 = ADD(a6, C[9]); a7 = ADD(a7, C[10]);
        a8 = ADD(a8, C[11]); a9 = ADD(a9, C[12]); a10 = ADD(a10, C[13]); a11 = ADD(a11, C[14]);
        a0 = ADD(a0, C[15]); a1 = ADD(a1, C[0]); a2 = ADD(a2, C[1]); a3 = ADD(a3, C[2]);
        a4 = ADD(a4, C[3]); a5 = ADD(a5, C[4]); a6 = ADD(a6, C[5]); a7 = ADD(a7, C[6]);
        a8 = ADD(a8, C[7]); a9 = ADD(a9, C[8]); a10 = ADD(a10, C[9]); a11 = ADD(a11, C[10]);
        a0 = ADD(a0, C[11]); a1 = ADD(a1, C[12]); a2 = ADD(a2, C[13]); a3 = ADD(a3, C[14]);
        a4 = ADD(a4, C[15]); a5 = ADD(a5, C[0]); a6 = ADD(a6, C[1]); a7 = ADD(a7, C[2]);
        a8 = ADD(a8, C[3]); a9 = ADD(a9, C[4]); a10 = ADD(a10, C[5]); a11 = ADD(a11, C[6]);
        A[0] = a0, A[1] = a1, A[2] = a2, A[3] = a3, A[4] = a4, A[5] = a5;
        A[6] = a6, A[7] = a7, A[8] = a8, A[9] = a9, A[10] = a10, A[11] = a11;
        B[0] = SUB(C[0], M[0]);
        C[0] = b0;
        B[1] = SUB(C[1], M[1]);
        C[1] = b1;
        B[2] = SUB(C[2], M[2]);
        C[2] = b2;
        B[3] = SUB(C[3], M[3]);
        C[3] = b3;
        B[4] = SUB(C[4], M[4]);
        C[4] = b4;
        B[5] = SUB(C[5], M[5]);
        C[5] = b5;
        B[6] = SUB(C[6], M[6]);
        C[6] = b6;
        B[7] = SUB(C[7], M[7]);
        C[7] = b7;
        B[8] = SUB(C[8], M[8]);
        C[8] = b8;
        B[9] = SUB(C[9], M[9]);
        C[9] = b9;
        B[10] = SUB(C[10], M[10]);
        C[10] = b10;
        B[11] = SUB(C[11], M[11]);
        C[11] = b11;
        B[12] = SUB(C[12], M[12]);
        C[12] = b12;
        B[13] = SUB(C[13], M[13]);
        C[13] = b13;
        B[14] = SUB(C[14], M[14]);
        C[14] = b14;
        B[15] = SUB(C[15], M[15]);
        C[15] = b15;
        if (++wlow == 0) whigh++;
        for (int k = 0; k < LANES; k++) p[k] += 64;
    } while (--nblocks);
    for (int i = 0; i < 12; i++) STORE(ctx->A + i * LANES, A[i]);
    for (int i = 0; i < 16; i++) STORE(ctx->B + i * LANES, B[i]);
    for (int i = 0; i < 16; i++) STORE(ctx->C + i * LANES, C[i]);
    ctx->Wlow = wlow;
    ctx->Whigh = whigh;
}

#undef SHABAL_STEP

// Fills every lane's block with the 16-bit counts first .. first + 15.
void fill_iv_blocks(CTX* ctx, unsigned first) {
    for (int k = 0; k < LANES; k++)
        for (unsigned i = 0; i < 16; i++) {
            uint8_t* w = ctx->buf + 64 * k + 4 * i;
            w[0] = (uint8_t)(first + i);
            w[1] = (uint8_t)((first + i) >> 8);
            w[2] = 0;
            w[3] = 0;
        }
}

void compress_buf(CTX* ctx) {
    const uint8_t* b[LANES];
    for (int k = 0; k < LANES; k++) b[k] = ctx->buf + 64 * k;
    compress_lanes(ctx, b, 1);
}

}  // namespace

void shabal_x8_avx2_init(CTX* ctx, unsigned out_bits) {
    memset(ctx->buf, 0, sizeof ctx->buf);
    memset(ctx->A, 0, sizeof ctx->A);
    memset(ctx->B, 0, sizeof ctx->B);
    memset(ctx->C, 0, sizeof ctx->C);
    fill_iv_blocks(ctx, out_bits);
    ctx->Whigh = 0xFFFFFFFFu;
    ctx->Wlow = 0xFFFFFFFFu;
    compress_buf(ctx);
    fill_iv_blocks(ctx, out_bits + 16);
    compress_buf(ctx);
    ctx->position = 0;
    ctx->out_bits = out_bits;
}

void shabal_x8_avx2_compress(CTX* ctx, const void* const blocks[LANES], uint64_t nblocks) {
    compress_lanes(ctx, (const uint8_t* const*)blocks, nblocks);
}

void shabal_x8_avx2_update(CTX* ctx, const void* const data[LANES], uint64_t len) {
    const uint8_t* p[LANES];
    for (int k = 0; k < LANES; k++) p[k] = (const uint8_t*)data[k];
    uint64_t pos = ctx->position;
    if (pos > 0) {
        if (len < 64 - pos) {
            if (len == 0) return;
            for (int k = 0; k < LANES; k++) memcpy(ctx->buf + 64 * k + pos, p[k], len);
            ctx->position = pos + len;
            return;
        }
        for (int k = 0; k < LANES; k++) {
            memcpy(ctx->buf + 64 * k + pos, p[k], 64 - pos);
            p[k] += 64 - pos;
        }
        compress_buf(ctx);
        len -= 64 - pos;
    }
    if (len >= 64) {
        compress_lanes(ctx, p, len / 64);
        for (int k = 0; k < LANES; k++) p[k] += len & ~(uint64_t)63;
    }
    uint64_t rest = len & 63;
    if (rest)
        for (int k = 0; k < LANES; k++) memcpy(ctx->buf + 64 * k, p[k], rest);
    ctx->position = rest;
}

void shabal_x8_avx2_close(CTX* ctx, const unsigned ub[LANES], unsigned n, uint32_t* const dst[LANES]) {
    unsigned z = 0x80u >> n;
    uint64_t pos = ctx->position;
    for (int k = 0; k < LANES; k++) {
        uint8_t* b = ctx->buf + 64 * k;
        b[pos] = (uint8_t)((ub[k] & -z) | z);
        memset(b + pos + 1, 0, 63 - pos);
    }
    // The final block and three extra rounds, all with the final counter.
    for (int r = 0; r < 4; r++) {
        compress_buf(ctx);
        if (ctx->Wlow-- == 0) ctx->Whigh--;
    }
    unsigned t = ctx->out_bits / 32;
    for (int k = 0; k < LANES; k++) {
        if (!dst[k] || t == 0) continue;
        uint32_t words[16];
        for (unsigned i = 0; i < t; i++) words[i] = ctx->C[(16 - t + i) * LANES + k];
        memcpy(dst[k], words, t * 4);
    }
}
