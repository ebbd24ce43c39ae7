#!/usr/bin/env bash
# The Debian package installed on this machine and used from the installed
# files only: kestrio-dnc --version, a one-machine rehearsal (kestrio-sim,
# kestrio-setup, kestrio-dnc change), a floor of two with kestrio-fleet and
# fleet status, the man pages and completion in place; then removed, with
# nothing of it left in /usr.  Installs with apt-get; leaves the machine as it
# found it, also when a step fails.
#
#   package_test.sh BUILD-DIR PROJECT-VERSION
set -u
build=$1 version=$2
tools=$(cd "$(dirname "$0")/../../tools" && pwd)
# shellcheck source=../lib.sh
source "$(dirname "$0")/../lib.sh"
scratch
# It installs into /usr: as root, or through sudo without a password prompt.
root=(); [[ $(id -u) -eq 0 ]] || root=(sudo -n)
"${root[@]}" true 2>/dev/null || { ko "the package test installs into /usr: run it as root or with sudo"; summary; exit 1; }
apt() { "${root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -qq "$@"; }
purge() { dpkg -s kestrio-tools >/dev/null 2>&1 && apt remove --purge kestrio-tools >/dev/null 2>&1; }
before_cleanup() {
  [[ -x /usr/bin/kestrio-fleet && -d $dir/floor ]] && /usr/bin/kestrio-fleet down "$dir/floor" >/dev/null 2>&1
  purge
}
purge  # a run that was cut short

deb=$("$tools/make-package.sh" "$build" "$dir/dist") || { ko "no package"; summary; exit 1; }
apt install "$deb" >"$dir/apt.out" 2>&1 ||
  { ko "apt-get install: $(tail -n 3 "$dir/apt.out")"; summary; exit 1; }
files=$(dpkg -L kestrio-tools | while read -r f; do [[ -f $f ]] && echo "$f"; done)

# Only the installed programs from here on.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
check "installed kestrio-dnc --version" 0 "" -- kestrio-dnc --version
expect '[[ $(kestrio-dnc --version) == "$version" ]]' "kestrio-dnc --version: $(kestrio-dnc --version)"
for f in /usr/share/man/man1/kestrio-{dnc,sim,fleet,setup,engine}.1.gz /usr/share/bash-completion/completions/kestrio-dnc \
         /usr/share/doc/kestrio-tools/copyright; do
  expect '[[ -s $f ]]' "$f is not installed"
done
sim=/usr/bin/kestrio-sim setup=/usr/bin/kestrio-setup
machine m seconds.shutdown=0.5 seconds.boot=0.5 && power_host m ||
  ko "the installed kestrio-sim and kestrio-setup did not make a host"
check "installed rehearsal: a change to Spanish, followed through the restart" 0 "done: Spanish, after the restart" \
  -- kestrio-dnc --port "$port" change --root 'D:\LanguagePacks' --language Spanish
expect 'grep -q "es-ES.lp.cab => 0" "$dir/m/commands.log"' "the installed tools did not add the Spanish pack"
kestrio-fleet up "$dir/floor" 2 --uniform --tick-ms 100 >/dev/null || ko "kestrio-fleet up"
check "kestrio-fleet floor: fleet status" 0 "" -- kestrio-dnc fleet status "$dir/floor/hosts"
kestrio-fleet down "$dir/floor" >/dev/null || ko "kestrio-fleet down"

purge || ko "apt-get remove --purge"
left=$(for f in $files; do [[ -e $f ]] && echo "$f"; done)
expect '[[ -z $left && ! -e /usr/share/doc/kestrio-tools && ! -e /usr/share/kestrio-tools ]]' "left in /usr after removal: $left"
summary
