// The configuration screen. Immediate-mode: each paint reads the drive
// lists, the settings and the plotter's job list and registers its regions
// anew; only the scroll states and their flags outlive a frame.
#include "app/ui_config.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/drives.h"
#include "app/settings.h"
#include "app/ui_processing.h"
#include "app/ui_prompts.h"
#include "checker/check_state.h"
#include "checker/ui_check.h"
#include "engine/plot_file.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "ui/draw.h"
#include "ui/regions.h"
#include "ui/window.h"

scroll_state g_processor_scroll;
scroll_state g_drive_scroll[2];
bool g_drive_scroll_to_end[2];
bool g_gpu_timeout_asked;
std::function<void(unsigned long bytes)> g_pending_fill_action;
int g_fill_drive_index;

namespace {

const char* FONT = "Microsoft Sans Serif";
const unsigned BLACK = 0xff000000;
const unsigned GREY = 0xff707070;
const unsigned HOVER_LABEL = 0xff0066cc;
const unsigned ITEM_OUTLINE = 0xffd9eaf4;
const unsigned ITEM_SELECTED = 0xfff1f6fa;
const unsigned BLUE = 0xff117dbb;
const unsigned PATH_GREEN = 0xff4da60c;
const unsigned PATH_HOVER = 0xff8b12ae;
const int ITEM_GAP = 4;
const int DRIVE_BOX_TOP = 38;  // the path part of a drive box; the Fill text below

std::vector<drive_s>& drive_list(int kind) { return kind ? g_drives : g_ssds; }

struct processor_item_s {
  char caption[24];
  const char* detail;
  float caption_w;
  float detail_w;
};

int processor_count() { return std::min(std::max(g_gpu_count, 0), (int)GPU_MAX) + 1; }

int processor_item_width(int W, int n) {
  int iw = (W - 80 - ITEM_GAP * (n - 1)) / n;
  return std::max(iw, W / 6);
}

bool processor_selected(int i) {
  if (i == 0) return g_gpus == 0;
  return (g_gpus >> (i - 1)) & 1;
}

void processor_click(int i) {
  if (i == 0)
    g_gpus = 0;
  else
    g_gpus ^= 1u << (i - 1);
  // The watchdog question is only ever due where the platform reports an
  // unadjusted GPU time-out; this one never does.
  if (!g_dont_adjust_gpu_dog && !g_gpu_timeout_asked && !sys_gpu_dog_adjusted())
    g_gpu_timeout_asked = true;
  window_redraw(g_window);
}

void paint_processor_item(window_s* w, const processor_item_s& it, int x, int y, int iw, int ih,
                          bool selected, bool hovered) {
  if (selected || hovered) {
    draw_set_stroke(w, ITEM_OUTLINE);
    if (selected)
      draw_set_fill(w, ITEM_SELECTED);
    else
      draw_no_fill(w);
    draw_rect_rounded(w, (float)x, (float)y, (float)iw, (float)ih, 5);
    draw_no_stroke(w);
  }
  draw_set_fill(w, BLUE);
  draw_set_font(w, FONT, 14);
  draw_text(w, it.caption, x + (iw - it.caption_w) / 2, (float)(y + 10));
  draw_set_fill(w, GREY);
  draw_set_font(w, FONT, 9);
  if (it.detail_w <= iw) {
    draw_text(w, it.detail, x + (iw - it.detail_w) / 2, (float)(y + 36));
    return;
  }
  draw_clip_push(w, x, y, iw - 2, ih);
  draw_text(w, it.detail, (float)x, (float)(y + 36));
  unsigned bg = selected ? 0xf1f6fa : 0xffffff;
  draw_gradient_h(w, x + iw - 24, y + 36, 22, 14, bg, 0xff000000 | bg);
  draw_clip_pop(w);
}

void remove_drive(int kind, int index) {
  std::vector<drive_s>& list = drive_list(kind);
  if (index < 0 || (size_t)index >= list.size()) return;
  if (!drive_plan_may_replace()) return;
  sys_log("Removed %s %s from the plan\n", kind == 0 ? "SSD" : "target drive", list[index].path);
  list.erase(list.begin() + index);
  drive_plan();
  window_redraw(g_window);
}

void fill_clicked(int index) {
  g_pending_fill_action = [index](unsigned long bytes) {
    if (index >= 0 && (size_t)index < g_drives.size()) g_drives[index].fill_limit = bytes;
    drive_plan();
  };
  g_fill_drive_index = index;
  // The prompt opens with what the drive is set to fill now: its own limit,
  // else all of its free space.
  uint64_t now = index >= 0 && (size_t)index < g_drives.size()
                     ? (g_drives[index].fill_limit ? g_drives[index].fill_limit : g_drives[index].free_bytes)
                     : 0;
  snprintf(g_fill_text, sizeof g_fill_text, "%g", (double)now / 1000.0 / 1000.0 / 1000.0);
  prompt__setup(g_fill_text, drive_fill_paint);
}

void add_clicked(int kind) {
  char folder[260] = {};
  if (window_select_folder(g_window, kind ? "Path to external drive plots" : "Path to SSD folder",
                           sizeof folder, folder)) {
    folder[sizeof folder - 1] = 0;
    if (drive_plan_may_replace()) drive_add(kind, folder, 0);
  }
  g_drive_scroll_to_end[kind] = true;
  window_redraw(g_window);
}

// An existing folder dropped on a list becomes a drive of that list;
// anything else (files, missing paths) is handled like a drop elsewhere on
// the screen.
void list_dropped(int kind, int count, char** paths) {
  if (count < 1 || strstr(paths[0], ".plotting") || !sys_dir_exists(paths[0])) {
    files_dropped(count, paths);
    return;
  }
  if (!drive_plan_may_replace()) return;
  drive_add_folders(kind, std::vector<std::string>(paths, paths + count));
  g_drive_scroll_to_end[kind] = true;
  window_redraw(g_window);
}

void paint_label(window_s* w, const char* text, int y, std::function<void()> action) {
  bool hovered = ui_region_click(w, 24, y, window_width(w) / 2, 14, std::move(action));
  draw_set_fill(w, hovered ? HOVER_LABEL : GREY);
  draw_set_font(w, FONT, 10);
  draw_text(w, text, 24, (float)y);
}

void start_nonce_clicked() {
  snprintf(g_nonce_text, sizeof g_nonce_text, "%llu", (unsigned long long)g_start_nonce);
  prompt__setup(g_nonce_text, start_get_nonce_paint);
}

void file_size_clicked() {
  snprintf(g_file_size_text, sizeof g_file_size_text, "%g",
           (double)plan_max_file_bytes() / 1000 / 1000 / 1000);
  prompt__setup(g_file_size_text, start_get_size_paint);
}

void paint_plan(window_s* w) {
  draw_set_fill(w, GREY);
  draw_set_font(w, FONT, 10);
  if (plotter_job_count(g_plotter) == 0) {
    draw_text(w, "Select target paths for plot files and optionally SSDs for fast staging.", 24, 74);
    return;
  }
  uint64_t files = 0, nonces = 0;
  plotter_for_each_job(g_plotter, [&](job_s* job) {
    files += 1;
    nonces += job->nonces;
    return true;
  });
  // Scattering writes one file per target.
  if (g_ssd_scatter) files = g_drives.size();
  char text[128];
  config_plan_text(text, files, nonces, (int)g_drives.size());
  draw_text(w, text, 24, 74);
}

void paint_labels(window_s* w) {
  int W = window_width(w), H = window_height(w);
  int y = H - 72 + (g_drives.empty() ? 9 : 0) + (g_ssds.empty() ? 0 : 9);
  char text[128];
  if (g_auto_start_nonce)
    snprintf(text, sizeof text, "Start nonce: Automatic");
  else
    snprintf(text, sizeof text, "Start nonce: %llu", (unsigned long long)g_start_nonce);
  paint_label(w, text, y, start_nonce_clicked);
  y += 18;
  if (!g_drives.empty()) {
    config_max_file_text(text, sizeof text);
    paint_label(w, text, y, file_size_clicked);
    y += 18;
  }
  uint64_t ram = g_resume_ram ? g_resume_ram : sys_memory(nullptr) * 3 / 4;
  snprintf(text, sizeof text, "RAM to use: %s", format_size(ram, true, ""));
  paint_label(w, text, y, ram_label_click);
  (void)W;
}

}  // namespace

uint64_t target_fill_bytes(const drive_s& d) {
  uint64_t bytes = d.free_bytes;
  if (g_max_bytes_to_fill != 0) bytes = std::min(bytes, g_max_bytes_to_fill);
  if (d.fill_limit != 0) bytes = std::min(bytes, d.fill_limit);
  return bytes;
}

void config_max_file_text(char* out, size_t n) {
  if (g_max_bytes_per_file == 0)
    snprintf(out, n, "Max file size: no limit");
  else
    snprintf(out, n, "Max file size: %s", format_size(g_max_bytes_per_file, false, ""));
}

void target_box_text(const drive_s& d, char* out, size_t n) {
  if (!sys_dir_exists(d.path)) {
    snprintf(out, n, "Folder missing");
    return;
  }
  uint64_t planned = 0, jobs = 0;
  plotter_for_each_job(g_plotter, [&](job_s* job) {
    jobs++;
    if (job->move_drive == &d || (!job->move_drive && job->write_drive == &d)) planned += job->nonces;
    return true;
  });
  if (jobs != 0 && planned == 0)
    snprintf(out, n, "Nothing planned");
  else
    snprintf(out, n, "Fill %s", format_size(target_fill_bytes(d), false, ""));
}

// Read off the jobs rather than kept by the planner: a job list restored for
// resume replaces the plan without planning.
uint64_t plan_max_file_bytes() {
  uint64_t largest = 0;
  plotter_for_each_job(g_plotter, [&largest](job_s* job) {
    largest = std::max(largest, plot_file_bytes(job->nonces));
    return true;
  });
  return largest;
}

void config_plan_text(char* out, uint64_t files, uint64_t nonces, int targets) {
  char size[64];
  format_size_to(sizeof size, size, plot_file_bytes(nonces), false, "");
  snprintf(out, 128, "%s will be written to %llu file%s %s %d drive%s.", size,
           (unsigned long long)files, files > 1 ? "s" : "", targets == 1 ? "on" : "across",
           targets, targets > 1 ? "s" : "");
}

void paint_processor_select(window_s* w, int y, int width, int item_height) {
  draw_set_fill(w, BLACK);
  draw_set_font(w, FONT, 14);
  draw_text(w, "Processor", 24, (float)(y + 24));

  int n = processor_count();
  processor_item_s items[GPU_MAX + 1];
  for (int i = 0; i < n; i++) {
    processor_item_s& it = items[i];
    if (i == 0) {
      snprintf(it.caption, sizeof it.caption, "CPU");
      it.detail = g_cpu_brand;
    } else {
      if (n == 2)
        snprintf(it.caption, sizeof it.caption, "GPU");
      else
        snprintf(it.caption, sizeof it.caption, "GPU%d", i - 1);
      it.detail = g_gpu_names[i - 1] ? g_gpu_names[i - 1] : "";
    }
    draw_set_font(w, FONT, 14);
    it.caption_w = draw_text_width(w, it.caption);
    draw_set_font(w, FONT, 9);
    it.detail_w = draw_text_width(w, it.detail);
  }
  int iw = processor_item_width(width, n);
  g_processor_scroll.content = (float)(ITEM_GAP * (n - 1) + iw * n);
  paint_scroll_horz(w, &g_processor_scroll, 0, y + 52, width, item_height + 1,
                    [&](int x, int iy, ui_hit_fn hit) {
                      for (int i = 0; i < n; i++) {
                        bool hovered = hit(x, iy, iw, item_height, [i] { processor_click(i); });
                        paint_processor_item(w, items[i], x, iy, iw, item_height,
                                             processor_selected(i), hovered);
                        x += iw + ITEM_GAP;
                      }
                    });
}

void paint_folder_input(window_s* w, const char* label, int kind, int y, int width, int box_height,
                        int text_size) {
  draw_set_fill(w, BLACK);
  draw_set_font(w, FONT, 14);
  draw_text(w, label, 24, (float)y);

  std::vector<drive_s>& list = drive_list(kind);
  int count = (int)std::min(list.size(), (size_t)DRIVE_LIST_MAX);
  struct box_s {
    char text[64];
    float text_w;
    int width;
  };
  box_s boxes[DRIVE_LIST_MAX];
  scroll_state& s = g_drive_scroll[kind];
  s.content = 0;
  for (int i = 0; i < count; i++) {
    const drive_s& d = list[i];
    if (kind == 0)
      snprintf(boxes[i].text, sizeof boxes[i].text, "%s free", format_size(d.free_bytes, false, ""));
    else
      target_box_text(d, boxes[i].text, sizeof boxes[i].text);
    draw_set_font(w, FONT, (float)text_size);
    float path_w = draw_text_width(w, d.path);
    draw_set_font(w, FONT, 7);
    boxes[i].text_w = draw_text_width(w, boxes[i].text);
    boxes[i].width = (int)std::max(path_w, boxes[i].text_w) + 20;
    s.content += boxes[i].width;
  }
  bool has_add = list.size() < DRIVE_LIST_MAX;
  bool empty = list.empty();
  const char* add_label = empty ? "Click to select..." : "+";
  float add_font = empty ? 12 : 20;
  int add_w = 0;
  if (has_add) {
    draw_set_font(w, FONT, add_font);
    add_w = std::max(32, (int)draw_text_width(w, add_label));
    s.content += add_w;
  }
  if (g_drive_scroll_to_end[kind]) {
    g_drive_scroll_to_end[kind] = false;
    s.scroll_offset = -s.content;
  }
  ui_region_drop(w, 0, y + 14, width, box_height,
                 [kind](int n, char** paths, int, int) { list_dropped(kind, n, paths); });

  paint_scroll_horz(w, &s, 0, y + 14, width, box_height, [&](int x, int by, ui_hit_fn hit) {
    for (int i = 0; i < count; i++) {
      bool hovered = hit(x, by, boxes[i].width, DRIVE_BOX_TOP, [kind, i] { remove_drive(kind, i); });
      draw_set_fill(w, hovered ? PATH_HOVER : PATH_GREEN);
      draw_set_font(w, FONT, (float)text_size);
      draw_text(w, list[i].path, (float)x, (float)(by + 16));
      bool fill_hovered = false;
      if (kind == 1)
        fill_hovered = hit(x, by + DRIVE_BOX_TOP, (int)boxes[i].text_w + 2, 16,
                           [i] { fill_clicked(i); });
      draw_set_fill(w, fill_hovered ? BLUE : GREY);
      draw_set_font(w, FONT, 7);
      draw_text(w, boxes[i].text, (float)(x + 2), (float)(by + DRIVE_BOX_TOP));
      x += boxes[i].width;
    }
    if (!has_add) return;
    int ay = empty ? by + 4 : by;
    bool hovered = hit(x, ay, add_w, box_height, [kind] { add_clicked(kind); });
    draw_set_font(w, FONT, add_font);
    draw_set_fill(w, empty || hovered ? BLUE : GREY);
    float lw = draw_text_width(w, add_label);
    draw_text(w, add_label, x + (add_w - (int)lw) / 2, (float)(ay + 16));
    if (empty && hovered) {
      draw_set_stroke(w, BLUE);
      draw_line(w, (float)x, (float)(ay + 34), (float)(x + add_w), (float)(ay + 34));
      draw_no_stroke(w);
    }
  });
}

void config_paint(void*) {
  window_s* w = g_window;
  int W = window_width(w), H = window_height(w);
  ui_regions_clear(w);
  draw_clear(w, 0xffffffff);
  // Registered first, so the drive lists' own drop regions win inside them.
  ui_region_drop(w, 0, 0, W, H, [](int count, char** paths, int, int) { files_dropped(count, paths); });

  draw_set_fill(w, BLACK);
  draw_set_font(w, FONT, 22);
  draw_text(w, "Config", 24, 24);

  paint_plan(w);
  paint_processor_select(w, 90, W, 64);
  int end = 142 + 64;
  paint_folder_input(w, "SSD path", 0, end + 32, W, 64, 12);
  paint_folder_input(w, "Target disk path", 1, end + 122, W, 64, 12);
  paint_labels(w);

  bool can_start = g_account != 0 && plotter_job_count(g_plotter) > 0;
  paint_button(w, "Start Plotting!", can_start, W - 154, H - 64, 130, 40, 12,
               [] { processing_start(); });
}

namespace {

// Why the dropped unfinished file cannot be resumed; "" when it can. Its
// name must give a range the engine can write (whole sector units) and the
// file must be the preallocated file of that range.
std::string resume_fault(const char* path, uint64_t nonces) {
  const uint64_t unit = 256;  // nonces of one 16 KiB sector unit
  if (nonces == 0 || nonces % unit != 0)
    return "its nonce count is not a positive multiple of " + std::to_string(unit);
  struct stat st;
  if (stat(path, &st) != 0) return std::string("it cannot be read (") + strerror(errno) + ")";
  if (!S_ISREG(st.st_mode)) return "it is not a file";
  if (nonces > UINT64_MAX / 262144 || (uint64_t)st.st_size != nonces * 262144)
    return "its size does not match the nonce count of its name";
  return "";
}

// The dropped ".plotting" file becomes the one job of the plan, written on
// its own folder. The lists stay as they were (they are the user's saved
// drives); the folder joins the targets only when it is not one already.
void resume_dropped(const char* path, uint64_t start, uint64_t nonces) {
  char folder[260];
  path_dirname(sizeof folder, folder, path);
  if (!drive_plan_may_replace(path)) return;
  drive_s* target = drive_find(1, folder);
  if (!target) {
    drive_add(1, folder, 1);
    target = drive_find(1, folder);
    if (!target) return;  // drive_add has told the user why
  }
  plotter_clear_jobs(g_plotter);
  plotter_add_job(g_plotter, job_create(target, nullptr, g_account, start, nonces));
  g_plan_restored = true;
  processing_start();
}

}  // namespace

void files_dropped(int count, char** paths) {
  sys_log("Files dropped:\n");
  for (int i = 0; i < count; i++) sys_log("  %s\n", paths[i]);
  if (count < 1) return;

  if (strstr(paths[0], ".plotting")) {
    report_s refused;
    refused.path = paths[0];
    uint64_t account = 0, start = 0, nonces = 0, stagger = 0;
    if (!plot_name_is_unfinished(paths[0]) || !plot_name_parse(paths[0], &account, &start, &nonces, &stagger))
      refused.what = "Incorrect filename format for plotfile.";
    else if (account != g_account)
      refused.what = "Can't resume plot for a different account id.";
    else if (stagger != 0)
      refused.what = "Can't resume PoC1 format plots.";
    else if (!(refused.reason = resume_fault(paths[0], nonces)).empty())
      refused.what = "Can't resume this file:";
    if (!refused.what.empty()) {
      app_report(refused);
      return;
    }
    // "No" leaves everything as it was: an unfinished file is no plot to
    // check.
    if (window_question(g_window, "Resume?",
                        "Would you like to resume plotting this file with the currently set "
                        "options?"))
      resume_dropped(paths[0], start, nonces);
    return;
  }
  if (window_is_paint(g_window, config_paint) || window_is_paint(g_window, check_paint))
    ui_check_start(g_window, count, paths, [] { window_set_paint(g_window, config_paint); });
}
