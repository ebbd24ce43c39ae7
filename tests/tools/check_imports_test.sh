#!/usr/bin/env bash
# The Windows 7 guard refuses what it must: a program importing a function
# newer than Windows 7 and one from a DLL outside Windows, and a shipped
# program once one of its functions is taken off the list.
#
#   check_imports_test.sh CHECK_IMPORTS ALLOW_LIST KESTRIO_EXE NEWER_EXE
set -uo pipefail
[[ $# -eq 4 ]] || { echo "usage: check_imports_test.sh CHECK_IMPORTS ALLOW_LIST KESTRIO_EXE NEWER_EXE" >&2; exit 2; }
check=$1 allow=$2 kestrio=$3 newer=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
expect() {  # WHAT STATUS WANTED_STATUS PATTERN...: the run ended with WANTED_STATUS and its output has each PATTERN
  local what=$1 status=$2 wanted=$3 pattern ok=1
  shift 3
  [[ $status -eq $wanted ]] || ok=0
  for pattern in "$@"; do grep -qF -- "$pattern" "$work/out" || ok=0; done
  if [[ $ok -eq 1 ]]; then echo "ok   $what"; else echo "FAIL $what (status $status)"; sed 's/^/   > /' "$work/out"; failed=1; fi
}

"$check" --allow "$allow" "$newer" >"$work/out" 2>&1
expect "a function newer than Windows 7 and a DLL outside Windows are refused" $? 1 \
  "imports kernel32.dll!GetSystemTimePreciseAsFileTime, which is not on" \
  "imports from bare.dll, which is not part of Windows 7" \
  "minimum supported client"

# MessageBoxW is what every stop of the program shows.
grep -v -x 'user32.dll!MessageBoxW' "$allow" >"$work/list.txt"
"$check" --allow "$work/list.txt" "$kestrio" >"$work/out" 2>&1
expect "Kestrio.exe is refused once MessageBoxW is off the list" $? 1 \
  "imports user32.dll!MessageBoxW, which is not on list.txt" " functions imported"

"$check" --allow "$allow" "$kestrio" >"$work/out" 2>&1
expect "Kestrio.exe passes with the whole list" $? 0 "Kestrio.exe: "

"$check" --allow "$allow" "$work/missing.exe" >"$work/out" 2>&1
expect "a program that is not there fails the check" $? 1 "no such file"
exit "$failed"
