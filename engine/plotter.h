// The plotting engine: the plotter of a run, its jobs (one plot file each),
// its RAM batch buffers and the drives the jobs write on and move to.
//
// A nonce is 262144 bytes (4096 scoops of 64 bytes); every nonce number,
// count, byte size and file offset is unsigned 64-bit, bytes = nonces << 18.
//
// Threads: the UI thread owns the plotter and calls every plotter_* operation;
// during a run the work thread (thread_proc), one write task per batch
// (job_write) and one move task per staged file (job_move) change job states,
// drive slots, buffer pointers and counters. Every field that one of them
// writes while another thread reads it has one owner rule:
// - the plotter's mutex guards job state changes, the drive slots
//   (job_writing_in, job_moving_out), the job's buffer pointers and the
//   buffer pool; whoever changes them holds it, whoever reads them from
//   another thread holds it too;
// - counters (job nonces_done, nonces_resumed, bytes_written, bytes_moved,
//   buffer progress) are atomic, and so are a drive's bytes_in and
//   free_bytes (read and changed through drive_bytes_in, drive_add_bytes_in,
//   drive_free_bytes and drive_set_free_bytes while a run goes on);
// - screens draw from a plotter_snapshot_s copied under the mutex and never
//   follow a job or buffer pointer of the engine, which the work thread may
//   free at any time.
//
// The stop flag is a plain volatile bool handed to every worker by address.
// Code that reads it while another thread may set it should go through
// plotter_stop_requested, so that ThreadSanitizer sees the access as the
// intended (atomic) race rather than a data race.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/run_settings.h"

struct gpu_s;
struct job_s;

enum {
  PLOT_PATH_MAX = 260,
  JOB_NEW = 0,
  JOB_PLOTTING = 1,
  JOB_WRITTEN = 2,
  JOB_STAGED = 3,
  JOB_MOVING = 4,
  JOB_DONE = 5,
};

// A RAM batch buffer, scoop-major: the 64 bytes of scoop s of the buffer's
// k-th nonce lie at data + (s * capacity + k) * 64. A placeholder has no data
// and only a capacity (the second buffer of a job in single buffering).
struct buffer_s {
  uint64_t capacity;
  // Nonces hashed so far while hashed into; bytes written so far while
  // written. Only atomic exchange and atomic add change it.
  std::atomic<uint64_t> progress;
  uint8_t* data;  // capacity * 262144 bytes, 4096-byte aligned; null = placeholder
};

// Batch writes into a drive timed in this process, all runs together
// (atomic access). Their scoop rows are kept apart by size, since a row is
// one write: what a write costs beside its bytes shows only where rows of
// two sizes are compared. Then how many batches there were and the
// nanoseconds of the sync and resume marker that end each. See
// drive_write_figures.
enum { DRIVE_TIMED_ROW_SIZES = 4 };
struct drive_timing_s {
  uint64_t row_bytes[DRIVE_TIMED_ROW_SIZES];  // 0 = a free entry
  uint64_t rows[DRIVE_TIMED_ROW_SIZES];
  uint64_t rows_ns[DRIVE_TIMED_ROW_SIZES];
  uint64_t batches, ends_ns;
};

// One staging SSD or target folder. The application builds these (drive_add)
// and keeps them in its drive lists; jobs only point at them.
struct drive_s {
  char path[PLOT_PATH_MAX];
  char volume_name[PLOT_PATH_MAX];
  char fs_name[PLOT_PATH_MAX];
  uint32_t serial;
  uint64_t total_bytes;
  uint64_t free_bytes;   // cached; see drive_free_space_cached (atomic access during a run)
  uint64_t sector_size;  // offsets and sizes are multiples of it
  bool is_ssd;
  uint64_t scatter_start;   // all ones = unset
  uint64_t scatter_nonces;
  uint64_t scatter_end;
  uint64_t bytes_in;        // bytes written or moved into the drive this run (atomic access)
  job_s* job_moving_out;    // job whose file is moved out of here; null = none
  job_s* job_writing_in;    // the one job writing into here; null = none
  double free_time;         // run-clock time of the last free-space query
  uint64_t fill_limit;      // bytes at most to fill; 0 = no limit
  uint64_t max_file_bytes;  // the largest file its file system holds; 0 = no limit of its own
  drive_timing_s timing;    // its batch writes timed in this process
};

// One plot file to produce. state is atomic because the write and move tasks
// change it while the work thread and the UI read it; read it as an int
// (job->state, or job->state.load() where a plain int is needed, e.g. printf).
struct job_s {
  uint64_t account_id;
  uint64_t start_nonce;
  uint64_t nonces;          // N
  std::atomic<uint64_t> nonces_done;     // handed to batch writes, from the file's first nonce
  std::atomic<uint64_t> nonces_resumed;  // already in the file when it was resumed
  buffer_s* compute_buffer;  // changed under the plotter's mutex only
  buffer_s* write_buffer;    // changed under the plotter's mutex only
  int fd;                   // the open ".plotting" file; 0 = none
  drive_s* write_drive;
  drive_s* move_drive;      // null = written directly on its target
  std::atomic<uint64_t> bytes_written;
  std::atomic<uint64_t> bytes_moved;
  // Bytes its write drive lacks for the job's file while the job waits for
  // free space to start; 0 = not waiting for space.
  std::atomic<uint64_t> bytes_missing;
  double wait_log_time;
  std::future<void> write_future;
  std::future<void> move_future;
  std::atomic<int> state;   // JOB_NEW .. JOB_DONE
  // The file systems (sys_fs_identity) of its write and move drives when the
  // session began; "" = not known. A job of a resumed session writes only
  // where they still are, never into a folder whose disk has gone.
  std::string write_fs;
  std::string move_fs;
  // Its new file could not be made and what was made of it is gone again:
  // nothing of it is on disk, so no resume data may name it.
  std::atomic<bool> file_refused;
};

struct plotter_s {
  gpu_s* gpu_context;
  uint64_t nonces_per_buffer;
  bool finished;
  std::function<void()> finished_callback;
  std::mutex mutex;
  std::vector<job_s*> jobs;
  std::vector<buffer_s*> free_buffers;
  volatile bool stop;
  std::thread thread;
  // The work thread has done its last act: joining it returns at once.
  // Lets the UI thread wait for the end of a run without blocking on it.
  std::atomic<bool> ended;
  bool paused;
  // The work thread holds for the pause: a batch being hashed when the pause
  // came has ended, and no new step starts (running writes and moves go on).
  std::atomic<bool> holding;
  // Written by the UI thread at a close and by a move task that stops the
  // run, read by the work thread when it ends: atomic, since a run that
  // stopped itself may still be ending when the user closes.
  std::atomic<bool> keep_files;
  bool scatter;
  bool wait_for_moves;
  int double_buffer;  // -1 automatic, 0 single, 1 double
  uint32_t gpu_mask;
  int gpu_count;
  int gpu_index[8];
  bool concurrent;
  int max_tasks;
  // The settings of the run, copied before it starts and not changed while
  // it goes on (the program's defaults until the application sets them).
  run_settings_s settings;
};

// Plotter.
plotter_s* plotter_create();
void plotter_start(plotter_s* p, uint32_t gpu_mask, int ssd_count, int target_count, uint64_t ram_bytes);
void plotter_stop(plotter_s* p, bool keep);  // null allowed; joins the work thread
// The first half of plotter_stop, which does not wait: keep_files = keep and
// stop = true when there is a work thread. Once plotter_has_ended,
// plotter_stop joins it at once.
void plotter_stop_begin(plotter_s* p, bool keep);
bool plotter_has_ended(plotter_s* p);  // the work thread of the run has ended
void plotter_destroy(plotter_s* p);          // null allowed
void plotter_toggle_pause(plotter_s* p);
bool plotter_is_paused(plotter_s* p);
bool plotter_is_running(plotter_s* p);
bool plotter_is_finished(plotter_s* p);
void plotter_set_finished_callback(plotter_s* p, std::function<void()> f);
void plotter_set_ram_double_buffer(plotter_s* p, int v);
void plotter_set_ssd_scatter(plotter_s* p, bool v);
void plotter_set_wait_for_moves(plotter_s* p, bool v);
void plotter_set_run_settings(plotter_s* p, const run_settings_s& s);  // not while a run goes on
void plotter_add_job(plotter_s* p, job_s* job);  // the plotter owns it from now on
void plotter_clear_jobs(plotter_s* p);
// Takes the job out of the list and destroys it (not while a run goes on).
void plotter_remove_job(plotter_s* p, job_s* job);
// Whether the job's drives are still the file systems its session wrote on
// (always true when they are not known); the first one that is not in
// *missing_drive.
bool job_drives_present(const job_s* job, std::string* missing_drive);
uint64_t plotter_job_count(plotter_s* p);  // null allowed: 0
// Holds the mutex for the whole walk; visit must not call back into
// operations that take it. Returns false from visit to end the walk.
void plotter_for_each_job(plotter_s* p, std::function<bool(job_s*)> visit);
void plotter_release_buffer(plotter_s* p, buffer_s* b);  // called with mutex held
gpu_s* plotter_gpu(plotter_s* p);

// Reads a stop flag that another thread may set (atomic load; what the
// setter wrote before the stop, such as keep_files, is then visible).
bool plotter_stop_requested(const volatile bool* stop);
// Sets a stop flag that other threads read (atomic store).
void plotter_request_stop(volatile bool* stop);

// Whole 64 MiB units of bytes counted as 256 nonces each, rounded down to a
// multiple of sector / 64 when sector is not 0 (sector is 0 or >= 64).
uint64_t nonces_in_bytes(uint64_t bytes, uint64_t sector);

// Buffers.
buffer_s* buffer_create(uint64_t n);  // n = 0: no data; null when allocation fails
void buffer_destroy(buffer_s* b);     // null allowed

// Jobs.
job_s* job_create(drive_s* write, drive_s* move, uint64_t account, uint64_t start, uint64_t count);
void job_destroy(job_s* job);  // null allowed; only when no task works on it
// "%s/%llu_%llu_%llu" on the write drive (which 0) or on the move drive
// (which 1; the write drive when there is none). A null job gives "".
void job_path(job_s* job, int size, char* out, int which);
// The scatter file of the job's move drive (the job must have one).
void job_scatter_path(job_s* job, int size, char* out);
// Every file on disk that holds unfinished work of the plotter's jobs (a
// session): ".plotting" files, complete staged files not yet moved, partial
// ".moving" copies and, with scatter set, the targets' ".scattering" files;
// only files that exist, each once, in job order.
std::vector<std::string> plotter_unfinished_files(plotter_s* p, bool scatter);

// Drives: free space, refreshed when older than a second (now 0 = sys_time).
uint64_t drive_free_space_cached(drive_s* d, double now);
// The counters of a drive that threads of a run share (relaxed atomics: each
// value stands on its own, nothing else is published through them).
uint64_t drive_bytes_in(const drive_s* d);
void drive_add_bytes_in(drive_s* d, uint64_t bytes);
uint64_t drive_free_bytes(const drive_s* d);
void drive_set_free_bytes(drive_s* d, uint64_t bytes);
// Counts one timed batch write: rows of row_bytes each written in rows_ns,
// then the batch's sync and marker in end_ns.
void drive_add_batch_timing(drive_s* d, uint64_t row_bytes, uint64_t rows, uint64_t rows_ns, uint64_t end_ns);
struct write_cost_s;  // engine/run_plan.h
// What the drive's writes cost as its timed batches showed them: a line
// through the time per row of each row size timed (a cost per write and a
// bandwidth, neither below 0), or, with one size only, what a row of it
// took; false (and nothing set) before any batch was timed.
bool drive_write_figures(const drive_s* d, write_cost_s* w);

// What a screen draws of a run, copied under the plotter's mutex in one go:
// it stays valid and consistent whatever the work thread does next.
struct job_snapshot_s {
  uint64_t account_id;
  uint64_t start_nonce;
  uint64_t nonces;
  uint64_t nonces_done;
  uint64_t nonces_resumed;
  uint64_t bytes_written;
  uint64_t bytes_moved;
  uint64_t bytes_missing;     // waiting for this much more free space; 0 = not
  uint64_t compute_progress;  // nonces hashed into the compute buffer so far
  uint64_t compute_capacity;  // nonces the compute buffer holds; 0 = no buffer
  uint64_t write_progress;    // bytes written so far out of the write buffer
  uint64_t write_capacity;    // nonces the write buffer holds; 0 = no buffer
  bool buffers;               // the job holds both its buffers
  int state;                  // JOB_NEW .. JOB_DONE
  // The application's drives (they outlive every run): for comparing with a
  // drive list and for naming the job's files, never for reading counters.
  const drive_s* write_drive;
  const drive_s* move_drive;
};

struct drive_snapshot_s {
  const drive_s* drive;
  uint64_t bytes_in;
  uint64_t planned_nonces;  // nonces of the jobs that write or move into it
  int job_writing_in;       // index into the snapshot's jobs; -1 = none
  int job_moving_out;       // index into the snapshot's jobs; -1 = none
};

struct plotter_snapshot_s {
  std::vector<job_snapshot_s> jobs;      // in the plotter's order
  std::vector<drive_snapshot_s> drives;  // every drive a job uses, in order of first use
  bool paused;   // asked for
  bool holding;  // in effect: the work thread takes no step
  uint32_t gpu_mask;  // the GPUs computing (bit n: GPU n); 0 = the CPU, also after a fall-back
};

// Fills out (its storage is reused) with the plotter's jobs and drives; a null
// plotter gives an empty snapshot.
void plotter_snapshot(plotter_s* p, plotter_snapshot_s* out);
// The snapshot's entry for d; null when no job of the run uses d.
const drive_snapshot_s* snapshot_drive(const plotter_snapshot_s* s, const drive_s* d);
// The job's entry behind a drive's slot index; null for -1.
const job_snapshot_s* snapshot_job(const plotter_snapshot_s* s, int index);
// job_path for a snapshot entry.
void job_snapshot_path(const job_snapshot_s* job, int size, char* out, int which);

// Tasks of a run (started with std::async by the work thread).
// Writes the first count nonces of the job's write buffer as the file's
// nonces first .. first + count - 1, then leaves a resume marker or sets the
// job written.
void job_write(plotter_s* p, job_s* job, uint64_t first, uint64_t count, volatile bool* stop);
// Moves (or, with the plotter's scatter set, scatters) a staged file to its
// target and sets the job done.
void job_move(plotter_s* p, job_s* job, volatile bool* stop);
// The work thread of a run.
void thread_proc(plotter_s* p);

// How the engine reaches the user and ends the process on a fatal error.
// By default questions and messages of the work thread are handed to the
// main thread (window_question_from_thread / window_message_from_thread),
// those of plotter_start are shown directly, and exit_error is
// sys_exit_error. Tests install their own answers; an empty member keeps the
// default.
struct plotter_dialogs_s {
  std::function<bool(const char* title, const char* text)> question;
  std::function<void(const char* title, const char* text)> message;
  std::function<void()> exit_error;
};
void plotter_set_dialogs(const plotter_dialogs_s& d);

#include "engine/run_plan.h"
