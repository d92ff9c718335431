#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh            normal build in build/
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   scripts/test.sh --tsan     ThreadSanitizer, in build-tsan/
# Extra arguments after "--" go to ctest (for example: -- -R Api).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
cmake_args=(-DKORVANE_BUILD_TESTS=ON -DKORVANE_BUILD_BENCH=ON)
ctest_args=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --asan) build="$root/build-asan"; cmake_args+=(-DKORVANE_ASAN=ON -DKORVANE_BUILD_BENCH=OFF) ;;
    --tsan) build="$root/build-tsan"; cmake_args+=(-DKORVANE_TSAN=ON -DKORVANE_BUILD_BENCH=OFF)
            export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp halt_on_error=0 ${TSAN_OPTIONS:-}" ;;
    --) shift; ctest_args+=("$@"); break ;;
    *) echo "test.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

"$root/scripts/install-deps.sh"

cmake -S "$root" -B "$build" -G Ninja "${cmake_args[@]}"
cmake --build "$build"

# The stand-in services, on a free loopback port, for the integration tests.
work=$(mktemp -d /tmp/korvane-test.XXXXXX)
server_pid=""
cleanup() {
  [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  KORVANE_VD_DIR="$work/vd" "$root/scripts/virtual-desktop.sh" stop || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/devserver/korvane-devserver" --port 0 --data-dir "$work/devserver" >"$work/devserver.log" 2>&1 &
server_pid=$!
url=""
for _ in $(seq 100); do
  url=$(grep -oE 'listening on http://[0-9.]+:[0-9]+' "$work/devserver.log" | head -1 | sed 's/listening on //') || true
  [[ -n "$url" ]] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ -z "$url" ]]; then
  echo "test.sh: the stand-in services did not start:" >&2
  cat "$work/devserver.log" >&2
  exit 1
fi
export KORVANE_DEVSERVER_URL="$url" KORVANE_DEVSERVER_DATA="$work/devserver"

# A private X display and PulseAudio (sine_mic, fake_mic) for the desktop and audio tests.
KORVANE_VD_DIR="$work/vd" "$root/scripts/virtual-desktop.sh" start
# shellcheck source=/dev/null
source "$work/vd/env"

ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${ctest_args[@]}"
