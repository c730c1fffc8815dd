#!/usr/bin/env bash
# Start-up time, memory, insertion time and find steps of the access list and the IP history
# at the sizes of a server run for years (a million history lines, a hundred thousand
# networks), with `LC_ALL=C sort` of the same history file as the baseline measured in the
# same run, and the wall time of `drav-logger --find` on the same files.
#
# Usage: bench/history_bench.sh [build-folder]
# Without a folder, build-bench in the repository is configured (Release) and used.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build-bench}
history_lines=1000000
access_lines=100000
runs=5
adds=21

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target bench_history drav-logger >/dev/null
bench=$build/bench_history
logger=$build/drav-logger

work=$(mktemp -d "${TMPDIR:-/tmp}/drav-history-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

"$bench" generate "$work" "$history_lines" "$access_lines"
cat "$work/history.txt" "$work/access.txt" >/dev/null # both runs start from the page cache

now_ms() { date +%s%N | awk '{ printf "%.1f", $1 / 1e6 }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { sed -n "s/^$1=//p"; }

sort_times=()
startup_times=()
access_times=()
history_times=()
for ((i = 0; i < runs; ++i)); do
  start=$(now_ms)
  LC_ALL=C sort "$work/history.txt" >/dev/null
  end=$(now_ms)
  sort_times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')")

  figures=$("$bench" measure "$work" 0)
  startup_times+=("$(field startup_ms <<<"$figures")")
  access_times+=("$(field access_ms <<<"$figures")")
  history_times+=("$(field history_ms <<<"$figures")")
done
figures=$("$bench" measure "$work" "$adds")

sort_ms=$(printf '%s\n' "${sort_times[@]}" | median)
startup_ms=$(printf '%s\n' "${startup_times[@]}" | median)
access_ms=$(printf '%s\n' "${access_times[@]}" | median)
history_ms=$(printf '%s\n' "${history_times[@]}" | median)
entries=$(field entries <<<"$figures")
add_ms=$(field add_median_ms <<<"$figures")
add_max_ms=$(field add_max_ms <<<"$figures")
bytes=$(field bytes_per_entry <<<"$figures")
beyond=$(field bytes_beyond_text <<<"$figures")
peak=$(field peak_over_file <<<"$figures")
process_peak=$(field process_peak_over_file <<<"$figures")
find_nothing_ms=$(field find_nothing_ms <<<"$figures")
find_ms=$(field find_max_ms <<<"$figures")
aliases_ms=$(field aliases_ms <<<"$figures")
ratio=$(awk -v a="$startup_ms" -v b="$sort_ms" 'BEGIN { printf "%.2f", a / b }')

# Verdicts are taken in subshells, so the exit status comes from the printed report.
verdict() { # value, limit, strict (<) or not (<=)
  if awk -v v="$1" -v l="$2" -v s="$3" 'BEGIN { exit !(s ? v < l : v <= l) }'; then
    echo "ok"
  else
    echo "MISSED"
  fi
}
v_startup=$(verdict "$startup_ms" 1000 1)
v_ratio=$(verdict "$ratio" 1.3 0)
v_peak=$(verdict "$peak" 1.5 0)
v_beyond=$(verdict "$beyond" 32 0)
v_add=$(verdict "$add_ms" 1 1)
v_find=$(verdict "$find_ms" 30 1)
v_aliases=$(verdict "$aliases_ms" 100 1)

# `drav-logger --find QUERY` in a work folder whose configuration names the generated files:
# the whole run, loading included. The query is a text that no entry has, the slowest kind.
find_line="not measured: $logger has no --find option"
if grep -q -- '--find' "$logger"; then
  mkdir "$work/run"
  {
    printf '%s\n' log_file= "log_file_ip=$work/history.txt" net_server_ip=127.0.0.1 \
      net_server_port=27910 net_server_rcon=secret net_client_port=0 \
      net_response_timeout_1=500 net_response_timeout_next=0 access_level=1 \
      access_reconnect_timeout=60 access_kicked_reject_timeout=300 \
      "access_list_file=$work/access.txt" "access_list_file_add=$work/access-add.txt" \
      say_init=0 say_connect_incoming=0 say_connect_block=0 say_connect_reject_kicked=0 \
      say_connect_cancel=0 poll_interval_status=2 poll_interval_dumpuser=10 \
      poll_interval_serverinfo=300 ping_kick=400 console_color=2 player_color=7
  } >"$work/run/drav-logger.cfg"
  find_times=()
  status=1
  for ((i = 0; i < runs && status == 1; ++i)); do
    start=$(now_ms)
    status=0
    (cd "$work/run" && "$logger" --find "qqzzx nothing" >/dev/null </dev/null) || status=$?
    end=$(now_ms)
    find_times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')")
  done
  cli_ms=$(printf '%s\n' "${find_times[@]}" | median)
  find_line="$cli_ms ms (median of $runs)  target < 1000 ms: $(verdict "$cli_ms" 1000 1)"
  if ((status != 1)); then # 1: nothing matched, as it must
    find_line="exit status $status instead of 1 (nothing found): MISSED"
  fi
fi

report() {
  echo "history: $history_lines lines ($(du -k "$work/history.txt" | cut -f1) KiB), access list: $access_lines lines"
  echo "LC_ALL=C sort of the history:         $sort_ms ms (median of $runs)"
  echo "start-up, access list + history:      $startup_ms ms (median of $runs: access list $access_ms ms, history $history_ms ms)  target < 1000 ms: $v_startup"
  echo "ratio start-up / sort:                $ratio  target <= 1.3: $v_ratio"
  echo "peak resident of the load / file:     $peak (whole program so far $process_peak)  target <= 1.5: $v_peak"
  echo "memory per history entry:             $bytes bytes, $beyond beyond the names' text  target <= 32: $v_beyond"
  echo "r_dravlistip_add_ip_name at $entries entries: $add_ms ms (median of $adds, slowest $add_max_ms ms)  target < 1 ms: $v_add"
  echo "r_dravlistip_find step, slowest:      $find_ms ms (a text that no entry has: $find_nothing_ms ms)  target < 30 ms: $v_find"
  echo "r_dravlistip_aliases:                 $aliases_ms ms  target < 100 ms: $v_aliases"
  echo "drav-logger --find with loading:      $find_line"
}
report=$(report)
echo "$report"
[[ $report != *MISSED* ]]
