#include <cmath>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/rate_graph.h"
#include "ui/window.h"

namespace {

using points_t = std::vector<std::pair<float, float>>;

points_t trace(rate_graph_s* g, int x, int y, int wd, int ht) {
  points_t pts;
  rate_graph_trace(g, x, y, wd, ht, [&pts](float px, float py) { pts.emplace_back(px, py); });
  return pts;
}

}  // namespace

TEST(rate_graph, add_spans_the_last_n_samples) {
  rate_graph_s g;
  const double t[] = {0, 1, 2, 3, 4, 5};
  const double v[] = {0, 100, 200, 300, 400, 900};
  const float want[] = {0, 100, 100, 100, 100, 200};  // the last spans from 1.0 s
  for (int i = 0; i < 6; i++) EXPECT_FLOAT_EQ(rate_graph_add(&g, 4, float(t[i]), v[i]), want[i]) << i;
  EXPECT_EQ(g.samples.size(), 6u);
  EXPECT_FLOAT_EQ(g.max_rate, 200.0f);
  EXPECT_EQ(g.samples[0].rate, 0.0f);  // the first sample never sets the scale
}

TEST(rate_graph, add_keeps_spacing_and_clamps_negative_rates) {
  rate_graph_s g;
  rate_graph_add(&g, 4, 0.0f, 0);
  EXPECT_FLOAT_EQ(rate_graph_add(&g, 4, 1.0f, 500), 500.0f);
  // Under 0.25 s later: the last rate again, nothing appended.
  EXPECT_FLOAT_EQ(rate_graph_add(&g, 4, 1.1f, 9999), 500.0f);
  EXPECT_FLOAT_EQ(rate_graph_add(&g, 4, 1.24f, 9999), 500.0f);
  EXPECT_EQ(g.samples.size(), 2u);
  // A counter that went back gives 0 and leaves the scale alone.
  EXPECT_EQ(rate_graph_add(&g, 1, 2.0f, 100), 0.0f);
  EXPECT_FLOAT_EQ(g.max_rate, 500.0f);
  EXPECT_EQ(g.samples.size(), 3u);
}

TEST(rate_graph, trace_of_empty_or_unscaled_graph_draws_nothing) {
  rate_graph_s g;
  EXPECT_TRUE(trace(&g, 0, 0, 400, 40).empty());
  rate_graph_add(&g, 4, 0.0f, 0);  // one sample, rate 0: still no scale
  EXPECT_TRUE(trace(&g, 0, 0, 400, 40).empty());
  EXPECT_EQ(g.max_rate, 0.0f);
  EXPECT_EQ(g.samples.size(), 1u);
}

TEST(rate_graph, trace_maps_the_last_wd_over_4_seconds) {
  rate_graph_s g;
  // Samples at 0 .. 200 s, rate 100 everywhere except a peak of 200 at 150 s.
  for (int s = 0; s <= 200; s += 50) g.samples.push_back({float(s), s == 150 ? 200.0f : 100.0f, 0.0});
  g.max_rate = 200.0f;
  points_t p = trace(&g, 10, 20, 400, 40);  // 400 px: the last 100 s
  ASSERT_EQ(p.size(), 2u + 1u + 3u);        // corners, left edge, 3 visible samples
  EXPECT_EQ(p.front(), std::make_pair(10.0f, 60.0f));                  // bottom-left
  EXPECT_EQ(p[1], std::make_pair(10.0f, 40.0f));                       // left edge up to 100 s
  EXPECT_EQ(p[2], std::make_pair(10.0f, 40.0f));                       // 100 s on the left edge
  EXPECT_EQ(p[3], std::make_pair(210.0f, 20.0f));                      // 150 s, full height
  EXPECT_EQ(p[4], std::make_pair(410.0f, 40.0f));                      // newest on the right edge
  EXPECT_EQ(p.back(), std::make_pair(410.0f, 60.0f));                  // bottom-right
  // Rescale: 1% of the way toward the visible maximum (200, unchanged).
  EXPECT_FLOAT_EQ(g.max_rate, 200.0f);
}

TEST(rate_graph, heights_are_capped_at_the_bar) {
  rate_graph_s g;
  g.samples = {{0.0f, 300.0f, 0.0}, {1.0f, 300.0f, 0.0}};
  g.max_rate = 100.0f;
  points_t p = trace(&g, 0, 0, 40, 10);
  for (const auto& pt : p) EXPECT_GE(pt.second, 0.0f);
}

TEST(rate_graph, scale_decays_toward_the_visible_maximum) {
  rate_graph_s g;
  g.samples.push_back({0.0f, 1000.0f, 0.0});  // the peak leaves the 100 s window
  for (int s = 200; s <= 300; s += 10) g.samples.push_back({float(s), 500.0f, 0.0});
  g.max_rate = 1000.0f;
  float expect = 1000.0f;
  for (int k = 1; k <= 50; k++) {
    trace(&g, 0, 0, 400, 40);
    expect = expect + (500.0f - expect) * 0.01f;
    EXPECT_FLOAT_EQ(g.max_rate, expect) << k;
  }
  EXPECT_NEAR(g.max_rate, 500.0 + 500.0 * std::pow(0.99, 50), 0.01);
}

TEST(rate_graph, prune_keeps_two_samples_beyond_the_horizon) {
  rate_graph_s g;
  g.max_rate = 1.0f;
  // Three samples older than 512 s: nothing is removed yet.
  g.samples = {{0, 1, 0}, {1, 1, 0}, {2, 1, 0}, {600, 1, 0}};
  trace(&g, 0, 0, 400, 40);
  EXPECT_EQ(g.samples.size(), 4u);
  // Five old samples: the first p - 1 = 3 go, the two newest old ones stay.
  g.samples = {{0, 1, 0}, {1, 1, 0}, {2, 1, 0}, {3, 1, 0}, {4, 1, 0}, {600, 1, 0}};
  trace(&g, 0, 0, 400, 40);
  ASSERT_EQ(g.samples.size(), 3u);
  EXPECT_EQ(g.samples[0].time, 3.0f);
  EXPECT_EQ(g.samples[1].time, 4.0f);
  EXPECT_EQ(g.samples[2].time, 600.0f);
}

// A bar narrower than 4 px has no time window: it draws nothing but still
// follows the run (prunes and rescales).
TEST(rate_graph, narrow_bar_draws_nothing) {
  rate_graph_s g;
  g.samples = {{0, 10, 0}, {1, 20, 0}};
  g.max_rate = 40.0f;
  EXPECT_TRUE(trace(&g, 0, 0, 3, 40).empty());
  EXPECT_FLOAT_EQ(g.max_rate, 40.0f + (20.0f - 40.0f) * 0.01f);
}

// The window form draws the traced polygon with the caller's colours.
TEST(rate_graph, draw_fills_the_curve_on_the_window) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 120, 60);
  window_s w{};
  w.cr = cairo_create(surface);
  w.fill = 0xffff0000u;
  w.line_width = 1.0f;
  w.path_start = true;
  rate_graph_s g;
  g.samples = {{0, 100, 0}, {100, 100, 0}};  // half the bar's height all along
  g.max_rate = 200.0f;
  rate_graph_draw(&g, &w, 10, 10, 100, 40);  // 25 s window: only the newest is visible
  cairo_surface_flush(surface);
  auto pixel = [&](int x, int y) {
    const unsigned char* row = cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
    return reinterpret_cast<const uint32_t*>(row)[x];
  };
  EXPECT_EQ(pixel(60, 45), 0xffff0000u);  // below the curve (y 30 .. 50)
  EXPECT_EQ(pixel(60, 20), 0u);           // above it
  EXPECT_EQ(pixel(5, 45), 0u);            // left of the bar
  // An unscaled graph draws nothing.
  rate_graph_s empty;
  w.fill = 0xff00ff00u;
  rate_graph_draw(&empty, &w, 0, 0, 120, 60);
  cairo_surface_flush(surface);
  EXPECT_EQ(pixel(60, 20), 0u);
  cairo_destroy(w.cr);
  cairo_surface_destroy(surface);
}

// The same run with the clock started just before its wrap: the same rates,
// the same polygon, the same pruning as a run that never wrapped.
TEST(rate_graph, a_wrap_of_the_clock_changes_nothing) {
  const double wrap = 4294967.296;  // 2^32 ms
  rate_graph_s plain, wrapped;
  for (int i = 0; i < 40; i++) {
    double t = 0.5 * i;
    double value = 100.0 * i * i;
    double reading = std::fmod(wrap - 3.0 + t, wrap);  // wraps at the seventh sample
    float a = rate_graph_add(&plain, 4, t, value);
    float b = rate_graph_add(&wrapped, 4, reading, value);
    EXPECT_FLOAT_EQ(b, a) << i;
    ASSERT_EQ(wrapped.samples.size(), plain.samples.size()) << i;
  }
  points_t a = trace(&plain, 10, 20, 40, 30);
  points_t b = trace(&wrapped, 10, 20, 40, 30);
  ASSERT_EQ(b.size(), a.size());
  ASSERT_GT(a.size(), 4u);
  for (size_t i = 0; i < a.size(); i++) {
    EXPECT_NEAR(b[i].first, a[i].first, 1e-3) << i;
    EXPECT_NEAR(b[i].second, a[i].second, 1e-3) << i;
  }
  EXPECT_FLOAT_EQ(wrapped.max_rate, plain.max_rate);
}
