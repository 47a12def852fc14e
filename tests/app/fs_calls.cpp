// The counting wrappers: this program's own definitions of the libc entry
// points come before libc's, count while a test asks them to, and hand on
// to the next definition (libc's, or a sanitizer's). No libc header that
// declares them is included here, so their declarations cannot clash.
#include "fs_calls.h"

#include <dlfcn.h>

#include <atomic>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_lookups{0};
std::atomic<long> g_folder_reads{0};

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void lookup() {
  if (g_counting.load(std::memory_order_relaxed)) g_lookups.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace fs_calls {

void start() {
  g_lookups = 0;
  g_folder_reads = 0;
  g_counting = true;
}

counts_s stop() {
  g_counting = false;
  return {g_lookups.load(), g_folder_reads.load()};
}

}  // namespace fs_calls

extern "C" {

struct stat;
struct statx;
struct __dirstream;

int access(const char* path, int mode) {
  static auto f = next<int (*)(const char*, int)>("access");
  lookup();
  return f(path, mode);
}

int faccessat(int dir, const char* path, int mode, int flags) {
  static auto f = next<int (*)(int, const char*, int, int)>("faccessat");
  lookup();
  return f(dir, path, mode, flags);
}

int stat(const char* path, struct stat* st) {
  static auto f = next<int (*)(const char*, struct stat*)>("stat");
  lookup();
  return f(path, st);
}

int lstat(const char* path, struct stat* st) {
  static auto f = next<int (*)(const char*, struct stat*)>("lstat");
  lookup();
  return f(path, st);
}

int fstatat(int dir, const char* path, struct stat* st, int flags) {
  static auto f = next<int (*)(int, const char*, struct stat*, int)>("fstatat");
  lookup();
  return f(dir, path, st, flags);
}

int statx(int dir, const char* path, int flags, unsigned int mask, struct statx* st) {
  static auto f = next<int (*)(int, const char*, int, unsigned int, struct statx*)>("statx");
  lookup();
  return f(dir, path, flags, mask, st);
}

struct __dirstream* opendir(const char* path) {
  static auto f = next<struct __dirstream* (*)(const char*)>("opendir");
  if (g_counting.load(std::memory_order_relaxed)) g_folder_reads.fetch_add(1, std::memory_order_relaxed);
  return f(path);
}

struct __dirstream* fdopendir(int fd) {
  static auto f = next<struct __dirstream* (*)(int)>("fdopendir");
  if (g_counting.load(std::memory_order_relaxed)) g_folder_reads.fetch_add(1, std::memory_order_relaxed);
  return f(fd);
}

}  // extern "C"
