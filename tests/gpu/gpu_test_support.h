// Shared helpers of the GPU tests: the PoCL device admitted through the
// test-only switch, CPU reference nonces, and interposers on the OpenCL
// table that count or alter calls.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "gpu/gpu.h"

// Lists the OpenCL devices once per process with CPU devices admitted;
// true when at least one (PoCL) is listed.
bool pocl_available();

#define REQUIRE_POCL()                                               \
  do {                                                               \
    if (!pocl_available())                                           \
      GTEST_SKIP() << "no OpenCL device (install pocl-opencl-icd)"; \
  } while (0)

// count nonces from start in PoC2 order, scoop-major with row length
// `row` (the layout of a RAM batch buffer of capacity row).
std::vector<uint8_t> cpu_scoop_major(uint64_t account, uint64_t start, uint64_t count,
                                     uint64_t row);

// Restores the OpenCL table when it goes out of scope, so a test can put
// interposers in its slots.
struct opencl_table_guard {
  opencl_api_s saved = g_opencl_api;
  ~opencl_table_guard() { g_opencl_api = saved; }
};

// The function name of an OpenCL kernel ("setup", "hash_down", "final").
std::string kernel_name(cl_kernel kernel);
