#!/usr/bin/env bash
# Sets everything up (see bootstrap.sh), then builds and runs the native unit tests, the Python
# test suite, and the Python test suite again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (scripts/sanitize.sh; ZELK_SKIP_SANITIZERS=1 leaves it out).
# Extra arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
vpy=$("$root/scripts/bootstrap.sh")
export PATH="$(dirname "$vpy"):$PATH"

echo "== native unit tests" >&2
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZELK_BUILD_MODULE=OFF -DZELK_BUILD_TESTS=ON >/dev/null
cmake --build build/native
ctest --test-dir build/native --output-on-failure

echo "== Python tests" >&2
"$vpy" -m pytest "$@"

if [ "${ZELK_SKIP_SANITIZERS:-0}" != 1 ]; then
  echo "== Python tests under AddressSanitizer and UndefinedBehaviorSanitizer" >&2
  "$root/scripts/sanitize.sh" "$@"
fi
