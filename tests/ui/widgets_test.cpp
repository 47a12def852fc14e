#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "surface_window.h"
#include "ui/draw.h"
#include "ui/widgets.h"

namespace {

int used_slots() {
  int n = 0;
  for (const ui_region_s& r : g_ui_regions.slots) n += r.w != 0;
  return n;
}

void click(surface_window_s& sw, int x, int y) {
  sw.mouse(WINDOW_MOUSE_PRESS, x, y);
  sw.mouse(WINDOW_MOUSE_RELEASE, x, y);
}

TEST(Button, ColoursFollowEnabledAndHovered) {
  struct { bool enabled; bool pointer_over; uint32_t fill, outline; } cases[] = {
      {true, true, 0xffe5f1fb, 0xff0078d7},
      {true, false, 0xffe1e1e1, 0xffadadad},
      {false, true, 0xffcccccc, 0xffadadad},
  };
  for (const auto& c : cases) {
    surface_window_s sw(200, 100);
    sw.pointer(c.pointer_over ? 30 : 190, 30);
    draw_set_line_width(&sw.w, 2.0f);
    int clicks = 0;
    paint_button(&sw.w, "OK", c.enabled, 20, 20, 100, 40, 10, [&] { ++clicks; });
    EXPECT_EQ(sw.pixel(22, 22), c.fill) << c.enabled << c.pointer_over;
    EXPECT_EQ(sw.pixel(20, 40), c.outline) << c.enabled << c.pointer_over;
    EXPECT_EQ(sw.w.fill, c.enabled ? 0xff000000u : 0xff7e859cu);
    EXPECT_EQ(used_slots(), c.enabled ? 1 : 0);
    click(sw, 30, 30);
    EXPECT_EQ(clicks, c.enabled ? 1 : 0);
  }
}

TEST(Button, TextIsCentredAndMayStartLeftOfANarrowButton) {
  surface_window_s sw(400, 100);
  paint_button(&sw.w, "Centre", true, 100, 20, 200, 40, 12, [] {});
  int first = -1, last = -1;
  for (int x = 100; x < 300; ++x)
    for (int y = 22; y < 58; ++y)
      if ((sw.pixel(x, y) & 0xffffff) < 0x404040) {
        if (first < 0) first = x;
        last = x;
      }
  ASSERT_GE(first, 0);
  EXPECT_NEAR((first + last) / 2.0, 200.0, 3.0);

  surface_window_s narrow(400, 100);
  paint_button(&narrow.w, "A much longer label", true, 200, 20, 10, 40, 12, [] {});
  bool ink_left = false;
  for (int x = 100; x < 200 && !ink_left; ++x)
    for (int y = 20; y < 60; ++y)
      if (narrow.pixel(x, y) >> 24 > 0x80) ink_left = true;
  EXPECT_TRUE(ink_left);
}

// The configuration screen's strip: ht 64, so the arrows are 32 wide and the
// visible part runs from 40 to 600 in a 640-pixel window (560 pixels).
struct strip {
  surface_window_s sw;
  scroll_state s{};
  std::vector<bool> hovered;
  int clicked = -1;
  void paint(float content, int item_w = 100) {
    ui_regions_clear(&sw.w);
    s.content = content;
    hovered.clear();
    paint_scroll_horz(&sw.w, &s, 12345, 100, 640, 64, [&](int x, int y, ui_hit_fn hit) {
      for (int i = 0; i * item_w < (int)content; ++i) {
        hovered.push_back(hit(x + i * item_w, y, item_w, 64, [this, i] { clicked = i; }));
      }
    });
  }
  bool has_region(int x, int w) {
    for (const ui_region_s& r : g_ui_regions.slots)
      if (r.w == w && r.x == x) return true;
    return false;
  }
};

TEST(ScrollHorz, ExactFitHasNoArrowsAndResetsTheOffset) {
  strip t;
  t.s.scroll_offset = -50;
  t.paint(560, 56);
  EXPECT_EQ(t.s.scroll_offset, 0);
  EXPECT_EQ(used_slots(), 10);
  EXPECT_TRUE(t.has_region(40, 56));
  EXPECT_FALSE(t.has_region(0, 32));
  EXPECT_FALSE(t.has_region(608, 32));
}

TEST(ScrollHorz, ArrowsShowOnTheHiddenSidesOnly) {
  strip t;
  t.s.scroll_offset = 0;
  t.paint(1000);
  EXPECT_FALSE(t.has_region(0, 32));
  EXPECT_TRUE(t.has_region(608, 32));

  t.s.scroll_offset = -1000000;  // "show the end": clamped to 560 - 1000
  t.paint(1000);
  EXPECT_EQ(t.s.scroll_offset, -440);
  EXPECT_TRUE(t.has_region(0, 32));
  EXPECT_FALSE(t.has_region(608, 32));
}

TEST(ScrollHorz, ArrowStepsStopAtTheEnds) {
  strip t;
  t.s.scroll_offset = -390;
  t.paint(1000);
  click(t.sw, 620, 130);  // right arrow, 50 pixels before the end
  EXPECT_EQ(t.s.scroll_offset, -440);
  t.s.scroll_offset = -50;
  t.paint(1000);
  click(t.sw, 10, 130);  // left arrow
  EXPECT_EQ(t.s.scroll_offset, 0);
  t.s.scroll_offset = -250;
  t.paint(1000);
  click(t.sw, 620, 130);
  EXPECT_EQ(t.s.scroll_offset, -350);
}

TEST(ScrollHorz, ItemsAreClickableOnlyOnTheirVisiblePart) {
  strip t;
  t.s.scroll_offset = -150;  // items start at 40 - 150 = -110
  t.sw.pointer(45, 120);
  t.paint(1000);
  ASSERT_EQ(t.hovered.size(), 10u);
  // Item 0 (-110..-10) is wholly hidden; item 1 (-10..90) shows from 40.
  EXPECT_FALSE(t.hovered[0]);
  EXPECT_TRUE(t.hovered[1]);
  EXPECT_FALSE(t.has_region(-110, 100));
  EXPECT_TRUE(t.has_region(40, 50));
  // Item 7 (590..690) is cut at 600.
  EXPECT_TRUE(t.has_region(590, 10));
  click(t.sw, 45, 120);
  EXPECT_EQ(t.clicked, 1);
  // Over the hidden part of item 1, the left arrow answers instead.
  t.paint(1000);
  click(t.sw, 20, 120);
  EXPECT_EQ(t.clicked, 1);
  EXPECT_EQ(t.s.scroll_offset, -50);
}

struct list {
  surface_window_s sw;
  scroll_state s{};
  int painted_y = 0;
  void paint(float content) {
    ui_regions_clear(&sw.w);
    paint_scroll_vert(&sw.w, &s, 0, 40, 640, 400, [&](int, int y, ui_hit_fn hit) {
      painted_y = y;
      s.content = content;
      EXPECT_FALSE(hit(0, y, 100, 20, [] {}));
      draw_set_fill(&sw.w, 0xff000000);
      draw_rect(&sw.w, 0, y, 640, content);
    });
  }
};

TEST(ScrollVert, WheelStaysWithinTheContent) {
  list t;
  t.paint(100);
  t.sw.wheel(10, 100, 0, -32);
  EXPECT_EQ(t.s.scroll_offset, 0);
  t.sw.wheel(10, 100, 0, 32);
  EXPECT_EQ(t.s.scroll_offset, 0);

  t.paint(1000);
  t.sw.wheel(10, 100, 0, -32);
  EXPECT_EQ(t.s.scroll_offset, -32);
  t.paint(1000);
  EXPECT_EQ(t.painted_y, 40 - 32);
  for (int i = 0; i < 40; ++i) t.sw.wheel(10, 100, 5, -32);
  EXPECT_EQ(t.s.scroll_offset, -632);
  for (int i = 0; i < 40; ++i) t.sw.wheel(10, 100, 0, 32);
  EXPECT_EQ(t.s.scroll_offset, 0);
  t.sw.wheel(10, 20, 0, -32);  // above the list
  EXPECT_EQ(t.s.scroll_offset, 0);
}

TEST(ScrollVert, FadesShowWhereItemsAreHidden) {
  list t;
  t.paint(1000);
  // At the start: no top fade, a bottom fade.
  EXPECT_EQ(t.sw.pixel(300, 41), 0xff000000u);
  EXPECT_GT(t.sw.pixel(300, 438) & 0xff, 0xe0u);
  // Scrolled: the top fades too.
  t.s.scroll_offset = -100;
  t.paint(1000);
  EXPECT_GT(t.sw.pixel(300, 41) & 0xff, 0xe0u);
  // Nothing hidden: no fades; the items stay clipped to the list.
  surface_window_s& sw = t.sw;
  cairo_set_source_rgba(sw.w.cr, 0, 0, 0, 0);
  cairo_set_operator(sw.w.cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(sw.w.cr);
  cairo_set_operator(sw.w.cr, CAIRO_OPERATOR_OVER);
  t.s.scroll_offset = 0;
  t.paint(300);
  EXPECT_EQ(sw.pixel(300, 41), 0xff000000u);
  EXPECT_EQ(sw.pixel(300, 339), 0xff000000u);
  EXPECT_EQ(sw.pixel(300, 438), 0u);
}

}  // namespace
