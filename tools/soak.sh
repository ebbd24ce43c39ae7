#!/usr/bin/env bash
# Soak of the DNC service: kestrio-setup on a simulated machine (German, with
# packs for four languages under D:\LanguagePacks), and dnc_soak against it
# on the loopback address.  The host must still run at the end, and under
# the thread sanitizer it must have reported nothing.
#
#   soak.sh KESTRIO-SETUP KESTRIO-SIM DNC_SOAK [dnc_soak options...]
#
# ./kestrio soak runs the full count; the test suites run a short one.
set -uo pipefail
[[ $# -ge 3 ]] || { echo "usage: soak.sh KESTRIO-SETUP KESTRIO-SIM DNC_SOAK [options...]" >&2; exit 2; }
setup=$1 sim=$2 soak=$3
shift 3
[[ $sim == /* ]] || sim="$PWD/$sim"  # the machine's tools start it from its folders
dir=$(mktemp -d /tmp/kestrio-soak-XXXXXX)
host=""
cleanup() {
  [[ -z $host ]] || { kill -KILL "$host" 2>/dev/null; wait "$host" 2>/dev/null; }
  rm -rf "$dir"
}
trap cleanup EXIT

"$sim" create "$dir/cnc" --language de-DE --installed de-DE,fr-FR --packs de-DE,fr-FR,es-ES,it-IT >/dev/null ||
  { echo "soak: cannot create the simulated machine" >&2; exit 1; }
"$setup" --machine "$dir/cnc" --port 0 --tick-ms 100 >"$dir/host.out" 2>"$dir/host.err" &
host=$!
port=""
for _ in $(seq 600); do
  port=$(sed -n 's/^kestrio-setup: DNC server on port \([0-9]*\)$/\1/p' "$dir/host.out")
  [[ -n $port ]] && break
  kill -0 "$host" 2>/dev/null || break
  sleep 0.1
done
[[ -n $port ]] || { echo "soak: kestrio-setup did not start:" >&2; cat "$dir/host.out" "$dir/host.err" >&2; exit 1; }

"$soak" --port "$port" --pid "$host" "$@"
rc=$?
if ! kill -0 "$host" 2>/dev/null; then
  echo "soak: kestrio-setup ended during the run:"; tail -n 20 "$dir/host.err"
  rc=1
fi
races=$(grep -c 'WARNING: ThreadSanitizer' "$dir/host.err")
if [[ $races -gt 0 ]]; then
  echo "soak: the thread sanitizer reported $races warnings in kestrio-setup:"
  grep -A 30 -m 3 'WARNING: ThreadSanitizer' "$dir/host.err"
  rc=1
fi
exit $rc
