#!/usr/bin/env bash
set -euo pipefail
echo "bench: not built yet" >&2
exit 1
