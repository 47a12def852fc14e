// CPUID-based feature mask, brand string and processor count.
#include "platform/cpu_features.h"

#include <cpuid.h>
#include <string.h>
#include <sys/sysinfo.h>

std::atomic<int> g_cpu_features{-1};
std::atomic<int> g_cpu_count{0};

static void cpuid_native(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) {
  __cpuid_count(leaf, subleaf, regs[0], regs[1], regs[2], regs[3]);
}

static uint64_t xcr0_native() {
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t)hi << 32 | lo;
}

static uint32_t runtime_mask() {
  __builtin_cpu_init();
  uint32_t mask = 0;
  if (__builtin_cpu_supports("sse2")) mask |= CPU_FEATURE_SSE2;
  if (__builtin_cpu_supports("sse4.2")) mask |= CPU_FEATURE_SSE42;
  if (__builtin_cpu_supports("avx")) mask |= CPU_FEATURE_AVX;
  if (__builtin_cpu_supports("avx2")) mask |= CPU_FEATURE_AVX2;
  return mask;
}

uint32_t cpu_features_from(cpu_cpuid_fn cpuid, cpu_xcr0_fn xcr0, uint32_t runtime) {
  uint32_t r[4];
  cpuid(0, 0, r);
  const uint32_t max_basic = r[0];
  cpuid(0x80000000, 0, r);
  const uint32_t max_extended = r[0];

  cpuid(1, 0, r);
  const uint32_t ecx = r[2], edx = r[3];
  uint32_t mask = 0;
  if (edx & (1u << 25)) mask |= CPU_FEATURE_SSE;
  if (edx & (1u << 26)) mask |= CPU_FEATURE_SSE2;
  if (ecx & (1u << 0)) mask |= CPU_FEATURE_SSE3;
  if (ecx & (1u << 19)) mask |= CPU_FEATURE_SSE41;
  if (ecx & (1u << 20)) mask |= CPU_FEATURE_SSE42;
  // AVX code faults unless the system saves the 256-bit registers, so the
  // processor's own AVX and AVX2 reports count only when XCR0 has the SSE and
  // AVX state bits (XGETBV exists only when OSXSAVE is reported).
  const bool ymm_saved = (ecx & (1u << 27)) && (xcr0() & 6) == 6;
  if ((ecx & (1u << 28)) && ymm_saved) mask |= CPU_FEATURE_AVX;
  if (max_basic >= 7) {
    cpuid(7, 0, r);
    if ((r[1] & (1u << 5)) && ymm_saved) mask |= CPU_FEATURE_AVX2;
  }
  if (max_extended >= 0x80000001) {
    cpuid(0x80000001, 0, r);
    if (r[2] & (1u << 6)) mask |= CPU_FEATURE_SSE4A;
  }
  return mask | (runtime & (CPU_FEATURE_SSE2 | CPU_FEATURE_SSE42 | CPU_FEATURE_AVX | CPU_FEATURE_AVX2));
}

uint32_t cpu_features() {
  int cached = g_cpu_features.load(std::memory_order_acquire);
  if (cached != -1) return (uint32_t)cached;
  // Threads racing on the first call compute the same mask, so whichever
  // store wins is right.
  uint32_t mask = cpu_features_from(cpuid_native, xcr0_native, runtime_mask());
  g_cpu_features.store((int)mask, std::memory_order_release);
  return mask;
}

void cpu_brand_from(cpu_cpuid_fn cpuid, int size, char* out) {
  char brand[49];
  memset(brand, 0, sizeof brand);
  uint32_t r[4];
  cpuid(0x80000000, 0, r);
  const uint32_t max_extended = r[0];
  for (uint32_t i = 0; i < 3; i++) {
    if (max_extended < 0x80000002 + i) break;
    cpuid(0x80000002 + i, 0, r);
    memcpy(brand + 16 * i, r, 16);
  }
  // Some processors pad their brand with leading blanks; the screens and the
  // log show it better without them.
  const char* text = brand;
  while (*text == ' ') text++;
  if (size > 0) strncpy(out, text, (size_t)size);
}

void cpu_brand_string(int size, char* out) { cpu_brand_from(cpuid_native, size, out); }

int cpu_count() {
  int cached = g_cpu_count.load(std::memory_order_acquire);
  if (cached != 0) return cached;
  int n = get_nprocs();
  g_cpu_count.store(n, std::memory_order_release);
  return n;
}
