#!/usr/bin/env bash
# Drives the real program with xdotool on the display this runs under (the
# caller starts a private Xvfb), as a person would:
#   e2e_session.sh SCENARIO PROGRAM HELPER WORKDIR OUTDIR [ARGS...]
# The program starts in WORKDIR (its config.yml and log.txt live there).
# Screenshots (PPM), exit statuses and copies of config.yml go to OUTDIR;
# the test checks them. Exit status 3: something did not show up in time.
set -u
scenario=$1 program=$2 helper=$3 work=$4 out=$5
shift 5
app_pid=
trap '[ -n "$app_pid" ] && kill $app_pid 2>/dev/null' EXIT

fail() { echo "e2e: $*" >&2; exit 3; }

start_app() { # phase
  (cd "$work" && exec "$program") >"$out/stdout_$1.txt" 2>"$out/stderr_$1.txt" &
  app_pid=$!
  wid=$(timeout 120 xdotool search --sync --name '^Veldgrain v' | head -1)
  [ -n "$wid" ] || fail "no main window"
  sleep 1
}
# wait_window TITLE SECONDS: prints the window's id
wait_window() {
  local id
  id=$(timeout "$2" xdotool search --sync --onlyvisible --name "^$1\$" | head -1)
  [ -n "$id" ] || fail "no window '$1'"
  echo "$id"
}
# answer TITLE KEY [SECONDS]: the dialog titled TITLE (a regular expression)
# gets KEY and closes
answer() {
  local id
  id=$(wait_window "$1" "${3:-60}") || exit 3
  # Until the dialog takes the focus: one not yet mapped refuses it.
  for _ in $(seq 50); do
    xdotool windowfocus "$id" 2>/dev/null && break
    sleep 0.1
  done
  sleep 0.3
  xdotool key "$2"
  for _ in $(seq 100); do
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || { sleep 0.3; return 0; }
    sleep 0.1
  done
  fail "dialog '$1' stayed open"
}
click() { xdotool mousemove --window "$wid" "$1" "$2" click 1; sleep 0.3; }
shot() { sleep 0.6; import -window "$wid" -depth 8 "$out/$1.ppm"; }
close_main() { "$helper" close "$wid"; sleep 0.5; }
# wait_exit PHASE SECONDS: the program's exit status into OUTDIR/exit_PHASE
wait_exit() {
  for _ in $(seq $(($2 * 10))); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$app_pid" 2>/dev/null && fail "program still running"
  wait "$app_pid"
  echo $? >"$out/exit_$1"
  app_pid=
}
wait_file() { # PATH SECONDS
  for _ in $(seq $(($2 * 10))); do
    [ -e "$1" ] && return 0
    sleep 0.1
  done
  fail "no file $1"
}
# wait_marker PATH SECONDS: a batch has been written and left its resume
# marker in the file's last sector (zeros until then)
wait_marker() {
  for _ in $(seq $(($2 * 10))); do
    [ "$(tail -c 16384 "$1" 2>/dev/null | tr -d '\0' | wc -c)" -gt 0 ] && return 0
    sleep 0.1
  done
  fail "no resume marker in $1"
}
running() { kill -0 "$app_pid" 2>/dev/null; }
start_plotting() { click 551 436; }
# drag URI...: drags the URIs from the helper's window onto the main window,
# dropping them at (drop_x, drop_y) (on the SSD list unless set otherwise)
drop_x=300 drop_y=250
drag() {
  "$helper" drag "$@" >"$out/drag.txt" 2>&1 &
  local hp=$!
  local src
  src=$(wait_window "Drag source" 30) || exit 3
  sleep 0.3
  xdotool mousemove --window "$src" 50 50 mousedown 1
  for _ in $(seq 10); do
    xdotool mousemove_relative -- -20 -20
    sleep 0.05
  done
  xdotool mousemove --window "$wid" "$drop_x" "$drop_y"
  sleep 0.3
  xdotool mousemove --window "$wid" $((drop_x + 5)) $((drop_y + 5))
  sleep 0.5
  xdotool mouseup 1
  for _ in $(seq 100); do
    kill -0 $hp 2>/dev/null || break
    sleep 0.1
  done
  kill $hp 2>/dev/null
  wait $hp 2>/dev/null
  sleep 0.5
}
# wait_white X Y SECONDS: the window's pixel at (X, Y) turns white
wait_white() {
  for _ in $(seq $(($3 * 4))); do
    [ "$(import -window "$wid" -depth 8 ppm:- | convert ppm:- -depth 8 -format "%[hex:p{$1,$2}]" info:)" = FFFFFF ] && return 0
    sleep 0.25
  done
  fail "pixel $1,$2 did not turn white"
}
# has_colour SHOT WxH+X+Y HEX: the area holds a pixel of that colour
has_colour() {
  convert "$out/$1.ppm" -crop "$2" +repage -unique-colors txt:- | grep -qi "#$3"
}

case $scenario in
  first_start)
    start_app 1
    shot first
    close_main
    wait_exit 1 60
    ;;
  unconfirmed_account) # an account typed at the prompt, never confirmed
    start_app 1
    click 380 231                            # "No": the account prompt
    sleep 0.5
    xdotool type --delay 20 1028
    sleep 0.5
    shot typed
    close_main
    wait_exit 1 60
    ;;
  unreadable_config) # config.yml cannot be loaded: told at start, kept
    start_app 1
    answer 'Settings not loaded' Escape
    shot after_message
    close_main
    wait_exit 1 60
    ;;
  complete_run) # a resume-free plan is on the configuration screen
    start_app 1
    answer Auto-Resuming Escape
    shot config
    start_plotting
    wait_window 'Done!' 600 >/dev/null || exit 3
    shot done_dialog
    answer 'Done!' Escape
    shot summary
    close_main
    wait_exit 1 60
    ;;
  complete_run_gpu) # STAND_IN_OPENCL_DIR KERNEL_GROUP_LIMIT: the stored plan
    # plotted on the GPU (PoCL) whose kernels allow smaller work groups than
    # the device reports
    export VG_TEST_OPENCL_CPU=1 LD_LIBRARY_PATH="$1" VG_E2E_KERNEL_GROUP_LIMIT="$2"
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    id=$(wait_window '(Done!|Error initializing GPU|Error)' 1200) || exit 3
    name=$(xdotool getwindowname "$id")
    shot end_dialog
    [ "$name" = 'Done!' ] || fail "the run ended in '$name' instead of 'Done!'"
    answer 'Done!' Escape
    close_main
    wait_exit 1 60
    ;;
  close_keep) # TARGET_PLOTTING
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$1" 300
    wait_marker "$1" 600
    shot processing
    close_main
    answer 'Close Veldgrain\?' Escape     # No: the run goes on
    sleep 1
    running || fail "closed after No"
    echo running >"$out/after_no"
    close_main
    answer 'Close Veldgrain\?' alt+y
    answer 'Leave work in progress files\?' alt+y 120
    wait_exit 1 120
    cp "$work/config.yml" "$out/config_1.yml"
    ls -l "$(dirname "$1")" >"$out/files_1.txt"
    start_app 2
    answer Auto-Resuming Escape
    shot resumed_config
    start_plotting
    wait_window 'Done!' 900 >/dev/null || exit 3
    answer 'Done!' Escape
    close_main
    wait_exit 2 60
    ;;
  close_at_gpu_question) # FAILING_OPENCL_DIR TARGET_PLOTTING
    # The GPU breaks after the first batch; the window is closed while the
    # fall-back question waits for its answer.
    export VG_TEST_OPENCL_CPU=1 LD_LIBRARY_PATH="$1" VG_E2E_GPU_FAIL="$work/gpu_fail"
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$2" 600
    wait_marker "$2" 600
    touch "$VG_E2E_GPU_FAIL"
    wait_window Error 600 >/dev/null || exit 3
    shot question
    stat -c %y "$work/config.yml" >"$out/config_time_0"
    close_main
    answer 'Close Veldgrain\?' alt+y
    answer 'Leave work in progress files\?' alt+y 120
    # The abandoned question closes by itself and the program ends.
    wait_exit 1 120
    stat -c %y "$work/config.yml" >"$out/config_time_1"
    cp "$work/config.yml" "$out/config_1.yml"
    ;;
  close_discard) # TARGET_PLOTTING
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$1" 300
    sleep 1
    close_main
    answer 'Close Veldgrain\?' alt+y
    answer 'Leave work in progress files\?' Escape 120  # No
    wait_exit 1 120
    ;;
  checker) # URI... -- SINGLE_URI
    start_app 1
    shot config
    uris=()
    while [ "$1" != -- ]; do uris+=("$1"); shift; done
    single=$2
    drag "${uris[@]}"
    for _ in $(seq 600); do
      shot list
      has_colour list 400x40+170+410 de1d10 && break
      has_colour list 400x40+170+410 4cd964 && break
    done
    shot list
    drag "$single"                          # the checker screen takes no drop
    shot list_after_drop
    click 89 436                            # Back
    wait_white 30 98 120
    drag "$single"
    sleep 1
    shot single
    click 89 436                            # Back, while it checks
    wait_white 30 98 120                    # a grid cell until the screen changes
    shot back
    drag "$single"                          # a second checker starts
    sleep 0.5
    click 89 436
    close_main
    wait_exit 1 60
    ;;
  checks) # [--auto-resuming] URI... [-- PLOTTING_URI]: each URI dropped and
          # checked on its own, then the unfinished file dropped and resumed
          # to its end (config.yml with resume data first says it resumes)
    start_app 1
    if [ "$1" = --auto-resuming ]; then
      answer Auto-Resuming Escape
      shift
    fi
    drop_x=320 drop_y=40                      # beside the title: no drive list
    n=0
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
      n=$((n + 1))
      drag "$1"
      shift
      for _ in $(seq 600); do                 # until the verdict shows
        shot "check_$n"
        for colour in 4cd964 de1d10 8e44ad; do
          has_colour "check_$n" 400x40+170+410 $colour && break 2
        done
      done
      click 89 436                            # Back
      wait_white 30 98 120
    done
    if [ "${1:-}" = -- ]; then
      drag "$2"
      answer 'Resume\?' alt+y
      wait_window 'Done!' 900 >/dev/null || exit 3
      answer 'Done!' Escape
    fi
    close_main
    wait_exit 1 60
    ;;
  *) fail "unknown scenario $scenario" ;;
esac
exit 0
