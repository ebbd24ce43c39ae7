#!/usr/bin/env bash
# A picture of Kestrio.exe's dialog for the README: the Windows build under
# Wine on a virtual display, on a German machine whose packs for German,
# French, Spanish and Italian in C:\LanguagePacks have been found (a remote
# scan fills the list, which gui_probe.exe then drops down).
#
#   screenshot.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR OUT.png
#
# Uses the win32 build's test prefix (and its lock), a display of its own
# and the DNC port 3873.
set -euo pipefail
[[ $# -eq 3 ]] || { echo "usage: screenshot.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR OUT.png" >&2; exit 2; }
build=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
out=$3
top=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "screenshot: $*" >&2; exit 1; }
# shellcheck source=../tests/wine/lib.sh
source "$top/tests/wine/lib.sh"

exe=$build/app/win32/Kestrio.exe
probe=$build/tests/gui_probe.exe
dnc=$native/cli/kestrio-dnc
port=3873
require_programs "$build" "$native" Xvfb import convert gcab

wine_dir=$build/wine
mkdir -p "$wine_dir"
exec 9>"$wine_dir/lock"
flock 9
wine_prefix_env "$wine_dir"
if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
  die "port $port is taken (another Kestrio Setup or DNC host runs): end it first"
fi

xvfb=""
app=""
shot=$(mktemp --suffix=.png)
cleanup() {
  if [[ -n $app ]]; then kill "$app" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  if [[ -n $xvfb ]]; then kill "$xvfb" 2>/dev/null || true; fi
  rm -f "$shot"
}
trap cleanup EXIT

target=$wine_dir/screenshot
prepare_demo_machine "$top/tests/wine" "$build" "$target" "$exe"
cp -f "$probe" "$target/"

start_xvfb || die "Xvfb did not start"
# A Wine virtual desktop draws the window frames.
(cd "$target" && exec wine explorer /desktop=kestrio,1024x768 ./Kestrio.exe >/dev/null 2>&1) &
app=$!
answered=0
for _ in $(seq 1 240); do
  if "$dnc" --port $port --timeout 1000 version >/dev/null 2>&1; then answered=1; break; fi
  kill -0 "$app" 2>/dev/null || die "Kestrio.exe ended"
  sleep 0.5
done
[[ $answered -eq 1 ]] || die "Kestrio.exe's DNC server did not answer"

"$dnc" --port $port write 'KESTRIO.ROOTDIR=C:\LanguagePacks' >/dev/null || die "the remote scan was refused"
found=""
for _ in $(seq 1 240); do
  if [[ $("$dnc" --port $port read KESTRIO.STATUS 2>/dev/null) == 0 ]]; then
    found=$("$dnc" --port $port read KESTRIO.NITEMS 2>/dev/null) && break
  fi
  sleep 0.5
done
[[ $found == 4 ]] || die "the scan did not find the four packs (found: '${found:-nothing}')"
(cd "$target" && timeout 300 wine ./gui_probe.exe --desktop kestrio drop 4) || die "the list could not be dropped down"
sleep 2  # the list paints

import -window root "$shot" || die "import could not photograph the display"
# The dialog alone: what differs from the desktop's colour around it.
mkdir -p "$(dirname "$out")"
convert "$shot" -trim +repage -strip "$out" || die "convert could not crop the picture"
echo "screenshot: $out ($(identify -format '%wx%h' "$out"))"
