"""Ctrl-C stops a long call: a child process starts the call, gets SIGINT, and the call raises
what the signal handler raises (KeyboardInterrupt by default) within a fraction of a second,
where uninterrupted it would run for many seconds.

The delay is wall-clock time from the signal to the exception. On a machine crowded with other
work the child may wait for a core for longer than that; then the delay is taken as the calling
thread's own CPU time over the same span, which only the call's work between two polls adds to.
"""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# The sanitizer build is unoptimised and checks every access: the same polls come slower.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
LIMIT = 2.0 if SANITIZED else 0.2

CHILD = textwrap.dedent("""
    import signal, sys, time
    import numpy as np
    import zelk_core as z

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop

    if sys.argv[1] == "custom":
        signal.signal(signal.SIGINT, stop)
    rng = np.random.default_rng(1)
    {setup}
    print("started", flush=True)
    t0 = time.monotonic()
    try:
        {call}
    except BaseException as e:
        print(type(e).__name__, time.monotonic(), time.thread_time(), flush=True)
    else:
        print("finished", time.monotonic() - t0, flush=True)
""")

# Each call runs for seconds (most for ten or more) when nothing stops it.
CALLS = {
    "smoothness_penalty_matrices_1d": ("", "z.smoothness_penalty_matrices_1d(0, 0.0, 1.0, 2**31 - 1)"),
    "build_penalty_matrices_nd": ("", "z.build_penalty_matrices_nd([5, 5], [(0, 1), (0, 1)], 30_000_000)"),
    "design_matrix_nd": ("x = rng.uniform(0.5, 1.5, 4096); cols = [x] * 2000; mis = [[1] * 2000] * 1000",
                         "z.design_matrix_nd(mis, cols)"),
    "design_matrix_nd powers": ("x = rng.uniform(0.5, 1.5, 8192); cols = [x] * 2000; mis = [list(range(2, 2002))]",
                                "z.design_matrix_nd(mis, cols)"),
    "fit warm-up": ("X = rng.standard_normal((20000, 8)); y = X @ np.arange(8.0)",
                    "z.TournamentMCMC(n_chains=4, n_warmup=100000, n_deep=0).fit(X, y)"),
    "fit refinement": ("X = rng.standard_normal((20000, 8)); y = X @ np.arange(8.0)",
                       "z.TournamentMCMC(n_chains=2, n_warmup=1, n_deep=150000).fit(X, y)"),
    # The refinement's starting temperatures: a billion cooling steps (n_elite times n_deep), most
    # of them on a subnormal temperature that no longer changes.
    "fit temperature ladder": ("X = rng.standard_normal((20, 2)); y = X @ [1.0, 2.0]",
                               "z.TournamentMCMC(n_chains=500, n_warmup=0, n_deep=2_000_000, n_elite=500).fit(X, y)"),
    # The elite's diversity scan: every chain against every elite member so far.
    "fit elite scan": ("X = rng.standard_normal((20, 4)); y = X @ [1.0, 2.0, 3.0, 4.0]",
                       "z.TournamentMCMC(n_chains=100_000, n_warmup=0, n_deep=0, n_elite=100_000).fit(X, y)"),
    # The LDL^T factorisation of a 4000 x 4000 system (5 s unpolled), a Gram matrix whose
    # segments take half a second each, and the SVD of a square design (4 s unpolled).
    "fit_regularized_linear factorisation": ("Phi = rng.standard_normal((8, 4000)); y = rng.standard_normal(8)",
                                             "z.fit_regularized_linear(Phi, y, ridge=1.0)"),
    "fit_regularized_linear Gram": ("Phi = rng.standard_normal((20000, 1200)); y = rng.standard_normal(20000)",
                                    "z.fit_regularized_linear(Phi, y)"),
    "ols SVD": ("X = rng.standard_normal((2000, 2000)); y = rng.standard_normal(2000)", "z.ols(X, y)"),
}


def thread_cpu_seconds(pid):
    """CPU time so far of the process's main thread."""
    with open(f"/proc/{pid}/task/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def interrupt(call, handler="default"):
    """Starts the call in a child, sends SIGINT once it runs; returns what the child caught and
    the delay from the signal to the exception reaching Python (see the module docstring)."""
    setup, code = CALLS[call]
    src = CHILD.format(setup=setup, call=code)
    child = subprocess.Popen([sys.executable, "-c", src, handler], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "started\n", child.communicate()[1]
        time.sleep(0.3)                          # well inside the call
        cpu = thread_cpu_seconds(child.pid)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        caught, when, cpu_when = child.stdout.readline().split()
        assert child.wait(timeout=30) == 0, child.stderr.read()
        wall = float(when) - sent
        if wall < LIMIT or wall > 10 * LIMIT + 2:   # prompt, or far too late whatever the load
            return caught, wall
        return caught, float(cpu_when) - cpu
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


@pytest.mark.parametrize("call", list(CALLS))
def test_sigint_stops_the_call_promptly(call):
    caught, delay = interrupt(call)
    assert caught == "KeyboardInterrupt"
    assert delay < LIMIT, f"{call} ran {delay:.3f} s after SIGINT"


@pytest.mark.parametrize("call", ["smoothness_penalty_matrices_1d", "fit warm-up"])
def test_what_a_custom_handler_raises_comes_out(call):
    caught, delay = interrupt(call, handler="custom")
    assert caught == "Stop"
    assert delay < LIMIT
