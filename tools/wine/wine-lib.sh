# Shared by the Wine test scripts (sourced). Wine runs headless and
# unattended here: a private prefix per run, no display, no Mono or Gecko
# installers, no debug channels, and every call under a time limit.
#
# Output of a wine command always goes to a file, never into a pipe: the
# service processes it starts inherit the pipe and its reader would hang.

SKIP_CODE=77

# wine_env PREFIX ARCH: the environment of every later wine call.
#
# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, so
# in a 64-bit prefix its built-in tools (reg, sc, cmd) would run as 32-bit
# programs and see the WOW64 view of HKLM\Software. A 64-bit prefix is
# therefore driven with the 64-bit loader itself; it hands 32-bit programs
# on to the other.
wine_env() {
  export WINEPREFIX="$1"
  WINE=wine
  if [ "$2" = i686 ]; then
    export WINEARCH=win32
  else
    export WINEARCH=win64
    local loader
    loader="$(dirname "$(readlink -f "$(command -v wineserver)")")/wine64"
    [ -x "$loader" ] && WINE=$loader
  fi
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
}

skip() {
  echo "SKIP: $*"
  exit $SKIP_CODE
}

fail() {
  echo "FAIL: $*"
  exit 1
}

# need_wine ARCH: skip unless Wine can run programs of ARCH.
need_wine() {
  command -v wine >/dev/null 2>&1 && command -v wineserver >/dev/null 2>&1 ||
    skip "wine is not installed (tools/wine/install-wine.sh installs it as root)"
  if [ "$1" = i686 ] &&
     ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    skip "wine32:i386 is not installed (tools/wine/install-wine.sh installs it as root)"
  fi
}

# wine_run SECONDS OUTFILE ARGS...: runs `wine ARGS` with stdout in OUTFILE
# (CR stripped) and stderr in OUTFILE.err; returns wine's status (124 on
# timeout).
wine_run() {
  local limit=$1 out=$2 rc
  shift 2
  timeout -k 5 "$limit" "${WINE:-wine}" "$@" >"$out.raw" 2>"$out.err" </dev/null
  rc=$?
  tr -d '\r' <"$out.raw" >"$out"
  rm -f "$out.raw"
  return $rc
}

# wine_stop: ends this prefix's server and every process of it.
wine_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  timeout -k 5 30 wineserver -k >/dev/null 2>&1
  timeout -k 5 30 wineserver -w >/dev/null 2>&1
  return 0
}

# Files Wine never rewrites in place: run prefixes share them with the
# template through hard links, everything else is copied.
readonly WINE_SHARED_FILES='.*\.\(dll\|exe\|sys\|drv\|nls\|vxd\|ocx\|cpl\|acm\|tlb\|com\|ax\|ds\|mod\|msstyles\|icm\)'

# clone_prefix TEMPLATE DEST: a private prefix, ready in well under a second
# where a fresh `wineboot --init` takes 10-15 s.
clone_prefix() {
  local tpl=$1 dst=$2 f
  rm -rf "$dst"
  cp -a --link "$tpl" "$dst" || return 1
  (cd "$tpl" && find . -type f ! -iregex "$WINE_SHARED_FILES" -print0) |
    while IFS= read -r -d '' f; do
      cp -p --remove-destination "$tpl/$f" "$dst/$f" || exit 1
    done
}

# to_utf16_reg IN OUT: regedit 5.00 files are UTF-16LE with a byte-order
# mark. Wine's `reg import` reads hex(2)/hex(7) data of an 8-bit 5.00 file as
# 8-bit text, so every file it imports is converted first.
to_utf16_reg() {
  python3 - "$1" "$2" <<'PY'
import sys
text = open(sys.argv[1], encoding="utf-8").read().replace("\r\n", "\n").replace("\n", "\r\n")
open(sys.argv[2], "wb").write(b"\xff\xfe" + text.encode("utf-16-le"))
PY
}

# winpath FILE: the Z: drive path Wine programs see for a host file.
winpath() {
  local abs
  abs=$(readlink -f "$1")
  printf 'Z:%s' "${abs//\//\\}"
}

# need_template ARCH TEMPLATE: skip or fail unless Wine runs ARCH and the
# prefix fixture prepared TEMPLATE.
need_template() {
  need_wine "$1"
  case "$(cat "$2.status" 2>/dev/null)" in
    ready) ;;
    skip:*) skip "$(sed 's/^skip: //' "$2.status")" ;;
    *) fail "the $1 prefix fixture did not prepare $2" ;;
  esac
}

# start_suite TEMPLATE PREFIX ARCH: a private prefix cloned from TEMPLATE,
# its server stopped however the script ends; the clock starts.
start_suite() {
  wine_env "$2" "$3"
  trap wine_stop EXIT
  suite_started=$(date +%s.%N)
  clone_prefix "$1" "$2" || fail "cannot copy the template prefix"
}

# step NAME FAILURE-TEXT-OR-EMPTY: one result line of a suite.
steps=0 failed=0
step() {
  steps=$((steps + 1))
  if [ -z "$2" ]; then
    echo "ok $1"
  else
    failed=$((failed + 1))
    echo "FAIL $1: ${2:0:2000}"
  fi
}

# end_suite NAME ARCH PREFIX: the summary line; exits 1 if a step failed,
# else removes PREFIX and exits 0.
end_suite() {
  wine_stop
  trap - EXIT
  local took
  took=$(echo "$(date +%s.%N) - $suite_started" | bc)
  printf 'wine %s suite %s: %d steps, %d failed, %.1f s\n' "$1" "$2" "$steps" "$failed" "$took"
  [ "$failed" -eq 0 ] || exit 1
  rm -rf "$3"
  exit 0
}
