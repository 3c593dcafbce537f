#!/usr/bin/env bash
# Installs the Debian packages the build needs, when run as root and
# something is missing. Usage: install-deps.sh [wine]
set -euo pipefail
want=(cmake ninja-build g++ clang clang-tidy cppcheck libgtest-dev libgmock-dev
      libbenchmark-dev libclang-rt-14-dev mingw-w64 g++-mingw-w64-i686
      g++-mingw-w64-x86-64 libcli11-dev nlohmann-json3-dev python3)
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages (run as root to install): ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ "${1:-}" = wine ]; then
  exec "$(dirname "$0")/wine/install-wine.sh"
fi
