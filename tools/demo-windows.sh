#!/usr/bin/env bash
# Kestrio.exe, the Windows build, under Wine on a simulated CNC: German and
# French installed, packs for four languages in C:\LanguagePacks.  Select
# opens the folder browser; a remote client can drive the same change.
#
#   demo-windows.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR
#
# Uses the display in $DISPLAY; without one the program runs on a virtual
# display (Xvfb) and the demo says how to look at it.
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: demo-windows.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=style.sh
source "$(dirname "$0")/style.sh"
step() { printf '\n'; bold "-- $*"; }
die() { echo "demo-windows: $*" >&2; exit 1; }
# shellcheck source=../tests/wine/lib.sh
source "$top/tests/wine/lib.sh"

demo=$build/demo-wine
target=$demo/Kestrio
dnc=$native/cli/kestrio-dnc
port=3873
wine_prefix_env "$demo"
[[ -f $build/app/win32/Kestrio.exe ]] || die "build the win32 preset first"
if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
  die "port $port is taken (another Kestrio Setup or DNC host runs): end it first"
fi

step "A Wine prefix as the CNC's Windows (the first time takes a minute or two)"
mkdir -p "$demo"
prepare_demo_machine "$top/tests/wine" "$build" "$target" "$build/app/win32/Kestrio.exe"
echo "German and French installed; packs for German, French, Spanish and Italian in C:\\LanguagePacks"

xvfb=""
cleanup() {
  wineserver -k 2>/dev/null || true
  if [[ -n $xvfb ]]; then kill "$xvfb" 2>/dev/null || true; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

remote_hint() {
  cat <<EOF2
  A remote change, from another terminal:
    $dnc change --no-follow --root 'C:\\LanguagePacks' --language Spanish
  The commands the machine's tools received:  $target/commands.log
EOF2
}

if [[ -n ${DISPLAY:-} ]]; then
  step "Kestrio Setup on $DISPLAY (close its window to end the demo)"
  remote_hint
  cd "$target"
  wine ./Kestrio.exe
  exit 0
fi

# No display: a virtual one, with a Wine desktop that draws window frames.
command -v Xvfb >/dev/null || die "no display (DISPLAY is unset) and Xvfb is not installed (package xvfb)"
start_xvfb || die "Xvfb did not start"

step "Kestrio Setup on the virtual display $DISPLAY (DISPLAY was not set)"
(cd "$target" && exec wine explorer /desktop=kestrio,1024x768 ./Kestrio.exe >/dev/null 2>&1) &
app=$!
for _ in $(seq 1 240); do
  "$dnc" --port $port --timeout 1000 version >/dev/null 2>&1 && break
  kill -0 "$app" 2>/dev/null || die "Kestrio.exe ended"
  sleep 0.5
done
sleep 2
shot=$demo/kestrio-dialog.png
if command -v import >/dev/null && import -window root "$shot" 2>/dev/null; then
  echo "  A picture of the dialog now:  $shot"
fi
cat <<EOF2
  Another picture at any time:  DISPLAY=$DISPLAY import -window root /tmp/kestrio.png
  To watch it live, run this demo on a desktop (or over ssh -X), where DISPLAY is set.
EOF2
remote_hint
echo "  Ctrl-C ends the demo."
wait "$app" || true
