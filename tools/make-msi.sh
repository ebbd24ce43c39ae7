#!/usr/bin/env bash
# The Windows Installer package of a release, from its staged files:
#
#   make-msi.sh STAGE VERSION EPOCH OUT.msi
#
# STAGE holds Kestrio.exe, kestrio-dnc.exe and README-Windows.txt as the
# archive ships them, and kestrio-msi.dll, the package's check of DNCREMOTE
# (in its Binary table, not installed); app/win32/kestrio.wxs says what the
# package does.  The same files, version and EPOCH give the same bytes.
# wixl leaves some things to chance or to the clock, or cannot write them;
# they are set here afterwards with msibuild and a patch of the summary
# stream:
# - the package code (the summary's revision number, new at every wixl run):
#   derived from the upgrade code and a hash of the version and the files,
#   so another package has another code;
# - the summary's creation and last-saved times (wixl's clock): EPOCH;
# - the start-up shortcut's component condition (AUTOSTART = "1"), which
#   wixl cannot write, and the public properties among the secure ones;
# - RemoveExistingProducts right after InstallInitialize, inside the
#   install's transaction (wixl puts it after InstallValidate, where the
#   older version's removal is a transaction of its own that a failed
#   install does not undo);
# - the firewall rule's rollback actions as rollback actions (wixl writes
#   Execute="rollback" as an immediate action): deferred (0x400), rollback
#   (0x100), as the system (0x800), failures ignored (0x40), an EXE named by
#   a property (50).
# The product code is derived from the upgrade code and the version
# (msi_product_code in release-lib.sh): one per version, as a major upgrade
# needs.  The file times inside the package's cabinet are EPOCH.
set -euo pipefail
[[ $# -eq 4 ]] || { echo "usage: make-msi.sh STAGE VERSION EPOCH OUT.msi" >&2; exit 2; }
stage=$1 version=$2 epoch=$3 out=$4
src=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=release-lib.sh
source "$src/tools/release-lib.sh"
die() { echo "make-msi: $*" >&2; exit 1; }
for tool in wixl msibuild msiinfo python3; do
  command -v $tool >/dev/null || die "$tool is not installed (packages wixl and msitools; ./kestrio deps installs them)"
done
files=(Kestrio.exe kestrio-dnc.exe README-Windows.txt kestrio-msi.dll)
for f in "${files[@]}"; do [[ -f $stage/$f ]] || die "$stage/$f is missing"; done
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?$ ]] || die "version $version is not N.N.N[.N]"
wxs=$src/app/win32/kestrio.wxs

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/files"
cp "${files[@]/#/$stage/}" "$work/files/"
chmod 0644 "$work/files/"*
touch -d "@$epoch" "$work/files/"*

product_code=$(msi_product_code "$version")
package_code=$(msi_uuid "package $version $(cd "$work/files" && cat "${files[@]}" "$wxs" | sha256sum | cut -c1-64)")
# wixl finds sources only by a path relative to its working folder.
(cd "$work" && wixl -a x86 -D "Version=$version" -D "ProductCode=$product_code" -D "SourceDir=files" \
  -o package.msi "$wxs") || die "wixl failed on $wxs"
# The properties a deployment tool gives reach the installer's own service
# (where the firewall rule is made) only when they are listed as secure.
secure=$(msiinfo export "$work/package.msi" Property | sed -n 's/^SecureCustomProperties\t//p')
initialize=$(msiinfo export "$work/package.msi" InstallExecuteSequence | awk -F'\t' '$1 == "InstallInitialize" {print $3}' | tr -d '\r')
[[ $initialize =~ ^[0-9]+$ ]] || die "no InstallInitialize in the execution sequence"
msibuild "$work/package.msi" \
  -q "UPDATE \`Component\` SET \`Condition\` = 'AUTOSTART = \"1\"' WHERE \`Component\` = 'Autostart'" \
  -q "UPDATE \`Property\` SET \`Value\` = '${secure:+$secure;}AUTOSTART;DNCREMOTE;INSTALLDIR' WHERE \`Property\` = 'SecureCustomProperties'" \
  -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = $((initialize + 1)) WHERE \`Action\` = 'RemoveExistingProducts'" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = 3442 WHERE \`Action\` = 'FirewallRestore' OR \`Action\` = 'FirewallUndo'" ||
  die "msibuild could not set the start-up shortcut's condition, the secure properties, the older version's removal and the rollback actions"
msibuild "$work/package.msi" -s "Kestrio Setup $version" Kestrio "Intel;1033" "{$package_code}" ||
  die "msibuild could not set the package code"

# The summary's two FILETIMEs (type VT_FILETIME, 64, then 100 ns ticks since
# 1601) are wixl's clock: the two values of that type within a day of the
# file's making become EPOCH.
python3 - "$work/package.msi" "$epoch" <<'EOF' || die "the summary's times could not be set"
import os, re, struct, sys
path, epoch = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, 'rb').read())
def ticks(t): return (t + 11644473600) * 10**7
made = ticks(int(os.stat(path).st_mtime))
found = [m.start() + 4 for m in re.finditer(rb'\x40\x00\x00\x00', data)
         if m.start() + 12 <= len(data)
         and abs(struct.unpack_from('<Q', data, m.start() + 4)[0] - made) < ticks(86400) - ticks(0)]
if len(found) != 2:
    sys.exit(f"expected the creation and last-saved times, found {len(found)} time values")
for at in found:
    struct.pack_into('<Q', data, at, ticks(epoch))
open(path, 'wb').write(data)
EOF
mkdir -p "$(dirname "$out")"
mv -f "$work/package.msi" "$out"
