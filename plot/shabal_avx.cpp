// 4-lane Shabal for AVX: one 128-bit vector holds one state word of four
// messages. The compression itself is shabal_lanes.h.
#include "plot/shabal.h"
#include "plot/shabal_lanes.h"
#include "plot/shabal_vec128.h"

void shabal_x4_avx_init(shabal_x4_context* ctx, unsigned out_bits) { ctx_init<vec128_ops>(ctx, out_bits); }

void shabal_x4_avx_update(shabal_x4_context* ctx, const void* const data[4], uint64_t len) {
    ctx_update<vec128_ops>(ctx, data, len);
}

void shabal_x4_avx_close(shabal_x4_context* ctx, const unsigned ub[4], unsigned n, uint32_t* const dst[4]) {
    ctx_close<vec128_ops>(ctx, ub, n, dst);
}

void shabal_x4_avx_compress(shabal_x4_context* ctx, const void* const blocks[4], uint64_t nblocks) {
    ctx_compress<vec128_ops>(ctx, (const uint8_t* const*)blocks, nblocks, false);
}

void shabal_x4_avx_nonces(uint32_t* const* areas, int groups, uint32_t* finals) {
    if (groups == 2)
        lanes_nonces<vec128_ops, 2>(areas, finals);
    else
        lanes_nonces<vec128_ops, 1>(areas, finals);
}
