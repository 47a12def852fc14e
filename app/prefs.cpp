#include "app/prefs.h"

#include <cmath>
#include <cstdio>
#include <string>

#include <yaml-cpp/yaml.h>

#include "app/drives.h"
#include "app/settings.h"
#include "engine/plots.h"
#include "engine/plotter.h"
#include "platform/sys_linux.h"

namespace {

const char k_file[] = "config.yml";
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
    out << YAML::BeginMap;
    out << YAML::Key << "account" << YAML::Value << job->account_id;
    out << YAML::Key << "start" << YAML::Value << job->start_nonce;
    out << YAML::Key << "count" << YAML::Value << job->nonces;
    out << YAML::Key << "write" << YAML::Value << std::string(job->write_drive ? job->write_drive->path : "");
    if (job->move_drive) out << YAML::Key << "move" << YAML::Value << std::string(job->move_drive->path);
    out << YAML::EndMap;
    return true;
  });
  out << YAML::EndSeq;
}

bool resume_wanted() {
  return g_plotter && !plotter_is_finished(g_plotter) && plotter_job_count(g_plotter) != 0 && !g_ssd_scatter;
}

void emit_document(YAML::Emitter& out) {
  out << YAML::Comment(
      "Configuration file for Veldgrain\nThis file stores remembered settings from your prior plots\n"
      "and advanced settings and overrides.\nYou can delete this file to return to all default values.");
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
  out << YAML::Key << "ssds" << YAML::Flow;
  emit_path_seq(out, g_ssds);
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
  if (resume_wanted()) emit_resume(out);
  out << YAML::Newline;
  out << YAML::EndMap;
}

// Whole gigabytes of max_gb_per_file; values that are not a positive count
// of GB that fits 64 bits leave the setting alone.
void read_max_per_file(const YAML::Node& root) {
  double v = root["max_gb_per_file"].as<double>(0.0);
  if (!(v >= 1.0)) return;
  if (v >= 18446744073.0) {
    sys_log("Ignoring max_gb_per_file %g: too large\n", v);
    return;
  }
  g_max_bytes_per_file = static_cast<uint64_t>(v) * 1000000000ull;
}

void read_max_to_fill(const YAML::Node& root) {
  double v = root["max_gb_to_fill"].as<double>(0.0);
  if (!(v > 0.0)) return;
  double bytes = v * k_gb * k_gb * k_gb;
  if (!(bytes < 18446744073709551616.0)) {
    sys_log("Ignoring max_gb_to_fill %g: too large\n", v);
    return;
  }
  g_max_bytes_to_fill = static_cast<uint64_t>(bytes);
}

void read_gpus(const YAML::Node& node) {
  if (!node.IsDefined() || !node.IsSequence()) return;
  for (const YAML::Node& e : node) {
    int n = e.as<int>();
    if (n < 0 || n > 31) {
      sys_log("Ignoring GPU index %d in config.yml\n", n);
      continue;
    }
    g_gpus |= 1u << n;
  }
}

// Drives from the file beyond what a list holds are dropped with a log line
// (no dialog per entry at start-up); drive_add refuses the rest itself.
void add_drives(const YAML::Node& node, int kind, int resuming) {
  const std::vector<drive_s>& list = kind == 0 ? g_ssds : g_drives;
  for (const YAML::Node& e : node) {
    std::string path = e.as<std::string>();
    bool known = false;
    for (const drive_s& d : list) known = known || path == d.path;
    if (!known && list.size() >= DRIVE_LIST_MAX) {
      sys_log("Ignoring drive %s from config.yml: a list holds at most %d drives\n", path.c_str(),
              DRIVE_LIST_MAX);
      continue;
    }
    drive_add(kind, path.c_str(), resuming);
  }
}

drive_s* find_drive(std::vector<drive_s>& list, const std::string& path) {
  for (drive_s& d : list)
    if (path == d.path) return &d;
  return nullptr;
}

void rebuild_resume_jobs(const YAML::Node& plots) {
  if (g_plotter) plotter_clear_jobs(g_plotter);
  for (const YAML::Node& e : plots) {
    uint64_t start = e["start"].as<uint64_t>();
    uint64_t count = e["count"].as<uint64_t>();
    std::string write = e["write"].as<std::string>();
    std::string move = e["move"].IsDefined() ? e["move"].as<std::string>() : std::string();
    drive_s* write_drive = find_drive(move.empty() ? g_drives : g_ssds, write);
    drive_s* move_drive = move.empty() ? nullptr : find_drive(g_drives, move);
    // Only a hand-edited file can name a drive that is not in the lists, or
    // an empty or impossible range; such an entry is no job.
    if (!write_drive || count == 0 || start > ~0ull - count) {
      sys_log("Skipping resume entry %llu_%llu on %s: no such drive or range\n",
              static_cast<unsigned long long>(start), static_cast<unsigned long long>(count), write.c_str());
      continue;
    }
    if (g_plotter) plotter_add_job(g_plotter, job_create(write_drive, move_drive, g_account, start, count));
  }
}

void show_resume_message() {
  g_app_message("Auto-Resuming",
                "An unfinished plotting session was detected. Settings have been restored for you to "
                "resume plotting.\nYou may review your CPU/GPU and RAM settings then click Start.");
}

void read_document(const YAML::Node& root) {
  g_account = root["account"].as<uint64_t>(g_account);
  g_auto_start_nonce = root["auto_start_nonce"].as<bool>(g_auto_start_nonce);
  g_dont_adjust_gpu_dog = root["dont_adjust_gpu_dog"].as<bool>(g_dont_adjust_gpu_dog);
  g_ssd_scatter = root["ssd_scatter"].as<bool>(g_ssd_scatter);
  g_ssd_double_buffer = root["ssd_double_buffer"].as<bool>(g_ssd_double_buffer);
  g_disable_opencl = root["disable_opencl"].as<bool>(g_disable_opencl);
  read_max_to_fill(root);
  read_max_per_file(root);
  g_min_ram_gb_per_task = root["min_ram_gb_per_task"].as<double>(4.0);
  read_gpus(root["gpus"]);
  const YAML::Node ssds = root["ssds"];
  if (ssds.IsDefined() && ssds.IsSequence()) add_drives(ssds, 0, 0);
  const YAML::Node plots = root["plots"];
  if (plots.IsDefined() && plots.IsSequence())
    for (const YAML::Node& e : plots) {
      std::string folder = e.as<std::string>();
      if (!folder.empty() && g_plots) plots_folder_add(g_plots, folder.c_str());
    }
  g_hash_per_dispatch = root["hash_per_dispatch"].as<int>(0);
  g_threads_per_group = root["threads_per_group"].as<int>(0);
  g_cpu_threads = root["cpu_threads"].as<int>(0);
  g_max_gpu_nonces = root["max_gpu_nonces"].as<int>(0);
  g_experimental_fast_splats = root["experimental_fast_splats"].as<bool>(false);
  std::string ram = root["ram_double_buffer"].as<std::string>("auto");
  g_ram_double_buffer = ram == "true" ? 1 : ram == "false" ? 0 : -1;
  const YAML::Node resume_ram = root["resume_ram"];
  if (resume_ram.IsDefined()) g_resume_ram = resume_ram.as<uint64_t>(g_resume_ram);
  const YAML::Node resume_ssds = root["resume_ssds"];
  if (resume_ssds.IsDefined()) add_drives(resume_ssds, 0, 1);
  const YAML::Node resume_drives = root["resume_drives"];
  if (resume_drives.IsDefined()) add_drives(resume_drives, 1, 1);
  const YAML::Node resume_plots = root["resume_plots"];
  if (resume_plots.IsDefined()) {
    rebuild_resume_jobs(resume_plots);
    std::function<void()> task = show_resume_message;
    ui_task_post(std::move(task));
  }
}

}  // namespace

void prefs_save() {
  sys_chdir(g_start_dir);
  if (g_plots)
    for (const drive_s& d : g_drives) plots_folder_add(g_plots, d.path);
  YAML::Emitter out;
  emit_document(out);
  if (!out.good()) {
    // Keep the previous file rather than replace it with a partial one.
    sys_log("Failed to write config.yml: %s\n", out.GetLastError().c_str());
    return;
  }
  FILE* f = fopen(k_file, "w");
  if (!f) {
    sys_log("Failed to write config.yml\n");
    return;
  }
  size_t len = out.size();
  bool written = fwrite(out.c_str(), 1, len, f) == len;
  if (fclose(f) != 0 || !written) sys_log("Failed to write config.yml\n");
}

bool prefs_load() {
  double t0 = sys_time();
  try {
    const YAML::Node root = YAML::LoadFile(k_file);
    read_document(root);
  } catch (...) {
    return false;
  }
  sys_log("Prefs loaded in %0.0fms\n", (sys_time() - t0) * 1000);
  return true;
}
