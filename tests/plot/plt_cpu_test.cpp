// The CPU batch, its three worker builds, the benchmark, the checker's scoop
// operations and the best-deadline search against plot_nonce.
// Counts stay small so the suite is quick under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>

#include "engine/plotter.h"
#include "platform/cpu_features.h"
#include "platform/sys_linux.h"
#include "plot/nonce.h"
#include "plot/plt_cpu.h"
#include "plot/shabal.h"

namespace {

// PoC2 bytes of nonce n of account 1337, computed once per test binary.
const std::vector<uint8_t>& expected_nonce(uint64_t n) {
    static std::map<uint64_t, std::vector<uint8_t>> cache;
    auto it = cache.find(n);
    if (it != cache.end()) return it->second;
    std::vector<uint8_t>& v = cache[n];
    v.resize(262144);
    plot_nonce(1337, n, v.data(), true);
    return v;
}

const uint32_t MASK_SSE2 = 0x3F, MASK_AVX = 0x7F, MASK_AVX2 = 0xFF;

class PlotCpu : public ::testing::Test {
  protected:
    int cpu_threads = 0;  // the run's setting the workers are given
    int saved_features = 0;
    drive_s drive{};
    std::vector<buffer_s*> buffers;
    void SetUp() override {
        cpu_features();  // fill the cache before changing it
        saved_features = g_cpu_features.load();
    }
    void TearDown() override {
        g_cpu_features.store(saved_features);
        for (buffer_s* b : buffers) buffer_destroy(b);
    }
    // Runs the build the mask selects; false when this processor lacks it.
    bool force_build(uint32_t mask) {
        if ((uint32_t(saved_features) & mask) != mask) return false;
        g_cpu_features.store(int(mask));
        return true;
    }
    buffer_s* new_buffer(uint64_t capacity) {
        buffer_s* b = buffer_create(capacity);
        EXPECT_NE(b, nullptr);
        memset(b->data, 0xAB, capacity * 262144);
        buffers.push_back(b);
        return b;
    }
    void make_job(job_s& job, buffer_s* b, uint64_t nonces, uint64_t done) {
        job.account_id = 1337;
        job.start_nonce = 1000;
        job.nonces = nonces;
        job.nonces_done = done;
        job.compute_buffer = b;
        drive.sector_size = 64;  // one scoop slot per sector: any batch fits
        job.write_drive = &drive;
    }
    // Buffer nonce k holds nonce start + done + k for k < d; later slots are
    // untouched. written[k] false expects slot k untouched.
    void expect_batch(const job_s& job, uint64_t d, const std::vector<bool>& written, const char* what) {
        buffer_s* b = job.compute_buffer;
        std::vector<uint8_t> untouched(64, 0xAB);
        for (uint64_t k = 0; k < b->capacity; k++) {
            bool w = k < d && (written.empty() || written[k]);
            const uint8_t* want = w ? expected_nonce(job.start_nonce + job.nonces_done + k).data() : nullptr;
            for (uint64_t s = 0; s < 4096; s++) {
                const uint8_t* slot = b->data + (s * b->capacity + k) * 64;
                if (memcmp(slot, w ? &want[64 * s] : untouched.data(), 64) != 0) {
                    ADD_FAILURE() << what << ": buffer nonce " << k << " scoop " << s << (w ? " wrong" : " written");
                    return;
                }
            }
        }
    }
};

struct batch_case {
    const char* what;
    int threads;
    uint64_t capacity, nonces, done;
};

// Each build, with slices that make groups, singles, leftovers for the
// calling thread, d below T, and a buffer larger than the batch.
TEST_F(PlotCpu, BatchEqualsPlotNonceInEveryBuild) {
    const batch_case cases[] = {
        {"d below T", 5, 4, 3, 0},
        {"d a multiple of T, 8-lane groups", 2, 16, 16, 0},
        {"slice of 6", 1, 6, 6, 0},
        {"leftovers, later batch", 3, 11, 40, 29},
        {"buffer larger than batch", 2, 12, 9, 0},
        {"two full groups, a padded group", 1, 21, 21, 0},
        {"full groups, a lone nonce", 1, 17, 17, 0},
        {"leftovers fill two groups", 20, 37, 37, 0},
    };
    const struct {
        const char* name;
        uint32_t mask;
    } builds[] = {{"sse2", MASK_SSE2}, {"avx", MASK_AVX}, {"avx2", MASK_AVX2}};
    for (auto& build : builds) {
        if (!force_build(build.mask)) continue;
        for (auto& c : cases) {
            cpu_threads = c.threads;
            buffer_s* b = new_buffer(c.capacity);
            job_s job{};
            make_job(job, b, c.nonces, c.done);
            volatile bool stop = false;
            uint64_t d = std::min(c.nonces - c.done, c.capacity);
            std::string what = std::string(build.name) + ", " + c.what;
            EXPECT_EQ(job_plot_cpu(&job, cpu_threads, &stop), d) << what;
            EXPECT_EQ(b->progress.load(), d) << what;
            expect_batch(job, d, {}, what.c_str());
        }
    }
}

// The machine's own build, with one worker and with more workers than
// processors; a negative setting falls back to the default.
TEST_F(PlotCpu, ThreadCounts) {
    cpu_threads = -4;
    int def = cpu_count() - 1 < 1 ? 1 : cpu_count() - 1;
    EXPECT_EQ(plot_cpu_thread_count(cpu_threads), def);
    cpu_threads = 0;
    EXPECT_EQ(plot_cpu_thread_count(cpu_threads), def);
    for (int threads : {1, cpu_count() + 1, -1}) {
        cpu_threads = threads;
        buffer_s* b = new_buffer(threads == 1 ? 5 : (uint64_t)plot_cpu_thread_count(cpu_threads) + 1);
        job_s job{};
        make_job(job, b, b->capacity, 0);
        volatile bool stop = false;
        EXPECT_EQ(job_plot_cpu(&job, cpu_threads, &stop), b->capacity) << threads << " threads";
        expect_batch(job, b->capacity, {}, "thread counts");
    }
}

// Stop before the call: workers end at once, the calling thread still
// hashes the leftover, nothing is published, the result is 0.
TEST_F(PlotCpu, StopBeforeCall) {
    cpu_threads = 2;
    buffer_s* b = new_buffer(5);
    job_s job{};
    make_job(job, b, 5, 0);
    volatile bool stop = true;
    EXPECT_EQ(job_plot_cpu(&job, cpu_threads, &stop), 0u);
    EXPECT_EQ(b->progress.load(), 0u);
    expect_batch(job, 5, {false, false, false, false, true}, "stopped");
}

// A batch that does not fill whole sectors is reported but hashed.
TEST_F(PlotCpu, BatchNotSectorMultipleStillHashed) {
    cpu_threads = 1;
    buffer_s* b = new_buffer(3);
    job_s job{};
    make_job(job, b, 3, 0);
    drive.sector_size = 16384;
    volatile bool stop = false;
    testing::internal::CaptureStderr();
    EXPECT_EQ(job_plot_cpu(&job, cpu_threads, &stop), 3u);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Assertion failure plt_cpu : 271"), std::string::npos);
    expect_batch(job, 3, {}, "not sector multiple");
}

// Without memory for 16 nonces per thread the benchmark still returns a rate.
TEST_F(PlotCpu, BenchmarkWithoutBuffer) {
#if defined(VG_UNDER_ASAN) || defined(VG_UNDER_TSAN)
    GTEST_SKIP() << "sanitizer allocators abort on the oversized request";
#endif
    cpu_threads = INT_MAX;
    testing::internal::CaptureStderr();
    double rate = cpu_benchmark(cpu_threads);
    testing::internal::GetCapturedStderr();
    EXPECT_GT(rate, 0.0);
}

// The checker's scoop operations against plot_nonce in both orders: the
// 4-lane AVX one, and the fastest form in every build with counts that fill
// the lanes, pad them, leave a lone nonce, or take several calls' worth.
TEST_F(PlotCpu, ScoopsEqualPlotNonce) {
    std::vector<uint64_t> nonces = {7, 7, 7, 7, 0, 1, 0x8000000000000001ull, ~0ull};
    std::vector<uint32_t> scoops = {0, 4095, 2047, 2048, 5, 5, 5, 5};
    for (uint64_t i = 0; nonces.size() < 35; i++) {
        nonces.push_back(3 + 7 * i);
        scoops.push_back((uint32_t)(i * 613 % 4096));
    }
    std::map<uint64_t, std::vector<uint8_t>> poc1;
    for (uint64_t n : nonces) {
        if (poc1.count(n)) continue;
        poc1[n].resize(262144);
        plot_nonce(1337, n, poc1[n].data(), false);
    }
    auto expect_scoops = [&](const uint8_t* out, int n, bool poc2, const std::string& what) {
        for (int j = 0; j < n; j++) {
            const uint8_t* w = poc1[nonces[j]].data();
            uint32_t s = scoops[j];
            uint8_t want[64];
            memcpy(want, w + 64 * s, 32);
            memcpy(want + 32, w + 64 * (poc2 ? 4095 - s : s) + 32, 32);
            EXPECT_EQ(memcmp(out + 64 * j, want, 64), 0) << what << ", sample " << j << ", poc2 " << poc2;
        }
    };
    std::vector<uint8_t> out(64 * nonces.size() + 1);
    for (bool poc2 : {true, false}) {
        if (cpu_features() & CPU_FEATURE_AVX) {
            plot_nonces_x4_scoop(1337, nonces.data(), scoops.data(), out.data() + 1, poc2);
            expect_scoops(out.data() + 1, 4, poc2, "x4 AVX");
        }
        for (uint32_t mask : {MASK_SSE2, MASK_AVX, MASK_AVX2}) {
            if (!force_build(mask)) continue;
            for (int n : {1, 3, 8, 16, 17, 35}) {
                plot_nonces_scoops(1337, n, nonces.data(), scoops.data(), out.data() + 1, poc2);
                expect_scoops(out.data() + 1, n, poc2, "mask " + std::to_string(mask) + ", " + std::to_string(n));
            }
            // Several scoops of one nonce from one hashing: nonce 7 once
            // with its four scoops, then nonces with none, one, or many.
            std::vector<uint64_t> distinct = {7, 0, 1, 0x8000000000000001ull, ~0ull};
            std::vector<int> first = {0, 4, 5, 6, 6, 8};
            std::vector<uint32_t> set_scoops = {0, 4095, 2047, 2048, 5, 5, 9, 4094};
            std::vector<uint64_t> owner = {7, 7, 7, 7, 0, 1, ~0ull, ~0ull};
            for (uint64_t i = 0; distinct.size() < 19; i++) {
                distinct.push_back(3 + 7 * i);
                for (uint32_t k = 0; k < i % 4; k++) {
                    set_scoops.push_back((uint32_t)((i * 613 + k * 1001) % 4096));
                    owner.push_back(3 + 7 * i);
                }
                first.push_back((int)set_scoops.size());
            }
            for (uint64_t n : owner)
                if (!poc1.count(n)) {
                    poc1[n].resize(262144);
                    plot_nonce(1337, n, poc1[n].data(), false);
                }
            for (int n : {1, 2, 5, 19}) {
                std::vector<uint8_t> got(64 * set_scoops.size() + 1);
                plot_nonces_scoop_sets(1337, n, distinct.data(), first.data(), set_scoops.data(), got.data() + 1,
                                       poc2);
                for (int k = 0; k < first[n]; k++) {
                    const uint8_t* w = poc1[owner[k]].data();
                    uint32_t s = set_scoops[k];
                    uint8_t want[64];
                    memcpy(want, w + 64 * s, 32);
                    memcpy(want + 32, w + 64 * (poc2 ? 4095 - s : s) + 32, 32);
                    EXPECT_EQ(memcmp(got.data() + 1 + 64 * k, want, 64), 0)
                        << "sets, mask " << mask << ", " << n << " nonces, scoop " << k << ", poc2 " << poc2;
                }
            }
        }
    }
}

// Every build finds the smallest leading 8 bytes of Shabal-256(g ‖ scoop);
// a tie keeps the lower index.
TEST_F(PlotCpu, BestDeadlineAllBuilds) {
    const uint64_t n = 24;
    std::vector<uint8_t> scoops(64 * n);
    for (size_t i = 0; i < scoops.size(); i++) scoops[i] = (uint8_t)(i * 29 + 3);
    memcpy(&scoops[64 * 17], &scoops[64 * 9], 64);  // a tie
    uint8_t g[32];
    for (int i = 0; i < 32; i++) g[i] = (uint8_t)(i + 100);
    uint64_t want = ~0ull, want_index = 0;
    for (uint64_t i = 0; i < n; i++) {
        shabal_scalar_context ctx;
        shabal_scalar_init(&ctx, 256);
        shabal_scalar_update(&ctx, g, 32);
        shabal_scalar_update(&ctx, &scoops[64 * i], 64);
        uint8_t d[32];
        shabal_scalar_close(&ctx, 0, 0, d);
        uint64_t v;
        memcpy(&v, d, 8);
        if (v < want) {
            want = v;
            want_index = i;
        }
    }
    // Make the tie the winner so the lower index must be kept.
    memcpy(&scoops[64 * 9], &scoops[64 * want_index], 64);
    memcpy(&scoops[64 * 17], &scoops[64 * want_index], 64);
    uint64_t low = want_index < 9 ? want_index : 9;
    const struct {
        uint32_t feature;
        void (*fn)(uint64_t, const uint8_t*, const uint8_t*, uint64_t*, uint64_t*);
    } forms[] = {{CPU_FEATURE_SSE2, best_deadline_sse2},
                 {CPU_FEATURE_AVX, best_deadline_avx},
                 {CPU_FEATURE_AVX2, best_deadline_avx2}};
    for (auto& f : forms) {
        if (!(cpu_features() & f.feature)) continue;
        uint64_t best = 0, index = 99;
        f.fn(n, scoops.data(), g, &best, &index);
        EXPECT_EQ(best, want);
        EXPECT_EQ(index, low);
    }
}

// A sound buffer passes quietly; a damaged scoop of the first nonce is
// reported (the first sample is always nonce 0).
TEST_F(PlotCpu, BufferVerify) {
    cpu_threads = 1;
    buffer_s* b = new_buffer(4);
    job_s job{};
    make_job(job, b, 4, 0);
    volatile bool stop = false;
    ASSERT_EQ(job_plot_cpu(&job, cpu_threads, &stop), 4u);
    testing::internal::CaptureStderr();
    buffer_verify(1337, 1000, b, 4, 3, true);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("Assertion failure"), std::string::npos);
    b->data[(100 * 4 + 0) * 64 + 5] ^= 1;
    testing::internal::CaptureStderr();
    buffer_verify(1337, 1000, b, 4, 1, true);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Assertion failure plt_cpu : 396"), std::string::npos);
}

}  // namespace
