// Where the check of one file looks: sample_count samples, each a scoop and
// a nonce; the blocks of the file that hold them, read whole; the distinct
// nonces they fall on, each hashed once; and every scoop of those nonces
// that lies in a block read anyway, all compared.
#pragma once

#include <cstdint>
#include <vector>

// A read covers the aligned block around a sample: the system reads no less
// than a page, and the block's other scoops cost nothing more.
enum { CHECK_BLOCK_BYTES = 4096 };

struct check_plan_s {
    // Per sample (in screen order): its nonce and scoop, and the block that
    // holds it.
    std::vector<uint64_t> nonce_of;
    std::vector<uint32_t> scoop_of;
    std::vector<int> block_of;
    // The blocks to read, ascending file offsets; block b carries the
    // samples block_sample[block_first[b]] .. block_sample[block_first[b + 1] - 1].
    std::vector<uint64_t> blocks;
    std::vector<int> block_first;
    std::vector<int> block_sample;
    // The distinct sampled nonces, ascending; nonce j carries the compared
    // scoops first[j] .. first[j + 1] - 1: scoop[k] of that nonce, found at
    // byte at[k] of the blocks read one after another, and the sample it
    // is (sample[k]), or -1 for a scoop that is no sample.
    std::vector<uint64_t> nonces;
    std::vector<int> first;
    std::vector<uint32_t> scoop;
    std::vector<uint64_t> at;
    std::vector<int> sample;
    // The compared scoop that is sample i.
    std::vector<int> item_of;
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
