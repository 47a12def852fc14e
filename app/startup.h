// Start-up and close of the program: vg_main creates the application's
// objects, restores the settings, opens the window and runs the main loop.
#pragma once

#include <functional>

// The application's entry, called by main once GTK is initialised. Returns
// when the main loop has ended (or at once on a processor without SSE4).
void vg_main();

// The window's close request: true lets it close. During a run it asks
// whether to stop and whether to keep the ".plotting" files.
bool close_cb(void* user);

// Stops the run once the user has confirmed a close (keep: leave the
// ".plotting" files and the job list for a resume) and calls closed on the
// UI thread once the run has ended.
void close_run(bool keep, std::function<void()> closed);

// The window's mouse callback; mouse input reaches screens through regions.
void mouse_cb(void* user, int type, int x, int y);
