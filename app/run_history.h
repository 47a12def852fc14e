// The progress history of a plotting run and the arithmetic the processing
// and summary screens draw from: the totals of a snapshot of the run, one
// history sample per sampler tick (thinned when the history grows long), the
// summary's bars, the share of each drive and the estimate of the time
// remaining. Plain values in, plain values out: no window, no live plotter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/plotter.h"

// Cumulative totals seen by one tick of the sampler, in bytes, of this
// session's work only: what resumed files held already was an earlier
// session's and would show as one giant first bar.
struct history_sample_s {
  double moved;     // moved to targets so far
  double written;   // written into plot files so far
  double computed;  // of nonces computed so far (not those resumed files held)
};

// The sampler's period.
const double HISTORY_TICK_SECONDS = 1.0;
// A running history never holds more slots than this: when a tick would need
// one more, pairs of slots are merged and every slot covers twice the ticks.
const size_t HISTORY_MAX_SLOTS = 4096;
// The summary thins a longer history to at most this many bars.
const size_t SUMMARY_MAX_BARS = 100;

// The history of one run. Slots are counted in ticks, not read off the
// clock, so a late or early tick never leaves a slot empty.
struct run_history_s {
  std::vector<history_sample_s> slots;  // the totals at the end of each slot
  uint64_t ticks;                       // ticks recorded so far
  uint64_t ticks_per_slot;              // 0 before the first tick
};

// Empties the history for a new run.
void history_reset(run_history_s* h);

// Records what one tick saw: into a new slot, or over the last one while
// that slot still has ticks to cover.
void history_record(run_history_s* h, const history_sample_s& sample);

// Merges neighbouring slots in pairs (each keeps the later totals, so no
// work is lost); every slot then covers twice the ticks.
void history_halve(run_history_s* h);

// Seconds one slot covers.
double history_interval(const run_history_s* h);

// The end of a run: records its final totals (which no tick may have seen)
// and thins the history for the summary.
void history_finish(run_history_s* h, const history_sample_s& final_totals);

// Thins a finished history above SUMMARY_MAX_BARS slots to every k-th slot
// (the smallest k that leaves no more) counted back from the last, which is
// always kept: the first kept slot then covers at most k slots, each other
// one exactly k.
void history_thin(run_history_s* h);

// One bar of the summary: the increase over the previous slot of each total,
// as whole-pixel heights stacked computed (bottom), written, moved (top).
struct history_bar_s {
  float computed;
  float written;
  float moved;
};

// The bars of a history, scaled so that the busiest slot is max_height px
// high. A total that went down counts as no increase; nothing is negative
// or not a number.
std::vector<history_bar_s> history_bars(const std::vector<history_sample_s>& history,
                                        double max_height);

// Byte totals of a run, as one paint of the processing screen sees them.
struct run_progress_s {
  uint64_t total;     // bytes of every planned file
  uint64_t computed;  // bytes of nonces computed, resumed ones included
  uint64_t resumed;   // bytes already in files when they were resumed
  uint64_t written;   // bytes written into files in this run
  uint64_t moved;     // bytes moved to targets in this run
};

// When each stage was first seen making progress (program-clock seconds,
// 0 = not yet): the baselines of the average speeds.
struct run_stage_times_s {
  double compute;
  double write;
  double move;
};

// Seconds left, estimated from the stage still running (compute, then write,
// then move) and its average speed since its baseline; 0 when that stage
// has no speed yet. Files resumed count as written.
double estimate_seconds(const run_progress_s& p, const run_stage_times_s& since, double now);

// What one paint of the processing screen shows of the whole run.
struct run_totals_s {
  run_progress_s bytes;
  uint64_t done_nonces;   // nonces computed: handed to writes, plus hashed into RAM
  uint64_t total_nonces;  // nonces planned
  uint64_t ram_used;      // bytes hashed into the compute buffers so far
  uint64_t ram_total;     // bytes the compute buffers hold
};

run_totals_s run_totals(const plotter_snapshot_s& snap);

// The totals a sampler tick records.
history_sample_s history_sample_of(const plotter_snapshot_s& snap);

// Bytes of the nonces this session computed itself: computed less what
// resumed files held already.
uint64_t session_computed_bytes(const run_progress_s& p);

// The bytes the summary says were plotted: those this session computed.
uint64_t session_plotted_bytes(const plotter_snapshot_s& snap);

// The share of everything planned for drive d that is on it: bytes that came
// in during this run plus, where d is the drive files are written on, the
// nonces that resumed files held already. Never goes back while a run goes
// on; 0 for a drive no job uses.
double drive_share(const plotter_snapshot_s& snap, const drive_s* d);

// The share of a job's file that is written (moved false) or moved to its
// target (moved true); nonces resumed count as written.
double job_share(const job_snapshot_s& job, bool moved);

// Bytes the job's write buffer still holds for the file: handed to writes
// but not written yet. 0 without a write buffer.
uint64_t write_buffer_held(const job_snapshot_s& job);
