#!/usr/bin/env bash
# The Windows Installer package of this build's programs (made as
# ./kestrio release makes it) under Wine, in a prefix of its own made afresh,
# as plant IT deploys it:
# - msiexec /i /qn with the defaults: the three files in C:\Kestrio, the
#   start-up shortcut starting C:\Kestrio\Kestrio.exe in C:\Kestrio, the
#   firewall rule for it from the local subnet, the product registered;
# - a logon (wineboot runs the start-up items) starts Kestrio.exe from the
#   shortcut: it answers on port 3873 and a scan of the relative folder
#   "packs" finds the pack in C:\Kestrio\packs, so it runs in its own folder,
#   where it looks for the update cabinet;
# - a newer package with a DNCREMOTE netsh would refuse (a blank inside an
#   item) changes nothing: status 1603 and the log's line naming the value,
#   no netsh command, the older version as it was;
# - a newer package whose rule netsh refuses (netsh.refuse tells the
#   recorder) fails and is rolled back: the older version's rule is made
#   again by the rollback.  Wine runs RemoveExistingProducts as a separate
#   msiexec outside the transaction (an msiexec /x of it run at once), so the older version's files,
#   shortcut and registration do not come back under Wine as they do on
#   Windows: those rows are shown, not counted, and the older version is
#   installed again for what follows;
# - a newer package with INSTALLDIR, AUTOSTART=0 and a DNCREMOTE with blanks
#   after its commas replaces it: the old files, shortcut, rule and
#   registration go, the update cabinet and what else a technician put in
#   C:\Kestrio stay, the new files are in the new folder, no shortcut, the
#   rule from DNCREMOTE without the blanks;
# - msiexec /x /qn leaves none of the package: no files, folder, rule or
#   registration.
# Wine's netsh.exe keeps no firewall rules (a stub), so netsh_recorder.exe
# stands in for it and the test reads the commands the package ran.
#
#   run-wine-msi-test.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: run-wine-msi-test.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
native=$2
here=$(cd "$(dirname "$0")" && pwd)
tools=$(cd "$here/../../tools" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
die() { echo "run-wine-msi-test: $*" >&2; exit 1; }

dnc=$native/cli/kestrio-dnc
recorder=$build/tests/netsh_recorder.exe
for file in "$build/app/win32/Kestrio.exe" "$build/cli/kestrio-dnc.exe" "$recorder"; do
  [[ -f $file ]] || die "$file not built (build the win32 preset)"
done
[[ -x $dnc ]] || die "$dnc not built (build the native preset first)"
for tool in Xvfb wixl msiinfo gcab python3 timeout; do
  command -v $tool >/dev/null || die "$tool is not installed (./kestrio deps installs it)"
done

# Port 3873 and the Wine server are shared with the other Wine tests.
mkdir -p "$build/wine"
exec 9>"$build/wine/lock"
flock 9
wine_dir=$build/wine-msi
rm -rf "$wine_dir"
mkdir -p "$wine_dir"
wine_prefix_env "$wine_dir"
kestrio_answers && die "port $kestrio_port is taken: the program's DNC server could not start"

work=$(mktemp -d)
xvfb="" host=""
cleanup() {
  stop_kestrio_server
  rm -rf "$work"
}
trap cleanup EXIT

# The packages: this build's programs staged as the release stages them, and
# the same programs as a newer version.
archive=$("$tools/make-release.sh" "$build" "$work" 2>/dev/null) || die "make-release.sh failed"
version=$(basename "$archive" | sed 's/^KestrioSetup-\(.*\)-win32\.zip$/\1/')
package=${archive%.zip}.msi
IFS=. read -r major minor patch _ <<<"$version"
newer=$major.$minor.$((patch + 1))
newer_package=$work/KestrioSetup-$newer-win32.msi
"$tools/make-msi.sh" "$build/release-stage" "$newer" "$(stat -c %Y "$build/release-stage/Kestrio.exe")" "$newer_package"
# shellcheck source=../../tools/release-lib.sh
source "$tools/release-lib.sh"
product=$(msi_product_code "$version") newer_product=$(msi_product_code "$newer")

# A display for the whole session, as on the CNC's desktop: the Wine server
# that msiexec starts is the one the logon later starts Kestrio.exe in.
start_xvfb || die "Xvfb did not start"
# A fresh prefix: a German Windows 7 Embedded, the machine's tools in
# $work/tools (they go beside the installed program later), netsh.exe the
# recorder.
"$here/prepare-prefix.sh" "$WINEPREFIX" "$build" "$work/tools"
write_machine_ini "$work/tools" de-DE
drive_c=$WINEPREFIX/drive_c
cp -f "$recorder" "$drive_c/windows/system32/netsh.exe"
export WINEDLLOVERRIDES="netsh.exe=n"
netsh_log=$drive_c/windows/system32/netsh.log
netsh_refuse=$drive_c/windows/system32/netsh.refuse
: >"$netsh_log"

failed=0
check() {  # WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=1; fi
}
same() { [[ $1 == "$2" ]] || { echo "   got:  ${1//$'\n'/ | }"; echo "   want: ${2//$'\n'/ | }"; return 1; }; }
msiexec() {  # ARGS: wine msiexec, its output kept
  echo "-- msiexec $*"
  wine msiexec "$@" >>"$work/msiexec.log" 2>&1 || { sed 's/^/   > /' "$work/msiexec.log"; return 1; }
}
msiexec_fails() {  # STATUS ARGS: wine msiexec ends with STATUS (as Linux sees it: its low byte)
  local want=$1 status=0
  shift
  echo "-- msiexec $*"
  wine msiexec "$@" >>"$work/msiexec.log" 2>&1 || status=$?
  same "$status" "$((want & 255))"
}
# The installer's log of the last msiexec /l*v "$(windows_path "$msi_log")",
# as UTF-8 whatever Windows Installer wrote it in.
msi_log=$work/install.log
msi_log_text() {
  if [[ $(head -c 2 "$msi_log" | od -An -tx1 | tr -d ' ') == fffe ]]; then iconv -f UTF-16LE -t UTF-8 "$msi_log"
  else cat "$msi_log"; fi | tr -d '\r'
}
logged() { [[ $(msi_log_text) == *"Kestrio Setup: $1"* ]] || { echo "   not in the log: Kestrio Setup: $1"; return 1; }; }
# A row Wine cannot show: printed, not counted.
wine_cannot() {  # WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "n/a  $what (not under Wine: see the header)"; fi
}
# commands: the netsh commands since the last call, without the program's path.
netsh_seen=0
take_netsh_commands() {
  commands=$(tr -d '\r' <"$netsh_log" | tail -n +$((netsh_seen + 1)) | sed 's/^"\{0,1\}[^ ]*netsh\.exe"\{0,1\} *//')
  netsh_seen=$(wc -l <"$netsh_log")
}
listing() { (cd "$1" && find . -mindepth 1 -maxdepth 1 -printf '%f\n' | sort); }
shortcuts() { find "$drive_c" -name 'Kestrio Setup.lnk'; }
# A shortcut's target (its local base path) and working folder, read from
# the .lnk file's header, link information and strings.
shortcut_fields() {
  python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()
flags = struct.unpack_from('<I', data, 20)[0]
at, target, strings = 76, '', {}
if flags & 0x1:                       # the item id list
    at += 2 + struct.unpack_from('<H', data, at)[0]
if flags & 0x2:                       # the link information
    base = at + struct.unpack_from('<I', data, at + 16)[0]
    target = data[base:data.index(b'\0', base)].decode('cp1252')
    at += struct.unpack_from('<I', data, at)[0]
for bit in (0x4, 0x8, 0x10, 0x20, 0x40):
    if flags & bit:
        n = struct.unpack_from('<H', data, at)[0]
        wide = 2 if flags & 0x80 else 1
        strings[bit] = data[at + 2:at + 2 + n * wide].decode('utf-16-le' if wide == 2 else 'cp1252')
        at += 2 + n * wide
print(target)
print(strings.get(0x10, '').rstrip('\0').rstrip('\\'))
EOF
}
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
registered() {  # PRODUCT VERSION: the product is registered with that version
  wine reg query "$uninstall_key\\{$1}" /v DisplayVersion 2>/dev/null | tr -d '\r' | grep -q "REG_SZ *$2$"
}
not_registered() { ! wine reg query "$uninstall_key\\{$1}" >/dev/null 2>&1; }
package_files=$'Kestrio.exe\nREADME-Windows.txt\nkestrio-dnc.exe'
same_files() {  # FOLDER: the staged release's three files, byte for byte
  local f
  same "$(listing "$1")" "$package_files" || return 1
  for f in Kestrio.exe kestrio-dnc.exe README-Windows.txt; do cmp -s "$1/$f" "$build/release-stage/$f" || return 1; done
}
rule="name=\"Kestrio Setup DNC\""
delete_rule="advfirewall firewall delete rule $rule"
add_rule() {  # PROGRAM REMOTE
  printf 'advfirewall firewall add rule %s dir=in action=allow protocol=TCP localport=3873 program="%s" remoteip=%s profile=any enable=yes' \
    "$rule" "$1" "$2"
}

echo "== install with the defaults"
check "msiexec /i /qn ends with status 0" msiexec /i "$(windows_path "$package")" /qn /l*v "$(windows_path "$msi_log")"
check "the log: DNCREMOTE taken as it is" logged 'DNCREMOTE = "LocalSubnet": the firewall rule takes it as it is'
check "C:\\Kestrio holds the release's three files" same_files "$drive_c/Kestrio"
check "one start-up shortcut" same "$(shortcuts | wc -l)" 1
lnk=$(shortcuts | head -n 1)
[[ -n $lnk ]] && check "it starts C:\\Kestrio\\Kestrio.exe in C:\\Kestrio" \
  same "$(shortcut_fields "$lnk")" $'C:\\Kestrio\\Kestrio.exe\nC:\\Kestrio'
take_netsh_commands
check "the firewall rule: the package's old one deleted, then Kestrio.exe from the local subnet" \
  same "$commands" "$delete_rule"$'\n'"$(add_rule 'C:\Kestrio\Kestrio.exe' LocalSubnet)"
check "Kestrio Setup $version is registered" registered "$product" "$version"

echo "== a logon starts Kestrio Setup from the shortcut, in its own folder"
# What a technician adds: the machine's tools (stand-ins for Windows' own),
# a pack folder and the update cabinet.
cp "$work/tools/"* "$drive_c/Kestrio/"
mkdir -p "$drive_c/Kestrio/packs/es-ES"
make_pack "$drive_c/Kestrio/packs/es-ES/lp.cab" es-ES
printf 'update\r\n' >"$drive_c/Kestrio/windows6.1-kb4012215-x86.cab"
wine wineboot >"$work/logon.log" 2>&1 || true
answers() {
  local _
  for _ in $(seq 1 240); do kestrio_answers && return 0; sleep 0.5; done
  return 1
}
read_vars() { timeout 60 "$dnc" --port "$kestrio_port" read "$@" 2>&1 | tr '\n' ' '; }
scanned() {
  local _
  for _ in $(seq 1 240); do
    [[ $(timeout 30 "$dnc" --port "$kestrio_port" read KESTRIO.STATUS 2>/dev/null) == 0 ]] && return 0
    sleep 0.5
  done
  return 1
}
if ! check "Kestrio.exe answers on port $kestrio_port" answers; then
  sed 's/^/   > /' "$work/logon.log"
else
  check "KESTRIO.CURRENT reads German" same "$(read_vars KESTRIO.CURRENT)" "German "
  timeout 60 "$dnc" --port "$kestrio_port" write KESTRIO.ROOTDIR=packs >/dev/null || failed=1
  check "a scan of the relative folder packs ends" scanned
  check "and finds C:\\Kestrio\\packs' pack: the working folder is C:\\Kestrio" \
    same "$(read_vars KESTRIO.NITEMS KESTRIO.NAME.0)" "KESTRIO.NITEMS=1 KESTRIO.NAME.0=Spanish "
fi
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
added=$(listing "$drive_c/Kestrio" | grep -vxF "$package_files" || true)
# The older version as the install left it: its files (and what a
# technician added), its start-up shortcut, its registration.
old_version_kept() {
  same_files_among "$drive_c/Kestrio" && same "$(shortcuts | wc -l)" 1 && registered "$product" "$version"
}
same_files_among() {  # FOLDER: the package's three files, byte for byte, and what a technician added
  local f
  same "$(listing "$1")" "$(printf '%s\n%s\n' "$package_files" "$added" | sort)" || return 1
  for f in Kestrio.exe kestrio-dnc.exe README-Windows.txt; do cmp -s "$1/$f" "$build/release-stage/$f" || return 1; done
}

echo "== a newer package with a DNCREMOTE netsh would refuse changes nothing"
check "msiexec /i /qn DNCREMOTE=\"10.4.0.0 /22\" ends with status 1603" \
  msiexec_fails 1603 /i "$(windows_path "$newer_package")" /qn 'INSTALLDIR=C:\KestrioCNC\' 'DNCREMOTE=10.4.0.0 /22' \
  /l*v "$(windows_path "$msi_log")"
check "the log names the property and the value" \
  logged 'DNCREMOTE = "10.4.0.0 /22": refused, nothing was changed: "10.4.0.0 /22": a network is'
take_netsh_commands
check "no netsh command ran" same "$commands" ""
check "Kestrio Setup $version is still installed: its files byte for byte, its shortcut, its registration" old_version_kept
check "Kestrio Setup $newer is not registered, C:\\KestrioCNC not made" \
  eval 'not_registered "$newer_product" && test ! -e "$drive_c/KestrioCNC"'

echo "== a newer package whose rule netsh refuses is rolled back"
printf 'remoteip=10.9.0.0/16\r\n' >"$netsh_refuse"
# Windows ends a failed deferred action with 1603, Wine with 1627.
check "msiexec /i /qn DNCREMOTE=10.9.0.0/16 (refused by netsh) fails (Wine: status 1627)" \
  msiexec_fails 1627 /i "$(windows_path "$newer_package")" /qn DNCREMOTE=10.9.0.0/16
rm -f "$netsh_refuse"
take_netsh_commands
check "the rule: deleted, the new one refused, then the old one made again by the rollback" \
  same "$commands" "$delete_rule"$'\n'"$delete_rule"$'\n'"$(add_rule 'C:\Kestrio\Kestrio.exe' 10.9.0.0/16)"$'\n'"$delete_rule"$'\n'"$(add_rule 'C:\Kestrio\Kestrio.exe' LocalSubnet)"
check "Kestrio Setup $newer is not registered" not_registered "$newer_product"
wine_cannot "Kestrio Setup $version is still installed: its files byte for byte, its shortcut, its registration" \
  old_version_kept
if ! old_version_kept; then
  echo "-- Kestrio Setup $version installed again, as the rollback leaves it on Windows"
  msiexec /i "$(windows_path "$package")" /qn || failed=1
  take_netsh_commands
  old_version_kept || { echo "FAIL Kestrio Setup $version could not be installed again"; failed=1; }
fi

echo "== a newer package with the properties replaces it"
check "msiexec /i /qn INSTALLDIR AUTOSTART=0 DNCREMOTE=\"10.4.0.0/22, 10.5.0.0/24\" ends with status 0" \
  msiexec /i "$(windows_path "$newer_package")" /qn 'INSTALLDIR=C:\KestrioCNC\' AUTOSTART=0 \
  'DNCREMOTE=10.4.0.0/22, 10.5.0.0/24' /l*v "$(windows_path "$msi_log")"
check "the log: DNCREMOTE without its blanks" \
  logged 'DNCREMOTE = "10.4.0.0/22, 10.5.0.0/24": the firewall rule takes "10.4.0.0/22,10.5.0.0/24" (blanks removed)'
check "C:\\KestrioCNC holds the three files" same_files "$drive_c/KestrioCNC"
check "C:\\Kestrio keeps what the technician put there, the update cabinet too, and nothing of the package" \
  same "$(listing "$drive_c/Kestrio")" "$added"
check "no start-up shortcut" same "$(shortcuts)" ""
take_netsh_commands
check "the old rule deleted (the old package's removal, then this one's), the new one from DNCREMOTE" \
  same "$commands" "$delete_rule"$'\n'"$delete_rule"$'\n'"$(add_rule 'C:\KestrioCNC\Kestrio.exe' 10.4.0.0/22,10.5.0.0/24)"
check "Kestrio Setup $newer is registered" registered "$newer_product" "$newer"
check "Kestrio Setup $version is not" not_registered "$product"

echo "== uninstall"
check "msiexec /x /qn ends with status 0" msiexec /x "$(windows_path "$newer_package")" /qn
check "C:\\KestrioCNC is gone" test ! -e "$drive_c/KestrioCNC"
check "C:\\Kestrio still holds what the technician put there" same "$(listing "$drive_c/Kestrio")" "$added"
check "no start-up shortcut" same "$(shortcuts)" ""
take_netsh_commands
check "the rule deleted" same "$commands" "$delete_rule"
nothing_kept() { ! wine reg query 'HKLM\Software\Kestrio\Kestrio Setup' >/dev/null 2>&1 && not_registered "$newer_product"; }
check "nothing registered, the kept program folder neither" nothing_kept
exit "$failed"
