// Peak memory of a whole CPU run against its RAM limit: one plot file of
// 2048 nonces written directly, with the limit and the worker count given.
//
//   bench_run_memory [limit_mib [workers [folder]]]   (default 256 7 /var/tmp)
//
// Prints the process's resident size before the run, its peak during the
// run, and what the run added against the limit. Run it once per case: the
// peak of a process never goes down.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "app/settings.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"
#include "platform/sys_tasks.h"

namespace {

// The resident size now, from /proc (ru_maxrss is only the peak).
uint64_t rss_now_kib() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  return 0;
}

uint64_t rss_peak_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (uint64_t)u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t limit_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  int workers = argc > 2 ? std::atoi(argv[2]) : 7;
  std::string folder = argc > 3 ? argv[3] : "/var/tmp";
  char templ[4096];
  snprintf(templ, sizeof templ, "%s/vg_bench_memory_XXXXXX", folder.c_str());
  if (!mkdtemp(templ)) {
    perror("mkdtemp");
    return 1;
  }
  std::string dir = templ;
  if (chdir(dir.c_str()) != 0) perror("chdir");  // log.txt goes there

  drive_s target{};
  snprintf(target.path, sizeof target.path, "%s", dir.c_str());
  snprintf(target.volume_name, sizeof target.volume_name, "bench");
  target.sector_size = sys_sector_size(dir.c_str());
  target.scatter_start = UINT64_MAX;
  plotter_s* p = plotter_create();
  p->settings.cpu_threads = workers;
  p->double_buffer = 0;
  plotter_add_job(p, job_create(&target, nullptr, 1, 0, 2048));
  uint64_t before = rss_now_kib();
  plotter_start(p, 0, 0, 1, limit_mib << 20);
  // The end of the run reaches the plotter through the UI task queue.
  while (!plotter_is_finished(p)) {
    ui_tasks_run();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  uint64_t peak = rss_peak_kib();
  plotter_destroy(p);
  std::string rm = "rm -rf '" + dir + "'";
  if (system(rm.c_str()) != 0) perror("rm");
  printf("limit %llu MiB, %d workers: resident before %.1f MiB, peak %.1f MiB, the run added %.1f MiB (%+.1f MiB "
         "against the limit)\n",
         (unsigned long long)limit_mib, workers, before / 1024.0, peak / 1024.0, (peak - before) / 1024.0,
         (peak - before) / 1024.0 - (double)limit_mib);
  return 0;
}
