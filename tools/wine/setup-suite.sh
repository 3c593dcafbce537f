#!/usr/bin/env bash
# The Windows build of korvset.dll under Wine, driven by korvinst.exe over
# the seed machine (tests/wine/setup-seed.reg), step by step beside the
# simulated machine (host korvinst --machine) given the same seed. After
# each step the managed registry keys of both must agree, Wine's known
# differences from Windows allowed for (tools/wine/regcompare.py).
#
# Usage: setup-suite.sh x86_64|i686 TEMPLATE_PREFIX WINDOWS_BUILD_DIR
#                       HOST_KORVINST SEED_REG RUN_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-lib.sh"

arch=$1 tpl=$2 win=$3 host_korvinst=$4 seed=$5 run=$6
need_template "$arch" "$tpl"
for f in korvinst.exe korvset.dll; do
  [ -f "$win/$f" ] || fail "$win/$f is missing (make windows builds it)"
done
[ -x "$host_korvinst" ] || fail "$host_korvinst is missing (the host build makes it)"

prefix="$run/prefix"
rm -rf "$run"
mkdir -p "$run"
start_suite "$tpl" "$prefix" "$arch"

oneline() { tr '\n' ' ' <"$1" | cut -c1-400; }

compare=("$(command -v python3)" "$here/regcompare.py")
machine="$run/machine.reg"
cp "$seed" "$machine"
to_utf16_reg "$seed" "$run/seed16.reg"
wine_run 60 "$run/import.out" reg import "$(winpath "$run/seed16.reg")"
step "seed machine imported" "$([ $? -eq 0 ] || oneline "$run/import.out.err")"

korvinst_exe=$(winpath "$win/korvinst.exe")
startup_key='SOFTWARE\Orlenta Software\Korvelware\Startup'

# wine_state N: the managed keys of the Wine machine, in state-N-*.reg.
wine_state() {
  local n=$1 i=0 key
  for key in 'HKLM\System\CurrentControlSet\Control\Class' \
             'HKLM\System\CurrentControlSet\Enum\IDE' \
             'HKLM\Software\Orlenta Software'; do
    i=$((i + 1))
    wine_run 60 "$run/export.out" reg export "$key" "$(winpath "$run/state-$n-$i.reg")" /y ||
      echo "reg export $key failed: $(oneline "$run/export.out.err")"
  done
}

# run_step N NAME STATUS KORVINST-ARGS...: one command on both machines;
# each must exit with STATUS (0: the export gave 1; 1: it gave 0); then the
# two states must agree.
run_step() {
  local n=$1 name=$2 expected=$3 why="" rc_host rc_wine
  shift 3
  "$host_korvinst" --machine "$machine" "$@" >"$run/host-$n.out" 2>&1
  rc_host=$?
  cp "$machine" "$run/machine-$n.reg"
  wine_run 60 "$run/wine-$n.out" "$korvinst_exe" "$@"
  rc_wine=$?
  [ $rc_host -eq "$expected" ] || why="simulation: exit $rc_host: $(oneline "$run/host-$n.out")"
  [ $rc_wine -eq "$expected" ] ||
    why="$why Wine: exit $rc_wine: $(oneline "$run/wine-$n.out") $(oneline "$run/wine-$n.out.err")"
  step "$name: korvinst $*" "$why"
  why=$(wine_state "$n")
  [ -z "$why" ] && why=$("${compare[@]}" compare "$run/machine-$n.reg" "$run"/state-"$n"-*.reg)
  step "$name: registry agrees with the simulation" "$why"
}

# Taking the last name out of a device's list leaves an empty LowerFilters
# value under Wine (Windows deletes the property); the library reads it as
# the empty list, so the calls after it give 1 as well.
run_step 1 "install bus filters" 0 install-bus-filters
run_step 2 "install bus filters again" 0 install-bus-filters
why=$("${compare[@]}" same "$run/machine-1.reg" "$run/machine-2.reg")
step "second install writes nothing (simulation)" "$why"
why=$("${compare[@]}" same "$run"/state-1-*.reg -- "$run"/state-2-*.reg)
step "second install writes nothing (Wine)" "$why"

# The device that is not present keeps its list on the simulated machine
# (on Wine, which ignores DIGCF_PRESENT, it loses it).
"${compare[@]}" dump "$run/machine-2.reg" >"$run/dump-2.txt"
grep -A3 -i 'diskqelv_gone_disk\\5' "$run/dump-2.txt" | grep -q "lowerfilters = type 7 \['korvflt1'\]"
step "a device that is not present is left alone (simulation)" \
  "$([ $? -eq 0 ] || echo "its LowerFilters changed")"

run_step 3 "IDE install" 0 ide-install qelvard1
run_step 4 "IDE install in other letter case" 0 ide-install QELVARD1
why=$("${compare[@]}" same "$run/machine-3.reg" "$run/machine-4.reg")
step "IDE install of a name already there writes nothing (simulation)" "$why"
run_step 5 "IDE uninstall in other letter case" 0 ide-uninstall QelvArd1
run_step 6 "uninstall bus filters" 0 uninstall-bus-filters
# MessageBoxA returns at once under Wine without a display, so --message
# shows that the box is asked for without hanging the run.
run_step 7 "start-up values" 0 --message init-startup "$startup_key"

# OSStartTime is the current time less the tick count: under Wine the tick
# count is the host's uptime (moving in steps of about 10 ms), so the value
# lies near the host's boot time.
"${compare[@]}" dump "$run"/state-7-*.reg >"$run/dump-7.txt"
start_time=$(grep -A4 -i 'korvelware\\startup\]' "$run/dump-7.txt" |
             sed -n 's/.*osstarttime = type 4 \([0-9]*\).*/\1/p')
boot=$(( $(date +%s) - $(cut -d. -f1 /proc/uptime) ))
why=""
if [ -z "$start_time" ]; then
  why="no REG_DWORD OSStartTime"
elif [ $((start_time - boot)) -gt 5 ] || [ $((boot - start_time)) -gt 5 ]; then
  why="OSStartTime $start_time, host booted at $boot"
fi
grep -A4 -i 'korvelware\\startup\]' "$run/dump-7.txt" | grep -q 'rebootneeded = type 4 1$' || why="$why RebootNeeded is not 1"
grep -A4 -i 'korvelware\\startup\]' "$run/dump-7.txt" | grep -q 'updatenotify = type 4 0$' || why="$why UpdateNotify is not 0"
step "start-up values under Wine" "$why"
grep -q 'message box "Korvel Setup Extension DLL"' "$run/host-7.out"
step "start-up message box asked for (simulation)" "$([ $? -eq 0 ] || oneline "$run/host-7.out")"

# A key path that begins with a separator: Wine's registry refuses it
# (ERROR_BAD_PATHNAME) and so does the simulation; nothing is written.
run_step 8 "start-up values under a path beginning with a separator" 1 init-startup '\Software\Korvel'

# A name that the code page cannot represent (U+0100 here) beside
# korvflt1 in the CD-ROM class's LowerFilters: the ANSI calls give '?' for
# it, on Wine as on Windows, so the library leaves that list as it is and
# the call gives 0; the other lists are still brought to their state.
cdrom_class='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}'
lossy_value='"LowerFilters"=hex(7):6b,00,6f,00,72,00,76,00,66,00,6c,00,74,00,31,00,00,00,00,01,62,00,63,00,00,00,00,00'
printf 'Windows Registry Editor Version 5.00\n\n[%s]\n%s\n' "$cdrom_class" "$lossy_value" >"$run/lossy.reg"
printf '\n[%s]\n%s\n' "$cdrom_class" "$lossy_value" >>"$machine"
to_utf16_reg "$run/lossy.reg" "$run/lossy16.reg"
wine_run 60 "$run/import-lossy.out" reg import "$(winpath "$run/lossy16.reg")"
step "a name outside the code page imported" "$([ $? -eq 0 ] || oneline "$run/import-lossy.out.err")"
run_step 9 "install with a name outside the code page" 1 install-bus-filters
"${compare[@]}" dump "$run"/state-9-*.reg >"$run/dump-9.txt"
grep -A3 -i 'class\\{4d36e965' "$run/dump-9.txt" | grep -qi 'lowerfilters = type 7.*korvflt1'
step "the list with a name outside the code page is left as it is (Wine)" \
  "$([ $? -eq 0 ] || grep -A3 -i 'class\\{4d36e965' "$run/dump-9.txt" | tr '\n' ' ')"

end_suite setup "$arch" "$prefix"
