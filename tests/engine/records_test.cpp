// The plotter's records and small operations.
#include "tests/engine/engine_fixture.h"

TEST(nonces_in_bytes, whole_64_mib_units_aligned_to_sector) {
  struct {
    uint64_t bytes, sector, nonces;
  } cases[] = {
      {100ull << 30, 16384, 409600},
      {(64ull << 20) - 1, 16384, 0},
      {96ull << 20, 0, 256},
      {96ull << 20, 16384, 256},
      {(5ull << 26) + 12345, 16384, 1280},
      {64ull << 20, 1ull << 20, 0},  // 256 nonces do not fill a 16384-slot row
      {1ull << 40, 65536, 4194304},
  };
  for (auto& c : cases) {
    uint64_t n = nonces_in_bytes(c.bytes, c.sector);
    EXPECT_EQ(n, c.nonces) << c.bytes << " " << c.sector;
    if (c.sector) {
      EXPECT_EQ(n % (c.sector / 64), 0u);
    }
  }
}

TEST(job_path, names_on_write_and_move_drive) {
  std::unique_ptr<drive_s> a(new drive_s{}), b(new drive_s{});
  strcpy(a->path, "/mnt/a");
  strcpy(b->path, "/mnt/b");
  char out[PLOT_PATH_MAX];
  job_s* direct = job_create(a.get(), nullptr, 7, 1000, 4096);
  job_path(direct, sizeof out, out, 0);
  EXPECT_STREQ(out, "/mnt/a/7_1000_4096");
  job_path(direct, sizeof out, out, 1);
  EXPECT_STREQ(out, "/mnt/a/7_1000_4096");

  job_s* staged = job_create(a.get(), b.get(), 7, 1000, 4096);
  job_path(staged, sizeof out, out, 0);
  EXPECT_STREQ(out, "/mnt/a/7_1000_4096");
  job_path(staged, sizeof out, out, 1);
  EXPECT_STREQ(out, "/mnt/b/7_1000_4096");
  b->scatter_start = 0;
  b->scatter_nonces = 8192;
  job_scatter_path(staged, sizeof out, out);
  EXPECT_STREQ(out, "/mnt/b/7_0_8192");

  job_path(nullptr, sizeof out, out, 0);
  EXPECT_STREQ(out, "");
  // A short output is never overrun, and a cut name (which could name some
  // other file) is given as no name at all.
  char small[8];
  memset(small, 'x', sizeof small);
  job_path(staged, sizeof small, small, 0);
  EXPECT_STREQ(small, "");
  job_destroy(direct);
  job_destroy(staged);
}

TEST(job_create, starts_new_and_empty) {
  job_s* j = job_create(nullptr, nullptr, 1, 2, 3);
  EXPECT_EQ(j->state, JOB_NEW);
  EXPECT_EQ(j->account_id, 1u);
  EXPECT_EQ(j->start_nonce, 2u);
  EXPECT_EQ(j->nonces, 3u);
  EXPECT_EQ(j->nonces_done, 0u);
  EXPECT_EQ(j->fd, 0);
  EXPECT_EQ(j->compute_buffer, nullptr);
  EXPECT_FALSE(j->write_future.valid());
  job_destroy(j);
  job_destroy(nullptr);
}

TEST(buffer, create_placeholder_and_data) {
  buffer_s* b = buffer_create(256);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->capacity, 256u);
  EXPECT_EQ(b->progress.load(), 0u);
  ASSERT_NE(b->data, nullptr);
  EXPECT_EQ((uintptr_t)b->data % 4096, 0u);
  b->data[256 * NONCE - 1] = 1;  // the whole size is there
  buffer_destroy(b);

  buffer_s* empty = buffer_create(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->data, nullptr);
  buffer_destroy(empty);
  buffer_destroy(nullptr);
  // A size that cannot be counted in bytes is a failed allocation.
  EXPECT_EQ(buffer_create(UINT64_MAX / 2), nullptr);
}

TEST(plotter, create_defaults_and_setters) {
  plotter_s* p = plotter_create();
  EXPECT_EQ(p->double_buffer, -1);
  EXPECT_EQ(p->max_tasks, 1);
  EXPECT_FALSE(p->stop);
  EXPECT_FALSE(plotter_is_running(p));
  EXPECT_FALSE(plotter_is_finished(p));
  EXPECT_EQ(plotter_gpu(p), nullptr);
  plotter_set_ram_double_buffer(p, 1);
  plotter_set_ssd_scatter(p, true);
  plotter_set_wait_for_moves(p, true);
  EXPECT_EQ(p->double_buffer, 1);
  EXPECT_TRUE(p->scatter);
  EXPECT_TRUE(p->wait_for_moves);
  plotter_toggle_pause(p);
  EXPECT_TRUE(plotter_is_paused(p));
  plotter_toggle_pause(p);
  EXPECT_FALSE(plotter_is_paused(p));

  // Stop without a work thread leaves keep_files as it was.
  plotter_stop(p, true);
  EXPECT_FALSE(p->keep_files);
  plotter_stop(nullptr, true);

  EXPECT_EQ(plotter_job_count(nullptr), 0u);
  plotter_add_job(p, job_create(nullptr, nullptr, 1, 0, 256));
  plotter_add_job(p, job_create(nullptr, nullptr, 1, 256, 256));
  EXPECT_EQ(plotter_job_count(p), 2u);
  int seen = 0;
  plotter_for_each_job(p, [&seen](job_s*) { return ++seen < 1; });
  EXPECT_EQ(seen, 1);  // the walk ends when the visitor says so
  p->concurrent = true;
  plotter_clear_jobs(p);
  EXPECT_EQ(plotter_job_count(p), 0u);
  EXPECT_FALSE(p->concurrent);
  plotter_destroy(p);
  plotter_destroy(nullptr);
}

TEST(plotter, release_buffer_pools_data_and_drops_placeholders) {
  plotter_s* p = plotter_create();
  plotter_release_buffer(p, nullptr);
  EXPECT_TRUE(p->free_buffers.empty());
  buffer_s* placeholder = buffer_create(0);
  placeholder->capacity = 256;
  plotter_release_buffer(p, placeholder);  // destroyed (ASan would see a leak otherwise)
  EXPECT_TRUE(p->free_buffers.empty());
  buffer_s* b = buffer_create(256);
  plotter_release_buffer(p, b);
  ASSERT_EQ(p->free_buffers.size(), 1u);
  EXPECT_EQ(p->free_buffers[0], b);
  plotter_destroy(p);  // frees the pooled buffer
}

TEST(drive, free_space_cache_refreshes_after_a_second) {
  temp_dir_s dir("engine_drive");
  std::unique_ptr<drive_s> d = make_drive(dir.path);
  d->free_bytes = 5;
  d->free_time = 10.0;
  EXPECT_EQ(drive_free_space_cached(d.get(), 10.5), 5u);  // still fresh
  uint64_t real = drive_free_space_cached(d.get(), 11.5);
  EXPECT_GT(real, 5u);
  EXPECT_EQ(d->free_time, 11.5);
}
