// The checker engine against small plot files: files hold the real content
// of every nonce the checker samples (the sample sequence is reproducible
// through check_random_seed) and zeros elsewhere, so a check sees exactly
// what a full file would show it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "checker/check_state.h"
#include "app/settings.h"
#include "app/startup.h"
#include "checker/ui_check.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "plot/nonce.h"
#include "plot/plt_cpu.h"
#include "tests/ui/surface_window.h"

namespace {

const uint64_t NONCE_BYTES = 262144;
const uint64_t ACCOUNT = 12345678901234567ull;

std::string g_dir;
std::atomic<int> g_reads{0};

// A disk that fails: every third read with an I/O error, every third one
// short (as when the file shrinks under the checker).
ssize_t failing_pread(int fd, void* buf, size_t count, off_t offset) {
    int k = g_reads++;
    if (k % 3 == 0) {
        errno = EIO;
        return -1;
    }
    if (k % 3 == 1) return 0;
    return pread(fd, buf, count, offset);
}

// A slow disk that counts the reads it serves at once.
std::atomic<int> g_in_flight{0}, g_most_in_flight{0};
ssize_t slow_pread(int fd, void* buf, size_t count, off_t offset) {
    int now = ++g_in_flight;
    int most = g_most_in_flight.load();
    while (now > most && !g_most_in_flight.compare_exchange_weak(most, now)) {
    }
    usleep(10000);
    ssize_t n = pread(fd, buf, count, offset);
    --g_in_flight;
    return n;
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
    void SetUp() override { check_random_seed(1); }

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
        check_random_seed(seed);
        check_choose_samples(samples, start, n, nonces.data(), scoops.data());
        check_random_seed(seed);
        std::set<uint64_t> distinct(nonces.begin(), nonces.end());
        std::vector<uint64_t> wanted(distinct.begin(), distinct.end());
        std::vector<std::thread> threads;
        const unsigned tc = 2;  // the processors ctest is told a checker test uses
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

// Whatever the sample count (one file, or one sample per bar pixel of a
// list at any window width), every scoop of every band and every nonce of
// the file, first and last included, can be chosen; each sample stays in
// its own band.
TEST_F(CheckerTest, EveryScoopAndEveryNonceCanBeChosen) {
    struct {
        int entries, width;
    } cases[] = {{1, 640}, {2, 49}, {2, 50}, {2, 51}, {2, 640}, {2, 1024}, {2, 2095}, {2, 2097},
                 {2, 4143}, {2, 4144}, {2, 9000}};
    const uint64_t start = 1000, nonces = 5;
    for (auto& k : cases) {
        const int n = check_sample_count(k.entries, k.width);
        std::vector<uint64_t> nonce_of(n);
        std::vector<uint32_t> scoop_of(n);
        std::vector<bool> scoop_seen(4096, false);
        std::vector<bool> nonce_seen(nonces, false);
        int scoops_left = 4096, nonces_left = (int)nonces;
        // Enough draws to meet every scoop of a band 4096 wide many times
        // over; far fewer are needed for narrow bands.
        for (long drawn = 0; (scoops_left > 0 || nonces_left > 0) && drawn < 4000000; drawn += n) {
            check_choose_samples(n, start, nonces, nonce_of.data(), scoop_of.data());
            for (int i = 0; i < n; i++) {
                ASSERT_GE(scoop_of[i], (uint32_t)((uint64_t)i * 4096 / n)) << n << " " << i;
                ASSERT_LT(scoop_of[i], (uint32_t)((uint64_t)(i + 1) * 4096 / n)) << n << " " << i;
                ASSERT_GE(nonce_of[i], start);
                ASSERT_LT(nonce_of[i], start + nonces);
                if (!scoop_seen[scoop_of[i]]) scoop_seen[scoop_of[i]] = true, scoops_left--;
                if (!nonce_seen[nonce_of[i] - start]) nonce_seen[nonce_of[i] - start] = true, nonces_left--;
            }
        }
        int first_missing = (int)(std::find(scoop_seen.begin(), scoop_seen.end(), false) - scoop_seen.begin());
        EXPECT_EQ(scoops_left, 0) << n << " samples: scoop " << first_missing << " never chosen";
        EXPECT_EQ(nonces_left, 0) << n << " samples";
    }
}

// The plan: each distinct sampled nonce once, carrying every sample that
// falls on it and every other scoop of it that lies in a block read; every
// sample in the block that holds it.
TEST_F(CheckerTest, ThePlanComparesEveryScoopOfAHashedNonceInTheBlocksRead) {
    for (uint64_t nonces : {1ull, 3ull, 256ull, 1ull << 40}) {
        const uint64_t start = 77;
        check_plan_s p;
        check_plan_make(&p, 592, start, nonces);
        ASSERT_EQ(p.first.size(), p.nonces.size() + 1);
        ASSERT_EQ(p.block_first.size(), p.blocks.size() + 1);
        EXPECT_EQ(p.first.back(), (int)p.at.size());
        std::vector<int> seen(592, 0);
        std::set<uint64_t> positions;
        for (size_t j = 0; j < p.nonces.size(); j++) {
            if (j > 0) {
                EXPECT_LT(p.nonces[j - 1], p.nonces[j]);
            }
            EXPECT_LT(p.first[j], p.first[j + 1]);
            for (int k = p.first[j]; k < p.first[j + 1]; k++) {
                // Scoop scoop[k] of nonce j lies at at[k] of the blocks read.
                const uint64_t b = p.at[k] / CHECK_BLOCK_BYTES;
                ASSERT_LT(b, p.blocks.size());
                const uint64_t offset = p.blocks[b] + p.at[k] % CHECK_BLOCK_BYTES;
                EXPECT_EQ(offset, ((uint64_t)p.scoop[k] * nonces + (p.nonces[j] - start)) * 64);
                EXPECT_TRUE(positions.insert(p.at[k]).second);
                if (p.sample[k] >= 0) {
                    EXPECT_EQ(p.nonce_of[p.sample[k]], p.nonces[j]);
                    EXPECT_EQ(p.scoop[k], p.scoop_of[p.sample[k]]);
                    EXPECT_EQ(p.item_of[p.sample[k]], k);
                    seen[p.sample[k]]++;
                }
            }
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 592);
        for (int i = 0; i < 592; i++) {
            const uint64_t offset = ((uint64_t)p.scoop_of[i] * nonces + (p.nonce_of[i] - start)) * 64;
            EXPECT_EQ(p.blocks[p.block_of[i]], offset / CHECK_BLOCK_BYTES * CHECK_BLOCK_BYTES);
        }
        if (nonces == 1) {
            // The one nonce's 64 blocks all hold samples: every scoop of it.
            EXPECT_EQ(p.nonces.size(), 1u);
            EXPECT_EQ(p.at.size(), 4096u);
        }
        if (nonces == (1ull << 40)) {
            // Nonces this far apart share no block.
            EXPECT_EQ(p.at.size(), 592u);
        }
    }
}

// Run by the test below in a fresh process of this program, without the
// fixture's seed.
TEST(CheckerStart, PrintsTheFirstSamplesOfAFreshStart) {
    if (!getenv("VG_CHECKER_PRINT_SAMPLES")) GTEST_SKIP() << "only as a fresh process of the next test";
    std::vector<uint64_t> nonces(16);
    std::vector<uint32_t> scoops(16);
    check_choose_samples(16, 0, 1u << 30, nonces.data(), scoops.data());
    for (int i = 1; i < 15; i++) printf("sample %llu %u\n", (unsigned long long)nonces[i], scoops[i]);
}

// Each start of the program samples other places.
TEST_F(CheckerTest, EachStartSamplesOtherPlaces) {
    auto fresh_start = [] {
        std::string cmd = "VG_CHECKER_PRINT_SAMPLES=1 /proc/" + std::to_string(getpid()) +
                          "/exe --gtest_filter=CheckerStart.PrintsTheFirstSamplesOfAFreshStart 2>&1 | grep '^sample'";
        FILE* p = popen(cmd.c_str(), "r");
        std::string out;
        char line[256];
        while (p && fgets(line, sizeof line, p)) out += line;
        if (p) pclose(p);
        return out;
    };
    std::string a = fresh_start(), b = fresh_start();
    EXPECT_FALSE(a.empty());
    EXPECT_NE(a, b);
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
    check_random_seed(7);
    checker_s* c = checker_create(nullptr, {path("12345678901234567_1000_256")}, 48);
    check_thread_proc(c);
    check_random_seed(8);
    checker_s* d = checker_create(nullptr, {path("12345678901234567_0_256_256")}, 48);
    check_thread_proc(d);
    for (checker_s* k : {c, d}) {
        const check_entry_s& e = k->entries[0];
        EXPECT_EQ(check_entry_outcome(e), CHECK_CORRECT) << e.path;
        EXPECT_EQ(check_verdict(*k), CHECK_CORRECT);
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
    check_random_seed(3);
    check_choose_samples(n, 0, 256, nonces.data(), scoops.data());
    int bad = 17;
    int fd = open(p.c_str(), O_WRONLY);
    uint8_t junk = 0x5a;
    ASSERT_EQ(pwrite(fd, &junk, 1, (off_t)(((uint64_t)scoops[bad] * 256 + nonces[bad]) * 64 + 5)), 1);
    close(fd);
    check_random_seed(3);
    checker_s* c = check({p}, n);
    const check_entry_s& e = c->entries[0];
    EXPECT_FALSE(e.all_correct);
    EXPECT_EQ(check_entry_outcome(e), CHECK_WRONG);
    EXPECT_EQ(e.wrong, 1);
    for (int i = 0; i < n; i++) {
        EXPECT_TRUE(e.status[i].compared);
        // Another sample may share the corrupted nonce, never the scoop.
        EXPECT_EQ((bool)e.status[i].equal, i != bad) << i;
    }
    checker_destroy(c);
}

// A list of files in a 248 px window has 200 samples per file; the top
// scoops (3980 to 4094) zeroed in every nonce must still be found.
TEST_F(CheckerTest, AFileZeroedInItsTopScoopsIsWrong) {
    const int n = check_sample_count(2, 248);
    std::string p = path("12345678901234567_0_256");
    write_plot(p, 0, 256, true, n, 4);
    int fd = open(p.c_str(), O_WRONLY);
    std::vector<uint8_t> zeros((4095 - 3980) * 256 * 64, 0);
    ASSERT_EQ(pwrite(fd, zeros.data(), zeros.size(), (off_t)3980 * 256 * 64), (ssize_t)zeros.size());
    close(fd);
    check_random_seed(4);
    checker_s* c = check({p}, n);
    EXPECT_EQ(check_entry_outcome(c->entries[0]), CHECK_WRONG);
    EXPECT_GE(c->entries[0].wrong, 3);
    EXPECT_EQ(check_verdict(*c), CHECK_WRONG);
    checker_destroy(c);
}

// Rows 1, 4093 and 4094 of a file zeroed: the single view and a list both
// find exactly the samples that land on them wrong, and over a few checks
// each of the three rows is met. (One check cannot meet them all: 1770
// samples see 1770 of the 4096 scoops.) With one sample per scoop, in a
// list 4144 px wide, every check finds all three.
TEST_F(CheckerTest, AFileZeroedInScoopsOneAndTheTopRowsIsFoundWrong) {
    const uint64_t N = 64;
    std::string p = path("12345678901234567_0_64");
    {
        int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_GT(fd, 0);
        std::vector<uint8_t> data(NONCE_BYTES);
        for (uint64_t k = 0; k < N; k++) {
            plot_nonce(ACCOUNT, k, data.data(), true);
            for (uint64_t s = 0; s < 4096; s++)
                ASSERT_EQ(pwrite(fd, data.data() + s * 64, 64, (off_t)((s * N + k) * 64)), 64);
        }
        std::vector<uint8_t> zeros(N * 64, 0);
        for (uint64_t row : {1, 4093, 4094})
            ASSERT_EQ(pwrite(fd, zeros.data(), zeros.size(), (off_t)(row * N * 64)), (ssize_t)zeros.size());
        close(fd);
    }
    std::set<uint32_t> met;
    for (int samples : {check_sample_count(1, 640), check_sample_count(2, 640), check_sample_count(2, 4144)}) {
        for (uint64_t seed = 1; seed <= 6; seed++) {
            check_random_seed(seed);
            std::vector<uint64_t> nonces(samples);
            std::vector<uint32_t> scoops(samples);
            check_choose_samples(samples, 0, N, nonces.data(), scoops.data());
            int on_zeroed = 0;
            for (uint32_t s : scoops)
                if (s == 1 || s == 4093 || s == 4094) {
                    on_zeroed++;
                    if (samples < 4096) met.insert(s);
                }
            check_random_seed(seed);
            checker_s* c = check({p}, samples);
            const check_entry_s& e = c->entries[0];
            EXPECT_EQ(e.wrong, on_zeroed) << samples << " samples, seed " << seed;
            EXPECT_EQ(check_entry_outcome(e), on_zeroed ? CHECK_WRONG : CHECK_CORRECT) << samples << " " << seed;
            if (samples == 4096) {
                EXPECT_EQ(on_zeroed, 3);
            }
            checker_destroy(c);
        }
    }
    EXPECT_EQ(met, (std::set<uint32_t>{1, 4093, 4094}));
}

TEST_F(CheckerTest, FilesThatCannotBeCheckedAreSkippedWithTheirReason) {
    std::string good = path("12345678901234567_0_256");
    write_plot(good, 0, 256, true, 8, 5);
    auto sized = [&](const std::string& name, uint64_t bytes) {
        std::string p = path(name);
        int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        EXPECT_EQ(ftruncate(fd, (off_t)bytes), 0);
        close(fd);
        return p;
    };
    struct {
        std::string path;
        int skip;
    } cases[] = {
        {sized("1_0_256", 255 * NONCE_BYTES), CHECK_SKIP_SIZE},
        {sized("1_0_256_64", 1), CHECK_SKIP_KIND},
        {sized("1_0_256.plotting", 256 * NONCE_BYTES), CHECK_SKIP_UNFINISHED},
        {sized("1_0_8", 0), CHECK_SKIP_EMPTY},
        {path("1_0_16"), CHECK_SKIP_UNREADABLE},
        // 2^46 + 1 nonces: 2^64 + 2^18 bytes, 2^18 once wrapped to 64 bits.
        {sized("1_0_70368744177665", NONCE_BYTES), CHECK_SKIP_SIZE},
        {sized("1_18446744073709551615_2", 2 * NONCE_BYTES), CHECK_SKIP_NAME},
    };
    std::vector<std::string> files = {good};
    for (auto& k : cases) files.push_back(k.path);
    checker_s* c = check(files, 8);
    EXPECT_EQ(check_entry_outcome(c->entries[0]), CHECK_CORRECT);
    for (size_t i = 0; i < std::size(cases); i++) {
        const check_entry_s& e = c->entries[i + 1];
        EXPECT_EQ(e.skip, cases[i].skip) << e.path;
        EXPECT_EQ(check_entry_outcome(e), CHECK_SKIPPED) << e.path;
        EXPECT_FALSE(e.all_correct);
        EXPECT_FALSE(e.status[0].read_issued);
        EXPECT_STRNE(check_skip_text(e.skip), "");
    }
    // Some files could not be checked: not the green verdict.
    EXPECT_EQ(check_verdict(*c), CHECK_INCOMPLETE);
    std::string log = log_text();
    EXPECT_NE(log.find(cases[0].path + " has incorrect file size\n"), std::string::npos) << log;
    EXPECT_NE(log.find(cases[5].path + " has incorrect file size\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Only optimized files are supported by the checker, skipping " + cases[1].path + "\n"),
              std::string::npos);
    EXPECT_NE(log.find("Could not open " + cases[4].path), std::string::npos) << log;
    EXPECT_NE(log.find(cases[2].path + " is unfinished, not checked\n"), std::string::npos) << log;
    checker_destroy(c);
}

// A FIFO named like a plot (whose open would wait for a writer) and a
// device behind a plot's name are skipped with their reason, not read.
TEST_F(CheckerTest, FifosAndDevicesAreSkippedWithTheirReason) {
    std::string fifo = path("1_0_1"), device = path("1_1_1");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", device.c_str()), 0);
    checker_s* c = checker_create(nullptr, {fifo, device}, 8);
    std::atomic<bool> done{false};
    std::thread t([&] {
        check_thread_proc(c);
        done = true;
    });
    // Only a hang guard: should the open wait for a writer, one comes after
    // a long while so that the test ends (and fails below).
    for (int i = 0; i < 600 && !done; i++) usleep(100000);
    if (!done) {
        int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (w >= 0) close(w);
    }
    t.join();
    for (const check_entry_s& e : c->entries) {
        EXPECT_EQ(e.skip, CHECK_SKIP_NOT_FILE) << e.path;
        EXPECT_EQ(check_entry_outcome(e), CHECK_SKIPPED) << e.path;
    }
    std::string log = log_text();
    EXPECT_NE(log.find(fifo + " is not a regular file"), std::string::npos) << log;
    EXPECT_NE(log.find(device + " is not a regular file"), std::string::npos) << log;
    checker_destroy(c);
    unlink(fifo.c_str());
    unlink(device.c_str());
}

// Nothing compared is never "correct": no files at all, files that were all
// skipped, a folder of other files.
TEST_F(CheckerTest, NothingCheckedIsNeverCorrect) {
    mkdir(path("empty").c_str(), 0755);
    mkdir(path("others").c_str(), 0755);
    std::ofstream(path("others/plot.dat")) << "x";
    std::ofstream(path("others/1_0_8")).close();
    std::string empty = path("empty"), others = path("others");
    const char* dropped[] = {empty.c_str()};
    EXPECT_TRUE(check_collect(1, dropped).empty());
    checker_s* none = check({}, 8);
    EXPECT_EQ(check_verdict(*none), CHECK_NOTHING);
    dropped[0] = others.c_str();
    checker_s* skipped = check(check_collect(1, dropped), 8);
    ASSERT_EQ(skipped->entries.size(), 1u);
    EXPECT_EQ(check_verdict(*skipped), CHECK_NOTHING);
    checker_destroy(none);
    checker_destroy(skipped);
}

TEST_F(CheckerTest, FailedReadsAreShownAsNotCheckedRatherThanWrong) {
    const int n = 24;
    std::string p = path("12345678901234567_0_256");
    write_plot(p, 0, 256, true, n, 9);
    g_reads = 0;
    g_check_pread = failing_pread;
    check_random_seed(9);
    checker_s* c = check({p}, n);
    g_check_pread = pread;
    const check_entry_s& e = c->entries[0];
    EXPECT_EQ(check_entry_outcome(e), CHECK_INCOMPLETE);
    EXPECT_EQ(e.unchecked, 2 * n / 3);
    EXPECT_EQ(e.wrong, 0);
    EXPECT_EQ(check_verdict(*c), CHECK_INCOMPLETE);
    for (const check_sample_s& s : e.status) {
        EXPECT_NE((bool)s.read_failed, (bool)s.read_done);
        EXPECT_EQ((bool)s.compared, (bool)s.read_done);
        if (s.compared) {
            EXPECT_TRUE(s.equal);
        }
    }
    std::string log = log_text();
    EXPECT_NE(log.find("Could not read " + p + " at offset "), std::string::npos) << log;
    EXPECT_NE(log.find(p + ": 16 of 24 samples could not be checked\n"), std::string::npos) << log;
    checker_destroy(c);
}

// On a slow disk the checker keeps several reads in flight at once.
TEST_F(CheckerTest, SeveralReadsAreInFlightAtOnce) {
    const int n = 64;
    std::string p = path("12345678901234567_0_256");
    write_plot(p, 0, 256, true, n, 11);
    g_most_in_flight = 0;
    g_check_pread = slow_pread;
    check_random_seed(11);
    checker_s* c = check({p}, n);
    g_check_pread = pread;
    EXPECT_EQ(check_entry_outcome(c->entries[0]), CHECK_CORRECT);
    EXPECT_GE(g_most_in_flight.load(), 4);
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

// Each sampled nonce is hashed once, all its compared scoops taken from that
// one hashing: a one-nonce file costs one nonce whatever the sample count,
// a larger file as many as its plan has distinct nonces.
std::atomic<long> g_nonces_hashed{0};
std::atomic<long> g_scoops_asked{0};
void counting_nonces(uint64_t account_id, int n, const uint64_t* nonces, const int* first, const uint32_t* scoops,
                     uint8_t* out, bool poc2) {
    g_nonces_hashed += n;
    g_scoops_asked += first[n] - first[0];
    plot_nonces_scoop_sets(account_id, n, nonces, first, scoops, out, poc2);
}

TEST_F(CheckerTest, EachSampledNonceIsHashedOnce) {
    struct {
        uint64_t nonces;
        int samples;
    } cases[] = {{1, 592}, {1, 1770}, {256, 1770}};
    for (auto& k : cases) {
        std::string p = path("12345678901234567_500_" + std::to_string(k.nonces));
        write_plot(p, 500, k.nonces, true, k.samples, 21);
        check_random_seed(21);
        check_plan_s plan;
        check_plan_make(&plan, k.samples, 500, k.nonces);
        g_nonces_hashed = 0;
        g_scoops_asked = 0;
        g_check_nonces = counting_nonces;
        check_random_seed(21);
        checker_s* c = check({p}, k.samples);
        g_check_nonces = plot_nonces_scoop_sets;
        EXPECT_EQ(check_entry_outcome(c->entries[0]), CHECK_CORRECT) << p;
        EXPECT_EQ(g_nonces_hashed.load(), (long)plan.nonces.size()) << p;
        // Its samples and every other scoop of its nonces in the blocks read.
        EXPECT_EQ(g_scoops_asked.load(), (long)plan.at.size()) << p;
        EXPECT_GE(g_scoops_asked.load(), k.samples) << p;
        if (k.nonces == 1) {
            EXPECT_EQ(g_nonces_hashed.load(), 1) << p;
        }
        checker_destroy(c);
        unlink(p.c_str());
    }
}

// Whole nonces in scoop order (which is also a one-nonce file's content),
// hashed a lane group at a time.
std::vector<uint8_t> whole_nonces(uint64_t account, uint64_t first, int n, bool poc2) {
    std::vector<uint8_t> out((size_t)n * NONCE_BYTES);
    std::vector<uint32_t> scoops((size_t)n * 4096);
    std::vector<uint64_t> nonces(n);
    std::vector<int> firsts(n + 1);
    for (int j = 0; j < n; j++) {
        nonces[j] = first + j;
        firsts[j] = j * 4096;
        for (int s = 0; s < 4096; s++) scoops[(size_t)j * 4096 + s] = s;
    }
    firsts[n] = n * 4096;
    plot_nonces_scoop_sets(account, n, nonces.data(), firsts.data(), scoops.data(), out.data(), poc2);
    return out;
}

// A complete plot file of n nonces, made size bytes long (zeros after the
// data).
void write_full_plot(const std::string& p, uint64_t account, uint64_t start, uint64_t n, bool poc2, uint64_t size) {
    std::vector<uint8_t> nonces = whole_nonces(account, start, (int)n, poc2), file(n * NONCE_BYTES);
    for (uint64_t k = 0; k < n; k++)
        for (uint64_t s = 0; s < 4096; s++)
            memcpy(&file[(s * n + k) * 64], &nonces[k * NONCE_BYTES + s * 64], 64);
    int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ASSERT_GT(fd, 0);
    ASSERT_EQ(write(fd, file.data(), file.size()), (ssize_t)file.size());
    ASSERT_EQ(ftruncate(fd, (off_t)size), 0);
    close(fd);
}

// The hashing calls of a check: how many, how many nonces each, on which
// threads.
std::mutex g_calls_mutex;
std::vector<int> g_call_sizes;
std::set<std::thread::id> g_call_threads;
void recording_nonces(uint64_t account_id, int n, const uint64_t* nonces, const int* first, const uint32_t* scoops,
                      uint8_t* out, bool poc2) {
    {
        std::lock_guard<std::mutex> lock(g_calls_mutex);
        g_call_sizes.push_back(n);
        g_call_threads.insert(std::this_thread::get_id());
    }
    plot_nonces_scoop_sets(account_id, n, nonces, first, scoops, out, poc2);
}

// A folder of one-nonce files: their nonces are hashed together in full
// lane groups, on more than one worker.
TEST_F(CheckerTest, ManyOneNonceFilesAreHashedInLaneGroupsOnSeveralWorkers) {
    const int files = 40;
    const int per_call = plot_nonces_per_call();
    std::vector<uint8_t> nonces = whole_nonces(ACCOUNT, 0, files, true);
    std::vector<std::string> paths;
    for (int k = 0; k < files; k++) {
        paths.push_back(path("12345678901234567_" + std::to_string(k) + "_1"));
        int fd = open(paths.back().c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_EQ(write(fd, &nonces[(size_t)k * NONCE_BYTES], NONCE_BYTES), (ssize_t)NONCE_BYTES);
        close(fd);
    }
    g_call_sizes.clear();
    g_call_threads.clear();
    g_check_nonces = recording_nonces;
    checker_s* c = check(paths, check_sample_count(files, 640));
    g_check_nonces = plot_nonces_scoop_sets;
    EXPECT_EQ(check_verdict(*c), CHECK_CORRECT);
    int hashed = 0, partial = 0;
    for (int n : g_call_sizes) {
        hashed += n;
        partial += n < per_call;
    }
    EXPECT_EQ(hashed, files);
    // Only the last group may be partial.
    EXPECT_LE(partial, 1) << g_call_sizes.size() << " calls";
    EXPECT_EQ((int)g_call_sizes.size(), (files + per_call - 1) / per_call);
    EXPECT_GE(g_call_threads.size(), 2u) << "one worker hashed every nonce";
    EXPECT_EQ(g_call_threads.count(std::this_thread::get_id()), 0u);
    checker_destroy(c);
    for (const std::string& p : paths) unlink(p.c_str());
}

// Every scoop of a sampled nonce in the blocks read is compared: one
// damaged scoop of a one-nonce file is found by every check, wherever it
// lies; a larger file compares many more scoops than it has samples.
TEST_F(CheckerTest, TheOtherScoopsOfASampledNonceAreComparedToo) {
    std::vector<uint8_t> nonce = whole_nonces(ACCOUNT, 3, 1, true);
    const std::string p = path("12345678901234567_3_1");
    for (uint64_t seed : {31, 32, 33, 34}) {
        const uint32_t damaged = (uint32_t)(seed * 997 % 4096);
        std::vector<uint8_t> bad = nonce;
        bad[damaged * 64 + 9] ^= 0x40;
        int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_EQ(write(fd, bad.data(), bad.size()), (ssize_t)bad.size());
        close(fd);
        check_random_seed(seed);
        checker_s* c = check({p}, check_sample_count(2, 640));
        const check_entry_s& e = c->entries[0];
        EXPECT_EQ(check_entry_outcome(e), CHECK_WRONG) << "scoop " << damaged;
        EXPECT_EQ(e.scoops_compared, 4096u);
        EXPECT_EQ(e.scoops_wrong, 1u) << "scoop " << damaged;
        checker_destroy(c);
    }
    const std::string big = path("12345678901234567_0_256");
    write_plot(big, 0, 256, true, 592, 35);
    check_random_seed(35);
    checker_s* c = check({big}, 592);
    EXPECT_EQ(check_entry_outcome(c->entries[0]), CHECK_CORRECT);
    EXPECT_GT(c->entries[0].scoops_compared, 4u * 592);
    EXPECT_NE(check_entry_coverage_text(c->entries[0], 592).find("592 samples of 256 nonces, "), std::string::npos);
    checker_destroy(c);
}

// A file whose every sample differs: the text says what it holds instead
// and how to mend it.
TEST_F(CheckerTest, MismatchTextsNameWhatTheFileHolds) {
    const uint64_t A = ACCOUNT;
    // PoC1 content under a PoC2 name.
    const std::string poc1 = path("12345678901234567_0_256");
    write_plot(poc1, 0, 256, false, 592, 41);
    // 256 nonces made as long as its name's 512 nonces.
    const std::string longer = path("12345678901234567_1000_512");
    write_full_plot(longer, A, 1000, 256, true, 512 * NONCE_BYTES);
    // Two one-nonce files renamed into each other's names.
    const std::string swapped = path("12345678901234567_7_1"), other = path("12345678901234567_8_1");
    write_full_plot(swapped, A, 8, 1, true, NONCE_BYTES);
    write_full_plot(other, A, 7, 1, true, NONCE_BYTES);
    // Another account's plot.
    const std::string unknown = path("12345678901234567_9_1");
    write_full_plot(unknown, 99, 9, 1, true, NONCE_BYTES);
    struct {
        std::string path;
        int mismatch;
        std::string text;
    } cases[] = {
        {poc1, CHECK_MISMATCH_POC1_LAYOUT,
         "holds PoC1 data under a PoC2 name: rename it to 12345678901234567_0_256_256 or plot it again as PoC2"},
        {longer, CHECK_MISMATCH_LONGER,
         "is longer than its data: holds 256 nonces, then zeros; cut it to 67,108,864 bytes and rename it to "
         "12345678901234567_1000_256"},
        {swapped, CHECK_MISMATCH_OTHER_NAME, "holds the nonces of 12345678901234567_8_1: rename it to that name"},
        {unknown, CHECK_MISMATCH_UNKNOWN, "every sample differs: data of unknown origin, plot it again"},
    };
    check_random_seed(41);
    checker_s* c = check({poc1, longer, swapped, other, unknown}, 592);
    for (auto& k : cases) {
        const check_entry_s* e = nullptr;
        for (const check_entry_s& x : c->entries)
            if (x.path == k.path) e = &x;
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(check_entry_outcome(*e), CHECK_MISMATCH) << k.path;
        EXPECT_EQ(e->mismatch, k.mismatch) << k.path;
        EXPECT_EQ(check_entry_verdict_text(*e, 592), k.text) << k.path;
    }
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

// Closing the window while a check runs (no run in progress: the window
// closes at once) stops the check and joins its threads before the program
// goes on to end.
TEST_F(CheckerTest, ClosingTheWindowStopsAndJoinsACheckInProgress) {
    std::string p = path("12345678901234567_0_1024");
    int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, 1024 * (off_t)NONCE_BYTES), 0);
    close(fd);
    surface_window_s sw{640, 480};
    g_window = &sw.w;
    g_plotter = plotter_create();
    g_check_pread = slow_pread;  // the check is still going when the window closes
    const char* paths[] = {p.c_str()};
    ui_check_start(&sw.w, 1, paths, nullptr);
    ASSERT_NE(g_checker, nullptr);
    auto issued = [] { return g_checker->collected && g_checker->entries[0].status[0].read_issued; };
    for (int i = 0; i < 20000 && !issued(); i++) usleep(1000);
    EXPECT_TRUE(close_cb(nullptr));
    EXPECT_EQ(g_checker, nullptr) << "the check still runs after the close";
    ui_check_stop();
    g_check_pread = pread;
    plotter_destroy(g_plotter);
    g_plotter = nullptr;
    g_window = nullptr;
}
