#!/usr/bin/env bash
# kestrio-dnc fleet end to end on simulated CNCs, each with its own
# kestrio-setup: the command lines refused before anything starts, a mixed
# floor (done, skipped, and failed for each reason) with its plain lines,
# summary, JSON report and exit status, fleet status, and Ctrl-C in the
# middle of a run.
#
#   fleet_test.sh BUILD-DIR SIM-FLEET-SCRIPT
set -u
build="$1" fleet="$2"
dnc="$build/cli/kestrio-dnc" setup="$build/app/posix/kestrio-setup" sim="$build/sim/kestrio-sim"
# shellcheck source=../lib.sh
source "$(dirname "$0")/../lib.sh"
scratch
before_cleanup() {
  for f in "$dir"/floor "$dir"/stop "$dir"/again; do [[ -d $f ]] && "$fleet" "$build" down "$f" >/dev/null 2>&1; done
}

# Unusable command lines and hosts files: status 2 before any connection.
# A port nobody listens on stands for a host that is not there.
closed_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf 'one 127.0.0.1:%s\n' "$closed_port" >"$dir/one-host"
c=("$dnc" fleet change --root 'D:\LanguagePacks' --language Polish)
check "missing hosts file" 2 "nothing: cannot be read" -- "$dnc" fleet status "$dir/nothing"
check "no hosts file" 2 "fleet: give status, hosts or change and a hosts file, or discover and an address range" -- "$dnc" fleet status
check "unknown fleet command" 2 'fleet: unknown command "stop"' -- "$dnc" fleet stop "$dir/one-host"
check "parallel 0" 2 '--parallel: "0" is not a number from 1 to 1000' -- "${c[@]}" "$dir/one-host" --parallel 0
check "no language" 2 "--language: give a language name" -- "$dnc" fleet change "$dir/one-host" --root 'D:\x'
check "json with status" 2 "--json: an option of fleet change and fleet hosts only" -- "$dnc" fleet status "$dir/one-host" --json "$dir/r"
check "root with status" 2 "--root: an option of change only" -- "$dnc" fleet status "$dir/one-host" --root 'D:\x'
check "host with fleet" 2 "--host: fleet takes its hosts from the hosts file" -- "$dnc" --host h fleet status "$dir/one-host"
check "discover: a /8" 2 "127.0.0.0/8: a /8 holds 16777216 addresses; at most 65,536 (a /16) at once" \
  -- "$dnc" fleet discover 127.0.0.0/8
check "discover: an octal-looking address" 2 "127.0.0.010: not an IPv4 address" -- "$dnc" fleet discover 127.0.0.010
check "discover: a range backwards" 2 "127.0.0.9-127.0.0.2: the last address comes before the first" \
  -- "$dnc" fleet discover 127.0.0.9-127.0.0.2
check "discover: no range" 2 "fleet discover: give at least one address range" -- "$dnc" fleet discover
check "discover: 0.0.0.0" 2 "0.0.0.0/24: 0.0.0.0 is no machine's address (it reaches the local host)" \
  -- "$dnc" fleet discover 0.0.0.0/24
check "discover: broadcast" 2 "255.255.255.0-255.255.255.255: 255.255.255.255 is the broadcast address" \
  -- "$dnc" fleet discover 255.255.255.0-255.255.255.255
check "discover: multicast" 2 "224.0.0.1-224.0.0.3: holds a multicast address" -- "$dnc" fleet discover 224.0.0.1-224.0.0.3
check "discover: ranges together" 2 "the ranges hold 131073 addresses together; at most 65,536 at once" \
  -- "$dnc" fleet discover 127.0.0.0/16 127.1.0.0/16 127.2.0.1
printf 'a 127.0.0.1:%s\nb localhost:%s\n' "$closed_port" "$closed_port" >"$dir/twice-hosts"
check "one machine twice" 2 "twice-hosts: line 2: localhost:$closed_port and 127.0.0.1:$closed_port on line 1 are one machine" \
  -- "$dnc" fleet status "$dir/twice-hosts"
# fleet hosts: the hosts file as status and change read it (the Ansible
# inventory reads it so), or their refusal with its line.
check "fleet hosts of a refused file" 2 "twice-hosts: line 2: localhost:$closed_port and 127.0.0.1:$closed_port on line 1 are one machine" \
  -- "$dnc" fleet hosts "$dir/twice-hosts"
out=$("$dnc" fleet hosts "$dir/twice-hosts" --json 2>/dev/null); rc=$?
expect '[[ $rc -eq 2 && $(jq -c "[.hosts, .line, .error]" <<<"$out") == "[[],2,\"line 2: localhost:$closed_port and 127.0.0.1:$closed_port on line 1 are one machine, 127.0.0.1:$closed_port\"]" ]]' \
  "fleet hosts --json of a refused file: rc=$rc $out"
printf '# hall\nFr\xe4se-1 127.0.0.1:%s  # ANSI\n127.0.0.2\n' "$closed_port" >"$dir/listed-hosts"
out=$(cd "$dir" && "$dnc" fleet hosts listed-hosts --port 4000 --json); rc=$?
expect '[[ $rc -eq 0 && $(jq -c . <<<"$out") == "{\"hosts_file\":\"$dir/listed-hosts\",\"hosts\":[{\"line\":2,\"name\":\"Fräse-1\",\"host\":\"127.0.0.1\",\"port\":$closed_port,\"address\":\"127.0.0.1:$closed_port\"},{\"line\":3,\"name\":\"127.0.0.2\",\"host\":\"127.0.0.2\",\"port\":4000,\"address\":\"127.0.0.2:4000\"}],\"error\":\"\",\"line\":0}" ]]' \
  "fleet hosts --json: rc=$rc $out"
check "fleet hosts as rows" 0 "Fräse-1    127.0.0.1:$closed_port" -- "$dnc" fleet hosts "$dir/listed-hosts"
# A peer that sends a byte every 200 ms: one deadline for the whole reply.
python3 -c 'import socket, threading, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(4); print(s.getsockname()[1], flush=True)
def drip(c):
    try:
        while True: c.send(b"\x7f"); time.sleep(0.2)
    except OSError: pass
def serve():
    while True: threading.Thread(target=drip, args=(s.accept()[0],), daemon=True).start()
threading.Thread(target=serve, daemon=True).start()
time.sleep(60)' >"$dir/drip.port" & pids+=($!)
for _ in $(seq 100); do [[ -s $dir/drip.port ]] && break; sleep 0.05; done
printf 'drip 127.0.0.1:%s\n' "$(cat "$dir/drip.port")" >"$dir/drip-hosts"
check "a reply a byte at a time" 1 "no reply from the server within 1000 ms" \
  -- timeout 10 "$dnc" fleet status "$dir/drip-hosts" --timeout 1000
check "write with status" 2 "--write: an option of fleet discover only" -- "$dnc" fleet status "$dir/one-host" --write "$dir/h"
check "unwritable report" 2 "cannot be written" -- "${c[@]}" "$dir/one-host" --json "$dir/no/such/folder/r.json"
check "canary with status" 2 "--canary: an option of fleet change only" -- "$dnc" fleet status "$dir/one-host" --canary 1
check "max-failures 0" 2 '--max-failures: "0" is not a number of hosts from 1' -- "${c[@]}" "$dir/one-host" --max-failures 0
check "retry with a hosts file" 2 "--retry: the report names the hosts file; give none" \
  -- "$dnc" fleet change "$dir/one-host" --retry "$dir/r.json"
check "retry with a language" 2 "--language: --retry takes the root folder and the language from the report" \
  -- "$dnc" fleet change --retry "$dir/r.json" --language Polish
echo '{"hosts": [' >"$dir/cut.json"
check "retry of a report cut short" 2 "cut.json: not a report of kestrio-dnc fleet change: offset 12: a value is missing" \
  -- "$dnc" fleet change --retry "$dir/cut.json"

# start_setup MACHINE TICK-MS: kestrio-setup on a free port; sets $port.
start_setup() {
  "$setup" --machine "$dir/$1" --port 0 --tick-ms "$2" >"$dir/$1.out" 2>&1 & pids+=($!)
  for _ in $(seq 100); do port=$(sed -n 's/^kestrio-setup: DNC server on port \([0-9]*\)$/\1/p' "$dir/$1.out"); [[ -n $port ]] && break; sleep 0.05; done
}

# The mixed floor of sim-fleet.sh (cnc03 Polish already, cnc05 and cnc10
# without the Polish pack, cnc07 write-protected, cnc11 short of space), a
# host that is busy (its scan request waits for a poll a minute away), one
# whose scan fails (the program ends with it) and a host that is not there.
# Its machines restart by themselves after a change, quickly here.
"$fleet" "$build" up "$dir/floor" 12 --tick-ms 100 seconds.shutdown=0.5 seconds.boot=0.5 >/dev/null ||
  { ko "the fleet did not start"; summary; exit 1; }
machine busy && start_setup busy 60000
"$dnc" --port "$port" write 'KESTRIO.ROOTDIR=D:\LanguagePacks' >/dev/null
busy_port=$port
machine noscan exit.get-packages=5 && start_setup noscan 100
noscan_port=$port
hosts="$dir/floor/hosts"
# A bad line anywhere: nothing starts, not even the hosts above it.
{ head -n 2 "$hosts"; echo "bad 127.0.0.1:port"; } >"$dir/bad-hosts"
check "bad hosts line" 2 "bad-hosts: line 3: \"port\" in \"127.0.0.1:port\" is not a port" -- "${c[@]}" "$dir/bad-hosts"
expect '[[ ! -s $dir/floor/cnc01/commands.log ]]' "a host ran a tool although the hosts file was refused"
printf 'busy 127.0.0.1:%s\nnoscan 127.0.0.1:%s\ngone 127.0.0.1:%s\n' "$busy_port" "$noscan_port" "$closed_port" >>"$hosts"

out=$("$dnc" fleet status "$hosts" 2>&1); rc=$?
expect '[[ $rc -eq 1 ]]' "fleet status with a host not there: rc=$rc"
for want in "cnc01  *127.0.0.1:[0-9]*  *yes  *1  *German  *idle" \
            "cnc03  *127.0.0.1:[0-9]*  *yes  *1  *Polish  *idle" \
            "busy  *127.0.0.1:[0-9]*  *yes  *1  *German  *busy" \
            "gone  *127.0.0.1:[0-9]*  *no  *-  *-  *unreachable: cannot connect to 127.0.0.1:$closed_port"; do
  grep -q "^$want" <<<"$out" && ok || ko "fleet status lacks '$want': $out"
done

out=$("${c[@]}" "$hosts" --parallel 4 --canary 2 --json "$dir/report.json" 2>&1); rc=$?
expect '[[ $rc -eq 1 ]]' "mixed fleet: rc=$rc, want 1: $out"
expect '[[ $out == *"summary: 7 done, 1 skipped, 7 failed"* ]]' "mixed fleet summary: $out"
# Below it the failed hosts by name, as the report has them, and for an
# error a person can mend, its hosts and what to do.
failed_names=$(jq -r '[.hosts[] | select(.result == "failed") | .name] | join(", ")' "$dir/report.json")
protected=$(jq -r '[.hosts[] | select(.code == -10) | .name] | join(", ")' "$dir/report.json")
mend="  $protected: \"System is protected. Change to Administrator mode, please.\" (-10): turn the write filter off and restart the CNC, then kestrio-dnc fleet change --retry $dir/report.json"
expect '[[ $(grep -c "^failed: $failed_names$" <<<"$out") -eq 1 && -n $protected ]] && grep -qxF "$mend" <<<"$out"' \
  "mixed fleet: the failed hosts ($failed_names) and the write filter's ($protected) not named: $out"
# The two canaries are done before any other host starts.
line_of() { grep -n "^$1 127\.0\.0\.1:[0-9]* $2" <<<"$out" | head -n 1 | cut -d: -f1; }
expect '[[ $(line_of cnc01 done) -lt $(line_of cnc03 scanning) && $(line_of cnc02 done) -lt $(line_of cnc03 scanning) ]]' \
  "a host started before the canaries were done: $out"
# Each host's lines in order: the states it went through.
states() { sed -n "s/^$1 127\.0\.0\.1:[0-9]* \([a-z]*\).*/\1/p" <<<"$out" | tr '\n' ' '; }
for row in "cnc01:scanning changing restarting done " "cnc03:scanning skipped " "cnc05:scanning failed " \
           "cnc07:scanning changing failed " "busy:scanning failed " "gone:scanning failed "; do
  expect '[[ $(states ${row%%:*}) == "${row#*:}" ]]' "${row%%:*} went through '$(states ${row%%:*})', want '${row#*:}'"
done
result() { jq -r --arg n "$1" '.hosts[] | select(.name == $n) | "\(.result) \(.code) \(.text)"' "$dir/report.json"; }
for row in "cnc01|done 0 Polish, after the restart" "cnc03|skipped 0 already Polish" \
           "cnc05|failed 0 Polish is not among the language packs found under D:\\LanguagePacks: German" \
           "cnc07|failed -10 System is protected. Change to Administrator mode, please." \
           "cnc11|failed -11 Insufficient free space." \
           "busy|failed 0 the host is busy (KESTRIO.STATUS is 1): a scan or a language change is under way" \
           "gone|failed 0 unreachable: cannot connect to 127.0.0.1:$closed_port"; do
  expect '[[ $(result "${row%%|*}") == "${row#*|}"* ]]' "report of ${row%%|*}: '$(result "${row%%|*}")'"
done
# A failed scan ends the program on the machine: its text, if read in time,
# or the connection that ended.
expect '[[ $(result noscan) == "failed -13 needs a visit: Kestrio Setup ends once the message of its failed scan is answered"*"An error ocurred getting language pack name." ||
          $(result noscan) == "failed 0 the connection ended during the scan: Kestrio Setup ends after a failed scan"* ]]' \
  "report of noscan: '$(result noscan)'"
# The report's shape: the run, the summary, and the same fields for every host.
shape=$(jq -c '[keys, .summary, ([.hosts[] | keys] | unique), ([.hosts[].seconds | keys] | unique), (.hosts | length)]' "$dir/report.json")
expect '[[ $shape == "[[\"canary\",\"change_timeout\",\"finished\",\"follow_restart\",\"hosts\",\"hosts_file\",\"hosts_fingerprint\",\"interrupted\",\"language\",\"max_failures\",\"not_started_because\",\"parallel\",\"port\",\"restart_timeout\",\"root\",\"run\",\"scan_timeout\",\"summary\",\"timeout_ms\"],{\"done\":7,\"skipped\":1,\"failed\":7,\"under_way\":0,\"not_started\":0},[[\"address\",\"code\",\"name\",\"result\",\"run\",\"seconds\",\"text\"]],[[\"change\",\"scan\",\"total\"]],15]" ]]' \
  "report shape: $shape"
expect '[[ $(jq ".hosts[0].seconds.total > 0 and .hosts[0].seconds.total >= .hosts[0].seconds.scan" "$dir/report.json") == true ]]' \
  "cnc01's timings: $(jq -c .hosts[0].seconds "$dir/report.json")"
grep -qs "add-package" "$dir/floor/cnc05/commands.log" "$dir/floor/cnc03/commands.log" "$dir/busy/commands.log" &&
  ko "a skipped or refused host ran the package tool" || ok
# The machines that changed restarted by themselves, and the floor shows it.
out=$("$dnc" fleet status "$hosts" 2>&1)
for want in "cnc01  *127.0.0.1:[0-9]*  *yes  *1  *Polish  *idle" "cnc02  *127.0.0.1:[0-9]*  *yes  *1  *Polish  *idle"; do
  grep -q "^$want" <<<"$out" && ok || ko "fleet status after the run lacks '$want': $out"
done
# A failing canary stops the run; a spent failure budget starts no new host.
hosts_of() { for h in "$@"; do grep "^$h " "$hosts"; done; }
hosts_of cnc05 cnc03 >"$dir/canary-hosts"
check "failed canary" 1 "summary: 0 done, 0 skipped, 1 failed, 1 not started (canary failed)" \
  -- "${c[@]}" "$dir/canary-hosts" --canary 1
hosts_of cnc05 cnc10 cnc02 cnc04 >"$dir/budget-hosts"
out=$("${c[@]}" "$dir/budget-hosts" --max-failures 2 --parallel 1 2>&1)
expect '[[ $out == *"summary: 0 done, 0 skipped, 2 failed, 2 not started (2 failures)"* &&
          $out == *"cnc04 127.0.0.1:"*" not started: 2 failures"* ]]' "failure budget: $out"

# A retry runs only the hosts that failed or did not start, from the report's
# hosts file, root and language: cnc07 with its write filter off now changes.
"$sim" set "$dir/floor/cnc07" filter=off protect-c=off >/dev/null
# Its settings are the report's (canary 2, parallel 4) but for one given again.
out=$("$dnc" fleet change --retry "$dir/report.json" --json "$dir/retry.json" --canary 0 2>&1); rc=$?
want=$'--canary 0 from the command line, not the report\'s 2\nretrying 7 of the hosts of '"$dir/report.json (Polish from D:\\LanguagePacks)"
expect '[[ $rc -eq 1 && $out == "$want"* && $(jq .parallel "$dir/retry.json") == 4 ]]' \
  "retry: rc=$rc $out"
# Its report is the rollout's record: every host of the run, those not run
# again with their result from run 1, in the hosts file's order.
record='[.run, .summary.done, [.hosts[] | select(.run == 2) | [.name, .result]], [.hosts[] | select(.run == 1) | .name], (.hosts | length)]'
expect '[[ $(jq -c "$record" "$dir/retry.json") == "[2,8,[[\"cnc05\",\"failed\"],[\"cnc07\",\"done\"],[\"cnc10\",\"failed\"],[\"cnc11\",\"failed\"],[\"busy\",\"failed\"],[\"noscan\",\"failed\"],[\"gone\",\"failed\"]],[\"cnc01\",\"cnc02\",\"cnc03\",\"cnc04\",\"cnc06\",\"cnc08\",\"cnc09\",\"cnc12\"],15]" ]]' \
  "retry report: $(jq -c "$record" "$dir/retry.json")"
expect '[[ $(jq -c "[.hosts[] | select(.name == \"cnc03\") | [.result, .text]]" "$dir/retry.json") == "[[\"skipped\",\"already Polish\"]]" ]]' \
  "the retry's report lost cnc03's earlier result: $(jq -c . "$dir/retry.json")"
# Names in Notepad's "ANSI" (Windows-1252) are the report's UTF-8 names: a
# retry finds them.
printf 'Fr\xe4se-1 127.0.0.1:%s\nFr\xe4se-2 127.0.0.2:%s\n' "$closed_port" "$closed_port" >"$dir/ansi-hosts"
"${c[@]}" "$dir/ansi-hosts" --json "$dir/ansi.json" >/dev/null 2>&1
check "retry of a hosts file in Windows-1252" 1 "retrying 2 of the hosts of $dir/ansi.json" \
  -- "$dnc" fleet change --retry "$dir/ansi.json" --json "$dir/ansi.json"
expect '[[ $(jq -c "[.run, [.hosts[] | [.name, .result, .run]]]" "$dir/ansi.json") == "[2,[[\"Fräse-1\",\"failed\",2],[\"Fräse-2\",\"failed\",2]]]" ]]' \
  "the retry's report of ANSI names: $(cat "$dir/ansi.json")"
# A retry goes where the run went: the port of a hosts file without ports
# and the time-outs come from the report; one given again overrides it, said.
# Every setting of the run: a run that does not follow the restart is not
# retried as one that waits for it.  The hosts file is kept by its absolute
# path: the retry runs from another folder.
printf 'solo 127.0.0.1\n' >"$dir/solo-hosts"
(cd "$dir" && "${c[@]}" solo-hosts --port "$busy_port" --timeout 3000 --no-follow --restart-timeout 20 --json solo.json) >/dev/null 2>&1
out=$(cd / && "$dnc" fleet change --retry "$dir/solo.json" --json "$dir/solo2.json" 2>&1)
expect '[[ $(jq -r ".hosts_file, .port, .timeout_ms, .follow_restart, .restart_timeout, .hosts[0].address, .hosts[0].text" "$dir/solo2.json" | tr "\n" " ") == "$dir/solo-hosts $busy_port 3000 false 20 127.0.0.1:$busy_port the host is busy"* ]]' \
  "retry of a run with --port and --no-follow: $out $(jq -c . "$dir/solo2.json")"
out=$("$dnc" fleet change --retry "$dir/solo.json" --port "$closed_port" 2>&1)
want="--port $closed_port from the command line, not the report's $busy_port"
expect '[[ $out == "$want"* &&
          $out == *"unreachable: cannot connect to 127.0.0.1:$closed_port"* ]]' "retry with --port again: $out"
echo "# one more line" >>"$hosts"
check "retry after the hosts file changed" 2 "changed since the report was written" \
  -- "$dnc" fleet change --retry "$dir/retry.json"

# Discover: three Kestrio Setups on one port at 127.0.0.2-4 and something
# else that holds the port open at 127.0.0.9, found in a /24 of loopback;
# the hosts file written keeps a name it gave before, and fleet status reads it.
dport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.2",0)); print(s.getsockname()[1])')
for n in 2 3 4; do
  machine "d$n" || ko "machine d$n was not made"
  "$setup" --machine "$dir/d$n" --listen "127.0.0.$n" --port "$dport" --tick-ms 100 >"$dir/d$n.out" 2>&1 & pids+=($!)
done
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.9", int(sys.argv[1]))); s.listen(5); print("ready", flush=True); time.sleep(60)' \
  "$dport" >"$dir/silent.out" & pids+=($!)
for f in d2 d3 d4 silent; do for _ in $(seq 100); do grep -q "DNC server on port\|ready" "$dir/$f.out" && break; sleep 0.05; done; done
# The plant's inventory: a name with a comment, and a machine switched off.
printf '# hall 2\nlathe-2 127.0.0.2:%s  # by the door\nmill-X 127.0.0.7:%s\n' "$dport" "$dport" >"$dir/found"
out=$("$dnc" fleet discover 127.0.0.0/24 --port "$dport" --write "$dir/found" 2>&1); rc=$?
expect '[[ $rc -eq 0 ]]' "discover: rc=$rc $out"
for want in "127.0.0.2  1  *German  *idle" "127.0.0.4  1  *German  *idle" "port open, no answer as a Kestrio Setup:" \
            "  127.0.0.9  connected, but no reply within 500 ms: the service answers one connection at a time" "3 machines found; 256 of 256 addresses probed on port $dport"; do
  grep -q "^$want" <<<"$out" && ok || ko "discover output lacks '$want': $out"
done
expect '[[ $(tail -n +2 "$dir/found" | tr "\n" "|") == "# hall 2|lathe-2 127.0.0.2:$dport  # by the door|mill-X 127.0.0.7:$dport  # not found by discover on $(date +%F)|cnc-127.0.0.3 127.0.0.3:$dport|cnc-127.0.0.4 127.0.0.4:$dport|" ]]' \
  "hosts file written: $(cat "$dir/found")"
check "status of the machines discovered" 1 "cnc-127.0.0.4" -- "$dnc" fleet status "$dir/found"
# Listed is listed by the fleet's rule: a machine written as 127.3
# (127.0.0.3) or localhost gets no second entry, and the file stays one the
# fleet reads.
printf 'lathe-3 127.3:%s\nself localhost:%s\n' "$dport" "$dport" >"$dir/short-found"
"$dnc" fleet discover 127.0.0.0/24 --port "$dport" --write "$dir/short-found" >/dev/null 2>&1
expect '[[ $(tail -n +2 "$dir/short-found" | tr "\n" "|") == "lathe-3 127.3:$dport|self localhost:$dport  # not found by discover on $(date +%F)|cnc-127.0.0.2 127.0.0.2:$dport|cnc-127.0.0.4 127.0.0.4:$dport|" ]]' \
  "discover onto names and short forms: $(cat "$dir/short-found")"
check "status of a file discover kept" 1 "lathe-3" -- "$dnc" fleet status "$dir/short-found"
# A hosts file it cannot read whole is refused before the probe, untouched.
printf 'lathe-2 127.0.0.2:%s\nbad 127.0.0.3:x\n' "$dport" >"$dir/bad-found"
cp "$dir/bad-found" "$dir/bad-found.before"
check "discover onto a bad hosts file" 2 "bad-found: line 2: \"x\" in \"127.0.0.3:x\" is not a port from 1 to 65535; the hosts file is left as it is" \
  -- "$dnc" fleet discover 127.0.0.0/24 --port "$dport" --write "$dir/bad-found"
expect 'cmp -s "$dir/bad-found" "$dir/bad-found.before"' "discover changed a hosts file it refused"
# A probe that finds nothing leaves the hosts file as it was.
cp "$dir/found" "$dir/found.before"
out=$("$dnc" fleet discover 127.0.0.20-127.0.0.21 --port "$dport" --write "$dir/found" 2>&1); rc=$?
expect '[[ $rc -eq 1 && $out == *"0 machines found; 2 of 2 addresses probed"*"hosts file not written: no machine found"* ]]' \
  "discover of nothing: rc=$rc $out"
expect 'cmp -s "$dir/found" "$dir/found.before"' "a discover that found nothing changed the hosts file"

# Done or skipped alone is success.
grep -E '^cnc0[3]' "$hosts" >"$dir/skipped-hosts"
check "all skipped" 0 "summary: 0 done, 1 skipped, 0 failed" -- "${c[@]}" "$dir/skipped-hosts"
# On a terminal the table is redrawn in place (cursor up, each row cleared
# to its end) and stays on screen with each host's final state.
if command -v script >/dev/null; then
  script -qec "$(printf '%q ' "${c[@]}" "$dir/skipped-hosts")" /dev/null >"$dir/tty.out" 2>&1
  row=$'cnc03  127\\.0\\.0\\.1:[0-9]*  skipped  *[0-9.]* s  already Polish\e\\[K' up=$'\e\\[2A'
  expect 'grep -q "$row" "$dir/tty.out"' "no table row for cnc03 on a terminal: $(cat -v "$dir/tty.out")"
  expect 'grep -q "$up" "$dir/tty.out"' "the table was not redrawn in place: $(cat -v "$dir/tty.out")"
fi

# Ctrl-C while two of four hosts change (each bcdedit takes 2 s): the two
# finish, the other two never start, and the summary comes out.
"$fleet" "$build" up "$dir/stop" 4 --uniform --tick-ms 100 seconds.bcdedit=2 seconds.shutdown=0.5 seconds.boot=0.5 \
  >/dev/null || ko "the second fleet did not start"
"${c[@]}" "$dir/stop/hosts" --parallel 2 --json "$dir/stop.json" >"$dir/stop.out" 2>&1 & client=$!
pids+=("$client")
for _ in $(seq 200); do [[ $(grep -c " changing$" "$dir/stop.out") -eq 2 ]] && break; sleep 0.05; done
# The report is the record while the run goes on: whole, with every host.
sleep 0.3
expect '[[ $(jq -c "[.finished, [.hosts[].result]]" "$dir/stop.json") == "[false,[\"under way\",\"under way\",\"not started\",\"not started\"]]" ]]' \
  "report during the run: $(cat "$dir/stop.json")"
kill -INT "$client"
for _ in $(seq 200); do kill -0 "$client" 2>/dev/null || break; sleep 0.05; done
wait "$client"; rc=$?
out=$(cat "$dir/stop.out")
expect '[[ $rc -eq 1 ]]' "interrupted fleet: rc=$rc, want 1: $out"
expect '[[ $out == *"interrupted: no new host starts"* && $out == *"summary: 2 done, 0 skipped, 0 failed, 2 not started (interrupted)"* ]]' \
  "interrupted fleet output: $out"
expect '[[ $(jq -c "[.interrupted, [.hosts[].result]]" "$dir/stop.json") == "[true,[\"done\",\"done\",\"not started\",\"not started\"]]" ]]' \
  "interrupted report: $(jq -c . "$dir/stop.json")"
grep -qs "expand\|add-package" "$dir/stop/cnc03/commands.log" "$dir/stop/cnc04/commands.log" &&
  ko "a host was started after Ctrl-C" || ok
expect '[[ $out == *"not started: cnc03, cnc04"* ]]' "interrupted fleet: the hosts not started not named: $out"
# A retry that writes over its own report: a client killed in the middle
# leaves the report it read as it was; one that ends replaces it whole.
cp "$dir/stop.json" "$dir/stop.before"
"$dnc" fleet change --retry "$dir/stop.json" --json "$dir/stop.json" >"$dir/retry.out" 2>&1 & client=$!
pids+=("$client")
for _ in $(seq 200); do grep -q " changing$" "$dir/retry.out" && break; sleep 0.05; done
kill -KILL "$client"; wait "$client" 2>/dev/null
expect 'cmp -s "$dir/stop.json" "$dir/stop.before"' "a killed retry changed its input report"
expect '[[ $(jq -r .finished "$dir/stop.json.partial") == false && $(grep -c "is replaced when it ends" "$dir/retry.out") -eq 1 ]]' \
  "the killed retry's own record: $(cat "$dir/retry.out" "$dir/stop.json.partial")"
sleep 2.5  # the change the killed client began ends on the machine
expect '[[ $(jq -c "[.hosts[] | [.name, .run]], [.hosts[0,1].result]" "$dir/stop.json.partial" | tr -d "\n") == "[[\"cnc01\",1],[\"cnc02\",1],[\"cnc03\",2],[\"cnc04\",2]][\"done\",\"done\"]" ]]' \
  "the killed retry's record lacks a host: $(cat "$dir/stop.json.partial")"
out=$("$dnc" fleet change --retry "$dir/stop.json" --json "$dir/stop.json" 2>&1)
expect '[[ $(jq -c "[.finished, .run, [.hosts[] | [.name, .run]]]" "$dir/stop.json") == "[true,2,[[\"cnc01\",1],[\"cnc02\",1],[\"cnc03\",2],[\"cnc04\",2]]]" && ! -e $dir/stop.json.partial ]]' \
  "the retry's report: $out $(cat "$dir/stop.json")"

# Ctrl-C twice: the client ends at once (130), saying which hosts carry on;
# its report marks them under way, and a retry of it finds them changed.
"$fleet" "$build" up "$dir/again" 2 --uniform --tick-ms 100 seconds.bcdedit=2 seconds.shutdown=0.5 seconds.boot=0.5 \
  >/dev/null || ko "the third fleet did not start"
"${c[@]}" "$dir/again/hosts" --json "$dir/again.json" >"$dir/again.out" 2>"$dir/again.err" & client=$!
pids+=("$client")
for _ in $(seq 200); do [[ $(grep -c " changing$" "$dir/again.out") -eq 2 ]] && break; sleep 0.05; done
kill -INT "$client"; sleep 0.5; kill -INT "$client"
for _ in $(seq 100); do kill -0 "$client" 2>/dev/null || break; sleep 0.05; done
wait "$client"; rc=$?
expect '[[ $rc -eq 130 && $(tail -n 1 "$dir/again.err") == "interrupted again: the client ends; the 2 hosts under way (cnc01, cnc02) carry on with the change and restart on their own; the report $dir/again.json marks them so"* ]]' \
  "Ctrl-C twice: rc=$rc $(cat "$dir/again.out" "$dir/again.err")"
expect '[[ $(jq -c "[.interrupted, .finished, [.hosts[].result]]" "$dir/again.json") == "[true,false,[\"under way\",\"under way\"]]" ]]' \
  "Ctrl-C twice: the report $(cat "$dir/again.json")"
for _ in $(seq 200); do [[ $("$dnc" fleet status "$dir/again/hosts" 2>&1 | grep -c " Polish  *idle") -eq 2 ]] && break; sleep 0.1; done
check "Ctrl-C twice, then the retry" 0 "summary: 0 done, 2 skipped, 0 failed" -- "$dnc" fleet change --retry "$dir/again.json"

# Hosts that accept and never answer, more at once than the system gives
# threads (a low ulimit -u for an unprivileged user): every row comes, the
# shortage is said once, and nothing aborts.
if [[ $(id -u) -eq 0 ]] && command -v setpriv >/dev/null; then
  # Its own output file: silent.out still holds the "ready" of discover's
  # listener above, which a wait could read before this helper starts.
  python3 "$(dirname "$0")/../support/silent_hosts.py" 100 "$dir/silent-hosts" 120 >"$dir/silent-hosts.out" 2>&1 & pids+=($!)
  for _ in $(seq 200); do grep -q ready "$dir/silent-hosts.out" && break; sleep 0.05; done
  chmod 755 "$dir" && chmod 644 "$dir/silent-hosts"
  out=$(setpriv --reuid=65534 --regid=65534 --clear-groups -- bash -c 'ulimit -u 10; exec "$@"' - \
          "$dnc" fleet status "$dir/silent-hosts" --parallel 100 --timeout 500 2>&1); rc=$?
  expect '[[ $rc -eq 1 && $(grep -c "^silent-[0-9]* .* connected, but no reply within 500 ms: .*; try again later$" <<<"$out") -eq 100 &&
            $(grep -c "^kestrio-dnc: the system made [0-9]* of the 100 threads asked for; the run goes on with" <<<"$out") -eq 1 ]]' \
    "fleet status short of threads: rc=$rc $out $(cat "$dir/silent-hosts.out")"
  # No thread at all for discover's probe: it runs on the main thread, and
  # there is no thread to join.
  out=$(setpriv --reuid=65534 --regid=65534 --clear-groups -- bash -c 'ulimit -u 1; exec "$@"' - \
          "$dnc" fleet discover 127.0.0.20-127.0.0.21 --port "$closed_port" 2>&1); rc=$?
  expect '[[ $rc -eq 1 && $out == *"0 machines found; 2 of 2 addresses probed"* ]]' "discover without threads: rc=$rc $out"
fi

summary
