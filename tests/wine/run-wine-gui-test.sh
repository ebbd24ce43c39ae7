#!/usr/bin/env bash
# Kestrio.exe under Wine on a virtual display: its window and controls at the
# start (seen by gui_probe.exe from another process), the About box, a second
# start, the DNC server answering the Linux client, a root folder with a
# non-ASCII name sent in the ANSI code page, and a remote language
# change carried out by the program with the machine's tools beside it.
# Remote requests that arrive while a message box is up (the operator's
# first GO warning) wait for it and never run beside another operation, and
# the operator whose Yes they overrule is told; under the stop box of a
# failed scan they are acknowledged and ignored (STATUS keeps the scan's
# code); under the stop box of a failed change, which
# nobody may be there to answer, remote retries run, and failing ones
# replace that box rather than pile up.
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
dnc=$native/cli/kestrio-dnc
require_programs "$build" "$native" Xvfb import gcab timeout

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
# and no write filter, and a pack folder with Spanish and French (Spanish is
# found first: the operator's GO would install it).
target=$wine_dir/Kestrio
"$here/prepare-prefix.sh" "$WINEPREFIX" "$build" "$target"
cp -f "$exe" "$probe" "$target/"
rm -f "$target/commands.log"
write_machine_ini "$target" de-DE
rm -rf "$target/packs"
for tag in es-ES fr-FR; do
  mkdir -p "$target/packs/$tag"
  make_pack "$target/packs/$tag/lp.cab" "$tag"
done

exe_win=$(windows_path "$target/Kestrio.exe")
packs_win=$(windows_path "$target/packs")

# A Wine virtual desktop draws the window frames that a window manager
# would; the probe joins it by name.
desktop=kestrio
start_program() {
  (cd "$target" && exec wine explorer /desktop=$desktop,1024x768 ./Kestrio.exe >>"$work/kestrio.log" 2>&1) &
  app=$!
}
start_program

failed=0
probe() {
  echo "-- gui_probe $1"
  (cd "$target" && timeout 300 wine ./gui_probe.exe --desktop $desktop "$@") || failed=1
}
check() {  # WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=1; fi
}
log=$target/commands.log
log_lines() { if [[ -f $log ]]; then wc -l <"$log"; else echo 0; fi; }
# No command has reached the machine's tools since line N of commands.log.
quiet_since() { [[ $(log_lines) -eq $1 ]]; }
add_packages() { grep -ci '/add-package' "$log" || true; }
wait_status() {  # VALUE: KESTRIO.STATUS reads it within two minutes
  local _
  for _ in $(seq 1 240); do
    [[ $(timeout 30 "$dnc" --port $port read KESTRIO.STATUS 2>/dev/null) == "$1" ]] && return 0
    sleep 0.5
  done
  return 1
}
shot() {
  import -window root "$artifacts/$1" && echo "screenshot: $artifacts/$1"
}

probe start "$exe_win"
shot kestrio-dialog.png

echo "-- the DNC server"
version=$(timeout 60 "$dnc" --port $port read KESTRIO.VERSION) || die "no answer from the DNC server on port $port"
if [[ $version == v2017.09 ]]; then echo "ok   KESTRIO.VERSION reads v2017.09"; else echo "FAIL KESTRIO.VERSION reads '$version'"; failed=1; fi

echo "-- a root folder named in the ANSI code page (Windows-1252) reaches the scan intact"
# U+00DC is the byte DC on the wire; on the host's disk Wine keeps the name in UTF-8.
rm -rf "$target/Sprachpakete-Übung"
mkdir -p "$target/Sprachpakete-Übung/it"
make_pack "$target/Sprachpakete-Übung/it/lp.cab" it-IT
timeout 60 "$dnc" --port $port write "KESTRIO.ROOTDIR=$(windows_path "$target")"$'\\Sprachpakete-\xdcbung' >/dev/null || failed=1
check "the scan of the folder ends with KESTRIO.STATUS 0" wait_status 0
check "the scan found the Italian pack in it" bash -c \
  '[[ $(timeout 30 "$1" --port "$2" read KESTRIO.NITEMS KESTRIO.NAME.0 | tr "\n" " ") == "KESTRIO.NITEMS=1 KESTRIO.NAME.0=Italian " ]]' \
  _ "$dnc" "$port"

echo "-- a remote scan: GO becomes enabled for the operator, Spanish selected"
timeout 60 "$dnc" --port $port write "KESTRIO.ROOTDIR=$packs_win" >/dev/null || failed=1
check "the remote scan ends with KESTRIO.STATUS 0" wait_status 0

echo "-- a remote change to French while the operator's first GO warning is up"
probe go
before=$(log_lines)
timeout 600 "$dnc" --port $port change --no-follow --root "$packs_win" --language French --scan-timeout 300 \
  --change-timeout 300 >"$work/change.log" 2>&1 &
client=$!
sleep 5
check "nothing runs while the warning is up" quiet_since "$before"
probe answer-go yes
if wait "$client"; then echo "ok   the remote change succeeded"; else echo "FAIL the remote change"; failed=1; fi
sed 's/^/   > /' "$work/change.log"
# The operator said Yes, but the remote request came first: a box says so.
remote_first="A remote request from the DNC is being carried out. Your command was not started."
probe box "$remote_first"
probe answer "$remote_first" ok
check "dism.exe received one add-package, of the French pack" \
  bash -c '[[ $(grep -ci /add-package "$1") -eq 1 ]] && grep -i /add-package "$1" | grep -q fr-FR' _ "$log"
[[ -f $log ]] && sed 's/^/   | /' "$log"

probe changing "$packs_win" French
shot kestrio-dialog-changed.png

probe close

server_answers() {
  local _
  for _ in $(seq 1 180); do
    timeout 10 "$dnc" --port $port read KESTRIO.VERSION >/dev/null 2>&1 && return 0
    sleep 0.5
  done
  return 1
}
remote_change() {  # LANGUAGE: kestrio-dnc change, its output in $work/retries.log
  timeout 400 "$dnc" --port $port change --no-follow --root "$packs_win" --language "$1" --scan-timeout 120 \
    --change-timeout 120 >>"$work/retries.log" 2>&1
}
fails() { ! "$@"; }

echo "-- a machine nobody stands at: retries run under a failed change's stop box"
cp "$target/machine.ini" "$work/machine.ini"
install_failed="An error ocurred while installing language pack."
start_program
check "the DNC server answers again" server_answers
printf '\n[exit]\nadd-package=87\n' >>"$target/machine.ini"
check "a remote change fails at the add-package" fails remote_change Spanish
probe box "$install_failed"
sed -i '/^add-package=87$/d' "$target/machine.ini"
check "the retry succeeds, nobody having answered the box" remote_change Spanish
check "its add-package of the Spanish pack ran" \
  bash -c 'grep -i /add-package "$1" | tail -n 1 | grep -qi "es-ES.*=> 0"' _ "$log"
printf 'add-package=87\n' >>"$target/machine.ini"
check "a second failing retry" fails remote_change Spanish
check "a third failing retry" fails remote_change Spanish
timeout 60 "$dnc" --port $port write KESTRIO.NEXT=Klingon KESTRIO.GO=1 >/dev/null || failed=1
check "a fourth retry, of a name no scan found, ends with KESTRIO.STATUS -6" wait_status -6
sed 's/^/   > /' "$work/retries.log"
probe box "Invalid language name."
shot kestrio-dialog-unattended.png
probe answer "Invalid language name." ok
probe close
cp "$work/machine.ini" "$target/machine.ini"

echo "-- a remote GO while the stop box of a failed scan is up"
# A first scan finds the packs, so that a change of Spanish would reach
# dism.exe; the second scan fails at the package listing.
start_program
check "the DNC server answers again" server_answers
timeout 60 "$dnc" --port $port write "KESTRIO.ROOTDIR=$packs_win" >/dev/null || failed=1
check "the first scan ends with KESTRIO.STATUS 0" wait_status 0
printf '\n[exit]\nget-packages=1\n' >>"$target/machine.ini"
adds=$(add_packages)
timeout 60 "$dnc" --port $port write "KESTRIO.ROOTDIR=$packs_win" >/dev/null || failed=1
probe box "An error ocurred getting language pack name."
before=$(log_lines)
timeout 60 "$dnc" --port $port write KESTRIO.NEXT=Spanish >/dev/null || failed=1
timeout 60 "$dnc" --port $port write KESTRIO.GO=1 >/dev/null || failed=1
sleep 5
check "nothing runs while the stop box is up" quiet_since "$before"
# The GO was acknowledged and ignored: the client still reads the scan's
# code and its text, not a 1 that nothing will ever replace.
check "KESTRIO.STATUS keeps the failed scan's -13" bash -c \
  '[[ $(timeout 30 "$1" --port "$2" read KESTRIO.STATUS) == -13 ]]' _ "$dnc" "$port"
check "KESTRIO.ERROR.-13 reads the scan's error" bash -c \
  '[[ $(timeout 30 "$1" --port "$2" read KESTRIO.ERROR.-13) == "An error ocurred getting language pack name." ]]' \
  _ "$dnc" "$port"
probe ends "An error ocurred getting language pack name."
check "no add-package ran after the failed scan" bash -c '[[ $(grep -ci /add-package "$1") -eq $2 ]]' _ "$log" "$adds"
exit "$failed"
