#include "app/drives.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <map>
#include <set>
#include <vector>
#include <string>
#include <cstdio>
#include <cstring>
#include <cctype>
#include <cstdlib>

#include "app/settings.h"
#include "engine/plot_file.h"
#include "engine/plots.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "ui/report.h"
#include "ui/window.h"

std::vector<drive_s> g_ssds;
std::vector<drive_s> g_drives;
uint64_t g_start_nonce = 0;
uint64_t g_max_job_bytes = 0;
std::vector<std::string> g_ssds_unusable;

static void app_message_window(const char* title, const char* text) {
  window_message(g_window, title, "%s", text);
}
void (*g_app_message)(const char* title, const char* text) = app_message_window;

static bool app_question_window(const char* title, const char* text) {
  return window_question(g_window, title, "%s", text);
}
bool (*g_app_question)(const char* title, const char* text) = app_question_window;

void app_report(const report_s& r) {
  report_to_user(r, [](const char* title, const char* text) { g_app_message(title, text); });
}
bool g_plan_restored = false;

namespace {

const uint64_t k_min_free_bytes = 134217727;  // a drive needs at least 128 MiB
const uint64_t k_logged_collision_steps = 64;

// What a plan says about the drives (limits, start nonces, collisions): the
// lists are planned again at every click, and a plan repeats every fact
// that still holds. A line is logged when the previous plan did not say it,
// so each fact appears once when it starts to hold (again after it had
// stopped), and once within one plan.
std::set<std::string> g_plan_said;    // by the previous plan
std::set<std::string> g_plan_saying;  // by the plan being made

void plan_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void plan_log(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (g_plan_saying.insert(line).second && g_plan_said.count(line) == 0) sys_log("%s", line);
}

// A limit in the GB its setting and the Fill prompt are given in, as
// precise as typed: 0.07 GB, 2.5 GB, 1000 GB.
std::string limit_text(uint64_t bytes) {
  char t[32];
  snprintf(t, sizeof t, "%g GB", static_cast<double>(bytes) / 1e9);
  return t;
}

// Nonces of one sector-rounding unit of the drive (256 for 16 KiB sectors).
uint64_t rounding_unit(const drive_s& d) { return std::max<uint64_t>(d.sector_size / 64, 1); }

uint64_t round_down(uint64_t n, uint64_t unit) { return n - n % unit; }

// Nonces of the largest plot file the drive's file system holds, in whole
// rounding units; 0 when it sets no limit of its own.
uint64_t file_limit_nonces(const drive_s& d) {
  if (d.max_file_bytes == 0) return 0;
  return round_down(d.max_file_bytes / PLOT_NONCE_BYTES, rounding_unit(d));
}

// Cuts a file size to what the drive's file system holds, saying so.
uint64_t fit_file_system(const drive_s& d, uint64_t f) {
  uint64_t limit = file_limit_nonces(d);
  if (limit == 0 || f <= limit) return f;
  plan_log("Files on %s are cut to %s: its file system (%s) holds files of at most %s\n", d.path,
           format_size(limit * PLOT_NONCE_BYTES, true, ""), d.fs_name, format_size(d.max_file_bytes, true, ""));
  return limit;
}

// Where a folder lives: its file system and its canonical path. A path that
// cannot be resolved (a drive restored while unplugged) stands for itself.
struct place_s {
  uint64_t device = 0;
  std::string real;
  bool resolved = false;
};

place_s place_of(const char* path) {
  place_s p;
  p.resolved = sys_path_identity(path, &p.device, &p.real);
  if (!p.resolved) p.real = path_with_slash(path);
  return p;
}

// The drive of the list that is this folder, under this or another spelling
// ("a", "a/", a symbolic link); null when none is.
const drive_s* same_folder(const std::vector<drive_s>& list, const char* path) {
  place_s p = place_of(path);
  for (const drive_s& d : list) {
    if (strcmp(d.path, path) == 0) return &d;
    place_s q = place_of(d.path);
    if (p.resolved == q.resolved && p.real == q.real) return &d;
  }
  return nullptr;
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
    char text[128];
    snprintf(text, sizeof text, "This folder path is too long (%llu characters; at most %d are supported):",
             static_cast<unsigned long long>(len), static_cast<int>(sizeof(drive_s::path)) - 1);
    report_s r;
    r.title = "Sorry";
    r.what = text;
    r.path = path;
    app_report(r);
    return false;
  }
  return true;
}

// Why a folder cannot take plot files, in words; "" when it can. Free
// space is judged apart, so that a folder that is not there is never taken
// for a full one.
std::string folder_fault(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) return "it does not exist (is its disk connected and mounted?)";
    if (err == ELOOP) return "its path is a loop of symbolic links";
    return "it cannot be reached (" + report_reason(err) + ")";
  }
  if (!S_ISDIR(st.st_mode)) return "it is not a folder";
  if (access(path, W_OK | X_OK) != 0) {
    int err = errno;
    if (err == EROFS) return "its file system is read-only";
    return "it cannot be written to (" + report_reason(err) + ")";
  }
  return "";
}

bool drive_list_has_room(const std::vector<drive_s>& list, const char* path) {
  if (list.size() < DRIVE_LIST_MAX) return true;
  char text[128];
  snprintf(text, sizeof text, "A drive list holds at most %d drives; remove one first. Not added:", DRIVE_LIST_MAX);
  report_s r;
  r.title = "Sorry";
  r.what = text;
  r.path = path;
  app_report(r);
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
  // What the file system can hold is asked of it, not guessed from the
  // folder: FAT's files end at 4 GiB.
  sys_fs_info_s fs;
  if (sys_fs_info(path, &fs)) {
    text_copy(d.fs_name, fs.type.c_str(), sizeof d.fs_name);
    d.max_file_bytes = fs.max_file_bytes;
  }
  if (d.volume_name[0] == '\0') text_copy(d.volume_name, "No name", sizeof d.volume_name);
  if (d.serial == 0) {
    sys_log("Warning: failed to determine serial number of HDD %s\n", path);
    sys_random(sizeof d.serial, &d.serial);
  }
  return d;
}

bool ranges_share(uint64_t a, uint64_t b, uint64_t c, uint64_t n) {
  if (b == 0 || n == 0) return false;
  return a >= c ? a - c < n : c - a < b;
}

uint64_t range_end(uint64_t start, uint64_t count) { return start > ~0ull - count ? ~0ull : start + count; }

// The nonces taken, by the registered plots and by the files planned so far,
// as disjoint stretches (start -> end, the end saturated at 2^64 - 1). Every
// question the plan asks of it is one lookup, so a plan of n files costs
// n log n, not n times the files before it.
struct taken_s {
  std::map<uint64_t, uint64_t> stretches;

  void add(uint64_t start, uint64_t count) {
    if (count == 0) return;
    uint64_t end = range_end(start, count);
    auto it = stretches.upper_bound(start);
    if (it != stretches.begin()) {
      auto prev = std::prev(it);
      if (prev->second >= start) {
        start = prev->first;
        end = std::max(end, prev->second);
        it = stretches.erase(prev);
      }
    }
    while (it != stretches.end() && it->first <= end) {
      end = std::max(end, it->second);
      it = stretches.erase(it);
    }
    stretches[start] = end;
  }
  // The end of the taken stretch that shares a nonce with [start, start +
  // count); 0 when none does. Stretches are disjoint, so only the last one
  // beginning before the range's end can reach into it.
  uint64_t collision_end(uint64_t start, uint64_t count) const {
    if (count == 0) return 0;
    auto it = stretches.lower_bound(range_end(start, count));
    if (it == stretches.begin()) return 0;
    --it;
    return it->second > start ? it->second : 0;
  }
};

taken_s taken_by_plots() {
  taken_s taken;
  if (g_plots)
    for (const auto& folder : g_plots->ranges)
      for (const auto& r : folder.second) taken.add(r.first, r.second);
  return taken;
}

// Moves nonce forward by whole file sizes s until [nonce, nonce + s) misses
// every known plot. A colliding range is cleared in one jump (every step in
// between would collide with it too), so a name claiming a huge range cannot
// stall the plan. False when no such range fits below 2^64.
bool avoid_collisions(uint64_t* nonce, uint64_t s, const taken_s& taken) {
  for (;;) {
    if (*nonce > ~0ull - s) return false;
    uint64_t end = taken.collision_end(*nonce, s);
    if (end == 0) return true;
    uint64_t gap = end - *nonce;
    uint64_t steps = gap / s + (gap % s != 0);
    if (steps <= k_logged_collision_steps) {
      for (uint64_t i = 0; i < steps; i++)
        plan_log("Preventing collision with %llu\n", static_cast<unsigned long long>(*nonce + i * s));
    } else {
      plan_log("Preventing collision with %llu (skipping %llu files)\n",
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
    uint64_t limit = g_max_bytes_to_fill / PLOT_NONCE_BYTES;
    if (n > limit) {
      n = round_down(limit, g);
      plan_log("Limiting drive use to %s max.\n", limit_text(g_max_bytes_to_fill).c_str());
    }
  }
  if (t.fill_limit != 0) {
    uint64_t limit = t.fill_limit / PLOT_NONCE_BYTES;
    if (n > limit) {
      n = round_down(limit, g);
      plan_log("Limiting drive %s to %s.\n", t.path, limit_text(t.fill_limit).c_str());
    }
  }
  return n;
}

void choose_auto_start(const drive_s& t, uint64_t* nonce) {
  uint64_t base = static_cast<uint64_t>(t.serial) << 32;
  uint64_t next = g_plots ? plots_folder_next_nonce(g_plots, t.path) : 0;
  if (next > base) {
    plan_log("Continuing drive %s from nonce %llu\n", t.path, static_cast<unsigned long long>(next));
    *nonce = next;
  } else {
    plan_log("Auto starting drive %s with nonce %llu\n", t.path, static_cast<unsigned long long>(base));
    *nonce = base;
  }
}

// Cuts n nonces from *nonce into files of at most f nonces; returns the
// nonces planned.
uint64_t plan_target(drive_s* t, drive_s* ssd, uint64_t n, uint64_t f, uint64_t* nonce, taken_s* taken) {
  uint64_t done = 0;
  while (done < n) {
    uint64_t s = std::min(n - done, f);
    if (!avoid_collisions(nonce, s, *taken)) {
      plan_log("No free nonce range left for drive %s\n", t->path);
      break;
    }
    drive_s* write = ssd ? ssd : t;
    drive_s* move = ssd ? t : nullptr;
    plotter_add_job(g_plotter, job_create(write, move, g_account, *nonce, s));
    taken->add(*nonce, s);
    g_max_job_bytes = std::max(g_max_job_bytes, plot_file_bytes(s));
    done += s;
    *nonce += s;
  }
  return done;
}

// The file system that holds real (a resolved path) as the kernel counts
// free space: btrfs gives each subvolume its own st_dev and ZFS each
// dataset, yet all of one pool share its space. The mount under which the
// path lies names the pool: its source device for file systems on a block
// device, the pool for ZFS. Anything else (tmpfs, network shares) keeps
// st_dev.
std::string file_system_key(const std::string& real, uint64_t device) {
  std::string type, source, key;
  if (sys_mount_of(real, &type, &source)) {
    if (type == "zfs")
      key = "zfs:" + source.substr(0, source.find('/'));
    else if (source.rfind("/dev/", 0) == 0)
      key = "source:" + source;
  }
  return key.empty() ? "dev:" + std::to_string(device) : key;
}

// Folders on one file system share its free space: the plan books each file
// system once, the least free space any of its folders reported (they were
// read at different times), less the room its staging folders may fill.
struct space_s {
  std::map<std::string, uint64_t> left;  // nonces, by file system key

  static std::string key(const drive_s& d) {
    place_s p = place_of(d.path);
    return p.resolved ? file_system_key(p.real, p.device) : "path:" + p.real;
  }
  void add(const drive_s& d) {
    uint64_t n = nonces_in_bytes(d.free_bytes, 0);
    auto it = left.find(key(d));
    if (it == left.end())
      left[key(d)] = n;
    else
      it->second = std::min(it->second, n);
  }
  void reserve(const drive_s& d, uint64_t nonces) {
    auto it = left.find(key(d));
    if (it != left.end()) it->second -= std::min(it->second, nonces);
  }
};

// The free space of every file system the lists use, before any booking.
space_s space_of_lists() {
  space_s space;
  for (const drive_s& t : g_drives) space.add(t);
  for (const drive_s& ssd : g_ssds) space.add(ssd);
  return space;
}

// Staging capacity of each SSD in nonces: SSD folders on one file system
// split its space, since their files are staged at the same time.
std::vector<uint64_t> staging_capacity(uint64_t max_file) {
  std::map<std::string, int> sharing;
  for (const drive_s& ssd : g_ssds) sharing[space_s::key(ssd)]++;
  std::vector<uint64_t> capacity;
  for (const drive_s& ssd : g_ssds) {
    uint64_t free_bytes = ssd.free_bytes / (uint64_t)sharing[space_s::key(ssd)];
    uint64_t c = nonces_in_bytes(free_bytes >> (g_ssd_double_buffer ? 1 : 0), ssd.sector_size);
    if (max_file != 0 && max_file < c) c = max_file;
    capacity.push_back(round_down(c, rounding_unit(ssd)));
  }
  return capacity;
}

// The files of each folder a plan check looks at, read once per check: one
// folder read answers for every file planned there, where a lookup per file
// would cost the plan a round trip per file on a network mount. Only the
// names of plot files are kept, as numbers, so that a planned file is found
// without writing out its name; a file the folder holds (a restored
// session's) is then looked up itself.
enum name_kind_e { NAME_FINAL, NAME_PLOTTING, NAME_MOVING, NAME_SCATTERING };

struct plot_name_s {
  uint64_t account, start, nonces;
  int kind;
  bool operator<(const plot_name_s& o) const {
    if (start != o.start) return start < o.start;
    if (nonces != o.nonces) return nonces < o.nonces;
    if (account != o.account) return account < o.account;
    return kind < o.kind;
  }
};

const char* name_suffix(int kind) {
  switch (kind) {
    case NAME_PLOTTING: return PLOT_FILE_PLOTTING;
    case NAME_MOVING: return PLOT_FILE_MOVING;
    case NAME_SCATTERING: return PLOT_FILE_SCATTERING;
    default: return "";
  }
}

// A decimal number as the plan writes it (no sign, no leading zero), up to
// the character that ends it; false when there is none.
bool parse_number(const char** at, uint64_t* value) {
  const char* p = *at;
  if (!isdigit((unsigned char)*p) || (p[0] == '0' && isdigit((unsigned char)p[1]))) return false;
  uint64_t v = 0;
  for (; isdigit((unsigned char)*p); p++) {
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (v > (~0ull - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *at = p;
  *value = v;
  return true;
}

bool parse_plot_name(const char* name, plot_name_s* out) {
  const char* p = name;
  if (!parse_number(&p, &out->account) || *p++ != '_' || !parse_number(&p, &out->start) || *p++ != '_' ||
      !parse_number(&p, &out->nonces))
    return false;
  for (int kind : {NAME_FINAL, NAME_PLOTTING, NAME_MOVING, NAME_SCATTERING})
    if (strcmp(p, name_suffix(kind)) == 0) {
      out->kind = kind;
      return true;
    }
  return false;
}

struct folder_names_s {
  std::map<std::string, std::set<plot_name_s>> folders;

  // The file in folder (a drive's path) that the plan would name so, when
  // the folder holds it; "" when it does not.
  std::string find(const char* folder, uint64_t account, uint64_t start, uint64_t nonces, int kind) {
    auto it = folders.find(folder);
    if (it == folders.end()) {
      it = folders.emplace(folder, std::set<plot_name_s>()).first;
      std::set<plot_name_s>& names = it->second;
      sys_list_dir(folder, [&names](const char* entry) {
        const char* name = strrchr(entry, '/');
        plot_name_s n;
        if (parse_plot_name(name ? name + 1 : entry, &n)) names.insert(n);
        return true;
      });
    }
    if (it->second.count({account, start, nonces, kind}) == 0) return "";
    char path[PLOT_PATH_MAX];
    snprintf(path, sizeof path, "%s/%llu_%llu_%llu%s", folder, (unsigned long long)account,
             (unsigned long long)start, (unsigned long long)nonces, name_suffix(kind));
    return sys_exists(path) ? path : "";
  }
  // The job's file on its target (which 1) or its write drive (which 0).
  std::string job_file(const job_s* j, int which, int kind) {
    const drive_s* d = which == 1 && j->move_drive ? j->move_drive : j->write_drive;
    return find(d->path, j->account_id, j->start_nonce, j->nonces, kind);
  }
};

// What a plan check asks of the disks and of the plan's own files: the
// folders' plot files, and the range each target's scatter file would be
// named by (first nonce and nonces of all the target's staged files).
struct plan_files_s {
  folder_names_s names;
  std::map<const drive_s*, std::pair<uint64_t, uint64_t>> scatter;

  plan_files_s() {
    plotter_for_each_job(g_plotter, [this](job_s* o) {
      if (!o->move_drive) return true;
      auto it = scatter.emplace(o->move_drive, std::make_pair(~0ull, 0ull)).first;
      it->second.first = std::min(it->second.first, o->start_nonce);
      it->second.second += o->nonces;
      return true;
    });
  }
  std::string scatter_file(const job_s* j, int kind) {
    const auto& range = scatter[j->move_drive];
    return names.find(j->move_drive->path, j->account_id, range.first, range.second, kind);
  }
};

// Nonces of a file's size that its blocks do not cover yet: all of them
// when the file is not there ("").
uint64_t nonces_missing(const std::string& path, uint64_t nonces) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return nonces;
  uint64_t missing = sys_unallocated_bytes(path.c_str(), plot_file_bytes(nonces));
  return std::min(nonces, (missing + PLOT_NONCE_BYTES - 1) / PLOT_NONCE_BYTES);
}

// Whether the plot a registered folder shows for the job's range is the
// job's own file (a restored session's unfinished, finished or scatter
// file; the registry counts an unfinished file of full size too).
bool own_plot_exists(job_s* j, plan_files_s* files) {
  if (!files->names.job_file(j, 1, NAME_FINAL).empty() || !files->names.job_file(j, 0, NAME_PLOTTING).empty())
    return true;
  if (!j->move_drive || !g_ssd_scatter) return false;
  return !files->scatter_file(j, NAME_FINAL).empty() || !files->scatter_file(j, NAME_SCATTERING).empty();
}

uint64_t target_nonces_needed(job_s* j, plan_files_s* files) {
  if (!files->names.job_file(j, 1, NAME_FINAL).empty()) return 0;
  if (!j->move_drive) return nonces_missing(files->names.job_file(j, 0, NAME_PLOTTING), j->nonces);
  if (g_ssd_scatter) {
    if (!files->scatter_file(j, NAME_FINAL).empty()) return 0;
    return nonces_missing(files->scatter_file(j, NAME_SCATTERING), j->nonces);
  }
  return nonces_missing(files->names.job_file(j, 1, NAME_MOVING), j->nonces);
}

uint64_t staging_nonces_needed(job_s* j, plan_files_s* files) {
  if (!files->names.job_file(j, 0, NAME_FINAL).empty()) return 0;
  return nonces_missing(files->names.job_file(j, 0, NAME_PLOTTING), j->nonces);
}

std::string job_file(job_s* j, int which, const char* suffix = "") {
  char path[PLOT_PATH_MAX];
  job_path(j, sizeof path, path, which);
  return std::string(path) + suffix;
}

void plan_refuse(const std::string& why) {
  plotter_clear_jobs(g_plotter);
  g_max_job_bytes = 0;
  report_s r;
  r.what = "The plan was refused because it would waste disk space: " + why + ".";
  app_report(r);
}

}  // namespace

bool drive_add(int kind, const char* path, int resuming, std::vector<drive_refusal_s>* refusals) {
  std::vector<drive_s>& list = kind == 0 ? g_ssds : g_drives;
  if (!path) return false;
  if (const drive_s* known = same_folder(list, path)) {
    if (strcmp(known->path, path) != 0) sys_log("%s is already in the list as %s\n", path, known->path);
    return false;
  }
  if (!drive_path_acceptable(path) || !drive_list_has_room(list, path)) return false;
  if (kind != 0 && !resuming && g_plots) plots_folder_add(g_plots, path);
  drive_refusal_s refusal{path, resuming ? std::string() : folder_fault(path), false};
  drive_s d = drive_read(kind, path);
  bool roomy = d.free_bytes > k_min_free_bytes && nonces_in_bytes(d.free_bytes / 2, d.sector_size) != 0;
  if (refusal.cause.empty() && d.max_file_bytes != 0 && file_limit_nonces(d) == 0) {
    refusal.cause = std::string("its file system (") + d.fs_name + ") holds files of at most " +
                    format_size(d.max_file_bytes, true, "") + ", less than one plot file of " +
                    format_size(rounding_unit(d) * PLOT_NONCE_BYTES, true, "");
  }
  if (refusal.cause.empty() && !roomy && !resuming) {
    refusal.cause = std::string("not enough free space (") + format_size(d.free_bytes, false, "") +
                    " free; a drive needs at least 128 MiB)";
    refusal.no_space = true;
  }
  if (!refusal.cause.empty()) {
    if (refusals)
      refusals->push_back(refusal);
    else
      drive_refusals_tell({refusal});
    return false;
  }
  list.push_back(std::move(d));
  if (kind == 0)
    g_ssds_unusable.erase(std::remove(g_ssds_unusable.begin(), g_ssds_unusable.end(), std::string(path)),
                          g_ssds_unusable.end());
  drive_plan();
  window_redraw(g_window);
  return true;
}

void drive_refusals_tell(const std::vector<drive_refusal_s>& refusals) {
  if (refusals.empty()) return;
  app_report(drive_refusals_report(refusals));
}

report_s drive_refusals_report(const std::vector<drive_refusal_s>& refusals) {
  report_s r;
  r.title = "Sorry";
  if (refusals.size() == 1) {
    const drive_refusal_s& one = refusals[0];
    // The program's own words stay first; the cause follows.
    r.what = one.no_space ? "There isn't enough free space on this drive:" : "This folder cannot be used:";
    r.path = one.path;
    r.reason = one.cause;
  } else {
    r.what = "These folders cannot be used:";
    for (const drive_refusal_s& one : refusals) r.reason += (r.reason.empty() ? "" : "\n") + one.path + ": " + one.cause;
  }
  return r;
}

void drive_add_folders(int kind, const std::vector<std::string>& paths) {
  std::vector<drive_refusal_s> refusals;
  for (const std::string& path : paths) drive_add(kind, path.c_str(), 0, &refusals);
  drive_refusals_tell(refusals);
}

namespace {

void plan_lists() {
  plotter_clear_jobs(g_plotter);
  g_plan_restored = false;
  uint64_t max_file = g_max_bytes_per_file / PLOT_NONCE_BYTES;
  g_max_job_bytes = 0;
  std::vector<uint64_t> capacity = staging_capacity(max_file);
  if (g_drives.empty()) return;
  space_s space = space_of_lists();
  for (size_t i = 0; i < g_ssds.size(); i++)
    space.reserve(g_ssds[i], capacity[i] << (g_ssd_double_buffer ? 1 : 0));
  taken_s taken = taken_by_plots();
  size_t k = 0;
  uint64_t nonce = g_start_nonce;
  for (drive_s& t : g_drives) {
    uint64_t n = target_nonces(t);
    uint64_t room = space.left[space_s::key(t)];
    if (n > room) {
      n = round_down(room, rounding_unit(t));
      plan_log("Drive %s shares its file system: planning %llu nonces there\n", t.path,
              static_cast<unsigned long long>(n));
    }
    uint64_t f;
    if (!g_ssds.empty())
      f = capacity[k] < n ? capacity[k] : n;
    else
      f = max_file != 0 && max_file < n ? max_file : n;
    f = round_down(f, rounding_unit(t));
    drive_s* ssd = g_ssds.empty() ? nullptr : &g_ssds[k];
    f = fit_file_system(t, f);
    if (ssd) f = round_down(fit_file_system(*ssd, f), rounding_unit(t));
    // Scattered, the target's staged files become one file there.
    if (ssd && g_ssd_scatter && file_limit_nonces(t) != 0 && n > file_limit_nonces(t)) {
      n = file_limit_nonces(t);
      plan_log("Drive %s takes one scatter file, which its file system (%s) holds up to %s\n", t.path, t.fs_name,
               format_size(t.max_file_bytes, true, ""));
    }
    if (g_auto_start_nonce) choose_auto_start(t, &nonce);
    if (n != 0 && f == 0) {
      // A file size cap under one rounding unit, or a staging drive too full
      // for one, leaves nothing to cut this target into.
      plan_log("Skipping drive %s: its plot files would hold no nonces\n", t.path);
    } else if (n != 0) {
      uint64_t done = plan_target(&t, ssd, n, f, &nonce, &taken);
      space.reserve(t, done);
    }
    if (!g_ssds.empty()) k = (k + 1) % g_ssds.size();
  }
}

}  // namespace

void drive_plan() {
  if (!g_plotter) return;
  g_plan_saying.clear();
  plan_lists();
  g_plan_said.swap(g_plan_saying);
  std::string why;
  if (!drive_plan_check(&why)) plan_refuse(why);
}

bool drive_plan_check(std::string* why) {
  std::vector<job_s*> jobs;
  plotter_for_each_job(g_plotter, [&jobs](job_s* j) {
    jobs.push_back(j);
    return true;
  });
  std::sort(jobs.begin(), jobs.end(), [](job_s* a, job_s* b) { return a->start_nonce < b->start_nonce; });
  for (size_t i = 0; i + 1 < jobs.size(); i++)
    if (ranges_share(jobs[i]->start_nonce, jobs[i]->nonces, jobs[i + 1]->start_nonce, jobs[i + 1]->nonces)) {
      *why = "two files share nonces from " + std::to_string(jobs[i + 1]->start_nonce);
      return false;
    }
  taken_s plots = taken_by_plots();
  plan_files_s files;
  for (job_s* j : jobs)
    if (!own_plot_exists(j, &files) && plots.collision_end(j->start_nonce, j->nonces) != 0) {
      *why = "a file would repeat nonces of an existing plot from " + std::to_string(j->start_nonce);
      return false;
    }
  // Booked space per file system: final files on their target, and at most
  // two staged files at a time on a staging drive. A file that is already on
  // the disk (a restored session's) books only the blocks it still lacks.
  space_s space = space_of_lists();
  std::map<std::string, uint64_t> booked;
  std::map<const drive_s*, uint64_t> per_drive, staged;
  for (job_s* j : jobs) {
    const drive_s* target = j->move_drive ? j->move_drive : j->write_drive;
    per_drive[target] += target_nonces_needed(j, &files);
    if (j->move_drive) staged[j->write_drive] = std::max(staged[j->write_drive], staging_nonces_needed(j, &files));
  }
  // A drive's file system is looked up once, not once per file.
  for (const auto& d : per_drive) booked[space_s::key(*d.first)] += d.second;
  for (const auto& s : staged) booked[space_s::key(*s.first)] += s.second << (g_ssd_double_buffer ? 1 : 0);
  for (const auto& b : booked)
    if (b.second > space.left[b.first]) {
      *why = "a file system would be booked for " + std::to_string(b.second) + " nonces with room for " +
             std::to_string(space.left[b.first]);
      return false;
    }
  return true;
}

// Whether two paths name one file (a link or another spelling included).
static bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return strcmp(a, b) == 0;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

drive_s* drive_find(int kind, const char* path) {
  std::vector<drive_s>& list = kind == 0 ? g_ssds : g_drives;
  const drive_s* d = same_folder(list, path);
  return d ? &list[d - list.data()] : nullptr;
}

void drive_discard_session_files(const std::vector<std::string>& files) {
  for (const std::string& f : files) {
    if (unlink(f.c_str()) == 0)
      sys_log("Deleted unfinished file %s\n", f.c_str());
    else if (errno != ENOENT)
      sys_log("Could not delete unfinished file %s: %s\n", f.c_str(), strerror(errno));
  }
  // The deletions are made durable: a discarded session must not come back
  // after a power cut as files that no plan knows.
  for (const std::string& f : files) sys_sync_folder_of(f.c_str());
}

bool drive_plan_may_replace(const char* keep) {
  if (!g_plan_restored || plotter_job_count(g_plotter) == 0 || plotter_is_finished(g_plotter)) return true;
  std::vector<std::string> files;
  uint64_t bytes = 0;
  for (const std::string& f : plotter_unfinished_files(g_plotter, g_ssd_scatter)) {
    if (keep && same_file(f.c_str(), keep)) continue;
    files.push_back(f);
    struct stat st;
    if (stat(f.c_str(), &st) == 0) bytes += (uint64_t)st.st_size;
  }
  std::string text = "Changing the plan discards the unfinished plotting session (" + std::to_string(files.size()) +
                     " file" + (files.size() == 1 ? "" : "s") + ", " + format_size(bytes, false, "") +
                     "). Its unfinished files are deleted:\n";
  const size_t shown = 5;
  for (size_t i = 0; i < files.size() && i < shown; i++) text += "  " + files[i] + "\n";
  if (files.size() > shown) text += "  and " + std::to_string(files.size() - shown) + " more\n";
  text += "\nDiscard the unfinished session and change the plan?";
  if (!g_app_question("Discard unfinished session?", text.c_str())) {
    sys_log("The unfinished session is kept; the plan is unchanged\n");
    return false;
  }
  drive_discard_session_files(files);
  g_plan_restored = false;
  return true;
}

namespace {

std::vector<job_s*> session_jobs() {
  std::vector<job_s*> jobs;
  plotter_for_each_job(g_plotter, [&jobs](job_s* j) {
    jobs.push_back(j);
    return true;
  });
  return jobs;
}

// The drives of a restored session that hold one of its files (unfinished,
// staged, on its way or finished): such a folder is the session's even
// where the session did not record its disk.
std::set<const drive_s*> drives_with_session_files() {
  std::set<const drive_s*> held;
  plan_files_s files;
  for (job_s* j : session_jobs()) {
    if (!files.names.job_file(j, 0, NAME_FINAL).empty() || !files.names.job_file(j, 0, NAME_PLOTTING).empty())
      held.insert(j->write_drive);
    if (j->move_drive &&
        (!files.names.job_file(j, 1, NAME_FINAL).empty() || !files.names.job_file(j, 1, NAME_MOVING).empty() ||
         (g_ssd_scatter &&
          (!files.scatter_file(j, NAME_FINAL).empty() || !files.scatter_file(j, NAME_SCATTERING).empty()))))
      held.insert(j->move_drive);
  }
  return held;
}

}  // namespace

bool drive_session_disks_ready() {
  std::vector<job_s*> gone;
  std::string text;
  // A session stored without its disks (an older config.yml, one edited by
  // hand) cannot tell its disk from the empty mount point an unplugged disk
  // leaves: a folder of it that holds none of its files is not taken for
  // its disk without asking, or a job would be plotted afresh (or moved)
  // onto the system disk.
  std::set<const drive_s*> held;
  if (g_plan_restored) held = drives_with_session_files();
  for (job_s* j : session_jobs()) {
    std::string drive;
    bool present = job_drives_present(j, &drive);
    bool unrecorded = false;
    if (present && g_plan_restored) {
      const std::pair<const drive_s*, const std::string*> drives[] = {{j->write_drive, &j->write_fs},
                                                                        {j->move_drive, &j->move_fs}};
      for (const auto& d : drives)
        if (d.first && d.second->empty() && held.count(d.first) == 0) {
          drive = d.first->path;
          unrecorded = true;
          present = false;
          break;
        }
    }
    if (present) continue;
    gone.push_back(j);
    if (gone.size() <= 5)
      text += "  " + job_file(j, 0) + " on " + drive +
              (unrecorded ? " (no file of the session is in this folder, and the session did not record its disk)"
                          : "") +
              "\n";
  }
  if (!gone.empty()) {
    if (gone.size() > 5) text += "  and " + std::to_string(gone.size() - 5) + " more\n";
    sys_log("The disk of %llu file(s) of the unfinished session is missing:\n%s", (unsigned long long)gone.size(),
            text.c_str());
    std::string question = "The disk of these files of the unfinished plotting session is missing (the folder is "
                           "not on the disk the session wrote to, or holds none of its files), so nothing is written there:\n" +
                           text +
                           "\nDiscard these files from the session and plot the rest?\nChoose No to wait: plug "
                           "the disk in and press Start again.";
    if (!g_app_question("Disk missing", question.c_str())) {
      sys_log("Waiting for the missing disk; plotting not started\n");
      return false;
    }
    for (job_s* j : gone) {
      sys_log("Discarded %s from the session: its disk is missing\n", job_file(j, 0).c_str());
      plotter_remove_job(g_plotter, j);
    }
    if (plotter_job_count(g_plotter) == 0) return false;
  }
  // From the start of a run on, its jobs write only on these file systems.
  plotter_for_each_job(g_plotter, [](job_s* j) {
    if (j->write_fs.empty() && j->write_drive) sys_fs_identity(j->write_drive->path, &j->write_fs);
    if (j->move_fs.empty() && j->move_drive) sys_fs_identity(j->move_drive->path, &j->move_fs);
    return true;
  });
  return true;
}
