// The application's settings and its process-wide objects.
//
// Every setting is a plain global with a fixed initial value, so any code
// that reads one works before (or without) a settings file. config.yml is
// loaded once at start-up (prefs_load) and written by prefs_save; the
// configuration screen changes a few of them on the UI thread. A run gets
// what it uses of them as a copy taken when it starts (settings_for_run).
#pragma once

#include <cstdint>
#include <string>

#include "engine/run_settings.h"

struct plots_s;
struct plotter_s;
struct window_s;

// Settings (initial values in settings.cpp).
extern uint64_t g_account;               // 0 = no account yet
extern bool g_auto_start_nonce;          // choose each target's start nonce
extern uint32_t g_gpus;                  // bit n selects GPU n; 0 = CPU
extern uint64_t g_max_bytes_per_file;    // bytes; file key counts GB of 10^9
extern uint64_t g_max_bytes_to_fill;     // bytes per target drive; 0 = whole
extern bool g_ssd_double_buffer;         // staging write may overlap move out
extern bool g_ssd_scatter;               // scatter staged files per target
extern bool g_dont_adjust_gpu_dog;       // never offer a longer GPU time-out
extern int g_hash_per_dispatch;          // 0 = the GPU context's own value
extern int g_threads_per_group;          // OpenCL work-group size; 0 = 32
extern int g_cpu_threads;                // 0 = processors minus one
extern int g_max_gpu_nonces;             // cap per GPU batch; 0 = no cap
extern int g_ram_double_buffer;          // -1 automatic, 0 off, 1 on
extern bool g_disable_opencl;            // OpenCL is not started
extern double g_min_ram_gb_per_task;     // GiB (2^30 bytes) per task
extern bool g_experimental_fast_splats;  // only kept in the settings file
extern uint64_t g_resume_ram;            // bytes of RAM to use; 0 = automatic

// Application objects, created and filled by start-up.
enum { START_DIR_MAX = 260, CPU_BRAND_MAX = 64, GPU_NAME_MAX = 64, GPU_MAX = 8 };

extern char g_start_dir[START_DIR_MAX];  // working directory at start-up
extern char g_cpu_brand[CPU_BRAND_MAX];  // processor brand string
extern plots_s* g_plots;                 // the plots registry
extern plotter_s* g_plotter;             // the plotter
extern char* g_gpu_names[GPU_MAX];       // 64-byte buffers, only with OpenCL
extern int g_gpu_count;                  // GPUs listed (0 without OpenCL)
extern window_s* g_window;               // the one window
extern double g_finish_time;             // seconds: the finished run's length


// Ranges of the settings that a run cannot use outside them. Each returns
// "" for a value in range, else a sentence for the user that names the
// range; typed and loaded values are checked alike, and a refused value is
// never stored. parsed is false for text that is no number at all.
enum : uint64_t {
  // The smallest plot file every drive can hold: one rounding unit of a
  // 16 KiB sector.
  SETTINGS_MIN_FILE_BYTES = 256ull * 262144,
  // One batch of that many nonces is the least RAM a run can plot with.
  SETTINGS_MIN_BATCH_BYTES = 256ull * 262144,
};
// The work-group sizes a GPU run launches: the GPU code's group multiple up
// to the largest group OpenCL GPUs accept. A size over a card's kernels'
// limit runs clamped to it.
enum : int { SETTINGS_MIN_WORK_GROUP = 32, SETTINGS_MAX_WORK_GROUP = 1024 };
std::string settings_file_size_fault(bool parsed, uint64_t bytes);
std::string settings_ram_fault(bool parsed, uint64_t bytes);
// The amount in range nearest to bytes (0 stays automatic).
uint64_t settings_ram_nearest(uint64_t bytes);
std::string settings_min_ram_per_task_fault(double gib);
std::string settings_cpu_threads_fault(int threads);
std::string settings_threads_per_group_fault(int threads);
// The RAM one batch needs with the buffering the settings allow.
uint64_t settings_min_ram_bytes();

// The settings a run uses, as they stand now.
run_settings_s settings_for_run();
