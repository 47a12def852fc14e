#!/usr/bin/env bash
# Installs what is missing, builds Veldgrain (Release) and starts it in the
# current folder, where it keeps "config.yml" and "log.txt".
set -euo pipefail
here=$(pwd)
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVG_BUILD_TESTS=OFF -DVG_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target veldgrain
cd "$here"
exec "$OLDPWD/build/app/veldgrain" "$@"
