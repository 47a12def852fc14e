// The configuration screen: the plan as one sentence, the processor strip,
// the staging and target drive lists, the prompt labels and "Start
// Plotting!". Immediate-mode: everything is redrawn from the application
// state on each paint; only the scroll states and flags below persist.
#pragma once

#include <cstddef>

#include <cstdint>
#include <functional>

#include "ui/widgets.h"

struct drive_s;
struct window_s;

extern scroll_state g_processor_scroll;
extern scroll_state g_drive_scroll[2];      // 0 SSD list, 1 target list
extern bool g_drive_scroll_to_end[2];       // set by add, cleared by paint
extern bool g_gpu_timeout_asked;
// Run by the OK of the drive-fill prompt with the typed limit in bytes.
extern std::function<void(unsigned long bytes)> g_pending_fill_action;
extern int g_fill_drive_index;              // target the fill prompt edits

// Paint callback of the screen (user unused).
void config_paint(void* user);

// One drive list: kind 0 SSD, 1 target; label at y; width is the window's.
// box_height and text_size are the drive boxes' height and path font size.
void paint_folder_input(window_s* w, const char* label, int kind, int y, int width,
                        int box_height, int text_size);
// The processor section starting at y (title at y + 24, strip at y + 52).
void paint_processor_select(window_s* w, int y, int width, int item_height);

// Files or folders dropped on the screen: a ".plotting" file of the current
// account may be resumed, everything else goes to the plot checker.
void files_dropped(int count, char** paths);

// What a target's "Fill" shows: the bytes the plan may fill on it.
uint64_t target_fill_bytes(const drive_s& d);
// What a target's box says under its path: "Fill" and target_fill_bytes;
// "Nothing planned" where the plan puts no file there; "Folder missing"
// where the folder does not exist. out holds n bytes.
void target_box_text(const drive_s& d, char* out, size_t n);
// The "Max file size" label: the setting in force.
void config_max_file_text(char* out, size_t n);
// The largest file of the job list in force.
uint64_t plan_max_file_bytes();

// The plan sentence of config_paint for the given totals, e.g. "10.7 GB
// will be written to 1 file on 1 drive."; out holds at least 128 bytes.
void config_plan_text(char* out, uint64_t files, uint64_t nonces, int targets);
