# What each test asks of the machine, told to ctest once a test binary's
# tests are known (ctest reads this file after the discovered list). A
# test's PROCESSORS count toward ctest's -j, so the tests that hash side by
# side never ask for more processors than the machine has. The figures go by
# label and name, so a new test gets its figure without being listed:
#   plot, engine, gpu, checker: two hashing workers (their binaries' default,
#     tests/support/two_workers.cpp);
#   e2e and the screens' real runs: the program's two workers; its Xvfb and
#     the session that drives it mostly wait on the program;
#   the gpu label and tests named for the GPU: two PoCL threads (a work
#     group of 256 or more runs on one of them whatever the count, and the
#     suites of the three builds run side by side);
#   PlotCpu.ThreadCounts: more workers than processors, on purpose.
# The figures are the processors a test keeps busy, not the threads it
# starts: most tests wait on a disk, a window or a child more than they
# hash, and a figure above what a test uses leaves processors idle.
# The sessions wait on progress and fail when nothing moves for minutes, so
# their time limit is only a guard against a hang.
#
# The end-to-end sessions named in vg_sanitizer_sessions carry the label
# "sessions" too: scripts/test.sh runs them against the ThreadSanitizer
# build of the whole program, and in the AddressSanitizer build they run it
# with leak detection. There the program must report nothing of its own
# (tests/sanitizers holds the system libraries' suppressions, each with its
# reason). For LeakSanitizer the OpenCL loader is preloaded so that the
# driver's allocations keep their library's name after the program's
# dlclose, and GTK's accessibility bridge (D-Bus) stays off.
set(vg_sanitizer_sessions
    "^ProgramTest\\.(AStagedRunMovesOrScatters|ClosingDuringARunKeeps|ClosingAtTheGpuFallBack|DroppedFilesAndFoldersAreChecked|NoToTheGpuFallBack)")

# Whole plots hashed on PoCL in a table of work-group sizes: about a minute
# of two processors each. They carry the label "whole_gpu_plots", which
# scripts/test.sh runs in the AddressSanitizer build (where the dispatch's
# sizes and buffers around the kernels are checked) and not again in
# Release; the kernels' bytes are the same in every build. The threads of a
# run do not depend on the work-group size, only on single or double
# buffering, so ThreadSanitizer runs one case of each, the two of
# vg_whole_gpu_plots_threads, and the others carry the label
# "more_work_groups" that it leaves out.
set(vg_whole_gpu_plots "^Sizes/GpuWorkGroup\\.")
set(vg_whole_gpu_plots_threads "/group_(96_ram_128_MiB_single|1021_ram_128_MiB_double)( |$)")

# The benchmark a real GPU gets, on PoCL within an allocation limit, a
# minute and more of two processors: it carries the label
# "full_gpu_benchmark" and, like the whole plots, is checked for its buffers
# in the sanitizer builds and not hashed again in Release.
set(vg_full_gpu_benchmark "^GpuDispatch\\.BenchmarkWithinA256MiBAllocationLimitGivesARate$")

function(vg_test_resources label sanitizer source_dir tests)
  foreach(t IN LISTS tests)
    set(procs 1)
    set(env "")
    if(label MATCHES "^(plot|engine|gpu|checker|e2e)$")
      set(procs 2)
    endif()
    if(label STREQUAL "e2e" OR t MATCHES "^Screens\\.Real")
      set(procs 2)
      set_tests_properties(${t} PROPERTIES TIMEOUT 3600)
    endif()
    set(on_pocl FALSE)
    if(label STREQUAL "gpu" OR t MATCHES "[Gg]pu")
      set(on_pocl TRUE)
      list(APPEND env POCL_MAX_PTHREAD_COUNT=2)
    endif()
    if(t MATCHES "${vg_whole_gpu_plots}")
      set(labels "${label};whole_gpu_plots")
      if(NOT t MATCHES "${vg_whole_gpu_plots_threads}")
        list(APPEND labels more_work_groups)
      endif()
      set_tests_properties(${t} PROPERTIES LABELS "${labels}")
    endif()
    if(t MATCHES "${vg_full_gpu_benchmark}")
      set_tests_properties(${t} PROPERTIES LABELS "${label};full_gpu_benchmark")
    endif()
    if(t MATCHES "${vg_sanitizer_sessions}")
      set_tests_properties(${t} PROPERTIES LABELS "${label};sessions")
      set(supp "${source_dir}/tests/sanitizers")
      if(sanitizer STREQUAL "address")
        list(APPEND env NO_AT_BRIDGE=1 LD_PRELOAD=libOpenCL.so.1
             "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:verify_asan_link_order=0"
             "LSAN_OPTIONS=suppressions=${supp}/lsan.supp:print_suppressions=0")
      elseif(sanitizer STREQUAL "thread")
        list(APPEND env NO_AT_BRIDGE=1
             "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${supp}/tsan.supp")
      endif()
    endif()
    if(t STREQUAL "PlotCpu.ThreadCounts")
      set(procs 4)
    endif()
    # The longest tests start first (ctest runs a set in falling COST
    # where it has no times of its own yet, as on a fresh clone), so that
    # the short ones fill the processors beside them instead of a few long
    # sessions running alone at the end. The checker's tests, which hash
    # their samples, come before the quick ones.
    set(cost 0)
    if(label STREQUAL "checker")
      set(cost 20)
    endif()
    if(t MATCHES "^(recovery_fixture|power_cut_fixture|fault_fixture)\\." OR
       t MATCHES "^PlotCpu\\.(ScoopsEqualPlotNonce|BatchEqualsPlotNonceInEveryBuild)$")
      set(cost 40)
    endif()
    if(on_pocl)
      set(cost 60)
    endif()
    if(label STREQUAL "e2e" OR t MATCHES "^Screens\\.Real")
      set(cost 100)
    endif()
    set_tests_properties(${t} PROPERTIES PROCESSORS ${procs} COST ${cost})
    if(env)
      set_tests_properties(${t} PROPERTIES ENVIRONMENT "${env}")
    endif()
  endforeach()
endfunction()
