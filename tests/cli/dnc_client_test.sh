#!/usr/bin/env bash
# kestrio-dnc against kestrio-setup on simulated machines: variable reads
# and writes, the error replies, a host that is not there, and the remote
# language change with its refusals.
#
#   dnc_client_test.sh KESTRIO-DNC KESTRIO-SETUP KESTRIO-SIM PROJECT-VERSION
set -u
dnc="$1" setup="$2" sim="$3" version="$4"
[[ $sim == /* ]] || sim="$PWD/$sim"  # the dism stand-in below starts it from the machine's folders
# shellcheck source=../lib.sh
source "$(dirname "$0")/../lib.sh"
scratch

# The program's own version is the CMake project's, stamped in by the build.
out=$("$dnc" --version 2>&1); rc=$?
[[ $rc -eq 0 && $out == "$version" ]] && ok || ko "--version: rc=$rc output='$out', want '$version'"
check "--help" 0 "usage: kestrio-dnc [OPTIONS] COMMAND" -- "$dnc" --help
# One command's help, asked for after the command or before it: its own
# usage, options and examples, and not another command's.
for row in "change --help|--root DIR|--canary" "--help change|--root DIR|--canary" \
           "fleet change --help|--canary N|read NAME" "fleet --help|fleet discover RANGE|read NAME" \
           "read --help|read NAME|--root DIR"; do
  IFS='|' read -r args has lacks <<<"$row"
  # shellcheck disable=SC2086  # the arguments are words
  out=$("$dnc" $args 2>&1); rc=$?
  expect '[[ $rc -eq 0 && $out == *"examples:"*"kestrio-dnc "* && $out == *"$has"* && $out != *"$lacks"* ]]' \
    "$args: rc=$rc, want '$has' and no '$lacks': $out"
done
# A slip of the keyboard gets the word it was likely meant to be; a word
# that is no slip of any gets none.
check "a mistyped command" 2 'unknown command "chnage": did you mean change?' -- "$dnc" chnage
check "a mistyped option" 2 "unknown option --langauge: did you mean --language?" -- "$dnc" --langauge x change
check "a mistyped fleet command" 2 'fleet: unknown command "stauts": did you mean status?' -- "$dnc" fleet stauts x
expect '[[ $("$dnc" frob 2>&1) != *"did you mean"* ]]' "frob is no slip of a command"
# kestrio-setup keeps the same conventions: its version, and status 2 for a mistake.
check "kestrio-setup --version" 0 "$version" -- "$setup" --version
check "kestrio-setup, an unknown option" 2 "kestrio-setup: The following argument was not expected: --nope (see kestrio-setup --help)" -- "$setup" --nope
# Command lines that cannot be sent are refused (status 2) before any connection.
check "no command" 2 "give a command" -- "$dnc"
check "unknown command" 2 'unknown command "frob"' -- "$dnc" frob
check "unknown option" 2 "unknown option --nope" -- "$dnc" --nope vars
check "port out of range" 2 '--port: "65536" is not a port' -- "$dnc" --port=65536 vars
check "option without its value" 2 "--timeout: a value is missing" -- "$dnc" read KESTRIO.VERSION --timeout
check "change's option elsewhere" 2 "--root: an option of change only" -- "$dnc" read KESTRIO.VERSION --root 'D:\x'
check "zero scan timeout" 2 '--scan-timeout: "0" is not a positive' \
  -- "$dnc" change --root 'D:\x' --language Spanish --scan-timeout 0
check "read without a name" 2 "read: give at least one NAME" -- "$dnc" read
check "--json elsewhere" 2 "--json: an option of change, status and fleet change only" -- "$dnc" read KESTRIO.VERSION --json x

machine plain && start_host plain || exit 1
d=("$dnc" --port "$port")
check "version variable" 0 "v2017.09" -- "${d[@]}" read KESTRIO.VERSION
out=$("${d[@]}" vars)
expect '[[ $(cut -d" " -f1 <<<"$out" | tr "\n" " ") == "GO CURRENT NEXT ROOTDIR NITEMS STATUS NAME.<k> VERSION ERROR.<code> " ]]' "vars: $out"
# read takes the names as vars lists them (an index for <k> or <code>):
# none of them is unknown.
for name in $(cut -d" " -f1 <<<"$out"); do
  name=${name/<*>/0}
  expect '[[ $("${d[@]}" read "$name" 2>&1) != *"variable not found"* ]]' "read $name: $("${d[@]}" read "$name" 2>&1)"
done
check "a name as vars lists it" 0 "v2017.09" -- "${d[@]}" read VERSION
check "a list of names as vars lists them" 0 $'CURRENT=German\nNITEMS=0' -- "${d[@]}" read CURRENT NITEMS
check "list read" 0 $'KESTRIO.CURRENT=German\nKESTRIO.NITEMS=0' -- "${d[@]}" read KESTRIO.CURRENT KESTRIO.NITEMS
check "unknown variable" 1 "KESTRIO.NOPE: 3085 variable not found" -- "${d[@]}" read KESTRIO.NOPE
check "read-only variable" 1 "KESTRIO.STATUS: 3084 variable is read-only" -- "${d[@]}" write KESTRIO.STATUS=3
# Names cannot be escaped: one holding a comma would be cut at the comma.
check "name with a comma" 2 "cannot hold ','" -- "${d[@]}" write "KESTRIO.NEXT,x=Spanish"
# A '#' in a value of a list write would shift the values onto other names.
check "list value with #" 2 "cannot hold '#'" -- "${d[@]}" write "KESTRIO.NEXT=a#b" KESTRIO.GO=0
# Values of a list are cut into items of at most 31 characters over there.
check "long list value" 2 "KESTRIO.NEXT: a value in a list has at most 31 characters" \
  -- "${d[@]}" write "KESTRIO.NEXT=$(printf 'x%.0s' {1..32})" KESTRIO.GO=0
check "not an assignment" 2 "expected NAME=VALUE" -- "${d[@]}" write KESTRIO.NEXT

# One host as JSON for scripts: the row of fleet status, and the fleet
# report's host entry of a change, on standard output alone (the progress
# goes to standard error) and whatever the end.
json_is() {  # LABEL JSON JQ-CONDITION
  if jq -e "$3" <<<"$2" >/dev/null 2>&1; then ok; else ko "$1: $2"; fi
}
json_is "status --json" "$("${d[@]}" status --json)" \
  '.reachable and .protocol == "1" and .language == "German" and .status == 0 and .address == "127.0.0.1:'"$port"'"'
check "status" 0 $'language: German\nstatus: idle' -- "${d[@]}" status
out=$("${d[@]}" change --no-follow --root 'D:\LanguagePacks' --language Klingon --json - 2>/dev/null); rc=$?
json_is "change --json -, refused (rc $rc)" "$out" \
  '.result == "failed" and (.text | startswith("Klingon is not among")) and .before == "German" and .after == "" and (.restart_followed | not)'

# A closed port: the listening socket of a stopped host.
machine gone && start_host gone || exit 1
closed=$port
kill -KILL "$pid"; wait "$pid" 2>/dev/null
check "closed port" 2 "cannot connect to 127.0.0.1:$closed" -- "$dnc" --port "$closed" read KESTRIO.VERSION
json_is "status --json, closed port" "$("$dnc" --port "$closed" status --json)" \
  '(.reachable | not) and (.problem | startswith("unreachable: cannot connect"))'
"$dnc" --port "$closed" change --root 'D:\x' --language Spanish --json "$dir/closed.json" 2>/dev/null
json_is "change --json FILE, closed port" "$(cat "$dir/closed.json" 2>&1)" '.result == "failed" and .code == 0'

check "language not found" 1 "Klingon is not among the language packs found under D:\\LanguagePacks: German, Spanish, French, Italian" \
  -- "${d[@]}" change --no-follow --root 'D:\LanguagePacks' --language Klingon
grep -q "add-package" "$dir/plain/commands.log" && ko "a refused language reached the package tool" || ok
out=$("${d[@]}" change --no-follow --root 'D:\LanguagePacks' --language Spanish 2>&1); rc=$?
[[ $rc -eq 0 ]] && ok || ko "change: rc=$rc output=$out"
for want in "scanning D:\\LanguagePacks" "found 4 language packs: German, Spanish, French, Italian" "changing to Spanish" \
            "done: Spanish"; do
  [[ "$out" == *"$want"* ]] && ok || ko "change output lacks '$want': $out"
done
grep -q '^dism.exe /online /add-package /packagepath:D:\\LanguagePacks\\es-ES\\lp.cab => 0$' "$dir/plain/commands.log" \
  && ok || ko "commands.log lacks the add-package of es-ES: $(cat "$dir/plain/commands.log")"

machine protected filter=on protect-c=on && start_host protected || exit 1
check "protected system" 1 "System is protected. Change to Administrator mode, please." \
  -- "$dnc" --port "$port" change --root 'D:\LanguagePacks' --language Spanish
check "protected system: what to do" 1 "what to do: turn the write filter off and restart the CNC, then run the same change again" \
  -- "$dnc" --port "$port" change --root 'D:\LanguagePacks' --language Spanish

# Ctrl-C during a change: the client ends (status 130) with one line on
# standard error that says what the machine does from then on, and the
# machine goes on.  During the scan it changes nothing; after GO it carries
# the change through.
for row in "during the scan|expand|scanning D:|interrupted during the scan: 127.0.0.1 finishes its scan|under way|0" \
           "during the change|add-package|changing to Spanish|interrupted: 127.0.0.1 carries on with the change to Spanish and restarts on its own; follow it with kestrio-dnc --host 127.0.0.1 --port|under way|1"; do
  IFS='|' read -r label tool phase told result changes <<<"$row"
  name=ctrl-c-${tool}
  machine "$name" && slow_tool "$name" "$tool" 2 && start_host "$name" || { ko "$label: no host"; continue; }
  "$dnc" --port "$port" change --no-follow --root 'D:\LanguagePacks' --language Spanish --json "$dir/$name.json" \
    >"$dir/$name.client" 2>"$dir/$name.told" & client=$!
  pids+=("$client")
  for _ in $(seq 200); do grep -q "$phase" "$dir/$name.client" && break; sleep 0.05; done
  kill -INT "$client"; wait "$client"; rc=$?
  expect '[[ $rc -eq 130 && $(grep -c . "$dir/$name.told") -eq 1 && $(cat "$dir/$name.told") == "$told"* ]]' \
    "Ctrl-C $label: rc=$rc, stderr: $(cat "$dir/$name.told") (output: $(cat "$dir/$name.client"))"
  json_is "Ctrl-C $label: --json" "$(cat "$dir/$name.json" 2>&1)" '.result == "'"$result"'" and .before == "German"'
  # The machine finishes what it had begun.
  for _ in $(seq 200); do [[ $("$dnc" --port "$port" read STATUS 2>&1) != 1 ]] && break; sleep 0.1; done
  expect '[[ $(grep -c "add-package" "$dir/$name/commands.log") -eq $changes ]]' \
    "Ctrl-C $label: the machine's commands: $(cat "$dir/$name/commands.log")"
done

# A host that ends once the change has begun, as a machine that restarts: the
# package tool ends the host when it is asked to add the pack.  The change has
# its own exit status, not that of a host that cannot be reached.
machine restarting || exit 1
rm -f "$dir/restarting/C/Windows/System32/dism.exe"  # a link to kestrio-sim: not written through
printf '#!/bin/bash\n[[ "$*" == *add-package* ]] && kill -KILL $PPID && exit 0\nexec -a dism.exe %q "$@"\n' "$sim" \
  >"$dir/restarting/C/Windows/System32/dism.exe"
chmod +x "$dir/restarting/C/Windows/System32/dism.exe"
start_host restarting || exit 1
check "connection ended after GO, not followed" 3 \
  "127.0.0.1:$port: the connection ended during the change; the machine may be restarting" \
  -- "$dnc" --port "$port" change --no-follow --root 'D:\LanguagePacks' --language Spanish
start_host restarting || exit 1
check "connection ended after GO, no answer within the restart time-out" 3 \
  "the machine did not answer within 2 s of going down for its restart" \
  -- "$dnc" --port "$port" change --restart-timeout 2 --root 'D:\LanguagePacks' --language Spanish

# The package tool restarts the machine: under kestrio-sim power, Kestrio
# Setup is ended a while after the tool returned (seconds.shutdown), the
# pending changes take effect, and it starts again on its port.  The client
# follows the restart to the language the machine comes back in, wherever
# the shutdown lands: before it has read STATUS 0 (the connection ends under
# the change), after it, or where the re-applied update restarts a rollup
# machine.  A machine that comes back in another language failed; one that
# never restarts is told apart (exit status 3).
restarts=0
for row in "shutdown before STATUS 0 is read|-|seconds.shutdown=0|0|done: Spanish, after the restart" \
           "shutdown after STATUS 0 is read|-|seconds.shutdown=1.5|0|done: Spanish, after the restart" \
           "a slow removal, then the shutdown at once|-|seconds.shutdown=0 seconds.remove-package=1|0|done: Spanish, after the restart" \
           "rollup: the re-applied update restarts|--rollup|seconds.shutdown=0.5|0|done: Spanish, after the restart" \
           "the pack was not installed|-|exit.add-package=0|1|not Spanish: the change did not take effect" \
           "no restart within the time-out|-|restart=manual|3|Spanish is installed, but the machine did not restart within 3 s"; do
  IFS='|' read -r label create settings want text <<<"$row"
  name=restart-$((++restarts))
  [[ $create == - ]] && create=""
  # shellcheck disable=SC2086  # the settings are words
  "$sim" create "$dir/$name" --language de-DE --installed de-DE,fr-FR --packs de-DE,es-ES $create >/dev/null &&
    "$sim" set "$dir/$name" seconds.boot=0.5 $settings >/dev/null && power_host "$name" || { ko "$label: no host"; continue; }
  out=$("$dnc" --port "$port" change --root 'D:\LanguagePacks' --language Spanish --restart-timeout 3 \
        --json "$dir/$name.json" 2>&1); rc=$?
  expect '[[ $rc -eq $want && $out == *"$text"* ]]' "$label: rc=$rc, want $want: $out"
  # The JSON tells the same end: result, the languages, the restart.
  case $want in
    0) cond='.result == "done" and .before == "German" and .after == "Spanish" and .restart_followed' ;;
    1) cond='.result == "failed" and .after != "Spanish" and .after != "" and .restart_followed' ;;
    *) cond='.result == "failed" and .after == "" and (.restart_followed | not)' ;;
  esac
  json_is "$label: --json" "$(cat "$dir/$name.json" 2>&1)" "$cond"
  [[ $want -eq 0 ]] && expect '[[ $(grep -c "DNC server on port $port" "$dir/$name.out") -eq 2 ]]' \
    "$label: Kestrio Setup did not start again on port $port: $(cat "$dir/$name.out" "$dir/$name.err")"
done

# A reply that does not come in time is told from a connection that ends: a
# second client waits unserved while the first holds the connection.
machine quiet && start_host quiet || exit 1
exec 3<>"/dev/tcp/127.0.0.1/$port"
check "reply time-out" 2 "127.0.0.1:$port: connected, but no reply within 300 ms: the service answers one connection at a time and may be serving another desk" \
  -- "$dnc" --port "$port" --timeout 300 read KESTRIO.VERSION
exec 3>&-

# A scan that outlasts the client's patience (each pack takes a second to
# open) leaves the host busy: a second change is refused, and neither
# change reaches the package tool once the scan is over.
machine slow && slow_tool slow expand 1 && start_host slow || exit 1
check "scan time-out" 1 "did not finish within 1 s" \
  -- "$dnc" --port "$port" change --root 'D:\LanguagePacks' --language Spanish --scan-timeout 1
check "busy host" 1 "the host is busy" -- "$dnc" --port "$port" change --root 'D:\LanguagePacks' --language Spanish --scan-timeout 2
for _ in $(seq 200); do [[ $("$dnc" --port "$port" read KESTRIO.STATUS 2>&1) == 4 ]] && break; sleep 0.1; done
expect '[[ $("$dnc" --port "$port" read KESTRIO.NITEMS 2>&1) == 4 ]]' "the slow scan did not find the four packs"
grep -qs "add-package" "$dir/slow/commands.log" && ko "a change that was given up or refused ran" || ok

summary
