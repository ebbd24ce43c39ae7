#!/usr/bin/env bash
# kestrio-dnc fleet on simulated CNCs: the wall time of 50 machines changed
# with --parallel 8 and with --parallel 50, against one machine's change in
# the same run, and what the client holds meanwhile (its resident memory,
# open sockets and threads, sampled every 20 ms).  Each Kestrio Setup polls
# its requests once a second, as the Windows program does; the simulated
# tools make a change cost the same on every machine.  Prints figures; not
# a test.
#
#   fleet_bench.sh BUILD-DIR [MACHINES]        (./kestrio bench runs it)
set -eu
build=$1 count=${2:-50}
fleet="$(cd "$(dirname "$0")/.." && pwd)/tools/sim-fleet.sh"
dnc="$build/cli/kestrio-dnc"
work=$(mktemp -d /tmp/kestrio-fleet-bench-XXXXXX)
trap '"$fleet" "$build" down "$work/m" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

# run HOSTS PARALLEL LANGUAGE: one fleet change; prints its seconds, the
# client's peak resident kB, peak sockets and peak threads, and how busy
# this computer's processors were (the simulated machines share them).
cpu() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8 }' /proc/stat; }
run() {
  local start end pid rss=0 sockets=0 threads=0 n busy0 total0 busy1 total1
  read -r busy0 total0 < <(cpu)
  start=$(date +%s.%N)
  "$dnc" fleet change "$1" --root 'D:\LanguagePacks' --language "$3" --parallel "$2" >"$work/out" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    n=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0); ((${n:-0} > rss)) && rss=$n || :
    n=$(find "/proc/$pid/fd" -lname 'socket:*' 2>/dev/null | wc -l); ((n > sockets)) && sockets=$n || :
    n=$(awk '/^Threads/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0); ((${n:-0} > threads)) && threads=$n || :
    sleep 0.02
  done
  wait "$pid" || { echo "the fleet change failed:" >&2; tail -n 5 "$work/out" >&2; exit 1; }
  end=$(date +%s.%N)
  read -r busy1 total1 < <(cpu)
  grep -q "summary: $(grep -c . <(grep -v '^#' "$1")) done" "$work/out" || { echo "not every machine was changed:" >&2; tail -n 3 "$work/out" >&2; exit 1; }
  echo "$(echo "$end - $start" | bc) $rss $sockets $threads $(((busy1 - busy0) * 100 / (total1 - total0)))"
}

"$fleet" "$build" up "$work/m" "$count" --uniform >/dev/null
grep '^cnc01 ' "$work/m/hosts" >"$work/one"
printf 'fleet change of %s simulated machines (German to another language; each machine polls once a second)\n' "$count"
printf '%s processors here\n' "$(nproc)"
printf '%-28s %9s %8s %12s %8s %8s %8s\n' "" "seconds" "x one" "client kB" "sockets" "threads" "CPU %"
read -r one rss sockets threads busy < <(run "$work/one" 1 Polish)
printf '%-28s %9.2f %8s %12s %8s %8s %8s\n' "one machine" "$one" "1.00" "$rss" "$sockets" "$threads" "$busy"
# The same machines again, each time to another language: Kestrio Setup
# takes a new change before the machine is restarted.
for row in "8 French" "$count Spanish"; do
  read -r parallel language <<<"$row"
  read -r t rss sockets threads busy < <(run "$work/m/hosts" "$parallel" "$language")
  printf '%-28s %9.2f %8.2f %12s %8s %8s %8s\n' "$count machines, --parallel $parallel" "$t" "$(echo "$t / $one" | bc -l)" \
    "$rss" "$sockets" "$threads" "$busy"
done
