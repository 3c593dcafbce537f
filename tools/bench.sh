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

times = {}  # CPU ns per iteration
real = {}   # wall-clock ns per iteration
rates = {}  # items per second, all threads together
for path in glob.glob(sys.argv[1] + "/*.json"):
    for run in json.load(open(path))["benchmarks"]:
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
            continue
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[run.get("time_unit", "ns")]
        name = run.get("run_name", run["name"])
        times[name] = run["cpu_time"] * scale
        real[name] = run["real_time"] * scale
        if "items_per_second" in run:
            rates[name] = run["items_per_second"]

floor = times.get("BM_Floor")
uncounted = times.get("BM_UncountedPassThrough")
plain = times.get("BM_CountedPlainFilter")
if None in (floor, uncounted, plain):
    sys.exit(0)  # no driver benchmarks among the results
import os
print()
print(f"machine: {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} at the end of the run "
      "(shared with other jobs: figures move from run to run)")

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

# Two threads, each sending counted SRBs through its own plain filter.
def per_request(name):
    rate = rates.get(name)
    return None if not rate else 1e9 / rate
one = per_request("BM_Counted/2/real_time/threads:1")
if one is not None:
    print()
    print("concurrency: counted requests from two threads, wall-clock ns per request (all threads)")
    print(f"  {'case':<34}{'ns':>9}{'vs floor':>10}{'vs 1 thread':>13}")
    for label, name in (("one thread", "BM_Counted/2/real_time/threads:1"),
                        ("two threads, two buses", "BM_Counted/2/real_time/threads:2"),
                        ("two threads, one bus", "BM_Counted/1/real_time/threads:2"),
                        ("uncounted, one thread", "BM_Uncounted/2/real_time/threads:1"),
                        ("uncounted, two threads", "BM_Uncounted/2/real_time/threads:2")):
        ns = per_request(name)
        if ns is None:
            continue
        base = one if label.startswith(("one", "two")) else per_request("BM_Uncounted/2/real_time/threads:1")
        print(f"  {label:<34}{ns:9.1f}{ns / floor:9.2f}x{base / ns:12.2f}x")
    two = per_request("BM_Counted/2/real_time/threads:2")
    if two is not None:
        gain = one / two
        print(f"  goal: two threads on two buses >= 1.60x the throughput of one: "
              f"{'met' if gain >= 1.6 else 'NOT met'} ({gain:.2f}x)")

read = times.get("BM_ReadStatistics")
if read is not None:
    print()
    print(f"statistics read (DeviceIoControl through the simulated I/O manager): "
          f"{read:.0f} ns, {read / floor:.1f}x floor")

decode = times.get("BM_DecodeReply")
collect = times.get("BM_Collect")
if decode is not None and collect is not None:
    print()
    print(f"qelvperf Collect, five buses: {collect:.0f} ns, {collect / decode:.1f}x decoding one reply "
          f"({decode:.0f} ns)")

ident = sorted((int(name.split("/")[1]), int(name.split("/")[2]), value) for name, value in times.items()
               if name.startswith("BM_Identify/"))
if ident:
    print()
    print("identification pass at capture start, ms")
    print(f"  {'devices':<10}{'address answered':>18}{'all fallback':>14}")
    for devices in sorted({d for d, _, _ in ident}):
        cells = {kind: value for d, kind, value in ident if d == devices}
        print(f"  {devices:<10}{cells.get(0, float('nan')) / 1e6:18.3f}{cells.get(1, float('nan')) / 1e6:14.3f}")
    worst = max((value for d, _, value in ident if d == 255), default=None)
    if worst is not None:
        print(f"  goal: 255 devices under 10 ms in the simulation: "
              f"{'met' if worst < 10e6 else 'NOT met'} ({worst / 1e6:.3f} ms worst case)")

# qelvsim --replay as a whole (boot, replay through the driver, monitor,
# summary), per replayed request, against one counted request on its own.
replay = sorted((int(name.split("/")[1]), rate) for name, rate in rates.items() if name.startswith("BM_Replay/"))
if replay:
    print()
    print("replay, requests per second of wall time (qelvsim --replay, whole run)")
    print(f"  {'trace':<34}{'requests/s':>12}{'ns each':>9}{'vs counted':>12}")
    for copies, rate in replay:
        label = "shared excerpt, 6,590 requests" if copies == 1 else f"excerpt x{copies}, {6590 * copies:,} requests"
        ns = 1e9 / rate
        print(f"  {label:<34}{rate:12,.0f}{ns:9.0f}{ns / plain:11.1f}x")
    largest = replay[-1][1]
    print(f"  goal: >= 200,000 requests per second on the largest trace: "
          f"{'met' if largest >= 200000 else 'NOT met'} ({largest:,.0f}/s)")
PY
