#!/usr/bin/env bash
# The library's waveform against plain decoding: an hour of M4A (AAC
# 192 kb/s, 44.1 kHz stereo, a tone whose loudness rises and falls), its
# overview decoded and opened from the cache by bench_overview, and the same
# file decoded by ffmpeg to nothing, `runs` times (default 3). Prints each
# ffmpeg run's wall and CPU seconds, its median speed against real time, and
# bench_overview's own figures.
#   bench/compare_overview.sh [build-dir] [runs]
set -euo pipefail
build=${1:-build}
runs=${2:-3}
bench=$(realpath "$build/bench/bench_overview")
work=$(mktemp -d /tmp/traytape-overview-XXXXXX)
trap 'rm -rf "$work"' EXIT

seconds=3600
ffmpeg -nostdin -v error -f lavfi -i "sine=f=440:r=44100:d=$seconds" -ac 2 \
  -af "volume='0.4+0.4*sin(2*PI*t/7)':eval=frame" -c:a aac -b:a 192k "$work/hour.m4a"

walls=() cpus=()
for _ in $(seq "$runs"); do
  /usr/bin/time -f "%e %U %S" -o "$work/time" ffmpeg -nostdin -v error -i "$work/hour.m4a" -f null - 
  read -r w c < <(awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time")
  walls+=("$w"); cpus+=("$c")
done
median() { printf "%s\n" "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
wall=$(median "${walls[@]}") cpu=$(median "${cpus[@]}")
printf "ffmpeg -i hour.m4a -f null -   wall %s  cpu %s  median %.0fx real time (wall), %.0fx (cpu)\n" \
  "${walls[*]}" "${cpus[*]}" "$(echo "$seconds / $wall" | bc -l)" "$(echo "$seconds / $cpu" | bc -l)"
echo
TRAYTAPE_OVERVIEW_SOURCE="$work/hour.m4a" "$bench" --benchmark_repetitions="$runs" \
  --benchmark_report_aggregates_only=true
