#!/usr/bin/env bash
# CPU cost of recording 15 s from a sink's monitor: traytape-cli against
# ffmpeg (M4A/AAC) and parecord (WAV), each with the sound server's own CPU
# over the same run. Runs a private PulseAudio daemon; never the user's.
#   bench/compare_peers.sh [build-dir]
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/traytape-cli")
seconds=15
work=$(mktemp -d /tmp/traytape-peers-XXXXXX)
trap 'kill $tone_pid $pa_pid 2>/dev/null || true; rm -rf "$work"' EXIT

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
sox -n -r 48000 -c 2 -b 16 "$work/tone.wav" synth 600 sine 440 vol 0.5
paplay -d bench "$work/tone.wav" &
tone_pid=$!
sleep 0.5

ticks=$(getconf CLK_TCK)
server_cpu() { awk -v t="$ticks" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$pa_pid/stat"; }

# Prints "process-cpu server-cpu" seconds for one command.
measure() {
  local before after
  before=$(server_cpu)
  /usr/bin/time -f "%U %S" -o "$work/time" "$@" >/dev/null 2>&1 || true
  after=$(server_cpu)
  awk -v b="$before" -v a="$after" '{ printf "%.3f %.3f\n", $1 + $2, a - b }' "$work/time"
}

row() {  # label, process, server
  printf "%-34s %8.3f %8.3f %8.3f\n" "$1" "$2" "$3" "$(echo "$2 + $3" | bc -l)"
}

printf "%-34s %8s %8s %8s\n" "15 s from a 48 kHz monitor" "process" "server" "total"
read -r t_m4a s_m4a < <(measure "$cli" record --device bench.monitor --seconds $seconds "$work/t.m4a")
read -r f_m4a fs_m4a < <(measure ffmpeg -nostdin -v error -f pulse -i bench.monitor -t $seconds \
  -c:a aac -b:a 192k -ar 44100 -ac 2 -y "$work/f.m4a")
# The same with ffmpeg asking for 20 ms blocks, as the live level meter needs.
read -r g_m4a gs_m4a < <(measure ffmpeg -nostdin -v error -f pulse -fragment_size 3840 -i bench.monitor -t $seconds \
  -c:a aac -b:a 192k -ar 44100 -ac 2 -y "$work/g.m4a")
read -r t_wav s_wav < <(measure "$cli" record --device bench.monitor --seconds $seconds "$work/t.wav")
read -r p_wav ps_wav < <(measure timeout -s INT $seconds parecord --device=bench.monitor --file-format=wav \
  --format=s32le --rate=44100 --channels=2 "$work/p.wav")
row "traytape-cli m4a" "$t_m4a" "$s_m4a"
row "ffmpeg -f pulse aac 192k" "$f_m4a" "$fs_m4a"
row "ffmpeg, 20 ms blocks" "$g_m4a" "$gs_m4a"
row "traytape-cli wav" "$t_wav" "$s_wav"
row "parecord wav s32le 44.1k" "$p_wav" "$ps_wav"
echo
printf "m4a: traytape total / ffmpeg total = %.2f\n" "$(echo "($t_m4a + $s_m4a) / ($f_m4a + $fs_m4a)" | bc -l)"
printf "m4a: traytape total / ffmpeg (20 ms blocks) total = %.2f\n" "$(echo "($t_m4a + $s_m4a) / ($g_m4a + $gs_m4a)" | bc -l)"
printf "wav: traytape total / parecord total = %.2f\n" "$(echo "($t_wav + $s_wav) / ($p_wav + $ps_wav)" | bc -l)"
