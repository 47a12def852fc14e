// GPU output compared byte for byte with the CPU's nonces: what keeps a
// driver's miscompile or a faulty card from writing wrong plots.
//
// Of every device batch a dispatch compares a few whole nonces of each
// device's slice (at least two, one from each of as many equal parts of the
// slice, at places that move from batch to batch), all 4096 scoops of each,
// with the nonces the CPU computes while the device is still busy. A card
// that errs in one nonce of a batch now and then is not caught every time,
// but the rest of a batch it errs in widely is, and so is a driver that
// miscompiles. The self-test compares the first and the last nonce of every
// device whole; the plot checker samples finished files.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gpu/gpu_internal.h"
#include "plot/nonce.h"
#include "platform/sys_linux.h"

enum : uint64_t { NONCE_BYTES = 262144, SCOOPS = 4096, SCOOP_BYTES = 64 };

int64_t gpu_first_differing_scoop(const uint8_t* area, const uint8_t* gpu_bytes, uint64_t stride)
{
  for (uint64_t s = 0; s < SCOOPS; s++)
    if (memcmp(area + s * SCOOP_BYTES, gpu_bytes + s * stride, SCOOP_BYTES) != 0)
      return (int64_t)s;
  return -1;
}

bool gpu_check_nonce(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t g)
{
  uint8_t* cpu = static_cast<uint8_t*>(malloc(NONCE_BYTES));
  uint8_t* read = static_cast<uint8_t*>(malloc(NONCE_BYTES));
  bool same = false;
  if (!cpu || !read) {
    sys_log("Failed to allocate memory for the GPU nonce check.\n");
  } else {
    // Scoop s of work item g lies at s x 64 x N + g x 64: one 64-byte
    // column of the scoop-major buffer, read as a rectangle.
    const size_t origin[3] = {(size_t)(g * SCOOP_BYTES), 0, 0}, host[3] = {0, 0, 0};
    const size_t region[3] = {SCOOP_BYTES, SCOOPS, 1};
    const cl_int err = g_opencl_api.clEnqueueReadBufferRect(
        gpu->queue[i], gpu->scoopbuf[i], CL_TRUE, origin, host, region,
        (size_t)(gpu->nonces_per_device * SCOOP_BYTES), 0, SCOOP_BYTES, 0, read, 0, nullptr,
        nullptr);
    if (err != CL_SUCCESS) {
      gpu_report_cl_error(gpu, i, "clEnqueueReadBufferRect", err);
    } else {
      plot_nonce(account, first + g, cpu, true);
      const int64_t s = gpu_first_differing_scoop(cpu, read, SCOOP_BYTES);
      same = s < 0;
      if (!same) {
        char text[160];
        snprintf(text, sizeof text, "GPU %d computed nonce %llu wrong (scoop %lld differs from the CPU's)",
                 gpu->device_index[i], (unsigned long long)(first + g), (long long)s);
        sys_log("%s\n", text);
        gpu_note_failure(text);
      }
    }
  }
  free(read);
  free(cpu);
  return same;
}

static double thread_seconds()
{
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

// CPU nanoseconds one compared nonce took last time (0 = not measured yet).
static std::atomic<uint64_t> g_nonce_cost_ns{0};

bool gpu_compare_init(gpu_compare_s* c)
{
  memset(c, 0, sizeof *c);
  c->areas = static_cast<uint8_t*>(malloc(GPU_COMPARE_MAX * NONCE_BYTES));
  return c->areas != nullptr;
}

void gpu_compare_free(gpu_compare_s* c)
{
  free(c->areas);
  c->areas = nullptr;
}

int gpu_compare_count(const gpu_s* gpu, uint64_t n_i)
{
  int k = GPU_COMPARE_MIN;
  const double cost = (double)g_nonce_cost_ns.load() * 1e-9;
  if (gpu->device_rate > 0 && cost > 0) {
    const double slice_seconds = (double)n_i * 60.0 / gpu->device_rate;
    const double fit = GPU_COMPARE_SHARE * slice_seconds / cost;
    k = fit >= GPU_COMPARE_MAX ? GPU_COMPARE_MAX : std::max((int)fit, (int)GPU_COMPARE_MIN);
  }
  return (uint64_t)k > n_i ? (int)n_i : k;
}

void gpu_compare_places(uint64_t first, uint64_t n_i, int k, uint64_t* at)
{
  for (int j = 0; j < k; j++) {
    const uint64_t lo = n_i * (uint64_t)j / (uint64_t)k, hi = n_i * (uint64_t)(j + 1) / (uint64_t)k;
    uint64_t x = (first + (uint64_t)j * 0xD1B54A32D192ED03ull) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    at[j] = lo + x % (hi - lo);
  }
}

void gpu_compare_prepare(gpu_compare_s* c, const gpu_s* gpu, uint64_t account, uint64_t first,
                         uint64_t n_i)
{
  c->account = account;
  c->count = n_i ? gpu_compare_count(gpu, n_i) : 0;
  gpu_compare_places(first, n_i, c->count, c->at);
  const double t0 = thread_seconds();
  for (int j = 0; j < c->count; j++) {
    c->nonce[j] = first + c->at[j];
    plot_nonce(account, c->nonce[j], c->areas + (uint64_t)j * NONCE_BYTES, true);
  }
  if (c->count > 0)
    g_nonce_cost_ns.store((uint64_t)((thread_seconds() - t0) * 1e9 / c->count));
}

bool gpu_compare_check(const gpu_compare_s* c, int device, const uint8_t* gpu_bytes,
                       uint64_t stride)
{
  for (int j = 0; j < c->count; j++) {
    const int64_t s = gpu_first_differing_scoop(c->areas + (uint64_t)j * NONCE_BYTES,
                                                gpu_bytes + c->at[j] * SCOOP_BYTES, stride);
    if (s >= 0) {
      char text[160];
      snprintf(text, sizeof text, "GPU %d computed nonce %llu wrong (scoop %lld differs from the CPU's)", device,
               (unsigned long long)c->nonce[j], (long long)s);
      sys_log("%s; nothing of this batch is written\n", text);
      gpu_note_failure(text);
      return false;
    }
  }
  return true;
}
