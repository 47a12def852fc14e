// The run's progress history and the figures drawn from it: what the
// sampler records, how a long history is thinned, the summary's bars and the
// estimate of the time remaining.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "app/run_history.h"

namespace {

const double NONCE = 262144;

// Sums the bars' parts back into byte totals with the bars' own scale.
struct bar_sums_s {
  double computed = 0, written = 0, moved = 0;
  int bars_with_all_three = 0;
};

bar_sums_s sum_bars(const std::vector<history_bar_s>& bars) {
  bar_sums_s s;
  for (const history_bar_s& b : bars) {
    s.computed += b.computed;
    s.written += b.written;
    s.moved += b.moved;
    if (b.computed > 0 && b.written > 0 && b.moved > 0) s.bars_with_all_three++;
  }
  return s;
}

// A staged run of 256 nonces that lasts six ticks: computing over the first
// three, writing one tick behind, the move only seen at the end.
TEST(History, ShortStagedRunShowsEveryTickAndAllThreeStages) {
  run_history_s h{};
  const double total = 256 * NONCE;
  for (int t = 1; t <= 6; t++) {
    double c = std::min(1.0, t / 3.0) * total;
    double w = std::min(1.0, (t - 1) / 3.0) * total;
    double m = t == 6 ? total / 2 : 0;
    history_record(&h, {m, w, c});
  }
  EXPECT_EQ(history_interval(&h), HISTORY_TICK_SECONDS);
  ASSERT_EQ(h.slots.size(), 6u) << "one slot per tick: no slot is left empty";
  history_finish(&h, {total, total, total});
  ASSERT_EQ(h.slots.size(), 7u);

  std::vector<history_bar_s> bars = history_bars(h.slots, 240);
  ASSERT_EQ(bars.size(), 7u);
  // Every bar is one tick's increase, never a running total: the compute
  // ticks are a third of the run each.
  EXPECT_EQ(bars[0].computed, bars[1].computed);
  EXPECT_EQ(bars[0].written, 0);
  EXPECT_GT(bars[1].written, 0);
  EXPECT_EQ(bars[3].computed, 0);
  EXPECT_EQ(bars[4].computed, 0);
  float tallest = 0;
  for (const history_bar_s& b : bars) tallest = std::max(tallest, b.computed + b.written + b.moved);
  EXPECT_EQ(tallest, 240);
  bar_sums_s s = sum_bars(bars);
  EXPECT_GT(s.computed, 0);
  EXPECT_GT(s.written, 0);
  EXPECT_GT(s.moved, 0);
  // Computed, written and moved each add up to the same run total.
  EXPECT_NEAR(s.computed, s.written, 3);
  EXPECT_NEAR(s.written, s.moved, 3);
}

// Ten days of one tick a second at a steady speed: the history stays
// bounded, nothing of the run is lost and the summary's bars are even.
TEST(History, LongRunStaysBoundedAndKeepsTheWholeRun) {
  run_history_s h{};
  const int ticks = 864000;
  const double per_tick = 3 * NONCE;
  for (int t = 1; t <= ticks; t++)
    history_record(&h, {per_tick * std::max(t - 2, 0), per_tick * (t - 1), per_tick * t});
  EXPECT_LE(h.slots.size(), HISTORY_MAX_SLOTS);
  EXPECT_GT(h.slots.size(), HISTORY_MAX_SLOTS / 2);
  double interval = history_interval(&h);
  EXPECT_NEAR(interval * (double)h.slots.size(), ticks, interval) << "slots cover the whole run";
  const double total = per_tick * ticks;
  EXPECT_EQ(h.slots.back().computed, total) << "the latest tick is kept";

  history_finish(&h, {total, total, total});
  EXPECT_LE(h.slots.size(), SUMMARY_MAX_BARS);
  EXPECT_GE(h.slots.size(), SUMMARY_MAX_BARS / 2);
  EXPECT_EQ(h.slots.back().moved, total) << "the final totals end the summary";

  std::vector<history_bar_s> bars = history_bars(h.slots, 240);
  // After the first bar (which may cover fewer ticks) every bar covers the
  // same time: at a steady speed they are equally high.
  for (size_t i = 1; i + 1 < bars.size(); i++) {
    float height = bars[i].computed + bars[i].written + bars[i].moved;
    EXPECT_NEAR(height, 240, 3) << "bar " << i;
  }
}

TEST(History, HalvingAndThinningKeepTheLatestTotals) {
  struct {
    size_t slots;
    size_t halved;
  } cases[] = {{1, 1}, {2, 1}, {5, 3}, {6, 3}};
  for (const auto& c : cases) {
    run_history_s h{};
    for (size_t i = 1; i <= c.slots; i++) history_record(&h, {0, 0, (double)i});
    history_halve(&h);
    ASSERT_EQ(h.slots.size(), c.halved) << c.slots;
    EXPECT_EQ(history_interval(&h), 2 * HISTORY_TICK_SECONDS);
    EXPECT_EQ(h.slots.back().computed, (double)c.slots) << c.slots;
    for (size_t j = 0; j + 1 < h.slots.size(); j++) EXPECT_EQ(h.slots[j].computed, 2.0 * (j + 1));
    // The next tick goes into the last slot while it covers one tick only.
    history_record(&h, {0, 0, 99});
    EXPECT_EQ(h.slots.size(), c.slots % 2 ? c.halved : c.halved + 1) << c.slots;
  }
  for (size_t n : {100, 101, 150, 299, 4096}) {
    run_history_s h{};
    for (size_t i = 1; i <= n; i++) history_record(&h, {0, 0, (double)i});
    history_thin(&h);
    EXPECT_LE(h.slots.size(), std::min(n, SUMMARY_MAX_BARS)) << n;
    EXPECT_GE(h.slots.size(), std::min(n, SUMMARY_MAX_BARS / 2)) << n;
    EXPECT_EQ(h.slots.back().computed, (double)n) << n;
  }
}

TEST(History, BarsOfOddHistories) {
  EXPECT_TRUE(history_bars({}, 240).empty());
  // All zero: empty bars, no division by zero.
  std::vector<history_bar_s> zero = history_bars({{0, 0, 0}, {0, 0, 0}}, 240);
  ASSERT_EQ(zero.size(), 2u);
  EXPECT_EQ(zero[1].computed + zero[1].written + zero[1].moved, 0);
  // A total that went down and one that is not a number add nothing.
  std::vector<history_bar_s> odd =
      history_bars({{0, 0, 100}, {0, 0, 50}, {NAN, 10, 150}, {0, 10, 250}}, 240);
  ASSERT_EQ(odd.size(), 4u);
  EXPECT_EQ(odd[1].computed, 0);
  EXPECT_EQ(odd[2].moved, 0);
  EXPECT_EQ(odd[3].moved, 0);
  for (const history_bar_s& b : odd) {
    EXPECT_TRUE(std::isfinite(b.computed) && b.computed >= 0);
    EXPECT_TRUE(std::isfinite(b.written) && b.written >= 0);
    EXPECT_TRUE(std::isfinite(b.moved) && b.moved >= 0);
  }
}

TEST(Estimate, StageStillRunningDecides) {
  const uint64_t G = 1000000000;
  run_stage_times_s since{10, 20, 40};
  struct {
    const char* what;
    run_progress_s p;
    double now;
    double seconds;
  } cases[] = {
      // 5 GB computed in 50 s: 5 GB left at 100 MB/s.
      {"computing", {10 * G, 5 * G, 0, 4 * G, 0}, 60, 50},
      // Resumed nonces are not this run's speed: 4 GB in 50 s.
      {"computing after resume", {10 * G, 6 * G, 2 * G, 3 * G, 0}, 60, 50},
      // Compute done: 8 GB of 10 written in 40 s.
      {"writing", {10 * G, 10 * G, 0, 8 * G, 0}, 60, 10},
      // Written with 2 GB resumed: the write is done, 6 GB of 10 moved in 20 s.
      {"moving after resume", {10 * G, 10 * G, 2 * G, 8 * G, 6 * G}, 60, 40 / 3.0},
      {"moving", {10 * G, 10 * G, 0, 10 * G, 5 * G}, 60, 20},
      // A stage whose baseline is this very moment has no speed yet.
      {"no speed", {10 * G, 10 * G, 0, 10 * G, 0}, 40, 0},
      {"nothing planned", {0, 0, 0, 0, 0}, 60, 0},
  };
  for (const auto& c : cases)
    EXPECT_NEAR(estimate_seconds(c.p, since, c.now), c.seconds, 1e-6) << c.what;
}

// Baselines taken just before the clock wrapped and a now just after it give
// the estimate of the same times without the wrap.
TEST(Estimate, AWrapOfTheClockChangesNothing) {
  const uint64_t G = 1000000000;
  const double wrap = 4294967.296;  // 2^32 ms
  auto reading = [wrap](double t) { return std::fmod(wrap - 30.0 + t, wrap); };
  run_stage_times_s since{10, 20, 40};
  run_stage_times_s wrapped{reading(10), reading(20), reading(40)};
  const run_progress_s cases[] = {
      {10 * G, 5 * G, 0, 4 * G, 0},
      {10 * G, 10 * G, 0, 8 * G, 0},
      {10 * G, 10 * G, 0, 10 * G, 5 * G},
  };
  for (const run_progress_s& p : cases) {
    double want = estimate_seconds(p, since, 60);
    EXPECT_GT(want, 0);
    EXPECT_NEAR(estimate_seconds(p, wrapped, reading(60)), want, 1e-6);
  }
}

// A job of a snapshot, as the screens see it.
job_snapshot_s snap_job(uint64_t nonces, const drive_s* write, const drive_s* move, int state) {
  job_snapshot_s j{};
  j.nonces = nonces;
  j.state = state;
  j.write_drive = write;
  j.move_drive = move;
  return j;
}

// One staged file of 2048 nonces through an SSD to a target.
struct staged_run_s {
  drive_s ssd{}, target{};
  plotter_snapshot_s snap;
  staged_run_s() {
    snap.jobs.push_back(snap_job(2048, &ssd, &target, JOB_PLOTTING));
    snap.drives.push_back({&ssd, 0, 2048, 0, -1});
    snap.drives.push_back({&target, 0, 2048, -1, -1});
  }
  job_snapshot_s& job() { return snap.jobs[0]; }
};

// The SSD's Write bar once its file is written and waiting for the move, or
// moving: the whole file is on the SSD, the bar stays full.
TEST(DriveFigures, StagingBarNeverDropsBack) {
  staged_run_s run;
  const uint64_t file = 2048 * (uint64_t)NONCE;
  double before = 0;
  for (uint64_t written : {file / 4, file / 2, file}) {
    run.job().bytes_written = written;
    run.snap.drives[0].bytes_in = written;
    double now = drive_share(run.snap, &run.ssd);
    EXPECT_GE(now, before);
    before = now;
  }
  EXPECT_EQ(before, 1.0);
  // Written: the SSD no longer has a job writing into it; the file moves.
  run.job().state = JOB_MOVING;
  run.snap.drives[0].job_writing_in = -1;
  run.snap.drives[1].job_writing_in = 0;
  run.job().bytes_moved = file / 2;
  run.snap.drives[1].bytes_in = file / 2;
  EXPECT_EQ(drive_share(run.snap, &run.ssd), 1.0);
  EXPECT_EQ(drive_share(run.snap, &run.target), 0.5);
  EXPECT_EQ(job_share(run.job(), true), 0.5);
  drive_s unused{};
  EXPECT_EQ(drive_share(run.snap, &unused), 0.0);
}

// A resumed file holds its first nonces already: written to its end, the
// drive and the job line show it whole.
TEST(DriveFigures, ResumedFileCountsWhatItHeld) {
  drive_s target{};
  plotter_snapshot_s snap;
  job_snapshot_s j = snap_job(2048, &target, nullptr, JOB_WRITTEN);
  j.nonces_resumed = 512;
  j.nonces_done = 2048;
  j.bytes_written = 1536 * (uint64_t)NONCE;
  snap.jobs.push_back(j);
  snap.drives.push_back({&target, j.bytes_written, 2048, -1, -1});
  EXPECT_EQ(drive_share(snap, &target), 1.0);
  EXPECT_EQ(job_share(snap.jobs[0], false), 1.0);
  run_totals_s t = run_totals(snap);
  EXPECT_EQ(t.bytes.computed, t.bytes.total);
  EXPECT_EQ(t.bytes.resumed, 512 * (uint64_t)NONCE);
}

// The write-buffer gauge shows what the buffer holds of the file, not its
// capacity: a 1.9 GB file through a 14.9 GiB buffer.
TEST(DriveFigures, WriteBufferHoldsOnlyWhatIsLeftToWrite) {
  drive_s target{};
  job_snapshot_s j = snap_job(7248, &target, nullptr, JOB_PLOTTING);
  j.write_capacity = 61035;  // 14.9 GiB
  j.compute_capacity = 61035;
  j.buffers = true;
  EXPECT_EQ(write_buffer_held(j), 0u) << "nothing handed to a write yet";
  j.nonces_done = 7248;
  j.bytes_written = 1000000000;
  EXPECT_EQ(write_buffer_held(j), 7248 * (uint64_t)NONCE - 1000000000);
  j.bytes_written = 7248 * (uint64_t)NONCE;
  EXPECT_EQ(write_buffer_held(j), 0u);
  // A resumed file: only this run's nonces pass through the buffer.
  j.nonces_resumed = 1024;
  j.bytes_written = 0;
  EXPECT_EQ(write_buffer_held(j), (7248 - 1024) * (uint64_t)NONCE);
  j.write_capacity = 0;
  EXPECT_EQ(write_buffer_held(j), 0u) << "no buffer, nothing held";
}

// Per-paint totals and the sampler's totals agree: nonces in RAM count only
// while the job is plotting with its buffers.
TEST(DriveFigures, TotalsOfASnapshot) {
  drive_s a{}, b{};
  plotter_snapshot_s snap;
  job_snapshot_s one = snap_job(1024, &a, nullptr, JOB_PLOTTING);
  one.nonces_done = 256;
  one.compute_progress = 64;
  one.compute_capacity = 128;
  one.buffers = true;
  one.bytes_written = 200 * (uint64_t)NONCE;
  job_snapshot_s two = snap_job(1024, &b, nullptr, JOB_NEW);
  two.compute_progress = 99;  // not plotting: not counted
  snap.jobs = {one, two};
  run_totals_s t = run_totals(snap);
  EXPECT_EQ(t.total_nonces, 2048u);
  EXPECT_EQ(t.done_nonces, 320u);
  EXPECT_EQ(t.ram_used, 64 * (uint64_t)NONCE);
  EXPECT_EQ(t.ram_total, 128 * (uint64_t)NONCE);
  history_sample_s h = history_sample_of(snap);
  EXPECT_EQ(h.computed, (double)t.bytes.computed);
  EXPECT_EQ(h.written, (double)t.bytes.written);
}

// A file resumed half-way: what the earlier session put in it is not this
// session's work. The history starts from nothing (no giant first bar), and
// the summary credits only the nonces computed here.
TEST(History, ResumedFileCountsOnlyThisSessionsWork) {
  drive_s target{};
  plotter_snapshot_s snap;
  job_snapshot_s j = snap_job(2048, &target, nullptr, JOB_PLOTTING);
  j.nonces_resumed = 1024;
  j.nonces_done = 1024;
  j.buffers = true;
  j.compute_capacity = 256;
  snap.jobs.push_back(j);
  snap.drives.push_back({&target, 0, 2048, 0, -1});

  run_history_s h{};
  history_record(&h, history_sample_of(snap));
  EXPECT_EQ(h.slots[0].computed, 0) << "nothing computed yet in this session";
  // Four even ticks of 256 nonces each, computed and written.
  for (int t = 1; t <= 4; t++) {
    snap.jobs[0].nonces_done = 1024 + 256 * (uint64_t)t;
    snap.jobs[0].bytes_written = 256 * (uint64_t)t * (uint64_t)NONCE;
    history_record(&h, history_sample_of(snap));
  }
  snap.jobs[0].state = JOB_DONE;
  snap.jobs[0].buffers = false;
  history_finish(&h, history_sample_of(snap));
  EXPECT_EQ(h.slots.back().computed, 1024 * NONCE);
  EXPECT_EQ(h.slots.back().written, 1024 * NONCE);

  std::vector<history_bar_s> bars = history_bars(h.slots, 240);
  ASSERT_EQ(bars.size(), 6u);
  EXPECT_EQ(bars[0].computed + bars[0].written, 0) << "the resumed half is no bar of its own";
  for (size_t i = 1; i <= 4; i++) EXPECT_EQ(bars[i].computed + bars[i].written, 240) << "tick " << i;

  EXPECT_EQ(session_plotted_bytes(snap), 1024 * (uint64_t)NONCE);
  // A file staged by the earlier session and only moved here: nothing plotted.
  job_snapshot_s staged = snap_job(512, &target, nullptr, JOB_DONE);
  staged.bytes_moved = 512 * (uint64_t)NONCE;
  snap.jobs.push_back(staged);
  EXPECT_EQ(session_plotted_bytes(snap), 1024 * (uint64_t)NONCE);
}

}  // namespace
