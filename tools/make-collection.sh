#!/usr/bin/env bash
# The Ansible collection kestrio.cnc as a tarball ansible-galaxy installs:
#
#   make-collection.sh OUT-DIR     prints the tarball's path
#
# OUT-DIR/kestrio-cnc-<version>.tar.gz.  The version is the project's
# (project() in CMakeLists.txt: MAJOR.MINOR.PATCH, and TWEAK as semantic
# version build metadata, 1.0.0.1 -> 1.0.0+1, as a collection's version must
# be a semantic one); galaxy.yml must say the same, or nothing is built.
# The same commit gives the same bytes: ansible-galaxy stamps its two
# manifests with the time of the build, the other members with their files'
# times, and gzip with the time of the build; the tarball is rewritten with
# every member's time the commit's (SOURCE_DATE_EPOCH when set), the members
# in name order after the two manifests, and a gzip header without time or
# name.  Nothing else changes (the manifests' checksums are of the contents).
set -euo pipefail
mkdir -p "$1" && out=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
collection=$src/ansible/ansible_collections/kestrio/cnc
die() { echo "make-collection: $*" >&2; exit 1; }

read -r major minor patch tweak < <(sed -n 's/^project(kestrio .*VERSION \([0-9]*\)\.\([0-9]*\)\.\([0-9]*\)\.\{0,1\}\([0-9]*\)).*/\1 \2 \3 \4/p' \
  "$src/CMakeLists.txt")
[[ -n ${patch:-} ]] || die "no version in project() of $src/CMakeLists.txt"
version=$major.$minor.$patch
[[ -n ${tweak:-} && $tweak != 0 ]] && version+="+$tweak"
stated=$(sed -n 's/^version: *//p' "$collection/galaxy.yml")
[[ $stated == "$version" ]] || die "galaxy.yml says version $stated, the project is $version: write $version there"

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null) || die "not a git checkout: set SOURCE_DATE_EPOCH"
fi
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# Only what the repository holds: no test output, no Python caches.
mkdir -p "$stage/kestrio"
cp -R "$collection" "$stage/kestrio/cnc"
rm -rf "$stage/kestrio/cnc/tests/output"
find "$stage/kestrio/cnc" \( -name __pycache__ -o -name '*.pyc' \) -prune -exec rm -rf {} +
ansible-galaxy collection build --force --output-path "$stage/out" "$stage/kestrio/cnc" >/dev/null
built=$stage/out/kestrio-cnc-$version.tar.gz
[[ -f $built ]] || die "ansible-galaxy built no $built"
tarball=$out/kestrio-cnc-$version.tar.gz
/usr/bin/python3 - "$built" "$tarball" "$SOURCE_DATE_EPOCH" <<'PY'
import gzip, io, sys, tarfile
source, target, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
with tarfile.open(source, 'r:gz') as tar:
    members = [(m, tar.extractfile(m).read() if m.isfile() else None) for m in tar.getmembers()]
first = {'MANIFEST.json': 0, 'FILES.json': 1}
members.sort(key=lambda item: (first.get(item[0].name, 2), item[0].name))
body = io.BytesIO()
with tarfile.open(fileobj=body, mode='w', format=tarfile.GNU_FORMAT) as tar:
    for member, data in members:
        member.mtime = epoch
        member.uid = member.gid = 0
        member.uname = member.gname = ''
        tar.addfile(member, io.BytesIO(data) if data is not None else None)
with open(target, 'wb') as f:
    with gzip.GzipFile(filename='', mode='wb', fileobj=f, mtime=0, compresslevel=9) as gz:
        gz.write(body.getvalue())
PY
echo "$tarball"
