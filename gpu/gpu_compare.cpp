// GPU output compared byte for byte with the CPU's nonces: what keeps a
// driver's miscompile or a faulty card from writing wrong plots.
#include <cstdlib>
#include <cstring>

#include "gpu/gpu_internal.h"
#include "plot/nonce.h"
#include "platform/sys_linux.h"

enum : uint64_t { NONCE_BYTES = 262144, SCOOPS = 4096, SCOOP_BYTES = 64 };

int64_t gpu_first_differing_scoop(const uint8_t* area, const uint8_t* gpu_bytes, uint64_t stride)
{
  for (uint64_t s = 0; s < SCOOPS; s++)
    if (memcmp(area + s * SCOOP_BYTES, gpu_bytes + s * stride, SCOOP_BYTES) != 0)
      return (int64_t)s;
  return -1;
}

bool gpu_check_nonce(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t g)
{
  uint8_t* cpu = static_cast<uint8_t*>(malloc(NONCE_BYTES));
  uint8_t* read = static_cast<uint8_t*>(malloc(NONCE_BYTES));
  bool same = false;
  if (!cpu || !read) {
    sys_log("Failed to allocate memory for the GPU nonce check.\n");
  } else {
    // Scoop s of work item g lies at s x 64 x N + g x 64: one 64-byte
    // column of the scoop-major buffer, read as a rectangle.
    const size_t origin[3] = {(size_t)(g * SCOOP_BYTES), 0, 0}, host[3] = {0, 0, 0};
    const size_t region[3] = {SCOOP_BYTES, SCOOPS, 1};
    const cl_int err = g_opencl_api.clEnqueueReadBufferRect(
        gpu->queue[i], gpu->scoopbuf[i], CL_TRUE, origin, host, region,
        (size_t)(gpu->nonces_per_device * SCOOP_BYTES), 0, SCOOP_BYTES, 0, read, 0, nullptr,
        nullptr);
    if (err != CL_SUCCESS) {
      sys_log("OpenCL error: %d\n", err);
    } else {
      plot_nonce(account, first + g, cpu, true);
      const int64_t s = gpu_first_differing_scoop(cpu, read, SCOOP_BYTES);
      same = s < 0;
      if (!same)
        sys_log("GPU %d computed nonce %llu wrong (scoop %lld differs from the CPU's)\n",
                gpu->device_index[i], (unsigned long long)(first + g), (long long)s);
    }
  }
  free(read);
  free(cpu);
  return same;
}
