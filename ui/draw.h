// Immediate-mode drawing on the window's cairo context; callable only while
// the window's paint callback runs. Colours are 0xAARRGGBB; as a fill or
// stroke colour 0 means none.
#pragma once

#include <string>
#include <vector>

struct window_s;

// A text as it came out on the surface: the box of its visible ink (inside
// the clip in force) and its size in points.
struct drawn_text_s {
  float x, y, w, h;
  float points;
  std::string text;
};

void draw_clear(window_s* w, unsigned rgb);
void draw_set_fill(window_s* w, unsigned argb);
void draw_no_fill(window_s* w);
void draw_set_stroke(window_s* w, unsigned argb);
void draw_no_stroke(window_s* w);
void draw_set_line_width(window_s* w, float width);
void draw_clip_push(window_s* w, int x, int y, int wd, int ht);
void draw_clip_pop(window_s* w);
void draw_rect(window_s* w, float x, float y, float wd, float ht);
void draw_rect_rounded(window_s* w, float x, float y, float wd, float ht, float radius);
void draw_line(window_s* w, float x1, float y1, float x2, float y2);
void draw_path_begin(window_s* w);
void draw_path_point(window_s* w, float x, float y);
void draw_path_end(window_s* w);
void draw_gradient(window_s* w, int x, int y, int wd, int ht, unsigned argb_from,
                   unsigned argb_to, bool vertical);
void draw_gradient_h(window_s* w, int x, int y, int wd, int ht, unsigned argb_from,
                     unsigned argb_to);
void draw_gradient_v(window_s* w, int x, int y, int wd, int ht, unsigned argb_from,
                     unsigned argb_to);
void draw_set_font(window_s* w, const char* face, float size);
// Every text is drawn and measured as draw_display_text gives it: file
// names need not be UTF-8 (a folder named in Latin-1 on an old disk), and
// cairo refuses such a text and then draws nothing more in the frame.
// Valid UTF-8 is returned as it is; anything else as GLib shows file names
// (g_filename_display_name: the file-name encoding the system is told of,
// else replacement characters).
std::string draw_display_text(const char* text);
// Places the text by its left end and the top of its ink at y.
void draw_text(window_s* w, const char* text, float x, float y);
float draw_text_width(window_s* w, const char* text);
void draw_text_size(window_s* w, const char* text, float* width, float* height);
// While list is set, every draw_text appends what it drew to it (texts
// clipped away entirely are left out): screens keep the texts of a frame
// to check their layout. Null stops the recording.
void draw_record_texts(std::vector<drawn_text_s>* list);
