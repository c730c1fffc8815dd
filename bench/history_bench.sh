#!/usr/bin/env bash
# Start-up time, insertion time and memory of the access list and the IP history at the
# sizes of a server run for years (a million history lines, a hundred thousand networks),
# with `LC_ALL=C sort` of the same history file as the baseline measured in the same run.
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
cmake --build "$build" -j2 --target bench_history >/dev/null
bench=$build/bench_history

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
ratio=$(awk -v a="$startup_ms" -v b="$sort_ms" 'BEGIN { printf "%.2f", a / b }')

failed=0
verdict() { # value, limit, strict (<) or not (<=)
  if awk -v v="$1" -v l="$2" -v s="$3" 'BEGIN { exit !(s ? v < l : v <= l) }'; then
    echo "ok"
  else
    failed=1
    echo "MISSED"
  fi
}
v_startup=$(verdict "$startup_ms" 1000 1)
v_ratio=$(verdict "$ratio" 2 0)
v_add=$(verdict "$add_ms" 20 1)
v_bytes=$(verdict "$bytes" 200 1)

echo "history: $history_lines lines ($(du -k "$work/history.txt" | cut -f1) KiB), access list: $access_lines lines"
echo "LC_ALL=C sort of the history:         $sort_ms ms (median of $runs)"
echo "start-up, access list + history:      $startup_ms ms (median of $runs: access list $access_ms ms, history $history_ms ms)  target < 1000 ms: $v_startup"
echo "ratio start-up / sort:                $ratio  target <= 2: $v_ratio"
echo "r_dravlistip_add_ip_name at $entries entries: $add_ms ms (median of $adds, slowest $add_max_ms ms)  target < 20 ms: $v_add"
echo "memory per history entry:             $bytes bytes  target < 200: $v_bytes"
exit "$failed"
