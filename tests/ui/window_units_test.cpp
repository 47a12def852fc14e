// The window's translations that need no display: key table, wheel
// scaling, dropped URI lists, and the hand-over from other threads.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
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
      {0xff0d, 10}, {0xff8d, 10}, {0xff1b, 11},
      {'a', -1},   {0xff99, -1} /* keypad Down */, {0xffb5, -1} /* keypad 5 */,
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

TEST(WindowDrop, FileUrisBecomeDecodedPathsAndOthersAreLeftOut) {
  static std::string joined;
  const std::string err = in_temp_dir_capturing_stderr([] {
    char u0[] = "file:///mnt/my%20plots/1_2_3", u1[] = "file:///tmp", u2[] = "http://host/x",
         u3[] = "abc", u4[] = "file:///media/caf%C3%A9/1_0_8",
         u5[] = "file://localhost/srv/Gr%C3%BCn%20Disk", u6[] = "file:///a%2Fb";
    char* uris[] = {u0, u1, u2, u3, u4, u5, u6, nullptr};
    int count = -1;
    char** paths = window_uris_to_paths(uris, &count);
    joined = std::to_string(count);
    for (int i = 0; i < count; ++i) joined += std::string("|") + paths[i];
    window_free_paths(paths, count);
  });
  EXPECT_EQ(joined, "4|/mnt/my plots/1_2_3|/tmp|/media/caf\xc3\xa9/1_0_8|/srv/Gr\xc3\xbcn Disk");
  // One log line for each item that names no local file; nothing fatal.
  for (const char* left_out : {"http://host/x", "abc", "file:///a%2Fb"})
    EXPECT_NE(err.find(std::string("Dropped item is not a local file, ignored: ") + left_out + "\n"),
              std::string::npos)
        << err;
  EXPECT_EQ(err.find("Assertion failure"), std::string::npos) << err;
}

TEST(WindowDrop, EmptyList) {
  char* uris[] = {nullptr};
  int count = -1;
  char** paths = window_uris_to_paths(uris, &count);
  EXPECT_EQ(count, 0);
  window_free_paths(paths, count);
}

TEST(WindowEntry, BufferStaysATerminatedStringOfWholeCharacters) {
  struct { const char* text; const char* kept; } cases[] = {
      {"abc", "abc"},
      {"abcdefg", "abcdefg"},       // 7 bytes: fits a field of 8 with its zero
      {"abcdefgh", "abcdefg"},      // cut to 7
      {"abcde\xc3\xa9", "abcde\xc3\xa9"},      // "abcdé", 7 bytes
      {"abcdef\xc3\xa9", "abcdef"},             // é would not fit whole
      {"ab\xe2\x82\xac\xe2\x82\xac", "ab\xe2\x82\xac"},  // "ab€€"
      {"", ""},
  };
  for (const auto& c : cases) {
    char field[9];
    memset(field, 'Z', sizeof field);
    window_entry_copy(field, 8, c.text);
    EXPECT_STREQ(field, c.kept) << c.text;
    for (int i = (int)strlen(c.kept); i < 8; ++i) EXPECT_EQ(field[i], 0) << c.text << " at " << i;
    EXPECT_EQ(field[8], 'Z') << "wrote past the field";
  }
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

TEST(WindowHandOver, StopWhileAnotherTaskIsRunning) {
  // As while a UI task shows its dialog: the main thread is inside a task
  // when the worker posts its question, and then wants to join the worker.
  bool stop = false;
  bool answer = true;
  bool queued = false;
  ui_task_post([&] {
    std::thread worker([&] { answer = window_question_from_thread(nullptr, &stop, "Q", "?"); });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ui_tasks_pending() == 0 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    queued = ui_tasks_pending() == 1;
    __atomic_store_n(&stop, true, __ATOMIC_RELEASE);
    worker.join();
  });
  ui_tasks_run();
  EXPECT_TRUE(queued);
  EXPECT_FALSE(answer);
  ui_tasks_run();  // the abandoned question shows nothing (there is no display here)
}

// Counts and removes the GLib sources that hold the window.
int remove_sources(window_s* w) {
  int n = 0;
  while (g_source_remove_by_user_data(w)) ++n;
  return n;
}

void run_main_context_for_ms(int ms) {
  const gint64 end = g_get_monotonic_time() + ms * 1000;
  while (g_get_monotonic_time() < end) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_usleep(2000);
  }
}

TEST(WindowRedrawTimer, SourcesEndOneTickAfterTheFlagClears) {
  window_s w{};
  // On, off, on again before the first tick: both sources keep running.
  window_set_redraw_timer(&w, 20);
  window_set_redraw_timer(&w, 0);
  window_set_redraw_timer(&w, 20);
  EXPECT_TRUE(w.redraw_timer_on);
  run_main_context_for_ms(80);
  EXPECT_EQ(remove_sources(&w), 2);

  window_set_redraw_timer(&w, 20);
  window_set_redraw_timer(&w, 0);
  EXPECT_FALSE(w.redraw_timer_on);
  run_main_context_for_ms(80);
  EXPECT_EQ(remove_sources(&w), 0);
}

}  // namespace
