// The plot checker's engine: collects the files, then one check thread walks
// them in order. For each file, reader threads read the sampled 64-byte
// scoops, several at a time so that a disk can serve them side by side,
// while worker threads hash each sampled nonce once and take all of its
// sampled scoops from it.
//
// Ownership: the check thread is started and joined only by ui_check_start,
// ui_check_stop and checker_destroy. It never waits for a reader once the
// check is stopped; a reader stuck in a read is detached and owns (through
// references) the file's working data and the checker until it returns.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

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

// Reads in flight at once: enough for a disk's queue to sort them, few
// enough that a folder of files does not start hundreds of threads.
const int READERS = 16;

// Fewer compared samples than this say too little to tell a file under
// another's name from a damaged one.
const int MISMATCH_MIN_SAMPLES = 16;

bool is_dot_entry(const char* path) {
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

bool stopped(const checker_s* c) { return c->stop.load(std::memory_order_relaxed); }

// What the check thread, its readers and its workers share for one file.
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
    // The expected scoops in the plan's nonce order (slot k for the plan's
    // k-th sample), the read scoops in sample order.
    std::vector<int> slot_of;
    std::vector<uint8_t> expected;
    std::vector<uint8_t> read;
    std::atomic<int> next_read{0};
    std::atomic<int> next_nonce{0};
    std::atomic<int> read_errors{0};
    // Readers still running; the last one to end wakes the check thread.
    std::mutex mutex;
    std::condition_variable readers_done;
    int readers_running = 0;

    explicit file_work_s(checker_s* c, check_entry_s* e) : checker(c), entry(e) { checker_hold(c); }
    ~file_work_s() {
        if (fd != 0) sys_close(fd);
        checker_release(checker);
    }
    const uint8_t* expected_of(int i) const { return expected.data() + (uint64_t)slot_of[i] * 64; }
    const uint8_t* read_of(int i) const { return read.data() + (uint64_t)i * 64; }
};

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

// One sample's 64 bytes; a short read (the file shrank) counts as failed.
bool read_scoop(file_work_s* f, int i) {
    uint64_t offset = ((uint64_t)f->plan.scoop_of[i] * f->nonces + (f->plan.nonce_of[i] - f->start)) * 64;
    uint8_t* out = f->read.data() + (uint64_t)i * 64;
    size_t got = 0;
    while (got < 64) {
        ssize_t n = g_check_pread(f->fd, out + got, 64 - got, (off_t)(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The first failure of a file is logged with its cause; the
            // count follows when the file ends. An abandoned read that
            // fails late says nothing: its check is over.
            if (f->read_errors.fetch_add(1) == 0 && !stopped(f->checker))
                sys_log("Could not read %s at offset %llu: %s\n", f->entry->path.c_str(),
                        (unsigned long long)(offset + got), n < 0 ? strerror(errno) : "end of file");
            return false;
        }
        got += (size_t)n;
    }
    return true;
}

// Takes the samples in order, so the reads in flight lie close together.
void check_reader(std::shared_ptr<file_work_s> f) {
    std::vector<check_sample_s>& st = f->entry->status;
    const int n = f->checker->sample_count;
    for (;;) {
        if (stopped(f->checker)) break;
        int i = f->next_read.fetch_add(1);
        if (i >= n) break;
        st[i].read_issued.store(1);
        if (read_scoop(f.get(), i)) {
            st[i].read_done.store(1);
            compare_if_ready(f.get(), i);
        } else {
            st[i].read_failed.store(1);
        }
    }
    std::lock_guard<std::mutex> lock(f->mutex);
    if (--f->readers_running == 0) f->readers_done.notify_all();
}

// Takes the plan's nonces a lane-filling call at a time: each nonce hashed
// once, all its samples' scoops taken out of it.
void check_worker(file_work_s* f) {
    checker_s* c = f->checker;
    std::vector<check_sample_s>& st = f->entry->status;
    const check_plan_s& p = f->plan;
    const int per_call = plot_nonces_per_call();
    const int total = (int)p.nonces.size();
    while (!stopped(c)) {
        const int j0 = f->next_nonce.fetch_add(per_call);
        if (j0 >= total) break;
        const int m = std::min(per_call, total - j0);
        for (int k = p.first[j0]; k < p.first[j0 + m]; k++) st[p.sample[k]].computing.store(1);
        g_check_nonces(f->account, m, p.nonces.data() + j0, p.first.data() + j0, p.scoop.data(),
                       f->expected.data(), f->poc2);
        for (int k = p.first[j0]; k < p.first[j0 + m]; k++) {
            st[p.sample[k]].expected_ready.store(1);
            compare_if_ready(f, p.sample[k]);
        }
    }
}

// The parse, kind and size tests; CHECK_SKIP_NONE with *fd_out open when
// the file can be checked.
int open_plot(const check_entry_s& e, uint64_t* account, uint64_t* start, uint64_t* nonces, bool* poc2,
              int* fd_out) {
    uint64_t stagger = 0;
    bool parsed = plot_name_parse(e.path.c_str(), account, start, nonces, &stagger);
    util_assert(parsed, false, "ui_check", 77);
    if (!parsed || *nonces == 0 || *start > UINT64_MAX - *nonces) return CHECK_SKIP_NAME;
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

// The samples of one file, read and computed side by side. The workers are
// joined; the readers are joined too, unless the check is stopped while one
// is still reading: then they are detached and end on their own. Returns
// whether every reader ended.
bool check_samples(const std::shared_ptr<file_work_s>& f) {
    checker_s* c = f->checker;
    const int n = c->sample_count;
    int v = cpu_count() - 1;
    if (v < 1) v = 1;
    // No more workers than lane-filling calls the plan's nonces make.
    const int per_call = plot_nonces_per_call();
    v = std::max(1, std::min(v, ((int)f->plan.nonces.size() + per_call - 1) / per_call));
    const int r = std::min(READERS, n);
    std::vector<std::thread> readers, workers;
    f->readers_running = r;
    for (int k = 0; k < r; k++) {
        try {
            readers.emplace_back(check_reader, f);
        } catch (const std::exception&) {
            // Fewer readers read the same samples, only slower.
            std::lock_guard<std::mutex> lock(f->mutex);
            f->readers_running--;
        }
    }
    if (readers.empty()) {
        // Not one reader thread: read here, before hashing.
        f->readers_running = 1;
        check_reader(f);
    }
    for (int w = 0; w < v; w++) {
        try {
            workers.emplace_back(check_worker, f.get());
        } catch (const std::exception&) {
        }
    }
    if (workers.empty()) check_worker(f.get());
    for (std::thread& t : workers) t.join();
    bool all_ended;
    {
        std::unique_lock<std::mutex> lock(f->mutex);
        while (f->readers_running > 0 && !stopped(c)) f->readers_done.wait_for(lock, std::chrono::milliseconds(10));
        all_ended = f->readers_running == 0;
    }
    for (std::thread& t : readers) {
        if (all_ended)
            t.join();
        else
            t.detach();
    }
    return all_ended;
}

// Every read sample zero: a hole or a wiped file, not another's data.
bool reads_all_zero(const file_work_s* f) {
    for (uint8_t b : f->read)
        if (b != 0) return false;
    return true;
}

// Counts what the samples show; a sample both threads left uncompared
// (each saw the other's flag unset) is compared here.
void settle_entry(file_work_s* f) {
    check_entry_s& e = *f->entry;
    const int n = f->checker->sample_count;
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
    if (unchecked > 0) sys_log("%s: %d of %d samples could not be checked\n", e.path.c_str(), unchecked, n);
    const int compared = n - unchecked;
    e.wrong.store(wrong);
    e.unchecked.store(unchecked);
    e.name_mismatch.store(compared >= MISMATCH_MIN_SAMPLES && wrong == compared && !reads_all_zero(f));
    e.all_correct.store(wrong == 0 && unchecked == 0);
}

// The file's verdict in the log, for every file: a night's check of many
// files is read there the next morning.
void log_verdict(const check_entry_s& e, int sample_count) {
    int unchecked = e.skip.load() != CHECK_SKIP_NONE ? sample_count : e.unchecked.load();
    sys_log("Check of %s: %s; %d samples compared, %d wrong, %d not checked\n", e.path.c_str(),
            check_entry_verdict_text(e, sample_count).c_str(), sample_count - unchecked, e.wrong.load(), unchecked);
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
    if (e.name_mismatch.load()) return CHECK_MISMATCH;
    if (e.wrong.load() > 0) return CHECK_WRONG;
    if (e.unchecked.load() > 0) return CHECK_INCOMPLETE;
    return CHECK_CORRECT;
}

check_outcome_e check_verdict(const checker_s& c) {
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

std::string check_entry_verdict_text(const check_entry_s& e, int sample_count) {
    char text[200];
    switch (check_entry_outcome(e)) {
    case CHECK_PENDING: return "";
    case CHECK_CORRECT: snprintf(text, sizeof text, "correct"); break;
    case CHECK_MISMATCH: snprintf(text, sizeof text, "does not match its name (account or start)"); break;
    case CHECK_WRONG: snprintf(text, sizeof text, "%d of %d samples differ", e.wrong.load(), sample_count); break;
    case CHECK_INCOMPLETE:
        snprintf(text, sizeof text, "%d of %d samples could not be read", e.unchecked.load(), sample_count);
        break;
    default: snprintf(text, sizeof text, "not checked: %s", check_skip_text(e.skip.load())); break;
    }
    return text;
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
    return c;
}

void checker_hold(checker_s* c) { c->refs.fetch_add(1, std::memory_order_relaxed); }

void checker_release(checker_s* c) {
    if (c->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete c;
}

void checker_destroy(checker_s* c) {
    if (!c) return;
    c->stop.exchange(true);
    if (c->thread.joinable()) c->thread.join();
    checker_release(c);
}

void check_thread_proc(checker_s* c) {
    for (int d = 0; d < (int)c->entries.size(); d++) {
        if (stopped(c)) return;
        check_file_proc(c, d);
    }
}

void check_file_proc(checker_s* c, int index) {
    check_entry_s& e = c->entries[index];
    const int n = c->sample_count;
    auto f = std::make_shared<file_work_s>(c, &e);
    int skip = open_plot(e, &f->account, &f->start, &f->nonces, &f->poc2, &f->fd);
    if (skip != CHECK_SKIP_NONE) {
        e.skip.store(skip);
        e.finished.store(true);
        log_verdict(e, n);
        return;
    }
    check_plan_make(&f->plan, n, f->start, f->nonces);
    f->slot_of.resize(n);
    for (int k = 0; k < n; k++) f->slot_of[f->plan.sample[k]] = k;
    f->expected.assign((size_t)n * 64, 0);
    f->read.assign((size_t)n * 64, 0);
    bool ended = check_samples(f);
    if (ended && !stopped(c)) {
        settle_entry(f.get());
        e.finished.store(true);
        log_verdict(e, n);
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
    std::vector<std::string> files = check_collect(count, paths);
    std::sort(files.begin(), files.end(), name_before);
    checker_s* c = checker_create(w, files, check_sample_count((int)files.size(), window_width(w)));
    g_checker = c;
    g_check_back = std::move(back);
    c->thread = std::thread(check_thread_proc, c);
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
