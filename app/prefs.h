// "config.yml": the settings and the resume data of an unfinished run, kept
// in the start-up folder. UI thread only.
#pragma once

#include <string>

// Writes the whole file into g_start_dir (which becomes the working
// directory), replacing the old one only once the new one is on the disk. A
// failure leaves the previous file as it was, is logged and is told to the
// user; false then. Given failure, the caller tells the user instead: the
// reason in words is put there.
bool prefs_save(std::string* failure = nullptr);

// Whether the start-up folder takes config.yml and log.txt (a test file is
// written and synced there, then removed); false with the file that cannot
// be written and the reason in words.
bool prefs_folder_writable(std::string* file, std::string* failure);

// Reads config.yml from the working directory; false when there is none or it
// could not be used. A file that cannot be used is kept beside it (or, when
// that fails, saving is refused for the session) and the user is told; a
// file loaded only in part (cut short, damaged resume entries) is kept too
// and reported. What was applied before a failure stays applied.
bool prefs_load();
