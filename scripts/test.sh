#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh            normal build in build/
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   scripts/test.sh --tsan     ThreadSanitizer, in build-tsan/
# Extra arguments after "--" go to ctest (for example: -- -R Api).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/devserver-url.sh
source "$root/scripts/devserver-url.sh"
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
"$root/scripts/check-format.sh"

# Compiles are cached across checkouts and runs: the cache keys on paths relative to the checkout,
# so a fresh clone reuses what an earlier one compiled.
if command -v ccache >/dev/null 2>&1; then
  cmake_args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
fi

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
url=$(devserver_url "$server_pid" "$work/devserver.log")
export KORVANE_DEVSERVER_URL="$url" KORVANE_DEVSERVER_DATA="$work/devserver"

# A private X display and PulseAudio (sine_mic, fake_mic) for the desktop and audio tests.
KORVANE_VD_DIR="$work/vd" "$root/scripts/virtual-desktop.sh" start
# shellcheck source=/dev/null
source "$work/vd/env"

ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${ctest_args[@]}"
