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

// Step of the permutation on word i: A[x] from itself, r (the previous A
// word rotated left by 15), C[c], B[i], B[b13], B[b9], B[b6] and M[i]; then
// B[i] from the new A[x], and r for the next step. The A, B and C words live
// in memory on purpose: each is read a few times per block, so loads are
// cheaper than the spills GCC emits when it tries to keep all 44 words in 16
// registers. Only the path through r is serial. w and u are combined off it,
// and the empty asm statements keep GCC from reassociating them into it.
// The next r is built without waiting for the new A word: with s = 3 t and
// A = s ^ u, rotl(A, 15) = (t * (3 << 15)) ^ rotl(u, 15) ^ (s >> 17).
#define SHABAL_STEP(x, xp, i, c, b13, b9, b6)                                                      \
    do {                                                                                           \
        VEC w = XOR(Ap[x], Cp[c]);                                                                 \
        VEC u = XOR(Bp[b13], XOR(ANDNOT(Bp[b6], Bp[b9]), M[i]));                                   \
        __asm__("" : "+x"(w), "+x"(u));                                                            \
        VEC t = XOR(_mm256_mullo_epi32(r, FIVE), w);                                               \
        VEC s = _mm256_mullo_epi32(t, THREE);                                                      \
        VEC a = XOR(s, u);                                                                         \
        Ap[x] = a;                                                                                 \
        VEC nb = XOR(ROTL1(Bp[i]), ONES);                                                          \
        __asm__("" : "+x"(nb));                                                                    \
        Bp[i] = XOR(nb, a);                                                                        \
        VEC q = XOR(_mm256_mullo_epi32(t, THREE15), ROTL(u, 15));                                  \
        __asm__("" : "+x"(q));                                                                     \
        r = XOR(q, _mm256_srli_epi32(s, 17));                                                      \
    } while (0)

// Compresses nblocks blocks of every lane. The state is copied once into an
// aligned local array; B, C and a spare buffer trade places per block by
// rotating pointers.
void compress_lanes(CTX* ctx, const uint8_t* const* blocks, uint64_t nblocks) {
    if (nblocks == 0) return;
    const uint8_t* p[LANES];
    for (int k = 0; k < LANES; k++) p[k] = blocks[k];
    alignas(32) VEC st[12 + 16 + 16 + 16];
    alignas(32) VEC Mbuf[32];
    VEC* const Ap = st;
    VEC* Bp = st + 12;
    VEC* Cp = st + 28;
    VEC* Dp = st + 44;
    VEC* M = Mbuf;
    VEC* Mn = Mbuf + 16;
    for (int i = 0; i < 12; i++) Ap[i] = LOAD(ctx->A + i * LANES);
    for (int i = 0; i < 16; i++) Bp[i] = LOAD(ctx->B + i * LANES);
    for (int i = 0; i < 16; i++) Cp[i] = LOAD(ctx->C + i * LANES);
    uint32_t wlow = ctx->Wlow, whigh = ctx->Whigh;
    const VEC ONES = SET1(-1);
    // The multipliers are hidden from the optimizer so that it keeps one
    // vpmulld (3 cycles) rather than a shift and an add (two dependent ops).
    VEC FIVE = SET1(5), THREE = SET1(3), THREE15 = SET1(3 << 15);
    __asm__("" : "+x"(FIVE), "+x"(THREE), "+x"(THREE15));
    gather_words(p, M);
    for (int k = 0; k < LANES; k++) p[k] += 64;
    for (int i = 0; i < 16; i++) Bp[i] = ROTL(ADD(Bp[i], M[i]), 17);
    do {
        Ap[0] = XOR(Ap[0], SET1((int)wlow));
        Ap[1] = XOR(Ap[1], SET1((int)whigh));
        // The next block's B (this block's C less its message, plus the next
        // message, rotated) depends only on inputs known now, so it is made
        // here, ahead of the serial permutation, in a third buffer Dp.
        if (nblocks > 1) {
            gather_words(p, Mn);
            for (int k = 0; k < LANES; k++) p[k] += 64;
            for (int i = 0; i < 16; i++) Dp[i] = ROTL(ADD(SUB(Cp[i], M[i]), Mn[i]), 17);
        } else {
            for (int i = 0; i < 16; i++) Dp[i] = SUB(Cp[i], M[i]);
        }
        VEC r = ROTL(Ap[11], 15);
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
        for (int j = 0; j < 12; j++) {
            VEC s = ADD(Cp[(j + 3) & 15], Cp[(j + 15) & 15]);
            Ap[j] = ADD(Ap[j], ADD(s, Cp[(j + 11) & 15]));
        }
        VEC* sw = Cp;
        Cp = Bp;
        Bp = Dp;
        Dp = sw;
        sw = M;
        M = Mn;
        Mn = sw;
        if (++wlow == 0) whigh++;
    } while (--nblocks);
    for (int i = 0; i < 12; i++) STORE(ctx->A + i * LANES, Ap[i]);
    for (int i = 0; i < 16; i++) STORE(ctx->B + i * LANES, Bp[i]);
    for (int i = 0; i < 16; i++) STORE(ctx->C + i * LANES, Cp[i]);
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
