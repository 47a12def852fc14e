// The device listing and presets, over a scripted OpenCL table (several
// platforms and devices) and over the real driver.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/gpu/gpu_test_support.h"

namespace {

struct fake_device_s {
  cl_device_type type;
  std::string name;
};

// Platform p has devices[p]; platform 2's device query fails. Platform 3
// reports more devices than the listing has room for.
const std::vector<std::vector<fake_device_s>> fake_platforms = {
    {{CL_DEVICE_TYPE_CPU, "cpu0"},
     {CL_DEVICE_TYPE_GPU, "GeForce GTX 1080 Ti"},
     {CL_DEVICE_TYPE_GPU, "GeForce GTX 1080"}},
    {{CL_DEVICE_TYPE_GPU, "Other GPU"}, {CL_DEVICE_TYPE_GPU, std::string(70, 'x')}},
    {},
    std::vector<fake_device_s>(40, {CL_DEVICE_TYPE_GPU, "Many"}),
};
const cl_uint kReportedPlatforms = 6;
int queried_beyond_room;

cl_platform_id platform_handle(size_t p) { return reinterpret_cast<cl_platform_id>(0x1000 + p); }
cl_device_id device_handle(size_t p, size_t d)
{
  return reinterpret_cast<cl_device_id>(0x100000 + p * 0x100 + d);
}
const fake_device_s& device_of(cl_device_id id)
{
  const uintptr_t v = reinterpret_cast<uintptr_t>(id) - 0x100000;
  return fake_platforms[v / 0x100][v % 0x100];
}

cl_int CL_API_CALL fake_platform_ids(cl_uint n, cl_platform_id* out, cl_uint* count)
{
  for (cl_uint p = 0; p < n && p < kReportedPlatforms; p++)
    out[p] = platform_handle(p);
  *count = kReportedPlatforms;
  return CL_SUCCESS;
}

cl_int CL_API_CALL fake_platform_info(cl_platform_id p, cl_platform_info, size_t size, void* out,
                                      size_t*)
{
  snprintf(static_cast<char*>(out), size, "P%d", (int)(reinterpret_cast<uintptr_t>(p) - 0x1000));
  return CL_SUCCESS;
}

cl_int CL_API_CALL fake_device_ids(cl_platform_id pid, cl_device_type, cl_uint n, cl_device_id* out,
                                   cl_uint* count)
{
  const size_t p = reinterpret_cast<uintptr_t>(pid) - 0x1000;
  if (p >= fake_platforms.size()) {
    queried_beyond_room++;
    return CL_INVALID_PLATFORM;
  }
  if (fake_platforms[p].empty())
    return CL_DEVICE_NOT_FOUND;
  for (cl_uint d = 0; d < n && d < fake_platforms[p].size(); d++)
    out[d] = device_handle(p, d);
  *count = (cl_uint)fake_platforms[p].size();
  return CL_SUCCESS;
}

cl_int CL_API_CALL fake_device_info(cl_device_id id, cl_device_info what, size_t size, void* out,
                                    size_t*)
{
  const fake_device_s& dev = device_of(id);
  uint64_t v = 0;
  switch (what) {
    case CL_DEVICE_TYPE: v = dev.type; break;
    case CL_DEVICE_GLOBAL_MEM_SIZE: v = 4ull << 30; break;
    case CL_DEVICE_LOCAL_MEM_SIZE: v = 48 << 10; break;
    case CL_DEVICE_MAX_WORK_GROUP_SIZE: v = 1024; break;
    case CL_DEVICE_MAX_MEM_ALLOC_SIZE: v = 1ull << 30; break;
    case CL_DEVICE_NAME:
      // Like a driver: a text that does not fit is an error, nothing written.
      if (dev.name.size() + 1 > size)
        return CL_INVALID_VALUE;
      memcpy(out, dev.name.c_str(), dev.name.size() + 1);
      return CL_SUCCESS;
    default:
      snprintf(static_cast<char*>(out), size, "v1");
      return CL_SUCCESS;
  }
  if (size != 8)
    return CL_INVALID_VALUE;
  memcpy(out, &v, 8);
  return CL_SUCCESS;
}

struct listing_s {
  int kept;
  std::vector<gpu_device_s> devices;
  std::vector<std::string> names;
  std::string log;
};

listing_s list_fake(int max, bool admit_cpu)
{
  opencl_load();
  opencl_table_guard guard;
  g_opencl_api.clGetPlatformIDs = fake_platform_ids;
  g_opencl_api.clGetPlatformInfo = fake_platform_info;
  g_opencl_api.clGetDeviceIDs = fake_device_ids;
  g_opencl_api.clGetDeviceInfo = fake_device_info;
  if (admit_cpu)
    setenv("VG_TEST_OPENCL_CPU", "1", 1);
  else
    unsetenv("VG_TEST_OPENCL_CPU");
  char names[8][64] = {};
  char* ptrs[8];
  for (int i = 0; i < 8; i++)
    ptrs[i] = names[i];
  const std::vector<gpu_device_s> saved = g_gpu_devices;
  g_gpu_devices.clear();
  queried_beyond_room = 0;
  testing::internal::CaptureStderr();
  listing_s r;
  r.kept = gpu_list_devices(max, 64, ptrs);
  r.log = testing::internal::GetCapturedStderr();
  r.devices = g_gpu_devices;
  for (int i = 0; i < r.kept; i++)
    r.names.push_back(names[i]);
  g_gpu_devices = saved;
  unsetenv("VG_TEST_OPENCL_CPU");
  return r;
}

}  // namespace

TEST(GpuDevices, ListingKeepsGpusInOrderUpToMax)
{
  if (opencl_load() != 0)
    GTEST_SKIP() << "the listing needs a loadable OpenCL library";
  const listing_s two = list_fake(2, false);
  EXPECT_EQ(two.kept, 2);
  EXPECT_EQ(two.names, (std::vector<std::string>{"GeForce GTX 1080 Ti", "GeForce GTX 1080"}));
  ASSERT_EQ(two.devices.size(), 2u);
  EXPECT_EQ(two.devices[0].platform, platform_handle(0));
  EXPECT_EQ(two.devices[1].device, device_handle(0, 2));
  EXPECT_EQ(two.devices[0].max_alloc, 1ull << 30);
  EXPECT_EQ(two.devices[0].global_mem, 4ull << 30);
  EXPECT_EQ(two.devices[0].max_work_group, 1024u);
  // Everything is logged, the CPU and the devices past max included, with
  // numbers counted within each platform.
  for (const char* line : {"  found 6 platforms\n", "0: P0 / P0 / P0\n", "  0: CPU, cpu0, v1, v1\n",
                           "  2: GPU, GeForce GTX 1080, v1, v1\n", "1: P1 / P1 / P1\n",
                           "  0: GPU, Other GPU, v1, v1\n", "2: P2 / P2 / P2\n",
                           "  31: GPU, Many, v1, v1\n",
                           "     Mem global 4096 MB, local 48 KB, Max work group 1024, "
                           "Max alloc 1024 MB\n"})
    EXPECT_NE(two.log.find(line), std::string::npos) << line;
  EXPECT_EQ(two.log.find("  32: GPU"), std::string::npos) << "read past the 32 device entries";
  EXPECT_EQ(queried_beyond_room, 0) << "read past the 4 platform entries";

  // Numbering continues across platforms; a name too long for 64 bytes is
  // empty.
  const listing_s all = list_fake(8, false);
  EXPECT_EQ(all.kept, 8);
  EXPECT_EQ(all.names[2], "Other GPU");
  EXPECT_EQ(all.devices[2].platform, platform_handle(1));
  EXPECT_EQ(all.names[3], "");
  EXPECT_EQ(all.names[4], "Many");

  // The test-only switch admits the CPU device in its place in the order.
  const listing_s with_cpu = list_fake(8, true);
  EXPECT_EQ(with_cpu.names[0], "cpu0");
  EXPECT_EQ(with_cpu.names[1], "GeForce GTX 1080 Ti");
}

// Whole model names, also behind the vendor word current drivers put first.
TEST(GpuDevices, PresetsMatchWholeNamesWithOrWithoutTheVendor)
{
  const std::vector<gpu_device_s> saved = g_gpu_devices;
  g_gpu_devices.clear();
  const struct {
    const char* name;
    uint32_t nonces;
  } cases[] = {{"GeForce GTX 1080 Ti", 3584},        {"GeForce GTX 1080", 2560},
               {"GeForce GTX 745", 384},            {"GeForce GTX 960M", 640},
               {"GeForce GTX 108", 0},              {"geforce gtx 1080", 0},
               {"GeForce GTX 1080 Ti ", 0},         {"", 0},
               {"NVIDIA GeForce GTX 1060", 1280},   {"NVIDIA GeForce GTX 1080 Ti", 3584},
               {"NVIDIA GeForce GTX 1080", 2560},   {"NVIDIA GeForce GTX 960", 1024},
               {"NVIDIA  GeForce GTX 1060", 0},     {"NVIDIA Corp GeForce GTX 1060", 0},
               {"NVIDIAGeForce GTX 1060", 0},       {" GeForce GTX 1060", 0},
               {"NVIDIA GeForce GTX 1060 6GB", 0},  {"NVIDIA GeForce RTX 4090", 0}};
  for (const auto& c : cases) {
    gpu_device_s d = {};
    snprintf(d.name, sizeof d.name, "%s", c.name);
    d.max_alloc = 7;
    d.global_mem = 9;
    d.max_work_group = 256;
    g_gpu_devices.push_back(d);
  }
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++)
    EXPECT_EQ(gpu_device_preset_nonces((int)i), cases[i].nonces) << cases[i].name;
  EXPECT_EQ(gpu_device_max_alloc(1), 7u);
  EXPECT_EQ(gpu_device_global_mem(1), 9u);
  EXPECT_EQ(gpu_device_max_work_group(1), 256);
  // A number outside the list is reported, not read.
  EXPECT_EQ(gpu_device_preset_nonces(99), 0u);
  EXPECT_EQ(gpu_device_max_alloc(-1), 0u);
  for (const gpu_preset_s& p : gpu_presets)
    EXPECT_EQ(p.nonces % 64, 0u) << p.name;
  g_gpu_devices = saved;
}

TEST(GpuDevices, RealDriverCpuDeviceOnlyWithTheTestSwitch)
{
  if (opencl_load() != 0)
    GTEST_SKIP() << "no OpenCL library";
  const std::vector<gpu_device_s> saved = g_gpu_devices;
  g_gpu_devices.clear();
  unsetenv("VG_TEST_OPENCL_CPU");
  testing::internal::CaptureStderr();
  const int without = gpu_list_devices(8, 64, nullptr);
  const std::string log = testing::internal::GetCapturedStderr();
  setenv("VG_TEST_OPENCL_CPU", "1", 1);
  const int with = gpu_list_devices(8, 64, nullptr);
  unsetenv("VG_TEST_OPENCL_CPU");
  g_gpu_devices = saved;
  if (log.find(": CPU, ") == std::string::npos || log.find(": GPU, ") != std::string::npos)
    GTEST_SKIP() << "this machine's OpenCL is not a CPU-only driver";
  EXPECT_EQ(without, 0);
  EXPECT_GE(with, 1);
}
