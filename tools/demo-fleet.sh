#!/usr/bin/env bash
# Twelve simulated CNCs changed to Polish in one run of kestrio-dnc fleet:
# the live table (plain lines when piped), the summary, then every machine
# restarted (the simulated machine's reboot) and shown.
#
#   demo-fleet.sh BUILD-DIR        (./kestrio demo-fleet builds the native preset and calls this)
set -euo pipefail
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
fleet="$top/tools/sim-fleet.sh"
sim="$build/sim/kestrio-sim"
dnc="$build/cli/kestrio-dnc"
work=$(mktemp -d /tmp/kestrio-fleet-XXXXXX)
step() { printf '\n\033[1m-- %s\033[0m\n' "$*"; }
trap '"$fleet" "$build" down "$work" >/dev/null 2>&1 || true' EXIT

step "Twelve simulated CNCs, each with Kestrio Setup on a port of its own (cnc03 is Polish already, cnc05 and cnc10 have no Polish pack, cnc07 has its write filter on, cnc11 too little free space)"
"$fleet" "$build" up "$work" 12
cat "$work/hosts"

step "kestrio-dnc fleet status"
"$dnc" fleet status "$work/hosts" || true

step "kestrio-dnc fleet change: every machine to Polish, four at once"
"$dnc" fleet change "$work/hosts" --root 'D:\LanguagePacks' --language Polish --parallel 4 --json "$work/report.json" || true
echo "(the report of every host: $work/report.json)"

step "Stop Kestrio Setup on every machine, restart the machines, start it again"
"$fleet" "$build" down "$work"
for m in "$work"/cnc[0-9][0-9]; do "$sim" reboot "$m"; done
"$fleet" "$build" up "$work" 12

step "kestrio-dnc fleet status after the restart"
"$dnc" fleet status "$work/hosts" || true

printf '\nThe machines stay in %s for a closer look.\n' "$work"
