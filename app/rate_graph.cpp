#include "app/rate_graph.h"

#include <algorithm>

#include "platform/sys_linux.h"
#include "ui/draw.h"

namespace {

const float k_min_spacing = 0.25f;  // seconds between samples at least
const float k_horizon = 512.0f;     // seconds of history kept
const float k_rescale = 0.01f;      // share of the way to the visible peak

// Drops the samples beyond the horizon but the two newest of them (one
// block move). Every graph is fed on every paint, drawn or not, and has no
// scale while nothing moves: this runs on each sample added so that no graph
// grows for the length of a run.
void prune(rate_graph_s* g) {
  if (g->samples.empty()) return;
  const double newest = g->samples.back().time;
  size_t old = 0;
  while (old < g->samples.size() &&
         static_cast<float>(sys_seconds_between(g->samples[old].time, newest)) > k_horizon)
    old++;
  if (old > 3) g->samples.erase(g->samples.begin(), g->samples.begin() + (old - 2));
}

}  // namespace

float rate_graph_add(rate_graph_s* g, int n, double t, double value) {
  if (g->samples.empty()) {
    g->samples.push_back({t, 0.0f, value});
    return 0.0f;
  }
  const rate_sample_s& last = g->samples.back();
  if (sys_seconds_between(last.time, t) < k_min_spacing) return last.rate;
  int k = std::max(static_cast<int>(g->samples.size()) - n, 0);
  const rate_sample_s& from = g->samples[k];
  float dt = static_cast<float>(sys_seconds_between(from.time, t));
  float rate = dt != 0.0f ? static_cast<float>(value - from.value) / dt : 0.0f;
  if (rate < 0.0f) rate = 0.0f;
  g->samples.push_back({t, rate, value});
  if (rate > g->max_rate) g->max_rate = rate;
  prune(g);
  return rate;
}

void rate_graph_trace(rate_graph_s* g, int x, int y, int wd, int ht,
                      const std::function<void(float, float)>& point) {
  if (g->max_rate == 0.0f || g->samples.empty()) return;
  // Positions go by each sample's age before the newest one.
  double newest = g->samples.back().time;
  float window = static_cast<float>(wd / 4);
  // A bar narrower than 4 px has a window of 0 s and no x scale: it draws
  // nothing, but still prunes and rescales so that it follows the run.
  bool drawable = window > 0.0f;
  if (drawable) point(static_cast<float>(x), static_cast<float>(y + ht));
  float visible_max = 0.0f;
  bool started = false;
  size_t p = 0;
  for (size_t i = 0; i < g->samples.size(); i++) {
    const rate_sample_s& s = g->samples[i];
    float age = static_cast<float>(sys_seconds_between(s.time, newest));
    if (age > k_horizon) p = i;
    if (age > window) continue;
    float h = std::min(s.rate / g->max_rate, 1.0f) * static_cast<float>(ht);
    float py = static_cast<float>(y + ht) - h;
    if (drawable) {
      if (!started) point(static_cast<float>(x), py);
      started = true;
      point(static_cast<float>(x) + (window - age) / window * static_cast<float>(wd), py);
    }
    visible_max = std::max(visible_max, s.rate);
  }
  if (drawable) point(static_cast<float>(x + wd), static_cast<float>(y + ht));
  // Keep the two newest samples beyond the horizon: one block move.
  if (p > 2) g->samples.erase(g->samples.begin(), g->samples.begin() + (p - 1));
  g->max_rate = g->max_rate + (visible_max - g->max_rate) * k_rescale;
}

void rate_graph_draw(rate_graph_s* g, window_s* w, int x, int y, int wd, int ht) {
  bool begun = false;
  rate_graph_trace(g, x, y, wd, ht, [&](float px, float py) {
    if (!begun) draw_path_begin(w);
    begun = true;
    draw_path_point(w, px, py);
  });
  if (begun) draw_path_end(w);
}
