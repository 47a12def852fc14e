// The plot checker's engine: collects the files, then one check thread walks
// them in order. For each file, reader threads read the sampled 64-byte
// scoops, several at a time so that a disk can serve them side by side,
// while worker threads recompute the same scoops.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "checker/check_state.h"
#include "checker/ui_check.h"
#include "app/ui_config.h"
#include "platform/cpu_features.h"
#include "platform/sys_linux.h"
#include "platform/util.h"
#include "plot/nonce.h"
#include "plot/plt_cpu.h"
#include "ui/regions.h"
#include "ui/window.h"

checker_s* g_checker = nullptr;
ssize_t (*g_check_pread)(int fd, void* buf, size_t count, off_t offset) = pread;

namespace {

// Reads in flight at once: enough for a disk's queue to sort them, few
// enough that a folder of files does not start hundreds of threads.
const int READERS = 16;

// splitmix64: small, fast and good enough to spread samples.
struct check_random_s {
    uint64_t state;
};

// The system's entropy when it has some; the clock and the process id vary
// from start to start in any case.
uint64_t start_up_seed() {
    uint64_t seed = (uint64_t)std::chrono::system_clock::now().time_since_epoch().count() ^ ((uint64_t)getpid() << 40);
    try {
        std::random_device device;
        seed ^= (uint64_t)device() << 32 ^ device();
    } catch (const std::exception&) {
    }
    return seed;
}

check_random_s g_random = {start_up_seed()};

uint64_t random_next(check_random_s* r) {
    uint64_t z = (r->state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

bool is_dot_entry(const char* path) {
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

bool scoop_equal(const uint8_t* a, const uint8_t* b) { return memcmp(a, b, 64) == 0; }

void compare_sample(check_sample_s& s, const uint8_t* expected, const uint8_t* read) {
    s.equal.store(scoop_equal(expected, read) ? 1 : 0);
    s.compared.store(1);
}

// What the check thread, its readers and its workers share for one file.
struct file_work_s {
    checker_s* checker;
    check_entry_s* entry;
    int fd;
    uint64_t account;
    uint64_t start;
    uint64_t nonces;
    bool poc2;
    int chunk;
    const uint64_t* nonce_of;
    const uint32_t* scoop_of;
    uint8_t* expected;
    uint8_t* read;
    std::atomic<int> next_read;
    std::atomic<int> read_errors;
};

bool stopped(const checker_s* c) { return c->stop.load(std::memory_order_relaxed); }

// Whoever sets the second of the two flags compares; both may, with the
// same result.
void compare_if_ready(file_work_s* f, int i) {
    check_sample_s& s = f->entry->status[i];
    if (s.read_done.load() && s.expected_ready.load())
        compare_sample(s, f->expected + (uint64_t)i * 64, f->read + (uint64_t)i * 64);
}

// One sample's 64 bytes; a short read (the file shrank) counts as failed.
bool read_scoop(file_work_s* f, int i) {
    uint64_t offset = ((uint64_t)f->scoop_of[i] * f->nonces + (f->nonce_of[i] - f->start)) * 64;
    uint8_t* out = f->read + (uint64_t)i * 64;
    size_t got = 0;
    while (got < 64) {
        ssize_t n = g_check_pread(f->fd, out + got, 64 - got, (off_t)(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The first failure of a file is logged with its cause; the
            // count follows when the file ends.
            if (f->read_errors.fetch_add(1) == 0)
                sys_log("Could not read %s at offset %llu: %s\n", f->entry->path.c_str(),
                        (unsigned long long)(offset + got), n < 0 ? strerror(errno) : "end of file");
            return false;
        }
        got += (size_t)n;
    }
    return true;
}

// Takes the samples in order, so the reads in flight lie close together.
void check_reader(file_work_s* f) {
    std::vector<check_sample_s>& st = f->entry->status;
    const int n = f->checker->sample_count;
    for (;;) {
        if (stopped(f->checker)) return;
        int i = f->next_read.fetch_add(1);
        if (i >= n) return;
        st[i].read_issued.store(1);
        if (read_scoop(f, i)) {
            st[i].read_done.store(1);
            compare_if_ready(f, i);
        } else {
            st[i].read_failed.store(1);
        }
    }
}

// The expected scoops of samples d to d + count - 1, with the fastest
// hashing form the processor has.
void compute_samples(file_work_s* f, int d, int count) {
    std::vector<check_sample_s>& st = f->entry->status;
    if (count == 1) st[d].computing.store(1);  // a sample computed on its own shows as in progress
    plot_nonces_scoops(f->account, count, f->nonce_of + d, f->scoop_of + d, f->expected + (uint64_t)d * 64, f->poc2);
    for (int j = d; j < d + count; j++) {
        st[j].expected_ready.store(1);
        compare_if_ready(f, j);
    }
}

// Worker w takes samples chunk x w onwards, in calls that fill the hashing
// form's lanes.
void check_worker(file_work_s* f, int w) {
    checker_s* c = f->checker;
    const int per_call = plot_nonces_per_call();
    const int end = std::min(f->chunk * (w + 1), c->sample_count);
    for (int d = f->chunk * w; d < end && !stopped(c);) {
        const int count = std::min(per_call, end - d);
        compute_samples(f, d, count);
        d += count;
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
    int fd = sys_open_read(e.path.c_str(), false);
    if (fd == 0) {
        sys_log("Could not open %s: %s\n", e.path.c_str(), strerror(errno));
        return CHECK_SKIP_UNREADABLE;
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

// The samples of one file, read and computed side by side; all threads are
// joined before it returns.
void check_samples(file_work_s* f) {
    const int n = f->checker->sample_count;
    int v = cpu_count() - 1;
    if (v < 1) v = 1;
    f->chunk = std::max(1, (n + v - 1) / v);
    std::vector<std::thread> threads;
    for (int w = 0; w < v; w++) threads.emplace_back(check_worker, f, w);
    for (int r = 0; r < std::min(READERS, n); r++) threads.emplace_back(check_reader, f);
    for (std::thread& t : threads) t.join();
}

// Counts what the samples show; a sample both threads left uncompared
// (each saw the other's flag unset) is compared here.
void settle_entry(file_work_s* f) {
    check_entry_s& e = *f->entry;
    int wrong = 0, unchecked = 0;
    for (int i = 0; i < f->checker->sample_count; i++) {
        check_sample_s& s = e.status[i];
        if (s.read_failed.load()) {
            unchecked++;
            continue;
        }
        if (!s.compared.load()) compare_sample(s, f->expected + (uint64_t)i * 64, f->read + (uint64_t)i * 64);
        wrong += !s.equal.load();
    }
    if (unchecked > 0)
        sys_log("%s: %d of %d samples could not be checked\n", e.path.c_str(), unchecked, f->checker->sample_count);
    e.wrong.store(wrong);
    e.unchecked.store(unchecked);
    e.all_correct.store(wrong == 0 && unchecked == 0);
    e.finished.store(true);
}

void free_checker(checker_s* c) { delete c; }

}  // namespace

void check_random_seed(uint64_t seed) { g_random.state = seed; }

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

void check_choose_samples(int sample_count, uint64_t start, uint64_t nonces, uint64_t* nonce_out,
                          uint32_t* scoop_out) {
    for (int i = 0; i < sample_count; i++) {
        uint64_t r1 = random_next(&g_random);
        uint64_t r2 = random_next(&g_random);
        // Band i: [i x 4096 / n, (i + 1) x 4096 / n), never empty for n up
        // to 4096, and together the bands leave no scoop out.
        uint32_t low = (uint32_t)((uint64_t)i * PLOT_SCOOPS / (uint64_t)sample_count);
        uint32_t high = (uint32_t)((uint64_t)(i + 1) * PLOT_SCOOPS / (uint64_t)sample_count);
        if (i == sample_count - 1) {
            scoop_out[i] = PLOT_SCOOPS - 1;
            nonce_out[i] = start + nonces - 1;
        } else if (i == 0) {
            scoop_out[i] = 0;
            nonce_out[i] = start;
        } else {
            scoop_out[i] = low + (uint32_t)(r1 % (high - low));
            nonce_out[i] = start + r2 % nonces;
        }
    }
}

check_outcome_e check_entry_outcome(const check_entry_s& e) {
    if (!e.finished.load()) return CHECK_PENDING;
    if (e.skip.load() != CHECK_SKIP_NONE) return CHECK_SKIPPED;
    if (e.wrong.load() > 0) return CHECK_WRONG;
    if (e.unchecked.load() > 0) return CHECK_INCOMPLETE;
    return CHECK_CORRECT;
}

check_outcome_e check_verdict(const checker_s& c) {
    bool wrong = false, not_checked = false, compared = false;
    for (const check_entry_s& e : c.entries) {
        switch (check_entry_outcome(e)) {
        case CHECK_PENDING: return CHECK_PENDING;
        case CHECK_WRONG: wrong = true; break;
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
    default: return "";
    }
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

void checker_destroy(checker_s* c) {
    if (!c) return;
    c->stop.exchange(true);
    if (c->thread.joinable()) c->thread.join();
    free_checker(c);
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
    file_work_s f;
    f.checker = c;
    f.entry = &e;
    f.fd = 0;
    f.poc2 = true;
    int skip = open_plot(e, &f.account, &f.start, &f.nonces, &f.poc2, &f.fd);
    if (skip != CHECK_SKIP_NONE) {
        e.skip.store(skip);
        e.finished.store(true);
        return;
    }
    std::vector<uint64_t> nonce_of(n);
    std::vector<uint32_t> scoop_of(n);
    std::vector<uint8_t> expected((size_t)n * 64, 0);
    std::vector<uint8_t> read((size_t)n * 64, 0);
    check_choose_samples(n, f.start, f.nonces, nonce_of.data(), scoop_of.data());
    f.nonce_of = nonce_of.data();
    f.scoop_of = scoop_of.data();
    f.expected = expected.data();
    f.read = read.data();
    f.next_read.store(0);
    f.read_errors.store(0);
    check_samples(&f);
    if (!stopped(c)) settle_entry(&f);
    sys_close(f.fd);
}

void ui_check_start(window_s* w, int count, const char* const* paths) {
    if (g_checker) {
        checker_s* old = g_checker;
        old->stop.exchange(true);
        if (old->thread.joinable()) old->thread.join();
        // Regions of the checker screen point into the old checker.
        ui_regions_clear(w);
        free_checker(old);
        g_checker = nullptr;
    }
    std::vector<std::string> files = check_collect(count, paths);
    checker_s* c = checker_create(w, files, check_sample_count((int)files.size(), window_width(w)));
    g_checker = c;
    c->thread = std::thread(check_thread_proc, c);
    window_set_paint(w, check_paint);
    window_set_key_callback(w, check_key_cb);
    window_set_redraw_timer(w, 250);
}

void ui_check_stop() {
    checker_s* c = g_checker;
    if (!c) return;
    c->stop.exchange(true);
    if (c->thread.joinable()) c->thread.join();
    window_s* w = c->window;
    // The list's wheel region holds a pointer to c->scroll.
    ui_regions_clear(w);
    window_set_paint(w, config_paint);
    window_set_key_callback(w, nullptr);
    window_set_redraw_timer(w, 0);
    free_checker(c);
    g_checker = nullptr;
}
