/* A stand-in "libOpenCL.so" that the end-to-end tests put first on the
 * program's library path. It depends on the system's OpenCL loader, so every
 * OpenCL function the program looks up in it resolves there, except kernel
 * launches: those fail (CL_OUT_OF_RESOURCES) while the file named by
 * VG_E2E_GPU_FAIL exists, which lets a test break the GPU in mid-run. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <stdlib.h>
#include <unistd.h>

typedef int cl_int;
typedef unsigned int cl_uint;
typedef cl_int (*enqueue_fn)(void*, void*, cl_uint, const size_t*, const size_t*, const size_t*, cl_uint,
                             const void*, void*);

enum { CL_OUT_OF_RESOURCES = -5 };

cl_int clEnqueueNDRangeKernel(void* queue, void* kernel, cl_uint dims, const size_t* offset, const size_t* global,
                              const size_t* local, cl_uint waits, const void* wait_list, void* event) {
  static enqueue_fn real;
  const char* fail = getenv("VG_E2E_GPU_FAIL");
  if (fail && access(fail, F_OK) == 0) return CL_OUT_OF_RESOURCES;
  if (!real) {
    void* loader = dlopen("libOpenCL.so.1", RTLD_NOW | RTLD_NOLOAD);
    real = loader ? (enqueue_fn)dlsym(loader, "clEnqueueNDRangeKernel") : NULL;
  }
  if (!real) return CL_OUT_OF_RESOURCES;
  return real(queue, kernel, dims, offset, global, local, waits, wait_list, event);
}
