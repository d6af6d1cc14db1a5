#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test in release and under the address and
# undefined-behaviour sanitizers. Pass preset names to run only those (e.g. "tsan").
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(release asan)
jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== ${preset} ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" --timeout 600
done
