// The three kernels on a real OpenCL device (PoCL in CI): the whole chain
// against the CPU's nonces and the known answers, the step rules of
// hash_down, and how gpu_create builds and gpu_destroy releases a set.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "gpu/gpu_internal.h"
#include "plot/nonce.h"
#include "plot/shabal.h"
#include "tests/gpu/gpu_test_support.h"

namespace {

const uint64_t kMaxItems = 96;
// Small work groups let PoCL spread even 32 work items over its cores.
const uint64_t kLocal = 4;

// One set with room for 96 nonces serves every launch of this file, so the
// program is built once per process.
class GpuKernels : public ::testing::Test {
 protected:
  static gpu_s* gpu;
  static void SetUpTestSuite()
  {
    if (!pocl_available())
      return;
    const int index[1] = {0};
    gpu = gpu_create(1, index, kMaxItems, run_settings_s{});
  }
  static void TearDownTestSuite()
  {
    gpu_destroy(gpu);
    gpu = nullptr;
  }
  void SetUp() override
  {
    REQUIRE_POCL();
    ASSERT_NE(gpu, nullptr);
    ASSERT_NE(gpu->kernel_final[0], nullptr) << "program did not build";
  }

  static void set_setup_args(cl_ulong account, cl_ulong base)
  {
    g_opencl_api.clSetKernelArg(gpu->kernel_setup[0], 0, 8, &account);
    g_opencl_api.clSetKernelArg(gpu->kernel_setup[0], 1, 8, &base);
    g_opencl_api.clSetKernelArg(gpu->kernel_setup[0], 2, sizeof(cl_mem), &gpu->genbuf[0]);
  }
  static void hash_down(uint64_t items, cl_uint start, cl_uint count)
  {
    cl_ulong base = 0;
    g_opencl_api.clSetKernelArg(gpu->kernel_hash_down[0], 0, 8, &base);
    g_opencl_api.clSetKernelArg(gpu->kernel_hash_down[0], 1, sizeof(cl_mem), &gpu->genbuf[0]);
    g_opencl_api.clSetKernelArg(gpu->kernel_hash_down[0], 2, 4, &start);
    g_opencl_api.clSetKernelArg(gpu->kernel_hash_down[0], 3, 4, &count);
    ASSERT_EQ(gpu_launch(gpu->queue[0], gpu->kernel_hash_down[0], items, kLocal, nullptr), CL_SUCCESS);
  }
  // setup, the chain at `per_launch` hashes per launch, final; returns the
  // scoop buffer of `items` work items.
  static std::vector<uint8_t> run_chain(uint64_t account, uint64_t base, uint64_t items,
                                        cl_uint per_launch)
  {
    set_setup_args(account, base);
    EXPECT_EQ(gpu_launch(gpu->queue[0], gpu->kernel_setup[0], items, kLocal, nullptr), CL_SUCCESS);
    for (int64_t s = 262144; s > 0; s -= 32 * (int64_t)per_launch)
      hash_down(items, (cl_uint)s, per_launch);
    g_opencl_api.clSetKernelArg(gpu->kernel_final[0], 0, sizeof(cl_mem), &gpu->genbuf[0]);
    g_opencl_api.clSetKernelArg(gpu->kernel_final[0], 1, sizeof(cl_mem), &gpu->scoopbuf[0]);
    const cl_uint all = (cl_uint)items;
    g_opencl_api.clSetKernelArg(gpu->kernel_final[0], 2, sizeof all, &all);
    EXPECT_EQ(gpu_launch(gpu->queue[0], gpu->kernel_final[0], items, kLocal, nullptr), CL_SUCCESS);
    std::vector<uint8_t> out(items * 262144);
    EXPECT_EQ(g_opencl_api.clEnqueueReadBuffer(gpu->queue[0], gpu->scoopbuf[0], CL_TRUE, 0,
                                               out.size(), out.data(), 0, nullptr, nullptr),
              CL_SUCCESS);
    return out;
  }

  // genbuf as `items` word-interleaved areas of 65540 words.
  static void write_areas(const std::vector<uint32_t>& area, uint64_t items)
  {
    std::vector<uint32_t> inter(area.size() * items);
    for (size_t w = 0; w < area.size(); w++)
      for (uint64_t g = 0; g < items; g++)
        inter[w * items + g] = area[w];
    ASSERT_EQ(g_opencl_api.clEnqueueWriteBuffer(gpu->queue[0], gpu->genbuf[0], CL_TRUE, 0,
                                                inter.size() * 4, inter.data(), 0, nullptr,
                                                nullptr),
              CL_SUCCESS);
  }
  static std::vector<uint32_t> read_area(uint64_t items, uint64_t g)
  {
    std::vector<uint32_t> inter(65540 * items), area(65540);
    EXPECT_EQ(g_opencl_api.clEnqueueReadBuffer(gpu->queue[0], gpu->genbuf[0], CL_TRUE, 0,
                                               inter.size() * 4, inter.data(), 0, nullptr,
                                               nullptr),
              CL_SUCCESS);
    for (size_t w = 0; w < area.size(); w++)
      area[w] = inter[w * items + g];
    return area;
  }
};
gpu_s* GpuKernels::gpu = nullptr;

struct nonce_answer_s {
  uint64_t account, nonce;
  std::string poc2_digest, scoop0, scoop4095;
};

std::vector<nonce_answer_s> nonce_answers()
{
  std::vector<nonce_answer_s> v;
  std::ifstream f(VG_TESTDATA_DIR "/nonces.txt");
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    std::istringstream in(line);
    nonce_answer_s a;
    std::string poc1;
    in >> a.account >> a.nonce >> a.poc2_digest >> poc1 >> a.scoop0 >> a.scoop4095;
    v.push_back(a);
  }
  return v;
}

std::string hex(const uint8_t* p, size_t n)
{
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; i++) {
    snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

std::vector<uint8_t> item_nonce(const std::vector<uint8_t>& scoops, uint64_t items, uint64_t g)
{
  std::vector<uint8_t> nonce(262144);
  for (uint64_t s = 0; s < 4096; s++)
    memcpy(&nonce[s * 64], &scoops[s * 64 * items + g * 64], 64);
  return nonce;
}

// The chain of one nonce before the final XOR: the work area of the CPU
// algorithm, 8192 hashes and the seed, as 65540 little-endian words.
std::vector<uint32_t> cpu_chain(uint64_t account, uint64_t nonce)
{
  std::vector<uint8_t> w(262160);
  plot_nonce_seed(w.data(), account, nonce);
  shabal_scalar_context ctx;
  for (int i = 0; i < 8192; i++) {
    const uint64_t p = 262144 - 32 * (uint64_t)i;
    const uint64_t len = std::min<uint64_t>(16 + 32 * (uint64_t)i, 4096);
    shabal_scalar_init(&ctx, 256);
    shabal_scalar_update(&ctx, &w[p], len);
    shabal_scalar_close(&ctx, 0, 0, &w[p - 32]);
  }
  std::vector<uint32_t> words(65540);
  memcpy(words.data(), w.data(), w.size());
  return words;
}

}  // namespace

TEST_F(GpuKernels, ChainMatchesCpuNoncesAndKnownAnswers)
{
  struct chain_case_s {
    uint64_t items;
    cl_uint per_launch;
    size_t answer;  // line of nonces.txt that work item 0 computes
  };
  const std::vector<nonce_answer_s> answers = nonce_answers();
  ASSERT_EQ(answers.size(), 5u);
  const chain_case_s cases[] = {{32, 4, 2}, {96, 4, 3}, {32, 3, 4}};
  for (const chain_case_s& c : cases) {
    const nonce_answer_s& a = answers[c.answer];
    SCOPED_TRACE("account " + std::to_string(a.account) + " base " + std::to_string(a.nonce) +
                 " items " + std::to_string(c.items));
    const std::vector<uint8_t> scoops = run_chain(a.account, a.nonce, c.items, c.per_launch);
    const std::vector<uint8_t> first = item_nonce(scoops, c.items, 0);
    uint8_t digest[32];
    shabal_scalar_context ctx;
    shabal_scalar_init(&ctx, 256);
    shabal_scalar_update(&ctx, first.data(), first.size());
    shabal_scalar_close(&ctx, 0, 0, digest);
    EXPECT_EQ(hex(digest, 32), a.poc2_digest);
    EXPECT_EQ(hex(&first[0], 64), a.scoop0);
    EXPECT_EQ(hex(&first[4095 * 64], 64), a.scoop4095);
    // Every work item, the last one included (nonce numbers wrap like the
    // CPU's at 2^64).
    const std::vector<uint8_t> cpu = cpu_scoop_major(a.account, a.nonce, c.items, c.items);
    for (uint64_t s = 0; s < 4096; s++)
      if (memcmp(&scoops[s * 64 * c.items], &cpu[s * 64 * c.items], 64 * c.items) != 0)
        FAIL() << "scoop row " << s << " differs from the CPU";
  }
}

// hash_down alone on areas that hold the CPU's chain with the hashes the
// launch should write cleared: it must write exactly those, nothing else.
TEST_F(GpuKernels, HashDownStepRules)
{
  struct step_case_s {
    cl_uint start, count, rounds;
  };
  // The chain's first launch (16 to 112 byte messages), the last launch of
  // a chain at 3 per launch (only 2 rounds left), the first step without
  // the seed, and the last step that still includes it.
  const step_case_s cases[] = {
      {262144, 4, 4}, {64, 3, 2}, {258048, 1, 1}, {258080, 2, 2}};
  const uint64_t items = 32;
  const std::vector<uint32_t> chain = cpu_chain(1337, 77);
  for (const step_case_s& c : cases) {
    SCOPED_TRACE("start " + std::to_string(c.start) + " count " + std::to_string(c.count));
    std::vector<uint32_t> area = chain;
    const uint32_t lo = (c.start - 32 * c.rounds) / 4, hi = c.start / 4;
    for (uint32_t w = lo; w < hi; w++)
      area[w] = 0;
    write_areas(area, items);
    hash_down(items, c.start, c.count);
    for (uint64_t g : {uint64_t(0), items - 1})
      EXPECT_TRUE(read_area(items, g) == chain) << "work item " << g;
  }
}

TEST(GpuCreate, NoNoncesGivesNoSet)
{
  const int index[1] = {0};
  EXPECT_EQ(gpu_create(1, index, 0, run_settings_s{}), nullptr);
  gpu_destroy(nullptr);
}
