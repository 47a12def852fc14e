// The GPU check: runs the program's own GPU code on every OpenCL device of
// this machine. For each device it computes batches of several sizes and
// compares whole nonces of them with the CPU's, then times the dispatch path
// at each work-group size. Exit status 0 when every check passed, 1 when one
// failed, 77 when there is no device to check.
//
//   vg_gpu_check [--small] [--cpu-devices]
//
// --small checks small batches only (for OpenCL on the processor, in CI),
// timed on batches of 64 nonces instead of batches that fill the device;
// --cpu-devices admits CPU-type OpenCL devices as if they were GPUs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/plotter.h"
#include "gpu/gpu_internal.h"
#include "platform/sys_linux.h"

namespace {

enum : int { EXIT_NO_DEVICE = 77 };
enum : uint64_t { GEN_BYTES = 262160, NONCE_GPU_BYTES = 524304, MIB = 1 << 20 };

struct check_plan_s {
  std::vector<uint64_t> sizes;        // nonces per device of the compared batches
  std::vector<uint64_t> work_groups;  // work-group sizes timed
  uint64_t timed_nonces;              // the fewest nonces per timed batch, a multiple of every group
  bool fill_device;                   // timed batches grow to fill every compute unit
};

check_plan_s check_plan(bool small)
{
  if (small)
    return {{32, 64}, {32, 64}, 64, false};
  // 16352 and 16416 lie on both sides of 2^32 bytes of scoops per device,
  // 65536 well beyond it.
  return {{32, 16352, 16416, 65536}, {32, 64, 128, 256, 512, 1024}, 8192, true};
}

bool fits(const gpu_device_s& d, uint64_t nonces)
{
  return nonces * GEN_BYTES <= d.max_alloc && nonces * NONCE_GPU_BYTES <= d.global_mem;
}

// The nonces of a batch of n compared with the CPU besides the first and
// the last (which the self-test compares): the middle and those on both
// sides of the 2^32-byte boundary of the scoop buffer.
std::vector<uint64_t> extra_nonces(uint64_t n)
{
  std::vector<uint64_t> out = {n / 2};
  for (uint64_t g : {16383ull, 16384ull})
    if (g < n)
      out.push_back(g);
  return out;
}

// A batch of n nonces with work groups of 32, its nonces compared whole.
bool check_size(int index, uint64_t n)
{
  const gpu_device_s& d = g_gpu_devices[index];
  if (!fits(d, n)) {
    printf("  %6llu nonces: skipped (needs %llu MiB in one allocation; the device allows %llu MiB)\n",
           (unsigned long long)n, (unsigned long long)(n * GEN_BYTES / MIB),
           (unsigned long long)(d.max_alloc / MIB));
    return true;
  }
  run_settings_s settings;
  settings.threads_per_group = 32;
  gpu_s* gpu = gpu_create(1, &index, n, settings);
  double seconds = 0;
  bool ok = gpu && gpu->count == 1 && gpu_self_test(gpu, &seconds);
  int compared = ok ? 2 : 0;
  for (uint64_t g : extra_nonces(n)) {
    if (!ok)
      break;
    ok = gpu_check_nonce(gpu, 0, GPU_TEST_ACCOUNT, GPU_TEST_FIRST_NONCE, g);
    compared++;
  }
  gpu_destroy(gpu);
  if (ok)
    printf("  %6llu nonces: %d whole nonces equal the CPU's (batch %.2f s)\n",
           (unsigned long long)n, compared, seconds);
  else
    printf("  %6llu nonces: FAILED (see the log above)\n", (unsigned long long)n);
  return ok;
}

// Nonces per minute through the whole dispatch path (launches, the CPU
// comparison, the copy into RAM) at each work-group size. A size over the
// limit of the device or of its kernels runs clamped, as the program runs
// it; each line says the size that ran.
bool time_work_groups(int index, const check_plan_s& plan)
{
  const gpu_device_s& d = g_gpu_devices[index];
  // A batch that fills the device: at the largest size timed, two work
  // groups for each compute unit (fewer groups than units leave units idle
  // and time the card, not the size), within what the device holds.
  cl_uint units = 0;
  if (g_opencl_api.clGetDeviceInfo)
    g_opencl_api.clGetDeviceInfo(d.device, CL_DEVICE_MAX_COMPUTE_UNITS, sizeof units, &units, nullptr);
  const uint64_t largest = plan.work_groups.back();
  uint64_t n = plan.timed_nonces;
  if (plan.fill_device)
    n = std::max<uint64_t>(n, (uint64_t)units * 2 * largest);
  while (n > largest && !fits(d, n))
    n = n / 2 - (n / 2) % largest;
  gpu_s* gpu = gpu_create(1, &index, n, run_settings_s{});
  buffer_s* buffer = buffer_create(n);
  bool ok = gpu && gpu->count == 1 && buffer;
  printf("  timing batches of %llu nonces on %u compute units (the kernels allow work groups up to %llu):\n",
         (unsigned long long)n, units, (unsigned long long)(ok ? gpu->group_limit : 0));
  for (uint64_t group : plan.work_groups) {
    if (!ok)
      break;
    const uint64_t ran = gpu_choose_work_group(gpu, group);
    char what[96];
    if (ran == group)
      snprintf(what, sizeof what, "ran at %llu", (unsigned long long)ran);
    else
      snprintf(what, sizeof what, "over the %s limit, ran clamped at %llu",
               group > d.max_work_group ? "device's" : "kernels'", (unsigned long long)ran);
    volatile bool stop = false;
    const double t0 = sys_time();
    ok = gpu_plot_buffer(gpu, GPU_TEST_ACCOUNT, 0, buffer, &stop) == n;
    const double t1 = sys_time();
    if (ok)
      printf("    work-group %4llu: %s: %12.0f nonces/min\n", (unsigned long long)group, what,
             sys_seconds_between(t0, t1) > 0 ? (double)n * 60.0 / sys_seconds_between(t0, t1) : 0.0);
    else
      printf("    work-group %4llu: %s: FAILED (see the log above)\n", (unsigned long long)group, what);
  }
  if (!gpu || !buffer || (gpu && gpu->count != 1))
    printf("    could not set up the timed batch\n");
  buffer_destroy(buffer);
  gpu_destroy(gpu);
  return ok;
}

}  // namespace

int main(int argc, char** argv)
{
  bool small = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--small") == 0) {
      small = true;
    } else if (strcmp(argv[i], "--cpu-devices") == 0) {
      setenv("VG_TEST_OPENCL_CPU", "1", 1);
    } else {
      fprintf(stderr, "usage: %s [--small] [--cpu-devices]\n", argv[0]);
      return 1;
    }
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const int count = gpu_list_devices(GPU_MAX_DEVICES, 64, nullptr);
  if (count <= 0) {
    printf("No OpenCL GPU found.\n");
    return EXIT_NO_DEVICE;
  }
  const check_plan_s plan = check_plan(small);
  int failed = 0;
  for (int i = 0; i < count; i++) {
    const gpu_device_s& d = g_gpu_devices[i];
    printf("GPU %d: %s, driver %s, %llu MiB, largest allocation %llu MiB, work groups up to %llu\n",
           i, d.name, d.driver_version, (unsigned long long)(d.global_mem / MIB),
           (unsigned long long)(d.max_alloc / MIB), (unsigned long long)d.max_work_group);
    for (uint64_t n : plan.sizes)
      failed += !check_size(i, n);
    failed += !time_work_groups(i, plan);
  }
  printf("%d check%s failed\n", failed, failed == 1 ? "" : "s");
  return failed == 0 ? 0 : 1;
}
