// Start-up and close: the order of start-up is fixed (settings need the
// registry and the plotter; OpenCL and the window need the settings), and
// every callback that frames a run or the program's life lives here.
#include "app/startup.h"

#include <atomic>

#include "app/drives.h"
#include "app/prefs.h"
#include "app/settings.h"
#include "app/ui_config.h"
#include "app/ui_processing.h"
#include "app/ui_prompts.h"
#include "checker/ui_check.h"
#include "engine/plots.h"
#include "engine/plotter.h"
#include "gpu/gpu.h"
#include "platform/cpu_features.h"
#include "platform/sys_linux.h"
#include "ui/report.h"
#include "ui/window.h"

namespace {

const char* VERSION_TEXT = VG_VERSION;

void log_simd_level(uint32_t f) {
    if (f & 0x80)
        sys_log("  AVX2 support detected!\n");
    else if (f & 0x40)
        sys_log("  AVX1 support detected!\n");
    else if (f & 0x20)
        sys_log("  SSE4.2 support detected!\n");
    else if (f & 0x10)
        sys_log("  SSE4.1 support detected!\n");
    else if (f & 0x08)
        sys_log("  SSE4a support detected!\n");
}

void on_finished() {
    g_finish_time = elapsed_clock_read(&g_run_clock);
    sys_log("All done!\n");
    // The run is complete: config.yml drops its resume data now, not at
    // close, so that a power cut while the summary shows does not resume a
    // finished run at the next start.
    prefs_save();
    summary_show();
    window_message(nullptr, "Done!", "All done! All plot files have been completed.");
}

// Set once a fault the run cannot go on from has been told to the user.
std::atomic<bool> g_ending_after_fault{false};

// Such a fault ends the program the way a close that keeps the files does:
// the main loop ends, the run is stopped with its files kept, the settings
// and the resume data are saved, and only then does the process end, with
// status 1. Any thread; the engine calls it after its dialog.
void end_after_fault() {
    if (g_ending_after_fault.exchange(true)) return;
    sys_log("Ending after the error above; the unfinished files and the resume data are kept\n");
    window_quit_loop();
}

// The plotter still exists here, so jobs kept at close become resume data.
// A check still running ends first: its threads read and hash until joined.
void after_loop() {
    ui_check_stop();
    bool fault = g_ending_after_fault.load();
    if (fault) plotter_stop(g_plotter, true);
    prefs_save();
    window_destroy(g_window);
    g_window = nullptr;
    plotter_destroy(g_plotter);
    g_plotter = nullptr;
    plots_destroy(g_plots);
    g_plots = nullptr;
    if (fault) sys_exit_error();
}

}  // namespace

bool close_cb(void*) {
    // A confirmed close ends the main loop itself once the run has ended.
    if (g_run_closing) return false;
    if (!plotter_is_running(g_plotter)) {
        ui_check_stop();
        return true;
    }
    if (!window_question(g_window, "Close Veldgrain?",
                         "Are you sure you want to stop plotting and close Veldgrain?"))
        return false;
    // The run may have ended while the question waited: nothing is left to
    // stop, and no work in progress to ask about.
    if (!plotter_is_running(g_plotter)) return true;
    bool keep = window_question(g_window, "Leave work in progress files?",
                                "Would you like to leave the in progress .plotting file(s) so you can resume "
                                "later? (You can drag and drop .plotting files to the config screen to resume "
                                "them)");
    if (!plotter_is_running(g_plotter)) return true;
    close_run(keep, [] { window_quit(g_window); });
    return false;
}

void close_run(bool keep, std::function<void()> closed) {
    // The work thread may take a while to end (a write or a move finishes its
    // current step first): the UI thread never waits for it, so the window
    // goes on painting what the run is finishing.
    g_run_closing = true;
    plotter_stop_begin(g_plotter, keep);
    window_redraw(g_window);
    sys_timer_add(100, [keep, closed] {
        if (!plotter_has_ended(g_plotter)) return true;
        plotter_stop(g_plotter, keep);  // the thread has ended: no wait
        // Without jobs the end-of-loop save stores no resume data; nothing of
        // the session is left behind either (staged files, partial copies).
        if (!keep) {
            drive_discard_session_files(plotter_unfinished_files(g_plotter, g_ssd_scatter));
            plotter_clear_jobs(g_plotter);
        }
        g_run_closing = false;
        closed();
        return false;
    });
}

void mouse_cb(void*, int, int, int) {}

void vg_main() {
    sys_init();
    sys_time_start();
    sys_getcwd(START_DIR_MAX, g_start_dir);
    ui_tasks_run();
    uint32_t features = cpu_features();
    if (!(features & 0x10) && !(features & 0x08)) {
        window_message(nullptr, "Sorry", "A CPU with SSE4 instruction support is required.");
        return;
    }
    g_start_nonce = 0;
    sys_log("Veldgrain version %s\n", VERSION_TEXT);
    cpu_brand_string(CPU_BRAND_MAX, g_cpu_brand);
    sys_log("CPU: %s\n", g_cpu_brand);
    log_simd_level(features);

    g_plots = plots_create();
    g_plotter = plotter_create();
    plotter_set_finished_callback(g_plotter, on_finished);
    plotter_dialogs_s dialogs;
    dialogs.exit_error = end_after_fault;
    plotter_set_dialogs(dialogs);

    // Told before anything else: a run whose resume data cannot be saved
    // would be lost to a crash or a power cut, so Start is refused while
    // this lasts.
    std::string unwritable, why;
    bool folder_ok = prefs_folder_writable(&unwritable, &why);
    if (!folder_ok) {
        report_s r;
        r.title = "Working folder not writable";
        r.what = "Veldgrain cannot write " + unwritable + " in its working folder";
        r.path = g_start_dir;
        r.reason = why;
        r.kept = "Settings, the log and the data to resume a run cannot be saved there, so plotting cannot start "
                 "until they can: free space on its disk or make the folder writable.";
        report_to_user_later(r, [](const char* title, const char* text) { g_app_message(title, text); });
    }

    if (!prefs_load() && folder_ok) prefs_save();

    if (!g_disable_opencl) {
        sys_log("Starting up OpenCL...\n");
        for (int i = 0; i < GPU_MAX; i++) g_gpu_names[i] = new char[GPU_NAME_MAX]();
        g_gpu_count = gpu_list_devices(GPU_MAX, GPU_NAME_MAX, g_gpu_names);
    }

    plotter_set_ssd_scatter(g_plotter, g_ssd_scatter);
    plotter_set_wait_for_moves(g_plotter, !g_ssd_double_buffer);
    plotter_set_ram_double_buffer(g_plotter, g_ram_double_buffer);

    std::string title = std::string("Veldgrain v") + VERSION_TEXT;
    g_window = window_create(title.c_str(), 640, 480, 0);
    window_set_callbacks(g_window, nullptr, close_cb, mouse_cb,
                         g_account == 0 ? ui_prompt_latest_plot_paint : config_paint);
    window_run_loop(after_loop);
}
