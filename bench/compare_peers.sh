#!/usr/bin/env bash
# CPU cost of recording 15 s (three times over) from a sink's monitor: traytape-cli against
# ffmpeg (M4A/AAC) and parecord (WAV, 20 ms blocks as the live meter needs),
# each with the sound server's own CPU over the same run; the tray app idle
# with its meter running (under Xvfb with an XEmbed tray); and what a
# recording does to its file: MPEG-4 fragments, WAV header rewrites and
# syncs to disk. Runs a private PulseAudio daemon and X server; never the user's.
#   bench/compare_peers.sh [build-dir]
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/traytape-cli")
app=$(realpath "$build/traytape" 2>/dev/null || true)
seconds=15
idle_seconds=20
work=$(mktemp -d /tmp/traytape-peers-XXXXXX)
tone_pid= pa_pid= xvfb_pid= tray_pid= app_pid=
trap 'kill $app_pid $tray_pid $xvfb_pid $tone_pid $pa_pid 2>/dev/null || true; rm -rf "$work"' EXIT

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
cpu_of() { awk -v t="$ticks" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat"; }
server_pids=("$pa_pid")
. "$(dirname "$0")/server_cpu.sh"

row() {  # label, process, server
  printf "%-34s %8.3f %8.3f %8.3f\n" "$1" "$2" "$3" "$(echo "$2 + $3" | bc -l)"
}

# The recordings run in rounds, each command once a round, so that a busy
# spell on the machine falls on all of them alike; the rows are the sums.
rounds=${ROUNDS:-3}
declare -A proc=() server=()
record_row() {  # key, command...
  local key=$1 p s; shift
  read -r p s < <(measure "$@")
  proc[$key]=$(echo "${proc[$key]:-0} + $p" | bc -l)
  server[$key]=$(echo "${server[$key]:-0} + $s" | bc -l)
}
for _ in $(seq "$rounds"); do
  rm -f "$work"/t.m4a "$work"/t.wav
  record_row t_m4a "$cli" record --device bench.monitor --seconds $seconds "$work/t.m4a"
  record_row f_m4a ffmpeg -nostdin -v error -f pulse -i bench.monitor -t $seconds \
    -c:a aac -b:a 192k -ar 44100 -ac 2 -y "$work/f.m4a"
  # The same with ffmpeg asking for 20 ms blocks, as the live level meter needs.
  record_row g_m4a ffmpeg -nostdin -v error -f pulse -fragment_size 3840 -i bench.monitor -t $seconds \
    -c:a aac -b:a 192k -ar 44100 -ac 2 -y "$work/g.m4a"
  record_row t_wav "$cli" record --device bench.monitor --seconds $seconds "$work/t.wav"
  record_row p_wav timeout -s INT $seconds parecord --device=bench.monitor --file-format=wav \
    --latency-msec=20 --format=s32le --rate=44100 --channels=2 "$work/p.wav"
done
t_m4a=${proc[t_m4a]} s_m4a=${server[t_m4a]} f_m4a=${proc[f_m4a]} fs_m4a=${server[f_m4a]}
g_m4a=${proc[g_m4a]} gs_m4a=${server[g_m4a]} t_wav=${proc[t_wav]} s_wav=${server[t_wav]}
p_wav=${proc[p_wav]} ps_wav=${server[p_wav]}

# The tray app idle, the meter running on the monitor of the playing sink:
# with its windows closed, and with the recording panel (a second meter) open.
# CPU of the app and of the server over idle_seconds, after start-up.
idle_run() {  # OpenAppRecordingPanel value; prints "app server" seconds
  printf '[General]\nOpenAppShowHelpWnd=0\nOpenAppRecordingPanel=%s\n' "$1" > "$HOME/.config/traytape/TrayTape.conf"
  QT_QPA_PLATFORM=xcb "$app" >"$work/app.log" 2>&1 &
  app_pid=$!
  sleep 4
  local a0 s0 a1 s1
  a0=$(cpu_of "$app_pid"); s0=$(server_cpu); sleep $idle_seconds; a1=$(cpu_of "$app_pid"); s1=$(server_cpu)
  kill "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=
  echo "$(echo "$a1 - $a0" | bc -l) $(echo "$s1 - $s0" | bc -l)"
}
idle_app= idle_server= server_alone=
if [ -n "$app" ] && command -v Xvfb >/dev/null && command -v trayer >/dev/null; then
  mkdir -p "$HOME/.config/traytape"
  Xvfb -displayfd 5 -screen 0 640x400x24 -nolisten tcp 5>"$work/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
  export DISPLAY=:$(head -n1 "$work/display")
  trayer --edge top --align right --widthtype request --height 24 --transparent false --SetDockType true \
    >/dev/null 2>&1 &
  tray_pid=$!
  before=$(server_cpu); sleep $idle_seconds; after=$(server_cpu)
  server_alone=$(echo "$after - $before" | bc -l)
  read -r idle_app idle_server < <(idle_run 0)
  read -r panel_app panel_server < <(idle_run 1)
fi

# What a recording does to its file, counted in system calls and boxes.
count_calls() {  # pattern, strace log
  grep -cE "$1" "$2" || true
}
strace -f -qq -e trace=pwrite64,fsync,fdatasync -o "$work/wav.trace" \
  "$cli" record --device bench.monitor --seconds 10 "$work/s.wav" >/dev/null 2>&1 || true
strace -f -qq -e trace=fsync,fdatasync -o "$work/m4a.trace" \
  "$cli" record --device bench.monitor --seconds 10 "$work/s.m4a" >/dev/null 2>&1 || true
# A killed recording keeps its fragments: count them in one cut at 10 s.
timeout -s KILL 10.5 "$cli" record --device bench.monitor "$work/k.m4a" >/dev/null 2>&1 || true
fragments=$(grep -obUa moof "$work/k.m4a" 2>/dev/null | wc -l)
# strace pads the result column, and logs a call another thread interrupts
# in two lines with its arguments on the first ("<unfinished ...>").
headers=$(count_calls 'pwrite64\([0-9]+, .*, 4, 4(\) += 4| <unfinished)' "$work/wav.trace")
syncs_wav=$(count_calls 'f(data)?sync\(' "$work/wav.trace")
syncs_m4a=$(count_calls 'f(data)?sync\(' "$work/m4a.trace")
printf "%-34s %8s %8s %8s\n" "$rounds x $seconds s from a 48 kHz monitor" "process" "server" "total"
row "traytape-cli m4a" "$t_m4a" "$s_m4a"
row "ffmpeg -f pulse aac 192k" "$f_m4a" "$fs_m4a"
row "ffmpeg, 20 ms blocks" "$g_m4a" "$gs_m4a"
row "traytape-cli wav" "$t_wav" "$s_wav"
row "parecord wav s32le 44.1k" "$p_wav" "$ps_wav"
echo
printf "m4a: traytape total / ffmpeg total = %.2f\n" "$(echo "($t_m4a + $s_m4a) / ($f_m4a + $fs_m4a)" | bc -l)"
printf "m4a: traytape total / ffmpeg (20 ms blocks) total = %.2f\n" "$(echo "($t_m4a + $s_m4a) / ($g_m4a + $gs_m4a)" | bc -l)"
printf "wav: traytape total / parecord (20 ms blocks) total = %.2f\n" "$(echo "($t_wav + $s_wav) / ($p_wav + $ps_wav)" | bc -l)"
if [ -n "$idle_app" ]; then
  pct() { echo "100 * ($1) / $idle_seconds" | bc -l; }
  printf "idle app + server: %.2f %% of a core (app %.2f %%, server %.2f %%; server without the app %.2f %%); / 1.5 %% goal = %.2f\n" \
    "$(pct "$idle_app + $idle_server")" "$(pct "$idle_app")" "$(pct "$idle_server")" "$(pct "$server_alone")" \
    "$(echo "$(pct "$idle_app + $idle_server") / 1.5" | bc -l)"
  printf "idle app + server, recording panel open: %.2f %% of a core (app %.2f %%); / 1.5 %% goal = %.2f\n" \
    "$(pct "$panel_app + $panel_server")" "$(pct "$panel_app")" "$(echo "$(pct "$panel_app + $panel_server") / 1.5" | bc -l)"
else
  echo "idle app: skipped (needs $build/traytape, Xvfb and trayer)"
fi
printf "m4a fragments in a 10 s recording: %d; / 30 goal = %.2f\n" "$fragments" "$(echo "$fragments / 30" | bc -l)"
# The header follows every batch the writer drains (it polls every 50 ms), so a
# kill -9 loses no more than the batch under way; the syncs stay once a second.
printf "wav header rewrites: %.1f a second (one per batch written, 20 at most)\n" "$(echo "$headers / 10" | bc -l)"
printf "syncs to disk: wav %.1f, m4a %.1f a second; / 1 goal = %.2f, %.2f\n" "$(echo "$syncs_wav / 10" | bc -l)" \
  "$(echo "$syncs_m4a / 10" | bc -l)" "$(echo "$syncs_wav / 10" | bc -l)" "$(echo "$syncs_m4a / 10" | bc -l)"
