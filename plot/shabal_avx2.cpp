// 8-lane Shabal for AVX2: one 256-bit vector holds one state word of eight
// messages. The compression itself is shabal_lanes.h.
#include <immintrin.h>

#include "plot/shabal.h"
#include "plot/shabal_lanes.h"

namespace {

struct vec256_ops {
    typedef __m256i vec;
    static const int lanes = 8;
    static vec load(const uint32_t* p) { return _mm256_load_si256((const __m256i*)p); }
    static void store(uint32_t* p, vec v) { _mm256_store_si256((__m256i*)p, v); }
    static vec loadu(const void* p) { return _mm256_loadu_si256((const __m256i*)p); }
    static void storeu(void* p, vec v) { _mm256_storeu_si256((__m256i*)p, v); }
    static vec set1(uint32_t v) { return _mm256_set1_epi32((int)v); }
    static vec add(vec a, vec b) { return _mm256_add_epi32(a, b); }
    static vec sub(vec a, vec b) { return _mm256_sub_epi32(a, b); }
    static vec xor_(vec a, vec b) { return _mm256_xor_si256(a, b); }
    static vec andnot(vec a, vec b) { return _mm256_andnot_si256(a, b); }
    template <int n>
    static vec shl(vec x) {
        return _mm256_slli_epi32(x, n);
    }
    template <int n>
    static vec shr(vec x) {
        return _mm256_srli_epi32(x, n);
    }
    // Word i of lane k's 64-byte block to out[8i + k]: two 8 x 8 transposes.
    static void gather(const uint8_t* const* p, uint32_t* out) {
        for (int g = 0; g < 2; g++) {
            vec r[8], t[8], u[8];
            for (int k = 0; k < 8; k++) r[k] = loadu(p[k] + 32 * g);
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
                store(out + 8 * (8 * g + w), _mm256_permute2x128_si256(u[w], u[w + 4], 0x20));
                store(out + 8 * (8 * g + w + 4), _mm256_permute2x128_si256(u[w], u[w + 4], 0x31));
            }
        }
    }
};

}  // namespace

void shabal_x8_avx2_init(shabal_x8_context* ctx, unsigned out_bits) { ctx_init<vec256_ops>(ctx, out_bits); }

void shabal_x8_avx2_update(shabal_x8_context* ctx, const void* const data[8], uint64_t len) {
    ctx_update<vec256_ops>(ctx, data, len);
}

void shabal_x8_avx2_close(shabal_x8_context* ctx, const unsigned ub[8], unsigned n, uint32_t* const dst[8]) {
    ctx_close<vec256_ops>(ctx, ub, n, dst);
}

void shabal_x8_avx2_compress(shabal_x8_context* ctx, const void* const blocks[8], uint64_t nblocks) {
    ctx_compress<vec256_ops>(ctx, (const uint8_t* const*)blocks, nblocks, false);
}

void shabal_x8_avx2_nonces(uint32_t* const* areas, int groups, uint32_t* finals) {
    if (groups == 2)
        lanes_nonces<vec256_ops, 2>(areas, finals);
    else
        lanes_nonces<vec256_ops, 1>(areas, finals);
}
