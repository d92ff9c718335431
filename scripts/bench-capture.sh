#!/usr/bin/env bash
# Runs the capture benchmark on a private virtual desktop (Xvfb, openbox, PulseAudio).
#   scripts/bench-capture.sh [--seconds N] [--workload motion|trading] [--ours-only]
#   KORVANE_VD_SIZE=3840x2160 scripts/bench-capture.sh     the same on a 4K display
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${KORVANE_BUILD_DIR:-$root/build}"
cmake --build "$build" --target capture_bench
export KORVANE_VD_DIR
KORVANE_VD_DIR=$(mktemp -d /tmp/korvane-bench-vd.XXXXXX)
trap '"$root/scripts/virtual-desktop.sh" stop || true; rm -rf "$KORVANE_VD_DIR"' EXIT
"$root/scripts/virtual-desktop.sh" start
# shellcheck source=/dev/null
source "$KORVANE_VD_DIR/env"
"$build/bench/capture_bench" "$@"
