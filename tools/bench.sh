#!/usr/bin/env bash
# Runs every benchmark program (*_bench) in the given bin directory and
# prints, for the driver's benchmarks, the ratio table: the cost that
# counting adds to a request against the floor (two spin-lock pairs and
# two counter reads), and how a bus filter's cost grows with the list.
# Usage: bench.sh BIN_DIR [extra Google Benchmark flags...]
set -euo pipefail
bin=${1:?usage: bench.sh BIN_DIR}
shift
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

shopt -s nullglob
programs=("$bin"/*_bench)
if [ ${#programs[@]} -eq 0 ]; then
  echo "bench: no *_bench programs in $bin (build the bench preset)" >&2
  exit 1
fi
for program in "${programs[@]}"; do
  name=$(basename "$program")
  echo "== $name"
  # Medians of several runs: the machine is shared.
  "$program" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$results/$name.json" --benchmark_out_format=json "$@"
done

python3 - "$results" <<'PY'
import glob, json, sys

times = {}
for path in glob.glob(sys.argv[1] + "/*.json"):
    for run in json.load(open(path))["benchmarks"]:
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
            continue
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[run.get("time_unit", "ns")]
        times[run.get("run_name", run["name"])] = run["cpu_time"] * scale

floor = times.get("BM_Floor")
uncounted = times.get("BM_UncountedPassThrough")
plain = times.get("BM_CountedPlainFilter")
if None in (floor, uncounted, plain):
    sys.exit(0)  # no driver benchmarks among the results

print()
print("qelvard1 request path, CPU ns per request")
print(f"  {'case':<34}{'ns':>9}{'added':>9}{'vs floor':>10}")
print(f"  {'floor (2 lock pairs + 2 reads)':<34}{floor:9.1f}")
print(f"  {'uncounted pass-through hop':<34}{uncounted:9.1f}")
def row(label, value):
    added = value - uncounted
    print(f"  {label:<34}{value:9.1f}{added:9.1f}{added / floor:9.2f}x")
row("counted, plain filter", plain)
bus = sorted((int(name.split("/")[1]), value) for name, value in times.items()
             if name.startswith("BM_CountedBusFilter/"))
for devices, value in bus:
    row(f"counted, bus filter, {devices} devices", value)
print(f"  goal: counted overhead <= 1.50x floor: "
      f"{'met' if (plain - uncounted) / floor <= 1.5 else 'NOT met'} ({(plain - uncounted) / floor:.2f}x)")
if len(bus) >= 3:
    slopes = [(n1, (t1 - t0) / (n1 - n0)) for (n0, t0), (n1, t1) in zip(bus, bus[1:])]
    print("  bus filter growth, ns per listed device: " +
          ", ".join(f"up to {n}: {slope:.2f}" for n, slope in slopes))
    # The first step (few devices) is mostly fixed cost; judge the growth
    # by the two largest steps: linear growth keeps the slope.
    before, last = slopes[-2][1], slopes[-1][1]
    linear = last <= 1.5 * max(before, 0.01)
    print(f"  growth is {'no more than linear' if linear else 'faster than linear'} "
          f"(last step {last:.2f} vs the one before {before:.2f} ns per device)")
PY
