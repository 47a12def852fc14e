// Shared pieces of the engine tests: drives in direct-I/O temporary folders,
// a recorder for the engine's dialogs, file readers and content checks.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/plotter.h"
#include "plot/plt_cpu.h"
#include "platform/sys_linux.h"
#include "plot/nonce.h"
#include "tests/support/temp_dir.h"

const uint64_t NONCE = 262144;
const uint64_t SECTOR = 16384;

inline std::unique_ptr<drive_s> make_drive(const std::string& path, bool ssd = false) {
  std::unique_ptr<drive_s> d(new drive_s{});
  snprintf(d->path, sizeof d->path, "%s", path.c_str());
  snprintf(d->volume_name, sizeof d->volume_name, "No name");
  d->sector_size = SECTOR;
  d->is_ssd = ssd;
  d->scatter_start = UINT64_MAX;
  mkdir(path.c_str(), 0755);
  return d;
}

// What the engine asked or told the user, and whether it wanted to end the
// process; questions are answered with `answer`.
struct dialog_log_s {
  std::mutex mutex;
  std::vector<std::string> lines;  // "title|text" and "exit"
  bool answer = true;

  void install() {
    plotter_dialogs_s d;
    d.question = [this](const char* t, const char* x) {
      add(std::string("Q:") + t + "|" + x);
      return answer;
    };
    d.message = [this](const char* t, const char* x) { add(std::string("M:") + t + "|" + x); };
    d.exit_error = [this]() { add("exit"); };
    plotter_set_dialogs(d);
  }
  void add(const std::string& s) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(s);
  }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }
  ~dialog_log_s() { plotter_set_dialogs(plotter_dialogs_s()); }
};

inline bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline uint64_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

inline std::vector<uint8_t> read_bytes(const std::string& path, uint64_t offset, uint64_t length) {
  std::vector<uint8_t> out(length);
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return {};
  ssize_t r = pread(fd, out.data(), length, (off_t)offset);
  close(fd);
  if (r != (ssize_t)length) return {};
  return out;
}

inline void write_bytes(const std::string& path, uint64_t offset, const void* data, uint64_t length) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, data, length, (off_t)offset), (ssize_t)length);
  close(fd);
}

// The resume marker value in the last sector, or UINT64_MAX when the sector
// is not a marker (some non-zero byte before the value).
inline uint64_t read_marker(const std::string& path, uint64_t nonces) {
  std::vector<uint8_t> s = read_bytes(path, nonces * NONCE - SECTOR, SECTOR);
  if (s.empty()) return UINT64_MAX;
  for (uint64_t i = 0; i < SECTOR - 8; i++)
    if (s[i]) return UINT64_MAX;
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v |= (uint64_t)s[SECTOR - 8 + i] << (8 * i);
  return v;
}

inline std::vector<uint8_t> marker_sector(uint64_t value) {
  std::vector<uint8_t> s(SECTOR, 0);
  for (int i = 0; i < 8; i++) s[SECTOR - 8 + i] = (uint8_t)(value >> (8 * i));
  return s;
}

// Every scoop of plot nonce start + k (for each k of ks) where the optimized
// layout of a file of n nonces starting at start puts it.
inline void expect_plot_nonces(const std::string& path, uint64_t account, uint64_t start, uint64_t n,
                               const std::vector<uint64_t>& ks) {
  std::vector<uint8_t> nonce(NONCE);
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << path;
  for (uint64_t k : ks) {
    plot_nonce(account, start + k, nonce.data(), true);
    uint8_t scoop[64];
    int bad = 0;
    for (uint64_t s = 0; s < 4096; s++) {
      ASSERT_EQ(pread(fd, scoop, 64, (off_t)((s * n + k) * 64)), 64);
      if (memcmp(scoop, nonce.data() + s * 64, 64) != 0) bad++;
    }
    EXPECT_EQ(bad, 0) << path << " nonce index " << k;
  }
  close(fd);
}

template <class F>
bool wait_until(F ready, double seconds = 120) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// How far a run has got: the counters a screen shows, summed. It grows while
// the run works, whatever the machine's speed.
inline uint64_t run_progress(plotter_s* p) {
  plotter_snapshot_s s;
  plotter_snapshot(p, &s);
  uint64_t sum = 0;
  for (const job_snapshot_s& j : s.jobs)
    sum += j.nonces_done + j.compute_progress + j.bytes_written + j.bytes_moved + j.write_progress + (uint64_t)j.state;
  return sum;
}

// Waits for ready as long as the run moves on: it gives up only when the
// run's progress has stood still for stall seconds. A slow or busy machine
// (a sanitizer build under load) never fails a test; a hang still does.
template <class F>
bool wait_for_run(plotter_s* p, F ready, double stall = 300) {
  using clock = std::chrono::steady_clock;
  uint64_t last = run_progress(p);
  auto still_since = clock::now();
  while (!ready()) {
    uint64_t now = run_progress(p);
    if (now != last) {
      last = now;
      still_since = clock::now();
    } else if (clock::now() - still_since > std::chrono::duration<double>(stall)) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A RAM limit whose batch buffers get buffer_bytes: the CPU workers' work
// areas (for the run's cpu_threads setting) come out of the limit first.
inline uint64_t ram_for_buffers(uint64_t buffer_bytes, int cpu_threads = 0) {
  return buffer_bytes + plot_cpu_work_bytes(plot_cpu_thread_count(cpu_threads));
}

// Runs UI tasks on this thread until the end of the run has been delivered
// to it (false when the run stood still for stall seconds).
inline bool run_until_finished(plotter_s* p, double stall = 300) {
  return wait_for_run(
      p,
      [p] {
        ui_tasks_run();
        return p->finished;
      },
      stall);
}
