# Shared by make-release.sh and sign-release.sh (sourced).
#
# pack_archive STAGE ZIP EPOCH FILE...: the files of STAGE, in that order,
# into ZIP with mode 0644 and the time EPOCH each, no owner or extra time
# fields (-X) and no folder entries (-D): the same files give the same bytes.
pack_archive() {
  local stage=$1 zip=$2 epoch=$3
  shift 3
  chmod 0644 "${@/#/$stage/}"
  touch -d "@$epoch" "${@/#/$stage/}"
  rm -f "$zip"
  (cd "$stage" && TZ=UTC zip -X -D -q -9 "$zip" "$@")
}

# The Windows Installer package's codes (make-msi.sh, check-release.sh).  The
# upgrade code is the one in app/win32/kestrio.wxs; the others are name-based
# UUIDs (version 5) under it, so they follow from what they name.
msi_upgrade_code() {
  sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/\1/p' "$(dirname "${BASH_SOURCE[0]}")/../app/win32/kestrio.wxs"
}
msi_uuid() {  # NAME
  python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
    "$(msi_upgrade_code)" "$1"
}
# One product code per version: a major upgrade replaces a product of
# another code.
msi_product_code() { msi_uuid "product $1"; }
