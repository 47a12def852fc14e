// The checker screen painted onto an image surface from the results of real
// checks (files that are skipped for each reason) and from sample flags set
// by hand, judged by its pixels.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include "checker/check_state.h"
#include "checker/ui_check.h"
#include "app/ui_config.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/surface_window.h"

namespace {

const uint32_t GREEN = 0xff4cd964, RED = 0xffde1d10, PURPLE = 0xff8e44ad, BLACK = 0xff000000,
               WHITE = 0xffffffff, LIGHT_GREY = 0xfff0f0f0;
const uint64_t NONCE_BYTES = 262144;

struct screen_s {
    surface_window_s sw{640, 480};
    checker_s* c;

    explicit screen_s(checker_s* checker) : c(checker) {
        c->window = &sw.w;
        g_checker = c;
        check_paint(nullptr);
    }
    ~screen_s() {
        g_checker = nullptr;
        checker_destroy(c);
    }
    int count(int x, int y, int w, int h, uint32_t colour) {
        int n = 0;
        for (int j = y; j < y + h; j++)
            for (int i = x; i < x + w; i++) n += sw.pixel(i, j) == colour;
        return n;
    }
    // The pixels of an area, to tell two texts apart.
    std::vector<uint32_t> area(int x, int y, int w, int h) {
        std::vector<uint32_t> out;
        for (int j = y; j < y + h; j++)
            for (int i = x; i < x + w; i++) out.push_back(sw.pixel(i, j));
        return out;
    }
};

// Marks every sample compared; those in bad as unequal, those in unread as
// failed reads; the file as finished with those counts.
void settle(checker_s* c, int index, std::set<int> bad, std::set<int> unread = {}) {
    check_entry_s& e = c->entries[index];
    for (int i = 0; i < c->sample_count; i++) {
        check_sample_s& s = e.status[i];
        if (unread.count(i)) {
            s.read_failed = 1;
            continue;
        }
        s.read_done = s.expected_ready = s.compared = 1;
        s.equal = bad.count(i) ? 0 : 1;
    }
    e.wrong = (int)bad.size();
    e.unchecked = (int)unread.size();
    e.all_correct = bad.empty() && unread.empty();
    e.finished = true;
}

// Each test in a folder of its own, which also receives the log.
class CheckScreen : public ::testing::Test {
  protected:
    temp_dir_s dir{"check_screen"};
    std::string old_dir = std::filesystem::current_path();
    void SetUp() override { std::filesystem::current_path(dir.path); }
    void TearDown() override { std::filesystem::current_path(old_dir); }
};

// The verdict line beside Back (from x 178, y 416 at 640 x 480) and the
// detail line under it.
const int VERDICT_X = 178, VERDICT_Y = 416, DETAIL_Y = 446;

TEST_F(CheckScreen, EachSkipReasonIsShownInBothViews) {
    auto sized = [&](const char* name, uint64_t bytes) {
        std::string p = dir.file(name);
        int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        EXPECT_EQ(ftruncate(fd, (off_t)bytes), 0);
        close(fd);
        return p;
    };
    const std::string files[] = {sized("1_0_256", 255 * NONCE_BYTES), sized("1_0_256_64", NONCE_BYTES),
                                 sized("1_0_256.plotting", 256 * NONCE_BYTES),
                                 sized("1_0_8", 0), dir.file("1_0_16"),
                                 sized("1_18446744073709551615_2", 2 * NONCE_BYTES)};
    std::vector<std::vector<uint32_t>> details, bars;
    for (const std::string& f : files) {
        checker_s* single = checker_create(nullptr, {f}, CHECK_SINGLE_SAMPLES);
        check_thread_proc(single);
        ASSERT_EQ(check_entry_outcome(single->entries[0]), CHECK_SKIPPED) << f;
        screen_s one(single);
        // Every cell says "not checked"; the verdict is not green, and the
        // detail line names the reason.
        EXPECT_EQ(one.count(24, 74, 590, 300, PURPLE), 59 * 30 * 9 * 9) << f;
        EXPECT_GT(one.count(VERDICT_X, VERDICT_Y, 400, 26, PURPLE), 50) << f;
        EXPECT_EQ(one.count(VERDICT_X, VERDICT_Y, 400, 26, GREEN), 0) << f;
        EXPECT_GT(one.count(VERDICT_X, DETAIL_Y, 400, 14, BLACK), 50) << f;
        details.push_back(one.area(VERDICT_X, DETAIL_Y, 400, 14));

        checker_s* list = checker_create(nullptr, {f, f}, check_sample_count(2, 640));
        check_thread_proc(list);
        screen_s two(list);
        // A purple bar with the reason written in white on it.
        const int bar_y = 74 + 16;
        EXPECT_GT(two.count(24, bar_y, 592, 26, PURPLE), 592 * 26 / 2) << f;
        EXPECT_GT(two.count(24, bar_y, 592, 26, WHITE), 50) << f;
        EXPECT_EQ(two.count(24, bar_y, 592, 26, RED), 0) << f;
        EXPECT_EQ(two.count(VERDICT_X, VERDICT_Y, 400, 26, GREEN), 0) << f;
        bars.push_back(two.area(24, bar_y, 592, 26));
    }
    // Each reason reads differently.
    EXPECT_EQ(std::set<std::vector<uint32_t>>(details.begin(), details.end()).size(), std::size(files));
    EXPECT_EQ(std::set<std::vector<uint32_t>>(bars.begin(), bars.end()).size(), std::size(files));
}

TEST_F(CheckScreen, TheSingleViewShowsItsVerdict) {
    struct {
        std::set<int> bad, unread;
        uint32_t colour;
        bool detail;
    } cases[] = {{{}, {}, GREEN, false}, {{700}, {}, RED, true}, {{}, {5, 6}, PURPLE, true}};
    for (auto& k : cases) {
        checker_s* c = checker_create(nullptr, {"/x/1_0_256"}, CHECK_SINGLE_SAMPLES);
        settle(c, 0, k.bad, k.unread);
        screen_s s(c);
        EXPECT_GT(s.count(VERDICT_X, VERDICT_Y, 400, 26, k.colour), 50) << k.colour;
        EXPECT_EQ(s.count(VERDICT_X, DETAIL_Y, 400, 14, BLACK) > 50, k.detail) << k.colour;
    }
    // Nothing yet: no verdict.
    checker_s* c = checker_create(nullptr, {"/x/1_0_256"}, CHECK_SINGLE_SAMPLES);
    screen_s s(c);
    EXPECT_EQ(s.count(VERDICT_X, VERDICT_Y, 400, 40, WHITE), 400 * 40);
}

TEST_F(CheckScreen, ABadSampleStandsOut) {
    // Sample 700 is row 11, column 51: its cell at (534, 184), 9 x 9. A black
    // frame surrounds it over its neighbours' edges.
    checker_s* c = checker_create(nullptr, {"/x/1_0_256"}, CHECK_SINGLE_SAMPLES);
    settle(c, 0, {700});
    screen_s one(c);
    EXPECT_EQ(one.count(534, 184, 9, 9, RED), 81);
    EXPECT_EQ(one.count(532, 182, 13, 13, BLACK), 13 * 13 - 81);
    EXPECT_EQ(one.count(24, 74, 590, 300, BLACK), 13 * 13 - 81);

    // In a bar, the last sample and a single one in the middle are each at
    // least 3 px wide, wrong or unread.
    checker_s* list = checker_create(nullptr, {"/x/1_0_256", "/x/1_0_512"}, check_sample_count(2, 640));
    const int n = list->sample_count;
    settle(list, 0, {n - 1, 300});
    settle(list, 1, {}, {n - 1});
    screen_s two(list);
    const int bar0 = 74 + 16 + 13, bar1 = bar0 + 54;
    EXPECT_EQ(two.count(24 + 592 - 3, bar0, 3, 1, RED), 3);
    EXPECT_GE(two.count(24 + 295, bar0, 12, 1, RED), 3);
    EXPECT_EQ(two.count(24 + 592 - 3, bar1, 3, 1, PURPLE), 3);
    EXPECT_EQ(two.count(24, bar1, 589, 1, LIGHT_GREY), 0);
    EXPECT_GT(two.count(VERDICT_X, VERDICT_Y, 400, 26, RED), 50);
}

TEST_F(CheckScreen, NoFilesIsNotGreen) {
    checker_s* c = checker_create(nullptr, {}, check_sample_count(0, 640));
    check_thread_proc(c);
    screen_s s(c);
    EXPECT_EQ(s.count(VERDICT_X, VERDICT_Y, 400, 26, GREEN), 0);
    EXPECT_GT(s.count(VERDICT_X, VERDICT_Y, 400, 26, PURPLE), 50);
}

// A disk whose reads hang until the test opens the gate.
std::mutex g_gate_mutex;
std::condition_variable g_gate_cv;
bool g_gate_open = false;
std::atomic<int> g_hung{0};

ssize_t hanging_pread(int fd, void* buf, size_t count, off_t offset) {
    g_hung++;
    {
        std::unique_lock<std::mutex> lock(g_gate_mutex);
        g_gate_cv.wait(lock, [] { return g_gate_open; });
    }
    ssize_t n = pread(fd, buf, count, offset);
    g_hung--;
    return n;
}

void open_gate() {
    std::lock_guard<std::mutex> lock(g_gate_mutex);
    g_gate_open = true;
    g_gate_cv.notify_all();
}

// Waits for a condition, failing only when nothing happens for minutes.
template <class F> bool eventually(F done) {
    for (int i = 0; i < 3000 && !done(); i++) usleep(100000);
    return done();
}

// Back while a read hangs: the configuration screen is back while the read
// is still hung, and the abandoned reader frees everything once it returns.
TEST_F(CheckScreen, BackReturnsWhileAReadHangs) {
    std::string p = dir.file("1_0_1");
    {
        int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_EQ(ftruncate(fd, (off_t)NONCE_BYTES), 0);
        close(fd);
    }
    surface_window_s sw{640, 480};
    g_gate_open = false;
    g_check_pread = hanging_pread;
    const char* paths[] = {p.c_str()};
    ui_check_start(&sw.w, 1, paths);
    checker_s* c = g_checker;
    ASSERT_NE(c, nullptr);
    checker_hold(c);  // to see when the last reader lets go
    ASSERT_TRUE(eventually([] { return g_hung.load() > 0; }));
    // Only a hang guard: should Back wait for the reads, this lets them go
    // after a long while so that the test ends (and fails below).
    std::atomic<bool> back_done{false};
    std::thread guard([&] {
        for (int i = 0; i < 600 && !back_done; i++) usleep(100000);
        open_gate();
    });
    ui_check_stop();
    const bool read_still_hung = g_hung.load() > 0 && !g_gate_open;
    back_done = true;
    EXPECT_TRUE(read_still_hung);
    EXPECT_EQ(g_checker, nullptr);
    EXPECT_TRUE(window_is_paint(&sw.w, config_paint));
    open_gate();
    guard.join();
    // The readers end on their own and let go of the checker.
    EXPECT_TRUE(eventually([&] { return c->refs.load() == 1; }));
    EXPECT_EQ(g_hung.load(), 0);
    checker_release(c);
    g_check_pread = pread;
}

}  // namespace
