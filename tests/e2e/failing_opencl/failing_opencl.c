/* A stand-in "libOpenCL.so" that the end-to-end tests put first on the
 * program's library path. It depends on the system's OpenCL loader, so every
 * OpenCL function the program looks up in it resolves there, except these:
 * - kernel launches fail (CL_OUT_OF_RESOURCES) while the file named by
 *   VG_E2E_GPU_FAIL exists, which lets a test break the GPU in mid-run;
 * - with VG_E2E_KERNEL_GROUP_LIMIT=n the kernels allow work groups of at
 *   most n (CL_KERNEL_WORK_GROUP_SIZE) while the device still reports its
 *   own, larger maximum, and a launch with larger groups fails with
 *   CL_INVALID_WORK_GROUP_SIZE, as on a card whose compiler gave the
 *   kernels many registers. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <stdlib.h>
#include <unistd.h>

typedef int cl_int;
typedef unsigned int cl_uint;
typedef cl_int (*enqueue_fn)(void*, void*, cl_uint, const size_t*, const size_t*, const size_t*, cl_uint,
                             const void*, void*);
typedef cl_int (*group_info_fn)(void*, void*, cl_uint, size_t, void*, size_t*);

enum { CL_OUT_OF_RESOURCES = -5, CL_INVALID_WORK_GROUP_SIZE = -54, CL_KERNEL_WORK_GROUP_SIZE = 0x11B0 };

static void* loader_symbol(const char* name) {
  void* loader = dlopen("libOpenCL.so.1", RTLD_NOW | RTLD_NOLOAD);
  return loader ? dlsym(loader, name) : NULL;
}

static size_t group_limit(void) {
  const char* v = getenv("VG_E2E_KERNEL_GROUP_LIMIT");
  return v ? (size_t)strtoul(v, NULL, 10) : 0;
}

cl_int clEnqueueNDRangeKernel(void* queue, void* kernel, cl_uint dims, const size_t* offset, const size_t* global,
                              const size_t* local, cl_uint waits, const void* wait_list, void* event) {
  static enqueue_fn real;
  const char* fail = getenv("VG_E2E_GPU_FAIL");
  if (fail && access(fail, F_OK) == 0) return CL_OUT_OF_RESOURCES;
  const size_t limit = group_limit();
  if (limit && local && *local > limit) return CL_INVALID_WORK_GROUP_SIZE;
  if (!real) real = (enqueue_fn)loader_symbol("clEnqueueNDRangeKernel");
  if (!real) return CL_OUT_OF_RESOURCES;
  return real(queue, kernel, dims, offset, global, local, waits, wait_list, event);
}

cl_int clGetKernelWorkGroupInfo(void* kernel, void* device, cl_uint name, size_t size, void* value, size_t* size_ret) {
  static group_info_fn real;
  if (!real) real = (group_info_fn)loader_symbol("clGetKernelWorkGroupInfo");
  if (!real) return CL_OUT_OF_RESOURCES;
  const cl_int err = real(kernel, device, name, size, value, size_ret);
  const size_t limit = group_limit();
  if (err == 0 && limit && name == CL_KERNEL_WORK_GROUP_SIZE && value && size >= sizeof(size_t) &&
      *(size_t*)value > limit)
    *(size_t*)value = limit;
  return err;
}
