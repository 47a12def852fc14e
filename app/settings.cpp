#include "app/settings.h"

#include <cmath>
#include <cstdio>

#include "platform/cpu_features.h"
#include "platform/sys_linux.h"
#include "plot/plt_cpu.h"

namespace {
// The program's defaults of the settings a run uses are the record's own.
constexpr run_settings_s RUN_DEFAULTS{};
}  // namespace

uint64_t g_account = 0;
bool g_auto_start_nonce = true;
uint32_t g_gpus = 0;
uint64_t g_max_bytes_per_file = 16000000000000ull;
uint64_t g_max_bytes_to_fill = 0;
bool g_ssd_double_buffer = true;
bool g_ssd_scatter = false;
bool g_dont_adjust_gpu_dog = false;
int g_hash_per_dispatch = RUN_DEFAULTS.hash_per_dispatch;
int g_threads_per_group = RUN_DEFAULTS.threads_per_group;
int g_cpu_threads = RUN_DEFAULTS.cpu_threads;
int g_max_gpu_nonces = RUN_DEFAULTS.max_gpu_nonces;
int g_ram_double_buffer = -1;
bool g_disable_opencl = false;
double g_min_ram_gb_per_task = RUN_DEFAULTS.min_ram_gb_per_task;
bool g_experimental_fast_splats = false;
uint64_t g_resume_ram = 0;

char g_start_dir[START_DIR_MAX] = {};
char g_cpu_brand[CPU_BRAND_MAX] = {};
plots_s* g_plots = nullptr;
plotter_s* g_plotter = nullptr;
char* g_gpu_names[GPU_MAX] = {};
int g_gpu_count = 0;
window_s* g_window = nullptr;
double g_finish_time = 0.0;

namespace {

std::string number_text(const char* format, double v) {
  char t[64];
  snprintf(t, sizeof t, format, v);
  return t;
}

}  // namespace

std::string settings_file_size_fault(bool parsed, uint64_t bytes) {
  if (parsed && (bytes == 0 || bytes >= SETTINGS_MIN_FILE_BYTES)) return "";
  return "The maximum file size must be a number of GB from " +
         number_text("%g", SETTINGS_MIN_FILE_BYTES / 1e9) +
         " (the smallest plot file every drive can hold) up, or 0 for no limit.";
}

uint64_t settings_min_ram_bytes() {
  // Automatic buffering may choose two buffers; only "false" rules it out.
  // Hashing on the CPU, the workers' work areas count as well.
  uint64_t buffers = SETTINGS_MIN_BATCH_BYTES * (g_ram_double_buffer == 0 ? 1 : 2);
  return buffers + (g_gpus == 0 ? plot_cpu_work_bytes(plot_cpu_thread_count(g_cpu_threads)) : 0);
}

std::string settings_ram_fault(bool parsed, uint64_t bytes) {
  uint64_t total = 0;
  sys_memory(&total);
  uint64_t least = settings_min_ram_bytes();
  if (parsed && (bytes == 0 || (bytes >= least && (total == 0 || bytes <= total)))) return "";
  return "The RAM to use must be a number of GiB from " + number_text("%g", least / 1073741824.0) +
         " (what one batch needs) to " + number_text("%0.1f", total / 1073741824.0) +
         " (the installed memory), or 0 for automatic.";
}

uint64_t settings_ram_nearest(uint64_t bytes) {
  uint64_t total = 0;
  sys_memory(&total);
  uint64_t least = settings_min_ram_bytes();
  if (bytes == 0) return 0;
  if (bytes < least) return least;
  if (total != 0 && bytes > total) return total;
  return bytes;
}

std::string settings_min_ram_per_task_fault(double gib) {
  if (std::isfinite(gib) && gib > 0 && gib * 1073741824.0 < 18446744073709551616.0) return "";
  return "min_ram_gb_per_task must be a number of GiB greater than 0.";
}

std::string settings_threads_per_group_fault(int threads) {
  if (threads == 0 || (threads >= SETTINGS_MIN_WORK_GROUP && threads <= SETTINGS_MAX_WORK_GROUP)) return "";
  return "threads_per_group must be from " + std::to_string(SETTINGS_MIN_WORK_GROUP) + " to " +
         std::to_string(SETTINGS_MAX_WORK_GROUP) + " (the OpenCL work-group size), or 0 for " +
         std::to_string(SETTINGS_MIN_WORK_GROUP) + ".";
}

std::string settings_cpu_threads_fault(int threads) {
  int n = cpu_count();
  if (threads >= 0 && threads <= n) return "";
  return "cpu_threads must be from 0 (automatic) to " + std::to_string(n) + " (the processors of this machine).";
}

run_settings_s settings_for_run() {
  run_settings_s s;
  s.cpu_threads = g_cpu_threads;
  s.hash_per_dispatch = g_hash_per_dispatch;
  s.threads_per_group = g_threads_per_group;
  s.max_gpu_nonces = g_max_gpu_nonces;
  s.min_ram_gb_per_task = g_min_ram_gb_per_task;
  return s;
}
