// The plot checker's engine: one check thread lists the dropped paths, then
// opens the files one after another and hands their work to two pools that
// serve the whole check: readers that read the blocks around the sampled
// scoops, several at a time so that a disk can serve them side by side, and
// hashing workers that take the sampled nonces of all files together in
// lane-filling groups. Each sampled nonce is hashed once, and every scoop of
// it that the blocks read hold is compared.
//
// Ownership: nothing the UI thread waits for touches the file system. The
// check thread (stat, open, folder listing) and the readers (read) hold
// references and are abandoned when the check stops; only the hashing
// workers, which end within one lane group, are waited for.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>

#include "checker/check_state.h"
#include "checker/ui_check.h"
#include "platform/cpu_features.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "plot/nonce.h"
#include "plot/plt_cpu.h"
#include "ui/regions.h"
#include "ui/window.h"

checker_s* g_checker = nullptr;
ssize_t (*g_check_pread)(int fd, void* buf, size_t count, off_t offset) = pread;
void (*g_check_nonces)(uint64_t account_id, int n, const uint64_t* nonces, const int* first, const uint32_t* scoops,
                       uint8_t* out, bool poc2) = plot_nonces_scoop_sets;

namespace {

// Reads in flight at once over the whole check: enough for a disk's queue
// to sort them, few enough that a folder of files starts no crowd of
// threads.
const int READERS = 16;

// Fewer compared samples than this say too little to tell a file under
// another's name from a damaged one.
const int MISMATCH_MIN_SAMPLES = 16;

// Files whose blocks and expected scoops are held at once, by bytes and by
// count (each holds a descriptor).
const uint64_t IN_FLIGHT_BYTES = 128ull << 20;
const int IN_FLIGHT_FILES = 256;

// A worker that finds fewer nonces than its call has lanes waits this long
// for more while the check thread is still opening files; a file system
// that hangs in an open thus delays the files before it only this much.
const std::chrono::milliseconds PARTIAL_PATIENCE(250);

// Other names tried on a file whose every sample differs, and the samples
// tried for each.
const int NAME_CANDIDATES = 8;
const int CANDIDATE_SAMPLES = 2;

bool is_dot_entry(const char* path) {
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

bool stopped(const checker_s* c) { return c->stop.load(std::memory_order_relaxed); }

// What the check thread, the readers and the workers share for one file.
// Shared-owned: a reader abandoned in a hanging read keeps it, and with it
// the checker and the descriptor, until the read returns; the descriptor is
// closed only then, so its number cannot be reused under the read.
struct file_work_s {
    checker_s* checker;
    check_entry_s* entry;
    int fd = 0;
    uint64_t account = 0;
    uint64_t start = 0;
    uint64_t nonces = 0;
    bool poc2 = true;
    check_plan_s plan;
    // The blocks read, one after another, and the expected bytes of every
    // compared scoop (in the plan's order).
    std::vector<uint8_t> blocks;
    std::vector<uint8_t> expected;
    std::vector<uint8_t> block_failed;
    std::atomic<int> read_errors{0};
    // Blocks still to read and nonces still to hash; whoever takes it to 0
    // hands the file to the check thread to settle.
    std::atomic<int> pending{0};

    explicit file_work_s(checker_s* c, check_entry_s* e) : checker(c), entry(e) { checker_hold(c); }
    ~file_work_s() {
        if (fd != 0) sys_close(fd);
        checker_release(checker);
    }
    uint64_t bytes() const { return blocks.size() + expected.size(); }
    uint64_t offset_of(int i) const {
        return ((uint64_t)plan.scoop_of[i] * nonces + (plan.nonce_of[i] - start)) * 64;
    }
    const uint8_t* expected_of(int i) const { return expected.data() + (uint64_t)plan.item_of[i] * 64; }
    const uint8_t* read_of(int i) const { return blocks.data() + plan.at[plan.item_of[i]]; }
};
using file_ptr = std::shared_ptr<file_work_s>;

struct read_task_s {
    file_ptr f;
    int block;
};
struct nonce_task_s {
    file_ptr f;
    int j;
};

// The queues of one check, guarded by the checker's check_mutex.
struct check_run_s {
    checker_s* c;
    std::deque<read_task_s> reads;
    std::deque<nonce_task_s> nonces;
    std::deque<file_ptr> done;
    // No more work will come.
    bool closing = false;
    // The check thread is opening files: a worker waits a little for a
    // full lane group rather than hashing a partial one.
    bool producer_busy = true;
    uint64_t in_flight_bytes = 0;
    int in_flight_files = 0;
    int per_call = 1;

    explicit check_run_s(checker_s* checker) : c(checker) { checker_hold(c); }
    ~check_run_s() { checker_release(c); }
};
using run_ptr = std::shared_ptr<check_run_s>;

void compare_sample(file_work_s* f, int i) {
    check_sample_s& s = f->entry->status[i];
    s.equal.store(memcmp(f->expected_of(i), f->read_of(i), 64) == 0 ? 1 : 0);
    s.compared.store(1);
}

// Whoever sets the second of the two flags compares; both may, with the
// same result.
void compare_if_ready(file_work_s* f, int i) {
    check_sample_s& s = f->entry->status[i];
    if (s.read_done.load() && s.expected_ready.load()) compare_sample(f, i);
}

// One task of the file is done; the last hands the file on.
void task_done(const run_ptr& run, const file_ptr& f) {
    if (f->pending.fetch_sub(1) != 1) return;
    checker_s* c = run->c;
    std::lock_guard<std::mutex> lock(c->check_mutex);
    run->done.push_back(f);
    c->coordinator_cv.notify_one();
}

// count bytes at offset; a short read (the file shrank) counts as failed.
// The first failure of a file is logged with its cause; the count follows
// when the file ends. An abandoned read that fails late says nothing: its
// check is over.
bool read_at(file_work_s* f, uint8_t* out, size_t count, uint64_t offset) {
    size_t got = 0;
    while (got < count) {
        ssize_t n = g_check_pread(f->fd, out + got, count - got, (off_t)(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (f->read_errors.fetch_add(1) == 0 && !stopped(f->checker))
                sys_log("Could not read %s at offset %llu: %s\n", f->entry->path.c_str(),
                        (unsigned long long)(offset + got), n < 0 ? strerror(errno) : "end of file");
            return false;
        }
        got += (size_t)n;
    }
    return true;
}

void read_block(const run_ptr& run, const read_task_s& t) {
    file_work_s* f = t.f.get();
    const check_plan_s& p = f->plan;
    std::vector<check_sample_s>& st = f->entry->status;
    for (int k = p.block_first[t.block]; k < p.block_first[t.block + 1]; k++) st[p.block_sample[k]].read_issued.store(1);
    const uint64_t end = std::min<uint64_t>(p.blocks[t.block] + CHECK_BLOCK_BYTES, f->nonces * PLOT_NONCE_BYTES);
    const bool ok = read_at(f, f->blocks.data() + (uint64_t)t.block * CHECK_BLOCK_BYTES, end - p.blocks[t.block],
                            p.blocks[t.block]);
    if (!ok) f->block_failed[t.block] = 1;
    for (int k = p.block_first[t.block]; k < p.block_first[t.block + 1]; k++) {
        const int i = p.block_sample[k];
        if (ok) {
            st[i].read_done.store(1);
            compare_if_ready(f, i);
        } else {
            st[i].read_failed.store(1);
        }
    }
    task_done(run, t.f);
}

// Takes the blocks in the order the files were opened, each file's in
// ascending offsets, so the reads in flight lie close together. With
// wait false, reads at most one block and returns whether it did.
bool reader_step(const run_ptr& run, bool wait) {
    checker_s* c = run->c;
    read_task_s t;
    {
        std::unique_lock<std::mutex> lock(c->check_mutex);
        while (wait && !stopped(c) && run->reads.empty() && !run->closing) c->readers_cv.wait(lock);
        if (stopped(c) || run->reads.empty()) return false;
        t = std::move(run->reads.front());
        run->reads.pop_front();
    }
    read_block(run, t);
    return true;
}

void check_reader(run_ptr run) {
    while (reader_step(run, true)) {
    }
}

// Hashes up to one lane-filling call of queued nonces, of one account and
// layout, possibly of several files. With wait true, waits for work (and
// a little for a full group while files are still being opened); returns
// false once there is none and none will come.
bool worker_step(const run_ptr& run, bool wait, std::vector<nonce_task_s>& batch, std::vector<uint64_t>& nonces,
                 std::vector<int>& first, std::vector<uint32_t>& scoops, std::vector<uint8_t>& out) {
    checker_s* c = run->c;
    const int per_call = run->per_call;
    batch.clear();
    {
        std::unique_lock<std::mutex> lock(c->check_mutex);
        auto deadline = std::chrono::steady_clock::now() + PARTIAL_PATIENCE;
        for (;;) {
            if (stopped(c)) return false;
            const size_t queued = run->nonces.size();
            if (queued >= (size_t)per_call) break;
            if (queued > 0 && (!run->producer_busy || run->closing || !wait)) break;
            if (queued == 0 && (run->closing || !wait)) return false;
            if (queued == 0) {
                c->workers_cv.wait(lock);
                deadline = std::chrono::steady_clock::now() + PARTIAL_PATIENCE;
            } else if (c->workers_cv.wait_until(lock, deadline) == std::cv_status::timeout) {
                if (!run->nonces.empty()) break;
            }
        }
        const file_work_s* lead = run->nonces.front().f.get();
        while (!run->nonces.empty() && (int)batch.size() < per_call) {
            const file_work_s* f = run->nonces.front().f.get();
            if (f->account != lead->account || f->poc2 != lead->poc2) break;
            batch.push_back(std::move(run->nonces.front()));
            run->nonces.pop_front();
        }
        // Room in the queue for the next file.
        c->coordinator_cv.notify_one();
    }
    const int m = (int)batch.size();
    nonces.resize(m);
    first.resize(m + 1);
    scoops.clear();
    first[0] = 0;
    for (int b = 0; b < m; b++) {
        const check_plan_s& p = batch[b].f->plan;
        const int j = batch[b].j;
        nonces[b] = p.nonces[j];
        for (int k = p.first[j]; k < p.first[j + 1]; k++) {
            scoops.push_back(p.scoop[k]);
            if (p.sample[k] >= 0) batch[b].f->entry->status[p.sample[k]].computing.store(1);
        }
        first[b + 1] = (int)scoops.size();
    }
    out.resize(scoops.size() * 64);
    const file_work_s* lead = batch[0].f.get();
    g_check_nonces(lead->account, m, nonces.data(), first.data(), scoops.data(), out.data(), lead->poc2);
    for (int b = 0; b < m; b++) {
        file_work_s* f = batch[b].f.get();
        const check_plan_s& p = f->plan;
        const int j = batch[b].j;
        memcpy(f->expected.data() + (uint64_t)p.first[j] * 64, out.data() + (uint64_t)first[b] * 64,
               (uint64_t)(first[b + 1] - first[b]) * 64);
        for (int k = p.first[j]; k < p.first[j + 1]; k++) {
            if (p.sample[k] < 0) continue;
            f->entry->status[p.sample[k]].expected_ready.store(1);
            compare_if_ready(f, p.sample[k]);
        }
        task_done(run, batch[b].f);
    }
    batch.clear();
    return true;
}

void check_worker(run_ptr run) {
    std::vector<nonce_task_s> batch;
    std::vector<uint64_t> nonces;
    std::vector<int> first;
    std::vector<uint32_t> scoops;
    std::vector<uint8_t> out;
    while (worker_step(run, true, batch, nonces, first, scoops, out)) {
    }
    checker_s* c = run->c;
    std::lock_guard<std::mutex> lock(c->workers_mutex);
    if (--c->workers_running == 0) c->workers_ended.notify_all();
}

// The parse, kind and size tests; CHECK_SKIP_NONE with *fd_out open when
// the file can be checked.
int open_plot(check_entry_s& e, uint64_t* account, uint64_t* start, uint64_t* nonces, bool* poc2, int* fd_out) {
    uint64_t stagger = 0;
    bool parsed = plot_name_parse(e.path.c_str(), account, start, nonces, &stagger);
    util_assert(parsed, false, "ui_check", 77);
    if (!parsed || *nonces == 0 || *start > UINT64_MAX - *nonces) return CHECK_SKIP_NAME;
    e.nonces.store(*nonces);
    if (stagger != 0 && stagger != *nonces) {
        sys_log("Only optimized files are supported by the checker, skipping %s\n", e.path.c_str());
        return CHECK_SKIP_KIND;
    }
    *poc2 = stagger == 0;
    // Its nonces are only partly written: zeros there would read as wrong.
    if (plot_name_is_unfinished(e.path.c_str())) {
        sys_log("%s is unfinished, not checked\n", e.path.c_str());
        return CHECK_SKIP_UNFINISHED;
    }
    // A FIFO named like a plot would block the open until a writer comes,
    // a device its reads: only regular files are opened, and without
    // waiting, in case one is swapped in after the test.
    struct stat st;
    if (stat(e.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        sys_log("%s is not a regular file (a FIFO, a device or a folder), not checked\n", e.path.c_str());
        return CHECK_SKIP_NOT_FILE;
    }
    int fd = open(e.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        sys_log("Could not open %s: %s\n", e.path.c_str(), strerror(errno));
        return CHECK_SKIP_UNREADABLE;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        sys_log("%s is not a regular file (a FIFO, a device or a folder), not checked\n", e.path.c_str());
        close(fd);
        return CHECK_SKIP_NOT_FILE;
    }
    if (fd == 0) {
        // Descriptor 0 means "none" to the platform layer: keep a copy.
        int copy = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (copy < 0) return CHECK_SKIP_UNREADABLE;
        fd = copy;
    }
    uint64_t size = sys_file_size(fd);
    // A count this large has no size in 64 bits: no file can match it.
    bool fits = *nonces <= UINT64_MAX / PLOT_NONCE_BYTES;
    int skip = size == 0 ? CHECK_SKIP_EMPTY : !fits || size != *nonces * PLOT_NONCE_BYTES ? CHECK_SKIP_SIZE : CHECK_SKIP_NONE;
    if (skip == CHECK_SKIP_SIZE) sys_log("%s has incorrect file size\n", e.path.c_str());
    if (skip != CHECK_SKIP_NONE) {
        sys_close(fd);
        return skip;
    }
    *fd_out = fd;
    return CHECK_SKIP_NONE;
}

bool all_zero(const uint8_t* p, size_t n) {
    for (size_t k = 0; k < n; k++)
        if (p[k] != 0) return false;
    return true;
}

std::string plot_file_name(uint64_t account, uint64_t start, uint64_t nonces, bool poc2) {
    char name[96];
    if (poc2)
        snprintf(name, sizeof name, "%llu_%llu_%llu", (unsigned long long)account, (unsigned long long)start,
                 (unsigned long long)nonces);
    else
        snprintf(name, sizeof name, "%llu_%llu_%llu_%llu", (unsigned long long)account, (unsigned long long)start,
                 (unsigned long long)nonces, (unsigned long long)nonces);
    return name;
}

// Scoop `scoop` of nonce `nonce` of an account, as a plot of the layout
// holds it.
void expected_scoop(uint64_t account, uint64_t nonce, uint32_t scoop, bool poc2, uint8_t* out) {
    const int first[2] = {0, 1};
    g_check_nonces(account, 1, &nonce, first, &scoop, out, poc2);
}

// The compared samples whose read scoop holds data.
std::vector<int> data_samples(const file_work_s* f) {
    std::vector<int> out;
    for (int i = 0; i < f->checker->sample_count; i++)
        if (f->entry->status[i].read_done.load() && !all_zero(f->read_of(i), 64)) out.push_back(i);
    return out;
}

// Every sample differs: what the file holds instead.
check_mismatch_e explain_mismatch(file_work_s* f, const checker_s* c) {
    check_entry_s& e = *f->entry;
    const std::vector<int> data = data_samples(f);
    // The other layout: the first halves of PoC1 and PoC2 scoops are the
    // same bytes, only the second halves are swapped across the nonce.
    bool halves = !data.empty();
    for (int i : data) halves = halves && memcmp(f->expected_of(i), f->read_of(i), 32) == 0;
    if (halves) {
        e.fitting_name = plot_file_name(f->account, f->start, f->nonces, !f->poc2);
        return f->poc2 ? CHECK_MISMATCH_POC1_LAYOUT : CHECK_MISMATCH_POC2_LAYOUT;
    }
    // A file of fewer nonces made longer: data up to some nonce count's
    // size, zeros after it.
    uint64_t last_data = 0, first_zero = UINT64_MAX;
    bool any_data = false;
    for (int i = 0; i < c->sample_count; i++) {
        if (!e.status[i].read_done.load()) continue;
        const uint64_t off = f->offset_of(i);
        if (all_zero(f->read_of(i), 64)) {
            first_zero = std::min(first_zero, off);
        } else {
            last_data = std::max(last_data, off);
            any_data = true;
        }
    }
    if (any_data && first_zero != UINT64_MAX && last_data < first_zero) {
        // The data ends at m x 262144 for an m in [low, high]; the largest
        // m whose last 64 bytes still hold data.
        uint64_t low = last_data / PLOT_NONCE_BYTES + 1, high = std::min(first_zero / PLOT_NONCE_BYTES, f->nonces - 1);
        uint64_t found = 0;
        uint8_t probe[64];
        while (low <= high && !stopped(f->checker)) {
            const uint64_t mid = low + (high - low) / 2;
            if (!read_at(f, probe, 64, mid * PLOT_NONCE_BYTES - 64)) break;
            if (!all_zero(probe, 64)) {
                found = mid;
                low = mid + 1;
            } else {
                high = mid - 1;
            }
        }
        // The data is a plot of that many nonces: a few samples read where
        // that layout keeps them.
        int tried = 0, matched = 0;
        for (int i : data) {
            if (found == 0 || tried == CANDIDATE_SAMPLES) break;
            const uint64_t k = f->plan.nonce_of[i] - f->start;
            if (k >= found) continue;
            tried++;
            if (read_at(f, probe, 64, ((uint64_t)f->plan.scoop_of[i] * found + k) * 64) &&
                memcmp(probe, f->expected_of(i), 64) == 0)
                matched++;
        }
        if (tried > 0 && matched == tried) {
            e.data_nonces = found;
            e.fitting_name = plot_file_name(f->account, f->start, found, f->poc2);
            return CHECK_MISMATCH_LONGER;
        }
    }
    // The nonces of another dropped file's name (two files renamed into
    // each other's names).
    std::set<std::pair<uint64_t, uint64_t>> tried_names;
    for (const check_entry_s& other : c->entries) {
        if ((int)tried_names.size() == NAME_CANDIDATES || stopped(f->checker) || data.empty()) break;
        uint64_t account, start, nonces, stagger;
        if (&other == &e || !plot_name_parse(other.path.c_str(), &account, &start, &nonces, &stagger)) continue;
        if ((account == f->account && start == f->start) || start > UINT64_MAX - f->nonces) continue;
        if (!tried_names.insert({account, start}).second) continue;
        bool all = true;
        for (int t = 0; t < CANDIDATE_SAMPLES && t < (int)data.size() && all; t++) {
            const int i = data[(size_t)t * data.size() / CANDIDATE_SAMPLES];
            uint8_t want[64];
            expected_scoop(account, start + (f->plan.nonce_of[i] - f->start), f->plan.scoop_of[i], f->poc2, want);
            all = memcmp(want, f->read_of(i), 64) == 0;
        }
        if (all) {
            e.fitting_name = plot_file_name(account, start, f->nonces, f->poc2);
            return CHECK_MISMATCH_OTHER_NAME;
        }
    }
    return CHECK_MISMATCH_UNKNOWN;
}

// Counts what the samples and the other compared scoops show; a sample
// both threads left uncompared (each saw the other's flag unset) is
// compared here.
void settle_entry(file_work_s* f) {
    checker_s* c = f->checker;
    check_entry_s& e = *f->entry;
    const int n = c->sample_count;
    int wrong = 0, unchecked = 0;
    for (int i = 0; i < n; i++) {
        check_sample_s& s = e.status[i];
        if (s.read_failed.load()) {
            unchecked++;
            continue;
        }
        if (!s.compared.load()) compare_sample(f, i);
        wrong += !s.equal.load();
    }
    const check_plan_s& p = f->plan;
    uint64_t scoops = 0, scoops_wrong = 0;
    for (size_t k = 0; k < p.at.size(); k++) {
        if (f->block_failed[p.at[k] / CHECK_BLOCK_BYTES]) continue;
        scoops++;
        scoops_wrong += memcmp(f->expected.data() + k * 64, f->blocks.data() + p.at[k], 64) != 0;
    }
    if (unchecked > 0) sys_log("%s: %d of %d samples could not be checked\n", e.path.c_str(), unchecked, n);
    const int compared = n - unchecked;
    bool holds_data = false;
    for (int i = 0; i < n && !holds_data; i++) holds_data = !e.status[i].read_failed.load() && !all_zero(f->read_of(i), 64);
    if (compared >= MISMATCH_MIN_SAMPLES && wrong == compared && holds_data) e.mismatch.store(explain_mismatch(f, c));
    e.wrong.store(wrong);
    e.unchecked.store(unchecked);
    e.scoops_compared.store(scoops);
    e.scoops_wrong.store(scoops_wrong);
    e.all_correct.store(wrong == 0 && unchecked == 0 && scoops_wrong == 0);
}

// The file's verdict in the log, for every file: a night's check of many
// files is read there the next morning.
void log_verdict(const check_entry_s& e, int sample_count) {
    int unchecked = e.skip.load() != CHECK_SKIP_NONE ? sample_count : e.unchecked.load();
    sys_log("Check of %s: %s; %d samples compared, %d wrong, %d not checked; %llu scoops compared, %llu wrong\n",
            e.path.c_str(), check_entry_verdict_text(e, sample_count).c_str(), sample_count - unchecked,
            e.wrong.load(), unchecked, (unsigned long long)e.scoops_compared.load(),
            (unsigned long long)e.scoops_wrong.load());
}

// Opens entry d and, when it can be checked, queues its reads and nonces.
void admit_file(const run_ptr& run, int d) {
    checker_s* c = run->c;
    check_entry_s& e = c->entries[d];
    auto f = std::make_shared<file_work_s>(c, &e);
    int skip = open_plot(e, &f->account, &f->start, &f->nonces, &f->poc2, &f->fd);
    // Stopped while the open waited: the file's check is over unsaid.
    if (stopped(c)) return;
    if (skip != CHECK_SKIP_NONE) {
        e.skip.store(skip);
        e.finished.store(true);
        log_verdict(e, c->sample_count);
        return;
    }
    check_plan_make(&f->plan, c->sample_count, f->start, f->nonces);
    const check_plan_s& p = f->plan;
    f->blocks.assign(p.blocks.size() * CHECK_BLOCK_BYTES, 0);
    f->expected.assign(p.at.size() * 64, 0);
    f->block_failed.assign(p.blocks.size(), 0);
    f->pending.store((int)(p.blocks.size() + p.nonces.size()));
    std::lock_guard<std::mutex> lock(c->check_mutex);
    for (int b = 0; b < (int)p.blocks.size(); b++) run->reads.push_back({f, b});
    for (int j = 0; j < (int)p.nonces.size(); j++) run->nonces.push_back({f, j});
    run->in_flight_files++;
    run->in_flight_bytes += f->bytes();
    c->readers_cv.notify_all();
    c->workers_cv.notify_all();
}

// Natural order: "1_9_8" before "1_10_8".
bool name_before(const std::string& a, const std::string& b) { return strverscmp(a.c_str(), b.c_str()) < 0; }

}  // namespace

int check_sample_count(int entry_count, int window_width) {
    int n = entry_count == 1 ? (int)CHECK_SINGLE_SAMPLES : window_width - 48;
    if (n < 1) n = 1;
    if (n > CHECK_MAX_SAMPLES) n = CHECK_MAX_SAMPLES;
    return n;
}

std::vector<std::string> check_collect(int count, const char* const* paths) {
    std::vector<std::string> files;
    auto add = [&](const char* q) {
        if (is_plot_name(q)) files.emplace_back(q);
        return true;
    };
    auto first = [&](const char* q) {
        if (is_plot_name(q)) {
            files.emplace_back(q);
        } else if (!is_dot_entry(q) && sys_dir_exists(q)) {
            sys_list_dir(q, add);
        }
        return true;
    };
    for (int i = 0; i < count; i++) {
        const char* p = paths[i];
        if (!p) continue;
        if (is_plot_name(p))
            files.emplace_back(p);
        else if (sys_dir_exists(p))
            sys_list_dir(p, first);
    }
    return files;
}

check_outcome_e check_entry_outcome(const check_entry_s& e) {
    if (!e.finished.load()) return CHECK_PENDING;
    if (e.skip.load() != CHECK_SKIP_NONE) return CHECK_SKIPPED;
    if (e.mismatch.load() != CHECK_MISMATCH_NONE) return CHECK_MISMATCH;
    if (e.wrong.load() > 0 || e.scoops_wrong.load() > 0) return CHECK_WRONG;
    if (e.unchecked.load() > 0) return CHECK_INCOMPLETE;
    return CHECK_CORRECT;
}

check_outcome_e check_verdict(const checker_s& c) {
    if (!c.collected.load()) return CHECK_PENDING;
    bool wrong = false, not_checked = false, compared = false;
    for (const check_entry_s& e : c.entries) {
        switch (check_entry_outcome(e)) {
        case CHECK_PENDING: return CHECK_PENDING;
        case CHECK_WRONG:
        case CHECK_MISMATCH: wrong = true; break;
        case CHECK_CORRECT: compared = true; break;
        case CHECK_INCOMPLETE:
            not_checked = true;
            compared = compared || e.unchecked.load() < c.sample_count;
            break;
        default: not_checked = true; break;
        }
    }
    if (wrong) return CHECK_WRONG;
    if (!compared) return CHECK_NOTHING;
    return not_checked ? CHECK_INCOMPLETE : CHECK_CORRECT;
}

const char* check_skip_text(int skip) {
    switch (skip) {
    case CHECK_SKIP_NAME: return "its name gives no valid nonce range";
    case CHECK_SKIP_KIND: return "only optimized files can be checked";
    case CHECK_SKIP_UNFINISHED: return "the file is unfinished";
    case CHECK_SKIP_UNREADABLE: return "it cannot be opened";
    case CHECK_SKIP_EMPTY: return "the file is empty";
    case CHECK_SKIP_SIZE: return "its size does not match its name";
    case CHECK_SKIP_NOT_FILE: return "it is not a regular file (a FIFO or a device)";
    default: return "";
    }
}

namespace {

// 4194304 as "4,194,304".
std::string grouped(uint64_t v) {
    std::string digits = std::to_string(v), out;
    for (size_t k = 0; k < digits.size(); k++) {
        if (k > 0 && (digits.size() - k) % 3 == 0) out += ',';
        out += digits[k];
    }
    return out;
}

std::string mismatch_text(const check_entry_s& e) {
    const char* name = e.fitting_name.c_str();
    char text[300];
    switch (e.mismatch.load()) {
    case CHECK_MISMATCH_OTHER_NAME:
        snprintf(text, sizeof text, "holds the nonces of %s: rename it to that name", name);
        break;
    case CHECK_MISMATCH_POC1_LAYOUT:
        snprintf(text, sizeof text, "holds PoC1 data under a PoC2 name: rename it to %s or plot it again as PoC2",
                 name);
        break;
    case CHECK_MISMATCH_POC2_LAYOUT:
        snprintf(text, sizeof text, "holds PoC2 data under a PoC1 name: rename it to %s", name);
        break;
    case CHECK_MISMATCH_LONGER:
        snprintf(text, sizeof text,
                 "is longer than its data: holds %s nonces, then zeros; cut it to %s bytes and rename it to %s",
                 grouped(e.data_nonces).c_str(), grouped(e.data_nonces * PLOT_NONCE_BYTES).c_str(), name);
        break;
    default:
        snprintf(text, sizeof text, "every sample differs: data of unknown origin, plot it again");
        break;
    }
    return text;
}

}  // namespace

std::string check_entry_verdict_text(const check_entry_s& e, int sample_count) {
    char text[200];
    switch (check_entry_outcome(e)) {
    case CHECK_PENDING: return "";
    case CHECK_CORRECT: snprintf(text, sizeof text, "correct"); break;
    case CHECK_MISMATCH: return mismatch_text(e);
    case CHECK_WRONG:
        if (e.wrong.load() > 0)
            snprintf(text, sizeof text, "%d of %d samples differ", e.wrong.load(), sample_count);
        else
            snprintf(text, sizeof text, "%s of %s scoops compared differ", grouped(e.scoops_wrong.load()).c_str(),
                     grouped(e.scoops_compared.load()).c_str());
        break;
    case CHECK_INCOMPLETE:
        snprintf(text, sizeof text, "%d of %d samples could not be read", e.unchecked.load(), sample_count);
        break;
    default: snprintf(text, sizeof text, "not checked: %s", check_skip_text(e.skip.load())); break;
    }
    return text;
}

std::string check_entry_coverage_text(const check_entry_s& e, int sample_count) {
    const check_outcome_e outcome = check_entry_outcome(e);
    if (outcome != CHECK_CORRECT && outcome != CHECK_WRONG && outcome != CHECK_INCOMPLETE) return "";
    const uint64_t nonces = e.nonces.load(), scoops = e.scoops_compared.load();
    const std::string of = std::to_string(sample_count - e.unchecked.load()) + " samples of " + grouped(nonces) +
                           (nonces == 1 ? " nonce" : " nonces");
    if (scoops == nonces * PLOT_SCOOPS) return of + ": all " + grouped(scoops) + " scoops compared, none left out";
    return of + ", " + grouped(scoops) + " scoops compared: whole-file faults ruled out, single bad nonces may be missed";
}

std::string check_coverage_text(const checker_s& c) {
    if (check_verdict(c) == CHECK_PENDING) return "";
    uint64_t scoops = 0, all = 0;
    int files = 0;
    for (const check_entry_s& e : c.entries) {
        const check_outcome_e outcome = check_entry_outcome(e);
        if (outcome != CHECK_CORRECT && outcome != CHECK_WRONG && outcome != CHECK_INCOMPLETE) continue;
        files++;
        scoops += e.scoops_compared.load();
        all += e.nonces.load() * PLOT_SCOOPS;
    }
    if (files == 0) return "";
    const std::string of = grouped(scoops) + " scoops compared in " + std::to_string(files) +
                           (files == 1 ? " file" : " files");
    if (scoops == all) return of + ": every scoop of every file, none left out";
    return of + ": whole-file faults ruled out, single bad nonces may be missed";
}

checker_s* checker_create(window_s* w, const std::vector<std::string>& files, int sample_count) {
    checker_s* c = new checker_s;
    c->window = w;
    c->sample_count = sample_count;
    c->entries = std::vector<check_entry_s>(files.size());
    for (size_t i = 0; i < files.size(); i++) {
        c->entries[i].path = files[i];
        c->entries[i].status = std::vector<check_sample_s>(sample_count);
    }
    c->collected.store(true);
    return c;
}

checker_s* checker_create_dropped(window_s* w, int count, const char* const* paths) {
    checker_s* c = new checker_s;
    c->window = w;
    c->window_width = w ? window_width(w) : 640;
    for (int i = 0; i < count; i++)
        if (paths[i]) c->dropped.emplace_back(paths[i]);
    return c;
}

void checker_hold(checker_s* c) { c->refs.fetch_add(1, std::memory_order_relaxed); }

void checker_release(checker_s* c) {
    if (c->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete c;
}

void checker_destroy(checker_s* c) {
    if (!c) return;
    c->stop.exchange(true);
    {
        std::lock_guard<std::mutex> lock(c->check_mutex);
        c->readers_cv.notify_all();
        c->workers_cv.notify_all();
        c->coordinator_cv.notify_all();
    }
    {
        std::unique_lock<std::mutex> lock(c->workers_mutex);
        while (c->workers_running > 0) c->workers_ended.wait(lock);
    }
    // The check thread may be inside a stat, an open or a listing: it ends
    // on its own and lets go of its reference then.
    if (c->thread.joinable()) c->thread.detach();
    checker_release(c);
}

namespace {

// The dropped paths into entries, on the check thread.
void collect_entries(checker_s* c) {
    std::vector<const char*> paths;
    for (const std::string& p : c->dropped) paths.push_back(p.c_str());
    std::vector<std::string> files = check_collect((int)paths.size(), paths.data());
    std::sort(files.begin(), files.end(), name_before);
    c->sample_count = check_sample_count((int)files.size(), c->window_width);
    c->entries = std::vector<check_entry_s>(files.size());
    for (size_t i = 0; i < files.size(); i++) {
        c->entries[i].path = files[i];
        c->entries[i].status = std::vector<check_sample_s>(c->sample_count);
    }
    c->collected.store(true);
}

void start_workers(const run_ptr& run, int count) {
    checker_s* c = run->c;
    std::lock_guard<std::mutex> lock(c->workers_mutex);
    if (stopped(c)) return;
    for (int w = 0; w < count; w++) {
        try {
            std::thread(check_worker, run).detach();
            c->workers_running++;
        } catch (const std::exception&) {
            // Fewer workers hash the same nonces, only slower.
        }
    }
}

}  // namespace

void check_thread_proc(checker_s* c) {
    if (!c->collected.load()) collect_entries(c);
    const int n = (int)c->entries.size();
    if (n == 0 || stopped(c)) return;
    auto run = std::make_shared<check_run_s>(c);
    run->per_call = std::max(1, plot_nonces_per_call());
    std::vector<std::thread> readers;
    for (int r = 0; r < READERS; r++) {
        try {
            readers.emplace_back(check_reader, run);
        } catch (const std::exception&) {
        }
    }
    start_workers(run, std::max(1, cpu_count() - 1));
    bool have_workers;
    {
        std::lock_guard<std::mutex> lock(c->workers_mutex);
        have_workers = c->workers_running > 0;
    }
    // Enough nonces queued to keep every worker's lanes full.
    const size_t nonce_limit = (size_t)4 * (size_t)std::max(1, cpu_count() - 1) * (size_t)run->per_call;
    std::vector<nonce_task_s> batch;
    std::vector<uint64_t> nonces;
    std::vector<int> first;
    std::vector<uint32_t> scoops;
    std::vector<uint8_t> out;
    int next = 0;
    for (;;) {
        file_ptr settle;
        bool admit = false;
        {
            std::unique_lock<std::mutex> lock(c->check_mutex);
            for (;;) {
                if (stopped(c)) break;
                if (!run->done.empty()) {
                    settle = std::move(run->done.front());
                    run->done.pop_front();
                    break;
                }
                if (next < n && (run->in_flight_files == 0 ||
                                 (run->in_flight_bytes < IN_FLIGHT_BYTES && run->in_flight_files < IN_FLIGHT_FILES &&
                                  run->nonces.size() < nonce_limit))) {
                    admit = true;
                    run->producer_busy = true;
                    break;
                }
                if (next >= n && run->in_flight_files == 0) break;
                if (run->producer_busy) {
                    run->producer_busy = false;
                    c->workers_cv.notify_all();
                }
                // Without threads of its own kind, this thread does the work.
                if (!have_workers && !run->nonces.empty()) {
                    lock.unlock();
                    worker_step(run, false, batch, nonces, first, scoops, out);
                    lock.lock();
                    continue;
                }
                if (readers.empty() && !run->reads.empty()) {
                    lock.unlock();
                    reader_step(run, false);
                    lock.lock();
                    continue;
                }
                // A stop flag set without a wake is still seen.
                c->coordinator_cv.wait_for(lock, std::chrono::milliseconds(100));
            }
        }
        if (stopped(c)) break;
        if (settle) {
            settle_entry(settle.get());
            if (stopped(c)) break;
            settle->entry->finished.store(true);
            log_verdict(*settle->entry, c->sample_count);
            std::lock_guard<std::mutex> lock(c->check_mutex);
            run->in_flight_files--;
            run->in_flight_bytes -= settle->bytes();
            continue;
        }
        if (!admit) break;
        admit_file(run, next++);
    }
    {
        std::lock_guard<std::mutex> lock(c->check_mutex);
        run->closing = true;
        run->producer_busy = false;
        if (stopped(c)) {
            run->reads.clear();
            run->nonces.clear();
            run->done.clear();
        }
        c->readers_cv.notify_all();
        c->workers_cv.notify_all();
    }
    {
        std::unique_lock<std::mutex> lock(c->workers_mutex);
        while (c->workers_running > 0) c->workers_ended.wait(lock);
    }
    // Once stopped, a reader may be inside a read that hangs: it ends on its
    // own, holding what it reads into.
    for (std::thread& t : readers) {
        if (stopped(c))
            t.detach();
        else
            t.join();
    }
}

namespace {
// The application's way back from the checker screen.
std::function<void()> g_check_back;
}  // namespace

void ui_check_start(window_s* w, int count, const char* const* paths, std::function<void()> back) {
    if (g_checker) {
        checker_s* old = g_checker;
        g_checker = nullptr;
        // Regions of the checker screen point into the old checker.
        ui_regions_clear(w);
        checker_destroy(old);
    }
    // The folders are listed on the check thread: a dead mount must not
    // freeze the window.
    checker_s* c = checker_create_dropped(w, count, paths);
    g_checker = c;
    g_check_back = std::move(back);
    checker_hold(c);
    c->thread = std::thread([c] {
        check_thread_proc(c);
        checker_release(c);
    });
    window_set_paint(w, check_paint);
    window_set_key_callback(w, check_key_cb);
    window_set_redraw_timer(w, 250);
}

void ui_check_stop() {
    checker_s* c = g_checker;
    if (!c) return;
    window_s* w = c->window;
    g_checker = nullptr;
    // The list's wheel region holds a pointer to c->scroll.
    ui_regions_clear(w);
    if (g_check_back) g_check_back();
    window_set_key_callback(w, nullptr);
    window_set_redraw_timer(w, 0);
    checker_destroy(c);
}
