// A self-scaling speed graph fed with a cumulative counter.
//
// The processing screen adds one sample per paint (nonces computed, bytes
// written into a drive) and draws the recent speed history as a filled curve
// inside a progress bar. A new peak raises the scale at once; the scale then
// sinks by 1% per draw toward the highest speed still visible.
//
// Sample times are readings of the program's wrapping clock; every interval
// between them is taken wrap-safe, so a graph goes on across a wrap.
#pragma once

#include <functional>
#include <vector>

struct window_s;

struct rate_sample_s {
  double time;   // program clock reading (sys_time) when added
  float rate;    // value units per second, never negative
  double value;  // the cumulative value given with the sample
};

struct rate_graph_s {
  float max_rate = 0;  // a rate at this value fills the bar; 0 = no scale yet
  std::vector<rate_sample_s> samples;  // in the order added
};

// Adds a sample unless the newest is under 0.25 s old, and prunes samples
// beyond the 512 s horizon as a draw does, so that a graph that is never
// drawn stays bounded too; returns the rate over the last n samples (n >= 1;
// the program passes 4).
float rate_graph_add(rate_graph_s* g, int n, double t, double value);

// Draws the last wd / 4 seconds into (x, y, wd, ht) as one closed polygon in
// the caller's fill and stroke colours, then prunes samples beyond the 512 s
// horizon and moves the scale toward the visible maximum.
void rate_graph_draw(rate_graph_s* g, window_s* w, int x, int y, int wd, int ht);

// The geometry of rate_graph_draw without a window: visits the polygon's
// points in order (bottom-left corner, the samples, bottom-right corner),
// then prunes and rescales exactly as a draw does. rate_graph_draw is this
// with the window's polygon primitives.
void rate_graph_trace(rate_graph_s* g, int x, int y, int wd, int ht,
                      const std::function<void(float, float)>& point);
