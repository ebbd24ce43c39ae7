#!/usr/bin/env bash
# The Windows DNC server under Wine, answering the Linux client: starts the
# win32 build's Kestrio.exe in the Wine prefix on a display of its own and
# runs the Linux build's wire tests against its server (port 3873).
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

port=3873
answers() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
if answers; then
  echo "run-wine-server-test: port $port is taken: the program's DNC server could not start" >&2
  exit 1
fi

target=$wine_dir/Kestrio
"$here/prepare-prefix.sh" "$WINEPREFIX" "$build" "$target"
cp -f "$build/app/win32/Kestrio.exe" "$target/"
write_machine_ini "$target" de-DE

out=$(mktemp)
xvfb=""
host=""
cleanup() {
  if [[ -n $host ]]; then kill "$host" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  if [[ -n $xvfb ]]; then kill "$xvfb" 2>/dev/null || true; fi
  rm -f "$out"
}
trap cleanup EXIT
start_xvfb || { echo "run-wine-server-test: Xvfb did not start" >&2; exit 1; }
(cd "$target" && exec wine ./Kestrio.exe > "$out" 2>&1) &
host=$!

for _ in $(seq 1 240); do
  answers && break
  kill -0 "$host" 2>/dev/null || { cat "$out" >&2; echo "run-wine-server-test: Kestrio.exe ended" >&2; exit 1; }
  sleep 0.5
done
answers || { cat "$out" >&2; echo "run-wine-server-test: Kestrio.exe did not start listening" >&2; exit 1; }
echo "Windows DNC server under Wine on port $port"
KESTRIO_DNC_SERVER=127.0.0.1:$port "$client"
