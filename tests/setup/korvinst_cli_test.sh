#!/bin/sh
# korvinst end to end: loads libkorvset.so by name, calls one export, exit
# status from its result, the machine file loaded before and saved after.
set -eu
korvinst=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A missing machine file starts from the default machine and is saved.
out=$("$korvinst" --machine "$dir/m.reg" --message install-bus-filters)
[ "$out" = 'message box "Korvel Setup Extension DLL" (flags 0x40): KV_InstallBusFilters called, return value:  1
install-bus-filters: done' ] || fail "install output: $out"
grep -q '^\[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{4D36E96A-E325-11CE-BFC1-08002BE10318}\]$' \
  "$dir/m.reg" || fail "machine file not saved"

# show reads the saved state and leaves the file as it was.
cp "$dir/m.reg" "$dir/before.reg"
"$korvinst" --machine "$dir/m.reg" show > "$dir/show.txt"
grep -A1 '^bus class {4D36E96A-E325-11CE-BFC1-08002BE10318} "IDE ATA/ATAPI controllers"$' "$dir/show.txt" |
  grep -q '^    UpperFilters: korvflt1\(,\|$\)' || fail "show: $(cat "$dir/show.txt")"
cmp -s "$dir/m.reg" "$dir/before.reg" || fail "show changed the machine file"

# Result 0 gives exit status 1: a machine without the IDE class.
printf 'Windows Registry Editor Version 5.00\n' > "$dir/empty.reg"
status=0
"$korvinst" --machine "$dir/empty.reg" ide-install myflt > /dev/null || status=$?
[ "$status" = 1 ] || fail "ide-install on an empty machine: exit $status"

# A bad machine file is reported and left alone: exit status 2.
printf 'Windows Registry Editor Version 5.00\n"v"=dword:1\n' > "$dir/bad.reg"
status=0
"$korvinst" --machine "$dir/bad.reg" uninstall-bus-filters 2> "$dir/err.txt" || status=$?
[ "$status" = 2 ] || fail "bad machine file: exit $status"
grep -q 'bad.reg: line 2: value before the first \[key\] line' "$dir/err.txt" || fail "error: $(cat "$dir/err.txt")"

# The Storage Bus counters: registered, then taken out again to the very
# machine they were put into.
ini=$(dirname "$0")/../../tools/qelvperf/qelvperf.ini
"$korvinst" --machine "$dir/perf.reg" show > /dev/null
cp "$dir/perf.reg" "$dir/perf-before.reg"
out=$("$korvinst" --machine "$dir/perf.reg" perf-install "$ini")
[ "$out" = "perf-install: Storage Bus counters registered, names from index 1848" ] || fail "perf-install: $out"
grep -A9 '^\[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\qelvard1\\Performance\]$' "$dir/perf.reg" |
  tr '\n' ' ' | grep -q '"Library"="qelvperf.dll" "Open"="OpenBusPerformanceData".*"Object List"="1848"' ||
  fail "Performance key: $(grep -A9 'qelvard1.Performance' "$dir/perf.reg")"
out=$("$korvinst" --machine "$dir/perf.reg" perf-uninstall)
[ "$out" = "perf-uninstall: Storage Bus counters removed" ] || fail "perf-uninstall: $out"
cmp -s "$dir/perf.reg" "$dir/perf-before.reg" || fail "perf-uninstall left the machine changed"
status=0
"$korvinst" --machine "$dir/empty.reg" perf-install "$ini" > /dev/null || status=$?
[ "$status" = 1 ] || fail "perf-install without the qelvard1 service: exit $status"

status=0
"$korvinst" ide-install > /dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "missing SERVICE: exit $status"
echo "korvinst: all cases passed"
