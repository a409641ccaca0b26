#!/usr/bin/env bash
# Resident memory of the tray application left running with a moving level
# meter, on both kinds of Linux tray: XEmbed (trayer on Xvfb) and
# StatusNotifierItem (bench/status_notifier_host on a private session bus,
# fetching each new icon as a panel does). Each run has its own private
# PulseAudio whose null sink's monitor is the recorded input, its own display
# and home; a 440 Hz tone with a 3 Hz tremolo plays into the sink, so the
# meter never rests. After the warm-up the app's VmRSS is sampled at every
# interval; the growth is the least-squares slope, in kB a minute, over the
# first and the last ten minutes (each half of the run when it is shorter
# than twenty). The same app with a silent input gives the resident memory to
# compare with; CPU is the app's user + system time over the sampled stretch,
# in per cent of one core. Each run's samples go to standard error. Never
# touches the user's sound server or display.
#   bench/soak_tray_memory.sh [build-dir]
# Environment:
#   SOAK_MINUTES         sampled minutes per path with the tone (30)
#   SOAK_SILENT_MINUTES  sampled minutes per path without it (2)
#   SOAK_PATHS           "xembed sni" (either or both)
#   SOAK_PANEL           1 opens the recording panel and its full-size meter (0)
#   SOAK_WARMUP, SOAK_INTERVAL  seconds (60, 30)
set -euo pipefail
build=$(realpath "${1:-build}")
minutes=${SOAK_MINUTES:-30}
silent_minutes=${SOAK_SILENT_MINUTES:-2}
paths=${SOAK_PATHS:-xembed sni}
panel=${SOAK_PANEL:-0}
warmup=${SOAK_WARMUP:-60}
interval=${SOAK_INTERVAL:-30}
app=$build/traytape
host=$build/bench/status_notifier_host
for tool in pulseaudio pactl pacat ffmpeg Xvfb trayer xwininfo dbus-daemon "$app" "$host"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

ticks=$(getconf CLK_TCK)
pids=()
work=
host_pid=
result=
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null || true; done
  pids=()
  [[ -n $work ]] && rm -rf "$work"
  work=
}
trap cleanup EXIT
trap 'exit 130' INT TERM
wait_for() {  # seconds, then a command that succeeds once ready
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Sets `result` to "<start kB> <end kB> <first slope> <last slope> <cpu %> (<what the tray saw>)".
soak() {
  local path=$1 tone=$2 sampled=$3
  work=$(mktemp -d /tmp/traytape-soak-XXXXXX)
  export HOME=$work XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config PULSE_SERVER=unix:$work/run/native
  mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/traytape"
  chmod 700 "$XDG_RUNTIME_DIR"
  cat >"$work/pa.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$work/run/native
load-module module-null-sink sink_name=soak rate=48000 channels=2
set-default-source soak.monitor
PA
  pulseaudio -n -F "$work/pa.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no >"$work/pa.log" 2>&1 &
  pids+=($!)
  wait_for 10 pactl info
  cat >"$XDG_CONFIG_HOME/traytape/TrayTape.conf" <<INI
[General]
AudioDeviceUniqueID=soak.monitor
OpenAppShowHelpWnd=0
OpenAppRecordingPanel=$panel
INI
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  pids+=($!)
  wait_for 10 test -s "$work/display"
  export DISPLAY=:$(head -1 "$work/display")
  if [[ $path == xembed ]]; then
    # Without a session bus Qt embeds its icons in the XEmbed tray.
    unset DBUS_SESSION_BUS_ADDRESS
    trayer --edge top --align right --widthtype request --height 24 --transparent false --SetDockType true \
      >"$work/trayer.log" 2>&1 &
    pids+=($!)
    wait_for 10 sh -c 'xwininfo -root -tree | grep -q "(\"panel\" \"trayer\")"'
  else
    dbus-daemon --session --nofork --nopidfile --print-address=1 >"$work/bus" 2>/dev/null &
    pids+=($!)
    wait_for 10 test -s "$work/bus"
    export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$work/bus")
    "$host" >"$work/host.log" 2>&1 &
    host_pid=$!
    pids+=($host_pid)
    wait_for 10 grep -q ready "$work/host.log"
  fi
  if [[ $tone == 1 ]]; then
    mkfifo "$work/tone"
    ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=48000" \
      -af "tremolo=f=3:d=0.9,volume=0.5" -ac 2 -f f32le - >"$work/tone" 2>>"$work/tone.log" &
    pids+=($!)
    pacat --raw --format=float32le --rate=48000 --channels=2 -d soak <"$work/tone" 2>>"$work/tone.log" &
    pids+=($!)
  fi
  QT_QPA_PLATFORM=xcb "$app" >"$work/app.log" 2>&1 &
  local pid=$!
  pids+=($pid)
  sleep "$warmup"
  kill -0 "$pid" || { cat "$work/app.log" >&2; return 1; }
  local samples=() cpu0 cpu1 n i
  n=$((sampled * 60 / interval))
  cpu0=$(cpu_ticks "$pid")
  samples+=("$(rss_kb "$pid")")
  for ((i = 1; i <= n; i++)); do
    sleep "$interval"
    samples+=("$(rss_kb "$pid")")
  done
  cpu1=$(cpu_ticks "$pid")
  local shown
  if [[ $path == xembed ]]; then
    # The app's windows between the tray's panel and the next top-level window.
    shown="$(xwininfo -root -tree | awk '/"panel" "trayer"/ { tray = 1; next } /^     0x/ { tray = 0 }
      tray && /"traytape" "TrayTape"/ { n++ } END { print n + 0 }') icons in the tray"
  else
    shown="$(grep -c '^item' "$work/host.log") items"
    kill -TERM "$host_pid"
    wait_for 5 grep -q fetched "$work/host.log" && shown+=", $(grep fetched "$work/host.log")"
  fi
  echo "$path $([[ $tone == 1 ]] && echo tone || echo silent) kB every ${interval} s: ${samples[*]}" >&2
  # A window of ten minutes, or half the run when that is shorter.
  local window=$((sampled * 60 / 2 < 600 ? sampled * 60 / 2 : 600))
  result=$(printf '%s\n' "${samples[@]}" | awk -v dt="$interval" -v w="$window" -v cpu="$((cpu1 - cpu0))" \
    -v t="$ticks" -v secs="$((n * interval))" -v shown="$shown" '
    { kb[NR - 1] = $1; last = NR - 1 }
    function slope(from, to,   i, n, sx, sy, sxx, sxy, x) {
      for (i = from; i <= to; i++) { x = i * dt / 60; n++; sx += x; sy += kb[i]; sxx += x * x; sxy += x * kb[i] }
      return n > 1 ? (n * sxy - sx * sy) / (n * sxx - sx * sx) : 0
    }
    END {
      k = int(w / dt)
      printf "%d %d %.1f %.1f %.1f (%s)\n", kb[0], kb[last], slope(0, k), slope(last - k, last),
        (secs > 0 ? 100 * cpu / t / secs : 0), shown
    }')
  cleanup
}

echo "tray soak: ${minutes} min with a moving meter, ${silent_minutes} min silent, after ${warmup} s;" \
  "VmRSS every ${interval} s; panel open: $panel"
printf "%-8s %-7s %10s %10s %12s %12s %6s  %s\n" path input "start kB" "end kB" "first kB/min" "last kB/min" "CPU %" seen
for path in $paths; do
  for tone in 1 0; do
    sampled=$minutes
    [[ $tone == 1 ]] || sampled=$silent_minutes
    soak "$path" "$tone" "$sampled"
    read -r start end first last cpu seen <<<"$result"
    printf "%-8s %-7s %10s %10s %12s %12s %6s  %s\n" "$path" "$([[ $tone == 1 ]] && echo tone || echo silent)" \
      "$start" "$end" "$first" "$last" "$cpu" "$seen"
  done
done
