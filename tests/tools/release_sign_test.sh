#!/usr/bin/env bash
# Signing a release archive and its Windows Installer package, on those of
# this build's programs and a throwaway certificate: the signatures verify
# against the authority, the same archive signs to the same bytes, a program
# changed after signing fails, a wrong or missing password leaves no signed
# archive, and a check without the authority says that the chain ends in one
# this machine does not trust and how to name it.  The package: made twice,
# the same bytes; its check passes, and refuses a package with another
# upgrade code or a start-up shortcut without its working folder.  (That a
# signed program without its signature is the unsigned one is checked on the
# real release by check-release.sh --unsigned: ./kestrio release --sign.)
#
#   release_sign_test.sh BUILD_DIR
set -uo pipefail
[[ $# -eq 1 ]] || { echo "usage: release_sign_test.sh BUILD_DIR" >&2; exit 2; }
build=$1
tools=$(cd "$(dirname "$0")/../../tools" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
row() {  # WHAT CONDITION
  if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; sed 's/^/   > /' "$work/out" 2>/dev/null; failed=1; fi
}
verifies() { osslsigncode verify -CAfile "$work/cert/ca.pem" -in "$1" >"$work/out" 2>&1 && grep -q '^Succeeded$' "$work/out"; }

"$tools/make-test-cert.sh" "$work/cert" "pass word" || { echo "FAIL the throwaway certificate"; exit 1; }
unsigned=$("$tools/make-release.sh" "$build" "$work/dist" 2>/dev/null) || { echo "FAIL no unsigned archive"; exit 1; }
signed=$work/dist/$(basename "$unsigned" .zip)-signed.zip

KESTRIO_SIGN_PASSWORD=wrong "$tools/sign-release.sh" "$work/cert/signing.pfx" "$unsigned" >"$work/out" 2>&1
row "a wrong password: a clear error and no archive" \
  '[[ $? -ne 0 ]] && grep -q "could not be signed" "$work/out" && [[ ! -e $signed ]]'
env -u KESTRIO_SIGN_PASSWORD "$tools/sign-release.sh" "$work/cert/signing.pfx" "$unsigned" >"$work/out" 2>&1
row "no password: told where to give it" '[[ $? -ne 0 ]] && grep -q "KESTRIO_SIGN_PASSWORD or with --password-file" "$work/out"'

"$tools/sign-release.sh" --password-file "$work/cert/password" "$work/cert/signing.pfx" "$unsigned" >"$work/out" 2>&1
row "signed archive written" '[[ -f $signed ]]'
mkdir "$work/s" && (cd "$work/s" && cmake -E tar xf "$signed")
row "the same four files, in order" '[[ $(echo $(cmake -E tar tf "$signed")) == "Kestrio.exe kestrio-dnc.exe README-Windows.txt SHA256SUMS" ]]'
row "SHA256SUMS over the signed programs" '(cd "$work/s" && sha256sum --quiet -c SHA256SUMS) >"$work/out" 2>&1'
row "Kestrio.exe verifies against the authority" 'verifies "$work/s/Kestrio.exe"'
row "kestrio-dnc.exe verifies against the authority" 'verifies "$work/s/kestrio-dnc.exe"'
cp "$signed" "$work/first.zip"
KESTRIO_SIGN_PASSWORD="pass word" "$tools/sign-release.sh" "$work/cert/signing.pfx" "$unsigned" >"$work/out" 2>&1
row "signed again: the same bytes" 'cmp "$work/first.zip" "$signed" >"$work/out" 2>&1'
cp "$work/s/Kestrio.exe" "$work/changed.exe"
printf '\x01' | dd of="$work/changed.exe" bs=1 seek=1024 conv=notrunc status=none
row "one byte changed: the signature fails" '! verifies "$work/changed.exe"'

package=${unsigned%.zip}.msi
signed_package=${signed%.zip}.msi
row "signed package written" '[[ -f $signed_package ]]'
row "the signed package verifies against the authority" 'verifies "$signed_package"'
cp "$signed_package" "$work/first.msi"
KESTRIO_SIGN_PASSWORD="pass word" "$tools/sign-release.sh" "$work/cert/signing.pfx" "$unsigned" >"$work/out" 2>&1
row "signed again: the same package bytes" 'cmp "$work/first.msi" "$signed_package" >"$work/out" 2>&1'
# The throwaway authority is nobody's: this machine does not trust it.
"$tools/check-release.sh" "$signed" "$signed_package" >"$work/out" 2>&1
row "checked without --ca: the chain ends in an authority this machine does not trust, check with --ca ROOT.pem" \
  '[[ $(grep -c "ends in /CN=Kestrio Setup Test CA that this machine does not trust.*--ca ROOT.pem" "$work/out") -eq 3 ]]'
"$tools/check-release.sh" --ca "$work/cert/ca.pem" "$signed" "$signed_package" >"$work/out" 2>&1
row "checked with --ca: every signature verifies" '[[ $(grep -c "signature: Subject: /CN=Kestrio Setup Test Signing" "$work/out") -eq 3 ]]'

cp "$package" "$work/first-unsigned.msi"
"$tools/make-release.sh" "$build" "$work/dist" >/dev/null 2>&1
row "the package made again: the same bytes" 'cmp "$work/first-unsigned.msi" "$package" >"$work/out" 2>&1'
# (The programs of this build are not stripped; only the package's lines count.)
"$tools/check-release.sh" "$unsigned" "$package" >"$work/out" 2>&1
row "the package's check passes" '! grep "FAIL: package" "$work/out" && grep -q "package start-up shortcut" "$work/out"'
changed() {  # WHAT SQL EXPECTED-FAILURE
  cp "$package" "$work/changed/$(basename "$package")"
  msibuild "$work/changed/$(basename "$package")" -q "$2" >"$work/out" 2>&1
  "$tools/check-release.sh" "$unsigned" "$work/changed/$(basename "$package")" >"$work/out" 2>&1
  want=$3
  row "$1" 'grep -q "$want" "$work/out"'
}
mkdir "$work/changed"
changed "another upgrade code is refused" \
  "UPDATE \`Property\` SET \`Value\` = '{00000000-0000-0000-0000-000000000000}' WHERE \`Property\` = 'UpgradeCode'" \
  "FAIL: package: UpgradeCode is"
changed "a start-up shortcut without its working folder is refused" \
  "UPDATE \`Shortcut\` SET \`WkDir\` = '' WHERE \`Shortcut\` = 'AutostartShortcut'" \
  "FAIL: package: start-up shortcut"
changed "a firewall rule open to every address is refused" \
  "UPDATE \`Property\` SET \`Value\` = 'any' WHERE \`Property\` = 'DNCREMOTE'" \
  "FAIL: package: default DNCREMOTE"
changed "the older version removed in a transaction of its own (after InstallValidate) is refused" \
  "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1401 WHERE \`Action\` = 'RemoveExistingProducts'" \
  "FAIL: package: RemoveExistingProducts (1401) is not between InstallInitialize and InstallFiles"
changed "a rule deletion that no rollback undoes is refused" \
  "UPDATE \`CustomAction\` SET \`Type\` = 3186 WHERE \`Action\` = 'FirewallRestore'" \
  "FAIL: package: FirewallRestore is not a rollback action"
changed "DNCREMOTE checked after the changes began is refused" \
  "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1502 WHERE \`Action\` = 'CheckDncRemote'" \
  "FAIL: package: CheckDncRemote does not run before InstallValidate"
exit $failed
