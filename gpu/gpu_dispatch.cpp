// Batch dispatch: one RAM buffer hashed on every device of a set, with
// progress published from OpenCL's completion callbacks.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

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

cl_int gpu_enqueue_batch(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t n,
                         uint64_t local, gpu_batch_context* ctx, uint64_t* registered)
{
  const opencl_api_s& cl = g_opencl_api;
  const cl_uint h = (cl_uint)gpu->hashes_per_launch;
  cl_ulong a = account, f = first;
  gpu_release_events(gpu, i);  // left over from a batch that failed
  cl.clSetKernelArg(gpu->kernel_setup[i], 0, sizeof a, &a);
  cl.clSetKernelArg(gpu->kernel_setup[i], 1, sizeof f, &f);
  cl.clSetKernelArg(gpu->kernel_setup[i], 2, sizeof(cl_mem), &gpu->genbuf[i]);
  cl_int err = gpu_launch(gpu->queue[i], gpu->kernel_setup[i], n, local, nullptr);
  if (err != CL_SUCCESS) {
    gpu_report_cl_error(gpu, i, "clEnqueueNDRangeKernel (setup)", err);
    return err;
  }

  cl.clSetKernelArg(gpu->kernel_hash_down[i], 0, sizeof f, &f);
  cl.clSetKernelArg(gpu->kernel_hash_down[i], 1, sizeof(cl_mem), &gpu->genbuf[i]);
  cl.clSetKernelArg(gpu->kernel_hash_down[i], 3, sizeof h, &h);
  int j = 0;
  for (int64_t s = (int64_t)NONCE_BYTES; s > 0; s -= 32 * (int64_t)h, j++) {
    const cl_uint start = (cl_uint)s;
    cl.clSetKernelArg(gpu->kernel_hash_down[i], 2, sizeof start, &start);
    cl_event* slot = ctx ? &gpu->hash_events[i][j] : nullptr;
    err = gpu_launch(gpu->queue[i], gpu->kernel_hash_down[i], n, local, slot);
    if (err != CL_SUCCESS) {
      gpu_report_cl_error(gpu, i, "clEnqueueNDRangeKernel (hash_down)", err);
      return err;
    }
    if (!slot)
      continue;
    util_assert(*slot != nullptr, false, "gpu", 476);
    if (*slot && cl.clSetEventCallback(*slot, CL_COMPLETE, gpu_event_progress, ctx) == CL_SUCCESS)
      (*registered)++;
  }

  cl.clSetKernelArg(gpu->kernel_final[i], 0, sizeof(cl_mem), &gpu->genbuf[i]);
  cl.clSetKernelArg(gpu->kernel_final[i], 1, sizeof(cl_mem), &gpu->scoopbuf[i]);
  err = gpu_launch(gpu->queue[i], gpu->kernel_final[i], n, local, ctx ? &gpu->final_event[i] : nullptr);
  if (err != CL_SUCCESS)
    gpu_report_cl_error(gpu, i, "clEnqueueNDRangeKernel (final)", err);
  return err;
}

// Launch phase for device i: the batch of `global` nonces and a
// non-blocking map of its scoops, then a flush, so that every device starts
// computing while the next one is being given its work. Nothing is waited
// for.
static cl_int launch_device(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t global,
                            uint64_t local, gpu_batch_context* ctx, uint64_t* registered,
                            uint8_t** mapped)
{
  const opencl_api_s& cl = g_opencl_api;
  cl_int err = gpu_enqueue_batch(gpu, i, account, first, global, local, ctx, registered);
  if (err == CL_SUCCESS) {
    *mapped = static_cast<uint8_t*>(cl.clEnqueueMapBuffer(gpu->queue[i], gpu->scoopbuf[i], CL_FALSE,
                                                          CL_MAP_READ, 0, global * NONCE_BYTES, 0,
                                                          nullptr, &gpu->map_event[i], &err));
    if (err == CL_SUCCESS && !*mapped)
      err = CL_MAP_FAILURE;
    if (err != CL_SUCCESS) {
      gpu_report_cl_error(gpu, i, "clEnqueueMapBuffer", err);
      *mapped = nullptr;
    }
  }
  // Also after an error: what was enqueued must reach the device, so that
  // the drain before the batch context is retired cannot wait on it idle.
  cl.clFlush(gpu->queue[i]);
  return err;
}

// One device's part of a device batch: nonces first.. of the buffer's
// nonces slice.., n_i of them (0: the device has nothing to do), computed
// as `global` work items (n_i rounded up to whole work groups).
struct slice_s {
  uint64_t first, slice, n_i, global;
};

// Collect phase for device i: recompute the compared nonces on the CPU
// while the device computes, wait for the map, compare, copy the slice,
// unmap.
static bool collect_device(gpu_s* gpu, int i, uint64_t account, const slice_s& sl,
                           buffer_s* buffer, uint8_t** mapped, gpu_compare_s* compare)
{
  const opencl_api_s& cl = g_opencl_api;
  const uint64_t capacity = buffer->capacity, stride = sl.global * SCOOP_BYTES;
  gpu_compare_prepare(compare, gpu, account, sl.first, sl.n_i);
  cl_int err = cl.clWaitForEvents(1, &gpu->map_event[i]);
  if (err != CL_SUCCESS) {
    gpu_report_cl_error(gpu, i, "clWaitForEvents", err);
    return false;
  }
  gpu_release_events(gpu, i);
  const uint8_t* p = *mapped;
  if (!gpu_compare_check(compare, gpu->device_index[i], p, stride)) {
    util_assert(0, false, "gpu", 542);
    return false;
  }
  for (uint64_t s = 0; s < SCOOPS; s++)
    memcpy(buffer->data + (s * capacity + sl.slice) * SCOOP_BYTES, p + s * stride,
           sl.n_i * SCOOP_BYTES);
  cl.clEnqueueUnmapMemObject(gpu->queue[i], gpu->scoopbuf[i], *mapped, 0, nullptr, nullptr);
  *mapped = nullptr;
  return true;
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

// One pass over the devices for `batch` nonces from buffer nonce offset
// (at most count x nonces_per_device): launch all, then collect all. A
// batch shorter than a full pass (the end of a file) gives each device
// only its share in whole work groups, and none to a device whose share is
// empty. Whatever is still mapped after a failure is unmapped before the
// context is retired.
static bool device_batch(gpu_s* gpu, uint64_t account, uint64_t first, uint64_t offset,
                         uint64_t batch, uint64_t local, buffer_s* buffer, gpu_compare_s* compare)
{
  const uint64_t n = gpu->nonces_per_device;
  slice_s sl[GPU_MAX_DEVICES] = {};
  int active = 0;
  for (int i = 0; i < gpu->count; i++) {
    const uint64_t at = (uint64_t)i * n;
    sl[i].first = first + at;
    sl[i].slice = offset + at;
    sl[i].n_i = at < batch ? std::min(n, batch - at) : 0;
    sl[i].global = std::min(n, (sl[i].n_i + local - 1) / local * local);
    active += sl[i].n_i != 0;
  }
  gpu_batch_context* ctx = new gpu_batch_context;
  ctx->buffer = buffer;
  ctx->base = buffer->progress.load();
  ctx->hashes = (uint64_t)gpu->hashes_per_launch;
  ctx->devices = (uint64_t)active;
  ctx->nonces = (batch + active - 1) / active;
  uint64_t registered = 0;
  uint8_t* mapped[GPU_MAX_DEVICES] = {};
  bool ok = true;
  for (int i = 0; i < active && ok; i++) {
    const cl_int err = launch_device(gpu, i, account, sl[i].first, sl[i].global, local, ctx,
                                     &registered, &mapped[i]);
    ok = err == CL_SUCCESS;
  }
  for (int i = 0; i < active && ok; i++)
    ok = collect_device(gpu, i, account, sl[i], buffer, &mapped[i], compare);
  for (int i = 0; i < active; i++)
    if (mapped[i])
      g_opencl_api.clEnqueueUnmapMemObject(gpu->queue[i], gpu->scoopbuf[i], mapped[i], 0, nullptr,
                                           nullptr);
  batch_context_retire(ctx, gpu, registered);
  return ok;
}

uint64_t gpu_plot_buffer(gpu_s* gpu, uint64_t account, uint64_t start_nonce, buffer_s* buffer,
                         volatile bool* stop)
{
  return gpu_plot_nonces(gpu, account, start_nonce, buffer, buffer ? buffer->capacity : 0, stop);
}

uint64_t gpu_plot_nonces(gpu_s* gpu, uint64_t account, uint64_t start_nonce, buffer_s* buffer,
                         uint64_t count, volatile bool* stop)
{
  if (!gpu || !buffer || (buffer->capacity && !buffer->data))
    return 0;  // nothing to fill into (a placeholder buffer has no data)
  gpu_launch_hashes(gpu);
  const uint64_t local = gpu->work_group ? gpu->work_group : gpu_set_default_work_group(gpu);
  const uint64_t n = gpu->nonces_per_device, d = (uint64_t)gpu->count;
  const uint64_t capacity = buffer->capacity;
  if (count > capacity)
    count = capacity;
  buffer->progress.exchange(0);
  if (count == 0)
    return 0;
  if (!set_ready(gpu))
    return 0;
  util_assert(capacity >= d * n, false, "gpu", 413);
  gpu_compare_s compare;
  if (!gpu_compare_init(&compare)) {
    sys_log("Failed to allocate memory for the GPU spot check.\n");
    return 0;
  }
  bool ok = true;
  uint64_t offset = 0;
  do {
    const uint64_t batch = std::min(d * n, count - offset);
    ok = !*stop && device_batch(gpu, account, start_nonce + offset, offset, batch, local, buffer,
                                &compare);
    if (!ok)
      break;
    offset += batch;
    buffer->progress.exchange(offset);
  } while (offset < count);
  gpu_compare_free(&compare);
  return ok ? buffer->progress.load() : 0;
}
