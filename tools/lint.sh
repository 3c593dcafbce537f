#!/usr/bin/env bash
# clang-tidy (bugprone, concurrency, performance) and cppcheck over the
# driver, the setup library and the performance counter DLL, as the host
# build compiles them.
set -euo pipefail
build=${1:-build/host}
cd "$(dirname "$0")/.."
sources=$(git ls-files 'driver/*.cpp' 'setup/*.cpp' 'tools/qelvperf/*.cpp')
[ -n "$sources" ] || { echo "lint: nothing to check"; exit 0; }
echo "clang-tidy: $(echo "$sources" | wc -w) files"
clang-tidy -p "$build" --quiet --warnings-as-errors='*' \
  --checks='-*,bugprone-*,concurrency-*,performance-*,-bugprone-easily-swappable-parameters,-bugprone-reserved-identifier' \
  $sources 2>/dev/null
echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability \
  --inline-suppr --suppress=missingIncludeSystem --project="$build/compile_commands.json" \
  --file-filter='driver/*' --file-filter='setup/*' --file-filter='tools/qelvperf/*'
echo "lint: clean"
