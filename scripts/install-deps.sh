#!/usr/bin/env bash
# Installs every Debian package Korvane needs to build, test and run.
# Idempotent: asks dpkg first and touches apt only for what is missing.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake ninja-build pkg-config git clang-format ccache
  # user interface
  qt6-base-dev qt6-base-dev-tools libqt6test6 qt6-declarative-dev qt6-declarative-dev-tools
  qt6-svg-dev libqt6svg6 qt6-qpa-plugins libgl-dev libxkbcommon-dev
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-window
  qml6-module-qtquick-layouts qml6-module-qtquick-templates qml6-module-qtqml-workerscript
  qml6-module-qtquick-dialogs qml6-module-qtquick-shapes qml6-module-qtqml
  # networking and data
  libcurl4-openssl-dev nlohmann-json3-dev libcpp-httplib-dev libssl-dev zlib1g-dev libbrotli-dev curl
  # media
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev ffmpeg
  libpulse-dev libfftw3-dev
  # X11 capture
  libxcb1-dev libxcb-shm0-dev libxcb-composite0-dev libxcb-xfixes0-dev libxcb-randr0-dev
  libxcb-shape0-dev libxcb-ewmh-dev libxcb-icccm4-dev libx11-xcb-dev libxcb-damage0-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # the capture benchmark's peers: ximagesrc (good) and x264enc (ugly)
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  # virtual desktop for integration tests and headless runs
  xvfb xauth x11-utils x11-apps xdotool imagemagick openbox pulseaudio pulseaudio-utils
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "install-deps: missing packages and neither root nor sudo is available" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
