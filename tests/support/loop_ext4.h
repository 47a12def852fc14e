// A small ext4 file system on a loop device, mounted in a temporary folder
// for the life of the object: the way to meet a full disk or a read-only
// folder for real. Needs root and loop devices; when either is missing,
// `why` says so and the test skips. Unmounted and removed even when the test
// fails (the destructor runs on every way out).
#pragma once

#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

struct loop_ext4_s {
  temp_dir_s dir{"loop"};
  std::string mount_point;  // the file system's root; empty until mounted
  std::string why;          // why there is none, for GTEST_SKIP

  explicit loop_ext4_s(int mib) {
    if (geteuid() != 0) {
      why = "needs root for loop devices";
      return;
    }
    std::string image = dir.file("fs.img"), mp = dir.file("mnt");
    std::filesystem::create_directory(mp);
    // No blocks reserved for root: the tests run as root and must meet the
    // same full disk a user does.
    std::string make = "truncate -s " + std::to_string(mib) + "M " + image + " && mkfs.ext4 -q -F -m 0 " + image +
                       " >/dev/null 2>&1 && mount -o loop " + image + " " + mp + " 2>/dev/null";
    if (system(make.c_str()) != 0) {
      why = "no loop device could be mounted";
      return;
    }
    mount_point = mp;
  }
  ~loop_ext4_s() {
    if (mount_point.empty()) return;
    if (umount(mount_point.c_str()) != 0) umount2(mount_point.c_str(), MNT_DETACH);
  }
  loop_ext4_s(const loop_ext4_s&) = delete;
  loop_ext4_s& operator=(const loop_ext4_s&) = delete;

  bool remount_read_only() {
    return mount(nullptr, mount_point.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
  // Writes zeros into a file until the file system has no block left.
  void fill() {
    std::string path = mount_point + "/fill";
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    static const char zeros[4096] = {};
    setvbuf(f, nullptr, _IONBF, 0);
    while (fwrite(zeros, 1, sizeof zeros, f) == sizeof zeros) {
    }
    while (fwrite(zeros, 1, 1, f) == 1) {
    }
    fclose(f);
  }
};
