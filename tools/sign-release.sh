#!/usr/bin/env bash
# Signs the programs of a release archive with Authenticode and writes the
# signed archive beside it:
#
#   sign-release.sh [--password-file F] [--timestamp URL] CERT.pfx KestrioSetup-<version>-win32.zip
#
# prints the path of KestrioSetup-<version>-win32-signed.zip: the same four
# files in the same order, modes and times, Kestrio.exe and kestrio-dnc.exe
# signed (SHA-256, the certificate's chain included, with osslsigncode) and
# SHA256SUMS over them.  Beside it KestrioSetup-<version>-win32-signed.msi:
# the Windows Installer package of the signed programs (make-msi.sh), its
# check of DNCREMOTE (kestrio-msi.dll, taken from the unsigned package beside
# the archive) signed too, and the package itself signed the same way.  The password of CERT.pfx is read from F or from
# KESTRIO_SIGN_PASSWORD, never from the command line: osslsigncode takes it
# from a file of mode 0600 that is removed afterwards.  Without --timestamp
# no time-stamp server is asked and the signing time is the archive's own,
# so the same archive and certificate give the same bytes.  On any failure
# no signed archive or package is left.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=release-lib.sh
source "$here/release-lib.sh"
die() { echo "sign-release: $*" >&2; exit 1; }
usage() { echo "usage: sign-release.sh [--password-file F] [--timestamp URL] CERT.pfx KestrioSetup-<version>-win32.zip" >&2; exit 2; }

password_file="" timestamp=""
while [[ $# -gt 0 ]]; do
  case $1 in
    --password-file) [[ $# -ge 2 ]] || usage; password_file=$2; shift 2 ;;
    --timestamp) [[ $# -ge 2 ]] || usage; timestamp=$2; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
[[ $# -eq 2 ]] || usage
cert=$1 unsigned=$2
command -v osslsigncode >/dev/null || die "osslsigncode is not installed (./kestrio deps installs it)"
[[ -r $cert ]] || die "$cert cannot be read"
[[ -r $unsigned ]] || die "$unsigned cannot be read"
version=$(basename "$unsigned" | sed -n 's/^KestrioSetup-\(.*\)-win32\.zip$/\1/p')
[[ -n $version ]] || die "$(basename "$unsigned") is not an unsigned release archive (KestrioSetup-<version>-win32.zip)"
out=$(cd "$(dirname "$unsigned")" && pwd)/KestrioSetup-$version-win32-signed.zip

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [[ -n $password_file ]]; then
  [[ -r $password_file ]] || die "$password_file cannot be read"
  password=$(cat "$password_file")
elif [[ -n ${KESTRIO_SIGN_PASSWORD+set} ]]; then
  password=$KESTRIO_SIGN_PASSWORD
else
  die "give the password of $cert in KESTRIO_SIGN_PASSWORD or with --password-file"
fi
(umask 077 && printf '%s' "$password" >"$work/password")
unset password

mkdir "$work/stage" "$work/signed"
archive=$(cd "$(dirname "$unsigned")" && pwd)/$(basename "$unsigned")
(cd "$work/stage" && cmake -E tar xf "$archive") || die "$unsigned cannot be unpacked"
files=(Kestrio.exe kestrio-dnc.exe README-Windows.txt SHA256SUMS)
for f in "${files[@]}"; do [[ -f $work/stage/$f ]] || die "$unsigned lacks $f"; done
# The package's own check of DNCREMOTE, from the unsigned package beside the
# archive (it is not in the archive); signed with the programs.
package=${archive%.zip}.msi
[[ -r $package ]] || die "$(basename "$package") is not beside $unsigned"
msiinfo extract "$package" Binary.KestrioMsi >"$work/stage/kestrio-msi.dll" 2>/dev/null && [[ -s $work/stage/kestrio-msi.dll ]] ||
  die "$(basename "$package") holds no kestrio-msi.dll (Binary.KestrioMsi)"
epoch=$(stat -c %Y "$work/stage/Kestrio.exe")
when=(-time "$epoch")
[[ -z $timestamp ]] || when=(-ts "$timestamp")
for exe in Kestrio.exe kestrio-dnc.exe kestrio-msi.dll; do
  if ! osslsigncode sign -pkcs12 "$cert" -readpass "$work/password" -h sha256 -n "Kestrio Setup" "${when[@]}" \
         -in "$work/stage/$exe" -out "$work/signed/$exe" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    die "$exe could not be signed with $cert (a wrong password, or not a PKCS#12 file with a key)"
  fi
  mv "$work/signed/$exe" "$work/stage/$exe"
done
(cd "$work/stage" && sha256sum Kestrio.exe kestrio-dnc.exe README-Windows.txt >SHA256SUMS)
pack_archive "$work/stage" "$work/signed.zip" "$epoch" "${files[@]}"
"$here/make-msi.sh" "$work/stage" "$version" "$epoch" "$work/package.msi"
if ! osslsigncode sign -pkcs12 "$cert" -readpass "$work/password" -h sha256 -n "Kestrio Setup" "${when[@]}" \
       -in "$work/package.msi" -out "$work/signed.msi" >"$work/log" 2>&1; then
  cat "$work/log" >&2
  die "the package could not be signed with $cert"
fi
mv -f "$work/signed.msi" "${out%.zip}.msi"
mv -f "$work/signed.zip" "$out"
echo "$out"
