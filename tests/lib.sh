# shellcheck shell=bash
# Shared by the shell tests (sourced): counters, checks, machines, summary.
# Callers set $dir (a scratch folder) and $sim (kestrio-sim) first.

passed=0 failed=0
ok() { passed=$((passed+1)); }
ko() { failed=$((failed+1)); echo "FAIL $*"; }
expect() { if eval "$1"; then ok; else ko "$2"; fi; }  # CONDITION DESCRIPTION

# machine NAME [kestrio-sim set ARGS...]: a German machine with German and
# French installed and packs for four languages in D:\LanguagePacks.
machine() {
  local m="$dir/$1"; shift
  "$sim" create "$m" --language de-DE --installed de-DE,fr-FR --packs de-DE,fr-FR,es-ES,it-IT >/dev/null || return 1
  [[ $# -eq 0 ]] || "$sim" set "$m" "$@" >/dev/null
}

# The closing line the test runner reads, and the script's status.
summary() {
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 ]]
}
