// Where the check of one file looks: sample_count samples, each a scoop and
// a nonce, and the distinct nonces they fall on, so that each sampled nonce
// is hashed once and all of its sampled scoops are compared with it.
#pragma once

#include <cstdint>
#include <vector>

struct check_plan_s {
    // Per sample (in screen order): its nonce and scoop.
    std::vector<uint64_t> nonce_of;
    std::vector<uint32_t> scoop_of;
    // The distinct nonces, ascending; nonce j carries the samples
    // sample[first[j]] .. sample[first[j + 1] - 1], whose scoops are
    // scoop[first[j]] .. in the same order.
    std::vector<uint64_t> nonces;
    std::vector<int> first;
    std::vector<int> sample;
    std::vector<uint32_t> scoop;
};

// The plan for a file of nonce_count nonces from start: the scoops are cut
// into sample_count bands that together cover 0 to 4095, and sample i takes
// any scoop of band i at any nonce of the file, each with equal chance.
// Two draws per sample from the checker's generator.
void check_plan_make(check_plan_s* plan, int sample_count, uint64_t start, uint64_t nonce_count);

// The per-sample choice alone, as check_plan_make draws it.
void check_choose_samples(int sample_count, uint64_t start, uint64_t nonces, uint64_t* nonce_out,
                          uint32_t* scoop_out);

// The checker's generator is seeded once at start-up, so that every start of
// the program samples other places; a test may seed it itself. Only the
// check thread draws from it.
void check_random_seed(uint64_t seed);
