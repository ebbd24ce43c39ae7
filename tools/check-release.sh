#!/usr/bin/env bash
# Checks a release archive (or the folder it was unpacked into) before it goes
# to a CNC:
#
#   check-release.sh [--ca CA.pem] [--unsigned UNSIGNED.zip] ARCHIVE.zip | FOLDER [PACKAGE.msi]
#
# ARCHIVE is KestrioSetup-<version>-win32.zip or, signed,
# KestrioSetup-<version>-win32-signed.zip; PACKAGE the Windows Installer
# package made beside it.
#
# - it holds exactly Kestrio.exe, kestrio-dnc.exe, README-Windows.txt and
#   SHA256SUMS, in that order, and SHA256SUMS matches the other three;
# - each program is stripped (no symbols, no debug sections), carries no
#   link time stamp, names no folder of this checkout, and is at most 1 MiB:
#   the sizes are printed;
# - Kestrio.exe's VERSIONINFO and the version text in kestrio-dnc.exe are the
#   version in the archive's name;
# - README-Windows.txt has CRLF line ends;
# - both programs pass the Windows 7 guard (check-imports.sh), which prints
#   what each imports;
# - a signed archive's programs carry Authenticode signatures that verify
#   (osslsigncode verify) against CA.pem, or the system's authorities without
#   --ca; with --unsigned, each program with its signature removed is the
#   unsigned archive's byte for byte (a signed copy checks against a rebuild).
# - the package (msiinfo, msiextract): its files are the archive's three, byte
#   for byte, in the program folder INSTALLDIR (C:\Kestrio unless given); its
#   version is the archive's, its upgrade code the one every Kestrio Setup
#   package has carried, its product code the version's; per machine; the
#   start-up shortcut starts Kestrio.exe in INSTALLDIR unless AUTOSTART is
#   not 1; the firewall rule for Kestrio.exe on TCP 3873 from DNCREMOTE
#   (LocalSubnet) is added by netsh between InstallInitialize and
#   InstallFinalize, and deleted by every run before (so by the uninstall);
#   rollback actions undo both (the rule added deleted, the rule of the
#   version installed before, kept in the registry with its addresses, made
#   again); the older version is removed inside the install's transaction
#   (RemoveExistingProducts after InstallInitialize, before the files);
#   DNCREMOTE is checked before InstallValidate by kestrio-msi.dll's
#   CheckDncRemote (exported by that name, its imports on Windows 7); a
#   signed package's own signature verifies as the programs' do.
# Prints each finding; exits 1 on any failure.
set -uo pipefail
ca="" unsigned=""
while [[ $# -gt 1 ]]; do
  case $1 in
    --ca) ca=$2; shift 2 ;;
    --unsigned) unsigned=$2; shift 2 ;;
    *) break ;;
  esac
done
[[ $# -eq 1 || $# -eq 2 ]] ||
  { echo "usage: check-release.sh [--ca CA.pem] [--unsigned UNSIGNED.zip] ARCHIVE.zip | FOLDER [PACKAGE.msi]" >&2; exit 2; }
target=$1 package=${2:-}
budget=$((1024 * 1024))
shipped=(Kestrio.exe kestrio-dnc.exe README-Windows.txt SHA256SUMS)
objdump=i686-w64-mingw32-objdump windres=i686-w64-mingw32-windres
checkout=$(cd "$(dirname "$0")/.." && pwd)

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# check_signature NAME FILE: its Authenticode signature verifies against --ca
# (or this machine's authorities).  A chain that ends in an authority the
# check does not hold (a plant's own, say) is named as such, with the way to
# check against that authority.
check_signature() {
  local name=$1 file=$2 verified root
  verified=$(osslsigncode verify ${ca:+-CAfile "$ca"} -in "$file" 2>&1)
  if grep -q '^Succeeded$' <<<"$verified"; then
    echo "$name signature: $(grep -m1 -o 'Subject: .*' <<<"$verified" || echo verified)"
  elif grep -qE 'self-signed certificate in certificate chain|unable to get (local )?issuer certificate' <<<"$verified"; then
    # The root: the certificate of the chain that issued itself.
    root=$(awk '/Subject: /{s=substr($0, index($0, "Subject: ") + 9)} /Issuer : /{i=substr($0, index($0, "Issuer : ") + 9); if (i == s) {print s; exit}}' <<<"$verified")
    if [[ -n $ca ]]; then
      fail "$name: the signature does not verify against $ca: its certificate chain ends in ${root:-an authority} that $ca does not hold; give the certificate of the authority that issued the signing certificate (--ca ROOT.pem)"
    else
      fail "$name: the signature does not verify: its certificate chain ends in ${root:-an authority} that this machine does not trust (a plant's own authority, say); check it against that authority with --ca ROOT.pem (its certificate, PEM)"
    fi
  else
    fail "$name: the signature does not verify${ca:+ against $ca}: $(grep -v '^$' <<<"$verified" | tail -n 2 | tr '\n' ' ')"
  fi
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if [[ -d $target ]]; then
  dir=$target version=""
else
  listed=$(cmake -E tar tf "$target") || { echo "FAIL: $target cannot be read as an archive"; exit 1; }
  [[ $(echo $listed) == "${shipped[*]}" ]] || fail "the archive holds '$(echo $listed)', not '${shipped[*]}'"
  archive=$(cd "$(dirname "$target")" && pwd)/$(basename "$target")
  (cd "$tmp" && cmake -E tar xf "$archive") || exit 1
  dir=$tmp
  version=$(basename "$target" | sed -n 's/^KestrioSetup-\(.*\)-win32\(-signed\)\{0,1\}\.zip$/\1/p')
  [[ -n $version ]] || fail "$(basename "$target") is not named KestrioSetup-<version>-win32[-signed].zip"
  [[ $target == *-signed.zip ]] && signed=1
fi
for f in "${shipped[@]}"; do [[ -f $dir/$f ]] || fail "$f is missing"; done
[[ $failed -eq 0 ]] || exit 1

if (cd "$dir" && sha256sum --quiet -c SHA256SUMS); then echo "SHA256SUMS: matches"; else fail "SHA256SUMS does not match"; fi

# (Outputs are read whole before they are searched: grep -q would stop
# reading early, and pipefail would take the writer's broken pipe as a failure.)
for exe in Kestrio.exe kestrio-dnc.exe; do
  size=$(stat -c %s "$dir/$exe")
  printf '%-16s %8d bytes (%d KiB of the %d KiB budget)\n' "$exe" "$size" $(((size + 1023) / 1024)) $((budget / 1024))
  ((size <= budget)) || fail "$exe is larger than 1 MiB"
  symbols=$("$objdump" -t "$dir/$exe") headers=$("$objdump" -h "$dir/$exe") private=$("$objdump" -p "$dir/$exe")
  grep -q "^no symbols" <<<"$symbols" || fail "$exe is not stripped: it has symbols"
  if grep -q ' \.debug' <<<"$headers"; then fail "$exe has debug sections"; fi
  stamp=$(grep '^Time/Date' <<<"$private")
  [[ $stamp == $'Time/Date\t\tThu Jan  1 00:00:00 1970' ]] || fail "$exe carries a link time stamp ($stamp)"
  texts=$(strings -a "$dir/$exe"; strings -a -el "$dir/$exe")
  if grep -qF "$checkout/" <<<"$texts"; then fail "$exe names a folder of the build: $(grep -F -m1 "$checkout/" <<<"$texts")"; fi
done

if [[ -n $version ]]; then
  IFS=. read -r a b c d <<<"$version"
  rc=$("$windres" -i "$dir/Kestrio.exe" -O rc 2>/dev/null)
  if grep -qx " FILEVERSION $a, $b, ${c:-0}, ${d:-0}" <<<"$rc" &&
     grep -qx " PRODUCTVERSION $a, $b, ${c:-0}, ${d:-0}" <<<"$rc" &&
     grep -qxF "      VALUE \"FileVersion\", \"$version\"" <<<"$rc" &&
     grep -qxF "      VALUE \"ProductVersion\", \"$version\"" <<<"$rc"; then
    echo "Kestrio.exe VERSIONINFO: $version"
  else
    fail "Kestrio.exe's VERSIONINFO is not $version: $(grep -E 'VERSION |Version"' <<<"$rc" | tr -s ' ' | tr '\n' ';')"
  fi
  texts=$(strings -a "$dir/kestrio-dnc.exe")
  if grep -qxF "$version" <<<"$texts"; then echo "kestrio-dnc.exe version text: $version"
  else fail "kestrio-dnc.exe does not carry the version text $version"; fi
fi

lines=$(wc -l <"$dir/README-Windows.txt") crlf=$(grep -c $'\r$' "$dir/README-Windows.txt")
[[ $lines -gt 0 && $lines -eq $crlf ]] || fail "README-Windows.txt: $crlf of $lines lines end in CRLF"

if ! "$checkout/tools/check-imports.sh" "$dir/Kestrio.exe" "$dir/kestrio-dnc.exe"; then
  fail "a program imports what Windows 7 may lack"
fi

if [[ ${signed:-0} -eq 1 || -n $ca || -n $unsigned ]]; then
  if [[ -n $unsigned ]]; then
    mkdir "$tmp/unsigned"
    (cd "$tmp/unsigned" && cmake -E tar xf "$(cd "$(dirname "$unsigned")" && pwd)/$(basename "$unsigned")") ||
      fail "$unsigned cannot be read as an archive"
  fi
  for exe in Kestrio.exe kestrio-dnc.exe; do
    check_signature "$exe" "$dir/$exe"
    if [[ -n $unsigned ]]; then
      osslsigncode remove-signature -in "$dir/$exe" -out "$tmp/$exe.bare" >/dev/null 2>&1 ||
        fail "$exe: the signature cannot be removed"
      if cmp -s "$tmp/$exe.bare" "$tmp/unsigned/$exe"; then echo "$exe without its signature: the unsigned release's"
      else fail "$exe without its signature differs from the unsigned release's"; fi
    fi
  done
fi

if [[ -n $package ]]; then
  # The upgrade code of every Kestrio Setup package: a package with another
  # one installs beside the older version instead of replacing it.
  upgrade_code="{BA51E3FA-6F75-4EA4-A1FF-FE21C3797D86}"
  # shellcheck source=release-lib.sh
  source "$checkout/tools/release-lib.sh"
  pfail() { fail "package: $*"; }
  rows() { msiinfo export "$package" "$1" 2>/dev/null | tail -n +4 | tr -d '\r'; }
  property() { rows Property | sed -n "s/^$1\t//p"; }
  expect() {  # WHAT GOT WANT
    if [[ $2 == "$3" ]]; then echo "package $1: $(head -n 1 <<<"$2")"; else pfail "$1 is '$2', not '$3'"; fi
  }
  pversion=$(basename "$package" | sed -n 's/^KestrioSetup-\(.*\)-win32\(-signed\)\{0,1\}\.msi$/\1/p')
  if ! msiinfo tables "$package" >/dev/null 2>&1; then
    pfail "$package cannot be read as a Windows Installer package"
  elif [[ -z $pversion ]]; then
    pfail "$(basename "$package") is not named KestrioSetup-<version>-win32[-signed].msi"
  else
    [[ -z $version || $pversion == "$version" ]] || pfail "its name gives version $pversion, the archive's $version"
    expect "ProductVersion" "$(property ProductVersion)" "$pversion"
    expect "UpgradeCode" "$(property UpgradeCode)" "$upgrade_code"
    expect "ProductCode" "$(property ProductCode)" "{$(msi_product_code "$pversion")}"
    expect "per machine (ALLUSERS)" "$(property ALLUSERS)" 1
    expect "default AUTOSTART" "$(property AUTOSTART)" 1
    expect "default DNCREMOTE" "$(property DNCREMOTE)" LocalSubnet
    expect "program folder" "$(rows Directory | grep '^INSTALLDIR'$'\t'; property ROOTDRIVE)" $'INSTALLDIR\tTARGETDIR\tKestrio\nC:\\'
    expect "files (name, component, size)" "$(rows File | cut -f 2-4 | sort)" \
      "$(for f in Kestrio.exe README-Windows.txt kestrio-dnc.exe; do printf 'Program\t%s\t%s\n' "$f" "$(stat -c %s "$dir/$f")"; done)"
    expect "Program component's folder" "$(rows Component | awk -F'\t' '$1 == "Program" {print $3}')" INSTALLDIR
    mkdir "$tmp/msi"
    if msiextract -C "$tmp/msi" "$package" >/dev/null 2>&1; then
      for f in Kestrio.exe kestrio-dnc.exe README-Windows.txt; do
        found=$(find "$tmp/msi" -type f -name "$f" | head -n 1)
        if [[ -n $found ]] && cmp -s "$found" "$dir/$f"; then echo "package $f: the archive's"
        else pfail "$f is not the archive's"; fi
      done
    else
      pfail "its files cannot be extracted"
    fi
    expect "start-up shortcut (folder, target, working folder)" \
      "$(rows Shortcut | awk -F'\t' '{print $2 "|" $5 "|" $12}')" 'StartupFolder|[INSTALLDIR]Kestrio.exe|INSTALLDIR'
    expect "start-up shortcut's condition" "$(rows Component | awk -F'\t' '$1 == "Autostart" {print $5}')" 'AUTOSTART = "1"'
    rule='name="Kestrio Setup DNC"'
    add=$(rows CustomAction | awk -F'\t' '$1 == "FirewallAdd" {print $4}')
    for part in "add rule $rule" "dir=in" "action=allow" "protocol=TCP" "localport=3873" \
                'program="[INSTALLDIR]Kestrio.exe"' "remoteip=[DNCREMOTE]"; do
      [[ " $add " == *" $part "* ]] || pfail "the firewall rule's command lacks $part: $add"
    done
    expect "firewall rule removal" "$(rows CustomAction | awk -F'\t' '$1 == "FirewallDelete" {print $4}')" \
      "advfirewall firewall delete rule $rule"
    # Deferred (in the script, 0x400) as the system (no impersonation,
    # 0x800), between InstallInitialize and InstallFinalize.
    sequence=$(rows InstallExecuteSequence)
    at() { awk -F'\t' -v a="$1" '$1 == a {print $3}' <<<"$sequence"; }
    for action in FirewallDelete FirewallAdd; do
      type=$(rows CustomAction | awk -F'\t' -v a=$action '$1 == a {print $2}')
      (( (${type:-0} & 0xC00) == 0xC00 )) || pfail "$action is not a deferred action of the installer's service (type ${type:-none})"
      position=$(at $action)
      [[ -n $position ]] && (( $(at InstallInitialize) < position && position < $(at InstallFinalize) )) ||
        pfail "$action is not between InstallInitialize and InstallFinalize"
    done
    expect "firewall rule's condition" "$(awk -F'\t' '$1 == "FirewallAdd" {print $2}' <<<"$sequence")" 'NOT REMOVE="ALL" AND DNCREMOTE'
    # The rollback (deferred 0x400, rollback 0x100, as the system 0x800),
    # run in reverse: FirewallUndo deletes what the install made, then
    # FirewallRestore makes the rule FirewallDelete took; both before it.
    command() { rows CustomAction | awk -F'\t' -v a="$1" '$1 == a {print $4}'; }
    expect "rule's rollback: the install's rule deleted" "$(command FirewallUndo)" "advfirewall firewall delete rule $rule"
    restore=$(command FirewallRestore)
    for part in "add rule $rule" "localport=3873" 'program="[OldInstallDir]Kestrio.exe"' "remoteip=[OldDncRemote]"; do
      [[ " $restore " == *" $part "* ]] || pfail "the rollback's rule lacks $part: $restore"
    done
    for pair in FirewallRestore:FirewallUndo FirewallUndo:FirewallDelete; do
      action=${pair%%:*} next=${pair#*:}
      type=$(rows CustomAction | awk -F'\t' -v a=$action '$1 == a {print $2}')
      (( (${type:-0} & 0xD00) == 0xD00 )) || pfail "$action is not a rollback action of the installer's service (type ${type:-none})"
      position=$(at $action)
      [[ -n $position && -n $(at $next) ]] && (( $(at InstallInitialize) < position && position < $(at $next) )) ||
        pfail "$action is not scheduled after InstallInitialize and before $next"
    done
    expect "rule's rollback's condition" "$(awk -F'\t' '$1 == "FirewallUndo" {print $2}' <<<"$sequence")" ""
    expect "the rule's addresses kept for the rollback" \
      "$(rows Registry | awk -F'\t' '$4 == "DncRemote" {print $3 "|" $5 "|" $6}')" 'Software\Kestrio\Kestrio Setup|[DNCREMOTE]|Program'
    # The older version's removal inside the transaction: rolled back with
    # the failed install, before the new files (the folder may change).
    position=$(at RemoveExistingProducts)
    if [[ -z $position ]]; then pfail "it removes no older version (no RemoveExistingProducts)"
    elif (( $(at InstallInitialize) < position && position < $(at InstallFiles) )); then
      echo "package older version removed inside the install's transaction: at $position"
    else pfail "RemoveExistingProducts ($position) is not between InstallInitialize and InstallFiles: a failed upgrade leaves no version"; fi
    # DNCREMOTE checked before anything changes, by the package's DLL.
    type=$(rows CustomAction | awk -F'\t' '$1 == "CheckDncRemote" {print $2 "|" $3 "|" $4}')
    [[ $type =~ ^[0-9]+\|KestrioMsi\|CheckDncRemote$ ]] && (( (${type%%|*} & 0x3F) == 1 )) ||
      pfail "CheckDncRemote is not CheckDncRemote of the Binary KestrioMsi, a DLL (${type:-none})"
    position=$(at CheckDncRemote)
    [[ -n $position ]] && (( position < $(at InstallValidate) )) || pfail "CheckDncRemote does not run before InstallValidate"
    expect "DNCREMOTE check's condition" "$(awk -F'\t' '$1 == "CheckDncRemote" {print $2}' <<<"$sequence")" 'NOT REMOVE="ALL" AND DNCREMOTE'
    if msiinfo extract "$package" Binary.KestrioMsi >"$tmp/kestrio-msi.dll" 2>/dev/null && [[ -s $tmp/kestrio-msi.dll ]]; then
      exports=$("$objdump" -p "$tmp/kestrio-msi.dll")
      grep -qE '^[[:space:]]*\[ *[0-9]+\] \+?[a-z_ ]*CheckDncRemote$' <<<"$exports" ||
        pfail "kestrio-msi.dll does not export CheckDncRemote"
      "$checkout/tools/check-imports.sh" "$tmp/kestrio-msi.dll" || pfail "kestrio-msi.dll imports what Windows 7 lacks"
      echo "package kestrio-msi.dll: $(stat -c %s "$tmp/kestrio-msi.dll") bytes"
    else
      pfail "it holds no kestrio-msi.dll (Binary.KestrioMsi)"
    fi
    if [[ $(basename "$package") == *-signed.msi ]]; then check_signature "$(basename "$package")" "$package"; fi
  fi
fi

[[ $failed -eq 0 ]] && echo "release check passed"
exit $failed
