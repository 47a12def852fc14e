// The program's entry: GTK takes its own options out of the command line;
// the program has none of its own.
#include <gtk/gtk.h>

#include "app/startup.h"

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    vg_main();
    return 0;
}
