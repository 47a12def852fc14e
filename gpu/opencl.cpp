// Run-time loading of the OpenCL ICD loader and its error names.
#include "gpu/opencl.h"

#include <cstring>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

opencl_api_s g_opencl_api;
static void* g_opencl_handle;

static const char* const opencl_library_names[] = {
    "libOpenCL.so", "libOpenCL.so.0", "libOpenCL.so.1", "libOpenCL.so.2"};

void* opencl_open_library(const char* folder, int* attempt)
{
  if (attempt)
    *attempt = -1;
  for (int i = 0; i < 4; i++) {
    char path[4096];
    if (folder)
      snprintf(path, sizeof path, "%s/%s", folder, opencl_library_names[i]);
    else
      snprintf(path, sizeof path, "%s", opencl_library_names[i]);
    void* handle = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    if (handle) {
      if (attempt)
        *attempt = i;
      return handle;
    }
  }
  return nullptr;
}

void opencl_resolve(void* handle, opencl_api_s* api)
{
#define VG_OPENCL_LOOKUP(name) \
  api->name = reinterpret_cast<decltype(api->name)>(dlsym(handle, #name));
  VG_OPENCL_FUNCTIONS(VG_OPENCL_LOOKUP)
#undef VG_OPENCL_LOOKUP
}

int opencl_load()
{
  if (g_opencl_handle)
    return 0;
  void* handle = opencl_open_library(nullptr, nullptr);
  if (!handle)
    return -1;
  g_opencl_handle = handle;
  if (atexit(opencl_unload) != 0) {
    dlclose(handle);
    g_opencl_handle = nullptr;
    return -2;
  }
  opencl_resolve(handle, &g_opencl_api);
  return 0;
}

void opencl_unload()
{
  if (!g_opencl_handle)
    return;
  // The table is cleared first so that nothing calls into a closed library.
  g_opencl_api = opencl_api_s{};
  dlclose(g_opencl_handle);
  g_opencl_handle = nullptr;
}

// Codes 0 down to -68; the empty names are the codes OpenCL leaves unassigned.
static const char* const opencl_error_names[69] = {
    "CL_SUCCESS",
    "CL_DEVICE_NOT_FOUND",
    "CL_DEVICE_NOT_AVAILABLE",
    "CL_COMPILER_NOT_AVAILABLE",
    "CL_MEM_OBJECT_ALLOCATION_FAILURE",
    "CL_OUT_OF_RESOURCES",
    "CL_OUT_OF_HOST_MEMORY",
    "CL_PROFILING_INFO_NOT_AVAILABLE",
    "CL_MEM_COPY_OVERLAP",
    "CL_IMAGE_FORMAT_MISMATCH",
    "CL_IMAGE_FORMAT_NOT_SUPPORTED",
    "CL_BUILD_PROGRAM_FAILURE",
    "CL_MAP_FAILURE",
    "CL_MISALIGNED_SUB_BUFFER_OFFSET",
    "CL_EXEC_STATUS_ERROR_FOR_EVENTS_IN_WAIT_LIST",
    "CL_COMPILE_PROGRAM_FAILURE",
    "CL_LINKER_NOT_AVAILABLE",
    "CL_LINK_PROGRAM_FAILURE",
    "CL_DEVICE_PARTITION_FAILED",
    "CL_KERNEL_ARG_INFO_NOT_AVAILABLE",
    "", "", "", "", "", "", "", "", "", "",
    "CL_INVALID_VALUE",
    "CL_INVALID_DEVICE_TYPE",
    "CL_INVALID_PLATFORM",
    "CL_INVALID_DEVICE",
    "CL_INVALID_CONTEXT",
    "CL_INVALID_QUEUE_PROPERTIES",
    "CL_INVALID_COMMAND_QUEUE",
    "CL_INVALID_HOST_PTR",
    "CL_INVALID_MEM_OBJECT",
    "CL_INVALID_IMAGE_FORMAT_DESCRIPTOR",
    "CL_INVALID_IMAGE_SIZE",
    "CL_INVALID_SAMPLER",
    "CL_INVALID_BINARY",
    "CL_INVALID_BUILD_OPTIONS",
    "CL_INVALID_PROGRAM",
    "CL_INVALID_PROGRAM_EXECUTABLE",
    "CL_INVALID_KERNEL_NAME",
    "CL_INVALID_KERNEL_DEFINITION",
    "CL_INVALID_KERNEL",
    "CL_INVALID_ARG_INDEX",
    "CL_INVALID_ARG_VALUE",
    "CL_INVALID_ARG_SIZE",
    "CL_INVALID_KERNEL_ARGS",
    "CL_INVALID_WORK_DIMENSION",
    "CL_INVALID_WORK_GROUP_SIZE",
    "CL_INVALID_WORK_ITEM_SIZE",
    "CL_INVALID_GLOBAL_OFFSET",
    "CL_INVALID_EVENT_WAIT_LIST",
    "CL_INVALID_EVENT",
    "CL_INVALID_OPERATION",
    "CL_INVALID_GL_OBJECT",
    "CL_INVALID_BUFFER_SIZE",
    "CL_INVALID_MIP_LEVEL",
    "CL_INVALID_GLOBAL_WORK_SIZE",
    "CL_INVALID_PROPERTY",
    "CL_INVALID_IMAGE_DESCRIPTOR",
    "CL_INVALID_COMPILER_OPTIONS",
    "CL_INVALID_LINKER_OPTIONS",
    "CL_INVALID_DEVICE_PARTITION_COUNT",
};

const char* opencl_error_name(int code)
{
  if (code == -1001)
    return "CL_PLATFORM_NOT_FOUND_KHR";
  if (code <= 0 && code >= -68)
    return opencl_error_names[-code];
  return "Unknown OpenCL error";
}

std::string opencl_error_text(int code)
{
  const char* name = opencl_error_name(code);
  if (!*name || strcmp(name, "Unknown OpenCL error") == 0)
    return "OpenCL error " + std::to_string(code);
  return std::string(name) + " (" + std::to_string(code) + ")";
}
