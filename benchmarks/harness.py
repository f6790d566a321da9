"""Timing helpers shared by the benchmark scripts.

Each comparison times zelk_core and a NumPy/SciPy peer on the same inputs in the same run and
reports the ratio peer time / zelk_core time (above 1 means zelk_core is faster).
"""

import os
import platform
import time


def best_time(fn, min_total=0.2, repeats=5):
    """Best per-call time in seconds over `repeats` rounds of enough calls to last min_total/repeats."""
    fn()  # warm up
    calls, elapsed = 1, 0.0
    while True:
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed * repeats >= min_total or calls >= 1 << 20:
            break
        calls *= 2
    best = elapsed / calls
    for _ in range(repeats - 1):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - t0) / calls)
    return best


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


class Table:
    """Rows of (function, case, zelk_core time, peer, peer time), printed as a Markdown table."""

    def __init__(self):
        self.rows = []

    def compare(self, function, case, ours, peer_name, peer, **timing):
        """Times both callables; returns peer time / zelk_core time."""
        return self.add(function, case, best_time(ours, **timing), peer_name, best_time(peer, **timing))

    def add(self, function, case, t_ours, peer_name, t_peer):
        """Records times measured elsewhere; returns peer time / zelk_core time."""
        self.rows.append((function, case, t_ours, peer_name, t_peer))
        print(f"  {function:32s} {case:24s} {fmt_time(t_ours):>10s}  {peer_name}: "
              f"{fmt_time(t_peer):>10s}  x{t_peer / t_ours:.2f}", flush=True)
        return t_peer / t_ours

    def markdown(self):
        lines = ["| function | case | zelk_core | peer | peer time | speed-up |",
                 "|---|---|---|---|---|---|"]
        for function, case, t_ours, peer_name, t_peer in self.rows:
            lines.append(f"| `{function}` | {case} | {fmt_time(t_ours)} | {peer_name} | "
                         f"{fmt_time(t_peer)} | {t_peer / t_ours:.2f}x |")
        return "\n".join(lines)


def machine():
    cpu = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    import numpy
    return (f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, "
            f"NumPy {numpy.__version__}, OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}")
