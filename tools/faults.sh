#!/usr/bin/env bash
# The fault campaign: every way a change from the desk can go wrong, on
# simulated CNCs under their power (kestrio-sim power, restarting as a CNC
# does) with nobody at them (kestrio-setup --boxes stay), driven by
# kestrio-dnc change --json as a desk drives it.  One row a case, three
# columns read apart from each other:
#   told      the client's exit status, result and text;
#   truth     the machine folder right after: the language it runs, its packs
#             (installed, pending), the boot locale, a restart pending, and
#             whether Kestrio Setup answers and with which STATUS;
#   recovery  the fault cleared, the same change from the desk, nobody at
#             the machine: the language it reaches through its restart, or
#             the client's word that someone must go to it.
# A row where told and truth disagree, or that ends neither recovered nor
# with the client's "needs a visit", fails the run (exit status 1).
#
#   faults.sh BUILD_DIR [--rows ID,ID,...] [--list]
#
# The table (Markdown, docs/faults.md) goes to standard output, a line a row
# of progress to standard error.  Everything stays on 127.0.0.1.
set -uo pipefail
build=$(cd "${1:?usage: faults.sh BUILD_DIR [--rows ID,...] [--list]}" && pwd)
shift
only="" list=0
while [[ $# -gt 0 ]]; do
  case $1 in
    --rows) only=",${2:?--rows: give row ids},"; shift ;;
    --list) list=1 ;;
    *) echo "faults.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
here=$(cd "$(dirname "$0")" && pwd)
sim=$build/sim/kestrio-sim setup=$build/app/posix/kestrio-setup dnc=$build/cli/kestrio-dnc
relay_py=$here/faults-relay.py
for f in "$sim" "$setup" "$dnc"; do [[ -x $f ]] || { echo "faults.sh: $f not built" >&2; exit 2; }; done
command -v jq >/dev/null && command -v python3 >/dev/null || { echo "faults.sh: needs jq and python3" >&2; exit 2; }

# The table.  ID | step | fault | machine | fault injected.  Machines: de
# (German, German and French installed), rollup (the same with the rollup
# and the update cabinet), base (English, no pack installed), base-rollup.
# Every change goes to Spanish.  Injections:
#   set K=V...        kestrio-sim set before the change; cleared after it
#   power STEP WHEN   the step's tool takes 4 s; once WHEN is seen (client:TEXT
#                     in the client's progress, log:TEXT in commands.log) and a
#                     second more, the power is cut (the program and its tool
#                     killed), the machine restarted, Kestrio Setup started again
#   net PHASE         the cable cut for 5 s once the client shows the phase
#                     (scan; change, whose add takes 8 s, so it outlasts the cut; restart)
#   kill-client       the desk client killed (SIGKILL) during the change
#   timeout           the add takes 8 s, the client waits --change-timeout 3
rows=(
  'list-87|package listing|exit 87|de|set exit.get-packages=87'
  'list-256|package listing|exit 256 (low byte 0)|de|set exit.get-packages=256'
  'list-nostart|package listing|tool missing|de|set exit.get-packages=not-started'
  'list-killed|package listing|tool killed half-way|de|set exit.get-packages=killed'
  'list-truncated|package listing|listing cut short, exit 0|de|set listing=truncated'
  'expand-1|cabinet extraction|exit 1|de|set exit.expand=1'
  'expand-nostart|cabinet extraction|tool missing|de|set exit.expand=not-started'
  'expand-killed|cabinet extraction|tool killed half-way|de|set exit.expand=killed'
  'add-3010|pack add|exit 3010|de|set exit.add-package=3010'
  'add-87|pack add|exit 87|de|set exit.add-package=87'
  'add-256|pack add|exit 256 (low byte 0)|de|set exit.add-package=256'
  'add-nostart|pack add|tool missing|de|set exit.add-package=not-started'
  'add-killed|pack add|tool killed half-way|de|set exit.add-package=killed'
  'add-power|pack add|power cut during the step|de|power add-package client:changing to'
  'locale-1|boot locale|exit 1|de|set exit.bcdedit=1'
  'locale-nostart|boot locale|tool missing|de|set exit.bcdedit=not-started'
  'locale-power|boot locale|power cut during the step|de|power bcdedit log:/add-package'
  'remove-3010|removal|exit 3010 (success)|de|set exit.remove-package=3010'
  'remove-87|removal|exit 87|de|set exit.remove-package=87'
  'remove-256|removal|exit 256 (low byte 0)|de|set exit.remove-package=256'
  'remove-nostart|removal|tool missing|de|set exit.remove-package=not-started'
  'remove-killed|removal|tool killed half-way|de|set exit.remove-package=killed'
  'remove-power|removal|power cut during the step|de|power remove-package log:locale'
  'update-0|update re-apply|exit 0 (not the 3010 it must give)|rollup|set exit.add-update=0'
  'update-87|update re-apply|exit 87|rollup|set exit.add-update=87'
  'update-nostart|update re-apply|tool missing|rollup|set exit.add-update=not-started'
  'update-killed|update re-apply|tool killed half-way|rollup|set exit.add-update=killed'
  'update-power|update re-apply|power cut during the step|rollup|power add-update log:/remove-package'
  'update-missing|update re-apply|update cabinet missing|rollup|set update-cabinet=off'
  'slow-add|pack add|slower than --change-timeout|de|timeout'
  'net-scan|connection|cut during the scan|de|net scan'
  'net-change|connection|cut during the change|de|net change'
  'net-restart|connection|cut during the restart|de|net restart'
  'desk-killed|desk client|killed during the change|de|kill-client'
  'filter-on|checks|write filter on|de|set filter=on protect-c=on'
  'no-space|checks|too little space on C:|de|set free-bytes=419430399'
  'base|base language|English, no pack installed|base|none'
  'base-rollup|base language|English, no pack installed, rollup|base-rollup|none'
)

if ((list)); then printf '%s\n' "${rows[@]%%|*}"; exit 0; fi

work=$(mktemp -d /tmp/kestrio-faults.XXXXXX)
powers=() relays=()
cleanup() {
  local p
  for p in "${powers[@]}" "${relays[@]}"; do kill -TERM "$p" 2>/dev/null; done
  sleep 0.3
  for p in "${powers[@]}" "${relays[@]}"; do kill -KILL "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

target=Spanish target_tag=es-ES root='D:\LanguagePacks'
client_opts=(--timeout 3000 --scan-timeout 60 --change-timeout 60 --restart-timeout 20)

# ---------------------------------------------------------------- the machine
make_machine() {  # DIR KIND
  local dir=$1 args=()
  case $2 in
    de) args=(--language de-DE --installed de-DE,fr-FR) ;;
    rollup) args=(--language de-DE --installed de-DE,fr-FR --rollup) ;;
    base) args=(--language en-US --installed '') ;;
    base-rollup) args=(--language en-US --installed '' --rollup) ;;
  esac
  "$sim" create "$dir" "${args[@]}" --packs de-DE,fr-FR,es-ES >/dev/null &&
    "$sim" set "$dir" seconds.shutdown=0.5 seconds.boot=1 >/dev/null
}

# Starts Kestrio Setup under the machine's power on PORT (0: a free one);
# sets $power and $port.
power_on() {  # DIR PORT
  local dir=$1 log=$1.power
  "$sim" power "$dir" -- "$setup" --machine "$dir" --port "$2" --boxes stay >>"$log" 2>&1 &
  power=$!
  powers+=("$power")
  for _ in $(seq 100); do
    port=$(sed -n 's/^kestrio-setup: DNC server on port //p' "$log" 2>/dev/null | tail -n 1)
    [[ -n $port && ($2 == 0 || $port == "$2") ]] && "$dnc" --port "$port" --timeout 500 read KESTRIO.CURRENT 2>/dev/null | grep -q . && return 0
    sleep 0.1
  done
  return 1
}

# The power cut: Kestrio Setup and whatever tool it runs are killed with the
# power, the machine restarts (pending package changes take effect), and its
# start-up starts Kestrio Setup again on the same port.
power_cut() {  # DIR
  local program
  program=$(pgrep -P "$power" | head -n 1)
  kill -KILL "$power" 2>/dev/null
  [[ -n $program ]] && kill -KILL -- "-$program" 2>/dev/null
  wait "$power" 2>/dev/null
  "$sim" reboot "$1" >/dev/null
  power_on "$1" "$port"
}

# truth DIR: the machine as its folder has it.
truth() {
  local dir=$1 show lang boot restart installed pending removing status
  show=$("$sim" show "$dir")
  lang=$(sed -n 's/^  Current language *//p' <<<"$show")
  boot=$(sed -n 's/^  Boot locale *//p' <<<"$show")
  restart=$(sed -n 's/^  Restart pending *//p' <<<"$show")
  installed=$(packs "$dir" Installed) pending=$(packs "$dir" 'Install Pending') removing=$(packs "$dir" 'Uninstall Pending')
  status=$("$dnc" --port "$port" --timeout 2000 read KESTRIO.STATUS 2>/dev/null) || status=""
  local t="runs $lang; packs ${installed:-none}"
  [[ -n $pending ]] && t+=", $pending pending install"
  [[ -n $removing ]] && t+=", $removing pending removal"
  t+="; boot locale $boot; restart pending $restart"
  if [[ -z $status ]]; then t+="; Kestrio Setup does not answer"
  elif [[ $status == -13 || $status == -2 || $status == -3 || $status == -4 ]]; then
    t+="; Kestrio Setup ended its scan with $status: takes no request until its box is answered"
  else t+="; Kestrio Setup answers, STATUS $status"; fi
  echo "$t"
}
packs() {  # DIR STATE: the language tags of the packs in that state
  sed -n '/^\[packages\]/,/^\[/p' "$1/machine.ini" | grep -i "LanguagePack.*=$2\$" |
    sed 's/.*~x86~\([^~]*\)~.*/\1/' | paste -sd, -
}

# Waits, as a desk would before it tries again, until Kestrio Setup answers
# with STATUS other than 1, and again once more after a restart's time (a
# change that ended goes down 0.5 s later).
settle() {
  local s round
  for round in 1 2; do
    for _ in $(seq 180); do
      s=$("$dnc" --port "$port" --timeout 1000 read KESTRIO.STATUS 2>/dev/null) && [[ $s != 1 ]] && break
      sleep 0.5
    done
    ((round == 1)) && sleep 3
  done
}

# A text from a machine or the client, made fit for one table cell and the
# same from run to run (ports and the scratch folder replaced).
cell() {
  sed -e "s#$work#DIR#g" -e 's/127\.0\.0\.1:[0-9]*/127.0.0.1:PORT/g' -e 's/port [0-9][0-9]*/port PORT/g' \
    -e 's/|/\\|/g' <<<"$1" | tr '\n' ' ' | sed 's/ *$//'
}

# change OUT [extra client options]: the desk's change through the relay;
# JSON in OUT.json, progress in OUT.progress; sets $client.
change_bg() {
  local out=$1; shift
  "$dnc" --port "$relay_port" "${client_opts[@]}" "$@" change --root "$root" --language "$target" --json - \
    >"$out.json" 2>"$out.progress" &
  client=$!
}
wait_for() {  # FILE TEXT SECONDS
  for _ in $(seq $(($3 * 20))); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}
told() {  # OUT RC: the client's word
  local j=$1.json rc=$2
  if [[ ! -s $j ]]; then echo "exit $rc, no report (the client was killed)"; return; fi
  local told_result told_text
  told_result=$(jq -r .result "$j") told_text=$(jq -r .text "$j")
  local code; code=$(jq -r .code "$j")
  echo "exit $rc, $told_result$([[ $code != 0 ]] && echo " ($code)"): $(cell "$told_text")"
}

# ---------------------------------------------------------------- one row
defects=0 count=0
run_row() {
  local id=$1 step=$2 fault=$3 kind=$4 inject=$5
  local dir=$work/$id out=$work/$id.first rc told_col truth_col rec_col took verdict
  local how=${inject%% *} args=""
  [[ $inject == *" "* ]] && args=${inject#* }
  local started=$SECONDS
  make_machine "$dir" "$kind" || { echo "$id: no machine" >&2; return 1; }
  power_on "$dir" 0 || { echo "$id: Kestrio Setup did not start" >&2; return 1; }
  rm -f "$work/relay.port"
  python3 "$relay_py" "$port" "$work/relay.port" &
  relay=$!
  relays+=("$relay")
  for _ in $(seq 50); do [[ -s $work/relay.port ]] && break; sleep 0.1; done
  relay_port=$(cat "$work/relay.port")

  # The fault, and the change from the desk.
  local clear=() extra=()
  case $how in
    set) "$sim" set "$dir" $args >/dev/null
         for kv in $args; do
           case ${kv%%=*} in
             filter) clear+=(filter=off) ;; protect-c) clear+=(protect-c=off) ;;
             free-bytes) clear+=(free-bytes=21474836480) ;; update-cabinet) clear+=(update-cabinet=on) ;;
             listing) clear+=(listing=full) ;; *) clear+=("${kv%%=*}=") ;;
           esac
         done ;;
    power) local pstep=${args%% *} when=${args#* }
           "$sim" set "$dir" "seconds.$pstep=4" >/dev/null; clear+=("seconds.$pstep=") ;;
    timeout) "$sim" set "$dir" seconds.add-package=8 >/dev/null; clear+=(seconds.add-package=)
             extra=(--change-timeout 3) ;;
    kill-client) "$sim" set "$dir" seconds.add-package=3 >/dev/null; clear+=(seconds.add-package=) ;;
    net) case $args in
           scan) "$sim" set "$dir" seconds.expand=1 >/dev/null; clear+=(seconds.expand=) ;;
           change) "$sim" set "$dir" seconds.add-package=8 >/dev/null; clear+=(seconds.add-package=) ;;
         esac ;;
  esac
  change_bg "$out" "${extra[@]}"
  case $how in
    power)
      local src=${when%%:*} text=${when#*:} file=$out.progress
      [[ $src == log ]] && file=$dir/commands.log
      wait_for "$file" "$text" 60 && sleep 1 && power_cut "$dir" ;;
    net)
      local phase
      case $args in scan) phase=scanning ;; change) phase="changing to" ;; restart) phase="the machine restarts" ;; esac
      wait_for "$out.progress" "$phase" 60 && sleep 0.5 && kill -USR1 "$relay" && sleep 5 && kill -USR2 "$relay" ;;
    kill-client)
      wait_for "$out.progress" "changing to" 60 && sleep 1 && kill -KILL "$client" ;;
  esac
  wait "$client"; rc=$?
  local first_rc=$rc
  told_col=$(told "$out" "$rc")
  local told_text; told_text=$(jq -r .text "$out.json" 2>/dev/null)
  truth_col=$(truth "$dir")
  truth_lang=$(sed -n 's/^  Current language *//p' <<<"$("$sim" show "$dir")")
  local truth_status; truth_status=$("$dnc" --port "$port" --timeout 2000 read KESTRIO.STATUS 2>/dev/null)

  # Told beside truth: done must mean the new language; a failure must not be
  # told of what succeeded (unless the client said it could not know).
  verdict=""
  if ((rc == 0)) && [[ $truth_lang != "$target_tag" ]]; then verdict="DEFECT: told done, the machine runs $truth_lang"
  elif ((rc != 0 && rc < 128)) && [[ $truth_lang == "$target_tag" && $told_text != *may* ]]; then
    verdict="DEFECT: told it failed, the machine runs $target_tag"
  elif ((rc != 0 && rc < 128)) && [[ $truth_status == 1 && $told_text != *may* && $told_text != *still* ]]; then
    verdict="DEFECT: told it failed, the machine is still at the change"
  elif ((rc != 0 && rc < 128)) && [[ -z $told_text ]]; then verdict="DEFECT: told nothing"; fi

  # Recovery: the fault cleared, the same change from the desk.
  ((${#clear[@]})) && "$sim" set "$dir" "${clear[@]}" >/dev/null
  settle
  local now; now=$("$dnc" --port "$relay_port" --timeout 2000 read KESTRIO.CURRENT 2>/dev/null)
  if [[ $now == "$target" ]] && ((first_rc == 0)); then
    rec_col="nothing to recover: done the first time" took="nothing"
  elif [[ $now == "$target" ]]; then
    rec_col="recovered: the machine reached $target by itself" took="nothing"
  else
    change_bg "$work/$id.again"
    wait "$client"; rc=$?
    local result after text
    result=$(jq -r .result "$work/$id.again.json" 2>/dev/null) after=$(jq -r .after "$work/$id.again.json" 2>/dev/null)
    text=$(jq -r .text "$work/$id.again.json" 2>/dev/null)
    truth_lang=$(sed -n 's/^  Current language *//p' <<<"$("$sim" show "$dir")")
    if ((rc == 0)) && [[ $result == done && $after == "$target" && $truth_lang == "$target_tag" ]]; then
      rec_col="recovered from the desk: $(cell "$text")" took="the same change once"
    elif [[ $text == "needs a visit: "* ]]; then
      rec_col="needs a visit: the client says \"$(cell "${text#needs a visit: }")\"" took="a person at the machine"
    else
      rec_col="NOT RECOVERED: exit $rc, $(cell "$text")" took="-"
      verdict=${verdict:-"DEFECT: neither recovered nor told to visit"}
    fi
  fi
  [[ -n $verdict ]] && { defects=$((defects + 1)); rec_col+=" **$verdict**"; }
  count=$((count + 1))
  printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$id" "$step" "$fault" "$told_col" "$truth_col" "$rec_col" \
    "$took" "$((SECONDS - started))" >>"$work/table"
  echo "faults: $id: $((SECONDS - started)) s${verdict:+: $verdict}" >&2

  kill -TERM "$relay" 2>/dev/null; wait "$relay" 2>/dev/null
  kill -TERM "$power" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$power" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$power" 2>/dev/null; wait "$power" 2>/dev/null
}

begin=$SECONDS
: >"$work/table"
for row in "${rows[@]}"; do
  IFS='|' read -r id step fault kind inject <<<"$row"
  [[ -z $only || $only == *",$id,"* ]] || continue
  run_row "$id" "$step" "$fault" "$kind" "$inject"
done
elapsed=$((SECONDS - begin))
read -r l1 l5 l15 _ </proc/loadavg
commit=$(git -C "$here/.." rev-parse --short HEAD 2>/dev/null || echo unknown)

cat <<EOF
# Faults: what the desk is told, what the CNC is, and what brings it back

_Run of \`./kestrio faults\` on $(date -u +%Y-%m-%d) at commit $commit: $count rows in $((elapsed / 60)) min $((elapsed % 60)) s, load $l1 $l5 $l15 (1, 5, 15 min) on $(nproc) processors._

Each row is one simulated CNC under its power (it restarts as a CNC does), with nobody at it
(\`kestrio-setup --boxes stay\`: no message box is ever answered), changed from German to Spanish
(or from English, on the base-language rows) by \`kestrio-dnc change --json\` through a relay on
127.0.0.1 that can cut the cable. The client waits \`--scan-timeout 60 --change-timeout 60
--restart-timeout 20\` (a simulated CNC goes down 0.5 s after the package tool returns and boots in 1 s). **Told** is the client's exit status, result and text; **truth** is the
machine folder read right after the client ended (the language Windows runs, the packs, the boot
locale, a pending restart, and what Kestrio Setup answers); **recovery** is the fault cleared and
the same change run from the desk once more, nobody at the machine. Exit statuses: 0 done, 1 an
error the client names, 2 no connection or no usable answer, 3 the machine did not come back in
time. Rows are made and checked by \`tools/faults.sh\`; a row where told and truth disagree, or
one neither recovered nor told "needs a visit", fails the run.

| row | step | fault | told | truth | recovery | what it took | seconds |
|---|---|---|---|---|---|---|---|
EOF
cat "$work/table"
echo "faults: $count rows, $defects defects, ${elapsed} s, load $l1 $l5 $l15" >&2
((defects == 0))
