// The start of a plotting run, the processing screen that shows it (Compute,
// Write and Move sections with speed graphs, gauges, the estimate and
// Pause/Resume), the 1000 ms progress history and the summary screen.
// UI thread only.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "app/rate_graph.h"
#include "app/run_history.h"
#include "platform/sys_linux.h"
#include "ui/draw.h"

struct drive_s;
struct window_s;

extern run_history_s g_history;  // the run's progress, one tick a second
// The texts of the last processing frame as they came out (their boxes and
// sizes), for checks of the screen's layout.
extern std::vector<drawn_text_s> g_processing_texts;
extern rate_graph_s g_rate_graphs[3];  // only the first (compute) is drawn
// Each drive's speed graph of the bytes into it (drive_bytes_in), by the
// drive of the lists; entries are made as the drives are first painted, and
// a run starts without any.
extern std::map<const drive_s*, rate_graph_s> g_drive_rate_graphs;
extern double g_free_space_time;
extern double g_compute_start_time;
extern double g_write_start_time;
extern double g_move_start_time;
extern double g_eta_time;
// The length of the run so far, counted on across wraps of the clock (read
// by every paint and every history tick).
extern elapsed_clock_s g_run_clock;
extern char g_eta_text[128];
// A close was confirmed and waits for the run to end: the screen says what
// the run is finishing instead of the estimate, and offers no Pause.
extern bool g_run_closing;

extern const uint32_t colours_compute[3];
extern const uint32_t colours_write[3];
extern const uint32_t colours_move[3];

// Saves the settings, restarts the clock, shows the processing screen and
// starts the plotter and the history sampler.
void processing_start();

// Paint callbacks (user unused).
void paint_cb(void* user);
void summary_paint(void* user);

void paint_progress_bar(window_s* w, int x, int y, int wd, int ht, const char* label,
                        float fraction, bool active, rate_graph_s* graph, const uint32_t* colours);
void paint_fill_gauge(window_s* w, int x, int y, int ht, uint64_t used, uint64_t total);

// Starts the sampler that records the run's totals into g_history once a
// tick while the processing screen shows the run.
void history_start();
// The totals of the plotter's jobs now, as the sampler records them.
history_sample_s history_sample_now();
// The end of a run: the history gets the final totals and the window the
// summary screen (g_finish_time is set by the caller).
void summary_show();
