// Every value here is cumulative: a slot holds the totals at its end, so a
// bar is the difference of two neighbouring slots and merging slots only
// has to keep the later one.
#include "app/run_history.h"

#include <algorithm>
#include <cmath>

#include "platform/sys_linux.h"
#include "plot/nonce.h"

void history_reset(run_history_s* h) {
  h->slots.clear();
  h->ticks = 0;
  h->ticks_per_slot = 0;
}

void history_halve(run_history_s* h) {
  std::vector<history_sample_s>& s = h->slots;
  size_t n = s.size();
  size_t kept = (n + 1) / 2;
  for (size_t j = 0; j < kept; j++) s[j] = s[std::min(2 * j + 1, n - 1)];
  s.resize(kept);
  h->ticks_per_slot = std::max<uint64_t>(h->ticks_per_slot, 1) * 2;
}

void history_record(run_history_s* h, const history_sample_s& sample) {
  if (h->ticks_per_slot == 0) h->ticks_per_slot = 1;
  uint64_t slot = h->ticks / h->ticks_per_slot;
  if (slot >= HISTORY_MAX_SLOTS) {
    history_halve(h);
    slot = h->ticks / h->ticks_per_slot;
  }
  if (slot < h->slots.size())
    h->slots.back() = sample;
  else
    h->slots.push_back(sample);
  h->ticks++;
}

double history_interval(const run_history_s* h) {
  return (double)std::max<uint64_t>(h->ticks_per_slot, 1) * HISTORY_TICK_SECONDS;
}

void history_thin(run_history_s* h) {
  std::vector<history_sample_s>& s = h->slots;
  size_t n = s.size();
  if (n <= SUMMARY_MAX_BARS) return;
  size_t k = (n + SUMMARY_MAX_BARS - 1) / SUMMARY_MAX_BARS;
  std::vector<history_sample_s> kept;
  kept.reserve(SUMMARY_MAX_BARS);
  for (size_t i = (n - 1) % k; i < n; i += k) kept.push_back(s[i]);
  s.swap(kept);
  h->ticks_per_slot = std::max<uint64_t>(h->ticks_per_slot, 1) * k;
}

void history_finish(run_history_s* h, const history_sample_s& final_totals) {
  history_record(h, final_totals);
  history_thin(h);
}

namespace {

double increase(double now, double before) {
  double d = now - before;
  return std::isfinite(d) && d > 0 ? d : 0;
}

}  // namespace

std::vector<history_bar_s> history_bars(const std::vector<history_sample_s>& history,
                                        double max_height) {
  double busiest = 0;
  history_sample_s prev{0, 0, 0};
  for (const history_sample_s& h : history) {
    double step = increase(h.computed, prev.computed) + increase(h.written, prev.written) +
                  increase(h.moved, prev.moved);
    busiest = std::max(busiest, step);
    prev = h;
  }
  double scale = busiest > 0 ? max_height / busiest : 0;
  std::vector<history_bar_s> bars;
  bars.reserve(history.size());
  prev = {0, 0, 0};
  // Whole pixels from the base up, so that the three parts stack without
  // gaps; the margin keeps the busiest bar from rounding down a pixel.
  auto px = [scale](double v) { return (float)std::floor(v * scale + 1e-6); };
  for (const history_sample_s& h : history) {
    double c = increase(h.computed, prev.computed);
    double cw = c + increase(h.written, prev.written);
    double cwm = cw + increase(h.moved, prev.moved);
    bars.push_back({px(c), px(cw) - px(c), px(cwm) - px(cw)});
    prev = h;
  }
  return bars;
}

namespace {

double average(uint64_t amount, double now, double since) {
  if (since == 0) return 0;
  double seconds = sys_seconds_between(since, now);
  return seconds > 0 ? (double)amount / seconds : 0;
}

double time_left(uint64_t total, uint64_t done, double speed) {
  if (!(speed > 0)) return 0;
  return (double)(total - std::min(done, total)) / speed;
}

}  // namespace

double estimate_seconds(const run_progress_s& p, const run_stage_times_s& since, double now) {
  // Files resumed hold their first nonces already: they count as written,
  // or a resumed run would never leave the write stage.
  uint64_t in_files = p.written + std::min(p.resumed, p.total);
  if (in_files >= p.total) return time_left(p.total, p.moved, average(p.moved, now, since.move));
  if (p.computed >= p.total)
    return time_left(p.total, in_files, average(p.written, now, since.write));
  return time_left(p.total, p.computed, average(session_computed_bytes(p), now, since.compute));
}

namespace {

double share(uint64_t part, uint64_t whole) {
  return whole ? std::min(1.0, (double)part / (double)whole) : 0.0;
}

}  // namespace

run_totals_s run_totals(const plotter_snapshot_s& snap) {
  run_totals_s t{};
  for (const job_snapshot_s& job : snap.jobs) {
    t.done_nonces += job.nonces_done;
    t.total_nonces += job.nonces;
    t.bytes.resumed += job.nonces_resumed * PLOT_NONCE_BYTES;
    t.bytes.written += job.bytes_written;
    t.bytes.moved += job.bytes_moved;
    t.ram_total += job.compute_capacity * PLOT_NONCE_BYTES;
    if (job.state == JOB_PLOTTING && job.buffers) {
      t.done_nonces += job.compute_progress;
      t.ram_used += job.compute_progress * PLOT_NONCE_BYTES;
    }
  }
  t.bytes.computed = t.done_nonces * PLOT_NONCE_BYTES;
  t.bytes.total = t.total_nonces * PLOT_NONCE_BYTES;
  return t;
}

history_sample_s history_sample_of(const plotter_snapshot_s& snap) {
  run_totals_s t = run_totals(snap);
  return {(double)t.bytes.moved, (double)t.bytes.written, (double)session_computed_bytes(t.bytes)};
}

uint64_t session_computed_bytes(const run_progress_s& p) { return p.computed - std::min(p.resumed, p.computed); }

uint64_t session_plotted_bytes(const plotter_snapshot_s& snap) { return session_computed_bytes(run_totals(snap).bytes); }

double drive_share(const plotter_snapshot_s& snap, const drive_s* d) {
  const drive_snapshot_s* e = snapshot_drive(&snap, d);
  if (!e) return 0;
  uint64_t arrived = e->bytes_in;
  for (const job_snapshot_s& job : snap.jobs)
    if (job.write_drive == d) arrived += job.nonces_resumed * PLOT_NONCE_BYTES;
  return share(arrived, e->planned_nonces * PLOT_NONCE_BYTES);
}

double job_share(const job_snapshot_s& job, bool moved) {
  uint64_t done = moved ? job.bytes_moved : job.bytes_written + job.nonces_resumed * PLOT_NONCE_BYTES;
  return share(done, job.nonces * PLOT_NONCE_BYTES);
}

uint64_t write_buffer_held(const job_snapshot_s& job) {
  if (job.write_capacity == 0) return 0;
  uint64_t handed = (job.nonces_done - std::min(job.nonces_resumed, job.nonces_done)) * PLOT_NONCE_BYTES;
  uint64_t held = handed - std::min(job.bytes_written, handed);
  return std::min(held, job.write_capacity * PLOT_NONCE_BYTES);
}
