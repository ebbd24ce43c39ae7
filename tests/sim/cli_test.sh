#!/usr/bin/env bash
# kestrio-sim as a person uses it: clear refusals that leave a machine as it
# was, and the tools' logs.
set -u
sim="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# shellcheck source=../lib.sh
source "$(dirname "$0")/../lib.sh"
check() {  # check NAME EXPECTED-RC EXPECTED-STDERR-PART -- COMMAND...
  local name=$1 rc=$2 want=$3; shift 4
  local err; err=$("$@" 2>&1 >/dev/null); local got=$?
  if [[ $got -eq $rc && "$err" == *"$want"* ]]; then ok; else ko "$name: rc=$got stderr=$err"; fi
}
m="$dir/m"
check create 0 "" -- "$sim" create "$m" --language de-DE --installed de-DE,fr-FR --rollup
# The current language as Windows keeps it: a multi-string of one tag, 12 bytes.
grep -qx '"MachinePreferredUILanguages"=hex(7):64,00,65,00,2d,00,44,00,45,00,00,00' "$m/registry.reg" && ok ||
  ko "registry.reg lacks the language as a 12-byte multi-string"
check "create twice" 1 "already holds a simulated machine" -- "$sim" create "$m"
check "bad tag" 1 "not a language tag" -- "$sim" create "$dir/n" --installed "de DE"
check "unknown option" 109 "--colour" -- "$sim" create "$dir/n" --colour
check "missing machine" 1 "no simulated machine" -- "$sim" show "$dir/none"
before=$(cat "$m/machine.ini" "$m/registry.reg")
check "unknown key" 1 "unknown key \"speed\"" -- "$sim" set "$m" filter=on speed=9
check "bad number" 1 "free-bytes: expected a number" -- "$sim" set "$m" free-bytes=lots
check "bad step" 1 "unknown step" -- "$sim" set "$m" exit.reboot=1
check "bad seconds" 1 "expected seconds from 0 to 3600" -- "$sim" set "$m" seconds.bcdedit=-1
check "seconds of no step" 1 "unknown step \"reboot\"" -- "$sim" set "$m" seconds.reboot=1
[[ "$before" == "$(cat "$m/machine.ini" "$m/registry.reg")" ]] && ok || ko "a refused set changed the machine"
check "set" 0 "" -- "$sim" set "$m" filter=on protect-c=on free-bytes=5 exit.add-package=3010 language="de-DE|en-US" \
  seconds.bcdedit=0.4
out=$("$sim" show "$m")
for want in "enabled yes" "C: protected yes" "Free bytes on C:   5" "add-package=3010" "de-DE | en-US" "~fr-FR~" \
            "Tool seconds       bcdedit=0.4"; do
  [[ "$out" == *"$want"* ]] && ok || ko "show lacks '$want'"
done
check "bad filter library" 1 "fbwf-library: expected on, off or broken" -- "$sim" set "$m" fbwf-library=maybe
check "broken filter library" 0 "" -- "$sim" set "$m" fbwf-library=broken
[[ "$("$sim" show "$m")" == *"library there but does not load"* ]] && ok || ko "show lacks the broken library"
"$sim" set "$m" fbwf-library=on
cp "$m/machine.ini" "$dir/saved"; echo "[os" > "$m/machine.ini"
check "malformed machine.ini" 1 "machine.ini: line 1" -- "$sim" show "$m"
cp "$dir/saved" "$m/machine.ini"
# A tool given seconds waits them, then acts.
start=$(date +%s%N)
check "slow tool" 0 "" -- env KESTRIO_MACHINE="$m" "$m/C/Windows/System32/bcdedit.exe" /set '{current}' locale it-IT
expect '(( $(date +%s%N) - start >= 400000000 ))' "bcdedit with seconds.bcdedit=0.4 did not wait"
expect 'grep -qx "locale=it-IT" "$m/machine.ini"' "the slow bcdedit did not set the locale"
"$sim" set "$m" seconds.bcdedit= >/dev/null
check "tool with a bad option" 87 "" -- env KESTRIO_MACHINE="$m" "$m/C/Windows/System32/dism.exe" /online /frobnicate
grep -q "^dism.exe /online /frobnicate => 87$" "$m/commands.log" && ok || ko "commands.log lacks the call"
check "make-pack needs a tag" 1 "give a language tag" -- "$sim" make-pack "$dir/x.cab"
check "make-pack" 0 "" -- "$sim" make-pack "$dir/x.cab" it-IT
if command -v cabextract >/dev/null; then
  cabextract -q -p -F langcfg.ini "$dir/x.cab" | grep -q "Language=it-IT" && ok || ko "cabinet content"
fi

# registry.reg dropped in as regedit exports it (UTF-16LE with its mark, CRLF,
# comments): a set that changes no value leaves it byte for byte, one that
# changes a value keeps its encoding and its comments.
r="$dir/r"
"$sim" create "$r" >/dev/null
{ printf '\xff\xfe'; printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' '; exported from the CNC' \
    '[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\ProductOptions]' \
    '"ProductSuite"=hex(7):45,00,6d,00,62,00,65,00,64,00,64,00,65,00,64,00,4e,00,54,00,00,00,00,00' '' \
    '[HKEY_CURRENT_USER\Control Panel\Desktop\MuiCached]' \
    '"MachinePreferredUILanguages"=hex(7):64,00,65,00,2d,00,44,00,45,00,00,00' |
    iconv -f UTF-8 -t UTF-16LE; } >"$r/registry.reg"
cp "$r/registry.reg" "$dir/exported.reg"
check "set filter" 0 "" -- "$sim" set "$r" filter=on
cmp -s "$r/registry.reg" "$dir/exported.reg" && ok || ko "a set of machine.ini facts rewrote registry.reg"
check "set language" 0 "" -- "$sim" set "$r" language=fr-FR
[[ $(head -c 2 "$r/registry.reg" | od -An -tx1) == " ff fe" ]] && ok || ko "registry.reg lost its UTF-16LE mark"
utf8=$(tail -c +3 "$r/registry.reg" | iconv -f UTF-16LE -t UTF-8)
[[ $utf8 == *$'; exported from the CNC\r\n'* ]] && ok || ko "registry.reg lost its comment: $utf8"
[[ $("$sim" show "$r") == *"Current language   fr-FR"* ]] && ok || ko "the language set is not shown"

# A bad line stops the reading with its number and cause, unless machine.ini
# says to skip bad lines: then each one is listed, and kept in the file.
printf '"Extra"="1" ; note\n' >>"$m/registry.reg"
lines=$(wc -l <"$m/registry.reg")
check "bad registry line" 1 "registry.reg: line $lines: a comment after the value" -- "$sim" show "$m"
printf '[registry]\nbad_lines=skip\n' >>"$m/machine.ini"
check "skipped registry line" 0 "registry.reg: skipped line $lines: a comment after the value (a comment needs a line of its own): \"Extra\"=\"1\" ; note" -- "$sim" show "$m"
check "set with a skipped line" 0 "skipped line $lines" -- "$sim" set "$m" language=it-IT
grep -qxF '"Extra"="1" ; note' "$m/registry.reg" && ok || ko "the skipped line left registry.reg"
summary
