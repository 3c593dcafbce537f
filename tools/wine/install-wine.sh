#!/usr/bin/env bash
# Installs Wine for the Windows-build tests: `wine` for x86_64 programs and,
# for i686 programs, the i386 architecture with wine32:i386. Never fails the
# build: what cannot be installed is reported here, and the Wine tests that
# need it report themselves as skipped with the reason.
set -uo pipefail

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
apt_install() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "$@"
}

need64=0; need32=0
installed wine && installed wine64 || need64=1
installed wine32:i386 || need32=1
[ $need64 -eq 0 ] && [ $need32 -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  [ $need64 -eq 1 ] && echo "wine: not installed and not root; the Wine tests will be skipped" >&2
  [ $need32 -eq 1 ] && echo "wine32:i386: not installed and not root; the i686 Wine tests will be skipped" >&2
  exit 0
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if [ $need64 -eq 1 ]; then
  echo "installing: wine wine64"
  if ! { apt-get -o DPkg::Lock::Timeout=600 update -qq && apt_install wine wine64; } >"$log" 2>&1; then
    tail -5 "$log" >&2
    echo "wine: installation failed; the Wine tests will be skipped" >&2
    exit 0
  fi
fi
if [ $need32 -eq 1 ]; then
  # i686 programs need the 32-bit Wine loader; without it they exit 0
  # having run nothing.
  echo "installing: i386 architecture, wine32:i386"
  if ! { dpkg --add-architecture i386 && apt-get -o DPkg::Lock::Timeout=600 update -qq &&
         apt_install wine32:i386; } >"$log" 2>&1; then
    tail -5 "$log" >&2
    echo "wine32:i386: installation failed; the i686 Wine tests will be skipped" >&2
  fi
fi
exit 0
