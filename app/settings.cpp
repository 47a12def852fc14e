#include "app/settings.h"

uint64_t g_account = 0;
bool g_auto_start_nonce = true;
uint32_t g_gpus = 0;
uint64_t g_max_bytes_per_file = 16000000000000ull;
uint64_t g_max_bytes_to_fill = 0;
bool g_ssd_double_buffer = true;
bool g_ssd_scatter = false;
bool g_dont_adjust_gpu_dog = false;
int g_hash_per_dispatch = 0;
int g_threads_per_group = 32;
int g_cpu_threads = 0;
int g_max_gpu_nonces = 0;
int g_ram_double_buffer = -1;
bool g_disable_opencl = false;
double g_min_ram_gb_per_task = 4.0;
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
