// The process-wide list of OpenCL GPUs and the batch-size presets of known
// models.
#include <cstdlib>
#include <cstring>

#include "gpu/gpu.h"
#include "platform/sys_linux.h"
#include "platform/util.h"

std::vector<gpu_device_s> g_gpu_devices;

const gpu_preset_s gpu_presets[GPU_PRESET_COUNT] = {
    {"GeForce GTX 745", 384},     {"GeForce GTX 750 Ti", 640},
    {"GeForce GTX 760", 1152},    {"GeForce GTX 760 Ti", 1344},
    {"GeForce GTX 770", 1536},    {"GeForce GTX 780", 2304},
    {"GeForce GTX 780 Ti", 2880}, {"GeForce GTX 950", 768},
    {"GeForce GTX 960", 1024},    {"GeForce GTX 960M", 640},
    {"GeForce GTX 970", 1664},    {"GeForce GTX 980", 2048},
    {"GeForce GTX 980 Ti", 2816}, {"GeForce GTX 1050", 640},
    {"GeForce GTX 1050 Ti", 768}, {"GeForce GTX 1060", 1280},
    {"GeForce GTX 1070", 1920},   {"GeForce GTX 1070 Ti", 2432},
    {"GeForce GTX 1080", 2560},   {"GeForce GTX 1080 Ti", 3584},
};

enum { MAX_PLATFORMS = 4, MAX_DEVICES_PER_PLATFORM = 32, INFO_TEXT = 64 };

// Testing aid: the test suite runs the OpenCL path on PoCL, whose device is
// of CPU type. With VG_TEST_OPENCL_CPU=1 in the environment such devices are
// listed as if they were GPUs; without it only GPU-type devices are kept.
static bool admit_cpu_devices()
{
  const char* v = getenv("VG_TEST_OPENCL_CPU");
  return v && strcmp(v, "1") == 0;
}

static void query_platform_text(cl_platform_id p, cl_platform_info what, char* out)
{
  memset(out, 0, INFO_TEXT);
  g_opencl_api.clGetPlatformInfo(p, what, INFO_TEXT, out, nullptr);
  out[INFO_TEXT - 1] = 0;
}

static void query_device_text(cl_device_id d, cl_device_info what, char* out)
{
  memset(out, 0, INFO_TEXT);
  g_opencl_api.clGetDeviceInfo(d, what, INFO_TEXT, out, nullptr);
  out[INFO_TEXT - 1] = 0;
}

static uint64_t query_device_u64(cl_device_id d, cl_device_info what)
{
  // size_t and cl_ulong answers are both 8 bytes on this platform.
  uint64_t v = 0;
  g_opencl_api.clGetDeviceInfo(d, what, sizeof v, &v, nullptr);
  return v;
}

int gpu_list_devices(int max, int name_size, char** names)
{
  if (opencl_load() != 0 || !g_opencl_api.clGetPlatformIDs)
    return 0;
  cl_platform_id platforms[MAX_PLATFORMS] = {};
  cl_uint platform_count = 0;
  cl_int err = g_opencl_api.clGetPlatformIDs(MAX_PLATFORMS, platforms, &platform_count);
  sys_log("  found %d platforms\n", (int)platform_count);
  util_assert(err == CL_SUCCESS, false, "gpu", 163);
  if ((int)platform_count <= 0)
    return 0;
  // The count reports every platform, also those the array had no room for.
  if (platform_count > MAX_PLATFORMS)
    platform_count = MAX_PLATFORMS;
  const bool admit_cpu = admit_cpu_devices();
  int kept = 0;
  for (cl_uint p = 0; p < platform_count; p++) {
    char pname[INFO_TEXT], vendor[INFO_TEXT], version[INFO_TEXT];
    query_platform_text(platforms[p], CL_PLATFORM_NAME, pname);
    query_platform_text(platforms[p], CL_PLATFORM_VENDOR, vendor);
    query_platform_text(platforms[p], CL_PLATFORM_VERSION, version);
    sys_log("%d: %s / %s / %s\n", (int)p, pname, vendor, version);

    cl_device_id devices[MAX_DEVICES_PER_PLATFORM] = {};
    cl_uint device_count = 0;
    err = g_opencl_api.clGetDeviceIDs(platforms[p], CL_DEVICE_TYPE_CPU | CL_DEVICE_TYPE_GPU,
                                      MAX_DEVICES_PER_PLATFORM, devices, &device_count);
    if (err != CL_SUCCESS || device_count == 0)
      continue;
    if (device_count > MAX_DEVICES_PER_PLATFORM)
      device_count = MAX_DEVICES_PER_PLATFORM;
    for (cl_uint d = 0; d < device_count; d++) {
      cl_device_id dev = devices[d];
      const uint64_t type = query_device_u64(dev, CL_DEVICE_TYPE);
      const uint64_t global_mem = query_device_u64(dev, CL_DEVICE_GLOBAL_MEM_SIZE);
      const uint64_t local_mem = query_device_u64(dev, CL_DEVICE_LOCAL_MEM_SIZE);
      const uint64_t max_work_group = query_device_u64(dev, CL_DEVICE_MAX_WORK_GROUP_SIZE);
      const uint64_t max_alloc = query_device_u64(dev, CL_DEVICE_MAX_MEM_ALLOC_SIZE);
      char name[INFO_TEXT], dev_version[INFO_TEXT], driver[INFO_TEXT];
      query_device_text(dev, CL_DEVICE_NAME, name);
      query_device_text(dev, CL_DEVICE_VERSION, dev_version);
      query_device_text(dev, CL_DRIVER_VERSION, driver);
      const bool is_gpu = (type & CL_DEVICE_TYPE_GPU) != 0;
      sys_log("  %d: %s, %s, %s, %s\n", (int)d, is_gpu ? "GPU" : "CPU", name, dev_version, driver);
      sys_log("     Mem global %llu MB, local %llu KB, Max work group %llu, Max alloc %llu MB\n",
              (unsigned long long)(global_mem >> 20), (unsigned long long)(local_mem >> 10),
              (unsigned long long)max_work_group, (unsigned long long)(max_alloc >> 20));
      if (kept >= max || !(is_gpu || (admit_cpu && (type & CL_DEVICE_TYPE_CPU))))
        continue;
      gpu_device_s entry = {};
      entry.device = dev;
      entry.platform = platforms[p];
      entry.max_work_group = max_work_group;
      entry.global_mem = global_mem;
      entry.max_alloc = max_alloc;
      entry.stand_in = !is_gpu;
      text_copy(entry.name, name, sizeof entry.name);
      text_copy(entry.driver_version, driver, sizeof entry.driver_version);
      g_gpu_devices.push_back(entry);
      if (names)
        text_copy(names[kept], name, (uint64_t)name_size);
      kept++;
    }
  }
  return kept;
}

static bool valid_index(int index, int line)
{
  const bool ok = index >= 0 && (size_t)index < g_gpu_devices.size();
  util_assert(ok, false, "gpu", line);
  return ok;
}

uint64_t gpu_device_max_alloc(int index)
{
  return valid_index(index, 594) ? g_gpu_devices[index].max_alloc : 0;
}

uint64_t gpu_device_global_mem(int index)
{
  return valid_index(index, 603) ? g_gpu_devices[index].global_mem : 0;
}

// A device name names a preset's model when it is the model's name, or the
// name after one word and a space: current drivers put the vendor first
// ("NVIDIA GeForce GTX 1060").
static bool names_model(const char* name, const char* model)
{
  if (strcmp(name, model) == 0)
    return true;
  const char* space = strchr(name, ' ');
  return space && space != name && strcmp(space + 1, model) == 0;
}

uint32_t gpu_device_preset_nonces(int index)
{
  if (!valid_index(index, 608))
    return 0;
  for (const gpu_preset_s& preset : gpu_presets)
    if (names_model(g_gpu_devices[index].name, preset.name))
      return preset.nonces;
  return 0;
}

int gpu_device_max_work_group(int index)
{
  return valid_index(index, 623) ? (int)g_gpu_devices[index].max_work_group : 0;
}
