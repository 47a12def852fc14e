#!/usr/bin/env bash
# The subsystems below the application never reach up into it: no file in
# platform/, plot/, engine/, gpu/ or checker/ includes a header of app/, in
# any spelling ("app/x.h", <app/x.h>, "../app/x.h", "# include"). Lists
# every such include as file:line and fails when there is one.
#
#   scripts/check-layers.sh [repository root]
set -u
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root" || exit 2

lower=(platform plot engine gpu checker)
found=$(grep -rnE --include='*.h' --include='*.hpp' --include='*.c' --include='*.cpp' --include='*.cl' \
  '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([.]{1,2}/)*app/' "${lower[@]}" 2>/dev/null)

if [ -n "$found" ]; then
  echo "Includes of app/ below the application:"
  echo "$found"
  exit 1
fi
echo "No file in ${lower[*]} includes a header of app/."
