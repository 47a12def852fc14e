// Batch dispatch into RAM buffers on PoCL: bytes equal to the CPU's, the
// progress it publishes, the comparison with the CPU before anything is
// written, flushes, mapped buffers on error paths, the lifetime of a batch's
// callback context and the hashes-per-launch setting.
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>

#include "engine/plotter.h"
#include "tests/gpu/gpu_test_support.h"

namespace {

opencl_api_s g_real;

// Launches per kernel name and the start byte of the last hash_down.
std::mutex g_mutex;
std::map<std::string, int> g_launches;
cl_uint g_last_start;
size_t g_last_global;
// Set while hash_down launches should do no rounds (the benchmark test
// needs the dispatch path at 1024 nonces, not the hashing).
bool g_skip_rounds;
// Reads of a slice into the buffer to fail at the n-th (1-based; 0 =
// none), and the same for the waits; maps (the dispatch makes none), reads
// and setup launches counted, and the setups at the first wait.
int g_fail_read_at, g_reads, g_maps, g_fail_wait_at, g_waits, g_setups_at_first_wait;
// Queues flushed so far, and how many had been flushed at the first wait.
std::vector<cl_command_queue> g_flushed;
size_t g_flushed_at_first_wait;
// A setup kernel that is given another account: the wrong bytes of a
// miscompiling driver, on one device.
cl_kernel g_wrong_setup;

cl_int CL_API_CALL t_launch(cl_command_queue q, cl_kernel k, cl_uint dim, const size_t* off,
                            const size_t* global, const size_t* local, cl_uint nw,
                            const cl_event* wait, cl_event* ev)
{
  const std::string name = kernel_name(k);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_launches[name]++;
    g_last_global = *global;
  }
  if (name == "hash_down" && g_skip_rounds) {
    const cl_uint zero = 0;
    g_real.clSetKernelArg(k, 3, sizeof zero, &zero);
  }
  return g_real.clEnqueueNDRangeKernel(q, k, dim, off, global, local, nw, wait, ev);
}

cl_int CL_API_CALL t_set_start(cl_kernel k, cl_uint index, size_t size, const void* value)
{
  if (k == g_wrong_setup && index == 0) {
    const cl_ulong other = *static_cast<const cl_ulong*>(value) ^ 1;
    return g_real.clSetKernelArg(k, index, size, &other);
  }
  if (index == 2 && size == 4 && kernel_name(k) == "hash_down")
    g_last_start = *static_cast<const cl_uint*>(value);
  return g_real.clSetKernelArg(k, index, size, value);
}

void* CL_API_CALL t_map(cl_command_queue q, cl_mem m, cl_bool block, cl_map_flags f, size_t off,
                        size_t size, cl_uint nw, const cl_event* wait, cl_event* ev, cl_int* err)
{
  g_maps++;
  return g_real.clEnqueueMapBuffer(q, m, block, f, off, size, nw, wait, ev, err);
}

cl_int CL_API_CALL t_read(cl_command_queue q, cl_mem m, cl_bool block, const size_t* buffer_origin,
                          const size_t* host_origin, const size_t* region, size_t buffer_row, size_t buffer_slice,
                          size_t host_row, size_t host_slice, void* p, cl_uint nw, const cl_event* wait,
                          cl_event* ev)
{
  if (++g_reads == g_fail_read_at)
    return CL_OUT_OF_RESOURCES;
  return g_real.clEnqueueReadBufferRect(q, m, block, buffer_origin, host_origin, region, buffer_row, buffer_slice,
                                        host_row, host_slice, p, nw, wait, ev);
}

cl_int CL_API_CALL t_flush(cl_command_queue q)
{
  g_flushed.push_back(q);
  return g_real.clFlush(q);
}

cl_int CL_API_CALL t_wait(cl_uint n, const cl_event* events)
{
  if (++g_waits == 1) {
    g_flushed_at_first_wait = g_flushed.size();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_setups_at_first_wait = g_launches["setup"];
  }
  if (g_waits == g_fail_wait_at)
    return CL_INVALID_EVENT;
  return g_real.clWaitForEvents(n, events);
}

// Progress callbacks pass through a trampoline that records what each one
// published and delays a few of them, the way a busy runtime may deliver a
// callback after the launch's completion is already visible.
struct trampoline_s {
  void(CL_CALLBACK* fn)(cl_event, cl_int, void*);
  void* data;
  bool slow;
};
std::atomic<int> g_registered, g_late;
std::atomic<bool> g_returned;
std::mutex g_seen_mutex;
std::vector<uint64_t> g_seen;
buffer_s* g_watched;

void CL_CALLBACK trampoline(cl_event e, cl_int status, void* p)
{
  trampoline_s* t = static_cast<trampoline_s*>(p);
  if (t->slow)
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  if (g_returned.load())
    g_late++;
  t->fn(e, status, t->data);
  if (g_watched) {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    g_seen.push_back(g_watched->progress.load());
  }
  delete t;
}

cl_int CL_API_CALL t_callback(cl_event e, cl_int type, void(CL_CALLBACK* fn)(cl_event, cl_int, void*),
                              void* data)
{
  const int n = ++g_registered;
  trampoline_s* t = new trampoline_s{fn, data, n % 1024 == 0 || n % 2048 == 2047};
  const cl_int r = g_real.clSetEventCallback(e, type, trampoline, t);
  if (r != CL_SUCCESS)
    delete t;
  return r;
}

class GpuDispatch : public ::testing::Test {
 protected:
  static gpu_s* one;  // one device, 32 nonces
  static gpu_s* two;  // two contexts on the one device, 32 nonces each
  static void SetUpTestSuite()
  {
    if (!pocl_available())
      return;
    const int index[2] = {0, 0};
    one = gpu_create(1, index, 32, run_settings_s{});
    two = gpu_create(2, index, 32, run_settings_s{});
  }
  static void TearDownTestSuite()
  {
    gpu_destroy(one);
    gpu_destroy(two);
    one = two = nullptr;
  }

  opencl_table_guard guard;
  run_settings_s settings;  // for the benchmark's own set
  volatile bool stop = false;

  void SetUp() override
  {
    REQUIRE_POCL();
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    ASSERT_NE(two->kernel_final[1], nullptr);
    g_real = g_opencl_api;
    g_opencl_api.clEnqueueNDRangeKernel = t_launch;
    g_opencl_api.clSetKernelArg = t_set_start;
    g_opencl_api.clEnqueueMapBuffer = t_map;
    g_opencl_api.clEnqueueReadBufferRect = t_read;
    g_opencl_api.clSetEventCallback = t_callback;
    g_opencl_api.clFlush = t_flush;
    g_opencl_api.clWaitForEvents = t_wait;
    g_launches.clear();
    g_skip_rounds = false;
    g_fail_read_at = g_reads = g_maps = g_fail_wait_at = g_waits = g_setups_at_first_wait = 0;
    g_flushed.clear();
    g_flushed_at_first_wait = 0;
    g_wrong_setup = nullptr;
    g_registered = 0;
    g_late = 0;
    g_returned = false;
    g_seen.clear();
    g_watched = nullptr;
    one->hashes_per_launch = two->hashes_per_launch = 4;
    one->hash_per_dispatch = two->hash_per_dispatch = 0;
    // Groups of 8 let PoCL spread a 32-nonce slice over several cores.
    one->threads_per_group = two->threads_per_group = settings.threads_per_group = 8;
    gpu_choose_work_group(one, 8);
    gpu_choose_work_group(two, 8);
  }
  // Runs one dispatch, recording the callbacks' progress on the way.
  uint64_t plot(gpu_s* gpu, uint64_t account, uint64_t start, buffer_s* buffer)
  {
    g_watched = buffer;
    const uint64_t r = gpu_plot_buffer(gpu, account, start, buffer, &stop);
    g_returned = true;
    return r;
  }
  static bool equals_cpu(const buffer_s* b, uint64_t account, uint64_t start)
  {
    const std::vector<uint8_t> cpu = cpu_scoop_major(account, start, b->capacity, b->capacity);
    return memcmp(cpu.data(), b->data, cpu.size()) == 0;
  }
};
gpu_s* GpuDispatch::one = nullptr;
gpu_s* GpuDispatch::two = nullptr;

struct buffer_guard {
  buffer_s* b;
  explicit buffer_guard(uint64_t n) : b(buffer_create(n)) {}
  ~buffer_guard() { buffer_destroy(b); }
};

}  // namespace

// Two device batches on one device; the progress rises through the
// callbacks and ends at the capacity; no callback outlives the call. The
// second batch is given to the device before the first is waited for, so
// that it computes while the first is read back and checked; the scoops go
// straight into the buffer, nothing is mapped.
TEST_F(GpuDispatch, OneDeviceEqualsCpuWithRisingProgress)
{
  buffer_guard buf(64);
  ASSERT_NE(buf.b, nullptr);
  EXPECT_EQ(plot(one, 1337, 1000, buf.b), 64u);
  EXPECT_EQ(g_setups_at_first_wait, 2);
  EXPECT_EQ(g_reads, 2);
  EXPECT_EQ(g_maps, 0);
  EXPECT_EQ(buf.b->progress.load(), 64u);
  EXPECT_TRUE(equals_cpu(buf.b, 1337, 1000));
  EXPECT_EQ(g_launches["hash_down"], 2 * 2048);
  EXPECT_EQ(g_registered.load(), 2 * 2048);
  EXPECT_EQ(g_late.load(), 0) << "a callback ran after the dispatch returned";
  ASSERT_EQ(g_seen.size(), 2u * 2048);
  uint64_t inside = 0;
  for (uint64_t p : g_seen) {
    EXPECT_LE(p, 64u);
    inside += p > 0 && p < 64;
  }
  EXPECT_GT(inside, 0u) << "no progress published during the batches";
}

// Capacity 80 over two devices of 32: the second batch's first slice is
// cut to 16 nonces, computed as two work groups of 8, and its second slice
// lies wholly outside the buffer, so that device is not launched at all.
TEST_F(GpuDispatch, TwoDevicesWithPartialLastBatch)
{
  buffer_guard buf(80);
  ASSERT_NE(buf.b, nullptr);
  EXPECT_EQ(plot(two, 77, (1ull << 40) + 5, buf.b), 80u);
  EXPECT_EQ(buf.b->progress.load(), 80u);
  EXPECT_TRUE(equals_cpu(buf.b, 77, (1ull << 40) + 5));
  EXPECT_EQ(g_launches["setup"], 3);
  EXPECT_EQ(g_last_global, 16u);
  EXPECT_EQ(g_late.load(), 0);
  // Both devices were handed their work before anything was waited for,
  // and the first device its part of the second batch as well.
  EXPECT_EQ(g_flushed_at_first_wait, 3u);
  ASSERT_GE(g_flushed.size(), 3u);
  EXPECT_EQ(g_flushed[0], two->queue[0]);
  EXPECT_EQ(g_flushed[1], two->queue[1]);
  EXPECT_EQ(g_flushed[2], two->queue[0]);
  EXPECT_EQ(g_maps, 0);
}

// On a device measured so slow that final over the whole batch would take
// longer than one launch may, final runs in parts of whole work groups (a
// global offset each), and the bytes stay the CPU's.
TEST_F(GpuDispatch, FinalRunsInShortPartsOnASlowDevice)
{
  buffer_guard buf(32);
  ASSERT_NE(buf.b, nullptr);
  one->device_rate = 40;  // 32 nonces in 48 s: final alone about 0.4 s
  EXPECT_EQ(gpu_final_items(one, 32, 8), 8u);
  const uint64_t r = plot(one, 99, 12345, buf.b);
  one->device_rate = 0;
  EXPECT_EQ(r, 32u);
  EXPECT_EQ(g_launches["final"], 4);
  EXPECT_TRUE(equals_cpu(buf.b, 99, 12345));
  EXPECT_EQ(gpu_final_items(one, 32, 8), 32u) << "no rate: one launch";
}

TEST_F(GpuDispatch, ThreeHashesPerLaunch)
{
  one->hash_per_dispatch = 3;
  buffer_guard buf(32);
  ASSERT_NE(buf.b, nullptr);
  EXPECT_EQ(plot(one, 5, 0, buf.b), 32u);
  EXPECT_EQ(one->hashes_per_launch, 3);
  EXPECT_EQ(g_launches["hash_down"], 2731);
  EXPECT_EQ(g_last_start, 64u);  // the last launch has 2 rounds left
  EXPECT_TRUE(equals_cpu(buf.b, 5, 0));
  // The callbacks count 3 for the short launch, so a published value may
  // pass the batch's end slightly before the end is set.
  for (uint64_t p : g_seen)
    EXPECT_LE(p, 33u);
}

TEST_F(GpuDispatch, NothingIsLaunchedForNoCapacityOrAStop)
{
  buffer_guard empty(0);
  EXPECT_EQ(plot(one, 1, 0, empty.b), 0u);
  buffer_guard buf(32);
  stop = true;
  EXPECT_EQ(plot(one, 1, 0, buf.b), 0u);
  EXPECT_TRUE(g_launches.empty());
}

// One device computes another account's nonces: its batch fails the
// comparison with the CPU, so the fill reports 0 and nothing of it can be
// written.
TEST_F(GpuDispatch, WrongBytesOfADeviceAreCaughtBeforeTheyAreWritten)
{
  struct wrong_case_s {
    gpu_s* gpu;
    int device;
  };
  const wrong_case_s cases[] = {{one, 0}, {two, 1}};
  for (const wrong_case_s& c : cases) {
    g_wrong_setup = c.gpu->kernel_setup[c.device];
    buffer_guard buf(64);
    testing::internal::CaptureStderr();
    const uint64_t r = gpu_plot_buffer(c.gpu, 42, 0, buf.b, &stop);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, 0u) << c.device;
    EXPECT_NE(log.find("nothing of this batch is written"), std::string::npos) << log;
  }
}

// An error after the launches (a read or a wait fails) returns 0 only once
// every callback registered on the batch's context has run, told with the
// error's name, the call and the device.
TEST_F(GpuDispatch, ErrorReturnWaitsForTheBatchCallbacks)
{
  const struct {
    int fail_read_at, fail_wait_at;
    const char* message;
  } cases[] = {{2, 0, "OpenCL error CL_OUT_OF_RESOURCES (-5) from clEnqueueReadBufferRect on GPU 0 ("},  // the second device's read
               {0, 1, "OpenCL error CL_INVALID_EVENT (-58) from clWaitForEvents on GPU 0 ("}};  // the first device's wait
  for (const auto& c : cases) {
    g_fail_read_at = c.fail_read_at;
    g_fail_wait_at = c.fail_wait_at;
    g_reads = g_waits = g_registered = 0;
    buffer_guard buf(64);
    testing::internal::CaptureStderr();
    EXPECT_EQ(plot(two, 1, 0, buf.b), 0u);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_EQ(g_registered.load(), 2 * 2048);
    EXPECT_EQ(g_late.load(), 0) << "a callback ran after the dispatch returned";
    EXPECT_GE(g_reads, 1);
    g_returned = false;
  }
}

// The setting is read unchecked from config.yml: values the launch loop
// cannot step with are ignored and the set keeps its own; values that would
// make one launch take a good part of a second on the set's measured rate
// are limited (and while no rate is known, kept to a new set's 4).
TEST(GpuDispatchSetting, HashPerDispatchWithinRangeAndLaunchTime)
{
  buffer_guard empty(0);
  volatile bool stop = false;
  const struct {
    uint64_t nonces;
    double device_rate;  // nonces per minute; 0 = not measured
    int setting, expected;
    const char* log;  // what the log says; null = nothing
  } cases[] = {
      {32, 0, -1, 4, "Ignoring hash_per_dispatch -1"},
      {32, 0, INT_MIN, 4, "Ignoring hash_per_dispatch"},
      {32, 0, 134217728, 4, "Ignoring hash_per_dispatch 134217728"},
      {32, 0, 134217727, 4, "Limiting hash_per_dispatch 134217727 to 4"},
      {32, 0, 3, 3, nullptr},
      {32, 0, 0, 4, nullptr},
      // A batch of 10 s: one launch may do 0.1 s of it, 81 of 8192 rounds.
      {32, 192, 1000, 81, "Limiting hash_per_dispatch 1000 to 81"},
      {32, 192, 50, 50, nullptr},
      // 3584 nonces at 40000 per minute (5.4 s a batch): at most 152.
      {3584, 40000, 134217727, 152, "Limiting hash_per_dispatch 134217727 to 152"},
      // A batch so slow that even one round per launch is the most.
      {16384, 60, 2, 1, "Limiting hash_per_dispatch 2 to 1"},
  };
  for (const auto& c : cases) {
    gpu_s gpu = {};
    gpu.count = 1;
    gpu.nonces_per_device = c.nonces;
    gpu.hashes_per_launch = 4;
    gpu.device_rate = c.device_rate;
    gpu.hash_per_dispatch = c.setting;
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpu_plot_buffer(&gpu, 1, 0, empty.b, &stop), 0u);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(gpu.hashes_per_launch, c.expected) << c.setting;
    if (c.log)
      EXPECT_NE(log.find(c.log), std::string::npos) << c.setting << ": " << log;
    else
      EXPECT_EQ(log.find("hash_per_dispatch"), std::string::npos) << c.setting << ": " << log;
  }
}

// PoCL's device stands in for a GPU here; as_real_gpu makes the benchmark
// treat it as a real one for the length of a test.
struct as_real_gpu {
  bool saved = g_gpu_devices[0].stand_in;
  as_real_gpu() { g_gpu_devices[0].stand_in = false; }
  ~as_real_gpu() { g_gpu_devices[0].stand_in = saved; }
};

// Without a preset the benchmark runs 1024 nonces per device of a real GPU
// through the whole dispatch path (with empty hash_down launches, to keep it
// short). Those bytes are wrong, so the fill fails and the benchmark gives
// no rate instead of a very high one.
TEST_F(GpuDispatch, FailedBenchmarkGivesNoRate)
{
  ASSERT_EQ(gpu_device_preset_nonces(0), 0u);
  as_real_gpu real;
  g_skip_rounds = true;
  settings.threads_per_group = 128;  // fewer, larger groups: launch overhead dominates here
  const int index[1] = {0};
  testing::internal::CaptureStderr();
  const double rate = gpu_benchmark(1, index, settings);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rate, 0.0);
  EXPECT_NE(log.find("GPU benchmark failed; no rate is known.\n"), std::string::npos) << log;
  EXPECT_EQ(g_launches["setup"], 1);
  EXPECT_EQ(g_launches["hash_down"], 2048);
  EXPECT_EQ(g_reads, 1);
  EXPECT_EQ(g_last_global, 1024u);
}

// A CPU device standing in for a GPU in the test suite hashes a quarter of
// that, in whole work groups, and still gives a rate from correct bytes.
TEST_F(GpuDispatch, StandInDeviceBenchmarksAShortBatch)
{
  ASSERT_TRUE(g_gpu_devices[0].stand_in);
  settings.threads_per_group = 96;
  const int index[1] = {0};
  testing::internal::CaptureStderr();
  const double rate = gpu_benchmark(1, index, settings);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_GT(rate, 0.0) << log;
  EXPECT_EQ(g_last_global, 288u);  // 256 rounded up to whole groups of 96
}

// A device that allows 256 MiB in one allocation (1023 nonces of
// generation area; the 1024 of a device without a preset would need 16 KiB
// more): the benchmark runs as many whole work groups as fit and gives a
// rate. The driver refuses larger buffers as a real one does.
cl_mem CL_API_CALL t_limited_buffer(cl_context c, cl_mem_flags f, size_t size, void* host, cl_int* err)
{
  if (size > (256u << 20)) {
    *err = CL_INVALID_BUFFER_SIZE;
    return nullptr;
  }
  return g_real.clCreateBuffer(c, f, size, host, err);
}

TEST_F(GpuDispatch, BenchmarkWithinA256MiBAllocationLimitGivesARate)
{
  ASSERT_EQ(gpu_device_preset_nonces(0), 0u);
  as_real_gpu real;
  const uint64_t saved = g_gpu_devices[0].max_alloc;
  g_gpu_devices[0].max_alloc = 256u << 20;
  g_opencl_api.clCreateBuffer = t_limited_buffer;
  settings.threads_per_group = 32;
  const int index[1] = {0};
  testing::internal::CaptureStderr();
  const double rate = gpu_benchmark(1, index, settings);
  const std::string log = testing::internal::GetCapturedStderr();
  g_gpu_devices[0].max_alloc = saved;
  EXPECT_GT(rate, 0.0) << log;
  EXPECT_EQ(g_last_global, 992u);
  EXPECT_EQ(log.find("Failed to allocate"), std::string::npos) << log;
}

// Sets that cannot take a batch launch nothing and end at once: no device,
// or no nonces (which would never advance through the buffer).
TEST(GpuDispatchSetting, SetWithoutDevicesOrNoncesLaunchesNothing)
{
  buffer_guard buf(32);
  volatile bool stop = false;
  const struct {
    int count;
    uint64_t nonces;
  } cases[] = {{0, 32}, {1, 0}, {1, 32}};  // the last: a device without its objects
  for (const auto& c : cases) {
    gpu_s gpu = {};
    gpu.count = c.count;
    gpu.nonces_per_device = c.nonces;
    gpu.hashes_per_launch = 4;
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpu_plot_buffer(&gpu, 1, 0, buf.b, &stop), 0u);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("nothing is launched"), std::string::npos) << log;
  }
}

// A callback the dispatcher stopped waiting for must touch nothing but its
// context (the buffer may be gone), and the last such callback frees it.
TEST(GpuDispatchSetting, LateCallbacksLeaveTheBufferAlone)
{
  buffer_guard buf(64);
  gpu_batch_context* live = new gpu_batch_context;
  live->buffer = buf.b;
  live->base = 0;
  live->hashes = 4;
  live->devices = 1;
  live->nonces = 4096;
  gpu_event_progress(nullptr, CL_COMPLETE, live);
  EXPECT_EQ(buf.b->progress.load(), 4u * 4096 / 8192);
  EXPECT_EQ(live->callbacks_run, 1u);
  delete live;

  gpu_batch_context* abandoned = new gpu_batch_context;
  abandoned->buffer = nullptr;  // freed: any touch crashes
  abandoned->hashes = abandoned->devices = abandoned->nonces = 1;
  abandoned->registered = 2;
  abandoned->abandoned = true;
  gpu_event_progress(nullptr, CL_COMPLETE, abandoned);
  EXPECT_EQ(abandoned->callbacks_run, 1u);
  gpu_event_progress(nullptr, CL_COMPLETE, abandoned);  // the last one frees it (ASan sees)
}
