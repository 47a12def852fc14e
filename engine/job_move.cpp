// Bringing a complete staged file to its target: a move (kernel copy, then
// the staged file is deleted) or a scatter of its scoop rows into the one
// shared plot file of the target.
#include <mutex>

#include "engine/engine_internal.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "platform/util.h"

namespace {

const uint64_t SCOOPS = 4096;
const uint64_t SCOOP_BYTES = 64;

// Copies the staged file's scoop rows into their places in the scatter file.
// Any failure to name, open or read stops the scatter before wrong data is
// written and keeps the staged file; the target then lacks this file's range
// and the staged copy stays for a later run. Returns whether it completed.
bool scatter_file(job_s* job, const char* src, const char* dst, const std::function<bool(uint64_t)>& progress) {
  uint64_t acc, s0, n, stagger, d0, dn;
  bool named = plot_name_parse(src, &acc, &s0, &n, &stagger);
  util_assert(named, false, __FILE__, __LINE__);
  bool dnamed = plot_name_parse(dst, &acc, &d0, &dn, &stagger);
  util_assert(dnamed, false, __FILE__, __LINE__);
  if (!named || !dnamed || n == 0 || s0 < d0 || s0 + n > d0 + dn) {
    sys_log("Scatter of %llu stopped: file names do not fit\n", (unsigned long long)job->start_nonce);
    return false;
  }
  int in = sys_open_read(src, false);
  util_assert(in != 0, false, __FILE__, __LINE__);
  if (!in) {
    sys_log("Scatter of %llu stopped: could not open %s\n", (unsigned long long)job->start_nonce, src);
    return false;
  }
  // A short read reports success with stale bytes in the buffer, so a staged
  // file shorter than its name says is refused before anything is copied.
  if (sys_file_size(in) < (n << 18)) {
    sys_close(in);
    sys_log("Scatter of %llu stopped: %s is shorter than its name says\n", (unsigned long long)job->start_nonce, src);
    return false;
  }
  int out = sys_create_file(dst, dn << 18, true);
  util_assert(out != 0, false, __FILE__, __LINE__);
  if (!out) {
    sys_close(in);
    sys_log("Scatter of %llu stopped: could not open %s\n", (unsigned long long)job->start_nonce, dst);
    return false;
  }
  const uint64_t run = n * SCOOP_BYTES;
  uint8_t* buffer = static_cast<uint8_t*>(sys_page_alloc(run));
  bool ok = buffer != nullptr;
  util_assert(ok, false, __FILE__, __LINE__);
  for (uint64_t i = 0; ok && i < SCOOPS; i++) {
    ok = sys_read_at(in, i * run, run, buffer, nullptr);
    util_assert(ok, false, __FILE__, __LINE__);
    if (!ok) {
      sys_log("Scatter of %llu stopped: read failed at scoop %llu of %s\n", (unsigned long long)job->start_nonce,
              (unsigned long long)i, src);
      break;
    }
    // A scatter always runs to its end: a stop would leave a hole in the
    // shared file that no resume fills.
    progress(i * run + run / 2);
    sys_write_at(out, (dn * i + s0 - d0) * SCOOP_BYTES, run, buffer);
    progress((i + 1) * run);
  }
  sys_page_free(buffer);
  sys_close(out);
  sys_close(in);
  if (!ok) return false;
  sys_unlink(src);
  sys_log("Scatter of %llu completed\n", (unsigned long long)job->start_nonce);
  return true;
}

}  // namespace

void job_move(plotter_s* p, job_s* job, volatile bool* stop) {
  drive_s* w = job->write_drive;
  drive_s* m = job->move_drive;
  util_assert(job->state == JOB_MOVING, false, __FILE__, __LINE__);
  util_assert(w && w->job_moving_out == job, false, __FILE__, __LINE__);
  util_assert(m && m->job_writing_in == job, false, __FILE__, __LINE__);

  auto progress = [job, stop](uint64_t done) -> bool {
    drive_s* target = job->move_drive;
    util_assert(target && target->job_writing_in == job, false, __FILE__, __LINE__);
    uint64_t before = job->bytes_moved.load(std::memory_order_relaxed);
    if (target) drive_add_bytes_in(target, done - before);
    job->bytes_moved.store(done, std::memory_order_relaxed);
    return !plotter_stop_requested(stop);
  };

  char src[PLOT_PATH_MAX];
  char dst[PLOT_PATH_MAX];
  job_path(job, PLOT_PATH_MAX, src, 0);
  if (p->scatter && m) {
    job_scatter_path(job, PLOT_PATH_MAX, dst);
    sys_log("  scattering %s to %s\n", src, dst);
    scatter_file(job, src, dst, progress);
  } else if (m) {
    job_path(job, PLOT_PATH_MAX, dst, 1);
    sys_log("  moving %s to %s\n", src, dst);
    if (sys_move_file(src, dst, progress))
      sys_log("Move of %llu completed\n", (unsigned long long)job->start_nonce);
  }

  std::lock_guard<std::mutex> lock(p->mutex);
  util_assert(m && m->job_writing_in == job, false, __FILE__, __LINE__);
  if (w) w->job_moving_out = nullptr;
  if (m) m->job_writing_in = nullptr;
  job->state = JOB_DONE;
}
