#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/drives.h"
#include "appdata_fixture.h"

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
  EXPECT_NE(log.find("Limiting drive /mnt/big to 2.0 GB.\n"), std::string::npos) << log;
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
  g_drives.push_back(drive(a, GiB, 3));
  g_drives.push_back(drive(b, GiB, 2));
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
  EXPECT_EQ(messages()[0], "Sorry: There isn't enough free space on this drive.");
  EXPECT_NE(log.find("Error getting free space for path " + missing), std::string::npos) << log;
  EXPECT_EQ(plots_folder_count(g_plots), 1);  // registered before the test, stays
  drive_add(1, missing.c_str(), 1);
  EXPECT_EQ(g_drives.size(), 1u);
  EXPECT_EQ(messages().size(), 1u);
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
