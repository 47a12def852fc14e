// Generic immediate-mode widgets: a push button, a horizontal scrolling
// strip with arrows and fades, and a vertical list scrolled by the wheel.
#pragma once

#include <functional>

struct window_s;

struct scroll_state {
  float content;        // total extent of the items in pixels
  float scroll_offset;  // 0 or negative; 0 shows the start
};

// hit(x, y, w, h, on_click) registers an item's click region and answers
// whether the pointer is over it; valid only during the painter's call.
typedef std::function<bool(int x, int y, int w, int h, std::function<void()> on_click)> ui_hit_fn;
typedef std::function<void(int x, int y, ui_hit_fn hit)> ui_item_painter;

void paint_button(window_s* w, const char* text, bool enabled, int x, int y, int wd, int ht,
                  float font_size, std::function<void()> on_click);
// x is not read; wd is the window's width.
void paint_scroll_horz(window_s* w, scroll_state* s, int x, int y, int wd, int ht,
                       ui_item_painter items);
void paint_scroll_vert(window_s* w, scroll_state* s, int x, int y, int wd, int ht,
                       ui_item_painter items);
