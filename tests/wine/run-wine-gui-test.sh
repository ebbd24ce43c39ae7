#!/usr/bin/env bash
# Kestrio.exe under Wine on a virtual display: its window and controls at the
# start (seen by gui_probe.exe from another process), the About box, a second
# start, the DNC server answering the Linux client, and a remote language
# change carried out by the program with the machine's tools beside it.
# Screenshots of the dialog go to WIN32_BUILD_DIR/artifacts.
#
#   run-wine-gui-test.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: run-wine-gui-test.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
native=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

die() { echo "run-wine-gui-test: $*" >&2; exit 1; }

exe=$build/app/win32/Kestrio.exe
probe=$build/tests/gui_probe.exe
dnc=$native/tools/kestrio-dnc
[[ -f $exe ]] || die "$exe not built (build the win32 preset)"
[[ -f $probe ]] || die "$probe not built (build the win32 preset)"
[[ -x $dnc ]] || die "$dnc not built (build the native preset first)"
for tool in Xvfb import gcab timeout; do
  command -v "$tool" >/dev/null || die "$tool is not installed (packages xvfb, imagemagick, gcab, coreutils)"
done

wine_dir=$build/wine
artifacts=$build/artifacts
mkdir -p "$wine_dir" "$artifacts"
exec 9>"$wine_dir/lock"
flock 9
wine_prefix_env "$wine_dir"

port=3873
if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
  die "port $port is taken: the program's DNC server could not start"
fi

work=$(mktemp -d)
xvfb=""
app=""
cleanup() {
  if [[ -n $app ]]; then kill "$app" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  if [[ -n $xvfb ]]; then kill "$xvfb" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own.
start_xvfb || die "Xvfb did not start"

# The program's folder: the machine's tools, a machine with German installed
# and no write filter, and a pack folder with German and Spanish.
target=$wine_dir/Kestrio
"$here/prepare-prefix.sh" "$WINEPREFIX" "$build" "$target"
cp -f "$exe" "$probe" "$target/"
rm -f "$target/commands.log"
write_machine_ini "$target" de-DE
rm -rf "$target/packs"
for tag in de-DE es-ES; do
  mkdir -p "$target/packs/$tag"
  make_pack "$target/packs/$tag/lp.cab" "$tag"
done

exe_win=$(windows_path "$target/Kestrio.exe")
packs_win=$(windows_path "$target/packs")

# A Wine virtual desktop draws the window frames that a window manager
# would; the probe joins it by name.
desktop=kestrio
(cd "$target" && exec wine explorer /desktop=$desktop,1024x768 ./Kestrio.exe >"$work/kestrio.log" 2>&1) &
app=$!

failed=0
probe() {
  echo "-- gui_probe $1"
  (cd "$target" && timeout 300 wine ./gui_probe.exe --desktop $desktop "$@") || failed=1
}
shot() {
  import -window root "$artifacts/$1" && echo "screenshot: $artifacts/$1"
}

probe start "$exe_win"
shot kestrio-dialog.png

echo "-- the DNC server"
version=$(timeout 60 "$dnc" --port $port read KESTRIO.VERSION) || die "no answer from the DNC server on port $port"
if [[ $version == v2017.09 ]]; then echo "ok   KESTRIO.VERSION reads v2017.09"; else echo "FAIL KESTRIO.VERSION reads '$version'"; failed=1; fi

echo "-- a remote change to Spanish"
if timeout 600 "$dnc" --port $port change --root "$packs_win" --language Spanish --scan-timeout 300 --change-timeout 300; then
  echo "ok   the remote change succeeded"
else
  echo "FAIL the remote change"
  failed=1
fi
log=$target/commands.log
if [[ -f $log ]] && grep -qi '/add-package' "$log" && grep -q 'es-ES' "$log"; then
  echo "ok   dism.exe received the add-package of the Spanish pack"
else
  echo "FAIL no add-package of the Spanish pack in commands.log"
  failed=1
fi
[[ -f $log ]] && sed 's/^/   | /' "$log"

probe changing "$packs_win" Spanish
shot kestrio-dialog-changed.png

probe close
exit "$failed"
