// The GPU context of one plotting run: per device a context, an in-order
// queue, the generation and scoop buffers and the three kernels.
#include <lz4.h>

#include <cstdlib>
#include <cstring>

#include "gpu/gpu.h"
#include "gpu/kernel_source.h"
#include "platform/sys_linux.h"
#include "platform/util.h"

enum : uint64_t { GEN_BYTES_PER_NONCE = 262160, SCOOP_BYTES_PER_NONCE = 262144 };

// Sets up device i of the set; false at the first failure that leaves the
// device unusable, so that no later device is set up.
static bool gpu_create_device(gpu_s* gpu, int i, const char* source, size_t source_len)
{
  const opencl_api_s& cl = g_opencl_api;
  const uint64_t nonces = gpu->nonces_per_device;
  cl_int err = CL_SUCCESS;
  gpu->context[i] = cl.clCreateContext(nullptr, 1, &gpu->device[i], nullptr, nullptr, &err);
  if (!gpu->context[i] || err != CL_SUCCESS) {
    sys_log("Failed to created OpenCL device with error %d!\n", err);
    return false;
  }
  gpu->queue[i] = cl.clCreateCommandQueue(gpu->context[i], gpu->device[i], 0, &err);
  util_assert(err == CL_SUCCESS, false, "gpu", 270);

  gpu->genbuf[i] = cl.clCreateBuffer(gpu->context[i], CL_MEM_READ_WRITE,
                                     nonces * GEN_BYTES_PER_NONCE, nullptr, &err);
  if (!gpu->genbuf[i] || err != CL_SUCCESS) {
    sys_log("Failed to allocate GPU buffer with error %d\n", err);
    return false;
  }
  gpu->bytes_allocated += nonces * GEN_BYTES_PER_NONCE;
  gpu->scoopbuf[i] = cl.clCreateBuffer(gpu->context[i], CL_MEM_WRITE_ONLY,
                                       nonces * SCOOP_BYTES_PER_NONCE, nullptr, &err);
  if (!gpu->scoopbuf[i] || err != CL_SUCCESS) {
    sys_log("Failed to allocate GPU memory.\n");
    return false;
  }
  gpu->bytes_allocated += nonces * SCOOP_BYTES_PER_NONCE;
  gpu->hash_events[i] = static_cast<cl_event*>(calloc(GPU_HASH_EVENTS, sizeof(cl_event)));

  gpu->program[i] = cl.clCreateProgramWithSource(gpu->context[i], 1, &source, &source_len, &err);
  err = cl.clBuildProgram(gpu->program[i], 0, nullptr, "", nullptr, nullptr);
  if (err != CL_SUCCESS) {
    size_t log_size = 0;
    cl.clGetProgramBuildInfo(gpu->program[i], gpu->device[i], CL_PROGRAM_BUILD_LOG, 0, nullptr,
                             &log_size);
    char* build_log = static_cast<char*>(calloc(log_size + 1, 1));
    if (build_log)
      cl.clGetProgramBuildInfo(gpu->program[i], gpu->device[i], CL_PROGRAM_BUILD_LOG, log_size,
                               build_log, nullptr);
    sys_log("Error building OpenCL program:\n%s\n", build_log ? build_log : "");
    free(build_log);
    return false;
  }
  gpu->kernel_setup[i] = cl.clCreateKernel(gpu->program[i], "setup", &err);
  util_assert(err == CL_SUCCESS, false, "gpu", 318);
  gpu->kernel_hash_down[i] = cl.clCreateKernel(gpu->program[i], "hash_down", &err);
  util_assert(err == CL_SUCCESS, false, "gpu", 320);
  gpu->kernel_final[i] = cl.clCreateKernel(gpu->program[i], "final", &err);
  util_assert(err == CL_SUCCESS, false, "gpu", 322);
  return true;
}

gpu_s* gpu_create(int count, const int* device_index, uint64_t nonces_per_device)
{
  if (nonces_per_device == 0)
    return nullptr;
  if (count > GPU_MAX_DEVICES)
    count = GPU_MAX_DEVICES;
  gpu_s* gpu = static_cast<gpu_s*>(calloc(1, sizeof(gpu_s)));
  if (!gpu)
    return nullptr;
  gpu->hashes_per_launch = 4;
  gpu->nonces_per_device = nonces_per_device;
  gpu->count = count;
  for (int i = 0; i < count; i++) {
    const int index = device_index[i];
    const bool listed = index >= 0 && (size_t)index < g_gpu_devices.size();
    util_assert(listed, false, "gpu", 227);
    gpu->device_index[i] = index;
    if (!listed)
      continue;
    gpu->device[i] = g_gpu_devices[index].device;
    sys_log("Activating device %d %s. Aiming for %s GPU RAM usage\n", index,
            g_gpu_devices[index].name, format_size(nonces_per_device * 524288, true, ""));
  }

  const int source_len = gpu_kernel_source_length;
  char* source = static_cast<char*>(malloc((size_t)source_len));
  int unpacked = source ? LZ4_decompress_safe(reinterpret_cast<const char*>(gpu_kernel_source),
                                              source, gpu_kernel_source_packed, source_len)
                        : -1;
  util_assert(unpacked > 0, false, "gpu", 250);
  if (unpacked == source_len && g_opencl_api.clCreateContext) {
    for (int i = 0; i < count; i++)
      if (!gpu->device[i] || !gpu_create_device(gpu, i, source, (size_t)source_len))
        break;
  }
  free(source);
  return gpu;
}

static void release_event(cl_event* slot)
{
  if (*slot)
    g_opencl_api.clReleaseEvent(*slot);
  *slot = nullptr;
}

void gpu_release_events(gpu_s* gpu, int i)
{
  if (gpu->hash_events[i])
    for (int j = 0; j < GPU_HASH_EVENTS; j++)
      release_event(&gpu->hash_events[i][j]);
  release_event(&gpu->final_event[i]);
  release_event(&gpu->map_event[i]);
}

void gpu_destroy(gpu_s* gpu)
{
  if (!gpu)
    return;
  const opencl_api_s& cl = g_opencl_api;
  for (int i = 0; i < GPU_MAX_DEVICES; i++) {
    // A scoop buffer still mapped after a failed batch is unmapped with the
    // buffer's release; the queue is drained first so no launch still uses
    // the buffers.
    if (gpu->queue[i])
      cl.clFinish(gpu->queue[i]);
    if (gpu->genbuf[i])
      cl.clReleaseMemObject(gpu->genbuf[i]);
    if (gpu->scoopbuf[i])
      cl.clReleaseMemObject(gpu->scoopbuf[i]);
    if (gpu->queue[i])
      cl.clReleaseCommandQueue(gpu->queue[i]);
    release_event(&gpu->final_event[i]);
    release_event(&gpu->map_event[i]);
    if (gpu->hash_events[i]) {
      for (int j = 0; j < GPU_HASH_EVENTS; j++)
        release_event(&gpu->hash_events[i][j]);
      free(gpu->hash_events[i]);
    }
    if (gpu->kernel_final[i])
      cl.clReleaseKernel(gpu->kernel_final[i]);
    if (gpu->kernel_hash_down[i])
      cl.clReleaseKernel(gpu->kernel_hash_down[i]);
    if (gpu->kernel_setup[i])
      cl.clReleaseKernel(gpu->kernel_setup[i]);
    if (gpu->program[i])
      cl.clReleaseProgram(gpu->program[i]);
    if (gpu->context[i])
      cl.clReleaseContext(gpu->context[i]);
  }
  free(gpu);
}

uint64_t gpu_batch_nonces(const gpu_s* gpu)
{
  return gpu ? gpu->nonces_per_device : 0;
}

uint64_t gpu_bytes_allocated(const gpu_s* gpu)
{
  return gpu ? gpu->bytes_allocated : 0;
}

static const gpu_device_s* first_device(const gpu_s* gpu)
{
  if (!gpu || gpu->count < 1 || gpu->device_index[0] < 0 ||
      (size_t)gpu->device_index[0] >= g_gpu_devices.size())
    return nullptr;
  return &g_gpu_devices[gpu->device_index[0]];
}

const char* gpu_driver_version(const gpu_s* gpu)
{
  const gpu_device_s* d = first_device(gpu);
  return d ? d->driver_version : nullptr;
}

uint64_t gpu_global_mem(const gpu_s* gpu)
{
  const gpu_device_s* d = first_device(gpu);
  return d ? d->global_mem : 0;
}

int gpu_max_work_group(const gpu_s* gpu)
{
  const gpu_device_s* d = first_device(gpu);
  return d ? (int)d->max_work_group : 0;
}
