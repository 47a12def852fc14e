// The OpenCL loader: which library it opens, what it resolves, error names.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "tests/gpu/gpu_test_support.h"

#include <CL/cl_ext.h>

static_assert(OPENCL_API_SLOTS == 88, "the table has one slot per entry point");

namespace {

// A private folder that holds only the links a test puts there.
struct lib_folder {
  std::string path;
  lib_folder()
  {
    char tmpl[] = "/tmp/vg_gpu_loader_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~lib_folder()
  {
    for (const char* n : {"libOpenCL.so", "libOpenCL.so.0", "libOpenCL.so.1", "libOpenCL.so.2"})
      unlink((path + "/" + n).c_str());
    rmdir(path.c_str());
  }
  void link(const char* name, const std::string& target)
  {
    ASSERT_EQ(symlink(target.c_str(), (path + "/" + name).c_str()), 0);
  }
};

// The file of the system's OpenCL library, as the dynamic loader found it.
std::string system_opencl_file()
{
  void* h = dlopen("libOpenCL.so.1", RTLD_NOW);
  if (!h)
    return "";
  Dl_info info = {};
  dladdr(dlsym(h, "clGetPlatformIDs"), &info);
  char resolved[PATH_MAX];
  std::string file = info.dli_fname && realpath(info.dli_fname, resolved) ? resolved : "";
  dlclose(h);
  return file;
}

int resolved_slots(const opencl_api_s& api)
{
  const void* const* slots = reinterpret_cast<const void* const*>(&api);
  int n = 0;
  for (int i = 0; i < OPENCL_API_SLOTS; i++)
    n += slots[i] != nullptr;
  return n;
}

}  // namespace

TEST(OpenclLoader, OnlySoOneIsOpenedOnTheThirdAttempt)
{
  const std::string file = system_opencl_file();
  if (file.empty())
    GTEST_SKIP() << "no system OpenCL library";
  lib_folder folder;
  folder.link("libOpenCL.so.1", file);
  int attempt = -7;
  void* h = opencl_open_library(folder.path.c_str(), &attempt);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(attempt, 2);
  opencl_api_s api = {};
  opencl_resolve(h, &api);
  EXPECT_NE(api.clGetPlatformIDs, nullptr);
  EXPECT_NE(api.clSetEventCallback, nullptr);
  dlclose(h);
}

TEST(OpenclLoader, LibraryWithoutGlSharingLeavesThoseSlotsNull)
{
  lib_folder folder;
  folder.link("libOpenCL.so.0", VG_FAKE_OPENCL);
  int attempt = -7;
  void* h = opencl_open_library(folder.path.c_str(), &attempt);
  ASSERT_NE(h, nullptr) << dlerror();
  EXPECT_EQ(attempt, 1);
  opencl_api_s api = {};
  opencl_resolve(h, &api);
  EXPECT_NE(api.clGetPlatformIDs, nullptr);
  EXPECT_NE(api.clFinish, nullptr);
  EXPECT_EQ(api.clCreateFromGLBuffer, nullptr);
  EXPECT_EQ(api.clGetGLContextInfoKHR, nullptr);
  EXPECT_EQ(resolved_slots(api), 2);

  // Through such a library the listing finds nothing and fails nothing.
  ASSERT_EQ(opencl_load(), opencl_load());
  opencl_table_guard guard;
  const std::vector<gpu_device_s> saved = g_gpu_devices;
  g_gpu_devices.clear();
  g_opencl_api = api;
  EXPECT_EQ(gpu_list_devices(8, 64, nullptr), 0);
  EXPECT_TRUE(g_gpu_devices.empty());
  g_gpu_devices = saved;
  dlclose(h);
}

TEST(OpenclLoader, NoLibraryOpensNothing)
{
  lib_folder folder;
  int attempt = -7;
  EXPECT_EQ(opencl_open_library(folder.path.c_str(), &attempt), nullptr);
  EXPECT_EQ(attempt, -1);
}

TEST(OpenclLoader, LoadResolvesTheEntryPointsUsedAndLoadsOnce)
{
  if (opencl_load() != 0)
    GTEST_SKIP() << "no system OpenCL library";
  const opencl_api_s first = g_opencl_api;
  EXPECT_EQ(opencl_load(), 0);
  EXPECT_EQ(memcmp(&first, &g_opencl_api, sizeof first), 0);
  const void* used[] = {
      (void*)g_opencl_api.clGetPlatformIDs,        (void*)g_opencl_api.clGetPlatformInfo,
      (void*)g_opencl_api.clGetDeviceIDs,          (void*)g_opencl_api.clGetDeviceInfo,
      (void*)g_opencl_api.clCreateContext,         (void*)g_opencl_api.clCreateCommandQueue,
      (void*)g_opencl_api.clCreateBuffer,          (void*)g_opencl_api.clCreateProgramWithSource,
      (void*)g_opencl_api.clBuildProgram,          (void*)g_opencl_api.clGetProgramBuildInfo,
      (void*)g_opencl_api.clCreateKernel,          (void*)g_opencl_api.clSetKernelArg,
      (void*)g_opencl_api.clEnqueueNDRangeKernel,  (void*)g_opencl_api.clSetEventCallback,
      (void*)g_opencl_api.clEnqueueMapBuffer,      (void*)g_opencl_api.clWaitForEvents,
      (void*)g_opencl_api.clEnqueueUnmapMemObject, (void*)g_opencl_api.clFinish,
      (void*)g_opencl_api.clReleaseEvent,          (void*)g_opencl_api.clReleaseMemObject,
      (void*)g_opencl_api.clReleaseCommandQueue,   (void*)g_opencl_api.clReleaseKernel,
      (void*)g_opencl_api.clReleaseProgram,        (void*)g_opencl_api.clReleaseContext};
  for (const void* p : used)
    EXPECT_NE(p, nullptr);
}

TEST(OpenclLoader, ErrorNames)
{
#define VG_NAME_CASE(code) {code, #code}
  const struct {
    int code;
    const char* name;
  } cases[] = {
      VG_NAME_CASE(CL_SUCCESS),
      VG_NAME_CASE(CL_DEVICE_NOT_FOUND),
      VG_NAME_CASE(CL_MEM_OBJECT_ALLOCATION_FAILURE),
      VG_NAME_CASE(CL_BUILD_PROGRAM_FAILURE),
      VG_NAME_CASE(CL_KERNEL_ARG_INFO_NOT_AVAILABLE),
      VG_NAME_CASE(CL_INVALID_VALUE),
      VG_NAME_CASE(CL_INVALID_COMMAND_QUEUE),
      VG_NAME_CASE(CL_INVALID_KERNEL_ARGS),
      VG_NAME_CASE(CL_INVALID_WORK_GROUP_SIZE),
      VG_NAME_CASE(CL_INVALID_GL_OBJECT),
      VG_NAME_CASE(CL_INVALID_GLOBAL_WORK_SIZE),
      VG_NAME_CASE(CL_INVALID_DEVICE_PARTITION_COUNT),
      VG_NAME_CASE(CL_PLATFORM_NOT_FOUND_KHR),
      {-20, ""}, {-29, ""}, {-69, "Unknown OpenCL error"}, {1, "Unknown OpenCL error"},
      {-1000, "Unknown OpenCL error"}, {INT_MIN, "Unknown OpenCL error"},
  };
#undef VG_NAME_CASE
  for (const auto& c : cases)
    EXPECT_STREQ(opencl_error_name(c.code), c.name) << c.code;
}
