// CPU seconds the plot checker spends recomputing the samples of one 1 GiB
// file (4096 nonces, the single-file sample count): the 4-lane AVX scoop
// operation in fours with single nonces for each chunk's end, against
// plot_nonces_scoops with the fastest form, both split into the checker's
// per-worker chunks and run on this thread. Run pinned:
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

void fastest(samples_s& s) {
    const int per_call = plot_nonces_per_call();
    for (int base = 0; base < s.count; base += s.chunk)
        for (int i = 0; i < s.chunk && base + i < s.count;) {
            int d = base + i;
            int n = std::min({per_call, s.chunk - i, s.count - d});
            plot_nonces_scoops(1337, n, &s.nonces[d], &s.scoops[d], &s.out[64 * d], true);
            i += n;
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
    check_choose_samples(s.count, 0, 4096, s.nonces.data(), s.scoops.data());
    printf("%d samples of a 4096-nonce file in chunks of %d\n", s.count, s.chunk);
    double before = -1;
    if (cpu_features() & CPU_FEATURE_AVX) {
        double t0 = cpu_seconds();
        fours_and_singles(s);
        before = cpu_seconds() - t0;
        printf("4-lane AVX in fours, singles at chunk ends: %8.2f CPU s\n", before);
    }
    std::vector<uint8_t> want = s.out;
    double t0 = cpu_seconds();
    fastest(s);
    double after = cpu_seconds() - t0;
    printf("plot_nonces_scoops, fastest form:            %8.2f CPU s\n", after);
    if (before > 0) {
        printf("speed-up: %.2fx\n", before / after);
        if (want != s.out) {
            fprintf(stderr, "the two paths computed different scoops\n");
            return 1;
        }
    }
    return 0;
}
