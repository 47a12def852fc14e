// One face for the three multi-lane Shabal forms, so every test runs over
// all of them: a form with L lanes behind plain function pointers.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cpu_features.h"
#include "plot/nonce.h"
#include "plot/shabal.h"

struct lane_form_s {
    const char* name;
    int lanes;
    uint32_t feature;  // cpu_features bit the form needs
    void (*init)(void* ctx);
    void (*update)(void* ctx, const void* const* data, uint64_t len);
    void (*close)(void* ctx, uint32_t* const* dst);
    size_t ctx_size;
    void (*nonces)(uint32_t* const* areas, int groups, uint32_t* finals);
};

template <typename C, void (*I)(C*, unsigned), void (*U)(C*, const void* const*, uint64_t),
          void (*F)(C*, const unsigned*, unsigned, uint32_t* const*)>
struct lane_wrap {
    static void init(void* c) { I((C*)c, 256); }
    static void update(void* c, const void* const* d, uint64_t len) { U((C*)c, d, len); }
    static void close(void* c, uint32_t* const* dst) {
        const unsigned ub[8] = {};
        F((C*)c, ub, 0, dst);
    }
};

inline std::vector<lane_form_s> lane_forms() {
    typedef lane_wrap<shabal_x4_context, shabal_x4_sse2_init, shabal_x4_sse2_update, shabal_x4_sse2_close> sse2;
    typedef lane_wrap<shabal_x4_context, shabal_x4_avx_init, shabal_x4_avx_update, shabal_x4_avx_close> avx;
    typedef lane_wrap<shabal_x8_context, shabal_x8_avx2_init, shabal_x8_avx2_update, shabal_x8_avx2_close> avx2;
    return {
        {"sse2", 4, CPU_FEATURE_SSE2, sse2::init, sse2::update, sse2::close, sizeof(shabal_x4_context),
         shabal_x4_sse2_nonces},
        {"avx", 4, CPU_FEATURE_AVX, avx::init, avx::update, avx::close, sizeof(shabal_x4_context),
         shabal_x4_avx_nonces},
        {"avx2", 8, CPU_FEATURE_AVX2, avx2::init, avx2::update, avx2::close, sizeof(shabal_x8_context),
         shabal_x8_avx2_nonces},
    };
}

inline bool lane_form_runs(const lane_form_s& f) { return (cpu_features() & f.feature) != 0; }

// L whole nonces (PoC1 order, in work areas) chained the way the CPU workers
// chain them: one multi-lane update and close per chain step, the state
// fresh before every hash, then the final hash and XOR.
inline void lane_nonces(const lane_form_s& f, uint64_t account, uint64_t first, std::vector<std::vector<uint8_t>>& work) {
    std::vector<uint8_t> ctx(f.ctx_size);
    work.assign(f.lanes, std::vector<uint8_t>(PLOT_WORK_AREA_BYTES));
    for (int k = 0; k < f.lanes; k++) plot_nonce_seed(work[k].data(), account, first + k);
    const void* in[8];
    uint32_t* out[8];
    for (uint64_t i = 0; i < 8192; i++) {
        uint64_t p = 262144 - 32 * i;
        uint64_t len = 16 + 32 * i < 4096 ? 16 + 32 * i : 4096;
        for (int k = 0; k < f.lanes; k++) {
            in[k] = work[k].data() + p;
            out[k] = (uint32_t*)(work[k].data() + p - 32);
        }
        f.init(ctx.data());
        f.update(ctx.data(), in, len);
        f.close(ctx.data(), out);
    }
    uint32_t finals[8][8];
    for (int k = 0; k < f.lanes; k++) {
        in[k] = work[k].data();
        out[k] = finals[k];
    }
    f.init(ctx.data());
    f.update(ctx.data(), in, PLOT_WORK_AREA_BYTES);
    f.close(ctx.data(), out);
    for (int k = 0; k < f.lanes; k++) plot_nonce_xor(work[k].data(), (const uint8_t*)finals[k]);
}
