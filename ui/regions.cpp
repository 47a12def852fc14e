#include "ui/regions.h"

#include "ui/window.h"

ui_regions_s g_ui_regions = {{}, -1, {0, 0, 0, 0}};

// Bumped by every clear, so that a dispatch notices an action that emptied
// the table (and perhaps let a nested paint refill it) and runs nothing more.
static unsigned g_regions_generation = 0;

static bool region_contains(const ui_region_s& r, int px, int py) {
  return r.w != 0 && px >= r.x && px < r.x + r.w && py >= r.y && py < r.y + r.h;
}

void ui_regions_clear(window_s*) {
  // Actions that are running were copied by the dispatch, so destroying the
  // slots' closures here cannot pull one out from under itself.
  for (ui_region_s& r : g_ui_regions.slots) {
    r.x = r.y = r.w = r.h = 0;
    r.on_click = nullptr;
    r.on_drop = nullptr;
    r.on_scroll = nullptr;
  }
  ++g_regions_generation;
}

static ui_region_s* region_take(window_s* w, int x, int y, int wd, int ht, bool* inside) {
  *inside = false;
  if (wd == 0) return nullptr;  // a zero width would mark the slot free again
  for (ui_region_s& r : g_ui_regions.slots) {
    if (r.w != 0) continue;
    r.x = x;
    r.y = y;
    r.w = wd;
    r.h = ht;
    r.on_click = nullptr;
    r.on_drop = nullptr;
    r.on_scroll = nullptr;
    *inside = region_contains(r, window_mouse_x(w), window_mouse_y(w));
    return &r;
  }
  return nullptr;
}

bool ui_region_click(window_s* w, int x, int y, int wd, int ht, std::function<void()> on_click) {
  bool inside;
  if (ui_region_s* r = region_take(w, x, y, wd, ht, &inside)) r->on_click = std::move(on_click);
  return inside;
}

bool ui_region_scroll(window_s* w, int x, int y, int wd, int ht,
                      std::function<void(int dx, int dy)> on_scroll) {
  bool inside;
  if (ui_region_s* r = region_take(w, x, y, wd, ht, &inside)) r->on_scroll = std::move(on_scroll);
  return inside;
}

bool ui_region_drop(window_s* w, int x, int y, int wd, int ht,
                    std::function<void(int count, char** paths, int x, int y)> on_drop) {
  bool inside;
  if (ui_region_s* r = region_take(w, x, y, wd, ht, &inside)) r->on_drop = std::move(on_drop);
  return inside;
}

// Of overlapping click regions the one registered last (drawn on top) is the
// one under the pointer; the others behave as if the point lay outside them.
static int region_top_click(int px, int py) {
  for (int i = UI_REGION_SLOTS - 1; i >= 0; --i) {
    const ui_region_s& r = g_ui_regions.slots[i];
    if (r.on_click && region_contains(r, px, py)) return i;
  }
  return -1;
}

static bool rect_equal(const ui_rect_s& a, const ui_rect_s& b) {
  return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h;
}

// Compares rectangles, not slots: after a screen change the same slot holds
// a different region, and the region under the pointer may be a new one.
static void hover_follow(window_s* w, int top) {
  ui_rect_s now{0, 0, 0, 0};
  if (top >= 0) {
    const ui_region_s& r = g_ui_regions.slots[top];
    now = {r.x, r.y, r.w, r.h};
  }
  if (rect_equal(now, g_ui_regions.hover)) return;
  g_ui_regions.hover = now;
  window_redraw(w);
}

void ui_regions_dispatch_mouse(window_s* w, int type, int a, int b) {
  const int px = window_mouse_x(w), py = window_mouse_y(w);
  const unsigned generation = g_regions_generation;
  const int top = region_top_click(px, py);
  hover_follow(w, top);
  for (int i = 0; i < UI_REGION_SLOTS; ++i) {
    // After an action emptied the table the remaining slots count as free.
    if (generation != g_regions_generation) return;
    ui_region_s& r = g_ui_regions.slots[i];
    if (!region_contains(r, px, py)) continue;
    if (r.on_click) {
      if (i != top) continue;
      if (type == 0) {
        g_ui_regions.pressed = i;
      } else if (type == 2) {
        const bool hit = g_ui_regions.pressed == i;
        g_ui_regions.pressed = -1;
        if (hit) {
          std::function<void()> action = r.on_click;
          action();
        }
      }
    } else if (type == 3 && r.on_scroll) {
      std::function<void(int, int)> action = r.on_scroll;
      action(a, b);
    }
  }
}

void ui_regions_dispatch_drop(window_s*, int x, int y, int count, char** paths) {
  for (int i = UI_REGION_SLOTS - 1; i >= 0; --i) {
    const ui_region_s& r = g_ui_regions.slots[i];
    if (r.on_drop && region_contains(r, x, y)) {
      std::function<void(int, char**, int, int)> action = r.on_drop;
      action(count, paths, x, y);
      return;
    }
  }
}
