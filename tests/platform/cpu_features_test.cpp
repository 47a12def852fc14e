// CPU feature mask, brand string and processor count, on this machine and on
// made-up CPUID answers.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/sysinfo.h>

#include <array>
#include <map>
#include <string>

#include "platform/cpu_features.h"

namespace {

std::map<uint32_t, std::array<uint32_t, 4>> g_leaves;
uint64_t g_xcr0;
bool g_xcr0_asked;

void fake_cpuid(uint32_t leaf, uint32_t, uint32_t regs[4]) {
  auto it = g_leaves.find(leaf);
  for (int i = 0; i < 4; i++) regs[i] = it == g_leaves.end() ? 0 : it->second[i];
}
uint64_t fake_xcr0() {
  g_xcr0_asked = true;
  return g_xcr0;
}

// A processor with every feature bit, its own AVX and AVX2 reports included.
void fake_full_processor(uint32_t max_extended) {
  g_leaves.clear();
  g_leaves[0] = {7, 0, 0, 0};
  g_leaves[1] = {0, 0, 1u | 1u << 19 | 1u << 20 | 1u << 27 | 1u << 28, 1u << 25 | 1u << 26};
  g_leaves[7] = {0, 1u << 5, 0, 0};
  g_leaves[0x80000000] = {max_extended, 0, 0, 0};
  g_leaves[0x80000001] = {0, 0, 1u << 6, 0};
  g_xcr0 = 7;
  g_xcr0_asked = false;
}

// Fills the three brand leaves with the 48 characters of text.
void fake_brand(const char* text48) {
  for (uint32_t i = 0; i < 3; i++) {
    std::array<uint32_t, 4> regs;
    memcpy(regs.data(), text48 + 16 * i, 16);
    g_leaves[0x80000002 + i] = regs;
  }
}

}  // namespace

TEST(CpuFeatures, ThisMachine) {
  uint32_t mask = cpu_features();
  const uint32_t needed = CPU_FEATURE_SSE2 | CPU_FEATURE_SSE41 | CPU_FEATURE_AVX | CPU_FEATURE_AVX2;
  EXPECT_EQ(mask & needed, needed) << std::hex << mask;
  EXPECT_EQ(mask & ~0xffu, 0u);
  EXPECT_EQ(cpu_count(), get_nprocs());

  char brand[64];
  memset(brand, 'x', sizeof brand);
  cpu_brand_string(sizeof brand, brand);
  EXPECT_GT(strlen(brand), 0u);
  EXPECT_LE(strlen(brand), 48u);
  EXPECT_NE(brand[0], ' ');
  EXPECT_EQ(brand[63], 0);
}

TEST(CpuFeatures, LaterCallsAnswerFromTheCaches) {
  const uint32_t mask = cpu_features();
  const int count = cpu_count();
  // Were either asked again, the planted values would be replaced.
  g_cpu_features = 0x3;
  g_cpu_count = 1234;
  EXPECT_EQ(cpu_features(), 0x3u);
  EXPECT_EQ(cpu_count(), 1234);
  g_cpu_features = (int)mask;
  g_cpu_count = count;
}

TEST(CpuFeatures, MaskFromCpuid) {
  struct row_s {
    const char* what;
    uint32_t max_extended;
    uint64_t xcr0;
    uint32_t runtime;
    uint32_t mask;
  };
  const row_s rows[] = {
      {"every bit from CPUID alone", 0x80000008, 7, 0, 0xff},
      {"no extended leaf 0x80000001: no SSE4a", 0x80000000, 7, 0, 0xf7},
      {"system does not save YMM: no AVX or AVX2", 0x80000008, 3, 0, 0x3f},
      {"runtime answers are added", 0x80000008, 3, CPU_FEATURE_AVX | CPU_FEATURE_AVX2, 0xff},
  };
  for (const row_s& r : rows) {
    fake_full_processor(r.max_extended);
    g_xcr0 = r.xcr0;
    EXPECT_EQ(cpu_features_from(fake_cpuid, fake_xcr0, r.runtime), r.mask) << r.what;
  }

  // AVX2 from leaf 7 although the runtime does not report it.
  fake_full_processor(0x80000008);
  EXPECT_NE(cpu_features_from(fake_cpuid, fake_xcr0, CPU_FEATURE_SSE2) & CPU_FEATURE_AVX2, 0u);

  // No OSXSAVE: XGETBV would fault, so it is never asked.
  fake_full_processor(0x80000008);
  g_leaves[1][2] &= ~(1u << 27);
  g_xcr0_asked = false;
  EXPECT_EQ(cpu_features_from(fake_cpuid, fake_xcr0, 0), 0x3fu);
  EXPECT_FALSE(g_xcr0_asked);

  // Basic leaves below 7: leaf 7 is not read.
  fake_full_processor(0x80000008);
  g_leaves[0][0] = 6;
  EXPECT_EQ(cpu_features_from(fake_cpuid, fake_xcr0, 0) & CPU_FEATURE_AVX2, 0u);

  // Nothing from CPUID: the runtime's answers only.
  g_leaves.clear();
  EXPECT_EQ(cpu_features_from(fake_cpuid, fake_xcr0, CPU_FEATURE_SSE2 | CPU_FEATURE_SSE42), 0x22u);
}

TEST(CpuFeatures, BrandFromCpuid) {
  const char* full = "AMD EPYC 7B13 64-Core Processor                 ";  // 48 characters
  ASSERT_EQ(strlen(full), 48u);
  char out[64];

  fake_full_processor(0x80000004);
  fake_brand(full);
  memset(out, 'x', sizeof out);
  cpu_brand_from(fake_cpuid, sizeof out, out);
  EXPECT_STREQ(out, full);
  EXPECT_EQ(out[63], 0);  // zero-filled to size

  // size 48 and a 48-character brand: copied without terminator.
  memset(out, 'x', sizeof out);
  cpu_brand_from(fake_cpuid, 48, out);
  EXPECT_EQ(memcmp(out, full, 48), 0);
  EXPECT_EQ(out[48], 'x');

  // Leaf 0x80000004 missing: at most 32 characters.
  fake_full_processor(0x80000003);
  fake_brand(full);
  cpu_brand_from(fake_cpuid, sizeof out, out);
  EXPECT_EQ(std::string(out), std::string(full, 32));

  // No brand leaves: size zero bytes.
  fake_full_processor(0x80000001);
  fake_brand(full);
  memset(out, 'x', sizeof out);
  cpu_brand_from(fake_cpuid, 16, out);
  EXPECT_EQ(std::string(out, 16), std::string(16, '\0'));
  EXPECT_EQ(out[16], 'x');

  // Leading blanks are dropped.
  fake_full_processor(0x80000004);
  fake_brand("        Intel(R) Xeon(R) CPU @ 2.20GHz          ");
  cpu_brand_from(fake_cpuid, sizeof out, out);
  EXPECT_STREQ(out, "Intel(R) Xeon(R) CPU @ 2.20GHz          ");
}
