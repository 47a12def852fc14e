// Puts one of the application's screens up in the real window so that the
// display tests can drive it with xdotool and take screenshots:
//   screens_demo --screen first|config|processing [options]
// Options set the globals the screens read (account, drives, GPUs, limits);
// "--fake-run 0|1" shows the processing screen over a simulated run with 0
// or 1 SSD, whose counters advance on a timer, so that its geometry does
// not depend on the speed of the machine ("--fake-seconds" sets its length,
// 24 s by default). The demo writes what the tests
// check (settings, plan, lists, current screen) to the --state file every
// 100 ms, and what its windows have shown, so that the tests wait for the
// effect of their input instead of for a while: the frames painted, the
// pointer where the window last saw it, the button releases it handled, the
// entry's text, and whether anything asked for is still to be painted.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/drives.h"
#include "app/settings.h"
#include "app/startup.h"
#include "app/ui_config.h"
#include "app/ui_processing.h"
#include "app/ui_prompts.h"
#include "checker/check_state.h"
#include "engine/plots.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "ui/regions.h"
#include "ui/window.h"

#include <unistd.h>

namespace {

std::string g_state_path;
int g_fake_ssds = -1;
std::vector<job_s*> g_fake_jobs;
const uint64_t FAKE_NONCES = 4096;
double g_fake_seconds = 24.0;
double g_fake_progress = 0;  // seconds of unpaused simulated run
unsigned g_frames = 0;
unsigned g_releases = 0;
unsigned g_writes = 0;

gboolean count_frame(GtkWidget*, cairo_t*, gpointer) {
  g_frames++;
  return FALSE;
}

// Every event passes here on its way to GTK. A release of the main window
// is counted before GTK hands it to the window: the state is written from
// the main loop, so a count read there comes after the window's handler
// returned, or while a dialog that the handler opened waits for its answer.
void count_event(GdkEvent* e, gpointer) {
  if (e->type == GDK_BUTTON_RELEASE && g_window && g_window->toplevel) {
    GdkWindow* top = gtk_widget_get_window(g_window->toplevel);
    if (top && e->button.window && gdk_window_get_toplevel(e->button.window) == top) g_releases++;
  }
  gtk_main_do_event(e);
}

// True while one of the demo's visible windows has a part that it was asked
// to draw and has not painted yet. GDK hands the part over only by taking
// it, so it is given back at once.
bool paint_pending() {
  bool pending = false;
  GList* tops = gtk_window_list_toplevels();
  for (GList* l = tops; l; l = l->next) {
    GtkWidget* top = GTK_WIDGET(l->data);
    GdkWindow* win = gtk_widget_get_window(top);
    if (!win || !gtk_widget_get_mapped(top)) continue;
    if (cairo_region_t* part = gdk_window_get_update_area(win)) {
      gdk_window_invalidate_region(win, part, TRUE);
      cairo_region_destroy(part);
      pending = true;
    }
  }
  g_list_free(tops);
  return pending;
}

const char* screen_name() {
  if (window_is_paint(g_window, config_paint)) return "config";
  if (window_is_paint(g_window, ui_prompt_latest_plot_paint)) return "first";
  if (window_is_paint(g_window, start_get_account_paint)) return "account";
  if (window_is_paint(g_window, start_get_nonce_paint)) return "nonce";
  if (window_is_paint(g_window, start_get_size_paint)) return "size";
  if (window_is_paint(g_window, start_get_ram_paint)) return "ram";
  if (window_is_paint(g_window, drive_fill_paint)) return "fill";
  if (window_is_paint(g_window, paint_cb)) return "processing";
  if (window_is_paint(g_window, summary_paint)) return "summary";
  if (window_is_paint(g_window, check_paint)) return "checker";
  return "none";
}

void write_list(FILE* f, const char* key, const std::vector<drive_s>& list) {
  fprintf(f, "%s=", key);
  for (const drive_s& d : list) fprintf(f, "%s|%llu;", d.path, (unsigned long long)d.fill_limit);
  fprintf(f, "\n");
}

// The processing screen's texts of its last frame, one a line:
// "x y w h points text".
void write_texts() {
  if (!window_is_paint(g_window, paint_cb)) return;
  std::string path = g_state_path + ".texts", tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return;
  for (const drawn_text_s& t : g_processing_texts)
    fprintf(f, "%.1f %.1f %.1f %.1f %.1f %s\n", t.x, t.y, t.w, t.h, t.points, t.text.c_str());
  fclose(f);
  rename(tmp.c_str(), path.c_str());
}

void write_state() {
  if (g_state_path.empty()) return;
  // The texts first: once a state line is read, the texts of its frame are
  // in place.
  write_texts();
  // Whatever was painted is on the screen once the server has answered, so
  // a screenshot taken after "drawn=1" shows it.
  gdk_display_sync(gdk_display_get_default());
  const bool drawn = !paint_pending();
  std::string tmp = g_state_path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return;
  uint64_t jobs = 0, nonces = 0, first_start = 0;
  if (!window_is_paint(g_window, paint_cb) || g_fake_ssds < 0) {
    plotter_for_each_job(g_plotter, [&](job_s* j) {
      if (jobs == 0) first_start = j->start_nonce;
      jobs++;
      nonces += j->nonces;
      return true;
    });
  }
  char plan[128] = "";
  if (jobs) config_plan_text(plan, jobs, nonces, (int)g_drives.size());
  fprintf(f, "screen=%s\n", screen_name());
  fprintf(f, "account=%llu\n", (unsigned long long)g_account);
  fprintf(f, "start_nonce=%llu\n", (unsigned long long)g_start_nonce);
  fprintf(f, "auto_start=%d\n", g_auto_start_nonce ? 1 : 0);
  fprintf(f, "restored=%d\n", g_plan_restored ? 1 : 0);
  fprintf(f, "max_bytes_per_file=%llu\n", (unsigned long long)g_max_bytes_per_file);
  fprintf(f, "resume_ram=%llu\n", (unsigned long long)g_resume_ram);
  fprintf(f, "gpus=%u\n", g_gpus);
  fprintf(f, "jobs=%llu\n", (unsigned long long)jobs);
  fprintf(f, "job_nonces=%llu\n", (unsigned long long)nonces);
  fprintf(f, "first_start=%llu\n", (unsigned long long)first_start);
  fprintf(f, "plan=%s\n", plan);
  fprintf(f, "paused=%d\n", plotter_is_paused(g_plotter) ? 1 : 0);
  fprintf(f, "finished=%d\n", plotter_is_finished(g_plotter) ? 1 : 0);
  fprintf(f, "history=%zu\n", g_history.slots.size());
  fprintf(f, "eta=%s\n", g_eta_text);
  fprintf(f, "clock=%.1f\n", sys_time());
  fprintf(f, "entries=%zu\n", g_window->entries.size());
  if (!g_window->entries.empty()) {
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(g_window->entries[0].entry, g_window->area, 0, 0, &x, &y);
    fprintf(f, "entry_xy=%d,%d\n", x, y);
  }
  fprintf(f, "size=%d,%d\n", window_width(g_window), window_height(g_window));
  fprintf(f, "run_seconds=%.2f\n", g_fake_progress);
  fprintf(f, "writes=%u\n", ++g_writes);
  fprintf(f, "frames=%u\n", g_frames);
  fprintf(f, "drawn=%d\n", drawn ? 1 : 0);
  // The pointer in GDK's units, each "scale" pixels of the screen, where
  // xdotool moves it.
  const int scale = g_window->area ? gtk_widget_get_scale_factor(g_window->area) : 1;
  fprintf(f, "scale=%d\n", scale);
  fprintf(f, "pointer=%d,%d\n", window_mouse_x(g_window), window_mouse_y(g_window));
  fprintf(f, "releases=%u\n", g_releases);
  fprintf(f, "entry_text=%s\n",
          g_window->entries.empty() ? "" : gtk_entry_get_text(GTK_ENTRY(g_window->entries[0].entry)));
  write_list(f, "ssds", g_ssds);
  write_list(f, "targets", g_drives);
  fclose(f);
  rename(tmp.c_str(), g_state_path.c_str());
}

// Paths written into the file "<state>.drop", one a line, are dropped on
// the window as GTK's drop handler would hand them over: at (320, 200), or
// at the point of a first line "@x,y".
void drop_pending() {
  if (g_state_path.empty()) return;
  std::string path = g_state_path + ".drop";
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return;
  std::vector<std::string> lines;
  char line[1024];
  while (fgets(line, sizeof line, f)) {
    line[strcspn(line, "\n")] = 0;
    if (line[0]) lines.push_back(line);
  }
  fclose(f);
  unlink(path.c_str());
  int x = 320, y = 200;
  if (!lines.empty() && lines[0][0] == '@') {
    if (sscanf(lines[0].c_str(), "@%d,%d", &x, &y) != 2) x = 320, y = 200;
    lines.erase(lines.begin());
  }
  std::vector<char*> paths;
  for (std::string& l : lines) paths.push_back(&l[0]);
  if (!paths.empty())
    ui_regions_dispatch_drop(g_window, x, y, (int)paths.size(), paths.data());
}

void finish_run() {
  g_finish_time = sys_time();
  sys_log("All done!\n");
  summary_show();
}

// A simulated run of one job per target: compute over the first 60%, writing
// lags a little behind, and with SSDs (shared in turn by the targets) the
// move follows the write.
bool fake_tick() {
  if (plotter_is_paused(g_plotter)) return true;
  g_fake_progress += 0.25;
  double share = g_fake_progress / g_fake_seconds;
  auto clamp = [](double v) { return v < 0 ? 0.0 : v > 1 ? 1.0 : v; };
  uint64_t bytes = FAKE_NONCES * 262144;
  double fc = clamp(share / 0.6), fw = clamp((share - 0.05) / 0.6), fm = clamp((share - 0.4) / 0.6);
  for (drive_s& d : g_ssds) d.bytes_in = 0, d.job_writing_in = nullptr;
  for (drive_s& d : g_drives) d.bytes_in = 0, d.job_writing_in = nullptr;
  for (size_t k = 0; k < g_fake_jobs.size(); k++) {
    job_s* j = g_fake_jobs[k];
    drive_s* ssd = j->move_drive ? j->write_drive : nullptr;
    drive_s* target = j->move_drive ? j->move_drive : j->write_drive;
    j->nonces_done = (uint64_t)(fc * FAKE_NONCES) / 64 * 64;
    j->compute_buffer->progress = fc < 1 ? 32 : 0;
    j->write_buffer->progress = fw < 1 ? 4u << 20 : 0;
    j->bytes_written = (uint64_t)(fw * bytes);
    if (ssd) {
      ssd->bytes_in += j->bytes_written;
      if (fw < 1) ssd->job_writing_in = j;
      if (fw >= 1) {
        j->bytes_moved = (uint64_t)(fm * bytes);
        target->bytes_in += j->bytes_moved;
        if (fm < 1) target->job_writing_in = j;
      }
    } else {
      target->bytes_in += j->bytes_written;
      if (fw < 1) target->job_writing_in = j;
    }
  }
  bool done = g_fake_ssds ? fm >= 1 : fw >= 1;
  if (done) {
    for (job_s* j : g_fake_jobs) {
      j->state = JOB_DONE;
      j->compute_buffer->capacity = 0;
    }
    finish_run();
    return false;
  }
  return true;
}

void start_fake_run() {
  plotter_clear_jobs(g_plotter);
  for (size_t k = 0; k < g_drives.size(); k++) {
    drive_s* target = &g_drives[k];
    drive_s* ssd = g_fake_ssds ? &g_ssds[k % g_ssds.size()] : nullptr;
    job_s* j = job_create(ssd ? ssd : target, ssd ? target : nullptr, g_account,
                          k * FAKE_NONCES, FAKE_NONCES);
    j->state = JOB_PLOTTING;
    j->compute_buffer = buffer_create(0);
    j->compute_buffer->capacity = 64;
    j->write_buffer = buffer_create(0);
    j->write_buffer->capacity = 64;
    plotter_add_job(g_plotter, j);
    g_fake_jobs.push_back(j);
  }
  sys_time_start();
  window_set_paint(g_window, paint_cb);
  window_set_redraw_timer(g_window, 500);
  sys_timer_add(250, fake_tick);
  history_start();
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  sys_time_start();
  std::string screen = "config";
  std::vector<std::string> ssds, targets;
  int fake_gpus = 0;
  std::string restored;  // "START,COUNT": a session restored on the first target
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--screen") screen = v;
    else if (k == "--state") g_state_path = v;
    else if (k == "--account") g_account = strtoull(v.c_str(), nullptr, 10);
    else if (k == "--ssd") ssds.push_back(v);
    else if (k == "--target") targets.push_back(v);
    else if (k == "--gpus") fake_gpus = atoi(v.c_str());
    else if (k == "--gpu-select") g_gpus = (uint32_t)strtoul(v.c_str(), nullptr, 10);
    else if (k == "--fill-bytes") g_max_bytes_to_fill = strtoull(v.c_str(), nullptr, 10);
    else if (k == "--max-file-bytes") g_max_bytes_per_file = strtoull(v.c_str(), nullptr, 10);
    else if (k == "--start-nonce") { g_auto_start_nonce = false; g_start_nonce = strtoull(v.c_str(), nullptr, 10); }
    else if (k == "--cpu-threads") g_cpu_threads = atoi(v.c_str());
    else if (k == "--ram") g_resume_ram = strtoull(v.c_str(), nullptr, 10);
    else if (k == "--fake-run") g_fake_ssds = atoi(v.c_str());
    else if (k == "--fake-seconds") g_fake_seconds = atof(v.c_str());
    else if (k == "--restored") restored = v;
  }
  snprintf(g_cpu_brand, sizeof g_cpu_brand, "Test CPU @ 3.00GHz");
  for (int i = 0; i < fake_gpus && i < GPU_MAX; i++) {
    g_gpu_names[i] = new char[GPU_NAME_MAX]();
    snprintf(g_gpu_names[i], GPU_NAME_MAX, i == 1 ? "Long Device Name Of A Graphics Card %d" : "Fake GPU %d", i);
  }
  g_gpu_count = fake_gpus;
  // config.yml of a plotting start goes to the working directory.
  sys_getcwd(START_DIR_MAX, g_start_dir);
  g_plots = plots_create();
  g_plotter = plotter_create();
  plotter_set_finished_callback(g_plotter, [] {
    finish_run();
  });
  for (const std::string& p : ssds) drive_add(0, p.c_str(), 0);
  for (const std::string& p : targets) drive_add(1, p.c_str(), 0);
  drive_plan();
  unsigned long long r_start = 0, r_count = 0;
  if (!restored.empty() && !g_drives.empty() && sscanf(restored.c_str(), "%llu,%llu", &r_start, &r_count) == 2) {
    plotter_clear_jobs(g_plotter);
    plotter_add_job(g_plotter, job_create(&g_drives[0], nullptr, g_account, r_start, r_count));
    g_plan_restored = true;
  }

  g_window = window_create("Veldgrain screens", 640, 480, 0);
  g_signal_connect_after(g_window->area, "draw", G_CALLBACK(count_frame), nullptr);
  gdk_event_handler_set(count_event, nullptr, nullptr);
  window_set_callbacks(g_window, nullptr, nullptr, nullptr,
                       screen == "first" ? ui_prompt_latest_plot_paint : config_paint);
  if (g_fake_ssds >= 0 && !g_drives.empty() && (g_fake_ssds == 0 || !g_ssds.empty()))
    start_fake_run();
  // Two timers: a drop may ask a question, and the state must go on while
  // its dialog waits (a timer does not run again inside its own call).
  sys_timer_add(100, [] {
    write_state();
    return true;
  });
  sys_timer_add(100, [] {
    drop_pending();
    return true;
  });
  window_run_loop([] { write_state(); });
  plotter_stop(g_plotter, true);
  window_destroy(g_window);
  plotter_destroy(g_plotter);
  plots_destroy(g_plots);
  return 0;
}
