// The hooks, aligned memory, the clock and the random source.
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cmath>

#include "platform/sys_linux.h"

// ---- Hooks ----------------------------------------------------------------

void sys_init() {}
// Other threads may still be writing files or logging while this one gives
// up: exit() would run static destructors under them (the log, the OpenCL
// loader, the GTK state), so the log is flushed and the process ends at once.
void sys_exit_error() {
  FILE* log = g_log_file.load(std::memory_order_acquire);
  if (log) fflush(log);
  fflush(stdout);
  fflush(stderr);
  _exit(1);
}
bool sys_gpu_dog_adjusted() { return true; }
bool sys_gpu_dog_adjust() { return true; }
void sys_work_thread_hook(bool) {}
int sys_plot_start_hook() { return 0; }

void sys_thread_name(const char* format, ...) {
  char name[128];
  va_list args;
  va_start(args, format);
  vsnprintf(name, sizeof name, format, args);
  va_end(args);
  pthread_setname_np(pthread_self(), name);
}

// ---- Memory ---------------------------------------------------------------

void* sys_aligned_alloc(uint64_t align, uint64_t size) {
  // aligned_alloc wants a size that is a multiple of the alignment.
  if (align == 0 || size > UINT64_MAX - align) return nullptr;
  uint64_t rounded = (size + align - 1) / align * align;
  return aligned_alloc((size_t)align, (size_t)rounded);
}
void sys_aligned_free(void* p) { free(p); }
void* sys_page_alloc(uint64_t size) { return sys_aligned_alloc(4096, size); }
void sys_page_free(void* p) { free(p); }

uint64_t sys_meminfo_available(const char* meminfo) {
  const char* at = strstr(meminfo, "MemAvailable:");
  if (!at) return 0;
  unsigned long long kib = 0;
  if (sscanf(at, "MemAvailable: %llu kB", &kib) != 1) return 0;
  return (uint64_t)kib * 1024;
}

// Free pages alone leave out the page cache the kernel gives back at once,
// which after writing plot files is most of the memory: the kernel's own
// estimate of what a new allocation can get is MemAvailable.
uint64_t sys_memory(uint64_t* total) {
  uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
  if (total) *total = (uint64_t)sysconf(_SC_PHYS_PAGES) * page;
  char text[8192] = {};
  FILE* f = fopen("/proc/meminfo", "re");
  if (f) {
    size_t n = fread(text, 1, sizeof text - 1, f);
    text[n] = 0;
    fclose(f);
  }
  uint64_t avail = sys_meminfo_available(text);
  if (avail != 0) return avail;
  return (uint64_t)sysconf(_SC_AVPHYS_PAGES) * page;
}

// ---- Clock ----------------------------------------------------------------

// Only the low 32 bits of the reference's seconds take part in the
// arithmetic, and nanoseconds fit in 30 bits, so the reference packs into one
// atomic word that every thread may read while the UI thread restarts it.
static std::atomic<uint64_t> g_start_time{0};

void sys_time_start() { sys_time_start_at(0); }

// The reference is moved back by the given milliseconds; its nanoseconds are
// kept in 0 .. 999999999 by borrowing whole seconds.
void sys_time_start_at(double seconds) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint32_t ms = (uint32_t)llround(seconds * 1000.0);
  uint32_t sec = (uint32_t)now.tv_sec - ms / 1000u;
  int64_t nsec = (int64_t)now.tv_nsec - (int64_t)(ms % 1000u) * 1000000;
  if (nsec < 0) {
    nsec += 1000000000;
    sec--;
  }
  g_start_time.store(((uint64_t)sec << 32) | (uint64_t)nsec, std::memory_order_relaxed);
}

static uint32_t sys_time_ms(double seconds) { return (uint32_t)(uint64_t)llround(seconds * 1000.0); }

double sys_seconds_between(double from, double to) {
  return (uint32_t)(sys_time_ms(to) - sys_time_ms(from)) / 1000.0;
}

void elapsed_clock_start(elapsed_clock_s* c) {
  c->last = sys_time();
  c->seconds = 0;
}

double elapsed_clock_read(elapsed_clock_s* c) {
  double now = sys_time();
  c->seconds += sys_seconds_between(c->last, now);
  c->last = now;
  return c->seconds;
}

uint32_t sys_time_ms_between(const timespec& from, const timespec& to) {
  uint32_t ms = ((uint32_t)to.tv_sec - (uint32_t)from.tv_sec) * 1000u;
  int64_t nsec = (int64_t)to.tv_nsec - (int64_t)from.tv_nsec;
  return ms + (uint32_t)(nsec / 1000000);
}

double sys_time() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t packed = g_start_time.load(std::memory_order_relaxed);
  timespec from;
  from.tv_sec = (time_t)(packed >> 32);
  from.tv_nsec = (long)(packed & 0xffffffffu);
  return sys_time_ms_between(from, now) / 1000.0;
}

// ---- Random ---------------------------------------------------------------

void sys_random(uint64_t n, void* out) {
  // The random pool may hand out fewer bytes than asked; ask again for the rest.
  uint8_t* p = (uint8_t*)out;
  while (n > 0) {
    ssize_t got = getrandom(p, (size_t)n, GRND_RANDOM);
    if (got <= 0) return;
    p += got;
    n -= (uint64_t)got;
  }
}
