// Shared helpers of the settings, registry, drive and config.yml tests: a
// temporary folder, plot-named files, a snapshot of every setting, and a
// fresh registry, plotter and drive lists with the user messages recorded.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/drives.h"
#include "app/settings.h"
#include "engine/plots.h"
#include "engine/plotter.h"

namespace appdata_test {

inline std::string make_temp_dir() {
  char templ[] = "/tmp/vg_appdata_XXXXXX";
  const char* dir = mkdtemp(templ);
  EXPECT_NE(dir, nullptr);
  return dir ? dir : "";
}

inline void remove_tree(const std::string& dir) {
  if (dir.empty()) return;
  nftw(dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
       FTW_DEPTH | FTW_PHYS);
}

// A sparse file of the given size: plot names are what the registry reads.
inline void make_file(const std::string& path, off_t bytes = 0) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(ftruncate(fd, bytes), 0);
  close(fd);
}

// A sparse file of the size its plot name claims, so the registry counts it.
inline void make_plot(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  unsigned long long a = 0, s = 0, n = 0;
  ASSERT_EQ(sscanf(name.c_str(), "%llu_%llu_%llu", &a, &s, &n), 3) << name;
  make_file(path, (off_t)(n * 262144));
}

inline std::string read_file(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

inline void write_file(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

// Every setting, so a test can change them freely and leave them as found.
struct settings_snapshot_s {
  uint64_t account = g_account;
  bool auto_start_nonce = g_auto_start_nonce;
  uint32_t gpus = g_gpus;
  uint64_t max_bytes_per_file = g_max_bytes_per_file;
  uint64_t max_bytes_to_fill = g_max_bytes_to_fill;
  bool ssd_double_buffer = g_ssd_double_buffer;
  bool ssd_scatter = g_ssd_scatter;
  bool dont_adjust_gpu_dog = g_dont_adjust_gpu_dog;
  int hash_per_dispatch = g_hash_per_dispatch;
  int threads_per_group = g_threads_per_group;
  int cpu_threads = g_cpu_threads;
  int max_gpu_nonces = g_max_gpu_nonces;
  int ram_double_buffer = g_ram_double_buffer;
  bool disable_opencl = g_disable_opencl;
  double min_ram_gb_per_task = g_min_ram_gb_per_task;
  bool experimental_fast_splats = g_experimental_fast_splats;
  uint64_t resume_ram = g_resume_ram;
  uint64_t start_nonce = g_start_nonce;

  void restore() const {
    g_account = account;
    g_auto_start_nonce = auto_start_nonce;
    g_gpus = gpus;
    g_max_bytes_per_file = max_bytes_per_file;
    g_max_bytes_to_fill = max_bytes_to_fill;
    g_ssd_double_buffer = ssd_double_buffer;
    g_ssd_scatter = ssd_scatter;
    g_dont_adjust_gpu_dog = dont_adjust_gpu_dog;
    g_hash_per_dispatch = hash_per_dispatch;
    g_threads_per_group = threads_per_group;
    g_cpu_threads = cpu_threads;
    g_max_gpu_nonces = max_gpu_nonces;
    g_ram_double_buffer = ram_double_buffer;
    g_disable_opencl = disable_opencl;
    g_min_ram_gb_per_task = min_ram_gb_per_task;
    g_experimental_fast_splats = experimental_fast_splats;
    g_resume_ram = resume_ram;
    g_start_nonce = start_nonce;
  }
};

inline std::vector<std::string>& messages() {
  static std::vector<std::string> list;
  return list;
}

inline void record_message(const char* title, const char* text) {
  messages().push_back(std::string(title) + ": " + text);
}

// One plan of the jobs as (write path, move path or "", start, count).
struct planned_s {
  std::string write, move;
  uint64_t start, count;
  bool operator==(const planned_s& o) const {
    return write == o.write && move == o.move && start == o.start && count == o.count;
  }
};

inline std::vector<planned_s> planned_jobs() {
  std::vector<planned_s> out;
  plotter_for_each_job(g_plotter, [&out](job_s* j) {
    out.push_back({j->write_drive ? j->write_drive->path : "(none)", j->move_drive ? j->move_drive->path : "",
                   j->start_nonce, j->nonces});
    return true;
  });
  return out;
}

inline void PrintTo(const planned_s& p, std::ostream* os) {
  *os << "{" << p.write << " -> " << p.move << " " << p.start << "+" << p.count << "}";
}

// Fresh application objects and lists, torn down again, in a temporary
// working directory that is also the start-up folder.
class app_fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    snprintf(g_start_dir, sizeof g_start_dir, "%s", dir_.c_str());
    g_ssds.clear();
    g_ssds_unusable.clear();
    g_drives.clear();
    g_plots = plots_create();
    g_plotter = plotter_create();
    // A plan of the empty lists: the lines an earlier test's plans logged
    // are not held back as already said.
    drive_plan();
    messages().clear();
    old_message_ = g_app_message;
    g_app_message = record_message;
  }

  void TearDown() override {
    plotter_destroy(g_plotter);
    g_plotter = nullptr;
    plots_destroy(g_plots);
    g_plots = nullptr;
    g_ssds.clear();
    g_ssds_unusable.clear();
    g_drives.clear();
    g_app_message = old_message_;
    g_start_dir[0] = '\0';
    g_plan_restored = false;
    settings_.restore();
    if (chdir(old_cwd_) != 0) ADD_FAILURE() << "chdir back failed";
    remove_tree(dir_);
  }

  std::string sub(const std::string& name) {
    std::string p = dir_ + "/" + name;
    mkdir(p.c_str(), 0755);
    return p;
  }

  // A drive record as drive_add would build it, with chosen numbers.
  static drive_s drive(const std::string& path, uint64_t free_bytes, uint32_t serial = 1, bool ssd = false) {
    drive_s d{};
    snprintf(d.path, sizeof d.path, "%s", path.c_str());
    d.free_bytes = free_bytes;
    d.total_bytes = free_bytes;
    d.serial = serial;
    d.sector_size = 16384;
    d.is_ssd = ssd;
    d.scatter_start = ~0ull;
    return d;
  }

  std::string dir_;
  char old_cwd_[4096] = {};
  settings_snapshot_s settings_;
  void (*old_message_)(const char*, const char*) = nullptr;
};

}  // namespace appdata_test
