#!/usr/bin/env bash
# Recording one application's sound: CPU (process + sound server) of an
# APP_SECONDS recording to WAV while two programs play into the default
# output, 440 Hz and 660 Hz:
#   app       traytape-cli record --app: a record stream on the one program's
#             own stream, nothing on the server changed;
#   output    traytape-cli recording the whole output (the computer's sound);
#   reroute   the way it is done by hand: a null sink, the program's stream
#             moved to it, a loopback from its monitor back to the output so
#             that the user still hears it, and ffmpeg recording the monitor.
# The three take turns, RUNS rounds (default 3); prints each run and the
# medians. Runs a private server (SERVER=pulseaudio, the default, or
# pipewire); never the user's.
#   bench/compare_app.sh [build-dir]
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/traytape-cli")
server=${SERVER:-pulseaudio}
seconds=${APP_SECONDS:-60}
runs=${RUNS:-3}
work=$(mktemp -d /tmp/traytape-app-XXXXXX)
pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null || true; sleep 0.3; rm -rf "$work"; }
trap cleanup EXIT

. "$(dirname "$0")/private_server.sh"
pactl load-module module-null-sink sink_name=out rate=48000 >/dev/null
pactl set-default-sink out
sleep 1
pactl set-default-sink out

# Each player is a program of its own name, as the server tells applications apart.
play() {  # program, frequency
  cp /usr/bin/pacat "$work/$1"
  ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=$2:sample_rate=48000" -af "volume=0.3,pan=stereo|c0=c0|c1=c0" \
    -f f32le - 2>/dev/null | "$work/$1" --raw --format=float32le --rate=48000 --channels=2 --latency-msec=100 \
    --client-name="$1" -d out 2>/dev/null &
  pids+=($!)
}
play tone-a 440
play tone-b 660
sleep 1
input_of() {  # program: the index of its sink input
  pactl list sink-inputs | awk -v p="$1" '/^Sink Input #/ { i = substr($3, 2) }
    $0 ~ "application.process.binary = \"" p "\"" { print i }'
}

. "$(dirname "$0")/server_cpu.sh"

# The reroute, undone afterwards as a script doing it would.
reroute() {
  local stream sink loop
  stream=$(input_of tone-a)
  sink=$(pactl load-module module-null-sink sink_name=rec rate=48000)
  pactl move-sink-input "$stream" rec
  loop=$(pactl load-module module-loopback source=rec.monitor sink=out latency_msec=60)
  ffmpeg -nostdin -v error -f pulse -i rec.monitor -t "$seconds" -ar 44100 -c:a pcm_s16le -y "$work/reroute.wav"
  pactl move-sink-input "$stream" out
  pactl unload-module "$loop"
  pactl unload-module "$sink"
}

median() { printf "%s\n" "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
declare -A procs servers
for _ in $(seq "$runs"); do
  for row in app output reroute; do
    case $row in
      app) cmd=("$cli" record --app tone-a --seconds "$seconds" "$work/$row.wav") ;;
      output) cmd=("$cli" record --device "Vortanx System Audio" --seconds "$seconds" "$work/$row.wav") ;;
      reroute) cmd=(reroute) ;;
    esac
    # The recorder refuses a file that is there: each run writes a new one,
    # and a run that wrote nothing stops the comparison rather than count.
    rm -f "$work/$row.wav"
    read -r p s < <(measure "${cmd[@]}")
    [ -s "$work/$row.wav" ] || { echo "$row: no recording came of it" >&2; exit 1; }
    procs[$row]+="$p " servers[$row]+="$s "
  done
done
echo "# $server: CPU seconds of a $seconds s recording to WAV, $runs runs each (medians last)"
printf "%-10s %-24s %-24s %8s %8s %8s\n" "" process server process server total
for row in app output reroute; do
  p=$(median ${procs[$row]}) s=$(median ${servers[$row]})
  printf "%-10s %-24s %-24s %8.3f %8.3f %8.3f\n" "$row" "${procs[$row]}" "${servers[$row]}" "$p" "$s" \
    "$(echo "$p + $s" | bc -l)"
done
