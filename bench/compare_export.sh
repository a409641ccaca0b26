#!/usr/bin/env bash
# Export speed: a 300 s WAVE source (32-bit PCM, 44.1 kHz stereo), trimmed to
# 10-290 s with a 2 s fade-in and a 3 s fade-out, by traytape-cli against sox
# (to WAV) and ffmpeg (to M4A, AAC 192 kb/s). Each command runs `runs` times
# (default 3), the four taking turns in each round; prints wall and CPU
# (user + system, all threads) seconds of each run, the median's speed
# against real time, and the ratios.
#   bench/compare_export.sh [build-dir] [runs]
set -euo pipefail
build=${1:-build}
runs=${2:-3}
cli=$(realpath "$build/traytape-cli")
work=$(mktemp -d /tmp/traytape-export-XXXXXX)
trap 'rm -rf "$work"' EXIT

sox -n -r 44100 -c 2 -b 32 -e signed-integer "$work/src.wav" synth 300 sine 440 sine 660 vol 0.5
range=280

# Prints "wall cpu" seconds of one command, to the millisecond: a WAV
# export takes a few tenths of a second, where /usr/bin/time's hundredths
# would blur the comparison.
measure() {
  local TIMEFORMAT="%3R %3U %3S"
  { time "$@" >/dev/null 2>"$work/err"; } 2>"$work/time" || { cat "$work/err" >&2; exit 1; }
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time"
}

# Medians of a list of numbers.
median() { printf "%s\n" "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# Prints a series' runs and median speed; sets median_wall, median_cpu.
report() {
  local label=$1 walls=$2 cpus=$3
  median_wall=$(median $walls)
  median_cpu=$(median $cpus)
  printf "%-26s wall %-24s cpu %-24s median %7.0fx real time (wall), %7.0fx (cpu)\n" "$label" \
    "$walls" "$cpus" "$(echo "$range / $median_wall" | bc -l)" "$(echo "$range / $median_cpu" | bc -l)"
}

# The two commands of a pair take turns (A B A B ...), so that a change in
# the load of a shared machine falls on both rather than on one series.
tt_wav=("$cli" export --start 10 --end 290 --fade-in 2 --fade-out 3 "$work/src.wav" "$work/t.wav")
sox_wav=(sox "$work/src.wav" "$work/s.wav" trim 10 =290 fade t 2 280 3)
tt_m4a=("$cli" export --start 10 --end 290 --fade-in 2 --fade-out 3 "$work/src.wav" "$work/t.m4a")
ff_m4a=(ffmpeg -nostdin -v error -ss 10 -to 290 -i "$work/src.wav"
  -af "afade=t=in:d=2,afade=t=out:st=277:d=3" -c:a aac -b:a 192k -y "$work/f.m4a")
declare -A walls cpus
for _ in $(seq "$runs"); do
  for name in tt_wav sox_wav tt_m4a ff_m4a; do
    declare -n command=$name
    read -r w c < <(measure "${command[@]}")
    walls[$name]+="$w " cpus[$name]+="$c "
  done
done
report "traytape-cli export wav" "${walls[tt_wav]}" "${cpus[tt_wav]}"
t_wav_wall=$median_wall t_wav_cpu=$median_cpu
report "sox trim fade wav" "${walls[sox_wav]}" "${cpus[sox_wav]}"
s_wav_wall=$median_wall s_wav_cpu=$median_cpu
report "traytape-cli export m4a" "${walls[tt_m4a]}" "${cpus[tt_m4a]}"
t_m4a_wall=$median_wall t_m4a_cpu=$median_cpu
report "ffmpeg afade aac 192k" "${walls[ff_m4a]}" "${cpus[ff_m4a]}"
f_m4a_wall=$median_wall f_m4a_cpu=$median_cpu

echo
printf "wav: traytape / sox    = %.2f wall, %.2f cpu (below 1: faster)\n" \
  "$(echo "$t_wav_wall / $s_wav_wall" | bc -l)" "$(echo "$t_wav_cpu / $s_wav_cpu" | bc -l)"
printf "m4a: traytape / ffmpeg = %.2f wall, %.2f cpu (below 1: faster)\n" \
  "$(echo "$t_m4a_wall / $f_m4a_wall" | bc -l)" "$(echo "$t_m4a_cpu / $f_m4a_cpu" | bc -l)"
