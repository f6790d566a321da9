#!/usr/bin/env bash
# Sets everything up (see bootstrap.sh), builds the native floor benchmark, and runs every
# benchmark, printing a Markdown table of zelk_core against its NumPy/SciPy peers.
# Arguments go to benchmarks/run.py (e.g. --only sampler).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
vpy=$("$root/scripts/bootstrap.sh")
export PATH="$(dirname "$vpy"):$PATH"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZELK_BUILD_MODULE=OFF -DZELK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/bench >/dev/null
exec "$vpy" benchmarks/run.py "$@"
