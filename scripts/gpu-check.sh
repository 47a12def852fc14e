#!/usr/bin/env bash
# Checks the GPUs of this machine with the program's own GPU code: lists the
# OpenCL platforms and devices, compares whole nonces of batches of 32,
# 16352, 16416 and 65536 nonces per device with the CPU's, and prints the
# nonces per minute of work-group sizes 32 to 1024 (on batches that fill
# the device); a size over the limit of the device or its kernels runs
# clamped, as the program runs it, and its line names the size that ran. The last line is PASS or FAIL. The
# program's log of the run is kept in gpu-check.log.
#
#   scripts/gpu-check.sh [--small] [--cpu-devices] [--tool PATH]
#
# --small         small batches only (OpenCL on the processor, as in CI)
# --cpu-devices   check CPU-type OpenCL devices too (PoCL)
# --tool PATH     use this vg_gpu_check instead of building one
set -uo pipefail
tool=""
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --small | --cpu-devices) args+=("$1") ;;
    --tool) tool=$(readlink -f "${2:-}"); shift ;;
    *) echo "usage: $0 [--small] [--cpu-devices] [--tool PATH]"; echo FAIL; exit 1 ;;
  esac
  shift
done
cd "$(dirname "$0")/.."
root=$PWD

if [ -z "$tool" ]; then
  echo "Building the check in build-gpu-check ..."
  if ! cmake -S . -B build-gpu-check -DCMAKE_BUILD_TYPE=Release -DVG_BUILD_TESTS=OFF \
      -DVG_BUILD_BENCH=OFF >/dev/null ||
    ! cmake --build build-gpu-check -j"$(nproc)" --target vg_gpu_check >/dev/null; then
    echo "The check could not be built."
    echo FAIL
    exit 1
  fi
  tool=$root/build-gpu-check/gpu/vg_gpu_check
fi

# The program writes its log.txt into the working folder.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
(cd "$work" && "$tool" "${args[@]}")
rc=$?
cp "$work/log.txt" "$root/gpu-check.log" 2>/dev/null
echo "($(($(date +%s) - start)) s)"
case $rc in
  0) echo PASS ;;
  77) echo "There is no OpenCL GPU to check."; echo FAIL ;;
  *) echo FAIL ;;
esac
exit "$rc"
