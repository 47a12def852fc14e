// job_plot_cpu throughput in nonces per minute for 1, 2, 4, 7 worker threads
// and the default count; each batch gives every worker two groups of eight.
#include <benchmark/benchmark.h>

#include <chrono>

#include "app/settings.h"
#include "engine/plotter.h"
#include "plot/plt_cpu.h"

namespace {

void BM_job_plot_cpu(benchmark::State& state) {
    int saved = g_cpu_threads;
    g_cpu_threads = (int)state.range(0);
    uint64_t T = (uint64_t)plot_cpu_thread_count();
    uint64_t d = 16 * T;
    buffer_s* b = buffer_create(d);
    job_s job{};
    job.account_id = 1337;
    job.compute_buffer = b;
    job.nonces = d;
    volatile bool stop = false;
    uint64_t start = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        job.start_nonce = start;
        job.nonces_done = 0;
        b->progress.exchange(0);
        benchmark::DoNotOptimize(job_plot_cpu(&job, &stop));
        start += d;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    buffer_destroy(b);
    g_cpu_threads = saved;
    state.counters["threads"] = (double)T;
    state.counters["nonces_per_min"] = (double)state.iterations() * (double)d * 60.0 / secs;
}
BENCHMARK(BM_job_plot_cpu)->Arg(1)->Arg(2)->Arg(4)->Arg(7)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_cpu_benchmark(benchmark::State& state) {
    double rate = 0;
    for (auto _ : state) rate = cpu_benchmark();
    state.counters["nonces_per_min"] = rate;
}
BENCHMARK(BM_cpu_benchmark)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
