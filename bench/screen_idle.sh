#!/usr/bin/env bash
# CPU time and memory of the monitor sitting at its screen for a while, with a full
# simulated server (32 players) polled every second. Runs the monitor in a detached
# tmux terminal. Usage: bench/screen_idle.sh [build-folder] [seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
seconds=${2:-60}
if [ ! -x "$build/drav-logger" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DDRAV_BENCH=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target drav-logger sim-server >/dev/null
fi
build=$(cd "$build" && pwd)
folder=$(mktemp -d)
socket="drav-bench-$$"
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null || true
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "${KEEP:-}" ] || rm -rf "$folder"
}
trap cleanup EXIT

"$build/sim-server" --port 0 --password bench --players 32 >"$folder/sim.out" 2>&1 &
sim_pid=$!
port=""
while [ -z "$port" ]; do
  sleep 0.1
  port=$(sed -n 's/^sim-server listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$folder/sim.out")
done
sed -e "s/^net_server_port=.*/net_server_port=$port/" -e "s/^net_server_rcon=.*/net_server_rcon=bench/" \
    -e "s/^poll_interval_status=.*/poll_interval_status=1/" -e "s/^access_list_file=.*/access_list_file=/" \
    "$root/drav-logger.cfg.example" >"$folder/drav-logger.cfg"
: >"$folder/drav-logger-ip.txt"

tmux -L "$socket" -f /dev/null new-session -d -x 120 -y 40 -c "$folder" \
  "sh -c 'echo \$\$ > pid; exec $build/drav-logger'; sleep 600"
while [ ! -s "$folder/pid" ]; do sleep 0.1; done
pid=$(cat "$folder/pid")
sleep 5  # let the first polls, look-ups and details fetches pass

ticks_per_second=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
start_ticks=$(cpu_ticks)
sleep "$seconds"
end_ticks=$(cpu_ticks)
rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
hwm_kb=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")

awk -v t="$((end_ticks - start_ticks))" -v hz="$ticks_per_second" -v s="$seconds" \
  'BEGIN { printf "CPU time over %d s: %.2f s (%.2f%% of one core)\n", s, t / hz, 100 * t / hz / s }'
echo "resident memory: ${rss_kb} kB (peak ${hwm_kb} kB)"
