// What the engine's own units share and no other subsystem needs.
#pragma once

#include <cstdint>

struct job_s;
struct plotter_s;

// A question or message for the user. from_thread: the caller is not the UI
// thread, so the dialog is handed to it and the caller waits (holding no
// lock) until answered or until *stop is set. Tests replace both through
// plotter_set_dialogs.
bool engine_question(bool from_thread, const volatile bool* stop, const char* title, const char* text);
void engine_message(bool from_thread, const volatile bool* stop, const char* title, const char* text);
// Ends the process with status 1 (replaceable in tests, which then go on).
void engine_exit_error();

// Stops the run as a fault does: its unfinished files are kept for a resume
// and it does not end as finished.
void engine_stop_run_keeping_files(plotter_s* p);
// Hands the UI thread a message made of format (one %s) and path, after
// which the process ends as on any fatal file error (engine_exit_error).
void engine_post_file_error(const char* format, const char* path);
