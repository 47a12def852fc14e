// The figures of the configuration screen: what a target's "Fill" shows and
// the largest file of the plan in force, also after an automatic resume.
#include <string>

#include <vector>

#include <glib.h>

#include "app/settings.h"
#include "app/prefs.h"
#include "tests/ui/surface_window.h"
#include "ui/draw.h"
#include "app/ui_config.h"
#include "app/ui_prompts.h"
#include "platform/sys_linux.h"
#include "appdata_fixture.h"

namespace {

using appdata_test::app_fixture;

class config_figures : public app_fixture {};

TEST_F(config_figures, fill_shows_what_the_plan_may_fill) {
  const uint64_t G = 1000000000;
  struct {
    const char* what;
    uint64_t free_bytes, global_cap, own_limit, shown;
  } cases[] = {
      {"no limit: the free space", 82 * G, 0, 0, 82 * G},
      {"the drive's own limit", 82 * G, 0, 500 * 1000000ull, 500 * 1000000ull},
      {"max_gb_to_fill", 82 * G, 10 * G, 0, 10 * G},
      {"the smaller of both", 82 * G, 10 * G, 20 * G, 10 * G},
      {"the smaller of both, other way", 82 * G, 30 * G, 20 * G, 20 * G},
      {"limits above the free space", 5 * G, 10 * G, 20 * G, 5 * G},
  };
  for (const auto& c : cases) {
    drive_s d = drive(dir_, c.free_bytes);
    d.fill_limit = c.own_limit;
    g_max_bytes_to_fill = c.global_cap;
    EXPECT_EQ(target_fill_bytes(d), c.shown) << c.what;
  }
}

// At start-up the resumed drives are planned as new ones first (the whole
// free space) before the resume data replaces the jobs: the size line must
// show the one resumed file.
TEST_F(config_figures, size_line_follows_the_resumed_plan) {
  std::string target = sub("target");
  const uint64_t nonces = 11520;  // 3.0 GB, whole 256-nonce units
  appdata_test::write_file(dir_ + "/config.yml",
                           "account: 7\nresume_drives:\n  - " + target +
                               "\nresume_plots:\n  - {account: 7, start: 1000, count: " +
                               std::to_string(nonces) + ", write: " + target + "}\n");
  ASSERT_TRUE(prefs_load());
  ui_tasks_run();  // the "Auto-Resuming" message, recorded
  ASSERT_EQ(appdata_test::planned_jobs().size(), 1u);
  EXPECT_EQ(plan_max_file_bytes(), nonces * 262144);
  drive_plan();
  EXPECT_EQ(plan_max_file_bytes(), g_max_job_bytes) << "a fresh plan agrees with its own figure";
}

// A target folder named in Latin-1 ("Platte \xc4", as an old disk shows
// it) is no valid UTF-8: the screen still draws its path (with a
// replacement character), the labels after it and "Start Plotting!".
TEST_F(config_figures, a_target_named_in_latin1_leaves_the_screen_whole) {
  std::string target = sub("Platte \xc4");
  g_drives.push_back(drive(target, 82ull * 1000000000));
  surface_window_s sw{640, 480};
  window_s* old_window = g_window;
  g_window = &sw.w;
  std::vector<drawn_text_s> texts;
  draw_record_texts(&texts);
  config_paint(nullptr);
  draw_record_texts(nullptr);
  g_window = old_window;
  bool path_shown = false, start_shown = false;
  for (const drawn_text_s& t : texts) {
    // A replacement character, or the letter itself where the system is
    // told file names are Latin-1 (G_FILENAME_ENCODING).
    path_shown = path_shown || (t.text.find("Platte ") != std::string::npos && g_utf8_validate(t.text.c_str(), -1, nullptr));
    start_shown = start_shown || t.text == "Start Plotting!";
  }
  EXPECT_TRUE(path_shown);
  EXPECT_TRUE(start_shown);
}

}  // namespace

namespace {

// The figures the screen and the size prompt show: the setting in force,
// whole plot files of 256 nonces, and nothing planned where the plan puts
// nothing (a drive that shares its file system with one before it).
TEST_F(config_figures, labels_show_the_settings_and_the_plan) {
  const uint64_t G = 1000000000;
  struct {
    uint64_t setting;
    const char* shown;
  } sizes[] = {{100 * G, "Max file size: 100.0 GB"}, {0, "Max file size: no limit"}, {16000 * G, "Max file size: 16.0 TB"}};
  std::string t = sub("t");
  g_drives.push_back(drive(t, 10 * G));
  drive_plan();
  for (const auto& c : sizes) {
    g_max_bytes_per_file = c.setting;
    char text[128];
    config_max_file_text(text, sizeof text);
    EXPECT_STREQ(text, c.shown);
  }
  struct {
    uint64_t typed;
    const char* hint;
  } hints[] = {{1 * G, "1.0 GB = 3584 nonces"}, {100 * G, "100.0 GB = 381440 nonces"}, {G / 100, "10.0 MB = 0 nonces"}};
  for (const auto& c : hints) {
    char text[128];
    prompt_size_hint(c.typed, text, sizeof text);
    EXPECT_STREQ(text, c.hint);
  }
}

TEST_F(config_figures, a_target_box_tells_a_missing_folder_and_an_empty_plan) {
  const uint64_t G = 1000000000;
  std::string a = sub("a"), b = sub("b");
  g_drives.push_back(drive(a, 10 * G));
  g_drives.push_back(drive(b, 10 * G));
  g_drives.push_back(drive(dir_ + "/gone", 10 * G));
  // Only the first drive gets files, as when the others share its disk.
  plotter_clear_jobs(g_plotter);
  plotter_add_job(g_plotter, job_create(&g_drives[0], nullptr, 7, 0, 256));
  const char* want[] = {"Fill 10.0 GB", "Nothing planned", "Folder missing"};
  for (size_t i = 0; i < 3; i++) {
    char text[64];
    target_box_text(g_drives[i], text, sizeof text);
    EXPECT_STREQ(text, want[i]) << g_drives[i].path;
  }
}

}  // namespace
