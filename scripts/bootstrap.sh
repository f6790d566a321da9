#!/usr/bin/env bash
# Sets up everything the demo and the tests need, idempotently:
# a CPython 3.13, the Debian packages (compiler, Eigen 3.4, GoogleTest, Google Benchmark), a virtual
# environment in .venv with the Python packages, and the extension module built
# and installed into it. A run with everything in place takes a second or two.
# Prints the venv's python on stdout; progress goes to stderr: a line per step that has work to do,
# with the time it took, and while the long ones run, the compiler's progress or a line every 10 s.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
venv=${ZELK_VENV:-$root/.venv}
say() { echo "bootstrap: $*" >&2; }
# Runs a command quietly, showing its output only when it fails.
quiet() { local log; log=$(mktemp); if ! "$@" >"$log" 2>&1; then cat "$log" >&2; rm -f "$log"; return 1; fi; rm -f "$log"; }
# Runs a long step with its output in a log: says what it does, shows the lines of that output
# that match the pattern $2 as they come (or, when none came for 10 s, how long it has run and
# its last line), and says how long it took; the whole log only when it fails.
long_step() {
  local label=$1 show=$2; shift 2
  local log t0=$SECONDS seen=0 quiet_since=$SECONDS n pid rc=0
  log=$(mktemp)
  say "$label ..."
  "$@" >"$log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    n=$(wc -l <"$log")
    if [ "$n" -gt "$seen" ]; then
      if [ -n "$show" ] && tail -n +"$((seen + 1))" "$log" | head -n "$((n - seen))" | grep -E "$show" \
           | sed -e 's/^[[:space:]]*/bootstrap:   /' >&2; then
        quiet_since=$SECONDS
      fi
      seen=$n
    fi
    if [ $((SECONDS - quiet_since)) -ge 10 ]; then
      say "  ... $((SECONDS - t0)) s:" "$(grep -v '^[[:space:]]*$' "$log" | tail -n 1 | sed -e 's/^[[:space:]]*//' | cut -c1-72)"
      quiet_since=$SECONDS
    fi
  done
  wait "$pid" || rc=$?
  if [ "$rc" -ne 0 ]; then cat "$log" >&2; rm -f "$log"; say "$label failed after $((SECONDS - t0)) s"; return "$rc"; fi
  rm -f "$log"
  say "$label: done in $((SECONDS - t0)) s"
}

# System packages, installed only when missing.
need=()
for pkg in g++ make libeigen3-dev libgtest-dev libbenchmark-dev; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo_=""; [ "$(id -u)" = 0 ] || sudo_="sudo"
  say "installing ${need[*]}"
  $sudo_ apt-get install -y -q "${need[@]}" >&2 \
    || { $sudo_ apt-get update -q >&2 && $sudo_ apt-get install -y -q "${need[@]}" >&2; }
fi

# Interpreter and virtual environment.
if ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  py=$("$root/scripts/ensure-python.sh")
  say "creating $venv with $py"
  rm -rf "$venv"
  "$py" -m venv "$venv"
fi
vpy="$venv/bin/python"

# Python packages, reinstalled only when the requirements change.
reqs_hash=$(sha256sum requirements-dev.txt | cut -c1-16)
if [ ! -f "$venv/.reqs-$reqs_hash" ]; then
  quiet "$vpy" -m pip install --upgrade pip
  long_step "installing the Python packages of requirements-dev.txt (half a minute or more)" "" \
    "$vpy" -m pip install -r requirements-dev.txt
  rm -f "$venv"/.reqs-* && touch "$venv/.reqs-$reqs_hash"
fi

# The extension module and the zelk package, rebuilt only when their sources change. The build directory
# persists, so a rebuild compiles only what changed.
src_hash=$( (git ls-files -co --exclude-standard pyproject.toml CMakeLists.txt _native zelk_core.pyi zelk 2>/dev/null \
             || find pyproject.toml CMakeLists.txt _native zelk_core.pyi zelk -type f 2>/dev/null) \
           | sort | xargs cat 2>/dev/null | sha256sum | cut -c1-16)
if [ "$(cat "$venv/.build-stamp" 2>/dev/null)" != "$src_hash" ]; then
  # -v shows the build's own output, of which the compiler's [k/n] lines are shown.
  long_step "building and installing the extension module (a minute or two when everything is compiled)" \
    '^[[:space:]]*\[[0-9]+/[0-9]+\] ' "$vpy" -m pip install -v --no-build-isolation --no-deps "$root"
  echo "$src_hash" > "$venv/.build-stamp"
fi
echo "$vpy"
