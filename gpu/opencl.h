// Run-time binding to the system's OpenCL library.
//
// The program is never linked against OpenCL: machines without a GPU driver
// must still start and plot on the CPU. opencl_load opens whichever ICD
// loader is installed and fills g_opencl_api; every other unit calls OpenCL
// only through that table (g_opencl_api.clFinish (queue), ...). Each slot has
// the exact type the OpenCL 1.2 headers give the function, and stays null
// when the library does not export the name.
#pragma once

#ifndef CL_TARGET_OPENCL_VERSION
#define CL_TARGET_OPENCL_VERSION 120
#endif
#include <string>

#include <CL/cl.h>
#include <CL/cl_gl.h>

// Every entry point of the table: the non-deprecated OpenCL 1.2 API except
// clCreateSubBuffer (80 names), the seven OpenGL-sharing functions and
// clGetGLContextInfoKHR: 88 in all.
#define VG_OPENCL_FUNCTIONS(X)                                               \
  X(clGetPlatformIDs) X(clGetPlatformInfo) X(clGetDeviceIDs)                 \
  X(clGetDeviceInfo) X(clCreateSubDevices) X(clRetainDevice)                 \
  X(clReleaseDevice) X(clCreateContext) X(clCreateContextFromType)           \
  X(clRetainContext) X(clReleaseContext) X(clGetContextInfo)                 \
  X(clCreateCommandQueue) X(clRetainCommandQueue)                            \
  X(clReleaseCommandQueue) X(clGetCommandQueueInfo) X(clCreateBuffer)        \
  X(clCreateImage) X(clRetainMemObject) X(clReleaseMemObject)                \
  X(clGetSupportedImageFormats) X(clGetMemObjectInfo) X(clGetImageInfo)      \
  X(clSetMemObjectDestructorCallback) X(clCreateSampler)                     \
  X(clRetainSampler) X(clReleaseSampler) X(clGetSamplerInfo)                 \
  X(clCreateProgramWithSource) X(clCreateProgramWithBinary)                  \
  X(clCreateProgramWithBuiltInKernels) X(clRetainProgram)                    \
  X(clReleaseProgram) X(clBuildProgram) X(clCompileProgram)                  \
  X(clLinkProgram) X(clUnloadPlatformCompiler) X(clGetProgramInfo)           \
  X(clGetProgramBuildInfo) X(clCreateKernel) X(clCreateKernelsInProgram)     \
  X(clRetainKernel) X(clReleaseKernel) X(clSetKernelArg) X(clGetKernelInfo)  \
  X(clGetKernelArgInfo) X(clGetKernelWorkGroupInfo) X(clWaitForEvents)       \
  X(clGetEventInfo) X(clCreateUserEvent) X(clRetainEvent) X(clReleaseEvent)  \
  X(clSetUserEventStatus) X(clSetEventCallback) X(clGetEventProfilingInfo)   \
  X(clFlush) X(clFinish) X(clEnqueueReadBuffer) X(clEnqueueReadBufferRect)   \
  X(clEnqueueWriteBuffer) X(clEnqueueWriteBufferRect) X(clEnqueueFillBuffer) \
  X(clEnqueueCopyBuffer) X(clEnqueueCopyBufferRect) X(clEnqueueReadImage)    \
  X(clEnqueueWriteImage) X(clEnqueueFillImage) X(clEnqueueCopyImage)         \
  X(clEnqueueCopyImageToBuffer) X(clEnqueueCopyBufferToImage)                \
  X(clEnqueueMapBuffer) X(clEnqueueMapImage) X(clEnqueueUnmapMemObject)      \
  X(clEnqueueMigrateMemObjects) X(clEnqueueNDRangeKernel) X(clEnqueueTask)   \
  X(clEnqueueNativeKernel) X(clEnqueueMarkerWithWaitList)                    \
  X(clEnqueueBarrierWithWaitList)                                            \
  X(clGetExtensionFunctionAddressForPlatform) X(clCreateFromGLBuffer)        \
  X(clCreateFromGLTexture) X(clCreateFromGLRenderbuffer)                     \
  X(clGetGLObjectInfo) X(clGetGLTextureInfo) X(clEnqueueAcquireGLObjects)    \
  X(clEnqueueReleaseGLObjects) X(clGetGLContextInfoKHR)

struct opencl_api_s {
#define VG_OPENCL_SLOT(name) decltype(&::name) name;
  VG_OPENCL_FUNCTIONS(VG_OPENCL_SLOT)
#undef VG_OPENCL_SLOT
};

enum { OPENCL_API_SLOTS = sizeof(opencl_api_s) / sizeof(void*) };

extern opencl_api_s g_opencl_api;  // all null until opencl_load succeeds

// 0 when the library is loaded (also when it already was), -1 when no
// library could be opened, -2 when the exit handler could not be registered.
int opencl_load();
// Closes the library; registered with atexit by opencl_load.
void opencl_unload();
// "CL_INVALID_VALUE" for -30, "" for the unassigned -20 to -29,
// "Unknown OpenCL error" for codes OpenCL does not define.
const char* opencl_error_name(int code);
// An OpenCL result as the log and the questions tell it: the name and the
// number, "CL_OUT_OF_RESOURCES (-5)"; a code without a name is told as
// "OpenCL error -25".
std::string opencl_error_text(int code);

// The two steps of opencl_load, kept apart so that the choice of library and
// the lookup can be exercised on a folder of one's own. folder null: the
// dynamic loader's own search. *attempt (may be null) receives the 0-based
// index of the name that opened, or -1.
void* opencl_open_library(const char* folder, int* attempt);
// Fills api from handle with dlsym; names the library lacks become null.
void opencl_resolve(void* handle, opencl_api_s* api);
