// Nonces per minute of the GPU dispatch path on the first OpenCL device
// (PoCL on a machine without a GPU, admitted with VG_TEST_OPENCL_CPU=1),
// beside the CPU workers' rate, and the time one program build takes.
//
//   VG_TEST_OPENCL_CPU=1 build/bench/bench_gpu_pocl_rate
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

#include "engine/plotter.h"
#include "gpu/gpu.h"
#include "plot/plt_cpu.h"
#include "platform/sys_linux.h"

static bool have_device()
{
  static const bool ok = gpu_list_devices(GPU_MAX_DEVICES, 64, nullptr) > 0;
  return ok;
}

static void BM_gpu_program_build(benchmark::State& state)
{
  if (!have_device()) {
    state.SkipWithError("no OpenCL device");
    return;
  }
  const int index[1] = {0};
  for (auto _ : state)
    gpu_destroy(gpu_create(1, index, 32, run_settings_s{}));
}
BENCHMARK(BM_gpu_program_build)->Unit(benchmark::kMillisecond)->Iterations(3);

static void BM_gpu_plot_buffer(benchmark::State& state)
{
  if (!have_device()) {
    state.SkipWithError("no OpenCL device");
    return;
  }
  const uint64_t n = (uint64_t)state.range(0);
  const int index[1] = {0};
  gpu_s* gpu = gpu_create(1, index, n, run_settings_s{});
  buffer_s* buffer = buffer_create(n);
  volatile bool stop = false;
  uint64_t start = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    gpu_plot_buffer(gpu, 1337, start, buffer, &stop);
    start += n;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
  state.counters["nonces_per_min"] = (double)start * 60.0 / took.count();
  buffer_destroy(buffer);
  gpu_destroy(gpu);
}
BENCHMARK(BM_gpu_plot_buffer)->Arg(256)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

static void BM_cpu_benchmark(benchmark::State& state)
{
  double rate = 0;
  for (auto _ : state)
    rate = cpu_benchmark(0);
  state.counters["nonces_per_min"] = rate;
}
BENCHMARK(BM_cpu_benchmark)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

int main(int argc, char** argv)
{
  // The build figure is of a real build, not of PoCL's kernel cache.
  setenv("POCL_KERNEL_CACHE", "0", 0);
  sys_time_start();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
