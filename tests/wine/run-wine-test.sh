#!/usr/bin/env bash
# Runs one Windows test program of the win32 build under Wine.
#
#   run-wine-test.sh BUILD_DIR TEST_EXE [ARGS...]
#
# The program runs in a folder of its own beside the machine's Windows tools
# (dism.exe, cmd.exe, expand.exe, bcdedit.exe), in a prefix kept in
# BUILD_DIR/wine and made once, whose system folder holds FBWFLIB.dll.  Language-pack cabinets cannot be written
# under Wine, so they are made here with gcab and handed over in
# KESTRIO_TEST_CABS.  Runs take a lock: they share the prefix's registry.
set -euo pipefail
[[ $# -ge 2 ]] || { echo "usage: run-wine-test.sh BUILD_DIR TEST_EXE [ARGS...]" >&2; exit 2; }
build=$(cd "$1" && pwd)
exe=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wine_dir=$build/wine
mkdir -p "$wine_dir"

exec 9>"$wine_dir/lock"
flock 9

wine_prefix_env "$wine_dir"

cabs=$wine_dir/cabs
if [[ ! -f $cabs/.done ]]; then
  command -v gcab >/dev/null || { echo "run-wine-test: gcab is not installed" >&2; exit 1; }
  rm -rf "$cabs"
  mkdir -p "$cabs"
  for tag in cs-CZ de-DE en-US es-ES fi-FI fr-FR it-IT ja-JP ko-KR nl-NL pl-PL pt-PT ru-RU tr-TR zh-CN; do
    make_pack "$cabs/$tag.cab" "$tag"
  done
  make_pack "$cabs/none.cab" ""
  src=$(mktemp -d)
  printf '<assembly/>\r\n' > "$src/update.mum"
  (cd "$src" && gcab -c -z "$cabs/update.cab" update.mum)
  rm -rf "$src"
  touch "$cabs/.done"
fi

name=$(basename "$exe" .exe)
target=$wine_dir/$name
"$here/prepare-prefix.sh" "$WINEPREFIX" "$build" "$target"
cp -f "$exe" "$target/"
if [[ $name == engine_tests ]]; then make_folder_links "$target"; fi
# What the tests put in FBWFLIB.dll's place: the machine's own library, and
# one without the filter's functions (engine_tests).
mkdir -p "$target/libraries"
cp -f "$build/sim/FBWFLIB.dll" "$target/libraries/FBWFLIB.dll"
if [[ -f $build/tests/bare.dll ]]; then cp -f "$build/tests/bare.dll" "$target/libraries/bare.dll"; fi

# The free space of the disk that holds C:, free blocks and those free to
# users, for the free-space check's test to compare with.
read -r blocks_free blocks_users block_size < <(stat -f -c '%f %a %S' "$WINEPREFIX/drive_c/")
export KESTRIO_HOST_FREE_BYTES="$((blocks_free * block_size)) $((blocks_users * block_size))"

status=0
(cd "$target" && KESTRIO_TEST_CABS=$(windows_path "$cabs") wine "./$name.exe" "$@") || status=$?
wineserver -w
exit "$status"
