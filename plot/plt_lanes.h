// What the three worker builds share: the worker loop, the scoop operation of
// the plot checker and the best-deadline search are written once in the
// baseline unit and driven by a build's multi-lane Shabal-256 through these
// hooks. Only the multi-lane form itself runs the build's instruction set.
#pragma once

#include <cstdint>

struct buffer_s;

struct plot_lane_ops_s {
    int lanes;  // 4 or 8
    // Whole nonces in 1 or 2 groups of lane-interleaved work areas (the
    // shabal_*_nonces form of the build).
    void (*nonces)(uint32_t* const* areas, int groups, uint32_t* finals);
    // Single messages for the best-deadline search.
    void (*init)(void* ctx);  // 256-bit init
    void (*update)(void* ctx, const void* const* data, uint64_t len);
    void (*close)(void* ctx, uint32_t* const* dst);  // no extra bits
};

// The three builds, each defined in its own unit.
extern const plot_lane_ops_s g_plot_lanes_sse2;
extern const plot_lane_ops_s g_plot_lanes_avx;
extern const plot_lane_ops_s g_plot_lanes_avx2;

// The build this processor runs best (AVX2, else AVX, else SSE2).
const plot_lane_ops_s* plot_lanes_select();

// The worker thread body of every build.
void plot_worker_run(const plot_lane_ops_s* ops, buffer_s* buffer, uint64_t t, uint64_t account_id, uint64_t first,
                     uint64_t count, volatile bool* stop, uint64_t* counters);

// Scoops of n nonces (PoC2 when poc2) into out + 64j, two lane groups at a
// time.
void plot_lanes_scoops(const plot_lane_ops_s* ops, uint64_t account_id, int n, const uint64_t* nonces,
                       const uint32_t* scoops, uint8_t* out, bool poc2);

// Each of n nonces hashed once, and all the scoops wanted of it taken out
// (see plot_nonces_scoop_sets).
void plot_lanes_scoop_sets(const plot_lane_ops_s* ops, uint64_t account_id, int n, const uint64_t* nonces,
                           const int* first, const uint32_t* scoops, uint8_t* out, bool poc2);

// The best-deadline search with the build's lanes; assert_file/line name the
// caller for the lane-multiple check.
void plot_lanes_best_deadline(const plot_lane_ops_s* ops, uint64_t n, const uint8_t* scoops, const uint8_t* gensig,
                              uint64_t* best, uint64_t* index, const char* assert_file, int assert_line);
