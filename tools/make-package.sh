#!/usr/bin/env bash
# The Debian package of the Linux side, from a build of the Linux programs:
#
#   make-package.sh BUILD-DIR OUT-DIR     prints the package's path
#
# OUT-DIR/kestrio-tools_<version>_<arch>.deb holds kestrio-dnc, kestrio-setup,
# kestrio-sim and kestrio-engine (stripped) and kestrio-fleet in /usr/bin,
# a man page for each program, bash completion
# for kestrio-dnc, the README and the docs/ pages it links, the changelog
# and the copyright file.  Its
# Depends are computed from the programs by dpkg-shlibdeps.  The same commit
# gives the same bytes: file times are clamped to the commit's time
# (SOURCE_DATE_EPOCH when set), owners are root, compression is fixed.
set -euo pipefail
build=$(cd "$1" && pwd)
mkdir -p "$2" && out=$(cd "$2" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "make-package: $*" >&2; exit 1; }

version=$(sed -n 's/^#define KESTRIO_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/kestrio_version.h")
[[ -n $version ]] || die "no version in $build/generated/kestrio_version.h"
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null) || die "not a git checkout: set SOURCE_DATE_EPOCH"
fi
export SOURCE_DATE_EPOCH
arch=$(dpkg --print-architecture)
package=kestrio-tools
stage=$build/package-stage
rm -rf "$stage"
umask 022

DESTDIR=$stage cmake --install "$build" --prefix /usr --strip >/dev/null
doc=$stage/usr/share/doc/$package man=$stage/usr/share/man/man1
install -d "$doc" "$man" "$stage/usr/share/$package" "$stage/usr/share/bash-completion/completions"
install -m 0755 "$src/tools/sim-fleet.sh" "$stage/usr/share/$package/sim-fleet.sh"
install -m 0755 "$src/packaging/kestrio-fleet" "$stage/usr/bin/kestrio-fleet"
install -m 0644 "$src/packaging/kestrio-dnc.bash-completion" "$stage/usr/share/bash-completion/completions/kestrio-dnc"
install -m 0644 "$src/packaging/copyright" "$doc/copyright"
gzip -9n <"$src/README.md" >"$doc/README.md.gz"
# The pages the README links, where its links find them.
install -d "$doc/docs"
for page in "$src"/docs/*.md; do gzip -9n <"$page" >"$doc/docs/${page##*/}.gz"; done
date=$(LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" -R)
printf '%s (%s) unstable; urgency=medium\n\n  * Built from commit %s.\n\n -- Kestrio Setup developers <developers@kestrio-setup.example.org>  %s\n' \
  "$package" "$version" "$(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo unknown)" "$date" |
  gzip -9n >"$doc/changelog.gz"

# Man pages from the programs' own help (help2man), named as installed.
manpage() {  # PROGRAM DESCRIPTION
  PATH=$stage/usr/bin:$PATH help2man --no-info --no-discard-stderr --version-string="$version" \
    --name="$2" --source="Kestrio Setup $version" --section=1 "$1" | gzip -9n >"$man/$1.1.gz"
}
manpage kestrio-dnc "the DNC client of Kestrio Setup: one CNC or a fleet"
manpage kestrio-sim "simulated Windows 7 Embedded CNC machines and their tools"
manpage kestrio-fleet "a rehearsal floor of simulated CNCs, each with kestrio-setup"
manpage kestrio-setup "Kestrio Setup on a simulated machine, without a window"
manpage kestrio-engine "the language engine of Kestrio Setup on a simulated machine"

# Depends from the programs' libraries.
control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
mkdir "$control/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$package" "$package" >"$control/debian/control"
depends=$(cd "$control" && dpkg-shlibdeps -O "${stage}"/usr/bin/kestrio-{dnc,setup,sim,engine} 2>/dev/null |
          sed -n 's/^shlibs:Depends=//p')
[[ -n $depends ]] || die "dpkg-shlibdeps found no dependencies"

install -d "$stage/DEBIAN"
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat >"$stage/DEBIAN/control" <<CONTROL
Package: $package
Version: $version
Architecture: $arch
Maintainer: Kestrio Setup developers <developers@kestrio-setup.example.org>
Installed-Size: $size
Depends: $depends
Section: utils
Priority: optional
Description: Kestrio Setup's DNC client and simulated CNC machines
 kestrio-dnc changes the user-interface language of the Windows 7 Embedded
 PC of a CNC machine that runs Kestrio Setup, over the DNC service (TCP port
 3873): on one machine, or on a fleet with discovery, canaries, a failure
 budget and retries.  kestrio-sim, kestrio-setup and kestrio-fleet make a
 rehearsal floor of simulated machines to try a change on first.
CONTROL
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
deb=$out/${package}_${version}_$arch.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
