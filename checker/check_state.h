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
    CHECK_INCOMPLETE,   // no sample differs, but some were not checked
    CHECK_SKIPPED,      // not checked at all (skip says why)
    CHECK_NOTHING,      // verdict only: no file, or no sample compared
};

struct checker_s {
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

// The scoops are cut into sample_count bands that together cover 0 to 4095;
// sample i takes a random scoop of band i at a random nonce. Sample 0 is
// scoop 0 of the first nonce and the last is scoop 4095 of the last nonce.
// Two draws per sample from the checker's generator.
void check_choose_samples(int sample_count, uint64_t start, uint64_t nonces,
                          uint64_t* nonce_out, uint32_t* scoop_out);
// The checker's generator is seeded once at start-up, so that every start of
// the program samples other places; a test may seed it itself.
void check_random_seed(uint64_t seed);

// The reads of sampled scoops (pread); replaceable so that a failing disk
// can be reproduced.
extern ssize_t (*g_check_pread)(int fd, void* buf, size_t count, off_t offset);

// What the file's check found (CHECK_PENDING until it has finished), and
// the verdict over every file (CHECK_PENDING while any is unfinished).
check_outcome_e check_entry_outcome(const check_entry_s& e);
check_outcome_e check_verdict(const checker_s& c);
// The reason a file was skipped, as shown and logged.
const char* check_skip_text(int skip);

// A checker over the given files with sample_count samples each, without a
// thread or a screen (ui_check_start adds both).
checker_s* checker_create(window_s* w, const std::vector<std::string>& files,
                          int sample_count);
// Stops (stop flag, join) and frees; null is allowed.
void checker_destroy(checker_s* c);

void check_thread_proc(checker_s* c);
void check_file_proc(checker_s* c, int index);

// The checker screen.
void check_paint(void* user);
void check_key_cb(void* user, int key);
