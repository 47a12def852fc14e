// A window record drawing onto a cairo image surface, for testing the
// primitives, regions and widgets without a display.
#pragma once

#include <cstdint>

#include <cairo.h>

#include "ui/regions.h"
#include "ui/window.h"

struct surface_window_s {
  window_s w{};
  cairo_surface_t* surface = nullptr;

  surface_window_s(int width = 640, int height = 480) {
    surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    w.cr = cairo_create(surface);
    w.width = (float)width;
    w.height = (float)height;
    w.line_width = 1.0f;
    w.path_start = true;
    // Antialiasing would blur the exact pixel checks of filled edges.
    cairo_set_antialias(w.cr, CAIRO_ANTIALIAS_NONE);
    ui_regions_clear(&w);
    g_ui_regions.pressed = -1;
    g_ui_regions.hover = {0, 0, 0, 0};
  }
  ~surface_window_s() {
    ui_regions_clear(&w);
    cairo_destroy(w.cr);
    cairo_surface_destroy(surface);
  }
  // Premultiplied ARGB as cairo stores it.
  uint32_t pixel(int x, int y) {
    cairo_surface_flush(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    return *(const uint32_t*)(data + y * stride + x * 4);
  }
  void pointer(int x, int y) {
    w.mouse_x = x;
    w.mouse_y = y;
  }
  // The window's handlers set the pointer and then dispatch.
  void mouse(int type, int x, int y) {
    pointer(x, y);
    ui_regions_dispatch_mouse(&w, type, x, y);
  }
  void wheel(int x, int y, int dx, int dy) {
    pointer(x, y);
    ui_regions_dispatch_mouse(&w, WINDOW_MOUSE_WHEEL, dx, dy);
  }
};
