// The AVX2 worker build and best-deadline search on the 8-lane AVX2
// Shabal-256.
#include "plot/plt_cpu.h"
#include "plot/plt_lanes.h"
#include "plot/shabal.h"

namespace {

void avx2_init(void* c) { shabal_x8_avx2_init((shabal_x8_context*)c, 256); }
void avx2_update(void* c, const void* const* d, uint64_t len) {
    shabal_x8_avx2_update((shabal_x8_context*)c, d, len);
}
void avx2_close(void* c, uint32_t* const* dst) {
    const unsigned ub[8] = {};
    shabal_x8_avx2_close((shabal_x8_context*)c, ub, 0, dst);
}

}  // namespace

const plot_lane_ops_s g_plot_lanes_avx2 = {8, shabal_x8_avx2_nonces, avx2_init, avx2_update, avx2_close};

void plot_thread_avx2(buffer_s* buffer, uint64_t t, uint64_t account_id, uint64_t first, uint64_t count,
                      volatile bool* stop, uint64_t* counters) {
    plot_worker_run(&g_plot_lanes_avx2, buffer, t, account_id, first, count, stop, counters);
}

void best_deadline_avx2(uint64_t n, const uint8_t* scoops, const uint8_t* gensig, uint64_t* best, uint64_t* index) {
    plot_lanes_best_deadline(&g_plot_lanes_avx2, n, scoops, gensig, best, index, "plt_cpu_avx2", 34);
}
