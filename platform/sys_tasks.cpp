// Repeating timers on the GTK main loop and the queue through which other
// threads hand work to the UI thread.
#include <glib.h>

#include "platform/sys_linux.h"

// ---- Timers and UI tasks --------------------------------------------------

static gboolean timer_tick(gpointer data) {
  auto* fn = (std::function<bool()>*)data;
  if ((*fn)()) return TRUE;
  delete fn;
  return FALSE;
}

uint32_t sys_timer_add(uint32_t ms, const std::function<bool()>& fn) {
  return g_timeout_add(ms, timer_tick, new std::function<bool()>(fn));
}

std::vector<std::function<void()>> g_ui_tasks;
std::mutex g_ui_tasks_mutex;

void ui_task_post(std::function<void()>&& task) {
  std::lock_guard<std::mutex> lock(g_ui_tasks_mutex);
  g_ui_tasks.push_back(std::move(task));
}

void ui_tasks_run() {
  std::lock_guard<std::mutex> lock(g_ui_tasks_mutex);
  for (auto& task : g_ui_tasks) task();
  g_ui_tasks.clear();
}
