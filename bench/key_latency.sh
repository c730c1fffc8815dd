#!/usr/bin/env bash
# Key latency of the monitor at its screen in a real terminal (tmux), against the simulated
# server's demo scenario (players keep joining, leaving and coming back), in three runs:
#   baseline            the simulator on this machine, direct;
#   200 ms round trip   behind udp-delay-proxy, which holds each datagram 100 ms each way;
#   resolver 2 s        every reverse look-up answered after 2 s by slow-dns.
# Each run has a private network and mount namespace (`unshare -rnm`) of its own whose
# /etc/resolv.conf names slow-dns on 127.0.0.1 (answering at once in the first two runs), so
# the players' test addresses are never looked up anywhere else.
#
# In each run the console line is opened and KEYS keys are sent one at a time, at irregular
# spacing: a letter, then Backspace, and so on. A key's latency runs from its send to the
# bottom row showing it; the row is read through a tmux control-mode client every 2 ms. Each
# run prints the median, the 95th percentile and the slowest latency and their ratios to
# the baseline, and the gaps between the status requests the simulator received. PASS/FAIL
# lines follow for the targets: p95 under 50 ms and slowest under 150 ms in the two slow
# runs, and polls within 10 % of their interval while look-ups wait.
#
# Usage: bench/key_latency.sh [build-folder] [keys]
# The build folder (default ./build) needs drav-logger, sim-server, udp-delay-proxy and
# slow-dns (configure with -DDRAV_BENCH=ON). Needs tmux, unshare (util-linux) and root or
# user namespaces. Exits with 0 whatever the figures, 1 when the setup fails or the monitor
# ends during a run.
set -euo pipefail
# shellcheck source=bench/bench_lib.sh
. "$(dirname "$0")/bench_lib.sh"
export LC_ALL=C

readonly POLL_SECONDS=1
readonly KEY_TIMEOUT_MS=10000
readonly RUN_LIMIT_MS=70000
readonly ROWS=40

# ---- one run, inside its own namespaces --------------------------------------------------

pids=()
socket=""
control_pid=""
stop_run() {
  # The control client first: the server waits for its clients as it ends.
  if [ -n "$control_pid" ]; then
    kill "$control_pid" 2>/dev/null || true
    wait "$control_pid" 2>/dev/null || true
    control_pid=""
  fi
  if [ -n "$socket" ]; then
    tmux -S "$socket" kill-server 2>/dev/null || true
  fi
  socket=""
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}

start_helpers() { # dir link-delay-ms dns-delay-ms; sets server_port
  local dir=$1 link_ms=$2 dns_ms=$3
  # Host names from the hosts file and slow-dns only, whatever else the system asks.
  printf 'nameserver 127.0.0.1\noptions timeout:5 attempts:1\n' >"$dir/resolv.conf"
  sed 's/^hosts:.*/hosts: files dns/' /etc/nsswitch.conf >"$dir/nsswitch.conf"
  mount --bind "$dir/resolv.conf" /etc/resolv.conf
  mount --bind "$dir/nsswitch.conf" /etc/nsswitch.conf
  "$build/slow-dns" --port 53 --delay-ms "$dns_ms" >"$dir/dns.out" &
  pids+=("$!")
  wait_for_line "$dir/dns.out" "listening on"
  "$build/sim-server" --port 0 --password bench --scenario demo --report-commands yes \
    >"$dir/sim.out" &
  pids+=("$!")
  wait_for_line "$dir/sim.out" "listening on"
  server_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$dir/sim.out")
  if [ "$link_ms" -gt 0 ]; then
    "$build/udp-delay-proxy" --server-port "$server_port" --delay-ms "$link_ms" >"$dir/proxy.out" &
    pids+=("$!")
    wait_for_line "$dir/proxy.out" "listening on"
    server_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$dir/proxy.out")
  fi
}

# The example configuration with the run's server, polled every POLL_SECONDS, no access list.
write_config() { # dir
  sed -e "s/^net_server_port=.*/net_server_port=$server_port/" \
      -e "s/^net_server_rcon=.*/net_server_rcon=bench/" \
      -e "s/^poll_interval_status=.*/poll_interval_status=$POLL_SECONDS/" \
      -e "s/^access_list_file=.*/access_list_file=/" \
      "$repo/drav-logger.cfg.example" >"$1/drav-logger.cfg"
  : >"$1/drav-logger-ip.txt"
}

# A tmux command through the control-mode client; its output lines land in `reply`.
tmux_command() {
  printf '%s\n' "$1" >&"${control[1]}"
  read_block
}

# The next block of command output from the control-mode client, into `reply`.
read_block() {
  reply=()
  local line inside=0
  while IFS= read -r line <&"${control[0]}"; do
    case $line in
      %begin*) inside=1 ;;
      %end* | %error*) [ "$inside" = 1 ] && return 0 ;;
      *) [ "$inside" = 1 ] && reply+=("$line") ;;
    esac
  done
  echo "the tmux control client ended" >&2
  return 1
}

bottom_row() {
  tmux_command "capture-pane -p -t bench -S $((ROWS - 1)) -E $((ROWS - 1))"
  row=${reply[0]-}
}

pause_ms() { read -r -t "$(printf '0.%03d' "$1")" -u "$pause_fd" || true; }
now_us() { local t=$EPOCHREALTIME; echo $((10#${t/./})); }

# Milliseconds (with tenths) from the send of `key` to the bottom row reading `expected`;
# "timeout" after KEY_TIMEOUT_MS.
time_key() { # key expected
  local start end
  start=$(now_us)
  tmux_command "send-keys -t bench $1"
  while :; do
    bottom_row
    end=$(now_us)
    if [ "$row" = "$2" ]; then
      printf '%d.%d\n' $(((end - start) / 1000)) $(((end - start) % 1000 / 100))
      return
    fi
    if ((end - start > KEY_TIMEOUT_MS * 1000)); then
      echo timeout
      return
    fi
    pause_ms 2
  done
}

start_monitor() { # dir
  socket=$1/tmux.socket
  unset TMUX
  tmux -S "$socket" -f /dev/null new-session -d -s bench -x 120 -y "$ROWS" -c "$1" \
    "sh -c 'echo \$\$ > monitor.pid; exec \"$build/drav-logger\" 2>monitor.err'; sleep 3600"
  coproc control { tmux -S "$socket" -C attach -t bench 2>&1; }
  # shellcheck disable=SC2154 # coproc sets control_PID
  control_pid=$control_PID
  read_block  # the attach's own
  tmux_command "refresh-client -f no-output"
  tmux_command "display-message -p -t bench '#{window_height}'"
  [ "${reply[0]-}" = "$ROWS" ] || { echo "the terminal has ${reply[0]-no} rows, not $ROWS" >&2; return 1; }
  local waited
  for waited in $(seq 400); do
    tmux_command "capture-pane -p -t bench"
    [[ "${reply[*]}" == *"Client Connect"* ]] && return 0
    pause_ms 50
  done
  echo "the monitor showed no player within $((waited / 20)) s:" >&2
  cat "$1/monitor.err" >&2 || true
  return 1
}

# Opens the console line, then sends the keys: a letter, Backspace, the next letter...
send_keys() { # dir keys
  local dir=$1 keys=$2 letters=abcdefghijklmnopqrstuvwxyz i key expected began
  tmux_command "send-keys -t bench '\`'"
  for _ in $(seq 500); do
    bottom_row
    [ -z "$row" ] && break
    pause_ms 20
  done
  [ -z "$row" ] || { echo "the console line did not open: '$row'" >&2; return 1; }
  RANDOM=26
  began=$(now_us)
  for ((i = 0; i < keys; ++i)); do
    pause_ms $((20 + RANDOM % 230))
    if ((i % 2 == 0)); then
      key=${letters:$((i / 2 % 26)):1} expected=" ${letters:$((i / 2 % 26)):1}"
    else
      key=BSpace expected=""
    fi
    time_key "$key" "$expected" >>"$dir/keys"
    (($(now_us) - began < RUN_LIMIT_MS * 1000)) || break
  done
}

# Runs the monitor with the run's link and resolver delays and writes dir/keys (a latency
# per key), dir/sim.out (the commands the server received) and dir/dns.out.
run_inside() { # dir link-delay-ms dns-delay-ms keys
  local dir=$1
  trap stop_run EXIT
  trap 'exit 1' INT TERM
  mkfifo "$dir/pause"
  exec {pause_fd}<>"$dir/pause"
  start_helpers "$dir" "$2" "$3"
  write_config "$dir"
  start_monitor "$dir"
  sleep 2  # the first polls, look-ups and details fetches
  : >"$dir/keys"
  send_keys "$dir" "$4"
  if ! kill -0 "$(cat "$dir/monitor.pid")" 2>/dev/null; then
    echo "the monitor ended during the run:" >&2
    cat "$dir/monitor.err" >&2
    return 1
  fi
  stop_run  # the simulator prints the commands it received as it ends
}

# ---- figures ------------------------------------------------------------------------------

# "count median p95 slowest timeouts" of a file of latencies (nearest-rank percentile).
latency_figures() {
  grep -v timeout "$1" | sort -g | awk -v timeouts="$(grep -c timeout "$1" || true)" '
    { value[NR] = $1 }
    END {
      n = NR + timeouts
      if (n == 0) { print "0 0 0 0 0"; exit }
      p95 = int(0.95 * n + 0.999999)
      median = n % 2 ? rank((n + 1) / 2) : (rank(n / 2) + rank(n / 2 + 1)) / 2
      printf "%d %.1f %.1f %.1f %d\n", n, median, rank(p95), rank(n), timeouts
    }
    function rank(k) { return k <= NR ? value[k] : 1e9 }'
}

# "polls median-gap-ms longest-gap-ms outside" of the polls after the first three: the gaps
# between their first status requests, and how many lie outside 10 % of the interval. A status
# request within half an interval of the one before is the same poll asking again for a reply
# that came damaged, not a poll of its own.
poll_figures() { # sim.out
  awk -v half=$((POLL_SECONDS * 500)) '$2 == "status" && (!polls || $1 - last >= half) {
      if (++polls > 3) print $1 - last; last = $1 }' "$1" | sort -n |
    awk -v interval=$((POLL_SECONDS * 1000)) -v polls="$(grep -c ' status$' "$1" || true)" '
      { gap[NR] = $1; if ($1 > 1.1 * interval || $1 < 0.9 * interval) ++outside }
      END { printf "%d %d %d %d\n", polls, NR ? gap[int((NR + 1) / 2)] : 0, gap[NR], outside }'
}

shown() { awk -v v="$1" 'BEGIN { if (v >= 1e9) print "timeout"; else if (v >= 1000) printf "%.2f s", v / 1000; else printf "%.1f ms", v }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a >= 1e9) print "-"; else printf "%.1f", (b > 0 ? a / b : 0) }'; }

print_run() { # label dir
  local n median p95 slowest timeouts polls gap longest outside
  read -r n median p95 slowest timeouts < <(latency_figures "$2/keys")
  read -r polls gap longest outside < <(poll_figures "$2/sim.out")
  printf '%-20s %5s %10s %10s %10s %6s %6s %6s %9s %9s %5s\n' "$1" "$n" "$(shown "$median")" \
    "$(shown "$p95")" "$(shown "$slowest")" "$(ratio "$median" "$base_median")" \
    "$(ratio "$p95" "$base_p95")" "$(ratio "$slowest" "$base_slowest")" "$gap ms" "$longest ms" \
    "$(grep -c '^reverse query' "$2/dns.out" || true)"
  ((timeouts == 0)) || echo "  $timeouts keys not shown within $((KEY_TIMEOUT_MS / 1000)) s"
}

verdict() { # condition text
  if awk "BEGIN { exit !($1) }"; then echo "PASS $2"; else echo "FAIL $2"; fi
}

print_verdicts() { # label dir
  local n median p95 slowest timeouts
  read -r n median p95 slowest timeouts < <(latency_figures "$2/keys")
  verdict "$p95 < 50" "$1: 95th percentile under 50 ms ($(shown "$p95"))"
  verdict "$slowest < 150" "$1: slowest under 150 ms ($(shown "$slowest"))"
}

# ---- the three runs ------------------------------------------------------------------------

repo=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1-}" = "--inside" ]; then
  build=$2
  run_inside "$3" "$4" "$5" "$6"
  exit 0
fi

build=$(cd "${1:-./build}" && pwd) || exit 1
keys=${2:-100}
for program in drav-logger sim-server udp-delay-proxy slow-dns; do
  if [ ! -x "$build/$program" ]; then
    echo "no $build/$program: configure with -DDRAV_BENCH=ON and build it" >&2
    exit 1
  fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/drav-key-latency-XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

labels=("baseline" "200 ms round trip" "resolver 2 s")
link_delays=(0 100 0)
dns_delays=(0 0 2000)
for run in 0 1 2; do
  mkdir "$work/$run"
  echo "run: ${labels[$run]}..." >&2
  if ! unshare -rnm --fork --kill-child "$0" --inside "$build" "$work/$run" "${link_delays[$run]}" \
    "${dns_delays[$run]}" "$keys"; then
    echo "the run '${labels[$run]}' could not be set up (KEEP=1 keeps $work)" >&2
    exit 1
  fi
done

read -r _ base_median base_p95 base_slowest _ < <(latency_figures "$work/0/keys")
echo "key latency of $build/drav-logger: keys typed into the console line, polls every $POLL_SECONDS s"
printf '%-20s %5s %10s %10s %10s %6s %6s %6s %9s %9s %5s\n' run keys median p95 slowest \
  "x med" "x p95" "x max" "poll gap" "longest" PTR
for run in 0 1 2; do
  print_run "${labels[$run]}" "$work/$run"
done
print_verdicts "200 ms round trip" "$work/1"
print_verdicts "resolver 2 s" "$work/2"
read -r polls gap longest outside < <(poll_figures "$work/2/sim.out")
look_ups=$(grep -c '^reverse query' "$work/2/dns.out" || true)
verdict "$outside == 0 && $polls > 3 && $look_ups > 0" \
  "resolver 2 s: every poll within 10 % of $POLL_SECONDS s ($polls polls during $look_ups look-ups, $outside gaps outside, longest $longest ms)"
exit 0
