// The settings a plotting run uses. The application copies them from its
// settings when the run starts and hands the copy to the plotter; the plan,
// the GPU set and the CPU workers read only that copy, so nothing the
// configuration screen changes reaches a run under way. The initial values
// here are the program's defaults.
#pragma once

struct run_settings_s {
  int cpu_threads = 0;               // CPU workers; 0 = processors minus one
  int hash_per_dispatch = 0;         // hash_down rounds per launch; 0 = the GPU set's own value
  int threads_per_group = 32;        // OpenCL work-group size; 0 = 32
  int max_gpu_nonces = 0;            // cap per GPU batch; 0 = no cap
  double min_ram_gb_per_task = 4.0;  // GiB (2^30 bytes) per task
};
