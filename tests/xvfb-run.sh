#!/usr/bin/env bash
# Runs one command under a private Xvfb server of its own, so that tests that
# need a display can run side by side: tests/xvfb-run.sh COMMAND ARGS...
# Each server gets a display number drawn at random from a wide range: with
# -displayfd alone every server starting probes the numbers upwards from :0,
# those of the live servers included, and under load a command was twice
# refused ":0" a second after the server there had answered. Drawn numbers
# keep the servers out of each other's way.
# A drawn number that is taken makes Xvfb end at once (its lock file), and
# another number is drawn. -displayfd still tells when the server accepts
# connections. -noreset keeps the server as it is when the screen check's
# client leaves, so the command never connects during a reset.
# VG_XVFB_SCREEN sets the screen's geometry (WIDTHxHEIGHTxDEPTH) for tests
# of large windows.
#
# A server that said its number is still asked for its screen before the
# command runs, and a fresh one is started when it cannot be opened.
# Waiting for a server to start has no limit of its own: a loaded machine
# may take long, and a server that fails ends, which ends the wait. The
# caller's limit ends a hang; what was awaited is then said.
set -u
screen=${VG_XVFB_SCREEN:-1280x1024x24}
dir=$(mktemp -d /tmp/vg_xvfb.XXXXXX) || exit 1
xvfb=""
stop_server() {
  [ -n "$xvfb" ] && { kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; }
  xvfb=""
}
display=""
awaiting="Xvfb to start"
trap 'echo "xvfb-run: stopped while waiting for $awaiting" >&2; stop_server; rm -rf "$dir"; exit 143' TERM
for attempt in 1 2 3 4 5 6; do
  number=$((1000 + (RANDOM * 32768 + RANDOM) % 50000))
  rm -f "$dir/display"
  mkfifo "$dir/display"
  Xvfb ":$number" -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset 3>"$dir/display" 2>"$dir/xvfb.log" &
  xvfb=$!
  display=""
  awaiting="Xvfb :$number to say it accepts connections (attempt $attempt)"
  read -r display <"$dir/display"
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
awaiting="the command to end: $*"
DISPLAY=":$display" XAUTHORITY=/dev/null "$@"
rc=$?
stop_server
rm -rf "$dir"
exit $rc
