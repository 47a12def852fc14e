// Batch writes into a preallocated direct-I/O file: scoop placement, the
// resume marker, the stop every 32 scoops and the single-buffering swap.
#include <atomic>

#include "tests/engine/engine_fixture.h"

namespace {

// A recognisable 64-byte slot for scoop s of file nonce k (never all zero).
void pattern_slot(uint64_t k, uint64_t s, uint8_t* out) {
  for (int i = 0; i < 8; i++) {
    uint64_t v = (k << 20) ^ (s << 4) ^ (uint64_t)i ^ 0x8000000000000000ull;
    memcpy(out + 8 * i, &v, 8);
  }
}

// Fills buffer nonces 0 .. count - 1 with the pattern of file nonces
// first .. first + count - 1.
void fill_pattern(buffer_s* b, uint64_t first, uint64_t count) {
  for (uint64_t s = 0; s < 4096; s++)
    for (uint64_t k = 0; k < count; k++) pattern_slot(first + k, s, b->data + (s * b->capacity + k) * 64);
}

// Counts scoops of file nonces [from, to) that differ from the pattern,
// skipping the last sector when skip_marker.
uint64_t pattern_mismatches(const std::string& path, uint64_t n, uint64_t from, uint64_t to, bool skip_marker) {
  std::vector<uint8_t> row(n * 64);
  uint8_t want[64];
  uint64_t bad = 0;
  int fd = open(path.c_str(), O_RDONLY);
  for (uint64_t s = 0; s < 4096; s++) {
    if (pread(fd, row.data(), n * 64, (off_t)(s * n * 64)) != (ssize_t)(n * 64)) return UINT64_MAX;
    for (uint64_t k = from; k < to; k++) {
      if (skip_marker && (s * n + k) * 64 >= n * NONCE - SECTOR) continue;
      pattern_slot(k, s, want);
      if (memcmp(row.data() + k * 64, want, 64) != 0) bad++;
    }
  }
  close(fd);
  return bad;
}

bool row_is_zero(const std::string& path, uint64_t n, uint64_t s, uint64_t from, uint64_t count) {
  std::vector<uint8_t> b = read_bytes(path, (s * n + from) * 64, count * 64);
  for (uint8_t x : b)
    if (x) return false;
  return !b.empty();
}

struct write_fixture : ::testing::Test {
  temp_dir_s dir{"engine_write", true};
  std::unique_ptr<drive_s> drive;
  plotter_s* p = nullptr;
  job_s* job = nullptr;
  std::string path;

  void open_job(uint64_t n, uint64_t cap, int double_buffer) {
    ASSERT_FALSE(dir.path.empty());
    drive = make_drive(dir.path);
    p = plotter_create();
    p->double_buffer = double_buffer;
    job = job_create(drive.get(), nullptr, 7, 0, n);
    path = dir.file("7_0_" + std::to_string(n) + ".plotting");
    job->fd = sys_create_file(path.c_str(), n * NONCE, false);
    ASSERT_NE(job->fd, 0);
    job->state = JOB_PLOTTING;
    drive->job_writing_in = job;
    job->write_buffer = buffer_create(cap);
    if (double_buffer) {
      job->compute_buffer = buffer_create(cap);
    } else {
      job->compute_buffer = buffer_create(0);
      job->compute_buffer->capacity = cap;
    }
    plotter_add_job(p, job);
  }
  // Hands the batch [first, first + count) to a write, as the work thread does.
  void write_batch(uint64_t first, uint64_t count, volatile bool* stop) {
    fill_pattern(job->write_buffer, first, count);
    job->write_buffer->progress.exchange(0);
    job_write(p, job, first, count, stop);
  }
  void TearDown() override {
    if (job && job->fd) sys_close(job->fd);
    if (job) job->fd = 0;
    plotter_destroy(p);
  }
};

}  // namespace

TEST_F(write_fixture, two_batches_place_every_scoop_and_leave_no_marker) {
  // A buffer wider than the batch: rows are read with the buffer's stride.
  open_job(512, 512, 1);
  volatile bool stop = false;
  write_batch(0, 256, &stop);
  EXPECT_EQ(job->state, JOB_PLOTTING);
  EXPECT_EQ(read_marker(path, 512), 256u);
  EXPECT_EQ(job->bytes_written, 256 * NONCE);
  EXPECT_EQ(drive->bytes_in, 256 * NONCE);
  EXPECT_EQ(job->write_buffer->progress.load(), 256 * NONCE);
  EXPECT_EQ(pattern_mismatches(path, 512, 0, 256, true), 0u);
  EXPECT_TRUE(row_is_zero(path, 512, 0, 256, 256));  // nothing of the second half yet

  write_batch(256, 256, &stop);
  EXPECT_EQ(job->state, JOB_WRITTEN);
  EXPECT_EQ(job->bytes_written, 512 * NONCE);
  EXPECT_EQ(pattern_mismatches(path, 512, 0, 512, false), 0u);  // marker overwritten by data
  EXPECT_EQ(read_marker(path, 512), UINT64_MAX);
  EXPECT_EQ(file_size(path), 512 * NONCE);
}

TEST_F(write_fixture, one_batch_file_never_gets_a_marker) {
  open_job(256, 256, 1);
  volatile bool stop = false;
  write_batch(0, 256, &stop);
  EXPECT_EQ(job->state, JOB_WRITTEN);
  EXPECT_EQ(pattern_mismatches(path, 256, 0, 256, false), 0u);
}

TEST_F(write_fixture, stop_before_the_batch_writes_scoop_zero_only) {
  open_job(512, 256, 1);
  volatile bool stop = false;
  write_batch(0, 256, &stop);
  stop = true;
  write_batch(256, 256, &stop);
  EXPECT_EQ(job->state, JOB_PLOTTING);
  EXPECT_EQ(job->bytes_written, 256 * NONCE);  // the stopped batch counts nothing
  EXPECT_EQ(read_marker(path, 512), 256u);     // the earlier marker stays
  EXPECT_FALSE(row_is_zero(path, 512, 0, 256, 256));  // scoop 0 written, uncounted
  EXPECT_TRUE(row_is_zero(path, 512, 1, 256, 256));
}

TEST_F(write_fixture, stop_in_a_middle_batch_ends_at_a_multiple_of_32_scoops) {
  open_job(768, 256, 1);
  volatile bool stop = false;
  write_batch(0, 256, &stop);
  const uint64_t run = 256 * 64;
  // Sets the stop as soon as scoop 0 of the next batch is counted, so the
  // task sees it at scoop 32 (or, on a slow machine, a later multiple).
  buffer_s* b = job->write_buffer;
  fill_pattern(b, 256, 256);
  b->progress.exchange(0);
  std::thread watcher([b, &stop] {
    while (b->progress.load() == 0) std::this_thread::yield();
    plotter_request_stop(&stop);
  });
  job_write(p, job, 256, 256, &stop);
  watcher.join();

  uint64_t counted = (job->bytes_written - 256 * NONCE) / run;
  EXPECT_GE(counted, 32u);
  EXPECT_LT(counted, 4096u);
  EXPECT_EQ(counted % 32, 0u);
  EXPECT_EQ(drive->bytes_in, job->bytes_written);
  EXPECT_EQ(job->state, JOB_PLOTTING);
  EXPECT_EQ(read_marker(path, 768), 256u);
  EXPECT_FALSE(row_is_zero(path, 768, counted, 256, 256));  // seen stopped, written
  EXPECT_TRUE(row_is_zero(path, 768, counted + 1, 256, 256));
}

TEST_F(write_fixture, single_buffering_hands_the_data_buffer_back) {
  open_job(512, 256, 0);
  buffer_s* data = job->write_buffer;
  buffer_s* placeholder = job->compute_buffer;
  volatile bool stop = false;
  write_batch(0, 256, &stop);
  EXPECT_EQ(job->compute_buffer, data);
  EXPECT_EQ(job->write_buffer, placeholder);
  EXPECT_EQ(data->progress.load(), 0u);
  EXPECT_EQ(placeholder->data, nullptr);
  EXPECT_EQ(read_marker(path, 512), 256u);
}
