#!/usr/bin/env bash
# Builds Korvane and runs it against the bundled stand-in services, which start with demo
# credentials (printed below). Without a usable display, Korvane runs on a private virtual
# desktop (Xvfb, openbox, PulseAudio with a sine microphone), whose screen is saved as a PNG
# every two seconds. Ctrl+C (or closing Korvane's last window) stops everything. The stand-in
# services keep their sessions and uploaded videos in ~/.local/share/korvane-devserver, so a
# sign-in stored by one run is still valid in the next.
#   KORVANE_DEVSERVER_PORT   port of the stand-in services (default 8080; 0 picks a free one)
#   KORVANE_HEADLESS=1       use the virtual desktop even when a display is there
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/devserver-url.sh
source "$root/scripts/devserver-url.sh"
port="${KORVANE_DEVSERVER_PORT:-8080}"
build="$root/build"
# Korvane keeps its stored sign-in in ~/.config across runs; the services that issued it must too.
data="${XDG_DATA_HOME:-$HOME/.local/share}/korvane-devserver"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target korvane korvane-devserver

work="$(mktemp -d /tmp/korvane-run.XXXXXX)"
devserver_pid=""
korvane_pid=""
shots_pid=""
desktop_started=""
cleanup() {
  # Korvane first, while its display is still there.
  if [[ -n "$korvane_pid" ]] && kill -0 "$korvane_pid" 2>/dev/null; then
    kill "$korvane_pid" 2>/dev/null || true
    wait "$korvane_pid" 2>/dev/null || true
  fi
  [[ -n "$shots_pid" ]] && kill "$shots_pid" 2>/dev/null || true
  [[ -n "$devserver_pid" ]] && kill "$devserver_pid" 2>/dev/null || true
  if [[ -n "$desktop_started" ]]; then
    KORVANE_VD_DIR="$work/desktop" "$root/scripts/virtual-desktop.sh" stop || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

display_answers() {
  [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1
}

if [[ "${KORVANE_HEADLESS:-0}" == 1 ]] || ! display_answers; then
  mkdir -p "$work/desktop"
  KORVANE_VD_DIR="$work/desktop" "$root/scripts/virtual-desktop.sh" start
  desktop_started=1
  # shellcheck disable=SC1091
  source "$work/desktop/env"
  screen="$work/screen.png"
  (while true; do import -window root "$screen.tmp.png" 2>/dev/null && mv -f "$screen.tmp.png" "$screen"; sleep 2; done) &
  shots_pid=$!
  echo
  echo "No display to show Korvane on: it runs on a virtual desktop ($DISPLAY)."
  echo "Its screen is saved every 2 seconds to $screen"
  echo "To type or click there:  DISPLAY=$DISPLAY xdotool type 'trader'"
  echo
fi

"$build/tools/devserver/korvane-devserver" --port "$port" --data-dir "$data" >"$work/devserver.log" 2>&1 &
devserver_pid=$!
url=$(devserver_url "$devserver_pid" "$work/devserver.log")
cat "$work/devserver.log"
echo

export KORVANE_WEB_URL="$url" KORVANE_RECORDING_API_URL="$url"
echo "Starting Korvane against $url"
"$build/src/app/korvane" &
korvane_pid=$!
wait "$korvane_pid"
