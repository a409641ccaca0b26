#!/usr/bin/env bash
# Loudness-normalised export: a 600 s WAVE source (pink noise near -30 LUFS,
# 32-bit PCM, 44.1 kHz stereo) to WAV at -16 LUFS, by traytape-cli export --loudness
# against ffmpeg's loudnorm, one pass (its dynamic mode) and two (a measuring
# pass, then its linear mode with the figures measured). Each runs `runs`
# times (default 3), taking turns; prints wall and CPU (user + system)
# seconds of each run, the medians, the ratios, and what each file measures
# by ffmpeg's ebur128.
#   bench/compare_loudness.sh [build-dir] [runs]
set -euo pipefail
build=${1:-build}
runs=${2:-3}
cli=$(realpath "$build/traytape-cli")
work=$(mktemp -d /tmp/traytape-loudness-XXXXXX)
trap 'rm -rf "$work"' EXIT

ffmpeg -nostdin -v error -f lavfi -i anoisesrc=color=pink:amplitude=0.17:duration=600:sample_rate=44100:seed=1 \
  -ac 2 -c:a pcm_s32le "$work/src.wav"

measure() {
  local TIMEFORMAT="%3R %3U %3S"
  { time "$@" >/dev/null 2>"$work/err"; } 2>"$work/time" || { cat "$work/err" >&2; exit 1; }
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time"
}
median() { printf "%s\n" "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

ffmpeg_two_pass() {
  local stats
  stats=$(ffmpeg -nostdin -hide_banner -i "$work/src.wav" -af loudnorm=I=-16:TP=-1:print_format=json -f null - 2>&1 \
    | sed -n '/^{/,/^}/p')
  local i tp lra thresh
  i=$(jq -r .input_i <<<"$stats"); tp=$(jq -r .input_tp <<<"$stats")
  lra=$(jq -r .input_lra <<<"$stats"); thresh=$(jq -r .input_thresh <<<"$stats")
  ffmpeg -nostdin -v error -y -i "$work/src.wav" -af \
    "loudnorm=I=-16:TP=-1:linear=true:measured_I=$i:measured_TP=$tp:measured_LRA=$lra:measured_thresh=$thresh,aresample=44100" -ac 2 \
    -c:a pcm_s32le "$work/ffmpeg2.wav"
}

declare -A walls cpus
names=(traytape ffmpeg-1-pass ffmpeg-2-pass)
for ((r = 0; r < runs; r++)); do
  read -r w c < <(measure "$cli" export --loudness -16 "$work/src.wav" "$work/traytape.wav")
  walls[traytape]+="$w "; cpus[traytape]+="$c "
  read -r w c < <(measure ffmpeg -nostdin -v error -y -i "$work/src.wav" -af loudnorm=I=-16:TP=-1,aresample=44100 -ac 2 \
    -c:a pcm_s32le "$work/ffmpeg1.wav")
  walls[ffmpeg-1-pass]+="$w "; cpus[ffmpeg-1-pass]+="$c "
  read -r w c < <(measure ffmpeg_two_pass)
  walls[ffmpeg-2-pass]+="$w "; cpus[ffmpeg-2-pass]+="$c "
done
for n in "${names[@]}"; do
  printf "%-14s wall %-22s cpu %-22s median wall %s cpu %s\n" "$n" "${walls[$n]}" "${cpus[$n]}" \
    "$(median ${walls[$n]})" "$(median ${cpus[$n]})"
done
for n in ffmpeg-1-pass ffmpeg-2-pass; do
  printf "%s / traytape: wall %.2f, cpu %.2f\n" "$n" \
    "$(echo "$(median ${walls[$n]}) / $(median ${walls[traytape]})" | bc -l)" \
    "$(echo "$(median ${cpus[$n]}) / $(median ${cpus[traytape]})" | bc -l)"
done
for f in traytape ffmpeg1 ffmpeg2; do
  printf "%-9s " "$f"
  ffmpeg -nostdin -hide_banner -i "$work/$f.wav" -af ebur128=peak=true -f null - 2>&1 \
    | awk '/Summary/ { s = 1 } s && /I:/ { i = $2 } s && /Peak:/ { p = $2 } END { print "I " i " LUFS, true peak " p " dBTP" }'
done
