// The start of a plotting run, the processing screen that shows it (Compute,
// Write and Move sections with speed graphs, gauges, the estimate and
// Pause/Resume), the 1000 ms progress history and the summary screen.
// UI thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "app/rate_graph.h"

struct window_s;

struct history_sample_s {
  double moved;     // bytes moved to targets so far
  double written;   // bytes written into plot files so far
  double computed;  // bytes of nonces computed so far (resumed included)
};

extern std::vector<history_sample_s> g_history;
extern double g_history_interval;  // seconds per history slot
extern rate_graph_s g_rate_graphs[3];  // only the first (compute) is drawn
extern double g_free_space_time;
extern double g_compute_start_time;
extern double g_write_start_time;
extern double g_move_start_time;
extern double g_eta_time;
extern char g_eta_text[128];

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

// Seconds per history slot for a run of total nonces (0 for 0 nonces).
double history_interval_for(uint64_t total_nonces);
// Stores a sample at time t (program clock) into history; ignored when the
// interval is not positive or the slot index is out of range.
void history_record(std::vector<history_sample_s>& history, double interval, double t,
                    const history_sample_s& sample);
