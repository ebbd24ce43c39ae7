# shellcheck shell=bash
# Shared by the shell tests (sourced): counters, checks, machines, summary.
# Callers set $dir (a scratch folder), $sim (kestrio-sim, an absolute path
# for slow_tool) and, for start_host, $setup (kestrio-setup) and an array
# pids first.

passed=0 failed=0
ok() { passed=$((passed+1)); }
ko() { failed=$((failed+1)); echo "FAIL $*"; }
expect() { if eval "$1"; then ok; else ko "$2"; fi; }  # CONDITION DESCRIPTION


# scratch: a scratch folder $dir and an array $pids for the processes the
# script starts; at exit the script's own before_cleanup runs (if it has
# one), the processes are killed and the folder is removed.
scratch() {
  dir=$(mktemp -d)
  pids=()
  trap scratch_cleanup EXIT
}
scratch_cleanup() {
  if declare -F before_cleanup >/dev/null; then before_cleanup; fi
  local pid
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$dir"
}

# check NAME EXPECTED-RC EXPECTED-OUTPUT-PART -- COMMAND...  (stdout and stderr together)
check() {
  local name=$1 rc=$2 want=$3; shift 4
  local out; out=$("$@" 2>&1); local got=$?
  if [[ $got -eq $rc && "$out" == *"$want"* ]]; then ok; else ko "$name: rc=$got output=$out"; fi
}

# machine NAME [kestrio-sim set ARGS...]: a German machine with German and
# French installed and packs for four languages in D:\LanguagePacks.
machine() {
  local m="$dir/$1"; shift
  "$sim" create "$m" --language de-DE --installed de-DE,fr-FR --packs de-DE,fr-FR,es-ES,it-IT >/dev/null || return 1
  [[ $# -eq 0 ]] || "$sim" set "$m" "$@" >/dev/null
}

# slow_tool NAME STEP SECONDS: the machine's tool for STEP (bcdedit, expand,
# add-package, ...) waits SECONDS before it does its work, so that an
# operation lasts long enough to be seen running.
slow_tool() { "$sim" set "$dir/$1" "seconds.$2=$3" >/dev/null; }

# start_host NAME [options]: kestrio-setup on a free port with fast timers;
# sets $port and $pid, its output in $dir/NAME.out and $dir/NAME.err.
start_host() {
  local name=$1; shift
  rm -f "$dir/$name.out" "$dir/$name.err"  # no port line of an earlier start
  ${power:+"$sim" power "$dir/$name" --} "$setup" --machine "$dir/$name" --port 0 --tick-ms 100 "$@" \
    >"$dir/$name.out" 2>"$dir/$name.err" &
  pid=$!
  pids+=("$pid")
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^kestrio-setup: DNC server on port \([0-9]*\)$/\1/p' "$dir/$name.out" 2>/dev/null | head -n 1)
    [[ -n $port ]] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "kestrio-setup did not start on $name:"; cat "$dir/$name.out" "$dir/$name.err"
  return 1
}

# power_host NAME [options]: as start_host, under `kestrio-sim power`, which
# restarts the machine (and starts kestrio-setup again on its port) when its
# package tool restarts Windows; $pid is the power's.
power_host() { power=1 start_host "$@"; }

# The closing line the test runner reads, and the script's status.
summary() {
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 ]]
}
