#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include "app/address.h"
#include "app/drives.h"
#include "app/prefs.h"
#include "appdata_fixture.h"
#include "platform/sys_linux.h"
#include "tests/support/loop_fs.h"

using namespace appdata_test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class prefs_test : public app_fixture {
 protected:
  std::string config() { return read_file(dir_ + "/config.yml"); }
  void write_config(const std::string& text) { write_file(dir_ + "/config.yml", text); }
  // Loads text as config.yml, with the queued UI tasks run (and recorded).
  bool load(const std::string& text) {
    write_config(text);
    bool ok = prefs_load();
    ui_tasks_run();
    return ok;
  }
  bool resume_message_shown() {
    for (const std::string& m : messages())
      if (m.rfind("Auto-Resuming: An unfinished plotting session was detected.", 0) == 0) return true;
    return false;
  }
  // Back to the state of a fresh process start, files on disk kept.
  void restart() {
    plotter_destroy(g_plotter);
    plots_destroy(g_plots);
    g_plotter = plotter_create();
    g_plots = plots_create();
    g_ssds.clear();
    g_ssds_unusable.clear();
    g_drives.clear();
    settings_.restore();
    messages().clear();
  }
};

const char k_fresh_order[] =
    "# Configuration file for Veldgrain\n"
    "# This file stores remembered settings from your prior plots\n"
    "# and advanced settings and overrides.\n"
    "# You can delete this file to return to all default values.\n";

}  // namespace

TEST_F(prefs_test, missing_file_fails_and_a_fresh_file_has_every_initial_value) {
  EXPECT_FALSE(prefs_load());
  prefs_save();
  std::string text = config();
  EXPECT_EQ(text.rfind(k_fresh_order, 0), 0u) << text;
  YAML::Node n = YAML::Load(text);
  EXPECT_EQ(n["account"].as<uint64_t>(), 0u);
  EXPECT_TRUE(n["auto_start_nonce"].as<bool>());
  EXPECT_TRUE(n["gpus"].IsSequence());
  EXPECT_EQ(n["gpus"].size(), 0u);
  EXPECT_TRUE(n["ssds"].IsSequence());
  EXPECT_EQ(n["ssds"].size(), 0u);
  EXPECT_TRUE(n["plots"].IsSequence());
  EXPECT_EQ(n["plots"].size(), 0u);
  EXPECT_EQ(n["max_gb_per_file"].as<double>(), 16000.0);
  EXPECT_EQ(n["max_gb_to_fill"].as<double>(), 0.0);
  EXPECT_TRUE(n["ssd_double_buffer"].as<bool>());
  EXPECT_FALSE(n["ssd_scatter"].as<bool>());
  EXPECT_FALSE(n["dont_adjust_gpu_dog"].as<bool>());
  EXPECT_EQ(n["hash_per_dispatch"].as<int>(), 0);
  EXPECT_EQ(n["threads_per_group"].as<int>(), 32);
  EXPECT_EQ(n["cpu_threads"].as<int>(), 0);
  EXPECT_EQ(n["max_gpu_nonces"].as<int>(), 0);
  EXPECT_EQ(n["sector_size_override"].as<int>(), 0);
  EXPECT_EQ(n["ram_double_buffer"].as<std::string>(), "auto");
  EXPECT_FALSE(n["disable_opencl"].as<bool>());
  EXPECT_EQ(n["min_ram_gb_per_task"].as<double>(), 4.0);
  EXPECT_FALSE(n["experimental_fast_splats"].as<bool>());
  EXPECT_FALSE(n["resume_ram"].IsDefined());
  EXPECT_FALSE(n["resume_plots"].IsDefined());
  // Keys and comments in their order, each comment on its value's line.
  const char* in_order[] = {
      "account: 0", "auto_start_nonce: true", "gpus: []  # Last GPU(s) used or empty for CPU", "ssds: []",
      "# Paths you made plots in are remembered to double check and",
      "# ensure new plots never overlap nonces of existing plots.", "plots:", "# Overrides",
      "max_gb_per_file: 16000  # Each plot file will be this size or less in GB",
      "max_gb_to_fill: 0  # Use this to fill only part of a target drive", "# SSD Configuration",
      "ssd_double_buffer: true  # Overlap writing", "ssd_scatter: false  # Experiment to create single plot",
      "# Advanced and experimental settings", "dont_adjust_gpu_dog: false", "hash_per_dispatch: 0",
      "threads_per_group: 32", "cpu_threads: 0  # Default is CPU threads - 1",
      "max_gpu_nonces: 0  # Try 1024 here", "sector_size_override: 0  # Experiment, can try 16384",
      "ram_double_buffer: auto  # Use auto to let VLDG decide", "disable_opencl: false  # If you plan to CPU plot",
      "min_ram_gb_per_task: 4  # Override for max concurrent tasks",
      "experimental_fast_splats: false  # Experiment for extra fast disk writes"};
  size_t at = 0;
  for (const char* s : in_order) {
    size_t found = text.find(s, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << s << "\n" << text;
    at = found;
  }
  // A blank line before each group's heading.
  for (const char* heading : {"# Paths you made", "# Overrides", "# SSD Configuration", "# Advanced and"})
    EXPECT_NE(text.find(std::string("\n\n") + heading), std::string::npos) << heading << "\n" << text;
}

TEST_F(prefs_test, round_trip_gives_the_same_text) {
  std::string ssd = sub("ssd"), t1 = sub("t1"), t2 = sub("t2"), old = sub("old");
  make_plot(old + "/77_0_512");
  plots_folder_add(g_plots, old.c_str());
  g_account = 12345678901234567ull;
  g_auto_start_nonce = false;
  g_gpus = 0x80000005u;
  g_max_bytes_per_file = 250000000000ull;
  g_max_bytes_to_fill = 1500000000ull;
  g_ssd_double_buffer = false;
  g_dont_adjust_gpu_dog = true;
  g_hash_per_dispatch = 7;
  g_threads_per_group = 64;
  g_cpu_threads = 3;
  g_max_gpu_nonces = 1024;
  g_ram_double_buffer = 1;
  g_disable_opencl = true;
  g_min_ram_gb_per_task = 2.5;
  g_experimental_fast_splats = true;
  g_resume_ram = 8ull << 30;
  drive_add(0, ssd.c_str(), 1);
  drive_add(1, t1.c_str(), 1);
  drive_add(1, t2.c_str(), 1);
  ASSERT_EQ(g_ssds.size(), 1u);
  ASSERT_EQ(g_drives.size(), 2u);
  plotter_clear_jobs(g_plotter);
  plotter_add_job(g_plotter, job_create(&g_ssds[0], &g_drives[0], g_account, 1000, 4096));
  plotter_add_job(g_plotter, job_create(&g_drives[1], nullptr, g_account, 9000, 256));
  g_plan_restored = true;  // the run was started: a session
  prefs_save();
  std::string first = config();

  restart();
  ASSERT_TRUE(load(first)) << first;
  EXPECT_EQ(g_account, 12345678901234567ull);
  EXPECT_EQ(g_gpus, 0x80000005u);
  EXPECT_EQ(g_max_bytes_per_file, 250000000000ull);
  EXPECT_EQ(g_max_bytes_to_fill, 1500000000ull);
  EXPECT_EQ(g_ram_double_buffer, 1);
  EXPECT_EQ(g_min_ram_gb_per_task, 2.5);
  EXPECT_EQ(g_resume_ram, 8ull << 30);
  EXPECT_TRUE(resume_message_shown());
  // Rebuilt jobs keep their ranges and drives, and take the loaded account.
  std::vector<planned_s> want = {{ssd, t1, 1000, 4096}, {t2, "", 9000, 256}};
  EXPECT_EQ(planned_jobs(), want);
  plotter_for_each_job(g_plotter, [](job_s* j) {
    EXPECT_EQ(j->account_id, 12345678901234567ull);
    return true;
  });
  prefs_save();
  EXPECT_EQ(config(), first);
  YAML::Node n = YAML::Load(first);
  ASSERT_EQ(n["plots"].size(), 3u);  // the old folder and both targets, with "/"
  EXPECT_EQ(n["plots"][0].as<std::string>(), old + "/");
  EXPECT_EQ(n["resume_plots"][0]["account"].as<uint64_t>(), 12345678901234567ull);
  EXPECT_EQ(n["resume_plots"][0]["move"].as<std::string>(), t1);
  EXPECT_FALSE(n["resume_plots"][1]["move"].IsDefined());
}

TEST_F(prefs_test, value_rules) {
  struct {
    const char* text;
    std::function<void()> check;
  } cases[] = {
      {"max_gb_per_file: 1.5\nmax_gb_to_fill: 1.5\n",
       [] {
         EXPECT_EQ(g_max_bytes_per_file, 1500000000ull);
         EXPECT_EQ(g_max_bytes_to_fill, 1500000000ull);
       }},
      {"max_gb_per_file: 0.5\nmax_gb_to_fill: 0\n",
       [] {
         EXPECT_EQ(g_max_bytes_per_file, 500000000ull);
         EXPECT_EQ(g_max_bytes_to_fill, 0u);
       }},
      {"gpus: [0, 3]\n", [] { EXPECT_EQ(g_gpus, 9u); }},
      {"gpus: 3\n", [] { EXPECT_EQ(g_gpus, 0u); }},
      {"gpus: [1, 40, -1]\n", [] { EXPECT_EQ(g_gpus, 2u); }},  // indices beyond the mask are ignored
      {"ram_double_buffer: True\n", [] { EXPECT_EQ(g_ram_double_buffer, -1); }},
      {"ram_double_buffer: false\n", [] { EXPECT_EQ(g_ram_double_buffer, 0); }},
      {"ram_double_buffer: true\n", [] { EXPECT_EQ(g_ram_double_buffer, 1); }},
      {"ram_double_buffer: [1]\n", [] { EXPECT_EQ(g_ram_double_buffer, -1); }},
      {"account: 42\n",
       [] {
         EXPECT_EQ(g_account, 42u);
         EXPECT_EQ(g_threads_per_group, 0);  // missing: 0, which users read as 32
         EXPECT_EQ(g_min_ram_gb_per_task, 4.0);
         EXPECT_TRUE(g_auto_start_nonce);
       }},
      {"auto_start_nonce: maybe\ncpu_threads: many\n",  // fallbacks
       [] {
         EXPECT_TRUE(g_auto_start_nonce);
         EXPECT_EQ(g_cpu_threads, 0);
       }},
      {"plots: [~, '', ]\nssds: [~]\n",  // empty entries name no folder
       [] {
         EXPECT_EQ(plots_folder_count(g_plots), 0);
         EXPECT_TRUE(g_ssds.empty());
       }},
      {"sector_size_override: 16384\n", [] {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    restart();
    EXPECT_TRUE(load(c.text));
    c.check();
    EXPECT_FALSE(resume_message_shown());
  }
  restart();
  ASSERT_TRUE(load("sector_size_override: 16384\naccount: 1\n"));
  prefs_save();
  YAML::Node n = YAML::Load(config());
  EXPECT_EQ(n["sector_size_override"].as<int>(), 0);
  EXPECT_EQ(n["threads_per_group"].as<int>(), 0);
}

// A file that cannot be used is kept byte for byte beside config.yml before
// start-up writes a fresh one, and the user is told where it is; a second
// failure keeps its own copy.
TEST_F(prefs_test, unusable_files_are_kept_and_reported) {
  const char* broken[] = {
      "account: [1, 2\n",                        // not YAML
      "account: 7\n\tgpus: [0]\n",               // one tab character
      "account: 7\nplots: [[1]]\n",             // a plots element that is no text
      "account: -1\n",                           // no account number
      "account: BURST-2223\n",
      "account:\n",
      "just text\n",
      "",                                        // empty: holds no settings
      "# only a comment\n",
  };
  for (const char* text : broken) {
    SCOPED_TRACE(text);
    restart();
    EXPECT_FALSE(load(text));
    EXPECT_FALSE(resume_message_shown());
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].rfind("Settings not loaded: config.yml could not be loaded (", 0), 0u) << messages()[0];
    EXPECT_NE(messages()[0].find("kept as " + dir_ + "/config.yml.unreadable"), std::string::npos) << messages()[0];
    EXPECT_EQ(read_file(dir_ + "/config.yml.unreadable"), text);
    prefs_save();  // start-up writes the fresh file at once
    EXPECT_EQ(read_file(dir_ + "/config.yml.unreadable"), text);
    EXPECT_TRUE(YAML::Load(config()).IsMap());
    unlink((dir_ + "/config.yml.unreadable").c_str());
  }
  restart();
  EXPECT_FALSE(load("account: 7\nplots: [[1]]\n"));
  EXPECT_FALSE(load("account: 8\nplots: [[2]]\n"));
  EXPECT_EQ(read_file(dir_ + "/config.yml.unreadable"), "account: 7\nplots: [[1]]\n");
  EXPECT_EQ(read_file(dir_ + "/config.yml.unreadable-2"), "account: 8\nplots: [[2]]\n");
}

// What is saved reads back as the same value, to the byte: fractions of a
// GB, sizes below 1 GB, no cap at all.
TEST_F(prefs_test, values_round_trip_exactly) {
  const uint64_t per_file[] = {500000000ull, 2500000000ull, 1100000000ull, 0, 67108864ull,
                               16000000000000ull, 123456789012ull, 999999999999999ull};
  const uint64_t to_fill[] = {0, 1, 70000000ull, 1500000000ull, 123456789012345ull};
  const double per_task[] = {0.0625, 0.3, 4, 1e-3};
  for (size_t i = 0; i < 8; i++) {
    restart();
    uint64_t f = per_file[i], fill = to_fill[i % 5];
    double task = per_task[i % 4];
    int threads = static_cast<int>(i % 2);
    g_max_bytes_per_file = f;
    g_max_bytes_to_fill = fill;
    g_min_ram_gb_per_task = task;
    g_cpu_threads = threads;
    prefs_save();
    restart();
    SCOPED_TRACE(config());
    EXPECT_TRUE(load(config()));
    EXPECT_TRUE(messages().empty()) << messages()[0];
    EXPECT_EQ(g_max_bytes_per_file, f);
    EXPECT_EQ(g_max_bytes_to_fill, fill);
    EXPECT_EQ(g_min_ram_gb_per_task, task);
    EXPECT_EQ(g_cpu_threads, threads);
  }
}

// A value a run cannot use is refused when loaded: the message names the key
// and its range, the setting keeps its default, and the next save does not
// store the refused value (the file as it was is kept).
TEST_F(prefs_test, out_of_range_values_are_refused_with_their_range) {
  struct {
    const char* text;
    const char* key;
    const char* stored;
  } cases[] = {
      {"max_gb_per_file: 0.01\n", "max_gb_per_file", "max_gb_per_file: 16000"},
      {"max_gb_per_file: -5\n", "max_gb_per_file", "max_gb_per_file: 16000"},
      {"max_gb_per_file: lots\n", "max_gb_per_file", "max_gb_per_file: 16000"},
      {"max_gb_to_fill: -3\n", "max_gb_to_fill", "max_gb_to_fill: 0"},
      {"max_gb_to_fill: 1e300\n", "max_gb_to_fill", "max_gb_to_fill: 0"},
      {"min_ram_gb_per_task: 0\n", "min_ram_gb_per_task", "min_ram_gb_per_task: 4"},
      {"min_ram_gb_per_task: -1\n", "min_ram_gb_per_task", "min_ram_gb_per_task: 4"},
      {"min_ram_gb_per_task: .nan\n", "min_ram_gb_per_task", "min_ram_gb_per_task: 4"},
      {"min_ram_gb_per_task: .inf\n", "min_ram_gb_per_task", "min_ram_gb_per_task: 4"},
      {"cpu_threads: 2147483647\n", "cpu_threads", "cpu_threads: 0"},
      {"cpu_threads: -2\n", "cpu_threads", "cpu_threads: 0"},
      {"threads_per_group: 16\n", "threads_per_group", "threads_per_group: 0"},
      {"threads_per_group: 1025\n", "threads_per_group", "threads_per_group: 0"},
      {"threads_per_group: 2048\n", "threads_per_group", "threads_per_group: 0"},
      {"threads_per_group: -32\n", "threads_per_group", "threads_per_group: 0"},
      {"resume_ram: 10737418\nresume_plots: []\n", "resume_ram", ""},
      {"resume_ram: 1000000000000000\nresume_plots: []\n", "resume_ram", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    restart();
    CaptureStderr();
    EXPECT_TRUE(load(std::string("account: 7\n") + c.text));
    std::string log = GetCapturedStderr();
    std::string m;
    for (const std::string& shown : messages())
      if (shown.rfind("Settings damaged: config.yml is damaged: ", 0) == 0) m = shown;
    EXPECT_NE(m.find(std::string(c.key) + " was not used: "), std::string::npos) << m;
    EXPECT_NE(m.find(" must be "), std::string::npos) << "no range in: " << m;
    EXPECT_NE(log.find(c.key), std::string::npos) << log;
    EXPECT_EQ(read_file(dir_ + "/config.yml.damaged"), std::string("account: 7\n") + c.text);
    unlink((dir_ + "/config.yml.damaged").c_str());
    EXPECT_EQ(g_account, 7u);
    prefs_save();
    std::string refused(c.text, strchr(c.text, '\n'));
    EXPECT_EQ(config().find(refused), std::string::npos) << config();
    if (*c.stored) {
      EXPECT_NE(config().find(c.stored), std::string::npos) << config();
    }
  }
}

// Every work-group size of the documented range loads as written, and 0
// (the default) too; the GPU run tests plot with each.
TEST_F(prefs_test, work_group_sizes_of_the_range_load) {
  for (int v : {0, 32, 96, 256, 512, 1000, 1021, 1024}) {
    SCOPED_TRACE(v);
    restart();
    EXPECT_TRUE(load("account: 7\nthreads_per_group: " + std::to_string(v) + "\n"));
    EXPECT_TRUE(messages().empty()) << messages()[0];
    EXPECT_EQ(g_threads_per_group, v);
  }
}

// A file that fails part-way applies nothing: what came before the failing
// key is not left in force, nor saved by the fresh file.
TEST_F(prefs_test, a_failed_load_applies_nothing) {
  std::string ssd = sub("ssd"), old = sub("old");
  make_plot(old + "/77_0_512");
  restart();
  std::string text = "account: 778\nmax_gb_per_file: 2\ngpus: [1]\nssds: [" + ssd + "]\nplots: [" + old +
                     ", [1]]\n";
  EXPECT_FALSE(load(text));
  EXPECT_EQ(g_account, 0u);
  EXPECT_EQ(g_max_bytes_per_file, 16000000000000ull);
  EXPECT_EQ(g_gpus, 0u);
  EXPECT_TRUE(g_ssds.empty());
  EXPECT_EQ(plots_folder_count(g_plots), 0);
  prefs_save();
  EXPECT_NE(config().find("account: 0\n"), std::string::npos) << config();
  EXPECT_EQ(read_file(dir_ + "/config.yml.unreadable"), text);
}

// An address written by hand is the account it names; a key given twice and
// lines after the end line are reported by name and kept in the copy.
TEST_F(prefs_test, addresses_duplicates_and_lines_after_the_end) {
  address_s a{};
  address_encode(&a, 6418289488649374107ull);
  restart();
  EXPECT_TRUE(load(std::string("account: ") + address_format(&a, 1) + "\n"));
  EXPECT_EQ(g_account, 6418289488649374107ull);
  EXPECT_TRUE(messages().empty());

  restart();
  const std::string twice = "account: 5\nmax_gb_per_file: 2\naccount: 6\n";
  EXPECT_TRUE(load(twice));
  EXPECT_EQ(g_account, 5u);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_NE(messages()[0].find("account is given more than once"), std::string::npos) << messages()[0];
  EXPECT_EQ(read_file(dir_ + "/config.yml.damaged"), twice);
  unlink((dir_ + "/config.yml.damaged").c_str());

  restart();
  g_account = 9;
  prefs_save();
  const std::string more = config() + "max_gb_per_file: 3\n";
  restart();
  EXPECT_TRUE(load(more));
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_NE(messages()[0].find("lines follow its end line \"# End of config.yml\" (from \"max_gb_per_file: 3\")"),
            std::string::npos)
      << messages()[0];
  EXPECT_EQ(messages()[0].find("ends early"), std::string::npos) << messages()[0];
  EXPECT_EQ(read_file(dir_ + "/config.yml.damaged"), more);
}

// Damaged resume entries are no longer fatal to the whole file, but never
// silent: each is logged, the user is told, and the file is kept.
TEST_F(prefs_test, damaged_resume_data_is_reported) {
  std::string t = sub("t");
  const std::string drives = "account: 7\nresume_drives: [" + t + "]\n";
  const std::string cases[] = {
      drives + "resume_plots:\n  - {start: 1, count: 256}\n",  // no write
      drives + "resume_plots:\n  - {start: x, count: 256, write: " + t + "}\n",
      drives + "resume_plots:\n  - {start: 1, count: 256, write: /not/a/drive}\n",
      drives + "resume_plots:\n  - ~\n",
      drives + "resume_plots: 3\n",
      drives + "resume_ram: 0\n",  // a section without its plot list
      "account: 7\nresume_drives: [~]\nresume_plots: []\n",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    restart();
    CaptureStderr();
    EXPECT_TRUE(load(text));
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("config.yml is damaged: "), std::string::npos) << log;
    bool told = false;
    for (const std::string& m : messages()) told = told || m.rfind("Settings damaged: config.yml is damaged: ", 0) == 0;
    EXPECT_TRUE(told);
    EXPECT_EQ(read_file(dir_ + "/config.yml.damaged"), text);
    unlink((dir_ + "/config.yml.damaged").c_str());
  }
}

TEST_F(prefs_test, resume_section_rebuild) {
  std::string ssd = sub("ssd"), t = sub("t"), u = sub("u");
  // Plan first so there are jobs to clear.
  g_drives.push_back(drive(t, 1ull << 30));
  drive_plan();
  ASSERT_FALSE(planned_jobs().empty());
  g_drives.clear();
  std::string text = "account: 99\nresume_ssds: [" + ssd + "]\nresume_drives: [" + t + ", " + u +
                     "]\nresume_plots:\n"
                     "  - {account: 5, start: 100, count: 256, write: " + ssd + ", move: " + t + "}\n"
                     "  - {start: 400, count: 512, write: " + u + "}\n"
                     "  - {start: 900, count: 256, write: " + ssd + ", move: /nowhere}\n"   // skipped
                     "  - {start: 1200, count: 256, write: /unknown}\n"           // skipped
                     "  - {start: 1500, count: 256, write: " + ssd + "}\n"        // ssd is no target
                     "  - {start: 1800, count: 0, write: " + u + "}\n";           // empty range
  ASSERT_TRUE(load(text));
  std::vector<planned_s> want = {{ssd, t, 100, 256}, {u, "", 400, 512}};
  EXPECT_EQ(planned_jobs(), want);
  plotter_for_each_job(g_plotter, [](job_s* j) {
    EXPECT_EQ(j->account_id, 99u);
    return true;
  });
  EXPECT_TRUE(resume_message_shown());

  // A file saved while one folder stood in the list twice ("u" and "u/")
  // loads one drive, and jobs named by either spelling find it.
  restart();
  unlink((dir_ + "/config.yml.damaged").c_str());  // the damaged file above
  ASSERT_TRUE(load("account: 99\nresume_drives: [" + u + ", " + u + "/]\nresume_plots:\n"
                   "  - {start: 0, count: 256, write: " + u + "}\n"
                   "  - {start: 256, count: 256, write: " + u + "/}\n"));
  EXPECT_EQ(g_drives.size(), 1u);
  std::vector<planned_s> both = {{u, "", 0, 256}, {u, "", 256, 256}};
  EXPECT_EQ(planned_jobs(), both);
  EXPECT_EQ(read_file(dir_ + "/config.yml.damaged"), "");

  // An empty list still clears the plan and tells the user.
  restart();
  g_drives.push_back(drive(t, 1ull << 30));
  drive_plan();
  ASSERT_TRUE(load("resume_plots: []\n"));
  EXPECT_TRUE(planned_jobs().empty());
  EXPECT_TRUE(resume_message_shown());
}

TEST_F(prefs_test, resume_section_is_written_only_for_a_started_run) {
  std::string t = sub("t");
  drive_add(1, t.c_str(), 1);
  ASSERT_GT(plotter_job_count(g_plotter), 0u);
  plotter_add_job(g_plotter, job_create(&g_drives[0], nullptr, 5, 1ull << 40, 256));
  prefs_save();
  EXPECT_EQ(config().find("resume_plots"), std::string::npos);  // only planned
  g_plan_restored = true;  // the run was started
  for (bool scatter : {false, true}) {
    g_ssd_scatter = scatter;
    prefs_save();
    YAML::Node n = YAML::Load(config());
    ASSERT_TRUE(n["resume_plots"].IsSequence());
    EXPECT_EQ(n["resume_plots"][n["resume_plots"].size() - 1]["account"].as<uint64_t>(), 5u);  // the job's own
    EXPECT_FALSE(n["resume_ssds"].IsDefined());  // no staging drives: no key
  }
  g_ssd_scatter = false;
  plotter_clear_jobs(g_plotter);
  prefs_save();
  EXPECT_EQ(config().find("resume_ram"), std::string::npos);
  g_plan_restored = false;
}

// The "ssds" list of the file obeys the list bound without a dialog per
// entry; a path refused there for space is taken under "resume_ssds".
TEST_F(prefs_test, drive_lists_from_the_file) {
  std::string text = "ssds: [";
  for (int i = 0; i < 70; i++) text += (i ? ", " : "") + sub("s" + std::to_string(i));
  text += "]\nresume_ssds: [" + dir_ + "/missing]\nresume_plots: []\n";
  CaptureStderr();
  ASSERT_TRUE(load(text));
  std::string log = GetCapturedStderr();
  EXPECT_EQ(g_ssds.size(), size_t(DRIVE_LIST_MAX));
  EXPECT_NE(log.find("a list holds at most 64 drives"), std::string::npos);
  EXPECT_EQ(messages().size(), 1u);  // "Auto-Resuming" alone

  restart();
  ASSERT_TRUE(load("ssds: [" + dir_ + "/missing]\nresume_ssds: [" + dir_ + "/missing]\nresume_plots: []\n"));
  EXPECT_EQ(g_ssds.size(), 1u);  // refused as missing, then accepted when resuming
}

// An SSD folder of the file that cannot be used now (its disk not mounted)
// is told, with its cause, and stays in config.yml for the day it is back.
TEST_F(prefs_test, unusable_ssd_entries_are_reported_and_kept) {
  const std::string missing = dir_ + "/unmounted", loop = dir_ + "/loop", good = sub("ssd");
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
  ASSERT_TRUE(load("ssds: [" + missing + ", " + good + ", " + loop + "]\n"));
  ASSERT_EQ(g_ssds.size(), 1u);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_NE(messages()[0].find(missing + ": it does not exist"), std::string::npos) << messages()[0];
  EXPECT_NE(messages()[0].find(loop + ": its path is a loop of symbolic links"), std::string::npos) << messages()[0];
  ASSERT_TRUE(prefs_save());
  EXPECT_NE(config().find("ssds: [" + good + ", " + missing + ", " + loop + "]"), std::string::npos) << config();

  // Back again: the folder is used, and listed once.
  restart();
  ASSERT_EQ(mkdir(missing.c_str(), 0755), 0);
  ASSERT_TRUE(load(config()));
  EXPECT_EQ(g_ssds.size(), 2u);
  ASSERT_TRUE(prefs_save());
  EXPECT_NE(config().find("ssds: [" + good + ", " + missing + ", " + loop + "]"), std::string::npos) << config();
}

TEST_F(prefs_test, save_goes_to_the_start_folder) {
  std::string other = sub("elsewhere");
  ASSERT_EQ(chdir(other.c_str()), 0);
  prefs_save();
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(std::string(cwd), dir_);
  EXPECT_FALSE(config().empty());
  EXPECT_NE(access((other + "/config.yml").c_str(), F_OK), 0);

  // A config.yml that cannot be replaced is logged and told; it stays.
  unlink((dir_ + "/config.yml").c_str());
  mkdir((dir_ + "/config.yml").c_str(), 0755);
  CaptureStderr();
  EXPECT_FALSE(prefs_save());
  EXPECT_NE(GetCapturedStderr().find("Failed to write config.yml: Is a directory\n"), std::string::npos);
  ui_tasks_run();
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0].rfind("Settings not saved: config.yml could not be written", 0), 0u) << messages()[0];
  rmdir((dir_ + "/config.yml").c_str());
}

// On a full disk and in a read-only folder the save fails, says so, and
// leaves the previous file byte for byte; the folder holds nothing new.
TEST_F(prefs_test, failed_saves_leave_the_previous_file) {
  loop_fs_s fs(8);
  if (!fs.ok()) GTEST_SKIP() << fs.why;
  snprintf(g_start_dir, sizeof g_start_dir, "%s", fs.mount_point.c_str());
  std::string t = sub("t");
  g_account = 77;
  drive_add(1, t.c_str(), 1);
  g_plan_restored = true;  // the run was started: a session
  ASSERT_TRUE(prefs_save());
  const std::string before = read_file(fs.mount_point + "/config.yml");
  ASSERT_NE(before.find("resume_plots"), std::string::npos);
  g_account = 78;
  g_max_bytes_per_file = 5000000000ull;
  auto entries = [&fs] {
    std::vector<std::string> names;
    sys_list_dir(fs.mount_point.c_str(), [&names](const char* p) {
      names.push_back(p);
      return true;
    });
    std::sort(names.begin(), names.end());
    return names;
  };
  fs.fill();
  std::vector<std::string> full = entries();
  CaptureStderr();
  EXPECT_FALSE(prefs_save());
  std::string log = GetCapturedStderr();
  EXPECT_NE(log.find("Failed to write config.yml: No space left on device"), std::string::npos) << log;
  EXPECT_EQ(read_file(fs.mount_point + "/config.yml"), before);
  EXPECT_EQ(entries(), full);  // no temporary file left behind

  unlink((fs.mount_point + "/fill").c_str());
  ASSERT_TRUE(fs.remount_read_only());
  CaptureStderr();
  EXPECT_FALSE(prefs_save());
  log = GetCapturedStderr();
  EXPECT_NE(log.find("Failed to write config.yml: Read-only file system"), std::string::npos) << log;
  EXPECT_EQ(read_file(fs.mount_point + "/config.yml"), before);
  ui_tasks_run();
  ASSERT_EQ(messages().size(), 2u);
  for (const std::string& m : messages()) EXPECT_EQ(m.rfind("Settings not saved: ", 0), 0u) << m;
  ASSERT_EQ(chdir(dir_.c_str()), 0);
}

// In a read-only folder an unusable file cannot be kept aside, so it is
// never replaced: the user is told, and no save of the session touches it.
TEST_F(prefs_test, an_unusable_file_that_cannot_be_kept_is_never_replaced) {
  loop_fs_s fs(8);
  if (!fs.ok()) GTEST_SKIP() << fs.why;
  snprintf(g_start_dir, sizeof g_start_dir, "%s", fs.mount_point.c_str());
  ASSERT_EQ(chdir(fs.mount_point.c_str()), 0);
  const std::string text = "account: 5\n\tplots: [/a]\n";
  write_file(fs.mount_point + "/config.yml", text);
  ASSERT_TRUE(fs.remount_read_only());
  EXPECT_FALSE(prefs_load());
  ui_tasks_run();
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_NE(messages()[0].find("No copy of the file could be kept"), std::string::npos) << messages()[0];
  CaptureStderr();
  EXPECT_FALSE(prefs_save());
  EXPECT_NE(GetCapturedStderr().find("Not writing config.yml"), std::string::npos);
  EXPECT_EQ(read_file(fs.mount_point + "/config.yml"), text);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  snprintf(g_start_dir, sizeof g_start_dir, "%s", dir_.c_str());
  restart();
  EXPECT_FALSE(prefs_load());  // no file here: saving is allowed again
  EXPECT_TRUE(prefs_save());
}

// Every prefix of a saved file with resume data, as a cut copy or a crash
// would leave it: each load either restores every job or tells the user,
// and the cut file is kept as it was; none drops a job silently.
TEST_F(prefs_test, cut_file_sweep) {
  // fsync costs nothing on tmpfs; thousands of kept copies are written.
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : dir_;
  std::string work = base + "/vg_cut_" + std::to_string(getpid());
  mkdir(work.c_str(), 0755);
  snprintf(g_start_dir, sizeof g_start_dir, "%s", work.c_str());
  ASSERT_EQ(chdir(work.c_str()), 0);
  std::string ssd = sub("ssd"), t1 = sub("target_one"), t2 = sub("target_two");
  g_account = 4242;
  drive_add(0, ssd.c_str(), 1);
  drive_add(1, t1.c_str(), 1);
  drive_add(1, t2.c_str(), 1);
  plotter_clear_jobs(g_plotter);
  plotter_add_job(g_plotter, job_create(&g_ssds[0], &g_drives[0], g_account, 1000, 4096));
  plotter_add_job(g_plotter, job_create(&g_drives[1], nullptr, g_account, 90000, 256));
  g_plan_restored = true;  // the run was started: a session
  ASSERT_TRUE(prefs_save());
  const std::string whole = read_file(work + "/config.yml");
  const std::vector<planned_s> want = {{ssd, t1, 1000, 4096}, {t2, "", 90000, 256}};
  size_t silent = 0, restored = 0;
  for (size_t cut = 0; cut <= whole.size(); cut++) {
    restart();
    std::string text = whole.substr(0, cut);
    write_file(work + "/config.yml", text);
    prefs_load();
    ui_tasks_run();
    bool told = false;
    for (const std::string& m : messages())
      told = told || m.rfind("Settings not loaded: ", 0) == 0 || m.rfind("Settings damaged: ", 0) == 0;
    bool all_jobs = planned_jobs() == want;
    restored += all_jobs;
    if (!told && !all_jobs) {
      silent++;
      ADD_FAILURE() << "silent loss at byte " << cut << " of " << whole.size();
    }
    if (told) {
      std::string kept = read_file(work + "/config.yml.unreadable") + read_file(work + "/config.yml.damaged");
      EXPECT_EQ(kept, text) << "cut at " << cut;
    }
    unlink((work + "/config.yml.unreadable").c_str());
    unlink((work + "/config.yml.damaged").c_str());
    if (silent > 5) break;
  }
  EXPECT_GE(restored, 1u);  // at least the whole file
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  remove_tree(work);
}

// Mutated config files never crash the loader, whatever they hold.
TEST_F(prefs_test, fuzz_load) {
#if defined(VG_UNDER_ASAN) || defined(VG_UNDER_TSAN)
  const auto budget = std::chrono::milliseconds(2000);
#else
  const auto budget = std::chrono::milliseconds(3000);
#endif
  std::string t = sub("t");
  g_drives.push_back(drive(t, 1ull << 30));
  plotter_add_job(g_plotter, job_create(&g_drives[0], nullptr, 1, 0, 256));
  prefs_save();
  const std::string seed = config() + "gpus: [0, 31]\nresume_plots:\n  - {start: 1, count: 2, write: " + t + "}\n";
  const char pieces[] = "[]{}:,-#&*!|>'\"%@` \n\t0123456789.eE+-xyztruefalse";
  std::mt19937 rng(4242);
  auto t_end = std::chrono::steady_clock::now() + budget;
  int runs = 0;
  while (std::chrono::steady_clock::now() < t_end) {
    std::string s = seed;
    int edits = 1 + rng() % 10;
    for (int e = 0; e < edits; e++) {
      size_t pos = rng() % (s.size() + 1);
      switch (rng() % 4) {
        case 0: s.insert(s.begin() + pos, pieces[rng() % (sizeof pieces - 1)]); break;
        case 1: if (pos < s.size()) s.erase(pos, 1 + rng() % 8); break;
        case 2: if (pos < s.size()) s[pos] = char(rng() % 256); break;
        case 3: s.insert(pos, s.substr(rng() % s.size(), rng() % 40)); break;
      }
    }
    restart();
    write_config(s);
    prefs_load();
    g_app_message = record_message;
    ui_tasks_run();
    runs++;
  }
  EXPECT_GT(runs, 50);
}

// One value the program cannot use costs that key alone: the account, the
// drives and the unfinished session of the same file stay; the message and
// the log name the key and its range, the key takes its default (the RAM
// amount the nearest value in range), and the file as it was is kept.
TEST_F(prefs_test, a_refused_value_costs_only_its_key) {
  std::string t = sub("t");
  const std::string session = "account: 7\nresume_drives: [" + t + "]\nresume_plots:\n  - {start: 0, count: 256, write: " +
                              t + "}\n";
  uint64_t total = 0;
  sys_memory(&total);
  struct {
    const char* line;
    const char* key;
    const char* range;  // part of the range sentence
    std::function<void()> check;
  } cases[] = {
      {"resume_ram: 134217728\n", "resume_ram", " GiB from ",
       [] { EXPECT_EQ(g_resume_ram, settings_min_ram_bytes()); }},
      {"ram_bytes: 1000\n", "ram_bytes", " GiB from ", [] { EXPECT_EQ(g_resume_ram, settings_min_ram_bytes()); }},
      {"ram_bytes: 18446744073709551615\n", "ram_bytes", " GiB from ", [total] { EXPECT_EQ(g_resume_ram, total); }},
      {"ram_bytes: abc\n", "ram_bytes", " GiB from ", [] { EXPECT_EQ(g_resume_ram, 0u); }},
      {"ram_bytes: -1\n", "ram_bytes", " GiB from ", [] { EXPECT_EQ(g_resume_ram, 0u); }},
      {"disable_opencl: 0x10\n", "disable_opencl", "true or false", [] { EXPECT_FALSE(g_disable_opencl); }},
      {"auto_start_nonce: maybe\n", "auto_start_nonce", "true or false", [] { EXPECT_TRUE(g_auto_start_nonce); }},
      {"ssd_double_buffer: 2\n", "ssd_double_buffer", "true or false", [] { EXPECT_TRUE(g_ssd_double_buffer); }},
      {"ram_double_buffer: yes\n", "ram_double_buffer", "auto, true or false",
       [] { EXPECT_EQ(g_ram_double_buffer, -1); }},
      {"cpu_threads: many\n", "cpu_threads", " from 0 ", [] { EXPECT_EQ(g_cpu_threads, 0); }},
      {"hash_per_dispatch: -3\n", "hash_per_dispatch", ") or more", [] { EXPECT_EQ(g_hash_per_dispatch, 0); }},
      {"max_gpu_nonces: -7\n", "max_gpu_nonces", ") or more", [] { EXPECT_EQ(g_max_gpu_nonces, 0); }},
      {"max_gpu_nonces: lots\n", "max_gpu_nonces", ") or more", [] { EXPECT_EQ(g_max_gpu_nonces, 0); }},
      {"experimental_fast_splats: [1]\n", "experimental_fast_splats", "true or false",
       [] { EXPECT_FALSE(g_experimental_fast_splats); }},
      {"gpus: [0, x]\n", "gpus", " 0 to 31", [] { EXPECT_EQ(g_gpus, 1u); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    restart();
    const std::string text = c.line + session;
    CaptureStderr();
    EXPECT_TRUE(load(text));
    std::string log = GetCapturedStderr();
    std::string m;
    for (const std::string& shown : messages())
      if (shown.rfind("Settings damaged: ", 0) == 0) m = shown;
    EXPECT_NE(m.find(std::string(c.key) + " was not used: "), std::string::npos) << m;
    EXPECT_NE(m.find(c.range), std::string::npos) << m;
    EXPECT_EQ(m.find(".."), std::string::npos) << m;
    EXPECT_NE(log.find(std::string(c.key) + " was not used: "), std::string::npos) << log;
    c.check();
    EXPECT_EQ(g_account, 7u);
    EXPECT_EQ(g_drives.size(), 1u);
    EXPECT_EQ(planned_jobs().size(), 1u);
    EXPECT_TRUE(resume_message_shown());
    EXPECT_EQ(read_file(dir_ + "/config.yml.damaged"), text);
    unlink((dir_ + "/config.yml.damaged").c_str());
  }
  // A refused RAM amount is not stored again: the next start plans with
  // the value in range.
  restart();
  ASSERT_TRUE(load("account: 7\nram_bytes: 1000\n"));
  unlink((dir_ + "/config.yml.damaged").c_str());
  prefs_save();
  restart();
  ASSERT_TRUE(load(config()));
  EXPECT_TRUE(messages().empty()) << messages()[0];
  EXPECT_EQ(g_resume_ram, settings_min_ram_bytes());
}

// A resume entry is refused for its real cause: a folder that is gone
// "does not exist" (not "no room"), and a session of which nothing is left
// is not announced as restored.
TEST_F(prefs_test, resume_entries_name_the_folder_that_is_gone) {
  std::string t = sub("t"), ssd = sub("ssd");
  std::string gone = dir_ + "/gone";
  struct {
    const char* what;
    std::string entry, drives, expected;
  } cases[] = {
      {"target gone", "{start: 0, count: 256, write: " + gone + "}", "resume_drives: [" + gone + "]\n",
       "resume entry 1 writes to " + gone + ", which does not exist"},
      {"staging gone", "{start: 0, count: 256, write: " + gone + ", move: " + t + "}",
       "resume_ssds: [" + gone + "]\nresume_drives: [" + t + "]\n",
       "resume entry 1 writes to " + gone + ", which does not exist"},
      {"move target gone", "{start: 0, count: 256, write: " + ssd + ", move: " + gone + "}",
       "resume_ssds: [" + ssd + "]\nresume_drives: [" + gone + "]\n",
       "resume entry 1 moves to " + gone + ", which does not exist"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    restart();
    EXPECT_TRUE(load("account: 7\n" + c.drives + "resume_plots:\n  - " + c.entry + "\n"));
    std::string m;
    for (const std::string& shown : messages())
      if (shown.rfind("Settings damaged: ", 0) == 0) m = shown;
    EXPECT_NE(m.find(c.expected), std::string::npos) << m;
    EXPECT_EQ(m.find("booked"), std::string::npos) << m;
    EXPECT_TRUE(planned_jobs().empty());
    EXPECT_FALSE(resume_message_shown());
    unlink((dir_ + "/config.yml.damaged").c_str());
  }
}
