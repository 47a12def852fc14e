// A temporary folder for tests, removed with everything in it when the
// temp_dir_s goes out of scope. With direct_io the folder lies on a file
// system that accepts O_DIRECT (tmpfs does not), trying /tmp, /var/tmp and
// then the source tree.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

inline bool temp_dir_supports_direct_io(const std::string& dir) {
  std::string probe = dir + "/.direct_io_probe";
  int fd = open(probe.c_str(), O_RDWR | O_CREAT | O_DIRECT, 0644);
  if (fd < 0) return false;
  void* block = aligned_alloc(4096, 4096);
  bool ok = block && pwrite(fd, block, 4096, 0) == 4096;
  free(block);
  close(fd);
  unlink(probe.c_str());
  return ok;
}

// Makes "<base>/vg_<tag>_XXXXXX"; "" when the folder cannot be made there.
inline std::string temp_dir_make_in(const std::string& base, const char* tag) {
  std::string pattern = base + "/vg_" + tag + "_XXXXXX";
  if (!mkdtemp(&pattern[0])) return "";
  return pattern;
}

struct temp_dir_s {
  std::string path;  // without a trailing '/'; empty when nothing could be made

  explicit temp_dir_s(const char* tag = "test", bool direct_io = false) {
    const char* bases[] = {"/tmp", "/var/tmp", VG_SOURCE_DIR};
    for (const char* base : bases) {
      path = temp_dir_make_in(base, tag);
      if (path.empty()) continue;
      if (!direct_io || temp_dir_supports_direct_io(path)) return;
      std::filesystem::remove_all(path);
      path.clear();
    }
  }
  ~temp_dir_s() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  temp_dir_s(const temp_dir_s&) = delete;
  temp_dir_s& operator=(const temp_dir_s&) = delete;

  std::string file(const std::string& name) const { return path + "/" + name; }
};
