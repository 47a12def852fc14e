// The start of a run, the processing screen and the summary. The screen is
// repainted every 500 ms; each paint copies the run into a snapshot under the
// plotter's lock once and draws only from that copy: the work thread may free
// a job's buffers or hand a drive to another job at any moment.
#include "app/ui_processing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/drives.h"
#include "app/prefs.h"
#include "app/settings.h"
#include "engine/plotter.h"
#include "plot/nonce.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "ui/draw.h"
#include "ui/regions.h"
#include "ui/widgets.h"
#include "ui/report.h"
#include "ui/window.h"

run_history_s g_history;
std::vector<drawn_text_s> g_processing_texts;
rate_graph_s g_rate_graphs[3];
std::map<const drive_s*, rate_graph_s> g_drive_rate_graphs;
double g_free_space_time;
double g_compute_start_time;
double g_write_start_time;
double g_move_start_time;
double g_eta_time;
elapsed_clock_s g_run_clock;
char g_eta_text[128];
bool g_run_closing;

const uint32_t colours_compute[3] = {0xff117dbb, 0xffd9eaf4, 0xfff1f6fa};
const uint32_t colours_write[3] = {0xff4da60c, 0xffdbedce, 0xffeff7e9};
const uint32_t colours_move[3] = {0xffa74f01, 0xffeedecf, 0xfffcf3eb};

namespace {

const char* FONT = "Microsoft Sans Serif";
const unsigned BLACK = 0xff000000;
const unsigned GREY = 0xff707070;
const int COLUMN_GAP = 6;
// Font sizes in points; nothing on the screen is smaller than FILE_POINTS.
const float TITLE_POINTS = 22;
const float PERCENT_POINTS = 18;
const float NAME_POINTS = 10;
const float LABEL_POINTS = 8;
const float FILE_POINTS = 7;
const char* ELLIPSIS = "\u2026";

void text(window_s* w, unsigned colour, float size, const char* s, float x, float y) {
  draw_set_fill(w, colour);
  draw_set_font(w, FONT, size);
  draw_text(w, s, x, y);
}

float title_width(window_s* w, const char* title) {
  draw_set_font(w, FONT, TITLE_POINTS);
  return draw_text_width(w, title);
}

// The text, or its end behind an ellipsis, in at most max_w pixels of the
// current font (the end of a path names the folder and the file); empty
// when not even the ellipsis fits.
std::string fit_text(window_s* w, const char* s, int max_w) {
  if (draw_text_width(w, s) <= max_w) return s;
  auto tail = [s](size_t cut) {
    while (s[cut] && (s[cut] & 0xc0) == 0x80) cut++;  // not inside a character
    return std::string(ELLIPSIS) + (s + cut);
  };
  // The shorter the tail the narrower: search the longest one that fits.
  size_t lo = 1, hi = strlen(s);
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (draw_text_width(w, tail(mid).c_str()) <= max_w)
      hi = mid;
    else
      lo = mid + 1;
  }
  std::string t = tail(lo);
  return draw_text_width(w, t.c_str()) <= max_w ? t : "";
}

// The two-value column at the right of a section.
void side_column(window_s* w, int x, int y, const char* label1, const char* value1,
                 const char* label2, const char* value2, int second_y) {
  text(w, GREY, 8, label1, (float)x, (float)y);
  text(w, BLACK, 13, value1, (float)x, (float)(y + 15));
  text(w, GREY, 8, label2, (float)x, (float)second_y);
  text(w, BLACK, 13, value2, (float)x, (float)(second_y + 15));
}

// The processors computing now: the GPUs of the run, or the CPU (also
// after a fall-back from the GPUs), not the saved selection.
void paint_processor_names(window_s* w, int W, uint32_t gpu_mask) {
  int right = W - 116;
  // The names never run into the section title on their left.
  int left = 24 + (int)title_width(w, "Compute") + 12;
  draw_set_fill(w, GREY);
  draw_set_font(w, FONT, 11);
  if (gpu_mask == 0) {
    std::string name = fit_text(w, g_cpu_brand, right - left);
    draw_text(w, name.c_str(), (float)(right - (int)draw_text_width(w, name.c_str())), 24);
    return;
  }
  int listed = std::min(g_gpu_count, (int)GPU_MAX);
  for (int n = 0; n < listed; n++) {
    if (!((gpu_mask >> n) & 1) || !g_gpu_names[n]) continue;
    std::string name = fit_text(w, g_gpu_names[n], right - left);
    if (name.empty()) break;
    int tw = (int)draw_text_width(w, name.c_str());
    draw_text(w, name.c_str(), (float)(right - tw), 24);
    right -= tw + 2;
  }
}

// Which drives a section shows: all of them when each column can be at least
// min_w wide, else a page of as many as fit.
struct columns_s {
  int first;  // index of the first drive shown
  int count;  // drives shown
  int width;  // of each column
  int page;
  int pages;
};

columns_s drive_columns(int n, int W, int page, int min_w) {
  int per_page = n;
  if (n > 0 && (W - 134 - COLUMN_GAP * n) / n < min_w)
    per_page = std::max(1, (W - 128) / (min_w + COLUMN_GAP));
  columns_s c{};
  c.pages = n > 0 ? (n + per_page - 1) / per_page : 1;
  c.page = std::min(std::max(page, 0), c.pages - 1);
  c.first = c.page * per_page;
  c.count = std::min(per_page, n - c.first);
  c.width = std::max(1, (W - 134 - COLUMN_GAP * per_page) / std::max(per_page, 1));
  return c;
}

// The narrowest column whose percentage and speed texts stay readable.
int min_column_width(window_s* w) {
  draw_set_font(w, FONT, PERCENT_POINTS);
  float pct = draw_text_width(w, "100.0%");
  draw_set_font(w, FONT, LABEL_POINTS);
  float label = draw_text_width(w, "999.9 MB/s");
  return (int)std::max(pct, label) + 8;
}

// "<", the page number and ">" at the right of a section's name row.
void paint_pager(window_s* w, int W, int y, const columns_s& c, int* page) {
  int pages = c.pages;
  paint_button(w, "<", c.page > 0, W - 106, y, 22, 18, 8, [page] {
    *page = std::max(*page - 1, 0);
    window_redraw(g_window);
  });
  paint_button(w, ">", c.page + 1 < pages, W - 46, y, 22, 18, 8, [page, pages] {
    *page = std::min(*page + 1, pages - 1);
    window_redraw(g_window);
  });
  char label[32];
  snprintf(label, sizeof label, "%d/%d", c.page + 1, pages);
  draw_set_font(w, FONT, LABEL_POINTS);
  float lw = draw_text_width(w, label);
  text(w, GREY, LABEL_POINTS, label, (float)(W - 65) - lw / 2, (float)(y + 4));
}

// A drive's path, right-aligned in its column; a path too long for the
// column shows its end.
void drive_name(window_s* w, const drive_s& d, int x, int y, int cw) {
  draw_set_font(w, FONT, NAME_POINTS);
  std::string name = fit_text(w, d.path, cw);
  text(w, GREY, NAME_POINTS, name.c_str(), (float)(x + cw - (int)draw_text_width(w, name.c_str())),
       (float)y);
}

// A small grey line under a bar, cut to the column.
void under_bar_text(window_s* w, const char* s, int x, int y, int cw) {
  draw_set_font(w, FONT, FILE_POINTS);
  std::string fitted = fit_text(w, s, cw);
  draw_clip_push(w, x, y, cw, 14);
  text(w, GREY, FILE_POINTS, fitted.c_str(), (float)x, (float)(y + 2));
  draw_clip_pop(w);
}

// The job's progress line under a bar and the name of its file.
void job_line(window_s* w, const job_snapshot_s* job, unsigned colour, double fraction, int x,
              int y, int cw, int which) {
  draw_set_stroke(w, colour);
  draw_set_line_width(w, 2);
  draw_line(w, (float)x, (float)y, (float)(x + fraction * cw), (float)y);
  draw_set_line_width(w, 1);
  draw_no_stroke(w);
  char path[260];
  job_snapshot_path(job, sizeof path, path, which);
  under_bar_text(w, path, x, y, cw);
}

bool staged_waiting(const plotter_snapshot_s& snap, const drive_s& d) {
  for (const job_snapshot_s& j : snap.jobs)
    if (j.state == JOB_STAGED && j.write_drive == &d) return true;
  return false;
}

// The free space a job lacks to start on d, or to move into it (shown under
// d's bar); 0 = none.
uint64_t space_missing(const plotter_snapshot_s& snap, const drive_s& d) {
  for (const job_snapshot_s& j : snap.jobs)
    if (j.bytes_missing != 0 && ((j.state == JOB_NEW && j.write_drive == &d) ||
                                 (j.state == JOB_STAGED && j.move_drive == &d)))
      return j.bytes_missing;
  return 0;
}

void paint_space_wait(window_s* w, uint64_t missing, int x, int y, int cw) {
  char line[96];
  snprintf(line, sizeof line, "Waiting for free space: %s missing", format_size(missing, false, ""));
  under_bar_text(w, line, x, y, cw);
}

// One section of drive columns: the staging SSDs (written into, then moved
// out) or the targets (written into directly, or moved into from the SSDs).
struct section_s {
  const char* title;
  std::vector<drive_s>* drives;
  int top;  // the title row
  bool staging;
  bool after_staging;  // targets of a staged run
  int* page;
  const char* total_label;
  uint64_t total;
};

void paint_section(window_s* w, const plotter_snapshot_s& snap, int W, int S, double now,
                   const section_s& s) {
  text(w, BLACK, TITLE_POINTS, s.title, 24, (float)s.top);
  const int n = (int)s.drives->size();
  const uint32_t* colours = s.after_staging ? colours_move : colours_write;
  const unsigned line_colour = colours[0];
  const int bar_y = s.top + 38, bar_h = S - 38;
  // Every drive's speed counts, whether its column is on the page or not.
  std::vector<float> rates((size_t)n);
  double speed = 0;
  for (int k = 0; k < n; k++) {
    drive_s& d = (*s.drives)[k];
    const drive_snapshot_s* e = snapshot_drive(&snap, &d);
    rates[k] = rate_graph_add(&g_drive_rate_graphs[&d], 4, now, (double)(e ? e->bytes_in : 0));
    speed += rates[k];
  }
  // One target without SSDs gets the wide bar and the write-buffer gauge.
  const bool single = !s.staging && !s.after_staging && n == 1;
  columns_s c = drive_columns(n, W, *s.page, min_column_width(w));
  if (single) c.width = W - 198;
  if (c.pages > 1) paint_pager(w, W, s.top + 18, c, s.page);
  for (int i = 0; i < c.count; i++) {
    const int k = c.first + i;
    drive_s& d = (*s.drives)[k];
    const int x = 24 + i * (c.width + COLUMN_GAP);
    const drive_snapshot_s* e = snapshot_drive(&snap, &d);
    const job_snapshot_s* job = e ? snapshot_job(&snap, e->job_writing_in) : nullptr;
    char speed_text[32];
    format_size_to(sizeof speed_text, speed_text, (uint64_t)rates[k], false, "/s");
    paint_progress_bar(w, x, bar_y, c.width, bar_h, speed_text, (float)drive_share(snap, &d),
                       rates[k] > 0, &g_drive_rate_graphs[&d], colours);
    if (single) {
      uint64_t cap = job ? job->write_capacity * PLOT_NONCE_BYTES : 0;
      paint_fill_gauge(w, W - 168, bar_y, bar_h, job ? write_buffer_held(*job) : 0, cap);
    }
    drive_name(w, d, x, s.top + 24, c.width);
    if (job)
      job_line(w, job, line_colour, job_share(*job, s.after_staging), x, bar_y + bar_h, c.width,
               s.staging ? 0 : 1);
    else if (s.staging && staged_waiting(snap, d))
      under_bar_text(w, "Staged file ready and waiting.", x, bar_y + bar_h, c.width);
    else if (uint64_t missing = space_missing(snap, d))
      paint_space_wait(w, missing, x, bar_y + bar_h, c.width);
  }
  char a[64], b[64];
  snprintf(a, sizeof a, "%s", format_size(s.total, false, ""));
  snprintf(b, sizeof b, "%s", format_size((uint64_t)speed, false, "/s"));
  side_column(w, W - 106, bar_y, s.total_label, a, "Speed", b, bar_y + 45);
}

int g_pages[2];  // the page each drive section shows: SSDs, targets

void paint_ssd_section(window_s* w, const plotter_snapshot_s& snap, int W, int S, double now,
                       uint64_t written) {
  util_assert(!g_ssds.empty(), false, "ui_processing", __LINE__);
  if (g_ssds.empty()) return;
  paint_section(w, snap, W, S, now,
                {"Write", &g_ssds, S + 36, true, false, &g_pages[0], "Written", written});
}

void paint_target_section(window_s* w, const plotter_snapshot_s& snap, int W, int S, double now,
                          uint64_t written, uint64_t moved) {
  bool ssds = !g_ssds.empty();
  if (g_drives.empty()) sys_log("how we get here?\n");
  paint_section(w, snap, W, S, now,
                {ssds ? "Move" : "Write", &g_drives, ssds ? 2 * S + 60 : S + 36, false, ssds,
                 &g_pages[1], ssds ? "Moved" : "Written", ssds ? moved : written});
}

// What a closing run still waits for: the move or scatter in progress with
// its share done, else the writes of the batches in flight.
std::string closing_text(const plotter_snapshot_s& snap) {
  for (const job_snapshot_s& j : snap.jobs) {
    if (j.state != JOB_MOVING) continue;
    char path[260];
    job_snapshot_path(&j, sizeof path, path, 0);
    const char* name = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
    double bytes = (double)j.nonces * (double)PLOT_NONCE_BYTES;
    char line[400];
    snprintf(line, sizeof line, "Finishing the %s of %s: %.0f %%", g_ssd_scatter ? "scatter" : "move", name,
             bytes > 0 ? 100.0 * (double)j.bytes_moved / bytes : 0.0);
    return line;
  }
  return "Finishing the writes in progress\u2026";
}

const char* const ETA_PAUSED = "Estimated time remaining: paused";

void update_estimate(double now, double run_seconds, const run_progress_s& p, bool paused) {
  // A paused run counts no time down, and what it had left when the pause
  // came (perhaps a fraction of a second) is not what is left now.
  if (paused) {
    snprintf(g_eta_text, sizeof g_eta_text, "%s", ETA_PAUSED);
    g_eta_time = 0;  // estimated afresh at the first paint after Resume
    return;
  }
  if (strcmp(g_eta_text, ETA_PAUSED) == 0) g_eta_text[0] = '\0';
  if (!(sys_seconds_between(g_eta_time, now) > 5.0) || p.moved >= p.total) return;
  g_eta_time = now;
  double seconds = estimate_seconds(
      p, {g_compute_start_time, g_write_start_time, g_move_start_time}, now);
  if (run_seconds > 5.0 && seconds != 0)
    snprintf(g_eta_text, sizeof g_eta_text, "Estimated time remaining: %s",
             format_duration(seconds));
}

}  // namespace

history_sample_s history_sample_now() {
  static plotter_snapshot_s snap;  // its storage is reused from tick to tick
  plotter_snapshot(g_plotter, &snap);
  return history_sample_of(snap);
}

void history_start() {
  history_reset(&g_history);
  sys_timer_add((unsigned)(HISTORY_TICK_SECONDS * 1000), [] {
    // The sampler belongs to the processing screen and ends with it.
    if (plotter_is_finished(g_plotter) || !window_is_paint(g_window, paint_cb)) return false;
    elapsed_clock_read(&g_run_clock);  // also while no paint comes (a hidden window)
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
  if (!drive_session_disks_ready()) {
    window_redraw(g_window);
    return;
  }
  // From here on the job list is a session: it is stored for a resume until
  // it has finished or is discarded.
  bool was_restored = g_plan_restored;
  g_plan_restored = true;
  if (g_ssd_scatter) {
    prefs_save();  // a scattered run stores no resume data
  } else {
    std::string failure;
    if (!prefs_save(&failure)) {
      // Without its resume data a crash or a power cut would lose the run.
      g_plan_restored = was_restored;
      report_s r;
      r.title = "Plotting not started";
      r.what = "The data to resume this run cannot be saved in";
      r.path = g_start_dir;
      r.reason = failure;
      r.kept = "Nothing has been written. Free space on its disk or make the folder writable, then press Start "
               "again.";
      report_to_user(r, [](const char* title, const char* text) { g_app_message(title, text); });
      window_redraw(g_window);
      return;
    }
  }
  sys_time_start();
  elapsed_clock_start(&g_run_clock);
  ui_regions_clear(g_window);
  window_set_paint(g_window, paint_cb);
  window_redraw(g_window);
  window_set_redraw_timer(g_window, 500);
  // The graphs are kept by the drive's place in its list, which an edit of
  // the lists since an earlier run may have given to another drive.
  g_drive_rate_graphs.clear();
  plotter_set_run_settings(g_plotter, settings_for_run());
  plotter_start(g_plotter, g_gpus, (int)g_ssds.size(), (int)g_drives.size(), g_resume_ram);
  history_start();
}

namespace {

void paint_processing(window_s* w) {
  int W = window_width(w), H = window_height(w);
  bool ssds = !g_ssds.empty();
  int S = ssds ? (H - 88) / 3 : (H - 64) / 2;
  double now = sys_time();
  double run_seconds = elapsed_clock_read(&g_run_clock);
  draw_clear(w, 0xffffffff);

  if (sys_seconds_between(g_free_space_time, now) > 60.0) {
    g_free_space_time = now;
    for (drive_s& d : g_drives) drive_set_free_bytes(&d, sys_free_space(d.path, nullptr));
  }

  static plotter_snapshot_s snap;  // its storage is reused from paint to paint
  plotter_snapshot(g_plotter, &snap);
  const run_totals_s t = run_totals(snap);
  const run_progress_s& p = t.bytes;
  if (p.computed != 0 && g_compute_start_time == 0) g_compute_start_time = now;
  if (p.written != 0 && g_write_start_time == 0) g_write_start_time = now;
  if (p.moved != 0 && g_move_start_time == 0) g_move_start_time = now;
  double done_share = t.total_nonces ? (double)t.done_nonces / (double)t.total_nonces : 0;
  window_set_progress(w, (float)done_share);

  text(w, BLACK, TITLE_POINTS, "Compute", 24, 12);
  paint_processor_names(w, W, snap.gpu_mask);

  double in_run = (double)session_computed_bytes(p);
  float rate = rate_graph_add(&g_rate_graphs[0], 4, now, in_run * 60.0 * 3.814697265625e-06);
  char a[32], b[32];
  format_size_to(sizeof a, a, p.computed, false, "");
  format_size_to(sizeof b, b, p.total - std::min(p.computed, p.total), false, "");
  side_column(w, W - 106, 50, "Computed", a, "Remaining", b, 95);

  char label[32];
  snprintf(label, sizeof label, "%g nonces/min", (double)rate);
  paint_progress_bar(w, 24, 50, ssds ? W - 140 : W - 198, S - 38, label, (float)done_share,
                     rate > 0, &g_rate_graphs[0], colours_compute);
  if (!ssds) paint_fill_gauge(w, W - 168, 50, S - 38, t.ram_used, t.ram_total);

  if (ssds) paint_ssd_section(w, snap, W, S, now, p.written);
  paint_target_section(w, snap, W, S, now, p.written, p.moved);

  update_estimate(now, run_seconds, p, snap.paused);
  if (g_run_closing) {
    text(w, BLACK, 9, closing_text(snap).c_str(), 24, (float)(H - 17));
    return;
  }
  // Just below the file names under the last bars, clear of the bottom edge.
  if (g_eta_text[0] && p.moved < p.total) text(w, GREY, 9, g_eta_text, 24, (float)(H - 17));

  // A pause holds the run only once the batch being hashed has ended; until
  // then the button says so rather than offer a Resume of a run that still
  // computes.
  const char* pause_label = !snap.paused ? "Pause" : snap.holding ? "Resume" : "Pausing\u2026";
  paint_button(w, pause_label, true, W - 106, H - 25, 86, 20,
               9, [] { plotter_toggle_pause(g_plotter); });
}

}  // namespace

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
  // An idle stage (not begun, or done) is grey rather than its bar's pale
  // grid colour: "100.0%" of a finished drive must still be read.
  text(w, active ? c[0] : GREY, PERCENT_POINTS, pct, (float)(x + 2), (float)(y + ht - 28));
  draw_set_stroke(w, c[0]);
  draw_no_fill(w);
  rate_graph_draw(graph, w, x, y, wd, ht);
  if (label) {
    draw_set_font(w, FONT, PERCENT_POINTS);
    float pct_w = draw_text_width(w, pct);
    draw_set_fill(w, c[0]);
    draw_set_font(w, FONT, LABEL_POINTS);
    float lw = draw_text_width(w, label);
    // In a narrow bar the label goes to the top so as not to run into the
    // percentage.
    float ly = pct_w + lw + 8 > wd ? (float)(y + 4) : (float)(y + ht - 16);
    draw_text(w, label, x + wd - lw - 2, ly);
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
  // In the decimal units of every other figure on the screen: the gauge
  // holds bytes that "Computed" and "Written" count too.
  char label[32];
  format_size_to(sizeof label, label, used, false, "");
  draw_set_fill(w, 0xff8b12ae);
  draw_set_font(w, FONT, 8);
  draw_text(w, label, (52 - draw_text_width(w, label)) * 0.5f + x + 1, (float)(y + ht - 16));
  draw_no_stroke(w);
}

// A run holds the drive lists and the plotter: a drop can neither resume
// nor check anything now, and is told so rather than ignored. Told from
// the task queue, so that the drop ends before the dialog opens.
static void processing_dropped(int count, char** paths) {
  if (count <= 0) return;
  report_s r;
  r.title = "Not now";
  r.what = "Plotting is under way, so nothing dropped is checked or resumed now:";
  r.path = paths[0];
  if (count > 1) r.path += " and " + std::to_string(count - 1) + " more";
  r.kept = "Nothing was done with it. Drop it again once the run has ended and Veldgrain has been started again.";
  report_to_user_later(r, [](const char* title, const char* text) { g_app_message(title, text); });
}

void paint_cb(void*) {
  window_s* w = g_window;
  ui_region_drop(w, 0, 0, window_width(w), window_height(w),
                 [](int count, char** paths, int, int) { processing_dropped(count, paths); });
  if (g_ssds.empty() && g_drives.empty()) return;
  g_processing_texts.clear();
  draw_record_texts(&g_processing_texts);
  paint_processing(w);
  draw_record_texts(nullptr);
}

namespace {

// The summary's chart takes the window's height, like the processing
// screen before it: the base line, and the total under it, stand this far
// above the window's bottom edge, and the busiest bar reaches this far
// below its top (in a 640 x 480 window: the base line at 334, bars up to
// 240 px high, the total at 370).
const int SUMMARY_BASE_ABOVE_BOTTOM = 146;
const int SUMMARY_TOTAL_ABOVE_BOTTOM = 110;
const int SUMMARY_BARS_BELOW_TOP = 94;

// The history as stacked bars centred over the base line: computed (blue),
// written (green) and moved (yellow) in each slot.
void paint_history_bars(window_s* w, int W, int H) {
  const float base_y = (float)(H - SUMMARY_BASE_ABOVE_BOTTOM);
  const double bar_max = std::max(1.0, (double)base_y - SUMMARY_BARS_BELOW_TOP);
  std::vector<history_bar_s> bars = history_bars(g_history.slots, bar_max);
  size_t n = bars.size();
  if (n == 0) return;
  float bw = floorf((float)(W - 48) / (float)n);
  if (!(bw >= 1)) bw = 1;
  int x0 = (int)(((W - 48) - n * bw) * 0.5f + 24);
  draw_no_stroke(w);
  for (size_t i = 0; i < n; i++) {
    const history_bar_s& b = bars[i];
    float bx = i * bw + x0 + 1;
    float y = base_y;
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
  draw_line(w, (float)x0, base_y, (float)(x0 + (int)(n * bw)), base_y);
  draw_set_line_width(w, 1);
  draw_no_stroke(w);
}

}  // namespace

void summary_paint(void*) {
  window_s* w = g_window;
  int W = window_width(w), H = window_height(w);
  draw_clear(w, 0xffffffff);
  text(w, BLACK, 22, "Summary", 24, 24);

  paint_history_bars(w, W, H);

  plotter_snapshot_s snap;
  plotter_snapshot(g_plotter, &snap);
  // Only this session's work: files resumed held their first nonces already.
  char line[64];
  snprintf(line, sizeof line, "%s plotted in %s", format_size(session_plotted_bytes(snap), false, ""),
           format_duration(g_finish_time));
  draw_set_fill(w, BLACK);
  draw_set_font(w, FONT, 16);
  draw_text(w, line, (W - draw_text_width(w, line)) * 0.5f, (float)(H - SUMMARY_TOTAL_ABOVE_BOTTOM));
}
