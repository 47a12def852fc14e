// Moving and scattering staged files to their targets.
#include <filesystem>
#include <functional>

#include "engine/engine_internal.h"
#include "engine/plot_file.h"
#include "tests/engine/engine_fixture.h"

namespace {

// Content of staged file nonce k, scoop s: one 64-bit value repeated.
uint64_t slot_value(uint64_t start, uint64_t k, uint64_t s) { return ((start + k) << 13) ^ s ^ (1ull << 62); }

// Writes a staged file of n nonces from start in plot layout.
void make_staged(const std::string& path, uint64_t start, uint64_t n) {
  std::vector<uint64_t> row(n * 8);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  for (uint64_t s = 0; s < 4096; s++) {
    for (uint64_t k = 0; k < n; k++)
      for (int i = 0; i < 8; i++) row[k * 8 + i] = slot_value(start, k, s);
    ASSERT_EQ(pwrite(fd, row.data(), n * 64, (off_t)(s * n * 64)), (ssize_t)(n * 64));
  }
  close(fd);
}

// Scoops of nonces [start, start + n) in a file covering [d0, d0 + dn) that
// do not hold the staged content (value 0 checks for untouched space).
uint64_t slots_wrong(const std::string& path, uint64_t d0, uint64_t dn, uint64_t start, uint64_t n, bool zero) {
  std::vector<uint64_t> row(n * 8);
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return UINT64_MAX;
  uint64_t bad = 0;
  for (uint64_t s = 0; s < 4096; s++) {
    if (pread(fd, row.data(), n * 64, (off_t)((s * dn + start - d0) * 64)) != (ssize_t)(n * 64)) return UINT64_MAX;
    for (uint64_t k = 0; k < n; k++)
      for (int i = 0; i < 8; i++)
        if (row[k * 8 + i] != (zero ? 0 : slot_value(start, k, s))) {
          bad++;
          break;
        }
  }
  close(fd);
  return bad;
}

struct move_fixture : ::testing::Test {
  temp_dir_s dir{"engine_move", true};
  dialog_log_s dialogs;
  std::unique_ptr<drive_s> ssd, hdd;
  plotter_s* p = nullptr;

  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    dialogs.install();
    ssd = make_drive(dir.file("ssd"), true);
    hdd = make_drive(dir.file("hdd"));
    p = plotter_create();
  }
  void TearDown() override {
    ui_tasks_run();  // messages of failed moves, answered by the recorder
    plotter_destroy(p);
  }
  std::vector<std::string> messages() {
    ui_tasks_run();
    return dialogs.get();
  }

  // A job in state 4 holding both slots, as the work thread leaves it.
  job_s* moving_job(uint64_t start, uint64_t n) {
    job_s* job = job_create(ssd.get(), hdd.get(), 7, start, n);
    plotter_add_job(p, job);
    job->state = JOB_MOVING;
    ssd->job_moving_out = job;
    hdd->job_writing_in = job;
    return job;
  }
  void expect_released(job_s* job, int state = JOB_DONE) {
    EXPECT_EQ(job->state, state);
    EXPECT_EQ(ssd->job_moving_out, nullptr);
    EXPECT_EQ(hdd->job_writing_in, nullptr);
  }
};

}  // namespace

TEST_F(move_fixture, move_arrives_under_the_same_name_and_counts_bytes) {
  job_s* job = moving_job(1000, 256);
  std::string src = dir.file("ssd/7_1000_256"), dst = dir.file("hdd/7_1000_256");
  make_staged(src, 1000, 256);
  volatile bool stop = false;
  job_move(p, job, &stop);
  EXPECT_FALSE(file_exists(src));
  EXPECT_EQ(slots_wrong(dst, 1000, 256, 1000, 256, false), 0u);
  EXPECT_EQ(job->bytes_moved, 256 * NONCE);
  EXPECT_EQ(hdd->bytes_in, 256 * NONCE);
  expect_released(job);
}

TEST_F(move_fixture, stopped_move_keeps_source_and_leaves_nothing_at_the_target) {
  job_s* job = moving_job(1000, 256);
  std::string src = dir.file("ssd/7_1000_256"), dst = dir.file("hdd/7_1000_256");
  make_staged(src, 1000, 256);
  volatile bool stop = true;
  job_move(p, job, &stop);
  EXPECT_TRUE(file_exists(src));
  EXPECT_EQ(file_size(src), 256 * NONCE);
  EXPECT_FALSE(file_exists(dst));
  EXPECT_FALSE(file_exists(dst + ".moving"));
  EXPECT_LE(job->bytes_moved, 8u << 20);  // one copy step at most
  EXPECT_EQ(hdd->bytes_in, job->bytes_moved);
  expect_released(job, JOB_STAGED);
  EXPECT_TRUE(messages().empty());  // a stop is no fault
}

TEST_F(move_fixture, scatter_two_staged_files_into_one_target_file) {
  p->scatter = true;
  job_s* a = moving_job(0, 1024);
  job_s* b = job_create(ssd.get(), hdd.get(), 7, 1024, 1024);
  plotter_add_job(p, b);
  ASSERT_TRUE(plan_scatter_ranges(p->jobs));
  EXPECT_EQ(hdd->scatter_start, 0u);
  EXPECT_EQ(hdd->scatter_nonces, 2048u);
  std::string sa = dir.file("ssd/7_0_1024"), sb = dir.file("ssd/7_1024_1024"), dst = dir.file("hdd/7_0_2048");
  make_staged(sa, 0, 1024);
  make_staged(sb, 1024, 1024);

  volatile bool stop = false;
  job_move(p, a, &stop);
  expect_released(a);
  EXPECT_FALSE(file_exists(sa));
  // Not every staged file is in it yet: no plot name.
  const std::string unfinished = dst + ".scattering";
  EXPECT_FALSE(file_exists(dst));
  EXPECT_EQ(file_size(unfinished), 2048 * NONCE);
  EXPECT_EQ(slots_wrong(unfinished, 0, 2048, 0, 1024, false), 0u);
  EXPECT_EQ(slots_wrong(unfinished, 0, 2048, 1024, 1024, true), 0u);  // not scattered yet: zeros

  // A stop interrupts a scatter between two scoop rows: the staged file
  // stays for the next start, the job is staged again, and what is in the
  // shared file stays unnamed.
  b->state = JOB_MOVING;
  ssd->job_moving_out = b;
  hdd->job_writing_in = b;
  stop = true;
  job_move(p, b, &stop);
  expect_released(b, JOB_STAGED);
  EXPECT_TRUE(file_exists(sb));
  EXPECT_EQ(file_size(sb), 1024 * NONCE);
  EXPECT_LT(b->bytes_moved, 1024 * NONCE);
  EXPECT_FALSE(file_exists(dst));
  EXPECT_EQ(slots_wrong(unfinished, 0, 2048, 0, 1024, false), 0u);
  EXPECT_TRUE(messages().empty());  // a stop is no fault

  // The next start scatters the staged file again, from its first row.
  b->state = JOB_MOVING;
  ssd->job_moving_out = b;
  hdd->job_writing_in = b;
  b->bytes_moved = 0;
  stop = false;
  job_move(p, b, &stop);
  EXPECT_EQ(b->state, JOB_DONE);
  EXPECT_FALSE(file_exists(sb));
  EXPECT_EQ(b->bytes_moved, 1024 * NONCE);
  EXPECT_FALSE(file_exists(unfinished));
  EXPECT_EQ(slots_wrong(dst, 0, 2048, 0, 1024, false), 0u);
  EXPECT_EQ(slots_wrong(dst, 0, 2048, 1024, 1024, false), 0u);
}

// A scatter or move that cannot complete keeps the staged file, says so and
// stops the run keeping its files; the job is not done.
TEST_F(move_fixture, failed_scatter_or_move_keeps_the_staged_file_and_reports_it) {
  hdd->scatter_start = 0;
  hdd->scatter_nonces = 512;
  const std::string dst = dir.file("hdd/7_0_512");
  const std::string ssd_file = dir.file("ssd/7_256_256");
  struct row_s {
    const char* what;
    bool scatter;
    uint64_t start;
    std::function<void(const std::string& src)> spoil;
    std::string reason;  // what the message says after the file's name
  } rows[] = {
      {"missing staged file", true, 0, [](const std::string&) {},
       "Opening " + dir.file("ssd/7_0_256") + ": No such file or directory."},
      // A short read would copy stale bytes.
      {"staged file shorter than its name", true, 256,
       [](const std::string& src) { ASSERT_EQ(truncate(src.c_str(), 100 * NONCE), 0); },
       ssd_file + " is shorter than its name says."},
      {"target folder gone", true, 256, [this](const std::string&) { std::filesystem::remove_all(hdd->path); },
       "Opening " + dst + ".scattering: No such file or directory."},
      {"move with target folder gone", false, 256,
       [this](const std::string&) { std::filesystem::remove_all(hdd->path); },
       "Creating " + dir.file("hdd/7_256_256.moving") + ": No such file or directory."},
  };
  for (const row_s& r : rows) {
    SCOPED_TRACE(r.what);
    mkdir(hdd->path, 0755);
    plotter_destroy(p);
    p = plotter_create();
    p->scatter = r.scatter;
    job_s* job = moving_job(r.start, 256);
    std::string src = dir.file("ssd/7_" + std::to_string(r.start) + "_256");
    if (r.start != 0) make_staged(src, r.start, 256);
    r.spoil(src);
    std::vector<uint8_t> staged = read_bytes(src, 0, file_size(src));
    volatile bool stop = false;
    job_move(p, job, &stop);
    expect_released(job, JOB_STAGED);
    EXPECT_TRUE(plotter_stop_requested(&p->stop));
    EXPECT_TRUE(p->keep_files);
    if (r.start != 0) {
      EXPECT_TRUE(read_bytes(src, 0, file_size(src)) == staged);
    }
    EXPECT_FALSE(file_exists(dst));
    EXPECT_FALSE(file_exists(dir.file("hdd/7_256_256")));
    const std::string verb = r.scatter ? "scatter" : "move";
    // What is said to be kept is what is there: no staged file, no claim.
    const char* kept = r.start != 0 ? ENGINE_KEPT_STAGED : ENGINE_KEPT_NOTHING_LEFT;
    EXPECT_EQ(messages(), (std::vector<std::string>{"M:Error|Could not " + verb + " file:\n " + src + "\n" +
                                                         r.reason + "\n\n" + kept,
                                                     "exit"}));
    dialogs.lines.clear();
  }
}

// The progress of a move or scatter reaches the whole file only once the
// file is durable under its final name: the final sync does much of the
// writing, and a screen that showed 100 % before it would claim a finished
// file that a power cut could still take back.
TEST_F(move_fixture, move_and_scatter_report_the_whole_file_only_after_its_final_name) {
  const uint64_t whole = 256 * NONCE;
  struct row_s {
    const char* what;
    bool scatter;
    bool last;  // the scatter completes its target file
  } rows[] = {{"move", false, true},
              {"scatter completing its file", true, true},
              {"scatter into a file still waiting for others", true, false}};
  for (const row_s& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string src = dir.file("ssd/7_1000_256");
    // A scatter that does not complete its file goes into a wider range.
    const std::string dst = dir.file(r.last ? "hdd/7_1000_256" : "hdd/7_1000_512");
    const std::string temp = dst + (r.scatter ? PLOT_FILE_SCATTERING : PLOT_FILE_MOVING);
    make_staged(src, 1000, 256);
    std::vector<uint64_t> seen;
    int whole_reports = 0;
    auto progress = [&](uint64_t done) {
      if (!seen.empty()) {
        EXPECT_GE(done, seen.back());
      }
      seen.push_back(done);
      EXPECT_LE(done, whole);
      if (done == whole) {
        whole_reports++;
        // The staged file goes only once the copy is durable at its target.
        EXPECT_FALSE(file_exists(src)) << "100 % before the final sync";
        EXPECT_EQ(file_exists(dst), r.last) << "100 % before the final name";
        EXPECT_EQ(file_exists(temp), !r.last);
      }
      return true;
    };
    std::string why;
    int result = r.scatter ? plot_file_scatter(src.c_str(), dst.c_str(), r.last, progress, &why)
                           : plot_file_move(src.c_str(), dst.c_str(), progress, &why);
    EXPECT_EQ(result, PLOT_FILE_DONE) << why;
    EXPECT_EQ(whole_reports, 1);
    EXPECT_EQ(slots_wrong(r.last ? dst : temp, 1000, r.last ? 256 : 512, 1000, 256, false), 0u);
    EXPECT_FALSE(file_exists(src));
    std::filesystem::remove(dst);
    std::filesystem::remove(temp);
  }
}

TEST(resume_marker, parse_table) {
  const uint64_t n = 1024;
  struct {
    uint64_t value;
    int dirty_at;  // index of a non-zero byte before the value, -1 for none
    bool ok;
  } cases[] = {
      {0, -1, true}, {256, -1, true}, {1023, -1, true}, {1024, -1, false},
      {UINT64_MAX, -1, false}, {256, 0, false}, {256, (int)SECTOR - 9, false},
  };
  for (auto& c : cases) {
    std::vector<uint8_t> s = marker_sector(c.value);
    if (c.dirty_at >= 0) s[c.dirty_at] = 1;
    uint64_t v = 77;
    EXPECT_EQ(plot_file_marker_parse(s.data(), SECTOR, n, &v), c.ok) << c.value << " " << c.dirty_at;
    if (c.ok) {
      EXPECT_EQ(v, c.value);
    }
  }
}
