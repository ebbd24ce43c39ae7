#!/usr/bin/env bash
# A language change from German to Spanish on a simulated CNC machine.
set -euo pipefail
build=$1
sim="$build/sim/kestrio-sim"
engine="$build/tools/kestrio-engine"
work=$(mktemp -d /tmp/kestrio-demo-XXXXXX)
machine="$work/cnc"
step() { printf '\n\033[1m-- %s\033[0m\n' "$*"; }

step "A simulated CNC: German current, German and French installed, packs for four languages under D:\\LanguagePacks"
"$sim" create "$machine" --language de-DE --installed de-DE,fr-FR --packs de-DE,fr-FR,es-ES,it-IT
"$sim" show "$machine"

step "What the engine sees"
"$engine" --machine "$machine" status

step "Change to Spanish"
"$engine" --machine "$machine" change 'D:\LanguagePacks' Spanish

step "The commands the machine's tools received"
cat "$machine/commands.log"

step "Restart the machine"
"$sim" reboot "$machine"
"$engine" --machine "$machine" status

printf '\nThe simulated machine stays in %s for a closer look.\n' "$machine"
