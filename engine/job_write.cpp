// The batch write: one RAM batch goes into its place in the preallocated
// direct-I/O plot file, scoop row by scoop row, followed by the resume marker
// in the file's last sector unless the batch completes the file.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "engine/engine_internal.h"
#include "engine/plot_file.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "platform/util.h"

namespace {

uint64_t drive_sector(const job_s* job) { return job->write_drive ? job->write_drive->sector_size : 0; }

// A batch that cannot be written ends the run, not the process: the file
// keeps what is on it and its previous marker (the batch is written again at
// a resume), and the user learns which file failed, where and why.
void write_failed(plotter_s* p, job_s* job, const std::string& where) {
  int err = errno;
  char path[PLOT_PATH_MAX];
  job_path(job, PLOT_PATH_MAX, path, 0);
  text_append(PLOT_PATH_MAX, path, PLOT_FILE_PLOTTING);
  engine_stop_run_keeping_files(p);
  report_s r;
  r.what = "Could not write file:";
  r.path = path;
  r.reason = report_reason(err) + " (" + where + ")";
  r.kept = ENGINE_KEPT_PLOTTING;
  engine_post_file_error(r);
}

}  // namespace

void job_write(plotter_s* p, job_s* job, uint64_t first, uint64_t count, volatile bool* stop) {
  const uint64_t n = job->nonces;
  buffer_s* buf = job->write_buffer;
  util_assert(count <= n, false, __FILE__, __LINE__);
  util_assert(buf && buf->data && buf->progress.load() == 0, false, __FILE__, __LINE__);
  util_assert(job->write_drive && job->write_drive->job_writing_in == job, false, __FILE__, __LINE__);
  util_assert(job->state == JOB_PLOTTING, false, __FILE__, __LINE__);
  util_assert(first + count <= n, false, __FILE__, __LINE__);
  if (!buf || !buf->data) return;  // nothing to write from; the batch stays unwritten

  const uint64_t run = count * PLOT_SCOOP_BYTES;
  // The final batch keeps the marker's place for last (see plot_file_seal):
  // its last row is written without that sector first.
  const uint64_t seal = plot_file_marker_bytes(drive_sector(job));
  const bool sealing = first + count == n && run >= seal && (run - seal) % 4096 == 0;
  bool stopped = false;
  // The drive's cost per row of this size and fixed cost per batch are
  // timed here, for the buffering choice of later runs.
  const auto rows_begin = std::chrono::steady_clock::now();
  for (uint64_t s = 0; s < PLOT_SCOOPS; s++) {
    const uint8_t* row = buf->data + s * buf->capacity * PLOT_SCOOP_BYTES;
    uint64_t at = plot_file_scoop_offset(n, s, first);
    bool written;
    if (sealing && s == PLOT_SCOOPS - 1) {
      written = run == seal || sys_write_at(job->fd, at, run - seal, row);
      if (written && !plot_file_seal(job->fd, n, drive_sector(job), row + run - seal)) {
        write_failed(p, job, "while writing its last sector");
        stopped = true;
        break;
      }
    } else {
      written = sys_write_at(job->fd, at, run, row);
    }
    if (!written) {
      write_failed(p, job, "at byte " + std::to_string(at));
      stopped = true;
      break;
    }
    if (s % 32 == 0 && plotter_stop_requested(stop)) {
      stopped = true;
      break;
    }
    buf->progress.fetch_add(run);
    job->bytes_written.fetch_add(run, std::memory_order_relaxed);
    if (job->write_drive) drive_add_bytes_in(job->write_drive, run);
  }

  const auto rows_end = std::chrono::steady_clock::now();
  const bool marking = !stopped && first + count < n;
  if (marking && !plot_file_mark(job->fd, n, drive_sector(job), first + count)) {
    write_failed(p, job, "while saving its resume marker");
    stopped = true;
  }
  if (marking && !stopped && job->write_drive) {
    auto ns = [](std::chrono::steady_clock::duration d) {
      return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
    };
    drive_add_batch_timing(job->write_drive, run, PLOT_SCOOPS, ns(rows_end - rows_begin),
                           ns(std::chrono::steady_clock::now() - rows_end));
  }

  if (p->double_buffer == 0) {
    // Screens copy the buffer pointers under the mutex; the swap is done
    // under it too so that no copy sees one buffer in both places.
    std::lock_guard<std::mutex> lock(p->mutex);
    if (job->compute_buffer) job->compute_buffer->progress.exchange(0);
    buf->progress.exchange(0);
    std::swap(job->compute_buffer, job->write_buffer);
    util_assert(job->compute_buffer && job->compute_buffer->data, false, __FILE__, __LINE__);
  }

  // Last: the work thread may take the buffers and the file once it sees it.
  if (!stopped && first + count == n) job->state = JOB_WRITTEN;
}
