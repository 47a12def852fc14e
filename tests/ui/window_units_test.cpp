// The window's translations that need no display: key table, wheel
// scaling, dropped URI lists, and the hand-over from other threads.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/sys_linux.h"
#include "ui/window.h"

namespace {

TEST(WindowKeys, TableCodesAndOthers) {
  struct { unsigned keyval; int code; } cases[] = {
      {0xff54, 0}, {0xff57, 1}, {0xff50, 2}, {0xff51, 3}, {0xff56, 4}, {0xff55, 5},
      {0xff53, 6}, {0x20, 7},   {0xff09, 8}, {0xff52, 9},
      {'a', -1},   {0xff0d, -1}, {0xff99, -1} /* keypad Down */, {0xffb5, -1} /* keypad 5 */,
  };
  for (const auto& c : cases) EXPECT_EQ(window_key_code(c.keyval), c.code) << std::hex << c.keyval;
}

TEST(WindowScroll, VerticalDeltaIsScaledAndTruncated) {
  struct { double dy; int b; } cases[] = {{1.0, -32}, {-1.0, 32}, {0.5, -16}, {0.01, 0}, {-2.5, 80}};
  for (const auto& c : cases) EXPECT_EQ(window_scroll_b(c.dy), c.b) << c.dy;
}

// Runs fn in a fresh temporary folder, so that the log lands there.
std::string in_temp_dir_capturing_stderr(void (*fn)()) {
  char dir[] = "/tmp/vg_ui_XXXXXX";
  char old[4096];
  EXPECT_NE(getcwd(old, sizeof old), nullptr);
  EXPECT_NE(mkdtemp(dir), nullptr);
  EXPECT_EQ(chdir(dir), 0);
  testing::internal::CaptureStderr();
  fn();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(chdir(old), 0);
  std::string rm = std::string("rm -rf ") + dir;
  EXPECT_EQ(system(rm.c_str()), 0);
  return err;
}

TEST(WindowDrop, UriListBecomesPathsWithoutDecoding) {
  static std::string joined;
  const std::string err = in_temp_dir_capturing_stderr([] {
    char u0[] = "file:///mnt/my%20plots/1_2_3", u1[] = "file:///tmp", u2[] = "http://host/x",
         u3[] = "abc";
    char* uris[] = {u0, u1, u2, u3, nullptr};
    int count = -1;
    char** paths = window_uris_to_paths(uris, &count);
    joined = std::to_string(count);
    for (int i = 0; i < count; ++i) joined += std::string("|") + paths[i];
    window_free_paths(paths, count);
  });
  EXPECT_EQ(joined, "4|/mnt/my%20plots/1_2_3|/tmp|host/x|");
  // One assertion line for each URI that is not a file URI, not fatal.
  size_t lines = 0;
  for (size_t at = 0; (at = err.find("Assertion failure window_linux : ", at)) != std::string::npos; ++at)
    ++lines;
  EXPECT_EQ(lines, 2u) << err;
}

TEST(WindowDrop, EmptyList) {
  char* uris[] = {nullptr};
  int count = -1;
  char** paths = window_uris_to_paths(uris, &count);
  EXPECT_EQ(count, 0);
  window_free_paths(paths, count);
}

TEST(Window, NullIsAllowedWhereDocumented) {
  window_redraw(nullptr);
  window_destroy(nullptr);
}

TEST(WindowHandOver, StopEndsTheWaitAndTheLateTaskShowsNothing) {
  bool stop = false;
  bool answer = true;
  std::thread worker([&] {
    answer = window_question_from_thread(nullptr, &stop, "Question", "Fall back to %s?", "CPU");
  });
  // The worker is waiting: its task sits in the queue, the main thread holds
  // no lock of its own, and a stop request lets the worker go.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  __atomic_store_n(&stop, true, __ATOMIC_RELEASE);
  worker.join();
  EXPECT_FALSE(answer);
  // The abandoned task must not open a dialog (there is no display here).
  ui_tasks_run();

  std::thread message([&] { window_message_from_thread(nullptr, &stop, "Error", "Memory Error"); });
  message.join();
  ui_tasks_run();
}

}  // namespace
