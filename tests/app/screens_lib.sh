# Helpers of the screens' display tests, sourced by the scenario scripts
# that tests/app/screens_test.cpp runs under tests/xvfb-run.sh. OUT is the
# scenario's artefact folder, DEMO the screens_demo program.
set -u

WID=""
DEMO_PID=""
# Without recent files GTK's chooser opens in browse mode, where a typed
# path followed by Return accepts the chooser.
export XDG_CONFIG_HOME="$OUT/xdg"
mkdir -p "$XDG_CONFIG_HOME/gtk-3.0"
printf '[Settings]\ngtk-recent-files-enabled=false\n' >"$XDG_CONFIG_HOME/gtk-3.0/settings.ini"

fail() {
  echo "FAIL: $*" >&2
  [ -n "$WID" ] && import -window root "$OUT/failure.png" 2>/dev/null
  exit 1
}

stop_demo() {
  [ -n "$DEMO_PID" ] && kill "$DEMO_PID" 2>/dev/null && wait "$DEMO_PID" 2>/dev/null
  DEMO_PID=""
}
trap stop_demo EXIT

# The demo's state file holds key=value lines, rewritten every 100 ms.
state() { sed -n "s/^$1=//p" "$OUT/state" 2>/dev/null | head -1; }

# wait_state KEY VALUE [SECONDS]
wait_state() {
  local limit=$(( ${3:-10} * 10 ))
  for ((i = 0; i < limit; i++)); do
    [ "$(state "$1")" = "$2" ] && return 0
    sleep 0.1
  done
  fail "state $1 is '$(state "$1")', expected '$2'"
}

# wait_run KEY VALUE DIR...: wait_state for a real run, at whatever speed the
# machine allows: it waits as long as the run's files in the DIRs change (a
# file is created, written, renamed, moved) or the demo uses processor time
# (every ten seconds of it count: a window that only redraws takes minutes
# for ten), and fails only when nothing has moved for STALL seconds.
STALL=${STALL:-300}
HZ=$(getconf CLK_TCK)
wait_run() {
  local key=$1 value=$2 last="" now moved=$SECONDS
  shift 2
  while [ "$(state "$key")" != "$value" ]; do
    now=$({ find "$@" -printf '%p %s %T@\n' 2>/dev/null
            awk -v hz="$HZ" '{ print int(($14 + $15) / hz / 10) }' "/proc/$DEMO_PID/stat" 2>/dev/null; } | md5sum)
    [ "$now" != "$last" ] && { last=$now; moved=$SECONDS; }
    [ $((SECONDS - moved)) -lt "$STALL" ] || fail "state $key is '$(state "$key")', expected '$value'; nothing moved for $STALL s"
    sleep 0.2
  done
}

start_demo() {
  rm -f "$OUT/state"
  "$DEMO" --state "$OUT/state" "$@" >>"$OUT/demo.log" 2>&1 &
  DEMO_PID=$!
  WID=$(timeout 20 xdotool search --sync --onlyvisible --name '^Veldgrain screens$' | head -1)
  [ -n "$WID" ] || fail "no window"
  for ((i = 0; i < 100; i++)); do [ -s "$OUT/state" ] && break; sleep 0.1; done
  sleep 0.3
}

# Moves the pointer first (the move repaints the hovered look and the
# screen's latest values), then presses and releases.
click() {
  xdotool mousemove --window "$WID" "$1" "$2"
  sleep 0.25
  xdotool mousemove --window "$WID" "$(( $1 + 1 ))" "$2"
  sleep 0.15
  xdotool mousedown 1
  sleep 0.05
  xdotool mouseup 1
  sleep 0.4
}

hover() {
  xdotool mousemove --window "$WID" "$1" "$2"
  sleep 0.3
}

# Replaces the focused entry's text.
type_text() {
  xdotool key --clearmodifiers ctrl+a
  xdotool key BackSpace
  [ -n "$1" ] && xdotool type --delay 20 "$1"
  sleep 0.2
}

# Waits for a dialog or chooser titled TITLE and gives it the keyboard.
dialog() {
  local id
  id=$(timeout 20 xdotool search --sync --onlyvisible --name "$1" | head -1)
  [ -n "$id" ] || fail "no dialog '$1'"
  xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
  sleep 0.5
  DIALOG="$id"
}

# dialog_gone TITLE [SECONDS]
dialog_gone() {
  local limit=$(( ${2:-10} * 10 ))
  for ((i = 0; i < limit; i++)); do
    xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  fail "dialog '$1' still open"
}

# Types a path into the chooser titled TITLE and accepts it.
choose() {
  dialog "$1"
  xdotool key --clearmodifiers ctrl+l
  sleep 0.3
  xdotool type --delay 15 "$2"
  sleep 0.4
  xdotool key Return
  dialog_gone "$1"
  sleep 0.3
}

# Screenshot of the window: NAME.png to look at, NAME.ppm for the pixels.
shot() {
  sleep 0.3
  import -window "$WID" "$OUT/$1.png" || fail "screenshot $1"
  convert "$OUT/$1.png" "$OUT/$1.ppm" || fail "convert $1"
}

# The screen's top-left part with the dialogs over the window (a window
# capture leaves other top-level windows out).
shot_root() {
  sleep 0.3
  import -window root -crop 800x600+0+0 "$OUT/$1.png" || fail "screenshot $1"
}
