// Power cuts and full disks on a real ext4 file system (a loop device): what
// the engine has claimed (a resume marker, a final name, a deleted staged
// file) must still hold after the journal's uncommitted part is lost.
#include <sys/stat.h>

#include "engine/engine_internal.h"
#include "engine/plot_file.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/loop_fs.h"

namespace {

// Long enough that the journal never commits on its own during a test.
const char* const LAZY_COMMIT = "commit=60";

#define SKIP_WITHOUT(fs)                                    \
  do {                                                      \
    if (!(fs).ok()) GTEST_SKIP() << "loop ext4: " << (fs).why; \
  } while (0)

// Every scoop of every nonce of a plot file of n nonces from start against
// the scalar reference; returns the number of wrong nonces.
uint64_t wrong_nonces(const std::string& path, uint64_t account, uint64_t start, uint64_t n) {
  std::vector<uint8_t> file = read_bytes(path, 0, n * NONCE);
  if (file.size() != n * NONCE) return n;
  std::vector<uint8_t> nonce(NONCE);
  uint64_t wrong = 0;
  for (uint64_t k = 0; k < n; k++) {
    plot_nonce(account, start + k, nonce.data(), true);
    for (uint64_t s = 0; s < 4096; s++)
      if (memcmp(file.data() + (s * n + k) * 64, nonce.data() + s * 64, 64) != 0) {
        wrong++;
        break;
      }
  }
  return wrong;
}

void sync_fs_of(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(syncfs(fd), 0);
  close(fd);
}

struct power_cut_fixture : ::testing::Test {
  dialog_log_s dialogs;
  plotter_s* p = nullptr;
  std::vector<std::unique_ptr<drive_s>> drives;

  void SetUp() override {
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
  void start(uint64_t c) {
    p->double_buffer = 0;
    p->nonces_per_buffer = c;
    p->free_buffers.push_back(buffer_create(c));
    p->thread = std::thread(thread_proc, p);
  }
};

}  // namespace

// The marker of batch 2 must never outlive batch 2's data.
TEST_F(power_cut_fixture, resume_after_a_cut_gives_the_reference_plot) {
  loop_fs_s fs(512, LAZY_COMMIT);
  SKIP_WITHOUT(fs);
  drive_s* d = drive(fs.file("plots"));
  const uint64_t n = 768;
  const std::string temp = fs.file("plots/7_0_768.plotting");
  plotter_add_job(p, job_create(d, nullptr, 7, 0, n));
  start(256);
  // Batch 1 and its marker committed, as the journal's timer would do.
  ASSERT_TRUE(wait_for_run(p, [&] { return read_marker(temp, n) == 256; }));
  sync_fs_of(fs.mount_point);
  ASSERT_TRUE(wait_for_run(p, [&] { return read_marker(temp, n) == 512; }));
  plotter_stop(p, true);
  plotter_destroy(p);
  ASSERT_TRUE(fs.cut_power_and_remount());

  p = plotter_create();
  d = drive(fs.file("plots"));  // as a new start of the program
  plotter_add_job(p, job_create(d, nullptr, 7, 0, n));
  start(256);
  ASSERT_TRUE(run_until_finished(p));
  EXPECT_EQ(wrong_nonces(fs.file("plots/7_0_768"), 7, 0, n), 0u);
}

namespace {

// Content of staged file nonce k: bytes that tell where they came from.
std::vector<uint8_t> staged_content(uint64_t n, uint8_t seed) {
  std::vector<uint8_t> data(n * NONCE);
  for (size_t i = 0; i < data.size(); i += 8) data[i] = (uint8_t)(seed + i / 4096);
  return data;
}

}  // namespace

// A move or scatter that has reported success has its data at the target
// under the final name, whatever the journal had not committed.
TEST_F(power_cut_fixture, move_and_scatter_survive_a_cut_after_success) {
  for (bool scatter : {false, true}) {
    SCOPED_TRACE(scatter ? "scatter" : "move");
      loop_fs_s fs(256, LAZY_COMMIT);
    SKIP_WITHOUT(fs);
    drive_s* ssd = drive(fs.file("ssd"), true);
    drive_s* hdd = drive(fs.file("hdd"));
    plotter_destroy(p);
    p = plotter_create();
    p->scatter = scatter;
    job_s* job = job_create(ssd, hdd, 7, 256, 256);
    plotter_add_job(p, job);
    hdd->scatter_start = 256;
    hdd->scatter_nonces = 256;
    std::vector<uint8_t> data = staged_content(256, scatter ? 3 : 5);
    write_bytes(fs.file("ssd/7_256_256"), 0, data.data(), data.size());
    sync_fs_of(fs.mount_point);  // the staged file was durable before its move

    job->state = JOB_MOVING;
    ssd->job_moving_out = job;
    hdd->job_writing_in = job;
    volatile bool stop = false;
    job_move(p, job, &stop);
    ASSERT_EQ(job->state, JOB_DONE);
    ASSERT_TRUE(fs.cut_power_and_remount());

    EXPECT_TRUE(read_bytes(fs.file("hdd/7_256_256"), 0, data.size()) == data);
  }
}
