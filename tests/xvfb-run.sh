#!/usr/bin/env bash
# Runs one command under a private Xvfb server of its own, so that tests that
# need a display can run side by side: tests/xvfb-run.sh COMMAND ARGS...
# Xvfb picks a free display number itself (-displayfd) and says it once it
# accepts connections; choosing the number here, as xvfb-run -a does, races
# with other tests starting at the same moment. VG_XVFB_SCREEN sets the
# screen's geometry (WIDTHxHEIGHTxDEPTH) for tests of large windows.
#
# A server that said its number is still asked for its screen before the
# command runs: with many servers starting and ending side by side one was
# seen to name a display that a client could not open, and a fresh server is
# then started rather than failing the test on a display that never worked.
set -u
screen=${VG_XVFB_SCREEN:-1280x1024x24}
dir=$(mktemp -d /tmp/vg_xvfb.XXXXXX) || exit 1
xvfb=""
stop_server() {
  [ -n "$xvfb" ] && { kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; }
  xvfb=""
}
display=""
for attempt in 1 2 3; do
  rm -f "$dir/display"
  mkfifo "$dir/display"
  Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
  xvfb=$!
  display=""
  read -r -t 120 display <"$dir/display"
  if [ -n "$display" ] && DISPLAY=":$display" XAUTHORITY=/dev/null xdotool getdisplaygeometry >/dev/null 2>&1; then
    break
  fi
  echo "xvfb-run: attempt $attempt: display '${display}' not usable: $(tail -n 3 "$dir/xvfb.log")" >&2
  stop_server
  display=""
done
if [ -z "$display" ]; then
  echo "Xvfb failed to start: $(tail -n 3 "$dir/xvfb.log")" >&2
  rm -rf "$dir"
  exit 1
fi
DISPLAY=":$display" XAUTHORITY=/dev/null "$@"
rc=$?
stop_server
rm -rf "$dir"
exit $rc
