// "config.yml": the settings and the resume data of an unfinished run, kept
// in the start-up folder. UI thread only.
#pragma once

// Writes the whole file into g_start_dir (which becomes the working
// directory); a file that cannot be opened is logged.
void prefs_save();

// Reads config.yml from the working directory; false when anything failed.
// What was applied before a failure stays applied.
bool prefs_load();
