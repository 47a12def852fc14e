// The launch geometry of a device set: the work-group size every launch
// takes, the nonces a device batch may hold, and the hash_down rounds of one
// launch. The plan, the benchmark, the self-test, the dispatch and the GPU
// check all take these numbers from here, so that a size one of them
// accepts is a size every other one can run.
#include <algorithm>
#include <cmath>
#include <atomic>

#include "gpu/gpu_internal.h"
#include "platform/sys_linux.h"

enum : uint64_t { GEN_BYTES_PER_NONCE = 262160, GPU_BYTES_PER_NONCE = 524304 };

uint64_t gpu_group_within(uint64_t wanted, uint64_t limit)
{
  if (wanted == 0 || limit == 0 || wanted <= limit)
    return wanted;
  for (uint64_t d = limit; d > 1; d--)
    if (wanted % d == 0)
      return d;
  return 1;
}

static uint64_t group_setting(int threads_per_group)
{
  return threads_per_group > 0 ? (uint64_t)threads_per_group : 32;
}

// The kernels' CL_KERNEL_WORK_GROUP_SIZE of each listed device, as the
// sets made so far found it (0 = not known yet). The benchmark's set comes
// before the plan sizes its batches, so the plan rounds by the size that
// will run, not by one the kernels then refuse.
static std::atomic<uint64_t> g_kernel_group_limit[32];

void gpu_note_kernel_group_limit(int index, uint64_t limit)
{
  if (index >= 0 && index < 32 && limit != 0)
    g_kernel_group_limit[index].store(limit);
}

// The smallest work-group limit of the listed devices: their
// CL_DEVICE_MAX_WORK_GROUP_SIZE and their kernels' limit where known; 0
// when none is known.
static uint64_t devices_group_limit(int count, const int* device_index)
{
  uint64_t limit = 0;
  for (int k = 0; k < count; k++) {
    const int i = device_index[k];
    if (i < 0 || (size_t)i >= g_gpu_devices.size())
      continue;
    for (uint64_t m : {g_gpu_devices[i].max_work_group,
                       i < 32 ? g_kernel_group_limit[i].load() : (uint64_t)0})
      if (m != 0 && (limit == 0 || m < limit))
        limit = m;
  }
  return limit;
}

uint64_t gpu_devices_work_group(int count, const int* device_index, int threads_per_group)
{
  const uint64_t limit = devices_group_limit(count, device_index);
  const uint64_t wanted = group_setting(threads_per_group);
  return limit != 0 && wanted > limit ? limit : wanted;
}

// What was last said about a clamp, so that each is said once although
// every set of a run (benchmark, attempts, recovery) comes to it again.
static std::atomic<uint64_t> g_clamp_logged{0};

uint64_t gpu_choose_work_group(gpu_s* gpu, uint64_t wanted)
{
  // Within the devices' and the kernels' limits, and within one device
  // batch. The plan made the batch a whole number of the size this gives;
  // a batch made otherwise (the benchmark's, before any kernel's limit was
  // known) runs the largest size within that divides it.
  const uint64_t devices = devices_group_limit(gpu->count, gpu->device_index);
  uint64_t limit = devices;
  if (gpu->group_limit != 0 && (limit == 0 || gpu->group_limit < limit))
    limit = gpu->group_limit;
  uint64_t group = wanted == 0 ? 1 : wanted;
  if (limit != 0 && group > limit)
    group = limit;
  const uint64_t n = gpu->nonces_per_device;
  const bool batch_bound = n != 0 && group > n;
  if (batch_bound)
    group = n;
  if (n != 0 && n % group != 0)
    group = gpu_group_within(n, group);
  gpu->work_group = group;
  const uint64_t said = wanted << 32 | group;
  if (group != wanted && g_clamp_logged.exchange(said) != said) {
    if (batch_bound)
      sys_log("Work-group size %llu is more than a batch of %llu nonces per GPU; "
              "launching work groups of %llu\n",
              (unsigned long long)wanted, (unsigned long long)n, (unsigned long long)group);
    else
      sys_log("Work-group size %llu is over the limit of this GPU's kernels (%llu); "
              "launching work groups of %llu\n",
              (unsigned long long)wanted, (unsigned long long)limit, (unsigned long long)group);
  }
  return group;
}

uint64_t gpu_set_default_work_group(gpu_s* gpu)
{
  return gpu_choose_work_group(gpu, group_setting(gpu->threads_per_group));
}

// The smallest CL_KERNEL_WORK_GROUP_SIZE of device i's kernels and its
// CL_DEVICE_MAX_WORK_GROUP_SIZE; 0 when none is known. A kernel's limit
// depends on the registers the compiler gave it and can lie far below the
// device's.
uint64_t gpu_device_group_limit(const gpu_s* gpu, int i)
{
  const opencl_api_s& cl = g_opencl_api;
  uint64_t limit = 0;
  if (gpu->device_index[i] >= 0 && (size_t)gpu->device_index[i] < g_gpu_devices.size())
    limit = g_gpu_devices[gpu->device_index[i]].max_work_group;
  if (!cl.clGetKernelWorkGroupInfo)
    return limit;
  for (cl_kernel k : {gpu->kernel_setup[i], gpu->kernel_hash_down[i], gpu->kernel_final[i]}) {
    size_t v = 0;
    if (k && cl.clGetKernelWorkGroupInfo(k, gpu->device[i], CL_KERNEL_WORK_GROUP_SIZE, sizeof v,
                                         &v, nullptr) == CL_SUCCESS &&
        v != 0 && (limit == 0 || v < limit))
      limit = v;
  }
  return limit;
}

uint64_t gpu_devices_batch_limit(int count, const int* device_index)
{
  uint64_t n = UINT64_MAX;
  for (int k = 0; k < count; k++) {
    const int i = device_index[k];
    if (i < 0 || (size_t)i >= g_gpu_devices.size())
      continue;
    const gpu_device_s& d = g_gpu_devices[i];
    n = std::min({n, d.max_alloc / GEN_BYTES_PER_NONCE,
                  (d.global_mem - d.global_mem / 8) / GPU_BYTES_PER_NONCE});
  }
  return n == UINT64_MAX ? 0 : n;
}

void gpu_set_rate(gpu_s* gpu, double nonces_per_minute, int count)
{
  if (gpu && count > 0 && nonces_per_minute > 0)
    gpu->device_rate = nonces_per_minute / count;
}

int gpu_launch_hashes(gpu_s* gpu)
{
  // The value the set was made with: a handful of rounds, far below a
  // second on any device that can plot at all.
  const int own = gpu->hashes_per_launch > 0 ? gpu->hashes_per_launch : GPU_DEFAULT_HASHES_PER_LAUNCH;
  int h = gpu->hash_per_dispatch;
  if (h == 0)
    return gpu->hashes_per_launch = own;
  if (h < 1 || h > GPU_MAX_HASHES_PER_LAUNCH) {
    sys_log("Ignoring hash_per_dispatch %d (allowed: 1 to %d); using %d\n", h,
            GPU_MAX_HASHES_PER_LAUNCH, own);
    return gpu->hashes_per_launch = own;
  }
  // One launch does h of the 8192 chain steps of every nonce of the
  // device batch: that share of the batch's time on the measured rate.
  // Unmeasured (the benchmark's own batch), no more than a new set does.
  int bound = GPU_DEFAULT_HASHES_PER_LAUNCH;
  if (gpu->device_rate > 0 && gpu->nonces_per_device > 0) {
    const double batch_seconds = (double)gpu->nonces_per_device * 60.0 / gpu->device_rate;
    const double rounds = GPU_LAUNCH_SECONDS * GPU_CHAIN_STEPS / batch_seconds;
    bound = rounds >= GPU_MAX_HASHES_PER_LAUNCH ? GPU_MAX_HASHES_PER_LAUNCH
                                                : std::max(1, (int)rounds);
  }
  if (h > bound) {
    static std::atomic<uint64_t> logged{0};
    const uint64_t said = (uint64_t)h << 32 | (uint64_t)bound;
    if (logged.exchange(said) != said)
      sys_log("Limiting hash_per_dispatch %d to %d: %s\n", h, bound,
              gpu->device_rate > 0 ? "one launch must stay well under a second on this GPU"
                                   : "the GPU's rate is not measured yet");
    h = bound;
  }
  return gpu->hashes_per_launch = h;
}

uint64_t gpu_final_items(const gpu_s* gpu, uint64_t n, uint64_t local)
{
  if (local == 0 || n <= local || !(gpu->device_rate > 0))
    return n;
  // The chain hashes some 8192 x 4096 bytes of a nonce, final its 262160.
  const double final_seconds = (double)n * 60.0 / gpu->device_rate / 128.0;
  if (final_seconds <= GPU_LAUNCH_SECONDS)
    return n;
  const double parts = std::ceil(final_seconds / GPU_LAUNCH_SECONDS);
  const uint64_t groups = (n + local - 1) / local;
  uint64_t per = (uint64_t)std::ceil((double)groups / parts);
  return std::max<uint64_t>(1, per) * local;
}
