// Whole runs of the work thread on real files: direct, concurrent, staged
// (moved or scattered), resumed, found on disk, stopped, paused, and the
// faults it must report.
#include <atomic>
#include <filesystem>

#include "app/run_history.h"
#include "app/settings.h"
#include "engine/engine_internal.h"
#include "tests/engine/engine_fixture.h"

namespace {

struct run_fixture : ::testing::Test {
  temp_dir_s dir{"engine_run", true};
  dialog_log_s dialogs;
  plotter_s* p = nullptr;
  std::vector<std::unique_ptr<drive_s>> drives;
  std::atomic<int> finished_calls{0};

  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    dialogs.install();
    p = plotter_create();
    plotter_set_finished_callback(p, [this] { finished_calls++; });
  }
  void TearDown() override { plotter_destroy(p); }

  drive_s* drive(const char* name, bool ssd = false) {
    drives.push_back(make_drive(dir.file(name), ssd));
    return drives.back().get();
  }
  job_s* add(drive_s* w, drive_s* m, uint64_t start, uint64_t n) {
    job_s* j = job_create(w, m, 7, start, n);
    plotter_add_job(p, j);
    return j;
  }
  // The plan's effects without its benchmark: a pool of buffers of c nonces.
  void start_manual(uint64_t c, int buffers, int double_buffer, bool concurrent = false) {
    p->double_buffer = double_buffer;
    p->concurrent = concurrent;
    p->nonces_per_buffer = c;
    for (int i = 0; i < buffers; i++) p->free_buffers.push_back(buffer_create(c));
    p->thread = std::thread(thread_proc, p);
  }
  std::string path(const drive_s* d, uint64_t start, uint64_t n, const char* suffix = "") {
    return std::string(d->path) + "/7_" + std::to_string(start) + "_" + std::to_string(n) + suffix;
  }
  bool saw(const std::string& line) {
    for (const std::string& l : dialogs.get())
      if (l == line) return true;
    return false;
  }
};

std::vector<uint8_t> whole_file(const std::string& path) { return read_bytes(path, 0, file_size(path)); }

// A complete file of n nonces with bytes that tell where they came from.
void make_filled(const std::string& path, uint64_t n, uint8_t seed) {
  std::vector<uint8_t> chunk(1 << 20);
  for (size_t i = 0; i < chunk.size(); i++) chunk[i] = (uint8_t)(seed + i * 7);
  for (uint64_t off = 0; off < n * NONCE; off += chunk.size()) write_bytes(path, off, chunk.data(), chunk.size());
}

}  // namespace

TEST_F(run_fixture, empty_job_list_finishes_at_once) {
  start_manual(256, 1, 0);
  ASSERT_TRUE(run_until_finished(p, 30));
  EXPECT_EQ(finished_calls.load(), 1);
  EXPECT_FALSE(plotter_is_running(p));
}

TEST_F(run_fixture, direct_job_planned_and_written) {
  drive_s* d = drive("hdd");
  job_s* j = add(d, nullptr, 1000, 512);
  plotter_set_ram_double_buffer(p, 0);
  plotter_start(p, 0, 0, 1, ram_for_buffers(64ull << 20));  // one buffer of 256 nonces: two batches
  ASSERT_TRUE(p->thread.joinable());
  EXPECT_EQ(p->nonces_per_buffer, 256u);
  EXPECT_TRUE(plotter_is_running(p));
  ASSERT_TRUE(run_until_finished(p));
  EXPECT_EQ(finished_calls.load(), 1);
  EXPECT_EQ(j->state, JOB_DONE);
  EXPECT_EQ(j->bytes_written, 512 * NONCE);
  EXPECT_EQ(p->free_buffers.size(), 1u);  // lent and given back
  EXPECT_FALSE(file_exists(path(d, 1000, 512, ".plotting")));
  EXPECT_EQ(file_size(path(d, 1000, 512)), 512 * NONCE);
  expect_plot_nonces(path(d, 1000, 512), 7, 1000, 512, {0, 255, 256, 511});
}

TEST_F(run_fixture, two_targets_in_concurrent_mode) {
  drive_s* a = drive("hdd1");
  drive_s* b = drive("hdd2");
  add(a, nullptr, 0, 256);
  add(b, nullptr, 256, 256);
  p->settings.min_ram_gb_per_task = 0.001;
  plotter_set_ram_double_buffer(p, 1);
  plotter_start(p, 0, 0, 2, ram_for_buffers(256ull << 20));  // two tasks, four buffers of 256
  EXPECT_TRUE(p->concurrent);
  EXPECT_EQ(p->max_tasks, 2);
  EXPECT_EQ(p->nonces_per_buffer, 256u);
  ASSERT_TRUE(run_until_finished(p));
  EXPECT_EQ(p->free_buffers.size(), 4u);  // every buffer back in the pool
  expect_plot_nonces(path(a, 0, 256), 7, 0, 256, {0, 255});
  expect_plot_nonces(path(b, 256, 256), 7, 256, 256, {0, 128, 255});
}

TEST_F(run_fixture, staged_files_are_moved_one_at_a_time) {
  drive_s* ssd = drive("ssd", true);
  drive_s* hdd = drive("hdd");
  job_s* j1 = add(ssd, hdd, 0, 256);
  job_s* j2 = add(ssd, hdd, 256, 256);
  p->wait_for_moves = true;
  start_manual(256, 2, 1);
  ASSERT_TRUE(run_until_finished(p));
  for (job_s* j : {j1, j2}) {
    EXPECT_EQ(j->state, JOB_DONE);
    EXPECT_EQ(j->bytes_moved, 256 * NONCE);
    EXPECT_FALSE(file_exists(path(ssd, j->start_nonce, 256)));
    EXPECT_FALSE(file_exists(path(ssd, j->start_nonce, 256, ".plotting")));
  }
  EXPECT_EQ(hdd->bytes_in, 512 * NONCE);
  EXPECT_EQ(hdd->job_writing_in, nullptr);
  EXPECT_EQ(ssd->job_moving_out, nullptr);
  expect_plot_nonces(path(hdd, 0, 256), 7, 0, 256, {0, 255});
  expect_plot_nonces(path(hdd, 256, 256), 7, 256, 256, {0, 255});
}

TEST_F(run_fixture, staged_files_are_scattered_into_one_file_per_target) {
  drive_s* ssd = drive("ssd", true);
  drive_s* hdd = drive("hdd");
  add(ssd, hdd, 512, 256);
  add(ssd, hdd, 768, 256);
  plotter_set_ssd_scatter(p, true);
  plotter_set_ram_double_buffer(p, 0);
  plotter_start(p, 0, 1, 1, ram_for_buffers(64ull << 20));
  ASSERT_TRUE(run_until_finished(p));
  std::string shared = path(hdd, 512, 512);
  EXPECT_EQ(file_size(shared), 512 * NONCE);
  EXPECT_FALSE(file_exists(path(hdd, 512, 256)));
  EXPECT_FALSE(file_exists(path(ssd, 512, 256)));
  EXPECT_FALSE(file_exists(path(ssd, 768, 256)));
  expect_plot_nonces(shared, 7, 512, 512, {0, 255, 256, 511});
}

TEST_F(run_fixture, resume_from_marker_equals_a_straight_run) {
  drive_s* a = drive("straight");
  drive_s* b = drive("resumed");
  add(a, nullptr, 0, 512);
  start_manual(256, 1, 0);
  ASSERT_TRUE(run_until_finished(p));
  plotter_destroy(p);

  // The same file interrupted after its first batch: second half never
  // written, marker 256.
  std::vector<uint8_t> straight = whole_file(path(a, 0, 512));
  ASSERT_EQ(straight.size(), 512 * NONCE);
  std::vector<uint8_t> partial = straight;
  for (uint64_t s = 0; s < 4096; s++) memset(partial.data() + (s * 512 + 256) * 64, 0, 256 * 64);
  std::vector<uint8_t> marker = marker_sector(256);
  memcpy(partial.data() + partial.size() - SECTOR, marker.data(), SECTOR);
  write_bytes(path(b, 0, 512, ".plotting"), 0, partial.data(), partial.size());

  p = plotter_create();
  job_s* j = add(b, nullptr, 0, 512);
  start_manual(256, 1, 0);
  ASSERT_TRUE(run_until_finished(p));
  EXPECT_EQ(j->nonces_resumed, 256u);
  EXPECT_EQ(j->bytes_written, 256 * NONCE);
  EXPECT_TRUE(whole_file(path(b, 0, 512)) == straight);
  // The summary and its history credit this session with its own half only.
  plotter_snapshot_s snap;
  plotter_snapshot(p, &snap);
  EXPECT_EQ(session_plotted_bytes(snap), 256 * NONCE);
  EXPECT_EQ(history_sample_of(snap).computed, (double)(256 * NONCE));
}

TEST_F(run_fixture, bad_marker_restarts_from_the_first_nonce) {
  drive_s* d = drive("hdd");
  std::string temp = path(d, 0, 256, ".plotting");
  make_filled(temp, 256, 0xAB);
  std::vector<uint8_t> marker = marker_sector(256);  // equal to N: not a resume point
  write_bytes(temp, 256 * NONCE - SECTOR, marker.data(), SECTOR);
  job_s* j = add(d, nullptr, 0, 256);
  start_manual(256, 1, 0);
  ASSERT_TRUE(run_until_finished(p));
  EXPECT_EQ(j->nonces_resumed, 0u);
  EXPECT_EQ(j->bytes_written, 256 * NONCE);
  expect_plot_nonces(path(d, 0, 256), 7, 0, 256, {0, 100, 255});
}

TEST_F(run_fixture, files_found_on_disk_are_not_plotted_again) {
  drive_s* ssd = drive("ssd", true);
  drive_s* hdd = drive("hdd");
  drive_s* direct = drive("direct");
  // Interrupted move: complete staged file plus a partial target copy.
  make_filled(path(ssd, 0, 256), 256, 1);
  write_bytes(path(hdd, 0, 256), 0, "partial", 7);
  // Complete staged file never moved.
  make_filled(path(ssd, 256, 256), 256, 2);
  // Already at its target.
  make_filled(path(hdd, 512, 256), 256, 3);
  // A direct job whose file exists.
  make_filled(path(direct, 0, 256), 256, 4);
  std::vector<uint8_t> staged0 = whole_file(path(ssd, 0, 256)), staged1 = whole_file(path(ssd, 256, 256));
  std::vector<uint8_t> at_target = whole_file(path(hdd, 512, 256)), direct_file = whole_file(path(direct, 0, 256));
  job_s* moved = add(ssd, hdd, 0, 256);
  job_s* unmoved = add(ssd, hdd, 256, 256);
  job_s* arrived = add(ssd, hdd, 512, 256);
  job_s* done = add(direct, nullptr, 0, 256);

  start_manual(256, 1, 0);
  ASSERT_TRUE(run_until_finished(p));
  for (job_s* j : {moved, unmoved, arrived, done}) {
    EXPECT_EQ(j->state, JOB_DONE);
    EXPECT_EQ(j->bytes_written, 0u);
  }
  EXPECT_TRUE(whole_file(path(hdd, 0, 256)) == staged0);
  EXPECT_TRUE(whole_file(path(hdd, 256, 256)) == staged1);
  EXPECT_TRUE(whole_file(path(hdd, 512, 256)) == at_target);
  EXPECT_TRUE(whole_file(path(direct, 0, 256)) == direct_file);
  EXPECT_FALSE(file_exists(path(ssd, 0, 256)));
  EXPECT_FALSE(file_exists(path(ssd, 256, 256)));
}

TEST_F(run_fixture, stop_keeps_or_deletes_the_unfinished_file) {
  for (bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "keep" : "delete");
    drive_s* d = drive(keep ? "keep" : "delete");
    job_s* j = add(d, nullptr, 0, 768);
    std::string temp = path(d, 0, 768, ".plotting");
    start_manual(256, 1, 0);
    // The first batch is written (a slow poll may see the second one too).
    ASSERT_TRUE(wait_for_run(p, [&] {
      uint64_t m = file_exists(temp) ? read_marker(temp, 768) : UINT64_MAX;
      return m == 256 || m == 512;
    }));
    plotter_stop(p, keep);
    EXPECT_EQ(j->state, JOB_PLOTTING);
    EXPECT_EQ(j->fd, 0);
    EXPECT_FALSE(plotter_is_finished(p));
    EXPECT_EQ(finished_calls.load(), 0);
    EXPECT_FALSE(file_exists(path(d, 0, 768)));
    if (keep) {
      ASSERT_TRUE(file_exists(temp));
      uint64_t m = read_marker(temp, 768);
      EXPECT_TRUE(m == 256 || m == 512) << m;
      expect_plot_nonces(temp, 7, 0, 768, {0, 255});
    } else {
      EXPECT_FALSE(file_exists(temp));
    }
    plotter_destroy(p);
    p = plotter_create();
  }
}

TEST_F(run_fixture, pause_holds_back_new_work) {
  drive_s* d = drive("hdd");
  job_s* j = add(d, nullptr, 0, 256);
  plotter_toggle_pause(p);
  start_manual(256, 1, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(j->state, JOB_NEW);
  EXPECT_FALSE(file_exists(path(d, 0, 256, ".plotting")));
  plotter_toggle_pause(p);
  ASSERT_TRUE(run_until_finished(p));
  EXPECT_TRUE(file_exists(path(d, 0, 256)));
}

TEST_F(run_fixture, file_that_cannot_be_created_stops_and_keeps_other_work) {
  drive_s* good = drive("hdd");
  drive_s* gone = drive("gone");
  std::filesystem::remove_all(gone->path);  // a write drive whose folder vanished
  add(good, nullptr, 0, 512);
  add(gone, nullptr, 0, 256);
  start_manual(256, 2, 0);
  ASSERT_TRUE(wait_for_run(p, [&] {
    ui_tasks_run();
    return saw("exit");
  }));
  EXPECT_TRUE(saw("M:Error|Could not create file:\n " + path(gone, 0, 256, ".plotting") +
                  "\nNo such file or directory.\n\n" + ENGINE_KEPT_NOTHING_WRITTEN));
  plotter_stop(p, false);
  EXPECT_EQ(finished_calls.load(), 0);
  // A stop the thread made itself keeps the unfinished file for a resume.
  EXPECT_TRUE(file_exists(path(good, 0, 512, ".plotting")));
}

TEST_F(run_fixture, plotting_file_that_cannot_be_reopened_is_reported) {
  drive_s* d = drive("hdd");
  std::string temp = path(d, 0, 256, ".plotting");
  ASSERT_EQ(mkdir(temp.c_str(), 0755), 0);  // exists, but no file opens there
  add(d, nullptr, 0, 256);
  start_manual(256, 1, 0);
  ASSERT_TRUE(wait_for_run(p, [&] {
    ui_tasks_run();
    return saw("exit");
  }));
  EXPECT_TRUE(saw("M:Error|Could not open file:\n " + temp + "\nIs a directory.\n\n" + ENGINE_KEPT_PLOTTING));
  plotter_stop(p, false);
  EXPECT_EQ(finished_calls.load(), 0);
}

TEST_F(run_fixture, too_little_free_space_makes_the_job_wait) {
  drive_s* d = drive("hdd");
  job_s* j = add(d, nullptr, 0, 1ull << 30);  // 256 TiB
  start_manual(256, 1, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(j->state, JOB_NEW);
  EXPECT_FALSE(file_exists(path(d, 0, 1ull << 30, ".plotting")));
  EXPECT_TRUE(dialogs.get().empty());
  plotter_stop(p, false);
  EXPECT_EQ(j->state, JOB_NEW);
}
