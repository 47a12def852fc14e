// Helpers shared by the GPU units; not for other subsystems.
#pragma once

#include "gpu/gpu.h"

// Releases and empties every event slot device i of the set holds, or
// those of one pass in flight.
void gpu_release_events(gpu_s* gpu, int i);
void gpu_release_pass_events(gpu_s* gpu, int i, int pass);

// Enqueues kernel over `global` work items in groups of `local`, from work
// item `offset` on.
cl_int gpu_launch(cl_command_queue queue, cl_kernel kernel, uint64_t global, uint64_t local,
                  cl_event* event, uint64_t offset = 0);

// Enqueues one batch of n work items on device i (at most the set's
// nonces_per_device): setup, the hash_down chain and final for nonces
// first.. of account. With ctx, every hash_down launch keeps its event in
// the device's slots of pass (0 or 1) and reports to ctx (counted in
// *registered), and final's event is kept; without ctx no event is made.
// Nothing waits. A failure is reported (gpu_report_cl_error).
cl_int gpu_enqueue_batch(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t n,
                         uint64_t local, gpu_batch_context* ctx, uint64_t* registered, int pass = 0);

// The first scoop in which a nonce as the GPU left it (scoop s at
// gpu_bytes + s x stride) differs from the CPU's nonce in area (PoC2
// order, 262144 bytes); -1 when all 4096 scoops are equal.
int64_t gpu_first_differing_scoop(const uint8_t* area, const uint8_t* gpu_bytes, uint64_t stride);

// What a dispatch compares of each device batch with the CPU: `count`
// nonces of the device's slice, one from each of count equal parts of it,
// each recomputed whole on the CPU (while the device still computes) and
// compared in all 4096 scoops.
enum { GPU_COMPARE_MIN = 2, GPU_COMPARE_MAX = 8 };
struct gpu_compare_s {
  uint8_t* areas;  // GPU_COMPARE_MAX nonces of 262144 bytes
  uint64_t account;
  uint64_t nonce[GPU_COMPARE_MAX];  // plot nonce numbers
  uint64_t at[GPU_COMPARE_MAX];     // their places in the device's slice
  int count;
};
bool gpu_compare_init(gpu_compare_s* c);
void gpu_compare_free(gpu_compare_s* c);
// How many nonces of a slice of n_i nonces are compared: as many as stay
// within GPU_COMPARE_SHARE of the device's time for the slice at the set's
// measured rate and this processor's measured cost per nonce, at least
// GPU_COMPARE_MIN (fewer only in a smaller slice) and at most
// GPU_COMPARE_MAX.
int gpu_compare_count(const gpu_s* gpu, uint64_t n_i);
// The k places compared in a slice of n_i nonces whose first plot nonce is
// first: one in each of k equal parts, at an offset that moves with first,
// so that over a file every place of the parts is looked at.
void gpu_compare_places(uint64_t first, uint64_t n_i, int k, uint64_t* at);
// Chooses and computes the compared nonces of a slice (nothing for n_i 0).
void gpu_compare_prepare(gpu_compare_s* c, const gpu_s* gpu, uint64_t account, uint64_t first,
                         uint64_t n_i);
// Compares them with the slice as the device left it (scoop s of slice
// nonce g at gpu_bytes + s x stride + g x 64); logs and returns false at
// the first difference.
bool gpu_compare_check(const gpu_compare_s* c, int device, const uint8_t* gpu_bytes,
                       uint64_t stride);
// The CPU's share of a device's time the comparison may take.
const double GPU_COMPARE_SHARE = 0.01;

// Reads nonce g of device i's last batch (nonces first.. of account) back
// from its scoop buffer and compares it whole with plot_nonce; logs what
// differs. The device's queue must be finished.
bool gpu_check_nonce(gpu_s* gpu, int i, uint64_t account, uint64_t first, uint64_t g);

// The account and first nonce of the self-test's batch.
const uint64_t GPU_TEST_ACCOUNT = 123456789, GPU_TEST_FIRST_NONCE = 0;

// The largest hashes per launch: the launch loop steps its start byte down by
// 32 x H in 32-bit arithmetic.
const int GPU_MAX_HASHES_PER_LAUNCH = 0x7FFFFFF;
// The hash_down rounds per launch of a new set, and the chain steps of one
// nonce.
const int GPU_DEFAULT_HASHES_PER_LAUNCH = 4;
const int GPU_CHAIN_STEPS = 8192;

// The smallest work-group limit of device i of the set: its kernels'
// CL_KERNEL_WORK_GROUP_SIZE and the device's own maximum; 0 = not known.
uint64_t gpu_device_group_limit(const gpu_s* gpu, int i);
// gpu_choose_work_group with the threads_per_group setting (32 when not
// set): the size a new set launches with.
uint64_t gpu_set_default_work_group(gpu_s* gpu);
