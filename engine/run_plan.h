// The arithmetic of a run's plan, apart from its effects (memory queries,
// benchmarks, GPU creation, allocation), so that every number plotter_start
// derives can be checked on its own. Included by engine/plotter.h.
#pragma once

#include <cstdint>
#include <vector>

struct job_s;

// GPU memory one nonce needs: generation area plus scoop area; the
// generation area is the larger of the two buffers a device allocates.
enum : uint64_t { PLAN_GPU_BYTES_PER_NONCE = 524304, PLAN_GPU_GEN_BYTES_PER_NONCE = 262160 };

// RAM the run may use: ram_bytes when set and below the installed memory,
// else three quarters of the available memory.
uint64_t plan_ram_limit(uint64_t ram_bytes, uint64_t avail, uint64_t total);

// Jobs in progress at once, and whether they run concurrently. Returns 0
// (a plan to refuse) when it would divide by a per-task RAM of 0.
int plan_tasks(int ssd_count, int target_count, double min_ram_gb_per_task, uint64_t avail,
               bool* concurrent);

// What writing a batch costs on a drive. Each of a batch's 4096 scoop rows
// is one write at its own offset, which costs row_cost seconds whatever its
// size plus its bytes at bandwidth; then the batch's fixed cost, the sync
// and resume marker it ends with. bandwidth 0: rows cost row_cost alone.
// Where rows of only one size were timed (only_row_bytes, not 0), row_cost
// is what one of them took and the split between the two is unknown: a row
// of another size is charged the most it could cost, as much per byte for a
// larger row and a whole row write for a smaller one.
struct write_cost_s {
  double row_cost;
  double bandwidth;
  double batch_cost;
  uint64_t only_row_bytes;
};
// Seconds of one row write of row_bytes.
double plan_row_seconds(const write_cost_s& w, double row_bytes);

// What the buffering choice weighs: the bytes to plot, the jobs in progress
// at once, the hashing rate (nonces per minute, from the benchmark), the
// batch of each mode (nonces per buffer: one buffer per job, or two), and
// the slowest write drive's costs.
struct buffer_model_s {
  uint64_t plot_bytes;
  int tasks;
  double hash_rate;
  uint64_t single_nonces, double_nonces;
  write_cost_s write;
};

// Estimated seconds of the run with single buffering (each batch hashed,
// then written) and with double buffering (a batch hashed while the
// previous one is written). Both sides charge each batch its rows, its
// bytes and the same fixed cost; the jobs share the hashing.
void plan_buffer_times(const buffer_model_s& m, double* single, double* double_);
// 1 when double buffering is estimated faster, else 0 (ties, no bytes to
// plot and no room for two batches give 0).
int plan_double_buffer(const buffer_model_s& m);

// Batch alignment in nonces: max(256, every write drive's sector) / 64;
// 4 without jobs.
uint64_t plan_alignment(const std::vector<job_s*>& jobs);
// Sum of the jobs' sizes in bytes.
uint64_t plan_plot_bytes(const std::vector<job_s*>& jobs);

// CPU batch: (limit / buffers) >> 18 nonces, aligned down to a.
uint64_t plan_cpu_batch(uint64_t limit, uint64_t buffers, uint64_t a);

// Per-GPU device batch f from the RAM share, the smallest single device
// allocation o (each of a device's two buffers must fit in one), the
// smallest device memory m (of which an eighth stays free for the driver
// and the display), the preset p (0 = none) and the cap max_gpu_nonces (0 or
// negative = no cap); a multiple of granule (see plan_gpu_granule). May be
// 0 (a plan to refuse).
uint64_t plan_gpu_nonces(uint64_t limit, int gpu_count, uint64_t buffers, uint64_t o, uint64_t m,
                         uint64_t p, int max_gpu_nonces, uint64_t granule);
// What a device batch is a multiple of: whole work groups of group (every
// launch takes whole groups) and whole alignments a (so that any number of
// device batches is sector-aligned): their least common multiple.
uint64_t plan_gpu_granule(uint64_t group, uint64_t a);
// The next device batch to try after f failed: half of f as a multiple of
// granule, or 0 when no smaller attempt is left (64 nonces or fewer).
uint64_t plan_gpu_halve(uint64_t f, uint64_t granule);
// The device batch a run plans for: the work-group size that runs (group,
// the setting within the devices' and kernels' limits, at most the batch),
// what f is a multiple of (granule: whole groups and, where the RAM and the
// device hold that, whole sectors a), and f (0: no batch fits, a plan to
// refuse). f within the RAM share, o and m, the preset and the cap as
// plan_gpu_nonces.
struct plan_gpu_geometry_s {
  uint64_t group, granule, f;
};
plan_gpu_geometry_s plan_gpu_geometry(uint64_t limit, int gpu_count, uint64_t buffers, uint64_t o, uint64_t m,
                                      uint64_t p, int max_gpu_nonces, uint64_t group, uint64_t a);
// RAM buffer of device batches, a multiple of a: gpu_count * f * max(1,
// room), the count of batches rounded down to one that is sector-aligned
// (at least the smallest such count) where the RAM holds that; otherwise
// whole sectors within the RAM, the last device batch partial. 0 when f is 0.
uint64_t plan_gpu_batch(uint64_t limit, int gpu_count, uint64_t buffers, uint64_t f, uint64_t a);

// Sets scatter_start / scatter_nonces / scatter_end of every staged job's
// move drive; false when the staged files of some target leave a gap.
bool plan_scatter_ranges(const std::vector<job_s*>& jobs);
