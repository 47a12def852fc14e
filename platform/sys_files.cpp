// Files, folders, drives and asynchronous reads.
#include <blkid/blkid.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/sys_linux.h"
#include "platform/util.h"

// A descriptor of 0 means "no file" to every caller, so a file that the
// system happens to open as descriptor 0 (standard input closed) is moved up.
static int off_zero(int fd) {
  if (fd != 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  close(fd);
  return moved < 0 ? -1 : moved;
}

// Keeps errno across a log line, so that a caller that sees a failure
// returned can still tell the user its reason.
struct errno_kept_s {
  int err = errno;
  ~errno_kept_s() { errno = err; }
};

// The folder that holds path.
static std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// ---- Folders and the working directory ------------------------------------

void sys_list_dir(const char* dir, const std::function<bool(const char*)>& fn) {
  DIR* d = opendir(dir);
  if (!d) return;
  std::string prefix = dir;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  std::string path;
  while (dirent* e = readdir(d)) {
    path = prefix;
    path += e->d_name;
    if (!fn(path.c_str())) break;
  }
  closedir(d);
}

bool sys_dir_exists(const char* path) {
  DIR* d = opendir(path);
  if (!d) return false;
  closedir(d);
  return true;
}

void sys_getcwd(int size, char* buf) {
  if (size < 1) return;
  if (!getcwd(buf, (size_t)size)) buf[0] = 0;
}

void sys_chdir(const char* path) {
  if (chdir(path) != 0) {
    // Not reported, as callers expect.
  }
}

// ---- Drives ---------------------------------------------------------------

uint64_t sys_sector_size(const char*) { return 16384; }

void sys_volume_info(const char*, int size, char* volume_name, char* fs_name, uint32_t* serial) {
  if (size >= 1) {
    text_copy(volume_name, "", (uint64_t)size);
    text_copy(fs_name, "", (uint64_t)size);
  }
  if (serial && getrandom(serial, sizeof *serial, GRND_RANDOM) != (ssize_t)sizeof *serial) {
    // The caller draws another serial when this one stays 0.
  }
}

uint64_t sys_free_space(const char* path, uint64_t* total) {
  struct statvfs st;
  if (statvfs(path, &st) != 0) {
    sys_log("Error getting free space for path %s\n", path);
    return 0;
  }
  if (total) *total = (uint64_t)st.f_blocks * st.f_bsize;
  return (uint64_t)st.f_bavail * st.f_bsize;
}

// ---- Files ----------------------------------------------------------------

// Some file systems (exFAT and FAT through FUSE, several network ones)
// refuse fallocate. glibc's posix_fallocate would then write a byte into
// every block through the O_DIRECT descriptor, and setting the size makes
// a file system without sparse files write the whole file as zeros before
// the first batch: the disk written twice, hours at 0 %. So the file is left
// as it is and grows as its batches are written, once the folder's free
// space is found to hold all of it.
static bool grow_without_fallocate(const char* path, uint64_t size, uint64_t bytes) {
  // Said once for each folder it concerns, not for every file.
  static std::mutex mutex;
  static std::set<std::string> told;
  std::string folder = folder_of(path);
  bool first;
  {
    std::lock_guard<std::mutex> lock(mutex);
    first = told.insert(folder).second;
  }
  if (first)
    sys_log("The file system of %s does not preallocate files: plot files grow as their batches are written\n",
            folder.c_str());
  if (bytes > size && sys_free_space(folder.c_str(), nullptr) < bytes - size) {
    sys_log("Not enough free space for %s\n", path);
    errno = ENOSPC;
    return false;
  }
  return true;
}

int sys_create_file(const char* path, uint64_t bytes, bool) {
  // Created here (not reopened) decides whether a failure removes it: a
  // reopened file holds data of an earlier run.
  int fd = off_zero(open(path, O_RDWR | O_CREAT | O_EXCL | O_DIRECT | O_CLOEXEC, 0644));
  bool created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = off_zero(open(path, O_RDWR | O_DIRECT | O_CLOEXEC));
  if (fd < 0) {
    errno_kept_s kept;
    sys_log("Could not create file: %s errno = %d (%s)\n", path, kept.err, strerror(kept.err));
    return 0;
  }
  sys_log("Allocating %s for %s...\n", format_size(bytes, false, ""), path);
  bool ok = bytes > (uint64_t)INT64_MAX ? (errno = EFBIG, false) : fallocate(fd, 0, 0, (off_t)bytes) == 0;
  if (!ok && (errno == EOPNOTSUPP || errno == ENOSYS)) ok = grow_without_fallocate(path, sys_file_size(fd), bytes);
  if (!ok) {
    errno_kept_s kept;
    sys_log("Failed to efficiently resize %s: %s\n", path, strerror(kept.err));
    // The caller never sees this descriptor, so it must not stay open; a
    // file made here would keep what was allocated of it.
    close(fd);
    if (created) {
      unlink(path);
      sys_log("Removed %s, whose space could not be allocated\n", path);
    }
    return 0;
  }
  sys_log("Done allocating space for %s\n", path);
  return fd;
}

int sys_open_read(const char* path, bool) {
  int fd = off_zero(open(path, O_RDONLY | O_CLOEXEC));
  return fd < 0 ? 0 : fd;
}

void sys_close(int fd) { close(fd); }
void sys_unlink(const char* path) { unlink(path); }
bool sys_exists(const char* path) { return access(path, F_OK) == 0; }

bool sys_rename(const char* from, const char* to) {
  if (rename(from, to) == 0) return true;
  errno_kept_s kept;
  sys_log("Failed to rename %s to %s errno %d (%s)\n", from, to, kept.err, strerror(kept.err));
  return false;
}

bool sys_sync_data(int fd) {
  while (fdatasync(fd) != 0) {
    if (errno == EINTR) continue;
    errno_kept_s kept;
    sys_log("Failed to sync file data. Error %s\n", strerror(kept.err));
    return false;
  }
  return true;
}

bool sys_sync_folder_of(const char* path) {
  std::string folder = folder_of(path);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    errno_kept_s kept;
    sys_log("Failed to sync folder %s. Error %s\n", folder.c_str(), strerror(kept.err));
    if (fd >= 0) close(fd);
    return false;
  }
  close(fd);
  return true;
}

uint64_t sys_file_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    util_assert(0, false, "sys_linux", 305);
    return 0;
  }
  return (uint64_t)st.st_size;
}

bool sys_write_at(int fd, uint64_t offset, uint64_t length, const void* buf) {
  if (lseek(fd, (off_t)offset, SEEK_SET) < 0) {
    errno_kept_s kept;
    sys_log("Failed to write to file at offset %llu. Error %s\n", (unsigned long long)offset, strerror(kept.err));
    return false;
  }
  // Normally one call; a short write (signal, nearly full disk) is continued
  // rather than leaving a hole of stale bytes in a plot file.
  const uint8_t* p = (const uint8_t*)buf;
  uint64_t left = length;
  while (left > 0) {
    ssize_t n = write(fd, p, (size_t)left);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) errno = ENOSPC;
      errno_kept_s kept;
      sys_log("\n\nError while writing to file: %s. Offset %llu, bytes: %llu\n\n", strerror(kept.err),
              (unsigned long long)offset, (unsigned long long)length);
      return false;
    }
    p += n;
    left -= (uint64_t)n;
  }
  return true;
}

// ---- Whole files written atomically ---------------------------------------

static bool write_all(int fd, const uint8_t* p, uint64_t left) {
  while (left > 0) {
    ssize_t n = write(fd, p, (size_t)left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    p += n;
    left -= (uint64_t)n;
  }
  return true;
}

static bool fail_with(std::string* error, int err) {
  if (error) *error = strerror(err);
  return false;
}

bool sys_write_file_atomic(const char* path, const void* data, uint64_t len, std::string* error) {
  std::string temp = std::string(path) + ".saving-XXXXXX";
  int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) return fail_with(error, errno);
  fd = off_zero(fd);
  // The new file keeps the permissions of the one it replaces.
  struct stat st;
  mode_t mode = stat(path, &st) == 0 ? (st.st_mode & 07777) : 0644;
  bool ok = fd > 0 && fchmod(fd, mode) == 0 && write_all(fd, (const uint8_t*)data, len) && fsync(fd) == 0;
  int err = errno;
  if (fd > 0 && close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(temp.c_str(), path) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    return fail_with(error, err);
  }
  // The rename is durable only once the folder's entry is on the disk.
  int dir = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return fail_with(error, errno);
  bool synced = fsync(dir) == 0;
  err = errno;
  close(dir);
  return synced ? true : fail_with(error, err);
}

bool sys_path_identity(const char* path, uint64_t* device, std::string* real_path) {
  char* real = realpath(path, nullptr);
  if (!real) return false;
  struct stat st;
  bool ok = stat(real, &st) == 0;
  if (ok) {
    *device = (uint64_t)st.st_dev;
    *real_path = real;
  }
  free(real);
  return ok;
}

namespace {

// A field of /proc/self/mountinfo: blanks, tabs, newlines and backslashes
// are written as a backslash and three octal digits.
std::string mountinfo_field(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); i++) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '7') {
      out += static_cast<char>(strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// A tag ("TYPE", "UUID") of the file system on a block device, read from
// its superblock; "" when it cannot be read (the device needs read access).
std::string probe_tag(const std::string& device, const char* tag) {
  if (device.rfind("/dev/", 0) != 0) return "";
  blkid_probe pr = blkid_new_probe_from_filename(device.c_str());
  if (!pr) return "";
  std::string value;
  const char* data = nullptr;
  if (blkid_do_safeprobe(pr) == 0 && blkid_probe_lookup_value(pr, tag, &data, nullptr) == 0 && data) value = data;
  blkid_free_probe(pr);
  return value;
}

// The UUID of the file system on device: udev's /dev/disk/by-uuid links,
// which any user may read, else its superblock.
std::string device_uuid(const std::string& device) {
  if (device.rfind("/dev/", 0) != 0) return "";
  char* real = realpath(device.c_str(), nullptr);
  if (!real) return "";
  std::string target = real;
  free(real);
  std::string uuid;
  sys_list_dir("/dev/disk/by-uuid", [&](const char* link) {
    char* to = realpath(link, nullptr);
    if (to && target == to) uuid = strrchr(link, '/') + 1;
    free(to);
    return uuid.empty();
  });
  return uuid.empty() ? probe_tag(target, "UUID") : uuid;
}

bool real_path_of(const char* path, std::string* real) {
  char* r = realpath(path, nullptr);
  if (!r) return false;
  *real = r;
  free(r);
  return true;
}

// The id of round-about means: statfs's f_fsid (derived from the device
// number on some file systems, xfs among them), else the device number.
bool statfs_identity(const char* path, std::string* id) {
  struct statfs fs;
  struct stat st;
  if (statfs(path, &fs) != 0 || stat(path, &st) != 0) return false;
  uint64_t fsid = (uint64_t)(uint32_t)fs.f_fsid.__val[0] | ((uint64_t)(uint32_t)fs.f_fsid.__val[1] << 32);
  char text[64];
  if (fsid != 0)
    snprintf(text, sizeof text, "fsid:%016llx", (unsigned long long)fsid);
  else
    snprintf(text, sizeof text, "dev:%llx", (unsigned long long)st.st_dev);
  *id = text;
  return true;
}

}  // namespace

const uint64_t SYS_FAT_MAX_FILE_BYTES = (4ull << 30) - 1;

bool sys_mount_of(const std::string& real, std::string* type, std::string* source) {
  FILE* f = fopen("/proc/self/mountinfo", "re");
  if (!f) return false;
  std::string best;
  bool found = false;
  char* line = nullptr;
  size_t cap = 0;
  while (getline(&line, &cap, f) > 0) {
    std::vector<std::string> fields;
    for (char* save = nullptr, *tok = strtok_r(line, " \n", &save); tok; tok = strtok_r(nullptr, " \n", &save))
      fields.push_back(tok);
    size_t dash = 0;
    while (dash < fields.size() && fields[dash] != "-") dash++;
    if (fields.size() < 5 || dash + 2 >= fields.size()) continue;
    std::string point = mountinfo_field(fields[4]);
    bool under = point == "/" || real == point || real.compare(0, point.size() + 1, point + "/") == 0;
    // Later lines are mounted over earlier ones at the same place.
    if (!under || point.size() < best.size()) continue;
    best = point;
    *type = fields[dash + 1];
    *source = mountinfo_field(fields[dash + 2]);
    found = true;
  }
  free(line);
  fclose(f);
  return found;
}

bool sys_fs_info(const char* path, sys_fs_info_s* out) {
  std::string real;
  *out = sys_fs_info_s();
  if (!real_path_of(path, &real) || !sys_mount_of(real, &out->type, &out->source)) return false;
  // A FUSE block-device mount names no file system of its own.
  if (out->type == "fuseblk") {
    std::string probed = probe_tag(out->source, "TYPE");
    if (!probed.empty()) out->type = "fuseblk." + probed;
  }
  static const char* const fat[] = {"vfat", "msdos", "fat", "fuse.fusefat", "fuseblk.vfat"};
  for (const char* t : fat)
    if (out->type == t) out->max_file_bytes = SYS_FAT_MAX_FILE_BYTES;
  return true;
}

bool sys_fs_identity(const char* path, std::string* id) {
  std::string real, type, source;
  if (real_path_of(path, &real) && sys_mount_of(real, &type, &source)) {
    std::string uuid = device_uuid(source);
    if (!uuid.empty()) {
      *id = "uuid:" + uuid;
      return true;
    }
  }
  return statfs_identity(path, id);
}

bool sys_fs_identity_is(const char* path, const std::string& id) {
  std::string now;
  // An id stored before disks were known by their UUIDs is compared the way
  // it was made.
  bool got = id.rfind("uuid:", 0) == 0 ? sys_fs_identity(path, &now) : statfs_identity(path, &now);
  return got && now == id;
}

uint64_t sys_unallocated_bytes(const char* path, uint64_t whole) {
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  uint64_t size = std::max<uint64_t>((uint64_t)std::max<off_t>(st.st_size, 0), whole);
  uint64_t allocated = (uint64_t)st.st_blocks * 512;
  return allocated >= size ? 0 : size - allocated;
}

static bool read_sync(int fd, uint64_t offset, uint64_t length, void* buf) {
  if (lseek(fd, (off_t)offset, SEEK_SET) < 0) {
    errno_kept_s kept;
    sys_log("Failed to seek file to offset %llu. Error %d\n", (unsigned long long)offset, kept.err);
    return false;
  }
  if (read(fd, buf, (size_t)length) < 0) {
    errno_kept_s kept;
    sys_log("Failed to read file at offset %llu. Error %d (%s)\n", (unsigned long long)offset, kept.err,
            strerror(kept.err));
    return false;
  }
  return true;
}

int (*g_sys_aio_read)(aiocb* request) = aio_read;

bool sys_read_at(int fd, uint64_t offset, uint64_t length, void* buf, aiocb** async) {
  if (!async) return read_sync(fd, offset, length, buf);
  aiocb* req = new aiocb;
  memset(req, 0, sizeof *req);
  req->aio_fildes = fd;
  req->aio_buf = buf;
  req->aio_nbytes = (size_t)length;
  req->aio_offset = (off_t)offset;
  req->aio_sigevent.sigev_notify = SIGEV_NONE;
  // Stored before queuing so that the caller owns the block on every path.
  *async = req;
  if (g_sys_aio_read(req) == 0) return true;
  if (errno == EAGAIN) {
    // The system's queue is full: read now; descriptor 0 marks it done.
    memset(req, 0, sizeof *req);
    read_sync(fd, offset, length, buf);
    return true;
  }
  sys_log("Error async reading from file. Errno %d\n", errno);
  return false;
}

namespace {

// Starts writing [from, to) of fd to its disk (wait false), or writes it and
// waits until it is there (wait true). 1 when done, 0 where the file system
// cannot do it (the data then waits for the final sync), -1 on a write
// error with errno set.
int write_back(int fd, off_t from, off_t to, bool wait) {
  if (to <= from) return 1;
  unsigned flags = wait ? SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER
                        : SYNC_FILE_RANGE_WRITE;
  if (sync_file_range(fd, from, to - from, flags) == 0) return 1;
  return errno == EIO || errno == ENOSPC ? -1 : 0;
}

}  // namespace

int sys_copy_file(const char* src, const char* dst, const std::function<bool(uint64_t)>& progress,
                  std::string* why) {
  auto failed = [why](const std::string& reason) {
    if (why) *why = reason;
    return SYS_COPY_FAILED;
  };
  int in = open(src, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0) {
    int err = errno;
    sys_log("Error opening %s for copy! Error %s\n", src, strerror(err));
    if (in >= 0) close(in);
    return failed(std::string("opening ") + src + ": " + strerror(err));
  }
  int out = open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    int err = errno;
    sys_log("Error opening %s for write! Error %s\n", dst, strerror(err));
    close(in);
    return failed(std::string("creating ") + dst + ": " + strerror(err));
  }
  const off_t size = st.st_size;
  const off_t step = 8388608;
  off_t offset = 0;
  // The page cache would take in the whole file at memory speed and leave
  // the real writing to the final sync: progress would reach the end long
  // before the data. So each step is written out behind the copy, one step
  // in flight while the next is read, and only what is on the disk counts.
  off_t started = 0;   // bytes of dst being written out or on the disk
  off_t on_disk = 0;   // bytes of dst on its disk
  bool tracked = true;  // false where the file system cannot write a range out
  int result = SYS_COPY_DONE;
  int full = 0;  // the errno when dst's disk is full
  std::string reason;
  while (offset < size) {
    ssize_t sent = sendfile(out, in, &offset, (size_t)(size - offset < step ? size - offset : step));
    int err = errno;
    if (sent < 0 && err == EINTR) continue;
    if (sent < 0) {
      sys_log("Error copying %s to %s: %s\n", src, dst, strerror(err));
      reason = std::string("copying to ") + dst + " at byte " + std::to_string((long long)offset) + ": " +
               strerror(err);
      result = SYS_COPY_FAILED;
      full = err == ENOSPC || err == EDQUOT ? err : 0;
      break;
    }
    if (tracked) {
      off_t previous = started;
      int begun = write_back(out, started, offset, false);
      int written = begun == 1 ? write_back(out, on_disk, previous, true) : begun;
      if (written < 0) {
        err = errno;
        sys_log("Error writing %s: %s\n", dst, strerror(err));
        reason = std::string("writing ") + dst + " at byte " + std::to_string((long long)on_disk) + ": " +
                 strerror(err);
        result = SYS_COPY_FAILED;
        full = err == ENOSPC || err == EDQUOT ? err : 0;
        break;
      }
      tracked = written == 1;
      started = offset;
      if (tracked) on_disk = previous;
    }
    if (!progress((uint64_t)(tracked ? on_disk : offset))) {
      result = SYS_COPY_STOPPED;
      break;
    }
    if (sent == 0) break;
  }
  if (result == SYS_COPY_DONE && offset != size) {
    sys_log("Error copying %s, %lld of %lld bytes completed\n", src, (long long)offset, (long long)size);
    reason = std::string(src) + " ended after " + std::to_string((long long)offset) + " of " +
             std::to_string((long long)size) + " bytes";
    result = SYS_COPY_FAILED;
  }
  if (result == SYS_COPY_DONE && fsync(out) != 0) {
    int err = errno;
    sys_log("Error from fsync of %s: %s\n", dst, strerror(err));
    reason = std::string("syncing ") + dst + ": " + strerror(err);
    result = SYS_COPY_FAILED;
    full = err == ENOSPC || err == EDQUOT ? err : 0;
  }
  close(out);
  close(in);
  // The whole copy is on the disk now; nothing is left to stop.
  if (result == SYS_COPY_DONE && size > 0 && (tracked ? on_disk : offset) != size) progress((uint64_t)size);
  if (result == SYS_COPY_FAILED && why) *why = reason;
  return result == SYS_COPY_FAILED && full ? SYS_COPY_FULL : result;
}

// ---- Asynchronous reads ---------------------------------------------------

bool sys_aio_done(int, aiocb* request) {
  if (request->aio_fildes == 0) return true;
  if (aio_error(request) == EINPROGRESS) return false;
  return aio_return(request) != -1;
}

void sys_aio_cancel(int fd, aiocb* request) {
  if (request && request->aio_fildes == 0) return;
  aio_cancel(fd, request);
}

void sys_aio_free(aiocb* request) { delete request; }
