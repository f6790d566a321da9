#!/usr/bin/env bash
# Sets everything up (see bootstrap.sh), then runs the demo. Arguments go to the demo
# (--help lists them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
vpy=$("$root/scripts/bootstrap.sh")
exec "$vpy" "$root/demo/demo.py" "$@"
