#!/usr/bin/env bash
# Builds the extension module with -ffp-contract=off everywhere (no multiply-add fused unless the
# code asks for it) into build/nocontract, then runs the given tests against that build (default:
# the sampler's fixed digests and step-by-step reference). The sampler's results must not depend
# on the optimiser's contraction, so they pass here as in the release build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
vpy=$("$root/scripts/bootstrap.sh")
export PATH="$(dirname "$vpy"):$PATH"

cmake -S . -B build/nocontract -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELK_FP_CONTRACT_OFF=ON \
  -Dpybind11_DIR="$("$vpy" -m pybind11 --cmakedir)" -DPython_EXECUTABLE="$vpy" >/dev/null
cmake --build build/nocontract --target zelk_core >/dev/null

export PYTHONPATH="$root/build/nocontract${PYTHONPATH:+:$PYTHONPATH}"
"$vpy" -c "import zelk_core; assert zelk_core.__file__.startswith('$root/build/nocontract'), zelk_core.__file__"
if [ $# -eq 0 ]; then
  set -- tests/test_sampler.py -q -k "digest or reference or wraps"
fi
exec "$vpy" -m pytest -p no:cacheprovider "$@"
