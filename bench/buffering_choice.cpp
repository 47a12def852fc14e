// Whole direct runs with the automatic RAM buffering choice against each
// forced mode, in turn in one process, so that the three are compared under
// the same machine load. The order changes from round to round: over six
// rounds each mode takes each place twice and follows each other mode
// twice within a round, so that what a run leaves behind (its file's
// deletion, the disk's cache) weighs on all three alike. The first automatic run knows the drive
// only by assumption; the later ones by the batches the runs before them
// wrote.
//
//   VG_BENCH_FOLDER=/mnt/target taskset -c 4-7 bench_buffering_choice 2>log
//
// VG_BENCH_FOLDER is the target (default /var/tmp): a fast one, and one whose
// writes are throttled below the hashing rate (a loop-device file system
// under a cgroup write limit). VG_BENCH_NONCES (default 2048) and
// VG_BENCH_RAM_MIB (default 256) size the run; VG_BENCH_THREADS (default 3)
// the CPU workers; VG_BENCH_ROUNDS (default 6) the rounds. Compare each
// mode's median seconds as ratios.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/settings.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"

namespace {

uint64_t env_number(const char* name, uint64_t fallback) {
  const char* v = getenv(name);
  return v && *v ? strtoull(v, nullptr, 10) : fallback;
}

std::string folder() {
  const char* v = getenv("VG_BENCH_FOLDER");
  return v && *v ? v : "/var/tmp";
}

// A fresh record of the target for each run, holding what the batches of
// the runs before measured of it, as the program's drive list does.
std::unique_ptr<drive_s> target(const drive_s* before) {
  std::unique_ptr<drive_s> d(new drive_s{});
  snprintf(d->path, sizeof d->path, "%s", folder().c_str());
  d->sector_size = 16384;
  d->scatter_start = UINT64_MAX;
  if (before) d->timing = before->timing;
  return d;
}

std::unique_ptr<drive_s> g_target;

// Argument: the RAM buffering, -1 automatic, 0 single, 1 double.
void BM_direct_run(benchmark::State& state) {
  const uint64_t nonces = env_number("VG_BENCH_NONCES", 2048);
  const uint64_t ram = env_number("VG_BENCH_RAM_MIB", 256) << 20;
  g_cpu_threads = static_cast<int>(env_number("VG_BENCH_THREADS", 3));
  int chosen = -1;
  for (auto _ : state) {
    plotter_s* p = plotter_create();
    // The run takes its settings as the application hands them over.
    plotter_set_run_settings(p, settings_for_run());
    plotter_set_ram_double_buffer(p, static_cast<int>(state.range(0)));
    g_target = target(g_target.get());
    static uint64_t start = 900000;
    start += nonces;
    plotter_add_job(p, job_create(g_target.get(), nullptr, 7, start, nonces));
    auto t0 = std::chrono::steady_clock::now();
    plotter_start(p, 0, 0, 1, ram);
    while (!plotter_is_finished(p)) {
      ui_tasks_run();
      usleep(1000);
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    chosen = p->double_buffer;
    plotter_destroy(p);
    // What the run left for the UI thread is done before the next starts.
    ui_tasks_run();
    unlink((folder() + "/7_" + std::to_string(start) + "_" + std::to_string(nonces)).c_str());
  }
  state.counters["double"] = chosen;
}

}  // namespace

// Rounds of automatic (-1), single (0) and double (1), VG_BENCH_ROUNDS of
// them (default 6): the three rotations of one order and of the reverse
// order, and again.
BENCHMARK(BM_direct_run)
    ->Apply([](benchmark::internal::Benchmark* b) {
      const int orders[6][3] = {{-1, 0, 1}, {0, 1, -1}, {1, -1, 0}, {-1, 1, 0}, {1, 0, -1}, {0, -1, 1}};
      const uint64_t rounds = env_number("VG_BENCH_ROUNDS", 6);
      for (uint64_t r = 0; r < rounds; r++)
        for (int mode : orders[r % 6]) b->Arg(mode);
    })
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
