// The plot checker on a folder of one-nonce plot files, as a list of files
// in a 640 px window samples them (592 samples per file): wall time and the
// CPU seconds of the whole process (check thread, readers and workers).
//
//   taskset -c 4-7 bench_check_folder [files] [folder]
//   (default 2000 files in /var/tmp; 256 KiB each)
//
// The files are made once, each holding the real content of its nonce, and
// removed at the end.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "checker/check_state.h"
#include "plot/nonce.h"

namespace {

const uint64_t ACCOUNT = 12345678901234567ull;

double cpu_seconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? atoi(argv[1]) : 2000;
    const std::string folder = std::string(argc > 2 ? argv[2] : "/var/tmp") + "/vg_bench_check_folder";
    mkdir(folder.c_str(), 0755);
    std::vector<std::string> paths;
    std::vector<uint8_t> nonce(PLOT_NONCE_BYTES);
    for (int k = 0; k < files; k++) {
        std::string p = folder + "/" + std::to_string(ACCOUNT) + "_" + std::to_string(k) + "_1";
        // One nonce: scoop-major and nonce order are the same bytes.
        plot_nonce(ACCOUNT, (uint64_t)k, nonce.data(), true);
        int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        if (fd < 0 || write(fd, nonce.data(), nonce.size()) != (ssize_t)nonce.size()) {
            fprintf(stderr, "could not write %s\n", p.c_str());
            return 1;
        }
        close(fd);
        paths.push_back(p);
    }
    const int samples = check_sample_count(files, 640);
    double c0 = cpu_seconds();
    auto t0 = std::chrono::steady_clock::now();
    checker_s* c = checker_create(nullptr, paths, samples);
    check_thread_proc(c);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double cpu = cpu_seconds() - c0;
    int correct = 0;
    for (const check_entry_s& e : c->entries) correct += e.all_correct.load();
    checker_destroy(c);
    printf("%d one-nonce files, %d samples each: %.2f s wall, %.2f CPU s (%.4f CPU s per file), %d correct\n",
           files, samples, wall, cpu, cpu / files, correct);
    for (const std::string& p : paths) unlink(p.c_str());
    rmdir(folder.c_str());
    return correct == files ? 0 : 1;
}
