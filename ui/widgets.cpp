#include "ui/widgets.h"

#include <algorithm>

#include "ui/draw.h"
#include "ui/regions.h"
#include "ui/window.h"

void paint_button(window_s* w, const char* text, bool enabled, int x, int y, int wd, int ht,
                  float font_size, std::function<void()> on_click) {
  const bool hovered = enabled && ui_region_click(w, x, y, wd, ht, std::move(on_click));
  unsigned fill = 0xffcccccc, outline = 0xffadadad;
  if (hovered) {
    fill = 0xffe5f1fb;
    outline = 0xff0078d7;
  } else if (enabled) {
    fill = 0xffe1e1e1;
  }
  draw_set_fill(w, fill);
  draw_set_stroke(w, outline);
  draw_rect(w, x, y, wd, ht);
  draw_set_fill(w, enabled ? 0xff000000 : 0xff7e859c);
  draw_set_font(w, "Microsoft Sans Serif", font_size);
  const int tw = (int)draw_text_width(w, text);
  const int tx = x + (wd - tw) / 2;
  const float ty = y + (ht - font_size - 8) * 0.5f;
  draw_text(w, text, tx, ty);
}

// One of the strip's arrow buttons; its action moves the items by 100
// pixels within [min_offset, 0], the limits of the frame that drew it.
static void paint_arrow(window_s* w, scroll_state* s, float min_offset, int x, int y, int aw,
                        int ah, bool left) {
  const bool hovered = ui_region_click(w, x, y, aw, ah, [w, s, min_offset, left] {
    s->scroll_offset += left ? 100.0f : -100.0f;
    s->scroll_offset = std::min(s->scroll_offset, 0.0f);
    s->scroll_offset = std::max(s->scroll_offset, min_offset);
    window_redraw(w);
  });
  float d = aw / 6.0f;
  if (!left) d = -d;
  if (hovered) {
    draw_set_fill(w, 0xff117dbb);
    draw_no_stroke(w);
  } else {
    draw_no_fill(w);
    draw_set_stroke(w, 0xff707070);
  }
  draw_set_line_width(w, 1.0f);
  const float cx = (float)(x + aw / 2), cy = (float)(y + ah / 2);
  draw_path_begin(w);
  draw_path_point(w, cx - d, cy);
  draw_path_point(w, cx + d, cy - d);
  draw_path_point(w, cx + d, cy + d);
  draw_path_point(w, cx - d, cy);
  draw_path_end(w);
}

void paint_scroll_horz(window_s* w, scroll_state* s, int, int y, int wd, int ht,
                       ui_item_painter items) {
  const int b = ht / 2;
  const int x0 = b + 8, x1 = window_width(w) - b - 8;
  const int view = x1 - x0;
  const float min_offset = (float)view - s->content;
  s->scroll_offset = std::min(std::max(s->scroll_offset, min_offset), 0.0f);
  if (!(s->content > view)) {
    items(x0, y, [w](int ix, int iy, int iw, int ih, std::function<void()> on_click) {
      return ui_region_click(w, ix, iy, iw, ih, std::move(on_click));
    });
    return;
  }
  draw_clip_push(w, x0, y, view, ht);
  items(x0 + (int)s->scroll_offset, y,
        [w, x0, x1](int ix, int iy, int iw, int ih, std::function<void()> on_click) {
          // A partly hidden item is clickable only on its visible part.
          const int left = std::max(ix, x0);
          const int width = std::min(x1, ix + iw) - left;
          if (width <= 0) return false;
          return ui_region_click(w, left, iy, width, ih, std::move(on_click));
        });
  draw_clip_pop(w);
  if (s->scroll_offset < 0) {
    draw_gradient_h(w, x0 - 1, y + 4, 32, ht, 0xffffffff, 0x00ffffff);
    paint_arrow(w, s, min_offset, 0, y, b, ht, true);
  }
  if (s->scroll_offset > min_offset) {
    draw_gradient_h(w, x1 - 31, y + 4, 32, ht, 0x00ffffff, 0xffffffff);
    paint_arrow(w, s, min_offset, wd - b, y, b, ht, false);
  }
}

void paint_scroll_vert(window_s* w, scroll_state* s, int x, int y, int wd, int ht,
                       ui_item_painter items) {
  ui_region_scroll(w, x, y, wd, ht, [w, s, ht](int, int dy) {
    const int limit = std::min(0, ht - (int)(s->content + 32));
    s->scroll_offset = std::max((float)limit, std::min(0.0f, s->scroll_offset + dy));
    window_redraw(w);
  });
  draw_clip_push(w, x, y, wd, ht);
  items(x, y + (int)s->scroll_offset,
        [](int, int, int, int, std::function<void()>) { return false; });
  draw_clip_pop(w);
  if (s->scroll_offset != 0) draw_gradient_v(w, x, y, wd, 32, 0xffffffff, 0x00ffffff);
  if (s->content + 32 > ht) draw_gradient_v(w, x, y + ht - 32, wd, 32, 0x00ffffff, 0xffffffff);
}
