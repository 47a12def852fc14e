// The arithmetic of a run's plan, checked on worked examples, and the plans
// that must be refused before any work starts.
#include <unistd.h>

#include <cmath>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "plot/plt_cpu.h"
#include "tests/engine/engine_fixture.h"

namespace {
const uint64_t GiB = 1ull << 30;
}

TEST(run_plan, ram_limit) {
  EXPECT_EQ(plan_ram_limit(0, 16 * GiB, 32 * GiB), 12 * GiB);
  EXPECT_EQ(plan_ram_limit(4 * GiB, 16 * GiB, 32 * GiB), 4 * GiB);
  // At or above the installed memory the request is ignored.
  EXPECT_EQ(plan_ram_limit(32 * GiB, 16 * GiB, 32 * GiB), 12 * GiB);
  EXPECT_EQ(plan_ram_limit(64 * GiB, 16 * GiB, 32 * GiB), 12 * GiB);
}

TEST(run_plan, cpu_direct_12_gib_single_buffer_gives_49152) {
  EXPECT_EQ(plan_cpu_batch(12 * GiB, 1, 256), 49152u);
  EXPECT_EQ(plan_cpu_batch(12 * GiB, 2, 256), 24576u);
  EXPECT_EQ(plan_cpu_batch(100ull << 20, 1, 256), 256u);  // aligned down from 400
  EXPECT_EQ(plan_cpu_batch(32ull << 20, 1, 256), 0u);      // below one aligned batch
}

TEST(run_plan, tasks_and_concurrency) {
  bool conc = false;
  EXPECT_EQ(plan_tasks(3, 5, 4.0, 64 * GiB, &conc), 3);
  EXPECT_TRUE(conc);
  EXPECT_EQ(plan_tasks(1, 5, 4.0, 64 * GiB, &conc), 1);
  EXPECT_FALSE(conc);
  EXPECT_EQ(plan_tasks(0, 4, 4.0, 10 * GiB, &conc), 2);
  EXPECT_TRUE(conc);
  EXPECT_EQ(plan_tasks(0, 1, 4.0, 64 * GiB, &conc), 1);
  EXPECT_FALSE(conc);
  EXPECT_EQ(plan_tasks(0, 4, 4.0, 1 * GiB, &conc), 1);  // at least one
  // No RAM per task would divide by zero: refused.
  EXPECT_EQ(plan_tasks(0, 4, 0.0, 10 * GiB, &conc), 0);
  EXPECT_EQ(plan_tasks(0, 4, -1.0, 10 * GiB, &conc), 0);
}

// One model on both sides: a batch is hashed and then written (single
// buffering) or hashed while the previous one is written (double), every
// batch paying each of its 4096 rows' write cost, its bytes at the drive's
// bandwidth and the drive's fixed cost per batch once. Hash rates and
// bandwidths in MiB/s, a row's cost in ms, the batches in nonces per job.
TEST(run_plan, buffering_choice_by_hash_rate_row_cost_bandwidth_and_batches) {
  const double MIB_MIN = 60.0 * 4;  // nonces per minute of 1 MiB/s
  const uint64_t KiB = 1024;
  const struct {
    double hash, row_ms, bandwidth, batch_cost;
    uint64_t only_row_bytes, plot, single, dbl;
    int tasks, want;
  } cases[] = {
      // Rows that cost their bytes alone.
      {200, 0, 2000, 0.005, 0, 100 * GiB, 4096, 2048, 1, 1},     // writing faster than hashing
      {200, 0, 50, 0.005, 0, 100 * GiB, 4096, 2048, 1, 1},       // writing slower than hashing
      {200, 0, 200, 0.005, 0, 100 * GiB, 4096, 2048, 1, 1},      // both alike
      {200, 0, 200, 0, 0, 100 * GiB, 49152, 24576, 1, 1},        // a large buffer
      {833, 0, 200, 0.005, 0, 953600ull << 20, 49152, 24576, 1, 1},
      {20000, 0, 200, 0.5, 0, 100 * GiB, 4096, 2048, 1, 0},      // a batch hashes faster than a write's fixed cost
      {200, 0, 200, 0.005, 0, 256 * NONCE, 4096, 2048, 1, 0},    // one batch either way: no overlap to win
      {200, 0, 50, 0.005, 0, 100 * GiB, 4096, 2048, 2, 1},       // two jobs, slow drives
      {200, 0, 5000, 0.005, 0, 100 * GiB, 4096, 2048, 2, 1},     // two jobs, fast drives
      {200, 0, 200, 0.005, 0, 0, 4096, 2048, 1, 0},              // no jobs: single
      {200, 0, 200, 0.005, 0, 100 * GiB, 4096, 0, 1, 0},         // no room for two batches: single
      // Rows whose write costs more than their bytes: a larger batch writes
      // more bytes in as many rows.
      {200, 2, 0, 0.001, 0, 2048 * NONCE, 768, 256, 1, 0},       // each row a seek: single's rows carry 3x
      {200, 2, 2000, 0.001, 0, 2048 * NONCE, 768, 384, 1, 0},
      {57, 0.09, 0, 0.001, 0, 2048 * NONCE, 768, 256, 1, 1},     // a fast disk: the writes hide behind hashing
      {57, 0.05, 25, 0.001, 0, 2048 * NONCE, 768, 256, 1, 1},    // writes throttled below the hashing
      {200, 0.05, 0, 0.001, 0, 2048 * NONCE, 768, 256, 1, 1},    // hidden as well, 0.2 s of rows per batch
      // Rows of one size timed: another size is charged the most it could
      // cost, larger rows as much per byte, smaller ones as much per row.
      {200, 2, 0, 0.001, 16 * KiB, 2048 * NONCE, 768, 256, 1, 1},
      {200, 2, 0, 0.001, 48 * KiB, 2048 * NONCE, 768, 256, 1, 0},
  };
  for (const auto& c : cases) {
    const write_cost_s w{c.row_ms / 1000, c.bandwidth * 1048576.0, c.batch_cost, c.only_row_bytes};
    buffer_model_s m{c.plot, c.tasks, c.hash * MIB_MIN, c.single, c.dbl, w};
    double single = 0, dbl = 0;
    plan_buffer_times(m, &single, &dbl);
    EXPECT_EQ(plan_double_buffer(m), c.want)
        << "hash " << c.hash << " row " << c.row_ms << " ms, bandwidth " << c.bandwidth << ", batch cost "
        << c.batch_cost << ", rows timed of " << c.only_row_bytes << " only, plot " << c.plot << ", batches "
        << c.single << "/" << c.dbl << ", tasks " << c.tasks << ": single " << single << " s, double " << dbl
        << " s";
  }
  // One job writing at the hashing rate with no fixed cost: single takes
  // hashing plus writing, double hides the writing but for the last batch.
  buffer_model_s m{100 * GiB, 1, 200 * MIB_MIN, 4096, 2048, {0, 200 * 1048576.0, 0, 0}};
  double single = 0, dbl = 0;
  plan_buffer_times(m, &single, &dbl);
  EXPECT_NEAR(single, 1024, 0.01);
  EXPECT_NEAR(dbl, 512 + 2.56, 0.01);
  // A job's last, partial batch writes all its rows: 2048 nonces in
  // batches of 768 are three batches of 4096 rows of 1 ms.
  m = {2048 * NONCE, 1, 200 * MIB_MIN, 768, 256, {0.001, 0, 0, 0}};
  plan_buffer_times(m, &single, &dbl);
  EXPECT_NEAR(single, 2.56 + 3 * 4.096, 0.01);
  EXPECT_NEAR(dbl, 0.32 + 8 * 4.096, 0.01);
}

// A drive whose row writes cost the same whatever their size (each row is
// one write at its own offset, and the write's own cost dominates): batches
// of 16 KiB rows and of 48 KiB rows took 2 ms a row. Single buffering's
// batches, three times larger, write three times the bytes in the same
// time, which outweighs hiding the writes behind the hashing.
TEST(run_plan, buffering_choice_charges_rows_as_the_drive_measured_them) {
  std::unique_ptr<drive_s> d = make_drive("/nowhere");
  const uint64_t ms = 1000000;
  drive_add_batch_timing(d.get(), 256 * 64, 4096, 4096 * 2 * ms, ms);  // rows of 256 nonces
  drive_add_batch_timing(d.get(), 768 * 64, 4096, 4096 * 2 * ms, ms);  // rows of 768 nonces
  // 2048 nonces, 200 MiB/s of hashing, RAM for one batch of 768 nonces or
  // two of 384.
  buffer_model_s m{2048 * NONCE, 1, 200 * 60.0 * 4, 768, 384, {}};
  ASSERT_TRUE(drive_write_figures(d.get(), &m.write));
  double single = 0, dbl = 0;
  plan_buffer_times(m, &single, &dbl);
  EXPECT_EQ(plan_double_buffer(m), 0) << "single " << single << " s, double " << dbl << " s";
}

// What a drive's writes cost, from its timed batches: a line through the
// time per row of each size (a cost per write, and a bandwidth), neither
// below 0; with one size alone, what a row of it took. Row sizes in KiB,
// seconds per row in ms, bandwidth in KiB per ms (0: not limiting).
TEST(run_plan, drive_write_figures_fit_the_rows_of_each_size) {
  const struct {
    const char* what;
    std::vector<std::pair<uint64_t, double>> rows;  // size, ms per row
    double row_ms, bandwidth;
    uint64_t only_kib;
  } cases[] = {
      {"both", {{16, 1.0}, {48, 1.2}}, 0.9, 160, 0},
      {"bytes alone", {{16, 0.1}, {48, 0.3}}, 0, 160, 0},
      // The line through the two would cost less than nothing at no bytes:
      // the bytes alone, fitted through the origin.
      {"no cost per write", {{16, 0.1}, {48, 0.4}}, 0, (16.0 * 16 + 48 * 48) / (16 * 0.1 + 48 * 0.4), 0},
      {"larger rows no slower", {{16, 1.0}, {48, 0.9}}, 0.95, 0, 0},
      {"the same size twice", {{16, 1.0}, {16, 2.0}}, 1.5, 0, 16},
      {"three sizes on a line", {{16, 1.0}, {32, 1.1}, {64, 1.3}}, 0.9, 160, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<drive_s> d = make_drive("/nowhere");
    write_cost_s w{};
    EXPECT_FALSE(drive_write_figures(d.get(), &w));
    for (const auto& r : c.rows)
      drive_add_batch_timing(d.get(), r.first * 1024, 4096, static_cast<uint64_t>(std::llround(4096 * r.second * 1e6)), 2000000);
    ASSERT_TRUE(drive_write_figures(d.get(), &w));
    EXPECT_NEAR(w.row_cost * 1000, c.row_ms, 1e-6);
    EXPECT_NEAR(w.bandwidth / 1024 / 1000, c.bandwidth, 1e-6 + c.bandwidth * 1e-6);
    EXPECT_EQ(w.only_row_bytes, c.only_kib * 1024);
    EXPECT_NEAR(w.batch_cost, 0.002, 1e-12);
  }
}

TEST(run_plan, gpu_batch_sizes) {
  // Two GPUs with 16 GiB, each allowing 4 GiB in one allocation; 16 GiB of
  // RAM, double buffering, no preset: the generation buffer bounds f, in
  // whole 16 KiB sectors (256 nonces), and the buffer holds one batch of
  // both devices.
  EXPECT_EQ(plan_gpu_nonces(16 * GiB, 2, 2, 4 * GiB, 16 * GiB, 0, 0, 32), 16352u);
  uint64_t f = plan_gpu_nonces(16 * GiB, 2, 2, 4 * GiB, 16 * GiB, 0, 0, plan_gpu_granule(32, 256));
  EXPECT_EQ(f, 16128u);
  EXPECT_EQ(plan_gpu_batch(16 * GiB, 2, 2, f, 256), 32256u);
  const struct {
    uint64_t limit, max_alloc, memory, preset;
    int cap;
    uint64_t group, f;
  } cases[] = {
      {16 * GiB, 4 * GiB, 16 * GiB, 0, 0, 64, 16320},     // whole groups of 64
      {16 * GiB, 4 * GiB, 16 * GiB, 4096, 0, 32, 12288},  // whole presets
      {16 * GiB, 4 * GiB, 16 * GiB, 0, 1000, 32, 992},    // the cap, in whole groups
      {16 * GiB, 4 * GiB, 16 * GiB, 0, -5, 32, 16352},    // a negative cap never caps
      {64 * GiB, 2 * GiB, 8 * GiB, 0, 0, 32, 8160},       // allocation = a quarter
      {64 * GiB, 8 * GiB, 8 * GiB, 0, 0, 32, 14304},      // 7/8 of the memory
      // A large card and RAM: no 32-bit bound on the device batch.
      {1024 * GiB, 20 * GiB, 80 * GiB, 0, 0, 32, 81888},
      {1024 * GiB, 20 * GiB, 80 * GiB, 0, 0, 1024, 80896},
      {1 * GiB, 1 << 20, 8 * GiB, 0, 0, 32, 0},  // nothing fits: refused by the caller
  };
  for (const auto& c : cases)
    EXPECT_EQ(plan_gpu_nonces(c.limit, 2, 2, c.max_alloc, c.memory, c.preset, c.cap, c.group), c.f)
        << c.max_alloc << " " << c.memory << " " << c.preset << " " << c.cap << " " << c.group;
  // One GPU, 4 GiB, double buffering: f0 = c0 = 8192; at 4096 the buffer
  // becomes two device batches and the two buffers stay within 4 GiB.
  EXPECT_EQ(plan_gpu_nonces(4 * GiB, 1, 2, 64 * GiB, 64 * GiB, 0, 0, 32), 8192u);
  EXPECT_EQ(plan_gpu_batch(4 * GiB, 1, 2, 8192, 256), 8192u);
  EXPECT_EQ(plan_gpu_batch(4 * GiB, 1, 2, 4096, 256), 8192u);
  EXPECT_EQ(plan_gpu_batch(1 * GiB, 1, 2, 0, 256), 0u);
}

// Whatever the RAM, the devices, the sectors, the work groups and the
// halvings after failed attempts: a buffer holds whole device batches, so
// that no nonce is computed and thrown away, and whole sectors, within the
// RAM limit.
TEST(run_plan, gpu_buffer_holds_whole_device_batches) {
  const uint64_t MiB = 1ull << 20;
  const struct {
    uint64_t limit;
    int gpus;
    uint64_t buffers, max_alloc, memory, preset;
    int cap;
    uint64_t group, a;
  } cases[] = {
      {16 * GiB, 2, 2, 4 * GiB, 16 * GiB, 0, 0, 32, 256},
      {16 * GiB, 3, 2, 4 * GiB, 16 * GiB, 0, 0, 32, 256},
      {4 * GiB, 1, 2, 64 * GiB, 64 * GiB, 0, 0, 32, 256},
      {6 * GiB, 3, 1, 1 * GiB, 4 * GiB, 0, 0, 64, 64},
      {64 * GiB, 2, 4, 2816 * MiB, 11 * GiB, 3584, 0, 32, 64},
      {12 * GiB, 1, 2, 3 * GiB, 8 * GiB, 2560, 0, 256, 8},
      {1 * GiB, 1, 2, 256 * MiB, 2 * GiB, 0, 0, 256, 256},
      {3 * GiB, 8, 1, 2 * GiB, 8 * GiB, 0, 1000, 32, 8},
      {2 * GiB, 3, 2, 1 * GiB, 8 * GiB, 0, 0, 48, 64},  // a group of 48: batches of 192s
      {10 * GiB, 5, 2, 1 * GiB, 4 * GiB, 0, 0, 1024, 64},
  };
  for (const auto& c : cases) {
    const uint64_t granule = plan_gpu_granule(c.group, c.a);
    int attempts = 0;
    for (uint64_t f = plan_gpu_nonces(c.limit, c.gpus, c.buffers, c.max_alloc, c.memory, c.preset, c.cap, granule);
         f != 0; f = plan_gpu_halve(f, granule), attempts++) {
      const uint64_t batch = static_cast<uint64_t>(c.gpus) * f;
      const uint64_t buffer = plan_gpu_batch(c.limit, c.gpus, c.buffers, f, c.a);
      SCOPED_TRACE(testing::Message() << c.gpus << " GPUs, f " << f << ", group " << c.group << ", a " << c.a
                                      << ", buffer " << buffer);
      EXPECT_EQ(f % c.group, 0u);
      EXPECT_LE(f * PLAN_GPU_GEN_BYTES_PER_NONCE, c.max_alloc);
      ASSERT_GE(buffer, batch);
      EXPECT_EQ(buffer % batch, 0u);
      EXPECT_EQ(buffer % c.a, 0u);
      EXPECT_LE((buffer * c.buffers) << 18, c.limit);
    }
    EXPECT_GE(attempts, 1) << c.gpus << " GPUs, group " << c.group;
  }
}

// After a failed self-test the device batch halves and stays a multiple of
// the work-group size, so that a smaller attempt can pass at all.
TEST(run_plan, gpu_batch_halving_keeps_whole_work_groups) {
  for (uint64_t group : {32u, 64u, 128u, 256u}) {
    int attempts = 0;
    for (uint64_t f = 16352 - 16352 % group; f != 0; f = plan_gpu_halve(f, group), attempts++) {
      EXPECT_EQ(f % group, 0u) << f << " " << group;
      EXPECT_GT(f, 64u);
    }
    EXPECT_GE(attempts, 2) << group;
  }
  EXPECT_EQ(plan_gpu_halve(8176, 32), 4064u);
  EXPECT_EQ(plan_gpu_halve(8176, 64), 4032u);
  EXPECT_EQ(plan_gpu_halve(130, 32), 0u);
  EXPECT_EQ(plan_gpu_halve(4096, 1024), 2048u);
  EXPECT_EQ(plan_gpu_halve(1500, 1024), 0u);
}

TEST(run_plan, alignment_and_scatter_ranges) {
  std::unique_ptr<drive_s> ssd(new drive_s{}), hdd(new drive_s{});
  ssd->sector_size = 16384;
  hdd->sector_size = 4096;
  std::vector<job_s*> none;
  EXPECT_EQ(plan_alignment(none), 4u);
  job_s* a = job_create(ssd.get(), hdd.get(), 7, 0, 1000);
  job_s* b = job_create(ssd.get(), hdd.get(), 7, 2000, 1000);
  std::vector<job_s*> jobs = {a, b};
  EXPECT_EQ(plan_alignment(jobs), 256u);
  EXPECT_EQ(plan_plot_bytes(jobs), 2000 * NONCE);
  EXPECT_FALSE(plan_scatter_ranges(jobs));  // 2000 nonces over a span of 3000
  b->start_nonce = 1000;
  b->nonces = 2000;
  EXPECT_TRUE(plan_scatter_ranges(jobs));
  EXPECT_EQ(hdd->scatter_start, 0u);
  EXPECT_EQ(hdd->scatter_nonces, 3000u);
  EXPECT_EQ(hdd->scatter_end, 3000u);
  job_destroy(a);
  job_destroy(b);
}

// Plans that could never start a job are refused with the allocation
// message, and no work thread starts.
TEST(run_plan, start_refuses_impossible_plans) {
  temp_dir_s dir("engine_plan", true);
  std::unique_ptr<drive_s> d = make_drive(dir.path);
  const std::string alloc =
      "M:Error|Error allocating enough memory for efficient processing. Try again setting a lower max RAM size.";
  // Too little RAM for one batch says how much is needed, not to lower it.
  const std::string too_little = "M:Error|Not enough RAM for one batch per buffer: 1 buffer of 64.0 MiB needs at least ";
  struct {
    uint64_t ram;
    double per_task;
    int targets;
    const std::string& message;
  } cases[] = {
      {1ull << 20, 4.0, 1, too_little},  // c = 0
      {256ull << 20, 0.0, 2, alloc},     // no RAM per task
  };
  for (auto& c : cases) {
    dialog_log_s dialogs;
    dialogs.install();
    plotter_s* p = plotter_create();
    p->settings.min_ram_gb_per_task = c.per_task;
    plotter_set_ram_double_buffer(p, 0);
    plotter_add_job(p, job_create(d.get(), nullptr, 7, 0, 256));
    plotter_start(p, 0, 0, c.targets, c.ram);
    EXPECT_FALSE(p->thread.joinable());
    std::vector<std::string> lines = dialogs.get();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(c.message, 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].find("lower max RAM") == std::string::npos, &c.message == &too_little) << lines[0];
    EXPECT_EQ(lines[1], "exit");
    plotter_destroy(p);
  }
}

TEST(run_plan, start_refuses_a_scatter_with_a_gap) {
  temp_dir_s dir("engine_plan", true);
  std::unique_ptr<drive_s> ssd = make_drive(dir.file("ssd"), true), hdd = make_drive(dir.file("hdd"));
  dialog_log_s dialogs;
  dialogs.install();
  plotter_s* p = plotter_create();
  plotter_set_ram_double_buffer(p, 0);
  plotter_set_ssd_scatter(p, true);
  plotter_add_job(p, job_create(ssd.get(), hdd.get(), 7, 0, 256));
  plotter_add_job(p, job_create(ssd.get(), hdd.get(), 7, 512, 256));
  plotter_start(p, 0, 1, 1, (64ull << 20) + plot_cpu_work_bytes(plot_cpu_thread_count(p->settings.cpu_threads)));
  EXPECT_FALSE(p->thread.joinable());
  std::vector<std::string> lines = dialogs.get();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "M:Error|Cannot SSD scatter to a non-contiguous nonce range. If you hit this let me know and I can "
            "handle this better.");
  plotter_destroy(p);
}

// The RAM limit covers everything a CPU run allocates: the batch buffers and
// the workers' work areas beside them; the smallest limit that holds one
// batch of 256 nonces and the work areas still plots.
TEST(run_plan, ram_limit_covers_buffers_and_work_areas) {
  temp_dir_s dir("engine_plan", true);
  std::unique_ptr<drive_s> d = make_drive(dir.path);
  const uint64_t work = plot_cpu_work_bytes(2);
  EXPECT_GE(work, 3 * 2 * 4 * 262144u) << "two lane groups of four or more lanes per worker";
  for (uint64_t limit : {128ull << 20, (64ull << 20) + work, 1ull << 30}) {
    SCOPED_TRACE(limit);
    dialog_log_s dialogs;
    dialogs.install();
    plotter_s* p = plotter_create();
    p->settings.cpu_threads = 2;
    plotter_set_ram_double_buffer(p, 0);
    plotter_add_job(p, job_create(d.get(), nullptr, 7, 0, 256));
    plotter_start(p, 0, 0, 1, limit);
    ASSERT_TRUE(p->thread.joinable());
    EXPECT_GE(p->nonces_per_buffer, 256u);
    EXPECT_LE(p->nonces_per_buffer * NONCE + work, limit);
    EXPECT_TRUE(run_until_finished(p));
    plotter_destroy(p);
    unlink((dir.path + "/7_0_256").c_str());
  }
}

// The plan's log names the staging folder each file goes through (a volume
// name says nothing: on this platform every drive has the same one), once
// per file, and says what its RAM limit covers.
TEST(run_plan, plan_log_names_the_staging_folder_of_each_file) {
  temp_dir_s dir("engine_plan", true);
  std::unique_ptr<drive_s> one = make_drive(dir.file("ssd_one"), true), two = make_drive(dir.file("ssd_two"), true),
                           hdd = make_drive(dir.file("hdd"));
  dialog_log_s dialogs;
  dialogs.install();
  plotter_s* p = plotter_create();
  p->settings.cpu_threads = 2;
  plotter_set_ram_double_buffer(p, 0);
  plotter_add_job(p, job_create(one.get(), hdd.get(), 7, 0, 256));
  plotter_add_job(p, job_create(two.get(), hdd.get(), 7, 256, 256));
  testing::internal::CaptureStderr();
  plotter_start(p, 0, 2, 1, ram_for_buffers(2 * (64ull << 20), 2));  // a buffer for each SSD
  bool finished = p->thread.joinable() && run_until_finished(p);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(finished) << log;
  auto count = [&log](const std::string& what) {
    size_t n = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) n++;
    return n;
  };
  const struct {
    std::string line;
    size_t times;
  } lines[] = {
      {"  " + dir.file("hdd/7_0_256") + " (buffered through " + dir.file("ssd_one") + ")\n", 1},
      {"  " + dir.file("hdd/7_256_256") + " (buffered through " + dir.file("ssd_two") + ")\n", 1},
      {"No name", 0},
      // The limit is what the plan allocates, not the whole process (the
      // window's toolkit comes on top).
      {"Restricting system memory usage of plot buffers and work areas to ", 1},
  };
  for (const auto& l : lines) EXPECT_EQ(count(l.line), l.times) << l.line << "\n" << log;
  EXPECT_TRUE(file_exists(dir.file("hdd/7_0_256")) && file_exists(dir.file("hdd/7_256_256")));
  plotter_destroy(p);
}

// Every work-group size of the documented range, whatever the RAM, the
// sectors and the limits of the devices and their kernels, gives a device
// batch of whole groups of the size that runs and a buffer of whole sectors
// within the RAM that holds at least one pass of the devices.
TEST(run_plan, every_documented_work_group_size_gives_a_batch) {
  const uint64_t MiB = 1ull << 20;
  const uint64_t groups[] = {32, 96, 256, 512, 1000, 1021, 1024};
  const uint64_t rams[] = {128 * MiB, 256 * MiB, 1 * GiB, 7 * GiB, 64 * GiB};
  const uint64_t kernel_limits[] = {4096, 1024, 256, 64};
  const uint64_t alignments[] = {4, 64, 256};
  for (uint64_t setting : groups)
    for (uint64_t ram : rams)
      for (uint64_t kernels : kernel_limits)
        for (uint64_t a : alignments)
          for (int gpus : {1, 3})
            for (uint64_t buffers : {1, 2}) {
              SCOPED_TRACE(testing::Message() << "group " << setting << ", RAM " << ram / MiB << " MiB, kernels "
                                              << kernels << ", a " << a << ", " << gpus << " GPUs, " << buffers
                                              << " buffers");
              const uint64_t runs = std::min(setting, kernels);  // as gpu_devices_work_group gives it
              const plan_gpu_geometry_s g =
                  plan_gpu_geometry(ram, gpus, buffers, 8 * GiB, 16 * GiB, 0, 0, runs, a);
              ASSERT_NE(g.f, 0u);
              EXPECT_LE(g.group, runs);
              EXPECT_EQ(g.f % g.group, 0u);
              EXPECT_EQ(g.f % g.granule, 0u);
              // A set of f nonces launches exactly this size.
              EXPECT_TRUE(g.group == runs || g.group == g.f);
              const uint64_t c = plan_gpu_batch(ram, gpus, buffers, g.f, a);
              EXPECT_EQ(c % a, 0u);
              EXPECT_GE(c, gpus * g.f);
              EXPECT_LE((c * buffers) << 18, ram);
              for (uint64_t f = plan_gpu_halve(g.f, g.granule); f != 0; f = plan_gpu_halve(f, g.granule)) {
                EXPECT_EQ(f % g.group, 0u);
                const uint64_t half = plan_gpu_batch(ram, gpus, buffers, f, a);
                EXPECT_EQ(half % a, 0u);
                EXPECT_LE((half * buffers) << 18, ram);
              }
            }
}

// The automatic choice says in one line which mode it took and why: the
// estimates and the figures behind them, the write drive's as its batches
// of an earlier run measured them once there was one.
TEST(run_plan, automatic_buffering_says_why_and_uses_the_measured_drive) {
  temp_dir_s dir("engine_plan", true);
  std::unique_ptr<drive_s> d = make_drive(dir.path);
  const uint64_t work = plot_cpu_work_bytes(2);
  write_cost_s w{};
  EXPECT_FALSE(drive_write_figures(d.get(), &w));
  const struct {
    uint64_t limit;
    const char* why;
  } runs[] = {
      {(256ull << 20) + work, "assumed"},
      {(64ull << 20) + work, "the RAM holds one batch per job, not two"},
      {(256ull << 20) + work, "as measured"},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.why);
    dialog_log_s dialogs;
    dialogs.install();
    plotter_s* p = plotter_create();
    p->settings.cpu_threads = 2;
    plotter_add_job(p, job_create(d.get(), nullptr, 7, 0, 512));
    testing::internal::CaptureStderr();
    plotter_start(p, 0, 0, 1, run.limit);
    bool finished = p->thread.joinable() && run_until_finished(p);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(finished) << log;
    size_t at = log.find("Determined ");
    ASSERT_NE(at, std::string::npos) << log;
    std::string line = log.substr(at, log.find('\n', at) - at);
    EXPECT_NE(line.find(" buffered RAM will be faster overall for your configuration"), std::string::npos) << line;
    EXPECT_NE(line.find(run.why), std::string::npos) << line;
    plotter_destroy(p);
    unlink((dir.path + "/7_0_512").c_str());
  }
  EXPECT_TRUE(drive_write_figures(d.get(), &w));
  EXPECT_GT(w.row_cost, 0);
  EXPECT_GE(w.batch_cost, 0);
}
