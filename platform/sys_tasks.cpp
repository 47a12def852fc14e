// Repeating timers on the GTK main loop and the queue through which other
// threads hand work to the UI thread.
#include "platform/sys_tasks.h"

#include <glib.h>

#include <mutex>
#include <utility>
#include <vector>

namespace {

std::vector<std::function<void()>> g_ui_tasks;
std::mutex g_ui_tasks_mutex;

gboolean timer_tick(gpointer data) {
  auto* fn = (std::function<bool()>*)data;
  if ((*fn)()) return TRUE;
  delete fn;
  return FALSE;
}

}  // namespace

uint32_t sys_timer_add(uint32_t ms, const std::function<bool()>& fn) {
  return g_timeout_add(ms, timer_tick, new std::function<bool()>(fn));
}

void ui_task_post(std::function<void()>&& task) {
  std::lock_guard<std::mutex> lock(g_ui_tasks_mutex);
  g_ui_tasks.push_back(std::move(task));
}

bool ui_task_post_unless_stopped(std::function<void()>&& task, const volatile bool* stop) {
  std::lock_guard<std::mutex> lock(g_ui_tasks_mutex);
  if (stop && __atomic_load_n(stop, __ATOMIC_ACQUIRE)) return false;
  g_ui_tasks.push_back(std::move(task));
  return true;
}

void ui_tasks_run() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(g_ui_tasks_mutex);
    tasks.swap(g_ui_tasks);
  }
  for (auto& task : tasks) task();
}

size_t ui_tasks_pending() {
  std::lock_guard<std::mutex> lock(g_ui_tasks_mutex);
  return g_ui_tasks.size();
}
