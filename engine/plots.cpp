#include "engine/plots.h"

#include <sys/stat.h>

#include <algorithm>

#include "engine/plot_file.h"
#include "platform/sys_linux.h"
#include "platform/util.h"

namespace {

// A plot-named entry counts only as a regular file of exactly its nonces'
// bytes: a folder, a cut copy or a name claiming more than a file can hold
// would otherwise put ranges into the registry that no plot occupies.
bool plot_file_matches(const char* entry, uint64_t nonces) {
  struct stat st;
  if (stat(entry, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (nonces == 0 || nonces > UINT64_MAX / PLOT_NONCE_BYTES) return false;
  return (uint64_t)st.st_size == plot_file_bytes(nonces);
}

std::vector<std::pair<uint64_t, uint64_t>> list_plot_ranges(const std::string& key) {
  std::vector<std::pair<uint64_t, uint64_t>> found;
  sys_list_dir(key.c_str(), [&found](const char* entry) {
    uint64_t account = 0, start = 0, nonces = 0, stagger = 0;
    if (!plot_name_parse(entry, &account, &start, &nonces, &stagger)) return true;
    if (plot_file_matches(entry, nonces))
      found.emplace_back(start, nonces);
    else
      sys_log("Ignoring %s: its size does not match its nonce count\n", entry);
    return true;
  });
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return found;
}

// Whether [a, a + b) and [c, c + n) share a nonce, without forming the ends:
// a plot name may claim a range that runs past 2^64.
bool ranges_share(uint64_t a, uint64_t b, uint64_t c, uint64_t n) {
  if (b == 0 || n == 0) return false;
  return a >= c ? a - c < n : c - a < b;
}

}  // namespace

plots_s* plots_create() { return new plots_s(); }

void plots_destroy(plots_s* p) { delete p; }

void plots_folder_add(plots_s* p, const char* path) {
  std::string key = path_with_slash(path);
  if (!p->folders.insert(key).second) return;
  p->ranges[key] = list_plot_ranges(key);
}

void plots_for_each_folder(plots_s* p, std::function<bool(const char*)> visit) {
  for (const std::string& key : p->folders)
    if (!visit(key.c_str())) return;
}

uint64_t plots_folder_next_nonce(plots_s* p, const char* path) {
  std::string key = path_with_slash(path);
  if (!p->folders.count(key)) plots_folder_add(p, path);
  auto it = p->ranges.find(key);
  if (it == p->ranges.end() || it->second.empty()) return 0;
  const auto& last = it->second.back();
  return last.first + last.second;
}

bool plots_range_overlaps(plots_s* p, uint64_t start, uint64_t count) {
  for (const std::string& key : p->folders) {
    auto it = p->ranges.find(key);
    if (it == p->ranges.end()) continue;
    for (const auto& r : it->second)
      if (ranges_share(start, count, r.first, r.second)) return true;
  }
  return false;
}

int plots_folder_count(plots_s* p) { return static_cast<int>(p->folders.size()); }

uint64_t plots_folder_bytes(plots_s* p, const char* key, int* files) {
  auto it = p->ranges.find(key);
  if (it == p->ranges.end()) return 0;
  if (files) *files = 0;
  uint64_t bytes = 0;
  for (const auto& r : it->second) {
    bytes += plot_file_bytes(r.second);
    if (files) (*files)++;
  }
  return bytes;
}
