// job_plot_cpu throughput in nonces per minute for 1, 2, 4, 7 worker threads
// and the default count; each batch gives every worker 16 nonces (two lane
// groups of eight with AVX2). nonces_per_cpu_s divides by the CPU seconds the
// process spent instead, so on a machine shared with other work the scaling
// of workers (per-worker rate with 7 against 1) still shows apart from the
// time the workers waited for a processor. The last benchmark sets the CPU
// benchmark's rate against a direct timing of the same work.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>

#include "app/settings.h"
#include "engine/plotter.h"
#include "plot/plt_cpu.h"

namespace {

double process_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

void BM_job_plot_cpu(benchmark::State& state) {
    const int cpu_threads = (int)state.range(0);
    uint64_t T = (uint64_t)plot_cpu_thread_count(cpu_threads);
    uint64_t d = 16 * T;
    buffer_s* b = buffer_create(d);
    job_s job{};
    job.account_id = 1337;
    job.compute_buffer = b;
    job.nonces = d;
    volatile bool stop = false;
    uint64_t start = 0;
    auto t0 = std::chrono::steady_clock::now();
    double c0 = process_seconds();
    for (auto _ : state) {
        job.start_nonce = start;
        job.nonces_done = 0;
        b->progress.exchange(0);
        benchmark::DoNotOptimize(job_plot_cpu(&job, cpu_threads, &stop));
        start += d;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double cpu = process_seconds() - c0;
    buffer_destroy(b);
    state.counters["threads"] = (double)T;
    state.counters["nonces_per_min"] = (double)state.iterations() * (double)d * 60.0 / secs;
    state.counters["nonces_per_cpu_s"] = (double)state.iterations() * (double)d / cpu;
}
BENCHMARK(BM_job_plot_cpu)->Arg(1)->Arg(2)->Arg(4)->Arg(7)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_cpu_benchmark(benchmark::State& state) {
    double rate = 0;
    for (auto _ : state) rate = cpu_benchmark(0);
    state.counters["nonces_per_min"] = rate;
}
BENCHMARK(BM_cpu_benchmark)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// The benchmark's rate sizes the run plan, so it should agree with a direct
// timing of the same work (one worker's 16 nonces): the two take turns in
// each iteration, so both see the same load, and bench_over_direct is the
// ratio of their total rates (near 1 when the benchmark is right).
void BM_cpu_benchmark_against_direct(benchmark::State& state) {
    buffer_s* b = buffer_create(16);
    double bench_rate = 0, direct_seconds = 0;
    uint64_t rounds = 0;
    for (auto _ : state) {
        bench_rate += cpu_benchmark(1);
        volatile bool stop = false;
        uint64_t counter = 0;
        auto t0 = std::chrono::steady_clock::now();
        plot_thread_select()(b, 0, 1337, 0, 16, &stop, &counter);
        direct_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        rounds++;
    }
    buffer_destroy(b);
    double direct_rate = (double)rounds * 16 * 60.0 / direct_seconds;
    state.counters["bench_nonces_per_min"] = bench_rate / (double)rounds;
    state.counters["direct_nonces_per_min"] = direct_rate;
    state.counters["bench_over_direct"] = bench_rate / (double)rounds / direct_rate;
}
BENCHMARK(BM_cpu_benchmark_against_direct)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
