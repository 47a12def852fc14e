#include "ui/draw.h"

#include <algorithm>

#include <glib.h>

#include "ui/window.h"

// The scale of the font sizes the program passes (points) to cairo's units.
static const float POINT_SCALE = 1.333f;

static std::vector<drawn_text_s>* g_recorded_texts;

void draw_record_texts(std::vector<drawn_text_s>* list) { g_recorded_texts = list; }

static void record_text(window_s* w, const char* text, const cairo_text_extents_t& e, float x,
                        float baseline) {
  double cx0, cy0, cx1, cy1;
  cairo_clip_extents(w->cr, &cx0, &cy0, &cx1, &cy1);
  double x0 = std::max<double>(x + e.x_bearing, cx0), y0 = std::max<double>(baseline + e.y_bearing, cy0);
  double x1 = std::min<double>(x + e.x_bearing + e.width, cx1);
  double y1 = std::min<double>(baseline + e.y_bearing + e.height, cy1);
  if (x1 <= x0 || y1 <= y0) return;
  cairo_matrix_t m;
  cairo_get_font_matrix(w->cr, &m);
  g_recorded_texts->push_back({(float)x0, (float)y0, (float)(x1 - x0), (float)(y1 - y0),
                               (float)(m.yy / POINT_SCALE), text});
}

static void draw_source(cairo_t* cr, unsigned argb) {
  cairo_set_source_rgba(cr, ((argb >> 16) & 0xff) / 255.0, ((argb >> 8) & 0xff) / 255.0,
                        (argb & 0xff) / 255.0, (argb >> 24) / 255.0);
}

void draw_clear(window_s* w, unsigned rgb) {
  cairo_set_source_rgb(w->cr, ((rgb >> 16) & 0xff) / 255.0, ((rgb >> 8) & 0xff) / 255.0,
                       (rgb & 0xff) / 255.0);
  cairo_paint(w->cr);
}

void draw_set_fill(window_s* w, unsigned argb) { w->fill = argb; }
void draw_no_fill(window_s* w) { w->fill = 0; }
void draw_set_stroke(window_s* w, unsigned argb) { w->stroke = argb; }
void draw_no_stroke(window_s* w) { w->stroke = 0; }

void draw_set_line_width(window_s* w, float width) {
  w->line_width = width;
  cairo_set_line_width(w->cr, width);
}

void draw_clip_push(window_s* w, int x, int y, int wd, int ht) {
  cairo_save(w->cr);
  cairo_rectangle(w->cr, x, y, wd, ht);
  cairo_clip(w->cr);
}

void draw_clip_pop(window_s* w) { cairo_restore(w->cr); }

void draw_rect(window_s* w, float x, float y, float wd, float ht) {
  if (w->fill != 0) {
    draw_source(w->cr, w->fill);
    cairo_rectangle(w->cr, x, y, wd, ht);
    cairo_fill(w->cr);
  }
  if (w->stroke != 0) {
    draw_source(w->cr, w->stroke);
    cairo_rectangle(w->cr, x, y, wd, ht);
    cairo_set_line_width(w->cr, w->line_width);
    cairo_stroke(w->cr);
  }
}

void draw_rect_rounded(window_s* w, float x, float y, float wd, float ht, float) {
  draw_rect(w, x, y, wd, ht);
}

void draw_line(window_s* w, float x1, float y1, float x2, float y2) {
  draw_source(w->cr, w->stroke);
  cairo_set_line_width(w->cr, w->line_width);
  cairo_move_to(w->cr, x1, y1);
  cairo_line_to(w->cr, x2, y2);
  cairo_stroke(w->cr);
}

void draw_path_begin(window_s* w) { w->path_start = true; }

void draw_path_point(window_s* w, float x, float y) {
  if (w->path_start) {
    cairo_move_to(w->cr, x, y);
    w->path_start = false;
  } else {
    cairo_line_to(w->cr, x, y);
  }
}

void draw_path_end(window_s* w) {
  cairo_close_path(w->cr);
  if (w->fill != 0) {
    draw_source(w->cr, w->fill);
    cairo_fill_preserve(w->cr);
  }
  if (w->stroke != 0) {
    cairo_set_line_width(w->cr, w->line_width);
    draw_source(w->cr, w->stroke);
    cairo_stroke_preserve(w->cr);
  }
  // The polygon is done; a path left behind would join the next shape.
  cairo_new_path(w->cr);
}

void draw_gradient(window_s* w, int x, int y, int wd, int ht, unsigned argb_from,
                   unsigned argb_to, bool vertical) {
  cairo_pattern_t* p = vertical ? cairo_pattern_create_linear(0, y, 0, y + ht)
                                : cairo_pattern_create_linear(x, 0, x + wd, 0);
  cairo_pattern_add_color_stop_rgba(p, 0, ((argb_from >> 16) & 0xff) / 255.0,
                                    ((argb_from >> 8) & 0xff) / 255.0,
                                    (argb_from & 0xff) / 255.0, (argb_from >> 24) / 255.0);
  cairo_pattern_add_color_stop_rgba(p, 1, ((argb_to >> 16) & 0xff) / 255.0,
                                    ((argb_to >> 8) & 0xff) / 255.0, (argb_to & 0xff) / 255.0,
                                    (argb_to >> 24) / 255.0);
  cairo_rectangle(w->cr, x, y, wd, ht);
  cairo_set_source(w->cr, p);
  cairo_fill(w->cr);
  cairo_pattern_destroy(p);
}

void draw_gradient_h(window_s* w, int x, int y, int wd, int ht, unsigned argb_from,
                     unsigned argb_to) {
  draw_gradient(w, x, y, wd, ht, argb_from, argb_to, false);
}

void draw_gradient_v(window_s* w, int x, int y, int wd, int ht, unsigned argb_from,
                     unsigned argb_to) {
  draw_gradient(w, x, y, wd, ht, argb_from, argb_to, true);
}

void draw_set_font(window_s* w, const char* face, float size) {
  cairo_select_font_face(w->cr, face, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  const float scaled = size * POINT_SCALE;
  cairo_set_font_size(w->cr, scaled);
}

std::string draw_display_text(const char* text) {
  if (g_utf8_validate(text, -1, nullptr)) return text;
  gchar* shown = g_filename_display_name(text);
  std::string out = shown ? shown : "";
  g_free(shown);
  return out;
}

void draw_text(window_s* w, const char* raw, float x, float y) {
  const std::string shown = draw_display_text(raw);
  const char* text = shown.c_str();
  cairo_text_extents_t e;
  cairo_text_extents(w->cr, text, &e);
  draw_source(w->cr, w->fill);
  cairo_move_to(w->cr, x, y + e.height);
  cairo_show_text(w->cr, text);
  if (g_recorded_texts && e.width > 0) record_text(w, text, e, x, (float)(y + e.height));
}

float draw_text_width(window_s* w, const char* text) {
  cairo_text_extents_t e;
  cairo_text_extents(w->cr, draw_display_text(text).c_str(), &e);
  return (float)e.width;
}

void draw_text_size(window_s* w, const char* text, float* width, float* height) {
  cairo_text_extents_t e;
  cairo_text_extents(w->cr, draw_display_text(text).c_str(), &e);
  *width = (float)e.width;
  *height = (float)e.height;
}
