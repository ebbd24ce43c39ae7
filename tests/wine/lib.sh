# shellcheck shell=bash
# Shared by the scripts that run the Windows build under Wine (sourced).

# A private 32-bit prefix under DIR, quiet.
wine_prefix_env() {
  export WINEPREFIX=$1/prefix WINEDEBUG=-all WINEARCH=win32
}

# Z: is the host's root in a Wine prefix.
windows_path() {
  local p=${1//\//\\}
  printf 'Z:%s' "$p"
}

# machine.ini for the machine's tools in TARGET: Windows 6.1, no write filter,
# 20 GiB free, and the language packs of the given tags installed.
write_machine_ini() {
  local target=$1 tag
  shift
  {
    printf '[os]\nversion=6.1.7601\n\n[fbwf]\nlibrary=1\nenabled=0\nenabled_next=0\nprotected=0\nprotected_next=0\n\n'
    printf '[disk]\nfree_bytes=21474836480\n\n[boot]\nlocale=%s\n\n[packages]\n' "${1:-de-DE}"
    printf 'Package_for_KB976902~31bf3856ad364e35~x86~~6.1.1.17514=Installed\n'
    for tag in "$@"; do
      printf 'Microsoft-Windows-Embedded-LanguagePack-Package~31bf3856ad364e35~x86~%s~6.1.7601.17514=Installed\n' "$tag"
    done
  } > "$target/machine.ini"
}

# A language-pack cabinet OUT whose langcfg.ini names TAG (none when TAG is
# empty), written with gcab.
make_pack() {
  local out=$1 tag=$2 src
  src=$(mktemp -d)
  printf 'language resources\r\n' > "$src/payload.bin"
  if [[ -n $tag ]]; then
    printf '[LangInfo]\r\nLanguage=%s\r\n' "$tag" > "$src/langcfg.ini"
    (cd "$src" && gcab -c -z "$out" langcfg.ini payload.bin)
  else
    (cd "$src" && gcab -c -z "$out" payload.bin)
  fi
  rm -rf "$src"
}

# The folder links the pack scan's tests walk, in TARGET/links: a Windows
# program under Wine cannot make a link (CreateSymbolicLinkW there makes
# nothing), while Wine shows a symbolic link to a folder as a folder, as
# Windows shows a junction.  The tests put the cabinets in.  Made afresh for
# each run; rm does not follow the links.
make_folder_links() {
  local links=$1/links
  rm -rf "$links"
  mkdir -p "$links/Loop/sub" "$links/Above/Inner" "$links/Two" "$links/Shared" "$links/Direct/real"
  ln -s .. "$links/Loop/sub/loop"        # back to the walk's root
  ln -s .. "$links/Above/Inner/up"       # up to the folder above the root
  ln -s ../Shared "$links/Two/a"         # two links to one folder
  ln -s ../Shared "$links/Two/b"
  ln -s real "$links/Direct/a"           # to a folder also reached directly
}

# Starts Xvfb on a free display and exports DISPLAY; its process id goes to
# the variable xvfb.  Returns nonzero when it does not come up.
start_xvfb() {
  local numberfile
  numberfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numberfile" 2>/dev/null &
  xvfb=$!
  for _ in $(seq 1 100); do
    [[ -s $numberfile ]] && break
    kill -0 "$xvfb" 2>/dev/null || break
    sleep 0.1
  done
  [[ -s $numberfile ]] || { rm -f "$numberfile"; return 1; }
  DISPLAY=:$(head -n 1 "$numberfile")
  export DISPLAY
  rm -f "$numberfile"
}

# kestrio_machine BUILD: takes the build's Wine lock (held until the script
# ends) and prefix, and puts BUILD's Kestrio.exe with the machine's tools
# (German, nothing else installed) in the folder named by target.
kestrio_machine() {
  local build=$1 wine_dir=$1/wine
  mkdir -p "$wine_dir"
  exec 9>"$wine_dir/lock"
  flock 9
  wine_prefix_env "$wine_dir"
  target=$wine_dir/Kestrio
  "$(dirname "${BASH_SOURCE[0]}")/prepare-prefix.sh" "$WINEPREFIX" "$build" "$target"
  cp -f "$build/app/win32/Kestrio.exe" "$target/"
  write_machine_ini "$target" de-DE
}

# Ends what start_kestrio_server started.
stop_kestrio_server() {
  if [[ -n ${host:-} ]]; then kill "$host" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  if [[ -n ${xvfb:-} ]]; then kill "$xvfb" 2>/dev/null || true; fi
}

# The port Kestrio.exe's DNC server listens on, and whether it answers.
kestrio_port=3873
kestrio_answers() { (exec 3<>"/dev/tcp/127.0.0.1/$kestrio_port") 2>/dev/null; }

# start_kestrio_server TARGET OUT: TARGET/Kestrio.exe on a virtual display of
# its own, its output in OUT; sets xvfb and host (the Linux process that runs
# the program) and returns once its DNC server answers.  Fails, saying why,
# when the port is taken or the program ends or does not listen.
start_kestrio_server() {
  local target=$1 out=$2
  if kestrio_answers; then
    echo "port $kestrio_port is taken: the program's DNC server could not start" >&2
    return 1
  fi
  start_xvfb || { echo "Xvfb did not start" >&2; return 1; }
  (cd "$target" && exec wine ./Kestrio.exe >"$out" 2>&1) &
  host=$!
  for _ in $(seq 1 240); do
    kestrio_answers && return 0
    kill -0 "$host" 2>/dev/null || { cat "$out" >&2; echo "Kestrio.exe ended" >&2; return 1; }
    sleep 0.5
  done
  cat "$out" >&2
  echo "Kestrio.exe did not start listening on port $kestrio_port" >&2
  return 1
}

# The CNC of the demo and the screenshot, in the prefix WINEPREFIX: the
# program (KESTRIO_EXE) and the machine's tools in TARGET, German and French
# installed, and packs for German, French, Spanish and Italian in
# C:\LanguagePacks.
prepare_demo_machine() {
  local tests=$1 build=$2 target=$3 exe=$4 packs tag
  "$tests/prepare-prefix.sh" "$WINEPREFIX" "$build" "$target"
  cp -f "$exe" "$target/"
  rm -f "$target/commands.log"
  write_machine_ini "$target" de-DE fr-FR
  packs=$WINEPREFIX/drive_c/LanguagePacks
  rm -rf "$packs"
  for tag in de-DE fr-FR es-ES it-IT; do
    mkdir -p "$packs/$tag"
    make_pack "$packs/$tag/lp.cab" "$tag"
  done
}

# What a script that drives Kestrio.exe needs, or `die` (the script's own)
# with what is missing: the programs of the win32 build (BUILD) and the
# Linux client (NATIVE), and the tools named after them.
require_programs() {
  local build=$1 native=$2 file tool
  shift 2
  for file in "$build/app/win32/Kestrio.exe" "$build/tests/gui_probe.exe"; do
    [[ -f $file ]] || die "$file not built (build the win32 preset)"
  done
  [[ -x $native/cli/kestrio-dnc ]] || die "$native/cli/kestrio-dnc not built (build the native preset first)"
  for tool in "$@"; do
    command -v "$tool" >/dev/null || die "$tool is not installed (packages xvfb, imagemagick, gcab, coreutils)"
  done
}
