#!/usr/bin/env bash
# The plant story in one run, on twelve simulated CNCs that nobody stands at
# (their message boxes stay up, unanswered) and whose tools take time:
# kestrio-dnc fleet discover finds them and writes the hosts file, a canary
# goes first, the rest follow with a failure budget, the causes of the
# failures are mended and a retry runs only what failed or did not start.
# Each machine that changed restarts by itself (its package tool restarts
# Windows) and the client follows it to the language it comes back in; the
# floor's status shows the new languages with nobody having touched it.
#
#   demo-fleet.sh BUILD-DIR        (./kestrio demo-fleet builds the native preset and calls this)
set -euo pipefail
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
fleet="$top/tools/sim-fleet.sh"
sim="$build/sim/kestrio-sim"
dnc="$build/cli/kestrio-dnc"
work=$(mktemp -d /tmp/kestrio-fleet-XXXXXX)
# shellcheck source=style.sh
source "$(dirname "$0")/style.sh"
step() { printf '\n'; bold "-- $*"; }
trap '"$fleet" "$build" down "$work" >/dev/null 2>&1 || true' EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.77.0.2",0)); print(s.getsockname()[1])')
floor=("$build" up "$work" 12 --spread "$port" --boxes stay
       seconds.add-package=2 seconds.remove-package=1 seconds.bcdedit=0.2 seconds.expand=0.1
       seconds.shutdown=1 seconds.boot=2)

step "Twelve simulated CNCs, each with Kestrio Setup on port $port at an address of its own, 127.77.0.2 to .13 (.4 is Polish already, .6 and .11 have no Polish pack, .8 has its write filter on, .12 too little free space; boxes stay unanswered)"
"$fleet" "${floor[@]}"

step "kestrio-dnc fleet discover 127.77.0.0/24: the floor's inventory, written as a hosts file"
"$dnc" fleet discover 127.77.0.0/24 --port "$port" --write "$work/plant.hosts"
cat "$work/plant.hosts"

step "kestrio-dnc fleet change: every machine to Polish; one canary first, followed through its restart, then four at once, stopping after three failures"
"$dnc" fleet change "$work/plant.hosts" --root 'D:\LanguagePacks' --language Polish --canary 1 --max-failures 3 \
  --parallel 4 --json "$work/report.json" || true
echo "(the report of every host: $work/report.json)"

step "The causes mended: the Polish pack copied to .6 and .11, the write filter of .8 off, room made on .12"
for m in cnc05 cnc10; do
  mkdir -p "$work/$m/D/LanguagePacks/pl-PL"
  "$sim" make-pack "$work/$m/D/LanguagePacks/pl-PL/lp.cab" pl-PL
done
"$sim" set "$work/cnc07" filter=off protect-c=off
"$sim" set "$work/cnc11" free-bytes=21474836480

step "kestrio-dnc fleet change --retry: only what failed or did not start, under the boxes nobody answered"
"$dnc" fleet change --retry "$work/report.json" --parallel 4 --json "$work/retry.json" || true

step "kestrio-dnc fleet status: the machines restarted by themselves, in Polish"
"$dnc" fleet status "$work/plant.hosts" || true

printf '\nThe machines stay in %s for a closer look.\n' "$work"
