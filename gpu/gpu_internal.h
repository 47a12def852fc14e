// Helpers shared by the GPU units; not for other subsystems.
#pragma once

#include "gpu/gpu.h"

// Releases and empties every event slot device i of the set holds.
void gpu_release_events(gpu_s* gpu, int i);

// Enqueues kernel over `global` work items in groups of `local`.
cl_int gpu_launch(cl_command_queue queue, cl_kernel kernel, uint64_t global, uint64_t local,
                  cl_event* event);

// Enqueues one batch on device i: setup, the hash_down chain and final for
// nonces first.. of account. With ctx, every hash_down launch keeps its
// event in the device's slots and reports to ctx (counted in *registered),
// and final's event is kept; without ctx no event is made. Nothing waits.
cl_int gpu_enqueue_batch(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t local,
                         gpu_batch_context* ctx, uint64_t* registered);

// The first scoop in which a nonce as the GPU left it (scoop s at
// gpu_bytes + s x stride) differs from the CPU's nonce in area (PoC2
// order, 262144 bytes); -1 when all 4096 scoops are equal.
int64_t gpu_first_differing_scoop(const uint8_t* area, const uint8_t* gpu_bytes, uint64_t stride);

// Reads nonce g of device i's last batch (nonces first.. of account) back
// from its scoop buffer and compares it whole with plot_nonce; logs what
// differs. The device's queue must be finished.
bool gpu_check_nonce(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t g);

// The account and first nonce of the self-test's batch.
const uint64_t GPU_TEST_ACCOUNT = 123456789, GPU_TEST_FIRST_NONCE = 0;

// The largest hashes per launch: the launch loop steps its start byte down by
// 32 x H in 32-bit arithmetic.
const int GPU_MAX_HASHES_PER_LAUNCH = 0x7FFFFFF;
