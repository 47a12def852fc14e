// The processing screen painted again and again on this (the UI) thread
// while real runs go on: direct, staged with a move, scattered, and on the
// GPU path. Under ThreadSanitizer every field the screen reads without its
// owner's protection, and every buffer it follows after the work thread
// freed it, is reported; in the other builds the runs must still end with
// complete files while the screen watches.
#include <cairo.h>

#include <condition_variable>
#include <mutex>

#include "app/drives.h"
#include "app/settings.h"
#include "app/startup.h"
#include "app/ui_processing.h"
#include "tests/engine/engine_fixture.h"
#include "tests/engine/pocl_device.h"
#include "tests/ui/surface_window.h"

namespace {

struct live_screen_fixture : ::testing::Test {
  temp_dir_s dir{"live_screen", true};
  dialog_log_s dialogs;
  surface_window_s sw{640, 480};

  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    dialogs.install();
    g_window = &sw.w;
    g_plotter = plotter_create();
    sys_time_start();
  }
  void TearDown() override {
    plotter_destroy(g_plotter);
    g_plotter = nullptr;
    g_window = nullptr;
    g_ssds.clear();
    g_drives.clear();
    g_drive_rate_graphs.clear();
  }
  drive_s* add_drive(std::vector<drive_s>& list, const char* name, bool ssd) {
    list.push_back(*make_drive(dir.file(name), ssd));
    return &list.back();
  }
  void add_job(drive_s* w, drive_s* m, uint64_t start, uint64_t n) {
    plotter_add_job(g_plotter, job_create(w, m, 7, start, n));
  }
  // Paints and runs the UI tasks, as the main loop does, until the run ends.
  int paint_until_finished() {
    int paints = 0;
    bool finished = wait_for_run(g_plotter, [&] {
      paint_cb(nullptr);
      paints++;
      ui_tasks_run();
      return g_plotter->finished;
    });
    EXPECT_TRUE(finished);
    return paints;
  }
  std::string path(const drive_s* d, uint64_t start, uint64_t n) {
    return std::string(d->path) + "/7_" + std::to_string(start) + "_" + std::to_string(n);
  }
};

struct cpu_run_case_s {
  const char* name;  // also names the case's drive folders
  bool staged;
  bool scatter;
};

const cpu_run_case_s cpu_runs[] = {
    {"direct", false, false},
    {"moved", true, false},
    {"scattered", true, true},
};

}  // namespace

// Two files per run, one buffer of 256 nonces in single buffering: the
// write task swaps the job's buffers and the work thread frees the
// placeholder at the end of every file while the screen draws them.
TEST_F(live_screen_fixture, cpu_runs_drawn_while_they_go_on) {
  for (const cpu_run_case_s& c : cpu_runs) {
    SCOPED_TRACE(c.name);
    g_ssds.clear();
    g_drives.clear();
    g_drive_rate_graphs.clear();
    g_ssds.reserve(1);
    g_drives.reserve(1);
    drive_s* ssd = c.staged ? add_drive(g_ssds, (std::string(c.name) + "_ssd").c_str(), true) : nullptr;
    drive_s* hdd = add_drive(g_drives, (std::string(c.name) + "_hdd").c_str(), false);
    add_job(ssd ? ssd : hdd, ssd ? hdd : nullptr, 0, 256);
    add_job(ssd ? ssd : hdd, ssd ? hdd : nullptr, 256, 256);
    plotter_set_ram_double_buffer(g_plotter, 0);
    plotter_set_ssd_scatter(g_plotter, c.scatter);
    plotter_start(g_plotter, 0, ssd ? 1 : 0, 1, ram_for_buffers(64ull << 20));
    ASSERT_TRUE(plotter_is_running(g_plotter));
    EXPECT_GT(paint_until_finished(), 1);
    if (c.scatter) {
      EXPECT_EQ(file_size(path(hdd, 0, 512)), 512 * NONCE);
    } else {
      EXPECT_EQ(file_size(path(hdd, 0, 256)), 256 * NONCE);
      EXPECT_EQ(file_size(path(hdd, 256, 256)), 256 * NONCE);
    }
    EXPECT_EQ(drive_bytes_in(hdd), 512 * NONCE);
    plotter_destroy(g_plotter);
    g_plotter = plotter_create();
  }
  EXPECT_TRUE(dialogs.get().empty());
}

TEST_F(live_screen_fixture, gpu_run_drawn_while_it_goes_on) {
  if (!opencl_device_listed()) GTEST_SKIP() << "no OpenCL device (pocl-opencl-icd)";
  drive_s* hdd = add_drive(g_drives, "hdd", false);
  add_job(hdd, nullptr, 0, 256);
  add_job(hdd, nullptr, 256, 256);
  // The plan's GPU effects for one device batch of 256 nonces per buffer.
  plotter_s* p = g_plotter;
  p->gpu_mask = 1;
  p->gpu_count = 1;
  p->gpu_index[0] = 0;
  p->gpu_context = gpu_create(1, p->gpu_index, 256, p->settings);
  ASSERT_NE(p->gpu_context, nullptr);
  p->double_buffer = 0;
  p->nonces_per_buffer = 256;
  p->free_buffers.push_back(buffer_create(256));
  p->thread = std::thread(thread_proc, p);
  EXPECT_GT(paint_until_finished(), 1);
  EXPECT_NE(p->gpu_mask, 0u);  // the run stayed on the GPU path
  EXPECT_EQ(file_size(path(hdd, 256, 256)), 256 * NONCE);
  EXPECT_TRUE(dialogs.get().empty());
}

namespace {

cl_int failing_enqueue(cl_command_queue, cl_kernel, cl_uint, const size_t*, const size_t*, const size_t*, cl_uint,
                       const cl_event*, cl_event*) {
  return CL_OUT_OF_RESOURCES;
}

// Texts of the last frame, joined.
std::string frame_texts() {
  std::string all;
  for (const drawn_text_s& t : g_processing_texts) all += t.text + "\n";
  return all;
}

}  // namespace

// The run was to plot on the GPU, which fails every launch: after the
// fall-back the screen names the processor that computes, the CPU, and no
// longer the GPU that was selected.
TEST_F(live_screen_fixture, after_a_fall_back_the_screen_names_the_cpu) {
  if (!opencl_device_listed()) GTEST_SKIP() << "no OpenCL device (pocl-opencl-icd)";
  char gpu_name[GPU_NAME_MAX] = "Stand-in GPU";
  char* saved_name = g_gpu_names[0];
  const uint32_t saved_gpus = g_gpus;
  const int saved_count = g_gpu_count;
  char saved_brand[CPU_BRAND_MAX];
  memcpy(saved_brand, g_cpu_brand, sizeof saved_brand);
  snprintf(g_cpu_brand, sizeof g_cpu_brand, "Stand-in CPU");
  g_gpu_names[0] = gpu_name;
  g_gpus = 1;
  g_gpu_count = 1;
  opencl_api_s saved = g_opencl_api;

  drive_s* hdd = add_drive(g_drives, "hdd", false);
  add_job(hdd, nullptr, 0, 256);
  plotter_s* p = g_plotter;
  p->gpu_mask = 1;
  p->gpu_count = 1;
  p->gpu_index[0] = 0;
  p->gpu_context = gpu_create(1, p->gpu_index, 256, p->settings);
  ASSERT_NE(p->gpu_context, nullptr);
  p->double_buffer = 0;
  p->nonces_per_buffer = 256;
  p->free_buffers.push_back(buffer_create(256));
  paint_cb(nullptr);
  EXPECT_NE(frame_texts().find("Stand-in GPU"), std::string::npos) << frame_texts();
  g_opencl_api.clEnqueueNDRangeKernel = failing_enqueue;
  p->thread = std::thread(thread_proc, p);
  paint_until_finished();
  g_opencl_api = saved;
  paint_cb(nullptr);
  const std::string texts = frame_texts();
  ASSERT_EQ(dialogs.get().size(), 1u);
  EXPECT_EQ(dialogs.get()[0].rfind("Q:Error|Failed to recover GPU device after CL_OUT_OF_RESOURCES (-5) from ", 0), 0u)
      << dialogs.get()[0];
  EXPECT_NE(texts.find("Stand-in CPU"), std::string::npos) << texts;
  EXPECT_EQ(texts.find("Stand-in GPU"), std::string::npos) << texts;
  EXPECT_EQ(file_size(path(hdd, 0, 256)), 256 * NONCE);

  g_gpu_names[0] = saved_name;
  g_gpus = saved_gpus;
  g_gpu_count = saved_count;
  memcpy(g_cpu_brand, saved_brand, sizeof saved_brand);
}

// The clock started just before its wrap falls back to near 0 while the run
// is drawn: the compute graph keeps adding samples with their rates, and
// the run's own clock counts on across the wrap.
TEST_F(live_screen_fixture, run_drawn_across_a_wrap_of_the_clock) {
  const double wrap = 4294967.296;  // 2^32 ms
  drive_s* hdd = add_drive(g_drives, "hdd", false);
  add_job(hdd, nullptr, 0, 256);
  add_job(hdd, nullptr, 256, 256);
  plotter_set_ram_double_buffer(g_plotter, 0);
  plotter_toggle_pause(g_plotter);  // no work before the wrap
  plotter_start(g_plotter, 0, 0, 1, ram_for_buffers(64ull << 20));
  g_rate_graphs[0] = rate_graph_s{};
  auto started = std::chrono::steady_clock::now();
  sys_time_start_at(wrap - 1.0);
  elapsed_clock_start(&g_run_clock);
  ASSERT_TRUE(wait_until(
      [] {
        paint_cb(nullptr);
        ui_tasks_run();
        return sys_time() < 1000.0;
      },
      120));
  size_t before = g_rate_graphs[0].samples.size();
  plotter_toggle_pause(g_plotter);
  paint_until_finished();
  const std::vector<rate_sample_s>& samples = g_rate_graphs[0].samples;
  EXPECT_GT(samples.size(), before);
  bool rate_after_wrap = false;
  for (size_t i = before; i < samples.size(); i++) rate_after_wrap |= samples[i].time < 1000.0 && samples[i].rate > 0;
  EXPECT_TRUE(rate_after_wrap);
  double run = elapsed_clock_read(&g_run_clock);
  EXPECT_GE(run, 0.9);
  EXPECT_LE(run, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() + 0.01);
  EXPECT_EQ(file_size(path(hdd, 256, 256)), 256 * NONCE);
  sys_time_start();
}

// A paused run with more targets than one page of columns shows: the
// hidden drives' graphs are never drawn, and no graph has a top rate while
// nothing moves. Fed for longer than the graphs' horizon, every one of them
// still stays under the bound that the horizon and the sample spacing give.
TEST_F(live_screen_fixture, paused_run_with_hidden_drive_pages_keeps_every_graph_bounded) {
  const int targets = 13;  // three pages of columns at 640 px
  g_drives.reserve(targets);
  for (int i = 0; i < targets; i++) add_drive(g_drives, ("hdd" + std::to_string(i)).c_str(), false);
  add_job(&g_drives[0], nullptr, 0, 256);
  plotter_set_ram_double_buffer(g_plotter, 0);
  plotter_toggle_pause(g_plotter);
  plotter_start(g_plotter, 0, 0, 1, ram_for_buffers(64ull << 20));  // one job: one task
  ASSERT_TRUE(plotter_is_running(g_plotter));
  g_rate_graphs[0] = rate_graph_s{};
  // One paint every 0.3 s of program time for 650 s.
  const double step = 0.3, length = 650;
  for (double t = 1; t < length; t += step) {
    sys_time_start_at(t);
    paint_cb(nullptr);
  }
  const size_t bound = 512 * 4 + 3;  // 512 s at 4 samples a second, and three older ones
  EXPECT_LE(g_rate_graphs[0].samples.size(), bound);
  for (int i = 0; i < targets; i++) {
    const rate_graph_s& g = g_drive_rate_graphs[&g_drives[i]];
    EXPECT_LE(g.samples.size(), bound) << "drive " << i;
    ASSERT_FALSE(g.samples.empty()) << "drive " << i;
    EXPECT_GT(g.samples.back().time, length - 1) << "drive " << i;
  }
  sys_time_start();
}

// A close confirmed during a run never waits for the run on the UI thread:
// the work thread is held here in a message that waits for its answer, and
// the screen goes on painting what the run is finishing until it has ended.
TEST_F(live_screen_fixture, close_leaves_the_screen_painting_while_the_run_ends) {
  drive_s* hdd = add_drive(g_drives, "hdd", false);
  add_job(hdd, nullptr, 0, 256);
  std::mutex m;
  std::condition_variable cv;
  bool held = false, released = false;
  plotter_dialogs_s hold;
  hold.message = [&](const char*, const char*) {
    std::unique_lock<std::mutex> lock(m);
    held = true;
    cv.notify_all();
    cv.wait(lock, [&] { return released; });
  };
  hold.exit_error = [this] { dialogs.add("exit"); };
  plotter_set_dialogs(hold);
  // A buffer missing from the pool stops the first job at "Memory Error".
  plotter_s* p = g_plotter;
  p->double_buffer = 0;
  p->nonces_per_buffer = 256;
  p->free_buffers.push_back(nullptr);
  p->thread = std::thread(thread_proc, p);
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::minutes(5), [&] { return held; }));
  }
  // Should the close wait for the run, only this answers the message.
  std::atomic<bool> returned{false};
  std::thread answer([&] {
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, std::chrono::seconds(30), [&] { return returned.load(); });
    released = true;
    cv.notify_all();
  });
  bool closed = false;
  close_run(true, [&closed] { closed = true; });
  bool returned_before_answer;
  {
    std::lock_guard<std::mutex> lock(m);
    returned_before_answer = !released;
    returned = true;
  }
  cv.notify_all();
  EXPECT_TRUE(returned_before_answer) << "the close waited for the run on the UI thread";
  if (returned_before_answer) {
    EXPECT_FALSE(closed);
    paint_cb(nullptr);
    bool finishing = false;
    for (const drawn_text_s& t : g_processing_texts) finishing |= t.text.rfind("Finishing", 0) == 0;
    EXPECT_TRUE(finishing) << "the screen does not say what the close waits for";
  }
  answer.join();
  EXPECT_TRUE(wait_until([&] {
    g_main_context_iteration(nullptr, FALSE);
    ui_tasks_run();
    return closed;
  }));
  EXPECT_FALSE(p->thread.joinable());
  EXPECT_EQ(plotter_job_count(p), 1u);  // kept for the resume data
  EXPECT_EQ(dialogs.get(), std::vector<std::string>{});  // no exit
}

// Pause takes effect when the work thread holds, which it does only after
// the batch being hashed: until then the button says so instead of offering
// a Resume of a run that still computes.
TEST_F(live_screen_fixture, pause_says_pausing_until_the_batch_in_flight_has_ended) {
  drive_s* hdd = add_drive(g_drives, "hdd", false);
  add_job(hdd, nullptr, 0, 256);
  g_plotter->settings.cpu_threads = 1;  // a batch long enough to be paused in
  plotter_set_ram_double_buffer(g_plotter, 0);
  plotter_start(g_plotter, 0, 0, 1, ram_for_buffers(64ull << 20, 1));
  ASSERT_TRUE(plotter_is_running(g_plotter));
  auto computing = [] {
    plotter_snapshot_s s;
    plotter_snapshot(g_plotter, &s);
    return !s.jobs.empty() && s.jobs[0].compute_progress > 0;
  };
  ASSERT_TRUE(wait_for_run(g_plotter, computing));
  auto button = [] {
    paint_cb(nullptr);
    for (const drawn_text_s& t : g_processing_texts)
      if (t.text == "Pause" || t.text == "Resume" || t.text == "Pausing\u2026") return t.text;
    return std::string();
  };
  EXPECT_EQ(button(), "Pause");
  plotter_toggle_pause(g_plotter);
  plotter_snapshot_s s;
  plotter_snapshot(g_plotter, &s);
  if (s.jobs[0].compute_progress < s.jobs[0].compute_capacity) {
    EXPECT_EQ(button(), "Pausing\u2026");
  }
  EXPECT_TRUE(wait_for_run(g_plotter, [&] { return button() == "Resume"; }));
  plotter_stop(g_plotter, false);
}
