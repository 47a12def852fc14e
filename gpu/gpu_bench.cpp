// The checks a run makes before plotting on GPUs: the rate of the full
// dispatch path, and a batch of the run's size on every device whose bytes
// are compared with the CPU's.
#include <algorithm>

#include "engine/plotter.h"
#include "gpu/gpu_internal.h"
#include "platform/sys_linux.h"

// Nonces per device of the benchmark of a device without a preset, and of a
// stand-in device of the test suite (rounded up to whole work groups there):
// its rate only weighs the buffering choice, and a CPU device hashing the
// 1024 nonces of a real one would spend most of a short test run on them.
const uint64_t BENCH_NONCES = 1024, STAND_IN_BENCH_NONCES = 256;

static bool all_stand_ins(int count, const int* device_index)
{
  for (int i = 0; i < count; i++)
    if (!g_gpu_devices[device_index[i]].stand_in)
      return false;
  return count > 0;
}

double gpu_benchmark(int count, const int* device_index, const run_settings_s& settings)
{
  const uint64_t group = gpu_devices_work_group(count, device_index, settings.threads_per_group);
  uint64_t n = gpu_device_preset_nonces(device_index[0]);
  if (n == 0)
    n = all_stand_ins(count, device_index) ? (STAND_IN_BENCH_NONCES + group - 1) / group * group : BENCH_NONCES;
  // Within what every device can allocate, in whole work groups.
  n = std::min(n, gpu_devices_batch_limit(count, device_index));
  n -= n % group;
  if (n == 0) {
    sys_log("GPU benchmark: the devices hold no batch of whole work groups; no rate is known.\n");
    return 0.0;
  }
  gpu_s* gpu = gpu_create(count, device_index, n, settings);
  if (!gpu || gpu->count == 0) {
    sys_log("GPU benchmark: no device could be set up; no rate is known.\n");
    gpu_destroy(gpu);
    return 0.0;
  }
  buffer_s* buffer = buffer_create(n * (uint64_t)gpu->count);
  if (!buffer) {
    // Without its buffer the dispatch cannot run; no rate is known.
    sys_log("Failed to allocate the GPU benchmark buffer.\n");
    gpu_destroy(gpu);
    return 0.0;
  }
  volatile bool stop = false;
  const double t0 = sys_time();
  const uint64_t filled = gpu_plot_buffer(gpu, 1337, 0, buffer, &stop);
  const double t1 = sys_time();
  const uint64_t capacity = buffer->capacity;
  buffer_destroy(buffer);
  gpu_destroy(gpu);
  // A fill that stopped early would show as a very high rate.
  const double seconds = sys_seconds_between(t0, t1);
  if (filled != capacity || !(seconds > 0)) {
    sys_log("GPU benchmark failed; no rate is known.\n");
    return 0.0;
  }
  return (double)capacity * 60.0 / seconds;
}

// Compares the first and the last nonce of device i's batch with the CPU:
// between them they cover the lowest and the highest offsets the kernels
// compute.
static bool check_device(gpu_s* gpu, int i)
{
  const uint64_t n = gpu->nonces_per_device;
  return gpu_check_nonce(gpu, i, GPU_TEST_ACCOUNT, GPU_TEST_FIRST_NONCE, 0) &&
         gpu_check_nonce(gpu, i, GPU_TEST_ACCOUNT, GPU_TEST_FIRST_NONCE, n - 1);
}

bool gpu_self_test(gpu_s* gpu, double* seconds)
{
  if (!gpu || gpu->count <= 0) {
    sys_log("No GPU to test.\n");
    return false;
  }
  const opencl_api_s& cl = g_opencl_api;
  const double t0 = sys_time();
  const uint64_t local = gpu->work_group ? gpu->work_group : gpu_set_default_work_group(gpu);
  const uint64_t n = gpu->nonces_per_device;
  gpu_launch_hashes(gpu);
  if (n % local != 0) {
    sys_log("  %llu nonces per GPU are not a multiple of the work-group size %llu\n",
            (unsigned long long)n, (unsigned long long)local);
    return false;
  }
  for (int i = 0; i < gpu->count; i++) {
    if (!gpu_device_ready(gpu, i)) {
      gpu_report_cl_error(gpu, i, "the self-test (the device is not set up)", CL_INVALID_KERNEL);
      return false;
    }
    const cl_int err =
        gpu_enqueue_batch(gpu, i, GPU_TEST_ACCOUNT, GPU_TEST_FIRST_NONCE, n, local, nullptr, nullptr);
    cl.clFlush(gpu->queue[i]);
    if (err != CL_SUCCESS) {
      for (int j = 0; j <= i; j++)
        cl.clFinish(gpu->queue[j]);
      return false;
    }
  }
  bool finished = true;
  for (int i = 0; i < gpu->count; i++) {
    const cl_int err = cl.clFinish(gpu->queue[i]);
    if (err != CL_SUCCESS) {
      gpu_report_cl_error(gpu, i, "clFinish", err);
      finished = false;
    }
  }
  *seconds = sys_seconds_between(t0, sys_time());
  if (!finished)
    return false;
  for (int i = 0; i < gpu->count; i++)
    if (!check_device(gpu, i))
      return false;
  return true;
}
