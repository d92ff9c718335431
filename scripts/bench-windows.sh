#!/usr/bin/env bash
# What each window costs while it is shown: Korvane's CPU (% of one core) and resident memory on
# a private virtual desktop (software rendering), for the launch window, the sign-in window idle
# and while signing in, the start page, the preparation page and the countdown.
#   scripts/bench-windows.sh        (builds korvane and the stand-in services first)
# Targets: idle windows at most 1 %, animated ones at most 15 %, resident memory under 200 MB.
#   KORVANE_BENCH_SHOTS=DIR   also saves a screenshot of each measured window there
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/devserver-url.sh
source "$root/scripts/devserver-url.sh"
build="${KORVANE_BUILD_DIR:-$root/build}"
window_seconds="${KORVANE_BENCH_SECONDS:-10}"
cmake --build "$build" --target korvane korvane-devserver >/dev/null

work=$(mktemp -d /tmp/korvane-bench-windows.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  KORVANE_VD_DIR="$work/vd" "$root/scripts/virtual-desktop.sh" stop || true
  rm -rf "$work"
}
trap cleanup EXIT

KORVANE_VD_DIR="$work/vd" "$root/scripts/virtual-desktop.sh" start >/dev/null
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
rss_mb() { awk '/^VmRSS/ {printf "%.0f", $2 / 1024}' "/proc/$1/status"; }

printf '%-28s %8s %8s %8s %8s\n' window "CPU %" target ratio "RSS MB"
# measure <label> <pid> <seconds> <target %>
measure() {
  local label=$1 pid=$2 seconds=$3 target=$4 before after
  if [[ -n "${KORVANE_BENCH_SHOTS:-}" ]]; then
    mkdir -p "$KORVANE_BENCH_SHOTS"
    import -window root "$KORVANE_BENCH_SHOTS/${label// /-}.png"
  fi
  before=$(cpu_ticks "$pid")
  sleep "$seconds"
  after=$(cpu_ticks "$pid")
  awk -v l="$label" -v d=$((after - before)) -v t="$ticks" -v s="$seconds" -v g="$target" \
      -v r="$(rss_mb "$pid")" \
      'BEGIN { c = 100 * d / t / s; printf "%-28s %8.1f %8.0f %8.2f %8s\n", l, c, g, c / g, r }'
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
click() { xdotool mousemove "$1" "$2" click 1; }

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
sleep 2
measure "start page" "$korvane" "$window_seconds" 1
# The positions below are where these windows come up on the virtual desktop's 1920 x 1080
# screen: the start card and the preparation page at the bottom-right corner, the pickers beside
# the page, our content picker centred.
click 1793 1031            # the start card
sleep 1.5
measure "preparation page" "$korvane" "$window_seconds" 1
click 1708 793             # the source card
sleep 1.5
click 1296 802             # "Full screen"
sleep 2
click 820 400              # the display in our content picker
sleep 0.5
click 1188 810             # Share
sleep 1.5
click 1640 862             # the microphone card
sleep 1.5
click 1300 962             # the second microphone
sleep 1.5
click 1708 930             # Start
sleep 0.3
# The countdown lasts four seconds: measured over the 3.5 s it is sure to be up.
measure "countdown" "$korvane" 3.5 15
stop_korvane
