// A small ext4 file system on a loop device, mounted in a temporary folder,
// for tests of full disks, read-only folders, failing disks and power cuts;
// or one of the other file systems miners use: "btrfs", "xfs", "fat32" and
// "exfat" (the last two through FUSE, fusefat and exfat-fuse, as this
// kernel may have no module for them). Needs root, loop devices and the
// file system's tools; ok() is false (with the reason in why) where they are
// missing, so that the test can skip. Everything is unmounted and detached when the loop_fs_s goes
// out of scope, whether the test passed or not.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/temp_dir.h"

#ifndef EXT4_IOC_SHUTDOWN
#define EXT4_IOC_SHUTDOWN _IOR('X', 125, __u32)
#endif
// Stops the file system as a power cut would: what its journal has not
// committed yet is lost.
const unsigned LOOP_FS_GOING_NOLOGFLUSH = 2;

struct loop_fs_s {
  temp_dir_s base{"loopfs"};
  std::string image, device, mount_point, why;
  std::string options;
  std::string type;
  bool mounted = false;

  // size_mb of ext4 (or of the type given: "btrfs"), mounted with options
  // (e.g. "commit=60").
  explicit loop_fs_s(unsigned size_mb, const std::string& mount_options = "", const std::string& fs_type = "ext4")
      : options(mount_options), type(fs_type) {
    if (geteuid() != 0) {
      why = "needs root";
      return;
    }
    if (base.path.empty()) {
      why = "no temporary folder";
      return;
    }
    image = base.file("fs.img");
    mount_point = base.file("mnt");
    std::string out;
    if (!run("truncate -s " + std::to_string(size_mb) + "M " + image, &out) ||
        !run(mkfs_command(), &out) || !run("losetup -f --show " + image, &device) ||
        device.empty()) {
      why = "no loop device or mkfs: " + out + device;
      device.clear();
      return;
    }
    if (mkdir(mount_point.c_str(), 0755) != 0 || !mount_now()) why = "mount failed";
  }
  ~loop_fs_s() {
    if (!image.empty()) failing(false);
    unmount();
    if (!device.empty()) run("losetup -d " + device, nullptr);
  }
  loop_fs_s(const loop_fs_s&) = delete;
  loop_fs_s& operator=(const loop_fs_s&) = delete;

  bool ok() const { return mounted; }
  std::string file(const std::string& name) const { return mount_point + "/" + name; }

  // The power cut: the file system stops without flushing its journal, then
  // it is mounted again as after a reboot.
  bool cut_power_and_remount() {
    int fd = open(mount_point.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    unsigned flags = LOOP_FS_GOING_NOLOGFLUSH;
    bool cut = ioctl(fd, EXT4_IOC_SHUTDOWN, &flags) == 0;
    close(fd);
    return cut && unmount() && mount_now();
  }

  // The disk fails: with its backing file immutable, every write the file
  // system sends to the device ends in EIO. Cleared again by failing(false).
  bool failing(bool on) { return run(std::string("chattr ") + (on ? "+i " : "-i ") + image, nullptr); }
  // After a failure: the file system is mounted again, its journal replayed.
  bool remount() { return unmount() && mount_now(); }

  bool remount_read_only() {
    return mount(nullptr, mount_point.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
  // Writes zeros into a file until the file system has no block left: the
  // full disk a user meets (no blocks are reserved for root).
  void fill() {
    FILE* f = fopen(file("fill").c_str(), "wb");
    if (!f) return;
    static const char zeros[4096] = {};
    setvbuf(f, nullptr, _IONBF, 0);
    while (fwrite(zeros, 1, sizeof zeros, f) == sizeof zeros) {
    }
    while (fwrite(zeros, 1, 1, f) == 1) {
    }
    fclose(f);
  }

  std::string mkfs_command() const {
    if (type == "btrfs") return "mkfs.btrfs -q -f " + image;
    if (type == "xfs") return "mkfs.xfs -q -f " + image;
    if (type == "fat32") return "mkfs.vfat -F 32 -S 512 -s 8 " + image;  // fusefat counts no free space with smaller clusters
    if (type == "exfat") return "mkfs.exfat " + image;
    return "mkfs.ext4 -q -F -m 0 " + image;
  }
  bool fuse() const { return type == "fat32" || type == "exfat"; }

  bool mount_now() {
    if (fuse()) {
      std::string out;
      mounted = run((type == "fat32" ? "fusefat -o rw+ " : "mount.exfat-fuse ") + device + " " + mount_point, &out);
      if (!mounted) why = "FUSE mount failed: " + out;
      return mounted;
    }
    mounted = mount(device.c_str(), mount_point.c_str(), type.c_str(), 0, options.c_str()) == 0;
    return mounted;
  }
  // The disk comes back on another device number (another USB port, a
  // reboot that numbers disks anew): unmounted, attached to a second loop
  // device, the first one let go, mounted again.
  bool reattach_elsewhere() {
    std::string other;
    if (!unmount() || !run("losetup -f --show " + image, &other) || other.empty()) return false;
    run("losetup -d " + device, nullptr);
    device = other;
    return mount_now();
  }

  bool unmount() {
    if (!mounted) return true;
    // A file system that was shut down may still be busy for a moment.
    bool done = false;
    for (int i = 0; i < 100 && !(done = umount(mount_point.c_str()) == 0); i++) usleep(100000);
    if (!done) umount2(mount_point.c_str(), MNT_DETACH);
    mounted = false;
    return done;
  }

  static bool run(const std::string& command, std::string* out) {
    FILE* f = popen((command + " 2>&1").c_str(), "r");
    if (!f) return false;
    std::string text;
    char buf[256];
    while (fgets(buf, sizeof buf, f)) text += buf;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (out) *out = text;
    return pclose(f) == 0;
  }
};
