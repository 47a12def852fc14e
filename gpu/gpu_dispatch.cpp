// Batch dispatch: one RAM buffer hashed on every device of a set, with
// progress published from OpenCL's completion callbacks.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/settings.h"
#include "engine/plotter.h"
#include "gpu/gpu_internal.h"
#include "plot/nonce.h"
#include "platform/sys_linux.h"
#include "platform/util.h"

enum : uint64_t { NONCE_BYTES = 262144, SCOOPS = 4096, SCOOP_BYTES = 64, CHAIN_STEPS = 8192 };

cl_int gpu_launch(cl_command_queue queue, cl_kernel kernel, uint64_t global, uint64_t local,
                  cl_event* event)
{
  const size_t g = (size_t)global, l = (size_t)local;
  return g_opencl_api.clEnqueueNDRangeKernel(queue, kernel, 1, nullptr, &g, &l, 0, nullptr, event);
}

void CL_CALLBACK gpu_event_progress(cl_event, cl_int status, void* context)
{
  gpu_batch_context* ctx = static_cast<gpu_batch_context*>(context);
  if (status == CL_COMPLETE) {
    const gpu_s* gpu = ctx->gpu;
    const uint64_t h = (uint64_t)gpu->hashes_per_launch;
    const uint64_t d = (uint64_t)gpu->count, n = gpu->nonces_per_device;
    const uint64_t old = ctx->rounds_done.fetch_add(h);
    const uint64_t progress = ctx->base + (old + h) * (d * n) / (d * CHAIN_STEPS);
    ctx->buffer->progress.exchange(progress);
  }
  // Last touch of the context: once every registered callback has counted
  // itself here, the dispatcher may free it.
  ctx->callbacks_run.fetch_add(1, std::memory_order_release);
}

// The batch context must outlive every callback registered on it, and the
// runtime may call a callback after the launch's completion is visible to
// clWaitForEvents. So the queues are drained and then the callbacks counted
// in. Should the runtime never deliver some of them (a lost device), the
// context is left allocated rather than freed under a late callback.
static void batch_context_retire(gpu_batch_context* ctx, uint64_t registered)
{
  for (int i = 0; i < ctx->gpu->count; i++)
    if (ctx->gpu->queue[i])
      g_opencl_api.clFinish(ctx->gpu->queue[i]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ctx->callbacks_run.load(std::memory_order_acquire) < registered) {
    if (std::chrono::steady_clock::now() > deadline) {
      sys_log("GPU progress callbacks did not all arrive; keeping their context\n");
      return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  delete ctx;
}

static void log_cl_error(cl_int err)
{
  sys_log("Received error %d from OpenCL\n", err);
}

// Launch phase for device i: setup, the hash_down chain, final and a
// non-blocking map of the scoop buffer. Nothing is waited for.
static cl_int launch_device(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t local,
                            gpu_batch_context* ctx, uint64_t* registered, uint8_t** mapped)
{
  const opencl_api_s& cl = g_opencl_api;
  const uint64_t n = gpu->nonces_per_device;
  const cl_uint h = (cl_uint)gpu->hashes_per_launch;
  cl_ulong a = account, f = first;
  if (!gpu->hash_events[i])
    return CL_OUT_OF_HOST_MEMORY;  // the device's set-up did not get this far
  gpu_release_events(gpu, i);      // left over from a batch that failed
  cl.clSetKernelArg(gpu->kernel_setup[i], 0, sizeof a, &a);
  cl.clSetKernelArg(gpu->kernel_setup[i], 1, sizeof f, &f);
  cl.clSetKernelArg(gpu->kernel_setup[i], 2, sizeof(cl_mem), &gpu->genbuf[i]);
  cl_int err = gpu_launch(gpu->queue[i], gpu->kernel_setup[i], n, local, nullptr);
  if (err != CL_SUCCESS)
    return err;

  cl.clSetKernelArg(gpu->kernel_hash_down[i], 0, sizeof f, &f);
  cl.clSetKernelArg(gpu->kernel_hash_down[i], 1, sizeof(cl_mem), &gpu->genbuf[i]);
  cl.clSetKernelArg(gpu->kernel_hash_down[i], 3, sizeof h, &h);
  int j = 0;
  for (int64_t s = (int64_t)NONCE_BYTES; s > 0; s -= 32 * (int64_t)h, j++) {
    const cl_uint start = (cl_uint)s;
    cl.clSetKernelArg(gpu->kernel_hash_down[i], 2, sizeof start, &start);
    cl_event* slot = &gpu->hash_events[i][j];
    err = gpu_launch(gpu->queue[i], gpu->kernel_hash_down[i], n, local, slot);
    if (err != CL_SUCCESS)
      return err;
    util_assert(*slot != nullptr, false, "gpu", 476);
    if (*slot && cl.clSetEventCallback(*slot, CL_COMPLETE, gpu_event_progress, ctx) == CL_SUCCESS)
      (*registered)++;
  }

  cl.clSetKernelArg(gpu->kernel_final[i], 0, sizeof(cl_mem), &gpu->genbuf[i]);
  cl.clSetKernelArg(gpu->kernel_final[i], 1, sizeof(cl_mem), &gpu->scoopbuf[i]);
  err = gpu_launch(gpu->queue[i], gpu->kernel_final[i], n, local, &gpu->final_event[i]);
  if (err != CL_SUCCESS)
    return err;
  *mapped = static_cast<uint8_t*>(cl.clEnqueueMapBuffer(gpu->queue[i], gpu->scoopbuf[i], CL_FALSE,
                                                        CL_MAP_READ, 0, n * NONCE_BYTES, 0, nullptr,
                                                        &gpu->map_event[i], &err));
  if (err == CL_SUCCESS && !*mapped)
    err = CL_MAP_FAILURE;
  return err;
}

void (*g_gpu_spot_check_filter)(uint8_t*, uint64_t, uint64_t, bool);

// The GPU's output is suspect when a scoop starts with four zero bytes; the
// nonce is then recomputed on the CPU and the scoop compared.
static bool spot_check(const uint8_t* gpu_scoop, uint64_t account, uint64_t nonce, uint64_t s)
{
  uint8_t src[SCOOP_BYTES];
  memcpy(src, gpu_scoop, SCOOP_BYTES);
  if (g_gpu_spot_check_filter)
    g_gpu_spot_check_filter(src, nonce, s, false);
  if (src[0] | src[1] | src[2] | src[3])
    return true;
  sys_log("Looks like GPU compute may have failed... spot checking...\n");
  uint8_t* area = static_cast<uint8_t*>(malloc(NONCE_BYTES));
  if (!area) {
    sys_log("Failed to allocate memory for the GPU spot check.\n");
    return false;
  }
  plot_nonce(account, nonce, area, true);
  if (g_gpu_spot_check_filter)
    g_gpu_spot_check_filter(area + s * SCOOP_BYTES, nonce, s, true);
  const bool same = memcmp(src, area + s * SCOOP_BYTES, SCOOP_BYTES) == 0;
  free(area);
  if (!same) {
    util_assert(0, false, "gpu", 542);
    sys_log("Yep it failed!\n");
    return false;
  }
  sys_log("Nah turns out it's all good. Carrying on...\n");
  return true;
}

// Collect phase for device i: wait for its map, check and copy its slice,
// unmap. offset is the batch's first buffer nonce.
static bool collect_device(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t offset,
                           buffer_s* buffer, uint8_t* mapped)
{
  const opencl_api_s& cl = g_opencl_api;
  const uint64_t n = gpu->nonces_per_device, capacity = buffer->capacity;
  cl_int err = cl.clWaitForEvents(1, &gpu->map_event[i]);
  if (err != CL_SUCCESS) {
    log_cl_error(err);
    return false;
  }
  gpu_release_events(gpu, i);
  const uint64_t slice = offset + (uint64_t)i * n;
  const uint64_t n_i = slice < capacity ? (capacity - slice < n ? capacity - slice : n) : 0;
  bool ok = true;
  for (uint64_t s = 0; s < SCOOPS && ok; s++) {
    const uint8_t* src = mapped + s * SCOOP_BYTES * n;
    ok = spot_check(src, account, first, s);
    if (ok && n_i)
      memcpy(buffer->data + (s * capacity + slice) * SCOOP_BYTES, src, n_i * SCOOP_BYTES);
  }
  cl.clEnqueueUnmapMemObject(gpu->queue[i], gpu->scoopbuf[i], mapped, 0, nullptr, nullptr);
  return ok;
}

// hash_per_dispatch comes from the settings file unchecked; a value the
// launch loop cannot step with is ignored and the set keeps its own.
static void apply_hash_per_dispatch(gpu_s* gpu)
{
  const int h = g_hash_per_dispatch;
  if (h == 0)
    return;
  if (h < 1 || h > GPU_MAX_HASHES_PER_LAUNCH) {
    sys_log("Ignoring hash_per_dispatch %d (allowed: 1 to %d); using %d\n", h,
            GPU_MAX_HASHES_PER_LAUNCH, gpu->hashes_per_launch);
    return;
  }
  gpu->hashes_per_launch = h;
}

uint64_t gpu_plot_buffer(gpu_s* gpu, uint64_t account, uint64_t start_nonce, buffer_s* buffer,
                         volatile bool* stop)
{
  if (!gpu || !buffer || (buffer->capacity && !buffer->data))
    return 0;  // nothing to fill into (a placeholder buffer has no data)
  apply_hash_per_dispatch(gpu);
  const uint64_t local = g_threads_per_group ? (uint64_t)(int64_t)g_threads_per_group : 32;
  const uint64_t n = gpu->nonces_per_device, d = (uint64_t)gpu->count;
  const uint64_t capacity = buffer->capacity;
  buffer->progress.exchange(0);
  util_assert(capacity >= d * n, false, "gpu", 413);
  if (capacity == 0)
    return buffer->progress.load();
  uint64_t offset = 0;
  do {
    if (*stop)
      return 0;
    util_assert(d <= GPU_MAX_DEVICES, false, "gpu", 440);
    const uint64_t base = buffer->progress.load();
    gpu_batch_context* ctx = new gpu_batch_context{buffer, gpu, base, {0}, {0}};
    uint64_t registered = 0;
    uint8_t* mapped[GPU_MAX_DEVICES] = {};
    bool ok = true;
    for (uint64_t i = 0; i < d && ok; i++) {
      const cl_int err = launch_device(gpu, (int)i, account, start_nonce + offset + i * n, local,
                                       ctx, &registered, &mapped[i]);
      if (err != CL_SUCCESS) {
        log_cl_error(err);
        ok = false;
      }
    }
    for (uint64_t i = 0; i < d && ok; i++)
      ok = collect_device(gpu, (int)i, account, start_nonce + offset + i * n, offset, buffer,
                          mapped[i]);
    batch_context_retire(ctx, registered);
    if (!ok)
      return 0;
    const uint64_t end = base + d * n;
    buffer->progress.exchange(end < capacity ? end : capacity);
    offset += d * n;
  } while (offset < capacity);
  return buffer->progress.load();
}
