#include "checker/check_plan.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <random>

#include "plot/nonce.h"

namespace {

// splitmix64: small, fast and good enough to spread samples.
struct check_random_s {
    uint64_t state;
};

// The system's entropy when it has some; the clock and the process id vary
// from start to start in any case.
uint64_t start_up_seed() {
    uint64_t seed = (uint64_t)std::chrono::system_clock::now().time_since_epoch().count() ^ ((uint64_t)getpid() << 40);
    try {
        std::random_device device;
        seed ^= (uint64_t)device() << 32 ^ device();
    } catch (const std::exception&) {
    }
    return seed;
}

check_random_s g_random = {start_up_seed()};

uint64_t random_next(check_random_s* r) {
    uint64_t z = (r->state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

}  // namespace

void check_random_seed(uint64_t seed) { g_random.state = seed; }

void check_choose_samples(int sample_count, uint64_t start, uint64_t nonces, uint64_t* nonce_out,
                          uint32_t* scoop_out) {
    for (int i = 0; i < sample_count; i++) {
        uint64_t r1 = random_next(&g_random);
        uint64_t r2 = random_next(&g_random);
        // Band i: [i x 4096 / n, (i + 1) x 4096 / n), never empty for n up
        // to 4096, and together the bands leave no scoop out. No scoop is
        // fixed: a fault in the first or last rows of a file must be as
        // likely to be met as one anywhere else.
        uint32_t low = (uint32_t)((uint64_t)i * PLOT_SCOOPS / (uint64_t)sample_count);
        uint32_t high = (uint32_t)((uint64_t)(i + 1) * PLOT_SCOOPS / (uint64_t)sample_count);
        scoop_out[i] = low + (uint32_t)(r1 % (high - low));
        nonce_out[i] = start + r2 % nonces;
    }
}

void check_plan_make(check_plan_s* p, int sample_count, uint64_t start, uint64_t nonce_count) {
    const size_t n = (size_t)sample_count;
    p->nonce_of.assign(n, 0);
    p->scoop_of.assign(n, 0);
    check_choose_samples(sample_count, start, nonce_count, p->nonce_of.data(), p->scoop_of.data());
    // Samples sorted by nonce (then by screen order), cut where the nonce
    // changes.
    p->sample.resize(n);
    std::iota(p->sample.begin(), p->sample.end(), 0);
    std::stable_sort(p->sample.begin(), p->sample.end(),
                     [&](int a, int b) { return p->nonce_of[a] < p->nonce_of[b]; });
    p->nonces.clear();
    p->first.clear();
    p->scoop.resize(n);
    for (size_t k = 0; k < n; k++) {
        const int i = p->sample[k];
        if (k == 0 || p->nonce_of[i] != p->nonces.back()) {
            p->nonces.push_back(p->nonce_of[i]);
            p->first.push_back((int)k);
        }
        p->scoop[k] = p->scoop_of[i];
    }
    p->first.push_back((int)n);
}
