// Hashing plot batches on the processor: worker threads in three builds
// (SSE2 4-lane, AVX 4-lane, AVX2 8-lane, each hashing two lane groups at once)
// fill a RAM batch buffer's scoop rows in PoC2 order; the batch driver, the
// CPU rate benchmark and the scoop operations of the plot checker.
#pragma once

#include <cstdint>

struct buffer_s;
struct job_s;

// Hashes the job's next batch, min(nonces - nonces_done, buffer capacity)
// nonces, into its compute buffer, publishing progress while it runs.
// Returns the batch size, or 0 when *stop is set at the end.
// cpu_threads is the run's setting (see plot_cpu_thread_count).
uint64_t job_plot_cpu(job_s* job, int cpu_threads, volatile bool* stop);

// Plotting rate of this processor in nonces per minute with the workers of
// the cpu_threads setting.
double cpu_benchmark(int cpu_threads);

// The worker count for the cpu_threads setting: the setting when positive,
// else processors minus one (at least 1).
int plot_cpu_thread_count(int cpu_threads);
// The RAM the CPU workers' work areas take during a batch beside its buffer:
// two lane groups per worker, and as much for the leftover nonces hashed on
// the work thread. A run's RAM limit counts them.
uint64_t plot_cpu_work_bytes(int threads);

// For j = 0..3: scoop scoops[j] (0 to 4095) of nonce nonces[j] into out +
// 64j (any alignment), PoC2 order when poc2. Needs AVX (cpu_features 0x40).
void plot_nonces_x4_scoop(uint64_t account_id, const uint64_t* nonces, const uint32_t* scoops, uint8_t* out,
                          bool poc2);

// For j = 0 .. n - 1: scoop scoops[j] of nonce nonces[j] into out + 64j, as
// plot_nonces_x4_scoop does, with the fastest form this processor has. Any n;
// plot_nonces_per_call() nonces fill the form's lanes exactly, a shorter call
// pays for padded lanes.
void plot_nonces_scoops(uint64_t account_id, int n, const uint64_t* nonces, const uint32_t* scoops, uint8_t* out,
                        bool poc2);
// Several scoops of each nonce for the cost of one: nonce nonces[j] is
// hashed once, and its scoops scoops[k] for k = first[j] .. first[j + 1] - 1
// go to out + 64k (first has n + 1 entries, ascending). PoC2 order when poc2.
void plot_nonces_scoop_sets(uint64_t account_id, int n, const uint64_t* nonces, const int* first,
                            const uint32_t* scoops, uint8_t* out, bool poc2);
int plot_nonces_per_call();

// Worker threads: nonces first .. first + count - 1 into buffer nonces
// t * count .. t * count + count - 1. Worker t only adds to counters[t].
// Each needs its instruction set.
typedef void (*plot_thread_fn)(buffer_s* buffer, uint64_t t, uint64_t account_id, uint64_t first, uint64_t count,
                               volatile bool* stop, uint64_t* counters);
void plot_thread_sse2(buffer_s* buffer, uint64_t t, uint64_t account_id, uint64_t first, uint64_t count,
                      volatile bool* stop, uint64_t* counters);
void plot_thread_avx(buffer_s* buffer, uint64_t t, uint64_t account_id, uint64_t first, uint64_t count,
                     volatile bool* stop, uint64_t* counters);
void plot_thread_avx2(buffer_s* buffer, uint64_t t, uint64_t account_id, uint64_t first, uint64_t count,
                      volatile bool* stop, uint64_t* counters);

// The worker build this processor runs (AVX2, else AVX, else SSE2).
plot_thread_fn plot_thread_select();

// Smallest first-8-byte value of Shabal-256(gensig ‖ scoop) over n scoops
// (n a multiple of the lane count) and its index.
void best_deadline_sse2(uint64_t n, const uint8_t* scoops, const uint8_t* gensig, uint64_t* best, uint64_t* index);
void best_deadline_avx(uint64_t n, const uint8_t* scoops, const uint8_t* gensig, uint64_t* best, uint64_t* index);
void best_deadline_avx2(uint64_t n, const uint8_t* scoops, const uint8_t* gensig, uint64_t* best, uint64_t* index);

// Spot check of a filled buffer: recomputes the first, the last and random
// nonces and logs an assertion failure for every scoop that differs.
void buffer_verify(uint64_t account_id, uint64_t first, buffer_s* buffer, int count, int samples, bool poc2);
