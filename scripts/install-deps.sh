#!/usr/bin/env bash
# Installs the Debian packages Veldgrain needs, only those still missing, so
# that repeated runs are quick. "run" installs what building and running the
# program needs; "test" adds what the test suite and the benchmarks need.
set -euo pipefail
what=${1:-run}

pkgs=(build-essential cmake pkg-config libgtk-3-dev libcairo2-dev libyaml-cpp-dev
      liblz4-dev libblkid-dev opencl-headers ocl-icd-libopencl1 fonts-dejavu-core)
if [ "$what" = test ]; then
  pkgs+=(libgtest-dev libbenchmark-dev pocl-opencl-icd xvfb xauth xdotool x11-utils imagemagick btrfs-progs
        dosfstools fusefat exfat-fuse exfatprogs xfsprogs)
fi

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq </dev/null
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
