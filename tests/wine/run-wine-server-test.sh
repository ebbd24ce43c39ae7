#!/usr/bin/env bash
# The Windows DNC server under Wine, answering the Linux client: starts the
# win32 build's Kestrio.exe, signed, in the Wine prefix on a display of its own and
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
signing=$(mktemp -d)
xvfb=""
host=""
cleanup() {
  stop_kestrio_server
  "$here/../../tools/sim-fleet.sh" "$native" down "$floor" >/dev/null 2>&1 || true
  rm -rf "$out" "$floor" "$signing"
}
trap cleanup EXIT
# The program that answers is signed as a release's is (the throwaway
# certificate of the signing test): a signature must not keep it from starting.
"$here/../../tools/make-test-cert.sh" "$signing/cert" >/dev/null
unsigned=$("$here/../../tools/make-release.sh" "$build" "$signing" 2>/dev/null)
signed=$("$here/../../tools/sign-release.sh" --password-file "$signing/cert/password" "$signing/cert/signing.pfx" "$unsigned")
(cd "$target" && cmake -E tar xf "$signed" Kestrio.exe)
osslsigncode verify -CAfile "$signing/cert/ca.pem" -in "$target/Kestrio.exe" >/dev/null ||
  { echo "run-wine-server-test: the signed Kestrio.exe does not verify" >&2; exit 1; }
start_kestrio_server "$target" "$out" || { echo "run-wine-server-test: no server to test" >&2; exit 1; }
echo "Windows DNC server under Wine on port $kestrio_port"
KESTRIO_DNC_SERVER=127.0.0.1:$kestrio_port "$client"

# kestrio-dnc.exe fleet against Linux hosts: two found by discover on a
# loopback range, and a port nobody listens on; a canary, each host followed
# through the restart its package tool makes, and a retry of the host that
# failed from the report.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.77.0.2",0)); print(s.getsockname()[1])')
"$here/../../tools/sim-fleet.sh" "$native" up "$floor" 2 --uniform --tick-ms 100 --spread "$port" \
  seconds.shutdown=0.5 seconds.boot=0.5 >/dev/null
closed=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
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
rm -f "$target/found.txt"  # discover keeps what an earlier run's file holds
fleet_check "fleet discover" 0 "^127.77.0.2  1         German    idle" "^2 machines found; 256 of 256 addresses" \
  -- fleet discover 127.77.0.0/24 --port "$port" --write found.txt
grep -q "^cnc-127.77.0.3 127.77.0.3:$port$" "$target/found.txt" ||
  { echo "FAIL the hosts file discover wrote: $(cat "$target/found.txt")"; failed=1; }
{ cat "$target/found.txt"; echo "gone 127.0.0.1:$closed"; } >"$target/hosts.txt"
fleet_check "fleet status" 1 "^cnc-127.77.0.2  *127.77.0.2:$port  *yes  *1  *German  *idle" \
  "^gone  *127.0.0.1:$closed  *no  .*unreachable: cannot connect" -- fleet status hosts.txt
# Each Linux host restarts after its change; kestrio-dnc.exe follows it.
fleet_check "fleet change" 1 "^cnc-127.77.0.3 127.77.0.3:$port restarting$" \
  "^cnc-127.77.0.3 127.77.0.3:$port done after .*: French, after the restart$" "^summary: 2 done, 0 skipped, 1 failed$" \
  -- fleet change hosts.txt --root 'D:\LanguagePacks' --language French --parallel 2 --canary 1 --json report.json
fleet_check "fleet change --retry" 1 "^retrying 1 of the hosts of report.json" "^summary: 0 done, 0 skipped, 1 failed$" \
  -- fleet change --retry report.json
[[ $failed -eq 0 ]] && echo "kestrio-dnc.exe fleet under Wine: passed"
exit "$failed"
