#!/usr/bin/env bash
# Drives the real program with xdotool on the display this runs under (the
# caller starts a private Xvfb), as a person would:
#   e2e_session.sh SCENARIO PROGRAM HELPER WORKDIR OUTDIR [ARGS...]
# The program starts in WORKDIR (its config.yml and log.txt live there).
# Screenshots (PPM), exit statuses and copies of config.yml go to OUTDIR;
# the test checks them. Exit status 3: something did not happen while the
# program stood still for minutes.
set -u
scenario=$1 program=$2 helper=$3 work=$4 out=$5
shift 5
app_pid= frozen=
# A file system a scenario froze is thawed first: a program blocked in a
# write to it could not end.
trap '[ -n "$frozen" ] && fsfreeze -u "$frozen"; [ -n "$app_pid" ] && kill $app_pid 2>/dev/null' EXIT

fail() { echo "e2e: $*" >&2; exit 3; }

# Waits go on while the program gets on with its work, at whatever speed the
# machine allows (a sanitizer build on a loaded machine is many times slower),
# and fail only when nothing has moved for $stall seconds: not the log, the
# settings, any file in the test's folders (a .plotting file grows a batch at
# a time), the screenshot a wait looks at, nor the processor time the program
# uses (every ten seconds of it count: hashing and building GPU kernels use
# it, a program that only redraws its window takes minutes for ten).
stall=${VG_E2E_STALL:-300}
root=$(dirname "$work")
hz=$(getconf CLK_TCK)
last_state= last_move=$SECONDS
wait_begins() { last_move=$SECONDS; }
cpu_tens() {
  [ -n "$app_pid" ] && awk -v hz="$hz" '{ print int(($14 + $15) / hz / 10) }' "/proc/$app_pid/stat" 2>/dev/null
}
# moving [SHOT]: true until nothing has moved for $stall seconds
moving() {
  local state
  state=$({ find "$root" -path "$out" -prune -o -printf '%p %s %T@\n' 2>/dev/null
            [ -n "${1:-}" ] && md5sum <"$out/$1.ppm" 2>/dev/null
            cpu_tens; } | md5sum)
  if [ "$state" != "$last_state" ]; then
    last_state=$state
    last_move=$SECONDS
  fi
  [ $((SECONDS - last_move)) -lt "$stall" ]
}

# A program that could not open the display ended before it did anything
# else (the display is opened first); under a heavy load a fresh private
# server was twice refused a second after it had answered, so such a start
# is tried again, twice at most. Any other early end fails the session.
start_app() { # phase
  local tries=0
  while :; do
    (cd "$work" && exec "$program") >"$out/stdout_$1.txt" 2>"$out/stderr_$1.txt" &
    app_pid=$!
    wait_begins
    wid=
    while moving; do
      wid=$(xdotool search --name '^Veldgrain v' 2>/dev/null | head -1)
      [ -n "$wid" ] && break
      kill -0 "$app_pid" 2>/dev/null || break
      sleep 0.2
    done
    [ -n "$wid" ] && break
    kill -0 "$app_pid" 2>/dev/null && break
    wait "$app_pid" 2>/dev/null
    tries=$((tries + 1))
    if [ $tries -le 2 ] && grep -q "cannot open display" "$out/stderr_$1.txt"; then
      echo "e2e: phase $1: the program could not open the display; starting it again" >&2
      cp "$out/stderr_$1.txt" "$out/stderr_$1.display_$tries.txt"
      sleep 1
      continue
    fi
    fail "program ended before its window opened"
  done
  [ -n "$wid" ] || fail "no main window"
  # Clicks reach the regions of the latest frame: the first one must be
  # on the screen (more than the background's one colour) before any.
  wait_begins
  until painted; do
    running || fail "program ended before its window was drawn"
    moving || fail "the main window was never drawn"
    sleep 0.2
  done
}
painted() {
  xdotool search --onlyvisible --name '^Veldgrain v' >/dev/null 2>&1 &&
    import -window "$wid" -depth 8 "$out/painted.ppm" 2>/dev/null &&
    [ "$(convert "$out/painted.ppm" -format %k info: 2>/dev/null)" -gt 1 ] 2>/dev/null
}
# wait_window TITLE: prints the window's id
wait_window() {
  local id
  wait_begins
  while moving; do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.2
  done
  fail "no window '$1'"
}
# A window not mapped yet refuses the focus (BadMatch): tried again until
# the server says it has it, or keys would go to the window behind.
focused() { xdotool windowfocus "$1" 2>/dev/null && [ "$(xdotool getwindowfocus -f 2>/dev/null)" = "$1" ]; }
# give_focus ID TITLE
give_focus() {
  wait_begins
  until focused "$1"; do
    moving || fail "the dialog '$2' never took the focus"
    sleep 0.1
  done
}
# answer TITLE KEY: the dialog titled TITLE (a regular expression) gets KEY
# and closes
answer() {
  local id
  id=$(wait_window "$1") || exit 3
  give_focus "$id" "$1"
  xdotool key "$2"
  wait_begins
  while moving; do
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || { sleep 0.3; return 0; }
    sleep 0.2
  done
  fail "dialog '$1' stayed open"
}
visible() { xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; }
# press TITLE KEY: the dialog gets KEY, without waiting for it to close (a
# dialog under another one only closes once the one over it has)
press() {
  local id
  id=$(wait_window "$1") || exit 3
  give_focus "$id" "$1"
  xdotool key "$2"
  sleep 0.3
}
# wait_log TEXT COUNT: log.txt holds TEXT at least COUNT times (its lines
# begin with the time)
wait_log() {
  wait_begins
  while moving; do
    [ "$(grep -cF -- "$1" "$work/log.txt" 2>/dev/null)" -ge "$2" ] && return 0
    sleep 0.2
  done
  fail "log line '$1' not there $2 times"
}
# shows_soon TITLE: the dialog shows within a few seconds (for a dialog that
# must not show: its absence is only ever taken as a pass)
shows_soon() {
  for _ in $(seq 15); do
    visible "$1" && return 0
    sleep 0.2
  done
  return 1
}
# answer_until_exit PHASE ERROR_KEY: every dialog that shows until the
# program ends is named in OUTDIR/asked_PHASE and answered: the close and
# keep questions Yes, "Done!" closed, the GPU's "Error" with ERROR_KEY. The
# one over another is answered first.
answer_until_exit() {
  local t
  wait_begins
  while running && moving; do
    for t in 'Done!' Error 'Leave work in progress files\?' 'Close Veldgrain\?'; do
      visible "$t" || continue
      echo "$t" >>"$out/asked_$1"
      case $t in
        'Done!') answer "$t" Escape ;;
        Error) answer "$t" "$2" ;;
        *) answer "$t" alt+y ;;
      esac
      break
    done
    sleep 0.2
  done
  wait_exit "$1"
}
click() { xdotool mousemove --window "$wid" "$1" "$2" click 1; sleep 0.3; }
shot() { sleep 0.6; import -window "$wid" -depth 8 "$out/$1.ppm"; }
close_main() { "$helper" close "$wid"; sleep 0.5; }
# wait_exit PHASE: the program's exit status into OUTDIR/exit_PHASE
wait_exit() {
  wait_begins
  while kill -0 "$app_pid" 2>/dev/null && moving; do sleep 0.2; done
  kill -0 "$app_pid" 2>/dev/null && fail "program still running"
  wait "$app_pid"
  echo $? >"$out/exit_$1"
  app_pid=
}
wait_file() { # PATH
  wait_begins
  while moving; do
    [ -e "$1" ] && return 0
    sleep 0.2
  done
  fail "no file $1"
}
# wait_marker PATH: a batch has been written and left its resume marker in
# the file's last sector (zeros until then)
wait_marker() {
  wait_begins
  while moving; do
    [ "$(tail -c 16384 "$1" 2>/dev/null | tr -d '\0' | wc -c)" -gt 0 ] && return 0
    sleep 0.2
  done
  fail "no resume marker in $1"
}
running() { kill -0 "$app_pid" 2>/dev/null; }
start_plotting() { click 551 436; }
# The processing screen's "Pause": the batch being hashed is finished and
# written, no other is started.
pause() { click 577 465; }
# drag URI...: drags the URIs from the helper's window onto the main window,
# dropping them at (drop_x, drop_y) (on the SSD list unless set otherwise)
drop_x=300 drop_y=250
drag() {
  "$helper" drag "$@" >"$out/drag.txt" 2>&1 &
  local hp=$!
  local src
  src=$(wait_window "Drag source") || exit 3
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
  wait_begins
  while kill -0 $hp 2>/dev/null && moving; do sleep 0.1; done
  # The source's drag ends once the program has finished the drop, also
  # when what was dropped asks a question.
  kill -0 $hp 2>/dev/null && { kill $hp; fail "the drop was never finished"; }
  wait $hp 2>/dev/null
  sleep 0.5
}
# wait_white X Y: the window's pixel at (X, Y) turns white
wait_white() {
  wait_begins
  while shot white && moving white; do
    [ "$(convert "$out/white.ppm" -depth 8 -format "%[hex:p{$1,$2}]" info:)" = FFFFFF ] && return 0
  done
  fail "pixel $1,$2 did not turn white"
}
# wait_cells SHOT: screenshots until the checker's grid cells cover more
# than 100000 of the 590 x 300 pixels at (24, 74)
wait_cells() {
  local white
  wait_begins
  while shot "$1" && moving "$1"; do
    white=$(convert "$out/$1.ppm" -crop 590x300+24+74 +repage -fill black +opaque white \
              -format "%[fx:int(mean*w*h+0.5)]" info: 2>/dev/null)
    [ -n "$white" ] && [ $((590 * 300 - white)) -gt 100000 ] && return 0
  done
  fail "the checker's grid never filled its view"
}
# has_colour SHOT WxH+X+Y HEX: the area holds a pixel of that colour
has_colour() {
  convert "$out/$1.ppm" -crop "$2" +repage -unique-colors txt:- | grep -qi "#$3"
}
# wait_verdict SHOT: screenshots until the checker's verdict shows in one of
# its colours
wait_verdict() {
  local colour
  wait_begins
  while shot "$1" && moving "$1"; do
    for colour in 4cd964 de1d10 8e44ad; do
      has_colour "$1" 400x40+170+410 $colour && return 0
    done
  done
  fail "no verdict"
}

case $scenario in
  first_start)
    start_app 1
    shot first
    close_main
    wait_exit 1
    ;;
  unconfirmed_account) # an account typed at the prompt, never confirmed
    start_app 1
    click 380 231                            # "No": the account prompt
    sleep 0.5
    xdotool type --delay 20 1028
    sleep 0.5
    shot typed
    close_main
    wait_exit 1
    ;;
  unreadable_config) # config.yml cannot be loaded: told at start, kept
    start_app 1
    answer 'Settings not loaded' Escape
    shot after_message
    close_main
    wait_exit 1
    ;;
  unwritable_folder) # log.txt and config.yml cannot be written in WORKDIR:
    # told before anything else, and Start refused with the reason
    start_app 1
    answer 'Working folder not writable' Escape
    answer Auto-Resuming Escape
    start_plotting
    wait_window 'Plotting not started' >/dev/null || exit 3
    shot refused
    answer 'Plotting not started' Escape
    close_main
    answer 'Settings not saved' Escape       # nor are they at close
    wait_exit 1
    ;;
  complete_run) # a resume-free plan is on the configuration screen
    start_app 1
    answer Auto-Resuming Escape
    shot config
    start_plotting
    wait_window 'Done!' >/dev/null || exit 3
    # What a power cut while "Done!" waits would leave.
    cp "$work/config.yml" "$out/config_done.yml"
    shot done_dialog
    answer 'Done!' Escape
    shot summary
    close_main
    wait_exit 1
    ;;
  complete_run_gpu) # STAND_IN_OPENCL_DIR KERNEL_GROUP_LIMIT: the stored plan
    # plotted on the GPU (PoCL) whose kernels allow smaller work groups than
    # the device reports
    export VG_TEST_OPENCL_CPU=1 LD_LIBRARY_PATH="$1" VG_E2E_KERNEL_GROUP_LIMIT="$2"
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    id=$(wait_window '(Done!|Error initializing GPU|Error)') || exit 3
    name=$(xdotool getwindowname "$id")
    shot end_dialog
    [ "$name" = 'Done!' ] || fail "the run ended in '$name' instead of 'Done!'"
    answer 'Done!' Escape
    close_main
    wait_exit 1
    ;;
  target_fills_during_move) # STAGED_PLOTTING TARGET_MOUNT_POINT: the target's
    # file system is filled while the file is still plotted on the SSD (the
    # run paused meanwhile); its move or scatter waits for space instead of
    # ending the run, and goes on once space is freed
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$1"
    pause
    dd if=/dev/zero of="$2/filler" bs=1M 2>/dev/null
    sync
    pause                                    # Resume
    wait_log 'is waiting for free space on' 1
    shot waiting
    running || fail "the program ended at the full target"
    rm -f "$2/filler"
    wait_window 'Done!' >/dev/null || exit 3
    answer 'Done!' Escape
    close_main
    wait_exit 1
    ;;
  pause_on_last_batch) # TARGET_PLOTTING: paused while the file's last batch
    # is hashed; the file is finished and the run ends while paused
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$1"
    wait_marker "$1"
    pause
    wait_log 'Plotting paused' 1
    wait_file "${1%.plotting}"
    wait_window 'Done!' >/dev/null || exit 3
    answer 'Done!' Escape
    close_main
    wait_exit 1
    ;;
  start_refused) # Start is refused by the plan with an error, told once
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_window Error >/dev/null || exit 3
    shot refused
    answer Error Escape
    wait_exit 1
    ;;
  close_keep) # TARGET_PLOTTING
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$1"
    wait_marker "$1"
    pause
    shot processing
    close_main
    answer 'Close Veldgrain\?' Escape     # No: the window stays
    sleep 1
    running || fail "closed after No"
    echo running >"$out/after_no"
    close_main
    answer 'Close Veldgrain\?' alt+y
    answer 'Leave work in progress files\?' alt+y
    wait_exit 1
    cp "$work/config.yml" "$out/config_1.yml"
    ls -l "$(dirname "$1")" >"$out/files_1.txt"
    start_app 2
    answer Auto-Resuming Escape
    shot resumed_config
    start_plotting
    wait_window 'Done!' >/dev/null || exit 3
    answer 'Done!' Escape
    close_main
    wait_exit 2
    ;;
  disk_fails) # TARGET_PLOTTING IMAGE DEVICE MOUNT_POINT
    # The target's disk fails (its loop device's backing file made
    # immutable: EIO on every write) once a batch is behind its marker; the
    # error is told and the program ends. The disk works again, and the next
    # start resumes the run to its end.
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$1" 300
    wait_marker "$1" 600
    chattr +i "$2"
    wait_window Error 600 >/dev/null || exit 3
    shot error_dialog
    answer Error Escape
    wait_exit 1 120
    cp "$work/config.yml" "$out/config_1.yml"
    chattr -i "$2"
    umount "$4" && mount "$3" "$4" || fail "remount of $4"
    start_app 2
    answer Auto-Resuming Escape
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
    wait_file "$2"
    wait_marker "$2"
    touch "$VG_E2E_GPU_FAIL"
    wait_window Error >/dev/null || exit 3
    shot question
    stat -c %y "$work/config.yml" >"$out/config_time_0"
    close_main
    answer 'Close Veldgrain\?' alt+y
    answer 'Leave work in progress files\?' alt+y
    # The abandoned question closes by itself and the program ends.
    wait_exit 1
    stat -c %y "$work/config.yml" >"$out/config_time_1"
    cp "$work/config.yml" "$out/config_1.yml"
    ;;
  gpu_question_no) # FAILING_OPENCL_DIR TARGET_PLOTTING
    # The GPU breaks after the first batch and the user does not want the
    # CPU to take over.
    export VG_TEST_OPENCL_CPU=1 LD_LIBRARY_PATH="$1" VG_E2E_GPU_FAIL="$work/gpu_fail"
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$2"
    wait_marker "$2"
    touch "$VG_E2E_GPU_FAIL"
    answer Error Escape                       # No
    wait_exit 1
    ;;
  close_then_gpu_question) # FAILING_OPENCL_DIR TARGET_PLOTTING ERROR_KEY
    # "Close Veldgrain?" is open when the GPU breaks and the work thread asks
    # whether to fall back to the CPU; the close is confirmed, the files
    # kept. A fall-back question that shows is answered with ERROR_KEY.
    export VG_TEST_OPENCL_CPU=1 LD_LIBRARY_PATH="$1" VG_E2E_GPU_FAIL="$work/gpu_fail"
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$2"
    wait_marker "$2"
    close_main
    wait_window 'Close Veldgrain\?' >/dev/null || exit 3
    stat -c %y "$work/config.yml" >"$out/config_time_0"
    touch "$VG_E2E_GPU_FAIL"
    # The context made again after the first failure fails too; the
    # question follows the second attempt at once.
    wait_log 'Attempting to recover from GPU failure.' 2
    shows_soon Error && echo Error >"$out/over_close"
    shot close_question
    press 'Close Veldgrain\?' alt+y
    answer_until_exit 1 "$3"
    stat -c %y "$work/config.yml" >"$out/config_time_1"
    cp "$work/config.yml" "$out/config_1.yml"
    ;;
  gpu_question_then_close) # FAILING_OPENCL_DIR TARGET_PLOTTING ERROR_KEY
    # The fall-back question is open when the window is closed; once the
    # close is confirmed, and before the files are said to be kept, the
    # question is answered with ERROR_KEY.
    export VG_TEST_OPENCL_CPU=1 LD_LIBRARY_PATH="$1" VG_E2E_GPU_FAIL="$work/gpu_fail"
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$2"
    wait_marker "$2"
    touch "$VG_E2E_GPU_FAIL"
    wait_window Error >/dev/null || exit 3
    stat -c %y "$work/config.yml" >"$out/config_time_0"
    close_main
    answer 'Close Veldgrain\?' alt+y
    wait_window 'Leave work in progress files\?' >/dev/null || exit 3
    # Answered, it closes once the question over it has.
    press Error "$3"
    answer 'Leave work in progress files\?' alt+y
    answer_until_exit 1 "$3"
    stat -c %y "$work/config.yml" >"$out/config_time_1"
    cp "$work/config.yml" "$out/config_1.yml"
    ;;
  finish_during_close) # TARGET_PLOTTING MOUNT_POINT CLOSE_KEY
    # The target's file system is frozen once the file is there, so that the
    # run is still on when "Close Veldgrain?" opens; thawed, the run
    # finishes while the question waits, which is then answered CLOSE_KEY.
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$1"
    fsfreeze -f "$2" || fail "fsfreeze of $2"
    frozen=$2
    [ -e "${1%.plotting}" ] && fail "the run finished before the freeze"
    close_main
    wait_window 'Close Veldgrain\?' >/dev/null || exit 3
    fsfreeze -u "$2"
    frozen=
    wait_file "${1%.plotting}"
    wait_log 'Work thread ended' 1
    shot close_question
    # "Done!" over the question takes the keys: it is closed first.
    if shows_soon 'Done!'; then
      echo 'Done!' >"$out/over_close"
      answer 'Done!' Escape
    fi
    answer 'Close Veldgrain\?' "$3"
    if [ "$3" != alt+y ]; then
      # The window stays, and now the end of the run is told.
      [ -e "$out/over_close" ] || { wait_window 'Done!' >/dev/null || exit 3; answer 'Done!' Escape; }
      close_main
    fi
    answer_until_exit 1 Escape
    ;;
  close_discard) # TARGET_PLOTTING
    start_app 1
    answer Auto-Resuming Escape
    start_plotting
    wait_file "$1"
    pause
    close_main
    answer 'Close Veldgrain\?' alt+y
    answer 'Leave work in progress files\?' Escape  # No
    wait_exit 1
    ;;
  checker) # URI... -- SINGLE_URI
    start_app 1
    shot config
    uris=()
    while [ "$1" != -- ]; do uris+=("$1"); shift; done
    single=$2
    drag "${uris[@]}"
    wait_verdict list
    shot list
    drag "$single"                          # the checker screen takes no drop
    shot list_after_drop
    click 89 436                            # Back
    wait_white 30 98
    drag "$single"
    wait_cells single                       # the grid fills as it checks
    shot single
    click 89 436                            # Back, while it checks
    wait_white 30 98                        # a grid cell until the screen changes
    shot back
    drag "$single"                          # a second checker starts
    sleep 0.5
    close_main                              # and the window closes during it
    wait_exit 1
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
      wait_verdict "check_$n"
      click 89 436                            # Back
      wait_white 30 98
    done
    if [ "${1:-}" = -- ]; then
      drag "$2"
      answer 'Resume\?' alt+y
      wait_window 'Done!' >/dev/null || exit 3
      answer 'Done!' Escape
    fi
    close_main
    wait_exit 1
    ;;
  *) fail "unknown scenario $scenario" ;;
esac
exit 0
