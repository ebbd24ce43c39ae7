#!/usr/bin/env bash
# kestrio-dnc fleet on a floor of simulated CNCs whose tools take the time
# real ones do (add-package 5 s, remove-package 3 s, bcdedit and expand
# 0.2 s: the tools sleep, so the processors stay free and the figures measure
# the client): one machine's change, then every machine at --parallel equal
# to their count and at the default, each against the one machine; what the
# client holds meanwhile (its peak resident memory, open sockets and threads,
# sampled every 20 ms) and its own processor time per host (user + system,
# GNU time); fleet discover of the /16 the machines are in; and fleet status
# of 1,000 hosts at --parallel 1000 that accept and never answer (one helper
# process; a thousand simulated machines do not fit two processors).
# Each machine listens on an address of its own (127.77.x.y) on one port.
# Prints figures; not a test.
#
#   fleet_bench.sh BUILD-DIR [MACHINES]        (./kestrio bench runs it; 200 machines)
set -eu
build=$1 count=${2:-200}
fleet="$(cd "$(dirname "$0")/.." && pwd)/tools/sim-fleet.sh"
dnc="$build/cli/kestrio-dnc"
work=$(mktemp -d /tmp/kestrio-fleet-bench-XXXXXX)
trap '"$fleet" "$build" down "$work/m" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
times=(seconds.add-package=5 seconds.remove-package=3 seconds.bcdedit=0.2 seconds.expand=0.2)

# measure COMMAND...: runs it in the background and prints its seconds, the
# peak resident kB (GNU time), peak sockets and threads of the process, and how
# busy this computer's processors were meanwhile (the simulated machines and
# their tools share them: near 100 the floor, not the client, sets the pace).
cpu() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8 }' /proc/stat; }
measure() {
  local start end pid rss=0 sockets=0 threads=0 n busy0 total0 busy1 total1 user system
  read -r busy0 total0 < <(cpu)
  start=$(date +%s.%N)
  # GNU time gives the peak resident memory; the process it runs is sampled.
  /usr/bin/time -f '%M %U %S' -o "$work/rss" "$@" >"$work/out" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    child=$(pgrep -P "$pid" | head -n 1)
    if [[ -n $child ]]; then
      n=$(find "/proc/$child/fd" -lname 'socket:*' 2>/dev/null | wc -l); ((n > sockets)) && sockets=$n || :
      n=$(awk '/^Threads/ { print $2 }' "/proc/$child/status" 2>/dev/null || echo 0); ((${n:-0} > threads)) && threads=$n || :
    fi
    sleep 0.02
  done
  wait "$pid" || [[ -n ${MAY_FAIL:-} ]] || { echo "failed: $*" >&2; tail -n 5 "$work/out" >&2; exit 1; }
  end=$(date +%s.%N)
  read -r rss user system < <(tail -n 1 "$work/rss")
  read -r busy1 total1 < <(cpu)
  echo "$(echo "$end - $start" | bc) $rss $sockets $threads $(((busy1 - busy0) * 100 / (total1 - total0))) $(echo "$user + $system" | bc)"
}

# change HOSTS PARALLEL LANGUAGE: one fleet change, every machine done.
change() {
  local figures
  figures=$(measure "$dnc" fleet change "$1" --root 'D:\LanguagePacks' --language "$3" --parallel "$2" --no-follow) || exit 1
  grep -q "summary: $(grep -vc '^#' "$1") done" "$work/out" ||
    { echo "not every machine was changed:" >&2; tail -n 3 "$work/out" >&2; exit 1; }
  echo "$figures"
}

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.77.0.2",0)); print(s.getsockname()[1])')
# The change alone is measured: the machines do not restart after it.
"$fleet" "$build" up "$work/m" "$count" --uniform --spread "$port" "${times[@]}" restart=manual >/dev/null
grep '^cnc0*1 ' "$work/m/hosts" >"$work/one"
printf 'fleet change of %s simulated machines, German to another language; tools take %s\n' "$count" "${times[*]}"
printf '%s processors here; each machine polls once a second\n' "$(nproc)"
printf '%-36s %9s %8s %12s %8s %8s %6s %12s\n' "" "seconds" "x one" "client kB" "sockets" "threads" "CPU %" "client ms/host"
per_host() { printf '%.2f' "$(echo "$1 * 1000 / $2" | bc -l)"; }
figures=$(change "$work/one" 1 Polish) || exit 1
read -r one rss sockets threads busy cpu_s <<<"$figures"
printf '%-36s %9.2f %8s %12s %8s %8s %6s %12s\n' "one machine" "$one" "1.00" "$rss" "$sockets" "$threads" "$busy" \
  "$(per_host "$cpu_s" 1)"
# The same machines again, each time to another language: Kestrio Setup
# takes a new change before the machine is restarted.
for row in "$count French" "8 Spanish"; do
  read -r parallel language <<<"$row"
  figures=$(change "$work/m/hosts" "$parallel" "$language") || exit 1
  read -r t rss sockets threads busy cpu_s <<<"$figures"
  label="$count machines, --parallel $parallel"
  [[ $parallel == 8 ]] && label="$label (default)"
  printf '%-36s %9.2f %8.2f %12s %8s %8s %6s %12s\n' "$label" "$t" "$(echo "$t / $one" | bc -l)" "$rss" "$sockets" "$threads" \
    "$busy" "$(per_host "$cpu_s" "$count")"
done
printf 'targets: %s machines within 1.20 x one; client within 16384 kB; sockets and threads within --parallel + 2;\n' "$count"
printf '  client within 5 ms of processor time a host.  With the processors near 100%% busy the simulated\n'
printf '  floor, not the client, sets the time: its x one is the floor'"'"'s figure on %s processors.\n' "$(nproc)"

echo
python3 "$(dirname "$0")/../tests/support/silent_hosts.py" 1000 "$work/silent" 600 >"$work/silent.out" & silent=$!
for _ in $(seq 200); do grep -q ready "$work/silent.out" && break; sleep 0.05; done
ulimit -n "$(ulimit -Hn)" 2>/dev/null || :
figures=$(MAY_FAIL=1 measure "$dnc" fleet status "$work/silent" --parallel 1000 --timeout 2000) || exit 1
kill "$silent"
read -r t rss sockets threads busy cpu_s <<<"$figures"
rows=$(grep -c "no reply" "$work/out" || :)
printf 'fleet status of 1000 hosts that never answer, --parallel 1000 --timeout 2000 (%s rows):\n' "$rows"
printf '  %.2f s, client %s kB (target 32768), %s sockets, %s threads at most, %s ms of processor time a host\n' \
  "$t" "$rss" "$sockets" "$threads" "$(per_host "$cpu_s" 1000)"
printf '  (target 5), processors %s%% busy\n' "$busy"

echo
figures=$(measure "$dnc" fleet discover 127.77.0.0/16 --port "$port") || exit 1
read -r t rss sockets threads busy cpu_s <<<"$figures"
found=$(sed -n 's/^\([0-9]*\) machines found.*/\1/p' "$work/out")
printf 'fleet discover 127.77.0.0/16 (65536 addresses, %s machines found of %s), --parallel 64:\n' "$found" "$count"
printf '  %.2f s, client %s kB, %s sockets, %s threads at most, processors %s%% busy\n' "$t" "$rss" "$sockets" "$threads" "$busy"
