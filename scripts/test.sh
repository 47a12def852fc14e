#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three
# times: a Release build, an AddressSanitizer + UndefinedBehaviorSanitizer
# build, and a ThreadSanitizer build of the concurrent parts (CPU workers,
# engine, GPU dispatch). Tests that need a display start their own Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
jobs=$(nproc)

run_suite() { # dir, ctest arguments...
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure --timeout 900 -j"$jobs" "$@"
}

echo "== Release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
run_suite build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVG_SANITIZE=ON -DVG_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  run_suite build-asan

echo "== ThreadSanitizer build (concurrency tests)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVG_TSAN=ON -DVG_BUILD_BENCH=OFF >/dev/null
tsan_targets=()
for t in test_plot test_engine test_gpu; do
  [ -d "tests/${t#test_}" ] && [ -f "tests/${t#test_}/CMakeLists.txt" ] && tsan_targets+=("$t")
done
if [ ${#tsan_targets[@]} -gt 0 ]; then
  cmake --build build-tsan -j"$jobs" --target "${tsan_targets[@]}"
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    run_suite build-tsan -L "^(plot|engine|gpu)$"
fi
echo "== All suites passed"
