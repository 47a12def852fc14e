// The CPU batch: worker threads of the selected build hash their slices of
// the batch straight into the buffer's scoop rows, the calling thread hashes
// the few nonces left over by the division and publishes progress.
//
// Also the baseline (SSE2) worker build and the pieces shared by all builds.
#include "plot/plt_cpu.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/plotter.h"
#include "platform/cpu_features.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "plot/nonce.h"
#include "plot/plt_lanes.h"
#include "plot/shabal.h"

namespace {


// Counters have one writer (worker t) and one reader (the poll): relaxed
// atomics make the unlocked access defined without ordering anything else.
void counter_add(uint64_t* c, uint64_t n) { __atomic_fetch_add(c, n, __ATOMIC_RELAXED); }
uint64_t counter_read(const uint64_t* c) { return __atomic_load_n(c, __ATOMIC_RELAXED); }

// A work area for the rare case the system refuses one: computing slowly
// beats handing the writer a batch with holes in it.
alignas(32) uint8_t g_spare_area[PLOT_WORK_AREA_BYTES];
std::mutex g_spare_mutex;

// Scoop s of a finished work area (PoC1 order) goes to buffer nonce k's slot
// in row s, in PoC2 order.
void place_poc2(buffer_s* b, uint64_t k, const uint8_t* w) {
    for (uint64_t s = 0; s < PLOT_SCOOPS; s++) {
        uint8_t* dst = b->data + (s * b->capacity + k) * 64;
        memcpy(dst, w + 64 * s, 32);
        memcpy(dst + 32, w + 64 * (4095 - s) + 32, 32);
    }
}

// One nonce into buffer nonce k, with an area of its own or the spare one.
void hash_single_into(buffer_s* b, uint64_t k, uint64_t account_id, uint64_t nonce) {
    uint8_t* w = (uint8_t*)sys_aligned_alloc(32, PLOT_WORK_AREA_BYTES);
    if (w) {
        plot_nonce_work(w, account_id, nonce);
        place_poc2(b, k, w);
        sys_aligned_free(w);
        return;
    }
    std::lock_guard<std::mutex> lock(g_spare_mutex);
    plot_nonce_work(g_spare_area, account_id, nonce);
    place_poc2(b, k, g_spare_area);
}

// Up to two lane groups' work areas: a worker hashes up to 2L nonces at once.
struct lane_areas_s {
    uint32_t* area[2];
    uint32_t finals[2 * 8 * 8];
};

void areas_free(lane_areas_s* a) {
    for (uint32_t*& p : a->area) {
        sys_aligned_free(p);
        p = nullptr;
    }
}

bool areas_alloc(lane_areas_s* a, int lanes, int groups) {
    a->area[0] = a->area[1] = nullptr;
    for (int g = 0; g < groups; g++) {
        a->area[g] = (uint32_t*)sys_aligned_alloc(64, SHABAL_AREA_WORDS * 4 * (uint64_t)lanes);
        if (!a->area[g]) {
            areas_free(a);
            return false;
        }
    }
    return true;
}

int groups_for(const plot_lane_ops_s* ops, uint64_t nonces) { return nonces > (uint64_t)ops->lanes ? 2 : 1; }

// The seed (account id and nonce number, both big-endian) into lane k.
void seed_lane(uint32_t* area, int lanes, int k, uint64_t account_id, uint64_t nonce) {
    uint8_t seed[16];
    for (int i = 0; i < 8; i++) {
        seed[i] = (uint8_t)(account_id >> (56 - 8 * i));
        seed[8 + i] = (uint8_t)(nonce >> (56 - 8 * i));
    }
    for (int i = 0; i < 4; i++) memcpy(&area[(65536 + i) * lanes + k], seed + 4 * i, 4);
}

// nonces[0 .. n - 1] (2 to 2L) of the account through the lanes. A partial
// last group is padded with copies of the last nonce, whose results nobody
// reads: a padded group of two or more nonces still beats hashing them one
// lane at a time. A lone nonce does not (a group costs one to two one-lane
// nonces), so callers hash it with the one-lane form in the first area.
void hash_group(const plot_lane_ops_s* ops, lane_areas_s* a, uint64_t account_id, const uint64_t* nonces, int n) {
    const int L = ops->lanes;
    const int groups = n > L ? 2 : 1;
    for (int j = 0; j < groups * L; j++) seed_lane(a->area[j / L], L, j % L, account_id, nonces[j < n ? j : n - 1]);
    ops->nonces(a->area, groups, a->finals);
}

// Scoop s of hashed nonce j, its second half taken from scoop half2 (4095 - s
// for PoC2 order, s for PoC1), with the final XOR applied on the way out.
inline void scoop_out(const lane_areas_s* a, int lanes, int j, uint64_t s, uint64_t half2, uint8_t* out) {
    const uint32_t* area = a->area[j / lanes];
    const uint32_t* f = a->finals + 8 * lanes * (j / lanes);
    const int k = j % lanes;
    uint32_t w[16];
    for (int i = 0; i < 8; i++) {
        w[i] = area[(16 * s + i) * lanes + k] ^ f[i * lanes + k];
        w[8 + i] = area[(16 * half2 + 8 + i) * lanes + k] ^ f[i * lanes + k];
    }
    memcpy(out, w, 64);
}

// Nonces first .. first + count - 1 into buffer nonces k0 .. k0 + count - 1,
// up to 2L at a time, adding to *counter as they land. A set stop flag ends
// the range before the next group; a null one never does.
void hash_range(const plot_lane_ops_s* ops, lane_areas_s* a, buffer_s* b, uint64_t k0, uint64_t account_id,
                uint64_t first, uint64_t count, volatile bool* stop, uint64_t* counter) {
    const int L = ops->lanes;
    for (uint64_t c = 0; c < count;) {
        if (stop && plotter_stop_requested(stop)) break;
        const int n = count - c < (uint64_t)(2 * L) ? (int)(count - c) : 2 * L;
        if (n == 1) {
            uint8_t* w = (uint8_t*)a->area[0];
            plot_nonce_work(w, account_id, first + c);
            place_poc2(b, k0 + c, w);
        } else {
            uint64_t nonces[16];
            for (int j = 0; j < n; j++) nonces[j] = first + c + j;
            hash_group(ops, a, account_id, nonces, n);
            for (uint64_t s = 0; s < PLOT_SCOOPS; s++) {
                uint8_t* row = b->data + (s * b->capacity + k0 + c) * 64;
                for (int j = 0; j < n; j++) scoop_out(a, L, j, s, 4095 - s, row + 64 * j);
            }
        }
        counter_add(counter, (uint64_t)n);
        c += (uint64_t)n;
    }
}

void sleep_33ms() {
    timespec left = {0, 33000000};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

// SSE2 build hooks.
void sse2_init(void* c) { shabal_x4_sse2_init((shabal_x4_context*)c, 256); }
void sse2_update(void* c, const void* const* d, uint64_t len) { shabal_x4_sse2_update((shabal_x4_context*)c, d, len); }
void sse2_close(void* c, uint32_t* const* dst) {
    const unsigned ub[4] = {};
    shabal_x4_sse2_close((shabal_x4_context*)c, ub, 0, dst);
}

}  // namespace

const plot_lane_ops_s g_plot_lanes_sse2 = {4, shabal_x4_sse2_nonces, sse2_init, sse2_update, sse2_close};

void plot_worker_run(const plot_lane_ops_s* ops, buffer_s* b, uint64_t t, uint64_t account_id, uint64_t first,
                     uint64_t count, volatile bool* stop, uint64_t* counters) {
    lane_areas_s a;
    if (!areas_alloc(&a, ops->lanes, groups_for(ops, count))) {
        sys_log("CPU worker %llu could not allocate its work areas (%d); hashing one nonce at a time\n",
                (unsigned long long)t, ENOMEM);
        for (uint64_t c = 0; c < count && !plotter_stop_requested(stop); c++) {
            hash_single_into(b, t * count + c, account_id, first + c);
            counter_add(&counters[t], 1);
        }
        return;
    }
    hash_range(ops, &a, b, t * count, account_id, first, count, stop, &counters[t]);
    areas_free(&a);
}

void plot_lanes_scoop_sets(const plot_lane_ops_s* ops, uint64_t account_id, int n, const uint64_t* nonces,
                           const int* first, const uint32_t* scoops, uint8_t* out, bool poc2) {
    const int L = ops->lanes;
    // Scoop k of a nonce built in PoC1 order w, in the order asked for.
    auto from_area = [&](const uint8_t* w, int k) {
        uint64_t s = scoops[k];
        memcpy(out + 64 * (uint64_t)k, w + 64 * s, 32);
        memcpy(out + 64 * (uint64_t)k + 32, w + (poc2 ? 64 * (4095 - s) : 64 * s) + 32, 32);
    };
    lane_areas_s a;
    if (n > 0 && !areas_alloc(&a, L, groups_for(ops, (uint64_t)n))) {
        // No failure path for the checker: one nonce at a time instead.
        sys_log("No memory for the nonce work areas of %d lanes (%d); hashing one at a time\n", L, ENOMEM);
        std::lock_guard<std::mutex> lock(g_spare_mutex);
        for (int j = 0; j < n; j++) {
            plot_nonce_work(g_spare_area, account_id, nonces[j]);
            for (int k = first[j]; k < first[j + 1]; k++) from_area(g_spare_area, k);
        }
        return;
    }
    for (int d = 0; d < n; d += 2 * L) {
        const int m = n - d < 2 * L ? n - d : 2 * L;
        if (m == 1) {
            uint8_t* w = (uint8_t*)a.area[0];
            plot_nonce_work(w, account_id, nonces[d]);
            for (int k = first[d]; k < first[d + 1]; k++) from_area(w, k);
            continue;
        }
        hash_group(ops, &a, account_id, nonces + d, m);
        for (int j = 0; j < m; j++)
            for (int k = first[d + j]; k < first[d + j + 1]; k++) {
                uint64_t s = scoops[k];
                scoop_out(&a, L, j, s, poc2 ? 4095 - s : s, out + 64 * (uint64_t)k);
            }
    }
    if (n > 0) areas_free(&a);
}

void plot_lanes_scoops(const plot_lane_ops_s* ops, uint64_t account_id, int n, const uint64_t* nonces,
                       const uint32_t* scoops, uint8_t* out, bool poc2) {
    // One scoop per nonce: nonce j owns scoop j.
    std::vector<int> first((size_t)n + 1);
    for (int j = 0; j <= n; j++) first[j] = j;
    plot_lanes_scoop_sets(ops, account_id, n, nonces, first.data(), scoops, out, poc2);
}

void plot_lanes_best_deadline(const plot_lane_ops_s* ops, uint64_t n, const uint8_t* scoops, const uint8_t* gensig,
                              uint64_t* best, uint64_t* index, const char* assert_file, int assert_line) {
    const int L = ops->lanes;
    util_assert(n % L == 0, false, assert_file, assert_line);
    // The initialised state is saved once and copied in before each group.
    alignas(64) uint8_t tmpl[sizeof(shabal_x8_context)];
    alignas(64) uint8_t ctx[sizeof(shabal_x8_context)];
    const size_t ctx_size = L == 8 ? sizeof(shabal_x8_context) : sizeof(shabal_x4_context);
    ops->init(tmpl);
    uint64_t best_value = ~0ull, best_index = 0;
    const void* g[8];
    const void* sc[8];
    uint32_t digest[8][8];
    uint32_t* out[8];
    for (int j = 0; j < L; j++) {
        g[j] = gensig;
        out[j] = digest[j];
    }
    for (uint64_t i = 0; i + L <= n; i += L) {
        for (int j = 0; j < L; j++) sc[j] = scoops + 64 * (i + j);
        memcpy(ctx, tmpl, ctx_size);
        ops->update(ctx, g, 32);
        ops->update(ctx, sc, 64);
        ops->close(ctx, out);
        for (int j = 0; j < L; j++) {
            uint64_t v;
            memcpy(&v, digest[j], 8);
            if (v < best_value) {
                best_value = v;
                best_index = i + j;
            }
        }
    }
    *best = best_value;
    *index = best_index;
}

void plot_thread_sse2(buffer_s* buffer, uint64_t t, uint64_t account_id, uint64_t first, uint64_t count,
                      volatile bool* stop, uint64_t* counters) {
    plot_worker_run(&g_plot_lanes_sse2, buffer, t, account_id, first, count, stop, counters);
}

void best_deadline_sse2(uint64_t n, const uint8_t* scoops, const uint8_t* gensig, uint64_t* best, uint64_t* index) {
    plot_lanes_best_deadline(&g_plot_lanes_sse2, n, scoops, gensig, best, index, "plt_cpu", 36);
}

int plot_cpu_thread_count(int cpu_threads) {
    if (cpu_threads > 0) return cpu_threads;
    // 0 is the default; a negative setting is nonsense from a hand-edited
    // file and gets the default too.
    int n = cpu_count() - 1;
    return n < 1 ? 1 : n;
}

uint64_t plot_cpu_work_bytes(int threads) {
    const uint64_t areas = 2 * SHABAL_AREA_WORDS * 4 * (uint64_t)plot_lanes_select()->lanes;
    return areas * (uint64_t)(threads > 0 ? threads + 1 : 1);
}

const plot_lane_ops_s* plot_lanes_select() {
    uint32_t f = cpu_features();
    if (f & CPU_FEATURE_AVX2) return &g_plot_lanes_avx2;
    if (f & CPU_FEATURE_AVX) return &g_plot_lanes_avx;
    return &g_plot_lanes_sse2;
}

void plot_nonces_scoops(uint64_t account_id, int n, const uint64_t* nonces, const uint32_t* scoops, uint8_t* out,
                        bool poc2) {
    plot_lanes_scoops(plot_lanes_select(), account_id, n, nonces, scoops, out, poc2);
}

void plot_nonces_scoop_sets(uint64_t account_id, int n, const uint64_t* nonces, const int* first,
                            const uint32_t* scoops, uint8_t* out, bool poc2) {
    plot_lanes_scoop_sets(plot_lanes_select(), account_id, n, nonces, first, scoops, out, poc2);
}

int plot_nonces_per_call() { return 2 * plot_lanes_select()->lanes; }

plot_thread_fn plot_thread_select() {
    uint32_t f = cpu_features();
    if (f & CPU_FEATURE_AVX2) return plot_thread_avx2;
    if (f & CPU_FEATURE_AVX) return plot_thread_avx;
    return plot_thread_sse2;
}

namespace {

// Starts worker t; a thread the system will not start has its slice hashed
// by the calling thread instead, so the batch is still complete.
void start_worker(std::vector<std::thread>& threads, plot_thread_fn fn, buffer_s* b, uint64_t t, uint64_t account_id,
                  uint64_t first, uint64_t count, volatile bool* stop, uint64_t* counters) {
    try {
        threads.emplace_back(fn, b, t, account_id, first, count, stop, counters);
    } catch (const std::exception&) {
        sys_log("Could not start CPU worker %llu (%d); hashing its nonces here\n", (unsigned long long)t, EAGAIN);
        for (uint64_t c = 0; c < count && !plotter_stop_requested(stop); c++) {
            hash_single_into(b, t * count + c, account_id, first + c);
            counter_add(&counters[t], 1);
        }
    }
}

// The nonces the division leaves over, on the calling thread beside the
// workers and through the lanes too; the stop flag does not cut them short.
void hash_leftovers(buffer_s* b, uint64_t k0, uint64_t account_id, uint64_t first, uint64_t rest) {
    if (rest == 0) return;
    const plot_lane_ops_s* ops = plot_lanes_select();
    lane_areas_s a;
    if (!areas_alloc(&a, ops->lanes, groups_for(ops, rest))) {
        sys_log("No memory for the work areas of %llu leftover nonces (%d); hashing one at a time\n",
                (unsigned long long)rest, ENOMEM);
        for (uint64_t j = 0; j < rest; j++) hash_single_into(b, k0 + j, account_id, first + j);
        return;
    }
    uint64_t done = 0;
    hash_range(ops, &a, b, k0, account_id, first, rest, nullptr, &done);
    areas_free(&a);
}

void publish(buffer_s* b, uint64_t sum) {
    if (b->progress.load() != sum) b->progress.exchange(sum);
}

}  // namespace

uint64_t job_plot_cpu(job_s* job, int cpu_threads, volatile bool* stop) {
    buffer_s* b = job->compute_buffer;
    if (!b || !b->data) {
        sys_log("CPU batch without a compute buffer\n");
        return 0;
    }
    const uint64_t T = (uint64_t)plot_cpu_thread_count(cpu_threads);
    uint64_t u = job->write_drive ? job->write_drive->sector_size / 64 : 1;
    if (u == 0) u = 1;
    uint64_t left = job->nonces - job->nonces_done;
    uint64_t d = left < b->capacity ? left : b->capacity;
    util_assert(d % u == 0, false, "plt_cpu", 271);
    uint64_t per = d / T;
    uint64_t rest = d - T * per;
    uint64_t first = job->start_nonce + job->nonces_done;

    uint64_t* counters = (uint64_t*)calloc(T, sizeof(uint64_t));
    if (!counters) {
        // No workers without their counters: hash the batch here.
        sys_log("No memory for %llu CPU worker counters (%d); hashing on one thread\n", (unsigned long long)T, ENOMEM);
        uint64_t k = 0;
        for (; k < d && !plotter_stop_requested(stop); k++) {
            hash_single_into(b, k, job->account_id, first + k);
            publish(b, k + 1);
        }
        return plotter_stop_requested(stop) ? 0 : d;
    }
    std::vector<std::thread> threads;
    plot_thread_fn fn = plot_thread_select();
    for (uint64_t t = 0; t < T; t++) start_worker(threads, fn, b, t, job->account_id, first + t * per, per, stop, counters);

    hash_leftovers(b, T * per, job->account_id, first + T * per, rest);

    if (!plotter_stop_requested(stop)) {
        for (;;) {
            uint64_t sum = rest;
            for (uint64_t t = 0; t < T; t++) sum += counter_read(&counters[t]);
            publish(b, sum);
            if (sum == d) break;
            sleep_33ms();
            if (plotter_stop_requested(stop)) break;
        }
    }
    for (auto& th : threads)
        if (th.joinable()) th.join();
    uint64_t result = plotter_stop_requested(stop) ? 0 : d;
    free(counters);
    return result;
}

double cpu_benchmark(int cpu_threads) {
    const uint64_t T = (uint64_t)plot_cpu_thread_count(cpu_threads);
    buffer_s* b = buffer_create(16 * T);
    uint64_t* counters = b ? (uint64_t*)calloc(T, sizeof(uint64_t)) : nullptr;
    if (!counters) {
        // The plan still needs a rate: time one nonce here and assume the
        // workers would manage that rate each.
        sys_log("No memory for the CPU benchmark of %llu threads (%d); timing one nonce\n", (unsigned long long)T,
                ENOMEM);
        buffer_destroy(b);
        std::vector<uint8_t> area(PLOT_NONCE_BYTES);
        double t0 = sys_time();
        plot_nonce(1337, 0, area.data(), true);
        double dt = sys_seconds_between(t0, sys_time());
        return 60.0 * (double)T / (dt > 0.001 ? dt : 0.001);
    }
    volatile bool stop = false;
    plot_thread_fn fn = plot_thread_select();
    double t0 = sys_time();
    std::vector<std::thread> threads;
    for (uint64_t t = 0; t < T; t++) start_worker(threads, fn, b, t, 1337, 16 * t, 16, &stop, counters);
    for (auto& th : threads) th.join();
    double t1 = sys_time();
    buffer_destroy(b);
    free(counters);
    double dt = sys_seconds_between(t0, t1);
    return (double)(16 * T) * 60.0 / (dt > 0.001 ? dt : 0.001);
}

void buffer_verify(uint64_t account_id, uint64_t first, buffer_s* buffer, int count, int samples, bool poc2) {
    util_assert(count != 0 && buffer->capacity >= (uint64_t)count, false, "plt_cpu", 382);
    if (count <= 0 || buffer->capacity < (uint64_t)count || !buffer->data) return;
    uint8_t* area = (uint8_t*)malloc(PLOT_NONCE_BYTES);
    if (!area) {
        sys_log("No memory to verify the buffer (%d)\n", ENOMEM);
        return;
    }
    for (int i = 0; i < samples; i++) {
        int r = rand();
        uint64_t k = i == 0 ? 0 : i == 1 ? (uint64_t)count - 1 : (uint64_t)r % (uint64_t)count;
        plot_nonce(account_id, first + k, area, poc2);
        for (uint64_t s = 0; s < PLOT_SCOOPS; s++)
            util_assert(memcmp(area + 64 * s, buffer->data + (s * buffer->capacity + k) * 64, 64) == 0, false,
                        "plt_cpu", 396);
    }
    free(area);
}
