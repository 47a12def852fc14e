// Batch write rate against plain sequential direct writes of the same
// request size, and the nonce rate of whole direct runs (4096 nonces in 2 GiB
// of RAM, 16384 in 1 GiB) next to the CPU benchmark's figure.
//
//   bench_job_write_rate [folder]   (default /var/tmp; needs ~13 GB free)
//
// Batches of 256 and 4096 nonces go into files four times their size, so
// their 4096 writes are strided as in a real file. A 49152-nonce batch would
// need a 48 GiB file that way; it is written into a file of exactly one
// batch (12 GiB, the same request size of 3 MiB). Its 12 GiB buffer is one
// 3 MiB area mapped at every scoop row, so that the RAM used stays small.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/settings.h"
#include "engine/plot_file.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "plot/plt_cpu.h"

namespace {

std::string g_folder = "/var/tmp";
const uint64_t NONCE = 262144;

// A buffer of capacity cap whose every scoop row shows the same cap x 64
// bytes of memory.
struct mirrored_buffer_s {
  buffer_s buffer;
  void* region = nullptr;
  uint64_t region_bytes = 0;
};

mirrored_buffer_s* mirrored_create(uint64_t cap) {
  uint64_t row = cap * 64;
  int fd = memfd_create("vg_bench_row", 0);
  if (fd < 0 || ftruncate(fd, (off_t)row) != 0) return nullptr;
  mirrored_buffer_s* m = new mirrored_buffer_s();
  m->region_bytes = row * 4096;
  m->region = mmap(nullptr, m->region_bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  for (uint64_t s = 0; s < 4096; s++)
    mmap(static_cast<uint8_t*>(m->region) + s * row, row, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
  close(fd);
  memset(m->region, 0x5A, row);
  m->buffer.capacity = cap;
  m->buffer.progress.store(0);
  m->buffer.data = static_cast<uint8_t*>(m->region);
  return m;
}

void mirrored_destroy(mirrored_buffer_s* m) {
  munmap(m->region, m->region_bytes);
  delete m;
}

uint64_t file_nonces_for(uint64_t batch) { return batch >= 49152 ? batch : batch * 4; }

// Arguments: batch nonces and whether the marker's sync is made (1, as
// always; 0 to show what it costs).
void BM_job_write(benchmark::State& state) {
  const uint64_t batch = state.range(0);
  g_plot_file_sync = state.range(1) != 0;
  const uint64_t n = file_nonces_for(batch);
  std::unique_ptr<drive_s> d(new drive_s{});
  snprintf(d->path, sizeof d->path, "%s", g_folder.c_str());
  d->sector_size = 16384;
  std::string path = g_folder + "/vg_bench_job_write.plotting";
  plotter_s* p = plotter_create();
  p->double_buffer = 1;
  job_s* job = job_create(d.get(), nullptr, 1, 0, n);
  job->fd = sys_create_file(path.c_str(), n * NONCE, false);
  mirrored_buffer_s* m = mirrored_create(batch);
  if (!job->fd || !m) {
    state.SkipWithError("cannot create file or buffer");
    return;
  }
  job->write_buffer = &m->buffer;
  job->state = JOB_PLOTTING;
  d->job_writing_in = job;
  volatile bool stop = false;
  uint64_t first = 0;
  for (auto _ : state) {
    m->buffer.progress.store(0);
    job->state = JOB_PLOTTING;
    job_write(p, job, first, batch, &stop);
    first = (first + batch) % n;
  }
  state.SetBytesProcessed(state.iterations() * batch * NONCE);
  job->write_buffer = nullptr;
  sys_close(job->fd);
  job->fd = 0;
  job_destroy(job);
  mirrored_destroy(m);
  plotter_destroy(p);
  unlink(path.c_str());
  g_plot_file_sync = true;
}

// The same 4096 requests of batch x 64 bytes, written one after the other
// into a preallocated file of the same size as job_write's, each iteration
// into space not written before (as every batch of a new plot file is).
void BM_plain_direct_writes(benchmark::State& state) {
  const uint64_t batch = state.range(0);
  const uint64_t request = batch * 64;
  const uint64_t span = request * 4096;
  const uint64_t size = file_nonces_for(batch) * NONCE;
  std::string path = g_folder + "/vg_bench_plain";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_DIRECT, 0644);
  void* buf = aligned_alloc(4096, request);
  if (fd < 0 || !buf || posix_fallocate(fd, 0, (off_t)size) != 0) {
    state.SkipWithError("cannot create file");
    return;
  }
  memset(buf, 0x5A, request);
  uint64_t base = 0;
  for (auto _ : state) {
    for (uint64_t s = 0; s < 4096; s++)
      if (pwrite(fd, buf, request, (off_t)(base + s * request)) != (ssize_t)request) state.SkipWithError("write failed");
    base = (base + span) % size;
  }
  state.SetBytesProcessed(state.iterations() * request * 4096);
  free(buf);
  close(fd);
  unlink(path.c_str());
}

// A whole planned run of one file written directly (hash, write, finalise),
// against the benchmark the plan itself measures in the same run: arguments
// nonces, the RAM limit in MiB and whether to sync (1: every batch durable
// before its resume marker and the finished file before its final name, as
// always; 0: no syncs, to show what they cost). With 1 GiB for 16384 nonces
// the batches are a quarter of the file, so hashing one overlaps writing the
// one before.
void BM_direct_run(benchmark::State& state) {
  const uint64_t nonces = (uint64_t)state.range(0);
  const uint64_t ram = (uint64_t)state.range(1) << 20;
  g_plot_file_sync = state.range(2) != 0;
  std::unique_ptr<drive_s> d(new drive_s{});
  snprintf(d->path, sizeof d->path, "%s", g_folder.c_str());
  d->sector_size = 16384;
  d->scatter_start = UINT64_MAX;
  double bench = 0;
  double seconds = 0;
  for (auto _ : state) {
    plotter_s* p = plotter_create();
    plotter_set_ram_double_buffer(p, 1);
    uint64_t start = 900000;
    plotter_add_job(p, job_create(d.get(), nullptr, 7, start, nonces));
    bench = cpu_benchmark(p->settings.cpu_threads);
    auto t0 = std::chrono::steady_clock::now();
    plotter_start(p, 0, 0, 1, ram);
    while (!plotter_is_finished(p)) {
      ui_tasks_run();
      usleep(1000);
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    plotter_destroy(p);
    std::string path = g_folder + "/7_900000_" + std::to_string(nonces);
    unlink(path.c_str());
  }
  const double run = (double)nonces / seconds * 60;
  state.counters["run_nonces_per_min"] = run;
  state.counters["cpu_benchmark_nonces_per_min"] = bench;
  state.counters["run_vs_benchmark"] = bench > 0 ? run / bench : 0;
  g_plot_file_sync = true;
}

}  // namespace

BENCHMARK(BM_plain_direct_writes)->Arg(256)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_job_write)->Args({256, 1})->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_plain_direct_writes)->Arg(4096)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_job_write)->Args({4096, 1})->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_plain_direct_writes)->Arg(49152)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_job_write)->Args({49152, 1})->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_direct_run)->Args({4096, 2048, 1})->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_direct_run)->Args({16384, 1024, 1})->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
// The cost of the marker's sync on its own: batches of 512 nonces into
// fresh space, with and without it, twice in turn.
BENCHMARK(BM_job_write)
    ->Args({512, 1})
    ->Args({512, 0})
    ->Args({512, 1})
    ->Args({512, 0})
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// The cost of the syncs: 4096 nonces in batches of 512 (seven resume markers,
// each after a sync, and the final sync), with and without them, twice in
// turn so that a drift of the machine does not pass for their cost.
BENCHMARK(BM_direct_run)
    ->Args({4096, 256, 1})
    ->Args({4096, 256, 0})
    ->Args({4096, 256, 1})
    ->Args({4096, 256, 0})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc > 1) g_folder = argv[1];
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
