// The records of a running plot check, shared by the check thread, its
// workers and the checker screen.
//
// The screen reads every flag while the threads write them, without a lock:
// each is an atomic byte, and no vector changes size while the checker lives.
#pragma once

#include <atomic>
#include <cstdint>
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

// One file to check.
struct check_entry_s {
    std::string path;
    std::atomic<int> skip{CHECK_SKIP_NONE};
    std::atomic<bool> all_correct{false};
    // Samples compared and not equal, and samples that could not be read;
    // final once finished is set.
    std::atomic<int> wrong{0};
    std::atomic<int> unchecked{0};
    // Every compared sample differs while the file holds data: the content
    // belongs to another account or start, it is not damaged.
    std::atomic<bool> name_mismatch{false};
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
// holds a reference (refs), and the last to let go frees it. A read that
// hangs (a dying disk, a stale network mount) thus never holds up Back or
// closing: the reader is abandoned with its reference and frees what it
// shares when its read returns.
struct checker_s {
    std::atomic<int> refs{1};
    int sample_count = 0;
    std::vector<check_entry_s> entries;
    scroll_state scroll{};
    int view_height = 0;
    std::thread thread;
    std::atomic<bool> stop{false};
    window_s* window = nullptr;
};

// The largest number of samples a file can have: one per scoop band.
enum { CHECK_MAX_SAMPLES = 4096, CHECK_SINGLE_SAMPLES = 1770 };

// Samples per file: 1770 for one file, else one per pixel of a row's bar
// (window width - 48), kept between 1 and 4096.
int check_sample_count(int entry_count, int window_width);

// The plot files named by the dropped paths: plot names as they are, and
// the plot files of a folder and of its direct sub-folders.
std::vector<std::string> check_collect(int count, const char* const* paths);

// The reads of sampled scoops (pread); replaceable so that a failing disk
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

// A checker over the given files with sample_count samples each, without a
// thread or a screen (ui_check_start adds both). The caller holds its one
// reference.
checker_s* checker_create(window_s* w, const std::vector<std::string>& files,
                          int sample_count);
// Stops the check and lets go of the caller's reference, without waiting
// for reads: the check thread is joined (it ends within one hashing step
// and never waits for a reader once stopped); readers still inside a read
// are left to end on their own, and the last of them frees the checker.
// Null is allowed.
void checker_destroy(checker_s* c);
// References held by the check thread and the readers.
void checker_hold(checker_s* c);
void checker_release(checker_s* c);

void check_thread_proc(checker_s* c);
void check_file_proc(checker_s* c, int index);

// The checker screen.
void check_paint(void* user);
void check_key_cb(void* user, int key);
