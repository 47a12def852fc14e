// The log, the assertion routine, hooks, memory, the clock, timers, the UI
// task queue and the random source.
#include <glib.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sys_linux.h"
#include "tests/support/temp_dir.h"

namespace {

// Messages of the other tests would otherwise open "log.txt" in the
// repository; the whole binary logs into a folder of its own.
class LogFolderEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    dir.reset(new temp_dir_s("platform_log"));
    if (getcwd(old_cwd, sizeof old_cwd) && !dir->path.empty() && chdir(dir->path.c_str()) == 0) moved = true;
  }
  void TearDown() override {
    if (moved && chdir(old_cwd) != 0) perror("chdir");
    moved = false;
    dir.reset();
  }
  // Reached without TearDown only in a death test's child, whose exit must
  // not remove the folder the parent still works in.
  ~LogFolderEnvironment() override { (void)dir.release(); }

 private:
  std::unique_ptr<temp_dir_s> dir;
  char old_cwd[4096];
  bool moved = false;
};
testing::Environment* const g_log_folder = testing::AddGlobalTestEnvironment(new LogFolderEnvironment);

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs with a fresh log in a temporary working folder, as a new run would,
// and puts the process's own log and folder back afterwards.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    saved = g_log_file.exchange(nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
  }
  void TearDown() override {
    if (FILE* mine = g_log_file.exchange(saved)) fclose(mine);
    ASSERT_EQ(chdir(old_cwd), 0);
  }
  // The log's lines without their time prefix "YYYY-MM-DD HH:MM:SS ".
  std::string logged_text() {
    std::string all = read_file(dir.file("log.txt")), text;
    size_t pos = 0;
    while (pos < all.size()) {
      size_t end = all.find('\n', pos);
      end = end == std::string::npos ? all.size() : end + 1;
      if (end - pos < 20) return "short line: " + all.substr(pos);
      text += all.substr(pos + 20, end - pos - 20);
      pos = end;
    }
    return text;
  }

  temp_dir_s dir{"log"};
  char old_cwd[4096];
  FILE* saved = nullptr;
};

}  // namespace

TEST_F(LogTest, KeepsThePreviousSessionAndWritesLongMessagesWhole) {
  std::ofstream(dir.file("log.old.txt")) << "line of the session before that\n";
  std::ofstream(dir.file("log.txt")) << "line of an earlier run\n";
  // 1023 characters fit the stack buffer; 1024 and more go through the heap.
  const std::string m1023(1022, 'a'), m1024(1023, 'b'), m5000(4999, 'c');
  testing::internal::CaptureStderr();
  sys_log("%s\n", m1023.c_str());
  sys_log("%s\n", m1024.c_str());
  sys_log("%s%s\n", m5000.c_str(), "Z");
  std::string err = testing::internal::GetCapturedStderr();

  const std::string expected = m1023 + "\n" + m1024 + "\n" + m5000 + "Z\n";
  EXPECT_EQ(err, expected);
  EXPECT_EQ(logged_text(), expected);
  const std::string raw = read_file(dir.file("log.txt"));
  EXPECT_EQ(raw.find('\0'), std::string::npos);
  EXPECT_EQ(raw.find("earlier run"), std::string::npos);
  // The session before is readable the next morning, beside the new log.
  EXPECT_EQ(read_file(dir.file("log.old.txt")), "line of an earlier run\n");
  EXPECT_EQ(raw.size(), expected.size() + 3 * 20);
  EXPECT_EQ(raw[4], '-');
  EXPECT_EQ(raw[19], ' ');
}

TEST_F(LogTest, UnopenableLogGoesToStderrAndIsRetried) {
  ASSERT_EQ(mkdir("log.txt", 0755), 0);  // a folder in the log's place
  testing::internal::CaptureStderr();
  sys_log("first %d\n", 1);
  EXPECT_EQ(g_log_file.load(), nullptr);
  ASSERT_EQ(rmdir("log.txt"), 0);
  sys_log("second %d\n", 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "first 1\nsecond 2\n");
  EXPECT_EQ(logged_text(), "second 2\n");
}

TEST_F(LogTest, FirstMessagesFromManyThreadsOpenTheLogOnce) {
  std::vector<std::thread> threads;
  testing::internal::CaptureStderr();
  for (int t = 0; t < 8; t++)
    threads.emplace_back([t] { for (int i = 0; i < 20; i++) sys_log("thread %d message %d\n", t, i); });
  for (auto& th : threads) th.join();
  testing::internal::GetCapturedStderr();
  // Had two threads each opened (and truncated) the file, messages would be
  // lost; every line keeps its own time prefix.
  std::string text = logged_text();
  EXPECT_EQ(text.find("short line"), std::string::npos);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 160u);
}

TEST(Assert, LogsAndOnlyFatalEnds) {
  testing::internal::CaptureStderr();
  util_assert(1, true, "engine", 12);
  util_assert(0, false, "engine", 34);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Assertion failure engine : 34\n");
  // A death test's child starts in the original working folder; it logs into
  // a temporary one instead.
  temp_dir_s dir("assert");
  EXPECT_EXIT({ if (chdir(dir.path.c_str()) == 0) util_assert(0, true, "plotter", 56); }, testing::ExitedWithCode(1),
              "Assertion failure plotter : 56");
  EXPECT_EXIT(sys_exit_error(), testing::ExitedWithCode(1), "");
}

// A fatal error on one thread while others still use objects with static
// lifetime: the log line is written and the process ends with status 1, never
// with a crash from destructors run under the other threads.
TEST(Assert, FatalErrorOnAThreadEndsWithStatusOne) {
  temp_dir_s dir("fatal");
  for (int round = 0; round < 5; round++) {
    EXPECT_EXIT(
        {
          if (chdir(dir.path.c_str()) != 0) _exit(3);
          g_log_file.store(nullptr);  // this child logs into its own folder
          // Torn down slowly at exit, as a driver or toolkit state would be.
          struct table_s {
            int* volatile cells = new int[64]();
            ~table_s() {
              int* c = cells;
              cells = nullptr;
              usleep(20000);
              delete[] c;
            }
          };
          static table_s table;
          for (int t = 0; t < 4; t++)
            std::thread([] {
              for (volatile int n = 0;;) n = n + table.cells[n & 63];
            }).detach();
          std::thread([] {
            sys_log("fatal error on a worker\n");
            sys_exit_error();
          }).join();
        },
        testing::ExitedWithCode(1), "fatal error on a worker");
  }
  std::ifstream log(dir.file("log.txt"));
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("fatal error on a worker\n"), std::string::npos) << text;
}

TEST(Clock, MillisecondArithmetic) {
  struct row_s {
    timespec from, to;
    uint32_t ms;
  };
  const row_s rows[] = {
      {{5, 0}, {5, 0}, 0},
      {{10, 0}, {11, 500000000}, 1500},
      {{10, 400000000}, {12, 0}, 1600},           // 2 s and -0.4 s
      {{10, 999999}, {10, 0}, 0},                 // truncated toward zero
      {{3, 1999999}, {3, 0}, 0xffffffffu},        // -1.999 ms: -1 modulo 2^32
      {{0xffffffffL, 0}, {0x100000001L, 0}, 2000}, // low 32 bits of the seconds
      {{0, 0}, {4294967, 296000000}, 0},          // wraps after 2^32 ms
  };
  for (const row_s& r : rows)
    EXPECT_EQ(sys_time_ms_between(r.from, r.to), r.ms) << r.from.tv_sec << "." << r.from.tv_nsec << " -> "
                                                       << r.to.tv_sec << "." << r.to.tv_nsec;
}

// A sys_time reading between two readings of the steady clock: checks
// against it hold however long the machine takes between the calls.
struct clock_reading_s {
  double t;
  std::chrono::steady_clock::time_point before, after;
};

clock_reading_s read_clock() {
  clock_reading_s r;
  r.before = std::chrono::steady_clock::now();
  r.t = sys_time();
  r.after = std::chrono::steady_clock::now();
  return r;
}

double steady_seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// The clock reading that comes 2^32 ms after the start.
const double CLOCK_WRAP = 4294967.296;

TEST(Clock, CountsFromTheLastStart) {
  auto started = std::chrono::steady_clock::now();
  sys_time_start();
  clock_reading_s a = read_clock();
  EXPECT_LE(a.t, steady_seconds(started, a.after) + 0.001);
  usleep(30000);
  clock_reading_s b = read_clock();
  EXPECT_GE(b.t, 0.03);
  EXPECT_EQ(b.t * 1000, (double)(uint32_t)(b.t * 1000 + 0.5));  // whole milliseconds
  started = std::chrono::steady_clock::now();
  sys_time_start();
  clock_reading_s c = read_clock();
  EXPECT_LE(c.t, steady_seconds(started, c.after) + 0.001);
}

TEST(Clock, IntervalsAreWrapSafe) {
  struct {
    double from, to, seconds;
  } rows[] = {
      {1.0, 2.5, 1.5},
      {0, 0, 0},
      {4294967.0, 0.5, 0.796},          // across the wrap
      {4294967.295, 0, 0.001},          // the last millisecond before it
      {4294966.296, 4294967.295, 0.999},
  };
  for (const auto& r : rows) EXPECT_NEAR(sys_seconds_between(r.from, r.to), r.seconds, 1e-9) << r.from << " -> " << r.to;
}

// Started just before its wrap, the clock falls back to near 0; intervals
// and an elapsed clock read across the wrap still give the time that passed.
TEST(Clock, StartedJustBeforeItsWrap) {
  clock_reading_s before_wrap;
  elapsed_clock_s elapsed;
  for (int attempt = 0;; attempt++) {
    ASSERT_LT(attempt, 100) << "never read the clock before its wrap";
    sys_time_start_at(CLOCK_WRAP - 0.3);
    elapsed_clock_start(&elapsed);
    before_wrap = read_clock();
    if (before_wrap.t > CLOCK_WRAP - 1.0) break;  // a stall may already have crossed it
  }
  EXPECT_LE(before_wrap.t, CLOCK_WRAP - 0.001);
  clock_reading_s after_wrap = read_clock();
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (after_wrap.t >= before_wrap.t && std::chrono::steady_clock::now() < end) {
    usleep(10000);
    after_wrap = read_clock();
  }
  ASSERT_LT(after_wrap.t, before_wrap.t) << "the clock did not wrap";
  double interval = sys_seconds_between(before_wrap.t, after_wrap.t);
  EXPECT_GE(interval, steady_seconds(before_wrap.after, after_wrap.before) - 0.002);
  EXPECT_LE(interval, steady_seconds(before_wrap.before, after_wrap.after) + 0.002);
  double counted = elapsed_clock_read(&elapsed);
  EXPECT_GE(counted, interval);
  EXPECT_LE(counted, steady_seconds(before_wrap.before, std::chrono::steady_clock::now()) + 0.3 + 0.002);
  sys_time_start();
}

TEST(Timer, RepeatsWhileTrueAndEndsAtFalse) {
  int once = 0, thrice = 0;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  sys_timer_add(1, [&once] {
    once++;
    return false;
  });
  sys_timer_add(5, [&thrice, loop] {
    if (++thrice < 3) return true;
    g_main_loop_quit(loop);
    return false;
  });
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(thrice, 3);
  // Both timers have removed themselves: nothing is left to dispatch.
  usleep(10000);
  EXPECT_FALSE(g_main_context_iteration(nullptr, FALSE));
}

TEST(UiTasks, RunInOrderAllBeforeAnyIsDestroyed) {
  std::vector<std::string> events;
  auto marker = [&events](const char* name) {
    return std::shared_ptr<int>(new int(0), [&events, name](int* p) {
      events.push_back(std::string("destroyed ") + name);
      delete p;
    });
  };
  for (const char* name : {"first", "second"}) {
    std::function<void()> task = [&events, name, m = marker(name)] { events.push_back(std::string("ran ") + name); };
    ui_task_post(std::move(task));
    EXPECT_FALSE(task);  // the caller's closure is taken over
  }
  std::thread([&events] { ui_task_post([&events] { events.push_back("ran third"); }); }).join();
  EXPECT_TRUE(events.empty());
  ui_tasks_run();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0], "ran first");
  EXPECT_EQ(events[1], "ran second");
  EXPECT_EQ(events[2], "ran third");
  EXPECT_EQ(events[3].rfind("destroyed", 0), 0u);
  EXPECT_EQ(events[4].rfind("destroyed", 0), 0u);
  EXPECT_EQ(ui_tasks_pending(), 0u);
  ui_tasks_run();  // an empty queue runs nothing
  EXPECT_EQ(events.size(), 5u);
}

// Runs fn on a thread of its own; false when it has not returned within the
// given seconds (a deadlock: the thread is left behind).
bool returns_within(std::function<void()> fn, double seconds) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> f = done->get_future();
  std::thread([fn, done] {
    fn();
    done->set_value();
  }).detach();
  return f.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
}

TEST(UiTasks, TaskThatPostsRunsItsTaskOnTheNextRound) {
  std::vector<std::string> events;
  ui_task_post([&events] {
    events.push_back("outer");
    ui_task_post([&events] { events.push_back("inner"); });
  });
  ASSERT_TRUE(returns_within(ui_tasks_run, 60)) << "a task that posts deadlocks the queue";
  EXPECT_EQ(events, std::vector<std::string>{"outer"});
  EXPECT_EQ(ui_tasks_pending(), 1u);
  ASSERT_TRUE(returns_within(ui_tasks_run, 60));
  EXPECT_EQ(events, (std::vector<std::string>{"outer", "inner"}));
}

// As while a task shows a modal dialog: other threads must still post, so
// the task may not hold the queue's lock while it runs.
TEST(UiTasks, PostDuringALongTaskReturnsAtOnce) {
  std::atomic<bool> posted{false};
  bool saw_post_while_running = false;
  ui_task_post([&] {
    std::thread poster([&] {
      ui_task_post([] {});
      posted = true;
    });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!posted && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    saw_post_while_running = posted;
    poster.join();
  });
  ASSERT_TRUE(returns_within(ui_tasks_run, 120));
  EXPECT_TRUE(saw_post_while_running) << "tasks run under the queue's lock";
  EXPECT_EQ(ui_tasks_pending(), 1u);
  ui_tasks_run();
  EXPECT_EQ(ui_tasks_pending(), 0u);
}

TEST(UiTasks, PostAfterStopIsDropped) {
  bool ran = false;
  bool stop = true;
  EXPECT_FALSE(ui_task_post_unless_stopped([&ran] { ran = true; }, &stop));
  EXPECT_EQ(ui_tasks_pending(), 0u);
  stop = false;
  EXPECT_TRUE(ui_task_post_unless_stopped([&ran] { ran = true; }, &stop));
  EXPECT_TRUE(ui_task_post_unless_stopped([] {}, nullptr));
  EXPECT_EQ(ui_tasks_pending(), 2u);
  ui_tasks_run();
  EXPECT_TRUE(ran);
}

TEST(Hooks, PlatformAnswers) {
  EXPECT_TRUE(sys_gpu_dog_adjusted());
  EXPECT_TRUE(sys_gpu_dog_adjust());
  EXPECT_EQ(sys_plot_start_hook(), 0);
  sys_init();
  sys_work_thread_hook(true);
  sys_work_thread_hook(false);
  sys_thread_name("vg-test %d", 7);
  char name[32] = {0};
  pthread_getname_np(pthread_self(), name, sizeof name);
  EXPECT_STREQ(name, "vg-test 7");
  sys_thread_name("%s", std::string(200, 'n').c_str());  // too long: ignored
  pthread_getname_np(pthread_self(), name, sizeof name);
  EXPECT_STREQ(name, "vg-test 7");
  sys_thread_name("test_platform");
}

TEST(Memory, AlignedBlocksAndSizes) {
  const std::pair<uint64_t, uint64_t> rows[] = {{32, 262160}, {32, 262144}, {4096, 16384}, {4096, 100}};
  for (const auto& r : rows) {
    void* p = sys_aligned_alloc(r.first, r.second);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t)p % r.first, 0u);
    memset(p, 1, r.second);
    sys_aligned_free(p);
  }
  void* page = sys_page_alloc(1 << 20);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ((uintptr_t)page % 4096, 0u);
  sys_page_free(page);
  EXPECT_EQ(sys_aligned_alloc(32, UINT64_MAX), nullptr);

  uint64_t total = 0;
  uint64_t avail = sys_memory(&total);
  EXPECT_GT(avail, 0u);
  EXPECT_LE(avail, total);
  EXPECT_GT(sys_memory(nullptr), 0u);  // a null total is allowed
}

// Available memory is the kernel's MemAvailable, which counts the page cache
// it can drop; free pages alone shrink with every file written.
TEST(Memory, AvailableIsTheKernelsEstimate) {
  EXPECT_EQ(sys_meminfo_available("MemTotal: 100 kB\nMemFree: 3 kB\nMemAvailable:   2048 kB\n"), 2048u * 1024);
  EXPECT_EQ(sys_meminfo_available("MemTotal: 100 kB\n"), 0u);
  std::ifstream in("/proc/meminfo");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  uint64_t kernel = sys_meminfo_available(text.c_str());
  if (kernel == 0) GTEST_SKIP() << "no MemAvailable here";
  uint64_t ours = sys_memory(nullptr);
  uint64_t free_pages = (uint64_t)sysconf(_SC_AVPHYS_PAGES) * (uint64_t)sysconf(_SC_PAGESIZE);
  // Other processes move both figures a little between the two readings.
  const uint64_t slack = 256ull << 20;
  EXPECT_LT(ours > kernel ? ours - kernel : kernel - ours, slack);
  if (kernel > free_pages + 2 * slack) {
    EXPECT_GT(ours, free_pages + slack);
  }
}

TEST(Random, FillsTheBuffer) {
  uint8_t a[64] = {0}, b[64] = {0};
  sys_random(sizeof a, a);
  sys_random(sizeof b, b);
  EXPECT_NE(memcmp(a, b, sizeof a), 0);
}
