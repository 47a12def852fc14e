// The checker engine against small plot files: files hold the real content
// of every nonce the checker samples (the sample sequence is reproducible
// through srand) and zeros elsewhere, so a check sees exactly what a full
// file would show it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <aio.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "checker/check_state.h"
#include "checker/ui_check.h"
#include "platform/sys_linux.h"
#include "plot/nonce.h"

namespace {

const uint64_t NONCE_BYTES = 262144;
const uint64_t ACCOUNT = 12345678901234567ull;

std::string g_dir;
int g_dir_fd = -1;
int g_reads = 0;

// Every third read is refused when queued; the others are queued against a
// folder, so they complete with an error.
int failing_aio_read(aiocb* r) {
    if (g_reads++ % 3 == 0) {
        errno = EIO;
        return -1;
    }
    r->aio_fildes = g_dir_fd;
    return aio_read(r);
}

// Every test runs in its own process: a private folder that also receives
// this process's log.txt.
class CheckerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/vg_checker_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        g_dir = tmpl;
        ASSERT_EQ(chdir(g_dir.c_str()), 0);
    }
    static void TearDownTestSuite() {
        std::string cmd = "rm -rf '" + g_dir + "'";
        (void)chdir("/");
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    void SetUp() override { srand(1); }

    std::string path(const std::string& name) { return g_dir + "/" + name; }

    // Writes nonces of a scoop-major file of n nonces (sparse elsewhere):
    // the nonces the next check with this seed and sample count will sample.
    void write_plot(const std::string& p, uint64_t start, uint64_t n, bool poc2, int samples,
                    unsigned seed) {
        int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_GT(fd, 0);
        ASSERT_EQ(ftruncate(fd, (off_t)(n * NONCE_BYTES)), 0);
        std::vector<uint64_t> nonces(samples);
        std::vector<uint32_t> scoops(samples);
        srand(seed);
        check_choose_samples(samples, start, n, nonces.data(), scoops.data());
        srand(seed);
        std::set<uint64_t> distinct(nonces.begin(), nonces.end());
        std::vector<uint64_t> wanted(distinct.begin(), distinct.end());
        std::vector<std::thread> threads;
        unsigned tc = std::max(1u, std::thread::hardware_concurrency());
        std::atomic<int> short_writes{0};
        for (unsigned t = 0; t < tc; t++) {
            threads.emplace_back([&, t] {
                std::vector<uint8_t> data(NONCE_BYTES);
                for (size_t j = t; j < wanted.size(); j += tc) {
                    uint64_t k = wanted[j];
                    plot_nonce(ACCOUNT, k, data.data(), poc2);
                    for (uint64_t s = 0; s < 4096; s++)
                        if (pwrite(fd, data.data() + s * 64, 64, (off_t)((s * n + (k - start)) * 64)) != 64)
                            short_writes++;
                }
            });
        }
        for (std::thread& t : threads) t.join();
        close(fd);
        ASSERT_EQ(short_writes.load(), 0);
    }

    checker_s* check(const std::vector<std::string>& files, int samples) {
        checker_s* c = checker_create(nullptr, files, samples);
        check_thread_proc(c);
        return c;
    }

    std::string log_text() {
        std::ifstream f(path("log.txt"));
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

TEST_F(CheckerTest, SampleCountIsOnePerBarPixelWithinOneToFourThousandNinetySix) {
    struct {
        int entries, width, want;
    } cases[] = {{1, 640, 1770}, {1, 5000, 1770}, {2, 640, 592}, {3, 1024, 976},
                 {0, 640, 592},  {2, 5000, 4096}, {2, 40, 1}};
    for (auto& k : cases)
        EXPECT_EQ(check_sample_count(k.entries, k.width), k.want) << k.entries << " " << k.width;
}

TEST_F(CheckerTest, SamplesSweepTheScoopBandsAndPinBothEnds) {
    for (int n : {1770, 976, 1, 2}) {
        std::vector<uint64_t> nonces(n);
        std::vector<uint32_t> scoops(n);
        srand(1);
        check_choose_samples(n, 1000, 256, nonces.data(), scoops.data());
        int step = 4096 / n;
        EXPECT_EQ(scoops[n - 1], 4095u);
        EXPECT_EQ(nonces[n - 1], 1000u + 255);
        if (n > 1) {
            EXPECT_EQ(scoops[0], 0u);
            EXPECT_EQ(nonces[0], 1000u);
        }
        // Two draws for every sample, the pinned ones included.
        srand(1);
        for (int i = 0; i < n; i++) {
            unsigned r1 = (unsigned)rand(), r2 = (unsigned)rand();
            if (i == 0 || i == n - 1) continue;
            EXPECT_EQ(scoops[i], (uint32_t)(step * i) + r1 % (unsigned)step) << n << " " << i;
            EXPECT_EQ(nonces[i], 1000u + r2 % 256u);
        }
    }
}

TEST_F(CheckerTest, FoldersYieldTheirPlotsAndThoseOneLevelDown) {
    mkdir(path("f").c_str(), 0755);
    mkdir(path("f/sub").c_str(), 0755);
    mkdir(path("f/sub/deep").c_str(), 0755);
    for (const char* name : {"f/1_0_8", "f/notes.txt", "f/sub/1_8_8_8", "f/sub/deep/1_16_8", "lone_2_3_4x"})
        std::ofstream(path(name)) << "x";
    std::string f = path("f"), lone = path("9_0_8"), missing = path("nothing"), txt = path("f/notes.txt");
    const char* paths[] = {f.c_str(), lone.c_str(), missing.c_str(), txt.c_str()};
    std::vector<std::string> got = check_collect(4, paths);
    std::multiset<std::string> want = {path("f/1_0_8"), path("f/sub/1_8_8_8"), lone};
    EXPECT_EQ(std::multiset<std::string>(got.begin(), got.end()), want);
}

TEST_F(CheckerTest, CorrectPoc2AndOptimizedPoc1FilesAreAllCorrect) {
    write_plot(path("12345678901234567_1000_256"), 1000, 256, true, 48, 7);
    write_plot(path("12345678901234567_0_256_256"), 0, 256, false, 48, 8);
    srand(7);
    checker_s* c = checker_create(nullptr, {path("12345678901234567_1000_256")}, 48);
    check_thread_proc(c);
    srand(8);
    checker_s* d = checker_create(nullptr, {path("12345678901234567_0_256_256")}, 48);
    check_thread_proc(d);
    for (checker_s* k : {c, d}) {
        const check_entry_s& e = k->entries[0];
        EXPECT_FALSE(e.skipped);
        EXPECT_TRUE(e.finished);
        EXPECT_TRUE(e.all_correct) << e.path;
        for (const check_sample_s& s : e.status) {
            EXPECT_TRUE(s.read_issued && s.read_done && s.expected_ready && s.compared && s.equal);
        }
        checker_destroy(k);
    }
}

TEST_F(CheckerTest, OneCorruptedSampledScoopMakesThatSampleUnequal) {
    const int n = 48;
    std::string p = path("12345678901234567_0_256");
    write_plot(p, 0, 256, true, n, 3);
    std::vector<uint64_t> nonces(n);
    std::vector<uint32_t> scoops(n);
    srand(3);
    check_choose_samples(n, 0, 256, nonces.data(), scoops.data());
    int bad = 17;
    int fd = open(p.c_str(), O_WRONLY);
    uint8_t junk = 0x5a;
    ASSERT_EQ(pwrite(fd, &junk, 1, (off_t)(((uint64_t)scoops[bad] * 256 + nonces[bad]) * 64 + 5)), 1);
    close(fd);
    srand(3);
    checker_s* c = check({p}, n);
    const check_entry_s& e = c->entries[0];
    EXPECT_FALSE(e.all_correct);
    EXPECT_TRUE(e.finished);
    for (int i = 0; i < n; i++) {
        EXPECT_TRUE(e.status[i].compared);
        // Another sample may share the corrupted nonce, never the scoop.
        EXPECT_EQ((bool)e.status[i].equal, i != bad) << i;
    }
    checker_destroy(c);
}

TEST_F(CheckerTest, FilesThatCannotBeCheckedAreSkippedWithTheirReason) {
    std::string truncated = path("1_0_256"), unoptimized = path("1_0_256_64"), empty = path("1_0_8");
    std::string good = path("12345678901234567_0_256");
    write_plot(good, 0, 256, true, 8, 5);
    {
        std::ofstream(empty.c_str());
        int fd = open(truncated.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_EQ(ftruncate(fd, 255 * (off_t)NONCE_BYTES), 0);
        close(fd);
        std::ofstream(unoptimized) << "x";
    }
    srand(5);
    checker_s* c = check({good, truncated, unoptimized, empty, path("1_0_16")}, 8);
    EXPECT_TRUE(c->entries[0].all_correct);
    for (int i = 1; i < 5; i++) {
        EXPECT_TRUE(c->entries[i].skipped) << c->entries[i].path;
        EXPECT_TRUE(c->entries[i].finished);
        EXPECT_FALSE(c->entries[i].all_correct);
        EXPECT_FALSE(c->entries[i].status[0].read_issued);
    }
    std::string log = log_text();
    EXPECT_NE(log.find(truncated + " has incorrect file size\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Only optimized files are supported by the checker, skipping " + unoptimized + "\n"),
              std::string::npos);
    EXPECT_EQ(log.find(empty + " has incorrect"), std::string::npos);
    checker_destroy(c);
}

TEST_F(CheckerTest, FailedReadsEndThePollAndShowTheirSamplesAsNotCorrect) {
    const int n = 24;
    std::string p = path("12345678901234567_0_256");
    write_plot(p, 0, 256, true, n, 9);
    g_dir_fd = open(g_dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GT(g_dir_fd, 0);
    int (*saved)(aiocb*) = g_sys_aio_read;
    g_sys_aio_read = failing_aio_read;
    srand(9);
    checker_s* c = check({p}, n);
    g_sys_aio_read = saved;
    close(g_dir_fd);
    const check_entry_s& e = c->entries[0];
    EXPECT_TRUE(e.finished);
    EXPECT_FALSE(e.all_correct);
    for (const check_sample_s& s : e.status) {
        EXPECT_TRUE(s.compared && !s.equal);
        EXPECT_FALSE(s.read_done);
    }
    checker_destroy(c);
}

TEST_F(CheckerTest, StopEndsACheckInProgressPromptlyAndLeavesTheFileUnsettled) {
    // Zeros everywhere: every sample would be computed and found unequal.
    std::string p = path("12345678901234567_0_1024");
    int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, 1024 * (off_t)NONCE_BYTES), 0);
    close(fd);
    checker_s* c = checker_create(nullptr, {p, p}, 4096);
    c->thread = std::thread(check_thread_proc, c);
    auto issued = [&] {
        for (auto& s : c->entries[0].status)
            if (!s.read_issued) return false;
        return true;
    };
    for (int i = 0; i < 2000 && !issued(); i++) usleep(1000);
    usleep(20000);
    auto t0 = std::chrono::steady_clock::now();
    c->stop.exchange(true);
    c->thread.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // Only a hang guard: the workers end after their current nonce or group
    // of four, far sooner than the minutes the whole file would take.
    EXPECT_LT(secs, 120.0);
    EXPECT_FALSE(c->entries[0].finished);
    EXPECT_FALSE(c->entries[1].status[0].read_issued);
    int computed = 0;
    for (auto& s : c->entries[0].status) computed += s.expected_ready;
    EXPECT_LT(computed, 4096);
    checker_destroy(c);
}

TEST_F(CheckerTest, KeysScrollTheListWithinItsContent) {
    checker_s* c = checker_create(nullptr, {}, 1);
    g_checker = c;
    c->view_height = 342;
    c->scroll.content = 540;  // ten rows
    struct {
        int key;
        float want;
    } steps[] = {{1, -198}, {2, 0}, {0, -85}, {0, -170}, {0, -198}, {9, -113}, {5, 0}, {4, -198}, {3, -198}, {-1, -198}};
    for (auto& s : steps) {
        check_key_cb(nullptr, s.key);
        EXPECT_FLOAT_EQ(c->scroll.scroll_offset, s.want) << s.key;
    }
    c->scroll.content = 108;  // shorter than the view
    for (int key : {1, 0, 4, 9, 5, 2}) {
        check_key_cb(nullptr, key);
        EXPECT_FLOAT_EQ(c->scroll.scroll_offset, 0) << key;
    }
    g_checker = nullptr;
    checker_destroy(c);
}

}  // namespace
