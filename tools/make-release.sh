#!/usr/bin/env bash
# The archive a technician carries to the CNC, from a release build:
#
#   make-release.sh BUILD-DIR OUT-DIR     prints the archive's path
#
# OUT-DIR/KestrioSetup-<version>-win32.zip holds Kestrio.exe, kestrio-dnc.exe,
# README-Windows.txt and SHA256SUMS, in that order; beside it
# KestrioSetup-<version>-win32.msi, the Windows Installer package of the same
# three files (make-msi.sh).  The same commit gives the same bytes: every
# time stamp is the commit's (SOURCE_DATE_EPOCH when set), modes are fixed,
# and zip writes no owner or extra time fields (-X).
set -euo pipefail
build=$(cd "$1" && pwd)
mkdir -p "$2" && out=$(cd "$2" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=release-lib.sh
source "$src/tools/release-lib.sh"

version=$(sed -n 's/^#define KESTRIO_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/kestrio_version.h")
[[ -n $version ]] || { echo "make-release: no version in $build/generated/kestrio_version.h" >&2; exit 1; }
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null) ||
    { echo "make-release: not a git checkout: set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
if [[ -n $(git -C "$src" status --porcelain --untracked-files=no 2>/dev/null) ]]; then
  echo "make-release: note: the working tree has changes; the archive is not the commit's" >&2
fi

stage=$build/release-stage
rm -rf "$stage" && mkdir -p "$stage"
# The linker already left out symbols and debug information (-s); see
# KESTRIO_REPRODUCIBLE in CMakeLists.txt.
cp "$build/app/win32/Kestrio.exe" "$build/cli/kestrio-dnc.exe" "$stage/"
# The package's own check of DNCREMOTE goes into the package, not the archive.
cp "$build/app/win32/kestrio-msi.dll" "$stage/"
# Notepad on the CNC reads the text right with CRLF line ends, and in any
# code page with the UTF-8 byte-order mark.
{ printf '\357\273\277'; sed 's/\r$//; s/$/\r/' "$src/app/win32/README-Windows.txt"; } >"$stage/README-Windows.txt"
files=(Kestrio.exe kestrio-dnc.exe README-Windows.txt)
(cd "$stage" && sha256sum "${files[@]}" >SHA256SUMS)
files+=(SHA256SUMS)

zip=$out/KestrioSetup-$version-win32.zip
pack_archive "$stage" "$zip" "$SOURCE_DATE_EPOCH" "${files[@]}"
"$src/tools/make-msi.sh" "$stage" "$version" "$SOURCE_DATE_EPOCH" "${zip%.zip}.msi"
echo "$zip"
