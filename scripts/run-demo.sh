#!/usr/bin/env bash
# Sets up the machine, builds in release and runs the demo: for now the engine's benchmarks (grid
# blending, normalisation and the parallel loop, each beside a memory-bandwidth baseline).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
./build/release/bench/bench_grid2d --benchmark_counters_tabular=true "$@"
