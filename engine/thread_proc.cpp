// The work thread of a run: passes over the job list again and again and
// moves each job on by its state until every file is finished (or the run is
// stopped), then collects every task it started.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>

#include "engine/engine_internal.h"
#include "engine/plot_file.h"
#include "engine/plotter.h"
#include "gpu/gpu.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "plot/plt_cpu.h"

namespace {

// What one pass has seen so far, and what the run's own stops were.
struct pass_s {
  double now;
  bool all_done;
  bool work;
  bool end_pass;   // the rest of the list waits for the next pass
  bool self_stop;  // the stop was set by this thread (its files are kept)
  int gpu_failures;  // GPU batches failed since the last one that worked
};

void sleep_seconds(double s) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(s);
  ts.tv_nsec = static_cast<long>((s - ts.tv_sec) * 1e9);
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

bool future_ready(std::future<void>& f, std::chrono::microseconds wait) {
  return f.wait_for(wait) == std::future_status::ready;
}

void stop_run(plotter_s* p, pass_s* pass) {
  pass->self_stop = true;
  pass->end_pass = true;
  plotter_request_stop(&p->stop);
}

void report_file_error(const char* what, const char* path, int err, const char* kept) {
  report_s r;
  r.what = what;
  r.path = path;
  r.reason = report_reason(err);
  r.kept = kept;
  engine_post_file_error(r);
}

void plotting_path(job_s* job, char* out) {
  job_path(job, PLOT_PATH_MAX, out, 0);
  text_append(PLOT_PATH_MAX, out, PLOT_FILE_PLOTTING);
}

// A context is only usable when every device came up: gpu_create hands back
// a set with null handles for a device that failed, which would fail every
// batch and recover again forever.
bool gpu_context_usable(const gpu_s* gpu) {
  if (!gpu || gpu->count <= 0) return false;
  for (int i = 0; i < gpu->count; i++)
    if (!gpu->queue[i] || !gpu->kernel_final[i] || !gpu->scoopbuf[i]) return false;
  return true;
}

// Waits until every write and move task of the run has ended.
void collect_tasks(plotter_s* p) {
  for (job_s* job : p->jobs) {
    if (job->write_future.valid()) job->write_future.get();
    if (job->move_future.valid()) job->move_future.get();
  }
}

// Ends the process from this thread on an error the run cannot go on from;
// the stop ends the run's tasks first, so that none still writes at exit.
void exit_from_run(plotter_s* p, pass_s* pass) {
  stop_run(p, pass);
  collect_tasks(p);
  engine_exit_error();
}

void gpu_recover(plotter_s* p, job_s* job, pass_s* pass) {
  sys_log("Attempting to recover from GPU failure.\n");
  sys_log("  Recreating OpenCL device context\n");
  job->compute_buffer->progress.exchange(0);
  uint64_t n = gpu_batch_nonces(p->gpu_context);
  // The new context's launches are bounded by the rate the old one measured.
  double device_rate = p->gpu_context ? p->gpu_context->device_rate : 0;
  // And it launches the work groups the plan made the batch of.
  uint64_t group = p->gpu_context ? p->gpu_context->work_group : 0;
  util_assert(n <= p->nonces_per_buffer, false, __FILE__, __LINE__);
  gpu_destroy(p->gpu_context);
  p->gpu_context = nullptr;
  // A fresh context that fails its very next batch again is no recovery:
  // without this the run would recreate contexts forever without progress.
  if (pass->gpu_failures < 2) p->gpu_context = gpu_create(p->gpu_count, p->gpu_index, n, p->settings);
  if (p->gpu_context) {
    p->gpu_context->device_rate = device_rate;
    if (group != 0) gpu_choose_work_group(p->gpu_context, group);
  }
  if (gpu_context_usable(p->gpu_context)) return;
  gpu_destroy(p->gpu_context);
  {
    // The processing screen names the processors from these.
    std::lock_guard<std::mutex> lock(p->mutex);
    p->gpu_context = nullptr;
    p->gpu_mask = 0;
    p->gpu_count = 0;
  }
  // The question tells the failure that made the run give the GPU up.
  const std::string why = gpu_last_failure();
  const std::string text = why.empty() ? std::string("Failed to recover GPU device. Fall back to CPU processing?")
                                       : "Failed to recover GPU device after " + why +
                                             ".\nFall back to CPU processing?";
  report_s r;
  r.what = text;
  bool yes = report_ask_user(
      r, [p](const char* title, const char* t) { return engine_question(true, &p->stop, title, t); });
  if (!yes && plotter_stop_requested(&p->stop)) {
    // The wait was abandoned because the window is closing: that is a stop
    // like any close (the UI thread joins this one and then saves the
    // settings and the resume data), not the user's "No".
    pass->end_pass = true;
    return;
  }
  if (!yes) {
    exit_from_run(p, pass);
    return;
  }
  sys_log("  Falling back to CPU mode\n");
}

// State 2: the last batch is on disk; make it durable under its final name
// and give back what the job holds.
void visit_written(plotter_s* p, job_s* job, pass_s* pass) {
  // The write task's last act was the state change; collecting its future
  // here costs nothing and leaves no task behind that still owns the job.
  if (job->write_future.valid()) job->write_future.get();
  util_assert(job->fd != 0, false, __FILE__, __LINE__);
  char final_path[PLOT_PATH_MAX];
  char temp_path[PLOT_PATH_MAX];
  job_path(job, PLOT_PATH_MAX, final_path, 0);
  plotting_path(job, temp_path);
  if (!plot_file_finish(job->fd, temp_path, final_path)) {
    // The file keeps its unfinished name and its data; a resume finds it.
    int err = errno;
    job->fd = 0;
    stop_run(p, pass);
    report_file_error("Could not finish file:", temp_path, err, ENGINE_KEPT_PLOTTING);
    return;
  }
  sys_log("Writing to %llu complete.\n", (unsigned long long)job->start_nonce);

  std::lock_guard<std::mutex> lock(p->mutex);
  job->fd = 0;
  drive_s* w = job->write_drive;
  util_assert(w->job_writing_in == job, false, __FILE__, __LINE__);
  w->job_writing_in = nullptr;
  plotter_release_buffer(p, job->compute_buffer);
  plotter_release_buffer(p, job->write_buffer);
  job->compute_buffer = nullptr;
  job->write_buffer = nullptr;
  job->state = job->move_drive ? JOB_STAGED : JOB_DONE;
}

// State 3: a complete staged file waits for its target's writing slot.
void visit_staged(plotter_s* p, job_s* job, pass_s* pass) {
  pass->all_done = false;
  // A move stopped or failed puts its job back here; the run is ending.
  if (plotter_stop_requested(&p->stop)) return;
  drive_s* m = job->move_drive;
  char staged[PLOT_PATH_MAX];
  job_path(job, PLOT_PATH_MAX, staged, 0);
  if (!engine_job_disks_present(p, job, staged, ENGINE_KEPT_STAGED_DISK_MISSING)) {
    pass->self_stop = true;
    pass->end_pass = true;
    return;
  }
  // A move or scatter that found its target full waits for the room it
  // needs there.
  if (job->bytes_missing.load(std::memory_order_relaxed) != 0) {
    double now = pass->now != 0 ? pass->now : sys_time();
    uint64_t bytes = engine_target_room_needed(p, job);
    uint64_t free_bytes = drive_free_space_cached(m, now);
    if (free_bytes < bytes) {
      job->bytes_missing.store(bytes - free_bytes, std::memory_order_relaxed);
      return;
    }
    job->bytes_missing.store(0, std::memory_order_relaxed);
    sys_log("%s has room again for %llu\n", m->path, (unsigned long long)job->start_nonce);
  }
  bool taken = false;
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    if (!m->job_writing_in) {
      m->job_writing_in = job;
      job->write_drive->job_moving_out = job;
      job->state = JOB_MOVING;
      taken = true;
    }
  }
  if (!taken) {
    double t = sys_time();
    if (sys_seconds_between(job->wait_log_time, t) > 60.0) {
      job->wait_log_time = t;
      sys_log("%llu is ready to move, waiting for drive %s to become available.\n",
              (unsigned long long)job->start_nonce, m->path);
    }
    return;
  }
  sys_log("Starting move of %llu to %s\n", (unsigned long long)job->start_nonce, m->path);
  job->move_future = std::async(std::launch::async, job_move, p, job, &p->stop);
}

// State 1: hash the next batch when there is one to hash, and hand it to a
// write once the job's previous write has ended.
void visit_plotting(plotter_s* p, job_s* job, pass_s* pass) {
  pass->all_done = false;
  if (job->nonces_done >= job->nonces) return;
  // In single buffering the write task swaps the job's buffers at its end:
  // look at them only once that task is over.
  if (p->double_buffer == 0 && job->write_future.valid() &&
      !future_ready(job->write_future, std::chrono::microseconds(0)))
    return;
  if (!job->compute_buffer || !job->compute_buffer->data) return;

  if (job->compute_buffer->progress.load() == 0) {
    if (p->gpu_mask != 0) {
      // Only what the file still lacks: nothing is computed past its end.
      uint64_t n = gpu_plot_nonces(p->gpu_context, job->account_id, job->start_nonce + job->nonces_done,
                                   job->compute_buffer, job->nonces - job->nonces_done, &p->stop);
      if (n != 0) pass->gpu_failures = 0;
      if (n == 0 && !plotter_stop_requested(&p->stop)) {
        pass->gpu_failures++;
        gpu_recover(p, job, pass);
        pass->work = true;
        return;
      }
    } else {
      job_plot_cpu(job, p->settings.cpu_threads, &p->stop);
    }
    pass->work = true;
    if (plotter_stop_requested(&p->stop)) {
      pass->end_pass = true;
      return;
    }
  }

  if (job->write_future.valid()) {
    if (p->concurrent && !future_ready(job->write_future, std::chrono::microseconds(1))) return;
    job->write_future.get();
  }
  util_assert(job->write_drive->job_writing_in == job, false, __FILE__, __LINE__);

  uint64_t done = job->compute_buffer->progress.load();
  uint64_t first = job->nonces_done;
  uint64_t count = std::min(job->nonces - first, done);
  util_assert(count > 0, false, __FILE__, __LINE__);
  if (count == 0) return;
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    job->compute_buffer->progress.exchange(0);
    job->write_buffer->progress.exchange(0);
    std::swap(job->compute_buffer, job->write_buffer);
    // Counted before the write starts, so that a screen never sees the
    // batch neither in the buffer nor among the nonces done.
    job->nonces_done.fetch_add(count, std::memory_order_relaxed);
  }
  job->write_future = std::async(std::launch::async, job_write, p, job, first, count, &p->stop);
  util_assert(job->nonces_done <= job->nonces, false, __FILE__, __LINE__);
}

// Reads the resume marker of a reopened ".plotting" file. A file whose
// marker's place holds its final batch is complete (a crash came before its
// rename) and only needs its final name; any other file without a valid
// marker is written again from its first nonce. True when complete.
bool read_marker(job_s* job) {
  uint64_t value = 0;
  const uint64_t sector = job->write_drive->sector_size;
  if (plot_file_marker_read(job->fd, job->nonces, sector, &value)) {
    sys_log("  resuming from nonce %llu\n", (unsigned long long)value);
    job->nonces_done.store(value, std::memory_order_relaxed);
    job->nonces_resumed.store(value, std::memory_order_relaxed);
    return false;
  }
  if (plot_file_is_complete(job->fd, job->account_id, job->start_nonce, job->nonces, sector)) {
    sys_log("  the file is complete; giving it its final name\n");
    job->nonces_done.store(job->nonces, std::memory_order_relaxed);
    job->nonces_resumed.store(job->nonces, std::memory_order_relaxed);
    return true;
  }
  sys_log("  incorrect resume data... starting from nonce 0\n");
  return false;
}

// A job that cannot start for lack of free space says so once per wait; the
// processing screen shows the missing bytes from the job.
void wait_for_space(job_s* job, const drive_s* w, uint64_t missing) {
  if (job->bytes_missing.exchange(missing, std::memory_order_relaxed) == 0)
    sys_log("%llu is waiting for free space on %s: %s missing\n", (unsigned long long)job->start_nonce, w->path,
            format_size(missing, false, ""));
}

// A staged job of a scatter run whose staged and unfinished files are gone:
// done when its rows are in the target's scatter file, new when not.
bool scattered(job_s* job) {
  char temp[PLOT_PATH_MAX];
  plotting_path(job, temp);
  if (sys_exists(temp)) return false;
  char dst[PLOT_PATH_MAX];
  job_scatter_path(job, PLOT_PATH_MAX, dst);
  if (!plot_file_scatter_holds(dst, job->start_nonce, job->nonces)) return false;
  sys_log("Found %llu already scattered into %s\n", (unsigned long long)job->start_nonce, dst);
  return true;
}

// Lends the job its buffers and its drive's writing slot (state 0 to 1).
bool take_buffers(plotter_s* p, job_s* job) {
  std::unique_lock<std::mutex> lock(p->mutex);
  buffer_s* compute = p->free_buffers.back();
  p->free_buffers.pop_back();
  buffer_s* write = nullptr;
  if (p->double_buffer) {
    write = p->free_buffers.back();
    p->free_buffers.pop_back();
  } else {
    write = buffer_create(0);
    if (write) write->capacity = p->nonces_per_buffer;
  }
  if (compute) compute->progress.exchange(0);
  if (write) write->progress.exchange(0);
  job->compute_buffer = compute;
  job->write_buffer = write;
  job->write_drive->job_writing_in = job;
  job->state = JOB_PLOTTING;
  return compute && write;
}

// State 0: find out what exists on disk; start or resume the file.
void visit_new(plotter_s* p, job_s* job, pass_s* pass) {
  drive_s* w = job->write_drive;
  bool moving_out;
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    moving_out = w->job_moving_out != nullptr;
    if (w->job_writing_in || (p->wait_for_moves && moving_out)) {
      pass->all_done = false;
      return;
    }
  }
  char path[PLOT_PATH_MAX];
  job_path(job, PLOT_PATH_MAX, path, 0);
  if (!engine_job_disks_present(p, job, path, ENGINE_KEPT_DISK_MISSING)) {
    pass->self_stop = true;
    pass->end_pass = true;
    return;
  }
  bool final_exists = sys_exists(path);
  if (job->move_drive) {
    char target[PLOT_PATH_MAX];
    job_path(job, PLOT_PATH_MAX, target, 1);
    bool target_exists = sys_exists(target);
    if (target_exists && final_exists) {
      sys_log("Restarting move of %s from SSD to %s\n", path, target);
      sys_unlink(target);
      job->state = JOB_STAGED;
      pass->all_done = false;
      pass->end_pass = true;
      return;
    }
    if (target_exists) {
      char temp[PLOT_PATH_MAX];
      plotting_path(job, temp);
      if (!sys_exists(temp)) {
        sys_log("Found %s already completed.\n", target);
        job->state = JOB_DONE;
        pass->all_done = false;
        return;
      }
      sys_log("Found %s to resume from SSD.\n", temp);
    } else if (final_exists) {
      job->state = JOB_STAGED;
      pass->all_done = false;
      return;
    } else if (p->scatter && scattered(job)) {
      job->state = JOB_DONE;
      pass->all_done = false;
      return;
    }
  } else if (final_exists) {
    sys_log("Found %s already completed.\n", path);
    job->state = JOB_DONE;
    pass->all_done = false;
    return;
  }

  text_append(PLOT_PATH_MAX, path, PLOT_FILE_PLOTTING);
  bool resume = sys_exists(path);
  double now = pass->now != 0 ? pass->now : sys_time();
  uint64_t free_bytes = drive_free_space_cached(w, now);
  // A resumed file needs only the blocks it lacks: none when preallocated,
  // the unwritten part when its file system could not preallocate it.
  const uint64_t bytes = resume ? sys_unallocated_bytes(path, plot_file_bytes(job->nonces)) : plot_file_bytes(job->nonces);
  // A folder that has gone reports no free space; waiting for space would
  // hide the fault, so the creation below is tried and reports it.
  if (bytes != 0 && free_bytes < bytes && sys_dir_exists(w->path)) {
    if (!moving_out) {
      sleep_seconds(0.05);
      free_bytes = sys_free_space(w->path, nullptr);
      drive_set_free_bytes(w, free_bytes);
    }
    if (free_bytes < bytes) {
      wait_for_space(job, w, bytes - free_bytes);
      pass->all_done = false;
      return;
    }
  }
  job->bytes_missing.store(0, std::memory_order_relaxed);
  uint64_t needed = p->double_buffer ? 2 : 1;
  if (p->free_buffers.size() < needed) {
    pass->all_done = false;
    return;
  }
  if (!take_buffers(p, job)) {
    report_s r;
    r.title = "Memory Error";
    r.what = "Failed to allocate buffer memory.";
    report_to_user(r, [p](const char* title, const char* t) { engine_message(true, &p->stop, title, t); });
    // A close during the message is a stop like any close: no exit, so that
    // the UI thread can save the settings once it has joined this one.
    if (plotter_stop_requested(&p->stop)) {
      pass->end_pass = true;
      return;
    }
    exit_from_run(p, pass);
    return;
  }

  if (resume) {
    sys_log("Attempting to resume %s...\n", path);
    job->fd = plot_file_open(path, job->nonces, true);
    if (!job->fd) {
      int err = errno;
      stop_run(p, pass);
      report_file_error("Could not open file:", path, err, ENGINE_KEPT_PLOTTING);
      return;
    }
    if (read_marker(job)) {
      // State 2 as after its last batch: the next visit finishes it.
      job->state = JOB_WRITTEN;
      pass->all_done = false;
      return;
    }
  } else {
    sys_log("Creating file %s\n", path);
    job->fd = plot_file_open(path, job->nonces, false);
    if (!job->fd) {
      int err = errno;
      if (!sys_exists(path)) job->file_refused.store(true);
      stop_run(p, pass);
      report_file_error("Could not create file:", path, err, ENGINE_KEPT_NOTHING_WRITTEN);
      return;
    }
  }
  visit_plotting(p, job, pass);
}

void visit_job(plotter_s* p, job_s* job, pass_s* pass) {
  switch (job->state.load()) {
    case JOB_DONE:
      return;
    case JOB_MOVING:
      pass->all_done = false;
      return;
    case JOB_WRITTEN:
      visit_written(p, job, pass);
      if (job->state == JOB_STAGED)
        visit_staged(p, job, pass);
      else
        pass->all_done = false;
      return;
    case JOB_STAGED:
      visit_staged(p, job, pass);
      return;
    case JOB_NEW:
      visit_new(p, job, pass);
      return;
    case JOB_PLOTTING:
      visit_plotting(p, job, pass);
      return;
    default:
      util_assert(0, false, __FILE__, __LINE__);
      pass->all_done = false;
      return;
  }
}

void finish(plotter_s* p, pass_s pass) {
  collect_tasks(p);
  bool stopped = plotter_stop_requested(&p->stop);
  // Files are deleted only when the user asked for it; a stop this thread
  // made itself (a file it could not open or create) keeps them for resume.
  bool remove = stopped && !pass.self_stop && !p->keep_files;
  for (job_s* job : p->jobs) {
    // A file whose last batch ended after its job's last visit is complete:
    // it takes its final name now rather than be plotted again next time.
    if (job->state == JOB_WRITTEN && job->fd) visit_written(p, job, &pass);
    if (job->state != JOB_PLOTTING) continue;
    if (job->fd) {
      sys_close(job->fd);
      job->fd = 0;
    }
    if (remove) {
      char path[PLOT_PATH_MAX];
      plotting_path(job, path);
      sys_unlink(path);
    }
  }
  sys_log("Work thread ended\n");
  sys_work_thread_hook(false);
  if (!stopped)
    ui_task_post([p]() {
      p->finished = true;
      if (p->finished_callback) p->finished_callback();
    });
}

}  // namespace

void thread_proc(plotter_s* p) {
  sys_work_thread_hook(true);
  pass_s pass{};
  while (!plotter_stop_requested(&p->stop) && !p->jobs.empty()) {
    if (plotter_is_paused(p)) {
      p->holding.store(true, std::memory_order_relaxed);
      // A pause starts nothing new, but a file whose last batch is on the
      // disk is finished: it takes its final name now, and a run that this
      // completes ends, rather than wait for Resume with 100 % shown.
      bool all_done = true;
      for (job_s* job : p->jobs) {
        if (job->state == JOB_WRITTEN && job->fd) visit_written(p, job, &pass);
        all_done = all_done && job->state == JOB_DONE;
      }
      if (all_done) break;
      sleep_seconds(0.1);
      continue;
    }
    p->holding.store(false, std::memory_order_relaxed);
    pass.now = sys_time();
    pass.all_done = true;
    pass.work = false;
    pass.end_pass = false;
    bool ended_early = false;
    for (job_s* job : p->jobs) {
      visit_job(p, job, &pass);
      if (pass.end_pass) {
        ended_early = true;
        break;
      }
    }
    if (!ended_early && pass.all_done) break;
    // Nothing could move on this pass (every job waits for a write, a move,
    // a drive or free space): sleep rather than spin until one ends.
    if (!pass.work) sleep_seconds(0.016);
  }
  finish(p, pass);
  p->ended.store(true, std::memory_order_release);
}
