/* A file system that hangs, as a network mount whose server is gone does:
 * loaded with LD_PRELOAD, it holds every stat, open and opendir of a path
 * containing $VG_HOLD_MATCH from hold_fs_arm() until hold_fs_release().
 * The test finds these functions with dlsym. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
static int g_armed = 0;
static int g_held = 0;

/* Calls waiting now. */
int hold_fs_held(void)
{
  pthread_mutex_lock(&g_mutex);
  int n = g_held;
  pthread_mutex_unlock(&g_mutex);
  return n;
}

void hold_fs_arm(void)
{
  pthread_mutex_lock(&g_mutex);
  g_armed = 1;
  pthread_mutex_unlock(&g_mutex);
}

void hold_fs_release(void)
{
  pthread_mutex_lock(&g_mutex);
  g_armed = 0;
  pthread_cond_broadcast(&g_cond);
  pthread_mutex_unlock(&g_mutex);
}

static void hold(const char* path)
{
  const char* match = getenv("VG_HOLD_MATCH");
  if (!path || !match || !*match || !strstr(path, match))
    return;
  pthread_mutex_lock(&g_mutex);
  if (!g_armed) {
    pthread_mutex_unlock(&g_mutex);
    return;
  }
  g_held++;
  while (g_armed)
    pthread_cond_wait(&g_cond, &g_mutex);
  g_held--;
  pthread_mutex_unlock(&g_mutex);
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static mode_t mode_arg(int flags, va_list ap)
{
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...)
{
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  hold(path);
  return NEXT(open)(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  hold(path);
  return NEXT(open64)(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...)
{
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  hold(path);
  return NEXT(openat)(dir, path, flags, mode);
}

int __open_2(const char* path, int flags)
{
  hold(path);
  return NEXT(__open_2)(path, flags);
}

int __open64_2(const char* path, int flags)
{
  hold(path);
  return NEXT(__open64_2)(path, flags);
}

int stat(const char* path, struct stat* st)
{
  hold(path);
  return NEXT(stat)(path, st);
}

int stat64(const char* path, struct stat64* st)
{
  hold(path);
  return NEXT(stat64)(path, st);
}

int lstat(const char* path, struct stat* st)
{
  hold(path);
  return NEXT(lstat)(path, st);
}

int fstatat(int dir, const char* path, struct stat* st, int flags)
{
  hold(path);
  return NEXT(fstatat)(dir, path, st, flags);
}

int statx(int dir, const char* path, int flags, unsigned mask, struct statx* st)
{
  hold(path);
  return NEXT(statx)(dir, path, flags, mask, st);
}

DIR* opendir(const char* path)
{
  hold(path);
  return NEXT(opendir)(path);
}
