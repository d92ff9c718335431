#!/usr/bin/env bash
# A private virtual desktop for tests and headless runs: Xvfb, openbox and PulseAudio with a
# virtual output, a silent microphone fed from it (fake_mic, "USB Fake Microphone") and a 440 Hz
# one (sine_mic, "Sine Headset"); both names pass the microphone picker's filter.
#   KORVANE_VD_DIR=DIR scripts/virtual-desktop.sh start    then: source DIR/env
#   KORVANE_VD_DIR=DIR scripts/virtual-desktop.sh stop
# KORVANE_VD_SIZE=WIDTHxHEIGHT sets the screen's size (1920x1080 unless given).
# Without KORVANE_VD_DIR, start makes a directory under /tmp and prints its path.
# Everything is stopped by process id, never by name: other runs may share the machine.
set -euo pipefail

die() { echo "virtual-desktop: $*" >&2; exit 1; }

# Alive and not a zombie (PID 1 here does not reap orphans).
alive() {
  local stat
  stat=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [[ -n "$stat" && "$stat" != Z* ]]
}

stop_pid() {
  local pid=$1
  alive "$pid" || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do
    alive "$pid" || return 0
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
}

stop_all() {
  local dir=$1
  [[ -f "$dir/pids" ]] || return 0
  # Last started, first stopped.
  local pids
  pids=$(tac "$dir/pids" | awk '{print $2}')
  for pid in $pids; do
    stop_pid "$pid"
  done
  rm -f "$dir/pids" "$dir/env"
}

start_xvfb() {
  local dir=$1 n pid
  for n in $(seq 90 189); do
    [[ -e "/tmp/.X11-unix/X$n" || -e "/tmp/.X$n-lock" ]] && continue
    Xvfb ":$n" -screen 0 "${KORVANE_VD_SIZE:-1920x1080}x24" -nolisten tcp >"$dir/xvfb.log" 2>&1 &
    pid=$!
    # The number is ours once the lock file names our server: another run may have won it.
    for _ in $(seq 100); do
      alive "$pid" || break
      if [[ "$(tr -d ' \n' 2>/dev/null <"/tmp/.X$n-lock")" == "$pid" ]] &&
        DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
        echo "xvfb $pid" >>"$dir/pids"
        display=":$n"
        return 0
      fi
      sleep 0.1
    done
    stop_pid "$pid"
  done
  die "no free X display between :90 and :189"
}

start_openbox() {
  local dir=$1 pid
  DISPLAY="$display" openbox >"$dir/openbox.log" 2>&1 &
  pid=$!
  echo "openbox $pid" >>"$dir/pids"
  for _ in $(seq 100); do
    DISPLAY="$display" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
    alive "$pid" || break
    sleep 0.1
  done
  die "openbox did not start (see $dir/openbox.log)"
}

start_pulse() {
  local dir=$1 xdg=$2
  # Named like a headset, so the microphone picker lists it; module-sine-source takes no source
  # properties of its own.
  echo "update-source-proplist sine_mic device.description='Sine Headset'" >"$dir/sources.pa"
  XDG_RUNTIME_DIR="$xdg" pulseaudio -D -n --exit-idle-time=-1 --disallow-exit \
    --log-target="file:$dir/pulse.log" \
    --load="module-native-protocol-unix auth-anonymous=1" \
    --load="module-null-sink sink_name=virt_out sink_properties=device.description=VirtualOutput rate=48000" \
    --load="module-remap-source source_name=fake_mic master=virt_out.monitor channels=1 source_properties=\"device.description='USB Fake Microphone'\"" \
    --load="module-sine-source source_name=sine_mic rate=48000 frequency=440" \
    --file="$dir/sources.pa" \
    || die "pulseaudio did not start (see $dir/pulse.log)"
  local pid
  pid=$(cat "$xdg/pulse/pid" 2>/dev/null) || die "pulseaudio wrote no pid file"
  echo "pulse $pid" >>"$dir/pids"
  export XDG_RUNTIME_DIR="$xdg" PULSE_SERVER="unix:$xdg/pulse/native"
  for _ in $(seq 50); do
    if pactl info >/dev/null 2>&1; then
      # A fixed default source, whatever the module order made it.
      pactl set-default-source sine_mic
      return 0
    fi
    sleep 0.1
  done
  die "pulseaudio does not answer (see $dir/pulse.log)"
}

start() {
  local dir=${KORVANE_VD_DIR:-}
  local announce=0
  if [[ -z "$dir" ]]; then
    dir=$(mktemp -d /tmp/korvane-vd.XXXXXX)
    announce=1
  fi
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  [[ -f "$dir/pids" ]] && die "already running in $dir (stop it first)"
  local xdg="$dir/xdg"
  mkdir -p "$xdg"
  chmod 700 "$xdg"
  : >"$dir/pids"
  trap 'stop_all "$dir"' ERR EXIT

  display=""
  start_xvfb "$dir"
  start_openbox "$dir"
  start_pulse "$dir" "$xdg"

  {
    printf 'export DISPLAY=%q\n' "$display"
    printf 'export XDG_RUNTIME_DIR=%q\n' "$xdg"
    printf 'export PULSE_SERVER=%q\n' "unix:$xdg/pulse/native"
    printf 'export KORVANE_TEST_SINE_SOURCE=sine_mic\n'
    printf 'export KORVANE_TEST_FAKE_MIC=fake_mic\n'
  } >"$dir/env"
  trap - ERR EXIT
  if [[ $announce -eq 1 ]]; then
    echo "$dir"
  fi
}

case "${1:-}" in
  start) start ;;
  stop)
    [[ -n "${KORVANE_VD_DIR:-}" ]] || die "stop needs KORVANE_VD_DIR"
    stop_all "$KORVANE_VD_DIR"
    ;;
  *) echo "usage: KORVANE_VD_DIR=DIR $0 start|stop" >&2; exit 2 ;;
esac
