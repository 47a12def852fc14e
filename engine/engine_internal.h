// What the engine's own units share and no other subsystem needs.
#pragma once

#include <cstdint>

#include "ui/report.h"

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
// Tells the user of a file the run cannot go on with (report_to_user_later:
// the log line now, the dialog from the UI thread through engine_message),
// after which the process ends as on any fatal error (engine_exit_error).
// Callers stop the run first, keeping its files.
void engine_post_file_error(const report_s& r);

// The one check made before any step creates, reopens, moves into or
// scatters into a file of the job: true while its drives are still the file
// systems its session wrote on. Otherwise the run is stopped keeping its
// files, and the user is told that the disk of path is missing, with kept
// saying what stays as it was.
bool engine_job_disks_present(plotter_s* p, job_s* job, const char* path, const char* kept);

// Free space a staged job's move (its whole file) or scatter (what its
// target's scatter file does not hold allocated yet) needs on its target.
uint64_t engine_target_room_needed(const plotter_s* p, job_s* job);

// What the user is told was kept, by the kind of file a run stopped on.
extern const char* const ENGINE_KEPT_PLOTTING;  // a ".plotting" file and the resume data
extern const char* const ENGINE_KEPT_STAGED;    // a complete file on its staging drive
extern const char* const ENGINE_KEPT_NOTHING_WRITTEN;  // a file that could not be started
// Said instead of ENGINE_KEPT_PLOTTING or ENGINE_KEPT_STAGED when the file
// is not on the disk when the report is made (its folder's absence is named).
extern const char* const ENGINE_KEPT_NOTHING_LEFT;
extern const char* const ENGINE_KEPT_DISK_MISSING;     // nothing written where the disk should be
extern const char* const ENGINE_KEPT_STAGED_DISK_MISSING;  // a staged file whose target disk is gone
