// The plot checker's engine: collects the files, then one check thread walks
// them in order. For each file it queues every sampled 64-byte read at once
// and polls them while worker threads recompute the same scoops.
#include <aio.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

namespace {

const uint64_t NONCE_BYTES = 262144;
const uint32_t SCOOPS = 4096;

bool is_dot_entry(const char* path) {
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

void sleep_ns(long ns) {
    timespec left = {0, ns};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

// A queued read can still be written by the system while aio_error says it
// is in progress; a block zeroed by the synchronous fall-back is settled.
bool read_in_flight(aiocb* req) {
    return req && req->aio_fildes != 0 && aio_error(req) == EINPROGRESS;
}

// A read that completed with an error never reports done; it must not keep
// the poll waiting.
bool read_failed(aiocb* req) {
    if (!req || req->aio_fildes == 0) return false;
    int err = aio_error(req);
    return err != EINPROGRESS && err != 0;
}

bool scoop_equal(const uint8_t* a, const uint8_t* b) { return memcmp(a, b, 64) == 0; }

void compare_sample(check_sample_s& s, const uint8_t* expected, const uint8_t* read) {
    s.equal.store(scoop_equal(expected, read) ? 1 : 0);
    s.compared.store(1);
}

// What the check thread and its workers share for one file.
struct file_work_s {
    checker_s* checker;
    check_entry_s* entry;
    uint64_t account;
    bool poc2;
    int chunk;
    const uint64_t* nonces;
    const uint32_t* scoops;
    uint8_t* expected;
    const uint8_t* read;
};

void check_worker(file_work_s* f, int w) {
    checker_s* c = f->checker;
    std::vector<check_sample_s>& st = f->entry->status;
    const int per_call = plot_nonces_per_call();
    int i = 0;
    while (i < f->chunk) {
        if (c->stop.load(std::memory_order_relaxed)) break;
        int d = f->chunk * w + i;
        if (d >= c->sample_count) break;
        const int n = std::min({per_call, f->chunk - i, c->sample_count - d});
        if (n == 1) st[d].computing.store(1);  // a sample computed on its own shows as in progress
        plot_nonces_scoops(f->account, n, f->nonces + d, f->scoops + d, f->expected + (uint64_t)d * 64, f->poc2);
        for (int j = d; j < d + n; j++) {
            st[j].expected_ready.store(1, std::memory_order_release);
            if (st[j].read_done.load(std::memory_order_acquire))
                compare_sample(st[j], f->expected + (uint64_t)j * 64, f->read + (uint64_t)j * 64);
        }
        i += n;
    }
}

// Polls the queued reads until every one is done or has failed, comparing
// what can be compared meanwhile. A failed read shows its sample as compared
// and unequal (read_done stays 0, so nobody compares it against the zeros).
void poll_reads(checker_s* c, check_entry_s& e, int fd, aiocb** reqs, std::vector<uint8_t>& failed,
                const uint8_t* expected, const uint8_t* read) {
    std::vector<check_sample_s>& st = e.status;
    for (;;) {
        bool complete = true;
        for (int i = 0; i < c->sample_count; i++) {
            if (c->stop.load(std::memory_order_relaxed)) return;
            check_sample_s& s = st[i];
            if (failed[i]) continue;
            if (!s.read_done.load(std::memory_order_relaxed)) {
                if (reqs[i] && sys_aio_done(fd, reqs[i])) {
                    s.read_done.store(1, std::memory_order_release);
                } else if (!reqs[i] || read_failed(reqs[i])) {
                    failed[i] = 1;
                    s.equal.store(0);
                    s.compared.store(1);
                } else {
                    complete = false;
                }
            } else if (s.expected_ready.load(std::memory_order_acquire) && !s.compared.load()) {
                compare_sample(s, expected + (uint64_t)i * 64, read + (uint64_t)i * 64);
            }
        }
        if (complete) return;
        sleep_ns(10000000);
    }
}

// Every request still in flight is cancelled and waited for before any is
// released: until then the system may write into the block and the buffer.
void release_reads(int fd, aiocb** reqs, int n) {
    for (int i = 0; i < n; i++)
        if (read_in_flight(reqs[i])) sys_aio_cancel(fd, reqs[i]);
    for (int i = 0; i < n; i++) {
        while (read_in_flight(reqs[i])) {
            const aiocb* one[1] = {reqs[i]};
            timespec limit = {0, 10000000};
            aio_suspend(one, 1, &limit);
        }
        sys_aio_free(reqs[i]);
        reqs[i] = nullptr;
    }
}

// The size and kind tests; false when the file is skipped (fd closed).
bool open_plot(check_entry_s& e, uint64_t nonces, int* fd_out) {
    int fd = sys_open_read(e.path.c_str(), true);
    uint64_t size = fd ? sys_file_size(fd) : 0;
    if (fd == 0 || size == 0) {
        if (fd) sys_close(fd);
        return false;
    }
    if (size != nonces * NONCE_BYTES) {
        sys_log("%s has incorrect file size\n", e.path.c_str());
        sys_close(fd);
        return false;
    }
    *fd_out = fd;
    return true;
}

void free_checker(checker_s* c) { delete c; }

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

void check_choose_samples(int sample_count, uint64_t start, uint64_t nonces, uint64_t* nonce_out,
                          uint32_t* scoop_out) {
    int step = (int)SCOOPS / sample_count;
    for (int i = 0; i < sample_count; i++) {
        uint32_t r1 = (uint32_t)rand();
        uint32_t r2 = (uint32_t)rand();
        if (i == sample_count - 1) {
            scoop_out[i] = SCOOPS - 1;
            nonce_out[i] = start + nonces - 1;
        } else if (i == 0) {
            scoop_out[i] = 0;
            nonce_out[i] = start;
        } else {
            scoop_out[i] = (uint32_t)(step * i) + r1 % (uint32_t)step;
            nonce_out[i] = start + r2 % nonces;
        }
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
        if (c->stop.load(std::memory_order_relaxed)) return;
        check_file_proc(c, d);
    }
}

void check_file_proc(checker_s* c, int index) {
    check_entry_s& e = c->entries[index];
    const int n = c->sample_count;
    uint64_t account = 0, start = 0, nonces = 0, stagger = 0;
    bool parsed = plot_name_parse(e.path.c_str(), &account, &start, &nonces, &stagger);
    util_assert(parsed, false, "ui_check", 77);
    bool poc2 = stagger == 0;
    if (parsed && stagger != 0 && stagger != nonces) {
        sys_log("Only optimized files are supported by the checker, skipping %s\n", e.path.c_str());
        e.skipped.store(true);
        e.finished.store(true);
        return;
    }
    int fd = 0;
    // A name that did not parse has no nonces, so the size test skips it.
    if (!parsed || nonces == 0 || !open_plot(e, nonces, &fd)) {
        e.skipped.store(true);
        e.finished.store(true);
        return;
    }

    std::vector<uint64_t> nonce_of(n);
    std::vector<uint32_t> scoop_of(n);
    std::vector<uint8_t> expected((size_t)n * 64, 0);
    std::vector<uint8_t> read((size_t)n * 64, 0);
    std::vector<aiocb*> reqs(n, nullptr);
    std::vector<uint8_t> failed(n, 0);
    check_choose_samples(n, start, nonces, nonce_of.data(), scoop_of.data());

    int v = cpu_count() - 1;
    if (v < 1) v = 1;
    int chunk = (n + v - 1) / v;
    if (chunk < 1) chunk = 1;
    file_work_s work = {c, &e, account, poc2, chunk,
                        nonce_of.data(), scoop_of.data(), expected.data(), read.data()};
    std::vector<std::thread> workers;
    workers.reserve(v);
    for (int w = 0; w < v; w++) workers.emplace_back(check_worker, &work, w);

    bool issued_all = true;
    for (int i = 0; i < n; i++) {
        if (c->stop.load(std::memory_order_relaxed)) {
            issued_all = false;
            break;
        }
        e.status[i].read_issued.store(1);
        uint64_t offset = ((uint64_t)scoop_of[i] * nonces + (nonce_of[i] - start)) * 64;
        if (!sys_read_at(fd, offset, 64, read.data() + (size_t)i * 64, &reqs[i])) {
            // The request was never queued; it is released with the others.
            failed[i] = 1;
            e.status[i].equal.store(0);
            e.status[i].compared.store(1);
        }
    }
    if (issued_all && !c->stop.load(std::memory_order_relaxed))
        poll_reads(c, e, fd, reqs.data(), failed, expected.data(), read.data());
    release_reads(fd, reqs.data(), n);
    for (std::thread& t : workers) t.join();

    if (!c->stop.load(std::memory_order_relaxed)) {
        bool all = true;
        for (int i = 0; i < n; i++) {
            if (c->stop.load(std::memory_order_relaxed)) break;
            check_sample_s& s = e.status[i];
            if (!failed[i]) compare_sample(s, expected.data() + (size_t)i * 64, read.data() + (size_t)i * 64);
            if (!s.equal.load()) all = false;
        }
        if (!c->stop.load(std::memory_order_relaxed)) {
            e.all_correct.store(all);
            e.finished.store(true);
        }
    }
    sys_close(fd);
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
