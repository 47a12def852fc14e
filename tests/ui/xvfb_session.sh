#!/usr/bin/env bash
# Drives the test suite's window_demo with xdotool, as a person would, on
# the display this runs under (the caller starts a private Xvfb):
#   xvfb_session.sh SCENARIO DEMO OUTDIR
# The demo's event lines are left in OUTDIR/events.txt; a screenshot and the
# window's geometry go to OUTDIR too. Exit status 3: the demo did not react.
set -u
scenario=$1 demo=$2 out=$3
events=$out/events.txt

# From OUTDIR, so that its log.txt lands there; GTK's settings stay in memory.
# A home folder of its own, where the choosers open.
mkdir -p "$out/home"
(cd "$out" && HOME="$out/home" GSETTINGS_BACKEND=memory exec "$demo" "$scenario") >"$events" 2>"$out/demo_stderr.txt" &
demo_pid=$!
trap 'kill $demo_pid 2>/dev/null; wait $demo_pid 2>/dev/null' EXIT  # on failure only

# Every wait follows the demo (its event lines, its windows, the focus) and
# gives up only at the session's one limit, for a demo that hangs; a loaded
# machine can take many seconds to open a file chooser. The message names
# what was awaited.
limit=${VG_SESSION_LIMIT:-300}
deadline=$((SECONDS + limit))
# await WHAT COMMAND...: until COMMAND succeeds
await() {
  local what=$1
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || { echo "gave up after $limit s waiting for $what" >&2; exit 3; }
    sleep 0.05
  done
}
lines_match() { [ "$(grep -c -x -E -- "$1" "$events")" -ge "$2" ]; }
# wait_for REGEX [COUNT]: until COUNT whole lines match
wait_for() { await "'$1' x${2:-1}" lines_match "$1" "${2:-1}"; }
find_window() { found=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1); [ -n "$found" ]; }
# window_named TITLE: the window's id into $found
window_named() { await "a window '$1'" find_window "$1"; }
# A window that is not mapped yet refuses the focus (BadMatch): try again
# until it has it, or keys would go to the window behind.
focused() { xdotool windowfocus "$1" 2>/dev/null && [ "$(xdotool getwindowfocus -f 2>/dev/null)" = "$1" ]; }
focus() { await "the focus on window $1" focused "$1"; }
# chooser_answered TITLE REGEX N: presses Return in the chooser TITLE, if it
# is still open, and gives the demo a second to report its Nth answer.
chooser_answered() {
  find_window "$1" && xdotool key Return
  for _ in $(seq 20); do
    lines_match "$2" "$3" && return 0
    sleep 0.05
  done
  return 1
}
# Everything sent before F12 has been handled once its "sync" line shows.
syncs=0
sync_input() {
  syncs=$((syncs + 1))
  focus "$wid"
  xdotool key F12
  wait_for sync "$syncs"
}

wait_for ready
window_named "Veldgrain demo"
wid=$found
# point X Y: the pointer to pixel (X, Y) of the drawing area, whatever title
# bar lies above it
read -r area_x area_y < <(sed -n 's/^area origin //p' "$events")
point() { xdotool mousemove $((area_x + $1)) $((area_y + $2)); }
wait_for 'paint alpha_hover=.'
xdotool getwindowgeometry --shell "$wid" >"$out/geometry.txt"

case $scenario in
  input)
    xdotool mousemove --window "$wid" 30 30 click 1 click 3 click 2
    xdotool click --repeat 2 --delay 80 1                   # a double click
    # Once the double click is handled, a pause past the triple-click time
    # (twice the demo's 1000 ms): a lower bound that load only lengthens.
    wait_for 'click alpha' 5
    sleep 2.2
    xdotool mousedown 1 mousemove --window "$wid" 600 400 mouseup 1  # dragged off
    xdotool mousemove --window "$wid" 200 30 click 1        # the disabled button
    xdotool mousemove --window "$wid" 400 150 click 5 click 4
    focus "$wid"
    xdotool key Down End Home Left Page_Down Page_Up Right Up KP_Down
    xdotool type "ab c"
    sync_input
    xdotool type "defghijklmnopqrstu"  # beyond the entry's 16 characters
    xdotool key Tab
    sync_input
    ;;
  size)
    # The minimum size a window manager enforces (xprop is in x11-utils).
    if command -v xprop >/dev/null; then
      xprop -id "$wid" WM_NORMAL_HINTS >"$out/hints.txt"
    else
      echo "xprop missing" >"$out/hints.txt"
    fi
    focus "$wid"
    xdotool key F11                                         # asks for 300 x 200
    sync_input
    xdotool windowsize "$wid" 800 600
    wait_for 'resize 800 600'
    sync_input
    ;;
  dialogs)
    xdotool mousemove --window "$wid" 350 30 click 1
    window_named 'Done!'
    focus "$found"
    xdotool key Return
    wait_for 'message closed'
    for key in alt+y Escape; do
      xdotool mousemove --window "$wid" 450 30 click 1
      window_named Question
      focus "$found"
      xdotool key "$key"
      wait_for 'answer [01]' $([ "$key" = Escape ] && echo 2 || echo 1)
    done
    sync_input
    ;;
  chooser)
    touch "$out/1_0_256"
    n=0
    for answer in accept accept cancel; do
      n=$((n + 1))
      xdotool mousemove --window "$wid" 30 110 click 1
      window_named 'Open plot'
      focus "$found"
      if [ $answer = accept ]; then
        xdotool key ctrl+l
        xdotool type "$out/1_0_256"
        # A Return while the location entry still completes the typed name
        # is lost: Return again, a second later each time, until the demo
        # says what was chosen.
        await "the chooser to take the typed path (try $n)" chooser_answered "Open plot" "open [01] .*" $n
      else
        xdotool key Escape
      fi
      wait_for 'open [01] .*' $n
    done
    sync_input
    ;;
  folder)
    mkdir -p "$out/home/plots" "$out/disk/a" "$out/disk/b"
    n=0
    # A name typed where the chooser opens (home, then the folder of the
    # last choice) and an absolute path, each taken with Return.
    for typed in plots "$out/disk/a" b; do
      n=$((n + 1))
      xdotool mousemove --window "$wid" 170 110 click 1
      window_named 'Choose folder'
      focus "$found"
      xdotool key ctrl+l
      xdotool type "$typed"
      # As with the file chooser: Return again until the demo says what
      # was chosen, as one sent while the entry completes the name is lost.
      await "the folder chooser to take '$typed' (try $n)" chooser_answered "Choose folder" "folder [01] .*" $n
    done
    sync_input
    ;;
  screenshot)
    xdotool mousemove --window "$wid" 30 30
    wait_for 'paint alpha_hover=1'
    # The frame reaches the screen after its paint returns: screenshots
    # until the hovered button shows its colour there.
    hover_x=$(( $(sed -n 's/^X=//p' "$out/geometry.txt") + 25 ))
    hover_y=$(( $(sed -n 's/^Y=//p' "$out/geometry.txt") + 25 ))
    hovered_on_screen() {
      import -window root -depth 8 "$out/shot.ppm" 2>/dev/null &&
        [ "$(convert "$out/shot.ppm" -format "%[hex:p{$hover_x,$hover_y}]" info: 2>/dev/null)" = E5F1FB ]
    }
    await "the hovered frame on the screen" hovered_on_screen
    ;;
  pointer|headerbar)
    point 30 30
    xdotool click 1                                         # on Alpha
    wait_for 'click alpha'
    point 100 335                                           # over the entry
    sync_input
    ;;
  drag|drag_move)
    window_named "Drag source"
    src=$found
    xdotool mousemove --window "$src" 50 50 mousedown 1
    for _ in $(seq 10); do
      xdotool mousemove_relative -- -20 -20
      sleep 0.05
    done
    point 100 200
    sleep 0.2
    point 105 205
    sleep 0.3
    xdotool mouseup 1
    wait_for 'drag ended'
    sync_input
    ;;
esac

# Close the window as its close button would; the demo must end cleanly.
focus "$wid"
xdotool key F10
demo_ended() { ! kill -0 $demo_pid 2>/dev/null; }
await "the demo to end after its window was closed" demo_ended
wait $demo_pid
status=$?
trap - EXIT
[ $status -eq 0 ] || { echo "demo ended with status $status" >&2; exit 3; }
exit 0
