#!/usr/bin/env bash
# The Storage Bus counters under Wine, read through a perflib that is not
# ours: qelvard1.sys and qelvperf.dll installed by qelvard1.inf and loaded
# as the driver suite loads them, the counters registered by `korvinst
# perf-install`, and HKEY_PERFORMANCE_DATA read by qelvperfread.exe, which
# checks the whole block's layout (tests/perf/perf_read.cpp). Wine has no
# storage stack, so the object has no instances here.
#
# Where Wine differs from Windows, the step that meets it says why:
# - loadperf is a stub that reports success and writes nothing: no "First
#   Counter" or "First Help", no names. The DLL must do without (no object);
#   then the suite writes the indexes as lodctr does.
# - the names table of HKEY_PERFORMANCE_DATA is a fixed stub (the reader
#   allows for it); the object is found by the index in the Performance key.
# - the block is misassembled: the first object lies sizeof(PERF_DATA_BLOCK)
#   bytes past the block's HeaderLength (the reader allows for that shift).
# - an open the driver refuses still gets a handle, and its requests and
#   IRP_MJ_CLOSE reach the driver; the driver serves only the file object
#   whose open it granted, so qelvmon runs on as on Windows.
# - perflib loads, opens, collects, closes and unloads the DLL on every
#   query, where Windows keeps it open for the reading process; each query
#   here is a process of its own, which on Windows too ends with the DLL
#   closed, so the steps expect the same on both.
#
# Usage: perf-suite.sh x86_64|i686 TEMPLATE_PREFIX WINDOWS_BUILD_DIR RUN_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-lib.sh"

arch=$1 tpl=$2 win=$3 run=$4
need_template "$arch" "$tpl"
shipped="qelvard1.sys qelvard1.inf qelvperf.dll qelvperf.ini qelvperfsym.h korvinst.exe"
for f in $shipped qelvperfread.exe qelvmon.exe; do
  [ -f "$win/$f" ] || fail "$win/$f is missing (make windows builds it)"
done

prefix="$run/prefix"
rm -rf "$run"
mkdir -p "$run"
start_suite "$tpl" "$prefix" "$arch"
brief() { tr '\n' ' ' <"$1" | cut -c1-600; tr '\n' ' ' <"$1.err" 2>/dev/null | cut -c1-200; }

dist="$run/dist"
mkdir -p "$dist"
for f in $shipped; do cp "$win/$f" "$dist/"; done
wine_run 120 "$run/inf.out" rundll32 setupapi,InstallHinfSection DefaultInstall 132 "$(winpath "$dist/qelvard1.inf")"
step "qelvard1.inf installs the driver and qelvperf.dll" "$([ $? -eq 0 ] || brief "$run/inf.out")"

# services.exe reads its database only when it starts; it then loads the
# boot-start driver. A persistent server keeps the driver host up.
wine_stop
timeout -k 5 30 wineserver -p
wine_run 60 "$run/boot.out" sc query qelvard1
grep -q 'STATE *: *4 *RUNNING' "$run/boot.out"
step "the driver is running" "$([ $? -eq 0 ] || brief "$run/boot.out")"

# read N present|absent: one query by qelvperfread.exe.
read_counters() {
  wine_run 120 "$run/read-$1.out" "$(winpath "$win/qelvperfread.exe")" "$2"
  local rc=$?
  grep -q '^qelvperfread: [0-9]* checks, 0 failed$' "$run/read-$1.out" && [ $rc -eq 0 ] ||
    echo "exit $rc: $(grep -E '^(FAIL|qelvperfread:|objects:)' "$run/read-$1.out" | tr '\n' ' ' | cut -c1-800)"
}
perf='HKLM\System\CurrentControlSet\Services\qelvard1\Performance'

(cd "$dist" && wine_run 60 "$run/install.out" "$(winpath "$dist/korvinst.exe")" perf-install)
step "korvinst perf-install" "$([ $? -eq 0 ] || brief "$run/install.out")"
wine_run 60 "$run/perfkey.out" reg query "$perf"
got=$(grep -E '^ +[A-Za-z]' "$run/perfkey.out" | awk '{print $1, $2}' | sort | tr '\n' ';')
# Wine's loadperf writes nothing: the four values of the INF and korvinst,
# no indexes. Should Wine's loadperf one day work, this step says so.
step "Performance key: the DLL and its exports, no indexes from Wine's stub loadperf" \
  "$([ "$got" = 'Close REG_SZ;Collect REG_SZ;Library REG_SZ;Open REG_SZ;' ] || echo "got: $got")"
step "a query without counter indexes: no object, no error" "$(read_counters 1 absent)"

# The indexes the simulation's lodctr gives on the default machine, written
# as lodctr writes them.
why=""
for value in "First Counter:1848" "Last Counter:1854" "First Help:1849" "Last Help:1855"; do
  wine_run 60 "$run/add.out" reg add "$perf" /v "${value%%:*}" /t REG_DWORD /d "${value##*:}" /f || why="$why ${value%%:*}"
done
wine_run 60 "$run/add.out" reg add "$perf" /v "Object List" /t REG_SZ /d 1848 /f || why="$why Object List"
step "counter indexes written as lodctr writes them" "${why:+cannot write$why}"
step "the Storage Bus object and its layout" "$(read_counters 2 present)"

# qelvmon.exe holds the device (its table's first line comes once its
# capture runs); a query meanwhile gets no object.
timeout -k 5 60 "$WINE" "$(winpath "$win/qelvmon.exe")" --count 10 --interval 1 \
  >"$run/mon.out" 2>"$run/mon.out.err" </dev/null &
monitor=$!
for _ in $(seq 1 40); do
  grep -q '^qelvmon: bus activity of' "$run/mon.out" && break
  sleep 0.25
done
step "qelvmon.exe holds the device" "$(grep -q '^qelvmon: bus activity of' "$run/mon.out" || brief "$run/mon.out")"
step "a query while qelvmon holds the device: no object, no error" "$(read_counters 3 absent)"
wait $monitor
rc=$?
# On Windows the DLL's open is refused (KV_STATUS_ALREADY_OPEN). Wine 8
# hands out a handle whatever status the driver gives IRP_MJ_CREATE and
# sends that handle's requests and its IRP_MJ_CLOSE on; the driver refuses
# them as not the monitor's, so here too qelvmon runs on undisturbed.
step "qelvmon's capture runs on through the query" \
  "$([ $rc -eq 0 ] || echo "exit $rc: $(brief "$run/mon.out")")"
step "once qelvmon has ended, the object is back" "$(read_counters 4 present)"
wine_run 60 "$run/mon2.out" "$(winpath "$win/qelvmon.exe")" --count 1 --interval 0.1 --format csv
step "qelvmon opens the device again after the queries" "$([ $? -eq 0 ] || brief "$run/mon2.out")"

(cd "$dist" && wine_run 60 "$run/uninstall.out" "$(winpath "$dist/korvinst.exe")" perf-uninstall)
step "korvinst perf-uninstall" "$([ $? -eq 0 ] || brief "$run/uninstall.out")"
wine_run 60 "$run/gone.out" reg query "$perf"
step "the Performance key is gone" "$([ $? -ne 0 ] || brief "$run/gone.out")"
step "after perf-uninstall: no object, no error" "$(read_counters 5 absent)"

end_suite perf "$arch" "$prefix"
