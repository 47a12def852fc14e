// The plotter's records and their small operations: creation and release,
// the setters the application calls before a run, the locked job walk, the
// buffer pool, job names and the cached free space of a drive.
#include "engine/plotter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/engine_internal.h"
#include "engine/plot_file.h"
#include "gpu/gpu.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "ui/window.h"

namespace {

plotter_dialogs_s g_dialogs;

}  // namespace

void plotter_set_dialogs(const plotter_dialogs_s& d) { g_dialogs = d; }

bool engine_question(bool from_thread, const volatile bool* stop, const char* title, const char* text) {
  if (g_dialogs.question) return g_dialogs.question(title, text);
  if (from_thread)
    return window_question_from_thread(nullptr, const_cast<const bool*>(stop), title, "%s", text);
  return window_question(nullptr, title, "%s", text);
}

void engine_message(bool from_thread, const volatile bool* stop, const char* title, const char* text) {
  if (g_dialogs.message) {
    g_dialogs.message(title, text);
    return;
  }
  if (from_thread)
    window_message_from_thread(nullptr, const_cast<const bool*>(stop), title, "%s", text);
  else
    window_message(nullptr, title, "%s", text);
}

void engine_exit_error() {
  if (g_dialogs.exit_error) {
    g_dialogs.exit_error();
    return;
  }
  sys_exit_error();
}

void engine_stop_run_keeping_files(plotter_s* p) {
  p->keep_files = true;
  plotter_request_stop(&p->stop);
}

const char* const ENGINE_KEPT_PLOTTING =
    "The file is kept with what was written to it, and so is the resume data: once the disk works again, start "
    "Veldgrain and the run goes on where it stopped.";
const char* const ENGINE_KEPT_STAGED =
    "The finished file is kept on its staging drive: once the target works again, start the run again and it is "
    "brought there.";
const char* const ENGINE_KEPT_DISK_MISSING =
    "Nothing was written there. Plug the disk in and start Veldgrain again to resume.";
const char* const ENGINE_KEPT_STAGED_DISK_MISSING =
    "Nothing was written there; the finished file is kept on its staging drive. Plug the disk in and start "
    "Veldgrain again: it is brought there then.";
const char* const ENGINE_KEPT_NOTHING_WRITTEN =
    "Nothing was written to it; the other files of the run are kept. Check that the folder exists and can be "
    "written to (or remove it from the list), then start again.";

const char* const ENGINE_KEPT_NOTHING_LEFT =
    "Nothing of this file is left on the disk. The resume data is kept: start Veldgrain again and the file is "
    "plotted again.";

namespace {

// What a report says was kept is what is on the disk now: a file whose
// folder was removed during the run is gone, whatever the failure was.
std::string kept_on_disk(const report_s& r) {
  if (r.path.empty() || (r.kept != ENGINE_KEPT_PLOTTING && r.kept != ENGINE_KEPT_STAGED) ||
      sys_exists(r.path.c_str()))
    return r.kept;
  std::string folder = r.path.substr(0, r.path.find_last_of('/'));
  if (!folder.empty() && !sys_dir_exists(folder.c_str()))
    return "Nothing of this file is left: its folder " + folder +
           " no longer exists. The resume data is kept: once the folder is back, start Veldgrain and the file is "
           "plotted again.";
  return ENGINE_KEPT_NOTHING_LEFT;
}

}  // namespace

void engine_post_file_error(const report_s& told) {
  report_s r = told;
  r.kept = kept_on_disk(told);
  report_to_user_later(
      r, [](const char* title, const char* text) { engine_message(false, nullptr, title, text); },
      [] { engine_exit_error(); });
}

bool engine_job_disks_present(plotter_s* p, job_s* job, const char* path, const char* kept) {
  std::string missing;
  if (job_drives_present(job, &missing)) return true;
  // An unmounted disk leaves its empty mount point on the system disk:
  // nothing of the session is written there.
  sys_log("The disk of %s is missing (%s is no longer the file system of the session)\n", path, missing.c_str());
  engine_stop_run_keeping_files(p);
  report_s r;
  r.what = "The disk of this file is missing:";
  r.path = path;
  r.reason = missing + " is no longer on the disk the session wrote to";
  r.kept = kept;
  engine_post_file_error(r);
  return false;
}

bool plotter_stop_requested(const volatile bool* stop) {
  return __atomic_load_n(stop, __ATOMIC_ACQUIRE);
}

void plotter_request_stop(volatile bool* stop) { __atomic_store_n(stop, true, __ATOMIC_SEQ_CST); }

plotter_s* plotter_create() {
  plotter_s* p = new plotter_s();
  p->gpu_context = nullptr;
  p->nonces_per_buffer = 0;
  p->finished = false;
  p->stop = false;
  p->ended = false;
  p->paused = false;
  p->holding = false;
  p->keep_files = false;
  p->scatter = false;
  p->wait_for_moves = false;
  p->double_buffer = -1;
  p->gpu_mask = 0;
  p->gpu_count = 0;
  std::fill(p->gpu_index, p->gpu_index + 8, 0);
  p->concurrent = false;
  p->max_tasks = 1;
  return p;
}

void plotter_stop_begin(plotter_s* p, bool keep) {
  if (!p || !p->thread.joinable()) return;
  p->keep_files = keep;
  plotter_request_stop(&p->stop);
}

void plotter_stop(plotter_s* p, bool keep) {
  if (!p || !p->thread.joinable()) return;
  plotter_stop_begin(p, keep);
  p->thread.join();
}

bool plotter_has_ended(plotter_s* p) { return p->ended.load(std::memory_order_acquire); }

void plotter_destroy(plotter_s* p) {
  if (!p) return;
  if (p->thread.joinable()) {
    plotter_request_stop(&p->stop);
    p->thread.join();
  }
  for (job_s* job : p->jobs) job_destroy(job);
  for (buffer_s* b : p->free_buffers) buffer_destroy(b);
  gpu_destroy(p->gpu_context);
  delete p;
}

void plotter_toggle_pause(plotter_s* p) {
  bool paused = !__atomic_load_n(&p->paused, __ATOMIC_RELAXED);
  __atomic_store_n(&p->paused, paused, __ATOMIC_RELAXED);
  sys_log(paused ? "Plotting paused: the batches being written are finished, no new one is started\n"
                 : "Plotting resumed\n");
}

bool plotter_is_paused(plotter_s* p) { return __atomic_load_n(&p->paused, __ATOMIC_RELAXED); }

// The thread object stays joinable after the thread has ended until a stop
// or destroy joins it, so "running" also needs the finished flag.
bool plotter_is_running(plotter_s* p) { return !plotter_is_finished(p) && p->thread.joinable(); }

// A work thread that ended without a stop has finished every job, even
// before the UI thread has delivered the end of the run: a question asked
// meanwhile must not take the run for one in progress.
bool plotter_is_finished(plotter_s* p) {
  return p->finished || (plotter_has_ended(p) && !plotter_stop_requested(&p->stop));
}

void plotter_set_finished_callback(plotter_s* p, std::function<void()> f) {
  p->finished_callback = std::move(f);
}

void plotter_set_ram_double_buffer(plotter_s* p, int v) { p->double_buffer = v; }
void plotter_set_ssd_scatter(plotter_s* p, bool v) { p->scatter = v; }
void plotter_set_wait_for_moves(plotter_s* p, bool v) { p->wait_for_moves = v; }
void plotter_set_run_settings(plotter_s* p, const run_settings_s& s) { p->settings = s; }

void plotter_add_job(plotter_s* p, job_s* job) { p->jobs.push_back(job); }

void plotter_clear_jobs(plotter_s* p) {
  for (job_s* job : p->jobs) job_destroy(job);
  p->jobs.clear();
  p->concurrent = false;
}

void plotter_remove_job(plotter_s* p, job_s* job) {
  auto it = std::find(p->jobs.begin(), p->jobs.end(), job);
  if (it == p->jobs.end()) return;
  p->jobs.erase(it);
  job_destroy(job);
}

bool job_drives_present(const job_s* job, std::string* missing_drive) {
  const std::pair<const drive_s*, const std::string*> drives[] = {{job->write_drive, &job->write_fs},
                                                                    {job->move_drive, &job->move_fs}};
  for (const auto& d : drives) {
    if (!d.first || d.second->empty()) continue;
    if (!sys_fs_identity_is(d.first->path, *d.second)) {
      if (missing_drive) *missing_drive = d.first->path;
      return false;
    }
  }
  return true;
}

uint64_t plotter_job_count(plotter_s* p) { return p ? p->jobs.size() : 0; }

void plotter_for_each_job(plotter_s* p, std::function<bool(job_s*)> visit) {
  std::lock_guard<std::mutex> lock(p->mutex);
  for (job_s* job : p->jobs)
    if (!visit(job)) break;
}

void plotter_release_buffer(plotter_s* p, buffer_s* b) {
  if (!b) return;
  if (!b->data) {
    buffer_destroy(b);
    return;
  }
  bool pooled = std::find(p->free_buffers.begin(), p->free_buffers.end(), b) != p->free_buffers.end();
  util_assert(!pooled, false, __FILE__, __LINE__);
  p->free_buffers.push_back(b);
}

gpu_s* plotter_gpu(plotter_s* p) { return p->gpu_context; }

uint64_t nonces_in_bytes(uint64_t bytes, uint64_t sector) {
  uint64_t n = (bytes >> 26) * 256;
  if (sector != 0) n -= n % (sector / 64);
  return n;
}

buffer_s* buffer_create(uint64_t n) {
  buffer_s* b = new buffer_s();
  b->capacity = n;
  b->progress.exchange(0);
  b->data = nullptr;
  if (n > 0) {
    // An n this large would overflow the byte count; treat it as a failed
    // allocation rather than allocate a wrapped size.
    if (n > UINT64_MAX / PLOT_NONCE_BYTES) {
      delete b;
      return nullptr;
    }
    b->data = static_cast<uint8_t*>(sys_page_alloc(plot_file_bytes(n)));
    if (!b->data) {
      delete b;
      return nullptr;
    }
  }
  return b;
}

void buffer_destroy(buffer_s* b) {
  if (!b) return;
  if (b->data) sys_page_free(b->data);
  delete b;
}

job_s* job_create(drive_s* write, drive_s* move, uint64_t account, uint64_t start, uint64_t count) {
  job_s* job = new job_s();
  job->account_id = account;
  job->start_nonce = start;
  job->nonces = count;
  job->nonces_done = 0;
  job->nonces_resumed = 0;
  job->compute_buffer = nullptr;
  job->write_buffer = nullptr;
  job->fd = 0;
  job->write_drive = write;
  job->move_drive = move;
  job->bytes_written = 0;
  job->bytes_moved = 0;
  job->bytes_missing = 0;
  job->wait_log_time = 0;
  job->state = JOB_NEW;
  return job;
}

void job_destroy(job_s* job) {
  if (!job) return;
  buffer_destroy(job->compute_buffer);
  buffer_destroy(job->write_buffer);
  delete job;
}

namespace {

void plot_file_path(const drive_s* d, uint64_t account, uint64_t start, uint64_t nonces, int size,
                    char* out) {
  int len = snprintf(out, size, "%s/%llu_%llu_%llu", d ? d->path : "", (unsigned long long)account,
                     (unsigned long long)start, (unsigned long long)nonces);
  // A drive path holds at most 259 bytes, so only a longer one could cut
  // the name; a cut name must never name some other file.
  if (len >= size) out[0] = 0;
}

}  // namespace

namespace {

// A job and its snapshot name their files alike: on the move drive when
// asked for (and there is one), else on the write drive.
template <typename J>
void file_path_of(const J* job, int size, char* out, int which) {
  if (size <= 0) return;
  if (!job) {
    out[0] = 0;
    return;
  }
  const drive_s* d = (which == 1 && job->move_drive) ? job->move_drive : job->write_drive;
  plot_file_path(d, job->account_id, job->start_nonce, job->nonces, size, out);
}

}  // namespace

void job_path(job_s* job, int size, char* out, int which) { file_path_of(job, size, out, which); }

void job_snapshot_path(const job_snapshot_s* job, int size, char* out, int which) {
  file_path_of(job, size, out, which);
}

void job_scatter_path(job_s* job, int size, char* out) {
  if (size <= 0) return;
  const drive_s* m = job ? job->move_drive : nullptr;
  util_assert(m != nullptr, false, __FILE__, __LINE__);
  if (!m) {
    out[0] = 0;
    return;
  }
  snprintf(out, size, "%s/%llu_%llu_%llu", m->path, (unsigned long long)job->account_id,
           (unsigned long long)m->scatter_start, (unsigned long long)m->scatter_nonces);
}

std::vector<std::string> plotter_unfinished_files(plotter_s* p, bool scatter) {
  std::vector<std::string> files;
  auto add = [&files](const std::string& f) {
    if (sys_exists(f.c_str()) && std::find(files.begin(), files.end(), f) == files.end()) files.push_back(f);
  };
  std::lock_guard<std::mutex> lock(p->mutex);
  for (job_s* job : p->jobs) {
    if (job->state == JOB_DONE) continue;
    char path[PLOT_PATH_MAX];
    job_path(job, PLOT_PATH_MAX, path, 0);
    add(std::string(path) + PLOT_FILE_PLOTTING);
    if (!job->move_drive) continue;
    add(path);  // complete on the staging drive, not yet at its target
    if (!scatter) {
      job_path(job, PLOT_PATH_MAX, path, 1);
      add(std::string(path) + PLOT_FILE_MOVING);
      continue;
    }
    // Before a run has set the scatter range, it is the one the run would
    // set: every staged job of the target, gap-free.
    const drive_s* m = job->move_drive;
    uint64_t first = m->scatter_start, nonces = m->scatter_nonces;
    if (first == ~0ull) {
      nonces = 0;
      for (const job_s* other : p->jobs)
        if (other->move_drive == m) {
          first = std::min(first, other->start_nonce);
          nonces += other->nonces;
        }
    }
    add(std::string(m->path) + "/" + std::to_string(job->account_id) + "_" + std::to_string(first) + "_" +
        std::to_string(nonces) + PLOT_FILE_SCATTERING);
  }
  return files;
}

uint64_t drive_free_space_cached(drive_s* d, double now) {
  if (now == 0) now = sys_time();
  if (sys_seconds_between(d->free_time, now) > 1.0) {
    drive_set_free_bytes(d, sys_free_space(d->path, nullptr));
    d->free_time = now;
  }
  return drive_free_bytes(d);
}

uint64_t drive_bytes_in(const drive_s* d) { return __atomic_load_n(&d->bytes_in, __ATOMIC_RELAXED); }

void drive_add_bytes_in(drive_s* d, uint64_t bytes) { __atomic_fetch_add(&d->bytes_in, bytes, __ATOMIC_RELAXED); }

void drive_add_batch_timing(drive_s* d, uint64_t row_bytes, uint64_t rows, uint64_t rows_ns, uint64_t end_ns) {
  drive_timing_s& t = d->timing;
  // The entry of this row size, or a free one claimed for it; when every
  // entry holds another size, the nearest one takes these rows as well.
  int at = -1, nearest = 0;
  uint64_t nearest_apart = UINT64_MAX;
  for (int i = 0; i < DRIVE_TIMED_ROW_SIZES; i++) {
    uint64_t seen = __atomic_load_n(&t.row_bytes[i], __ATOMIC_RELAXED);
    if (seen == 0 &&
        __atomic_compare_exchange_n(&t.row_bytes[i], &seen, row_bytes, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
      seen = row_bytes;
    if (seen == row_bytes) {
      at = i;
      break;
    }
    const uint64_t apart = seen > row_bytes ? seen - row_bytes : row_bytes - seen;
    if (apart < nearest_apart) nearest_apart = apart, nearest = i;
  }
  if (at < 0) at = nearest;
  __atomic_fetch_add(&t.rows[at], rows, __ATOMIC_RELAXED);
  __atomic_fetch_add(&t.rows_ns[at], rows_ns, __ATOMIC_RELAXED);
  __atomic_fetch_add(&t.ends_ns, end_ns, __ATOMIC_RELAXED);
  __atomic_fetch_add(&t.batches, 1, __ATOMIC_RELAXED);
}

bool drive_write_figures(const drive_s* d, write_cost_s* w) {
  const drive_timing_s& t = d->timing;
  const uint64_t batches = __atomic_load_n(&t.batches, __ATOMIC_RELAXED);
  // Each row size's seconds per row, weighted by its rows.
  double weight = 0, sum_b = 0, sum_t = 0;
  double b[DRIVE_TIMED_ROW_SIZES], s[DRIVE_TIMED_ROW_SIZES], n[DRIVE_TIMED_ROW_SIZES];
  int sizes = 0;
  for (int i = 0; i < DRIVE_TIMED_ROW_SIZES; i++) {
    const uint64_t bytes = __atomic_load_n(&t.row_bytes[i], __ATOMIC_RELAXED);
    const uint64_t rows = __atomic_load_n(&t.rows[i], __ATOMIC_RELAXED);
    const uint64_t ns = __atomic_load_n(&t.rows_ns[i], __ATOMIC_RELAXED);
    if (bytes == 0 || rows == 0 || ns == 0) continue;
    b[sizes] = static_cast<double>(bytes);
    s[sizes] = ns * 1e-9 / rows;
    n[sizes] = static_cast<double>(rows);
    weight += n[sizes];
    sum_b += n[sizes] * b[sizes];
    sum_t += n[sizes] * s[sizes];
    sizes++;
  }
  if (batches == 0 || sizes == 0) return false;
  w->batch_cost = __atomic_load_n(&t.ends_ns, __ATOMIC_RELAXED) * 1e-9 / batches;
  if (sizes == 1) {
    w->row_cost = s[0];
    w->bandwidth = 0;
    w->only_row_bytes = static_cast<uint64_t>(b[0]);
    return true;
  }
  // Least squares: seconds per row = cost per write + bytes / bandwidth.
  const double mean_b = sum_b / weight, mean_t = sum_t / weight;
  double sbb = 0, sbt = 0, sb2 = 0, sbt0 = 0;
  for (int i = 0; i < sizes; i++) {
    sbb += n[i] * (b[i] - mean_b) * (b[i] - mean_b);
    sbt += n[i] * (b[i] - mean_b) * (s[i] - mean_t);
    sb2 += n[i] * b[i] * b[i];
    sbt0 += n[i] * b[i] * s[i];
  }
  double per_byte = sbb > 0 ? sbt / sbb : 0;
  double per_row = mean_t - per_byte * mean_b;
  if (!(per_byte > 0)) {
    // Larger rows took no longer: the writes' own cost is all there is.
    per_byte = 0;
    per_row = mean_t;
  } else if (per_row < 0) {
    // No cost per write to be seen: the bytes are all there is.
    per_row = 0;
    per_byte = sbt0 / sb2;
  }
  w->row_cost = per_row;
  w->bandwidth = per_byte > 0 ? 1 / per_byte : 0;
  w->only_row_bytes = 0;
  return true;
}

uint64_t drive_free_bytes(const drive_s* d) { return __atomic_load_n(&d->free_bytes, __ATOMIC_RELAXED); }

void drive_set_free_bytes(drive_s* d, uint64_t bytes) { __atomic_store_n(&d->free_bytes, bytes, __ATOMIC_RELAXED); }

namespace {

// The index of the drive's entry, added on first use.
size_t snapshot_drive_index(plotter_snapshot_s* s, const drive_s* d) {
  for (size_t i = 0; i < s->drives.size(); i++)
    if (s->drives[i].drive == d) return i;
  s->drives.push_back({d, drive_bytes_in(d), 0, -1, -1});
  return s->drives.size() - 1;
}

int snapshot_job_index(const std::vector<job_s*>& jobs, const job_s* job) {
  if (!job) return -1;
  for (size_t i = 0; i < jobs.size(); i++)
    if (jobs[i] == job) return (int)i;
  return -1;
}

job_snapshot_s job_snapshot(const job_s* job) {
  job_snapshot_s j{};
  j.account_id = job->account_id;
  j.start_nonce = job->start_nonce;
  j.nonces = job->nonces;
  j.nonces_done = job->nonces_done.load(std::memory_order_relaxed);
  j.nonces_resumed = job->nonces_resumed.load(std::memory_order_relaxed);
  j.bytes_written = job->bytes_written.load(std::memory_order_relaxed);
  j.bytes_moved = job->bytes_moved.load(std::memory_order_relaxed);
  j.bytes_missing = job->bytes_missing.load(std::memory_order_relaxed);
  if (const buffer_s* b = job->compute_buffer) {
    j.compute_progress = b->progress.load(std::memory_order_relaxed);
    j.compute_capacity = b->capacity;
  }
  if (const buffer_s* b = job->write_buffer) {
    j.write_progress = b->progress.load(std::memory_order_relaxed);
    j.write_capacity = b->capacity;
  }
  j.buffers = job->compute_buffer && job->write_buffer;
  j.state = job->state.load();
  j.write_drive = job->write_drive;
  j.move_drive = job->move_drive;
  return j;
}

}  // namespace

void plotter_snapshot(plotter_s* p, plotter_snapshot_s* out) {
  out->jobs.clear();
  out->drives.clear();
  out->paused = false;
  out->holding = false;
  out->gpu_mask = 0;
  if (!p) return;
  out->paused = plotter_is_paused(p);
  out->holding = p->holding.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(p->mutex);
  out->gpu_mask = p->gpu_mask;
  for (const job_s* job : p->jobs) {
    out->jobs.push_back(job_snapshot(job));
    for (const drive_s* d : {job->write_drive, job->move_drive}) {
      if (!d) continue;
      size_t i = snapshot_drive_index(out, d);
      out->drives[i].planned_nonces += job->nonces;
    }
  }
  for (drive_snapshot_s& d : out->drives) {
    d.job_writing_in = snapshot_job_index(p->jobs, d.drive->job_writing_in);
    d.job_moving_out = snapshot_job_index(p->jobs, d.drive->job_moving_out);
  }
}

const drive_snapshot_s* snapshot_drive(const plotter_snapshot_s* s, const drive_s* d) {
  for (const drive_snapshot_s& e : s->drives)
    if (e.drive == d) return &e;
  return nullptr;
}

const job_snapshot_s* snapshot_job(const plotter_snapshot_s* s, int index) {
  if (index < 0 || (size_t)index >= s->jobs.size()) return nullptr;
  return &s->jobs[index];
}
