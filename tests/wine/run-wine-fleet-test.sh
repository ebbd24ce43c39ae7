#!/usr/bin/env bash
# The Windows kestrio-dnc.exe's fleet on many hosts under Wine, against one
# Linux helper that listens at a thousand loopback addresses and never
# answers: a thousand at once (small worker stacks in a 32-bit process, no
# abort), and the report as the record (a retry that writes over its own
# report, and goes to the port the run used).
#
#   run-wine-fleet-test.sh WIN32_BUILD_DIR
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: run-wine-fleet-test.sh WIN32_BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
mkdir -p "$build/wine"
exec 9>"$build/wine/lock"
flock 9
wine_prefix_env "$build/wine"
[[ -d $WINEPREFIX ]] || { wine wineboot -i >/dev/null 2>&1; wineserver -w; }

work=$(mktemp -d)
helper=""
cleanup() {
  [[ -z $helper ]] || kill "$helper" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# A thousand sockets in the client: more descriptors than the default 1024.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
python3 "$here/../support/silent_hosts.py" 1000 "$work/silent.txt" 600 >"$work/helper.out" & helper=$!
for _ in $(seq 200); do grep -q ready "$work/helper.out" && break; sleep 0.05; done
port=$(sed -n 's/^ready //p' "$work/helper.out")
[[ -n $port ]] || { echo "run-wine-fleet-test: the silent hosts did not start" >&2; exit 1; }
cp -f "$build/cli/kestrio-dnc.exe" "$work/"

failed=0
run() {  # WANT-RC -- ARGS: runs kestrio-dnc.exe in the work folder; output in $got
  local want=$1 rc=0
  shift 2
  got=$(cd "$work" && wine ./kestrio-dnc.exe "$@" 2>&1) || rc=$?
  got=${got//$'\r'/}
  [[ $rc -eq $want ]] || { echo "FAIL kestrio-dnc.exe $*: status $rc, want $want: $(tail -n 5 <<<"$got")"; failed=1; }
}
want() {  # WHAT CONDITION
  eval "$2" || { echo "FAIL $1"; failed=1; }
}

# A thousand hosts at once: every row, no abort.
run 1 -- fleet status silent.txt --parallel 1000 --timeout 5000
rows=$(grep -c "^silent-[0-9]* .* no reply from the server within 5000 ms$" <<<"$got" || true)
want "fleet status of 1000 silent hosts at --parallel 1000: $rows rows; $(grep -v '^silent-' <<<"$got" | head -n 5)" \
  '[[ $rows -eq 1000 && $got != *terminate* ]]'

# The port a hosts file leaves out comes from --port, and a retry takes it
# from the report; the retry writes over its own report only once it ends.
printf 'solo 127.1.0.1\n' >"$work/solo.txt"
run 1 -- fleet change solo.txt --root 'D:\LanguagePacks' --language French --port "$port" --timeout 1000 --json r.json
run 1 -- fleet change --retry r.json --json r.json
want "retry into its own report: $got" '[[ $got == *"is replaced when it ends"* && $got == *"retrying 1 of the hosts of r.json"* ]]'
want "the retry's report: $(cat "$work/r.json")" \
  '[[ $(jq -r "[.finished, .port, .timeout_ms, .hosts[0].address] | @tsv" "$work/r.json") == "true	$port	1000	127.1.0.1:$port" && ! -e $work/r.json.partial ]]'

[[ $failed -eq 0 ]] && echo "kestrio-dnc.exe fleet of a thousand under Wine: passed"
exit "$failed"
