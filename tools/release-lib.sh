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
