#!/usr/bin/env bash
# The Windows build of qelvard1.sys under Wine: installed as a kernel
# service, loaded with each form of "KVFlags", driven by the protocol suite
# (qelvproto.exe) and by the monitor (qelvmon.exe), stopped (DriverUnload)
# and loaded again.
#
# Wine has no SCSI storage stack, loads no class filters and does not
# emulate IRQL: no filter device ever exists here, so this covers load,
# unload and the control device; attachment and accounting are tested in
# the simulation only.
#
# Usage: driver-suite.sh x86_64|i686 TEMPLATE_PREFIX WINDOWS_BUILD_DIR RUN_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-lib.sh"

arch=$1 tpl=$2 win=$3 run=$4
need_template "$arch" "$tpl"
for f in qelvard1.sys qelvproto.exe qelvmon.exe; do
  [ -f "$win/$f" ] || fail "$win/$f is missing (make windows builds it)"
done

prefix="$run/prefix"
mkdir -p "$run"
start_suite "$tpl" "$prefix" "$arch"
cp --remove-destination "$win/qelvard1.sys" "$prefix/drive_c/windows/system32/drivers/qelvard1.sys"

# Text of a captured output for a failure message, on one line.
brief() { tr '\n' ' ' <"$1" | cut -c1-300; cat "$1.err" 2>/dev/null | tr '\n' ' ' | cut -c1-200; }

svc='HKLM\System\CurrentControlSet\Services\qelvard1'
cat >"$run/service.reg" <<'EOF'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\qelvard1]
"Type"=dword:00000001
"Start"=dword:00000003
"ErrorControl"=dword:00000001
"ImagePath"=hex(2):5c,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,\
  74,00,5c,00,73,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,64,00,72,\
  00,69,00,76,00,65,00,72,00,73,00,5c,00,71,00,65,00,6c,00,76,00,61,00,72,00,\
  64,00,31,00,2e,00,73,00,79,00,73,00,00,00
EOF
to_utf16_reg "$run/service.reg" "$run/service16.reg"
wine_run 60 "$run/import.out" reg import "$(winpath "$run/service16.reg")"
step "service key imported" "$([ $? -eq 0 ] || brief "$run/import.out")"
# services.exe reads its database only when it starts.
wine_stop
# A persistent server keeps the driver host process up between our calls.
timeout -k 5 30 wineserver -p
wine_run 60 "$run/svc.out" reg query "$svc" /v ImagePath
grep -q 'REG_EXPAND_SZ *\\SystemRoot\\system32\\drivers\\qelvard1.sys' "$run/svc.out"
step "ImagePath is \\SystemRoot\\system32\\drivers\\qelvard1.sys" \
  "$([ $? -eq 0 ] || brief "$run/svc.out")"

# set_flags KIND: the "KVFlags" value of one load.
set_flags() {
  case "$1" in
    absent) wine_run 60 "$run/flags.out" reg delete "$svc" /v KVFlags /f
            return 0 ;;  # absent already on the first round
    dword-0x0D) wine_run 60 "$run/flags.out" reg add "$svc" /v KVFlags /t REG_DWORD /d 13 /f ;;
    binary-1-byte) wine_run 60 "$run/flags.out" reg add "$svc" /v KVFlags /t REG_BINARY /d 02 /f ;;
    binary-12-bytes) wine_run 60 "$run/flags.out" reg add "$svc" /v KVFlags /t REG_BINARY \
                       /d 0d0000000000000000000000 /f ;;
    string-1) wine_run 60 "$run/flags.out" reg add "$svc" /v KVFlags /t REG_SZ /d 1 /f ;;
  esac
}

for flags in absent dword-0x0D binary-1-byte binary-12-bytes string-1; do
  set_flags "$flags"
  step "KVFlags $flags set" "$([ $? -eq 0 ] || brief "$run/flags.out")"

  wine_run 60 "$run/start.out" sc start qelvard1
  rc=$?
  why=""
  [ $rc -eq 0 ] && grep -q 'STATE *: *4 *RUNNING' "$run/start.out" ||
    why="sc start gave $rc: $(brief "$run/start.out")"
  step "load with KVFlags $flags" "$why"
  [ -z "$why" ] || continue

  wine_run 120 "$run/proto.out" "$(winpath "$win/qelvproto.exe")"
  rc=$?
  cp "$run/proto.out" "$run/proto-$flags.out"
  why=""
  if ! grep -Eq '^qelvproto: end of suite, [0-9]+ cases, 0 failed, [0-9]+ skipped$' "$run/proto.out"; then
    why="exit $rc; $(grep -E '^(FAIL|qelvproto:)' "$run/proto.out" | tr '\n' ' ' | cut -c1-600)"
    [ -s "$run/proto.out" ] || why="exit $rc, no output: $(brief "$run/proto.out")"
  fi
  step "protocol suite (KVFlags $flags)" "$why"

  wine_run 60 "$run/mon.out" "$(winpath "$win/qelvmon.exe")" --count 1 --interval 0.1
  rc=$?
  cp "$run/mon.out" "$run/mon-$flags.out"
  why=""
  [ $rc -eq 0 ] && [ -s "$run/mon.out" ] || why="exit $rc: $(brief "$run/mon.out")"
  step "qelvmon --count 1 (KVFlags $flags)" "$why"

  wine_run 60 "$run/stop.out" sc stop qelvard1
  rc=$?
  why=""
  [ $rc -eq 0 ] && grep -q 'STATE *: *1 *STOPPED' "$run/stop.out" ||
    why="sc stop gave $rc: $(brief "$run/stop.out")"
  step "unload (KVFlags $flags)" "$why"

  # DriverUnload must take the link and the device away, or the next load
  # fails on the existing link name.
  wine_run 60 "$run/absent.out" "$(winpath "$win/qelvproto.exe")" --absent
  grep -q '^qelvproto: end of suite, 1 cases, 0 failed, 0 skipped$' "$run/absent.out"
  step "no control device after unload (KVFlags $flags)" \
    "$([ $? -eq 0 ] || brief "$run/absent.out")"
done

end_suite driver "$arch" "$prefix"
