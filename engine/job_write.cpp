// The batch write: one RAM batch goes into its place in the preallocated
// direct-I/O plot file, scoop row by scoop row, followed by the resume marker
// in the file's last sector unless the batch completes the file.
#include <cstring>
#include <mutex>
#include <utility>

#include "engine/engine_internal.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "platform/util.h"

namespace {

const uint64_t SCOOPS = 4096;
const uint64_t SCOOP_BYTES = 64;

// The marker sector is at least a page, so that its offset and length stay
// valid for direct I/O whatever a drive reports.
uint64_t marker_bytes(const job_s* job) {
  uint64_t s = job->write_drive ? job->write_drive->sector_size : 0;
  return s < 4096 ? 4096 : s;
}

void write_marker(job_s* job, uint64_t value) {
  uint64_t s = marker_bytes(job);
  uint8_t* sector = static_cast<uint8_t*>(sys_aligned_alloc(4096, s));
  util_assert(sector != nullptr, false, __FILE__, __LINE__);
  if (!sector) return;  // the file keeps the previous marker: a resume repeats more, loses nothing
  memset(sector, 0, s);
  for (int i = 0; i < 8; i++) sector[s - 8 + i] = static_cast<uint8_t>(value >> (8 * i));
  sys_write_at(job->fd, (job->nonces << 18) - s, s, sector);
  sys_aligned_free(sector);
}

}  // namespace

uint64_t job_marker_bytes(const job_s* job) { return marker_bytes(job); }

bool marker_parse(const uint8_t* data, uint64_t sector, uint64_t nonces, uint64_t* value) {
  if (sector < 8) return false;
  for (uint64_t i = 0; i < sector - 8; i++)
    if (data[i] != 0) return false;
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v |= static_cast<uint64_t>(data[sector - 8 + i]) << (8 * i);
  if (v >= nonces) return false;
  *value = v;
  return true;
}

void job_write(plotter_s* p, job_s* job, uint64_t first, uint64_t count, volatile bool* stop) {
  const uint64_t n = job->nonces;
  buffer_s* buf = job->write_buffer;
  util_assert(count <= n, false, __FILE__, __LINE__);
  util_assert(buf && buf->data && buf->progress.load() == 0, false, __FILE__, __LINE__);
  util_assert(job->write_drive && job->write_drive->job_writing_in == job, false, __FILE__, __LINE__);
  util_assert(job->state == JOB_PLOTTING, false, __FILE__, __LINE__);
  util_assert(first + count <= n, false, __FILE__, __LINE__);
  if (!buf || !buf->data) return;  // nothing to write from; the batch stays unwritten

  const uint64_t run = count * SCOOP_BYTES;
  bool stopped = false;
  for (uint64_t s = 0; s < SCOOPS; s++) {
    sys_write_at(job->fd, (n * s + first) * SCOOP_BYTES, run, buf->data + s * buf->capacity * SCOOP_BYTES);
    if (s % 32 == 0 && plotter_stop_requested(stop)) {
      stopped = true;
      break;
    }
    buf->progress.fetch_add(run);
    job->bytes_written.fetch_add(run, std::memory_order_relaxed);
    if (job->write_drive) drive_add_bytes_in(job->write_drive, run);
  }

  if (!stopped && first + count < n) write_marker(job, first + count);

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
