#!/usr/bin/env bash
set -euo pipefail
echo "demo: not built yet" >&2
exit 1
