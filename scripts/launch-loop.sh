#!/usr/bin/env bash
# Launches the real Korvane again and again, as a trader would, and checks after every launch that
# the start page gets mapped on the X server and taken by the window manager (WM_STATE Normal).
# Each launch signs in through the sign-in window on a fresh home, or starts again on the home of
# the sign-in before, where the stored session is validated at launch. Not part of the test suite.
#   scripts/launch-loop.sh [-n LAUNCHES] [-m signin|stored|mix] [-p LOOPS] [-b BURNERS]
#     -n  launches per loop (20)          -m  what each launch does (mix: sign-in, then stored)
#     -p  loops side by side, each on a virtual desktop of its own (1)
#     -b  CPU burners (busy shell loops) running meanwhile (0)
# Every loop writes one line per launch (ok, BLACK or NOSIGNIN, with each of Korvane's windows:
# id, size, map state, WM_STATE) to its log; the summary counts launches and black ones. A black
# launch keeps its home (Korvane's log, the windows' xwininfo and xprop) under the work directory.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/devserver-url.sh
source "$root/scripts/devserver-url.sh"
build="${KORVANE_BUILD_DIR:-$root/build}"
launches=20 mode=mix loops=1 burners=0 worker="" work=""
while getopts "n:m:p:b:w:d:" option; do
  case "$option" in
    n) launches=$OPTARG ;; m) mode=$OPTARG ;; p) loops=$OPTARG ;; b) burners=$OPTARG ;;
    w) worker=$OPTARG ;; d) work=$OPTARG ;;
    *) sed -n '2,11p' "$0" >&2; exit 2 ;;
  esac
done

pids=()
stop_pids() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }

# One loop: a desktop and stand-in services of its own.
run_loop() {
  dir=$work/loop$worker
  mkdir -p "$dir"
  trap 'stop_pids; KORVANE_VD_DIR="$dir/vd" "$root/scripts/virtual-desktop.sh" stop || true' EXIT
  KORVANE_VD_DIR="$dir/vd" "$root/scripts/virtual-desktop.sh" start >/dev/null
  # shellcheck source=/dev/null
  source "$dir/vd/env"
  "$build/tools/devserver/korvane-devserver" --port 0 --data-dir "$dir/devserver" \
    >"$dir/devserver.log" 2>&1 &
  pids+=($!)
  services=$(devserver_url "$!" "$dir/devserver.log")
  local i home="" kind
  for ((i = 1; i <= launches; i++)); do
    kind=$mode
    [[ $mode == mix ]] && { ((i % 2)) && kind=signin || kind=stored; }
    [[ $kind == signin || -z $home ]] && { kind=signin; home=$dir/home$i; }
    # A stored launch needs the session of a sign-in that went through.
    launch "$i" "$kind" "$home" >>"$dir/launches.log" || home=""
  done
}

# launch <n> <signin|stored> <home>: one launch, one line.
launch() {
  local n=$1 kind=$2 home=$3 korvane verdict
  mkdir -p "$home"
  HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    KORVANE_WEB_URL="$services" KORVANE_RECORDING_API_URL="$services" "$build/src/app/korvane" \
    >"$home/korvane.log" 2>&1 &
  korvane=$!
  verdict=ok
  if [[ $kind == signin ]] && ! sign_in "$korvane" "$home"; then
    verdict=NOSIGNIN
  elif ! start_page_mapped "$korvane"; then
    verdict=BLACK
    windows "$korvane" long >"$home/windows.txt"
    cp -r "$home" "$work/black-$worker-$n"
  fi
  echo "launch $n $kind $verdict$(windows "$korvane")"
  kill "$korvane" 2>/dev/null || true
  wait "$korvane" 2>/dev/null || true
  [[ $verdict != NOSIGNIN ]]
}

# Every window of the process (mapped or not): id WxH map-state WM_STATE, or in long form the
# whole of xwininfo and xprop.
windows() {
  local w
  for w in $(xdotool search --pid "$1" 2>/dev/null); do
    if [[ ${2:-} == long ]]; then
      xwininfo -id "$w"; xprop -len 256 -id "$w"
    else
      printf ' %s:%s:%s:%s' "$w" \
        "$(xwininfo -id "$w" 2>/dev/null | awk '/^ *Width:/ {w=$2} /^ *Height:/ {h=$2} END {print w "x" h}')" \
        "$(xwininfo -id "$w" 2>/dev/null | awk '/Map State:/ {print $3}')" \
        "$(xprop -id "$w" WM_STATE 2>/dev/null | awk '/window state:/ {print $3}')"
    fi
  done
}

# Until the process has a window of that size (mapped or not); prints its id.
window_of_size() {
  local w
  for _ in $(seq 300); do
    for w in $(xdotool search --pid "$1" 2>/dev/null); do
      xwininfo -id "$w" 2>/dev/null | grep -qE "^ *Width: $2\$" &&
        xwininfo -id "$w" 2>/dev/null | grep -qE "^ *Height: $3\$" && { echo "$w"; return 0; }
    done
    sleep 0.1
  done
  return 1
}

sign_in() {
  local w
  w=$(window_of_size "$1" 400 700) || return 1
  for _ in $(seq 100); do xdotool search --onlyvisible --pid "$1" --name '^Korvane$' >/dev/null 2>&1 && break; sleep 0.1; done
  xdotool windowactivate --sync "$w" 2>/dev/null || true
  sleep 0.5
  xdotool type --delay 20 trader || true; xdotool key Return || true
  xdotool type --delay 20 korvane || true; xdotool key Return || true
  for _ in $(seq 200); do grep -q '^cookie=.' "$2/.config/Korvane/Korvane.ini" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

# The start page, viewable and in the window manager's hands within 20 s of being made.
start_page_mapped() {
  local w
  w=$(window_of_size "$1" 234 77) || return 1
  for _ in $(seq 200); do
    xwininfo -id "$w" 2>/dev/null | grep -q 'Map State: IsViewable' &&
      xprop -id "$w" WM_STATE 2>/dev/null | grep -q 'window state: Normal' && return 0
    sleep 0.1
  done
  return 1
}

if [[ -n $worker ]]; then
  run_loop
  exit 0
fi

cmake --build "$build" --target korvane korvane-devserver >/dev/null
work=$(mktemp -d /tmp/korvane-launch-loop.XXXXXX)
trap stop_pids EXIT
for ((b = 0; b < burners; b++)); do
  (while :; do :; done) &
  pids+=($!)
done
loop_pids=()
for ((k = 1; k <= loops; k++)); do
  "$0" -w "$k" -d "$work" -n "$launches" -m "$mode" &
  loop_pids+=($!)
done
for pid in "${loop_pids[@]}"; do
  wait "$pid" || echo "launch-loop: a loop ended early (its directory under $work says why)" >&2
done
cat "$work"/loop*/launches.log >"$work/launches.log"
awk '{ n++ } / BLACK/ { black++ } / NOSIGNIN/ { nosignin++ }
  END { printf "launches %d, black %d, sign-in not completed %d\n", n, black, nosignin }' \
  "$work/launches.log"
echo "logs: $work/launches.log"
