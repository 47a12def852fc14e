# Helpers of the screens' display tests, sourced by the scenario scripts
# that tests/app/screens_test.cpp runs under tests/xvfb-run.sh. OUT is the
# scenario's artefact folder, DEMO the screens_demo program.
#
# Every wait follows the demo: its state file (written every 100 ms with
# what its windows have shown), its windows, the focus. None has a limit of
# its own: a loaded machine can take many seconds for any step. They all
# give up at the scenario's one limit, VG_SCREENS_LIMIT seconds (set by the
# test), for a demo that hangs, with a message that names what was awaited.
set -u

WID=""
DEMO_PID=""
DIALOG=""
LIMIT=${VG_SCREENS_LIMIT:-600}
DEADLINE=$((SECONDS + LIMIT))
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

# still WHAT: fails once the scenario's time is up or the demo has ended
still() {
  [ $SECONDS -lt $DEADLINE ] || fail "gave up after $LIMIT s waiting for $1"
  [ -z "$DEMO_PID" ] || kill -0 "$DEMO_PID" 2>/dev/null || fail "the demo ended while waiting for $1"
}
# await WHAT COMMAND...: until COMMAND succeeds
await() {
  local what=$1
  shift
  until "$@"; do
    still "$what"
    sleep 0.05
  done
}

# The demo's state file holds key=value lines, rewritten every 100 ms.
state() { sed -n "s/^$1=//p" "$OUT/state" 2>/dev/null | head -1; }
# state_is KEY=VALUE...: all of them hold in one reading of the state
state_is() {
  local s kv
  s=$(cat "$OUT/state" 2>/dev/null) || return 1
  for kv; do grep -qxF -- "$kv" <<<"$s" || return 1; done
}

# wait_state KEY VALUE
wait_state() {
  until state_is "$1=$2"; do
    still "state $1 to be '$2' (it is '$(state "$1")')"
    sleep 0.05
  done
}

# The demo's windows have painted everything they were asked to in a state
# written after this call began: a screenshot then shows the effect of every
# input the demo has reported handling.
written_since() { [ "$(state writes)" -gt "$1" ] 2>/dev/null && state_is drawn=1; }
drawn() {
  local writes
  writes=$(state writes)
  await "the demo's windows drawn after write ${writes:-0} of its state" written_since "${writes:-0}"
}

# wait_run KEY VALUE DIR...: wait_state for a real run, at whatever speed the
# machine allows: it waits as long as the run's files in the DIRs change (a
# file is created, written, renamed, moved) or the demo uses processor time
# (every ten seconds of it count: a window that only redraws takes minutes
# for ten), and fails when nothing has moved for STALL seconds.
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
    still "state $key to be '$value' in a real run (it is '$(state "$key")')"
    sleep 0.2
  done
}

# find_window REGEX: the first visible window so named into $found
find_window() { found=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1); [ -n "$found" ]; }

start_demo() {
  rm -f "$OUT/state"
  "$DEMO" --state "$OUT/state" "$@" >>"$OUT/demo.log" 2>&1 &
  DEMO_PID=$!
  await "the demo's window" find_window '^Veldgrain screens$'
  WID=$found
  await "the demo's state file" test -s "$OUT/state"
  drawn
}

# pointer_at X Y: the window has seen the pointer at screen pixel (X, Y) of
# it (GDK counts in units of GDK_SCALE pixels) and painted what it shows
pointer_at() {
  local scale
  scale=$(state scale)
  [ "${scale:-0}" -gt 0 ] 2>/dev/null || return 1
  state_is "pointer=$(($1 / scale)),$(($2 / scale))" drawn=1
}
released_after() { [ "$(state releases)" -gt "$1" ] 2>/dev/null; }

# Moves the pointer first (the move repaints the hovered look and the
# screen's latest values; of two moves the window sees at least one),
# then presses and releases once the window has drawn the screen under it:
# the regions a press reaches are those of the latest frame.
click() {
  local x=$(($1 + 1)) y=$2 releases
  releases=$(state releases)
  xdotool mousemove --window "$WID" "$1" "$2"
  xdotool mousemove --window "$WID" "$x" "$y"
  await "the pointer at $x,$y in a drawn window" pointer_at "$x" "$y"
  xdotool mousedown 1
  xdotool mouseup 1
  await "the release of the click at $x,$y" released_after "${releases:-0}"
  # Two clicks at one place closer than GTK's double-click time (400 ms)
  # would be a double click: a lower bound on their distance, which a
  # loaded machine only lengthens.
  sleep 0.45
}

# As with a click, two moves: the first one out of a text entry that came up
# under the pointer does not reach the window.
hover() {
  xdotool mousemove --window "$WID" "$(($1 + 1))" "$2"
  xdotool mousemove --window "$WID" "$1" "$2"
  await "the pointer at $1,$2 in a drawn window" pointer_at "$1" "$2"
}

# Replaces the focused entry's text, until the entry shows it.
type_text() {
  xdotool key --clearmodifiers ctrl+a
  xdotool key BackSpace
  [ -n "$1" ] && xdotool type --delay 20 "$1"
  until state_is "entry_text=$1" drawn=1; do
    still "the entry to read '$1' (it reads '$(state entry_text)')"
    sleep 0.05
  done
}

# A window not mapped yet refuses the focus (BadMatch): tried again until
# the server says it has it, or keys would go to the window behind.
focused() { xdotool windowfocus "$1" 2>/dev/null && [ "$(xdotool getwindowfocus -f 2>/dev/null)" = "$1" ]; }

# Waits for a dialog or chooser titled TITLE and gives it the keyboard.
dialog() {
  await "a dialog '$1'" find_window "$1"
  DIALOG=$found
  await "the focus on the dialog '$1'" focused "$DIALOG"
}

gone() { ! xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
# dialog_gone TITLE
dialog_gone() { await "the dialog '$1' to close" gone "$1"; }

# chooser_took TITLE: presses Return in the chooser TITLE while it has the
# keyboard and gives it a second to close. A Return while the location
# entry still completes the typed path is lost; the next one takes it.
chooser_took() {
  gone "$1" && return 0
  focused "$DIALOG" && xdotool key Return
  for _ in $(seq 20); do
    gone "$1" && return 0
    sleep 0.05
  done
  return 1
}

# Types a path into the chooser titled TITLE and accepts it.
choose() {
  dialog "$1"
  xdotool key --clearmodifiers ctrl+l
  xdotool type --delay 15 "$2"
  await "the chooser '$1' to take '$2'" chooser_took "$1"
}

# Screenshot of the window: NAME.png to look at, NAME.ppm for the pixels.
shot() {
  drawn
  import -window "$WID" "$OUT/$1.png" || fail "screenshot $1"
  convert "$OUT/$1.png" "$OUT/$1.ppm" || fail "convert $1"
}

# The screen's top-left part with the dialogs over the window (a window
# capture leaves other top-level windows out).
shot_root() {
  drawn
  import -window root -crop 800x600+0+0 "$OUT/$1.png" || fail "screenshot $1"
}

# The simulated run has gone on for SECONDS of its own time.
run_past() { awk -v s="$(state run_seconds)" -v t="$1" 'BEGIN { exit !(s + 0 >= t) }'; }
wait_run_seconds() {
  until run_past "$1"; do
    still "the simulated run past $1 s (it is at $(state run_seconds) s)"
    sleep 0.05
  done
}
