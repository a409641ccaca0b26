#!/usr/bin/env bash
# Encoding cost of each compressed format: a 600 s WAVE source (32-bit PCM,
# 44.1 kHz stereo: two plucked notes over pink noise) exported whole by
# traytape-cli against ffmpeg writing the same codec at the same setting:
# FLAC (24 bits), Opus (96 kb/s, resampled to 48 kHz), Vorbis (128 kb/s) and
# MP3 (LAME's VBR quality 2). Each pair takes turns `runs` times (default 3);
# prints wall and CPU (user + system, all threads) seconds of each run, the
# medians, the ratio and the two files' sizes.
#   bench/compare_formats.sh [build-dir] [runs] [formats...]
set -euo pipefail
build=${1:-build}
runs=${2:-3}
shift $(($# > 2 ? 2 : $#))
formats=("$@")
[ ${#formats[@]} -gt 0 ] || formats=(flac opus ogg mp3)
cli=$(realpath "$build/traytape-cli")
work=$(mktemp -d /tmp/traytape-formats-XXXXXX)
trap 'rm -rf "$work"' EXIT

sox -n -r 44100 -c 2 -b 32 -e signed-integer "$work/src.wav" synth 600 pluck 220 pluck 330 pinknoise vol 0.3

# Prints "wall cpu" seconds of one command, to the millisecond.
measure() {
  local TIMEFORMAT="%3R %3U %3S"
  { time "$@" >/dev/null 2>"$work/err"; } 2>"$work/time" || { cat "$work/err" >&2; exit 1; }
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time"
}

median() { printf "%s\n" "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# ffmpeg's options for what our table writes by default.
declare -A same=(
  [flac]="-c:a flac -sample_fmt s32 -bits_per_raw_sample 24"
  [opus]="-c:a libopus -b:a 96k -vbr on -ar 48000"
  [ogg]="-c:a libvorbis -b:a 128k"
  [mp3]="-c:a libmp3lame -q:a 2"
)
for format in "${formats[@]}"; do
  tt=("$cli" export "$work/src.wav" "$work/t.$format")
  read -ra options <<<"${same[$format]}"
  ff=(ffmpeg -nostdin -v error -i "$work/src.wav" "${options[@]}" -y "$work/f.$format")
  tt_walls="" tt_cpus="" ff_walls="" ff_cpus=""
  for _ in $(seq "$runs"); do
    read -r w c < <(measure "${tt[@]}")
    tt_walls+="$w " tt_cpus+="$c "
    read -r w c < <(measure "${ff[@]}")
    ff_walls+="$w " ff_cpus+="$c "
  done
  t_cpu=$(median $tt_cpus) f_cpu=$(median $ff_cpus)
  t_wall=$(median $tt_walls) f_wall=$(median $ff_walls)
  printf "%-5s traytape wall %s cpu %s| ffmpeg %s wall %s cpu %s\n" "$format" "$tt_walls" "$tt_cpus" \
    "${same[$format]}" "$ff_walls" "$ff_cpus"
  printf "%-5s median cpu: traytape %.3f s, ffmpeg %.3f s; traytape / ffmpeg = %.2f cpu, %.2f wall (below 1: cheaper); sizes %d and %d bytes\n" \
    "$format" "$t_cpu" "$f_cpu" "$(echo "$t_cpu / $f_cpu" | bc -l)" "$(echo "$t_wall / $f_wall" | bc -l)" \
    "$(stat -c %s "$work/t.$format")" "$(stat -c %s "$work/f.$format")"
done
