#include "ui/window.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/sys_linux.h"
#include "platform/util.h"
#include "ui/regions.h"

// Static initialisation runs on the thread of main, the one GTK runs on.
static std::thread::id g_main_thread = std::this_thread::get_id();

// ---------------------------------------------------------------------------
// Event translation

int window_key_code(unsigned keyval) {
  switch (keyval) {
    case 0xff54: return WINDOW_KEY_DOWN;
    case 0xff57: return WINDOW_KEY_END;
    case 0xff50: return WINDOW_KEY_HOME;
    case 0xff51: return WINDOW_KEY_LEFT;
    case 0xff56: return WINDOW_KEY_PAGE_DOWN;
    case 0xff55: return WINDOW_KEY_PAGE_UP;
    case 0xff53: return WINDOW_KEY_RIGHT;
    case 0x20: return WINDOW_KEY_SPACE;
    case 0xff09: return WINDOW_KEY_TAB;
    case 0xff52: return WINDOW_KEY_UP;
    case 0xff0d: return WINDOW_KEY_RETURN;
    case 0xff8d: return WINDOW_KEY_RETURN;
    case 0xff1b: return WINDOW_KEY_ESCAPE;
    default: return WINDOW_KEY_OTHER;
  }
}

int window_scroll_b(double delta_y) { return (int)(delta_y * -32.0); }

// The local file a URI names, decoded the way GLib does it ("%20" becomes a
// blank, "%C3%A9" an e with an accent); null for anything else, which is
// logged. A host other than this one would name a file we cannot open.
static char* window_uri_path(const char* uri) {
  gchar* host = nullptr;
  gchar* name = g_filename_from_uri(uri, &host, nullptr);
  const bool local = !host || strcmp(host, "localhost") == 0 || strcmp(host, g_get_host_name()) == 0;
  char* path = name && local ? strdup(name) : nullptr;
  g_free(name);
  g_free(host);
  if (!path) sys_log("Dropped item is not a local file, ignored: %s\n", uri);
  return path;
}

char** window_uris_to_paths(char** uris, int* count) {
  int n = 0;
  while (uris && uris[n]) ++n;
  char** paths = new char*[n > 0 ? n : 1];
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    if (char* path = window_uri_path(uris[i])) paths[kept++] = path;
  }
  *count = kept;
  return paths;
}

void window_free_paths(char** paths, int count) {
  for (int i = 0; i < count; ++i) free(paths[i]);
  delete[] paths;
}

// ---------------------------------------------------------------------------
// Signal handlers

static gboolean window_on_delete(GtkWidget*, GdkEvent*, gpointer data) {
  window_s* w = (window_s*)data;
  if (w->on_close && !w->on_close(w->user)) return TRUE;
  gtk_main_quit();
  return FALSE;
}

// GTK destroys the widgets with the top-level window; forget them so that a
// late redraw or entry call after the close touches nothing freed.
static void window_on_destroy(GtkWidget*, gpointer data) {
  window_s* w = (window_s*)data;
  w->toplevel = w->overlay = w->area = nullptr;
  w->entries.clear();
}

static gboolean window_on_draw(GtkWidget* area, cairo_t* cr, gpointer data) {
  window_s* w = (window_s*)data;
  const int aw = gtk_widget_get_allocated_width(area);
  const int ah = gtk_widget_get_allocated_height(area);
  gtk_render_background(gtk_widget_get_style_context(area), cr, 0, 0, aw, ah);
  w->cr = cr;
  w->width = (float)aw;
  w->height = (float)ah;
  w->fill = 0;
  w->stroke = 0;
  w->line_width = 1.0f;
  w->path_start = true;
  if (w->paint) {
    ui_regions_clear(w);
    w->paint(w->user);
  }
  w->cr = nullptr;
  return FALSE;
}

static gboolean window_on_configure(GtkWidget* area, GdkEvent*, gpointer data) {
  window_s* w = (window_s*)data;
  if (w->surface) cairo_surface_destroy(w->surface);
  w->width = (float)gtk_widget_get_allocated_width(area);
  w->height = (float)gtk_widget_get_allocated_height(area);
  w->surface = gdk_window_create_similar_surface(gtk_widget_get_window(area), CAIRO_CONTENT_COLOR,
                                                 (int)w->width, (int)w->height);
  if (w->on_resize) w->on_resize((int)w->width, (int)w->height);
  return FALSE;
}

// Pointer events reach the top-level window from whichever GDK window lay
// under the pointer (a text entry's, or the top-level's own with a title
// bar drawn by the client), each in its own coordinates. The screen position
// is the one they share: measured from the drawing area's origin on the
// screen it gives drawing-area pixels in every case.
static void window_area_point(window_s* w, double x_root, double y_root, int* x, int* y) {
  int ox = 0, oy = 0;
  if (w->area && gtk_widget_get_realized(w->area)) {
    gdk_window_get_origin(gtk_widget_get_window(w->area), &ox, &oy);
    if (!gtk_widget_get_has_window(w->area)) {
      GtkAllocation a;
      gtk_widget_get_allocation(w->area, &a);
      ox += a.x;
      oy += a.y;
    }
  }
  *x = (int)(x_root - ox);
  *y = (int)(y_root - oy);
}

static void window_pointer_event(window_s* w, int type, double x_root, double y_root, int a, int b) {
  window_area_point(w, x_root, y_root, &w->mouse_x, &w->mouse_y);
  if (type != WINDOW_MOUSE_WHEEL) {
    a = w->mouse_x;
    b = w->mouse_y;
  }
  if (w->on_mouse) w->on_mouse(w->user, type, a, b);
  ui_regions_dispatch_mouse(w, type, a, b);
}

static gboolean window_on_motion(GtkWidget*, GdkEventMotion* e, gpointer data) {
  window_pointer_event((window_s*)data, WINDOW_MOUSE_MOVE, e->x_root, e->y_root, 0, 0);
  return TRUE;
}

static gboolean window_on_button(GtkWidget*, GdkEventButton* e, gpointer data) {
  window_s* w = (window_s*)data;
  const int type = e->type == GDK_BUTTON_RELEASE ? WINDOW_MOUSE_RELEASE : WINDOW_MOUSE_PRESS;
  const bool multiple = e->type == GDK_2BUTTON_PRESS || e->type == GDK_3BUTTON_PRESS;
  if (e->type == GDK_BUTTON_PRESS) {
    w->press_serial[0] = w->press_serial[1];
    w->press_serial[1] = w->screen_serial;
  }
  window_pointer_event(w, type, e->x_root, e->y_root, 0, 0);
  // GDK sends a double press after the press it completes. When the click
  // before it changed the screen (a prompt's OK), the second press belongs
  // to that click: its release must not act on the screen beneath.
  if (multiple && w->press_serial[0] != w->screen_serial) g_ui_regions.pressed = -1;
  return TRUE;
}

static gboolean window_on_scroll(GtkWidget*, GdkEventScroll* e, gpointer data) {
  double dx = 0, dy = 0;
  if (e->direction == GDK_SCROLL_SMOOTH) {
    dx = e->delta_x;
    dy = e->delta_y;
  } else {
    // Without smooth scrolling GDK reports a wheel step only by its
    // direction, with zero deltas; one step counts as a delta of 1.
    if (e->direction == GDK_SCROLL_UP) dy = -1;
    if (e->direction == GDK_SCROLL_DOWN) dy = 1;
    if (e->direction == GDK_SCROLL_LEFT) dx = -1;
    if (e->direction == GDK_SCROLL_RIGHT) dx = 1;
  }
  window_pointer_event((window_s*)data, WINDOW_MOUSE_WHEEL, e->x_root, e->y_root, (int)dx,
                       window_scroll_b(dy));
  return TRUE;
}

static gboolean window_on_key(GtkWidget*, GdkEventKey* e, gpointer data) {
  window_s* w = (window_s*)data;
  // Never consumed: a focused entry must still get the key, Tab the focus.
  if (e->type == GDK_KEY_PRESS && w->on_key) w->on_key(w->user, window_key_code(e->keyval));
  return FALSE;
}

// The drop target accepts copies only: GTK's default drop handling would
// answer a move by asking the source to delete what was dragged, so the
// data is asked for here and every drop is finished without a delete.
static gboolean window_on_drag_drop(GtkWidget* widget, GdkDragContext* context, gint, gint,
                                    guint time, gpointer) {
  gtk_drag_get_data(widget, context, gdk_atom_intern_static_string("text/uri-list"), time);
  return TRUE;
}

static void window_on_drop(GtkWidget* widget, GdkDragContext* context, gint x, gint y,
                           GtkSelectionData* data, guint, guint time, gpointer user) {
  window_s* w = (window_s*)user;
  gchar** uris = gtk_selection_data_get_uris(data);
  // The drop is finished before it is acted on: what it starts may ask a
  // question (resume this file?), and until the drop is finished the source
  // (a file manager) holds its drag for as long as the question waits.
  gtk_drag_finish(context, TRUE, FALSE, time);
  if (!uris) return;
  int count = 0;
  char** paths = window_uris_to_paths(uris, &count);
  g_strfreev(uris);
  // x and y are the top-level's; a title bar drawn by the client lies
  // between it and the drawing area.
  int ax = x, ay = y;
  if (w->area) gtk_widget_translate_coordinates(widget, w->area, x, y, &ax, &ay);
  if (count > 0) ui_regions_dispatch_drop(w, ax, ay, count, paths);
  window_free_paths(paths, count);
}

void window_entry_copy(char* buffer, int max_len, const char* text) {
  if (max_len <= 0) return;
  // The buffer is max_len bytes and must stay a terminated string, so at
  // most max_len - 1 bytes fit; cut before a character that would not fit
  // whole so that the buffer holds valid UTF-8.
  const size_t len = strlen(text);
  size_t n = len < (size_t)max_len - 1 ? len : (size_t)max_len - 1;
  if (n < len) {
    while (n > 0 && ((unsigned char)text[n] & 0xc0) == 0x80) --n;
  }
  memcpy(buffer, text, n);
  memset(buffer + n, 0, (size_t)max_len - n);
}

static void window_on_entry_changed(GtkEditable* editable, gpointer data) {
  window_s* w = (window_s*)data;
  gchar* text = gtk_editable_get_chars(editable, 0, -1);
  for (window_entry_s& e : w->entries) {
    if (e.entry == (GtkWidget*)editable) window_entry_copy(e.buffer, e.max_len, text);
  }
  g_free(text);
  // Screens read their entries' text when they paint: a key press that makes
  // the input valid must show its effect (an enabled OK) at once.
  window_redraw(w);
}

static gboolean window_redraw_tick(gpointer data) {
  window_s* w = (window_s*)data;
  if (!w->redraw_timer_on) return FALSE;
  window_redraw(w);
  return TRUE;
}

// ---------------------------------------------------------------------------
// Lifetime and loop

window_s* window_create(const char* title, int width, int height, int) {
  g_main_thread = std::this_thread::get_id();
  window_s* w = new window_s();
  w->line_width = 1.0f;
  w->path_start = true;

  w->toplevel = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(w->toplevel), title);
  gtk_window_set_default_size(GTK_WINDOW(w->toplevel), width, height);
  g_signal_connect(w->toplevel, "delete-event", G_CALLBACK(window_on_delete), w);
  g_signal_connect(w->toplevel, "destroy", G_CALLBACK(window_on_destroy), w);

  w->overlay = gtk_overlay_new();
  gtk_container_add(GTK_CONTAINER(w->toplevel), w->overlay);
  w->area = gtk_drawing_area_new();
  gtk_widget_set_size_request(w->area, width, height);
  gtk_container_add(GTK_CONTAINER(w->overlay), w->area);

  g_signal_connect(w->area, "draw", G_CALLBACK(window_on_draw), w);
  g_signal_connect(w->area, "configure-event", G_CALLBACK(window_on_configure), w);
  g_signal_connect(w->toplevel, "motion-notify-event", G_CALLBACK(window_on_motion), w);
  g_signal_connect(w->toplevel, "button-press-event", G_CALLBACK(window_on_button), w);
  g_signal_connect(w->toplevel, "button-release-event", G_CALLBACK(window_on_button), w);
  gtk_widget_add_events(w->toplevel, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                                         GDK_BUTTON_RELEASE_MASK | GDK_SCROLL_MASK);
  g_signal_connect(w->toplevel, "key-press-event", G_CALLBACK(window_on_key), w);
  g_signal_connect(w->toplevel, "scroll-event", G_CALLBACK(window_on_scroll), w);
  gtk_widget_add_events(w->toplevel, GDK_KEY_PRESS_MASK | GDK_SCROLL_MASK);

  gtk_widget_show_all(w->toplevel);

  static GtkTargetEntry targets[] = {{(gchar*)"text/uri-list", 0, 0}};
  gtk_drag_dest_set(w->toplevel,
                    (GtkDestDefaults)(GTK_DEST_DEFAULT_MOTION | GTK_DEST_DEFAULT_HIGHLIGHT), targets,
                    1, GDK_ACTION_COPY);
  g_signal_connect(w->toplevel, "drag-drop", G_CALLBACK(window_on_drag_drop), w);
  g_signal_connect(w->toplevel, "drag_data_received", G_CALLBACK(window_on_drop), w);
  return w;
}

void window_destroy(window_s* w) {
  if (!w) return;
  // Redraw timers hold the record; none may tick after it is gone.
  while (g_source_remove_by_user_data(w)) {
  }
  if (w->toplevel) {
    g_signal_handlers_disconnect_by_data(w->toplevel, w);
    if (w->area) g_signal_handlers_disconnect_by_data(w->area, w);
    for (window_entry_s& e : w->entries) g_signal_handlers_disconnect_by_data(e.entry, w);
  }
  if (w->surface) cairo_surface_destroy(w->surface);
  delete w;
}

// Message and question dialogs of the main thread open now. While one
// waits for its answer, the task queue waits too: a task's dialog (a
// question handed over by the work thread, the end of a run) would open over
// it and hold its answer back until answered itself, and the asker re-checks
// the run's state after each answer anyway.
static int g_dialogs_open = 0;

void window_run_loop(std::function<void()> after) {
  sys_timer_add(100, [] {
    if (g_dialogs_open == 0) ui_tasks_run();
    return true;
  });
  gtk_main();
  if (after) after();
}

void window_quit(window_s*) { gtk_main_quit(); }
void window_quit_loop() {
  // GTK is driven from its own thread only: the quit is made there.
  g_idle_add(
      [](gpointer) -> gboolean {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
      },
      nullptr);
}

// ---------------------------------------------------------------------------
// Callbacks, queries, redraw

void window_set_callbacks(window_s* w, void* user, window_close_fn on_close,
                          window_mouse_fn on_mouse, window_paint_fn paint) {
  w->user = user;
  w->on_close = on_close;
  w->on_mouse = on_mouse;
  w->paint = paint;
}

void window_set_key_callback(window_s* w, window_key_fn on_key) { w->on_key = on_key; }

void window_set_paint(window_s* w, window_paint_fn paint) {
  if (w->paint != paint) w->screen_serial++;
  w->paint = paint;
  window_redraw(w);
}

bool window_is_paint(window_s* w, window_paint_fn paint) { return w->paint == paint; }

void window_set_resize_callback(window_s* w, const std::function<void(int, int)>& on_resize) {
  w->on_resize = on_resize;
}

void window_set_title(window_s* w, const char* title) {
  if (w->toplevel) gtk_window_set_title(GTK_WINDOW(w->toplevel), title);
}

void window_set_progress(window_s*, float) {}

int window_width(window_s* w) { return (int)w->width; }
int window_height(window_s* w) { return (int)w->height; }
int window_mouse_x(window_s* w) { return w->mouse_x; }
int window_mouse_y(window_s* w) { return w->mouse_y; }

void window_redraw(window_s* w) {
  if (!w || !w->area) return;
  gtk_widget_queue_draw(w->area);  // the whole area, always
}

void window_set_redraw_timer(window_s* w, unsigned int ms) {
  if (ms == 0) {
    w->redraw_timer_on = false;
    return;
  }
  w->redraw_timer_on = true;
  g_timeout_add(ms, window_redraw_tick, w);
}

// ---------------------------------------------------------------------------
// Text entries

int window_add_entry(window_s* w, int x, int y, int wd, int ht, int max_len, char* buffer) {
  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_text(GTK_ENTRY(entry), buffer);
  gtk_entry_set_max_length(GTK_ENTRY(entry), max_len);
  gtk_widget_set_size_request(entry, wd, ht);
  gtk_widget_set_halign(entry, GTK_ALIGN_START);
  gtk_widget_set_valign(entry, GTK_ALIGN_START);
  gtk_widget_set_margin_start(entry, x);
  gtk_widget_set_margin_top(entry, y);
  gtk_overlay_add_overlay(GTK_OVERLAY(w->overlay), entry);
  gtk_widget_show_all(w->toplevel);
  gtk_widget_grab_focus(entry);
  g_signal_connect(entry, "changed", G_CALLBACK(window_on_entry_changed), w);
  w->entries.push_back({entry, buffer, max_len});
  return (int)w->entries.size() - 1;
}

void window_move_entry(window_s* w, int index, int x, int y, int wd, int ht) {
  util_assert(index >= 0 && index < (int)w->entries.size(), false, "window_linux", __LINE__);
  if (index < 0 || index >= (int)w->entries.size()) return;
  GtkWidget* entry = w->entries[index].entry;
  gtk_widget_set_margin_start(entry, x);
  gtk_widget_set_margin_top(entry, y);
  gtk_widget_set_size_request(entry, wd, ht);
}

void window_clear_entries(window_s* w) {
  for (window_entry_s& e : w->entries) gtk_widget_destroy(e.entry);
  w->entries.clear();
}

// ---------------------------------------------------------------------------
// Dialogs and choosers

// Formats into small, or when that is too short into a 16384-byte heap
// buffer (cut there); *heap is set when the caller must free the result.
static const char* window_format(char* small, const char* fmt, va_list args, char** heap) {
  va_list again;
  va_copy(again, args);
  const int n = vsnprintf(small, 1024, fmt, args);
  *heap = nullptr;
  if (n >= 1024) {
    *heap = (char*)malloc(16384);
    vsnprintf(*heap, 16384, fmt, again);
  }
  va_end(again);
  return *heap ? *heap : small;
}

static GtkWindow* window_parent(window_s* w) {
  return w && w->toplevel ? GTK_WINDOW(w->toplevel) : nullptr;
}

// A dialog handed over by another thread ends by itself, as if closed, once
// its asker no longer waits (a close of the window stopped the run).
struct window_dialog_watch_s {
  GtkDialog* dialog;
  std::function<bool()> abandoned;
};

static gboolean window_dialog_check(gpointer data) {
  auto* watch = (window_dialog_watch_s*)data;
  if (watch->abandoned()) gtk_dialog_response(watch->dialog, GTK_RESPONSE_DELETE_EVENT);
  return G_SOURCE_CONTINUE;
}

// abandoned, when given, marks a dialog asked for by another thread: it gets
// a window group of its own, so that its modal grab leaves the main window
// closable while it waits, and it ends once abandoned() turns true.
static int window_dialog(window_s* w, const char* title, GtkMessageType type,
                         GtkButtonsType buttons, const char* text,
                         const std::function<bool()>& abandoned = nullptr) {
  GtkWidget* d = gtk_message_dialog_new(window_parent(w), GTK_DIALOG_DESTROY_WITH_PARENT, type,
                                        buttons, "%s", text);
  // The title is the dialog's window title: it names the dialog to the
  // window system and to the user's task switcher.
  if (title) gtk_window_set_title(GTK_WINDOW(d), title);
  GtkWindowGroup* group = nullptr;
  window_dialog_watch_s watch{GTK_DIALOG(d), abandoned};
  guint check = 0;
  if (abandoned) {
    group = gtk_window_group_new();
    gtk_window_group_add_window(group, GTK_WINDOW(d));
    check = g_timeout_add(100, window_dialog_check, &watch);
  }
  g_dialogs_open++;
  const int response = gtk_dialog_run(GTK_DIALOG(d));
  g_dialogs_open--;
  if (check) g_source_remove(check);
  gtk_widget_destroy(d);
  if (group) g_object_unref(group);
  return response;
}

static void window_message_text(window_s* w, const char* title, const char* text,
                                const std::function<bool()>& abandoned = nullptr) {
  window_dialog(w, title, GTK_MESSAGE_OTHER, GTK_BUTTONS_CLOSE, text, abandoned);
}

static bool window_question_text(window_s* w, const char* title, const char* text,
                                 const std::function<bool()>& abandoned = nullptr) {
  return window_dialog(w, title, GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO, text, abandoned) ==
         GTK_RESPONSE_YES;
}

void window_message(window_s* w, const char* title, const char* fmt, ...) {
  char small[1024];
  char* heap;
  va_list args;
  va_start(args, fmt);
  const char* text = window_format(small, fmt, args, &heap);
  va_end(args);
  window_message_text(w, title, text);
  free(heap);
}

bool window_question(window_s* w, const char* title, const char* fmt, ...) {
  char small[1024];
  char* heap;
  va_list args;
  va_start(args, fmt);
  const char* text = window_format(small, fmt, args, &heap);
  va_end(args);
  const bool yes = window_question_text(w, title, text);
  free(heap);
  return yes;
}

// The folder the last accepted choice was made in; "" until one is.
static std::string g_chooser_folder;

static bool window_choose(window_s* w, const char* title, GtkFileChooserAction action, int size,
                          char* out) {
  GtkWidget* d = gtk_file_chooser_dialog_new(title, window_parent(w), action, "gtk-ok",
                                             GTK_RESPONSE_ACCEPT, "gtk-cancel",
                                             GTK_RESPONSE_CANCEL, nullptr);
  // Without a folder of its own the chooser opens on "Recent", where a
  // typed name has no folder to be found in and Return takes nothing: it
  // opens where the last choice was made, else in the home folder.
  const char* start = g_chooser_folder.empty() ? g_get_home_dir() : g_chooser_folder.c_str();
  if (start) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(d), start);
  gtk_dialog_set_default_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
  bool ok = false;
  if (gtk_dialog_run(GTK_DIALOG(d)) == GTK_RESPONSE_ACCEPT) {
    gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
    // A choice without a local path, or a path that would not fit whole
    // with its terminating zero, is refused rather than cut.
    if (!name) {
      sys_log("The chosen item is not a local file.\n");
    } else if (strlen(name) >= (size_t)size) {
      sys_log("The chosen path is too long (%d bytes at most): %s\n", size - 1, name);
    } else {
      memset(out, 0, (size_t)size);
      memcpy(out, name, strlen(name));
      ok = true;
    }
    if (name) {
      gchar* folder = g_path_get_dirname(name);
      g_chooser_folder = folder;
      g_free(folder);
    }
    g_free(name);
  }
  gtk_widget_destroy(d);
  return ok;
}

bool window_open_file(window_s* w, const char* title, int size, char* out) {
  return window_choose(w, title, GTK_FILE_CHOOSER_ACTION_OPEN, size, out);
}

bool window_select_folder(window_s* w, const char* title, int size, char* out) {
  return window_choose(w, title, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, size, out);
}

// ---------------------------------------------------------------------------
// Hand-over of dialogs from other threads

namespace {
struct handover_s {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  bool answer = false;
};
}  // namespace

static bool window_stop_set(const bool* stop) {
  return stop && __atomic_load_n(stop, __ATOMIC_ACQUIRE);
}

static bool window_handover(window_s* w, const bool* stop, const char* title, std::string text,
                            bool question) {
  if (std::this_thread::get_id() == g_main_thread) {
    if (question) return window_question_text(w, title, text.c_str());
    window_message_text(w, title, text.c_str());
    return false;
  }
  auto h = std::make_shared<handover_s>();
  std::string title_copy = title ? title : "";
  std::function<void()> task = [h, w, title_copy, text, question, stop] {
    {
      // A stop set while the task waited in the queue (a close confirmed
      // meanwhile) ends the wait: the dialog need not show at all.
      std::lock_guard<std::mutex> lock(h->mutex);
      if (h->abandoned || window_stop_set(stop)) return;
    }
    auto abandoned = [h] {
      std::lock_guard<std::mutex> lock(h->mutex);
      return h->abandoned;
    };
    bool answer = false;
    if (question) {
      answer = window_question_text(w, title_copy.c_str(), text.c_str(), abandoned);
    } else {
      window_message_text(w, title_copy.c_str(), text.c_str(), abandoned);
    }
    std::lock_guard<std::mutex> lock(h->mutex);
    h->answer = answer;
    h->done = true;
    h->cv.notify_all();
  };
  if (!ui_task_post_unless_stopped(std::move(task), stop)) return false;
  std::unique_lock<std::mutex> lock(h->mutex);
  while (!h->done) {
    if (window_stop_set(stop)) {
      h->abandoned = true;
      return false;
    }
    h->cv.wait_for(lock, std::chrono::milliseconds(50));
  }
  return h->answer;
}

static std::string window_format_string(const char* fmt, va_list args) {
  char small[1024];
  char* heap;
  std::string text = window_format(small, fmt, args, &heap);
  free(heap);
  return text;
}

void window_message_from_thread(window_s* w, const bool* stop, const char* title,
                                const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = window_format_string(fmt, args);
  va_end(args);
  window_handover(w, stop, title, std::move(text), false);
}

bool window_question_from_thread(window_s* w, const bool* stop, const char* title,
                                 const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = window_format_string(fmt, args);
  va_end(args);
  return window_handover(w, stop, title, std::move(text), true);
}
