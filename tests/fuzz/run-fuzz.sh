#!/usr/bin/env bash
# Runs a libFuzzer target on its seed corpus without writing to it.
#
#   run-fuzz.sh TARGET SEEDS ARTIFACTS [libFuzzer options...]
#
# Inputs found during the run go to a temporary folder removed afterwards;
# a crashing input is kept in ARTIFACTS for reproduction (TARGET FILE).
set -euo pipefail
target=$1 seeds=$2 artifacts=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"
"$target" "$work" "$seeds" -artifact_prefix="$artifacts/" "$@"
