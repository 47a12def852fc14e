// Repeating timers on the GTK main loop, and the queue through which other
// threads hand work to the UI thread.
//
// The queue's lock is held only to add a task or to take the whole list out:
// tasks run outside it, so a task may show a modal dialog, post another task
// or take any lock of its own while other threads keep posting.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>

// A GLib timeout on the default main context running a heap copy of fn every
// ms milliseconds while fn returns true. Returns the GLib source id.
uint32_t sys_timer_add(uint32_t ms, const std::function<bool()>& fn);

// Queues task (moved out of the caller's closure) for the UI thread; any
// thread, tasks included (a task posted by a task runs on the next
// ui_tasks_run).
void ui_task_post(std::function<void()>&& task);
// As ui_task_post, unless *stop (read atomically; null = never) is already
// set: then the task is dropped and false returned. A thread that waits for
// its task's answer uses it so that a run being stopped does not start a
// wait that nothing would end.
bool ui_task_post_unless_stopped(std::function<void()>&& task, const volatile bool* stop);
// Runs, on the calling (UI) thread and outside the queue's lock, the tasks
// queued when it was called, in order, then destroys them all.
void ui_tasks_run();
// Tasks queued and not yet taken by ui_tasks_run.
size_t ui_tasks_pending();
