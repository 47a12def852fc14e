// 128-bit vector operations for the 4-lane Shabal units. shabal_sse2.cpp and
// shabal_avx.cpp both include this; the AVX unit's flags turn the same
// intrinsics into three-operand VEX instructions, which spare the register
// copies that two-operand SSE2 needs. Internal linkage for the reason given
// in shabal_lanes.h.
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace {

struct vec128_ops {
    typedef __m128i vec;
    static const int lanes = 4;
    static vec load(const uint32_t* p) { return _mm_load_si128((const __m128i*)p); }
    static void store(uint32_t* p, vec v) { _mm_store_si128((__m128i*)p, v); }
    static vec loadu(const void* p) { return _mm_loadu_si128((const __m128i*)p); }
    static void storeu(void* p, vec v) { _mm_storeu_si128((__m128i*)p, v); }
    static vec set1(uint32_t v) { return _mm_set1_epi32((int)v); }
    static vec add(vec a, vec b) { return _mm_add_epi32(a, b); }
    static vec sub(vec a, vec b) { return _mm_sub_epi32(a, b); }
    static vec xor_(vec a, vec b) { return _mm_xor_si128(a, b); }
    static vec andnot(vec a, vec b) { return _mm_andnot_si128(a, b); }
    template <int n>
    static vec shl(vec x) {
        return _mm_slli_epi32(x, n);
    }
    template <int n>
    static vec shr(vec x) {
        return _mm_srli_epi32(x, n);
    }
    // Word i of lane k's 64-byte block to out[4i + k], four words at a time.
    static void gather(const uint8_t* const* p, uint32_t* out) {
        for (int g = 0; g < 4; g++) {
            vec r0 = loadu(p[0] + 16 * g), r1 = loadu(p[1] + 16 * g);
            vec r2 = loadu(p[2] + 16 * g), r3 = loadu(p[3] + 16 * g);
            vec t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpackhi_epi32(r0, r1);
            vec t2 = _mm_unpacklo_epi32(r2, r3), t3 = _mm_unpackhi_epi32(r2, r3);
            store(out + 16 * g + 0, _mm_unpacklo_epi64(t0, t2));
            store(out + 16 * g + 4, _mm_unpackhi_epi64(t0, t2));
            store(out + 16 * g + 8, _mm_unpacklo_epi64(t1, t3));
            store(out + 16 * g + 12, _mm_unpackhi_epi64(t1, t3));
        }
    }
};

}  // namespace
