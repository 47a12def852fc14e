// A small window of the test suite: a few widgets, an entry, a scroll and a
// drop region and a drag source, printing every event on stdout, one line
// each, for the display tests to drive with xdotool.
#include <cstdio>
#include <cstdarg>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtk/gtk.h>

#include "ui/draw.h"
#include "ui/regions.h"
#include "ui/widgets.h"
#include "ui/window.h"

static window_s* g_demo = nullptr;
static char g_entry_text[16] = "";
static std::vector<std::thread> g_askers;

static void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void say(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vprintf(fmt, args);
  va_end(args);
  fputc('\n', stdout);
  fflush(stdout);
}

static void demo_mouse(void*, int type, int a, int b) {
  if (type != WINDOW_MOUSE_MOVE) say("mouse %d %d %d", type, a, b);
}

static void demo_key(void*, int key) { say("key %d", key); }

static void demo_ask() {
  g_askers.emplace_back([] {
    const bool yes = window_question_from_thread(g_demo, nullptr, "Question",
                                                 "Failed to recover GPU device. Fall back?");
    say("answer %d", yes ? 1 : 0);
  });
}

static void demo_paint(void*) {
  window_s* w = g_demo;
  draw_clear(w, 0xffffff);
  paint_button(w, "Alpha", true, 20, 20, 120, 40, 10, [] { say("click alpha"); });
  paint_button(w, "Beta", false, 160, 20, 120, 40, 10, [] { say("click beta"); });
  paint_button(w, "Message", true, 300, 20, 120, 40, 10, [] {
    window_message(g_demo, "Done!", "All done! %d%% of the files.", 100);
    say("message closed");
  });
  paint_button(w, "Ask", true, 440, 20, 120, 40, 10, demo_ask);
  paint_button(w, "Open", true, 20, 100, 120, 40, 10, [] {
    // The first choice has room, the second only 8 bytes.
    static int calls = 0;
    static char chosen[260] = "none";
    const bool ok = window_open_file(g_demo, "Open plot", calls++ == 0 ? 260 : 8, chosen);
    say("open %d %s", ok ? 1 : 0, chosen);
  });
  paint_button(w, "Folder", true, 160, 100, 120, 40, 10, [] {
    static char chosen[260] = "none";
    const bool ok = window_select_folder(g_demo, "Choose folder", 260, chosen);
    say("folder %d %s", ok ? 1 : 0, chosen);
  });
  ui_region_scroll(w, 340, 100, 280, 200, [](int dx, int dy) { say("scroll %d %d", dx, dy); });
  draw_set_fill(w, 0xff336699);
  draw_no_stroke(w);
  draw_rect(w, 340, 100, 280, 200);
  ui_region_drop(w, 0, 0, 640, 480, [](int count, char** paths, int x, int y) {
    std::string line = "drop at " + std::to_string(x) + " " + std::to_string(y) + ": " + std::to_string(count);
    for (int i = 0; i < count; ++i) line += std::string(" ") + paths[i];
    say("%s", line.c_str());
  });
  const int ax = window_mouse_x(w), ay = window_mouse_y(w);
  say("paint alpha_hover=%d", ax >= 20 && ax < 140 && ay >= 20 && ay < 60 ? 1 : 0);
}

// F10 closes the window as its close button would. F11 asks for a size below the window's minimum. F12 marks the end of a test's input: everything typed before it has been
// handled once it arrives, so the entry's buffer is reported with it.
static gboolean demo_raw_key(GtkWidget*, GdkEventKey* e, gpointer) {
  if (e->keyval == GDK_KEY_F10) gtk_window_close(GTK_WINDOW(g_demo->toplevel));
  if (e->keyval == GDK_KEY_F11) gtk_window_resize(GTK_WINDOW(g_demo->toplevel), 300, 200);
  if (e->keyval == GDK_KEY_F12) {
    say("entry [%s]", g_entry_text);
    say("size %d %d", window_width(g_demo), window_height(g_demo));
    say("pointer %d %d", window_mouse_x(g_demo), window_mouse_y(g_demo));
    say("sync");
  }
  return FALSE;
}

// A second window that drags a URI list onto the demo: a blank and an
// accented letter as a file manager sends them, and an item that is no local
// file. "drag_move" offers the drag as a move only, the way a file manager
// does when Shift is held.
static void demo_drag_get(GtkWidget*, GdkDragContext*, GtkSelectionData* data, guint, guint,
                          gpointer) {
  gchar* uris[] = {(gchar*)"file:///tmp/my%20plots/1_0_256", (gchar*)"http://host/x",
                   (gchar*)"file:///tmp/caf%C3%A9", nullptr};
  gtk_selection_data_set_uris(data, uris);
}

static void demo_drag_delete(GtkWidget*, GdkDragContext*, gpointer) { say("delete asked"); }

static void demo_drag_end(GtkWidget*, GdkDragContext*, gpointer) { say("drag ended"); }

static void demo_drag_source(GdkDragAction actions) {
  GtkWidget* top = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(top), "Drag source");
  gtk_window_move(GTK_WINDOW(top), 800, 600);
  GtkWidget* box = gtk_event_box_new();
  gtk_widget_set_size_request(box, 100, 100);
  gtk_container_add(GTK_CONTAINER(top), box);
  static GtkTargetEntry targets[] = {{(gchar*)"text/uri-list", 0, 0}};
  gtk_drag_source_set(box, GDK_BUTTON1_MASK, targets, 1, actions);
  g_signal_connect(box, "drag-data-get", G_CALLBACK(demo_drag_get), nullptr);
  g_signal_connect(box, "drag-data-delete", G_CALLBACK(demo_drag_delete), nullptr);
  g_signal_connect(box, "drag-end", G_CALLBACK(demo_drag_end), nullptr);
  gtk_widget_show_all(top);
}

// A client-side title bar, as GNOME draws on Wayland: the drawing area then
// no longer starts at the top of the top-level window.
static void demo_header_bar() {
  GtkWidget* top = g_demo->toplevel;
  gtk_widget_hide(top);
  gtk_widget_unrealize(top);
  GtkWidget* bar = gtk_header_bar_new();
  gtk_header_bar_set_title(GTK_HEADER_BAR(bar), "Veldgrain demo");
  gtk_window_set_titlebar(GTK_WINDOW(top), bar);
  gtk_widget_show_all(top);
}

// Where the drawing area's top-left pixel lies on the screen, so that the
// session can point at drawing-area pixels whatever surrounds the area.
static void demo_say_area_origin() {
  while (gtk_events_pending()) gtk_main_iteration();
  int x = 0, y = 0;
  gdk_window_get_origin(gtk_widget_get_window(g_demo->area), &x, &y);
  say("area origin %d %d", x, y);
}

static bool demo_close(void*) {
  say("close");
  return true;
}

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  // A generous double-click time, so that a busy test machine still sees
  // xdotool's two quick clicks as a double click.
  g_object_set(gtk_settings_get_default(), "gtk-double-click-time", 1000, nullptr);
  g_demo = window_create("Veldgrain demo", 640, 480, 0);
  gtk_window_move(GTK_WINDOW(g_demo->toplevel), 0, 0);
  window_set_callbacks(g_demo, nullptr, demo_close, demo_mouse, demo_paint);
  window_set_key_callback(g_demo, demo_key);
  window_set_resize_callback(g_demo, [](int w, int h) { say("resize %d %d", w, h); });
  g_signal_connect(g_demo->toplevel, "key-press-event", G_CALLBACK(demo_raw_key), nullptr);
  static char scratch[8] = "x";
  window_add_entry(g_demo, 20, 360, 100, 30, (int)sizeof scratch, scratch);
  window_add_entry(g_demo, 20, 400, 100, 30, (int)sizeof scratch, scratch);
  window_clear_entries(g_demo);
  say("entry index %d",
      window_add_entry(g_demo, 0, 0, 10, 10, (int)sizeof g_entry_text, g_entry_text));
  window_move_entry(g_demo, 0, 20, 320, 200, 30);
  const char* scenario = argc > 1 ? argv[1] : "";
  if (strcmp(scenario, "headerbar") == 0 || strcmp(scenario, "drag") == 0) demo_header_bar();
  if (strcmp(scenario, "drag") == 0) demo_drag_source(GDK_ACTION_COPY);
  if (strcmp(scenario, "drag_move") == 0) demo_drag_source(GDK_ACTION_MOVE);
  demo_say_area_origin();
  say("ready");
  window_run_loop([] { say("loop ended"); });
  for (std::thread& t : g_askers) t.join();
  window_destroy(g_demo);
  return 0;
}
