# Sourced by the comparison scripts: starts a private sound server in $work
# (SERVER=pulseaudio, the default, or pipewire) and points this shell's
# clients at it, never at the user's. Adds the daemons to pids and sets
# server_pids to them; the caller's trap ends them.
export HOME=$work XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
if [ "$server" = pipewire ]; then
  export PULSE_SERVER=unix:$XDG_RUNTIME_DIR/pulse/native DBUS_SESSION_BUS_ADDRESS=unix:path=$work/bus
  dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" >"$work/log" 2>&1 & pids+=($!)
  sleep 0.3
  pipewire >>"$work/log" 2>&1 & pids+=($!)
  sleep 0.5
  wireplumber >>"$work/log" 2>&1 & pids+=($!)
  pipewire-pulse >>"$work/log" 2>&1 & pids+=($!)
else
  export PULSE_SERVER=unix:$XDG_RUNTIME_DIR/native
  pulseaudio -n -L "module-native-protocol-unix socket=$XDG_RUNTIME_DIR/native auth-anonymous=1" \
    --daemonize=no --exit-idle-time=-1 >"$work/log" 2>&1 & pids+=($!)
fi
server_pids=("${pids[@]}")
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
