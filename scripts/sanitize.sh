#!/usr/bin/env bash
# Builds the extension module with AddressSanitizer and UndefinedBehaviorSanitizer (and Eigen's
# own assertions on) into build/asan, then runs the Python test suite against that build with
# the ASan runtime preloaded into the interpreter. Any report fails the run.
# Arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
vpy=$("$root/scripts/bootstrap.sh")
export PATH="$(dirname "$vpy"):$PATH"

# The instrumented build takes minutes from scratch (about 8 on 2 cores; seconds when only a
# file or two changed): say so, and let Ninja show each step as it goes.
echo "sanitize: building the instrumented module in build/asan (from scratch about 8 minutes)" >&2
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELK_SANITIZE=ON \
  -Dpybind11_DIR="$("$vpy" -m pybind11 --cmakedir)" -DPython_EXECUTABLE="$vpy" >/dev/null
SECONDS=0
cmake --build build/asan --target zelk_core zelk_kernels 2>&1 | sed -u 's/^/sanitize: /' >&2
echo "sanitize: built in ${SECONDS} s; running the tests against it" >&2

# The interpreter and NumPy are not instrumented: leaks they report at exit are theirs, and
# NumPy's allocator is fine, so leak detection stays off; every other finding aborts.
# A request too large to grant returns null, as without the sanitizer, so the module's
# MemoryError path runs instead of ASan stopping the process.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$root/build/asan${PYTHONPATH:+:$PYTHONPATH}"
"$vpy" -c "import zelk_core, sys; assert zelk_core.__file__.startswith('$root/build/asan'), zelk_core.__file__"
# zelk._kernels comes from build/asan/zelk, which the tests add to the package's path (conftest.py).
"$vpy" -c "import pkgutil, zelk; zelk.__path__ = pkgutil.extend_path(zelk.__path__, 'zelk'); import zelk._kernels as k; assert k.__file__.startswith('$root/build/asan'), k.__file__"
exec "$vpy" -m pytest -p no:cacheprovider "$@"
