// CPU seconds the plot checker spends recomputing the samples of one 1 GiB
// file (4096 nonces, the single-file sample count): the 4-lane AVX scoop
// operation in fours with single nonces for each chunk's end (one scoop per
// sample, a nonce hashed per sample), against the plan the checker runs:
// each distinct sampled nonce hashed once, a lane-filling call at a time,
// with every compared scoop of it (its samples and the other scoops in the
// blocks read) taken out. Both on this thread. Run pinned:
//   taskset -c 2 build/bench/bench_checker_samples [samples]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "checker/check_state.h"
#include "platform/cpu_features.h"
#include "plot/nonce.h"
#include "plot/plt_cpu.h"

namespace {

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

struct samples_s {
    int count, chunk;
    std::vector<uint64_t> nonces;
    std::vector<uint32_t> scoops;
    std::vector<uint8_t> out;
};

void fours_and_singles(samples_s& s) {
    std::vector<uint8_t> scratch(262144);
    for (int base = 0; base < s.count; base += s.chunk)
        for (int i = 0; i < s.chunk && base + i < s.count;) {
            int d = base + i;
            if (i + 4 < s.chunk && d + 4 <= s.count) {
                plot_nonces_x4_scoop(1337, &s.nonces[d], &s.scoops[d], &s.out[64 * d], true);
                i += 4;
            } else {
                plot_nonce(1337, s.nonces[d], scratch.data(), true);
                std::copy_n(&scratch[64 * s.scoops[d]], 64, &s.out[64 * d]);
                i += 1;
            }
        }
}

// As the checker's workers take the plan: per_call nonces per call.
void merged_plan(const check_plan_s& p, std::vector<uint8_t>& out) {
    const int per_call = plot_nonces_per_call();
    const int total = (int)p.nonces.size();
    for (int j = 0; j < total; j += per_call) {
        const int m = std::min(per_call, total - j);
        plot_nonces_scoop_sets(1337, m, &p.nonces[j], &p.first[j], p.scoop.data(), out.data(), true);
    }
}

}  // namespace

int main(int argc, char** argv) {
    samples_s s;
    s.count = argc > 1 ? atoi(argv[1]) : CHECK_SINGLE_SAMPLES;
    if (s.count < 1) s.count = 1;
    int workers = std::max(1, cpu_count() - 1);
    s.chunk = std::max(1, (s.count + workers - 1) / workers);
    s.nonces.resize(s.count);
    s.scoops.resize(s.count);
    s.out.resize(64 * (size_t)s.count);
    check_random_seed(1);
    check_choose_samples(s.count, 0, 4096, s.nonces.data(), s.scoops.data());
    printf("%d samples of a 4096-nonce file in chunks of %d\n", s.count, s.chunk);
    double before = -1;
    if (cpu_features() & CPU_FEATURE_AVX) {
        double t0 = cpu_seconds();
        fours_and_singles(s);
        before = cpu_seconds() - t0;
        printf("4-lane AVX in fours, singles at chunk ends: %8.2f CPU s\n", before);
    }
    check_random_seed(1);
    check_plan_s plan;
    check_plan_make(&plan, s.count, 0, 4096);
    std::vector<uint8_t> out(plan.at.size() * 64);
    double t0 = cpu_seconds();
    merged_plan(plan, out);
    double after = cpu_seconds() - t0;
    printf("merged plan: %zu nonces hashed once, %zu scoops compared: %8.2f CPU s\n", plan.nonces.size(),
           plan.at.size(), after);
    if (before > 0) printf("speed-up: %.2fx, %.1fx the scoops compared\n", before / after,
                           (double)plan.at.size() / s.count);
    // Spot check: each sample's scoop equals the one-scoop path's.
    if (before > 0)
        for (int i = 0; i < s.count; i++)
            if (plan.nonce_of[i] == s.nonces[i] &&
                !std::equal(&out[64 * (size_t)plan.item_of[i]], &out[64 * (size_t)plan.item_of[i]] + 64, &s.out[64 * (size_t)i])) {
                fprintf(stderr, "the two paths computed different scoops\n");
                return 1;
            }
    return 0;
}
