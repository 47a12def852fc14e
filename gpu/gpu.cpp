// The GPU context of one plotting run: per device a context, an in-order
// queue, the generation and scoop buffers and the three kernels.
#include <lz4.h>

#include <cstdlib>
#include <cstring>

#include "gpu/gpu_internal.h"
#include "gpu/kernel_source.h"
#include "platform/sys_linux.h"
#include "platform/util.h"

enum : uint64_t { GEN_BYTES_PER_NONCE = 262160, SCOOP_BYTES_PER_NONCE = 262144 };

static void log_build_failure(gpu_s* gpu, int i)
{
  const opencl_api_s& cl = g_opencl_api;
  size_t log_size = 0;
  cl.clGetProgramBuildInfo(gpu->program[i], gpu->device[i], CL_PROGRAM_BUILD_LOG, 0, nullptr,
                           &log_size);
  char* build_log = static_cast<char*>(calloc(log_size + 1, 1));
  if (build_log)
    cl.clGetProgramBuildInfo(gpu->program[i], gpu->device[i], CL_PROGRAM_BUILD_LOG, log_size,
                             build_log, nullptr);
  sys_log("Error building OpenCL program:\n%s\n", build_log ? build_log : "");
  gpu_note_failure("the OpenCL program does not build on GPU " + std::to_string(gpu->device_index[i]) + " (" +
                   (gpu->device_index[i] >= 0 && (size_t)gpu->device_index[i] < g_gpu_devices.size()
                        ? g_gpu_devices[gpu->device_index[i]].name
                        : "") +
                   ")");
  free(build_log);
}

static bool create_kernels(gpu_s* gpu, int i)
{
  const opencl_api_s& cl = g_opencl_api;
  cl_int e1 = CL_SUCCESS, e2 = CL_SUCCESS, e3 = CL_SUCCESS;
  gpu->kernel_setup[i] = cl.clCreateKernel(gpu->program[i], "setup", &e1);
  gpu->kernel_hash_down[i] = cl.clCreateKernel(gpu->program[i], "hash_down", &e2);
  gpu->kernel_final[i] = cl.clCreateKernel(gpu->program[i], "final", &e3);
  const cl_int err = e1 != CL_SUCCESS ? e1 : e2 != CL_SUCCESS ? e2 : e3;
  if (err != CL_SUCCESS)
    gpu_report_cl_error(gpu, i, "clCreateKernel", err);
  return err == CL_SUCCESS;
}

// Sets up device i of the set; false at the first failure, leaving what was
// made for gpu_release_device.
static bool gpu_create_device(gpu_s* gpu, int i, const char* source, size_t source_len)
{
  const opencl_api_s& cl = g_opencl_api;
  const uint64_t nonces = gpu->nonces_per_device;
  cl_int err = CL_SUCCESS;
  gpu->context[i] = cl.clCreateContext(nullptr, 1, &gpu->device[i], nullptr, nullptr, &err);
  if (!gpu->context[i] || err != CL_SUCCESS) {
    gpu_report_cl_error(gpu, i, "clCreateContext", err);
    return false;
  }
  gpu->queue[i] = cl.clCreateCommandQueue(gpu->context[i], gpu->device[i], 0, &err);
  if (!gpu->queue[i] || err != CL_SUCCESS) {
    gpu_report_cl_error(gpu, i, "clCreateCommandQueue", err);
    return false;
  }
  gpu->genbuf[i] = cl.clCreateBuffer(gpu->context[i], CL_MEM_READ_WRITE,
                                     nonces * GEN_BYTES_PER_NONCE, nullptr, &err);
  if (!gpu->genbuf[i] || err != CL_SUCCESS) {
    gpu_report_cl_error(gpu, i, "clCreateBuffer (generation buffer)", err);
    return false;
  }
  gpu->bytes_allocated += nonces * GEN_BYTES_PER_NONCE;
  gpu->scoopbuf[i] = cl.clCreateBuffer(gpu->context[i], CL_MEM_WRITE_ONLY,
                                       nonces * SCOOP_BYTES_PER_NONCE, nullptr, &err);
  if (!gpu->scoopbuf[i] || err != CL_SUCCESS) {
    gpu_report_cl_error(gpu, i, "clCreateBuffer (scoop buffer)", err);
    return false;
  }
  gpu->bytes_allocated += nonces * SCOOP_BYTES_PER_NONCE;
  gpu->hash_events[i] = static_cast<cl_event*>(calloc(GPU_PASSES_IN_FLIGHT * GPU_HASH_EVENTS, sizeof(cl_event)));
  if (!gpu->hash_events[i]) {
    sys_log("Failed to allocate the GPU event slots.\n");
    return false;
  }
  gpu->program[i] = cl.clCreateProgramWithSource(gpu->context[i], 1, &source, &source_len, &err);
  if (!gpu->program[i] || err != CL_SUCCESS) {
    gpu_report_cl_error(gpu, i, "clCreateProgramWithSource", err);
    return false;
  }
  err = cl.clBuildProgram(gpu->program[i], 0, nullptr, "", nullptr, nullptr);
  if (err != CL_SUCCESS) {
    log_build_failure(gpu, i);
    return false;
  }
  return create_kernels(gpu, i);
}

bool gpu_device_ready(const gpu_s* gpu, int i)
{
  return gpu && i >= 0 && i < gpu->count && i < GPU_MAX_DEVICES && gpu->context[i] &&
         gpu->queue[i] && gpu->genbuf[i] && gpu->scoopbuf[i] && gpu->hash_events[i] &&
         gpu->program[i] && gpu->kernel_setup[i] && gpu->kernel_hash_down[i] &&
         gpu->kernel_final[i];
}

static void gpu_release_device(gpu_s* gpu, int i);

// Sets up each listed device in the next free slot; one that fails is
// released at once, so the set holds only complete devices, in order.
static void create_devices(gpu_s* gpu, int count, const int* device_index, const char* source,
                           size_t source_len)
{
  for (int k = 0; k < count; k++) {
    const int index = device_index[k];
    const bool listed = index >= 0 && (size_t)index < g_gpu_devices.size();
    util_assert(listed, false, "gpu", 227);
    if (!listed)
      continue;
    const int i = gpu->count;
    gpu->device_index[i] = index;
    gpu->device[i] = g_gpu_devices[index].device;
    sys_log("Activating device %d %s. Aiming for %s GPU RAM usage\n", index,
            g_gpu_devices[index].name, format_size(gpu->nonces_per_device * 524288, true, ""));
    if (source && gpu_create_device(gpu, i, source, source_len)) {
      gpu->count++;
      continue;
    }
    sys_log("Dropping device %d %s: it could not be set up.\n", index, g_gpu_devices[index].name);
    gpu_release_device(gpu, i);
    gpu->device_index[i] = 0;
  }
}

gpu_s* gpu_create(int count, const int* device_index, uint64_t nonces_per_device,
                  const run_settings_s& settings)
{
  if (nonces_per_device == 0)
    return nullptr;
  if (count > GPU_MAX_DEVICES)
    count = GPU_MAX_DEVICES;
  gpu_s* gpu = static_cast<gpu_s*>(calloc(1, sizeof(gpu_s)));
  if (!gpu)
    return nullptr;
  gpu->hashes_per_launch = GPU_DEFAULT_HASHES_PER_LAUNCH;
  gpu->nonces_per_device = nonces_per_device;
  gpu->threads_per_group = settings.threads_per_group;
  gpu->hash_per_dispatch = settings.hash_per_dispatch;

  const int source_len = gpu_kernel_source_length;
  char* source = static_cast<char*>(malloc((size_t)source_len));
  int unpacked = source ? LZ4_decompress_safe(reinterpret_cast<const char*>(gpu_kernel_source),
                                              source, gpu_kernel_source_packed, source_len)
                        : -1;
  util_assert(unpacked > 0, false, "gpu", 250);
  const bool usable = unpacked == source_len && g_opencl_api.clCreateContext;
  create_devices(gpu, count, device_index, usable ? source : nullptr, (size_t)source_len);
  free(source);
  if (gpu->count == 0)
    sys_log("No GPU of the selection could be set up.\n");
  for (int i = 0; i < gpu->count; i++) {
    const uint64_t limit = gpu_device_group_limit(gpu, i);
    gpu_note_kernel_group_limit(gpu->device_index[i], limit);
    if (limit != 0 && (gpu->group_limit == 0 || limit < gpu->group_limit))
      gpu->group_limit = limit;
  }
  gpu_set_default_work_group(gpu);
  return gpu;
}

static void release_event(cl_event* slot)
{
  if (*slot)
    g_opencl_api.clReleaseEvent(*slot);
  *slot = nullptr;
}

void gpu_release_pass_events(gpu_s* gpu, int i, int pass)
{
  if (gpu->hash_events[i])
    for (int j = 0; j < GPU_HASH_EVENTS; j++)
      release_event(&gpu->hash_events[i][pass * GPU_HASH_EVENTS + j]);
  release_event(&gpu->final_event[i][pass]);
  release_event(&gpu->read_event[i][pass]);
}

void gpu_release_events(gpu_s* gpu, int i)
{
  for (int pass = 0; pass < GPU_PASSES_IN_FLIGHT; pass++)
    gpu_release_pass_events(gpu, i, pass);
}

// Releases whatever slot i holds and empties the slot.
static void gpu_release_device(gpu_s* gpu, int i)
{
  const opencl_api_s& cl = g_opencl_api;
  // The queue is drained first so that no launch or read still uses the
  // buffers.
  if (gpu->queue[i])
    cl.clFinish(gpu->queue[i]);
  if (gpu->genbuf[i]) {
    cl.clReleaseMemObject(gpu->genbuf[i]);
    gpu->bytes_allocated -= gpu->nonces_per_device * GEN_BYTES_PER_NONCE;
  }
  if (gpu->scoopbuf[i]) {
    cl.clReleaseMemObject(gpu->scoopbuf[i]);
    gpu->bytes_allocated -= gpu->nonces_per_device * SCOOP_BYTES_PER_NONCE;
  }
  if (gpu->queue[i])
    cl.clReleaseCommandQueue(gpu->queue[i]);
  gpu_release_events(gpu, i);
  free(gpu->hash_events[i]);
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
  gpu->genbuf[i] = gpu->scoopbuf[i] = nullptr;
  gpu->queue[i] = nullptr;
  gpu->hash_events[i] = nullptr;
  gpu->kernel_final[i] = gpu->kernel_hash_down[i] = gpu->kernel_setup[i] = nullptr;
  gpu->program[i] = nullptr;
  gpu->context[i] = nullptr;
  gpu->device[i] = nullptr;
}

void gpu_destroy(gpu_s* gpu)
{
  if (!gpu)
    return;
  for (int i = 0; i < GPU_MAX_DEVICES; i++)
    gpu_release_device(gpu, i);
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

// The last GPU failure, for the question that follows it; written by the
// thread that met it (the UI thread during the plan, the work thread in a
// run), read by the same or a later one.
static std::mutex g_failure_mutex;
static std::string g_last_failure;

void gpu_note_failure(const std::string& text)
{
  std::lock_guard<std::mutex> lock(g_failure_mutex);
  g_last_failure = text;
}

std::string gpu_last_failure()
{
  std::lock_guard<std::mutex> lock(g_failure_mutex);
  return g_last_failure;
}

void gpu_clear_failure()
{
  gpu_note_failure("");
}

void gpu_report_cl_error(const gpu_s* gpu, int i, const char* call, cl_int err)
{
  std::string text = opencl_error_text(err) + " from " + call;
  if (gpu && i >= 0 && i < GPU_MAX_DEVICES) {
    const int index = gpu->device_index[i];
    text += " on GPU " + std::to_string(index);
    if (index >= 0 && (size_t)index < g_gpu_devices.size())
      text += std::string(" (") + g_gpu_devices[index].name + ")";
  }
  sys_log("OpenCL error %s\n", text.c_str());
  gpu_note_failure(text);
}
