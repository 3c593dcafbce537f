#!/usr/bin/env bash
# The Windows build of qelvard1.sys under Wine: installed by qelvard1.inf
# as a user installs it (rundll32 setupapi,InstallHinfSection), with the
# counter DLL qelvperf.dll and its Performance key, loaded with
# each form of "KVFlags", driven by the protocol suite (qelvproto.exe) and
# by the monitor (qelvmon.exe, its --svg picture checked against its CSV),
# stopped (DriverUnload) and loaded again.
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
for f in qelvard1.sys qelvard1.inf qelvperf.dll qelvproto.exe qelvmon.exe; do
  [ -f "$win/$f" ] || fail "$win/$f is missing (make windows builds it)"
done

prefix="$run/prefix"
mkdir -p "$run"
start_suite "$tpl" "$prefix" "$arch"
cp --remove-destination "$win/qelvard1.sys" "$prefix/drive_c/windows/system32/drivers/qelvard1.sys"

# Text of a captured output for a failure message, on one line.
brief() { tr '\n' ' ' <"$1" | cut -c1-300; cat "$1.err" 2>/dev/null | tr '\n' ' ' | cut -c1-200; }

svc='HKLM\System\CurrentControlSet\Services\qelvard1'
# The INF and the driver in a folder of their own, as shipped.
dist="$run/dist"
rm -rf "$dist" && mkdir -p "$dist" && cp "$win/qelvard1.sys" "$win/qelvard1.inf" "$win/qelvperf.dll" "$dist/"
wine_run 120 "$run/inf.out" rundll32 setupapi,InstallHinfSection DefaultInstall 132 "$(winpath "$dist/qelvard1.inf")"
step "rundll32 setupapi,InstallHinfSection DefaultInstall 132 qelvard1.inf" \
  "$([ $? -eq 0 ] || brief "$run/inf.out")"
cmp -s "$win/qelvard1.sys" "$prefix/drive_c/windows/system32/drivers/qelvard1.sys"
step "qelvard1.sys copied to system32\\drivers" "$([ $? -eq 0 ] || echo "missing or different")"
cmp -s "$win/qelvperf.dll" "$prefix/drive_c/windows/system32/qelvperf.dll"
step "qelvperf.dll copied to system32" "$([ $? -eq 0 ] || echo "missing or different")"

# services.exe reads its database only when it starts.
wine_stop
# A persistent server keeps the driver host process up between our calls.
timeout -k 5 30 wineserver -p
wine_run 60 "$run/svc.out" reg query "$svc"
# Exactly the README's values. Wine's service manager adds two of its own
# to every service it creates (ObjectName LocalSystem, PreshutdownTimeout);
# Windows writes neither for a kernel driver, so they are let through by
# name and nothing else is.
got=$(grep -E '^ +[A-Za-z]' "$run/svc.out" | awk '{print $1, $2, $3}' |
      grep -vE '^(ObjectName|PreshutdownTimeout) ' | sort | tr '\n' ';')
want='ErrorControl REG_DWORD 0x1;ImagePath REG_EXPAND_SZ \SystemRoot\system32\drivers\qelvard1.sys;'
want+='Start REG_DWORD 0x0;Type REG_DWORD 0x1;'
step "service key holds Type 1, Start 0, ErrorControl 1, ImagePath \\SystemRoot\\system32\\drivers\\qelvard1.sys" \
  "$([ "$got" = "$want" ] || echo "got: $got")"
wine_run 60 "$run/perfkey.out" reg query "$svc\\Performance"
got=$(grep -E '^ +[A-Za-z]' "$run/perfkey.out" | awk '{print $1, $2, $3}' | sort | tr '\n' ';')
want='Close REG_SZ CloseBusPerformanceData;Collect REG_SZ CollectBusPerformanceData;Library REG_SZ qelvperf.dll;'
want+='Open REG_SZ OpenBusPerformanceData;'
step "Performance key names qelvperf.dll and its Open, Collect and Close" "$([ "$got" = "$want" ] || echo "got: $got")"

# A boot-start driver is loaded by the service manager as it starts; the
# rounds below start it themselves, so it is stopped first.
wine_run 60 "$run/boot.out" sc query qelvard1
grep -q 'STATE *: *4 *RUNNING' "$run/boot.out"
step "the boot-start service is running after the service manager starts" \
  "$([ $? -eq 0 ] || brief "$run/boot.out")"
wine_run 60 "$run/bootstop.out" sc stop qelvard1
grep -q 'STATE *: *1 *STOPPED' "$run/bootstop.out"
step "the boot-start service stops" "$([ $? -eq 0 ] || brief "$run/bootstop.out")"

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

# start_driver: sc start, true when the service runs; rc is sc's exit
# code. sc reports why a start failed only in its trace channel, so that
# channel goes to the .err file. Under load, Wine's service manager has
# been seen to refuse a start right after the previous load stopped,
# silently and only once in dozens of rounds; a refused start is therefore
# tried once more after the service reads as stopped, with the first
# refusal kept in start-refused.out. A driver whose DriverEntry fails is
# refused both times.
start_driver() {
  local try
  for try in 1 2; do
    WINEDEBUG=trace+sc wine_run 60 "$run/start.out" sc start qelvard1
    rc=$?
    [ $rc -eq 0 ] && grep -q 'STATE *: *4 *RUNNING' "$run/start.out" && return 0
    [ $try -eq 1 ] || return 1
    cat "$run/start.out" "$run/start.out.err" >"$run/start-refused.out"
    echo "note: sc start gave $rc; waiting for the service to read as stopped and trying once more"
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      wine_run 60 "$run/query.out" sc query qelvard1
      grep -q 'STATE *: *1 *STOPPED' "$run/query.out" && break
      sleep 1
    done
  done
}

for flags in absent dword-0x0D binary-1-byte binary-12-bytes string-1; do
  set_flags "$flags"
  step "KVFlags $flags set" "$([ $? -eq 0 ] || brief "$run/flags.out")"

  why=""
  start_driver || why="sc start gave $rc: $(brief "$run/start.out")"
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

  rm -f "$run/mon.svg"
  wine_run 60 "$run/mon.out" "$(winpath "$win/qelvmon.exe")" --count 2 --interval 0.1 --format csv \
    --svg "$(winpath "$run/mon.svg")"
  rc=$?
  cp "$run/mon.out" "$run/mon-$flags.out"
  why=""
  [ $rc -eq 0 ] && [ -s "$run/mon.out" ] || why="exit $rc: $(brief "$run/mon.out")"
  step "qelvmon --count 2 --svg (KVFlags $flags)" "$why"
  python3 "$here/svg_check.py" "$run/mon.out" "$run/mon.svg" >"$run/svgcheck.out" 2>&1
  step "qelvmon's picture is valid SVG and draws the figures printed (KVFlags $flags)" \
    "$([ $? -eq 0 ] || brief "$run/svgcheck.out")"

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
