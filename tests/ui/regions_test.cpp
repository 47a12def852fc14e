#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "surface_window.h"

namespace {

TEST(Regions, SixtyFifthRegistrationIsRefused) {
  surface_window_s sw;
  sw.pointer(5, 5);
  int clicks = 0;
  for (int i = 0; i < 64; ++i) {
    EXPECT_TRUE(ui_region_click(&sw.w, 0, 0, 10, 10, [&] { ++clicks; })) << i;
  }
  bool extra_ran = false;
  EXPECT_FALSE(ui_region_click(&sw.w, 0, 0, 10, 10, [&] { extra_ran = true; }));
  EXPECT_FALSE(ui_region_scroll(&sw.w, 0, 0, 10, 10, [&](int, int) { extra_ran = true; }));
  sw.mouse(WINDOW_MOUSE_PRESS, 5, 5);
  sw.mouse(WINDOW_MOUSE_RELEASE, 5, 5);
  sw.wheel(5, 5, 0, -32);
  EXPECT_FALSE(extra_ran);
  // Overlapping regions: the one registered last is the one clicked.
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(g_ui_regions.slots[63].w, 10);
}

TEST(Regions, ZeroWidthTakesNoSlotAndIsNeverHit) {
  surface_window_s sw;
  sw.pointer(0, 5);
  bool ran = false;
  EXPECT_FALSE(ui_region_click(&sw.w, 0, 0, 0, 10, [&] { ran = true; }));
  EXPECT_EQ(g_ui_regions.slots[0].w, 0);
  EXPECT_FALSE(g_ui_regions.slots[0].on_click);
  ui_region_click(&sw.w, 100, 100, 10, 10, [] {});
  EXPECT_EQ(g_ui_regions.slots[0].x, 100);
  sw.mouse(WINDOW_MOUSE_PRESS, 0, 5);
  sw.mouse(WINDOW_MOUSE_RELEASE, 0, 5);
  EXPECT_FALSE(ran);
}

TEST(Regions, ContainmentIsHalfOpen) {
  surface_window_s sw;
  struct { int x, y; bool inside; } cases[] = {
      {10, 20, true}, {39, 49, true}, {40, 30, false}, {20, 50, false}, {9, 30, false}, {20, 19, false},
  };
  for (const auto& c : cases) {
    ui_regions_clear(&sw.w);
    sw.pointer(c.x, c.y);
    EXPECT_EQ(ui_region_click(&sw.w, 10, 20, 30, 30, [] {}), c.inside) << c.x << "," << c.y;
  }
}

// Two buttons side by side, as a screen registers them every frame.
struct two_buttons {
  surface_window_s sw;
  int a = 0, b = 0;
  void paint() {
    ui_regions_clear(&sw.w);
    ui_region_click(&sw.w, 0, 0, 50, 50, [this] { ++a; });
    ui_region_click(&sw.w, 100, 0, 50, 50, [this] { ++b; });
  }
};

TEST(Regions, ClickRunsOnceOnReleaseOverThePressedRegion) {
  two_buttons t;
  t.paint();
  t.sw.mouse(WINDOW_MOUSE_PRESS, 10, 10);
  EXPECT_EQ(t.a, 0);
  EXPECT_EQ(g_ui_regions.pressed, 0);
  t.sw.mouse(WINDOW_MOUSE_RELEASE, 10, 10);
  EXPECT_EQ(t.a, 1);
  EXPECT_EQ(g_ui_regions.pressed, -1);
  t.sw.mouse(WINDOW_MOUSE_RELEASE, 10, 10);  // a release without a press
  EXPECT_EQ(t.a, 1);
}

TEST(Regions, PressDragOffReleaseOverNothingKeepsPressed) {
  two_buttons t;
  t.paint();
  t.sw.mouse(WINDOW_MOUSE_PRESS, 110, 10);
  t.sw.mouse(WINDOW_MOUSE_MOVE, 300, 300);
  t.sw.mouse(WINDOW_MOUSE_RELEASE, 300, 300);
  EXPECT_EQ(t.b, 0);
  EXPECT_EQ(g_ui_regions.pressed, 1);
  // A later press over nothing and a release over the button still click it.
  t.paint();
  t.sw.mouse(WINDOW_MOUSE_PRESS, 300, 300);
  t.sw.mouse(WINDOW_MOUSE_RELEASE, 110, 10);
  EXPECT_EQ(t.b, 1);
  EXPECT_EQ(g_ui_regions.pressed, -1);
}

TEST(Regions, PressOnOneReleaseOnAnotherRunsNeither) {
  two_buttons t;
  t.paint();
  t.sw.mouse(WINDOW_MOUSE_PRESS, 10, 10);
  t.sw.mouse(WINDOW_MOUSE_RELEASE, 110, 10);
  EXPECT_EQ(t.a + t.b, 0);
  EXPECT_EQ(g_ui_regions.pressed, -1);
}

bool hover_is(int x, int y, int w, int h) {
  const ui_rect_s& r = g_ui_regions.hover;
  return r.x == x && r.y == y && r.w == w && r.h == h;
}

TEST(Regions, HoverChangesAndPressedSurviveClears) {
  two_buttons t;
  t.paint();
  t.sw.mouse(WINDOW_MOUSE_MOVE, 10, 10);
  EXPECT_TRUE(hover_is(0, 0, 50, 50));
  t.sw.mouse(WINDOW_MOUSE_PRESS, 10, 10);
  ui_regions_clear(&t.sw.w);
  EXPECT_TRUE(hover_is(0, 0, 50, 50));
  EXPECT_EQ(g_ui_regions.pressed, 0);
  t.paint();
  t.sw.mouse(WINDOW_MOUSE_MOVE, 120, 10);
  EXPECT_TRUE(hover_is(100, 0, 50, 50));
  t.sw.mouse(WINDOW_MOUSE_MOVE, 300, 10);
  EXPECT_TRUE(hover_is(0, 0, 0, 0));
  // Releasing over the first button after a frame's clear still clicks it.
  t.sw.mouse(WINDOW_MOUSE_RELEASE, 10, 10);
  EXPECT_EQ(t.a, 1);
}

// After a screen change the slot that was hovered holds another region: the
// hover follows what lies under the pointer, not the slot number.
TEST(Regions, HoverFollowsTheRegionNotTheSlot) {
  surface_window_s sw;
  ui_region_click(&sw.w, 200, 200, 100, 40, [] {});  // a prompt's OK in slot 0
  sw.mouse(WINDOW_MOUSE_MOVE, 250, 210);
  EXPECT_TRUE(hover_is(200, 200, 100, 40));
  // The next screen: a drop area over everything in slot 0, a button under
  // the pointer in slot 1.
  ui_regions_clear(&sw.w);
  ui_region_drop(&sw.w, 0, 0, 640, 480, [](int, char**, int, int) {});
  EXPECT_TRUE(ui_region_click(&sw.w, 240, 205, 30, 30, [] {}));
  sw.mouse(WINDOW_MOUSE_MOVE, 600, 20);
  EXPECT_TRUE(hover_is(0, 0, 0, 0)) << "off every button: nothing hovered";
  sw.mouse(WINDOW_MOUSE_MOVE, 245, 210);
  EXPECT_TRUE(hover_is(240, 205, 30, 30));
  // A press at a new place without a move first updates the hover too.
  sw.mouse(WINDOW_MOUSE_PRESS, 600, 20);
  EXPECT_TRUE(hover_is(0, 0, 0, 0));
}

TEST(Regions, OverlappingClickRegionsLastRegisteredWins) {
  surface_window_s sw;
  int under = 0, over = 0;
  ui_region_click(&sw.w, 0, 0, 100, 100, [&] { ++under; });
  ui_region_click(&sw.w, 20, 20, 20, 20, [&] { ++over; });
  sw.mouse(WINDOW_MOUSE_MOVE, 25, 25);
  EXPECT_TRUE(hover_is(20, 20, 20, 20));
  sw.mouse(WINDOW_MOUSE_MOVE, 26, 26);
  EXPECT_TRUE(hover_is(20, 20, 20, 20));
  sw.mouse(WINDOW_MOUSE_PRESS, 25, 25);
  sw.mouse(WINDOW_MOUSE_RELEASE, 25, 25);
  EXPECT_EQ(over, 1);
  EXPECT_EQ(under, 0);
  sw.mouse(WINDOW_MOUSE_PRESS, 80, 80);
  sw.mouse(WINDOW_MOUSE_RELEASE, 80, 80);
  EXPECT_EQ(under, 1);
}

TEST(Regions, WheelReachesEveryScrollRegionInSlotOrder) {
  surface_window_s sw;
  std::vector<std::string> got;
  ui_region_scroll(&sw.w, 0, 0, 100, 100, [&](int dx, int dy) {
    got.push_back("low " + std::to_string(dx) + " " + std::to_string(dy));
  });
  ui_region_click(&sw.w, 0, 0, 100, 100, [] {});
  ui_region_scroll(&sw.w, 50, 50, 100, 100, [&](int dx, int dy) {
    got.push_back("high " + std::to_string(dx) + " " + std::to_string(dy));
  });
  sw.wheel(60, 60, 1, -32);
  EXPECT_EQ(got, (std::vector<std::string>{"low 1 -32", "high 1 -32"}));
  got.clear();
  sw.wheel(10, 10, 0, 32);
  EXPECT_EQ(got, std::vector<std::string>{"low 0 32"});
  got.clear();
  // Scroll regions ignore presses, releases and moves.
  sw.mouse(WINDOW_MOUSE_PRESS, 60, 60);
  sw.mouse(WINDOW_MOUSE_RELEASE, 60, 60);
  EXPECT_TRUE(got.empty());
}

TEST(Regions, DropGoesToTheTopmostDropRegionOnly) {
  surface_window_s sw;
  std::vector<std::string> got;
  auto drop = [&](const char* name) {
    return [&got, name](int count, char** paths, int x, int y) {
      got.push_back(std::string(name) + " " + std::to_string(count) + " " + paths[0] + " " +
                    std::to_string(x) + "," + std::to_string(y));
    };
  };
  ui_region_drop(&sw.w, 0, 0, 200, 200, drop("under"));
  ui_region_drop(&sw.w, 50, 50, 50, 50, drop("over"));
  sw.pointer(500, 500);  // the drop point counts, not the pointer
  char p0[] = "/a", p1[] = "/b";
  char* paths[] = {p0, p1};
  ui_regions_dispatch_drop(&sw.w, 60, 60, 2, paths);
  ui_regions_dispatch_drop(&sw.w, 10, 10, 2, paths);
  ui_regions_dispatch_drop(&sw.w, 300, 300, 2, paths);
  EXPECT_EQ(got, (std::vector<std::string>{"over 2 /a 60,60", "under 2 /a 10,10"}));
  // Drop regions never react to the mouse.
  sw.mouse(WINDOW_MOUSE_PRESS, 60, 60);
  sw.mouse(WINDOW_MOUSE_RELEASE, 60, 60);
  EXPECT_EQ(got.size(), 2u);
}

TEST(Regions, ClearFromInsideAnActionStopsTheDispatch) {
  surface_window_s sw;
  struct big { char bytes[256] = "kept alive while it runs"; };
  big payload;
  std::string seen;
  bool second_ran = false, refilled_ran = false;
  ui_region_scroll(&sw.w, 0, 0, 100, 100, [&sw, &seen, &refilled_ran, payload](int, int) {
    ui_regions_clear(&sw.w);
    // Refill, as a nested paint during a modal dialog would; the regions of
    // the new frame must not receive the old frame's event.
    ui_region_scroll(&sw.w, 0, 0, 100, 100, [](int, int) {});
    ui_region_scroll(&sw.w, 0, 0, 100, 100, [&refilled_ran](int, int) { refilled_ran = true; });
    seen = payload.bytes;  // the closure's own copy must still be valid
  });
  ui_region_scroll(&sw.w, 0, 0, 100, 100, [&](int, int) { second_ran = true; });
  sw.wheel(10, 10, 0, -32);
  EXPECT_EQ(seen, "kept alive while it runs");
  EXPECT_FALSE(second_ran);
  EXPECT_FALSE(refilled_ran);
  // The same for a click that switches screens.
  ui_regions_clear(&sw.w);
  int other = 0;
  ui_region_click(&sw.w, 0, 0, 100, 100, [&] { ui_regions_clear(&sw.w); });
  ui_region_click(&sw.w, 200, 0, 100, 100, [&] { ++other; });
  sw.mouse(WINDOW_MOUSE_PRESS, 10, 10);
  sw.mouse(WINDOW_MOUSE_RELEASE, 10, 10);
  EXPECT_EQ(g_ui_regions.slots[0].w, 0);
  EXPECT_EQ(other, 0);
}

}  // namespace
