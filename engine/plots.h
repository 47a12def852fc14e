// The registry of remembered plot folders and the nonce ranges of the plot
// files found in them. A folder is listed once, when it is first added, so
// the registry knows what was on disk then; later questions are answered from
// memory. UI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct plots_s {
  // Folder keys: the path with "/" appended unless it already ends in "/".
  std::set<std::string> folders;
  // Per folder key: (start, count) of every plot file found, sorted by start.
  std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> ranges;
};

plots_s* plots_create();
void plots_destroy(plots_s* p);  // null allowed

// Registers the folder and lists its plot files, unless it is known already.
// A folder that cannot be listed is registered with no ranges.
void plots_folder_add(plots_s* p, const char* path);

// Calls visit with every folder key in byte order until it returns false.
void plots_for_each_folder(plots_s* p, std::function<bool(const char*)> visit);

// The nonce after the range with the highest start in the folder (adding the
// folder first when unknown); 0 when it holds no plot.
uint64_t plots_folder_next_nonce(plots_s* p, const char* path);

// True when start .. start + count - 1 shares a nonce with any known range.
bool plots_range_overlaps(plots_s* p, uint64_t start, uint64_t count);

int plots_folder_count(plots_s* p);

// Bytes of the plots registered under exactly this key (no "/" added), with
// their number in files (may be null); 0 and files untouched for an unknown
// key.
uint64_t plots_folder_bytes(plots_s* p, const char* key, int* files);
