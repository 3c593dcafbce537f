#!/usr/bin/env bash
# The main job: a simulated Windows 2000 machine whose storage buses
# qelvard1 measures while qelvmon shows them, interval by interval.
#   1. qelvsim writes the default machine (no filter installed yet);
#   2. korvinst installs qelvard1 as a filter of the IDE controller class;
#   3. qelvsim boots that machine, runs a mixed workload and qelvmon.
# Then the same workload on the demo machine with qelvard1 on every
# storage class. Virtual time: exact and repeatable, paced to look live.
# Usage: tools/demo.sh BIN_DIR
set -euo pipefail
bin=$(cd "${1:?usage: demo.sh BIN_DIR}" && pwd)
out=${DEMO_OUT:-$(pwd)/build/demo}
mkdir -p "$out"
pace=${DEMO_PACE:-0.25}

[ -x "$bin/qelvsim" ] || { echo "demo: $bin/qelvsim is missing (build first)" >&2; exit 1; }

machine="$out/machine.reg"
rm -f "$machine"
if [ -x "$bin/korvinst" ]; then
  echo "== 1. A new machine, and qelvard1 installed on it by korvinst"
  "$bin/qelvsim" --write-machine "$machine"
  "$bin/korvinst" --machine "$machine" ide-install qelvard1
  echo
  echo "== 2. The machine boots; qelvard1 filters its IDE channels"
  "$bin/qelvsim" --machine "$machine" --workload mixed --seconds 6 --pace "$pace" \
    --svg "$out/ide-timeline.svg"
  echo
fi

echo "== 3. The demo machine: qelvard1 on IDE, SCSI, USB and SBP-2 storage"
"$bin/qelvsim" --workload mixed --seconds 8 --pace "$pace" --svg "$out/timeline.svg"
