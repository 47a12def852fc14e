// Whether the CPU-type OpenCL device that the test suite admits (PoCL) is
// there: the GPU path of the engine runs on it in tests.
#pragma once

#include <cstdlib>

#include "gpu/gpu.h"
#include "gpu/opencl.h"

inline bool opencl_device_listed() {
  static int listed = -1;
  if (listed < 0) {
    setenv("VG_TEST_OPENCL_CPU", "1", 1);
    listed = 0;
    if (opencl_load() == 0) {
      static char storage[8][64];
      char* names[8];
      for (int i = 0; i < 8; i++) names[i] = storage[i];
      listed = gpu_list_devices(8, 64, names);
    }
  }
  return listed > 0;
}
