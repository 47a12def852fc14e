// The records of a running plot check, shared by the check thread, its
// workers and the checker screen.
//
// The screen reads every flag while the threads write them, without a lock:
// each is an atomic byte, and no vector changes size while the checker lives.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "checker/check_plan.h"
#include "ui/widgets.h"

struct window_s;

// One sample (a nonce and a scoop) of one file. A sample whose scoop could
// not be read is never compared: read_failed says so.
struct check_sample_s {
    std::atomic<uint8_t> read_issued{0};
    std::atomic<uint8_t> read_done{0};       // guards the read scoop
    std::atomic<uint8_t> read_failed{0};     // an error or a short read
    std::atomic<uint8_t> computing{0};       // one-nonce path only
    std::atomic<uint8_t> expected_ready{0};  // guards the expected scoop
    std::atomic<uint8_t> equal{0};           // valid once compared is set
    std::atomic<uint8_t> compared{0};
};

// Why a file was not checked at all.
enum check_skip_e {
    CHECK_SKIP_NONE = 0,
    CHECK_SKIP_NAME,        // its name's numbers describe no file
    CHECK_SKIP_KIND,        // a PoC1 file that is not optimized
    CHECK_SKIP_UNFINISHED,  // a ".plotting" file still being written
    CHECK_SKIP_UNREADABLE,  // it cannot be opened
    CHECK_SKIP_EMPTY,       // it holds no byte
    CHECK_SKIP_SIZE,        // its size differs from the size its name gives
    CHECK_SKIP_NOT_FILE,    // a FIFO, a device or a folder: reading could block
};

// What a file whose every sample differs holds instead of its name's data.
enum check_mismatch_e {
    CHECK_MISMATCH_NONE = 0,
    CHECK_MISMATCH_OTHER_NAME,    // the nonces of another dropped file's name
    CHECK_MISMATCH_POC1_LAYOUT,   // PoC1 scoops under a PoC2 name
    CHECK_MISMATCH_POC2_LAYOUT,   // PoC2 scoops under an optimized PoC1 name
    CHECK_MISMATCH_LONGER,        // fewer nonces, then zeros up to the name's size
    CHECK_MISMATCH_UNKNOWN,       // none of these
};

// One file to check.
struct check_entry_s {
    std::string path;
    std::atomic<int> skip{CHECK_SKIP_NONE};
    std::atomic<bool> all_correct{false};
    // Samples compared and not equal, and samples that could not be read;
    // final once finished is set.
    std::atomic<int> wrong{0};
    std::atomic<int> unchecked{0};
    // The file's nonce count, and every scoop compared (the samples and the
    // other scoops of the hashed nonces that the blocks read hold) with
    // those that differ; final once finished is set.
    std::atomic<uint64_t> nonces{0};
    std::atomic<uint64_t> scoops_compared{0};
    std::atomic<uint64_t> scoops_wrong{0};
    // Every compared sample differs while the file holds data: what the
    // data is instead (check_mismatch_e), and for a file under another
    // name, a layout or a length of its own, the name (and for a file
    // longer than its data, the nonces) that would fit it. Written before
    // finished is set.
    std::atomic<int> mismatch{CHECK_MISMATCH_NONE};
    std::string fitting_name;
    uint64_t data_nonces = 0;
    // The check of this file has ended (skipped or compared); set only when
    // the checker was not stopped, so the screen knows the row can no
    // longer change.
    std::atomic<bool> finished{false};
    std::vector<check_sample_s> status;  // sample_count long
};

// The state of one file, and the verdict over all files.
enum check_outcome_e {
    CHECK_PENDING = 0,  // not finished yet
    CHECK_CORRECT,      // every sample compared and equal
    CHECK_WRONG,        // at least one sample differs
    CHECK_MISMATCH,     // every sample differs: the data is not the name's
    CHECK_INCOMPLETE,   // no sample differs, but some were not checked
    CHECK_SKIPPED,      // not checked at all (skip says why)
    CHECK_NOTHING,      // verdict only: no file, or no sample compared
};

// Owned by the UI and by the check thread and readers working for it: each
// holds a reference (refs), and the last to let go frees it. A stat, open,
// folder listing or read that hangs (a dying disk, a stale network mount)
// thus never holds up Back or closing: the check thread and the readers are
// abandoned with their references and free what they share when the call
// returns. Only the hashing workers, which never touch a file, are waited
// for.
struct checker_s {
    std::atomic<int> refs{1};
    // The paths as dropped; the check thread lists them into entries, then
    // sets collected. Until then the screen reads neither entries nor
    // sample_count.
    std::vector<std::string> dropped;
    int window_width = 0;
    std::atomic<bool> collected{false};
    int sample_count = 0;
    std::vector<check_entry_s> entries;
    scroll_state scroll{};
    int view_height = 0;
    std::thread thread;
    std::atomic<bool> stop{false};
    window_s* window = nullptr;
    // The check's queues are guarded by check_mutex; stopping wakes every
    // thread that waits on them.
    std::mutex check_mutex;
    std::condition_variable readers_cv, workers_cv, coordinator_cv;
    // Hashing workers still running.
    std::mutex workers_mutex;
    std::condition_variable workers_ended;
    int workers_running = 0;
};

// The largest number of samples a file can have: one per scoop band.
enum { CHECK_MAX_SAMPLES = 4096, CHECK_SINGLE_SAMPLES = 1770 };

// Samples per file: 1770 for one file, else one per pixel of a row's bar
// (window width - 48), kept between 1 and 4096.
int check_sample_count(int entry_count, int window_width);

// The plot files named by the dropped paths: plot names as they are, and
// the plot files of a folder and of its direct sub-folders.
std::vector<std::string> check_collect(int count, const char* const* paths);

// The reads of sampled blocks (pread); replaceable so that a failing disk
// can be reproduced.
extern ssize_t (*g_check_pread)(int fd, void* buf, size_t count, off_t offset);
// The hashing of sampled nonces (plot_nonces_scoop_sets); replaceable so
// that a test can see what is computed.
extern void (*g_check_nonces)(uint64_t account_id, int n, const uint64_t* nonces, const int* first,
                              const uint32_t* scoops, uint8_t* out, bool poc2);

// What the file's check found (CHECK_PENDING until it has finished), and
// the verdict over every file (CHECK_PENDING while any is unfinished).
check_outcome_e check_entry_outcome(const check_entry_s& e);
check_outcome_e check_verdict(const checker_s& c);
// The reason a file was skipped, as shown and logged.
const char* check_skip_text(int skip);
// The file's verdict in words, as its row shows it and the log records it
// ("correct", "3 of 592 samples differ", ...); empty while pending.
std::string check_entry_verdict_text(const check_entry_s& e, int sample_count);
// What the check of a compared file looked at and what it can have missed,
// e.g. "1770 samples of 4,194,304 nonces, 51,320 scoops compared: whole-file
// faults ruled out, single bad nonces may be missed"; empty while pending
// and for a file not compared.
std::string check_entry_coverage_text(const check_entry_s& e, int sample_count);
// The same over every file of a list.
std::string check_coverage_text(const checker_s& c);

// A checker over the given files with sample_count samples each, without a
// thread or a screen (ui_check_start adds both). The caller holds its one
// reference.
checker_s* checker_create(window_s* w, const std::vector<std::string>& files,
                          int sample_count);
// A checker over dropped paths, listed by its check thread: the folders are
// not read on the caller's thread.
checker_s* checker_create_dropped(window_s* w, int count, const char* const* paths);
// Stops the check and lets go of the caller's reference without waiting
// for the file system: the hashing workers are waited for (each ends
// within one lane group); the check thread and readers that may be inside
// a stat, open, listing or read are left to end on their own, and the last
// of them frees the checker. Null is allowed.
void checker_destroy(checker_s* c);
// References held by the check thread and the readers.
void checker_hold(checker_s* c);
void checker_release(checker_s* c);

// The whole check: lists the dropped paths when that is still to be done,
// then checks every file with one pool of readers and one of hashing
// workers for all files together. Returns once every file is settled or the
// check is stopped.
void check_thread_proc(checker_s* c);

// The checker screen.
void check_paint(void* user);
void check_key_cb(void* user, int key);
