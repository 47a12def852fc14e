// Whole nonces per second on the calling thread for every hashing form, as
// ratios to the one-lane form, all measured in this one process. Run pinned
// to one core:
//   taskset -c 2 build/bench/bench_nonce_forms [rounds]
// The forms take turns round after round and each keeps its best round, and
// rounds are timed in this thread's CPU seconds, so load from other programs
// on a shared machine bends the ratios little.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/plotter.h"
#include "platform/cpu_features.h"
#include "plot/nonce.h"
#include "plot/plt_cpu.h"

namespace {

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

struct form_s {
    const char* name;
    uint32_t feature;  // 0: any processor
    plot_thread_fn worker;  // null: one-lane plot_nonce
    int nonces;             // per round
    double best;            // nonces per second
};

double run_round(form_s& f, uint64_t first, std::vector<uint8_t>& area, buffer_s* b) {
    double t0 = thread_seconds();
    if (!f.worker) {
        for (int j = 0; j < f.nonces; j++) plot_nonce(1337, first + j, area.data(), true);
    } else {
        volatile bool stop = false;
        uint64_t counter = 0;
        f.worker(b, 0, 1337, first, (uint64_t)f.nonces, &stop, &counter);
    }
    double dt = thread_seconds() - t0;
    return f.nonces / dt;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 5;
    form_s forms[] = {
        {"one-lane", 0, nullptr, 2, 0},
        {"4-lane SSE2, 1 group", CPU_FEATURE_SSE2, plot_thread_sse2, 4, 0},
        {"4-lane SSE2, 2 groups", CPU_FEATURE_SSE2, plot_thread_sse2, 8, 0},
        {"4-lane AVX, 1 group", CPU_FEATURE_AVX, plot_thread_avx, 4, 0},
        {"4-lane AVX, 2 groups", CPU_FEATURE_AVX, plot_thread_avx, 8, 0},
        {"8-lane AVX2, 1 group", CPU_FEATURE_AVX2, plot_thread_avx2, 8, 0},
        {"8-lane AVX2, 2 groups", CPU_FEATURE_AVX2, plot_thread_avx2, 16, 0},
    };
    std::vector<uint8_t> area(262144);
    buffer_s* b = buffer_create(16);
    if (!b) {
        fprintf(stderr, "no memory for a 16-nonce buffer\n");
        return 1;
    }
    uint64_t first = 0;
    for (int r = 0; r < rounds; r++)
        for (form_s& f : forms) {
            if (f.feature && !(cpu_features() & f.feature)) continue;
            double rate = run_round(f, first, area, b);
            first += (uint64_t)f.nonces;
            if (rate > f.best) f.best = rate;
        }
    buffer_destroy(b);
    printf("%-24s %12s %12s\n", "form", "nonces/s", "x one-lane");
    for (form_s& f : forms) {
        if (f.best == 0) {
            printf("%-24s %12s\n", f.name, "(missing)");
            continue;
        }
        printf("%-24s %12.1f %12.2f\n", f.name, f.best, f.best / forms[0].best);
    }
    return 0;
}
