// The plotter's records and their small operations: creation and release,
// the setters the application calls before a run, the locked job walk, the
// buffer pool, job names and the cached free space of a drive.
#include "engine/plotter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/engine_internal.h"
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
  p->paused = false;
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

void plotter_stop(plotter_s* p, bool keep) {
  if (!p || !p->thread.joinable()) return;
  p->keep_files = keep;
  plotter_request_stop(&p->stop);
  p->thread.join();
}

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
  __atomic_store_n(&p->paused, !__atomic_load_n(&p->paused, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
}

bool plotter_is_paused(plotter_s* p) { return __atomic_load_n(&p->paused, __ATOMIC_RELAXED); }

// The thread object stays joinable after the thread has ended until a stop
// or destroy joins it, so "running" also needs the finished flag.
bool plotter_is_running(plotter_s* p) { return !p->finished && p->thread.joinable(); }

bool plotter_is_finished(plotter_s* p) { return p->finished; }

void plotter_set_finished_callback(plotter_s* p, std::function<void()> f) {
  p->finished_callback = std::move(f);
}

void plotter_set_ram_double_buffer(plotter_s* p, int v) { p->double_buffer = v; }
void plotter_set_ssd_scatter(plotter_s* p, bool v) { p->scatter = v; }
void plotter_set_wait_for_moves(plotter_s* p, bool v) { p->wait_for_moves = v; }

void plotter_add_job(plotter_s* p, job_s* job) { p->jobs.push_back(job); }

void plotter_clear_jobs(plotter_s* p) {
  for (job_s* job : p->jobs) job_destroy(job);
  p->jobs.clear();
  p->concurrent = false;
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
    if (n > (UINT64_MAX >> 18)) {
      delete b;
      return nullptr;
    }
    b->data = static_cast<uint8_t*>(sys_page_alloc(n << 18));
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

void job_path(job_s* job, int size, char* out, int which) {
  if (size <= 0) return;
  if (!job) {
    out[0] = 0;
    return;
  }
  const drive_s* d = (which == 1 && job->move_drive) ? job->move_drive : job->write_drive;
  snprintf(out, size, "%s/%llu_%llu_%llu", d ? d->path : "", (unsigned long long)job->account_id,
           (unsigned long long)job->start_nonce, (unsigned long long)job->nonces);
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

uint64_t drive_free_space_cached(drive_s* d, double now) {
  if (now == 0) now = sys_time();
  if (now - d->free_time > 1.0) {
    d->free_bytes = sys_free_space(d->path, nullptr);
    d->free_time = now;
  }
  return d->free_bytes;
}
