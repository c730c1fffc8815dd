#!/usr/bin/env bash
# Polling and memory of the monitor while someone streams datagrams at its main port: the
# simulated server (32 players) is polled every second; after a quiet phase a second
# simulated server streams complete forged status replies from another port at the
# monitor's main port. Prints the longest gap between two status requests before and
# during the stream, and the monitor's resident memory (RSS) over the run.
#
# Usage: bench/flood_bench.sh [build-folder] [seconds] [datagrams-per-second] [monitor]
# Everything stays on 127.0.0.1; the players' address is 127.0.0.1 too, so the reverse
# look-ups are answered by this machine.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
seconds=${2:-30}
rate=${3:-1000}
monitor=${4:-$build/drav-logger}
quiet_seconds=10

work=$(mktemp -d "${TMPDIR:-/tmp}/drav-flood-bench-XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
# shellcheck source=bench/bench_lib.sh
. "$(dirname "$0")/bench_lib.sh"
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

server_start=$(now_ms)
"$build/sim-server" --port 0 --password secret --players 32 --player-address 127.0.0.1 \
  --report-commands yes >"$work/server.out" &
server=$!
pids+=("$server")
wait_for_line "$work/server.out" "listening on" || exit 1
server_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.out")

# A main port with its 32 successors free, for the stream to aim at.
client_port=$((20000 + RANDOM % 20000))
cat >"$work/drav-logger.cfg" <<EOF
log_file=drav-logger.log
log_file_ip=drav-logger-ip.txt
net_server_ip=127.0.0.1
net_server_port=$server_port
net_server_rcon=secret
net_client_port=$client_port
net_response_timeout_1=500
net_response_timeout_next=0
access_level=1
access_reconnect_timeout=60
access_kicked_reject_timeout=300
access_list_file=
access_list_file_add=access-add.txt
say_init=0
say_connect_incoming=0
say_connect_block=0
say_connect_reject_kicked=0
say_connect_cancel=0
poll_interval_status=1
poll_interval_dumpuser=10
poll_interval_serverinfo=300
ping_kick=400
console_color=2
player_color=7
EOF
: >"$work/drav-logger-ip.txt"
(cd "$work" && exec "$monitor" --headless </dev/null >/dev/null 2>"$work/monitor.err") &
logger=$!
pids+=("$logger")

max_quiet=0
sleep "$quiet_seconds"
rss_quiet=$(rss_kb "$logger")

stream_start=$(now_ms)
"$build/sim-server" --port 0 --password other --stream-port "$client_port" --stream-rate "$rate" \
  --report-commands yes >"$work/stream.out" &
stream=$!
pids+=("$stream")
rss_max=$rss_quiet
for ((i = 0; i < seconds * 2; ++i)); do
  sleep 0.5
  kill -0 "$logger" 2>/dev/null || { echo "the monitor ended:" >&2; cat "$work/monitor.err" >&2; exit 1; }
  rss=$(rss_kb "$logger")
  ((rss > rss_max)) && rss_max=$rss
done
rss_end=$(rss_kb "$logger")
kill -TERM "$stream"
wait "$stream" || true
stream_end=$(now_ms)
kill -TERM "$logger"
wait "$logger" || true
kill -TERM "$server"
wait "$server" || true

# Longest gap between two status requests within [from, to) ms of the server's clock.
longest_gap() {
  awk -v from="$1" -v to="$2" '$2 == "status" && $1 >= from && $1 < to {
      if (seen) { gap = $1 - last; if (gap > longest) longest = gap }
      last = $1; seen = 1; count++ }
    END { printf "%d ms (%d polls)", longest, count }' "$work/server.out"
}
from_stream=$((stream_start - server_start))
to_stream=$((stream_end - server_start))
echo "datagrams streamed: $(sed -n 's/^streamed //p' "$work/stream.out") in $(((stream_end - stream_start) / 1000)) s (asked: $rate a second)"
echo "longest gap between polls, quiet:  $(longest_gap 2000 "$from_stream")"
echo "longest gap between polls, stream: $(longest_gap "$from_stream" "$to_stream")"
echo "monitor RSS: ${rss_quiet} kB before the stream, at most ${rss_max} kB during it, ${rss_end} kB at its end"
