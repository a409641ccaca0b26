#!/usr/bin/env bash
# A microphone with the computer's sound mixed in, for MIX_SECONDS (600 by
# default) in each of two cases, judged in the file by bench/mix_clock_figures:
#  1. One clock: the "microphone" is a null sink's monitor playing 1 kHz; the
#     default output, another null sink, plays 440 Hz through a player with a
#     2 s buffer, so its monitor renders in bursts ahead of time. Printed: the
#     440 Hz tone's rate error after 10 s (0 is right) and its largest phase
#     step between 20 ms windows (a skipped or repeated sample).
#  2. Two clocks: the "microphone" is a pipe source fed by a writer paced
#     PACE_PPM (250 by default) fast, playing a 20 ms 1 kHz burst every
#     quarter second of real time; the output plays 440 Hz with a 3 kHz burst
#     every quarter second. Printed as above (the rate error is now the
#     output's clock against the microphone's) and how far
#     apart the two sources' bursts are at the start and the end, the range
#     they span, and the largest move between consecutive seconds.
# Beside each mix the output's monitor is recorded as the server delivered
# it and judged alone: a phase step found there too is not the mixer's.
# Runs a private server (SERVER=pulseaudio, the default, or pipewire); never the user's.
# ONE_ONLY=1 or TWO_ONLY=1 runs one case. Neither server's pipe source keeps
# to the writer's pace: PulseAudio's reads on the system clock, as its null
# sinks do, so there case 2 has one clock; PipeWire's hands on what it read
# on a clock of its own that is not the writer's (a 440 Hz rate error of
# +200 ppm with the writer 250 ppm fast, -16 ppm with it at 0, and bursts
# missing), so there the bursts' offsets drift with the pipe and say nothing
# of the mixer. The engine's DriftMixer test judges two clocks exactly.
#   bench/compare_mix_clocks.sh [build-dir]
set -euo pipefail
build=${1:-build}
cli=$(realpath "${CLI:-$build/traytape-cli}")  # CLI=another build's, to compare
figures=$(realpath "$build/bench/mix_clock_figures")
server=${SERVER:-pulseaudio}
seconds=${MIX_SECONDS:-600}
pace=${PACE_PPM:-250}
work=$(mktemp -d /tmp/traytape-clocks-XXXXXX)
pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null || true; sleep 0.3; rm -rf "$work"; }
trap cleanup EXIT
. "$(dirname "$0")/private_server.sh"
pactl load-module module-null-sink sink_name=mic rate=48000 >/dev/null
pactl load-module module-null-sink sink_name=out rate=48000 >/dev/null
pactl set-default-sink out
sleep 1
pactl set-default-sink out

play() {  # sink, buffer in ms, aevalsrc expression
  ffmpeg -nostdin -v error -re -f lavfi -i "aevalsrc=$3:s=48000:c=stereo" -f f32le - \
    2>/dev/null | pacat --raw --format=float32le --rate=48000 --channels=2 --latency-msec="$2" -d "$1" 2>/dev/null &
  pids+=($!)
}
# The output as the server delivered it, recorded beside the mix until it ends:
# a phase step found in both is the server's or the player's, not the mixer's.
monitor() {  # raw file
  parecord --raw --format=float32le --rate=48000 --channels=2 --latency-msec=20 -d out.monitor "$1" &
  pids+=($!); monitor_pid=$!
}
judge_monitor() {  # raw file
  kill "$monitor_pid"; wait "$monitor_pid" 2>/dev/null || true
  echo -n "the output's monitor beside it: "
  ffmpeg -v error -f f32le -ar 48000 -ac 2 -i "$1" -af "pan=mono|c0=c0" -f f32le - | "$figures" 48000 440
}
judge() {  # file, figures' arguments...
  local file=$1; shift
  ffmpeg -v error -i "$file" -af "pan=mono|c0=c0" -f f32le - | "$figures" \
    "$(ffprobe -v error -show_entries stream=sample_rate -of csv=p=0 "$file")" "$@"
}

if [ -z "${TWO_ONLY:-}" ]; then
play mic 100 "0.4*sin(2*PI*1000*t)"
play out 2000 "0.3*sin(2*PI*440*t)"
sleep 3
echo "# $server, one clock, a player with a 2 s buffer, $seconds s"
monitor "$work/out-one.raw"
"$cli" record --device mic.monitor --with-system-audio --seconds "$seconds" "$work/one.wav" >/dev/null 2>&1
judge "$work/one.wav" 440
judge_monitor "$work/out-one.raw"
kill "${pids[@]:${#server_pids[@]}}" 2>/dev/null || true
pids=("${server_pids[@]}")
fi
[ -n "${ONE_ONLY:-}" ] && exit 0

pactl load-module module-pipe-source source_name=pipemic file="$work/mic.pipe" format=float32le rate=48000 channels=2 >/dev/null
python3 - "$work/mic.pipe" "$pace" <<'PY' &
import array, math, os, sys, time
path, pace = sys.argv[1], float(sys.argv[2]) * 1e-6
rate = 48000 * (1 + pace)  # frames per second of real time
fd = os.open(path, os.O_WRONLY)
start, written = time.monotonic(), 0
while True:
    due = int((time.monotonic() - start) * rate)  # never ahead: the source takes them as they come
    block = array.array("f")
    for n in range(written, due):
        t = n / rate  # its moment in real time
        v = 0.3 * math.sin(2 * math.pi * 1000 * t) if t % 0.25 < 0.02 else 0.0
        block.append(v); block.append(v)
    os.write(fd, block.tobytes())
    written = due
    time.sleep(0.005)
PY
pids+=($!)
play out 100 "0.25*sin(2*PI*440*t)+0.3*sin(2*PI*3000*t)*lt(mod(t\,0.25)\,0.02)"
sleep 3
echo "# $server, two clocks, a pipe source paced $pace ppm fast, $seconds s"
monitor "$work/out-two.raw"
"$cli" record --device pipemic --with-system-audio --seconds "$seconds" "$work/two.wav" >/dev/null 2>&1
judge "$work/two.wav" 440 1000 3000
judge_monitor "$work/out-two.raw"
