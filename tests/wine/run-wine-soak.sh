#!/usr/bin/env bash
# The DNC soak against the Windows server under Wine: the win32 build's
# Kestrio.exe in the build's Wine prefix on a display of its own, and the
# Linux dnc_soak against its server on the loopback address.  The resident
# memory sampled is that of the Linux process that runs the program under
# Wine.
#
#   run-wine-soak.sh WIN32_BUILD_DIR LINUX_DNC_SOAK [dnc_soak options...]
set -euo pipefail
[[ $# -ge 2 ]] || { echo "usage: run-wine-soak.sh WIN32_BUILD_DIR LINUX_DNC_SOAK [options...]" >&2; exit 2; }
build=$(cd "$1" && pwd)
soak=$2
shift 2
[[ -x $soak ]] || { echo "run-wine-soak: $soak not built (build the native preset first)" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
kestrio_machine "$build"

out=$(mktemp)
xvfb=""
host=""
cleanup() {
  stop_kestrio_server
  rm -f "$out"
}
trap cleanup EXIT
start_kestrio_server "$target" "$out" || { echo "run-wine-soak: no server to soak" >&2; exit 1; }
# The subshell that started it became the Linux process that runs the program.
echo "Windows DNC server under Wine on port $kestrio_port (process $host)"
"$soak" --port "$kestrio_port" --pid "$host" "$@"
