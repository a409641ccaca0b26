#!/usr/bin/env bash
# Export speed: a 300 s WAVE source (32-bit PCM, 44.1 kHz stereo), trimmed to
# 10-290 s with a 2 s fade-in and a 3 s fade-out, by traytape-cli against sox
# (to WAV) and ffmpeg (to M4A, AAC 192 kb/s). Each command runs `runs` times
# (default 3); prints wall and CPU (user + system, all threads) seconds of
# each run, the median's speed against real time, and the ratios.
#   bench/compare_export.sh [build-dir] [runs]
set -euo pipefail
build=${1:-build}
runs=${2:-3}
cli=$(realpath "$build/traytape-cli")
work=$(mktemp -d /tmp/traytape-export-XXXXXX)
trap 'rm -rf "$work"' EXIT

sox -n -r 44100 -c 2 -b 32 -e signed-integer "$work/src.wav" synth 300 sine 440 sine 660 vol 0.5
range=280

# Prints "wall cpu" seconds of one command.
measure() {
  /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time"
}

# label, command...: runs it, prints each run and the median; sets median_wall, median_cpu.
series() {
  local label=$1; shift
  local walls=() cpus=()
  for _ in $(seq "$runs"); do
    read -r w c < <(measure "$@")
    walls+=("$w"); cpus+=("$c")
  done
  median_wall=$(printf "%s\n" "${walls[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
  median_cpu=$(printf "%s\n" "${cpus[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
  printf "%-26s wall %-24s cpu %-24s median %7.0fx real time (wall), %7.0fx (cpu)\n" "$label" \
    "${walls[*]}" "${cpus[*]}" "$(echo "$range / $median_wall" | bc -l)" "$(echo "$range / $median_cpu" | bc -l)"
}

series "traytape-cli export wav" "$cli" export --start 10 --end 290 --fade-in 2 --fade-out 3 "$work/src.wav" "$work/t.wav"
t_wav_wall=$median_wall t_wav_cpu=$median_cpu
series "sox trim fade wav" sox "$work/src.wav" "$work/s.wav" trim 10 =290 fade t 2 280 3
s_wav_wall=$median_wall s_wav_cpu=$median_cpu
series "traytape-cli export m4a" "$cli" export --start 10 --end 290 --fade-in 2 --fade-out 3 "$work/src.wav" "$work/t.m4a"
t_m4a_wall=$median_wall t_m4a_cpu=$median_cpu
series "ffmpeg afade aac 192k" ffmpeg -nostdin -v error -ss 10 -to 290 -i "$work/src.wav" \
  -af "afade=t=in:d=2,afade=t=out:st=277:d=3" -c:a aac -b:a 192k -y "$work/f.m4a"
f_m4a_wall=$median_wall f_m4a_cpu=$median_cpu

echo
printf "wav: traytape / sox    = %.2f wall, %.2f cpu (below 1: faster)\n" \
  "$(echo "$t_wav_wall / $s_wav_wall" | bc -l)" "$(echo "$t_wav_cpu / $s_wav_cpu" | bc -l)"
printf "m4a: traytape / ffmpeg = %.2f wall, %.2f cpu (below 1: faster)\n" \
  "$(echo "$t_m4a_wall / $f_m4a_wall" | bc -l)" "$(echo "$t_m4a_cpu / $f_m4a_cpu" | bc -l)"
