// Which SIMD instruction sets the processor has, its brand string and the
// processor count. Both counts are computed once and then served from their
// caches.
#pragma once

#include <stdint.h>

#include <atomic>

enum : uint32_t {
  CPU_FEATURE_SSE = 0x01,
  CPU_FEATURE_SSE2 = 0x02,
  CPU_FEATURE_SSE3 = 0x04,
  CPU_FEATURE_SSE4A = 0x08,
  CPU_FEATURE_SSE41 = 0x10,
  CPU_FEATURE_SSE42 = 0x20,
  CPU_FEATURE_AVX = 0x40,
  CPU_FEATURE_AVX2 = 0x80,
};

// -1 until the first cpu_features call, then the mask.
extern std::atomic<int> g_cpu_features;
// 0 until the first cpu_count call, then the count.
extern std::atomic<int> g_cpu_count;

uint32_t cpu_features();
// The 48-character brand into out as strncpy does with size (64 leaves it
// terminated and zero-filled).
void cpu_brand_string(int size, char* out);
int cpu_count();

// The computations behind cpu_features and cpu_brand_string, on any source of
// CPUID answers (regs receives EAX, EBX, ECX, EDX). xcr0 is asked only when
// the processor reports that the system saves extended state. runtime is the
// compiler runtime's mask (SSE2, SSE4.2, AVX, AVX2 bits).
typedef void (*cpu_cpuid_fn)(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]);
typedef uint64_t (*cpu_xcr0_fn)();
uint32_t cpu_features_from(cpu_cpuid_fn cpuid, cpu_xcr0_fn xcr0, uint32_t runtime);
void cpu_brand_from(cpu_cpuid_fn cpuid, int size, char* out);
