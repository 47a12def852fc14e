// The multi-lane Shabal compression, written once over a vector type V and a
// number G of lane groups hashed in lockstep. shabal_sse2.cpp, shabal_avx.cpp
// and shabal_avx2.cpp each include it with their own instruction-set flags.
//
// Everything here has internal linkage on purpose: the same template built
// with different flags in two units must never be merged by the linker, or
// the SSE2 unit could end up running code compiled for AVX.
//
// V provides: vec, lanes, load/store (aligned), loadu/storeu, set1, add, sub,
// xor_, andnot (~a & b), shl<n>, shr<n>, and gather (one 64-byte block of
// each lane into 16 interleaved words).
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "plot/shabal.h"

namespace {

// The steps must melt into one straight run of code with the chain in
// registers; a call in between would pass the chain through memory.
#define SHABAL_INLINE inline __attribute__((always_inline))

template <typename V, int G>
struct lanes_state_s {
    typename V::vec A[12][G];
    typename V::vec B[16][G];
    typename V::vec C[16][G];
};

// Keeps the compiler from folding a value computed off the serial chain of
// A words back into it (it otherwise reassociates xors across the chain).
template <typename T>
SHABAL_INLINE void keep_apart(T& v) {
    __asm__("" : "+x"(v));
}

// Rotation left by N; by 1 the shift left is an addition, which more of the
// processor's vector units can execute.
template <typename V, int N>
SHABAL_INLINE typename V::vec rotl(typename V::vec x) {
    if constexpr (N == 1)
        return V::xor_(V::add(x, x), V::template shr<31>(x));
    else
        return V::xor_(V::template shl<N>(x), V::template shr<32 - N>(x));
}

// x * 5 and x * 3 by shift and add: two single-cycle operations where a lane
// multiply takes three cycles of latency on the chain.
template <typename V>
SHABAL_INLINE typename V::vec mul5(typename V::vec x) {
    return V::add(V::template shl<2>(x), x);
}
template <typename V>
SHABAL_INLINE typename V::vec mul3(typename V::vec x) {
    return V::add(V::add(x, x), x);
}

// Step S of the permutation for every group: A[x] from itself, the previous
// A word r, C[c], B[i], B[i + 13], B[i + 9], B[i + 6] and M[i]; then B[i]
// from the new A[x]. Only the path through r is serial: w and u are formed
// beside it and kept apart.
template <typename V, int G, int S>
SHABAL_INLINE void lanes_step(typename V::vec (*A)[G], typename V::vec (*B)[G], const typename V::vec (*C)[G],
                       const uint32_t* const* m, typename V::vec* r, typename V::vec ones) {
    typedef typename V::vec vec;
    const int x = S % 12, i = S % 16, c = (24 - i) % 16;
    const int b13 = (i + 13) % 16, b9 = (i + 9) % 16, b6 = (i + 6) % 16;
    // Read the state words from memory at every use, too: left to itself
    // the compiler keeps each freshly stored word in a register for its later
    // reads and then spills it, storing every word twice.
    __asm__("" : "+r"(A), "+r"(B), "+r"(C));
    for (int g = 0; g < G; g++) {
        // Read the message word where it lies each time it is needed rather
        // than let the compiler keep copies of all 16 on the stack.
        const uint32_t* mg = m[g];
        __asm__("" : "+r"(mg));
        vec w = V::xor_(A[x][g], C[c][g]);
        vec u = V::xor_(B[b13][g], V::xor_(V::andnot(B[b6][g], B[b9][g]), V::load(mg + i * V::lanes)));
        keep_apart(w);
        keep_apart(u);
        vec t = V::xor_(mul5<V>(rotl<V, 15>(r[g])), w);
        vec a = V::xor_(mul3<V>(t), u);
        A[x][g] = a;
        r[g] = a;
        vec nb = V::xor_(rotl<V, 1>(B[i][g]), ones);
        keep_apart(nb);
        B[i][g] = V::xor_(nb, a);
    }
}

template <typename V, int G, size_t... S>
SHABAL_INLINE void lanes_steps(typename V::vec (*A)[G], typename V::vec (*B)[G], const typename V::vec (*C)[G],
                        const uint32_t* const* m, typename V::vec* r, typename V::vec ones, std::index_sequence<S...>) {
    (lanes_step<V, G, (int)S>(A, B, C, m, r, ones), ...);
}

// Compresses nblocks blocks into every group's state. src.block(b, m) points
// m[g] at block b of group g as 16 interleaved words (word i of lane k at
// m[g][i * lanes + k]); a pointer stays valid while the next block is asked
// for. src.counter(b) is the block counter W of block b.
//
// The state is copied into a local aligned area once per call. B, C and a
// spare buffer trade places per block by rotating pointers, and the next
// block's B (this C less this message, plus the next message, rotated)
// depends only on inputs known at the start of a block, so it is made ahead
// of the serial permutation.
template <typename V, int G, typename Src>
void lanes_run(lanes_state_s<V, G>* s, Src& src, uint64_t nblocks) {
    typedef typename V::vec vec;
    const int L = V::lanes;
    if (nblocks == 0) return;
    alignas(64) vec A[12][G];
    alignas(64) vec buf[3][16][G];
    vec(*B)[G] = buf[0];
    vec(*C)[G] = buf[1];
    vec(*D)[G] = buf[2];
    memcpy(A, s->A, sizeof A);
    memcpy(B, s->B, sizeof buf[0]);
    memcpy(C, s->C, sizeof buf[0]);
    const vec ones = V::set1(0xFFFFFFFFu);
    const uint32_t* m[G];
    const uint32_t* mn[G] = {};
    src.block(0, m);
    for (int i = 0; i < 16; i++)
        for (int g = 0; g < G; g++) B[i][g] = rotl<V, 17>(V::add(B[i][g], V::load(m[g] + i * L)));
    for (uint64_t b = 0; b < nblocks; b++) {
        uint64_t w = src.counter(b);
        const vec wl = V::set1((uint32_t)w), wh = V::set1((uint32_t)(w >> 32));
        for (int g = 0; g < G; g++) {
            A[0][g] = V::xor_(A[0][g], wl);
            A[1][g] = V::xor_(A[1][g], wh);
        }
        if (b + 1 < nblocks) {
            src.block(b + 1, mn);
            for (int i = 0; i < 16; i++)
                for (int g = 0; g < G; g++)
                    D[i][g] = rotl<V, 17>(
                        V::add(V::sub(C[i][g], V::load(m[g] + i * L)), V::load(mn[g] + i * L)));
        } else {
            for (int i = 0; i < 16; i++)
                for (int g = 0; g < G; g++) D[i][g] = V::sub(C[i][g], V::load(m[g] + i * L));
        }
        vec r[G];
        for (int g = 0; g < G; g++) r[g] = A[11][g];
        lanes_steps<V, G>(A, B, C, m, r, ones, std::make_index_sequence<48>());
        for (int j = 0; j < 12; j++)
            for (int g = 0; g < G; g++) {
                vec sum = V::add(V::add(C[(j + 3) % 16][g], C[(j + 15) % 16][g]), C[(j + 11) % 16][g]);
                A[j][g] = V::add(A[j][g], sum);
            }
        vec(*t)[G] = C;
        C = B;
        B = D;
        D = t;
        for (int g = 0; g < G; g++) m[g] = mn[g];
    }
    memcpy(s->A, A, sizeof A);
    memcpy(s->B, B, sizeof buf[0]);
    memcpy(s->C, C, sizeof buf[0]);
}

// ---------------------------------------------------------------------------
// The context operations (one group): messages come from L separate lane
// pointers, so each block is gathered into interleaved words first.

template <typename V>
struct gather_src_s {
    const uint8_t* p[8];
    uint64_t w0;
    bool repeat;  // every block is the first (the closing rounds)
    alignas(64) uint32_t words[2][16 * V::lanes];
    void block(uint64_t b, const uint32_t** m) {
        uint64_t at = repeat ? 0 : 64 * b;
        const uint8_t* q[8];
        for (int k = 0; k < V::lanes; k++) q[k] = p[k] + at;
        V::gather(q, words[b & 1]);
        m[0] = words[b & 1];
    }
    uint64_t counter(uint64_t b) const { return repeat ? w0 : w0 + b; }
};

template <typename V, typename CTX>
void ctx_load(lanes_state_s<V, 1>* s, const CTX* ctx) {
    for (int i = 0; i < 12; i++) s->A[i][0] = V::loadu(ctx->A + i * V::lanes);
    for (int i = 0; i < 16; i++) s->B[i][0] = V::loadu(ctx->B + i * V::lanes);
    for (int i = 0; i < 16; i++) s->C[i][0] = V::loadu(ctx->C + i * V::lanes);
}

template <typename V, typename CTX>
void ctx_store(CTX* ctx, const lanes_state_s<V, 1>* s) {
    for (int i = 0; i < 12; i++) V::storeu(ctx->A + i * V::lanes, s->A[i][0]);
    for (int i = 0; i < 16; i++) V::storeu(ctx->B + i * V::lanes, s->B[i][0]);
    for (int i = 0; i < 16; i++) V::storeu(ctx->C + i * V::lanes, s->C[i][0]);
}

inline uint64_t ctx_counter(uint32_t whigh, uint32_t wlow) { return (uint64_t)whigh << 32 | wlow; }

// nblocks blocks per lane; repeat compresses the first block each time with
// the same counter (the closing rounds), else W advances per block.
template <typename V, typename CTX>
void ctx_compress(CTX* ctx, const uint8_t* const* blocks, uint64_t nblocks, bool repeat) {
    if (nblocks == 0) return;
    lanes_state_s<V, 1> s;
    ctx_load(&s, ctx);
    gather_src_s<V> src;
    for (int k = 0; k < V::lanes; k++) src.p[k] = blocks[k];
    src.w0 = ctx_counter(ctx->Whigh, ctx->Wlow);
    src.repeat = repeat;
    lanes_run(&s, src, nblocks);
    ctx_store(ctx, &s);
    uint64_t w = repeat ? src.w0 : src.w0 + nblocks;
    ctx->Whigh = (uint32_t)(w >> 32);
    ctx->Wlow = (uint32_t)w;
}

template <typename V, typename CTX>
void ctx_compress_buf(CTX* ctx, uint64_t times) {
    const uint8_t* b[8];
    for (int k = 0; k < V::lanes; k++) b[k] = ctx->buf + 64 * k;
    ctx_compress<V>(ctx, b, times, times > 1);
}

// Fills every lane's block with the 16-bit counts first .. first + 15.
template <typename V, typename CTX>
void ctx_fill_iv_blocks(CTX* ctx, unsigned first) {
    for (int k = 0; k < V::lanes; k++)
        for (unsigned i = 0; i < 16; i++) {
            uint8_t* w = ctx->buf + 64 * k + 4 * i;
            w[0] = (uint8_t)(first + i);
            w[1] = (uint8_t)((first + i) >> 8);
            w[2] = 0;
            w[3] = 0;
        }
}

// The initial value by the Shabal rule, computed here from an all-zero state.
template <typename V, typename CTX>
void ctx_init(CTX* ctx, unsigned out_bits) {
    memset(ctx->buf, 0, sizeof ctx->buf);
    memset(ctx->A, 0, sizeof ctx->A);
    memset(ctx->B, 0, sizeof ctx->B);
    memset(ctx->C, 0, sizeof ctx->C);
    ctx_fill_iv_blocks<V>(ctx, out_bits);
    ctx->Whigh = 0xFFFFFFFFu;
    ctx->Wlow = 0xFFFFFFFFu;
    ctx_compress_buf<V>(ctx, 1);
    ctx_fill_iv_blocks<V>(ctx, out_bits + 16);
    ctx_compress_buf<V>(ctx, 1);
    ctx->position = 0;
    ctx->out_bits = out_bits;
}

template <typename V, typename CTX>
void ctx_update(CTX* ctx, const void* const* data, uint64_t len) {
    const int L = V::lanes;
    const uint8_t* p[8];
    for (int k = 0; k < L; k++) p[k] = (const uint8_t*)data[k];
    uint64_t pos = ctx->position;
    if (pos > 0) {
        if (len < 64 - pos) {
            if (len == 0) return;
            for (int k = 0; k < L; k++) memcpy(ctx->buf + 64 * k + pos, p[k], len);
            ctx->position = pos + len;
            return;
        }
        for (int k = 0; k < L; k++) {
            memcpy(ctx->buf + 64 * k + pos, p[k], 64 - pos);
            p[k] += 64 - pos;
        }
        ctx_compress_buf<V>(ctx, 1);
        len -= 64 - pos;
    }
    if (len >= 64) {
        ctx_compress<V>(ctx, p, len / 64, false);
        for (int k = 0; k < L; k++) p[k] += len & ~(uint64_t)63;
    }
    uint64_t rest = len & 63;
    if (rest)
        for (int k = 0; k < L; k++) memcpy(ctx->buf + 64 * k, p[k], rest);
    ctx->position = rest;
}

// The final block and the three extra rounds run in one call, all with the
// final block's counter.
template <typename V, typename CTX>
void ctx_close(CTX* ctx, const unsigned* ub, unsigned n, uint32_t* const* dst) {
    const int L = V::lanes;
    unsigned z = 0x80u >> n;
    uint64_t pos = ctx->position;
    for (int k = 0; k < L; k++) {
        uint8_t* b = ctx->buf + 64 * k;
        b[pos] = (uint8_t)((ub[k] & -z) | z);
        memset(b + pos + 1, 0, 63 - pos);
    }
    ctx_compress_buf<V>(ctx, 4);
    unsigned t = ctx->out_bits / 32;
    for (int k = 0; k < L; k++) {
        if (!dst[k] || t == 0) continue;
        uint32_t words[16];
        for (unsigned i = 0; i < t; i++) words[i] = ctx->C[(16 - t + i) * L + k];
        memcpy(dst[k], words, t * 4);
    }
}

// ---------------------------------------------------------------------------
// Whole nonces, G groups of L in lockstep, in lane-interleaved work areas.



// Chain hash i covers the message at word off (in each lane's word space);
// its blocks lie in the work area, all but the partial last one, which is
// padded into a block of its own.
template <typename V, int G>
struct area_src_s {
    uint32_t* const* area;
    uint64_t off;    // first word of the message
    uint64_t whole;  // whole blocks in the area
    alignas(64) uint32_t last[G][16 * V::lanes];
    void block(uint64_t b, const uint32_t** m) {
        for (int g = 0; g < G; g++) m[g] = b < whole ? area[g] + (off + 16 * b) * V::lanes : last[g];
    }
    uint64_t counter(uint64_t b) const { return b < whole ? b + 1 : whole + 1; }
};

template <typename V, int G>
void lanes_nonces(uint32_t* const* area, uint32_t* finals) {
    typedef typename V::vec vec;
    const int L = V::lanes;
    const uint32_t* iv = shabal_scalar_iv[7];
    lanes_state_s<V, G> init;
    for (int g = 0; g < G; g++) {
        for (int i = 0; i < 12; i++) init.A[i][g] = V::set1(iv[i]);
        for (int i = 0; i < 16; i++) init.B[i][g] = V::set1(iv[12 + i]);
        for (int i = 0; i < 16; i++) init.C[i][g] = V::set1(iv[28 + i]);
    }
    area_src_s<V, G> src;
    src.area = area;
    const vec pad = V::set1(0x80), zero = V::set1(0);
    for (uint64_t h = 0; h <= 8192; h++) {
        // Hash h < 8192 covers the words just above its own 8-word slot, at
        // most 1024 of them; hash 8192 is the final one over everything.
        uint64_t words = h == 8192 ? SHABAL_AREA_WORDS : (4 + 8 * h < 1024 ? 4 + 8 * h : 1024);
        src.off = h == 8192 ? 0 : 65536 - 8 * h;
        src.whole = words / 16;
        const uint64_t rest = words % 16;
        for (int g = 0; g < G; g++) {
            const uint32_t* tail = area[g] + (src.off + 16 * src.whole) * L;
            for (uint64_t i = 0; i < 16; i++)
                V::store(src.last[g] + i * L, i < rest ? V::load(tail + i * L) : i == rest ? pad : zero);
        }
        lanes_state_s<V, G> s = init;
        lanes_run(&s, src, src.whole + 4);
        for (int g = 0; g < G; g++)
            for (int j = 0; j < 8; j++) {
                if (h == 8192)
                    V::storeu(finals + (8 * g + j) * L, s.C[8 + j][g]);
                else
                    V::store(area[g] + (src.off - 8 + j) * L, s.C[8 + j][g]);
            }
    }
}

}  // namespace

#undef SHABAL_INLINE
