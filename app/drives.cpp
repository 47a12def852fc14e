#include "app/drives.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "engine/plots.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "ui/window.h"

std::vector<drive_s> g_ssds;
std::vector<drive_s> g_drives;
uint64_t g_start_nonce = 0;
uint64_t g_max_job_bytes = 0;

static void app_message_window(const char* title, const char* text) {
  window_message(g_window, title, "%s", text);
}
void (*g_app_message)(const char* title, const char* text) = app_message_window;

namespace {

const uint64_t k_min_free_bytes = 134217727;  // a drive needs at least 128 MiB
const int k_nonce_shift = 18;                 // 262144 bytes per nonce
const uint64_t k_logged_collision_steps = 64;

// Nonces of one sector-rounding unit of the drive (256 for 16 KiB sectors).
uint64_t rounding_unit(const drive_s& d) { return std::max<uint64_t>(d.sector_size / 64, 1); }

uint64_t round_down(uint64_t n, uint64_t unit) { return n - n % unit; }

bool has_path(const std::vector<drive_s>& list, const char* path) {
  for (const drive_s& d : list)
    if (strcmp(d.path, path) == 0) return true;
  return false;
}

// Paths the drive record cannot hold, and lists the screen cannot show, are
// refused outright rather than cut or overflowed.
bool drive_path_acceptable(const char* path) {
  size_t len = strlen(path);
  if (len == 0) {
    sys_log("Ignoring a drive with an empty path\n");
    return false;
  }
  if (len >= sizeof(drive_s::path)) {
    sys_log("Drive path too long (%llu bytes): %s\n", static_cast<unsigned long long>(len), path);
    char text[512];
    snprintf(text, sizeof text, "This folder path is too long (%llu characters; at most %d are supported).",
             static_cast<unsigned long long>(len), static_cast<int>(sizeof(drive_s::path)) - 1);
    g_app_message("Sorry", text);
    return false;
  }
  return true;
}

bool drive_list_has_room(const std::vector<drive_s>& list, const char* path) {
  if (list.size() < DRIVE_LIST_MAX) return true;
  sys_log("Drive list full (%d drives), not adding %s\n", DRIVE_LIST_MAX, path);
  char text[128];
  snprintf(text, sizeof text, "A drive list holds at most %d drives; remove one first.", DRIVE_LIST_MAX);
  g_app_message("Sorry", text);
  return false;
}

drive_s drive_read(int kind, const char* path) {
  drive_s d{};
  text_copy(d.path, path, sizeof d.path);
  d.is_ssd = kind == 0;
  d.scatter_start = ~0ull;
  d.free_bytes = sys_free_space(path, &d.total_bytes);
  sys_volume_info(path, sizeof d.volume_name, d.volume_name, d.fs_name, &d.serial);
  d.sector_size = sys_sector_size(path);
  if (d.volume_name[0] == '\0') text_copy(d.volume_name, "No name", sizeof d.volume_name);
  if (d.serial == 0) {
    sys_log("Warning: failed to determine serial number of HDD %s\n", path);
    sys_random(sizeof d.serial, &d.serial);
  }
  return d;
}

// The end of the furthest-reaching registered range that shares a nonce with
// [start, start + count), saturated at 2^64 - 1; 0 when none does.
uint64_t collision_end(uint64_t start, uint64_t count) {
  uint64_t end = 0;
  if (!g_plots) return 0;
  for (const auto& folder : g_plots->ranges)
    for (const auto& r : folder.second) {
      if (r.second == 0 || count == 0) continue;
      bool shared = start >= r.first ? start - r.first < r.second : r.first - start < count;
      if (!shared) continue;
      uint64_t r_end = r.first > ~0ull - r.second ? ~0ull : r.first + r.second;
      end = std::max(end, r_end);
    }
  return end;
}

// Moves nonce forward by whole file sizes s until [nonce, nonce + s) misses
// every known plot. A colliding range is cleared in one jump (every step in
// between would collide with it too), so a name claiming a huge range cannot
// stall the plan. False when no such range fits below 2^64.
bool avoid_collisions(uint64_t* nonce, uint64_t s) {
  for (;;) {
    if (*nonce > ~0ull - s) return false;
    uint64_t end = collision_end(*nonce, s);
    if (end == 0) return true;
    uint64_t gap = end - *nonce;
    uint64_t steps = gap / s + (gap % s != 0);
    if (steps <= k_logged_collision_steps) {
      for (uint64_t i = 0; i < steps; i++)
        sys_log("Preventing collision with %llu\n", static_cast<unsigned long long>(*nonce + i * s));
    } else {
      sys_log("Preventing collision with %llu (skipping %llu files)\n",
              static_cast<unsigned long long>(*nonce), static_cast<unsigned long long>(steps));
    }
    if (steps > (~0ull - *nonce) / s) return false;
    *nonce += steps * s;
  }
}

// Nonces to plan on target t, after the global and the drive's fill limits.
uint64_t target_nonces(const drive_s& t) {
  uint64_t g = rounding_unit(t);
  uint64_t n = nonces_in_bytes(t.free_bytes, 0);
  if (g_max_bytes_to_fill != 0) {
    uint64_t limit = g_max_bytes_to_fill >> k_nonce_shift;
    if (n > limit) {
      n = round_down(limit, g);
      sys_log("Limiting drive use to %llu GB max.\n",
              static_cast<unsigned long long>(g_max_bytes_to_fill / 1000000000));
    }
  }
  if (t.fill_limit != 0) {
    uint64_t limit = t.fill_limit >> k_nonce_shift;
    if (n > limit) {
      n = round_down(limit, g);
      sys_log("Limiting drive %s to %0.1f GB.\n", t.path,
              static_cast<double>(t.fill_limit) / 1000 / 1000 / 1000);
    }
  }
  return n;
}

void choose_auto_start(const drive_s& t, uint64_t* nonce) {
  uint64_t base = static_cast<uint64_t>(t.serial) << 32;
  uint64_t next = g_plots ? plots_folder_next_nonce(g_plots, t.path) : 0;
  if (next > base) {
    sys_log("Continuing drive %s from nonce %llu\n", t.path, static_cast<unsigned long long>(next));
    *nonce = next;
  } else {
    sys_log("Auto starting drive %s with nonce %llu\n", t.path, static_cast<unsigned long long>(base));
    *nonce = base;
  }
}

// Cuts n nonces from *nonce into files of at most f nonces.
void plan_target(drive_s* t, drive_s* ssd, uint64_t n, uint64_t f, uint64_t* nonce) {
  uint64_t done = 0;
  while (done < n) {
    uint64_t s = std::min(n - done, f);
    if (!avoid_collisions(nonce, s)) {
      sys_log("No free nonce range left for drive %s\n", t->path);
      return;
    }
    drive_s* write = ssd ? ssd : t;
    drive_s* move = ssd ? t : nullptr;
    plotter_add_job(g_plotter, job_create(write, move, g_account, *nonce, s));
    g_max_job_bytes = std::max(g_max_job_bytes, s << k_nonce_shift);
    done += s;
    *nonce += s;
  }
}

}  // namespace

void drive_add(int kind, const char* path, int resuming) {
  std::vector<drive_s>& list = kind == 0 ? g_ssds : g_drives;
  if (!path || has_path(list, path)) return;
  if (!drive_path_acceptable(path) || !drive_list_has_room(list, path)) return;
  if (kind != 0 && !resuming && g_plots) plots_folder_add(g_plots, path);
  drive_s d = drive_read(kind, path);
  bool roomy = d.free_bytes > k_min_free_bytes && nonces_in_bytes(d.free_bytes / 2, d.sector_size) != 0;
  if (!roomy && !resuming) {
    g_app_message("Sorry", "There isn't enough free space on this drive.");
    return;
  }
  list.push_back(std::move(d));
  drive_plan();
  window_redraw(g_window);
}

void drive_plan() {
  if (!g_plotter) return;
  plotter_clear_jobs(g_plotter);
  uint64_t max_file = g_max_bytes_per_file >> k_nonce_shift;
  g_max_job_bytes = 0;
  std::vector<uint64_t> capacity;
  for (const drive_s& ssd : g_ssds) {
    uint64_t c = nonces_in_bytes(ssd.free_bytes >> (g_ssd_double_buffer ? 1 : 0), ssd.sector_size);
    if (max_file != 0 && max_file < c) c = max_file;
    capacity.push_back(round_down(c, rounding_unit(ssd)));
  }
  if (g_drives.empty()) return;
  size_t k = 0;
  uint64_t nonce = g_start_nonce;
  for (drive_s& t : g_drives) {
    uint64_t n = target_nonces(t);
    uint64_t f;
    if (!g_ssds.empty())
      f = capacity[k] < n ? capacity[k] : n;
    else
      f = max_file != 0 && max_file < n ? max_file : n;
    f = round_down(f, rounding_unit(t));
    if (g_auto_start_nonce) choose_auto_start(t, &nonce);
    if (n != 0 && f == 0) {
      // A file size cap under one rounding unit, or a staging drive too full
      // for one, leaves nothing to cut this target into.
      sys_log("Skipping drive %s: its plot files would hold no nonces\n", t.path);
    } else if (n != 0) {
      plan_target(&t, g_ssds.empty() ? nullptr : &g_ssds[k], n, f, &nonce);
    }
    if (!g_ssds.empty()) k = (k + 1) % g_ssds.size();
  }
}
