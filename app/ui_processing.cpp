// The start of a run, the processing screen and the summary. The screen is
// repainted every 500 ms; each paint copies the run into a snapshot under the
// plotter's lock once and draws only from that copy: the work thread may free
// a job's buffers or hand a drive to another job at any moment.
#include "app/ui_processing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/drives.h"
#include "app/prefs.h"
#include "app/settings.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "ui/draw.h"
#include "ui/regions.h"
#include "ui/widgets.h"
#include "ui/window.h"

run_history_s g_history;
rate_graph_s g_rate_graphs[3];
double g_free_space_time;
double g_compute_start_time;
double g_write_start_time;
double g_move_start_time;
double g_eta_time;
char g_eta_text[128];

const uint32_t colours_compute[3] = {0xff117dbb, 0xffd9eaf4, 0xfff1f6fa};
const uint32_t colours_write[3] = {0xff4da60c, 0xffdbedce, 0xffeff7e9};
const uint32_t colours_move[3] = {0xffa74f01, 0xffeedecf, 0xfffcf3eb};

namespace {

const char* FONT = "Microsoft Sans Serif";
const unsigned BLACK = 0xff000000;
const unsigned GREY = 0xff707070;
const uint64_t NONCE_BYTES = 262144;

void text(window_s* w, unsigned colour, float size, const char* s, float x, float y) {
  draw_set_fill(w, colour);
  draw_set_font(w, FONT, size);
  draw_text(w, s, x, y);
}

// The two-value column at the right of a section.
void side_column(window_s* w, int x, int y, const char* label1, const char* value1,
                 const char* label2, const char* value2, int second_y) {
  text(w, GREY, 8, label1, (float)x, (float)y);
  text(w, BLACK, 13, value1, (float)x, (float)(y + 15));
  text(w, GREY, 8, label2, (float)x, (float)second_y);
  text(w, BLACK, 13, value2, (float)x, (float)(second_y + 15));
}

struct totals_s {
  uint64_t done, total, resumed, written, moved, ram_total, ram_used;
};

totals_s snapshot_totals(const plotter_snapshot_s& snap) {
  totals_s t{};
  for (const job_snapshot_s& job : snap.jobs) {
    t.done += job.nonces_done;
    t.total += job.nonces;
    t.resumed += job.nonces_resumed * NONCE_BYTES;
    t.written += job.bytes_written;
    t.moved += job.bytes_moved;
    t.ram_total += job.compute_capacity * NONCE_BYTES;
    if (job.state == JOB_PLOTTING && job.buffers) {
      t.done += job.compute_progress;
      t.ram_used += job.compute_progress * NONCE_BYTES;
    }
  }
  return t;
}

// What the screen shows of a drive: zeros for one that no job of the run uses.
drive_snapshot_s drive_figures(const plotter_snapshot_s& snap, const drive_s& d) {
  const drive_snapshot_s* e = snapshot_drive(&snap, &d);
  return e ? *e : drive_snapshot_s{&d, 0, 0, -1, -1};
}

void paint_processor_names(window_s* w, int W) {
  draw_set_fill(w, GREY);
  draw_set_font(w, FONT, 11);
  int right = W - 116;
  if (g_gpus == 0) {
    draw_text(w, g_cpu_brand, (float)(right - (int)draw_text_width(w, g_cpu_brand)), 24);
    return;
  }
  int listed = std::min(g_gpu_count, (int)GPU_MAX);
  for (int n = 0; n < listed; n++) {
    if (!((g_gpus >> n) & 1) || !g_gpu_names[n]) continue;
    int tw = (int)draw_text_width(w, g_gpu_names[n]);
    draw_text(w, g_gpu_names[n], (float)(right - tw), 24);
    right -= tw + 2;
  }
}

// A drive's path, right-aligned to x + cw and clipped to its column.
void drive_name(window_s* w, const drive_s& d, int clip_x, int x, int y, int cw) {
  draw_set_font(w, FONT, 11);
  draw_set_fill(w, GREY);
  draw_clip_push(w, clip_x, y, cw, 24);
  draw_text(w, d.path, (float)(x + cw - (int)draw_text_width(w, d.path)), (float)y);
  draw_clip_pop(w);
}

// The job's progress line under a bar and the name of its file.
void job_line(window_s* w, const job_snapshot_s* job, unsigned colour, double fraction, int x, int y, int cw,
              int which) {
  draw_set_stroke(w, colour);
  draw_set_line_width(w, 2);
  draw_line(w, (float)x, (float)y, (float)(x + fraction * cw), (float)y);
  draw_set_line_width(w, 1);
  draw_no_stroke(w);
  draw_clip_push(w, x, y, cw, 10);
  char path[260];
  job_snapshot_path(job, sizeof path, path, which);
  text(w, GREY, 5, path, (float)x, (float)(y + 2));
  draw_clip_pop(w);
}

void paint_ssd_section(window_s* w, const plotter_snapshot_s& snap, int W, int S, double now,
                       uint64_t written) {
  int n = (int)g_ssds.size();
  util_assert(n != 0, false, "ui_processing", 324);
  if (n == 0) return;
  text(w, BLACK, 22, "Write", 24, (float)(S + 36));
  int cw = (W - 134 - 6 * n) / n;
  double speed = 0;
  for (int k = 0; k < n; k++) {
    drive_s& d = g_ssds[k];
    drive_snapshot_s figures = drive_figures(snap, d);
    int x = 24 + k * (cw + 6);
    float r = rate_graph_add(&d.rate_graph, 4, (float)now, (double)figures.bytes_in);
    const job_snapshot_s* job = snapshot_job(&snap, figures.job_writing_in);
    double fraction =
        job && job->nonces ? (double)job->bytes_written / (double)(job->nonces * NONCE_BYTES) : 0;
    char speed_text[32];
    format_size_to(sizeof speed_text, speed_text, (uint64_t)r, false, "/s");
    paint_progress_bar(w, x, S + 74, cw, S - 38, speed_text, (float)fraction, r > 0, &d.rate_graph,
                       colours_write);
    drive_name(w, d, x, x, S + 48, cw);
    if (job) {
      job_line(w, job, 0xff4da60c, fraction, x, 2 * S + 36, cw, 0);
    } else {
      bool staged = false;
      for (const job_snapshot_s& j : snap.jobs)
        if (j.state == JOB_STAGED && j.write_drive == &d) staged = true;
      if (staged) {
        draw_clip_push(w, x, 2 * S + 36, cw, 10);
        text(w, GREY, 5, "Staged file ready and waiting.", (float)x, (float)(2 * S + 38));
        draw_clip_pop(w);
      }
    }
    speed += r;
  }
  char a[64], b[64];
  snprintf(a, sizeof a, "%s", format_size(written, false, ""));
  snprintf(b, sizeof b, "%s", format_size((uint64_t)speed, false, "/s"));
  side_column(w, W - 106, S + 74, "Written", a, "Speed", b, S + 119);
}

void paint_target_section(window_s* w, const plotter_snapshot_s& snap, int W, int S, double now,
                          uint64_t written, uint64_t moved) {
  bool ssds = !g_ssds.empty();
  int T = ssds ? 2 * S + 60 : S + 36;
  const char* title = ssds ? "Move" : "Write";
  text(w, BLACK, 22, title, 24, (float)T);
  int title_w = (int)draw_text_width(w, title);
  int n = (int)g_drives.size();
  int cw = 10;
  if (n == 0)
    sys_log("how we get here?\n");
  else
    cw = (W - 134 - 6 * n) / n;
  const uint32_t* colours = ssds ? colours_move : colours_write;
  unsigned line_colour = ssds ? 0xffa74f01 : 0xff4da60c;
  double speed = 0;
  for (int k = 0; k < n; k++) {
    drive_s& d = g_drives[k];
    drive_snapshot_s figures = drive_figures(snap, d);
    int x = 24 + k * (cw + 6);
    int col_w = cw;
    float r = rate_graph_add(&d.rate_graph, 4, (float)now, (double)figures.bytes_in);
    char speed_text[32];
    format_size_to(sizeof speed_text, speed_text, (uint64_t)r, false, "/s");
    double fraction = figures.planned_nonces != 0
                          ? (double)figures.bytes_in / (double)(figures.planned_nonces * NONCE_BYTES)
                          : 0;
    const job_snapshot_s* job = snapshot_job(&snap, figures.job_writing_in);
    if (!ssds && n == 1 && job) {
      col_w = W - 198;
      paint_progress_bar(w, 24, T + 38, col_w, S - 38, speed_text, (float)fraction, r > 0,
                         &d.rate_graph, colours);
      uint64_t cap = job->write_capacity * NONCE_BYTES;
      uint64_t p = job->write_progress;
      uint64_t used = cap - (p != 0 ? std::min(p, cap) : cap);
      paint_fill_gauge(w, W - 168, T + 38, S - 38, used, cap);
    } else {
      paint_progress_bar(w, x, T + 38, cw, S - 38, speed_text, (float)fraction, r > 0,
                         &d.rate_graph, colours);
    }
    drive_name(w, d, std::max(x, 24 + title_w), x, T + 12, col_w);
    if (job) {
      uint64_t done = ssds ? job->bytes_moved : job->bytes_written;
      double jf = job->nonces ? (double)done / (double)(job->nonces * NONCE_BYTES) : 0;
      job_line(w, job, line_colour, jf, x, T + S, col_w, 1);
    }
    speed += r;
  }
  char a[64], b[64];
  snprintf(a, sizeof a, "%s", format_size(ssds ? moved : written, false, ""));
  snprintf(b, sizeof b, "%s", format_size((uint64_t)speed, false, "/s"));
  side_column(w, W - 106, T + 38, ssds ? "Moved" : "Written", a, "Speed", b, T + 83);
}

void update_estimate(double now, const run_progress_s& p) {
  if (!(now - g_eta_time > 5.0) || p.moved >= p.total) return;
  g_eta_time = now;
  double seconds = estimate_seconds(
      p, {g_compute_start_time, g_write_start_time, g_move_start_time}, now);
  if (now > 5.0 && seconds != 0)
    snprintf(g_eta_text, sizeof g_eta_text, "Estimated time remaining: %s",
             format_duration(seconds));
}

}  // namespace

history_sample_s history_sample_now() {
  static plotter_snapshot_s snap;  // its storage is reused from tick to tick
  plotter_snapshot(g_plotter, &snap);
  uint64_t computed = 0, written = 0, moved = 0;
  for (const job_snapshot_s& job : snap.jobs) {
    computed += (job.nonces_done + job.compute_progress) * NONCE_BYTES;
    written += job.bytes_written;
    moved += job.bytes_moved;
  }
  return {(double)moved, (double)written, (double)computed};
}

void history_start() {
  history_reset(&g_history);
  sys_timer_add((unsigned)(HISTORY_TICK_SECONDS * 1000), [] {
    // The sampler belongs to the processing screen and ends with it.
    if (plotter_is_finished(g_plotter) || !window_is_paint(g_window, paint_cb)) return false;
    history_record(&g_history, history_sample_now());
    return true;
  });
}

void summary_show() {
  history_finish(&g_history, history_sample_now());
  window_set_paint(g_window, summary_paint);
  window_set_redraw_timer(g_window, 0);
}

void processing_start() {
  prefs_save();
  sys_time_start();
  ui_regions_clear(g_window);
  window_set_paint(g_window, paint_cb);
  window_redraw(g_window);
  window_set_redraw_timer(g_window, 500);
  plotter_start(g_plotter, g_gpus, (int)g_ssds.size(), (int)g_drives.size(), g_resume_ram);
  history_start();
}

void paint_progress_bar(window_s* w, int x, int y, int wd, int ht, const char* label,
                        float fraction, bool active, rate_graph_s* graph, const uint32_t* c) {
  draw_set_stroke(w, c[0]);
  draw_no_fill(w);
  draw_rect(w, (float)x, (float)y, (float)wd, (float)ht);
  draw_set_fill(w, c[2]);
  draw_no_stroke(w);
  rate_graph_draw(graph, w, x, y, wd, ht);
  draw_set_stroke(w, c[1]);
  int step = ht / 5;
  if (step > 0)
    for (int gy = y + step; gy < y + ht; gy += step)
      draw_line(w, (float)(x + 1), (float)gy, (float)(x + wd - 1), (float)gy);
  for (int gx = x + 32; gx < x + wd; gx += 32)
    draw_line(w, (float)gx, (float)(y + 1), (float)gx, (float)(y + ht - 2));
  char pct[32];
  snprintf(pct, sizeof pct, "%0.1f%%", (double)(fraction * 100.0f));
  text(w, active ? c[0] : c[1], 18, pct, (float)(x + 2), (float)(y + ht - 28));
  draw_set_stroke(w, c[0]);
  draw_no_fill(w);
  rate_graph_draw(graph, w, x, y, wd, ht);
  if (label) {
    draw_set_fill(w, c[0]);
    draw_set_font(w, FONT, 8);
    draw_text(w, label, x + wd - draw_text_width(w, label) - 2, (float)(y + ht - 16));
  }
  draw_no_stroke(w);
}

void paint_fill_gauge(window_s* w, int x, int y, int ht, uint64_t used, uint64_t total) {
  draw_set_stroke(w, 0xff8b12ae);
  draw_no_fill(w);
  draw_rect(w, (float)x, (float)y, 52, (float)ht);
  // Without a buffer (total 0) the gauge is empty.
  double share = total ? std::min(1.0, (double)used / (double)total) : 0.0;
  double level = (y + ht) - ht * share;
  draw_set_fill(w, 0xfff4f2f4);
  draw_no_stroke(w);
  draw_rect(w, (float)x, (float)level, 52, (float)((y + ht) - level));
  draw_set_stroke(w, 0xffecdef0);
  int step = ht / 5;
  if (step > 0)
    for (int gy = y + step; gy < y + ht; gy += step)
      draw_line(w, (float)(x + 1), (float)gy, (float)(x + 51), (float)gy);
  draw_set_stroke(w, 0xff8b12ae);
  draw_no_fill(w);
  draw_line(w, (float)x, (float)level, (float)(x + 52), (float)level);
  char label[32];
  format_size_to(sizeof label, label, used, true, "");
  draw_set_fill(w, 0xff8b12ae);
  draw_set_font(w, FONT, 8);
  draw_text(w, label, (52 - draw_text_width(w, label)) * 0.5f + x + 1, (float)(y + ht - 16));
  draw_no_stroke(w);
}

void paint_cb(void*) {
  window_s* w = g_window;
  if (g_ssds.empty() && g_drives.empty()) return;
  int W = window_width(w), H = window_height(w);
  bool ssds = !g_ssds.empty();
  int S = ssds ? (H - 88) / 3 : (H - 64) / 2;
  double now = sys_time();
  draw_clear(w, 0xffffffff);

  if (now - g_free_space_time > 60.0) {
    g_free_space_time = now;
    for (drive_s& d : g_drives) drive_set_free_bytes(&d, sys_free_space(d.path, nullptr));
  }

  static plotter_snapshot_s snap;  // its storage is reused from paint to paint
  plotter_snapshot(g_plotter, &snap);
  totals_s t = snapshot_totals(snap);
  uint64_t computed = t.done * NONCE_BYTES;
  uint64_t total_bytes = t.total * NONCE_BYTES;
  if (computed != 0 && g_compute_start_time == 0) g_compute_start_time = now;
  if (t.written != 0 && g_write_start_time == 0) g_write_start_time = now;
  if (t.moved != 0 && g_move_start_time == 0) g_move_start_time = now;
  double done_share = t.total ? (double)t.done / (double)t.total : 0;
  window_set_progress(w, (float)done_share);

  text(w, BLACK, 22, "Compute", 24, 12);
  paint_processor_names(w, W);

  double in_run = (double)(computed - std::min(t.resumed, computed));
  float rate = rate_graph_add(&g_rate_graphs[0], 4, (float)now, in_run * 60.0 * 3.814697265625e-06);
  char a[32], b[32];
  format_size_to(sizeof a, a, computed, false, "");
  format_size_to(sizeof b, b, total_bytes - std::min(computed, total_bytes), false, "");
  side_column(w, W - 106, 50, "Computed", a, "Remaining", b, 95);

  char label[32];
  snprintf(label, sizeof label, "%g nonces/min", (double)rate);
  paint_progress_bar(w, 24, 50, ssds ? W - 140 : W - 198, S - 38, label, (float)done_share,
                     rate > 0, &g_rate_graphs[0], colours_compute);
  if (!ssds) paint_fill_gauge(w, W - 168, 50, S - 38, t.ram_used, t.ram_total);

  if (ssds) paint_ssd_section(w, snap, W, S, now, t.written);
  paint_target_section(w, snap, W, S, now, t.written, t.moved);

  update_estimate(now, {total_bytes, computed, t.resumed, t.written, t.moved});
  if (g_eta_text[0] && t.moved < total_bytes) text(w, GREY, 9, g_eta_text, 24, (float)(H - 18));

  paint_button(w, snap.paused ? "Resume" : "Pause", true, W - 106, H - 25, 86, 20,
               9, [] { plotter_toggle_pause(g_plotter); });
}

namespace {

const float SUMMARY_BASE_Y = 334;
const double SUMMARY_BAR_MAX = 240;

// The history as stacked bars centred over the base line: computed (blue),
// written (green) and moved (yellow) in each slot.
void paint_history_bars(window_s* w, int W) {
  std::vector<history_bar_s> bars = history_bars(g_history.slots, SUMMARY_BAR_MAX);
  size_t n = bars.size();
  if (n == 0) return;
  float bw = floorf((float)(W - 48) / (float)n);
  if (!(bw >= 1)) bw = 1;
  int x0 = (int)(((W - 48) - n * bw) * 0.5f + 24);
  draw_no_stroke(w);
  for (size_t i = 0; i < n; i++) {
    const history_bar_s& b = bars[i];
    float bx = i * bw + x0 + 1;
    float y = SUMMARY_BASE_Y;
    const struct {
      float height;
      unsigned colour;
    } parts[] = {{b.computed, 0xff117dbb}, {b.written, 0xff4da60c}, {b.moved, 0xffdbdb2f}};
    for (const auto& part : parts) {
      y -= part.height;
      draw_set_fill(w, part.colour);
      draw_rect(w, bx, y, bw - 2, part.height);
    }
  }
  draw_no_fill(w);
  draw_set_stroke(w, BLACK);
  draw_set_line_width(w, 2);
  draw_line(w, (float)x0, SUMMARY_BASE_Y, (float)(x0 + (int)(n * bw)), SUMMARY_BASE_Y);
  draw_set_line_width(w, 1);
  draw_no_stroke(w);
}

}  // namespace

void summary_paint(void*) {
  window_s* w = g_window;
  int W = window_width(w);
  draw_clear(w, 0xffffffff);
  text(w, BLACK, 22, "Summary", 24, 24);

  paint_history_bars(w, W);

  plotter_snapshot_s snap;
  plotter_snapshot(g_plotter, &snap);
  uint64_t total = 0;
  for (const job_snapshot_s& job : snap.jobs) total += job.nonces;
  char line[64];
  snprintf(line, sizeof line, "%s plotted in %s", format_size(total * NONCE_BYTES, false, ""),
           format_duration(g_finish_time));
  draw_set_fill(w, BLACK);
  draw_set_font(w, FONT, 16);
  draw_text(w, line, (W - draw_text_width(w, line)) * 0.5f, 370);
}
