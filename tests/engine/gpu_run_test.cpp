// Runs on the GPU path, on the CPU-type OpenCL device the test suite admits
// (PoCL): a whole file equals the CPU's nonces, and a GPU that keeps failing
// goes through recovery and, after the fall-back question, ends on the CPU.
#include "gpu/gpu.h"
#include "gpu/opencl.h"
#include "tests/engine/engine_fixture.h"
#include "tests/engine/pocl_device.h"

namespace {

cl_int failing_enqueue(cl_command_queue, cl_kernel, cl_uint, const size_t*, const size_t*, const size_t*, cl_uint,
                       const cl_event*, cl_event*) {
  return CL_OUT_OF_RESOURCES;
}

// Kernel launches that fail once fail_launches is set, and work before.
std::atomic<bool> fail_launches{false};
decltype(g_opencl_api.clEnqueueNDRangeKernel) real_enqueue = nullptr;
cl_int enqueue_until_failing(cl_command_queue q, cl_kernel k, cl_uint d, const size_t* o, const size_t* g,
                             const size_t* l, cl_uint n, const cl_event* w, cl_event* e) {
  if (fail_launches) return CL_OUT_OF_RESOURCES;
  return real_enqueue(q, k, d, o, g, l, n, w, e);
}

// The fall-back question after launches that fail with CL_OUT_OF_RESOURCES:
// it names the error, the call and the device.
std::string launch_failure_question() {
  return std::string("Q:Error|Failed to recover GPU device after CL_OUT_OF_RESOURCES (-5) from "
                     "clEnqueueNDRangeKernel (setup) on GPU 0 (") +
         g_gpu_devices[0].name + ").\nFall back to CPU processing?";
}

struct gpu_run_fixture : ::testing::Test {
  temp_dir_s dir{"engine_gpu", true};
  dialog_log_s dialogs;
  plotter_s* p = nullptr;
  std::unique_ptr<drive_s> d;

  void SetUp() override {
    if (!opencl_device_listed()) GTEST_SKIP() << "no OpenCL device (pocl-opencl-icd)";
    ASSERT_FALSE(dir.path.empty());
    dialogs.install();
    d = make_drive(dir.file("hdd"));
    p = plotter_create();
  }
  void TearDown() override { plotter_destroy(p); }

  // The plan's GPU effects for one device batch of 256 nonces per buffer.
  void start_gpu() {
    p->gpu_mask = 1;
    p->gpu_count = 1;
    p->gpu_index[0] = 0;
    p->gpu_context = gpu_create(1, p->gpu_index, 256, p->settings);
    ASSERT_NE(p->gpu_context, nullptr);
    p->double_buffer = 0;
    p->nonces_per_buffer = 256;
    p->free_buffers.push_back(buffer_create(256));
    p->thread = std::thread(thread_proc, p);
  }
};

}  // namespace

TEST_F(gpu_run_fixture, file_plotted_on_the_gpu_equals_the_cpu_nonces) {
  plotter_add_job(p, job_create(d.get(), nullptr, 7, 4096, 256));
  start_gpu();
  ASSERT_TRUE(run_until_finished(p));
  EXPECT_NE(p->gpu_mask, 0u);  // no fall-back happened
  std::string path = std::string(d->path) + "/7_4096_256";
  expect_plot_nonces(path, 7, 4096, 256, {0, 1, 31, 32, 128, 255});
  EXPECT_TRUE(dialogs.get().empty());
}

// Every failure is told by its name and number, with the call and the
// device, in the log and in the question.
TEST_F(gpu_run_fixture, failing_gpu_recovers_then_falls_back_to_the_cpu) {
  opencl_api_s saved = g_opencl_api;
  g_opencl_api.clEnqueueNDRangeKernel = failing_enqueue;
  plotter_add_job(p, job_create(d.get(), nullptr, 7, 0, 256));
  testing::internal::CaptureStderr();
  start_gpu();
  const bool finished = run_until_finished(p);
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(finished);
  g_opencl_api = saved;
  std::vector<std::string> lines = dialogs.get();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], launch_failure_question());
  const std::string told = std::string("OpenCL error CL_OUT_OF_RESOURCES (-5) from clEnqueueNDRangeKernel (setup) on GPU 0 (") +
                           g_gpu_devices[0].name + ")\n";
  EXPECT_NE(log.find(told), std::string::npos) << log;
  EXPECT_EQ(log.find("error -5"), std::string::npos) << log;
  // The question is in the log as one line, once.
  std::string asked = launch_failure_question().substr(std::string("Q:Error|").size());
  asked.replace(asked.find('\n'), 1, " ");
  size_t at = log.find(asked + "\n");
  EXPECT_NE(at, std::string::npos) << log;
  if (at != std::string::npos) {
    EXPECT_EQ(log.find(asked, at + 1), std::string::npos) << log;
  }
  EXPECT_EQ(p->gpu_mask, 0u);
  EXPECT_EQ(p->gpu_count, 0);
  expect_plot_nonces(std::string(d->path) + "/7_0_256", 7, 0, 256, {0, 255});
}

// A close while the work thread waits for the fall-back answer abandons the
// wait: a stop like any close, with no exit, so that the UI thread can save
// the settings and the resume data once it has joined the run.
TEST_F(gpu_run_fixture, close_during_the_fall_back_question_is_a_stop) {
  opencl_api_s saved = g_opencl_api;
  g_opencl_api.clEnqueueNDRangeKernel = failing_enqueue;
  plotter_add_job(p, job_create(d.get(), nullptr, 7, 0, 256));
  plotter_dialogs_s closing;
  closing.question = [this](const char* title, const char* text) {
    dialogs.add(std::string("Q:") + title + "|" + text);
    p->keep_files = true;
    plotter_request_stop(&p->stop);
    return false;  // what an abandoned wait answers
  };
  closing.exit_error = [this] { dialogs.add("exit"); };
  plotter_set_dialogs(closing);
  start_gpu();
  ASSERT_TRUE(wait_for_run(p, [this] { return !dialogs.get().empty(); }));
  plotter_stop(p, true);
  g_opencl_api = saved;
  EXPECT_EQ(dialogs.get(), std::vector<std::string>{launch_failure_question()});
  EXPECT_TRUE(file_exists(std::string(d->path) + "/7_0_256.plotting"));
  EXPECT_FALSE(plotter_is_finished(p));
}

// "No" to the fall-back question ends the process: the write of the batch
// before the failure must have ended by then, not still be writing at exit.
TEST_F(gpu_run_fixture, no_to_the_fall_back_question_leaves_no_write_running_at_exit) {
  opencl_api_s saved = g_opencl_api;
  real_enqueue = saved.clEnqueueNDRangeKernel;
  fail_launches = false;
  g_opencl_api.clEnqueueNDRangeKernel = enqueue_until_failing;
  job_s* job = job_create(d.get(), nullptr, 7, 0, 768);
  plotter_add_job(p, job);
  int running_at_exit = -1;
  plotter_dialogs_s declining;
  declining.question = [this](const char* title, const char* text) {
    dialogs.add(std::string("Q:") + title + "|" + text);
    return false;
  };
  // Runs on the work thread, the only one that touches the futures.
  declining.exit_error = [this, &running_at_exit] {
    running_at_exit = 0;
    for (job_s* j : p->jobs) running_at_exit += j->write_future.valid() + j->move_future.valid();
    dialogs.add("exit");
  };
  plotter_set_dialogs(declining);
  start_gpu();
  // The first batch is on its way to the file; the GPU breaks for the next.
  ASSERT_TRUE(wait_for_run(p, [job] { return job->nonces_done.load() >= 256; }));
  fail_launches = true;
  ASSERT_TRUE(wait_for_run(p, [this] { return dialogs.get().size() >= 2; }));
  plotter_stop(p, true);
  g_opencl_api = saved;
  EXPECT_EQ(dialogs.get(),
            (std::vector<std::string>{launch_failure_question(), "exit"}));
  EXPECT_EQ(running_at_exit, 0);
}
