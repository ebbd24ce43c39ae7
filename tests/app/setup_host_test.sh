#!/usr/bin/env bash
# kestrio-setup, the Linux host of the dialog, end to end over TCP with
# kestrio-dnc on simulated machines: the remote scan and change with the
# busy status, engine errors that leave the host running, retries under a
# failed change's box that nobody answers, one copy per machine, the close signals, a failed scan that ends the program
# (and takes no request while its box waits), every
# judged step's tool failing under a remote change, and a power cut at each
# step of a change.
#
#   setup_host_test.sh KESTRIO-SETUP KESTRIO-DNC KESTRIO-SIM
set -u
setup="$1" dnc="$2" sim="$3"
[[ $sim == /* ]] || sim="$PWD/$sim"  # the slow tools below start it from the machine's folders
# shellcheck source=../lib.sh
source "$(dirname "$0")/../lib.sh"
scratch

# ended PID SECONDS: true when the process has ended within SECONDS; sets $rc.
ended() {
  for _ in $(seq $(($2 * 20))); do
    if ! kill -0 "$1" 2>/dev/null; then wait "$1"; rc=$?; return 0; fi
    sleep 0.05
  done
  return 1
}

status() { "$dnc" --port "$port" read KESTRIO.STATUS 2>&1; }

# settled SECONDS: waits while STATUS reads 1 and prints what it then reads.
settled() {
  local s
  for _ in $(seq $(($1 * 10))); do
    s=$(status)
    [[ $s != 1 ]] && break
    sleep 0.1
  done
  echo "$s"
}

# has_line FILE TEXT [SECONDS]: FILE gets the line TEXT within SECONDS (default 5).
has_line() {
  for _ in $(seq $((${3:-5} * 20))); do
    grep -qxF -- "$2" "$1" && return 0
    sleep 0.05
  done
  return 1
}

# listen_address PORT: the local address of the socket listening on PORT,
# as /proc/net/tcp writes it (0100007F is 127.0.0.1, 00000000 every address).
listen_address() {
  awk -v p=":$(printf '%04X' "$1")" '$4 == "0A" && substr($2, 9) == p { print substr($2, 1, 8) }' /proc/net/tcp
}

# The remote procedure.  The slow expand keeps the scan running for over a
# second, so STATUS is seen at 1 while it works.
machine plain && slow_tool plain expand 0.3 && start_host plain || exit 1
d=("$dnc" --port "$port")
"${d[@]}" write 'KESTRIO.ROOTDIR=D:\LanguagePacks' >/dev/null
now=$(status)
expect '[[ $now == 1 ]]' "STATUS right after ROOTDIR reads $now, not 1"
now=$(settled 20)
expect '[[ $now == 0 ]]' "the scan ended with STATUS $now, not 0"
out=$("${d[@]}" read KESTRIO.NITEMS KESTRIO.NAME.0 KESTRIO.NAME.1 KESTRIO.NAME.2 KESTRIO.NAME.3 2>&1)
expect '[[ $(echo $out) == "KESTRIO.NITEMS=4 KESTRIO.NAME.0=German KESTRIO.NAME.1=Spanish KESTRIO.NAME.2=French KESTRIO.NAME.3=Italian" ]]' \
  "packs after the scan: $out"

# A name the scan did not find is taken as it is and refused by the engine;
# the host stays ready for another attempt.
"${d[@]}" write KESTRIO.NEXT=Klingon KESTRIO.GO=1 >/dev/null
now=$(settled 10)
expect '[[ $now == -6 ]]' "an unknown language ended with STATUS $now, not -6"
expect 'has_line "$dir/plain.err" "Kestrio Setup: Invalid language name."' "no message for the unknown language: $(cat "$dir/plain.err")"
out=$("${d[@]}" read KESTRIO.ERROR.-6 2>&1)
expect '[[ $out == "Invalid language name." ]]' "ERROR.-6 reads: $out"

# The service listens on the loopback address unless --listen says otherwise:
# another address of the loopback range finds no server.
expect '[[ $(listen_address $port) == 0100007F ]]' "the DNC service does not listen on 127.0.0.1 alone: $(listen_address $port)"
"$dnc" --host 127.0.0.2 --port "$port" --timeout 1000 version >/dev/null 2>&1 && ko "the service answered on 127.0.0.2" || ok
out=$("$setup" --machine "$dir/plain" --port 0 --listen 127.0.0.256 2>&1); rc=$?
expect '[[ $rc -eq 1 && $out == *"--listen: not an IPv4 address: 127.0.0.256"* ]]' "a bad --listen: rc=$rc output=$out"

# One copy per machine: a second start ends at once, the first is untouched.
out=$(timeout 5 "$setup" --machine "$dir/plain" --port 0 2>&1); rc=$?
expect '[[ $rc -eq 1 && $out == *"already running on the machine"* ]]' "second copy: rc=$rc output=$out"
expect 'kill -0 $pid 2>/dev/null' "the first copy ended when a second one started"

# The change: STATUS is 1 from the GO write until the change ends.
"${d[@]}" write KESTRIO.NEXT=French KESTRIO.GO=1 >/dev/null
now=$(status)
expect '[[ $now == 1 ]]' "STATUS right after GO reads $now, not 1"
now=$(settled 20)
expect '[[ $now == 0 ]]' "the change to French ended with STATUS $now, not 0"
expect 'grep -qxF "dism.exe /online /add-package /packagepath:D:\LanguagePacks\fr-FR\lp.cab => 0" "$dir/plain/commands.log"' \
  "commands.log lacks the add-package of fr-FR: $(cat "$dir/plain/commands.log")"

# Closing when nothing runs ends the program; then the machine is free again.
kill -TERM "$pid"
expect 'ended $pid 5 && [[ $rc -eq 0 ]]' "SIGTERM while idle: the host did not end with status 0"
expect 'start_host plain' "no new start on the machine after the first copy ended"
kill -INT "$pid"
expect 'ended $pid 5 && [[ $rc -eq 0 ]]' "SIGINT while idle: the host did not end with status 0"

# Engine errors of a change leave the host running.
machine protected filter=on protect-c=on && start_host protected || exit 1
out=$("$dnc" --port "$port" change --no-follow --root 'D:\LanguagePacks' --language Spanish 2>&1); rc=$?
expect '[[ $rc -eq 1 && $out == *"System is protected. Change to Administrator mode, please."* ]]' \
  "protected change: rc=$rc output=$out"
now=$(status)
expect '[[ $now == -10 ]]' "STATUS after the protected change reads $now, not -10"
expect 'has_line "$dir/protected.err" "Kestrio Setup: System is protected. Change to Administrator mode, please."' \
  "no message for the protected system: $(cat "$dir/protected.err")"
expect 'kill -0 $pid 2>/dev/null' "the host ended after a failed change"
grep -qs "add-package" "$dir/protected/commands.log" && ko "the protected machine ran the package tool" || ok

# A machine nobody stands at (--boxes stay): the failed change's stop box
# stays up, unanswered, and the client's retry runs all the same once the
# cause is gone.  Failing retries replace that box: one box up at a time,
# showing the latest failure.
machine unattended exit.add-package=87 && start_host unattended --boxes stay --verbose || exit 1
install_failed="An error ocurred while installing language pack."
u=("$dnc" --port "$port" --scan-timeout 20 --change-timeout 20)
check "unattended: the first change fails" 1 "$install_failed" -- "${u[@]}" change --no-follow --root 'D:\LanguagePacks' --language Spanish
expect 'has_line "$dir/unattended.out" "kestrio-setup: message box 1 up"' "unattended: no box stayed up: $(cat "$dir/unattended.out")"
"$sim" set "$dir/unattended" exit.add-package= >/dev/null
check "unattended: the retry runs with the box up" 0 "" -- "${u[@]}" change --no-follow --root 'D:\LanguagePacks' --language Spanish
expect 'grep -qxF "dism.exe /online /add-package /packagepath:D:\LanguagePacks\es-ES\lp.cab => 0" "$dir/unattended/commands.log"' \
  "unattended: commands.log lacks the add-package of the retry: $(cat "$dir/unattended/commands.log")"
"$sim" set "$dir/unattended" exit.add-package=87 >/dev/null
check "unattended: a failing retry" 1 "$install_failed" -- "${u[@]}" change --no-follow --root 'D:\LanguagePacks' --language Spanish
"$dnc" --port "$port" write KESTRIO.NEXT=Klingon KESTRIO.GO=1 >/dev/null
now=$(settled 10)
expect '[[ $now == -6 ]]' "unattended: the last retry ended with STATUS $now, not -6"
expect 'has_line "$dir/unattended.err" "Kestrio Setup: Invalid language name."' "unattended: the latest failure is not shown"
expect '[[ $(grep -c "message box 1 ended" "$dir/unattended.out") -eq 2 ]] && ! grep -q "message box 2" "$dir/unattended.out"' \
  "unattended: the boxes were not replaced one by one: $(grep 'message box' "$dir/unattended.out")"
kill -TERM "$pid"
expect 'ended $pid 5 && [[ $rc -eq 0 ]]' "unattended: SIGTERM with the box up did not end the host with status 0"

# Closing during a change is refused; once it is over, closing works.
machine busy && slow_tool busy bcdedit 2 && start_host busy || exit 1
"$dnc" --port "$port" change --no-follow --root 'D:\LanguagePacks' --language Spanish >"$dir/busy.client" 2>&1 &
client=$!
pids+=("$client")
expect 'has_line "$dir/busy.client" "changing to Spanish" 10' "the change did not start: $(cat "$dir/busy.client")"
kill -TERM "$pid"
expect 'has_line "$dir/busy.err" "Kestrio Setup: Operation in progress. Please wait until finishes to close application."' \
  "SIGTERM during a change: no refusal: $(cat "$dir/busy.err")"
expect 'kill -0 $pid 2>/dev/null' "the host ended during a change"
expect 'ended $client 20 && [[ $rc -eq 0 ]]' "the change did not complete after a refused close: $(cat "$dir/busy.client")"
kill -TERM "$pid"
expect 'ended $pid 5 && [[ $rc -eq 0 ]]' "SIGTERM after the change: the host did not end"

# A scan that fails shows its message and ends the program.
machine broken exit.get-packages=5 && start_host broken || exit 1
"$dnc" --port "$port" write 'KESTRIO.ROOTDIR=D:\LanguagePacks' >/dev/null
expect 'ended $pid 10 && [[ $rc -eq 0 ]]' "the host did not end after a failed scan"
expect 'grep -qxF "Kestrio Setup: An error ocurred getting language pack name." "$dir/broken.err"' \
  "no message for the failed scan: $(cat "$dir/broken.err")"

# The same on a machine nobody stands at: its box stays up, the program ends
# only when it is closed.  Meanwhile a GO or a ROOTDIR is acknowledged and
# ignored: STATUS keeps the scan's code, its text stays readable, the tool
# log gains nothing, and SIGTERM is not refused as an operation in progress.
machine stuck exit.get-packages=5 && start_host stuck --boxes stay --verbose || exit 1
"$dnc" --port "$port" write 'KESTRIO.ROOTDIR=D:\LanguagePacks' >/dev/null
now=$(settled 10)
expect '[[ $now == -13 ]]' "stuck: the failed scan ended with STATUS $now, not -13"
expect 'has_line "$dir/stuck.out" "kestrio-setup: message box 1 up"' "stuck: no box stayed up: $(cat "$dir/stuck.out")"
logged=$(wc -l <"$dir/stuck/commands.log")
out=$("$dnc" --port "$port" write KESTRIO.NEXT=French KESTRIO.GO=1 'KESTRIO.ROOTDIR=D:\LanguagePacks' 2>&1); rc=$?
expect '[[ $rc -eq 0 ]]' "stuck: the writes were not acknowledged: rc=$rc output=$out"
sleep 0.5  # five ticks of the poll
now=$(status)
expect '[[ $now == -13 ]]' "stuck: STATUS after the ignored writes reads $now, not the scan's -13"
out=$("$dnc" --port "$port" read KESTRIO.ERROR.-13 2>&1)
expect '[[ $out == "An error ocurred getting language pack name." ]]' "stuck: the scan's error text reads: $out"
# A change from the desk is told that the scan was not taken and why, not
# that a scan failed: the old STATUS is no answer to a new request.
out=$("$dnc" --port "$port" change --root 'D:\LanguagePacks' --language French --json - 2>"$dir/stuck.change"); rc=$?
told=$(cat "$dir/stuck.change")
expect '[[ $rc -eq 1 && $told == *"Kestrio Setup did not take the scan of D:\LanguagePacks: it is ending after a failed scan (-13: An error ocurred getting language pack name.); its message waits for someone at the machine"* ]]' \
  "stuck: a change is not told that the scan was not taken: rc=$rc $told"
expect '[[ $told != *"the scan of D:\LanguagePacks failed"* ]]' "stuck: a change reports a scan that did not run: $told"
expect '[[ $(jq -r .text <<<"$out") == "needs a visit: Kestrio Setup did not take the scan"* ]]' "stuck: the JSON text does not start with needs a visit: $out"
expect '[[ $(wc -l <"$dir/stuck/commands.log") -eq $logged ]]' "stuck: a tool ran after the failed scan: $(cat "$dir/stuck/commands.log")"
kill -TERM "$pid"
expect 'ended $pid 5 && [[ $rc -eq 0 ]]' "stuck: SIGTERM with the failed scan's box up did not end the host"
expect '! grep -qF "Operation in progress" "$dir/stuck.err"' "stuck: the close was refused: $(cat "$dir/stuck.err")"

# The machine is a sandbox: remote roots that are host paths, or climb out of
# a drive, or "\" (whose listing pattern "\\*.*" is a network path) find
# nothing and run no tool; a pack and a langcfg.ini beside the machine folder
# stay as they were.  Within the machine, "\LanguagePacks" is on C:.
machine sandbox && mkdir -p "$dir/outside" && "$sim" make-pack "$dir/outside/es.cab" es-ES &&
  printf '[LangInfo]\r\nLanguage=it-IT\r\n' >"$dir/outside/langcfg.ini" && start_host sandbox --listen 0.0.0.0 || exit 1
expect '[[ $(listen_address $port) == 00000000 ]]' "--listen 0.0.0.0 does not listen on every address: $(listen_address $port)"
expect '"$dnc" --host 127.0.0.2 --port "$port" --timeout 2000 version >/dev/null' "--listen 0.0.0.0 does not answer on 127.0.0.2"
windows_form=${dir//\//\\}'\outside'
for root in '\' '/' "$windows_form" "$dir/outside" 'C:\..\..\outside' '..\..\..\outside' '\..\outside'; do
  "$dnc" --port "$port" write "KESTRIO.ROOTDIR=$root" >/dev/null
  now=$(settled 20)
  expect '[[ $now == 0 ]]' "the scan of $root ended with STATUS $now, not 0"
  now=$("$dnc" --port "$port" read KESTRIO.NITEMS 2>&1)
  expect '[[ $now == 0 ]]' "the scan of $root found packs: NITEMS reads $now"
done
grep -qs "expand" "$dir/sandbox/commands.log" && ko "a sandbox scan ran expand: $(cat "$dir/sandbox/commands.log")" || ok
expect '[[ $(ls "$dir/outside" | tr "\n" " ") == "es.cab langcfg.ini " ]]' "the folder outside the machine changed: $(ls "$dir/outside")"
expect 'grep -q "^Language=it-IT" "$dir/outside/langcfg.ini"' "langcfg.ini outside the machine changed"
mkdir -p "$dir/sandbox/C/LanguagePacks" && cp "$dir/outside/es.cab" "$dir/sandbox/C/LanguagePacks/"
"$dnc" --port "$port" write 'KESTRIO.ROOTDIR=\LanguagePacks' >/dev/null
now=$(settled 20) out=$("$dnc" --port "$port" read KESTRIO.NAME.0 2>&1)
expect '[[ $now == 0 && $out == Spanish ]]' "\\LanguagePacks is not C:\\LanguagePacks: STATUS $now, NAME.0 reads $out"
kill -TERM "$pid"
expect 'ended $pid 5' "the sandbox host did not end"

# Every judged step's tool failing under a remote change: the status the
# client reads and its exit status.  One host for all cells; machine.ini is put
# back before each, so each change starts from German with German and French.
machine faults rollup=on update-cabinet=on && start_host faults || exit 1
cp "$dir/faults/machine.ini" "$dir/faults.ini"
install_error='An error ocurred while installing language pack.'
remove_error='An error ocurred while removing current language.'
cells=0
for cell in 'add-package not-started -7' 'add-package 3010 -7' 'add-package 87 -7' 'add-package 1 -7' \
            'add-package 256 -7' 'add-package killed -7' \
            'remove-package not-started -8' 'remove-package 3010 0' 'remove-package 87 -8' 'remove-package 1 -8' \
            'remove-package 256 -8' 'remove-package killed -8' \
            'add-update not-started -7' 'add-update 0 -7' 'add-update 87 -7' 'add-update 1 -7' \
            'add-update 256 -7' 'add-update killed -7' \
            'bcdedit not-started 0' 'bcdedit 1 0' 'bcdedit killed 0' 'expand not-started none'; do
  read -r step fault want <<<"$cell"
  cp "$dir/faults.ini" "$dir/faults/machine.ini" && "$sim" set "$dir/faults" "exit.$step=$fault" >/dev/null
  out=$("$dnc" --port "$port" change --no-follow --root 'D:\LanguagePacks' --language Spanish 2>&1); rc=$?
  now=$(status)
  case $want in
    0) expect '[[ $rc -eq 0 && $now == 0 ]]' "exit.$step=$fault: rc=$rc STATUS=$now output=$out" ;;
    none) expect '[[ $rc -eq 1 && $now == 0 && $out == *"no language packs found under D:\LanguagePacks"* ]]' \
            "exit.$step=$fault: rc=$rc STATUS=$now output=$out" ;;
    *) text=$install_error; [[ $want == -8 ]] && text=$remove_error
       expect '[[ $rc -eq 1 && $now == "$want" && $out == *"the change to Spanish failed: $text ($want)"* ]]' \
         "exit.$step=$fault: rc=$rc STATUS=$now output=$out" ;;
  esac
  cells=$((cells + 1))
done
# The package listing failing ends the program after its message, so the
# client sees the connection end or reset (exit status 2); only if it reads STATUS
# and ERROR in the moment before does it report the engine's error.
for fault in not-started 87 256 killed; do
  machine "listing-$fault" "exit.get-packages=$fault" && start_host "listing-$fault" || exit 1
  out=$("$dnc" --port "$port" change --no-follow --root 'D:\LanguagePacks' --language Spanish 2>&1); rc=$?
  expect '[[ ($rc -eq 2 && ($out == *"the server closed the connection"* || $out == *"receiving the reply failed"*)) ||
            ($rc -eq 1 && $out == *"An error ocurred getting language pack name. (-13)"*) ]]' \
    "exit.get-packages=$fault: rc=$rc output=$out"
  expect 'ended $pid 10 && [[ $rc -eq 0 ]]' "exit.get-packages=$fault: the host did not end"
  expect 'grep -qxF "Kestrio Setup: An error ocurred getting language pack name." "$dir/listing-$fault.err"' \
    "exit.get-packages=$fault: no message: $(cat "$dir/listing-$fault.err")"
  cells=$((cells + 1))
done
echo "remote fault cells: $cells"

# More packs than one reply names: the client reads the names in batches of
# seven (7 + 1, 7 + 7) and finds the last one.
for packs in 'cs-CZ,de-DE,en-US,es-ES,fi-FI,fr-FR,it-IT,ko-KR|Korean|Czech, German, English, Spanish, Finnish, French, Italian, Korean' \
             'cs-CZ,de-DE,en-US,es-ES,fi-FI,fr-FR,it-IT,ko-KR,nl-NL,pl-PL,pt-PT,ru-RU,tr-TR,zh-CN|Chinese|Czech, German, English, Spanish, Finnish, French, Italian, Korean, Dutch, Polish, Portuguese, Russian, Turkish, Chinese'; do
  IFS='|' read -r tags last names <<<"$packs"
  name=many$(tr -cd , <<<"$tags" | wc -c)
  "$sim" create "$dir/$name" --language de-DE --installed de-DE --packs "$tags" >/dev/null && start_host "$name" || exit 1
  out=$("$dnc" --port "$port" change --no-follow --root 'D:\LanguagePacks' --language "$last" 2>&1); rc=$?
  expect '[[ $rc -eq 0 && $out == *"language packs: $names"* ]]' "$last among many packs: rc=$rc $out"
  kill -TERM "$pid"
  expect 'ended $pid 5' "the host with many packs did not end"
done

# A power cut at each step of a change: the host and the step's tool killed,
# the machine restarted (pending package changes take effect), the host
# started again.  It shows the language the machine now runs, its listing
# matches the machine's packages, and a new change succeeds.  A tool that
# hangs marks the step the change reached with its process id.
hang_at() {  # NAME PATTERN: dism.exe and bcdedit.exe hang on a command line holding PATTERN
  local tool
  for tool in dism bcdedit; do
    local link="$dir/$1/C/Windows/System32/$tool.exe"
    rm -f "$link"
    printf '#!/bin/bash\n[[ "$KESTRIO_COMMAND_LINE" == *%q* ]] && { echo $$ >%q; sleep 600; }\nexec -a %s.exe %q "$@"\n' \
      "$2" "$dir/$1.reached" "$tool" "$sim" >"$link"
    chmod +x "$link"
  done
}
restore_tools() {  # NAME: the machine's own tools again
  local tool
  for tool in dism bcdedit; do ln -sf "$sim" "$dir/$1/C/Windows/System32/$tool.exe"; done
}
cut_count=0
for cell in '/add-package /packagepath:D|German' 'locale|German' '/remove-package|Spanish' \
            'windows6.1-kb4012215-x86.cab /quiet|Spanish'; do
  at=${cell%|*} after=${cell#*|}
  name=cut$((++cut_count))
  machine "$name" rollup=on update-cabinet=on && hang_at "$name" "$at" && start_host "$name" || exit 1
  "$dnc" --port "$port" change --no-follow --root 'D:\LanguagePacks' --language Spanish >/dev/null 2>&1 &
  client=$!
  pids+=("$client")
  for _ in $(seq 200); do [[ -s $dir/$name.reached ]] && break; sleep 0.05; done
  expect '[[ -s $dir/$name.reached ]]' "the change never reached \"$at\""
  # The power cut stops the host before its tool: a host that outlived its
  # hanging tool would see the tool end and start the change's next step
  # (the unjudged bcdedit is followed by the removal of German), and that
  # tool would go on beside the reboot.  The hanging tool leads a process
  # group of its own: the cut ends it too.
  kill -KILL "$pid"; wait "$pid" 2>/dev/null
  kill -KILL -- "-$(cat "$dir/$name.reached")" 2>/dev/null
  wait "$client" 2>/dev/null
  restore_tools "$name" && "$sim" reboot "$dir/$name" >/dev/null
  expect 'start_host "$name"' "no start after a power cut at \"$at\""
  now=$("$dnc" --port "$port" read KESTRIO.CURRENT 2>&1)
  expect '[[ $now == "$after" ]]' "power cut at \"$at\": CURRENT reads $now, not $after; the machine ran: $(cat "$dir/$name/commands.log")"
  "$dnc" --port "$port" write 'KESTRIO.ROOTDIR=D:\LanguagePacks' >/dev/null
  now=$(settled 20) out=$("$dnc" --port "$port" read KESTRIO.NITEMS 2>&1)
  expect '[[ $now == 0 && $out == 4 ]]' "power cut at \"$at\": the scan ended with STATUS $now and NITEMS $out, not 0 and 4"
  listed=$(grep -o '^[A-Za-z0-9_-]*~[^ ]*  *| [A-Za-z ]*[a-z]' "$dir/$name/C/Windows/Temp/packages.log" | sed 's/  *| /=/' | sort)
  stored=$(sed -n '/^\[packages\]/,/^\[/{/=/p}' "$dir/$name/machine.ini" | sort)
  expect '[[ -n $listed && $listed == "$stored" ]]' "power cut at \"$at\": the listing is not the machine's: $listed / $stored"
  out=$("$dnc" --port "$port" change --no-follow --root 'D:\LanguagePacks' --language Italian 2>&1); rc=$?
  expect '[[ $rc -eq 0 ]]' "power cut at \"$at\": the next change failed: rc=$rc $out"
  kill -TERM "$pid"
  expect 'ended $pid 5' "the host started after a power cut at \"$at\" did not end"
done

# The hosts' standard error holds their messages and nothing else (a
# sanitizer's report would be there too).
other=$(cat "$dir"/*.err | grep -v -e '^Kestrio Setup: ' -e '^kestrio-setup: ')
expect '[[ -z $other ]]' "unexpected output on the hosts' standard error: $other"

summary
