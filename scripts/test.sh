#!/usr/bin/env bash
# Installs what is missing, then builds and runs the test suite three times:
# a Release build, an AddressSanitizer + UndefinedBehaviorSanitizer build
# (where the end-to-end sessions labelled "sessions" run the program with
# leak detection), and a ThreadSanitizer build of the concurrent parts (CPU
# workers, engine, GPU dispatch) and of the whole program for those
# sessions. Tests that need a display start their own Xvfb. Each stage's
# time is printed.
#
# ctest runs as many tests at once as there are processors, counting each
# test's declared processors (tests/test_resources.cmake), so the tests that
# hash never ask for more threads than the machine has.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
jobs=$(nproc)
started=$SECONDS
times=()

# timed NAME COMMAND...: runs the command and prints its time, also when it
# fails (the script then ends with its status).
timed() {
  local name=$1 t0=$SECONDS rc=0
  shift
  "$@" || rc=$?
  times+=("$(printf '%-16s %5d s' "$name" $((SECONDS - t0)))")
  echo "== $name: $((SECONDS - t0)) s$([ $rc -ne 0 ] && echo ", failed ($rc)")"
  return $rc
}
run_suite() { # name dir ctest-arguments...
  local name=$1 dir=$2
  shift 2
  timed "$name" ctest --test-dir "$dir" --output-on-failure --timeout 900 -j"$jobs" "$@"
}
build() { # name cmake-build-arguments...
  local name=$1
  shift
  timed "$name" cmake --build "$@" -j"$jobs"
}

echo "== Release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
build "Release build" build
run_suite "Release suite" build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVG_SANITIZE=ON -DVG_BUILD_BENCH=OFF >/dev/null
build "ASan build" build-asan
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  run_suite "ASan suite" build-asan

echo "== ThreadSanitizer build (concurrency tests, the program's sessions)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVG_TSAN=ON -DVG_BUILD_BENCH=OFF >/dev/null
tsan_targets=()
for t in test_plot test_engine test_gpu test_e2e; do
  [ -d "tests/${t#test_}" ] && [ -f "tests/${t#test_}/CMakeLists.txt" ] && tsan_targets+=("$t")
done
if [ ${#tsan_targets[@]} -gt 0 ]; then
  build "TSan build" build-tsan --target "${tsan_targets[@]}"
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    run_suite "TSan suite" build-tsan -L "^(plot|engine|gpu|sessions)$"
fi
echo "== Times"
printf '%s\n' "${times[@]}"
printf '%-16s %5d s\n' "Total" $((SECONDS - started))
echo "== All suites passed"
