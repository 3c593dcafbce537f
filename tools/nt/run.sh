#!/usr/bin/env bash
# The real driver on a real NT-family kernel: `make nt`, and the CTest `nt`.
# Installs what it needs from Debian when run as root, checks and unpacks
# the ReactOS test image of ../shared/reactos/ into build/nt/, builds the
# i686 Windows files (not under CTest: `make test` has built them), and
# runs tools/nt/ntcheck.py, which boots the guest once per attachment mode.
#
# Without the image, with an image whose checksum does not match, or
# without QEMU, the stage is skipped: exit 0 (77 under CTest).
#
# Usage: run.sh [--from-ctest] [ntcheck.py options]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
skip_code=0
if [ "${1:-}" = --from-ctest ]; then
  skip_code=77
  shift
fi
skip() {
  echo "nt: skipped: $*"
  exit $skip_code
}
fail() {
  echo "nt: FAIL: $*"
  exit 1
}

packages=(qemu-system-x86 xorriso libwin-hivex-perl mtools xz-utils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || skip "missing Debian packages (run as root to install): ${missing[*]}"
  echo "nt: installing ${missing[*]}"
  apt-get update -qq >/dev/null &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    skip "could not install ${missing[*]}"
fi
command -v qemu-system-i386 >/dev/null || skip "no qemu-system-i386"

image_dir=$root/../shared/reactos
[ -f "$image_dir/SHA256SUMS" ] || skip "no test image: ../shared/reactos/SHA256SUMS is missing"
packed=$(awk '$2 ~ /\.iso\.xz$/ {print $2; exit}' "$image_dir/SHA256SUMS")
unpacked_sum=$(awk '$2 ~ /\.iso$/ {print $1; exit}' "$image_dir/SHA256SUMS")
[ -n "$packed" ] && [ -n "$unpacked_sum" ] || skip "../shared/reactos/SHA256SUMS names no .iso.xz and .iso"
[ -f "$image_dir/$packed" ] || skip "no test image: ../shared/reactos/$packed is missing"

out=$root/build/nt
mkdir -p "$out"
# One guest at a time: QEMU without hardware help takes a whole core.
exec 9>"$out/.lock"
flock 9

base=$out/base.iso
if [ ! -f "$base" ] || [ "$(sha256sum <"$base" | cut -d' ' -f1)" != "$unpacked_sum" ]; then
  (cd "$image_dir" && sha256sum --quiet -c --ignore-missing SHA256SUMS >/dev/null 2>&1) ||
    skip "../shared/reactos/$packed does not match its checksum"
  echo "nt: unpacking $packed"
  xz -dc "$image_dir/$packed" >"$base.part" || fail "cannot unpack $packed"
  [ "$(sha256sum <"$base.part" | cut -d' ' -f1)" = "$unpacked_sum" ] ||
    skip "the unpacked image does not match its checksum"
  mv "$base.part" "$base"
fi

win=$root/build/win-i686
if [ $skip_code -eq 0 ]; then
  (cd "$root" && cmake --preset win-i686 >/dev/null && cmake --build --preset win-i686 -j "$(nproc)") ||
    fail "the i686 Windows build failed"
fi
for f in qelvard1.sys qelvmon.exe korvinst.exe korvset.dll qelvproto.exe qelvnt.exe; do
  [ -f "$win/$f" ] || fail "$win/$f is missing (make windows builds it)"
done

exec python3 "$root/tools/nt/ntcheck.py" "$base" "$win" "$out" "$@"
