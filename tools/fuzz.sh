#!/usr/bin/env bash
# Runs every fuzzer of BIN_DIR for SECONDS each, starting from its seed
# corpus in fuzz/corpus/<fuzzer>/. New inputs go to a scratch corpus
# (build/fuzz-work/<fuzzer>), never into the repository; a crash leaves its
# input in build/fuzz-work/artifacts/ and fails the run.
#
#   tools/fuzz.sh BIN_DIR SECONDS [FUZZER...]
#
# Replay one input: BIN_DIR/<fuzzer> <input file>
set -euo pipefail

if [[ $# -lt 2 ]]; then
  echo "usage: $0 BIN_DIR SECONDS [FUZZER...]" >&2
  exit 2
fi
bin_dir=$1
seconds=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
work=${QELV_FUZZ_WORK:-$root/build/fuzz-work}
mkdir -p "$work/artifacts"

if [[ $# -gt 0 ]]; then
  fuzzers=("$@")
else
  fuzzers=()
  for exe in "$bin_dir"/fuzz_*; do
    [[ -x $exe ]] && fuzzers+=("$(basename "$exe")")
  done
fi
if [[ ${#fuzzers[@]} -eq 0 ]]; then
  echo "fuzz: no fuzzers in $bin_dir" >&2
  exit 1
fi

failed=()
for name in "${fuzzers[@]}"; do
  exe=$bin_dir/$name
  seeds=$root/fuzz/corpus/$name
  scratch=$work/$name
  mkdir -p "$scratch"
  echo "fuzz: $name for ${seconds}s"
  log=$work/$name.log
  # The driver fuzzers check pool, devices and handles themselves after
  # every input; LeakSanitizer's per-input scan of the simulated kernel's
  # heap would slow them sevenfold. The setup fuzzer keeps it.
  leaks=1
  [[ $name == fuzz_setup_lists ]] || leaks=0
  # One worker: the machine has two cores and other jobs on them.
  if "$exe" -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=2048 -detect_leaks=$leaks \
       -print_final_stats=1 -artifact_prefix="$work/artifacts/$name-" \
       "$scratch" "$seeds" >"$log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$log" | sed "s/^/  /" || true
  else
    echo "fuzz: $name FAILED; log $log, inputs in $work/artifacts/" >&2
    grep -aE 'ERROR|fuzzer:|SUMMARY|Test unit written' "$log" | head -20 >&2 || true
    failed+=("$name")
  fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#fuzzers[@]} fuzzer(s) ran clean"
