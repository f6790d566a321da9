"""Timing helpers shared by the benchmark scripts.

Each comparison times zelk_core and a NumPy/SciPy peer on the same inputs in the same run and
reports the ratio peer time / zelk_core time (above 1 means zelk_core is faster).
"""

import contextlib
import os
import platform
import subprocess
import sys
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


@contextlib.contextmanager
def busy_cores(count=None):
    """Keeps `count` cores (all but one by default) busy with spinning processes, as other
    workers of a process pool would, for the duration of the block."""
    count = max(1, (os.cpu_count() or 2) - 1) if count is None else count
    spinners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]
    try:
        time.sleep(0.2)  # let them get going
        yield count
    finally:
        for proc in spinners:
            proc.kill()
            proc.wait()


def one_thread_time(fn, **timing):
    """best_time of fn with the OpenMP runtime limited to one thread (as OMP_NUM_THREADS=1)."""
    from threadpoolctl import threadpool_limits
    with threadpool_limits(1, user_api="openmp"):
        return best_time(fn, **timing)


class Table:
    """Rows of (function, case, zelk_core time, peer, peer time), printed as a Markdown table.

    With `busy=True` each zelk_core call is also timed with OpenMP limited to one thread, in the
    same conditions (run it inside busy_cores()): the parallel regions must not cost more than a
    late core is worth, so the last column (time / one-thread time) should stay below 1.3."""

    BUSY_BOUND = 1.3

    def __init__(self, busy=False, only_cases=None):
        self.rows = []
        self.busy = busy
        self.one_thread = []
        self.only_cases = only_cases

    def wants(self, case):
        """Whether rows of this case are to be timed (all, unless run.py --cases names others)."""
        return self.only_cases is None or self.only_cases in case

    def compare(self, function, case, ours, peer_name, peer, **timing):
        """Times both callables; returns peer time / zelk_core time."""
        t_ours = best_time(ours, **timing)
        if self.busy:
            # Alternate, so that a change of load does not land on one side only.
            t_one = one_thread_time(ours, **timing)
            t_ours = min(t_ours, best_time(ours, **timing))
            t_one = min(t_one, one_thread_time(ours, **timing))
            self.one_thread.append((len(self.rows), t_one))
        return self.add(function, case, t_ours, peer_name, best_time(peer, **timing))

    def add(self, function, case, t_ours, peer_name, t_peer):
        """Records times measured elsewhere; returns peer time / zelk_core time."""
        self.rows.append((function, case, t_ours, peer_name, t_peer))
        extra = ""
        if self.one_thread and self.one_thread[-1][0] == len(self.rows) - 1:
            t_one = self.one_thread[-1][1]
            extra = f"  1 thread: {fmt_time(t_one):>10s}  x{t_ours / t_one:.2f} of it"
        print(f"  {function:32s} {case:24s} {fmt_time(t_ours):>10s}  {peer_name}: "
              f"{fmt_time(t_peer):>10s}  x{t_peer / t_ours:.2f}{extra}", flush=True)
        return t_peer / t_ours

    def markdown(self):
        one = dict(self.one_thread)
        head = "| function | case | zelk_core | peer | peer time | speed-up |"
        rule = "|---|---|---|---|---|---|"
        if self.busy:
            head += " one thread | time / one thread |"
            rule += "---|---|"
        lines = [head, rule]
        for i, (function, case, t_ours, peer_name, t_peer) in enumerate(self.rows):
            line = (f"| `{function}` | {case} | {fmt_time(t_ours)} | {peer_name} | "
                    f"{fmt_time(t_peer)} | {t_peer / t_ours:.2f}x |")
            if self.busy:
                line += f" {fmt_time(one[i])} | {t_ours / one[i]:.2f} |" if i in one else " | |"
            lines.append(line)
        if self.busy and one:
            worst = max(self.rows[i][2] / t for i, t in one.items())
            lines.append("")
            lines.append(f"Worst time / one-thread time: {worst:.2f} (bound {self.BUSY_BOUND})")
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
