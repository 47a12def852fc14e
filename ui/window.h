// The program's one top-level window: a GTK 3 window whose drawing area the
// program paints itself with cairo, GTK text entries laid over it, modal
// dialogs and choosers, and the main loop. Main thread only, except the
// *_from_thread hand-overs at the end.
#pragma once

#include <functional>
#include <vector>

#include <gtk/gtk.h>

// Mouse event types handed to on_mouse and to ui_regions_dispatch_mouse.
enum {
  WINDOW_MOUSE_PRESS = 0,    // a, b: pointer x, y (double/triple presses too)
  WINDOW_MOUSE_MOVE = 1,     // a, b: pointer x, y
  WINDOW_MOUSE_RELEASE = 2,  // a, b: pointer x, y
  WINDOW_MOUSE_WHEEL = 3,    // a: horizontal delta, b: vertical delta x -32
};

// Key codes handed to on_key, in the alphabetical order of the key names.
enum {
  WINDOW_KEY_OTHER = -1,
  WINDOW_KEY_DOWN = 0,
  WINDOW_KEY_END = 1,
  WINDOW_KEY_HOME = 2,
  WINDOW_KEY_LEFT = 3,
  WINDOW_KEY_PAGE_DOWN = 4,
  WINDOW_KEY_PAGE_UP = 5,
  WINDOW_KEY_RIGHT = 6,
  WINDOW_KEY_SPACE = 7,
  WINDOW_KEY_TAB = 8,
  WINDOW_KEY_UP = 9,
  // Added after the others so that the codes above keep their values.
  WINDOW_KEY_RETURN = 10,  // Return and the keypad's Enter
  WINDOW_KEY_ESCAPE = 11,
};

typedef bool (*window_close_fn)(void* user);
typedef void (*window_key_fn)(void* user, int key);
typedef void (*window_mouse_fn)(void* user, int type, int a, int b);
typedef void (*window_paint_fn)(void* user);

struct window_entry_s {
  GtkWidget* entry;
  char* buffer;  // owned by the caller; kept in step with the entry's text
  int max_len;   // characters allowed, and the size of buffer in bytes
};

struct window_s {
  GtkWidget* toplevel;
  GtkWidget* overlay;
  GtkWidget* area;
  int mouse_x;
  int mouse_y;
  std::vector<window_entry_s> entries;
  bool redraw_timer_on;
  window_close_fn on_close;
  window_key_fn on_key;
  window_mouse_fn on_mouse;
  window_paint_fn paint;
  std::function<void(int width, int height)> on_resize;
  void* user;
  cairo_surface_t* surface;
  cairo_t* cr;  // valid only while paint runs
  float width;
  float height;
  unsigned fill;    // 0xAARRGGBB, 0 = no fill
  unsigned stroke;  // 0xAARRGGBB, 0 = no outline
  float line_width;
  bool path_start;
  // Counts the changes of paint (of screen), and the count at the last two
  // presses: the second press of a double click whose first click changed
  // the screen belongs to the screen that is gone.
  unsigned screen_serial;
  unsigned press_serial[2];
};

// Lifetime and loop.
window_s* window_create(const char* title, int width, int height, int reserved);
void window_destroy(window_s* w);
void window_run_loop(std::function<void()> after);
// Ends the main loop as a close of the window does, for a close that had to
// wait (the window's close callback said no and finished the close later).
void window_quit(window_s* w);
// Ends the main loop of window_run_loop (from any thread), which then runs
// its after; used where the program must end without a close of the window.
void window_quit_loop();

// Callbacks and screens.
void window_set_callbacks(window_s* w, void* user, window_close_fn on_close,
                          window_mouse_fn on_mouse, window_paint_fn paint);
void window_set_key_callback(window_s* w, window_key_fn on_key);
void window_set_paint(window_s* w, window_paint_fn paint);
bool window_is_paint(window_s* w, window_paint_fn paint);
void window_set_resize_callback(window_s* w, const std::function<void(int, int)>& on_resize);
void window_set_title(window_s* w, const char* title);
void window_set_progress(window_s* w, float fraction);

// Queries.
int window_width(window_s* w);
int window_height(window_s* w);
int window_mouse_x(window_s* w);
int window_mouse_y(window_s* w);

// Redraw.
void window_redraw(window_s* w);
void window_set_redraw_timer(window_s* w, unsigned int ms);

// Text entries laid over the drawing area. buffer holds max_len bytes and
// must outlive the entry; it always stays a terminated string (at most
// max_len - 1 bytes of text, cut at a character boundary).
int window_add_entry(window_s* w, int x, int y, int wd, int ht, int max_len, char* buffer);
void window_move_entry(window_s* w, int index, int x, int y, int wd, int ht);
void window_clear_entries(window_s* w);

// Modal dialogs and choosers (main thread only). w may be null for
// window_message / window_question (no parent).
void window_message(window_s* w, const char* title, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
bool window_question(window_s* w, const char* title, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
bool window_open_file(window_s* w, const char* title, int size, char* out);
bool window_select_folder(window_s* w, const char* title, int size, char* out);

// Hand-over for threads other than the main one (the work thread's GPU
// fall-back question and "Memory Error" message): the text is formatted on
// the calling thread, the dialog is shown by a UI task on the main thread,
// and the caller blocks until the user has answered. The caller must hold
// no lock the main thread may want (the plotter's mutex above all). Such a
// dialog leaves the main window closable while it waits. When stop is not
// null and *stop becomes true while waiting, the wait ends at once and the
// question answers false (the caller tells this from a "No" by the flag), so
// that a close that sets the flag and joins the calling thread cannot
// deadlock; a dialog already on screen then closes by itself. With stop
// null the wait has no end but the answer. Called on the main thread they
// show the dialog directly.
void window_message_from_thread(window_s* w, const bool* stop, const char* title,
                                const char* fmt, ...) __attribute__((format(printf, 4, 5)));
bool window_question_from_thread(window_s* w, const bool* stop, const char* title,
                                 const char* fmt, ...) __attribute__((format(printf, 4, 5)));

// Internals shared with the tests: the key table, the scroll scaling and
// the URI-list conversion used by the drop handler.
int window_key_code(unsigned keyval);
int window_scroll_b(double delta_y);
// The local file names of the file URIs, percent-decoded, in order; every
// other URI is left out with a log line, so *count may be smaller than the
// list. The caller frees the result with window_free_paths.
char** window_uris_to_paths(char** uris, int* count);
void window_free_paths(char** paths, int count);
// An entry's text into its max_len-byte buffer: at most max_len - 1 bytes,
// cut at a character boundary, the rest of the field zero-filled.
void window_entry_copy(char* buffer, int max_len, const char* text);
