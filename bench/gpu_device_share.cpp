// The share of a buffer's wall time in which the device computes, through
// the whole dispatch path (launches, read-back, the CPU comparison), on the
// first OpenCL device (PoCL on a machine without a GPU, admitted with
// VG_TEST_OPENCL_CPU=1). A buffer of several device batches shows the
// pauses between them: the device computes from the moment a batch can
// start (its setup is enqueued and the queue's earlier read-back is done)
// until its final kernel completes; everything else of the wall time is
// the device waiting.
//
//   VG_TEST_OPENCL_CPU=1 POCL_MAX_PTHREAD_COUNT=4 build/bench/bench_gpu_device_share
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "engine/plotter.h"
#include "gpu/gpu.h"

namespace {

using clock_s = std::chrono::steady_clock;

opencl_api_s g_real;
std::mutex g_mutex;
clock_s::time_point g_origin;
// Per device batch, in order: when its setup was enqueued, when its final
// kernel completed, and when the read-back (a map or a read) that follows
// it completed; seconds from g_origin.
std::vector<double> g_setup_at, g_final_done, g_transfer_done;

double now()
{
  return std::chrono::duration<double>(clock_s::now() - g_origin).count();
}

std::string name_of(cl_kernel k)
{
  char name[32] = {};
  g_real.clGetKernelInfo(k, CL_KERNEL_FUNCTION_NAME, sizeof name - 1, name, nullptr);
  return name;
}

void CL_CALLBACK record_done(cl_event, cl_int, void* slot)
{
  std::lock_guard<std::mutex> lock(g_mutex);
  *static_cast<double*>(slot) = now();
}

// Registers a completion time slot for an event (the vectors are reserved
// up front, so the slot stays put).
void when_done(cl_event* ev, std::vector<double>* times)
{
  if (!ev || !*ev)
    return;
  std::lock_guard<std::mutex> lock(g_mutex);
  times->push_back(0);
  g_real.clSetEventCallback(*ev, CL_COMPLETE, record_done, &times->back());
}

cl_int CL_API_CALL t_launch(cl_command_queue q, cl_kernel k, cl_uint dim, const size_t* off, const size_t* global,
                            const size_t* local, cl_uint nw, const cl_event* wait, cl_event* ev)
{
  const std::string name = name_of(k);
  if (name == "setup") {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_setup_at.push_back(now());
  }
  const cl_int err = g_real.clEnqueueNDRangeKernel(q, k, dim, off, global, local, nw, wait, ev);
  if (err == CL_SUCCESS && name == "final")
    when_done(ev, &g_final_done);
  return err;
}

void* CL_API_CALL t_map(cl_command_queue q, cl_mem m, cl_bool block, cl_map_flags f, size_t off, size_t size,
                        cl_uint nw, const cl_event* wait, cl_event* ev, cl_int* err)
{
  void* p = g_real.clEnqueueMapBuffer(q, m, block, f, off, size, nw, wait, ev, err);
  if (p)
    when_done(ev, &g_transfer_done);
  return p;
}

cl_int CL_API_CALL t_read(cl_command_queue q, cl_mem m, cl_bool block, const size_t* bo, const size_t* ho,
                          const size_t* region, size_t brow, size_t bslice, size_t hrow, size_t hslice, void* p,
                          cl_uint nw, const cl_event* wait, cl_event* ev)
{
  const cl_int err = g_real.clEnqueueReadBufferRect(q, m, block, bo, ho, region, brow, bslice, hrow, hslice, p, nw,
                                                    wait, ev);
  if (err == CL_SUCCESS)
    when_done(ev, &g_transfer_done);
  return err;
}

bool have_device()
{
  static const bool ok = gpu_list_devices(GPU_MAX_DEVICES, 64, nullptr) > 0;
  return ok;
}

// One buffer of `passes` device batches of n nonces on one device.
void BM_gpu_device_share(benchmark::State& state)
{
  if (!have_device()) {
    state.SkipWithError("no OpenCL device");
    return;
  }
  const uint64_t n = (uint64_t)state.range(0), passes = (uint64_t)state.range(1);
  const int index[1] = {0};
  gpu_s* gpu = gpu_create(1, index, n, run_settings_s{});
  buffer_s* buffer = buffer_create(n * passes);
  if (!gpu || gpu->count != 1 || !buffer) {
    state.SkipWithError("no set or buffer");
    gpu_destroy(gpu);
    buffer_destroy(buffer);
    return;
  }
  g_real = g_opencl_api;
  g_opencl_api.clEnqueueNDRangeKernel = t_launch;
  g_opencl_api.clEnqueueMapBuffer = t_map;
  g_opencl_api.clEnqueueReadBufferRect = t_read;
  volatile bool stop = false;
  uint64_t start = 0;
  double busy = 0, wall = 0;
  bool filled = true;
  for (auto _ : state) {
    g_setup_at.clear();
    g_final_done.clear();
    g_transfer_done.clear();
    g_setup_at.reserve(passes);
    g_final_done.reserve(passes);
    g_transfer_done.reserve(passes);
    g_origin = clock_s::now();
    filled = filled && gpu_plot_buffer(gpu, 1337, start, buffer, &stop) == n * passes;
    const double end = now();
    start += n * passes;
    wall += end;
    std::lock_guard<std::mutex> lock(g_mutex);
    for (size_t k = 0; k < g_setup_at.size() && k < g_final_done.size(); k++) {
      const double begin = std::max(g_setup_at[k], k > 0 && k - 1 < g_transfer_done.size() ? g_transfer_done[k - 1] : 0.0);
      busy += std::max(0.0, g_final_done[k] - begin);
    }
  }
  g_opencl_api = g_real;
  if (!filled)
    state.SkipWithError("a fill failed");
  state.counters["device_share_pct"] = wall > 0 ? 100.0 * busy / wall : 0;
  state.counters["nonces_per_min"] = wall > 0 ? (double)start * 60.0 / wall : 0;
  buffer_destroy(buffer);
  gpu_destroy(gpu);
}
BENCHMARK(BM_gpu_device_share)
    ->Args({32, 8})
    ->Args({128, 4})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
