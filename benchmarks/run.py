"""Runs every benchmark and prints one Markdown table with the machine it ran on.

    .venv/bin/python benchmarks/run.py [--only stats,linear,...]
"""

import argparse
import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Table, machine  # noqa: E402

AREAS = ["frame", "stats", "basis", "linear", "sampler"]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--only", default=",".join(AREAS), help="comma-separated areas")
    args = parser.parse_args()
    table = Table()
    for area in args.only.split(","):
        print(f"== {area}", flush=True)
        importlib.import_module(f"bench_{area}").run(table)
    print()
    print(f"Machine: {machine()}")
    print()
    print(table.markdown())


if __name__ == "__main__":
    main()
