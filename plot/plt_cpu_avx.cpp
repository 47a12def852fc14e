// The AVX worker build, the 4-nonce scoop operation and the AVX best-deadline
// search, all on the 4-lane AVX Shabal-256. Callers check cpu_features for
// AVX first.
#include "plot/plt_cpu.h"
#include "plot/plt_lanes.h"
#include "plot/shabal.h"

namespace {

void avx_init(void* c) { shabal_x4_avx_init((shabal_x4_context*)c, 256); }
void avx_update(void* c, const void* const* d, uint64_t len) { shabal_x4_avx_update((shabal_x4_context*)c, d, len); }
void avx_close(void* c, uint32_t* const* dst) {
    const unsigned ub[4] = {};
    shabal_x4_avx_close((shabal_x4_context*)c, ub, 0, dst);
}

}  // namespace

const plot_lane_ops_s g_plot_lanes_avx = {4, shabal_x4_avx_nonces, avx_init, avx_update, avx_close};

void plot_thread_avx(buffer_s* buffer, uint64_t t, uint64_t account_id, uint64_t first, uint64_t count,
                     volatile bool* stop, uint64_t* counters) {
    plot_worker_run(&g_plot_lanes_avx, buffer, t, account_id, first, count, stop, counters);
}

void plot_nonces_x4_scoop(uint64_t account_id, const uint64_t* nonces, const uint32_t* scoops, uint8_t* out,
                          bool poc2) {
    plot_lanes_scoops(&g_plot_lanes_avx, account_id, 4, nonces, scoops, out, poc2);
}

void best_deadline_avx(uint64_t n, const uint8_t* scoops, const uint8_t* gensig, uint64_t* best, uint64_t* index) {
    plot_lanes_best_deadline(&g_plot_lanes_avx, n, scoops, gensig, best, index, "plt_cpu_avx", 33);
}
