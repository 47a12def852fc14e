// The time of one replanning (drive_plan, run at every click that changes
// the plan) over tens of thousands of files: two 20 TB targets cut into
// files of 1 GB, 100 MB and 10 MB, each beside a folder of plot files the
// registry knows. The drives' free space is set, not read, so any folder
// will do.
//
//   bench_replan 2>/dev/null   (the plan's log lines go to stderr)
//
// Per file the time should stay flat as the file count grows tenfold.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/drives.h"
#include "app/settings.h"
#include "engine/plots.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "platform/util.h"

namespace {

const uint64_t TB20 = 20000000000000ull;

void quiet(const char*, const char*) {}

drive_s target(const std::string& path) {
  drive_s d{};
  text_copy(d.path, path.c_str(), sizeof d.path);
  d.free_bytes = TB20;
  d.total_bytes = TB20;
  d.sector_size = 4096;
  d.serial = 0x1234;
  d.scatter_start = ~0ull;
  return d;
}

void BM_replan(benchmark::State& state) {
  char templ[] = "/tmp/vg_bench_replan_XXXXXX";
  std::string root = mkdtemp(templ);
  std::string a = root + "/a", b = root + "/b";
  mkdir(a.c_str(), 0755);
  mkdir(b.c_str(), 0755);
  // The log (a line per collision avoided) goes to the temporary folder.
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
  if (chdir(root.c_str()) != 0) perror("chdir");
  // 200 plot files of other runs, kept by the registry, in the way of the
  // second target's nonces.
  std::string old = root + "/old";
  mkdir(old.c_str(), 0755);
  for (int i = 0; i < 200; i++) {
    std::string name = old + "/1_" + std::to_string(200000000000ull + i * 8192ull) + "_4096";
    if (FILE* f = fopen(name.c_str(), "w")) fclose(f);
  }
  g_app_message = quiet;
  g_plotter = plotter_create();
  g_plots = plots_create();
  plots_folder_add(g_plots, old.c_str());
  g_account = 1;
  g_auto_start_nonce = false;
  g_start_nonce = 199990000000ull;
  g_max_bytes_per_file = (uint64_t)state.range(0);
  g_drives = {target(a), target(b)};
  for (auto _ : state) drive_plan();
  state.counters["files"] = (double)plotter_job_count(g_plotter);
  plotter_clear_jobs(g_plotter);
  g_drives.clear();
  plotter_destroy(g_plotter);
  plots_destroy(g_plots);
  g_plotter = nullptr;
  g_plots = nullptr;
  if (cwd[0] && chdir(cwd) != 0) perror("chdir");
  std::string rm = "rm -rf '" + root + "'";
  if (system(rm.c_str()) != 0) perror("rm");
}

}  // namespace

BENCHMARK(BM_replan)->Arg(10000000000ull)->Arg(1000000000ull)->Arg(100000000ull)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
