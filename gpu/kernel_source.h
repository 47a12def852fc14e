// The OpenCL C source of the kernels, kept in the program as one LZ4 block
// (made at build time from gpu/kernels.cl) and unpacked only while programs
// are built.
#pragma once

extern const unsigned char gpu_kernel_source[];
extern const int gpu_kernel_source_packed;  // bytes of the LZ4 block
extern const int gpu_kernel_source_length;  // bytes of the unpacked source
