// The records of a running plot check, shared by the check thread, its
// workers and the checker screen.
//
// The screen reads every flag while the threads write them, without a lock:
// each is an atomic byte, and no vector changes size while the checker lives.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "ui/widgets.h"

struct window_s;

// One sample (a nonce and a scoop) of one file. A read that fails is shown as
// compared and not equal while read_done stays 0.
struct check_sample_s {
    std::atomic<uint8_t> read_issued{0};
    std::atomic<uint8_t> read_done{0};       // guards the read scoop
    std::atomic<uint8_t> computing{0};       // one-nonce path only
    std::atomic<uint8_t> expected_ready{0};  // guards the expected scoop
    std::atomic<uint8_t> equal{0};           // valid once compared is set
    std::atomic<uint8_t> compared{0};
};

// One file to check.
struct check_entry_s {
    std::string path;
    std::atomic<bool> all_correct{false};
    std::atomic<bool> skipped{false};
    // The check of this file has ended (skipped or compared); set only when
    // the checker was not stopped, so the screen knows the row can no
    // longer change.
    std::atomic<bool> finished{false};
    std::vector<check_sample_s> status;  // sample_count long
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

// Draws the sample positions of one file with rand (two draws per sample):
// sample 0 is scoop 0 of the first nonce, the last is scoop 4095 of the last
// nonce, the others sweep the scoop bands upward at random nonces.
void check_choose_samples(int sample_count, uint64_t start, uint64_t nonces,
                          uint64_t* nonce_out, uint32_t* scoop_out);

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
