#!/usr/bin/env bash
# The bash completion offers what kestrio-dnc's one table of options and
# commands gives (its --help): every option, those that take a file, those
# that take another value, the commands and the fleet commands.  An option
# added to the table and not to packaging/kestrio-dnc.bash-completion fails
# here.
#
#   completion_test.sh KESTRIO-DNC COMPLETION-FILE
set -u
dnc="$1" completion="$2"
passed=0 failed=0
ok() { passed=$((passed+1)); }
ko() { failed=$((failed+1)); echo "FAIL $*"; }

help=$("$dnc" --help) || { echo "FAIL kestrio-dnc --help"; exit 1; }
options=$(sed -n '/^options:/,/^$/p' <<<"$help" | grep -oE '^  --[a-z-]+( [A-Z]+)?')
commands=$(sed -n '/^commands:/,/^hosts file:/p' <<<"$help" | grep -oE '^  [a-z]+( [a-z]+)?')
words() { tr ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' '; }

want_all=$(awk '{print $1}' <<<"$options" | words)
want_files=$(awk '$2 ~ /^(FILE|REPORT|HOSTS)$/ {print $1}' <<<"$options" | words)
want_values=$(awk 'NF == 2 && $2 !~ /^(FILE|REPORT|HOSTS)$/ {print $1}' <<<"$options" | words)
want_commands=$(awk '{print $1}' <<<"$commands" | words)
want_fleet=$(awk '$1 == "fleet" {print $2}' <<<"$commands" | words)

# The completion's lists: the words compgen offers after a dash, and the
# two `case $prev` patterns (a file follows, another value follows).
body=$(tr '\n' ' ' <"$completion")
got_all=$(grep -oE 'compgen -W "--[^"]*"' <<<"$body" | grep -oE -- '--[a-z-]+' | words)
got_files=$(grep -oE -- '--json[|a-z-]*\)' <<<"$body" | head -n 1 | grep -oE -- '--[a-z-]+' | words)
got_values=$(grep -oE -- '--host[|a-z-]*\)' <<<"$body" | head -n 1 | grep -oE -- '--[a-z-]+' | words)
got_commands=$(grep -oE 'compgen -W "read [^"]*"' <<<"$body" | sed 's/compgen -W //; s/"//g' | words)
got_fleet=$(grep -oE 'compgen -W "status [^"]*"' <<<"$body" | sed 's/compgen -W //; s/"//g' | words)

for list in all files values commands fleet; do
  want=want_$list got=got_$list
  [[ -n ${!want} && ${!want} == "${!got}" ]] && ok || ko "$list: the table gives '${!want}', the completion '${!got}'"
done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
