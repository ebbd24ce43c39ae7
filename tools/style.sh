# The scripts' headings: bold on a terminal, plain in a file or a pipe or
# with NO_COLOR set (https://no-color.org's convention).
#   bold TEXT...   prints TEXT and a newline
if [[ -t 1 && -z ${NO_COLOR:-} ]]; then
  bold() { printf '\033[1m%s\033[0m\n' "$*"; }
else
  bold() { printf '%s\n' "$*"; }
fi
