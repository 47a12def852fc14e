#include <cstring>

#include <gtest/gtest.h>

#include "surface_window.h"
#include "ui/draw.h"

namespace {

const char* kFace = "Microsoft Sans Serif";

uint32_t alpha(uint32_t px) { return px >> 24; }

TEST(Draw, FillZeroSkipsButTransparentWhiteFills) {
  surface_window_s sw(100, 100);
  draw_clear(&sw.w, 0xff0000);
  // With the source operator a performed fill replaces the pixels, so even
  // a fully transparent colour shows whether the fill ran.
  cairo_set_operator(sw.w.cr, CAIRO_OPERATOR_SOURCE);
  draw_set_fill(&sw.w, 0);
  draw_rect(&sw.w, 0, 0, 50, 100);
  draw_set_fill(&sw.w, 0x00ffffff);
  draw_rect(&sw.w, 50, 0, 50, 100);
  EXPECT_EQ(sw.pixel(25, 50), 0xffff0000u);
  EXPECT_EQ(sw.pixel(75, 50), 0u);
}

TEST(Draw, ClearIgnoresAlphaAndRectFillsThenOutlines) {
  surface_window_s sw(100, 100);
  draw_clear(&sw.w, 0x80ff0000);
  EXPECT_EQ(sw.pixel(0, 0), 0xffff0000u);
  EXPECT_EQ(sw.pixel(99, 99), 0xffff0000u);

  draw_no_fill(&sw.w);
  draw_no_stroke(&sw.w);
  draw_rect(&sw.w, 10, 10, 30, 30);
  EXPECT_EQ(sw.pixel(20, 20), 0xffff0000u);

  draw_set_fill(&sw.w, 0xff0000ff);
  draw_set_stroke(&sw.w, 0xff00ff00);
  draw_set_line_width(&sw.w, 2.0f);
  draw_rect(&sw.w, 10, 10, 30, 30);
  EXPECT_EQ(sw.pixel(20, 20), 0xff0000ffu);  // filled inside
  EXPECT_EQ(sw.pixel(10, 20), 0xff00ff00u);  // outline over the fill
  EXPECT_EQ(sw.pixel(9, 20), 0xff00ff00u);   // half of it outside
  EXPECT_EQ(sw.pixel(7, 20), 0xffff0000u);
}

TEST(Draw, RoundedRectIsTheSameAsRect) {
  surface_window_s a(150, 60), b(150, 60);
  for (surface_window_s* sw : {&a, &b}) {
    cairo_set_antialias(sw->w.cr, CAIRO_ANTIALIAS_DEFAULT);
    draw_set_fill(&sw->w, 0xff336699);
    draw_set_stroke(&sw->w, 0xff000000);
  }
  draw_rect_rounded(&a.w, 10, 10, 100, 30, 5);
  draw_rect(&b.w, 10, 10, 100, 30);
  cairo_surface_flush(a.surface);
  cairo_surface_flush(b.surface);
  const size_t bytes = (size_t)cairo_image_surface_get_stride(a.surface) * 60;
  EXPECT_EQ(memcmp(cairo_image_surface_get_data(a.surface),
                   cairo_image_surface_get_data(b.surface), bytes), 0);
}

TEST(Draw, GradientRunsBetweenItsEndsAndStaysInItsRectangle) {
  surface_window_s sw(100, 100);
  draw_gradient_h(&sw.w, 10, 0, 32, 20, 0xffffffff, 0x00ffffff);
  EXPECT_GE(alpha(sw.pixel(10, 5)), 0xf8u);
  EXPECT_LE(alpha(sw.pixel(41, 5)), 0x08u);
  EXPECT_EQ(sw.pixel(9, 5), 0u);
  EXPECT_EQ(sw.pixel(42, 5), 0u);
  EXPECT_EQ(sw.pixel(20, 20), 0u);

  draw_gradient_v(&sw.w, 0, 50, 20, 32, 0x00ffffff, 0xff000000);
  EXPECT_LE(alpha(sw.pixel(5, 50)), 0x08u);
  EXPECT_GE(alpha(sw.pixel(5, 81)), 0xf8u);
  EXPECT_EQ(sw.pixel(5, 82), 0u);
  // The gradient leaves the fill colour alone.
  EXPECT_EQ(sw.w.fill, 0u);
}

TEST(Draw, ClipNestsAndPopRestoresTheFont) {
  surface_window_s sw(100, 100);
  draw_set_font(&sw.w, kFace, 10);
  const float narrow = draw_text_width(&sw.w, "Wide text");
  draw_clip_push(&sw.w, 10, 10, 50, 50);
  draw_clip_push(&sw.w, 30, 30, 50, 50);
  draw_set_font(&sw.w, kFace, 30);
  EXPECT_GT(draw_text_width(&sw.w, "Wide text"), narrow * 2);
  draw_clear(&sw.w, 0x0000ff);
  EXPECT_EQ(sw.pixel(45, 45), 0xff0000ffu);  // inside both clips
  EXPECT_EQ(sw.pixel(20, 20), 0u);           // inside the outer one only
  EXPECT_EQ(sw.pixel(70, 70), 0u);           // inside the inner one only
  draw_clip_pop(&sw.w);
  draw_clip_pop(&sw.w);
  EXPECT_FLOAT_EQ(draw_text_width(&sw.w, "Wide text"), narrow);
  draw_clear(&sw.w, 0x00ff00);
  EXPECT_EQ(sw.pixel(90, 90), 0xff00ff00u);
}

int top_ink_row(surface_window_s& sw, int width, int height) {
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if (alpha(sw.pixel(x, y)) > 0x40) return y;
  return -1;
}

TEST(Draw, TextInkTopLiesAtY) {
  for (float size : {12.0f, 24.0f}) {
    surface_window_s sw(300, 120);
    cairo_set_antialias(sw.w.cr, CAIRO_ANTIALIAS_DEFAULT);
    draw_set_font(&sw.w, kFace, size);
    draw_set_fill(&sw.w, 0xff000000);
    draw_text(&sw.w, "TEXT", 20, 40);
    EXPECT_NEAR(top_ink_row(sw, 300, 120), 40, 1) << size;
  }
}

TEST(Draw, TextWidthIsTheInkWidth) {
  surface_window_s sw(100, 100);
  draw_set_font(&sw.w, kFace, 12);
  EXPECT_EQ(draw_text_width(&sw.w, ""), 0.0f);
  EXPECT_EQ(draw_text_width(&sw.w, "   "), 0.0f);
  EXPECT_FLOAT_EQ(draw_text_width(&sw.w, "  ab  "), draw_text_width(&sw.w, "ab"));
  float wd = 0, ht = 0;
  draw_text_size(&sw.w, "Hg", &wd, &ht);
  EXPECT_GT(wd, 0);
  EXPECT_GT(ht, 0);
}

TEST(Draw, FontSizeIsScaledByTheSinglePrecisionFactor) {
  surface_window_s sw(10, 10);
  draw_set_font(&sw.w, kFace, 24);
  cairo_matrix_t m;
  cairo_get_font_matrix(sw.w.cr, &m);
  EXPECT_DOUBLE_EQ(m.xx, (double)(24.0f * 1.333f));
  EXPECT_NE(m.xx, 32.0);
}

TEST(Draw, PolygonFillsAndOutlinesAndLeavesNoPathBehind) {
  surface_window_s sw(100, 100);
  draw_set_fill(&sw.w, 0xff0000ff);
  draw_set_stroke(&sw.w, 0xffff0000);
  draw_set_line_width(&sw.w, 4.0f);
  draw_path_begin(&sw.w);
  draw_path_point(&sw.w, 10, 10);
  draw_path_point(&sw.w, 50, 10);
  draw_path_point(&sw.w, 50, 50);
  draw_path_point(&sw.w, 10, 50);
  draw_path_end(&sw.w);
  EXPECT_EQ(sw.pixel(30, 30), 0xff0000ffu);
  EXPECT_EQ(sw.pixel(30, 9), 0xffff0000u);
  EXPECT_EQ(sw.pixel(51, 30), 0xffff0000u);

  // A later shape must not repaint the finished polygon.
  draw_set_fill(&sw.w, 0xff00ff00);
  draw_no_stroke(&sw.w);
  draw_rect(&sw.w, 70, 70, 10, 10);
  EXPECT_EQ(sw.pixel(30, 30), 0xff0000ffu);
  EXPECT_EQ(sw.pixel(75, 75), 0xff00ff00u);

  // Nor an unpainted polygon (no fill, no stroke).
  draw_no_fill(&sw.w);
  draw_path_begin(&sw.w);
  draw_path_point(&sw.w, 60, 10);
  draw_path_point(&sw.w, 90, 10);
  draw_path_point(&sw.w, 90, 40);
  draw_path_end(&sw.w);
  draw_set_fill(&sw.w, 0xff00ff00);
  draw_rect(&sw.w, 0, 90, 5, 5);
  EXPECT_EQ(sw.pixel(85, 15), 0u);
}

TEST(Draw, LineWithoutStrokeIsInvisible) {
  surface_window_s sw(50, 50);
  draw_set_line_width(&sw.w, 5.0f);
  draw_line(&sw.w, 0, 25, 50, 25);
  EXPECT_EQ(sw.pixel(25, 25), 0u);
  draw_set_stroke(&sw.w, 0xff112233);
  draw_line(&sw.w, 0, 25, 50, 25);
  EXPECT_EQ(sw.pixel(25, 25), 0xff112233u);
}

}  // namespace
