#!/usr/bin/env bash
# A shop floor of simulated CNCs in one folder, each with its own Kestrio
# Setup (kestrio-setup) serving the DNC variables on a port of its own on
# 127.0.0.1, and the hosts file kestrio-dnc fleet reads.
#
#   sim-fleet.sh BUILD-DIR up FOLDER [COUNT] [--uniform] [--tick-ms MS] [--boxes answered|stay] [--spread PORT]
#                [KEY=VALUE...]
#   sim-fleet.sh BUILD-DIR down FOLDER
#
# BUILD-DIR "-" takes kestrio-sim and kestrio-setup from PATH (installed).
#
# up makes the machines that are not there yet (cnc01, cnc02, ...), starts a
# kestrio-setup on each and writes FOLDER/hosts; on machines made earlier it
# only starts the programs again (after a reboot, say).  The mixed floor
# (the default) is laid out for a change to Polish, with packs for German,
# French, Spanish, Italian and Polish under D:\LanguagePacks:
#   - current languages German, French, Spanish and Italian in turn;
#   - cnc03 is Polish already;
#   - every fifth machine (cnc05, cnc10, ...) has no Polish pack;
#   - cnc07 has its write filter on with C: protected;
#   - cnc11 has too little free space on C:.
# --uniform makes every machine German with every pack (for the benchmark).
# --boxes stay leaves every message box up, unanswered, as on a floor that
# nobody walks: a failed change's box stays while retries run under it.
# --spread PORT puts every machine on PORT at an address of its own,
# 127.77.0.2, 127.77.0.3, ... (for fleet discover: 127.77.0.0/16).
# KEY=VALUE settings go to every machine as `kestrio-sim set` takes them
# (seconds.add-package=5: the tools take the time real ones do;
# seconds.shutdown and seconds.boot: how the restart goes; restart=manual:
# no machine restarts by itself).
# Each kestrio-setup runs under `kestrio-sim power`: when a change's package
# tool restarts Windows, the machine goes down, its pending changes take
# effect, and Kestrio Setup starts again on the same port.
# down stops the programs that up started (SIGTERM, as closing the window;
# a program still at work is given 30 s, then killed).
set -euo pipefail
build=$1 action=$2 folder=$3
shift 3
if [[ $build == - ]]; then  # the installed programs (kestrio-fleet of the Debian package)
  sim=$(command -v kestrio-sim) setup=$(command -v kestrio-setup)
else
  sim="$build/sim/kestrio-sim" setup="$build/app/posix/kestrio-setup"
fi
pids="$folder/fleet.pids"

# The processes up started, as "NAME PID" lines; only those that are still
# the kestrio-setup of that machine are touched.
running() {
  [[ -f $pids ]] || return 0
  local name pid
  while read -r name pid; do
    [[ -r /proc/$pid/cmdline ]] || continue
    if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "--machine $folder/$name "; then echo "$pid"; fi
  done <"$pids"
  return 0
}

make_machine() {  # INDEX COUNT UNIFORM
  local i=$1 uniform=$3 m tags=(de-DE fr-FR es-ES it-IT) packs=de-DE,fr-FR,es-ES,it-IT,pl-PL
  m=$(printf '%s/cnc%02d' "$folder" "$i")
  local language=${tags[$(((i - 1) % 4))]}
  if [[ $uniform == yes ]]; then
    language=de-DE
  else
    [[ $i -eq 3 ]] && language=pl-PL
    [[ $((i % 5)) -eq 0 ]] && packs=de-DE,fr-FR,es-ES,it-IT
  fi
  "$sim" create "$m" --language "$language" --installed "$language" --packs "$packs" >/dev/null
  [[ $uniform == yes ]] && return 0
  [[ $i -eq 7 ]] && "$sim" set "$m" filter=on protect-c=on >/dev/null
  [[ $i -eq 11 ]] && "$sim" set "$m" free-bytes=1000 >/dev/null
  return 0
}

spread_address() { echo "127.77.$(($1 / 250)).$(($1 % 250 + 1))"; }  # INDEX

up() {
  local count=12 uniform=no tick=1000 boxes=answered settings=() spread=""
  while [[ $# -gt 0 ]]; do
    case $1 in
      --uniform) uniform=yes ;;
      --tick-ms) tick=$2; shift ;;
      --boxes) boxes=$2; shift ;;
      --spread) spread=$2; shift ;;
      *=*) settings+=("$1") ;;
      *) count=$1 ;;
    esac
    shift
  done
  [[ -z $(running) ]] || { echo "sim-fleet: the fleet in $folder is running already" >&2; exit 1; }
  mkdir -p "$folder"
  folder=$(cd "$folder" && pwd)
  : >"$pids"
  local i name
  for i in $(seq "$count"); do
    name=$(printf 'cnc%02d' "$i")
    [[ -f $folder/$name/machine.ini ]] || make_machine "$i" "$count" "$uniform"
    [[ ${#settings[@]} -eq 0 ]] || "$sim" set "$folder/$name" "${settings[@]}" >/dev/null
    # A session of its own: a Ctrl-C meant for the client does not reach it.
    local where=(--port 0)
    [[ -z $spread ]] || where=(--listen "$(spread_address "$i")" --port "$spread")
    # Under the machine's power, which restarts it (and its kestrio-setup,
    # on the same port) when the package tool restarts Windows.
    setsid "$sim" power "$folder/$name" -- "$setup" --machine "$folder/$name" "${where[@]}" --tick-ms "$tick" \
      --boxes "$boxes" >"$folder/$name.out" 2>"$folder/$name.err" </dev/null &
    echo "$name $!" >>"$pids"
  done
  local hosts="" port
  for i in $(seq "$count"); do
    name=$(printf 'cnc%02d' "$i")
    port=""
    for _ in $(seq 200); do
      port=$(sed -n 's/^kestrio-setup: DNC server on port \([0-9]*\)$/\1/p' "$folder/$name.out" | head -n 1)
      [[ -n $port ]] && break
      sleep 0.05
    done
    [[ -n $port ]] || { echo "sim-fleet: $name did not start:" >&2; cat "$folder/$name.err" >&2; exit 1; }
    if [[ -n $spread ]]; then hosts+="$name $(spread_address "$i"):$port"$'\n'
    else hosts+="$name 127.0.0.1:$port"$'\n'; fi
  done
  printf '# the simulated fleet in %s\n%s' "$folder" "$hosts" >"$folder/hosts"
  echo "$count machines up; hosts file: $folder/hosts"
}

down() {
  [[ -d $folder ]] || { echo "sim-fleet: no folder $folder" >&2; exit 1; }
  folder=$(cd "$folder" && pwd)
  local list; list=$(running)
  [[ -n $list ]] || { echo "no fleet running in $folder"; return 0; }
  # shellcheck disable=SC2086
  kill -TERM $list 2>/dev/null || true
  for _ in $(seq 300); do
    [[ -z $(running) ]] && break
    sleep 0.1
    list=$(running)
    # shellcheck disable=SC2086
    [[ -z $list ]] || kill -TERM $list 2>/dev/null || true  # refused while at work: asked again
  done
  list=$(running)
  # shellcheck disable=SC2086
  [[ -z $list ]] || kill -KILL $list 2>/dev/null || true
  rm -f "$pids"
  echo "fleet in $folder stopped"
}

case $action in
  up) up "$@" ;;
  down) down ;;
  *) echo "usage: sim-fleet.sh BUILD-DIR up|down FOLDER [COUNT] [--uniform] [--tick-ms MS] [--boxes answered|stay] [--spread PORT] [KEY=VALUE...]" >&2; exit 2 ;;
esac
