#include "app/prefs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <yaml-cpp/yaml.h>

#include "app/address.h"
#include "app/drives.h"
#include "app/settings.h"
#include "engine/plots.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"

namespace {

const char k_file[] = "config.yml";
// The last line of every file this program writes, announced in its header:
// a file that announces it but lacks it was cut short (a crash of an older
// writer, a copy that stopped, a full disk), however well its YAML parses.
const char k_end_line[] = "# End of config.yml";
const std::string k_end_announce = std::string("A complete file ends with the line \"") + k_end_line + "\".";
// Names a kept file gets beside config.yml: one that could not be loaded,
// and a copy of one whose data was loaded only in part.
const char k_unreadable_suffix[] = ".unreadable";
const char k_damaged_suffix[] = ".damaged";

// Set when a file that failed to load could not be kept: the session then
// never writes config.yml, so the user's only copy stays where it is.
bool g_save_blocked = false;

const double k_gb = 1000.0;  // applied three times: GB of 10^9 bytes

double bytes_to_gb(uint64_t bytes) { return static_cast<double>(bytes) / k_gb / k_gb / k_gb; }

void emit_path_seq(YAML::Emitter& out, const std::vector<drive_s>& list) {
  out << YAML::BeginSeq;
  for (const drive_s& d : list) out << std::string(d.path);
  out << YAML::EndSeq;
}

void emit_resume(YAML::Emitter& out) {
  out << YAML::Newline << YAML::Newline << YAML::Newline;
  out << YAML::Comment("Unfinished plotting session resume data");
  out << YAML::Key << "resume_ram" << YAML::Value << g_resume_ram;
  if (!g_ssds.empty()) {
    out << YAML::Key << "resume_ssds";
    emit_path_seq(out, g_ssds);
  }
  if (!g_drives.empty()) {
    out << YAML::Key << "resume_drives";
    emit_path_seq(out, g_drives);
  }
  out << YAML::Key << "resume_plots" << YAML::BeginSeq;
  plotter_for_each_job(g_plotter, [&out](job_s* job) {
    if (job->file_refused.load()) return true;
    out << YAML::BeginMap;
    out << YAML::Key << "account" << YAML::Value << job->account_id;
    out << YAML::Key << "start" << YAML::Value << job->start_nonce;
    out << YAML::Key << "count" << YAML::Value << job->nonces;
    out << YAML::Key << "write" << YAML::Value << std::string(job->write_drive ? job->write_drive->path : "");
    if (job->move_drive) out << YAML::Key << "move" << YAML::Value << std::string(job->move_drive->path);
    // The file systems the session wrote on: a later start writes nowhere
    // else (an unmounted disk leaves an empty folder on the system disk).
    if (!job->write_fs.empty()) out << YAML::Key << "write_fs" << YAML::Value << job->write_fs;
    if (!job->move_fs.empty()) out << YAML::Key << "move_fs" << YAML::Value << job->move_fs;
    out << YAML::EndMap;
    return true;
  });
  out << YAML::EndSeq;
}

// Only a session is stored: jobs whose run was started (here or before the
// restart that restored them), never a plan that was only drawn up.
bool resume_wanted() {
  if (!g_plotter || !g_plan_restored || plotter_is_finished(g_plotter)) return false;
  bool any = false;
  plotter_for_each_job(g_plotter, [&any](job_s* job) {
    any = !job->file_refused.load();
    return !any;
  });
  return any;
}

void emit_document(YAML::Emitter& out) {
  out << YAML::Comment(
      "Configuration file for Veldgrain\nThis file stores remembered settings from your prior plots\n"
      "and advanced settings and overrides.\nYou can delete this file to return to all default values.\n" +
      k_end_announce);
  out << YAML::Newline;
  out << YAML::BeginMap;
  out << YAML::Key << "account" << YAML::Value << g_account;
  out << YAML::Key << "auto_start_nonce" << YAML::Value << g_auto_start_nonce;
  out << YAML::Newline;
  out << YAML::Key << "gpus" << YAML::Flow << YAML::BeginSeq;
  for (int n = 0; n < 32; n++)
    if (g_gpus & (1u << n)) out << std::to_string(n);
  out << YAML::EndSeq;
  out << YAML::Comment("Last GPU(s) used or empty for CPU");
  out << YAML::Key << "ssds" << YAML::Flow << YAML::BeginSeq;
  for (const drive_s& d : g_ssds) out << std::string(d.path);
  for (const std::string& path : g_ssds_unusable) out << path;
  out << YAML::EndSeq;
  out << YAML::Newline << YAML::Newline;
  out << YAML::Comment(
      "Paths you made plots in are remembered to double check and\n"
      "ensure new plots never overlap nonces of existing plots.");
  out << YAML::Newline;
  out << YAML::Key << "plots" << YAML::BeginSeq;
  if (g_plots)
    plots_for_each_folder(g_plots, [&out](const char* folder) {
      out << std::string(folder);
      return true;
    });
  out << YAML::EndSeq;
  out << YAML::Newline << YAML::Newline;
  out << YAML::Comment("Overrides");
  out << YAML::Newline;
  out << YAML::Key << "max_gb_per_file" << YAML::Value << bytes_to_gb(g_max_bytes_per_file);
  out << YAML::Comment("Each plot file will be this size or less in GB");
  out << YAML::Key << "max_gb_to_fill" << YAML::Value << bytes_to_gb(g_max_bytes_to_fill);
  out << YAML::Comment("Use this to fill only part of a target drive");
  out << YAML::Newline << YAML::Newline;
  out << YAML::Comment("SSD Configuration");
  out << YAML::Newline;
  out << YAML::Key << "ssd_double_buffer" << YAML::Value << g_ssd_double_buffer;
  out << YAML::Comment(
      "Overlap writing and moving to SSD (disable this if you use spinning disk as SSD or for larger plots)");
  out << YAML::Key << "ssd_scatter" << YAML::Value << g_ssd_scatter;
  out << YAML::Comment(
      "Experiment to create single plot regardless of SSD size (works well with 1TB SSD and "
      "ssd_double_buffer:false)");
  out << YAML::Newline << YAML::Newline;
  out << YAML::Comment("Advanced and experimental settings");
  out << YAML::Newline;
  out << YAML::Key << "dont_adjust_gpu_dog" << YAML::Value << g_dont_adjust_gpu_dog;
  out << YAML::Key << "hash_per_dispatch" << YAML::Value << g_hash_per_dispatch;
  out << YAML::Key << "threads_per_group" << YAML::Value << g_threads_per_group;
  out << YAML::Key << "cpu_threads" << YAML::Value << g_cpu_threads;
  out << YAML::Comment("Default is CPU threads - 1");
  out << YAML::Key << "max_gpu_nonces" << YAML::Value << g_max_gpu_nonces;
  out << YAML::Comment("Try 1024 here if you get GPU errors");
  out << YAML::Key << "sector_size_override" << YAML::Value << 0;
  out << YAML::Comment("Experiment, can try 16384 here for increased write speed on some drives");
  const char* ram = g_ram_double_buffer == -1 ? "auto" : g_ram_double_buffer == 1 ? "true" : "false";
  out << YAML::Key << "ram_double_buffer" << YAML::Value << ram;
  out << YAML::Comment("Use auto to let VLDG decide, use true or false to force what you prefer");
  out << YAML::Key << "disable_opencl" << YAML::Value << g_disable_opencl;
  out << YAML::Comment("If you plan to CPU plot and have trouble with OpenCL drivers you can set this to true");
  out << YAML::Key << "min_ram_gb_per_task" << YAML::Value << g_min_ram_gb_per_task;
  out << YAML::Comment("Override for max concurrent tasks calculations when direct plotting many drives");
  out << YAML::Key << "experimental_fast_splats" << YAML::Value << g_experimental_fast_splats;
  out << YAML::Comment("Experiment for extra fast disk writes");
  out << YAML::Key << "ram_bytes" << YAML::Value << g_resume_ram;
  out << YAML::Comment("RAM to use for plotting in bytes, 0 for automatic");
  if (resume_wanted()) emit_resume(out);
  out << YAML::Newline;
  out << YAML::EndMap;
}

// A failure that makes the whole file unusable; its text tells the user why.
struct load_error_s : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What a load found damaged without failing: each entry is one sentence part
// for the log and the message.
struct load_report_s {
  std::vector<std::string> damage;
  std::vector<drive_refusal_s> unusable_ssds;  // staging folders kept in the file, not used
};

// A GB figure of the file as bytes, rounded to the nearest so that what was
// written reads back as the same bytes; false for values no byte count holds.
bool gb_to_bytes(double v, uint64_t* bytes) {
  if (!std::isfinite(v) || v < 0) return false;
  double b = std::round(v * k_gb * k_gb * k_gb);
  if (!(b < 18446744073709551616.0)) return false;
  *bytes = static_cast<uint64_t>(b);
  return true;
}

// A number the key holds; false (with no effect) when the key is missing,
// true with parsed false when it holds something that is no number.
template <typename T>
bool read_number(const YAML::Node& root, const char* key, T* v, bool* parsed) {
  const YAML::Node n = root[key];
  if (!n.IsDefined()) return false;
  *parsed = n.IsScalar() && YAML::convert<T>::decode(n, *v);
  return true;
}

void refuse_value(load_report_s* report, const char* key, std::string why, const std::string& instead) {
  // The range sentences end in a full stop; the list of refusals joins
  // them with semicolons and ends with its own.
  while (!why.empty() && why.back() == '.') why.pop_back();
  report->damage.push_back(std::string(key) + " was not used: " + why + "; " + instead);
}

std::string as_written(const YAML::Node& n) { return n.IsScalar() ? "\"" + n.Scalar() + "\"" : "a list or map"; }

// The keys of the file that set one value each, in the order they are read
// (the size limits before the drives, whose additions replan with them).
// Every value passes the range check of the prompt that sets it, where one
// does; a value outside it costs that key alone, which takes its default,
// and is named with its key and range. A key missing from the file takes
// the same default.
struct setting_key_s {
  const char* key;
  // Sets the default; run first, also for a missing key.
  std::function<void()> fallback;
  // Takes a present value: "" when used, else the range it missed (the
  // setting is then left at its default).
  std::function<std::string(const YAML::Node&)> read;
  const char* instead;  // what is used when the value is refused (no full stop)
};

std::function<std::string(const YAML::Node&)> read_bool(bool* setting, const char* key) {
  return [setting, key](const YAML::Node& n) {
    bool v = false;
    if (n.IsScalar() && YAML::convert<bool>::decode(n, v)) {
      *setting = v;
      return std::string();
    }
    return std::string(key) + " must be true or false, not " + as_written(n);
  };
}

// A whole number that fault accepts ("" for a value in range, else the
// range); text that is no number is judged as INT_MIN, which no range holds.
std::function<std::string(const YAML::Node&)> read_int(int* setting, std::function<std::string(int)> fault) {
  return [=](const YAML::Node& n) {
    int v = 0;
    bool parsed = n.IsScalar() && YAML::convert<int>::decode(n, v);
    std::string why = fault(parsed ? v : INT_MIN);
    if (parsed && why.empty()) {
      *setting = v;
      return std::string();
    }
    return why.empty() ? std::string("the value must be a whole number") : why;
  };
}

std::string zero_or_more(const char* key, const char* zero, int v) {
  if (v >= 0) return "";
  return std::string(key) + " must be a whole number, 0 (" + zero + ") or more";
}

const std::vector<setting_key_s>& setting_keys() {
  static const std::vector<setting_key_s> keys = {
      {"auto_start_nonce", [] {}, read_bool(&g_auto_start_nonce, "auto_start_nonce"), "the setting stays as it was"},
      {"dont_adjust_gpu_dog", [] {}, read_bool(&g_dont_adjust_gpu_dog, "dont_adjust_gpu_dog"),
       "the setting stays as it was"},
      {"ssd_scatter", [] {}, read_bool(&g_ssd_scatter, "ssd_scatter"), "the setting stays as it was"},
      {"ssd_double_buffer", [] {}, read_bool(&g_ssd_double_buffer, "ssd_double_buffer"),
       "the setting stays as it was"},
      {"disable_opencl", [] {}, read_bool(&g_disable_opencl, "disable_opencl"), "the setting stays as it was"},
      // Buffering decides the least RAM a run needs, checked with the RAM
      // amount further down.
      {"ram_double_buffer", [] { g_ram_double_buffer = -1; },
       [](const YAML::Node& n) {
         std::string v = n.IsScalar() ? n.Scalar() : std::string();
         g_ram_double_buffer = v == "true" ? 1 : v == "false" ? 0 : -1;
         if (v == "true" || v == "false" || v == "auto") return std::string();
         return "ram_double_buffer must be auto, true or false, not " + as_written(n);
       },
       "auto is used"},
      {"max_gb_to_fill", [] {},
       [](const YAML::Node& n) {
         double v = 0;
         uint64_t bytes = 0;
         if (n.IsScalar() && YAML::convert<double>::decode(n, v) && gb_to_bytes(v, &bytes)) {
           g_max_bytes_to_fill = bytes;
           return std::string();
         }
         return std::string("it must be a number of GB, 0 or more (0 fills whole drives).");
       },
       "the setting stays as it was"},
      // 0 means no cap; every other size is kept to the byte, also below 1 GB.
      {"max_gb_per_file", [] {},
       [](const YAML::Node& n) {
         double v = 0;
         uint64_t bytes = 0;
         bool parsed = n.IsScalar() && YAML::convert<double>::decode(n, v) && gb_to_bytes(v, &bytes);
         std::string why = settings_file_size_fault(parsed, bytes);
         if (why.empty()) g_max_bytes_per_file = bytes;
         return why;
       },
       "the setting stays as it was"},
      {"min_ram_gb_per_task", [] { g_min_ram_gb_per_task = 4.0; },
       [](const YAML::Node& n) {
         double v = 0;
         bool parsed = n.IsScalar() && YAML::convert<double>::decode(n, v);
         std::string why = settings_min_ram_per_task_fault(parsed ? v : -1);
         if (why.empty()) g_min_ram_gb_per_task = v;
         return why;
       },
       "4 is used"},
      {"hash_per_dispatch", [] { g_hash_per_dispatch = 0; },
       read_int(&g_hash_per_dispatch,
                [](int v) { return zero_or_more("hash_per_dispatch", "the GPU's own", v); }),
       "0 (the GPU's own) is used"},
      {"threads_per_group", [] { g_threads_per_group = 0; },
       read_int(&g_threads_per_group, settings_threads_per_group_fault),
       "0 (32) is used"},
      {"cpu_threads", [] { g_cpu_threads = 0; }, read_int(&g_cpu_threads, settings_cpu_threads_fault),
       "0 (automatic) is used"},
      {"max_gpu_nonces", [] { g_max_gpu_nonces = 0; },
       read_int(&g_max_gpu_nonces, [](int v) { return zero_or_more("max_gpu_nonces", "no cap", v); }),
       "0 (no cap) is used"},
      {"experimental_fast_splats", [] { g_experimental_fast_splats = false; },
       read_bool(&g_experimental_fast_splats, "experimental_fast_splats"), "false is used"},
  };
  return keys;
}

void read_setting_keys(const YAML::Node& root, load_report_s* report) {
  for (const setting_key_s& k : setting_keys()) {
    k.fallback();
    const YAML::Node n = root[k.key];
    if (!n.IsDefined()) continue;
    std::string why = k.read(n);
    if (why.empty()) continue;
    k.fallback();
    refuse_value(report, k.key, why, k.instead);
  }
}

void read_gpus(const YAML::Node& node, load_report_s* report) {
  if (!node.IsDefined() || !node.IsSequence()) return;
  for (const YAML::Node& e : node) {
    int n = -1;
    if (!e.IsScalar() || !YAML::convert<int>::decode(e, n)) {
      refuse_value(report, "gpus", "each GPU is a number from 0 to 31, not " + as_written(e),
                   "that entry is left out");
      continue;
    }
    if (n < 0 || n > 31) {
      sys_log("Ignoring GPU index %d in config.yml\n", n);
      continue;
    }
    g_gpus |= 1u << n;
  }
}

// The RAM amount: a value below what one batch needs or above the
// installed memory becomes the nearest one in range, so that a file of an
// older build (whose batches were smaller) still starts a run.
void read_ram(const YAML::Node& root, const char* key, load_report_s* report) {
  const YAML::Node n = root[key];
  if (!n.IsDefined()) return;
  uint64_t v = 0;
  bool parsed = n.IsScalar() && YAML::convert<uint64_t>::decode(n, v);
  // yaml-cpp reads "-1" as the largest number: a sign means no amount.
  if (parsed && n.Scalar().find('-') != std::string::npos) parsed = false;
  std::string why = settings_ram_fault(parsed, v);
  if (why.empty()) {
    g_resume_ram = v;
    return;
  }
  g_resume_ram = parsed ? settings_ram_nearest(v) : 0;
  char used[96];
  if (g_resume_ram == 0)
    snprintf(used, sizeof used, "0 (automatic) is used");
  else
    snprintf(used, sizeof used, "%0.3f GiB, the nearest amount in range, is used", g_resume_ram / 1073741824.0);
  refuse_value(report, key, why, used);
}

// A message for the user: shown at once when the window exists, else queued
// for the first turn of the main loop (at start-up there is no window yet).
void tell_user(const std::string& title, const std::string& text) {
  if (g_window) {
    g_app_message(title.c_str(), text.c_str());
    return;
  }
  std::function<void()> task = [title, text] { g_app_message(title.c_str(), text.c_str()); };
  ui_task_post(std::move(task));
}

// Drives from the file beyond what a list holds are dropped with a log line
// (no dialog per entry at start-up); drive_add refuses the rest itself. An
// empty entry names no folder: it is skipped, and in the resume lists it is
// damage (the entry it stood for is gone).
void add_drives(const YAML::Node& node, int kind, int resuming, load_report_s* report) {
  const std::vector<drive_s>& list = kind == 0 ? g_ssds : g_drives;
  const char* key = resuming ? (kind == 0 ? "resume_ssds" : "resume_drives") : "ssds";
  if (!node.IsSequence()) {
    if (resuming) report->damage.push_back(std::string(key) + " is not a list");
    return;
  }
  for (const YAML::Node& e : node) {
    std::string path = e.IsNull() ? std::string() : e.as<std::string>();
    if (path.empty()) {
      sys_log("Ignoring an empty entry of %s in config.yml\n", key);
      if (resuming) report->damage.push_back(std::string(key) + " holds an empty entry");
      continue;
    }
    bool known = false;
    for (const drive_s& d : list) known = known || path == d.path;
    if (!known && list.size() >= DRIVE_LIST_MAX) {
      sys_log("Ignoring drive %s from config.yml: a list holds at most %d drives\n", path.c_str(),
              DRIVE_LIST_MAX);
      continue;
    }
    // A staging folder that cannot be used now stays in the file: it is
    // the user's setting, and its disk may only be unmounted today.
    std::vector<drive_refusal_s> refused;
    if (!drive_add(kind, path.c_str(), resuming, kind == 0 && !resuming ? &refused : nullptr) && !refused.empty()) {
      if (std::find(g_ssds_unusable.begin(), g_ssds_unusable.end(), path) == g_ssds_unusable.end())
        g_ssds_unusable.push_back(path);
      report->unusable_ssds.push_back(refused[0]);
    }
  }
}

void add_plot_folders(const YAML::Node& plots) {
  if (!plots.IsDefined() || !plots.IsSequence()) return;
  for (const YAML::Node& e : plots) {
    std::string folder = e.IsNull() ? std::string() : e.as<std::string>();
    if (folder.empty()) {
      sys_log("Ignoring an empty entry of plots in config.yml\n");
      continue;
    }
    if (g_plots) plots_folder_add(g_plots, folder.c_str());
  }
}


template <typename T>
bool read_field(const YAML::Node& entry, const char* key, T* out) {
  const YAML::Node n = entry[key];
  return n.IsDefined() && n.IsScalar() && YAML::convert<T>::decode(n, *out);
}

// Why entry number index (from 1) cannot be rebuilt as a job; "" when it can,
// with the job's fields filled in.
std::string resume_entry_fault(const YAML::Node& e, size_t index, uint64_t* start, uint64_t* count,
                               drive_s** write_drive, drive_s** move_drive) {
  std::string which = "resume entry " + std::to_string(index);
  std::string write, move;
  if (!e.IsMap() || !read_field(e, "start", start) || !read_field(e, "count", count) ||
      !read_field(e, "write", &write))
    return which + " lacks its start, count or write";
  if (*count == 0 || *start > ~0ull - *count) return which + " has no valid nonce range";
  bool staged = e["move"].IsDefined();
  if (staged && !read_field(e, "move", &move)) return which + " has an unreadable move path";
  // Any spelling of a listed folder names it: a file saved while one folder
  // stood in a list twice ("a" and "a/") still finds its drive.
  *write_drive = drive_find(staged ? 0 : 1, write.c_str());
  if (!*write_drive) return which + " writes to " + write + ", which is no drive of the resume lists";
  *move_drive = staged ? drive_find(1, move.c_str()) : nullptr;
  if (staged && !*move_drive) return which + " moves to " + move + ", which is no drive of the resume lists";
  // Said as it is: a folder that is gone also has no free space, and the
  // plan's check would name that instead.
  if (!sys_dir_exists((*write_drive)->path)) return which + " writes to " + write + ", which does not exist";
  if (staged && !sys_dir_exists((*move_drive)->path)) return which + " moves to " + move + ", which does not exist";
  // Batches, and the marker in the file's last sector, are whole sector
  // units: any other count would put the marker over written data.
  uint64_t unit = std::max<uint64_t>((*write_drive)->sector_size / 64, 1);
  if (*count % unit != 0)
    return which + " has " + std::to_string(*count) + " nonces, not a multiple of " + std::to_string(unit);
  return "";
}

// The file an entry names, to find two entries on one file.
std::string entry_file(const drive_s* write, uint64_t start, uint64_t count) {
  return std::string(write->path) + "/" + std::to_string(start) + "_" + std::to_string(count);
}

void rebuild_resume_jobs(const YAML::Node& plots, load_report_s* report) {
  if (g_plotter) plotter_clear_jobs(g_plotter);
  if (!plots.IsSequence()) {
    report->damage.push_back("resume_plots is not a list");
    return;
  }
  size_t index = 0;
  std::vector<std::string> files;
  for (const YAML::Node& e : plots) {
    uint64_t start = 0, count = 0;
    drive_s* write_drive = nullptr;
    drive_s* move_drive = nullptr;
    std::string fault = resume_entry_fault(e, ++index, &start, &count, &write_drive, &move_drive);
    std::string which = "resume entry " + std::to_string(index);
    if (fault.empty()) {
      std::string file = entry_file(write_drive, start, count);
      for (size_t i = 0; i < files.size() && fault.empty(); i++)
        if (files[i] == file) fault = which + " names the same file as resume entry " + std::to_string(i + 1);
      files.push_back(fault.empty() ? file : std::string());
    } else {
      files.emplace_back();
    }
    if (!fault.empty()) {
      report->damage.push_back(fault);
      continue;
    }
    if (!g_plotter) continue;
    job_s* job = job_create(write_drive, move_drive, g_account, start, count);
    read_field(e, "write_fs", &job->write_fs);
    read_field(e, "move_fs", &job->move_fs);
    plotter_add_job(g_plotter, job);
    // Each entry must keep the plan's rules with those before it: no shared
    // nonces, no file system booked past its free space.
    std::string why;
    if (!drive_plan_check(&why)) {
      plotter_remove_job(g_plotter, job);
      files.back().clear();
      report->damage.push_back(which + " is refused: " + why);
    }
  }
}

void show_resume_message() {
  g_app_message("Auto-Resuming",
                "An unfinished plotting session was detected. Settings have been restored for you to "
                "resume plotting.\nYou may review your CPU/GPU and RAM settings then click Start.");
}

// The account decides whose plots are made: a value that is no 64-bit
// number must not quietly become "no account".
void read_account(const YAML::Node& root) {
  const YAML::Node n = root["account"];
  if (!n.IsDefined()) return;
  uint64_t v = 0;
  if (n.IsScalar() && YAML::convert<uint64_t>::decode(n, v)) {
    g_account = v;
    return;
  }
  // Written by hand, the account may be an address as the prompt takes it.
  address_s a{};
  if (n.IsScalar() && address_parse(&a, n.Scalar().c_str())) {
    g_account = address_to_id(&a);
    return;
  }
  throw load_error_s("the account is neither a number nor an address");
}

void read_resume(const YAML::Node& root, load_report_s* report) {
  // The RAM amount is a setting of its own; files of older versions kept it
  // only beside their resume data.
  // The range depends on the buffering and the processor, read before.
  read_ram(root, "ram_bytes", report);
  read_ram(root, "resume_ram", report);
  const YAML::Node resume_ram = root["resume_ram"];
  const YAML::Node resume_ssds = root["resume_ssds"];
  if (resume_ssds.IsDefined()) add_drives(resume_ssds, 0, 1, report);
  const YAML::Node resume_drives = root["resume_drives"];
  if (resume_drives.IsDefined()) add_drives(resume_drives, 1, 1, report);
  const YAML::Node resume_plots = root["resume_plots"];
  if (!resume_plots.IsDefined()) {
    // The list of plot files is the section's last key: the rest without it
    // is a section that lost its end.
    if (resume_ram.IsDefined() || resume_ssds.IsDefined() || resume_drives.IsDefined())
      report->damage.push_back("the resume data has no list of plot files");
    return;
  }
  rebuild_resume_jobs(resume_plots, report);
  g_plan_restored = plotter_job_count(g_plotter) != 0;
  // A session of which no file could be restored is not announced as
  // restored; the refusals say why.
  if (!g_plan_restored && resume_plots.IsSequence() && resume_plots.size() != 0) return;
  std::function<void()> task = show_resume_message;
  ui_task_post(std::move(task));
}

void read_document(const YAML::Node& root, load_report_s* report) {
  read_account(root);
  read_setting_keys(root, report);
  read_gpus(root["gpus"], report);
  const YAML::Node ssds = root["ssds"];
  if (ssds.IsDefined() && ssds.IsSequence()) add_drives(ssds, 0, 0, report);
  add_plot_folders(root["plots"]);
  read_resume(root, report);
}

// A key written twice: only its first value is read, so the user must
// know the other is not in force (and the kept copy still holds it).
void report_duplicates(const YAML::Node& root, load_report_s* report) {
  std::vector<std::string> seen, twice;
  for (const auto& kv : root) {
    if (!kv.first.IsScalar()) continue;
    const std::string& key = kv.first.Scalar();
    if (std::find(seen.begin(), seen.end(), key) == seen.end())
      seen.push_back(key);
    else if (std::find(twice.begin(), twice.end(), key) == twice.end())
      twice.push_back(key);
  }
  for (const std::string& key : twice)
    report->damage.push_back(key + " is given more than once; only its first value is used");
}

// The first line after the end line that holds more than blanks; "" when
// the end line is the file's last (or is missing).
std::string line_after_end(const std::string& text) {
  size_t at = 0;
  for (;;) {
    size_t found = text.find(k_end_line, at);
    if (found == std::string::npos) return "";
    bool line_start = found == 0 || text[found - 1] == '\n';
    size_t eol = text.find('\n', found);
    at = found + 1;
    if (!line_start || eol == std::string::npos) continue;
    size_t next = text.find_first_not_of(" \t\r\n", eol);
    if (next == std::string::npos) return "";
    size_t next_end = text.find('\n', next);
    return text.substr(next, next_end == std::string::npos ? std::string::npos : next_end - next);
  }
}

// Whether text ends with the end line (blanks after it allowed).
bool has_end_line(const std::string& text) {
  size_t last = text.find_last_not_of(" \t\r\n");
  if (last == std::string::npos) return false;
  size_t line = text.rfind('\n', last);
  line = line == std::string::npos ? 0 : line + 1;
  return text.compare(line, last + 1 - line, k_end_line) == 0;
}

// False with the reason in *err when the file cannot be read whole.
bool read_config_text(std::string* text, int* err) {
  FILE* f = fopen(k_file, "rbe");
  if (!f) {
    *err = errno;
    return false;
  }
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
  bool ok = !ferror(f);
  *err = ok ? 0 : EIO;
  fclose(f);
  return ok;
}

// A free name beside config.yml ("config.yml<suffix>", then "-2", "-3" ...),
// so that a file kept earlier is never replaced; "" when none is free.
std::string kept_name(const char* suffix) {
  std::string base = std::string(k_file) + suffix;
  if (!sys_exists(base.c_str())) return base;
  for (int i = 2; i < 1000; i++) {
    std::string name = base + "-" + std::to_string(i);
    if (!sys_exists(name.c_str())) return name;
  }
  return "";
}

// Writes text under a kept name; the kept file's full path, or "" (logged)
// when no copy could be made.
std::string keep_copy(const std::string& text, const char* suffix) {
  std::string name = kept_name(suffix);
  std::string error = "no free name";
  if (!name.empty() && sys_write_file_atomic(name.c_str(), text.data(), text.size(), &error))
    return std::string(g_start_dir) + "/" + name;
  sys_log("Could not keep a copy of config.yml: %s\n", error.c_str());
  return "";
}

// The file cannot be used: its bytes are kept before anything overwrites
// config.yml, and if they cannot be kept, nothing overwrites it.
void report_unreadable(const std::string& text, const std::string& why) {
  sys_log("config.yml could not be loaded: %s\n", why.c_str());
  std::string kept = keep_copy(text, k_unreadable_suffix);
  std::string message = "config.yml could not be loaded (" + why + ").\nVeldgrain starts with default settings.";
  if (!kept.empty()) {
    message += " Your file was kept as " + kept + ".";
  } else {
    g_save_blocked = true;
    message += " No copy of the file could be kept, so config.yml will not be changed until Veldgrain is "
               "started again.";
  }
  tell_user("Settings not loaded", message);
}

// The file loaded, but not all of it: what could be read is in use, and the
// file as it was is kept for the user.
void report_damaged(const std::string& text, const load_report_s& report) {
  std::string what;
  for (const std::string& d : report.damage) {
    sys_log("config.yml is damaged: %s\n", d.c_str());
    what += (what.empty() ? "" : "; ") + d;
  }
  std::string kept = keep_copy(text, k_damaged_suffix);
  std::string message = "config.yml is damaged: " + what + ".\nWhat could be read has been restored.";
  if (!kept.empty()) {
    message += " The file as it was is kept as " + kept + ".";
  } else {
    g_save_blocked = true;
    message += " No copy of the file could be kept, so config.yml will not be changed until Veldgrain is "
               "started again.";
  }
  tell_user("Settings damaged", message);
}

// Everything a load may change, to put back when it fails.
struct loaded_state_s {
  uint64_t account, max_bytes_per_file, max_bytes_to_fill, resume_ram;
  bool auto_start_nonce, dont_adjust_gpu_dog, ssd_scatter, ssd_double_buffer, disable_opencl, fast_splats;
  uint32_t gpus;
  int hash_per_dispatch, threads_per_group, cpu_threads, max_gpu_nonces, ram_double_buffer;
  double min_ram_gb_per_task;
  std::vector<drive_s> ssds, drives;
  plots_s plots;
  bool plan_restored;
  std::vector<std::string> ssds_unusable;
};

loaded_state_s loaded_state_take() {
  loaded_state_s s{g_account,
                   g_max_bytes_per_file,
                   g_max_bytes_to_fill,
                   g_resume_ram,
                   g_auto_start_nonce,
                   g_dont_adjust_gpu_dog,
                   g_ssd_scatter,
                   g_ssd_double_buffer,
                   g_disable_opencl,
                   g_experimental_fast_splats,
                   g_gpus,
                   g_hash_per_dispatch,
                   g_threads_per_group,
                   g_cpu_threads,
                   g_max_gpu_nonces,
                   g_ram_double_buffer,
                   g_min_ram_gb_per_task,
                   g_ssds,
                   g_drives,
                   g_plots ? *g_plots : plots_s{},
                   g_plan_restored,
                   g_ssds_unusable};
  return s;
}

void loaded_state_restore(const loaded_state_s& s) {
  // Jobs refer to the drives about to be replaced: they go first.
  if (g_plotter) plotter_clear_jobs(g_plotter);
  g_account = s.account;
  g_max_bytes_per_file = s.max_bytes_per_file;
  g_max_bytes_to_fill = s.max_bytes_to_fill;
  g_resume_ram = s.resume_ram;
  g_auto_start_nonce = s.auto_start_nonce;
  g_dont_adjust_gpu_dog = s.dont_adjust_gpu_dog;
  g_ssd_scatter = s.ssd_scatter;
  g_ssd_double_buffer = s.ssd_double_buffer;
  g_disable_opencl = s.disable_opencl;
  g_experimental_fast_splats = s.fast_splats;
  g_gpus = s.gpus;
  g_hash_per_dispatch = s.hash_per_dispatch;
  g_threads_per_group = s.threads_per_group;
  g_cpu_threads = s.cpu_threads;
  g_max_gpu_nonces = s.max_gpu_nonces;
  g_ram_double_buffer = s.ram_double_buffer;
  g_min_ram_gb_per_task = s.min_ram_gb_per_task;
  g_ssds = s.ssds;
  g_drives = s.drives;
  if (g_plots) *g_plots = s.plots;
  g_plan_restored = s.plan_restored;
  g_ssds_unusable = s.ssds_unusable;
  drive_plan();
}

}  // namespace

bool prefs_save(std::string* failure) {
  sys_chdir(g_start_dir);
  if (g_plots)
    for (const drive_s& d : g_drives) plots_folder_add(g_plots, d.path);
  if (g_save_blocked) {
    sys_log("Not writing config.yml: the file that failed to load is still the only copy\n");
    if (failure)
      *failure = "config.yml is left as it is until Veldgrain is started again: the file that failed to load "
                 "could not be kept elsewhere";
    return false;
  }
  YAML::Emitter out;
  emit_document(out);
  std::string error;
  if (out.good()) {
    std::string text = out.c_str();
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += std::string(k_end_line) + "\n";
    if (sys_write_file_atomic(k_file, text.data(), text.size(), &error)) return true;
  } else {
    error = out.GetLastError();
  }
  // The previous file is untouched; the user must know that what is on the
  // screen (and any unfinished session) is not what it holds.
  sys_log("Failed to write config.yml: %s\n", error.c_str());
  if (failure) {
    *failure = error;
    return false;
  }
  tell_user("Settings not saved", "config.yml could not be written (" + error +
                                      "). It still holds the settings saved before; the current "
                                      "settings and plan are not stored.");
  return false;
}

bool prefs_folder_writable(std::string* file, std::string* failure) {
  sys_chdir(g_start_dir);
  // Written and synced as config.yml is, so that a full disk shows too.
  const char probe[] = "config.yml.write-test";
  std::string block(4096, '\n');
  std::string error;
  if (!sys_write_file_atomic(probe, block.data(), block.size(), &error)) {
    *file = k_file;
    *failure = error;
    unlink(probe);
    return false;
  }
  unlink(probe);
  int log_error = sys_log_error();
  if (log_error != 0) {
    *file = "log.txt";
    *failure = strerror(log_error);
    return false;
  }
  return true;
}

bool prefs_load() {
  double t0 = sys_time();
  g_save_blocked = false;  // each load decides anew
  std::string text;
  int err = 0;
  if (!read_config_text(&text, &err)) {
    if (err == ENOENT) return false;  // a first start: a fresh file is written
    sys_log("config.yml could not be read: %s\n", strerror(err));
    g_save_blocked = true;
    tell_user("Settings not loaded", std::string("config.yml could not be read (") + strerror(err) +
                                         ").\nVeldgrain starts with default settings and leaves the file as "
                                         "it is.");
    return false;
  }
  load_report_s report;
  std::string failure;
  // All or nothing: a file that fails part-way leaves no setting, drive,
  // plot folder or job of its own behind.
  loaded_state_s before = loaded_state_take();
  try {
    const YAML::Node root = YAML::Load(text);
    if (!root.IsMap()) throw load_error_s("it holds no settings");
    report_duplicates(root, &report);
    read_document(root, &report);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (!failure.empty()) {
    loaded_state_restore(before);
    report_unreadable(text, failure);
    return false;
  }
  std::string after = line_after_end(text);
  if (!after.empty())
    report.damage.insert(report.damage.begin(), std::string("lines follow its end line \"") + k_end_line +
                                                    "\" (from \"" + after + "\")");
  else if (text.find(k_end_announce) != std::string::npos && !has_end_line(text))
    report.damage.insert(report.damage.begin(), "the file ends early");
  if (!report.damage.empty()) report_damaged(text, report);
  if (!report.unusable_ssds.empty()) {
    report_s r = drive_refusals_report(report.unusable_ssds);
    r.kept = report.unusable_ssds.size() == 1 ? "It stays in config.yml and is used again once it can be."
                                              : "They stay in config.yml and are used again once they can be.";
    report_log(r);
    tell_user(r.title, report_text(r));
  }
  sys_log("Prefs loaded in %0.0fms\n", sys_seconds_between(t0, sys_time()) * 1000);
  return true;
}
