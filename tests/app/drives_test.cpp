#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/drives.h"
#include "appdata_fixture.h"
#include "fs_calls.h"
#include "platform/sys_linux.h"
#include "tests/support/loop_fs.h"

using namespace appdata_test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const uint64_t GiB = 1ull << 30;

class drives_test : public app_fixture {
 protected:
  void SetUp() override {
    app_fixture::SetUp();
    g_auto_start_nonce = false;
    g_start_nonce = 0;
  }
  std::string plan_log() {
    CaptureStderr();
    drive_plan();
    return GetCapturedStderr();
  }
};

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

}  // namespace

TEST_F(drives_test, one_target_direct) {
  g_start_nonce = 1000;
  g_drives.push_back(drive("/mnt/t", 10 * GiB));
  drive_plan();
  std::vector<planned_s> want = {{"/mnt/t", "", 1000, 40960}};
  EXPECT_EQ(planned_jobs(), want);
  EXPECT_EQ(g_max_job_bytes, 10 * GiB);
}

TEST_F(drives_test, file_size_cap_cuts_files_and_the_last_takes_the_rest) {
  g_max_bytes_per_file = 100000000000ull;  // M = 381469, rounded to 381440
  g_drives.push_back(drive("/mnt/t", 1000000000000ull));
  drive_plan();
  std::vector<planned_s> jobs = planned_jobs();
  ASSERT_EQ(jobs.size(), 11u);
  for (size_t i = 0; i < 10; i++) EXPECT_EQ(jobs[i], (planned_s{"/mnt/t", "", i * 381440, 381440})) << i;
  EXPECT_EQ(jobs[10], (planned_s{"/mnt/t", "", 3814400, 256}));
  EXPECT_EQ(g_max_job_bytes, 381440ull << 18);
}

TEST_F(drives_test, fill_limits) {
  g_max_bytes_to_fill = 1000000000000ull;  // L = 3814697 -> 3814656
  g_drives.push_back(drive("/mnt/big", 4000000000000ull));
  std::string log = plan_log();
  ASSERT_EQ(planned_jobs().size(), 1u);
  EXPECT_EQ(planned_jobs()[0].count, 3814656u);
  EXPECT_NE(log.find("Limiting drive use to 1000 GB max.\n"), std::string::npos) << log;

  g_max_bytes_to_fill = 0;
  g_drives[0].fill_limit = 2000000000;  // 7629 nonces -> 7424
  log = plan_log();
  ASSERT_EQ(planned_jobs().size(), 1u);
  EXPECT_EQ(planned_jobs()[0].count, 7424u);
  EXPECT_NE(log.find("Limiting drive /mnt/big to 2 GB.\n"), std::string::npos) << log;
}

// Every click replans, and a plan repeats what still holds: a session that
// adds thirteen drives one at a time, sets a fill limit and clicks on logs
// each limit once, when it starts to apply, in the GB the user typed, also
// below 1 GB.
TEST_F(drives_test, each_limit_is_logged_once_when_it_starts_to_apply) {
  g_max_bytes_to_fill = 300000000;  // 1144 nonces -> 1024 per drive
  std::vector<std::string> disks;
  CaptureStderr();
  for (int i = 1; i <= 13; i++) {
    disks.push_back(sub("disk" + std::to_string(i)));
    ASSERT_TRUE(drive_add(1, disks.back().c_str(), 0)) << disks.back();
  }
  g_drives[4].fill_limit = 70000000;  // the Fill action: 267 nonces -> 256
  for (int click = 0; click < 3; click++) drive_plan();
  g_max_bytes_to_fill = 400000000;  // a new limit is a new line
  drive_plan();
  drive_plan();
  std::string log = GetCapturedStderr();
  ASSERT_EQ(g_drives.size(), 13u);
  const struct {
    std::string line;
    size_t times;
  } lines[] = {
      {"Limiting drive use to 0.3 GB max.\n", 1},
      {"Limiting drive " + disks[4] + " to 0.07 GB.\n", 1},
      {"Limiting drive use to 0.4 GB max.\n", 1},
      {"Limiting drive use to ", 2},
      {"Limiting drive /", 1},
      {" 0 GB", 0},
  };
  for (const auto& l : lines) EXPECT_EQ(count_of(log, l.line), l.times) << l.line << "\n" << log;
}

TEST_F(drives_test, ssds_are_taken_in_turn) {
  g_ssds.push_back(drive("/ssd0", 10 * GiB, 1, true));
  g_drives.push_back(drive("/t0", GiB));
  g_drives.push_back(drive("/t1", GiB));
  drive_plan();
  std::vector<planned_s> one_ssd = {{"/ssd0", "/t0", 0, 4096}, {"/ssd0", "/t1", 4096, 4096}};
  EXPECT_EQ(planned_jobs(), one_ssd);

  g_ssds.push_back(drive("/ssd1", 10 * GiB, 1, true));
  g_drives.insert(g_drives.begin() + 1, drive("/full", 0));  // no jobs, still takes its turn
  g_drives.push_back(drive("/t2", GiB));
  drive_plan();
  std::vector<planned_s> two_ssds = {
      {"/ssd0", "/t0", 0, 4096}, {"/ssd0", "/t1", 4096, 4096}, {"/ssd1", "/t2", 8192, 4096}};
  EXPECT_EQ(planned_jobs(), two_ssds);
}

TEST_F(drives_test, staging_capacity_limits_the_file_size) {
  g_ssds.push_back(drive("/ssd", 2 * GiB + 100, 1, true));
  g_drives.push_back(drive("/t", 3 * GiB));
  drive_plan();  // double buffering: half the SSD, 4096 nonces per file
  std::vector<planned_s> halves = {{"/ssd", "/t", 0, 4096}, {"/ssd", "/t", 4096, 4096}, {"/ssd", "/t", 8192, 4096}};
  EXPECT_EQ(planned_jobs(), halves);
  g_ssd_double_buffer = false;
  drive_plan();
  std::vector<planned_s> whole = {{"/ssd", "/t", 0, 8192}, {"/ssd", "/t", 8192, 4096}};
  EXPECT_EQ(planned_jobs(), whole);
}

TEST_F(drives_test, automatic_start_continues_or_uses_the_serial) {
  g_auto_start_nonce = true;
  std::string a = sub("a"), b = sub("b");
  make_plot(a + "/7_0_1000");                // ends far below 3 << 32
  make_plot(b + "/7_8589934592_1000");       // 2 << 32 .. + 1000
  // Both folders lie on one file system: its 2 GiB are shared.
  g_max_bytes_to_fill = GiB;
  g_drives.push_back(drive(a, 2 * GiB, 3));
  g_drives.push_back(drive(b, 2 * GiB, 2));
  std::string log = plan_log();
  std::vector<planned_s> want = {{a, "", 3ull << 32, 4096}, {b, "", (2ull << 32) + 1000, 4096}};
  EXPECT_EQ(planned_jobs(), want);
  EXPECT_NE(log.find("Auto starting drive " + a + " with nonce 12884901888\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Continuing drive " + b + " from nonce 8589935592\n"), std::string::npos) << log;
}

TEST_F(drives_test, collisions_move_by_whole_file_sizes) {
  std::string other = sub("other"), t = sub("t");
  make_plot(other + "/7_0_300");
  plots_folder_add(g_plots, other.c_str());
  g_max_bytes_per_file = 256ull << 18;
  g_drives.push_back(drive(t, 3ull << 26));  // 768 nonces: three files of 256
  std::string log = plan_log();
  std::vector<planned_s> want = {{t, "", 512, 256}, {t, "", 768, 256}, {t, "", 1024, 256}};
  EXPECT_EQ(planned_jobs(), want);
  EXPECT_EQ(count_of(log, "Preventing collision with "), 2u) << log;
  EXPECT_NE(log.find("Preventing collision with 0\n"), std::string::npos);
  EXPECT_NE(log.find("Preventing collision with 256\n"), std::string::npos);
}

// A plot reaching up to 2^64 ahead of the plan would make step-by-step
// avoidance run practically forever; the plan gives up on the drive at once.
TEST_F(drives_test, collision_with_a_range_to_the_end_terminates) {
  std::string t = sub("t");
  const uint64_t n = 1ull << 24;  // 4 TiB, sparse: within what ext4 allows
  make_plot(t + "/7_" + std::to_string(0 - n) + "_" + std::to_string(n));
  plots_folder_add(g_plots, t.c_str());
  g_start_nonce = 0 - n - 100;
  g_max_bytes_per_file = 256ull << 18;
  g_drives.push_back(drive(t, GiB));
  std::string log = plan_log();
  EXPECT_TRUE(planned_jobs().empty());
  EXPECT_NE(log.find("No free nonce range left for drive"), std::string::npos) << log;
}

// A file size cap under one sector unit (256 nonces) cannot cut a drive
// into files; the target is skipped instead of looping for ever.
TEST_F(drives_test, zero_file_size_skips_the_target) {
  g_max_bytes_per_file = 10000000;
  g_drives.push_back(drive("/t", GiB));
  g_ssds.clear();
  std::string log = plan_log();
  EXPECT_TRUE(planned_jobs().empty());
  EXPECT_NE(log.find("Skipping drive /t"), std::string::npos) << log;
  g_max_bytes_per_file = 16000000000000ull;
  g_ssds.push_back(drive("/tiny_ssd", 0, 1, true));  // a restored SSD, now full
  log = plan_log();
  EXPECT_TRUE(planned_jobs().empty());
}

TEST_F(drives_test, plan_without_plotter_or_targets) {
  g_ssds.push_back(drive("/ssd", 10 * GiB, 1, true));
  drive_plan();
  EXPECT_TRUE(planned_jobs().empty());
  plotter_s* keep = g_plotter;
  g_plotter = nullptr;
  drive_plan();  // nothing to plan into
  g_plotter = keep;
}

TEST_F(drives_test, add_fills_the_record_and_plans) {
  std::string t = sub("t");
  make_plot(t + "/5_100_256");
  drive_add(1, t.c_str(), 0);
  ASSERT_EQ(g_drives.size(), 1u);
  const drive_s& d = g_drives[0];
  EXPECT_STREQ(d.path, t.c_str());
  EXPECT_STREQ(d.volume_name, "No name");
  EXPECT_NE(d.serial, 0u);
  EXPECT_EQ(d.sector_size, 16384u);
  EXPECT_GT(d.free_bytes, 0u);
  EXPECT_GE(d.total_bytes, d.free_bytes);
  EXPECT_FALSE(d.is_ssd);
  EXPECT_EQ(d.scatter_start, ~0ull);
  EXPECT_EQ(d.fill_limit, 0u);
  EXPECT_EQ(plots_folder_count(g_plots), 1);  // the target's folder is registered
  EXPECT_FALSE(planned_jobs().empty());
  // The same path again is silently ignored; the other list may hold it.
  drive_add(1, t.c_str(), 0);
  EXPECT_EQ(g_drives.size(), 1u);
  drive_add(0, t.c_str(), 0);
  ASSERT_EQ(g_ssds.size(), 1u);
  EXPECT_TRUE(g_ssds[0].is_ssd);
  EXPECT_TRUE(messages().empty());
  // A resumed target is not registered in the plots registry.
  std::string r = sub("r");
  drive_add(1, r.c_str(), 1);
  EXPECT_EQ(g_drives.size(), 2u);
  EXPECT_EQ(plots_folder_count(g_plots), 1);
}

TEST_F(drives_test, add_refuses_a_drive_without_space_unless_resuming) {
  std::string missing = dir_ + "/missing";
  CaptureStderr();
  drive_add(1, missing.c_str(), 0);
  std::string log = GetCapturedStderr();
  EXPECT_TRUE(g_drives.empty());
  ASSERT_EQ(messages().size(), 1u);
  // A missing folder is no lack of space.
  EXPECT_EQ(messages()[0], "Sorry: This folder cannot be used:\n " + missing +
                               "\nIt does not exist (is its disk connected and mounted?).");
  EXPECT_NE(log.find("This folder cannot be used: " + missing + ": It does not exist"), std::string::npos) << log;
  EXPECT_EQ(plots_folder_count(g_plots), 1);  // registered before the test, stays
  drive_add(1, missing.c_str(), 1);
  EXPECT_EQ(g_drives.size(), 1u);
  EXPECT_EQ(messages().size(), 1u);
}

// Folders of one drop that cannot be used are told in one message, each
// with its own cause; "not enough free space" only where that is the cause.
TEST_F(drives_test, refused_folders_of_one_drop_are_named_with_their_causes) {
  loop_fs_s full(32), read_only(32);
  if (!full.ok() || !read_only.ok()) GTEST_SKIP() << "loop ext4: " << full.why << read_only.why;
  ASSERT_EQ(mkdir(full.file("plots").c_str(), 0755), 0);
  full.fill();
  ASSERT_EQ(mkdir(read_only.file("plots").c_str(), 0755), 0);
  ASSERT_TRUE(read_only.remount_read_only());
  const std::string missing = dir_ + "/missing", loop = dir_ + "/loop", file = dir_ + "/file", good = dir_ + "/good";
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
  ASSERT_EQ(mkdir(good.c_str(), 0755), 0);
  { FILE* f = fopen(file.c_str(), "w"); ASSERT_NE(f, nullptr); fclose(f); }
  const struct {
    std::string path, cause;
  } refused[] = {
      {missing, "it does not exist (is its disk connected and mounted?)"},
      {loop, "its path is a loop of symbolic links"},
      {file, "it is not a folder"},
      {read_only.file("plots"), "its file system is read-only"},
      {full.file("plots"), "not enough free space ("},
  };
  std::vector<std::string> drop;
  for (const auto& r : refused) drop.push_back(r.path);
  drop.push_back(good);
  drive_add_folders(1, drop);
  ASSERT_EQ(g_drives.size(), 1u);
  EXPECT_EQ(std::string(g_drives[0].path), good);
  ASSERT_EQ(messages().size(), 1u);
  const std::string& m = messages()[0];
  EXPECT_EQ(m.rfind("Sorry: These folders cannot be used:\n", 0), 0u) << m;
  for (const auto& r : refused) EXPECT_NE(m.find(r.path + ": " + r.cause), std::string::npos) << m;
  EXPECT_EQ(count_of(m, "free space"), 1u) << m;

  // One refusal alone keeps the program's own words first.
  messages().clear();
  drive_add(0, full.file("plots").c_str(), 0);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0].rfind("Sorry: There isn't enough free space on this drive:\n " + full.file("plots") + "\n", 0),
            0u)
      << messages()[0];
}

TEST_F(drives_test, add_refuses_long_paths_and_full_lists) {
  std::string long_path = dir_ + "/" + std::string(260 - dir_.size() - 1, 'x');
  ASSERT_EQ(long_path.size(), 260u);
  drive_add(1, long_path.c_str(), 1);
  drive_add(0, long_path.c_str(), 1);
  EXPECT_TRUE(g_drives.empty());
  EXPECT_TRUE(g_ssds.empty());
  ASSERT_EQ(messages().size(), 2u);
  EXPECT_NE(messages()[0].find("too long"), std::string::npos) << messages()[0];
  EXPECT_EQ(plots_folder_count(g_plots), 0);
  long_path.pop_back();  // 259 characters fit the record
  drive_add(1, long_path.c_str(), 1);
  ASSERT_EQ(g_drives.size(), 1u);
  EXPECT_EQ(std::string(g_drives[0].path), long_path);

  messages().clear();
  for (int i = 0; i < DRIVE_LIST_MAX; i++) drive_add(0, (dir_ + "/s" + std::to_string(i)).c_str(), 1);
  EXPECT_EQ(g_ssds.size(), size_t(DRIVE_LIST_MAX));
  EXPECT_TRUE(messages().empty());
  drive_add(0, (dir_ + "/s0").c_str(), 1);  // a known path is still just ignored
  EXPECT_TRUE(messages().empty());
  drive_add(0, (dir_ + "/one_more").c_str(), 1);
  EXPECT_EQ(g_ssds.size(), size_t(DRIVE_LIST_MAX));
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_NE(messages()[0].find("at most 64"), std::string::npos) << messages()[0];
}

// Many generated plans over real folders on three small file systems: one
// folder under several spellings ("x", "x/", a symbolic link), several
// folders on one file system, plot files already on
// several drives (some copied from one drive to another, as moved plots
// are), staging drives, caps and limits. Every plan keeps the invariants,
// judged from the disks themselves: no nonce in two files, none in a file
// and an existing plot, and no file system booked past its free space.
TEST_F(drives_test, generated_plans_never_overlap_or_overbook) {
  // Only loop file systems: no other test writes there while the plan's
  // bookings are judged against their free space.
  loop_fs_s fs_a(1024), fs_b(1024), fs_c(768);
  if (!fs_a.ok() || !fs_b.ok() || !fs_c.ok())
    GTEST_SKIP() << fs_a.why << fs_b.why << fs_c.why;
  std::vector<std::string> folders;
  for (const std::string& root : {fs_a.mount_point, fs_b.mount_point, fs_c.mount_point})
    for (const char* name : {"x", "y"}) {
      std::string f = root + "/" + name;
      mkdir(f.c_str(), 0755);
      folders.push_back(f);
    }
  std::string link = dir_ + "/link_to_ax";
  ASSERT_EQ(symlink(folders[0].c_str(), link.c_str()), 0);
  std::vector<std::string> spellings = folders;
  for (const std::string& f : folders) spellings.push_back(f + "/");
  spellings.push_back(link);
  spellings.push_back(link + "/");
  spellings.push_back(fs_a.mount_point + "/x/../x");

  std::mt19937 rng(2468);
  for (int round = 0; round < 200; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Existing plots: a run of files on one drive and a copy of one of them
    // on another (a plot moved by hand), all sparse.
    std::vector<std::pair<uint64_t, uint64_t>> plots;
    for (const std::string& f : folders)
      sys_list_dir(f.c_str(), [](const char* p) {
        if (is_plot_name(p)) unlink(p);
        return true;
      });
    uint64_t base = (uint64_t)(rng() % 4) << 32;
    for (int i = 0, n = rng() % 4; i < n; i++) {
      uint64_t start = base + i * 1024, count = 256 * (1 + rng() % 4);
      std::string name = "/7_" + std::to_string(start) + "_" + std::to_string(count);
      make_file(folders[rng() % folders.size()] + name, (off_t)(count * 262144));
      if (rng() % 2) make_file(folders[rng() % folders.size()] + name, (off_t)(count * 262144));
      plots.emplace_back(start, count);
    }
    plotter_clear_jobs(g_plotter);
    plots_destroy(g_plots);
    g_plots = plots_create();
    for (const std::string& f : folders) plots_folder_add(g_plots, f.c_str());  // remembered folders
    g_ssds.clear();
    g_drives.clear();
    g_auto_start_nonce = rng() % 2;
    g_start_nonce = plots.empty() || rng() % 2 ? base : plots[0].first;
    g_ssd_double_buffer = rng() % 2;
    g_max_bytes_per_file = (uint64_t)(256 * (1 + rng() % 8)) << 18;
    g_max_bytes_to_fill = rng() % 3 == 0 ? (uint64_t)(512 + rng() % 2048) << 18 : 0;
    for (int i = 0, n = rng() % 2 ? 0 : 1; i < n; i++) drive_add(0, spellings[rng() % spellings.size()].c_str(), 0);
    for (int i = 0, n = 1 + rng() % 5; i < n; i++) drive_add(1, spellings[rng() % spellings.size()].c_str(), 0);
    drive_plan();

    std::vector<job_s*> jobs;
    plotter_for_each_job(g_plotter, [&jobs](job_s* j) {
      jobs.push_back(j);
      return true;
    });
    for (size_t i = 0; i < jobs.size(); i++) {
      uint64_t a = jobs[i]->start_nonce, b = a + jobs[i]->nonces;
      for (size_t j = i + 1; j < jobs.size(); j++) {
        uint64_t c = jobs[j]->start_nonce, d = c + jobs[j]->nonces;
        ASSERT_FALSE(a < d && c < b) << "jobs " << a << " and " << c << " overlap";
      }
      for (const auto& p : plots) ASSERT_FALSE(a < p.first + p.second && p.first < b) << "job " << a << " repeats plot " << p.first;
    }
    std::map<dev_t, uint64_t> booked, room;
    auto device = [](const char* path) {
      struct stat st;
      EXPECT_EQ(stat(path, &st), 0) << path;
      return st.st_dev;
    };
    for (const std::vector<drive_s>* list : {&g_ssds, &g_drives})
      for (const drive_s& d : *list) {
        struct statvfs v;
        ASSERT_EQ(statvfs(d.path, &v), 0);
        room[device(d.path)] = (uint64_t)v.f_bavail * v.f_bsize;
      }
    std::map<const drive_s*, uint64_t> staged;
    for (job_s* j : jobs) {
      booked[device((j->move_drive ? j->move_drive : j->write_drive)->path)] += j->nonces << 18;
      if (j->move_drive) staged[j->write_drive] = std::max(staged[j->write_drive], j->nonces << 18);
    }
    for (const auto& s : staged) booked[device(s.first->path)] += s.second << (g_ssd_double_buffer ? 1 : 0);
    for (const auto& b : booked) ASSERT_LE(b.second, room[b.first]) << "file system over-booked";
    // One folder is one drive, whatever its spelling.
    std::set<std::string> real;
    for (const drive_s& d : g_drives) {
      char* r = realpath(d.path, nullptr);
      ASSERT_NE(r, nullptr);
      ASSERT_TRUE(real.insert(r).second) << d.path << " listed twice";
      free(r);
    }
  }
}

// The question before a restored session is replaced names its unfinished
// files; "No" changes nothing, "Yes" deletes them, except the one a dropped
// resume takes over.
TEST_F(drives_test, replacing_a_restored_session_asks_and_names_its_files) {
  std::string t = sub("t");
  g_drives.push_back(drive(t, GiB));
  g_account = 3;
  plotter_clear_jobs(g_plotter);
  plotter_add_job(g_plotter, job_create(&g_drives[0], nullptr, 3, 0, 256));
  plotter_add_job(g_plotter, job_create(&g_drives[0], nullptr, 3, 256, 256));
  std::string a = t + "/3_0_256.plotting", b = t + "/3_256_256.plotting";
  make_file(a, 256 * 262144);
  make_file(b, 256 * 262144);
  static std::vector<std::string> asked;
  static bool answer;
  asked.clear();
  bool (*old)(const char*, const char*) = g_app_question;
  g_app_question = [](const char* title, const char* text) {
    asked.push_back(std::string(title) + ": " + text);
    return answer;
  };
  EXPECT_TRUE(drive_plan_may_replace());  // a plan of the lists: no question
  EXPECT_TRUE(asked.empty());
  g_plan_restored = true;
  answer = false;
  EXPECT_FALSE(drive_plan_may_replace());
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_NE(asked[0].find(a), std::string::npos) << asked[0];
  EXPECT_NE(asked[0].find(b), std::string::npos) << asked[0];
  EXPECT_TRUE(g_plan_restored);
  EXPECT_EQ(planned_jobs().size(), 2u);
  EXPECT_EQ(access(a.c_str(), F_OK), 0);
  answer = true;
  EXPECT_TRUE(drive_plan_may_replace((t + "/./3_0_256.plotting").c_str()));
  EXPECT_FALSE(g_plan_restored);
  EXPECT_EQ(access(a.c_str(), F_OK), 0);  // taken over by the new plan
  EXPECT_NE(access(b.c_str(), F_OK), 0);
  g_app_question = old;
}

// One folder given as "a", "a/", "a/." or through a symbolic link is one
// drive; two folders of one file system share its free space.
TEST_F(drives_test, one_folder_is_one_drive_and_one_file_system_is_shared) {
  std::string a = sub("a"), b = sub("b"), link = dir_ + "/link";
  ASSERT_EQ(symlink(a.c_str(), link.c_str()), 0);
  for (const std::string& p : {a, a + "/", a + "/.", link, link + "/"}) drive_add(1, p.c_str(), 0);
  ASSERT_EQ(g_drives.size(), 1u);
  EXPECT_EQ(std::string(g_drives[0].path), a);
  g_drives.clear();
  g_drives.push_back(drive(a, 3 * GiB));
  g_drives.push_back(drive(b, 3 * GiB));
  drive_plan();
  uint64_t planned = 0;
  for (const planned_s& j : planned_jobs()) planned += j.count;
  EXPECT_EQ(planned, 3 * 4096u);  // 3 GiB once, not twice
}

// Continuations of a plot copied onto two drives start from the same nonce;
// the second drive's files go after the first drive's instead of repeating
// them.
TEST_F(drives_test, continuations_on_two_drives_do_not_overlap) {
  g_auto_start_nonce = true;
  g_max_bytes_to_fill = GiB;
  std::string a = sub("a"), b = sub("b");
  std::string name = "/7_" + std::to_string(5ull << 32) + "_1000";
  make_plot(a + name);
  make_plot(b + name);
  g_drives.push_back(drive(a, 4 * GiB, 1));
  g_drives.push_back(drive(b, 4 * GiB, 1));
  drive_plan();
  uint64_t next = (5ull << 32) + 1000;
  std::vector<planned_s> want = {{a, "", next, 4096}, {b, "", next + 4096, 4096}};
  EXPECT_EQ(planned_jobs(), want);
  std::string why;
  EXPECT_TRUE(drive_plan_check(&why)) << why;
}

// The planner's own check catches each way a plan could waste a disk.
TEST_F(drives_test, plan_check_catches_overlap_and_overbooking) {
  std::string a = sub("a");
  make_plot(a + "/7_10000_256");
  plots_folder_add(g_plots, a.c_str());
  g_drives.push_back(drive(a, GiB));
  struct {
    uint64_t s1, n1, s2, n2;
    const char* why;
  } cases[] = {
      {0, 512, 256, 256, "two files share nonces from 256"},
      {0, 256, 9999, 2, "a file would repeat nonces of an existing plot from 9999"},
      {0, 4096, 4096, 256, "a file system would be booked for 4352 nonces with room for 4096"},
      {0, 2048, 2048, 2048, ""},
  };
  for (const auto& c : cases) {
    plotter_clear_jobs(g_plotter);
    plotter_add_job(g_plotter, job_create(&g_drives[0], nullptr, 7, c.s1, c.n1));
    plotter_add_job(g_plotter, job_create(&g_drives[0], nullptr, 7, c.s2, c.n2));
    std::string why;
    EXPECT_EQ(drive_plan_check(&why), c.why[0] == 0) << c.why;
    EXPECT_EQ(why, c.why);
  }
}

// btrfs gives each subvolume its own device number, yet all subvolumes of a
// pool share its free space: two of them, one mounted on its own, are
// planned within the pool's free space once, not twice.
TEST_F(drives_test, btrfs_subvolumes_of_one_pool_share_its_free_space) {
  loop_fs_s fs(400, "", "btrfs");
  if (!fs.ok()) GTEST_SKIP() << fs.why;
  std::string out;
  ASSERT_TRUE(loop_fs_s::run("btrfs -q subvolume create " + fs.file("a"), &out)) << out;
  ASSERT_TRUE(loop_fs_s::run("btrfs -q subvolume create " + fs.file("b"), &out)) << out;
  std::string b = fs.base.file("b");
  ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
  ASSERT_EQ(mount(fs.device.c_str(), b.c_str(), "btrfs", 0, "subvol=b"), 0) << strerror(errno);
  struct unmount_s {
    std::string point;
    ~unmount_s() { umount2(point.c_str(), MNT_DETACH); }
  } unmount_b{b};
  struct stat sa {}, sb {};
  ASSERT_EQ(stat(fs.file("a").c_str(), &sa), 0);
  ASSERT_EQ(stat(b.c_str(), &sb), 0);
  ASSERT_NE(sa.st_dev, sb.st_dev) << "subvolumes share a device number here";

  drive_add(1, fs.file("a").c_str(), 0);
  drive_add(1, b.c_str(), 0);
  ASSERT_EQ(g_drives.size(), 2u) << (messages().empty() ? "" : messages()[0]);
  uint64_t planned = 0;
  for (const planned_s& j : planned_jobs()) planned += j.count;
  uint64_t free_bytes = std::max(g_drives[0].free_bytes, g_drives[1].free_bytes);
  EXPECT_GT(planned, 0u);
  EXPECT_LE(planned * 262144, free_bytes);
}

// Replanning runs at every click on the UI thread, over network mounts too:
// its cost must grow with the folders planned on, not with the files, so a
// plan ten times as many files makes as many file-system lookups.
TEST_F(drives_test, replanning_looks_up_each_folder_not_each_file) {
  const uint64_t TB = 1000000000000ull;
  std::string ssd = sub("ssd"), a = sub("a"), b = sub("b");
  const struct {
    bool staged, scatter;
  } layouts[] = {{false, false}, {true, false}, {true, true}};
  for (const auto& layout : layouts) {
    g_ssds.clear();
    g_drives.clear();
    if (layout.staged) g_ssds.push_back(drive(ssd, 40 * TB, 3, true));
    g_drives.push_back(drive(a, 20 * TB, 1));
    g_drives.push_back(drive(b, 20 * TB, 2));
    g_ssd_scatter = layout.scatter;
    g_ssd_double_buffer = false;
    std::vector<fs_calls::counts_s> counts;
    std::vector<size_t> files;
    for (uint64_t cap : {2000 * 1000000000ull, 100 * 1000000000ull}) {
      g_max_bytes_per_file = cap;
      drive_plan();  // the lines a plan logs once are said before counting
      fs_calls::start();
      drive_plan();
      counts.push_back(fs_calls::stop());
      files.push_back(planned_jobs().size());
    }
    SCOPED_TRACE(testing::Message() << "staged " << layout.staged << " scatter " << layout.scatter);
    ASSERT_GE(files[1], 10 * files[0]);
    EXPECT_EQ(counts[1].lookups, counts[0].lookups) << files[0] << " and " << files[1] << " files";
    EXPECT_LE(counts[1].folder_reads, 3) << "one read per folder";
  }
}

// A FAT32 disk (here through FUSE, as a USB disk of a miner) holds files of
// at most 4 GiB - 1 byte: the plan cuts its files to fit in whole 256-nonce
// units, with the default file size as with a larger one, and says so once.
// Staged files scattered into one file per target are held to it too.
TEST_F(drives_test, plan_cuts_files_to_what_the_file_system_holds) {
  loop_fs_s fs(5 * 1024, "", "fat32");
  if (!fs.ok()) GTEST_SKIP() << "FAT32 through FUSE: " << fs.why;
  const uint64_t fat_max = (4ull << 30) - 1;
  testing::internal::CaptureStderr();
  drive_add(1, fs.mount_point.c_str(), 0);
  std::string log = testing::internal::GetCapturedStderr();
  ASSERT_EQ(g_drives.size(), 1u) << log;
  EXPECT_STREQ(g_drives[0].fs_name, "fuse.fusefat");
  std::vector<planned_s> jobs = planned_jobs();
  ASSERT_GE(jobs.size(), 2u);
  uint64_t total = 0;
  for (const planned_s& j : jobs) {
    EXPECT_LE(j.count * 262144, fat_max) << j.start;
    EXPECT_EQ(j.count % 256, 0u) << j.start;
    total += j.count;
  }
  EXPECT_EQ(jobs[0].count, 16128u);
  EXPECT_GT(total * 262144, fat_max) << "the whole disk is still planned";
  EXPECT_LE(g_max_job_bytes, fat_max);
  EXPECT_NE(log.find("its file system (fuse.fusefat) holds files of at most 4.0 GiB"), std::string::npos) << log;

  std::string ssd = sub("ssd");
  g_ssd_scatter = true;
  drive_add(0, ssd.c_str(), 0);
  uint64_t scattered = 0;
  for (const planned_s& j : planned_jobs()) scattered += j.count;
  EXPECT_LE(scattered * 262144, fat_max) << "one scatter file per target";
  g_ssd_scatter = false;
}
