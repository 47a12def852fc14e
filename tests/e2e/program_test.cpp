// The whole program, started as a user starts it: each test makes a start
// folder with its own config.yml, runs tests/e2e/e2e_session.sh under a
// private Xvfb to drive the window with xdotool, and then checks log.txt,
// config.yml, the plot files and the screenshots the session left.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sys_linux.h"
#include "plot/nonce.h"
#include "tests/support/loop_fs.h"
#include "tests/support/temp_dir.h"

namespace {

const uint64_t NONCE_BYTES = 262144;
const uint64_t ACCOUNT = 1234567890123456789ull;
const uint32_t GREEN = 0x4cd964, RED = 0xde1d10, PURPLE = 0x8e44ad, WHITE = 0xffffff;

// Four batches of 256 nonces (64 MiB, the smallest batch). A session that
// pauses the run once a batch is under way closes it with batches still to
// do, however fast or slow the machine: the batch being hashed finishes, the
// next one does not start.
const uint64_t LONG_RUN = 1024;
const int LONG_RUN_RAM_MIB = 64;

// A RAM limit that gives a CPU run batch buffers of mib MiB: the workers'
// work areas (two groups of up to eight lanes each per worker, and one set
// for the work thread) come out of the limit first.
uint64_t run_ram(uint64_t mib, int cpu_threads) {
    int t = cpu_threads > 0 ? cpu_threads : std::max(1, (int)std::thread::hardware_concurrency() - 1);
    return (mib << 20) + (uint64_t)(t + 1) * 2 * 65540 * 4 * 8;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

uint64_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

// A binary PPM screenshot, as ImageMagick's import writes it.
struct shot_s {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;

    bool load(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::string magic;
        int maxval = 0;
        in >> magic >> width >> height >> maxval;
        in.get();
        if (magic != "P6" || maxval != 255 || width <= 0 || height <= 0) return false;
        rgb.resize((size_t)width * height * 3);
        in.read((char*)rgb.data(), (std::streamsize)rgb.size());
        return (size_t)in.gcount() == rgb.size();
    }
    uint32_t at(int x, int y) const {
        const uint8_t* p = &rgb[((size_t)y * width + x) * 3];
        return (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
    }
    int count(int x, int y, int w, int h, uint32_t colour) const {
        int n = 0;
        for (int j = y; j < y + h; j++)
            for (int i = x; i < x + w; i++) n += at(i, j) == colour;
        return n;
    }
};

// Nonces [start, start + n) of the account into a scoop-major file.
void write_plot(const std::string& path, uint64_t start, uint64_t n) {
    std::vector<uint8_t> file(n * NONCE_BYTES);
    std::vector<std::thread> threads;
    const unsigned t_count = 2;  // what ctest is told these tests use
    for (unsigned t = 0; t < t_count; t++) {
        threads.emplace_back([&, t] {
            std::vector<uint8_t> nonce(NONCE_BYTES);
            for (uint64_t k = t; k < n; k += t_count) {
                plot_nonce(ACCOUNT, start + k, nonce.data(), true);
                for (uint64_t s = 0; s < 4096; s++) memcpy(&file[(s * n + k) * 64], &nonce[s * 64], 64);
            }
        });
    }
    for (auto& t : threads) t.join();
    std::ofstream(path, std::ios::binary).write((const char*)file.data(), (std::streamsize)file.size());
}

// Every scoop of each of the given nonces equals plot_nonce's.
void expect_plot(const std::string& path, uint64_t start, uint64_t n, const std::vector<uint64_t>& which) {
    ASSERT_EQ(file_size(path), n * NONCE_BYTES) << path;
    std::string file = read_file(path);
    std::vector<uint8_t> nonce(NONCE_BYTES);
    for (uint64_t k : which) {
        plot_nonce(ACCOUNT, start + k, nonce.data(), true);
        int bad = 0;
        for (uint64_t s = 0; s < 4096; s++) bad += memcmp(&file[(s * n + k) * 64], &nonce[s * 64], 64) != 0;
        EXPECT_EQ(bad, 0) << "nonce " << k << " of " << path;
    }
}

// The stored plan's record of the file system a folder is on, as the
// program writes it for a started run (" write_fs: ..." or "move_fs").
std::string fs_line(const char* key, const std::string& folder) {
    std::string id;
    if (!sys_fs_identity(folder.c_str(), &id)) return "";
    return std::string("\n    ") + key + ": \"" + id + "\"";
}

class ProgramTest : public ::testing::Test {
  protected:
    temp_dir_s root{"e2e", true};
    std::string work, out, target;

    void SetUp() override {
        ASSERT_FALSE(root.path.empty());
        work = root.file("start");
        out = root.file("out");
        target = root.file("target");
        for (auto& d : {work, out, target}) mkdir(d.c_str(), 0755);
    }
    void TearDown() override {
        // VG_E2E_KEEP=folder keeps the screenshots for a person to look at.
        const char* keep = getenv("VG_E2E_KEEP");
        if (keep && *keep) {
            std::string dst = std::string(keep) + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
            std::filesystem::create_directories(dst);
            for (auto& f : std::filesystem::directory_iterator(out))
                std::filesystem::copy(f.path(), dst, std::filesystem::copy_options::overwrite_existing);
            std::filesystem::copy(work + "/log.txt", dst, std::filesystem::copy_options::overwrite_existing);
        }
    }

    void write_config(const std::string& text) { std::ofstream(work + "/config.yml") << text; }

    // A config.yml whose stored plan holds one file of n nonces on target,
    // plotted in batches of ram_mib x 4 nonces.
    void config_with_plan(uint64_t n, int cpu_threads, int ram_mib = 64) {
        std::ostringstream c;
        c << "account: " << ACCOUNT << "\ndisable_opencl: true\ncpu_threads: " << cpu_threads
          << "\nram_double_buffer: false\nmin_ram_gb_per_task: 0.0625\nresume_ram: " << run_ram(ram_mib, cpu_threads)
          << "\nresume_drives:\n  - " << target
          << "\nresume_plots:\n  - account: " << ACCOUNT << "\n    start: 0\n    count: " << n
          << "\n    write: " << target << fs_line("write_fs", target) << "\n";
        write_config(c.str());
    }

    // Runs a scenario of the session script. A private Xvfb that fails to
    // start is retried.
    bool run(const std::string& scenario, const std::string& args = "") {
        // The session's waits fail when the program stands still; this
        // limit only ends a hang, before ctest's own.
        std::string cmd = "timeout 3500 tests/xvfb-run.sh bash tests/e2e/e2e_session.sh " + scenario + " " +
                          VG_PROGRAM + " " + VG_X11_HELPER + " " + work + " " + out + " " + args + " 2>" + out +
                          "/session_stderr.txt";
        int rc = -1;
        for (int attempt = 0; attempt < 3; ++attempt) {
            rc = system(cmd.c_str());
            if (rc == 0 || !contains(read_file(out + "/session_stderr.txt"), "Xvfb failed to start")) break;
        }
        if (rc != 0)
            ADD_FAILURE() << scenario << " failed (" << rc << "): " << read_file(out + "/session_stderr.txt")
                          << "\nprogram stderr: " << read_file(out + "/stderr_1.txt") << read_file(out + "/stderr_2.txt")
                          << "\nlog:\n" << read_file(work + "/log.txt");
        return rc == 0;
    }

    // Built with a sanitizer, the program reports a race, a leaked thread or
    // leaked memory on its standard error.
    void expect_no_sanitizer_report(int phase) {
        std::string err = read_file(out + "/stderr_" + std::to_string(phase) + ".txt");
        EXPECT_FALSE(contains(err, "Sanitizer")) << err;
    }

    void expect_exit(int phase, int status) {
        std::string p = std::to_string(phase);
        EXPECT_EQ(read_file(out + "/exit_" + p), std::to_string(status) + "\n")
            << read_file(out + "/stderr_" + p + ".txt");
        expect_no_sanitizer_report(phase);
    }
    void expect_exit_ok(int phase) { expect_exit(phase, 0); }

    // A config.yml whose stored plan stages one file of n nonces on ssd and
    // then moves it (or scatters it) to target.
    void config_with_staged_plan(const std::string& ssd, uint64_t n, bool scatter) {
        std::ostringstream c;
        c << "account: " << ACCOUNT << "\ndisable_opencl: true\ncpu_threads: 2\nssd_scatter: "
          << (scatter ? "true" : "false") << "\nram_double_buffer: false\nmin_ram_gb_per_task: 0.0625"
          << "\nresume_ram: " << run_ram(LONG_RUN_RAM_MIB, 2) << "\nresume_ssds:\n  - " << ssd
          << "\nresume_drives:\n  - " << target << "\nresume_plots:\n  - account: " << ACCOUNT
          << "\n    start: 0\n    count: " << n << "\n    write: " << ssd << "\n    move: " << target
          << fs_line("write_fs", ssd) << fs_line("move_fs", target) << "\n";
        write_config(c.str());
    }

    // A stored plan of one file of n nonces on target for GPU 0 (PoCL).
    void write_gpu_config(uint64_t n) {
        std::ostringstream c;
        c << "account: " << ACCOUNT << "\ndisable_opencl: false\ngpus: [0]\ncpu_threads: 2"
          << "\nram_double_buffer: false\nmin_ram_gb_per_task: 0.0625\nresume_ram: " << LONG_RUN_RAM_MIB * 1048576ull
          << "\nresume_drives:\n  - " << target << "\nresume_plots:\n  - account: " << ACCOUNT
          << "\n    start: 0\n    count: " << n << "\n    write: " << target << fs_line("write_fs", target) << "\n";
        write_config(c.str());
    }

    std::string plot_name(uint64_t start, uint64_t n) {
        return target + "/" + std::to_string(ACCOUNT) + "_" + std::to_string(start) + "_" + std::to_string(n);
    }
};

TEST_F(ProgramTest, FirstStartAsksForTheAccountAndWritesAFreshConfig) {
    ASSERT_TRUE(run("first_start"));
    expect_exit_ok(1);
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "Veldgrain version " VG_VERSION "\n")) << log;
    EXPECT_TRUE(contains(log, "CPU: ")) << log;
    EXPECT_TRUE(contains(log, " support detected!\n")) << log;
    EXPECT_TRUE(contains(log, "Starting up OpenCL...\n")) << log;
    std::string config = read_file(work + "/config.yml");
    for (const char* line : {"account: 0", "auto_start_nonce: true", "max_gb_per_file: 16000", "ssd_scatter: false",
                             "threads_per_group: 32", "cpu_threads: 0", "ram_double_buffer: auto",
                             "disable_opencl: false", "sector_size_override: 0", "min_ram_gb_per_task: 4"})
        EXPECT_TRUE(contains(config, line)) << line << "\n" << config;
    EXPECT_FALSE(contains(config, "resume_plots")) << config;
    shot_s s;
    ASSERT_TRUE(s.load(out + "/first.ppm"));
    EXPECT_GE(s.width, 640);
    EXPECT_GE(s.height, 480);
    // The first-run question is drawn on white.
    EXPECT_GT(s.count(0, 0, 640, 480, WHITE), 640 * 480 / 2);
    EXPECT_LT(s.count(0, 0, 640, 480, WHITE), 640 * 480);
}

// The account prompt sets nothing until OK: closing the window while it
// shows a typed id leaves the settings as they were.
TEST_F(ProgramTest, AnAccountTypedButNeverConfirmedIsNotSaved) {
    ASSERT_TRUE(run("unconfirmed_account"));
    expect_exit_ok(1);
    std::string config = read_file(work + "/config.yml");
    EXPECT_TRUE(contains(config, "account: 0\n")) << config;
    EXPECT_FALSE(contains(config, "1028")) << config;
}

// A config.yml the program cannot load (here one tab character) is not
// replaced by defaults: the user is told, and its bytes survive the start
// and the close beside the fresh file.
TEST_F(ProgramTest, AnUnreadableConfigSurvivesAStartAndAClose) {
    const std::string text = "account: " + std::to_string(ACCOUNT) + "\n\tdisable_opencl: true\nplots:\n  - " +
                             target + "\n";
    write_config(text);
    ASSERT_TRUE(run("unreadable_config"));
    expect_exit_ok(1);
    EXPECT_EQ(read_file(work + "/config.yml.unreadable"), text);
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "config.yml could not be loaded: ")) << log;
    std::string fresh = read_file(work + "/config.yml");
    EXPECT_TRUE(contains(fresh, "\n# End of config.yml\n")) << fresh;
}

// A working folder where log.txt and config.yml cannot be written (a
// read-only mount, a full disk) is told at start with the folder and the
// reason, and Start is refused: no run goes on whose resume data a crash
// would lose.
TEST_F(ProgramTest, AnUnwritableWorkingFolderIsToldAndStartIsRefused) {
    for (const std::string state : {"read-only", "full"}) {
        SCOPED_TRACE(state);
        loop_fs_s disk(64);
        if (!disk.ok()) GTEST_SKIP() << "loop ext4: " << disk.why;
        work = disk.file("start");
        ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
        config_with_plan(256, 1);
        if (state == "read-only")
            ASSERT_TRUE(disk.remount_read_only());
        else
            disk.fill();
        ASSERT_TRUE(run("unwritable_folder"));
        expect_exit_ok(1);
        std::string err = read_file(out + "/stderr_1.txt");
        const std::string reason = state == "read-only" ? "Read-only file system" : "No space left on device";
        EXPECT_TRUE(contains(err, "Veldgrain cannot write config.yml in its working folder " + work + ": " + reason))
            << err;
        EXPECT_TRUE(contains(err, "The data to resume this run cannot be saved in " + work + ": " + reason)) << err;
        EXPECT_FALSE(contains(err, "Creating file")) << err;
        EXPECT_TRUE(std::filesystem::is_empty(target));
    }
}

TEST_F(ProgramTest, ARunFromTheConfigurationScreenEndsWithAFinishedCorrectFile) {
    config_with_plan(256, 2);
    ASSERT_TRUE(run("complete_run"));
    expect_exit_ok(1);
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "All done!\n")) << log;
    EXPECT_FALSE(contains(log, "Starting up OpenCL...")) << log;
    EXPECT_FALSE(std::filesystem::exists(plot_name(0, 256) + ".plotting"));
    expect_plot(plot_name(0, 256), 0, 256, {0, 1, 100, 128, 254, 255});
    // Finished: the resume data is gone from config.yml by the time "Done!"
    // shows, so a power cut then does not resume a finished run.
    EXPECT_FALSE(contains(read_file(out + "/config_done.yml"), "resume_plots")) << read_file(out + "/config_done.yml");
    EXPECT_TRUE(contains(read_file(out + "/config_done.yml"), "account: " + std::to_string(ACCOUNT)));
    EXPECT_FALSE(contains(read_file(work + "/config.yml"), "resume_plots"));
}

// A file staged on an SSD reaches its target, moved or scattered, under its
// final name with every nonce right, and the SSD is left empty.
TEST_F(ProgramTest, AStagedRunMovesOrScattersTheFileToItsTarget) {
    for (bool scatter : {false, true}) {
        SCOPED_TRACE(scatter ? "scatter" : "move");
        std::string ssd = root.file(scatter ? "ssd_scatter" : "ssd_move");
        mkdir(ssd.c_str(), 0755);
        config_with_staged_plan(ssd, 256, scatter);
        ASSERT_TRUE(run("complete_run"));
        expect_exit_ok(1);
        std::string log = read_file(work + "/log.txt");
        EXPECT_TRUE(contains(log, scatter ? "  scattering " : "Starting move of 0 to " + target)) << log;
        EXPECT_TRUE(contains(log, "All done!\n")) << log;
        expect_plot(plot_name(0, 256), 0, 256, {0, 1, 128, 255});
        EXPECT_TRUE(std::filesystem::is_empty(ssd)) << ssd;
        std::filesystem::remove(plot_name(0, 256));
    }
}

// A target that fills up while a staged file waits for its move or its
// scatter: the file waits for free space as a direct write does, says so on
// the screen, and the run is not ended; once space is freed the file
// reaches its target.
TEST_F(ProgramTest, AMoveOrScatterToATargetThatFilledWaitsForSpace) {
    for (bool scatter : {false, true}) {
        SCOPED_TRACE(scatter ? "scatter" : "move");
        loop_fs_s disk(400);
        if (!disk.ok()) GTEST_SKIP() << "loop ext4: " << disk.why;
        target = disk.file("target");
        ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
        std::string ssd = root.file(scatter ? "ssd_scatter" : "ssd_move");
        mkdir(ssd.c_str(), 0755);
        const uint64_t n = LONG_RUN;
        config_with_staged_plan(ssd, n, scatter);
        std::string staged = ssd + "/" + std::to_string(ACCOUNT) + "_0_" + std::to_string(n) + ".plotting";
        ASSERT_TRUE(run("target_fills_during_move", staged + " " + disk.mount_point));
        expect_exit_ok(1);
        std::string log = read_file(work + "/log.txt");
        EXPECT_TRUE(contains(log, "0 is waiting for free space on " + target)) << log;
        EXPECT_FALSE(contains(log, "Could not move file")) << log;
        EXPECT_FALSE(contains(log, "Could not scatter file")) << log;
        EXPECT_TRUE(contains(log, "All done!\n")) << log;
        shot_s s;
        ASSERT_TRUE(s.load(out + "/waiting.ppm"));
        EXPECT_GT(s.count(0, 0, s.width, s.height, 0xffffff), 1000);  // the processing screen, not a dialog
        std::vector<uint64_t> sample = {0, 1, n / 2, n - 1};
        expect_plot(plot_name(0, n), 0, n, sample);
        EXPECT_TRUE(std::filesystem::is_empty(ssd)) << ssd;
    }
}

// Sixteen drives plotted at once with 512 MiB of RAM: 32 buffers cannot
// each hold one batch. The advice says how much RAM the plan needs, not to
// lower it, in the log and in the dialog.
TEST_F(ProgramTest, TooLittleRamForOneBatchPerBufferSaysHowMuchIsNeeded) {
    std::ostringstream c;
    c << "account: " << ACCOUNT << "\ndisable_opencl: true\ncpu_threads: 1\nram_double_buffer: true"
      << "\nmin_ram_gb_per_task: 0.0625\nresume_ram: " << (512ull << 20) << "\nresume_drives:\n";
    std::vector<std::string> drives;
    for (int i = 0; i < 16; i++) {
        drives.push_back(root.file("t" + std::to_string(i)));
        mkdir(drives.back().c_str(), 0755);
        c << "  - " << drives.back() << "\n";
    }
    c << "resume_plots:\n";
    for (int i = 0; i < 16; i++)
        c << "  - start: " << i * 256 << "\n    count: 256\n    write: " << drives[i] << fs_line("write_fs", drives[i])
          << "\n";
    write_config(c.str());
    ASSERT_TRUE(run("start_refused"));
    expect_exit(1, 1);
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "CPU direct mode with 0 nonces per batch\n")) << log;
    EXPECT_FALSE(contains(log, "lower max RAM")) << log;
    EXPECT_TRUE(contains(log, "Not enough RAM for one batch per buffer: 32 buffers of 64.0 MiB need at least ")) << log;
    EXPECT_TRUE(contains(log, "Set a larger max RAM size")) << log;
    for (const std::string& d : drives) EXPECT_TRUE(std::filesystem::is_empty(d)) << d;
}

// A pause that lands while the last batch of the run is hashed: that batch
// is written, the file takes its final name and the run ends, paused; the
// pause is logged.
TEST_F(ProgramTest, APauseOnTheLastBatchCompletesTheFile) {
    const uint64_t n = 512;
    config_with_plan(n, 1);
    // The session's file is in its folder (created, nothing written yet),
    // which makes that folder the session's disk.
    std::ofstream(plot_name(0, n) + ".plotting").close();
    std::filesystem::resize_file(plot_name(0, n) + ".plotting", n * NONCE_BYTES);
    ASSERT_TRUE(run("pause_on_last_batch", plot_name(0, n) + ".plotting"));
    expect_exit_ok(1);
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "Plotting paused")) << log;
    EXPECT_TRUE(contains(log, "All done!\n")) << log;
    EXPECT_FALSE(std::filesystem::exists(plot_name(0, n) + ".plotting"));
    expect_plot(plot_name(0, n), 0, n, {0, 255, 256, 511});
}

TEST_F(ProgramTest, ClosingDuringARunKeepsTheFileForAResumeThatFinishesIt) {
    // The session pauses the run once the first batch has left its marker
    // and closes it: a file finished before the close is (rightly) not
    // resumed.
    const uint64_t n = LONG_RUN;
    config_with_plan(n, 2, LONG_RUN_RAM_MIB);
    ASSERT_TRUE(run("close_keep", plot_name(0, n) + ".plotting"));
    EXPECT_TRUE(std::filesystem::exists(out + "/after_no"));
    expect_exit_ok(1);
    EXPECT_TRUE(contains(read_file(out + "/files_1.txt"), ".plotting")) << read_file(out + "/files_1.txt");
    std::string kept = read_file(out + "/config_1.yml");
    EXPECT_TRUE(contains(kept, "resume_plots")) << kept;
    EXPECT_TRUE(contains(kept, "count: " + std::to_string(n))) << kept;
    expect_exit_ok(2);
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "  resuming from nonce ")) << log;
    EXPECT_FALSE(contains(log, "  resuming from nonce 0\n")) << log;
    EXPECT_FALSE(std::filesystem::exists(plot_name(0, n) + ".plotting"));
    std::vector<uint64_t> sample;
    for (uint64_t k = 0; k < n; k += n / 16 + 1) sample.push_back(k);
    sample.push_back(n - 1);
    expect_plot(plot_name(0, n), 0, n, sample);
}

TEST_F(ProgramTest, ClosingDuringARunWithoutKeepingDeletesTheFileAndTheResumeData) {
    // The session pauses the run as soon as the file is there, and closes.
    const uint64_t n = LONG_RUN;
    config_with_plan(n, 2, LONG_RUN_RAM_MIB);
    ASSERT_TRUE(run("close_discard", plot_name(0, n) + ".plotting"));
    expect_exit_ok(1);
    EXPECT_FALSE(std::filesystem::exists(plot_name(0, n) + ".plotting"));
    EXPECT_FALSE(std::filesystem::exists(plot_name(0, n)));
    EXPECT_FALSE(contains(read_file(work + "/config.yml"), "resume_plots"));
}

// The GPU (PoCL, through a stand-in OpenCL library) breaks after the first
// batch; while the fall-back question waits, the window is closed and the
// work kept. That is a stop like any close: the program ends normally and
// saves the settings with the resume data on its way out.
TEST_F(ProgramTest, ClosingAtTheGpuFallBackQuestionSavesTheResumeData) {
#ifndef VG_FAILING_OPENCL_DIR
    GTEST_SKIP() << "no OpenCL loader to stand in for";
#else
    if (!std::filesystem::exists("/etc/OpenCL/vendors") || std::filesystem::is_empty("/etc/OpenCL/vendors"))
        GTEST_SKIP() << "no OpenCL driver (pocl-opencl-icd)";
    const uint64_t n = LONG_RUN;
    write_gpu_config(n);
    std::string plotting = plot_name(0, n) + ".plotting";
    ASSERT_TRUE(run("close_at_gpu_question", std::string(VG_FAILING_OPENCL_DIR) + " " + plotting));
    expect_exit_ok(1);
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "Attempting to recover from GPU failure.\n")) << log;
    EXPECT_TRUE(contains(log, "Work thread ended\n")) << log;
    EXPECT_NE(read_file(out + "/config_time_1"), read_file(out + "/config_time_0")) << "config.yml not saved at close";
    std::string kept = read_file(out + "/config_1.yml");
    EXPECT_TRUE(contains(kept, "resume_plots")) << kept;
    EXPECT_TRUE(contains(kept, "count: " + std::to_string(n))) << kept;
    EXPECT_TRUE(std::filesystem::exists(plotting));
#endif
}

// threads_per_group 512 on a GPU (PoCL, through the stand-in library) whose
// kernels allow groups of 256 while the device reports 4096: the run
// launches clamped groups of 256, says so once, and plots a correct file on
// the GPU instead of failing every launch and offering the CPU.
TEST_F(ProgramTest, AWorkGroupOverTheKernelsLimitRunsClampedOnTheGpu) {
#ifndef VG_FAILING_OPENCL_DIR
    GTEST_SKIP() << "no OpenCL loader to stand in for";
#else
    if (!std::filesystem::exists("/etc/OpenCL/vendors") || std::filesystem::is_empty("/etc/OpenCL/vendors"))
        GTEST_SKIP() << "no OpenCL driver (pocl-opencl-icd)";
    const uint64_t n = 512;  // one device batch of whole groups of 512
    std::ostringstream c;
    c << "account: " << ACCOUNT << "\ndisable_opencl: false\ngpus: [0]\nthreads_per_group: 512\ncpu_threads: 2"
      << "\nram_double_buffer: false\nmin_ram_gb_per_task: 0.0625\nresume_ram: " << (n << 18)
      << "\nresume_drives:\n  - " << target << "\nresume_plots:\n  - account: " << ACCOUNT
      << "\n    start: 0\n    count: " << n << "\n    write: " << target << fs_line("write_fs", target) << "\n";
    write_config(c.str());
    ASSERT_TRUE(run("complete_run_gpu", std::string(VG_FAILING_OPENCL_DIR) + " 256"));
    expect_exit_ok(1);
    std::string log = read_file(work + "/log.txt");
    const std::string clamp =
        "Work-group size 512 is over the limit of this GPU's kernels (256); launching work groups of 256\n";
    EXPECT_TRUE(contains(log, clamp)) << log;
    EXPECT_EQ(log.find(clamp), log.rfind(clamp)) << "said more than once:\n" << log;
    EXPECT_TRUE(contains(log, "GPU direct mode with 512 nonces per batch and 512 per GPU\n")) << log;
    EXPECT_FALSE(contains(log, "Received error")) << log;
    EXPECT_FALSE(contains(log, "Falling back")) << log;
    expect_plot(plot_name(0, n), 0, n, {0, 1, 255, 256, 300, 511});
#endif
}

// A close confirmed while the GPU fall-back question waits (shown, or
// handed over while "Close Veldgrain?" is open) is a close whatever that
// question is answered: the program ends normally, the settings are saved
// with the resume data, and the unfinished file stays for the resume.
struct close_over_question_s {
    const char* name;
    const char* scenario;
    const char* error_key;  // the answer to the fall-back question, where it shows
};

void PrintTo(const close_over_question_s& c, std::ostream* os) { *os << c.scenario << " " << c.error_key; }

class CloseDuringTheGpuQuestion : public ProgramTest, public ::testing::WithParamInterface<close_over_question_s> {};

TEST_P(CloseDuringTheGpuQuestion, EndsTheProgramAndSavesTheResumeData) {
#ifndef VG_FAILING_OPENCL_DIR
    GTEST_SKIP() << "no OpenCL loader to stand in for";
#else
    if (!std::filesystem::exists("/etc/OpenCL/vendors") || std::filesystem::is_empty("/etc/OpenCL/vendors"))
        GTEST_SKIP() << "no OpenCL driver (pocl-opencl-icd)";
    const uint64_t n = LONG_RUN;
    write_gpu_config(n);
    std::string plotting = plot_name(0, n) + ".plotting";
    ASSERT_TRUE(run(GetParam().scenario, std::string(VG_FAILING_OPENCL_DIR) + " " + plotting + " " +
                                             GetParam().error_key));
    EXPECT_FALSE(std::filesystem::exists(out + "/over_close")) << "the fall-back question opened over the close";
    expect_exit_ok(1);
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "Attempting to recover from GPU failure.\n")) << log;
    EXPECT_TRUE(contains(log, "Work thread ended\n")) << log;
    EXPECT_FALSE(contains(log, "Ending after the error above")) << log;
    EXPECT_NE(read_file(out + "/config_time_1"), read_file(out + "/config_time_0")) << "config.yml not saved at close";
    std::string kept = read_file(out + "/config_1.yml");
    EXPECT_TRUE(contains(kept, "resume_plots")) << kept;
    EXPECT_TRUE(contains(kept, "count: " + std::to_string(n))) << kept;
    EXPECT_TRUE(std::filesystem::exists(plotting));
    EXPECT_FALSE(contains(read_file(out + "/asked_1"), "Close Veldgrain")) << "the confirmed close asked again";
#endif
}

INSTANTIATE_TEST_SUITE_P(
    ProgramTest, CloseDuringTheGpuQuestion,
    ::testing::Values(close_over_question_s{"QuestionHandedOverWhileTheCloseWaits", "close_then_gpu_question", "Escape"},
                      close_over_question_s{"QuestionAnsweredYesAfterTheClose", "gpu_question_then_close", "alt+y"},
                      close_over_question_s{"QuestionAnsweredNoAfterTheClose", "gpu_question_then_close", "Escape"}),
    [](const ::testing::TestParamInfo<close_over_question_s>& info) { return std::string(info.param.name); });

// The same broken GPU, and the user answers "No" to the fall-back question:
// the program ends with status 1 after its work thread and the batch write
// it started are done, leaving the file for a resume. The log names the
// error.
TEST_F(ProgramTest, NoToTheGpuFallBackQuestionEndsTheProgramCleanly) {
#ifndef VG_FAILING_OPENCL_DIR
    GTEST_SKIP() << "no OpenCL loader to stand in for";
#else
    if (!std::filesystem::exists("/etc/OpenCL/vendors") || std::filesystem::is_empty("/etc/OpenCL/vendors"))
        GTEST_SKIP() << "no OpenCL driver (pocl-opencl-icd)";
    write_gpu_config(LONG_RUN);
    std::string plotting = plot_name(0, LONG_RUN) + ".plotting";
    ASSERT_TRUE(run("gpu_question_no", std::string(VG_FAILING_OPENCL_DIR) + " " + plotting));
    expect_exit(1, 1);
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "Attempting to recover from GPU failure.\n")) << log;
    EXPECT_FALSE(contains(log, "Falling back to CPU mode")) << log;
    // The stand-in library fails the launches with CL_OUT_OF_RESOURCES: told
    // by name and number, with the call and the device.
    EXPECT_TRUE(contains(log, "OpenCL error CL_OUT_OF_RESOURCES (-5) from clEnqueueNDRangeKernel (setup) on GPU 0 ("))
        << log;
    EXPECT_FALSE(contains(log, "error -5")) << log;
    EXPECT_TRUE(std::filesystem::exists(plotting));
#endif
}

// The target's disk fails in mid-run (EIO on every write): the window does
// not vanish; an error names the file and the error in words, the files and
// the resume data are kept, and the program ends with status 1. The next
// start keeps that session's log and, the disk working again, resumes the
// file to its correct end.
TEST_F(ProgramTest, AFailingDiskIsToldWithItsReasonAndTheResumeFinishesTheFile) {
    loop_fs_s disk(400);
    if (!disk.ok()) GTEST_SKIP() << "loop ext4: " << disk.why;
    target = disk.file("target");
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    const uint64_t n = LONG_RUN;
    config_with_plan(n, 1, LONG_RUN_RAM_MIB);
    const std::string plotting = plot_name(0, n) + ".plotting";
    ASSERT_TRUE(run("disk_fails", plotting + " " + disk.image + " " + disk.device + " " + disk.mount_point));
    EXPECT_EQ(read_file(out + "/exit_1"), "1\n") << read_file(out + "/stderr_1.txt");
    // The failed session's log, kept beside the new one.
    std::string failed = read_file(work + "/log.old.txt");
    // EIO from the device, or the read-only file system ext4 made of it
    // once its journal met the failing device first.
    EXPECT_TRUE(contains(failed, "Could not write file: " + plotting + ": Input/output error (at byte ") ||
                contains(failed, "Could not write file: " + plotting + ": Read-only file system (at byte "))
        << failed;
    EXPECT_TRUE(contains(read_file(out + "/config_1.yml"), "count: " + std::to_string(n)));
    expect_exit_ok(2);
    // Where it resumes depends on what the failing disk's journal kept of
    // the last marker (a marker is never claimed ahead of its data, so an
    // earlier one, even 0, is as safe); the file must be right either way.
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "  resuming from nonce ")) << log;
    EXPECT_FALSE(std::filesystem::exists(plotting));
    std::vector<uint64_t> sample;
    for (uint64_t k = 0; k < n; k += n / 16 + 1) sample.push_back(k);
    sample.push_back(n - 1);
    expect_plot(plot_name(0, n), 0, n, sample);
}

// The run finishes while "Close Veldgrain?" waits (its target's file system
// frozen until the question is open): the end of the run is not told over
// the question. Yes then closes at once, asking nothing about work in
// progress, as a finished run has none; No keeps the window, and only then
// is "Done!" shown. Either way the file is complete and no resume data is
// left.
class FinishDuringTheCloseQuestion : public ProgramTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FinishDuringTheCloseQuestion, NeverAsksAboutWorkInProgress) {
    loop_fs_s disk(160);
    if (!disk.ok()) GTEST_SKIP() << "loop ext4: " << disk.why;
    target = disk.file("target");
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    const uint64_t n = 256;
    config_with_plan(n, 1);
    const bool yes = std::string(GetParam()) == "Yes";
    bool ran = run("finish_during_close", plot_name(0, n) + ".plotting " + disk.mount_point + (yes ? " alt+y" : " Escape"));
    // The session thaws what it froze; this is for a session that was cut off.
    int thawed = system(("fsfreeze -u " + disk.mount_point + " 2>/dev/null").c_str());
    (void)thawed;  // fails where nothing is frozen, as it should be
    ASSERT_TRUE(ran);
    EXPECT_FALSE(std::filesystem::exists(out + "/over_close")) << "\"Done!\" over \"Close Veldgrain?\"";
    std::string asked = read_file(out + "/asked_1");
    EXPECT_FALSE(contains(asked, "Leave work in progress files")) << asked;
    EXPECT_FALSE(contains(asked, "Close Veldgrain")) << asked;
    expect_exit_ok(1);
    EXPECT_FALSE(std::filesystem::exists(plot_name(0, n) + ".plotting"));
    expect_plot(plot_name(0, n), 0, n, {0, 1, 128, 255});
    EXPECT_FALSE(contains(read_file(work + "/config.yml"), "resume_plots"));
}

INSTANTIATE_TEST_SUITE_P(ProgramTest, FinishDuringTheCloseQuestion, ::testing::Values("Yes", "No"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_F(ProgramTest, DroppedFilesAndFoldersAreCheckedAndBackStopsACheck) {
    std::string a = root.file("a"), b = root.file("b"), d = root.file("d"), e = root.file("e");
    for (auto& f : {a, b, d, e}) mkdir(f.c_str(), 0755);
    std::string name = std::to_string(ACCOUNT) + "_0_256";
    write_plot(a + "/" + name, 0, 256);
    // Samples are drawn at random from every scoop and nonce, so the copy is
    // spoiled in every scoop row of its first half of nonces: every check
    // meets wrong and correct samples both.
    std::filesystem::copy_file(a + "/" + name, b + "/" + name);
    {
        std::fstream f(b + "/" + name, std::ios::in | std::ios::out | std::ios::binary);
        for (uint64_t scoop = 0; scoop < 4096; scoop++) {
            for (uint64_t nonce = 0; nonce < 128; nonce++) {
                const uint64_t at = (scoop * 256 + nonce) * 64;
                char c = 0;
                f.seekg(at);
                f.read(&c, 1);
                c ^= 0x40;
                f.seekp(at);
                f.write(&c, 1);
            }
        }
    }
    std::string truncated = d + "/" + std::to_string(ACCOUNT) + "_256_256";
    std::filesystem::copy_file(a + "/" + name, truncated);
    std::filesystem::resize_file(truncated, 255 * NONCE_BYTES);
    // A large file of zeros keeps the single view busy until Back.
    std::string big = e + "/" + std::to_string(ACCOUNT) + "_0_1024";
    std::ofstream(big).close();
    std::filesystem::resize_file(big, 1024 * NONCE_BYTES);
    write_config("account: " + std::to_string(ACCOUNT) + "\ndisable_opencl: true\n");

    ASSERT_TRUE(run("checker", "file://" + a + "/" + name + " file://" + b + "/" + name + " file://" + d +
                                   " -- file://" + big));
    expect_exit_ok(1);
    std::string log = read_file(work + "/log.txt");
    EXPECT_FALSE(contains(log, "Starting up OpenCL...")) << log;
    EXPECT_TRUE(contains(log, truncated + " has incorrect file size\n")) << log;

    shot_s s;
    ASSERT_TRUE(s.load(out + "/list.ppm"));
    // Rows 54 px apart from y 74; each bar 26 px high below a 16 px name.
    auto bar_y = [](int row) { return 74 + row * 54 + 16 + 13; };
    EXPECT_EQ(s.count(24, bar_y(0), 592, 1, GREEN), 592);  // correct: all green
    EXPECT_GT(s.count(24, bar_y(1), 592, 1, RED), 150);    // half the nonces spoiled
    EXPECT_GT(s.count(24, bar_y(1), 592, 1, GREEN), 20);  // wrong samples stand out over their neighbours
    EXPECT_GT(s.count(24, bar_y(2) - 13, 592, 26, PURPLE), 592 * 26 / 2);  // truncated: not checked
    EXPECT_EQ(s.count(24, bar_y(2) - 13, 592, 26, RED), 0);
    EXPECT_GT(s.count(178, 416, 300, 30, RED), 20);         // "Not all data is correct!"

    shot_s ignored;
    ASSERT_TRUE(ignored.load(out + "/list_after_drop.ppm"));
    EXPECT_EQ(ignored.rgb, s.rgb);

    shot_s single, back;
    ASSERT_TRUE(single.load(out + "/single.ppm"));
    ASSERT_TRUE(back.load(out + "/back.ppm"));
    // The grid's cells (10 x 10 px at 640 x 480) fill the single view; Back
    // returns to the configuration screen, which has none.
    EXPECT_GT(590 * 300 - single.count(24, 74, 590, 300, WHITE), 100000);
    EXPECT_LT(590 * 300 - back.count(24, 74, 590, 300, WHITE), 100000);
}

// A file URI as a file manager writes it: every byte but the unreserved
// ones percent-encoded.
std::string file_uri(const std::string& path) {
    std::string uri = "file://";
    for (unsigned char ch : path) {
        if (isalnum(ch) || strchr("/-._~", ch)) {
            uri += (char)ch;
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", ch);
            uri += hex;
        }
    }
    return uri;
}

// The verdict beside Back in a screenshot of the checker screen.
bool verdict_is(const shot_s& s, uint32_t colour) {
    return s.count(178, 416, 400, 30, colour) > 20 && s.count(178, 416, 400, 30, GREEN) + s.count(178, 416, 400, 30, RED) +
                                                               s.count(178, 416, 400, 30, PURPLE) ==
                                                           s.count(178, 416, 400, 30, colour);
}

// A folder "My Passport é": dropped, its plot file is checked; the plot file
// dropped on its own is checked. An unfinished file in "Zweite Platte ü"
// dropped is resumed and finished there.
TEST_F(ProgramTest, DroppedNamesWithABlankAndAnAccentAreCheckedAndResumed) {
    std::string folder = root.file("My Passport \xc3\xa9"), other = root.file("Zweite Platte \xc3\xbc");
    mkdir(folder.c_str(), 0755);
    mkdir(other.c_str(), 0755);
    std::string plot = folder + "/" + std::to_string(ACCOUNT) + "_0_256";
    write_plot(plot, 0, 256);
    std::string unfinished = other + "/" + std::to_string(ACCOUNT) + "_256_256";
    std::ofstream(unfinished + ".plotting").close();
    std::filesystem::resize_file(unfinished + ".plotting", 256 * NONCE_BYTES);
    // The RAM to use is kept in the resume data (64 MiB here), which comes
    // with an empty plan.
    write_config("account: " + std::to_string(ACCOUNT) +
                 "\ndisable_opencl: true\ncpu_threads: 2\nram_double_buffer: false\nmin_ram_gb_per_task: 0.0625\n"
                 "resume_ram: " + std::to_string(run_ram(LONG_RUN_RAM_MIB, 2)) + "\nresume_plots: []\n");

    ASSERT_TRUE(run("checks", "--auto-resuming " + file_uri(folder) + " " + file_uri(plot) + " -- " +
                                  file_uri(unfinished + ".plotting")));
    expect_exit_ok(1);
    std::string log = read_file(work + "/log.txt");
    EXPECT_TRUE(contains(log, "  " + folder + "\n")) << log;
    for (const char* name : {"check_1", "check_2"}) {
        shot_s s;
        ASSERT_TRUE(s.load(out + "/" + name + ".ppm")) << name;
        EXPECT_TRUE(verdict_is(s, GREEN)) << name;      // "All data correct!"
        EXPECT_GT(s.count(24, 74, 590, 300, GREEN), 100000) << name;  // the grid's cells
    }
    EXPECT_FALSE(std::filesystem::exists(unfinished + ".plotting"));
    expect_plot(unfinished, 256, 256, {0, 1, 128, 255});
    std::string config = read_file(work + "/config.yml");
    EXPECT_FALSE(contains(config, "%")) << config;
}

// An empty folder, and a folder whose files can all not be checked: never
// the green verdict.
TEST_F(ProgramTest, DropsWithNothingToCheckSaySo) {
    std::string empty = root.file("empty"), unusable = root.file("unusable");
    mkdir(empty.c_str(), 0755);
    mkdir(unusable.c_str(), 0755);
    std::ofstream(unusable + "/plot.dat") << "x";
    std::ofstream(unusable + "/1_0_8").close();                 // empty
    std::ofstream(unusable + "/1_0_256_64") << "x";             // not optimized
    write_config("account: " + std::to_string(ACCOUNT) + "\ndisable_opencl: true\n");

    ASSERT_TRUE(run("checks", file_uri(empty) + " " + file_uri(unusable)));
    expect_exit_ok(1);
    shot_s none, skipped;
    ASSERT_TRUE(none.load(out + "/check_1.ppm"));
    ASSERT_TRUE(skipped.load(out + "/check_2.ppm"));
    EXPECT_TRUE(verdict_is(none, PURPLE));
    EXPECT_TRUE(verdict_is(skipped, PURPLE));
    // Two rows, each a purple bar with its reason written on it.
    for (int row = 0; row < 2; row++) {
        int y = 74 + row * 54 + 16;
        EXPECT_GT(skipped.count(24, y, 592, 26, PURPLE), 592 * 26 / 2) << row;
        EXPECT_GT(skipped.count(24, y, 592, 26, WHITE), 50) << row;
    }
}

}  // namespace
