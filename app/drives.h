// The staging (SSD) and target drive lists and the plan of jobs over them.
// Every change of a list is followed by drive_plan, so the plotter's job list
// always matches what the configuration screen shows. UI thread only, and
// never while plotting runs (jobs point into these vectors).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/plotter.h"
#include "ui/report.h"

// A list holds at most this many drives; the configuration screen is laid
// out for no more.
enum { DRIVE_LIST_MAX = 64 };

extern std::vector<drive_s> g_ssds;    // staging drives, in the order added
extern std::vector<drive_s> g_drives;  // target drives, in the order added
extern uint64_t g_start_nonce;         // first nonce when auto start is off
extern uint64_t g_max_job_bytes;       // bytes of the plan's largest job
// Staging folders of config.yml that could not be used at load (a disk not
// mounted, a folder gone): not in the list or the plan, but written back to
// config.yml, so that they are used again once they can be.
extern std::vector<std::string> g_ssds_unusable;

// Tells the user why something was refused (a drive, a path); by default a
// window_message on g_window. Tests put a recorder here, since a modal
// dialog needs a running display.
extern void (*g_app_message)(const char* title, const char* text);
// A yes/no question to the user; by default a window_question on g_window.
extern bool (*g_app_question)(const char* title, const char* text);
// A failure or refusal told to the user: its log line, then its dialog
// through g_app_message (report_to_user).
void app_report(const report_s& r);

// True while the job list is an unfinished session restored from config.yml
// or taken over from a dropped ".plotting" file rather than a plan of the
// lists; drive_plan clears it.
extern bool g_plan_restored;

// A folder that was not added, and why, in words ("its file system is
// read-only"); no_space when the cause is the lack of free space.
struct drive_refusal_s {
  std::string path;
  std::string cause;
  bool no_space;
};

// kind 0 adds a staging SSD, 1 a target; true when added. resuming (1) skips
// the tests of the folder (it exists, is a folder, can be written to, has
// free space) and, for targets, the registration of the folder. A folder
// already in the list, under this or another spelling ("a/" for "a", a
// symbolic link), is ignored. A refused folder is told to the user at once,
// or, with refusals given, appended there for the caller to tell with
// others (drive_refusals_tell).
bool drive_add(int kind, const char* path, int resuming, std::vector<drive_refusal_s>* refusals = nullptr);
// Tells the user of the refusals of one action in one message, each folder
// with its cause.
void drive_refusals_tell(const std::vector<drive_refusal_s>& refusals);
// That message, for a caller that tells it its own way.
report_s drive_refusals_report(const std::vector<drive_refusal_s>& refusals);
// Adds the folders of one action (a drop) to a list; those refused are told
// in one message.
void drive_add_folders(int kind, const std::vector<std::string>& paths);

// Rebuilds the plotter's job list from the lists, the settings and the plots
// registry. Folders on one file system share its free space, and no two
// files of the plan, nor a file and a known plot, share a nonce; a plan that
// would break either is refused (no jobs, logged and told).
void drive_plan();

// Whether the current job list keeps those rules; why not in *why.
bool drive_plan_check(std::string* why);

// Asked before any change the user makes to the plan. With a restored
// session it asks whether to discard it, naming its ".plotting" files, which
// are deleted when the user agrees; false (nothing changed) when the user
// keeps it. True at once without a restored session. keep (may be null)
// names a file that is not deleted: the one the new plan takes over.
bool drive_plan_may_replace(const char* keep = nullptr);

// Deletes files of a discarded session (plotter_unfinished_files), each
// named in the log.
void drive_discard_session_files(const std::vector<std::string>& files);

// Before a run starts: every job of a restored session must find its disks
// where the session wrote. When some do not, the user is told which files
// and disks, and either discards those files from the session or waits
// (false: nothing starts). Then records for each job the file systems it
// writes on. False also when no job is left.
bool drive_session_disks_ready();

// The drive of a list (kind as for drive_add) that is this folder under any
// spelling; null when none is.
drive_s* drive_find(int kind, const char* path);
