#!/usr/bin/env bash
# The Windows DNC server under Wine, answering the Linux client: starts the
# win32 build's dnc_test_host.exe in the Wine prefix and runs the Linux
# build's wire tests against it.
#
#   run-wine-server-test.sh WIN32_BUILD_DIR LINUX_WIRE_TESTS
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: run-wine-server-test.sh WIN32_BUILD_DIR LINUX_WIRE_TESTS" >&2; exit 2; }
build=$(cd "$1" && pwd)
client=$2
[[ -x $client ]] || { echo "run-wine-server-test: $client not built (build the native preset first)" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
wine_dir=$build/wine
mkdir -p "$wine_dir"
exec 9>"$wine_dir/lock"
flock 9
# shellcheck source=lib.sh
source "$here/lib.sh"
wine_prefix_env "$wine_dir"

target=$wine_dir/dnc_test_host
"$here/prepare-prefix.sh" "$WINEPREFIX" "$build" "$target"
cp -f "$build/tests/dnc_test_host.exe" "$target/"
write_machine_ini "$target" de-DE

out=$(mktemp)
(cd "$target" && exec wine ./dnc_test_host.exe --port 0 --poll-ms 200 > "$out" 2>&1) &
host=$!
cleanup() { kill "$host" 2>/dev/null || true; wineserver -k 2>/dev/null || true; rm -f "$out"; }
trap cleanup EXIT

port=""
for _ in $(seq 1 120); do
  port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$out" | head -n 1)
  [[ -n $port ]] && break
  kill -0 "$host" 2>/dev/null || { cat "$out" >&2; echo "run-wine-server-test: the host ended" >&2; exit 1; }
  sleep 0.5
done
[[ -n $port ]] || { cat "$out" >&2; echo "run-wine-server-test: the host did not start listening" >&2; exit 1; }
echo "Windows DNC server under Wine on port $port"
KESTRIO_DNC_SERVER=127.0.0.1:$port "$client"
