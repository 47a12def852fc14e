// The log every subsystem writes to, and the assertion routine built on it.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "platform/sys_linux.h"
#include "platform/util.h"

// ---- Log ------------------------------------------------------------------

// Atomic so that threads logging while the first open is retried read a whole
// pointer; the mutex makes that only one of them opens (and starts) the file.
std::atomic<FILE*> g_log_file{nullptr};
static std::mutex g_log_open_mutex;
// Set by the message that could not be written to the file, cleared by one
// that was: a read-only or full working folder is told at start-up.
static std::atomic<int> g_log_error{0};

int sys_log_error() { return g_log_error.load(); }

static FILE* log_file() {
  FILE* f = g_log_file.load(std::memory_order_acquire);
  if (f) return f;
  std::lock_guard<std::mutex> lock(g_log_open_mutex);
  f = g_log_file.load(std::memory_order_acquire);
  if (!f) {
    // The log of the previous session (a failed night read the next
    // morning) is kept as "log.old.txt"; only a plain file is moved, so that
    // whatever else stands in the log's place is left alone.
    struct stat st;
    if (stat("log.txt", &st) == 0 && S_ISREG(st.st_mode)) rename("log.txt", "log.old.txt");
    f = fopen("log.txt", "w");
    if (!f) g_log_error.store(errno ? errno : EIO);
    g_log_file.store(f, std::memory_order_release);
  }
  return f;
}

static void log_write(const char* text, size_t n) {
  fputs(text, stderr);
  FILE* f = log_file();
  if (!f) return;
  time_t now = time(nullptr);
  struct tm local;
  char stamp[32] = {0};
  if (localtime_r(&now, &local)) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
  // Held across prefix and text so that another thread's message cannot
  // fall between them.
  flockfile(f);
  fputs(stamp, f);
  fwrite(text, 1, n, f);
  errno = 0;
  bool written = fflush(f) == 0 && !ferror(f);
  // A full disk refuses this message; the next one tries again.
  g_log_error.store(written ? 0 : errno ? errno : EIO);
  clearerr(f);
  funlockfile(f);
}

void sys_log(const char* format, ...) {
  char stack[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(stack, sizeof stack, format, args);
  va_end(args);
  stack[sizeof stack - 1] = 0;
  if (n < 0) return;
  if ((size_t)n < sizeof stack) {
    log_write(stack, (size_t)n);
    return;
  }
  char* heap = (char*)malloc((size_t)n + 1);
  if (!heap) {
    // Better the first 1023 characters than nothing.
    log_write(stack, sizeof stack - 1);
    return;
  }
  va_start(args, format);
  vsnprintf(heap, (size_t)n + 1, format, args);
  va_end(args);
  heap[n] = 0;
  log_write(heap, (size_t)n);
  free(heap);
}

void util_assert(int ok, bool fatal, const char* file, int line) {
  if (ok) return;
  sys_log("Assertion failure %s : %d\n", file, line);
  if (fatal) sys_exit_error();
}
