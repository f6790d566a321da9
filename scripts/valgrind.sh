#!/usr/bin/env bash
# Runs scripts/valgrind_workload.py (every function once, every kind of error, a small fit on two
# OpenMP threads) under valgrind's memcheck against the normal build, and fails when memcheck
# reports an error, or a block definitely lost, whose stack passes through the module.
# Findings that lie wholly in the interpreter or NumPy (with PYTHONMALLOC=malloc the interpreter
# leaves definitely-lost blocks at exit) are counted and shown, not failed on.
# Installs valgrind (Debian's package) when it is missing. Takes about half a minute.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
vpy=$("$root/scripts/bootstrap.sh")

if ! command -v valgrind >/dev/null; then
  sudo_=""; [ "$(id -u)" = 0 ] || sudo_="sudo"
  echo "valgrind: installing valgrind" >&2
  $sudo_ apt-get install -y -q valgrind >&2 \
    || { $sudo_ apt-get update -q >&2 && $sudo_ apt-get install -y -q valgrind >&2; }
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
PYTHONMALLOC=malloc OMP_NUM_THREADS=2 valgrind --tool=memcheck --xml=yes --xml-file="$out/memcheck.xml" \
  --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=50 \
  "$vpy" "$root/scripts/valgrind_workload.py" || status=$?
if [ "$status" != 0 ]; then
  echo "valgrind: the workload failed (exit $status)" >&2
  exit "$status"
fi

"$vpy" - "$out/memcheck.xml" <<'EOF'
import collections, sys
import xml.etree.ElementTree as ET

ours, theirs = [], collections.Counter()
for error in ET.parse(sys.argv[1]).getroot().iter("error"):
    frames = [(f.findtext("fn") or "?", f.findtext("obj") or "?") for f in error.iter("frame")]
    kind = error.findtext("kind")
    if any("zelk_core" in obj for _, obj in frames):
        what = error.findtext("what") or error.findtext("xwhat/text") or ""
        ours.append((kind, what, frames))
    else:
        theirs[kind] += 1
print(f"valgrind: {len(ours)} finding(s) in zelk_core; outside it: "
      + (", ".join(f"{k} {n}" for k, n in theirs.most_common()) or "none"), file=sys.stderr)
for kind, what, frames in ours:
    print(f"\n{kind}: {what}", file=sys.stderr)
    for fn, obj in frames:
        print(f"    {fn}  ({obj.rsplit('/', 1)[-1]})", file=sys.stderr)
sys.exit(1 if ours else 0)
EOF
