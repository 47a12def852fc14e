// Every work-group size a user may set in config.yml plots on the GPU path
// through the whole plan (benchmark, batch sizing, self-test, dispatch), on
// the CPU-type OpenCL device the test suite admits (PoCL): the file equals
// the CPU's nonces byte for byte and the known answer of its first nonce.
// Sizes outside the range are refused when config.yml is read (app tests).
#include <atomic>
#include <string>

#include "app/settings.h"
#include "gpu/gpu.h"
#include "gpu/opencl.h"
#include "tests/engine/engine_fixture.h"
#include "tests/engine/pocl_device.h"
#include "tests/plot/known_answers.h"

namespace {

const uint64_t MiB = 1ull << 20;

// The plan first benchmarks the device on 1024 nonces, which on PoCL takes
// longer than the whole file. Its hash_down launches run no rounds (its
// bytes are then wrong, so it gives no rate, which the plan takes); every
// later set hashes for real.
decltype(g_opencl_api.clSetKernelArg) real_set_arg = nullptr;

std::string name_of(cl_kernel k) {
  char name[32] = {};
  g_opencl_api.clGetKernelInfo(k, CL_KERNEL_FUNCTION_NAME, sizeof name - 1, name, nullptr);
  return name;
}

// hash_down's round count (argument 3) is 0 while the benchmark's set is the
// only one that has launched: the first set's kernels are told apart by
// their program, which the setup kernel shares. Once that program is
// released a later set's program may get its address, so from then on
// every set hashes for real.
std::atomic<cl_program> benchmark_program{nullptr};
std::atomic<bool> benchmark_released{false};
decltype(g_opencl_api.clReleaseProgram) real_release_program = nullptr;
cl_int CL_API_CALL release_program_noted(cl_program prog) {
  if (prog == benchmark_program.load()) benchmark_released = true;
  return real_release_program(prog);
}
cl_int CL_API_CALL set_arg_short_benchmark(cl_kernel k, cl_uint index, size_t size, const void* value) {
  if (index == 3 && size == sizeof(cl_uint) && !benchmark_released && name_of(k) == "hash_down") {
    cl_program prog = nullptr;
    g_opencl_api.clGetKernelInfo(k, CL_KERNEL_PROGRAM, sizeof prog, &prog, nullptr);
    cl_program none = nullptr;
    benchmark_program.compare_exchange_strong(none, prog);
    if (prog == benchmark_program.load()) {
      const cl_uint zero = 0;
      return real_set_arg(k, index, size, &zero);
    }
  }
  return real_set_arg(k, index, size, value);
}

struct work_group_case_s {
  int threads_per_group;
  uint64_t ram;
  int double_buffer;
};

std::string case_name(const testing::TestParamInfo<work_group_case_s>& info) {
  return "group_" + std::to_string(info.param.threads_per_group) + "_ram_" + std::to_string(info.param.ram / MiB) +
         "_MiB_" + (info.param.double_buffer ? "double" : "single");
}

class GpuWorkGroup : public testing::TestWithParam<work_group_case_s> {
 protected:
  temp_dir_s dir{"engine_gpu_group", true};
  dialog_log_s dialogs;
  plotter_s* p = nullptr;
  std::unique_ptr<drive_s> d;
  opencl_api_s saved{};

  void SetUp() override {
    if (!opencl_device_listed()) GTEST_SKIP() << "no OpenCL device (pocl-opencl-icd)";
    ASSERT_FALSE(dir.path.empty());
    saved = g_opencl_api;
    real_set_arg = saved.clSetKernelArg;
    benchmark_program = nullptr;
    benchmark_released = false;
    g_opencl_api.clSetKernelArg = set_arg_short_benchmark;
    real_release_program = saved.clReleaseProgram;
    g_opencl_api.clReleaseProgram = release_program_noted;
    dialogs.install();
    d = make_drive(dir.file("hdd"));
    p = plotter_create();
  }
  void TearDown() override {
    if (p) plotter_destroy(p);
    if (saved.clEnqueueNDRangeKernel) g_opencl_api = saved;
  }
};

}  // namespace

// Account 1337 from nonce 0: the first nonce is one of the known answers.
TEST_P(GpuWorkGroup, plots_byte_exact) {
  const work_group_case_s c = GetParam();
  const uint64_t account = 1337, start = 0, nonces = 256;
  p->settings.threads_per_group = c.threads_per_group;
  plotter_set_ram_double_buffer(p, c.double_buffer);
  plotter_add_job(p, job_create(d.get(), nullptr, account, start, nonces));
  testing::internal::CaptureStderr();
  plotter_start(p, 1, 0, 1, c.ram);
  const bool started = p->thread.joinable();
  const bool finished = started && run_until_finished(p);
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(finished) << log;
  EXPECT_TRUE(dialogs.get().empty()) << log;
  EXPECT_NE(p->gpu_mask, 0u) << "fell back to the CPU:\n" << log;
  EXPECT_EQ(log.find("0 nonces per batch"), std::string::npos) << log;

  const std::string path = std::string(d->path) + "/1337_0_256";
  std::vector<uint64_t> all;
  for (uint64_t k = 0; k < nonces; k++) all.push_back(k);
  expect_plot_nonces(path, account, start, nonces, all);

  // The first nonce against the shared known answer, read back from the
  // file in PoC2 order.
  std::vector<uint8_t> first(NONCE);
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  for (uint64_t s = 0; s < 4096; s++)
    ASSERT_EQ(pread(fd, first.data() + s * 64, 64, (off_t)(s * nonces * 64)), 64);
  close(fd);
  bool found = false;
  for (const nonce_kat_s& k : load_nonce_kat())
    if (k.account_id == account && k.nonce == start) {
      found = true;
      EXPECT_EQ(scalar_digest_hex(first.data(), first.size()), k.poc2_digest);
    }
  EXPECT_TRUE(found) << "no known answer for account 1337, nonce 0";
}

// The sizes of the documented range, with RAM for one buffer of 256 nonces
// each side of double buffering (the least a run may be given), and one
// single buffer of 512 nonces, where groups of 96 and 16 KiB sectors make
// device batches of 480 and a buffer that ends in a partial one.
INSTANTIATE_TEST_SUITE_P(Sizes, GpuWorkGroup,
                         testing::Values(work_group_case_s{32, 128 * MiB, 1}, work_group_case_s{96, 128 * MiB, 1},
                                         work_group_case_s{256, 128 * MiB, 1}, work_group_case_s{512, 128 * MiB, 1},
                                         work_group_case_s{1000, 128 * MiB, 1}, work_group_case_s{1021, 128 * MiB, 1},
                                         work_group_case_s{1024, 128 * MiB, 1}, work_group_case_s{96, 128 * MiB, 0}),
                         case_name);
