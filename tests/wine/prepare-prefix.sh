#!/usr/bin/env bash
# Prepares a Wine prefix and a tools folder for running the Windows build
# against a simulated machine.
#
#   prepare-prefix.sh PREFIX BUILD_DIR TARGET_DIR
#
# PREFIX      the Wine prefix; made (32-bit) when it does not exist yet, reused
#             otherwise
# BUILD_DIR   the win32 build folder (holds sim/kestrio-sim.exe, sim/FBWFLIB.dll)
# TARGET_DIR  where dism.exe, bcdedit.exe, expand.exe, cmd.exe and shutdown.exe are put;
#             the machine.ini they answer from goes beside them
#
# FBWFLIB.dll goes into the prefix's system folder; it answers from the
# machine.ini beside the program that loads it.  The registry values the
# program checks are set to those of a German Windows 7 Embedded machine.
set -euo pipefail

die() {
  echo "prepare-prefix: $*" >&2
  exit 1
}

[[ $# -eq 3 ]] || die "usage: prepare-prefix.sh PREFIX BUILD_DIR TARGET_DIR"
prefix=$1
build=$2
target=$3

export WINEPREFIX=$prefix
export WINEDEBUG=-all
# The program is i686: one 32-bit registry view, as on the machine.
export WINEARCH=win32

command -v wine >/dev/null || die "wine is not installed (wine, wine32:i386)"
command -v wineserver >/dev/null || die "wineserver is not on PATH"

tool=$build/sim/kestrio-sim.exe
filter=$build/sim/FBWFLIB.dll
[[ -f $tool ]] || die "$tool not found: build the win32 preset first"
[[ -f $filter ]] || die "$filter not found: build the win32 preset first"

log=$(mktemp)
trap 'rm -f "$log"' EXIT

run_wine() {
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    die "failed: $*"
  fi
}

# Wine's loader is a 32-bit Linux program; a kernel without 32-bit support
# needs an emulator registered for it before anything here can run.
if ! wine --version >/dev/null 2>&1; then
  die "wine cannot start: this system cannot run 32-bit Linux programs (no IA-32 support in the kernel and no i386 binfmt handler)"
fi

if [[ ! -f $prefix/system.reg ]]; then
  mkdir -p "$(dirname "$prefix")"
  run_wine wine wineboot -i
  run_wine wineserver -w
fi

# hex(7) data of a multi-string: each ASCII string with its NUL, as regedit
# writes it ("de-DE" alone: de-DE and one NUL, 12 bytes, as Windows keeps
# MachinePreferredUILanguages).
hex7() {
  local s out="" i c
  for s in "$@"; do
    for ((i = 0; i < ${#s}; i++)); do
      printf -v c '%02x' "'${s:i:1}"
      out+="$c,00,"
    done
    out+="00,00,"
  done
  printf '%s' "${out%,}"
}
# The file is UTF-16 with its byte-order mark, as reg export writes it: from
# an 8-bit file reg import would widen hex(7) data byte by byte.
regfile=$(mktemp --suffix=.reg)
trap 'rm -f "$log" "$regfile"' EXIT
{
  printf '\xff\xfe'
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Control Panel\\Desktop\\MuiCached]\r\n'
    printf '"MachinePreferredUILanguages"=hex(7):%s\r\n\r\n' "$(hex7 de-DE)"
    printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ProductOptions]\r\n'
    printf '"ProductSuite"=hex(7):%s,00,00\r\n' "$(hex7 'Terminal Server' EmbeddedNT)"
  } | iconv -f UTF-8 -t UTF-16LE
} > "$regfile"
run_wine wine reg import "Z:${regfile//\//\\}"

# The write-filter library lies in the system folder, where the program looks
# for it (C:\windows\system32 of a 32-bit prefix), and nowhere else.
system32=$prefix/drive_c/windows/system32
[[ -d $system32 ]] || die "$system32 not found: not a 32-bit prefix"
cp -f "$filter" "$system32/FBWFLIB.dll"

mkdir -p "$target"
for name in dism bcdedit expand cmd shutdown; do
  cp -f "$tool" "$target/$name.exe"
done
rm -f "$target/FBWFLIB.dll"

# Registry changes reach the prefix's files when the server ends.
run_wine wineserver -w
