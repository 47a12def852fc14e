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

uint64_t gpu_work_group_size()
{
  return g_threads_per_group > 0 ? (uint64_t)g_threads_per_group : 32;
}

void CL_CALLBACK gpu_event_progress(cl_event, cl_int status, void* context)
{
  gpu_batch_context* ctx = static_cast<gpu_batch_context*>(context);
  bool last = false;
  {
    std::lock_guard<std::mutex> guard(ctx->lock);
    if (status == CL_COMPLETE && !ctx->abandoned) {
      const uint64_t h = ctx->hashes, d = ctx->devices, n = ctx->nonces;
      ctx->rounds_done += h;
      const uint64_t progress = ctx->base + ctx->rounds_done * (d * n) / (d * CHAIN_STEPS);
      ctx->buffer->progress.exchange(progress);
    }
    ctx->callbacks_run++;
    last = ctx->abandoned && ctx->callbacks_run >= ctx->registered;
  }
  if (last)
    delete ctx;
}

// The batch context must outlive every callback registered on it, and the
// runtime may call a callback after the launch's completion is visible to
// clWaitForEvents. So the queues are drained and then the callbacks counted
// in. Should the runtime not deliver some of them in time (a lost device),
// the context is abandoned: the late callbacks then touch only the context,
// and the last of them frees it.
static void batch_context_retire(gpu_batch_context* ctx, const gpu_s* gpu, uint64_t registered)
{
  for (int i = 0; i < gpu->count; i++)
    if (gpu->queue[i])
      g_opencl_api.clFinish(gpu->queue[i]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(ctx->lock);
      ctx->registered = registered;
      if (ctx->callbacks_run >= registered)
        break;
      if (std::chrono::steady_clock::now() > deadline) {
        ctx->abandoned = true;
        sys_log("GPU progress callbacks did not all arrive; leaving their context to them\n");
        return;
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  delete ctx;
}

static void log_cl_error(cl_int err)
{
  sys_log("Received error %d from OpenCL\n", err);
}

cl_int gpu_enqueue_batch(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t local,
                         gpu_batch_context* ctx, uint64_t* registered)
{
  const opencl_api_s& cl = g_opencl_api;
  const uint64_t n = gpu->nonces_per_device;
  const cl_uint h = (cl_uint)gpu->hashes_per_launch;
  cl_ulong a = account, f = first;
  gpu_release_events(gpu, i);  // left over from a batch that failed
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
    cl_event* slot = ctx ? &gpu->hash_events[i][j] : nullptr;
    err = gpu_launch(gpu->queue[i], gpu->kernel_hash_down[i], n, local, slot);
    if (err != CL_SUCCESS)
      return err;
    if (!slot)
      continue;
    util_assert(*slot != nullptr, false, "gpu", 476);
    if (*slot && cl.clSetEventCallback(*slot, CL_COMPLETE, gpu_event_progress, ctx) == CL_SUCCESS)
      (*registered)++;
  }

  cl.clSetKernelArg(gpu->kernel_final[i], 0, sizeof(cl_mem), &gpu->genbuf[i]);
  cl.clSetKernelArg(gpu->kernel_final[i], 1, sizeof(cl_mem), &gpu->scoopbuf[i]);
  return gpu_launch(gpu->queue[i], gpu->kernel_final[i], n, local,
                    ctx ? &gpu->final_event[i] : nullptr);
}

// Launch phase for device i: the batch and a non-blocking map of the scoop
// buffer, then a flush, so that every device starts computing while the
// next one is being given its work. Nothing is waited for.
static cl_int launch_device(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t local,
                            gpu_batch_context* ctx, uint64_t* registered, uint8_t** mapped)
{
  const opencl_api_s& cl = g_opencl_api;
  cl_int err = gpu_enqueue_batch(gpu, i, account, first, local, ctx, registered);
  if (err == CL_SUCCESS) {
    *mapped = static_cast<uint8_t*>(
        cl.clEnqueueMapBuffer(gpu->queue[i], gpu->scoopbuf[i], CL_FALSE, CL_MAP_READ, 0,
                              gpu->nonces_per_device * NONCE_BYTES, 0, nullptr,
                              &gpu->map_event[i], &err));
    if (err == CL_SUCCESS && !*mapped)
      err = CL_MAP_FAILURE;
    if (err != CL_SUCCESS)
      *mapped = nullptr;
  }
  // Also after an error: what was enqueued must reach the device, so that
  // the drain before the batch context is retired cannot wait on it idle.
  cl.clFlush(gpu->queue[i]);
  return err;
}

// The nonce of a device slice that the CPU recomputes: it moves through the
// slice from batch to batch, so that every position is looked at in time.
static uint64_t sample_nonce(uint64_t first, uint64_t n_i)
{
  uint64_t x = first * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  return x % n_i;
}

// Collect phase for device i: recompute the sampled nonce on the CPU while
// the device computes, wait for the map, compare, copy the slice, unmap.
// offset is the batch's first buffer nonce; area is 262144 bytes of scratch.
static bool collect_device(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t offset,
                           buffer_s* buffer, uint8_t** mapped, uint8_t* area)
{
  const opencl_api_s& cl = g_opencl_api;
  const uint64_t n = gpu->nonces_per_device, capacity = buffer->capacity;
  const uint64_t slice = offset + (uint64_t)i * n;
  const uint64_t n_i = slice < capacity ? (capacity - slice < n ? capacity - slice : n) : 0;
  const uint64_t k = n_i ? sample_nonce(first, n_i) : 0;
  if (n_i)
    plot_nonce(account, first + k, area, true);
  cl_int err = cl.clWaitForEvents(1, &gpu->map_event[i]);
  if (err != CL_SUCCESS) {
    log_cl_error(err);
    return false;
  }
  gpu_release_events(gpu, i);
  const uint8_t* p = *mapped;
  const int64_t bad = n_i ? gpu_first_differing_scoop(area, p + k * SCOOP_BYTES, n * SCOOP_BYTES)
                          : -1;
  if (bad >= 0) {
    util_assert(0, false, "gpu", 542);
    sys_log("GPU %d computed nonce %llu wrong (scoop %lld differs from the CPU's); "
            "nothing of this batch is written\n",
            gpu->device_index[i], (unsigned long long)(first + k), (long long)bad);
    return false;
  }
  for (uint64_t s = 0; s < SCOOPS && n_i; s++)
    memcpy(buffer->data + (s * capacity + slice) * SCOOP_BYTES, p + s * SCOOP_BYTES * n,
           n_i * SCOOP_BYTES);
  cl.clEnqueueUnmapMemObject(gpu->queue[i], gpu->scoopbuf[i], *mapped, 0, nullptr, nullptr);
  *mapped = nullptr;
  return true;
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

// A set that can take a batch: at least one device, a size, and every
// device complete (a device without kernels must never be launched).
static bool set_ready(const gpu_s* gpu)
{
  if (gpu->count <= 0 || gpu->count > GPU_MAX_DEVICES || gpu->nonces_per_device == 0) {
    sys_log("GPU set without devices or nonces; nothing is launched\n");
    return false;
  }
  for (int i = 0; i < gpu->count; i++)
    if (!gpu_device_ready(gpu, i)) {
      sys_log("GPU %d is not set up completely; nothing is launched\n", gpu->device_index[i]);
      return false;
    }
  return true;
}

// One pass over every device: launch all, then collect all. Whatever is
// still mapped after a failure is unmapped before the context is retired.
static bool device_batch(gpu_s* gpu, uint64_t account, uint64_t first, uint64_t offset,
                         uint64_t local, buffer_s* buffer, uint8_t* area)
{
  const int d = gpu->count;
  gpu_batch_context* ctx = new gpu_batch_context;
  ctx->buffer = buffer;
  ctx->base = buffer->progress.load();
  ctx->hashes = (uint64_t)gpu->hashes_per_launch;
  ctx->devices = (uint64_t)d;
  ctx->nonces = gpu->nonces_per_device;
  uint64_t registered = 0;
  uint8_t* mapped[GPU_MAX_DEVICES] = {};
  bool ok = true;
  for (int i = 0; i < d && ok; i++) {
    const cl_int err = launch_device(gpu, i, account, first + (uint64_t)i * ctx->nonces, local,
                                     ctx, &registered, &mapped[i]);
    if (err != CL_SUCCESS) {
      log_cl_error(err);
      ok = false;
    }
  }
  for (int i = 0; i < d && ok; i++)
    ok = collect_device(gpu, i, account, first + (uint64_t)i * ctx->nonces, offset, buffer,
                        &mapped[i], area);
  for (int i = 0; i < d; i++)
    if (mapped[i])
      g_opencl_api.clEnqueueUnmapMemObject(gpu->queue[i], gpu->scoopbuf[i], mapped[i], 0, nullptr,
                                           nullptr);
  batch_context_retire(ctx, gpu, registered);
  return ok;
}

uint64_t gpu_plot_buffer(gpu_s* gpu, uint64_t account, uint64_t start_nonce, buffer_s* buffer,
                         volatile bool* stop)
{
  if (!gpu || !buffer || (buffer->capacity && !buffer->data))
    return 0;  // nothing to fill into (a placeholder buffer has no data)
  apply_hash_per_dispatch(gpu);
  const uint64_t local = gpu_work_group_size();
  const uint64_t n = gpu->nonces_per_device, d = (uint64_t)gpu->count;
  const uint64_t capacity = buffer->capacity;
  buffer->progress.exchange(0);
  if (capacity == 0)
    return 0;
  if (!set_ready(gpu))
    return 0;
  util_assert(capacity >= d * n, false, "gpu", 413);
  uint8_t* area = static_cast<uint8_t*>(malloc(NONCE_BYTES));
  if (!area) {
    sys_log("Failed to allocate memory for the GPU spot check.\n");
    return 0;
  }
  uint64_t offset = 0;
  do {
    if (*stop || !device_batch(gpu, account, start_nonce + offset, offset, local, buffer, area)) {
      free(area);
      return 0;
    }
    const uint64_t end = offset + d * n;
    buffer->progress.exchange(end < capacity ? end : capacity);
    offset += d * n;
  } while (offset < capacity);
  free(area);
  return buffer->progress.load();
}
