#!/usr/bin/env bash
# docs/faults.md is what tools/faults.sh prints: a few rows (one per step)
# run here, each must be told = truth and recovered (or "needs a visit"), and
# must read as the published table has it, save the seconds; the prose is
# the same save the line with the run's date, commit and figures; and the
# table holds every row of the campaign, in its order.
#
#   faults_table_test.sh BUILD_DIR FAULTS_SH TABLE
set -u
build=$1 faults=$2 table=$3
# shellcheck source=../lib.sh
source "$(dirname "$0")/../lib.sh"
scratch

rows=list-87,expand-1,add-3010,locale-1,remove-87,update-0,base
"$faults" "$build" --rows "$rows" >"$dir/out.md" 2>"$dir/progress"; rc=$?
expect '[[ $rc -eq 0 ]]' "the campaign's rows failed (rc=$rc): $(cat "$dir/progress")"

# A row without its last cell (the seconds it took).
strip() { sed -E 's/ [0-9]+ \|$/ |/'; }
prose() { grep -v -e '^| [a-z0-9-]* |' -e '^_Run of' "$1"; }
expect '[[ "$(prose "$dir/out.md")" == "$(prose "$table")" ]]' \
  "the table's prose is not what the campaign prints: $(diff <(prose "$table") <(prose "$dir/out.md"))"
for id in ${rows//,/ }; do
  got=$(grep "^| $id |" "$dir/out.md" | strip) want=$(grep "^| $id |" "$table" | strip)
  expect '[[ -n $got && $got == "$want" ]]' "row $id: the table has
  $want
the campaign prints
  $got"
done
listed=$("$faults" "$build" --list | paste -sd' ') published=$(grep -o '^| [a-z0-9-]* |' "$table" | sed -n '2,$p' | tr -d '| ' | paste -sd' ')
expect '[[ $listed == "$published" ]]' "the table's rows are not the campaign's: $published / $listed"
expect 'grep -q "^_Run of \`./kestrio faults\` on [0-9-]* at commit [0-9a-f]*: [0-9]* rows" "$table"' "the table lacks its run line"
summary
