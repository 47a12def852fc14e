// What the three worker builds share: the worker loop, the 4-nonce scoop
// operation and the best-deadline search are written once in the baseline
// unit and driven by a build's multi-lane Shabal-256 through these hooks.
// Only the multi-lane form itself runs the build's instruction set.
#pragma once

#include <cstdint>

struct buffer_s;

struct plot_lane_ops_s {
    int lanes;                                                  // 4 or 8
    void (*init)(void* ctx);                                    // 256-bit init
    void (*update)(void* ctx, const void* const* data, uint64_t len);
    void (*close)(void* ctx, uint32_t* const* dst);             // no extra bits
    bool copy_template;  // restore a saved initial state instead of init per hash
};

// The worker thread body of every build.
void plot_worker_run(const plot_lane_ops_s* ops, buffer_s* buffer, uint64_t t, uint64_t account_id, uint64_t first,
                     uint64_t count, volatile bool* stop, uint64_t* counters);

// Scoops of up to ops->lanes nonces (PoC2 when poc2) into out + 64j.
void plot_lanes_scoops(const plot_lane_ops_s* ops, uint64_t account_id, const uint64_t* nonces,
                       const uint32_t* scoops, uint8_t* out, bool poc2);

// The best-deadline search with the build's lanes; assert_file/line name the
// caller for the lane-multiple check.
void plot_lanes_best_deadline(const plot_lane_ops_s* ops, uint64_t n, const uint8_t* scoops, const uint8_t* gensig,
                              uint64_t* best, uint64_t* index, const char* assert_file, int assert_line);
