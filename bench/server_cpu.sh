# Sourced by the comparison scripts that weigh a command's CPU together with
# the sound server's. The script sets server_pids to the server's processes.

# The server's threads live as long as it does, so their scheduler times
# (in nanoseconds) add up to its CPU without the 10 ms grain of /proc/PID/stat.
server_cpu() {
  local p s=0
  for p in "${server_pids[@]}"; do
    s=$(cat /proc/"$p"/task/*/schedstat 2>/dev/null | awk -v s="$s" '{ s += $1 } END { printf "%.4f", s / 1e9 }')
  done
  echo "$s"
}

# Prints "process-cpu server-cpu" seconds for one command; bash's `times`
# gives the children's CPU to the millisecond (with timeout's own child in it).
measure() {
  local before after user sys
  before=$(server_cpu)
  read -r user sys < <( ("$@" >/dev/null 2>&1 || true; times) | tail -n1)
  after=$(server_cpu)
  awk -v u="$user" -v s="$sys" -v b="$before" -v a="$after" 'function sec(x) {
      split(x, p, "m"); sub("s", "", p[2]); return p[1] * 60 + p[2] }
    BEGIN { printf "%.3f %.3f\n", sec(u) + sec(s), a - b }'
}
