#!/usr/bin/env bash
# Installs what is missing, then builds and runs the test suite three times:
# a Release build, an AddressSanitizer + UndefinedBehaviorSanitizer build
# (where the end-to-end sessions labelled "sessions" run the program with
# leak detection), and a ThreadSanitizer build of the concurrent parts (CPU
# workers, engine, GPU dispatch) and of the whole program for those
# sessions. Tests that need a display start their own Xvfb.
#
# The builds run one after another, each on every processor; a build's
# suite starts as soon as it is built and runs beside the next builds and
# the other suites. Most tests wait on a disk, a window or a child process
# more than they hash, so one suite alone leaves most processors idle; the
# AddressSanitizer suite, the longest, is built and started first.
#
# Every stage runs, also after another one failed, so that each verdict is
# known; the script then ends with a non-zero status. Each stage's verdict
# and time are printed at the end, and the whole output of each suite that
# failed. While they run, the suites' lines appear as they come, each
# marked with its build.
#
# Within a suite ctest runs as many tests at once as there are processors,
# counting each test's declared processors (tests/test_resources.cmake).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
bash scripts/install-deps.sh test || { echo "== Installing the test dependencies failed"; exit 1; }
jobs=$(nproc)
started=$SECONDS
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
stage_names=()
suite_pids=()
declare -A suite_logs

# stage NAME COMMAND...: runs one stage and keeps its verdict and time in
# $results, under the stage's name.
stage() {
  local name=$1 t0=$SECONDS rc=0
  shift
  echo "== $name"
  "$@" || rc=$?
  local verdict=passed
  [ $rc -ne 0 ] && verdict="FAILED ($rc)"
  printf '%-16s %-14s %5d s\n' "$name" "$verdict" $((SECONDS - t0)) >"$results/$name.verdict"
  [ $rc -ne 0 ] && touch "$results/$name.failed"
  echo "== $name: $verdict, $((SECONDS - t0)) s"
  return $rc
}
# skipped NAME WHY: a stage that could not run
skipped() {
  stage_names+=("$1")
  printf '%-16s %-14s %s\n' "$1" "not run" "($2)" >"$results/$1.verdict"
  touch "$results/$1.failed"
  echo "== $1: not run ($2)"
}
configure_and_build() { # dir cmake-build-arguments -- cmake-configure-arguments...
  local dir=$1 build_args=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do build_args+=("$1"); shift; done
  shift
  cmake -S . -B "$dir" "$@" >/dev/null && cmake --build "$dir" "${build_args[@]}" -j"$jobs"
}
# background_suite NAME MARK DIR [VAR=VALUE...] -- ctest-arguments...: starts
# the suite of DIR beside what follows; its lines go to the screen marked
# with MARK, and whole to DIR/suite.log.
background_suite() {
  local name=$1 mark=$2 dir=$3 vars=()
  shift 3
  while [ $# -gt 0 ] && [ "$1" != -- ]; do vars+=("$1"); shift; done
  shift
  stage_names+=("$name")
  suite_logs[$name]=$dir/suite.log
  ( stage "$name" env "${vars[@]}" ctest --test-dir "$dir" --output-on-failure --timeout 900 -j"$jobs" "$@" 2>&1 \
      | tee "$dir/suite.log" | sed -u "s/^/[$mark] /" ) &
  suite_pids+=($!)
}
build_stage() { # NAME COMMAND...
  stage_names+=("$1")
  stage "$@"
}

# The sanitizer builds keep line tables only (-g1): their reports name the
# function, file and line of each frame, and the builds take a quarter less
# time than with full debug information.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVG_BUILD_BENCH=OFF
                 "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
                 "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")

# The AddressSanitizer build, where the program's end-to-end sessions run
# (they find the most there, and the "sessions" among them run again under
# ThreadSanitizer), as do the whole plots hashed on PoCL.
if build_stage "ASan build" configure_and_build build-asan -- "${sanitizer_flags[@]}" -DVG_SANITIZE=ON; then
  background_suite "ASan suite" ASan build-asan \
    "ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}" \
    "UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" --
else
  skipped "ASan suite" "its build failed"
fi

# Release: everything but the end-to-end sessions, the whole PoCL plots and
# the full PoCL benchmark.
if build_stage "Release build" configure_and_build build -- -DCMAKE_BUILD_TYPE=Release; then
  background_suite "Release suite" Release build -- -LE "^(e2e|whole_gpu_plots|full_gpu_benchmark)$"
else
  skipped "Release suite" "its build failed"
fi

# ThreadSanitizer: the concurrency tests and the program's sessions; of the
# whole PoCL plots, one with single and one with double buffering.
tsan_targets=()
for t in test_plot test_engine test_gpu test_e2e; do
  [ -f "tests/${t#test_}/CMakeLists.txt" ] && tsan_targets+=("$t")
done
if [ ${#tsan_targets[@]} -gt 0 ]; then
  if build_stage "TSan build" configure_and_build build-tsan --target "${tsan_targets[@]}" -- \
       "${sanitizer_flags[@]}" -DVG_TSAN=ON; then
    background_suite "TSan suite" TSan build-tsan \
      "TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}" -- \
      -L "^(plot|engine|gpu|sessions)$" -LE "^more_work_groups$"
  else
    skipped "TSan suite" "its build failed"
  fi
fi

for pid in "${suite_pids[@]}"; do wait "$pid"; done

failed=0
for name in "${stage_names[@]}"; do
  if [ -e "$results/$name.failed" ] || [ ! -e "$results/$name.verdict" ]; then
    failed=1
    log=${suite_logs[$name]:-}
    if [ -n "$log" ] && [ -f "$log" ]; then
      echo "== $name: its whole output"
      cat "$log"
    fi
  fi
done
echo "== Stages"
for name in "${stage_names[@]}"; do
  if [ -e "$results/$name.verdict" ]; then cat "$results/$name.verdict"
  else printf '%-16s %-14s\n' "$name" "no verdict"; fi
done
printf '%-16s %-14s %5d s\n' "Total" "" $((SECONDS - started))
if [ $failed -ne 0 ]; then
  echo "== Some stages failed"
  exit 1
fi
echo "== All stages passed"
