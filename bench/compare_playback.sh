#!/usr/bin/env bash
# CPU cost of playing 15 s of an M4A (AAC, 44.1 kHz stereo, as recorded) into
# a null sink: MediaPlayer (bench_play) against ffplay on the same file, each
# with the sound server's own CPU over the same run, three rounds. Runs a
# private PulseAudio daemon; never the user's.
#   bench/compare_playback.sh [build-dir]
set -euo pipefail
build=${1:-build}
player=$(realpath "$build/bench/bench_play")
work=$(mktemp -d /tmp/traytape-playback-XXXXXX)
trap 'kill $pa_pid 2>/dev/null || true; rm -rf "$work"' EXIT

export HOME=$work XDG_RUNTIME_DIR=$work/run PULSE_SERVER=unix:$work/run/native
mkdir -p "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
cat > "$work/pa.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$work/run/native
load-module module-null-sink sink_name=bench rate=48000 channels=2
set-default-sink bench
PA
pulseaudio -n -F "$work/pa.pa" --daemonize=no --exit-idle-time=-1 >"$work/pa.log" 2>&1 &
pa_pid=$!
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=15" -ac 2 \
  -c:a aac -b:a 192k -y "$work/tone.m4a"

ticks=$(getconf CLK_TCK)
server_cpu() { awk -v t="$ticks" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$pa_pid/stat"; }

# Prints "process-cpu server-cpu wall" seconds for one command.
measure() {
  local before after
  before=$(server_cpu)
  /usr/bin/time -f "%U %S %e" -o "$work/time" "$@" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; return 1; }
  after=$(server_cpu)
  awk -v b="$before" -v a="$after" '{ printf "%.3f %.3f %.2f\n", $1 + $2, a - b, $3 }' "$work/time"
}

printf "%-28s %8s %8s %8s %8s\n" "15 s of M4A to a null sink" "process" "server" "total" "wall"
ratios=()
for round in 1 2 3; do
  read -r t_p t_s t_w < <(measure "$player" "$work/tone.m4a")
  read -r f_p f_s f_w < <(SDL_AUDIODRIVER=pulseaudio measure ffplay -nodisp -autoexit -v error "$work/tone.m4a")
  t_total=$(echo "$t_p + $t_s" | bc -l)
  f_total=$(echo "$f_p + $f_s" | bc -l)
  printf "%-28s %8.3f %8.3f %8.3f %8.2f\n" "MediaPlayer, round $round" "$t_p" "$t_s" "$t_total" "$t_w"
  printf "%-28s %8.3f %8.3f %8.3f %8.2f\n" "ffplay -nodisp, round $round" "$f_p" "$f_s" "$f_total" "$f_w"
  ratios+=("$(echo "$t_total / $f_total" | bc -l)")
done
echo
printf "MediaPlayer total / ffplay total: %.2f %.2f %.2f\n" "${ratios[@]}"
