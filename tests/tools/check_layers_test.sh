#!/usr/bin/env bash
# check-layers.sh refuses folders that include each other, directly or
# through a third, files of one folder that do, and passes a tree whose
# includes only point down.
#
#   check_layers_test.sh CHECK-LAYERS
set -u
check="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
passed=0 failed=0
ok() { passed=$((passed+1)); }
ko() { failed=$((failed+1)); echo "FAIL $*"; }

# tree NAME FILE:INCLUDE...: a source tree whose FILEs include INCLUDE.
tree() {
  local t="$dir/$1"; shift
  for pair in "$@"; do
    mkdir -p "$t/$(dirname "${pair%%:*}")"
    printf '#include "%s"\n' "${pair#*:}" >>"$t/${pair%%:*}"
  done
}
tree down low/a.h:low/b.h mid/m.cpp:low/a.h top/t.cpp:mid/m.h top/u.cpp:low/a.h
tree direct low/a.cpp:high/h.h high/h.cpp:low/a.h
tree around a/x.cpp:b/y.h b/y.cpp:c/z.h c/z.cpp:a/x.h
tree inside low/a.h:low/b.h top/t.cpp:low/a.h cli/main.cpp:cli/x.h cli/x.cpp:cli/y.h cli/y.cpp:cli/z.h cli/z.h:cli/x.h

out=$("$check" "$dir/down" 2>&1); rc=$?
[[ $rc -eq 0 && $out == *"top: low mid"* ]] && ok || ko "includes that point down: rc=$rc $out"
out=$("$check" "$dir/direct" 2>&1); rc=$?
[[ $rc -eq 1 && $out == *"low/a.cpp: #include \"high/h.h\""* ]] && ok || ko "two folders that include each other: rc=$rc $out"
out=$("$check" "$dir/around" 2>&1); rc=$?
[[ $rc -eq 1 && $out == *"c reaches up into a"* ]] && ok || ko "a cycle through a third folder: rc=$rc $out"
out=$("$check" "$dir/inside" 2>&1); rc=$?
[[ $rc -eq 1 && $out == *"circle inside cli"* && $out == *"cli/z.h: #include \"cli/x.h\""* && $out != *main* ]] && ok ||
  ko "files of one folder in a circle: rc=$rc $out"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
