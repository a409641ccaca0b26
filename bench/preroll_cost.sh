#!/usr/bin/env bash
# What keeping the seconds before Record costs the listening tray app:
# resident memory and CPU with PreRollSeconds at 0 and at 60, on the
# offscreen platform, recording nothing. Each run has its own private
# PulseAudio whose null sink's monitor (stereo, 48 kHz) is the input and a
# 440 Hz tone playing into it, its own home and settings; never touches the
# user's sound server or display. The ring is made, and every page of it
# touched, as the input opens: the expected difference in VmRSS is
# 60 s x 48000 x 2 channels x 4 bytes = 22500 kB. CPU is the app's user +
# system time over the sampled stretch, in per cent of one core.
#   bench/preroll_cost.sh [build-dir]
# Environment: PREROLL_SAMPLED, PREROLL_WARMUP  seconds (60, 10); PREROLL_RUNS (2, alternating)
set -euo pipefail
build=$(realpath "${1:-build}")
sampled=${PREROLL_SAMPLED:-60}
warmup=${PREROLL_WARMUP:-10}
runs=${PREROLL_RUNS:-2}
app=$build/traytape
for tool in pulseaudio pactl pacat ffmpeg "$app"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
ticks=$(getconf CLK_TCK)
pids=()
work=
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null || true; done
  pids=()
  [[ -n $work ]] && rm -rf "$work"
  work=
}
trap cleanup EXIT
trap 'exit 130' INT TERM
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# Prints "<VmRSS kB> <CPU %>" of the app listening with `preroll` seconds kept.
measure() {
  local preroll=$1
  work=$(mktemp -d /tmp/traytape-preroll-XXXXXX)
  export HOME=$work XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config PULSE_SERVER=unix:$work/run/native
  unset DBUS_SESSION_BUS_ADDRESS
  mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/traytape"
  chmod 700 "$XDG_RUNTIME_DIR"
  cat >"$work/pa.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$work/run/native
load-module module-null-sink sink_name=preroll rate=48000 channels=2
set-default-source preroll.monitor
PA
  pulseaudio -n -F "$work/pa.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no >"$work/pa.log" 2>&1 &
  pids+=($!)
  wait_for 10 pactl info
  cat >"$XDG_CONFIG_HOME/traytape/TrayTape.conf" <<INI
[General]
AudioDeviceUniqueID=preroll.monitor
OpenAppShowHelpWnd=0
OpenAppRecordingPanel=0
PreRollSeconds=$preroll
INI
  mkfifo "$work/tone"
  ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=48000" -af volume=0.5 -ac 2 -f f32le - \
    >"$work/tone" 2>>"$work/tone.log" &
  pids+=($!)
  pacat --raw --format=float32le --rate=48000 --channels=2 -d preroll <"$work/tone" 2>>"$work/tone.log" &
  pids+=($!)
  QT_QPA_PLATFORM=offscreen "$app" >"$work/app.log" 2>&1 &
  local pid=$!
  pids+=($pid)
  sleep "$warmup"
  kill -0 "$pid" || { cat "$work/app.log" >&2; return 1; }
  local cpu0 cpu1
  cpu0=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  sleep "$sampled"
  cpu1=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  awk -v cpu="$((cpu1 - cpu0))" -v t="$ticks" -v s="$sampled" '/^VmRSS:/ { printf "%d %.2f\n", $2, 100 * cpu / t / s }' \
    "/proc/$pid/status"
  cleanup
}

echo "tray app listening, offscreen, ${sampled} s sampled after ${warmup} s, ${runs} runs each"
printf "%-9s %10s %7s\n" pre-roll "VmRSS kB" "CPU %"
for ((r = 0; r < runs; r++)); do
  for preroll in 0 60; do
    read -r rss cpu < <(measure "$preroll")
    printf "%-9s %10s %7s\n" "${preroll} s" "$rss" "$cpu"
  done
done
