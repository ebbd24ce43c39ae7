#!/usr/bin/env bash
# The Windows kestrio-dnc.exe's fleet on many hosts under Wine, against one
# Linux helper that listens at a thousand loopback addresses and never
# answers: a thousand at once (small worker stacks in a 32-bit process, no
# abort), and the report as the record (a retry that writes over its own
# report, and goes to the port the run used; names from an ANSI hosts file
# retried); then discover --write on a floor of two simulated machines of the
# Linux build, keeping an inventory; and files in a folder whose name the ANSI
# code page cannot hold.
#
#   run-wine-fleet-test.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: run-wine-fleet-test.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
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
  "$here/../../tools/sim-fleet.sh" "$native" down "$work/floor" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
# A thousand sockets in the client: more descriptors than the default 1024.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
python3 "$here/../support/silent_hosts.py" 1000 "$work/silent.txt" 600 >"$work/helper.out" & helper=$!
for _ in $(seq 200); do grep -qs ready "$work/helper.out" && break; sleep 0.05; done
port=$(sed -n 's/^ready //p' "$work/helper.out")
[[ -n $port ]] || { echo "run-wine-fleet-test: the silent hosts did not start" >&2; exit 1; }
cp -f "$build/cli/kestrio-dnc.exe" "$work/"

failed=0
run() {  # WANT-RC -- ARGS: runs kestrio-dnc.exe in the work folder; output in $got
  local want=$1 rc=0
  shift 2
  got=$(cd "$work" && LC_ALL=C.UTF-8 wine ./kestrio-dnc.exe "$@" 2>&1) || rc=$?
  got=${got//$'\r'/}
  [[ $rc -eq $want ]] || { echo "FAIL kestrio-dnc.exe $*: status $rc, want $want: $(tail -n 5 <<<"$got")"; failed=1; }
}
want() {  # WHAT CONDITION
  eval "$2" || { echo "FAIL $1"; failed=1; }
}

# A thousand hosts at once: every row, no abort, and every thread made (a
# worker that reserved the program's 2 MiB would leave too little address space).
run 1 -- fleet status silent.txt --parallel 1000 --timeout 5000
rows=$(grep -c "^silent-[0-9]* .* connected, but no reply within 5000 ms: .*; try again later$" <<<"$got" || true)
want "fleet status of 1000 silent hosts at --parallel 1000: $rows rows; $(grep -v '^silent-' <<<"$got" | head -n 5)" \
  '[[ $rows -eq 1000 && $got != *terminate* && $got != *"the system made"* ]]'

# The port a hosts file leaves out comes from --port, and a retry takes it
# from the report; the retry writes over its own report only once it ends.
printf 'solo 127.1.0.1\n' >"$work/solo.txt"
run 1 -- fleet change solo.txt --root 'D:\LanguagePacks' --language French --port "$port" --timeout 1000 --json r.json
run 1 -- fleet change --retry r.json --json r.json
want "retry into its own report: $got" '[[ $got == *"is replaced when it ends"* && $got == *"retrying 1 of the hosts of r.json"* ]]'
want "the retry's report: $(cat "$work/r.json")" \
  '[[ $(jq -r "[.finished, .port, .timeout_ms, .hosts[0].address] | @tsv" "$work/r.json") == "true	$port	1000	127.1.0.1:$port" && ! -e $work/r.json.partial ]]'

# Names beyond ASCII: a hosts file saved as Notepad's "ANSI" (Windows-1252)
# in a folder whose name that code page cannot hold, and a report and its
# retry into that folder (the command line is taken in UTF-16, every file is
# opened by its UTF-16 name).  The report keeps the names as UTF-8, the retry
# finds them in the hosts file, and its report is the whole record.
folder='Berichte\März\Łódź' unix="$work/Berichte/März/Łódź"
mkdir -p "$unix"
printf 'Fr\xe4se-1 127.1.0.2\nFr\xe4se-2 127.1.0.3\n' >"$unix/hosts.txt"
run 1 -- fleet change "$folder\hosts.txt" --root 'D:\LanguagePacks' --language French --port "$port" --timeout 1000 \
  --json "$folder\r.json"
run 1 -- fleet change --retry "$folder\r.json" --json "$folder\r.json"
want "retry of an ANSI hosts file in $folder: $got" '[[ $got == *"retrying 2 of the hosts of"* && $got == *"Fräse-2"* ]]'
want "the ANSI names in the retry's report: $(cat "$unix/r.json")" \
  '[[ $(jq -c "[.run, [.hosts[] | [.name, .result, .run]]]" "$unix/r.json") == "[2,[[\"Fräse-1\",\"failed\",2],[\"Fräse-2\",\"failed\",2]]]" ]]'

# discover --write keeps the inventory: a name with its comment, a machine
# switched off (marked), the new machine added, CRLF line ends kept.
kill "$helper" 2>/dev/null || true
helper=""
fport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.77.0.2",0)); print(s.getsockname()[1])')
"$here/../../tools/sim-fleet.sh" "$native" up "$work/floor" 2 --uniform --tick-ms 100 --spread "$fport" >/dev/null
printf '# hall 2\r\nmill-A 127.77.0.2:%s  # by the door\r\nmill-Z 127.77.0.9:%s\r\n' "$fport" "$fport" >"$work/inventory.txt"
run 0 -- fleet discover 127.77.0.0/24 --port "$fport" --write inventory.txt
want "the inventory discover wrote: $(cat -A "$work/inventory.txt")" \
  '[[ $(tail -n +2 "$work/inventory.txt" | tr "\r\n" "^|") == "# hall 2^|mill-A 127.77.0.2:$fport  # by the door^|mill-Z 127.77.0.9:$fport  # not found by discover on "*"^|cnc-127.77.0.3 127.77.0.3:$fport^|" ]]'

[[ $failed -eq 0 ]] && echo "kestrio-dnc.exe fleet of a thousand under Wine: passed"
exit "$failed"
