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
                  cl_event* event, uint64_t offset)
{
  const size_t g = (size_t)global, l = (size_t)local, o = (size_t)offset;
  return g_opencl_api.clEnqueueNDRangeKernel(queue, kernel, 1, offset ? &o : nullptr, &g, &l, 0, nullptr, event);
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
// clWaitForEvents. So once the pass's launches are complete (its reads
// waited for, or the queues drained after a failure) the callbacks are
// counted in. Should the runtime not deliver some of them in time (a lost
// device), the context is abandoned: the late callbacks then touch only the
// context, and the last of them frees it.
static void batch_context_retire(gpu_batch_context* ctx, uint64_t registered)
{
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
                         uint64_t local, gpu_batch_context* ctx, uint64_t* registered, int pass)
{
  const opencl_api_s& cl = g_opencl_api;
  const cl_uint h = (cl_uint)gpu->hashes_per_launch;
  cl_ulong a = account, f = first;
  gpu_release_pass_events(gpu, i, pass);  // left over from a batch that failed
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
  cl_event* slots = gpu->hash_events[i] + pass * GPU_HASH_EVENTS;
  int j = 0;
  for (int64_t s = (int64_t)NONCE_BYTES; s > 0; s -= 32 * (int64_t)h, j++) {
    const cl_uint start = (cl_uint)s;
    cl.clSetKernelArg(gpu->kernel_hash_down[i], 2, sizeof start, &start);
    cl_event* slot = ctx ? &slots[j] : nullptr;
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

  // final in parts of whole work groups, each as short as a hash_down
  // launch; the last part's event stands for the batch's end.
  const cl_uint items = (cl_uint)n;
  cl.clSetKernelArg(gpu->kernel_final[i], 0, sizeof(cl_mem), &gpu->genbuf[i]);
  cl.clSetKernelArg(gpu->kernel_final[i], 1, sizeof(cl_mem), &gpu->scoopbuf[i]);
  cl.clSetKernelArg(gpu->kernel_final[i], 2, sizeof items, &items);
  const uint64_t part = gpu_final_items(gpu, n, local);
  for (uint64_t o = 0; o < n; o += part) {
    const uint64_t w = std::min(part, n - o);
    cl_event* slot = ctx && o + w >= n ? &gpu->final_event[i][pass] : nullptr;
    err = gpu_launch(gpu->queue[i], gpu->kernel_final[i], w, local, slot, o);
    if (err != CL_SUCCESS) {
      gpu_report_cl_error(gpu, i, "clEnqueueNDRangeKernel (final)", err);
      return err;
    }
  }
  return CL_SUCCESS;
}

// One device's part of a pass: nonces first.. of the buffer's nonces
// slice.., n_i of them (0: the device has nothing to do), computed as
// `global` work items (n_i rounded up to whole work groups).
struct slice_s {
  uint64_t first, slice, n_i, global;
};

// One pass of the devices over the buffer: `batch` nonces from buffer nonce
// offset (at most count x nonces_per_device), in the event slots of `slot`.
// A pass shorter than a full one (the end of a file or of a buffer) gives
// each device only its share in whole work groups, and none to a device
// whose share is empty.
struct pass_s {
  uint64_t offset, batch;
  int slot, active, launched;
  slice_s sl[GPU_MAX_DEVICES];
  gpu_batch_context* ctx;
  uint64_t registered;
};

// Enqueues the pass on every device: the batch, then a non-blocking read of
// each slice's scoops straight into their rows of the RAM buffer, then a
// flush, so that every device starts at once. Each device's in-order queue
// puts the pass behind the one before: its setup and hash chain run while
// the host still checks the pass before, whose read has already been
// queued. Nothing is waited for.
static bool launch_pass(gpu_s* gpu, uint64_t account, uint64_t start_nonce, uint64_t local,
                        buffer_s* buffer, pass_s* ps)
{
  const opencl_api_s& cl = g_opencl_api;
  const uint64_t n = gpu->nonces_per_device;
  ps->active = ps->launched = 0;
  ps->registered = 0;
  for (int i = 0; i < gpu->count; i++) {
    const uint64_t at = (uint64_t)i * n;
    ps->sl[i].first = start_nonce + ps->offset + at;
    ps->sl[i].slice = ps->offset + at;
    ps->sl[i].n_i = at < ps->batch ? std::min(n, ps->batch - at) : 0;
    ps->sl[i].global = std::min(n, (ps->sl[i].n_i + local - 1) / local * local);
    ps->active += ps->sl[i].n_i != 0;
  }
  gpu_batch_context* ctx = new gpu_batch_context;
  ctx->buffer = buffer;
  ctx->base = ps->offset;
  ctx->hashes = (uint64_t)gpu->hashes_per_launch;
  ctx->devices = (uint64_t)ps->active;
  ctx->nonces = (ps->batch + ps->active - 1) / ps->active;
  ps->ctx = ctx;
  for (int i = 0; i < ps->active; i++) {
    const slice_s& sl = ps->sl[i];
    cl_int err = gpu_enqueue_batch(gpu, i, account, sl.first, sl.global, local, ctx, &ps->registered, ps->slot);
    if (err == CL_SUCCESS) {
      // Scoop s of the slice: sl.global x 64 bytes apart on the device,
      // capacity x 64 apart in the buffer.
      const size_t device_origin[3] = {0, 0, 0};
      const size_t host_origin[3] = {(size_t)(sl.slice * SCOOP_BYTES), 0, 0};
      const size_t region[3] = {(size_t)(sl.n_i * SCOOP_BYTES), (size_t)SCOOPS, 1};
      err = cl.clEnqueueReadBufferRect(gpu->queue[i], gpu->scoopbuf[i], CL_FALSE, device_origin, host_origin,
                                       region, (size_t)(sl.global * SCOOP_BYTES), 0,
                                       (size_t)(buffer->capacity * SCOOP_BYTES), 0, buffer->data, 0, nullptr,
                                       &gpu->read_event[i][ps->slot]);
      if (err != CL_SUCCESS)
        gpu_report_cl_error(gpu, i, "clEnqueueReadBufferRect", err);
    }
    // Also after an error: what was enqueued must reach the device, so that
    // the drain before the batch context is retired cannot wait on it idle.
    cl.clFlush(gpu->queue[i]);
    ps->launched = i + 1;
    if (err != CL_SUCCESS)
      return false;
  }
  return true;
}

// Collects the pass from each device in turn: recomputes its compared
// nonces on the CPU while the device computes, waits for its read, and
// compares them in the buffer.
static bool collect_pass(gpu_s* gpu, uint64_t account, buffer_s* buffer, pass_s* ps, gpu_compare_s* compare)
{
  const uint64_t stride = buffer->capacity * SCOOP_BYTES;
  for (int i = 0; i < ps->active; i++) {
    const slice_s& sl = ps->sl[i];
    gpu_compare_prepare(compare, gpu, account, sl.first, sl.n_i);
    const cl_int err = g_opencl_api.clWaitForEvents(1, &gpu->read_event[i][ps->slot]);
    if (err != CL_SUCCESS) {
      gpu_report_cl_error(gpu, i, "clWaitForEvents", err);
      return false;
    }
    gpu_release_pass_events(gpu, i, ps->slot);
    if (!gpu_compare_check(compare, gpu->device_index[i], buffer->data + sl.slice * SCOOP_BYTES, stride)) {
      util_assert(0, false, "gpu", 542);
      return false;
    }
  }
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
  // Two passes in flight: while pass k is read back and checked, every
  // device already computes pass k + 1. The stop flag is looked at before
  // each pass is launched.
  pass_s passes[GPU_PASSES_IN_FLIGHT] = {};
  pass_s* current = &passes[0];
  pass_s* next = &passes[1];
  current->slot = 0;
  next->slot = 1;
  current->offset = 0;
  current->batch = std::min(d * n, count);
  bool ok = !*stop;
  bool current_live = false, next_live = false;
  if (ok) {
    current_live = true;
    ok = launch_pass(gpu, account, start_nonce, local, buffer, current);
  }
  while (ok) {
    const uint64_t end = current->offset + current->batch;
    next_live = false;
    if (end < count) {
      if (*stop) {
        ok = false;
      } else {
        next->offset = end;
        next->batch = std::min(d * n, count - end);
        next_live = true;
        ok = launch_pass(gpu, account, start_nonce, local, buffer, next);
      }
    }
    if (!ok)
      break;
    ok = collect_pass(gpu, account, buffer, current, &compare);
    if (!ok)
      break;
    // The pass's reads are complete, so are its launches: only their
    // callbacks may still be on their way.
    batch_context_retire(current->ctx, current->registered);
    current_live = false;
    buffer->progress.exchange(end);
    if (!next_live)
      break;
    std::swap(current, next);
    current_live = true;
  }
  if (!ok) {
    // Nothing may still compute or read into the buffer once this returns.
    for (int i = 0; i < gpu->count; i++)
      if (gpu->queue[i])
        g_opencl_api.clFinish(gpu->queue[i]);
    for (pass_s* ps : {current, next})
      if ((ps == current && current_live) || (ps == next && next_live))
        batch_context_retire(ps->ctx, ps->registered);
  }
  gpu_compare_free(&compare);
  return ok ? buffer->progress.load() : 0;
}
