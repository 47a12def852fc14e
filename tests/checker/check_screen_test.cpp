// The checker screen painted onto an image surface from the results of real
// checks (files that are skipped for each reason) and from sample flags set
// by hand, judged by its pixels.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include "checker/check_state.h"
#include "checker/ui_check.h"
#include "app/ui_config.h"
#include "plot/nonce.h"
#include "ui/window.h"
#include "tests/support/temp_dir.h"
#include "ui/draw.h"
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
    } cases[] = {{{}, {}, GREEN, true}, {{700}, {}, RED, true}, {{}, {5, 6}, PURPLE, true}};
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
    ui_check_start(&sw.w, 1, paths, [&sw] { window_set_paint(&sw.w, config_paint); });
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

// The texts a paint of the screen draws.
std::vector<drawn_text_s> painted_texts(checker_s* c, int width = 640, int height = 480) {
    surface_window_s sw{width, height};
    c->window = &sw.w;
    g_checker = c;
    std::vector<drawn_text_s> texts;
    draw_record_texts(&texts);
    check_paint(nullptr);
    draw_record_texts(nullptr);
    g_checker = nullptr;
    return texts;
}

const drawn_text_s* find_text(const std::vector<drawn_text_s>& texts, const std::string& part) {
    for (const drawn_text_s& t : texts)
        if (t.text.find(part) != std::string::npos) return &t;
    return nullptr;
}

// A folder named in Latin-1 ("Platte \xc4", no valid UTF-8): the name is
// still shown, and everything after it is drawn: the verdict and Back in
// the single view, the later rows in the list.
TEST_F(CheckScreen, ANameThatIsNotUtf8LeavesTheScreenWhole) {
    const uint32_t BACK = 0xffe1e1e1;
    checker_s* c = checker_create(nullptr, {"/x/Platte \xc4/1_0_256"}, CHECK_SINGLE_SAMPLES);
    settle(c, 0, {});
    {
        screen_s one(c);
        EXPECT_GT(one.count(VERDICT_X, VERDICT_Y, 400, 26, GREEN), 50);
        EXPECT_GT(one.count(24, 416, 130, 40, BACK), 130 * 40 / 2);
    }
    checker_s* list = checker_create(nullptr, {"/x/a/1_0_256", "/x/Platte \xc4/1_0_512", "/x/z/1_0_768"},
                                     check_sample_count(3, 640));
    for (int i = 0; i < 3; i++) settle(list, i, {});
    {
        screen_s three(list);
        const int third_bar = 74 + 2 * 54 + 16;
        EXPECT_EQ(three.count(24, third_bar, 592, 26, GREEN), 592 * 26);
        EXPECT_GT(three.count(24, 416, 130, 40, BACK), 130 * 40 / 2);
    }
    checker_s* again = checker_create(nullptr, {"/x/Platte \xc4/1_0_256"}, CHECK_SINGLE_SAMPLES);
    settle(again, 0, {});
    std::vector<drawn_text_s> texts = painted_texts(again);
    EXPECT_NE(find_text(texts, "Platte "), nullptr);
    EXPECT_NE(find_text(texts, "Back"), nullptr);
    checker_destroy(again);
}

// "All data correct!" says it was a sample; a file whose every sample
// differs, read from a plot of an account no dropped file names, reads as
// data of unknown origin rather than as damaged data.
TEST_F(CheckScreen, TheVerdictSaysWhatWasSampled) {
    checker_s* c = checker_create(nullptr, {"/x/1_0_256"}, CHECK_SINGLE_SAMPLES);
    settle(c, 0, {});
    std::vector<drawn_text_s> texts = painted_texts(c);
    EXPECT_NE(find_text(texts, "All data correct!"), nullptr);
    EXPECT_NE(find_text(texts, "1770 samples compared"), nullptr);
    checker_destroy(c);

    // A real plot of account 7 under the name of account 8.
    std::string p = dir.file("8_0_1");
    {
        std::vector<uint8_t> nonce(NONCE_BYTES);
        plot_nonce(7, 0, nonce.data(), true);
        int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_EQ(write(fd, nonce.data(), nonce.size()), (ssize_t)nonce.size());
        close(fd);
    }
    checker_s* named = checker_create(nullptr, {p}, CHECK_SINGLE_SAMPLES);
    check_thread_proc(named);
    EXPECT_EQ(check_entry_outcome(named->entries[0]), CHECK_MISMATCH);
    texts = painted_texts(named);
    EXPECT_NE(find_text(texts, "data of unknown origin"), nullptr);
    EXPECT_EQ(find_text(texts, "1770 of 1770 samples differ"), nullptr);
    checker_destroy(named);
}

// The dropped files are listed by name, numbers in their natural order, and
// the screen counts the files done.
TEST_F(CheckScreen, TheListIsSortedByNameAndCountsTheFiles) {
    std::vector<std::string> names = {"1_10_1", "1_9_1", "1_2_1"};
    std::vector<std::string> paths;
    for (const std::string& n : names) paths.push_back(dir.file(n));  // none exists: each is skipped
    std::vector<const char*> dropped;
    for (const std::string& p : paths) dropped.push_back(p.c_str());
    surface_window_s sw{640, 480};
    ui_check_start(&sw.w, (int)dropped.size(), dropped.data(), [&sw] { window_set_paint(&sw.w, config_paint); });
    checker_s* c = g_checker;
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(eventually([&] { return check_verdict(*c) != CHECK_PENDING; }));
    ASSERT_EQ(c->entries.size(), 3u);
    EXPECT_EQ(c->entries[0].path, paths[2]);
    EXPECT_EQ(c->entries[1].path, paths[1]);
    EXPECT_EQ(c->entries[2].path, paths[0]);
    std::vector<drawn_text_s> texts;
    draw_record_texts(&texts);
    check_paint(nullptr);
    draw_record_texts(nullptr);
    EXPECT_NE(find_text(texts, "3 of 3 files"), nullptr);
    ui_check_stop();
}

// Twelve files, one of them bad: the log gives every file's verdict and
// names the bad one, and the bad file's row names it beside its verdict.
TEST_F(CheckScreen, EachFileHasItsVerdictInTheLogAndOnItsRow) {
    std::vector<std::string> files;
    std::vector<uint8_t> nonce(NONCE_BYTES);
    const int bad = 7;
    for (int k = 0; k < 12; k++) {
        std::string p = dir.file("1234_" + std::to_string(k) + "_1");
        plot_nonce(1234, (uint64_t)k, nonce.data(), true);
        // The bad one: its upper half of scoops zeroed.
        if (k == bad) std::fill(nonce.begin() + NONCE_BYTES / 2, nonce.end(), 0);
        int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_EQ(write(fd, nonce.data(), nonce.size()), (ssize_t)nonce.size());
        close(fd);
        files.push_back(p);
    }
    checker_s* c = checker_create(nullptr, files, check_sample_count(12, 640));
    // The log's lines also go to standard error.
    testing::internal::CaptureStderr();
    check_thread_proc(c);
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(check_verdict(*c), CHECK_WRONG);
    for (int k = 0; k < 12; k++) {
        std::string line = "Check of " + files[k] + ": " + (k == bad ? "" : "correct;");
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    const std::string bad_line = "Check of " + files[bad] + ": ";
    size_t at = log.find(bad_line);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(log.substr(at, log.find('\n', at) - at).find("samples differ"), std::string::npos) << log;
    // A window tall enough for all twelve rows.
    std::vector<drawn_text_s> texts = painted_texts(c, 640, 900);
    const drawn_text_s* name = find_text(texts, "1234_7_1");
    ASSERT_NE(name, nullptr);
    int differ_rows = 0;
    for (const drawn_text_s& t : texts) {
        if (t.text.find("samples differ") == std::string::npos) continue;
        differ_rows++;
        EXPECT_LT(std::abs(t.y - name->y), 8) << "the verdict on the bad file's row";
    }
    EXPECT_EQ(differ_rows, 1);
    int correct_rows = 0;
    for (const drawn_text_s& t : texts) correct_rows += t.text == "correct";
    EXPECT_EQ(correct_rows, 11);
    checker_destroy(c);
}

// Below the verdict, one line says what was compared and what a sample can
// miss: 1770 samples of a 2048-nonce file, and the other scoops of the
// sampled nonces that the blocks read held; a one-nonce file whose every
// scoop was compared says so instead.
TEST_F(CheckScreen, TheCoverageLineSaysWhatWasComparedAndWhatASampleCanMiss) {
    struct {
        const char* path;
        uint64_t nonces, scoops;
        std::set<int> bad;
        const char* line;
    } cases[] = {
        {"/x/1_0_2048", 2048, 52113, {},
         "1770 samples of 2,048 nonces, 52,113 scoops compared: whole-file faults ruled out, single bad nonces may "
         "be missed"},
        {"/x/1_0_1", 1, 4096, {}, "1770 samples of 1 nonce: all 4,096 scoops compared, none left out"},
        {"/x/1_0_4194304", 4194304, 1770, {3},
         "1770 samples of 4,194,304 nonces, 1,770 scoops compared: whole-file faults ruled out, single bad nonces "
         "may be missed"},
    };
    for (auto& k : cases) {
        checker_s* c = checker_create(nullptr, {k.path}, CHECK_SINGLE_SAMPLES);
        c->entries[0].nonces = k.nonces;
        c->entries[0].scoops_compared = k.scoops;
        settle(c, 0, k.bad);
        std::vector<drawn_text_s> texts = painted_texts(c);
        const drawn_text_s* verdict = find_text(texts, k.bad.empty() ? "All data correct!" : "Not all data");
        const drawn_text_s* count = find_text(texts, k.bad.empty() ? "1770 samples compared" : "1 of 1770 samples differ");
        const drawn_text_s* line = find_text(texts, k.line);
        ASSERT_NE(verdict, nullptr) << k.path;
        ASSERT_NE(count, nullptr) << k.path;
        ASSERT_NE(line, nullptr) << k.path;
        EXPECT_EQ(line->text, k.line);
        EXPECT_GT(line->y, count->y);
        EXPECT_GT(count->y, verdict->y);
        // Whole inside the 640 x 480 window.
        EXPECT_LE(line->x + line->w, 640.0f) << k.path;
        EXPECT_LE(line->y + line->h, 480.0f) << k.path;
        checker_destroy(c);
    }
}

// Run by the test below in a fresh process that has the hanging file
// system preloaded.
TEST_F(CheckScreen, HeldFileSystemChild) {
    if (!getenv("VG_HOLD_CHILD")) GTEST_SKIP() << "only as a fresh process of the next test";
    auto held = (int (*)())dlsym(RTLD_DEFAULT, "hold_fs_held");
    auto arm = (void (*)())dlsym(RTLD_DEFAULT, "hold_fs_arm");
    auto release = (void (*)())dlsym(RTLD_DEFAULT, "hold_fs_release");
    ASSERT_TRUE(held && arm && release) << "the hanging file system is not preloaded";
    // A plot file and a folder on the hanging mount, and a good file
    // elsewhere, made before the mount hangs.
    const std::string mount = dir.file("vg_held");
    ASSERT_EQ(mkdir(mount.c_str(), 0755), 0);
    const std::string held_file = mount + "/1_0_1", good = dir.file("1_5_1");
    std::vector<uint8_t> nonce(NONCE_BYTES);
    for (auto& [path, n] : {std::pair<std::string, uint64_t>{held_file, 0}, {good, 5}}) {
        plot_nonce(1, n, nonce.data(), true);
        int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_EQ(write(fd, nonce.data(), nonce.size()), (ssize_t)nonce.size());
        close(fd);
    }
    surface_window_s sw{640, 480};
    // The dropped file waits in its stat or open, the dropped folder in its
    // listing.
    for (const std::string& dropped : {held_file, mount}) {
        arm();
        // Only a hang guard: should the UI wait for the mount, the mount
        // comes back after a long while so that the test ends (and fails).
        std::atomic<bool> answered{false};
        std::thread guard([&] {
            for (int i = 0; i < 600 && !answered; i++) usleep(100000);
            release();
        });
        const char* paths[] = {dropped.c_str()};
        ui_check_start(&sw.w, 1, paths, [&sw] { window_set_paint(&sw.w, config_paint); });
        const bool start_answered_while_held = eventually([&] { return held() > 0; });
        checker_s* c = g_checker;
        ASSERT_NE(c, nullptr);
        checker_hold(c);  // to see when the check thread lets go
        ui_check_stop();
        const bool back_answered_while_held = held() > 0;
        EXPECT_TRUE(start_answered_while_held) << dropped << ": the drop waited for the mount";
        EXPECT_TRUE(back_answered_while_held) << dropped << ": Back waited for the mount";
        EXPECT_EQ(g_checker, nullptr);
        EXPECT_TRUE(window_is_paint(&sw.w, config_paint));
        // A drop made meanwhile is checked.
        const char* again[] = {good.c_str()};
        ui_check_start(&sw.w, 1, again, [&sw] { window_set_paint(&sw.w, config_paint); });
        checker_s* next = g_checker;
        ASSERT_TRUE(eventually([&] { return check_verdict(*next) != CHECK_PENDING; }));
        EXPECT_EQ(check_verdict(*next), CHECK_CORRECT);
        const bool checked_while_held = held() > 0;
        EXPECT_TRUE(checked_while_held) << dropped;
        ui_check_stop();
        answered = true;
        release();
        guard.join();
        // The abandoned check thread ends once the mount answers.
        EXPECT_TRUE(eventually([&] { return c->refs.load() == 1; })) << dropped;
        checker_release(c);
    }
}

// Back and a new drop are answered while a dropped file's stat and open,
// or a dropped folder's listing, hang: the UI thread waits for no thread
// that may be inside a file-system call.
TEST_F(CheckScreen, BackAndANewDropAreAnsweredWhileTheFileSystemHangs) {
    std::string cmd = std::string("VG_HOLD_CHILD=1 VG_HOLD_MATCH=vg_held LD_PRELOAD=") + VG_HOLD_FS +
                      " ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 /proc/" +
                      std::to_string(getpid()) + "/exe --gtest_filter=CheckScreen.HeldFileSystemChild 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char line[512];
    while (fgets(line, sizeof line, p)) out += line;
    const int status = pclose(p);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("[       OK ] CheckScreen.HeldFileSystemChild"), std::string::npos) << out;
}

}  // namespace
