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
export WINEPREFIX=$wine_dir/prefix WINEDEBUG=-all WINEARCH=win32

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

# A display of our own: Xvfb picks a free number and writes it.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 1 100); do
  [[ -s $work/display ]] && break
  kill -0 "$xvfb" 2>/dev/null || { cat "$work/xvfb.log" >&2; die "Xvfb did not start"; }
  sleep 0.1
done
[[ -s $work/display ]] || die "Xvfb gave no display number"
export DISPLAY=:$(head -n 1 "$work/display")

# The program's folder: the machine's tools, a machine with German installed
# and no write filter, and a pack folder with German and Spanish.
target=$wine_dir/Kestrio
"$here/prepare-prefix.sh" "$WINEPREFIX" "$build" "$target"
cp -f "$exe" "$probe" "$target/"
rm -f "$target/commands.log"
cat > "$target/machine.ini" <<'INI'
[os]
version=6.1.7601

[fbwf]
library=1
enabled=0
enabled_next=0
protected=0
protected_next=0

[disk]
free_bytes=21474836480

[boot]
locale=de-DE

[packages]
Package_for_KB976902~31bf3856ad364e35~x86~~6.1.1.17514=Installed
Microsoft-Windows-Embedded-LanguagePack-Package~31bf3856ad364e35~x86~de-DE~6.1.7601.17514=Installed
INI
rm -rf "$target/packs"
mkdir -p "$work/cab"
printf 'language resources\r\n' > "$work/cab/payload.bin"
for tag in de-DE es-ES; do
  mkdir -p "$target/packs/$tag"
  printf '[LangInfo]\r\nLanguage=%s\r\n' "$tag" > "$work/cab/langcfg.ini"
  (cd "$work/cab" && gcab -c -z "$target/packs/$tag/lp.cab" langcfg.ini payload.bin)
done

# Z: is the host's root in a Wine prefix.
windows_path() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
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
