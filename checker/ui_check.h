// The plot checker: verifies finished plot files by recomputing sampled
// scoops and comparing them with what is on disk, with its own screen.
// Every function here runs on the UI thread.
#pragma once

#include <functional>

struct window_s;
struct checker_s;

// The running checker (null when none); its records are in
// checker/check_state.h.
extern checker_s* g_checker;

// Starts checking the given paths (plot files, and folders searched one
// level deep) and switches the window to the checker screen. A checker that
// is still running is stopped and freed first. back puts the window's screen
// of the application back (its paint) when the checker stops.
void ui_check_start(window_s* w, int count, const char* const* paths, std::function<void()> back);

// Stops the checker (every thread joined, every read finished or cancelled),
// returns to the application's screen through the back of ui_check_start and
// frees it. Does nothing when no checker exists.
void ui_check_stop();
