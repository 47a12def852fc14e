// What a run finds of an interrupted session on its disks: a complete file
// that lost its rename, a scatter cut between two staged files, a disk that
// is not mounted, and a preallocation that did not fit.
#include <sys/stat.h>

#include "engine/plot_file.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/loop_fs.h"

namespace {

#define SKIP_WITHOUT(fs)                                       \
  do {                                                         \
    if (!(fs).ok()) GTEST_SKIP() << "loop ext4: " << (fs).why; \
  } while (0)

struct recovery_fixture : ::testing::Test {
  temp_dir_s dir{"engine_recovery", true};
  dialog_log_s dialogs;
  plotter_s* p = nullptr;
  std::vector<std::unique_ptr<drive_s>> drives;

  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    dialogs.install();
    p = plotter_create();
  }
  void TearDown() override {
    plotter_destroy(p);
    ui_tasks_run();
  }
  drive_s* drive(const std::string& path, bool ssd = false) {
    drives.push_back(make_drive(path, ssd));
    return drives.back().get();
  }
  job_s* add(drive_s* w, drive_s* m, uint64_t start, uint64_t n) {
    job_s* j = job_create(w, m, 7, start, n);
    plotter_add_job(p, j);
    return j;
  }
  void start(uint64_t c) {
    p->double_buffer = 0;
    p->nonces_per_buffer = c;
    p->free_buffers.push_back(buffer_create(c));
    p->thread = std::thread(thread_proc, p);
  }
  void restart() {
    plotter_destroy(p);
    p = plotter_create();
  }
  static std::string name(const drive_s* d, uint64_t start, uint64_t n, const char* suffix = "") {
    return std::string(d->path) + "/7_" + std::to_string(start) + "_" + std::to_string(n) + suffix;
  }
  bool told(const std::string& part) {
    for (const std::string& l : dialogs.get())
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
};

std::vector<uint8_t> whole_file(const std::string& path) { return read_bytes(path, 0, file_size(path)); }

// Every scoop of every nonce against the scalar reference; wrong nonces.
uint64_t wrong_nonces(const std::string& path, uint64_t start, uint64_t n) {
  std::vector<uint8_t> file = whole_file(path);
  if (file.size() != n * NONCE) return n;
  std::vector<uint8_t> nonce(NONCE);
  uint64_t wrong = 0;
  for (uint64_t k = 0; k < n; k++) {
    plot_nonce(7, start + k, nonce.data(), true);
    for (uint64_t s = 0; s < 4096; s++)
      if (memcmp(file.data() + (s * n + k) * 64, nonce.data() + s * 64, 64) != 0) {
        wrong++;
        break;
      }
  }
  return wrong;
}

// The names in a folder other than "." and "..".
std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> out;
  sys_list_dir(folder.c_str(), [&out](const char* p) {
    std::string n = std::string(p).substr(std::string(p).rfind('/') + 1);
    if (n != "." && n != ".." && n != "lost+found") out.push_back(n);
    return true;
  });
  return out;
}

}  // namespace

// A crash after the last batch and before the rename leaves a complete file
// under its unfinished name, with plot data where the marker was.
TEST_F(recovery_fixture, complete_file_that_missed_its_rename_is_finished_not_plotted_again) {
  drive_s* a = drive(dir.file("straight"));
  drive_s* b = drive(dir.file("crashed"));
  add(a, nullptr, 0, 512);
  start(256);
  ASSERT_TRUE(run_until_finished(p));
  std::vector<uint8_t> straight = whole_file(name(a, 0, 512));
  ASSERT_EQ(straight.size(), 512 * NONCE);
  restart();

  write_bytes(name(b, 0, 512, ".plotting"), 0, straight.data(), straight.size());
  job_s* j = add(b, nullptr, 0, 512);
  start(256);
  ASSERT_TRUE(run_until_finished(p));
  EXPECT_EQ(j->bytes_written, 0u);
  EXPECT_FALSE(file_exists(name(b, 0, 512, ".plotting")));
  EXPECT_TRUE(whole_file(name(b, 0, 512)) == straight);
}

// Both kinds of interruption between the two staged files of one scatter
// range: a power cut on both disks, and an end with the files left as they
// are (a kill). The next run takes up the rest: the first file's rows are
// not plotted again, the scatter file is complete and verifies in every
// scoop, and nothing else of the session is left on either disk.
TEST_F(recovery_fixture, scatter_cut_between_two_staged_files_resumes) {
  for (bool power_cut : {true, false}) {
    SCOPED_TRACE(power_cut ? "power cut" : "killed");
    loop_fs_s ssd_fs(256, "commit=60");
    loop_fs_s hdd_fs(256, "commit=60");
    SKIP_WITHOUT(ssd_fs);
    SKIP_WITHOUT(hdd_fs);
    restart();
    drives.clear();
    drive_s* ssd = drive(ssd_fs.file("ssd"), true);
    drive_s* hdd = drive(hdd_fs.file("hdd"));
    job_s* first = add(ssd, hdd, 512, 256);
    add(ssd, hdd, 768, 256);
    plotter_set_ssd_scatter(p, true);
    plotter_set_ram_double_buffer(p, 0);
    plotter_start(p, 0, 1, 1, ram_for_buffers(64ull << 20));
    ASSERT_TRUE(wait_for_run(p, [&] { return first->state == JOB_DONE; }));
    plotter_stop(p, true);
    restart();
    if (power_cut) {
      ASSERT_TRUE(ssd_fs.cut_power_and_remount());
      ASSERT_TRUE(hdd_fs.cut_power_and_remount());
    }

    ssd = drive(ssd_fs.file("ssd"), true);  // as a new start of the program
    hdd = drive(hdd_fs.file("hdd"));
    job_s* again = add(ssd, hdd, 512, 256);
    add(ssd, hdd, 768, 256);
    plotter_set_ssd_scatter(p, true);
    plotter_set_ram_double_buffer(p, 0);
    plotter_start(p, 0, 1, 1, ram_for_buffers(64ull << 20));
    ASSERT_TRUE(run_until_finished(p));
    EXPECT_EQ(again->bytes_written, 0u);
    EXPECT_EQ(wrong_nonces(name(hdd, 512, 512), 512, 512), 0u);
    EXPECT_EQ(names_in(ssd->path), std::vector<std::string>{});
    EXPECT_EQ(names_in(hdd->path), std::vector<std::string>{"7_512_512"});
    restart();
  }
}

// A disk that is not mounted leaves its empty mount point on the system
// disk. The session's job writes nothing there and says which file; once
// the disk is back it resumes and finishes.
TEST_F(recovery_fixture, job_of_an_unmounted_disk_writes_nothing_until_it_is_back) {
  loop_fs_s fs(256);
  SKIP_WITHOUT(fs);
  drive_s* d = drive(fs.file("plots"));
  std::string session_fs;
  ASSERT_TRUE(sys_fs_identity(d->path, &session_fs));
  {
    job_s* j = add(d, nullptr, 0, 512);
    j->write_fs = session_fs;
    start(256);
    ASSERT_TRUE(wait_for_run(p, [&] { return read_marker(name(d, 0, 512, ".plotting"), 512) == 256; }));
    plotter_stop(p, true);
  }
  restart();
  ASSERT_TRUE(fs.unmount());
  d = drive(fs.file("plots"));  // as a new start of the program, which makes the folder

  job_s* j = add(d, nullptr, 0, 512);
  j->write_fs = session_fs;
  start(256);
  ASSERT_TRUE(wait_until([&] { return plotter_stop_requested(&p->stop); }));
  plotter_stop(p, true);
  ui_tasks_run();
  EXPECT_EQ(names_in(d->path), std::vector<std::string>{});
  EXPECT_TRUE(told(name(d, 0, 512))) << "the message names the file";
  restart();
  rmdir(d->path);

  ASSERT_TRUE(fs.mount_now());
  d = drive(fs.file("plots"));
  j = add(d, nullptr, 0, 512);
  j->write_fs = session_fs;
  start(256);
  ASSERT_TRUE(run_until_finished(p));
  EXPECT_EQ(j->nonces_resumed, 256u);
  EXPECT_EQ(wrong_nonces(name(d, 0, 512), 0, 512), 0u);
}

// A staged file bound for a disk that is unmounted during the run: the
// empty mount point left on the system disk takes nothing, the staged file
// stays and the user hears whose disk is gone; with the disk back, the next
// run brings the file there.
TEST_F(recovery_fixture, move_into_a_target_whose_disk_was_unmounted_writes_nothing_there) {
  for (bool scatter : {false, true}) {
    SCOPED_TRACE(scatter ? "scatter" : "move");
    loop_fs_s fs(256);
    SKIP_WITHOUT(fs);
    std::string ssd_path = dir.file(scatter ? "ssd_scatter" : "ssd_move");
    std::string write_fs, move_fs;
    auto plan = [&]() {
      drive_s* ssd = drive(ssd_path, true);
      drive_s* hdd = drive(fs.mount_point);
      hdd->scatter_start = 0;
      hdd->scatter_nonces = 512;
      hdd->scatter_end = 512;
      job_s* j = add(ssd, hdd, 0, 512);
      j->write_fs = write_fs;
      j->move_fs = move_fs;
      plotter_set_ssd_scatter(p, scatter);
      return j;
    };
    mkdir(ssd_path.c_str(), 0755);
    ASSERT_TRUE(sys_fs_identity(ssd_path.c_str(), &write_fs));
    ASSERT_TRUE(sys_fs_identity(fs.mount_point.c_str(), &move_fs));
    plan();
    start(256);
    ASSERT_TRUE(wait_for_run(p, [&] { return read_marker(ssd_path + "/7_0_512.plotting", 512) == 256; }));
    plotter_toggle_pause(p);
    ASSERT_TRUE(wait_until([&] { return p->holding.load(); })) << "the work thread never held for the pause";
    ASSERT_TRUE(fs.unmount());
    plotter_toggle_pause(p);
    ASSERT_TRUE(wait_until([&] { return p->ended.load(); })) << "the run never ended";
    EXPECT_TRUE(plotter_stop_requested(&p->stop)) << "the run finished";
    plotter_stop(p, true);
    ui_tasks_run();
    EXPECT_EQ(names_in(fs.mount_point), std::vector<std::string>{}) << "written onto the system disk";
    EXPECT_TRUE(file_exists(ssd_path + "/7_0_512")) << "the staged file is kept";
    EXPECT_TRUE(told("The disk of this file is missing:"));
    EXPECT_TRUE(told(ssd_path + "/7_0_512"));
    restart();

    ASSERT_TRUE(fs.mount_now());
    job_s* j = plan();
    start(256);
    ASSERT_TRUE(run_until_finished(p));
    EXPECT_EQ(j->bytes_written, 0u);
    EXPECT_EQ(wrong_nonces(fs.file("7_0_512"), 0, 512), 0u);
    EXPECT_EQ(names_in(ssd_path), std::vector<std::string>{});
    restart();
  }
}

// A file made for a preallocation that does not fit is removed with what it
// had taken; a file that was there before is kept.
TEST_F(recovery_fixture, failed_preallocation_removes_only_the_file_it_made) {
  loop_fs_s fs(64);
  SKIP_WITHOUT(fs);
  uint64_t free_before = sys_free_space(fs.mount_point.c_str(), nullptr);
  std::string made = fs.file("7_0_1024.scattering");
  EXPECT_EQ(sys_create_file(made.c_str(), 1024 * NONCE, true), 0);
  EXPECT_FALSE(file_exists(made));
  EXPECT_GE(sys_free_space(fs.mount_point.c_str(), nullptr), free_before);

  std::string kept = fs.file("7_0_1024.plotting");
  write_bytes(kept, 0, "earlier data", 12);
  EXPECT_EQ(sys_create_file(kept.c_str(), 1024 * NONCE, true), 0);
  EXPECT_TRUE(file_exists(kept));
}
