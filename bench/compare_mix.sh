#!/usr/bin/env bash
# Recording a microphone with the computer's sound mixed in.
#  1. CPU (process + sound server) of a MIX_SECONDS recording to M4A (AAC
#     192 kb/s): the microphone alone, the microphone with
#     --with-system-audio, and ffmpeg mixing the same two monitors with amix
#     at the same bit rate. The "microphone" is a null sink's monitor playing
#     1 kHz; the default output plays 440 Hz.
#  2. Drift: a DRIFT_SECONDS recording of the default output's own monitor
#     with its sound mixed in, while the output plays a 20 ms burst every
#     quarter second. Both parts then carry the same bursts: each burst's
#     spread in the file beyond its own 20 ms is how far apart the two parts
#     are. Printed for the first and the last ten seconds.
# Runs a private server (SERVER=pulseaudio, the default, or pipewire); never the user's.
#   bench/compare_mix.sh [build-dir]
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/traytape-cli")
server=${SERVER:-pulseaudio}
mix_seconds=${MIX_SECONDS:-60}
drift_seconds=${DRIFT_SECONDS:-600}
work=$(mktemp -d /tmp/traytape-mix-XXXXXX)
pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null || true; sleep 0.3; rm -rf "$work"; }
trap cleanup EXIT

. "$(dirname "$0")/private_server.sh"
pactl load-module module-null-sink sink_name=mic rate=48000 >/dev/null
pactl load-module module-null-sink sink_name=out rate=48000 >/dev/null
pactl set-default-sink out
sleep 1
pactl set-default-sink out

play() {  # sink, aevalsrc expression
  ffmpeg -nostdin -v error -f lavfi -i "aevalsrc=$2:s=48000:c=stereo" -f f32le - \
    2>/dev/null | pacat --raw --format=float32le --rate=48000 --channels=2 --latency-msec=100 -d "$1" 2>/dev/null &
  pids+=($!)
}

. "$(dirname "$0")/server_cpu.sh"

play mic "0.4*sin(2*PI*1000*t)"
play out "0.3*sin(2*PI*440*t)"
sleep 1
echo "# $server: CPU seconds of a $mix_seconds s recording to M4A (192 kb/s)"
printf "%-36s %8s %8s %8s\n" "" process server total
for row in alone mixed ffmpeg; do
  case $row in
    alone) cmd=("$cli" record --device mic.monitor --seconds "$mix_seconds" "$work/a.m4a") ;;
    mixed) cmd=("$cli" record --device mic.monitor --with-system-audio --seconds "$mix_seconds" "$work/m.m4a") ;;
    ffmpeg) cmd=(ffmpeg -nostdin -v error -f pulse -i mic.monitor -f pulse -i out.monitor
      -filter_complex "amix=inputs=2:normalize=0" -t "$mix_seconds" -c:a aac -b:a 192k -ar 44100 -ac 2
      -y "$work/f.m4a") ;;
  esac
  read -r p s < <(measure "${cmd[@]}")
  printf "%-36s %8.3f %8.3f %8.3f\n" "$row" "$p" "$s" "$(echo "$p + $s" | bc -l)"
done
kill "${pids[@]:${#server_pids[@]}}" 2>/dev/null || true

# Each burst in a stretch of the file: its first loud sample, and its spread
# beyond the burst's own 20 ms (the two parts' distance), in milliseconds.
spreads() {  # file, ffmpeg seek options...
  local file=$1; shift
  ffmpeg -v error "$@" -i "$file" -t 10 -af "pan=mono|c0=c0" -f f32le - | python3 -c '
import array, sys
x = array.array("f"); x.frombytes(sys.stdin.buffer.read()); sr = 44100
i, out = 0, []
while i < len(x):
    if abs(x[i]) < 0.3:
        i += 1; continue
    last = j = i
    while j < len(x) and j - last < sr // 10:
        if abs(x[j]) >= 0.3: last = j
        j += 1
    out.append((last - i) / sr * 1000 - 20)
    i = j
out = out[1:-1]  # the stretch may cut the first and the last
print("bursts %d, spread beyond 20 ms: min %.2f ms, max %.2f ms" % (len(out), min(out), max(out)))'
}
play out "0.6*sin(2*PI*1000*t)*lt(mod(t\,0.25)\,0.02)"
sleep 1
"$cli" record --device out.monitor --with-system-audio --seconds "$drift_seconds" "$work/drift.wav" >/dev/null 2>&1
echo "# $server: both parts carrying the same bursts over $drift_seconds s"
echo "first 10 s: $(spreads "$work/drift.wav" -ss 1)"
echo "last 10 s:  $(spreads "$work/drift.wav" -sseof -10)"
