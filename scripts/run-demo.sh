#!/usr/bin/env bash
# Sets up the machine, builds in release and runs the demo: the host front end loads the module, opens
# scenes/demo.json, builds its terrain and writes the mesh (OBJ), the height map (TIFF) and a shaded top
# view (PNG) of every terrain object into out/demo. Extra arguments go to ogx-host (e.g. --slope).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
# Only what the demo runs: the front end and the module (the tests and benchmarks are not needed).
cmake --build --preset release -j "$(nproc)" --target ogx-host orogenix
./build/release/bin/ogx-host scenes/demo.json --out out/demo "$@"
