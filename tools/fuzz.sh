#!/usr/bin/env bash
set -euo pipefail
echo "fuzz: not built yet" >&2
exit 1
