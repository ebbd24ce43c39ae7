#!/usr/bin/env bash
# The Windows DNC server under Wine, answering the Linux client: starts the
# win32 build's Kestrio.exe in the Wine prefix on a display of its own and
# runs the Linux build's wire tests against its server (port 3873).  Then the
# other way round: the Windows kestrio-dnc.exe's fleet commands against Linux
# hosts (kestrio-setup on simulated machines of the Linux build beside the
# wire tests).
#
#   run-wine-server-test.sh WIN32_BUILD_DIR LINUX_WIRE_TESTS
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: run-wine-server-test.sh WIN32_BUILD_DIR LINUX_WIRE_TESTS" >&2; exit 2; }
build=$(cd "$1" && pwd)
client=$2
[[ -x $client ]] || { echo "run-wine-server-test: $client not built (build the native preset first)" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
kestrio_machine "$build"

out=$(mktemp)
native=$(cd "$(dirname "$client")/.." && pwd)
floor=$(mktemp -d)
xvfb=""
host=""
cleanup() {
  stop_kestrio_server
  "$here/../../tools/sim-fleet.sh" "$native" down "$floor" >/dev/null 2>&1 || true
  rm -rf "$out" "$floor"
}
trap cleanup EXIT
start_kestrio_server "$target" "$out" || { echo "run-wine-server-test: no server to test" >&2; exit 1; }
echo "Windows DNC server under Wine on port $kestrio_port"
KESTRIO_DNC_SERVER=127.0.0.1:$kestrio_port "$client"

# kestrio-dnc.exe fleet against two Linux hosts and a port nobody listens on.
"$here/../../tools/sim-fleet.sh" "$native" up "$floor" 2 --uniform --tick-ms 100 >/dev/null
closed=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cp "$floor/hosts" "$target/linux-hosts.txt"
{ cat "$floor/hosts"; echo "gone 127.0.0.1:$closed"; } >"$target/hosts.txt"
cp -f "$build/cli/kestrio-dnc.exe" "$target/"
failed=0
fleet_check() {  # WHAT WANT-RC WANT-PATTERN... -- ARGS
  local what=$1 want=$2 patterns=() rc=0 got
  shift 2
  while [[ $1 != -- ]]; do patterns+=("$1"); shift; done
  shift
  got=$(cd "$target" && wine ./kestrio-dnc.exe "$@" 2>&1) || rc=$?
  got=${got//$'\r'/}
  [[ $rc -eq $want ]] || { echo "FAIL kestrio-dnc.exe $what: status $rc, want $want: $got"; failed=1; }
  for p in "${patterns[@]}"; do
    grep -q "$p" <<<"$got" || { echo "FAIL kestrio-dnc.exe $what lacks '$p': $got"; failed=1; }
  done
}
fleet_check "fleet status" 1 "^cnc01  127.0.0.1:[0-9]*  yes        1         German    idle" \
  "^gone   127.0.0.1:$closed  no         -         -         unreachable: cannot connect" -- fleet status hosts.txt
fleet_check "fleet change" 0 "^cnc02 127.0.0.1:[0-9]* done after" "^summary: 2 done, 0 skipped, 0 failed$" \
  -- fleet change linux-hosts.txt --root 'D:\LanguagePacks' --language French --parallel 2
[[ $failed -eq 0 ]] && echo "kestrio-dnc.exe fleet under Wine: passed"
exit "$failed"
