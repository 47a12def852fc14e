// What xdotool cannot do for the end-to-end tests:
//   x11_helper close WINDOW_ID    asks the window to close, as a window
//                                 manager's close button does (no window
//                                 manager runs under Xvfb)
//   x11_helper drag URI...        a "Drag source" window at (700, 500) that
//                                 offers the URIs as text/uri-list and ends
//                                 when its drag ends
#include <gtk/gtk.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int close_window(const char* id_text) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return 2;
    Window w = (Window)strtoul(id_text, nullptr, 0);
    XEvent e = {};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &e);
    XFlush(d);
    XCloseDisplay(d);
    return 0;
}

static gchar** g_uris;

static void drag_get(GtkWidget*, GdkDragContext*, GtkSelectionData* data, guint, guint, gpointer) {
    gtk_selection_data_set_uris(data, g_uris);
}

static void drag_end(GtkWidget*, GdkDragContext*, gpointer) {
    printf("drag ended\n");
    fflush(stdout);
    gtk_main_quit();
}

static int drag_source(int count, char** uris) {
    g_uris = (gchar**)calloc(count + 1, sizeof(gchar*));
    for (int i = 0; i < count; i++) g_uris[i] = uris[i];
    GtkWidget* top = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(top), "Drag source");
    gtk_window_move(GTK_WINDOW(top), 700, 500);
    GtkWidget* box = gtk_event_box_new();
    gtk_widget_set_size_request(box, 100, 100);
    gtk_container_add(GTK_CONTAINER(top), box);
    GtkTargetEntry targets[] = {{(gchar*)"text/uri-list", 0, 0}};
    gtk_drag_source_set(box, GDK_BUTTON1_MASK, targets, 1, GDK_ACTION_COPY);
    g_signal_connect(box, "drag-data-get", G_CALLBACK(drag_get), nullptr);
    g_signal_connect(box, "drag-end", G_CALLBACK(drag_end), nullptr);
    g_signal_connect(top, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(top);
    printf("ready\n");
    fflush(stdout);
    gtk_main();
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "close") == 0) return close_window(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "drag") == 0) {
        gtk_init(&argc, &argv);
        return drag_source(argc - 2, argv + 2);
    }
    fprintf(stderr, "usage: x11_helper close WINDOW_ID | drag URI...\n");
    return 2;
}
