// The plot checker on one 1 GiB plot file (4096 nonces) with the page cache
// emptied of it before every check, so that each sampled scoop is a disk
// read: wall time and the CPU seconds of the whole process (check thread,
// readers and workers).
//
//   bench_check_file [folder]   (default /var/tmp; needs 1 GiB free)
//
// The file is made once, holding the real content of every nonce, and
// removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "checker/check_state.h"
#include "plot/nonce.h"

namespace {

std::string g_folder = "/var/tmp";
const uint64_t NONCE_BYTES = 262144;
const uint64_t NONCES = 4096;
const uint64_t ACCOUNT = 12345678901234567ull;

std::string plot_path() { return g_folder + "/" + std::to_string(ACCOUNT) + "_0_" + std::to_string(NONCES); }

// Scoop-major, written one scoop row (NONCES x 64 bytes) at a time.
bool make_plot(const std::string& path) {
    std::vector<uint8_t> nonces(NONCES * NONCE_BYTES);
    std::vector<std::thread> threads;
    unsigned tc = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned t = 0; t < tc; t++)
        threads.emplace_back([&, t] {
            for (uint64_t k = t; k < NONCES; k += tc) plot_nonce(ACCOUNT, k, &nonces[k * NONCE_BYTES], true);
        });
    for (std::thread& t : threads) t.join();
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0) return false;
    std::vector<uint8_t> row(NONCES * 64);
    bool ok = true;
    for (uint64_t s = 0; s < 4096 && ok; s++) {
        for (uint64_t k = 0; k < NONCES; k++) memcpy(&row[k * 64], &nonces[k * NONCE_BYTES + s * 64], 64);
        ok = write(fd, row.data(), row.size()) == (ssize_t)row.size();
    }
    ok = fsync(fd) == 0 && ok;
    close(fd);
    return ok;
}

void drop_from_cache(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

double cpu_seconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_CheckOneGibFile(benchmark::State& state) {
    const std::string path = plot_path();
    double cpu = 0, wall = 0;
    bool all_correct = true;
    for (auto _ : state) {
        state.PauseTiming();
        drop_from_cache(path);
        state.ResumeTiming();
        double c0 = cpu_seconds();
        auto t0 = std::chrono::steady_clock::now();
        checker_s* c = checker_create(nullptr, {path}, (int)state.range(0));
        check_thread_proc(c);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpu += cpu_seconds() - c0;
        all_correct = all_correct && c->entries[0].all_correct;
        checker_destroy(c);
    }
    if (!all_correct) state.SkipWithError("the file was not found correct");
    state.counters["wall_s"] = wall / (double)state.iterations();
    state.counters["cpu_s"] = cpu / (double)state.iterations();
}

BENCHMARK(BM_CheckOneGibFile)->Arg(CHECK_SINGLE_SAMPLES)->Arg(CHECK_MAX_SAMPLES)->Iterations(3)->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) g_folder = argv[1];
    const std::string path = plot_path();
    if (!make_plot(path)) {
        fprintf(stderr, "could not write %s\n", path.c_str());
        unlink(path.c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(path.c_str());
    return 0;
}
