#!/usr/bin/env bash
# Installs what is missing, then builds and runs the test suite three times:
# a Release build, an AddressSanitizer + UndefinedBehaviorSanitizer build
# (where the end-to-end sessions labelled "sessions" run the program with
# leak detection), and a ThreadSanitizer build of the concurrent parts (CPU
# workers, engine, GPU dispatch) and of the whole program for those
# sessions. Tests that need a display start their own Xvfb.
#
# Every stage runs, also after another one failed, so that each verdict is
# known; the script then ends with a non-zero status. Each stage's verdict
# and time are printed at the end.
#
# ctest runs as many tests at once as there are processors, counting each
# test's declared processors (tests/test_resources.cmake), so the tests that
# hash never ask for more threads than the machine has.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
bash scripts/install-deps.sh test || { echo "== Installing the test dependencies failed"; exit 1; }
jobs=$(nproc)
started=$SECONDS
verdicts=()
failed=0

# stage NAME COMMAND...: runs one stage and keeps its verdict and time.
stage() {
  local name=$1 t0=$SECONDS rc=0
  shift
  echo "== $name"
  "$@" || rc=$?
  local verdict=passed
  [ $rc -ne 0 ] && { verdict="FAILED ($rc)"; failed=1; }
  verdicts+=("$(printf '%-16s %-14s %5d s' "$name" "$verdict" $((SECONDS - t0)))")
  echo "== $name: $verdict, $((SECONDS - t0)) s"
  return $rc
}
# skipped NAME WHY: a stage that could not run
skipped() {
  verdicts+=("$(printf '%-16s %-14s %s' "$1" "not run" "($2)")")
  failed=1
  echo "== $1: not run ($2)"
}
configure_and_build() { # dir cmake-build-arguments -- cmake-configure-arguments...
  local dir=$1 build_args=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do build_args+=("$1"); shift; done
  shift
  cmake -S . -B "$dir" "$@" >/dev/null && cmake --build "$dir" "${build_args[@]}" -j"$jobs"
}
suite() { # dir ctest-arguments...
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure --timeout 900 -j"$jobs" "$@"
}

if stage "Release build" configure_and_build build -- -DCMAKE_BUILD_TYPE=Release; then
  # The program's end-to-end sessions run once, in the AddressSanitizer
  # build, where they find the most (and the "sessions" among them again
  # under ThreadSanitizer), as do the whole plots hashed on PoCL; the
  # Release suite runs everything else.
  stage "Release suite" suite build -LE "^(e2e|whole_gpu_plots)$"
else
  skipped "Release suite" "its build failed"
fi

if stage "ASan build" configure_and_build build-asan -- \
     -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVG_SANITIZE=ON -DVG_BUILD_BENCH=OFF; then
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    stage "ASan suite" suite build-asan
else
  skipped "ASan suite" "its build failed"
fi

# ThreadSanitizer: the concurrency tests and the program's sessions.
tsan_targets=()
for t in test_plot test_engine test_gpu test_e2e; do
  [ -f "tests/${t#test_}/CMakeLists.txt" ] && tsan_targets+=("$t")
done
if [ ${#tsan_targets[@]} -gt 0 ]; then
  if stage "TSan build" configure_and_build build-tsan --target "${tsan_targets[@]}" -- \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVG_TSAN=ON -DVG_BUILD_BENCH=OFF; then
    TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
      stage "TSan suite" suite build-tsan -L "^(plot|engine|gpu|sessions)$"
  else
    skipped "TSan suite" "its build failed"
  fi
fi

echo "== Stages"
printf '%s\n' "${verdicts[@]}"
printf '%-16s %-14s %5d s\n' "Total" "" $((SECONDS - started))
if [ $failed -ne 0 ]; then
  echo "== Some stages failed"
  exit 1
fi
echo "== All stages passed"
