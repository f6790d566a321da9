"""Runs every benchmark and prints one Markdown table with the machine it ran on.

    .venv/bin/python benchmarks/run.py [--only stats,linear,...] [--busy] [--cases TEXT]

--busy keeps all cores but one busy with spinning processes during the run and times every
zelk_core row also with OpenMP limited to one thread (needs threadpoolctl). The sampler's last
row alternates fits with multithreaded NumPy matrix products, the case where the module's idle
threads and OpenBLAS's could take each other's cores.
"""

import argparse
import contextlib
import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Table, busy_cores, machine  # noqa: E402

AREAS = ["frame", "stats", "basis", "linear", "sampler", "kernels"]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--only", default=",".join(AREAS), help="comma-separated areas")
    parser.add_argument("--busy", action="store_true",
                        help="all cores but one busy; also time each row on one thread")
    parser.add_argument("--cases", default=None,
                        help="time only the cases whose description contains this text "
                             "(the areas that support it: sampler)")
    args = parser.parse_args()
    table = Table(busy=args.busy, only_cases=args.cases)
    with busy_cores() if args.busy else contextlib.nullcontext() as spinning:
        for area in args.only.split(","):
            print(f"== {area}", flush=True)
            importlib.import_module(f"bench_{area}").run(table)
    print()
    print(f"Machine: {machine()}" + (f", {spinning} core(s) kept busy" if args.busy else ""))
    print()
    print(table.markdown())


if __name__ == "__main__":
    main()
