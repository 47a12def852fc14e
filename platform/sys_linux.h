// Platform layer: files, folders, drives, memory, log, clock, timers, the
// UI-thread task queue and the fixed hooks. Plain free functions over a few
// globals; every other subsystem reaches the operating system through here.
#pragma once

#include <aio.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <atomic>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sys_tasks.h"
#include "platform/util.h"

// ---- Log ------------------------------------------------------------------

// The open "log.txt", null until the first message opens it (a failed open is
// retried by the next message).
extern std::atomic<FILE*> g_log_file;

// printf-style message to standard error and to "log.txt" in the working
// folder, started anew by the first message, which first keeps the previous
// session's "log.txt" as "log.old.txt". Messages carry their own line ends.
void sys_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Why the last message did not reach "log.txt" (an errno: the file could
// not be opened, or the write failed); 0 when it did. Messages still reach
// standard error, and each one tries the file again.
int sys_log_error();

// ---- Hooks ----------------------------------------------------------------

void sys_init();
// Ends the process with exit status 1 after flushing the log; no atexit
// handler or static destructor runs, so any thread may call it.
[[noreturn]] void sys_exit_error();
bool sys_gpu_dog_adjusted();
bool sys_gpu_dog_adjust();
void sys_work_thread_hook(bool running);
int sys_plot_start_hook();
// Names the calling thread (at most 127 characters; a name the system finds
// too long is ignored).
void sys_thread_name(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Memory ---------------------------------------------------------------

void* sys_aligned_alloc(uint64_t align, uint64_t size);
void sys_aligned_free(void* p);
// 4096-byte aligned; for direct-I/O buffers.
void* sys_page_alloc(uint64_t size);
void sys_page_free(void* p);
// Memory available to new allocations now (the kernel's MemAvailable, which
// counts reclaimable page cache), in bytes; *total (may be null) receives the
// installed memory.
uint64_t sys_memory(uint64_t* total);
// The MemAvailable value of a /proc/meminfo text in bytes; 0 when absent.
uint64_t sys_meminfo_available(const char* meminfo);

// ---- Clock ----------------------------------------------------------------

void sys_time_start();
// Seconds since the last sys_time_start, in whole milliseconds; wraps after
// 2^32 ms.
double sys_time();
// The millisecond arithmetic of sys_time on two clock readings, so that it can
// be checked without waiting on the clock.
uint32_t sys_time_ms_between(const timespec& from, const timespec& to);
// Seconds from the sys_time reading from to the later reading to, right
// across a wrap of the clock (unsigned 32-bit millisecond subtraction): every
// interval of the program's clock is taken through here, never as to - from.
// A to before from reads as a time near 49.7 days.
double sys_seconds_between(double from, double to);
// Restarts the clock so that it reads seconds now (sys_time_start is this
// with 0); lets a wrap be reproduced without waiting 49.7 days.
void sys_time_start_at(double seconds);

// The length of an interval that may outlast a wrap of the clock (a run of
// many days): it counts on across wraps as long as it is read at least once
// every 49 days. UI thread (or any one thread) only.
struct elapsed_clock_s {
  double last;     // the sys_time reading of the latest read
  double seconds;  // seconds counted up to that reading
};
void elapsed_clock_start(elapsed_clock_s* c);
double elapsed_clock_read(elapsed_clock_s* c);

// ---- Random ---------------------------------------------------------------

void sys_random(uint64_t n, void* out);

// ---- Folders and the working directory ------------------------------------

// Calls fn with dir + "/" + name for each entry (no "/" added when dir is
// empty or already ends in one), "." and ".." included; stops at the first
// false. A folder that cannot be opened gives no calls.
void sys_list_dir(const char* dir, const std::function<bool(const char*)>& fn);
bool sys_dir_exists(const char* path);
void sys_getcwd(int size, char* buf);
void sys_chdir(const char* path);

// ---- Drives ---------------------------------------------------------------

// The alignment of file offsets and sizes for plot files: 16384 everywhere.
uint64_t sys_sector_size(const char* path);
void sys_volume_info(const char* path, int size, char* volume_name, char* fs_name, uint32_t* serial);
// Bytes available to an unprivileged user; *total (may be null) receives the
// file system's size. 0 and a log line on failure (total untouched).
uint64_t sys_free_space(const char* path, uint64_t* total);

// ---- Files ----------------------------------------------------------------
// A descriptor of 0 means "no file" everywhere in the program.

// Opens or creates path for direct I/O (contents kept) and preallocates
// bytes; where the file system refuses preallocation (logged once) the file
// keeps its size, to grow as it is written, once the folder's free space
// is found to hold all of it. 0 on
// failure, with the reason in errno (as for every failure below that logs);
// a file this call created is then removed, so that a refused allocation
// gives back the space it had taken.
int sys_create_file(const char* path, uint64_t bytes, bool may_exist);
// Read-only, buffered; 0 when the file cannot be opened.
int sys_open_read(const char* path, bool async);
void sys_close(int fd);
void sys_unlink(const char* path);
bool sys_exists(const char* path);
// False, with a log line, when the rename fails.
bool sys_rename(const char* from, const char* to);
// fdatasync: the file's data (and the size and extents that reach it) is on
// the disk when this returns true; false with a log line.
bool sys_sync_data(int fd);
// Makes the entries of the folder holding path (a rename, a creation, a
// deletion) durable; false with a log line.
bool sys_sync_folder_of(const char* path);
uint64_t sys_file_size(int fd);
// Replaces path with exactly len bytes of data, or leaves it as it was: the
// bytes go to a temporary file in the same folder, which is synced, renamed
// over path, and the folder synced. False on any failure, with the reason
// (strerror text) in *error when error is not null.
bool sys_write_file_atomic(const char* path, const void* data, uint64_t len, std::string* error);
// The file system (device id) that holds path and the path's canonical form
// (absolute, symbolic links resolved, no trailing '/'); false when the path
// cannot be resolved.
bool sys_path_identity(const char* path, uint64_t* device, std::string* real_path);
// What names the file system that holds path across unmounts and reboots
// (the id the file system reports, derived from its UUID where it has one;
// else its device number), so that a folder whose disk is not mounted, an
// empty mount point on the system disk, is told apart from the disk itself.
// False when the path cannot be reached. The id is "uuid:" and the file
// system's UUID (udev's /dev/disk/by-uuid or its superblock), so that a
// disk keeps it on another device number; where it has none, the id statfs
// reports or the device number.
bool sys_fs_identity(const char* path, std::string* id);
// Whether the file system holding path is the one id (from sys_fs_identity,
// also of an older form) names.
bool sys_fs_identity_is(const char* path, const std::string& id);

// The mount that holds real (a resolved path): the longest mount point that
// is real or lies above it, the last one mounted there. Its type and source
// as /proc/self/mountinfo gives them; false when none is found.
bool sys_mount_of(const std::string& real, std::string* type, std::string* source);
// What the file system holding path is, and the largest file it can hold.
struct sys_fs_info_s {
  // As the kernel names it ("ext4", "vfat", "fuse.fusefat"); a FUSE
  // block-device mount as "fuseblk." and the type found on its device.
  std::string type;
  std::string source;       // the mount's source ("/dev/sdb1")
  uint64_t max_file_bytes;  // 0 = no limit of its own
};
// FAT's limit: a file's size is a 32-bit field.
extern const uint64_t SYS_FAT_MAX_FILE_BYTES;
// False when the path or its mount cannot be found.
bool sys_fs_info(const char* path, sys_fs_info_s* out);
// Bytes of a file that will hold whole bytes (or its size, when larger)
// that have no blocks allocated yet: the holes of a sparse file, and the
// part not yet written of one that grows as it is written (a file system
// that cannot preallocate); 0 when it cannot be read.
uint64_t sys_unallocated_bytes(const char* path, uint64_t whole);
// Seeks and writes length bytes. A failure is returned as false with a log
// line and the error number left in errno, for the caller to tell the user
// with the file's name; the process goes on.
bool sys_write_at(int fd, uint64_t offset, uint64_t length, const void* buf);
// Reads synchronously when async is null; else queues an asynchronous read
// whose control block (owned by the caller from then on, free it with
// sys_aio_free) is stored in *async. When the system's queue is full the read
// is done at once and the block is left zeroed (descriptor 0).
bool sys_read_at(int fd, uint64_t offset, uint64_t length, void* buf, aiocb** async);
// The call that queues an asynchronous read (aio_read); replaceable so that a
// full system queue can be reproduced.
extern int (*g_sys_aio_read)(aiocb* request);
enum { SYS_COPY_DONE = 0, SYS_COPY_STOPPED = 1, SYS_COPY_FAILED = 2, SYS_COPY_FULL = 3 };
// Copies src into dst (created or emptied) inside the kernel in steps of at
// most 8 MiB, writing each step out to dst's disk behind the copy, and syncs
// dst. After each step progress gets the bytes of dst already on its disk
// (where the file system cannot tell, the bytes copied), and once more, with
// the whole size, after the final sync when that report is new. A step
// after which progress returns false ends it with SYS_COPY_STOPPED; a
// failed open, copy or sync gives SYS_COPY_FAILED with a log line and, when
// why is not null, the step, its file and the reason in words in *why
// (SYS_COPY_FULL when the reason is that dst's disk or quota is full). src
// is never touched; dst is left as it is on a stop or failure.
int sys_copy_file(const char* src, const char* dst, const std::function<bool(uint64_t)>& progress,
                  std::string* why = nullptr);

// ---- Asynchronous reads ---------------------------------------------------

bool sys_aio_done(int fd, aiocb* request);
// A null request cancels every outstanding request of fd.
void sys_aio_cancel(int fd, aiocb* request);
void sys_aio_free(aiocb* request);
