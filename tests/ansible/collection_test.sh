#!/usr/bin/env bash
# The collection kestrio.cnc as a plant runs it: installed from its tarball,
# its inventory reading a floor's hosts file, a playbook in batches with a
# failure threshold over six simulated CNCs (loopback only): a check run that
# runs no tool, the run (changed, ok, and the machine without the pack failed
# with its own text), and the same playbook again (nothing changed).  Then
# the sanity tests of ansible-test that run here without containers or
# downloads, and ansible-doc on every plugin.
#
#   collection_test.sh BUILD-DIR SOURCE-DIR
set -u
build=$(cd "$1" && pwd) src=$(cd "$2" && pwd)
# shellcheck source=../lib.sh
source "$src/tests/lib.sh"
scratch
before_cleanup() { "$src/tools/sim-fleet.sh" "$build" down "$dir/floor" >/dev/null 2>&1; }

# Ansible keeps its state under the scratch folder, not in the home folder.
export ANSIBLE_HOME=$dir/ansible-home ANSIBLE_LOCAL_TEMP=$dir/ansible-tmp ANSIBLE_COLLECTIONS_PATH=$dir/collections
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3
export PATH=$build/cli:$PATH  # kestrio-dnc, as the module finds it by default

# ---- The collection from its tarball ----
tarball=$("$src/tools/make-collection.sh" "$dir/dist") || { ko "make-collection"; summary; exit; }
ansible-galaxy collection install "$tarball" -p "$dir/collections" >"$dir/install.out" 2>&1 &&
  ok || ko "install: $(cat "$dir/install.out")"
for plugin in "kestrio.cnc.language" "kestrio.cnc.info" "-t inventory kestrio.cnc.hosts"; do
  # shellcheck disable=SC2086  # "-t inventory NAME" is words
  out=$(ansible-doc $plugin 2>&1); rc=$?
  expect '[[ $rc -eq 0 && $out == *"OPTIONS"* && $out != *WARNING* ]]' "ansible-doc $plugin: $out"
done

# ---- The inventory ----
"$src/tools/sim-fleet.sh" "$build" up "$dir/floor" 6 seconds.shutdown=0.5 seconds.boot=0.5 >"$dir/floor.out" 2>&1 ||
  { ko "fleet-up: $(cat "$dir/floor.out")"; summary; exit; }
printf 'plugin: kestrio.cnc.hosts\nhosts_file: %s\n' "$dir/floor/hosts" >"$dir/floor.kestrio.yml"
inv=$(ansible-inventory -i "$dir/floor.kestrio.yml" --list 2>&1)
got=$(jq -c "[(.kestrio.hosts | length), ._meta.hostvars.cnc04.ansible_connection, ._meta.hostvars.cnc04.ansible_host,
               (._meta.hostvars.cnc04.kestrio_port | type)]" <<<"$inv" 2>&1)
expect '[[ $got == "[6,\"local\",\"127.0.0.1\",\"number\"]" ]]' "the inventory: $got $inv"
# A bad hosts file is refused with its line, as kestrio-dnc refuses it: one
# machine by two names would be two tasks on one CNC.
printf 'a 127.0.0.1:1\nb localhost:1\n' >"$dir/twice"
printf 'plugin: kestrio.cnc.hosts\nhosts_file: twice\n' >"$dir/twice.kestrio.yml"
out=$(ANSIBLE_INVENTORY_UNPARSED_FAILED=1 ansible-inventory -i "$dir/twice.kestrio.yml" --list 2>&1); rc=$?
out=${out//$'\n'/ }  # Ansible wraps its warnings
expect '[[ $rc -ne 0 && $out == *"line 2: localhost:1 and 127.0.0.1:1 on line 1 are one machine"* ]]' \
  "a hosts file with one machine twice: $out"
printf 'plugin: kestrio.cnc.hosts\nhosts_file: twice\nkestrio_dnc: kestrio-dnc-nowhere\n' >"$dir/nowhere.kestrio.yml"
out=$(ANSIBLE_INVENTORY_UNPARSED_FAILED=1 ansible-inventory -i "$dir/nowhere.kestrio.yml" --list 2>&1); rc=$?
expect '[[ $rc -ne 0 && $out == *"kestrio-dnc-nowhere"* ]]' "an inventory without its kestrio-dnc: $out"

# The inventory is the hosts file as the fleet reads it (the plugin runs
# kestrio-dnc fleet hosts): each file gives the same hosts to the inventory
# as to fleet status, or is refused by both at the same line for the same reason.
verdict_dnc() {  # FILE: "NAME ADDRESS;..." or "line N: why"
  local out rc
  out=$("$build/cli/kestrio-dnc" fleet status "$1" --timeout 200 --port 3999 2>&1); rc=$?
  if [[ $rc -eq 2 ]]; then sed -n "s|^kestrio-dnc: $1: ||p" <<<"$out"; return; fi
  awk 'NR > 1 && $2 ~ /:/ { printf "%s %s;", $1, $2 }' <<<"$out"
}
verdict_inventory() {
  /usr/bin/python3 - "$1" "$dir/collections" "$build/cli/kestrio-dnc" <<'PY'
import sys
sys.path.insert(0, sys.argv[2])
from ansible_collections.kestrio.cnc.plugins.inventory.hosts import read_hosts
try:
    print(''.join('%s %s:%d;' % host for host in read_hosts(sys.argv[3], sys.argv[1], 3999)))
except ValueError as e:
    print(e)
PY
}
rows=0
for row in 'names, ports, comments|# the hall\nmill-A 127.0.0.1:4001  # by the door\n\n127.0.0.2\n\tlathe 127.0.0.3:4003\r\n' \
           'a byte order mark|\xef\xbb\xbfa 127.0.0.1:4001\n' \
           'a name twice|a 127.0.0.1:4001\na 127.0.0.1:4002\n' \
           'an address twice, once by the default port|a 127.0.0.1\nb 127.0.0.1:3999\n' \
           'three fields|a b 127.0.0.1:4001\n' \
           'a port out of range|a 127.0.0.1:65536\n' \
           'no host|a :4001\n' \
           'a control character|a 127.0.0.1:4001\x01\n' \
           'no hosts|# only a comment\n' \
           'one machine by two names|a 127.0.0.1:4001\nb localhost:4001\n' \
           'a short form of an address|a 127.0.0.1:4001\nb 127.1:4001\n' \
           'no machine'"'"'s address|a 0.0.0.0:4001\n' \
           'names in Windows-1252|Fr\xe4se-1 127.0.0.1:4001\nFr\xe4se-2 127.0.0.2:4001\n'; do
  printf "${row#*|}" >"$dir/rules-$((++rows))"
  dnc_says=$(verdict_dnc "$dir/rules-$rows") inventory_says=$(verdict_inventory "$dir/rules-$rows")
  expect '[[ -n $dnc_says && $dnc_says == "$inventory_says" ]]' \
    "${row%%|*}: kestrio-dnc says '$dnc_says', the inventory '$inventory_says'"
done

# ---- The playbook: check, run, again ----
play() {  # NAME [ansible-playbook options]: its status in $rc; the language task's result per host, as
           # "HOST CHANGED|SUCCESS|FAILED JSON" lines sorted by host, in $dir/NAME.json (the oneline callback: "HOST | CHANGED => {...}")
  local name=$1; shift
  ANSIBLE_STDOUT_CALLBACK=oneline ansible-playbook -i "$dir/floor.kestrio.yml" "$(dirname "$0")/change-language.yml" \
    "$@" >"$dir/$name.out" 2>"$dir/$name.err"
  rc=$?
  sed -n 's/^\(cnc0[0-9]\) | \([A-Z]*\)!* => \({.*"restart_followed".*\)$/\1 \2 \3/p' "$dir/$name.out" | sort >"$dir/$name.json"
}
# Per host: how the task ended (CHANGED, SUCCESS, FAILED), the result and its text.
results() {
  local host how json
  while read -r host how json; do printf '%s %s %s\n' "$host" "$how" "$(jq -r '"\(.result) \(.text)"' <<<"$json")"; done <"$1"
}
of() { sed -n "s/^$2 [A-Z]* //p" "$1" | jq -c "$3"; }  # FILE HOST JQ: the host's result through jq
logs() { for m in "$dir"/floor/cnc0?; do printf '%s %s\n' "${m##*/}" "$(cat "$m/commands.log" 2>/dev/null | md5sum)"; done; }
tools_before=$(logs)
start=$SECONDS
play check --check --diff
expect '[[ $rc -eq 0 ]]' "check run: rc=$rc $(cat "$dir/check.err")"
expect '[[ $(logs) == "$tools_before" ]]' "the check run ran a tool on a machine: $(logs)"
want=$'cnc01 CHANGED not started check mode: would change German to Polish
cnc02 CHANGED not started check mode: would change French to Polish
cnc03 SUCCESS skipped already Polish
cnc04 CHANGED not started check mode: would change Italian to Polish
cnc05 CHANGED not started check mode: would change German to Polish
cnc06 CHANGED not started check mode: would change French to Polish'
got=$(results "$dir/check.json")
expect '[[ $got == "$want" ]]' "check run: $got"
# Diff mode shows the language before and after (the default callback prints the diff).
out=$(ansible-playbook -i "$dir/floor.kestrio.yml" "$(dirname "$0")/change-language.yml" --check --diff --limit cnc01 2>&1)
expect '[[ $out == *$'"'"'\n-language: German\n+language: Polish\n'"'"'* ]]' "check run's diff: $out"

play run --diff
expect '[[ $rc -eq 2 ]]' "the run: rc=$rc, want 2 (a host failed) $(cat "$dir/run.err")"
want=$'cnc01 CHANGED done Polish, after the restart
cnc02 CHANGED done Polish, after the restart
cnc03 SUCCESS skipped already Polish
cnc04 CHANGED done Polish, after the restart
cnc05 FAILED failed Polish is not among the language packs found under D:\\LanguagePacks: German, Spanish, French, Italian
cnc06 CHANGED done Polish, after the restart'
got=$(results "$dir/run.json")
expect '[[ $got == "$want" ]]' "the run: $got"
expect '[[ $(of "$dir/run.json" cnc05 "[.code, .rc, .msg]") == "[0,1,\"Polish is not among"* ]]' \
  "cnc05's failure: $(of "$dir/run.json" cnc05 .)"
expect '[[ $(of "$dir/run.json" cnc02 "[.before, .after, .restart_followed]") == "[\"French\",\"Polish\",true]" ]]' \
  "cnc02's result: $(of "$dir/run.json" cnc02 .)"
# The machines that changed were read back in Polish (the assert task).
expect '[[ $(grep -c "^cnc0[12346] | SUCCESS" "$dir/run.out") -ge 5 ]]' "the read-back: $(cat "$dir/run.out")"

play again
expect '[[ $rc -eq 2 && $(grep -c "| CHANGED" "$dir/again.out") -eq 0 && $(results "$dir/again.json" | grep -c " skipped already Polish$") -eq 5 ]]' \
  "again: rc=$rc $(cat "$dir/again.out")"
# The threshold stops the run: the machine without the pack comes in the
# first batch, and no later batch starts.
play threshold -e kestrio_order=reverse_sorted -e kestrio_max_fail_percentage=49
expect '[[ $rc -eq 2 && $(cut -d" " -f1,2 "$dir/threshold.json" | tr "\n" " ") == "cnc05 FAILED cnc06 SUCCESS " ]]' \
  "the threshold: rc=$rc $(cat "$dir/threshold.out" "$dir/threshold.err")"
echo "four runs over six machines: $((SECONDS - start)) s"

# The tarball is the same bytes when built again.
sleep 1
again=$("$src/tools/make-collection.sh" "$dir/dist-again")
expect 'cmp -s "$tarball" "$again"' "two builds of the collection differ: $(cmp "$tarball" "$again" 2>&1)"

# ---- The modules' own ends, one task each on the controller ----
# A machine not reached is a state for info and a failure for language; a
# program that gives no JSON (not kestrio-dnc, or one too old) fails the
# task with what it said, as does a time-out the machine cannot take.
closed=3999  # no machine of the floor listens there (fleet-up takes free ports)
for row in "info, nothing listening|kestrio.cnc.info|host=127.0.0.1 port=$closed|SUCCESS|\"reachable\": false" \
           "language, nothing listening|kestrio.cnc.language|host=127.0.0.1 port=$closed name=Polish root=D:\\\\x|FAILED|\"msg\": \"unreachable: cannot connect to 127.0.0.1:$closed" \
           "not kestrio-dnc|kestrio.cnc.info|host=127.0.0.1 kestrio_dnc=/bin/echo|FAILED|kestrio-dnc gave no JSON (exit status 0)" \
           "no such program|kestrio.cnc.info|host=127.0.0.1 kestrio_dnc=kestrio-dnc-nowhere|FAILED|kestrio-dnc-nowhere" \
           "a port out of range|kestrio.cnc.info|host=127.0.0.1 port=70000|FAILED|port: 70000 is not a port from 1 to 65535" \
           "a time-out of 0 s|kestrio.cnc.language|host=127.0.0.1 name=Polish root=D:\\\\x restart_timeout=0|FAILED|restart_timeout: 0 is not a positive"; do
  IFS='|' read -r label module args how want <<<"$row"
  out=$(ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_INVENTORY_UNPARSED_WARNING=0 ansible localhost -m "$module" -a "$args" 2>&1)
  expect '[[ $out == "localhost | $how"* && $out == *"$want"* ]]' "$label: $out"
done

# ---- ansible-test sanity: the tests that need no container and no download ----
# (ansible-doc, import, pep8, pylint, runtime-metadata, validate-modules and
# yamllint install their requirements into a virtual environment first.)
mkdir -p "$dir/sanity/ansible_collections/kestrio"
cp -R "$src/ansible/ansible_collections/kestrio/cnc" "$dir/sanity/ansible_collections/kestrio/cnc"
tests=(action-plugin-docs changelog compile empty-init future-import-boilerplate ignores line-endings
       metaclass-boilerplate no-assert no-basestring no-dict-iteritems no-dict-iterkeys no-dict-itervalues
       no-get-exception no-illegal-filenames no-main-display no-smart-quotes no-unicode-literals replace-urlopen
       shebang shellcheck symlinks use-argspec-type-path use-compat-six)
out=$(cd "$dir/sanity/ansible_collections/kestrio/cnc" &&
      ansible-test sanity --python-interpreter /usr/bin/python3 --python 3.11 "${tests[@]/#/--test=}" 2>&1); rc=$?
expect '[[ $rc -eq 0 ]]' "ansible-test sanity: $out"

summary
