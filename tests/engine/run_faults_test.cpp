// Whole runs meeting faults of the disks around them: a move or scatter
// that fails, a drive without free space, a file system without fallocate,
// a stop just after a file's last batch. None may leave a short file under a
// plot name, lose finished work or end as if all had arrived.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <atomic>
#include <filesystem>
#include <sstream>

#include "engine/engine_internal.h"
#include "engine/plots.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/loop_fs.h"

namespace {

struct fault_fixture : ::testing::Test {
  temp_dir_s dir{"engine_faults", true};
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
  void start_manual(uint64_t c, int buffers) {
    p->double_buffer = 0;
    p->nonces_per_buffer = c;
    for (int i = 0; i < buffers; i++) p->free_buffers.push_back(buffer_create(c));
    p->thread = std::thread(thread_proc, p);
  }
  bool saw(const std::string& line) {
    for (const std::string& l : dialogs.get())
      if (l == line) return true;
    return false;
  }
  bool saw_start(const std::string& start) {
    for (const std::string& l : dialogs.get())
      if (l.compare(0, start.size(), start) == 0) return true;
    return false;
  }
  // Waits for a dialog whose text begins with start.
  bool wait_for_dialog(const std::string& start) {
    return wait_until([&] {
      ui_tasks_run();
      return saw_start(start);
    });
  }
  // Seconds of CPU the work thread uses over about one second of waiting.
  double work_thread_cpu_per_second() {
    clockid_t clock;
    if (pthread_getcpuclockid(p->thread.native_handle(), &clock) != 0) return -1;
    timespec a, b;
    clock_gettime(clock, &a);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    clock_gettime(clock, &b);
    return (double)(b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
  }
};

std::string plot_path(const drive_s* d, uint64_t start, uint64_t n, const char* suffix = "") {
  return std::string(d->path) + "/7_" + std::to_string(start) + "_" + std::to_string(n) + suffix;
}

// A complete staged file of n nonces with bytes that tell where they came from.
std::vector<uint8_t> make_staged(const std::string& path, uint64_t n) {
  std::vector<uint8_t> data(n * NONCE);
  for (size_t i = 0; i < data.size(); i += 64) data[i] = (uint8_t)(i / 4096);
  write_bytes(path, 0, data.data(), data.size());
  return data;
}

}  // namespace

// A scatter into a target folder that has gone: the staged file stays, the
// user is told, the run stops as on any file error and never reports itself
// finished. A move into a target that is full waits for space instead, as a
// direct write does: no dialog, no end of the run, the wait shown through
// the job, and nothing of the copy left on the target.
TEST_F(fault_fixture, failed_scatter_and_move_keep_the_staged_file_and_never_finish) {
  loop_fs_s small(32);
  for (bool scatter : {true, false}) {
    SCOPED_TRACE(scatter ? "scatter, target folder gone" : "move, target full");
    if (!scatter && !small.ok()) GTEST_SKIP() << "loop ext4: " << small.why;
    drive_s* ssd = drive(dir.file(scatter ? "ssd1" : "ssd2"), true);
    drive_s* hdd = drive(scatter ? dir.file("hdd") : small.file("hdd"));
    job_s* j = add(ssd, hdd, 0, 256);
    std::string src = plot_path(ssd, 0, 256);
    std::vector<uint8_t> staged = make_staged(src, 256);
    if (scatter) {
      plotter_set_ssd_scatter(p, true);
      ASSERT_TRUE(plan_scatter_ranges(p->jobs));
      std::filesystem::remove_all(hdd->path);
    }
    start_manual(256, 1);
    if (scatter) {
      // The reason follows the file: "a full disk and an I/O error" must
      // not look the same.
      const std::string reason = "Opening " + plot_path(hdd, 0, 256, ".scattering") + ": No such file or directory.";
      ASSERT_TRUE(wait_for_dialog("M:Error|Could not scatter file:\n " + src + "\n"));
      for (const std::string& l : dialogs.get())
        if (l.compare(0, 8, "M:Error|") == 0) {
          EXPECT_NE(l.find(reason), std::string::npos) << l;
        }
      EXPECT_TRUE(saw("exit"));
    } else {
      ASSERT_TRUE(wait_until([&] { return j->bytes_missing.load() != 0 && j->state == JOB_STAGED; }));
      ui_tasks_run();
      EXPECT_FALSE(saw("exit"));
      EXPECT_TRUE(plotter_is_running(p));
      for (const std::string& l : dialogs.get()) EXPECT_NE(l.compare(0, 8, "M:Error|"), 0) << l;
      // The whole file does not fit: at least what the small disk lacks.
      EXPECT_GT(j->bytes_missing.load(), 256 * NONCE - (32ull << 20));
    }
    plotter_stop(p, false);
    ui_tasks_run();
    EXPECT_EQ(finished_calls.load(), 0);
    EXPECT_FALSE(plotter_is_finished(p));
    EXPECT_EQ(j->state, JOB_STAGED);
    EXPECT_TRUE(read_bytes(src, 0, staged.size()) == staged);
    EXPECT_FALSE(file_exists(plot_path(hdd, 0, 256)));
    EXPECT_FALSE(file_exists(plot_path(hdd, 0, 256, ".moving")));
    plotter_destroy(p);
    p = plotter_create();
    dialogs.lines.clear();
  }
}

// A disk that fails under a run (EIO on every write) while a batch is
// written, and while a staged file is scattered onto it: the process goes
// on, the user is told which file, where and why, the files keep what they
// held (the direct file its marker of the batch before), and once the disk
// works again the run resumes to byte-correct files.
TEST_F(fault_fixture, failing_disk_stops_the_run_with_its_reason_and_the_resume_completes_it) {
  loop_fs_s disk(400);
  if (!disk.ok()) GTEST_SKIP() << "loop ext4: " << disk.why;
  for (bool scatter : {false, true}) {
    SCOPED_TRACE(scatter ? "scatter" : "direct");
    drive_s* ssd = nullptr;
    drive_s* hdd = nullptr;
    // Each start reads its drives afresh, as the program does.
    auto drives_read = [&] {
      ssd = scatter ? drive(dir.file("ssd"), true) : nullptr;
      hdd = drive(disk.file(scatter ? "scattered" : "direct"));
    };
    drives_read();
    const uint64_t n = scatter ? 256 : 512;
    std::string file = scatter ? plot_path(ssd, 0, n) : plot_path(hdd, 0, n, ".plotting");
    std::vector<uint8_t> staged;
    auto plan = [&] {
      add(scatter ? ssd : hdd, scatter ? hdd : nullptr, 0, n);
      if (scatter) {
        plotter_set_ssd_scatter(p, true);
        ASSERT_TRUE(plan_scatter_ranges(p->jobs));
      }
    };
    plan();
    if (scatter) {
      staged = make_staged(file, n);
      // The scatter file was begun before (by an earlier file of its range),
      // so that the failing disk meets the rows rather than the file's
      // creation.
      int fd = sys_create_file(plot_path(hdd, 0, n, ".scattering").c_str(), n * NONCE, false);
      ASSERT_GT(fd, 0);
      ASSERT_TRUE(sys_sync_data(fd) && sys_sync_folder_of(plot_path(hdd, 0, n, ".scattering").c_str()));
      sys_close(fd);
      ASSERT_TRUE(disk.failing(true));
      start_manual(256, 1);
    } else {
      start_manual(256, 1);
      // The disk fails once the first batch is durable behind its marker.
      ASSERT_TRUE(wait_for_run(p, [&] { return read_marker(file, n) == 256; }));
      ASSERT_TRUE(disk.failing(true));
    }
    const std::string start = std::string("M:Error|Could not ") + (scatter ? "scatter" : "write") + " file:\n " + file +
                              "\n";
    ASSERT_TRUE(wait_for_dialog(start));
    EXPECT_TRUE(wait_until([&] { return saw("exit"); }));
    plotter_stop(p, true);
    for (const std::string& l : dialogs.get()) {
      if (l.compare(0, 8, "M:Error|") != 0) continue;
      // The write meets the failing device itself (EIO), or ext4 met it
      // first in its journal and turned the file system read-only: either
      // is the kernel's word for this disk, given as it is.
      const std::string where =
          "\n" + (scatter ? "Writing " + plot_path(hdd, 0, n, ".scattering") + " at byte 0: " : std::string());
      const std::string tail = scatter ? "" : " (at byte ";
      EXPECT_TRUE(l.find(where + "Input/output error" + tail) != std::string::npos ||
                  l.find(where + "Read-only file system" + tail) != std::string::npos)
          << l;
      EXPECT_NE(l.find(scatter ? ENGINE_KEPT_STAGED : ENGINE_KEPT_PLOTTING), std::string::npos) << l;
    }
    EXPECT_EQ(finished_calls.load(), 0);
    ASSERT_TRUE(disk.failing(false));
    ASSERT_TRUE(disk.remount());
    if (scatter) {
      EXPECT_TRUE(read_bytes(file, 0, staged.size()) == staged);
    } else {
      // The marker is the one of the batch before, or, when the failing
      // disk's journal lost its last change, an earlier one: never one that
      // claims more than is on the disk.
      uint64_t marker = read_marker(file, n);
      EXPECT_TRUE(marker == 256u || marker == 0u) << marker;
      if (marker == 256u) expect_plot_nonces(file, 7, 0, n, {0, 100, 255});
    }

    // The disk works again: a new run of the same plan finishes the files.
    plotter_destroy(p);
    p = plotter_create();
    plotter_set_finished_callback(p, [this] { finished_calls++; });
    dialogs.lines.clear();
    drives_read();
    plan();
    start_manual(256, 1);
    ASSERT_TRUE(wait_for_run(p, [&] {
      ui_tasks_run();
      return plotter_is_finished(p) || saw("exit");
    }));
    EXPECT_TRUE(dialogs.get().empty());
    EXPECT_TRUE(plotter_is_finished(p));
    if (scatter) {
      EXPECT_FALSE(file_exists(file));
      EXPECT_TRUE(read_bytes(plot_path(hdd, 0, n), 0, staged.size()) == staged);
    } else {
      EXPECT_FALSE(file_exists(file));
      expect_plot_nonces(plot_path(hdd, 0, n), 7, 0, n, {0, 100, 255, 256, 300, 511});
      sys_unlink(plot_path(hdd, 0, n).c_str());  // room for the scatter
    }
    plotter_destroy(p);
    p = plotter_create();
    plotter_set_finished_callback(p, [this] { finished_calls++; });
    finished_calls = 0;
  }
}

// A staged file waiting for its busy target costs the work thread no CPU.
TEST_F(fault_fixture, waiting_for_a_target_sleeps) {
  drive_s* ssd = drive(dir.file("ssd"), true);
  drive_s* busy = drive(dir.file("busy"));
  make_staged(plot_path(ssd, 0, 256), 256);
  job_s* staged = add(ssd, busy, 0, 256);
  job_s* other = job_create(ssd, busy, 7, 256, 256);  // holds the target's slot
  busy->job_writing_in = other;
  start_manual(256, 1);
  ASSERT_TRUE(wait_until([&] { return staged->state == JOB_STAGED; }));
  double cpu = work_thread_cpu_per_second();
  plotter_stop(p, false);
  busy->job_writing_in = nullptr;
  job_destroy(other);
  EXPECT_LT(cpu, 0.1) << "the work thread spins while it waits";
}

// Waiting for free space is said once in the log, shown with the missing
// bytes in the run's snapshot (the processing screen's line) and costs no CPU.
TEST_F(fault_fixture, waiting_for_free_space_is_reported) {
  drive_s* full = drive(dir.file("full"));
  job_s* big = add(full, nullptr, 0, 1ull << 30);  // 256 TiB
  testing::internal::CaptureStderr();
  start_manual(256, 1);
  ASSERT_TRUE(wait_until([&] { return big->bytes_missing.load() != 0; }));
  double cpu = work_thread_cpu_per_second();
  plotter_snapshot_s snap;
  plotter_snapshot(p, &snap);
  plotter_stop(p, false);
  std::string log = testing::internal::GetCapturedStderr();

  EXPECT_LT(cpu, 0.1);
  ASSERT_EQ(snap.jobs.size(), 1u);
  EXPECT_GT(snap.jobs[0].bytes_missing, (1ull << 30) * NONCE / 2);  // no test machine has 128 TiB free
  const std::string line = "0 is waiting for free space on " + std::string(full->path) + ": ";
  size_t at = log.find(line);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(line, at + 1), std::string::npos) << "said more than once:\n" << log;
  EXPECT_NE(log.find(" missing\n", at), std::string::npos) << log;
  EXPECT_TRUE(dialogs.get().empty());
}

// A failure the work thread tells in a dialog is in the log too, once: a
// buffer missing from the pool when a job starts.
TEST_F(fault_fixture, a_failure_told_in_a_dialog_is_one_log_line_and_one_dialog) {
  add(drive(dir.file("hdd")), nullptr, 0, 256);
  p->double_buffer = 0;
  p->nonces_per_buffer = 256;
  p->free_buffers.push_back(nullptr);
  testing::internal::CaptureStderr();
  p->thread = std::thread(thread_proc, p);
  bool ended = wait_until([&] { return saw("exit"); });
  plotter_stop(p, true);
  std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ended) << "awaited the end of the process after the dialog";
  const std::string text = "Failed to allocate buffer memory.";
  EXPECT_EQ(dialogs.get(), (std::vector<std::string>{"M:Memory Error|" + text, "exit"}));
  size_t at = log.find(text);
  EXPECT_NE(at, std::string::npos) << log;
  if (at != std::string::npos) {
    EXPECT_EQ(log.find(text, at + 1), std::string::npos) << "told twice:\n" << log;
  }
}

// A stop that finds a file's last batch written gives it its final name
// instead of leaving it to be plotted again from nonce 0.
TEST_F(fault_fixture, file_written_when_the_stop_comes_is_finished) {
  drive_s* d = drive(dir.file("hdd"));
  job_s* j = add(d, nullptr, 0, 256);
  start_manual(256, 1);
  // Hold the work thread while the only batch is being written, so that the
  // stop comes with the job written but not yet visited.
  ASSERT_TRUE(wait_for_run(p, [&] { return j->nonces_done.load() == 256; }));
  plotter_toggle_pause(p);
  ASSERT_TRUE(wait_for_run(p, [&] { return j->state == JOB_WRITTEN || j->state == JOB_DONE; }));
  if (j->state == JOB_DONE) GTEST_SKIP() << "the work thread finished the file before the pause";
  plotter_stop(p, false);
  EXPECT_EQ(j->state, JOB_DONE);
  EXPECT_FALSE(file_exists(plot_path(d, 0, 256, ".plotting")));
  expect_plot_nonces(plot_path(d, 0, 256), 7, 0, 256, {0, 128, 255});
}

namespace {

// Refuses fallocate on the calling thread and every thread it starts later,
// as some FUSE and network file systems do.
bool refuse_fallocate() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fallocate, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EOPNOTSUPP & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog = {(unsigned short)(sizeof code / sizeof code[0]), code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

}  // namespace

// The file systems miners meet on USB disks that cannot preallocate, real
// ones on loop devices: the plot grows batch by batch and ends byte-exact,
// a resume included.
TEST_F(fault_fixture, exfat_and_fat32_through_fuse_get_byte_exact_plots) {
  for (const char* type : {"exfat", "fat32"}) {
    SCOPED_TRACE(type);
    loop_fs_s fs(256, "", type);
    if (!fs.ok()) GTEST_SKIP() << type << " through FUSE: " << fs.why;
    drive_s* d = drive(fs.file("plots"));
    add(d, nullptr, 1000, 512);
    start_manual(256, 1);
    ASSERT_TRUE(wait_for_run(p, [&] { return read_marker(plot_path(d, 1000, 512) + ".plotting", 512) == 256 || p->ended.load(); }));
    ASSERT_FALSE(p->ended.load()) << ::testing::PrintToString(dialogs.get());
    plotter_stop(p, true);
    plotter_destroy(p);
    p = plotter_create();
    d = drive(fs.file("plots"));  // as a new start of the program
    job_s* j = add(d, nullptr, 1000, 512);
    start_manual(256, 1);
    ASSERT_TRUE(run_until_finished(p));
    EXPECT_EQ(j->nonces_resumed, 256u);
    EXPECT_EQ(file_size(plot_path(d, 1000, 512)), 512 * NONCE);
    expect_plot_nonces(plot_path(d, 1000, 512), 7, 1000, 512, {0, 255, 256, 511});
    EXPECT_TRUE(dialogs.get().empty());
    plotter_destroy(p);
    p = plotter_create();
  }
}

TEST_F(fault_fixture, file_system_without_fallocate_still_gets_its_plot) {
  drive_s* d = drive(dir.file("nofallocate"));
  add(d, nullptr, 1000, 512);
  bool filtered = false, finished = false;
  testing::internal::CaptureStderr();
  // The filter stays with the thread that installs it: a thread of its own
  // runs the whole plot.
  std::thread run([&] {
    filtered = refuse_fallocate();
    if (!filtered) return;
    start_manual(256, 1);
    finished = run_until_finished(p);
    p->thread.join();
  });
  run.join();
  std::string log = testing::internal::GetCapturedStderr();
  if (!filtered) GTEST_SKIP() << "no seccomp filter here";
  ASSERT_TRUE(finished) << log;
  EXPECT_NE(log.find("does not preallocate files"), std::string::npos) << log;
  EXPECT_EQ(file_size(plot_path(d, 1000, 512)), 512 * NONCE);
  expect_plot_nonces(plot_path(d, 1000, 512), 7, 1000, 512, {0, 255, 256, 511});
  EXPECT_TRUE(dialogs.get().empty());
}

// A move stopped half-way, or cut off by a crash, leaves no file that the
// plots registry counts at the target.
TEST_F(fault_fixture, stopped_move_leaves_no_plot_at_the_target) {
  drive_s* ssd = drive(dir.file("ssd"), true);
  drive_s* hdd = drive(dir.file("hdd"));
  job_s* j = add(ssd, hdd, 0, 256);
  make_staged(plot_path(ssd, 0, 256), 256);
  write_bytes(plot_path(hdd, 4096, 256, ".moving"), 0, "crash", 5);  // an earlier copy cut off
  j->state = JOB_MOVING;
  ssd->job_moving_out = j;
  hdd->job_writing_in = j;
  volatile bool stop = true;
  job_move(p, j, &stop);
  EXPECT_EQ(j->state, JOB_STAGED);
  EXPECT_FALSE(file_exists(plot_path(hdd, 0, 256)));
  plots_s* reg = plots_create();
  plots_folder_add(reg, hdd->path);
  int files = -1;
  plots_folder_bytes(reg, (std::string(hdd->path) + "/").c_str(), &files);
  EXPECT_EQ(files, 0);
  EXPECT_FALSE(plots_range_overlaps(reg, 0, 1ull << 40));
  plots_destroy(reg);
}

// The target folder is removed while its file is written: the writes still
// reach the open file, its final name cannot be given, and the dialog says
// what is on the disk (nothing), not that the file is kept; the failure is
// one log line.
TEST_F(fault_fixture, a_folder_removed_mid_run_is_told_as_it_is_on_disk) {
  drive_s* hdd = drive(dir.file("removed"));
  const uint64_t n = 1024;
  add(hdd, nullptr, 0, n);
  const std::string file = plot_path(hdd, 0, n, ".plotting");
  testing::internal::CaptureStderr();
  start_manual(256, 1);
  bool marked = wait_for_run(p, [&] { return read_marker(file, n) == 256; });
  std::filesystem::remove_all(hdd->path);
  bool told = marked && wait_for_dialog("M:Error|Could not finish file:\n " + file + "\n");
  plotter_stop(p, true);
  std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(marked);
  ASSERT_TRUE(told) << log;
  for (const std::string& l : dialogs.get()) {
    if (l.compare(0, 8, "M:Error|") != 0) continue;
    EXPECT_EQ(l.find("The file is kept"), std::string::npos) << l;
    EXPECT_NE(l.find("Nothing of this file is left: its folder " + std::string(hdd->path) + " no longer exists"),
              std::string::npos)
        << l;
  }
  // Beside the lines of its creation, one line names the file: the failure.
  int lines = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);)
    lines += line.find(std::string(hdd->path)) != std::string::npos && line.find("reating file") == std::string::npos &&
             line.find("llocat") == std::string::npos;
  EXPECT_EQ(lines, 1) << log;
}
