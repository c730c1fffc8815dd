# Shell helpers shared by the benchmark scripts (sourced, not run).

# Waits up to 10 s for a line matching `pattern` in `file` (a helper program's "listening on"
# line); status 1 and a message when none came.
wait_for_line() { # file pattern
  for _ in $(seq 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$2' in $1" >&2
  return 1
}
