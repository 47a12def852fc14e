// The checks a run makes before plotting on GPUs: the rate of the full
// dispatch path and a timed batch of the kernels on the first device.
#include "engine/plotter.h"
#include "gpu/gpu_internal.h"
#include "platform/sys_linux.h"

double gpu_benchmark(int count, const int* device_index)
{
  uint64_t n = gpu_device_preset_nonces(device_index[0]);
  if (n == 0)
    n = 1024;
  buffer_s* buffer = buffer_create(n * (uint64_t)count);
  if (!buffer) {
    // Without its buffer the dispatch cannot run; no rate is known.
    sys_log("Failed to allocate the GPU benchmark buffer.\n");
    return 0.0;
  }
  volatile bool stop = false;
  gpu_s* gpu = gpu_create(count, device_index, n);
  const double t0 = sys_time();
  gpu_plot_buffer(gpu, 1337, 0, buffer, &stop);
  const double t1 = sys_time();
  buffer_destroy(buffer);
  gpu_destroy(gpu);
  return (double)(n * (uint64_t)count) * 60.0 / (t1 - t0);
}

bool gpu_self_test(gpu_s* gpu, double* seconds)
{
  if (!gpu)
    return false;
  const opencl_api_s& cl = g_opencl_api;
  const double t0 = sys_time();
  const int h = gpu->hashes_per_launch;
  const uint64_t n = gpu->nonces_per_device, local = 32;
  if (!gpu->queue[0] || !gpu->kernel_setup[0] || !gpu->kernel_hash_down[0] || !gpu->kernel_final[0]) {
    // A first device that never got its kernels cannot be launched on.
    sys_log("OpenCL error: %d\n", CL_INVALID_KERNEL);
    return false;
  }
  cl_ulong account = 123456789, base = 0;
  cl.clSetKernelArg(gpu->kernel_setup[0], 0, sizeof account, &account);
  cl.clSetKernelArg(gpu->kernel_setup[0], 1, sizeof base, &base);
  cl.clSetKernelArg(gpu->kernel_setup[0], 2, sizeof(cl_mem), &gpu->genbuf[0]);
  cl_int err = gpu_launch(gpu->queue[0], gpu->kernel_setup[0], n, local, nullptr);
  if (err != CL_SUCCESS) {
    sys_log("OpenCL error: %d\n", err);
    return false;
  }
  bool hashed = true;
  const cl_uint hh = (cl_uint)h;
  cl.clSetKernelArg(gpu->kernel_hash_down[0], 0, sizeof base, &base);
  cl.clSetKernelArg(gpu->kernel_hash_down[0], 1, sizeof(cl_mem), &gpu->genbuf[0]);
  cl.clSetKernelArg(gpu->kernel_hash_down[0], 3, sizeof hh, &hh);
  for (int64_t s = 262144; s > 0; s -= 32 * (int64_t)h) {
    const cl_uint start = (cl_uint)s;
    cl.clSetKernelArg(gpu->kernel_hash_down[0], 2, sizeof start, &start);
    if (gpu_launch(gpu->queue[0], gpu->kernel_hash_down[0], n, local, nullptr) != CL_SUCCESS) {
      sys_log("  test failed hashing\n");
      hashed = false;
      break;
    }
  }
  cl.clSetKernelArg(gpu->kernel_final[0], 0, sizeof(cl_mem), &gpu->genbuf[0]);
  cl.clSetKernelArg(gpu->kernel_final[0], 1, sizeof(cl_mem), &gpu->scoopbuf[0]);
  if (gpu_launch(gpu->queue[0], gpu->kernel_final[0], n, local, nullptr) != CL_SUCCESS) {
    sys_log("  test failed xor\n");
    return false;
  }
  err = cl.clFinish(gpu->queue[0]);
  *seconds = sys_time() - t0;
  return err == CL_SUCCESS && hashed;
}
