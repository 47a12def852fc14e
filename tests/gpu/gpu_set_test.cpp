// Building and releasing a set of devices, and the self-test, on PoCL.
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "engine/plotter.h"
#include "tests/gpu/gpu_test_support.h"

namespace {

// Every OpenCL object the set creates, counted in and out.
std::mutex g_mutex;
std::map<void*, int> g_live;
int g_bad_releases;
int g_sources;
std::map<std::string, int> g_launches;
std::set<size_t> g_local_sizes;
bool g_wrong_account;  // setup is given another account: a miscompile's bytes
opencl_api_s g_real;

void track(void* obj)
{
  std::lock_guard<std::mutex> lock(g_mutex);
  if (obj)
    g_live[obj]++;
}
cl_int untrack(void* obj)
{
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_live.find(obj);
  if (it == g_live.end()) {
    g_bad_releases++;
    return CL_INVALID_VALUE;
  }
  if (--it->second == 0)
    g_live.erase(it);
  return CL_SUCCESS;
}

cl_context CL_API_CALL t_context(const cl_context_properties* p, cl_uint n, const cl_device_id* d,
                                 void(CL_CALLBACK* f)(const char*, const void*, size_t, void*),
                                 void* u, cl_int* e)
{
  cl_context c = g_real.clCreateContext(p, n, d, f, u, e);
  track(c);
  return c;
}
cl_command_queue CL_API_CALL t_queue(cl_context c, cl_device_id d, cl_command_queue_properties p,
                                     cl_int* e)
{
  cl_command_queue q = g_real.clCreateCommandQueue(c, d, p, e);
  track(q);
  return q;
}
cl_mem CL_API_CALL t_buffer(cl_context c, cl_mem_flags f, size_t s, void* h, cl_int* e)
{
  cl_mem m = g_real.clCreateBuffer(c, f, s, h, e);
  track(m);
  return m;
}
// The second program of a run gets source that cannot build.
cl_program CL_API_CALL t_program(cl_context c, cl_uint n, const char** s, const size_t* l,
                                 cl_int* e)
{
  static const char* broken = "__kernel void setup( { this is not OpenCL C";
  const bool second = ++g_sources == 2;
  cl_program p = second ? g_real.clCreateProgramWithSource(c, 1, &broken, nullptr, e)
                        : g_real.clCreateProgramWithSource(c, n, s, l, e);
  track(p);
  return p;
}
cl_kernel CL_API_CALL t_kernel(cl_program p, const char* name, cl_int* e)
{
  cl_kernel k = g_real.clCreateKernel(p, name, e);
  track(k);
  return k;
}
cl_int CL_API_CALL t_release_context(cl_context c)
{
  return untrack(c) == CL_SUCCESS ? g_real.clReleaseContext(c) : CL_INVALID_CONTEXT;
}
cl_int CL_API_CALL t_release_queue(cl_command_queue q)
{
  return untrack(q) == CL_SUCCESS ? g_real.clReleaseCommandQueue(q) : CL_INVALID_COMMAND_QUEUE;
}
cl_int CL_API_CALL t_release_mem(cl_mem m)
{
  return untrack(m) == CL_SUCCESS ? g_real.clReleaseMemObject(m) : CL_INVALID_MEM_OBJECT;
}
cl_int CL_API_CALL t_release_program(cl_program p)
{
  return untrack(p) == CL_SUCCESS ? g_real.clReleaseProgram(p) : CL_INVALID_PROGRAM;
}
cl_int CL_API_CALL t_release_kernel(cl_kernel k)
{
  return untrack(k) == CL_SUCCESS ? g_real.clReleaseKernel(k) : CL_INVALID_KERNEL;
}
cl_int CL_API_CALL t_launch(cl_command_queue q, cl_kernel k, cl_uint dim, const size_t* off,
                            const size_t* global, const size_t* local, cl_uint nw,
                            const cl_event* wait, cl_event* ev)
{
  g_launches[kernel_name(k)]++;
  g_local_sizes.insert(local ? *local : 0);
  return g_real.clEnqueueNDRangeKernel(q, k, dim, off, global, local, nw, wait, ev);
}
cl_int CL_API_CALL t_set_arg(cl_kernel k, cl_uint index, size_t size, const void* value)
{
  if (g_wrong_account && index == 0 && size == 8 && kernel_name(k) == "setup") {
    const cl_ulong other = *static_cast<const cl_ulong*>(value) + 1;
    return g_real.clSetKernelArg(k, index, size, &other);
  }
  return g_real.clSetKernelArg(k, index, size, value);
}

void install_tracker()
{
  g_real = g_opencl_api;
  g_live.clear();
  g_bad_releases = 0;
  g_sources = 0;
  g_launches.clear();
  g_local_sizes.clear();
  g_wrong_account = false;
  g_opencl_api.clSetKernelArg = t_set_arg;
  g_opencl_api.clCreateContext = t_context;
  g_opencl_api.clCreateCommandQueue = t_queue;
  g_opencl_api.clCreateBuffer = t_buffer;
  g_opencl_api.clCreateProgramWithSource = t_program;
  g_opencl_api.clCreateKernel = t_kernel;
  g_opencl_api.clReleaseContext = t_release_context;
  g_opencl_api.clReleaseCommandQueue = t_release_queue;
  g_opencl_api.clReleaseMemObject = t_release_mem;
  g_opencl_api.clReleaseProgram = t_release_program;
  g_opencl_api.clReleaseKernel = t_release_kernel;
  g_opencl_api.clEnqueueNDRangeKernel = t_launch;
}

}  // namespace

// Two contexts on the one PoCL device stand for two GPUs; the program of
// one of them fails to build. That device is released at once and dropped
// with its log line; the other self-tests and plots bytes equal to the
// CPU's; gpu_destroy releases exactly what was created.
TEST(GpuSet, DeviceThatFailsToBuildIsDroppedAndTheOtherRuns)
{
  REQUIRE_POCL();
  for (int broken : {2, 1}) {  // the second device's program, then the first's
    SCOPED_TRACE(broken);
    opencl_table_guard guard;
    install_tracker();
    g_sources = broken == 1 ? 1 : 0;
    const int index[2] = {0, 0};
    testing::internal::CaptureStderr();
    gpu_s* gpu = gpu_create(2, index, 32, run_settings_s{});
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_NE(gpu, nullptr);
    EXPECT_EQ(gpu->count, 1);
    EXPECT_TRUE(gpu_device_ready(gpu, 0));
    EXPECT_FALSE(gpu_device_ready(gpu, 1));
    EXPECT_EQ(gpu->hashes_per_launch, 4);
    EXPECT_EQ(gpu_batch_nonces(gpu), 32u);
    EXPECT_EQ(gpu_bytes_allocated(gpu), 32u * (262160 + 262144));
    for (int i = 1; i < GPU_MAX_DEVICES; i++) {
      EXPECT_EQ(gpu->context[i], nullptr);
      EXPECT_EQ(gpu->kernel_final[i], nullptr);
    }
    EXPECT_NE(log.find("Error building OpenCL program:\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Dropping device 0 "), std::string::npos) << log;
    // One device: context, queue, 2 buffers, program, 3 kernels.
    EXPECT_EQ(g_live.size(), 8u);
    EXPECT_STREQ(gpu_driver_version(gpu), g_gpu_devices[0].driver_version);
    EXPECT_EQ(gpu_global_mem(gpu), g_gpu_devices[0].global_mem);

    double seconds = -1;
    EXPECT_TRUE(gpu_self_test(gpu, &seconds));
    EXPECT_GE(seconds, 0.0);
    EXPECT_EQ(g_launches,
              (std::map<std::string, int>{{"setup", 1}, {"hash_down", 2048}, {"final", 1}}));
    buffer_s* buffer = buffer_create(32);
    ASSERT_NE(buffer, nullptr);
    volatile bool stop = false;
    EXPECT_EQ(gpu_plot_buffer(gpu, 7, 100, buffer, &stop), 32u);
    EXPECT_EQ(memcmp(buffer->data, cpu_scoop_major(7, 100, 32, 32).data(), 32u * 262144), 0);
    buffer_destroy(buffer);

    gpu_destroy(gpu);
    EXPECT_TRUE(g_live.empty()) << g_live.size() << " objects left";
    EXPECT_EQ(g_bad_releases, 0);
  }
}

// When no device comes up, nothing is launched: the self-test fails and the
// benchmark reports no rate.
TEST(GpuSet, NoDeviceUpMeansNoSelfTestAndNoRate)
{
  REQUIRE_POCL();
  opencl_table_guard guard;
  install_tracker();
  const int index[1] = {0};
  g_sources = 1;  // this set's only program is the broken one
  gpu_s* gpu = gpu_create(1, index, 32, run_settings_s{});
  ASSERT_NE(gpu, nullptr);
  EXPECT_EQ(gpu->count, 0);
  double seconds = 0;
  EXPECT_FALSE(gpu_self_test(gpu, &seconds));
  gpu_destroy(gpu);
  g_sources = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(gpu_benchmark(1, index, run_settings_s{}), 0.0);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("no rate"), std::string::npos) << log;
  EXPECT_TRUE(g_launches.empty());
  EXPECT_TRUE(g_live.empty());
}

// The self-test launches with the work-group size the batches will use, so
// a size the batches cannot run with fails the test, not the first batch.
TEST(GpuSet, SelfTestUsesTheRunsWorkGroupSize)
{
  REQUIRE_POCL();
  opencl_table_guard guard;
  install_tracker();
  run_settings_s settings;
  settings.threads_per_group = 64;
  const int index[1] = {0};
  // A batch of 96 holds no whole groups of 64: the set runs the largest
  // size below that divides it, and so does its self-test.
  const struct {
    uint64_t nonces, group;
  } cases[] = {{96, 48}, {64, 64}};
  for (const auto& c : cases) {
    g_sources = 2;  // no broken program here
    g_local_sizes.clear();
    gpu_s* gpu = gpu_create(1, index, c.nonces, settings);
    ASSERT_NE(gpu, nullptr);
    EXPECT_EQ(gpu->work_group, c.group);
    double seconds = 0;
    EXPECT_TRUE(gpu_self_test(gpu, &seconds)) << c.nonces;
    gpu_destroy(gpu);
    EXPECT_EQ(g_local_sizes, (std::set<size_t>{c.group})) << c.nonces;
  }
}

// A device that computes wrong bytes (here: another account's nonces) fails
// the self-test, which compares whole nonces with the CPU's.
TEST(GpuSet, SelfTestComparesBytesWithTheCpu)
{
  REQUIRE_POCL();
  opencl_table_guard guard;
  install_tracker();
  g_wrong_account = true;
  const int index[1] = {0};
  gpu_s* gpu = gpu_create(1, index, 32, run_settings_s{});
  ASSERT_NE(gpu, nullptr);
  double seconds = 0;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(gpu_self_test(gpu, &seconds));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("computed nonce 0 wrong (scoop 0 differs"), std::string::npos) << log;
  gpu_destroy(gpu);
}
