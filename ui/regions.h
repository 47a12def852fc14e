// The per-frame table of clickable, droppable and scrollable rectangles.
// The window empties it before every paint; screens register their regions
// while they paint; mouse events and drops are dispatched against it.
#pragma once

#include <functional>

struct window_s;

enum { UI_REGION_SLOTS = 64 };

struct ui_region_s {
  int x, y;
  int w, h;  // w == 0 marks a free slot
  std::function<void()> on_click;
  std::function<void(int count, char** paths, int x, int y)> on_drop;
  std::function<void(int dx, int dy)> on_scroll;
};

// The rectangle of a click region; w == 0 for none.
struct ui_rect_s {
  int x, y;
  int w, h;
};

struct ui_regions_s {
  ui_region_s slots[UI_REGION_SLOTS];
  int pressed;  // slot of the click region under the last press, -1 none
  // The click region under the pointer at the last event, by its rectangle:
  // a slot number means another region once a new screen has painted.
  ui_rect_s hover;
};

extern ui_regions_s g_ui_regions;

// Frees every slot; pressed and hover keep their values. Safe from inside
// one of the table's own actions: the running action stays valid until it
// returns and no further action of that event runs.
void ui_regions_clear(window_s* w);

// Registrations: take the first free slot; return whether the window's
// pointer lies in the rectangle (false when all 64 slots are taken).
bool ui_region_click(window_s* w, int x, int y, int wd, int ht, std::function<void()> on_click);
bool ui_region_scroll(window_s* w, int x, int y, int wd, int ht,
                      std::function<void(int dx, int dy)> on_scroll);
bool ui_region_drop(window_s* w, int x, int y, int wd, int ht,
                    std::function<void(int count, char** paths, int x, int y)> on_drop);

// type: 0 press, 1 move, 2 release, 3 wheel (a, b = dx, dy for the wheel).
// Every event that brings the pointer onto another click region, or off
// every one, redraws the window so that the hovered look follows it.
void ui_regions_dispatch_mouse(window_s* w, int type, int a, int b);
// paths are valid only during the call.
void ui_regions_dispatch_drop(window_s* w, int x, int y, int count, char** paths);
