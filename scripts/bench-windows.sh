#!/usr/bin/env bash
# What each window costs while it is shown: Korvane's CPU (% of one core) and resident memory on
# a private virtual desktop (software rendering), for the launch window, the sign-in window idle
# and while signing in, the start page, the preparation page and the countdown; then a whole
# session (recording bar, inactivity reminder, post-session window) recorded from a moving
# pattern, compared with the capture benchmark's recorder alone on the same pattern in the same
# run. The session lasts over six minutes: the first reminder of a silent recording comes then.
#   scripts/bench-windows.sh        (builds korvane, the stand-in services and capture_bench first)
# Targets: idle windows at most 1 %, animated ones at most 15 %, resident memory under 200 MB;
# the recording bar's own cost at most 2 % while recording; the whole session's CPU per recorded
# second at most 5 % over the recorder alone.
#   KORVANE_BENCH_SHOTS=DIR   also saves a screenshot of each measured window there
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/devserver-url.sh
source "$root/scripts/devserver-url.sh"
build="${KORVANE_BUILD_DIR:-$root/build}"
window_seconds="${KORVANE_BENCH_SECONDS:-10}"
cmake --build "$build" --target korvane korvane-devserver capture_bench >/dev/null

work=$(mktemp -d /tmp/korvane-bench-windows.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  KORVANE_VD_DIR="$work/vd" "$root/scripts/virtual-desktop.sh" stop || true
  rm -rf "$work"
}
trap cleanup EXIT

# Exported: the capture benchmark finds the desktop's X server through it.
export KORVANE_VD_DIR="$work/vd"
"$root/scripts/virtual-desktop.sh" start >/dev/null
# shellcheck source=/dev/null
source "$work/vd/env"

"$build/tools/devserver/korvane-devserver" --port 0 --data-dir "$work/devserver" \
  >"$work/devserver.log" 2>&1 &
pids+=($!)
services=$(devserver_url "$!" "$work/devserver.log")

# A web application that takes every connection and never answers: the launch window's
# validation and a sign-in stay pending for as long as we measure.
python3 - "$work/silent.port" <<'PY' &
import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(16)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
held = []
while True:
    held.append(s.accept()[0])
PY
pids+=($!)
for _ in $(seq 50); do [[ -s "$work/silent.port" ]] && break; sleep 0.1; done
silent="http://127.0.0.1:$(cat "$work/silent.port")"

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# The threads that draw the windows: the GUI thread and Qt Quick's render thread, if any. The
# recorder's own threads are left out, so this shows what a window costs beside a recording.
gui_ticks() {
  cat "/proc/$1/task/"*/stat 2>/dev/null |
    awk '$2 == "(korvane)" || $2 == "(QSGRenderThread)" { t += $14 + $15 } END { print t + 0 }'
}
rss_mb() { awk '/^VmRSS/ {printf "%.0f", $2 / 1024}' "/proc/$1/status"; }

printf '%-28s %8s %8s %8s %8s\n' window "CPU %" target ratio "RSS MB"
# row <label> <CPU %> <target %> [RSS MB]
row() {
  awk -v l="$1" -v c="$2" -v g="$3" -v r="${4:-}" \
      'BEGIN { printf "%-28s %8.1f %8.0f %8.2f %8s\n", l, c, g, c / g, r }'
}
# measure <label> <pid> <seconds> <target %>; leaves the CPU % in $measured.
measure() {
  local label=$1 pid=$2 seconds=$3 target=$4 before after
  if [[ -n "${KORVANE_BENCH_SHOTS:-}" ]]; then
    mkdir -p "$KORVANE_BENCH_SHOTS"
    import -window root "$KORVANE_BENCH_SHOTS/${label// /-}.png"
  fi
  before=$(cpu_ticks "$pid")
  gui_before=$(gui_ticks "$pid")
  sleep "$seconds"
  after=$(cpu_ticks "$pid")
  gui_after=$(gui_ticks "$pid")
  measured=$(awk -v d=$((after - before)) -v t="$ticks" -v s="$seconds" 'BEGIN { print 100 * d / t / s }')
  gui_measured=$(awk -v d=$((gui_after - gui_before)) -v t="$ticks" -v s="$seconds" 'BEGIN { print 100 * d / t / s }')
  row "$label" "$measured" "$target" "$(rss_mb "$pid")"
}

# start_korvane <home> <web address>: a private home, so no stored state leaks between runs.
start_korvane() {
  mkdir -p "$1"
  HOME="$1" XDG_CONFIG_HOME="$1/.config" XDG_DATA_HOME="$1/.local/share" \
    KORVANE_WEB_URL="$2" KORVANE_RECORDING_API_URL="$services" "$build/src/app/korvane" \
    >"$1/korvane.log" 2>&1 &
  korvane=$!
  pids+=("$korvane")
}
stop_korvane() { kill "$korvane" 2>/dev/null || true; wait "$korvane" 2>/dev/null || true; }
# The sign-in window is the one window with a title.
await_sign_in() {
  for _ in $(seq 100); do
    xdotool search --name '^Korvane$' >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "bench-windows: the sign-in window did not open" >&2
  exit 1
}
sign_in() {
  xdotool search --name '^Korvane$' windowactivate --sync 2>/dev/null || true
  sleep 0.5
  xdotool type --delay 20 trader; xdotool key Return
  xdotool type --delay 20 korvane; xdotool key Return
}
# frames: "x y width height" of each visible window of Korvane's. Windows are told apart by their
# sizes, which the QML fixes: the main window's pages carry no name X's own search matches.
# Positions are xwininfo's, inside any frame the window manager adds.
frames() {
  for w in $(xdotool search --onlyvisible --pid "$korvane" 2>/dev/null); do
    xwininfo -id "$w" 2>/dev/null | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4}
      /^ *Width:/ {w=$2} /^ *Height:/ {h=$2} END {print x, y, w, h}'
  done
}
# settled <width> <height> [bottom edge]: prints "x y" of Korvane's window of that size once it is
# in place: its bottom edge where given, and not moved over three looks in a row (the
# windows slide in, and some are moved again once shown).
settled() {
  local last="" looks=0 now
  for _ in $(seq 150); do
    now=$(frames | awk -v w="$1" -v h="$2" -v b="${3:-}" \
            '$3 == w && $4 == h && (b == "" || $2 + h == b) {print $1, $2; exit}')
    if [[ -n "$now" && "$now" == "$last" ]]; then looks=$((looks + 1)); else looks=0; fi
    last=$now
    if ((looks >= 2)); then echo "$now"; return 0; fi
    sleep 0.1
  done
  echo "bench-windows: no window of $1x$2 in place" >&2
  return 1
}
# await_gone <width> <height>: until Korvane shows no window of that size.
await_gone() {
  for _ in $(seq 150); do
    frames | awk -v w="$1" -v h="$2" '$3 == w && $4 == h {found = 1} END {exit !found}' ||
      return 0
    sleep 0.1
  done
  echo "bench-windows: the window of $1x$2 did not close" >&2
  return 1
}
# click_in <"x y" of a window> <dx> <dy>: clicks inside the window, where its QML puts a control.
click_in() {
  local x y
  read -r x y <<<"$1"
  xdotool mousemove --sync $((x + $2)) $((y + $3)) click 1
}
# Windows are found by their size. The start card and the preparation page sit in the
# bottom-right corner, the pickers beside the page, the content picker centred.
start_card() { settled 234 77; }
# open_preparation_page: leaves the page's place in $page.
open_preparation_page() {
  local card
  card=$(start_card)
  click_in "$card" 117 38
  page=$(settled 405 390)
}
# choose_display_and_microphone <row>: the whole display, then the microphone of that row (1: the
# silent one, 2: the sine headset); Start is left to the caller.
choose_display_and_microphone() {
  local picker content microphones
  click_in "$page" 203 113                             # the source card
  picker=$(settled 378 280)
  click_in "$picker" 189 132                           # "Full screen"
  content=$(settled 600 620)
  click_in "$content" 160 150                          # the display
  click_in "$content" 528 582                          # Share
  await_gone 600 620
  click_in "$page" 135 182                             # the microphone card
  local x y
  read -r x y <<<"$page"
  microphones=$(settled 378 330 $((y + 390)))
  click_in "$microphones" 185 $((117 + 69 * ($1 - 1)))
  await_gone 378 330
}
press_start() { click_in "$page" 203 250; }

# 1. The launch window, validating a stored session that never gets an answer.
mkdir -p "$work/a/.config/Korvane"
printf '[General]\ncookie=sessionid=bench\nuserID=7\n' >"$work/a/.config/Korvane/Korvane.ini"
start_korvane "$work/a" "$silent"
sleep 1.5
measure "launch window" "$korvane" "$window_seconds" 15
stop_korvane

# 2. The sign-in window, idle and then signing in against a web application that never answers.
start_korvane "$work/b" "$silent"
await_sign_in
sleep 3
measure "sign-in idle" "$korvane" "$window_seconds" 1
sign_in
sleep 0.5
measure "sign-in while signing in" "$korvane" "$window_seconds" 15
stop_korvane

# 3. A real sign-in, then the start page, the preparation page and the countdown.
start_korvane "$work/c" "$services"
await_sign_in
sign_in
start_card >/dev/null
measure "start page" "$korvane" "$window_seconds" 1
open_preparation_page
measure "preparation page" "$korvane" "$window_seconds" 1
choose_display_and_microphone 2
press_start
sleep 0.3
# The countdown lasts four seconds: measured over the 3.5 s it is sure to be up.
measure "countdown" "$korvane" 3.5 15
stop_korvane

# 4. A whole session. The display shows the capture benchmark's moving pattern (drawn by another
# process, so it is not counted), and the microphone is the silent one, so the inactivity
# reminder comes after five minutes of recording. Every figure is the whole process: a window's
# own cost is what it adds to what was running before it opened.
moving_pattern() {
  python3 - <<'PY' &
import tkinter as tk
root = tk.Tk()
root.title("bench pattern")
root.geometry("1920x1080+0+0")
canvas = tk.Canvas(root, width=1920, height=1080, bg="#202428", highlightthickness=0)
canvas.pack()
box = canvas.create_rectangle(0, 0, 220, 160, fill="#2fbf71", width=0)
for x in range(0, 1920, 160):
    canvas.create_rectangle(x, 0, x + 1, 1080, fill="#2fbf71", width=0)
step = 0
def tick():
    global step
    x, y = (step * 12) % 1700, 200 + (step * 5) % 600
    canvas.coords(box, x, y, x + 220, y + 160)
    step += 1
    root.after(16, tick)
tick()
root.mainloop()
PY
  pattern=$!
  pids+=("$pattern")
}
# await_window <name pattern> <seconds>
await_window() {
  local tries
  tries=$(awk -v s="$2" 'BEGIN { print int(s * 10) }')
  for _ in $(seq "$tries"); do
    xdotool search --name "$1" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "bench-windows: no window named $1 after $2 s" >&2
  exit 1
}
# The name of the first upload the stand-in services hold whole, once one is.
await_upload() {
  for _ in $(seq 600); do
    local finished
    finished=$(python3 - "$work/devserver/state.json" <<'PY' 2>/dev/null || true
import json, sys
for id, up in json.load(open(sys.argv[1])).get("uploads", {}).items():
    if up["total_chunks"] > 0 and up["next_chunk"] >= up["total_chunks"]:
        print(id + ".mp4")
        break
PY
)
    if [[ -n "$finished" ]]; then
      echo "$finished"
      return 0
    fi
    sleep 0.1
  done
  echo "bench-windows: the upload did not complete" >&2
  exit 1
}

start_korvane "$work/d" "$services"
await_sign_in
sign_in
open_preparation_page
choose_display_and_microphone 1
session_before=$(cpu_ticks "$korvane")
press_start
sleep 0.5
moving_pattern
await_window '^RecordingBarWindow' 15
recording_began=$SECONDS
sleep 5
measure "recording bar (process)" "$korvane" 60 100
bar_process=$measured
bar_gui=$gui_measured
# The first reminder comes about six minutes into a silent recording.
await_window '^InactivityReminderWindow' $((400 - (SECONDS - recording_began)))
sleep 0.5                  # its slide into the corner
# It closes itself five seconds after it appeared.
measure "reminder (process)" "$korvane" 3.5 100
reminder_process=$measured
reminder_gui=$gui_measured
sleep 2
bar=$(settled 355 52)
click_in "$bar" 46 26      # Stop, the bar's first control
sleep 0.3
measure "post-session collecting" "$korvane" 2.5 15
upload=$(await_upload)
session_after=$(cpu_ticks "$korvane")
sleep 4                    # the card shrinks into the corner
measure "post-session completed" "$korvane" "$window_seconds" 1
recorded=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$work/devserver/$upload")
stop_korvane
kill "$pattern" 2>/dev/null || true
wait "$pattern" 2>/dev/null || true

# 5. The recorder alone, on the same desktop with the same pattern: the capture benchmark.
recorder_seconds="${KORVANE_BENCH_RECORDER_SECONDS:-60}"
capture=$("$build/bench/capture_bench" --seconds "$recorder_seconds")
recorder=$(sed -n 's/.*Korvane \([0-9.]*\), ffmpeg \([0-9.]*\).*/\1/p' <<<"$capture")
ffmpeg=$(sed -n 's/.*Korvane \([0-9.]*\), ffmpeg \([0-9.]*\).*/\2/p' <<<"$capture")
[[ -n "$recorder" ]] || { echo "bench-windows: capture_bench printed no figure" >&2; exit 1; }
session=$(awk -v d=$((session_after - session_before)) -v t="$ticks" -v s="$recorded" 'BEGIN { print d / t / s }')

echo
echo "Against the recorder alone (capture_bench, ${recorder_seconds} s; % of one core)"
row "recorder alone" "$(awk -v r="$recorder" 'BEGIN { print 100 * r }')" 100
row "recording bar (own)" "$(awk -v b="$bar_process" -v r="$recorder" 'BEGIN { print b - 100 * r }')" 2
row "reminder (own)" "$(awk -v m="$reminder_process" -v b="$bar_process" 'BEGIN { print m - b }')" 15
echo "The drawing threads alone (GUI and render threads; the recorder's threads left out)"
row "recording bar (GUI threads)" "$bar_gui" 2
row "reminder (own, GUI threads)" "$(awk -v m="$reminder_gui" -v b="$bar_gui" 'BEGIN { print m - b }')" 15
echo
printf '%-28s %8s %8s %8s\n' "CPU s per recorded second" value "target" ratio
awk -v s="$session" -v r="$recorder" -v f="$ffmpeg" -v d="$recorded" 'BEGIN {
  printf "%-28s %8.3f\n", "recorder alone", r
  printf "%-28s %8.3f %8s\n", "ffmpeg (peer)", f, "-"
  printf "%-28s %8.3f %8.3f %8.3f   (%.0f s recorded; %.2f x ffmpeg)\n", "whole session", s, 1.05 * r, s / r, d, s / f
}'
