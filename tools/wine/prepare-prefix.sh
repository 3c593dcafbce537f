#!/usr/bin/env bash
# Test fixture: prepares the template Wine prefix of one architecture, once
# per test run; each Wine suite then works in a copy of it (clone_prefix).
# Usage: prepare-prefix.sh x86_64|i686 TEMPLATE_DIR
# Leaves TEMPLATE_DIR.status: "ready", or "skip: reason", or "fail: reason".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-lib.sh"

arch=$1 tpl=$2
status="$tpl.status"
rm -rf "$tpl" "$status"
mkdir -p "$(dirname "$tpl")"

report_skip() { echo "skip: $*" >"$status"; skip "$@"; }
report_fail() { echo "fail: $*" >"$status"; wine_stop; fail "$@"; }

command -v wine >/dev/null 2>&1 ||
  report_skip "wine is not installed (tools/wine/install-wine.sh installs it as root)"
if [ "$arch" = i686 ] &&
   ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  report_skip "wine32:i386 is not installed (tools/wine/install-wine.sh installs it as root)"
fi

# Some Linux kernels are built without IA-32 emulation: the 32-bit Wine
# loader is installed but cannot be executed at all.
if [ "$arch" = i686 ] && [ -x /usr/lib/wine/wine ]; then
  /usr/lib/wine/wine --version >/dev/null 2>&1
  [ $? -eq 126 ] &&
    report_skip "this Linux kernel cannot execute 32-bit programs (no IA-32 emulation), so 32-bit Wine cannot run"
fi

wine_env "$tpl" "$arch"
start=$(date +%s.%N)
wine_run 180 "$tpl.boot" wineboot --init || report_fail "wineboot --init failed ($?)"
# wineboot returns before its services are down; the template must be at rest
# before it is copied.
timeout -k 5 60 wineserver -w
booted=$(date +%s.%N)

# An i686 program exits 0 having printed nothing where the 32-bit loader is
# missing: only a printed sentinel shows that programs of this prefix run.
wine_run 60 "$tpl.probe" cmd /c echo qelv-prefix-ok
grep -qx 'qelv-prefix-ok' "$tpl.probe" || {
  if [ "$arch" = i686 ]; then
    report_skip "i686 programs do not run under this Wine (wine32:i386 missing or broken)"
  fi
  report_fail "cmd.exe printed no sentinel in the new prefix"
}
wine_stop
rm -f "$tpl.boot" "$tpl.boot.err" "$tpl.probe" "$tpl.probe.err"
done_at=$(date +%s.%N)
printf 'prefix %s ready: wineboot %.1f s, total %.1f s\n' "$arch" \
  "$(echo "$booted - $start" | bc)" "$(echo "$done_at - $start" | bc)"
echo ready >"$status"
