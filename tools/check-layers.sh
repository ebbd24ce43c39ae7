#!/usr/bin/env bash
# Draws the folder structure from the includes and fails when a folder
# reaches up into a higher one: a top-level folder that includes from
# another must never be included from it, directly or through others.
# Inside a folder the same holds for its files: a file and its header
# (x.cpp and x.h) are one, and no two of them may include each other,
# directly or through others of the folder.
# Prints each folder with the folders it includes from, lowest first.
#
#   check-layers.sh [SOURCE_DIR]   (default: the repository this script is in)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

declare -A edge=() why=() folder=()
for d in */; do
  d=${d%/}
  case $d in build*|dist) continue ;; esac
  folder[$d]=1
done

# Every quoted include whose first part is a top-level folder other than the
# including file's own is an edge between the two folders.
while IFS=$'\t' read -r from to file line; do
  [[ $to != "$from" && -n ${folder[$to]:-} ]] || continue
  edge[$from,$to]=1
  [[ -n ${why[$from,$to]:-} ]] || why[$from,$to]="$file: $line"
done < <(grep -rn --include='*.h' --include='*.hpp' --include='*.c' --include='*.cpp' --include='*.rc' \
           -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' -- "${!folder[@]}" 2>/dev/null |
         awk '{
           file = $0; sub(/:.*/, "", file)
           line = $0; sub(/^[^:]*:[0-9]+:[[:space:]]*/, "", line)
           to = line; sub(/^[^"]*"/, "", to); sub(/\/.*/, "", to)
           from = file; sub(/\/.*/, "", from)
           printf "%s\t%s\t%s\t%s\n", from, to, file, line
         }')

# What each folder reaches, directly or through others.
names=("${!folder[@]}")
declare -A reach=()
for k in "${!edge[@]}"; do reach[$k]=1; done
for via in "${names[@]}"; do
  for a in "${names[@]}"; do
    [[ -n ${reach[$a,$via]:-} ]] || continue
    for b in "${names[@]}"; do
      [[ -n ${reach[$via,$b]:-} ]] && reach[$a,$b]=1
    done
  done
done

status=0
for k in "${!edge[@]}"; do
  from=${k%,*} to=${k#*,}
  if [[ -n ${reach[$to,$from]:-} ]]; then
    echo "check-layers: $from reaches up into $to, which reaches $from: ${why[$k]}" >&2
    status=1
  fi
done

# Inside each folder: the files (by name without extension) that include
# the headers of others there, and any circle among them.
while IFS= read -r circle; do
  echo "check-layers: $circle" >&2
  status=1
done < <(grep -rn --include='*.h' --include='*.hpp' --include='*.c' --include='*.cpp' --include='*.rc' \
           -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+/[^"/]+"' -- "${!folder[@]}" 2>/dev/null |
         awk '
           {
             file = $0; sub(/:.*/, "", file)
             line = $0; sub(/^[^:]*:[0-9]+:[[:space:]]*/, "", line)
             to = line; sub(/^[^"]*"/, "", to); sub(/".*/, "", to)
             from = file; sub(/\.[^./]*$/, "", from)
             sub(/\.[^./]*$/, "", to)
             dirFrom = from; sub(/\/[^\/]*$/, "", dirFrom)
             dirTo = to; sub(/\/[^\/]*$/, "", dirTo)
             if (dirFrom != dirTo || from == to) next
             if (!((from, to) in reach)) why[from, to] = file ": " line
             reach[from, to] = 1
             unit[from] = dirFrom; unit[to] = dirTo
           }
           END {
             for (via in unit) for (a in unit) {
               if (unit[a] != unit[via] || !((a, via) in reach)) continue
               for (b in unit) if (unit[b] == unit[via] && ((via, b) in reach)) reach[a, b] = 1
             }
             for (k in why) {
               split(k, p, SUBSEP)
               if ((p[2], p[1]) in reach)
                 print p[1] " and " p[2] " include each other (a circle inside " unit[p[1]] "): " why[k]
             }
           }' | sort)
[[ $status -eq 0 ]] || exit 1

# Lowest first: a folder after every folder it reaches.
declare -A depth=()
for a in "${names[@]}"; do
  n=0
  for b in "${names[@]}"; do [[ -n ${reach[$a,$b]:-} ]] && n=$((n + 1)); done
  depth[$a]=$n
done
for a in "${names[@]}"; do
  uses=$(for b in "${names[@]}"; do [[ -z ${edge[$a,$b]:-} ]] || echo " $b"; done | sort | tr -d '\n')
  printf '%03d %s\n' "${depth[$a]}" "$a:${uses:- (nothing)}"
done | sort | cut -c5-
