#!/usr/bin/env bash
# Prepares a Wine prefix and a tools folder for running the Windows build
# against a simulated machine.
#
#   prepare-prefix.sh PREFIX BUILD_DIR TARGET_DIR
#
# PREFIX      the Wine prefix; made (32-bit) when it does not exist yet, reused
#             otherwise
# BUILD_DIR   the win32 build folder (holds sim/kestrio-sim.exe, sim/FBWFLIB.dll)
# TARGET_DIR  where dism.exe, bcdedit.exe, expand.exe, cmd.exe and FBWFLIB.dll
#             are put; the machine.ini they answer from goes beside them
#
# The registry values the program checks are set to those of a German
# Windows 7 Embedded machine.
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

reg_add() {
  run_wine wine reg add "$1" /v "$2" /t "$3" /d "$4" /f
}
reg_add 'HKCU\Control Panel\Desktop\MuiCached' MachinePreferredUILanguages REG_SZ 'de-DE'
reg_add 'HKLM\SYSTEM\CurrentControlSet\Control\ProductOptions' ProductSuite REG_MULTI_SZ 'Terminal Server\0EmbeddedNT'

mkdir -p "$target"
for name in dism bcdedit expand cmd; do
  cp -f "$tool" "$target/$name.exe"
done
cp -f "$filter" "$target/FBWFLIB.dll"

# Registry changes reach the prefix's files when the server ends.
run_wine wineserver -w
