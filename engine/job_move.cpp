// Bringing a complete staged file to its target: a move (copy under a
// temporary name, then the final name, then the staged file is deleted) or a
// scatter of its scoop rows into the one shared plot file of the target.
#include <mutex>
#include <string>

#include "engine/engine_internal.h"
#include "engine/plot_file.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "platform/util.h"

namespace {

// Whether every other job scattered into the job's target is done, so that
// this scatter completes the target's scatter file.
bool last_of_scatter(plotter_s* p, const job_s* job) {
  std::lock_guard<std::mutex> lock(p->mutex);
  for (const job_s* other : p->jobs)
    if (other != job && other->move_drive == job->move_drive && other->state != JOB_DONE) return false;
  return true;
}

}  // namespace

uint64_t engine_target_room_needed(const plotter_s* p, job_s* job) {
  if (!p->scatter) return plot_file_bytes(job->nonces);
  char dst[PLOT_PATH_MAX];
  job_scatter_path(job, PLOT_PATH_MAX, dst);
  return plot_file_scatter_room(dst);
}

void job_move(plotter_s* p, job_s* job, volatile bool* stop) {
  drive_s* w = job->write_drive;
  drive_s* m = job->move_drive;
  util_assert(job->state == JOB_MOVING, false, __FILE__, __LINE__);
  util_assert(w && w->job_moving_out == job, false, __FILE__, __LINE__);
  util_assert(m && m->job_writing_in == job, false, __FILE__, __LINE__);

  // A move tried again after its target was full starts its copy over:
  // what it had brought counts once, until the new copy passes it.
  auto progress = [job](uint64_t done) {
    drive_s* target = job->move_drive;
    util_assert(target && target->job_writing_in == job, false, __FILE__, __LINE__);
    uint64_t before = job->bytes_moved.load(std::memory_order_relaxed);
    if (done <= before) return;
    if (target) drive_add_bytes_in(target, done - before);
    job->bytes_moved.store(done, std::memory_order_relaxed);
  };

  char src[PLOT_PATH_MAX];
  char dst[PLOT_PATH_MAX];
  job_path(job, PLOT_PATH_MAX, src, 0);
  int result = PLOT_FILE_FAILED;
  std::string why;
  // The target may have been unmounted while the job waited for it; its
  // empty mount point must not take the plot.
  bool present = engine_job_disks_present(p, job, src, ENGINE_KEPT_STAGED_DISK_MISSING);
  if (!present) {
    result = PLOT_FILE_STOPPED;
  } else if (p->scatter && m) {
    job_scatter_path(job, PLOT_PATH_MAX, dst);
    sys_log("  scattering %s to %s\n", src, dst);
    result = plot_file_scatter(
        src, dst, last_of_scatter(p, job),
        [&progress, stop](uint64_t done) {
          progress(done);
          return !plotter_stop_requested(stop);
        },
        &why);
    if (result == PLOT_FILE_DONE) sys_log("Scatter of %llu completed\n", (unsigned long long)job->start_nonce);
    if (result == PLOT_FILE_STOPPED)
      sys_log("Scatter of %llu stopped; %s is kept and scattered again at the next start\n",
              (unsigned long long)job->start_nonce, src);
  } else if (m) {
    job_path(job, PLOT_PATH_MAX, dst, 1);
    sys_log("  moving %s to %s\n", src, dst);
    result = plot_file_move(
        src, dst,
        [&progress, stop](uint64_t done) {
          progress(done);
          return !plotter_stop_requested(stop);
        },
        &why);
    if (result == PLOT_FILE_DONE) sys_log("Move of %llu completed\n", (unsigned long long)job->start_nonce);
  }

  if (result == PLOT_FILE_FULL) {
    // As a direct write does: the file waits on its staging drive for room
    // on the target (shown on the processing screen) while the other drives
    // go on; the move or scatter is tried again once the space is there.
    uint64_t free_bytes = sys_free_space(m->path, nullptr);
    drive_set_free_bytes(m, free_bytes);
    uint64_t bytes = engine_target_room_needed(p, job);
    uint64_t missing = bytes > free_bytes ? bytes - free_bytes : 1;
    job->bytes_missing.store(missing, std::memory_order_relaxed);
    const char* step = p->scatter ? "scatter" : "move";
    sys_log("%llu is waiting for free space on %s: %s missing (the disk filled during its %s: %s); %s is kept and "
            "%s once there is room\n",
            (unsigned long long)job->start_nonce, m->path, format_size(missing, false, ""), step, why.c_str(), src,
            p->scatter ? "scattered" : "moved");
  }
  if (result == PLOT_FILE_FAILED) {
    sys_log("%s of %llu failed; the staged file %s is kept\n", p->scatter ? "Scatter" : "Move",
            (unsigned long long)job->start_nonce, src);
    // Stopped before the job looks staged again, so that no new move of it
    // starts.
    engine_stop_run_keeping_files(p);
    report_s r;
    r.what = p->scatter ? "Could not scatter file:" : "Could not move file:";
    r.path = src;
    r.reason = why;
    r.kept = ENGINE_KEPT_STAGED;
    engine_post_file_error(r);
  }
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    util_assert(m && m->job_writing_in == job, false, __FILE__, __LINE__);
    if (w) w->job_moving_out = nullptr;
    if (m) m->job_writing_in = nullptr;
    // Only data that arrived makes a job done; a stopped or failed one stays
    // staged, its file on the staging drive for the next run.
    job->state = result == PLOT_FILE_DONE ? JOB_DONE : JOB_STAGED;
  }
}
