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
    auto offset_of = [&](int i) { return ((uint64_t)p->scoop_of[i] * nonce_count + (p->nonce_of[i] - start)) * 64; };

    // Blocks: the samples sorted by offset, cut where the block changes.
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return offset_of(a) < offset_of(b); });
    p->blocks.clear();
    p->block_first.clear();
    p->block_sample = order;
    p->block_of.assign(n, 0);
    for (size_t k = 0; k < n; k++) {
        const uint64_t b = offset_of(order[k]) / CHECK_BLOCK_BYTES * CHECK_BLOCK_BYTES;
        if (p->blocks.empty() || p->blocks.back() != b) {
            p->blocks.push_back(b);
            p->block_first.push_back((int)k);
        }
        p->block_of[order[k]] = (int)p->blocks.size() - 1;
    }
    p->block_first.push_back((int)n);

    // The hashed nonces.
    p->nonces.assign(p->nonce_of.begin(), p->nonce_of.end());
    std::sort(p->nonces.begin(), p->nonces.end());
    p->nonces.erase(std::unique(p->nonces.begin(), p->nonces.end()), p->nonces.end());

    // Every scoop of a hashed nonce inside a block read: (nonce index,
    // scoop, byte in the blocks read, sample or -1).
    struct item_s {
        int j;
        uint32_t scoop;
        uint64_t at;
        int sample;
    };
    std::vector<item_s> items;
    const uint64_t file_bytes = nonce_count * PLOT_NONCE_BYTES;
    for (size_t b = 0; b < p->blocks.size(); b++) {
        const uint64_t end = std::min<uint64_t>(p->blocks[b] + CHECK_BLOCK_BYTES, file_bytes);
        int next_sample = p->block_first[b];
        for (uint64_t off = p->blocks[b]; off < end; off += 64) {
            const uint64_t q = off / 64;
            const uint64_t nonce = start + q % nonce_count;
            auto it = std::lower_bound(p->nonces.begin(), p->nonces.end(), nonce);
            if (it == p->nonces.end() || *it != nonce) continue;
            int sample = -1;
            if (next_sample < p->block_first[b + 1] && offset_of(p->block_sample[next_sample]) == off)
                sample = p->block_sample[next_sample++];
            items.push_back({(int)(it - p->nonces.begin()), (uint32_t)(q / nonce_count),
                             b * CHECK_BLOCK_BYTES + (off - p->blocks[b]), sample});
        }
    }
    std::sort(items.begin(), items.end(),
              [](const item_s& a, const item_s& b) { return a.j != b.j ? a.j < b.j : a.scoop < b.scoop; });
    const size_t m = items.size();
    p->scoop.resize(m);
    p->at.resize(m);
    p->sample.resize(m);
    p->item_of.assign(n, -1);
    p->first.assign(p->nonces.size() + 1, (int)m);
    for (size_t k = m; k-- > 0;) {
        p->first[items[k].j] = (int)k;
        p->scoop[k] = items[k].scoop;
        p->at[k] = items[k].at;
        p->sample[k] = items[k].sample;
        if (items[k].sample >= 0) p->item_of[items[k].sample] = (int)k;
    }
}
