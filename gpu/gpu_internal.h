// Helpers shared by the GPU units; not for other subsystems.
#pragma once

#include "gpu/gpu.h"

// Releases and empties every event slot device i of the set holds.
void gpu_release_events(gpu_s* gpu, int i);

// Enqueues kernel over `global` work items in groups of `local`.
cl_int gpu_launch(cl_command_queue queue, cl_kernel kernel, uint64_t global, uint64_t local,
                  cl_event* event);

// The largest hashes per launch: the launch loop steps its start byte down by
// 32 x H in 32-bit arithmetic.
const int GPU_MAX_HASHES_PER_LAUNCH = 0x7FFFFFF;
