#!/usr/bin/env bash
# A remote language change from German to French on a simulated CNC machine:
# Kestrio Setup runs on the machine (here without a window), and a DNC client
# asks it over TCP to scan the language packs and to install French.
#
#   demo.sh BUILD-DIR        (./kestrio demo builds the native preset and calls this)
set -euo pipefail
build=$1
sim="$build/sim/kestrio-sim"
engine="$build/cli/kestrio-engine"
setup="$build/app/posix/kestrio-setup"
dnc="$build/cli/kestrio-dnc"
work=$(mktemp -d /tmp/kestrio-demo-XXXXXX)
machine="$work/cnc"
log="$work/kestrio-setup.log"
# shellcheck source=style.sh
source "$(dirname "$0")/style.sh"
step() { printf '\n'; bold "-- $*"; }

setup_pid=""
stop_setup() { [[ -z $setup_pid ]] || kill "$setup_pid" 2>/dev/null || true; }
trap stop_setup EXIT

step "A simulated CNC: German current, German and French installed, packs for four languages under D:\\LanguagePacks"
"$sim" create "$machine" --language de-DE --installed de-DE,fr-FR --packs de-DE,fr-FR,es-ES,it-IT
"$sim" show "$machine"

step "Switch the machine on: Kestrio Setup starts as the CNC's start-up starts it (its output goes to $log)"
# kestrio-sim power restarts the machine, and Kestrio Setup with it, when the
# package tool restarts Windows; here two seconds after the tool returns, and
# the restart takes three.
"$sim" power "$machine" -- "$setup" --machine "$machine" --port 0 >"$log" 2>&1 &
setup_pid=$!
port=""
for _ in $(seq 100); do  # it prints its port once the DNC server is up
  port=$(sed -n 's/^kestrio-setup: DNC server on port \([0-9]*\)$/\1/p' "$log" | head -n 1)
  [[ -n $port ]] && break
  kill -0 "$setup_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ -z $port ]]; then
  echo "Kestrio Setup did not start:"; cat "$log"; exit 1
fi
echo "Kestrio Setup serves the DNC variables on port $port"

step "From a DNC client: scan D:\\LanguagePacks, change the language to French, and follow the restart"
"$dnc" --port "$port" change --root 'D:\LanguagePacks' --language French

step "The commands the machine's tools received"
cat "$machine/commands.log"

step "The machine after its restart: the pending package changes took effect"
grep -E 'restarts|DNC server on port' "$log"
"$engine" --machine "$machine" status

step "Switch the machine off (SIGTERM: Kestrio Setup's close command, allowed now that nothing runs)"
kill -TERM "$setup_pid"
for _ in $(seq 50); do kill -0 "$setup_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$setup_pid" 2>/dev/null; then
  echo "Kestrio Setup is still running:"; tail -n 5 "$log"; exit 1
fi
wait "$setup_pid" || true
setup_pid=""
echo "Kestrio Setup has ended"

printf '\nThe simulated machine stays in %s for a closer look, with the log of Kestrio Setup.\n' "$work"
