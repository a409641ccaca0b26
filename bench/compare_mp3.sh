#!/usr/bin/env bash
# MP3 encoding cost: a 60 s WAVE source (32-bit PCM, 44.1 kHz stereo: two
# plucked notes over pink noise) written as MP3 by traytape-cli export (LAME
# at VBR quality 2 through our writer) against ffmpeg's libmp3lame at the
# same quality (-q:a 2). Each command runs `runs` times (default 5), taking
# turns; prints wall and CPU (user + system, all threads) seconds of each
# run, the medians, the ratio and the two files' sizes.
#   bench/compare_mp3.sh [build-dir] [runs]
set -euo pipefail
build=${1:-build}
runs=${2:-5}
cli=$(realpath "$build/traytape-cli")
work=$(mktemp -d /tmp/traytape-mp3-XXXXXX)
trap 'rm -rf "$work"' EXIT

sox -n -r 44100 -c 2 -b 32 -e signed-integer "$work/src.wav" synth 60 pluck 220 pluck 330 pinknoise vol 0.3

# Prints "wall cpu" seconds of one command, to the millisecond.
measure() {
  local TIMEFORMAT="%3R %3U %3S"
  { time "$@" >/dev/null 2>"$work/err"; } 2>"$work/time" || { cat "$work/err" >&2; exit 1; }
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time"
}

median() { printf "%s\n" "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

tt=("$cli" export "$work/src.wav" "$work/t.mp3")
ff=(ffmpeg -nostdin -v error -i "$work/src.wav" -c:a libmp3lame -q:a 2 -y "$work/f.mp3")
declare -A walls cpus
for _ in $(seq "$runs"); do
  for name in tt ff; do
    declare -n command=$name
    read -r w c < <(measure "${command[@]}")
    walls[$name]+="$w " cpus[$name]+="$c "
  done
done
printf "%-34s wall %-32s cpu %s\n" "traytape-cli export (mp3)" "${walls[tt]}" "${cpus[tt]}"
printf "%-34s wall %-32s cpu %s\n" "ffmpeg -c:a libmp3lame -q:a 2" "${walls[ff]}" "${cpus[ff]}"
t_cpu=$(median ${cpus[tt]}) f_cpu=$(median ${cpus[ff]})
t_wall=$(median ${walls[tt]}) f_wall=$(median ${walls[ff]})
printf "median cpu: traytape %.3f s, ffmpeg %.3f s; traytape / ffmpeg = %.2f cpu, %.2f wall (below 1: cheaper)\n" \
  "$t_cpu" "$f_cpu" "$(echo "$t_cpu / $f_cpu" | bc -l)" "$(echo "$t_wall / $f_wall" | bc -l)"
printf "sizes: traytape %d bytes, ffmpeg %d bytes\n" "$(stat -c %s "$work/t.mp3")" "$(stat -c %s "$work/f.mp3")"
