#include "tests/gpu/gpu_test_support.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "plot/nonce.h"

bool pocl_available()
{
  static const bool available = [] {
    setenv("VG_TEST_OPENCL_CPU", "1", 1);
    char names[GPU_MAX_DEVICES][64] = {};
    char* ptrs[GPU_MAX_DEVICES];
    for (int i = 0; i < GPU_MAX_DEVICES; i++)
      ptrs[i] = names[i];
    const bool any = g_gpu_devices.empty() ? gpu_list_devices(GPU_MAX_DEVICES, 64, ptrs) > 0
                                           : true;
    unsetenv("VG_TEST_OPENCL_CPU");
    return any;
  }();
  return available;
}

std::vector<uint8_t> cpu_scoop_major(uint64_t account, uint64_t start, uint64_t count,
                                     uint64_t row)
{
  std::vector<uint8_t> out(row * 262144, 0);
  // plot_nonce is re-entrant; the reference is computed on the two
  // processors ctest is told a GPU test uses.
  const unsigned workers = 2;
  std::atomic<uint64_t> next{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < workers; t++)
    threads.emplace_back([&] {
      std::vector<uint8_t> nonce(262144);
      for (uint64_t k; (k = next.fetch_add(1)) < count;) {
        plot_nonce(account, start + k, nonce.data(), true);
        for (uint64_t s = 0; s < 4096; s++)
          memcpy(&out[(s * row + k) * 64], &nonce[s * 64], 64);
      }
    });
  for (std::thread& t : threads)
    t.join();
  return out;
}

std::string kernel_name(cl_kernel kernel)
{
  char name[64] = {};
  g_opencl_api.clGetKernelInfo(kernel, CL_KERNEL_FUNCTION_NAME, sizeof name - 1, name, nullptr);
  return name;
}
