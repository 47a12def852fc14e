// Speed of each Shabal-256 form on 4096-byte messages (the chain's usual
// length), and whole nonces per second on one core: plot_nonce, and a full
// worker group through each worker build. bench_nonce_forms gives the ratios.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "engine/plotter.h"
#include "platform/cpu_features.h"
#include "plot/nonce.h"
#include "plot/plt_cpu.h"
#include "plot/shabal.h"

namespace {

std::vector<uint8_t> message(size_t n) {
    std::vector<uint8_t> m(n);
    for (size_t i = 0; i < n; i++) m[i] = (uint8_t)(i * 13 + 1);
    return m;
}

void BM_shabal_scalar_4096(benchmark::State& state) {
    auto m = message(4096);
    uint8_t d[32];
    for (auto _ : state) {
        shabal_scalar_context ctx;
        shabal_scalar_init(&ctx, 256);
        shabal_scalar_update(&ctx, m.data(), m.size());
        shabal_scalar_close(&ctx, 0, 0, d);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_shabal_scalar_4096);

template <typename C, int L, void (*I)(C*, unsigned), void (*U)(C*, const void* const*, uint64_t),
          void (*F)(C*, const unsigned*, unsigned, uint32_t* const*)>
void lanes_4096(benchmark::State& state, uint32_t feature) {
    if (!(cpu_features() & feature)) {
        state.SkipWithError("instruction set missing");
        return;
    }
    std::vector<std::vector<uint8_t>> m(L, message(4096));
    const void* in[L];
    uint32_t out[L][8];
    uint32_t* dst[L];
    unsigned ub[L] = {};
    for (int k = 0; k < L; k++) {
        in[k] = m[k].data();
        dst[k] = out[k];
    }
    for (auto _ : state) {
        C ctx;
        I(&ctx, 256);
        U(&ctx, in, 4096);
        F(&ctx, ub, 0, dst);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * 4096 * L);
}

void BM_shabal_x4_sse2_4096(benchmark::State& s) {
    lanes_4096<shabal_x4_context, 4, shabal_x4_sse2_init, shabal_x4_sse2_update, shabal_x4_sse2_close>(
        s, CPU_FEATURE_SSE2);
}
void BM_shabal_x4_avx_4096(benchmark::State& s) {
    lanes_4096<shabal_x4_context, 4, shabal_x4_avx_init, shabal_x4_avx_update, shabal_x4_avx_close>(s,
                                                                                                    CPU_FEATURE_AVX);
}
void BM_shabal_x8_avx2_4096(benchmark::State& s) {
    lanes_4096<shabal_x8_context, 8, shabal_x8_avx2_init, shabal_x8_avx2_update, shabal_x8_avx2_close>(
        s, CPU_FEATURE_AVX2);
}
BENCHMARK(BM_shabal_x4_sse2_4096);
BENCHMARK(BM_shabal_x4_avx_4096);
BENCHMARK(BM_shabal_x8_avx2_4096);

void BM_plot_nonce(benchmark::State& state) {
    std::vector<uint8_t> out(262144);
    uint64_t n = 0;
    for (auto _ : state) plot_nonce(1337, n++, out.data(), true);
    state.counters["nonces_per_s"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_plot_nonce)->Unit(benchmark::kMillisecond)->UseRealTime();

// One worker group (two lane groups, 2L nonces) through a worker build on the
// calling thread.
void worker_group(benchmark::State& state, plot_thread_fn fn, int lanes, uint32_t feature) {
    if (!(cpu_features() & feature)) {
        state.SkipWithError("instruction set missing");
        return;
    }
    buffer_s* b = buffer_create(lanes);
    volatile bool stop = false;
    uint64_t counter = 0, first = 0;
    for (auto _ : state) {
        fn(b, 0, 1337, first, lanes, &stop, &counter);
        first += lanes;
    }
    buffer_destroy(b);
    state.counters["nonces_per_s"] =
        benchmark::Counter((double)state.iterations() * lanes, benchmark::Counter::kIsRate);
}
void BM_nonce_group_sse2(benchmark::State& s) { worker_group(s, plot_thread_sse2, 8, CPU_FEATURE_SSE2); }
void BM_nonce_group_avx(benchmark::State& s) { worker_group(s, plot_thread_avx, 8, CPU_FEATURE_AVX); }
void BM_nonce_group_avx2(benchmark::State& s) { worker_group(s, plot_thread_avx2, 16, CPU_FEATURE_AVX2); }
BENCHMARK(BM_nonce_group_sse2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_nonce_group_avx)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_nonce_group_avx2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
