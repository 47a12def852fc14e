#include <gtest/gtest.h>

#include "app/settings.h"

// A program that never reads a settings file runs with exactly these values;
// a test process changes them only inside fixtures that restore them.
TEST(settings, initial_values) {
  EXPECT_EQ(g_account, 0u);
  EXPECT_TRUE(g_auto_start_nonce);
  EXPECT_EQ(g_gpus, 0u);
  EXPECT_EQ(g_max_bytes_per_file, 16000000000000ull);
  EXPECT_EQ(g_max_bytes_to_fill, 0u);
  EXPECT_TRUE(g_ssd_double_buffer);
  EXPECT_FALSE(g_ssd_scatter);
  EXPECT_FALSE(g_dont_adjust_gpu_dog);
  EXPECT_EQ(g_hash_per_dispatch, 0);
  EXPECT_EQ(g_threads_per_group, 32);
  EXPECT_EQ(g_cpu_threads, 0);
  EXPECT_EQ(g_max_gpu_nonces, 0);
  EXPECT_EQ(g_ram_double_buffer, -1);
  EXPECT_FALSE(g_disable_opencl);
  EXPECT_EQ(g_min_ram_gb_per_task, 4.0);
  EXPECT_FALSE(g_experimental_fast_splats);
  EXPECT_EQ(g_resume_ram, 0u);
}

TEST(settings, application_objects_start_empty) {
  EXPECT_EQ(g_plots, nullptr);
  EXPECT_EQ(g_plotter, nullptr);
  EXPECT_EQ(g_window, nullptr);
  EXPECT_EQ(g_gpu_count, 0);
  for (char* name : g_gpu_names) EXPECT_EQ(name, nullptr);
  EXPECT_EQ(g_finish_time, 0.0);
  EXPECT_EQ(sizeof g_start_dir, 260u);
  EXPECT_EQ(sizeof g_cpu_brand, 64u);
}
