#!/usr/bin/env bash
# The Windows 7 guard: what each program imports must be on the machine.
#
#   check-imports.sh [--allow LIST] EXE...
#
# Reads the import tables of each EXE with the cross toolchain's objdump
# (OBJDUMP, default i686-w64-mingw32-objdump) and fails when a program
# imports from a DLL that is not part of Windows itself (a MinGW runtime
# DLL, an API set such as api-ms-win-*.dll, a library of our own), or a
# function that is not on LIST (tools/windows7-imports.txt): the functions
# known to be present on Windows 7 SP1 x86, one DLL!Function a line, the DLL
# in lower case (DLL!#N for an import by ordinal).
#
# Wine exports many functions that Windows 7 lacks, so a program that runs
# under Wine may still not start on the machine; this check is what stands
# between the two.  Prints one line of figures per program.
# Exit status: 0 every program passes, 1 one does not, 2 bad usage.
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
allow=$here/windows7-imports.txt
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

usage() { echo "usage: check-imports.sh [--allow LIST] EXE..." >&2; exit 2; }
while [[ $# -gt 0 ]]; do
  case $1 in
    --allow) [[ $# -ge 2 ]] || usage; allow=$2; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
[[ $# -ge 1 ]] || usage
command -v "$objdump" >/dev/null || { echo "check-imports: $objdump not found (package g++-mingw-w64-i686)" >&2; exit 2; }
[[ -r $allow ]] || { echo "check-imports: cannot read the allow-list $allow" >&2; exit 2; }

# DLLs of Windows 7 itself that a program of ours may import from.
system_dlls=" advapi32.dll comctl32.dll comdlg32.dll crypt32.dll gdi32.dll iphlpapi.dll kernel32.dll"
system_dlls+=" msi.dll msvcrt.dll ntdll.dll ole32.dll oleaut32.dll rpcrt4.dll setupapi.dll shell32.dll shlwapi.dll"
system_dlls+=" user32.dll uxtheme.dll version.dll winmm.dll ws2_32.dll wsock32.dll "

allowed=$(mktemp)
trap 'rm -f "$allowed"' EXIT
grep -v -e '^#' -e '^[[:space:]]*$' "$allow" | sort -u > "$allowed"

failed=0
for exe in "$@"; do
  name=$(basename "$exe")
  [[ -f $exe ]] || { echo "check-imports: $exe: no such file" >&2; failed=1; continue; }
  # objdump -p: "DLL Name: X" opens a DLL's imports; each import is a line
  # "<tab>VMA<tab> HINT  NAME", or "<tab>VMA<tab> ORDINAL  <none>".
  if ! table=$("$objdump" -p "$exe"); then
    echo "check-imports: $objdump cannot read $exe" >&2
    failed=1
    continue
  fi
  imports=$(awk '
    /^[ \t]*DLL Name:/ { dll = tolower($3); print dll "!"; next }
    /^[ \t]*vma:/ { next }
    dll != "" && /^\t[0-9a-fA-F]+\t/ {
      if ($3 == "<none>") print dll "!#" $2; else print dll "!" $3
      next
    }
    /^[^\t ]/ { dll = "" }' <<<"$table" | sort -u)
  dlls=$(sed -n 's/!$//p' <<<"$imports")
  functions=$(grep -v '!$' <<<"$imports" || true)
  ndlls=$(grep -c . <<<"$dlls" || true)
  nfunctions=$(grep -c . <<<"$functions" || true)

  bad=0
  for dll in $dlls; do
    if [[ $system_dlls != *" $dll "* ]]; then
      case $dll in
        lib*) hint=" (a MinGW runtime DLL: is the runtime still linked statically?)" ;;
        api-ms-win-*|ext-ms-win-*) hint=" (an API set of a later Windows)" ;;
        *) hint=": only the program itself is copied to the machine" ;;
      esac
      echo "$name: imports from $dll, which is not part of Windows 7$hint" >&2
      bad=1
    fi
  done
  unlisted=$(comm -23 <(grep . <<<"$functions" || true) "$allowed")
  if [[ -n $unlisted ]]; then
    while read -r f; do
      case " $system_dlls " in
        *" ${f%%!*} "*) echo "$name: imports $f, which is not on $(basename "$allow")" >&2 ;;
      esac
    done <<<"$unlisted"
    bad=1
  fi
  echo "$name: $ndlls DLLs, $nfunctions functions imported"
  if [[ $bad -ne 0 ]]; then
    failed=1
    if [[ -n $unlisted ]]; then
      cat >&2 <<EOF
$name: a function that is not on the list may be missing on the machine's Windows 7 SP1 x86,
  even though it runs under Wine.  Before adding it to $allow, open the function's
  documentation and confirm that its minimum supported client is Windows 7 (or Server 2008 R2)
  or earlier; otherwise find another way that Windows 7 has.
EOF
    fi
  fi
done
exit "$failed"
