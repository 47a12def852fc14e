// The plan of a run: RAM limit, concurrency, buffering model, batch sizes,
// GPU context, buffer pool and scatter ranges; then the work thread starts.
// The arithmetic lives in the plan_* functions, the effects in plotter_start.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>

#include "engine/engine_internal.h"
#include "engine/plotter.h"
#include "gpu/gpu.h"
#include "platform/cpu_features.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "plot/nonce.h"
#include "plot/plt_cpu.h"

namespace {

const char* ALLOC_MESSAGE =
    "Error allocating enough memory for efficient processing. Try again setting a lower max RAM size.";
const char* SCATTER_MESSAGE =
    "Cannot SSD scatter to a non-contiguous nonce range. If you hit this let me know and I can handle this better.";

// One log line and one dialog, then the end of the process.
void refuse(const char* text) {
  report_s r;
  r.what = text;
  report_to_user(r, [](const char* title, const char* t) { engine_message(false, nullptr, title, t); });
  engine_exit_error();
}

// The plan's buffers cannot each hold one batch of a nonces: the RAM the
// plan needs is said, since lowering it (the advice for a failed
// allocation) could only make it worse.
void refuse_too_little_ram(uint64_t limit, uint64_t buffers, uint64_t a, uint64_t work, int tasks) {
  const uint64_t batch = a * 262144;
  const uint64_t need = buffers * batch + work;
  std::string text = std::string("Not enough RAM for one batch per buffer: ") + std::to_string(buffers) +
                     (buffers == 1 ? " buffer of " : " buffers of ") + format_size(batch, true, "") + (buffers == 1 ? " needs at least " : " need at least ");
  text += format_size(need, true, "");
  text += std::string(" with the work areas, and ") + format_size(limit, true, "") + " is set. Set a larger max RAM size";
  if (tasks > 1) text += ", or plot fewer drives at once (min_ram_gb_per_task)";
  text += ".";
  refuse(text.c_str());
}

}  // namespace

uint64_t plan_ram_limit(uint64_t ram_bytes, uint64_t avail, uint64_t total) {
  if (ram_bytes != 0 && ram_bytes < total) return ram_bytes;
  return (avail * 3) >> 2;
}

int plan_tasks(int ssd_count, int target_count, double min_ram_gb_per_task, uint64_t avail, bool* concurrent) {
  if (ssd_count >= 2) {
    *concurrent = true;
    return ssd_count;
  }
  if (ssd_count == 1) {
    *concurrent = false;
    return 1;
  }
  *concurrent = target_count > 1;
  double per_d = min_ram_gb_per_task * 1073741824.0;
  // A per-task RAM of 0 (or a setting too large to count) has no meaning.
  if (!(per_d >= 1.0) || per_d >= 18446744073709551616.0) return 0;
  uint64_t per = static_cast<uint64_t>(per_d);
  uint64_t fit = avail / per;
  uint64_t tasks = std::min<uint64_t>(static_cast<uint64_t>(std::max(target_count, 0)), fit);
  return static_cast<int>(std::max<uint64_t>(1, tasks));
}

double plan_row_seconds(const write_cost_s& w, double row_bytes) {
  if (w.only_row_bytes != 0) return w.row_cost * std::max(1.0, row_bytes / static_cast<double>(w.only_row_bytes));
  return w.row_cost + (w.bandwidth > 0 ? row_bytes / w.bandwidth : 0);
}

namespace {

// Seconds to plot m.plot_bytes in batches of at most batch nonces per job,
// the jobs sharing the hashing: each job hashes a batch and writes it, in
// turn (overlap false) or the write of one batch beside the hashing of the
// next (overlap true), which pays one batch's hashing and writing once
// more, at the start and at the end. A job's last batch may be partial, but
// it writes all its rows: the rows are counted per batch, the bytes as
// they are.
double plan_run_seconds(const buffer_model_s& m, uint64_t batch, bool overlap) {
  const double tasks = std::max(m.tasks, 1);
  const double job = static_cast<double>(m.plot_bytes) / tasks / PLOT_NONCE_BYTES;
  const double rounds = std::ceil(job / static_cast<double>(batch));
  const double nonces = job / rounds;
  const double hash = nonces / (m.hash_rate / 60);
  const double write =
      PLOT_SCOOPS * plan_row_seconds(m.write, nonces * PLOT_SCOOP_BYTES) + m.write.batch_cost;
  if (!overlap) return rounds * std::max(tasks * hash, hash + write);
  return hash + write + (rounds - 1) * std::max(tasks * hash, write);
}

}  // namespace

void plan_buffer_times(const buffer_model_s& m, double* single, double* double_) {
  *single = *double_ = 0;
  if (m.plot_bytes == 0 || !(m.hash_rate > 0)) return;
  if (m.single_nonces != 0) *single = plan_run_seconds(m, m.single_nonces, false);
  if (m.double_nonces != 0) *double_ = plan_run_seconds(m, m.double_nonces, true);
}

int plan_double_buffer(const buffer_model_s& m) {
  double single, double_;
  plan_buffer_times(m, &single, &double_);
  return m.double_nonces != 0 && single > double_ ? 1 : 0;
}

uint64_t plan_alignment(const std::vector<job_s*>& jobs) {
  if (jobs.empty()) return 4;
  uint64_t s = 256;
  for (const job_s* job : jobs)
    if (job->write_drive) s = std::max(s, job->write_drive->sector_size);
  return s / 64;
}

uint64_t plan_plot_bytes(const std::vector<job_s*>& jobs) {
  uint64_t sum = 0;
  for (const job_s* job : jobs) sum += job->nonces << 18;
  return sum;
}

uint64_t plan_cpu_batch(uint64_t limit, uint64_t buffers, uint64_t a) {
  if (buffers == 0 || a == 0) return 0;
  uint64_t c = (limit / buffers) >> 18;
  return c - c % a;
}

uint64_t plan_gpu_nonces(uint64_t limit, int gpu_count, uint64_t buffers, uint64_t o, uint64_t m,
                         uint64_t p, int max_gpu_nonces, uint64_t granule) {
  if (gpu_count <= 0 || buffers == 0 || granule == 0) return 0;
  uint64_t f = std::min({((limit / gpu_count) / buffers) >> 18, o / PLAN_GPU_GEN_BYTES_PER_NONCE,
                         (m - m / 8) / PLAN_GPU_BYTES_PER_NONCE});
  if (p != 0 && f > p) f = p * std::max<uint64_t>(1, f / p);
  if (max_gpu_nonces > 0 && f > static_cast<uint64_t>(max_gpu_nonces)) f = static_cast<uint64_t>(max_gpu_nonces);
  // Every launch takes whole work groups; every buffer whole sectors.
  return f - f % granule;
}

uint64_t plan_gpu_granule(uint64_t group, uint64_t a) {
  if (group == 0 || a == 0) return 0;
  return group / std::gcd(group, a) * a;
}

uint64_t plan_gpu_halve(uint64_t f, uint64_t granule) {
  if (granule == 0) return 0;
  uint64_t h = f / 2;
  h -= h % granule;
  return h > 64 ? h : 0;
}

plan_gpu_geometry_s plan_gpu_geometry(uint64_t limit, int gpu_count, uint64_t buffers, uint64_t o, uint64_t m,
                                      uint64_t p, int max_gpu_nonces, uint64_t group, uint64_t a) {
  plan_gpu_geometry_s g{0, 0, 0};
  if (group == 0 || a == 0) return g;
  const uint64_t most = plan_gpu_nonces(limit, gpu_count, buffers, o, m, p, max_gpu_nonces, 1);
  if (most == 0) return g;
  // A batch smaller than one work group runs groups of the whole batch.
  g.group = std::min(group, most);
  g.granule = plan_gpu_granule(g.group, a);
  if (most >= g.granule) {
    g.f = most - most % g.granule;
    return g;
  }
  // Whole work groups and whole sectors together need more nonces than the
  // RAM or the device holds: the device batch keeps whole work groups only,
  // and the buffer (whole sectors) ends in a partial device batch. One pass
  // of the devices fits in a buffer.
  const uint64_t fit = std::min(most, plan_cpu_batch(limit, buffers, a) / static_cast<uint64_t>(gpu_count));
  if (fit == 0) return plan_gpu_geometry_s{0, 0, 0};
  g.group = std::min(g.group, fit);
  g.granule = g.group;
  g.f = fit - fit % g.group;
  return g;
}

uint64_t plan_gpu_batch(uint64_t limit, int gpu_count, uint64_t buffers, uint64_t f, uint64_t a) {
  if (gpu_count <= 0 || buffers == 0 || f == 0 || a == 0) return 0;
  uint64_t batch = static_cast<uint64_t>(gpu_count) * f;
  uint64_t room = (limit >> 18) / buffers;
  uint64_t k = std::max<uint64_t>(1, room / batch);
  // Whole device batches that are also whole sectors: with f a multiple of
  // the granule every count of batches is; otherwise the next count that is,
  // where the RAM holds it.
  uint64_t step = a / std::gcd(batch, a);
  if (step == 1 || step <= room / batch) return std::max(step, k - k % step) * batch;
  // Whole sectors only, as many as the RAM holds: the last device batch of
  // the buffer is partial.
  uint64_t c = room - room % a;
  if (c >= batch) return c;
  c = k * batch;
  return c - c % a;
}

bool plan_scatter_ranges(const std::vector<job_s*>& jobs) {
  for (job_s* job : jobs) {
    drive_s* m = job->move_drive;
    if (!m) continue;
    m->scatter_start = UINT64_MAX;
    m->scatter_nonces = 0;
    m->scatter_end = 0;
  }
  for (job_s* job : jobs) {
    drive_s* m = job->move_drive;
    if (!m) continue;
    m->scatter_end = std::max(m->scatter_end, job->start_nonce + job->nonces);
    m->scatter_nonces += job->nonces;
    m->scatter_start = m->scatter_start == UINT64_MAX ? job->start_nonce : std::min(m->scatter_start, job->start_nonce);
  }
  for (job_s* job : jobs) {
    drive_s* m = job->move_drive;
    if (m && m->scatter_nonces != m->scatter_end - m->scatter_start) return false;
  }
  return true;
}

namespace {

// Step 10: builds and tests the GPU context, halving the device batch (in
// whole granules) until one works. Returns the batch that worked (0 when
// none did). Every set launches work groups of group, which the batch is
// made of; rate is the benchmark's, which bounds the work of a launch.
uint64_t gpu_context_try(plotter_s* p, uint64_t f, uint64_t granule, uint64_t group, double rate) {
  if (f <= 64) return 0;
  while (f != 0) {
    sys_log("Attempting %d GPU with %s memory.\n", p->gpu_count, format_size(f << 19, true, ""));
    p->gpu_context = gpu_create(p->gpu_count, p->gpu_index, f, p->settings);
    if (p->gpu_context) {
      gpu_choose_work_group(p->gpu_context, group);
      gpu_set_rate(p->gpu_context, rate, p->gpu_count);
      sys_log("Testing GPU configuration ...\n");
      double seconds = 0;
      bool ok = gpu_self_test(p->gpu_context, &seconds);
      sys_log("  test completed in %g seconds\n", seconds);
      if (ok) return f;
      gpu_destroy(p->gpu_context);
      p->gpu_context = nullptr;
    }
    f = plan_gpu_halve(f, granule);
  }
  return 0;
}

void log_plan(plotter_s* p, uint64_t c, uint64_t buffers, uint64_t f) {
  sys_log("Plotting plan:\n");
  sys_log("  %s system RAM will be used by %d buffers\n", format_size(c * buffers * 262144, true, ""),
          static_cast<int>(buffers));
  if (p->gpu_mask != 0)
    sys_log("  %s GPU RAM will be used%s\n", format_size(f * PLAN_GPU_BYTES_PER_NONCE, true, ""),
            p->gpu_count > 1 ? " per GPU" : "");
  char a[PLOT_PATH_MAX];
  char b[PLOT_PATH_MAX];
  for (job_s* job : p->jobs) {
    if (job->move_drive && p->scatter) {
      job_path(job, PLOT_PATH_MAX, a, 0);
      job_scatter_path(job, PLOT_PATH_MAX, b);
      sys_log("  %s (scattered to %s)\n", a, b);
    } else if (job->move_drive) {
      // The staging folder, not its volume name: this platform has none, and
      // every SSD would read alike.
      job_path(job, PLOT_PATH_MAX, a, 1);
      sys_log("  %s (buffered through %s)\n", a, job->write_drive->path);
    } else {
      job_path(job, PLOT_PATH_MAX, a, 0);
      sys_log("  %s (written directly)\n", a);
    }
  }
  uint64_t next = p->jobs.empty() ? 0 : p->jobs.back()->start_nonce + p->jobs.back()->nonces;
  sys_log("If you run another instance at the same time and aren't using automatic nonce mode then start at nonce: %llu\n",
          (unsigned long long)next);
}

// What a write drive not yet timed in this process is taken to do: a
// staging SSD, a disk, each a cost per row write and a bandwidth, and the
// fixed cost of a batch's sync and marker.
const write_cost_s ASSUMED_SSD_WRITE = {0.00005, 600.0 * 1048576, 0.005, 0};
const write_cost_s ASSUMED_DISK_WRITE = {0.0001, 200.0 * 1048576, 0.005, 0};

// Step 6, automatic: single or double buffering, whichever the model finds
// faster with batches of single_nonces or double_nonces (0: two do not fit)
// for the slowest write drive of the plan, as its earlier batches measured
// it where they did. Each mode's time is that of its slowest drive.
void choose_buffering(plotter_s* p, int tasks, double rate, int ssd_count, uint64_t single_nonces,
                      uint64_t double_nonces) {
  buffer_model_s m{plan_plot_bytes(p->jobs), tasks, rate, single_nonces, double_nonces, {}};
  bool measured = true;
  double single = 0, double_ = 0;
  write_cost_s slowest[2] = {};  // the figures behind each mode's time
  std::vector<const drive_s*> seen;
  for (const job_s* job : p->jobs) {
    const drive_s* d = job->write_drive;
    if (!d || std::find(seen.begin(), seen.end(), d) != seen.end()) continue;
    seen.push_back(d);
    if (!drive_write_figures(d, &m.write)) {
      measured = false;
      m.write = ssd_count > 0 ? ASSUMED_SSD_WRITE : ASSUMED_DISK_WRITE;
    }
    double s = 0, t = 0;
    plan_buffer_times(m, &s, &t);
    if (seen.size() == 1 || s > single) single = s, slowest[0] = m.write;
    if (seen.size() == 1 || t > double_) double_ = t, slowest[1] = m.write;
  }
  if (double_nonces == 0) {
    p->double_buffer = 0;
    sys_log("Determined singly buffered RAM will be faster overall for your configuration: the RAM holds one batch "
            "per job, not two\n");
    return;
  }
  p->double_buffer = single > double_ ? 1 : 0;
  const write_cost_s& w = slowest[p->double_buffer];
  // How the rows were charged: a line through what rows of several sizes
  // took, or, from one size alone, the most a row of another could cost.
  char how[256];
  if (w.only_row_bytes != 0) {
    const std::string size = format_size(w.only_row_bytes, true, "");
    snprintf(how, sizeof how, "%.3f ms per row of %s and %.1f ms per batch, %s on rows of that size only: a larger "
             "row is charged as much per byte, a smaller one as much per row", w.row_cost * 1000, size.c_str(),
             w.batch_cost * 1000, measured ? "as measured" : "assumed");
  } else if (w.bandwidth > 0) {
    snprintf(how, sizeof how, "%.3f ms per row plus %.0f MiB/s and %.1f ms per batch, %s", w.row_cost * 1000,
             w.bandwidth / 1048576, w.batch_cost * 1000, measured ? "as measured" : "assumed");
  } else {
    snprintf(how, sizeof how, "%.3f ms per row whatever its size and %.1f ms per batch, %s", w.row_cost * 1000,
             w.batch_cost * 1000, measured ? "as measured" : "assumed");
  }
  sys_log("Determined %s buffered RAM will be faster overall for your configuration: about %.0f s against %.0f s "
          "(hashing %.0f MiB/s, batches of %llu nonces against %llu; writing %s)\n",
          p->double_buffer ? "double" : "singly", p->double_buffer ? double_ : single,
          p->double_buffer ? single : double_, rate / 60 * PLOT_NONCE_BYTES / 1048576,
          (unsigned long long)(p->double_buffer ? double_nonces : single_nonces),
          (unsigned long long)(p->double_buffer ? single_nonces : double_nonces), how);
}

// Step 2: the selected GPUs that are listed, at most eight. Bits naming no
// listed device are dropped, so that every index passed on is valid.
void select_gpus(plotter_s* p, uint32_t mask, uint64_t* o, uint64_t* m, uint64_t* preset) {
  p->gpu_mask = 0;
  p->gpu_count = 0;
  *o = UINT64_MAX;
  *m = UINT64_MAX;
  *preset = 0;
  for (int i = 0; i < 32 && p->gpu_count < 8; i++) {
    if (!(mask & (1u << i)) || i >= static_cast<int>(g_gpu_devices.size())) continue;
    p->gpu_mask |= 1u << i;
    p->gpu_index[p->gpu_count++] = i;
    *o = std::min(*o, gpu_device_max_alloc(i));
    *m = std::min(*m, gpu_device_global_mem(i));
    uint32_t n = gpu_device_preset_nonces(i);
    if (*preset == 0 && n != 0) {
      *preset = n;
      sys_log("Recognized device and using optimal settings!\n");
    }
  }
  if (p->gpu_count == 0) *o = *m = 0;
}

}  // namespace

void plotter_start(plotter_s* p, uint32_t gpu_mask, int ssd_count, int target_count, uint64_t ram_bytes) {
  if (p->thread.joinable()) return;
  uint64_t o, m, preset;
  select_gpus(p, gpu_mask, &o, &m, &preset);

  uint64_t total = 0;
  uint64_t avail = sys_memory(&total);
  uint64_t limit = plan_ram_limit(ram_bytes, avail, total);
  sys_log("Restricting system memory usage of plot buffers and work areas to %s\n", format_size(limit, true, ""));

  int tasks = plan_tasks(ssd_count, target_count, p->settings.min_ram_gb_per_task, avail, &p->concurrent);
  if (tasks <= 0) return refuse(ALLOC_MESSAGE);
  p->max_tasks = tasks;
  if (tasks >= 2) sys_log("Using max %d concurrent tasks.\n", tasks);

  double rate = p->gpu_count > 0 ? gpu_benchmark(p->gpu_count, p->gpu_index, p->settings)
                                   : cpu_benchmark(p->settings.cpu_threads);
  sys_log("Benchmarked system to approx %0.0f nonce/min\n", rate);

  uint64_t a = plan_alignment(p->jobs);
  const int threads = plot_cpu_thread_count(p->settings.cpu_threads);
  const uint64_t work = plot_cpu_work_bytes(threads);
  const uint64_t cpu_limit = limit > work ? limit - work : 0;
  // The batch of each of buffers buffers, before any GPU context is tried:
  // CPU-sized, or whole device batches of the geometry for that many (the
  // work-group size that will run, device batches of whole groups of it and
  // of whole sectors where the RAM holds that).
  const uint64_t group =
      p->gpu_count == 0 ? 0 : gpu_devices_work_group(p->gpu_count, p->gpu_index, p->settings.threads_per_group);
  auto batch_for = [&](uint64_t buffers, plan_gpu_geometry_s* geometry) {
    if (p->gpu_count == 0) return plan_cpu_batch(cpu_limit, buffers, a);
    *geometry = plan_gpu_geometry(limit, p->gpu_count, buffers, o, m, preset, p->settings.max_gpu_nonces, group, a);
    return plan_gpu_batch(limit, p->gpu_count, buffers, geometry->f, a);
  };
  if (p->double_buffer != -1) {
    sys_log("Forcing RAM double buffering to %s\n", p->double_buffer != 0 ? "true" : "false");
  } else {
    // Each mode weighed with the batches it would have.
    plan_gpu_geometry_s unused{};
    const uint64_t jobs = static_cast<uint64_t>(tasks);
    choose_buffering(p, tasks, rate, ssd_count, batch_for(jobs, &unused), batch_for(jobs * 2, &unused));
  }
  uint64_t buffers = static_cast<uint64_t>(tasks) * (p->double_buffer != 0 ? 2 : 1);

  // CPU hashing needs the workers' work areas beside the buffers: the limit
  // covers both, so the buffers get what the work areas leave.
  if (p->gpu_count == 0) {
    sys_log("%d CPU threads will be used (total %d detected)\n", threads, cpu_count());
    sys_log("  %s of it for the CPU workers' work areas, %s for batch buffers\n", format_size(work, true, ""),
            format_size(cpu_limit, true, ""));
  }

  uint64_t c = 0, f = 0;
  plan_gpu_geometry_s geometry{};
  c = batch_for(buffers, &geometry);
  if (p->gpu_count == 0) {
    sys_log("%s mode with %llu nonces per batch\n", ssd_count == 0 ? "CPU direct" : "CPU + SSD",
            (unsigned long long)c);
  } else {
    // A device batch of whole work groups and whole sectors, so that a
    // buffer of whole device batches is sector-aligned as well.
    const uint64_t granule = geometry.granule;
    f = geometry.f;
    sys_log("%s mode with %llu nonces per batch and %llu per GPU\n", ssd_count == 0 ? "GPU direct" : "GPU + SSD",
            (unsigned long long)c, (unsigned long long)f);
    util_assert(granule != 0 && f % granule == 0, false, __FILE__, __LINE__);

    uint64_t f0 = f;
    gpu_clear_failure();
    uint64_t made = gpu_context_try(p, f, granule, geometry.group, rate);
    if (made != 0) {
      f = made;
      // The buffer stays a whole number of the smaller device batches.
      if (f < f0) {
        c = plan_gpu_batch(limit, p->gpu_count, buffers, f, a);
        sys_log("  adjusting down to %llu GPU nonces, %llu buffer\n", (unsigned long long)f,
                (unsigned long long)c);
      }
    } else {
      // The question says why: the last failure of the attempts, or that no
      // attempt could be made.
      std::string why = gpu_last_failure();
      if (why.empty() && f0 <= 64)
        why = "no GPU batch of whole work groups fits in the RAM and the GPU memory given";
      const std::string text = why.empty() ? std::string("Fall back to using CPU?")
                                           : "The GPU could not be set up: " + why + ".\nFall back to using CPU?";
      report_s r;
      r.title = "Error initializing GPU";
      r.what = text;
      if (!report_ask_user(r, [](const char* title, const char* t) { return engine_question(false, nullptr, title, t); }))
        return engine_exit_error();
      p->gpu_mask = 0;
      p->gpu_count = 0;
      f = 0;
      sys_log("Falling back to CPU.\n");
      // A GPU plan that came out empty, or one that leaves no room for the
      // workers' work areas, gets a CPU-sized batch; where not even one CPU
      // batch fits beside them, the GPU batch stays rather than no run at all.
      uint64_t cpu_c = plan_cpu_batch(cpu_limit, buffers, a);
      if (c == 0 || (cpu_c != 0 && c > cpu_c)) c = cpu_c;
    }
  }

  // No batch fits the RAM given (or a buffer would not hold whole sectors):
  // no job could ever start.
  if (c == 0) return refuse_too_little_ram(limit, buffers, a, p->gpu_count == 0 ? work : 0, tasks);
  if (c % a != 0) return refuse(ALLOC_MESSAGE);
  p->nonces_per_buffer = c;
  for (uint64_t i = 0; i < buffers; i++) {
    buffer_s* b = buffer_create(c);
    if (!b) return refuse(ALLOC_MESSAGE);
    p->free_buffers.push_back(b);
  }
  sys_plot_start_hook();

  if (p->scatter && !plan_scatter_ranges(p->jobs)) {
    return refuse(SCATTER_MESSAGE);
  }
  log_plan(p, c, buffers, f);

  __atomic_store_n(&p->stop, false, __ATOMIC_SEQ_CST);
  p->ended = false;
  p->thread = std::thread(thread_proc, p);
}
