#!/usr/bin/env bash
# The DNC soak against the Windows server under Wine: the win32 build's
# dnc_test_host.exe (the server with the setup variables, as the wire tests
# use it) in the build's Wine prefix, and the Linux dnc_soak against it on
# the loopback address.  The resident memory sampled is that of the Linux
# process that runs the server under Wine.
#
#   run-wine-soak.sh WIN32_BUILD_DIR LINUX_DNC_SOAK [dnc_soak options...]
set -euo pipefail
[[ $# -ge 2 ]] || { echo "usage: run-wine-soak.sh WIN32_BUILD_DIR LINUX_DNC_SOAK [options...]" >&2; exit 2; }
build=$(cd "$1" && pwd)
soak=$2
shift 2
[[ -x $soak ]] || { echo "run-wine-soak: $soak not built (build the native preset first)" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
wine_dir=$build/wine
mkdir -p "$wine_dir"
exec 9>"$wine_dir/lock"
flock 9
# shellcheck source=lib.sh
source "$here/lib.sh"
wine_prefix_env "$wine_dir"

target=$wine_dir/dnc_soak_host
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
  kill -0 "$host" 2>/dev/null || { cat "$out" >&2; echo "run-wine-soak: the host ended" >&2; exit 1; }
  sleep 0.5
done
[[ -n $port ]] || { cat "$out" >&2; echo "run-wine-soak: the host did not start listening" >&2; exit 1; }
# The subshell above became the Linux process that runs the server.
echo "Windows DNC server under Wine on port $port (process $host)"
"$soak" --port "$port" --pid "$host" "$@"
