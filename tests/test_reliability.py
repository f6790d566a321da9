"""Memory and threads: no growth over many calls, MemoryError for what cannot be stored, and the
same results whatever the Python or OpenMP threads around a call."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zelk_core as z

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_python(code, env=None, timeout=600):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, env=env, timeout=timeout)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stderr}"
    return out.stdout


# --- Memory ------------------------------------------------------------------------------------

# Calls whose result could never be stored; each must fail on its first allocation, not after
# filling work buffers on the way (16 GiB of them for smoothness_penalty_matrices_1d(2**30, ...)
# would take the process down before the result was even asked for).
UNSTORABLE = {
    "design_matrix_1d": "z.design_matrix_1d(2**20 - 1, np.zeros(2**20))",          # 2^40 entries
    "smoothness_penalty_matrices_1d": "z.smoothness_penalty_matrices_1d(2**26, 0.0, 1.0, 2)",
    "boundary_reduce_1d": "z.boundary_reduce_1d(2**26, 0.0, 1.0)",
    "build_penalty_matrices_nd": "z.build_penalty_matrices_nd([2**26], [(0.0, 1.0)], 2)",
    "fit_regularized_linear": "z.fit_regularized_linear(np.zeros((0, 2**26)), [])",
}


def test_unstorable_results_raise_memory_error_before_touching_memory():
    results = json.loads(run_python(f"""
        import json, resource, numpy as np, zelk_core as z
        calls = {UNSTORABLE!r}
        def peak_mib():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        z.mad([1.0])  # NumPy's conversion machinery in place before measuring
        out = {{}}
        for name, call in calls.items():
            before = peak_mib()
            try:
                eval(call)
                outcome = "returned"
            except MemoryError:
                outcome = "MemoryError"
            out[name] = [outcome, peak_mib() - before]
        print(json.dumps(out))
    """))
    for name, (outcome, grown_mib) in results.items():
        assert outcome == "MemoryError", name
        assert grown_mib < 64, f"{name} touched {grown_mib:.0f} MiB before failing"


def test_too_large_for_the_machine_raises_memory_error():
    """A design with 2^40 entries (8 TiB) is refused at once, and the process goes on."""
    with pytest.raises(MemoryError):
        z.design_matrix_1d(2**20 - 1, np.zeros(2**20))
    assert z.design_matrix_1d(2, [3.0]).tolist() == [[1.0, 3.0, 9.0]]


# Requests that would fit a larger machine (16-48 GiB), each refused under a 4 GiB address-space
# limit: every allocation on the way reports its failure as MemoryError, none ends the process.
TOO_LARGE_UNDER_A_LIMIT = [
    "z.design_matrix_1d(2**31 - 1, [1.0])",
    "z.smoothness_penalty_matrices_1d(46340, 0.0, 1.0, 2)",
    "z.boundary_reduce_1d(46340, 0.0, 1.0)",
    "z.design_matrix_nd([[1]] * 2**15, [np.zeros(2**16)])",
    "z.build_penalty_matrices_nd([200, 200], [(0.0, 1.0)] * 2, 2)",
    "z.build_penalty_matrices_nd([1], [(0.0, 1.0)], 2**31 - 1)",
    "z.fit_regularized_linear(np.zeros((0, 50000)), [])",
    "z.TournamentMCMC(n_chains=2**31 - 1, n_warmup=0, n_deep=0).fit(np.ones((3, 1)), [1.0, 2.0, 3.0])",
]


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves terabytes of address space")
def test_memory_error_under_an_address_space_limit():
    outcomes = json.loads(run_python(f"""
        import json, resource
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        import numpy as np, zelk_core as z
        out = {{}}
        for call in {TOO_LARGE_UNDER_A_LIMIT!r}:
            try:
                eval(call)
                out[call] = "returned"
            except MemoryError:
                out[call] = "MemoryError"
        out["afterwards"] = z.ols([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]], [1.0, 2.0, 3.0]).round(12).tolist()
        print(json.dumps(out))
    """))
    assert outcomes.pop("afterwards") == [1.0, 2.0]
    assert outcomes == {call: "MemoryError" for call in TOO_LARGE_UNDER_A_LIMIT}


def rss_mib():
    """Resident memory of this process (the C++ heap included, which tracemalloc does not see)."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def swallow(call, exc):
    try:
        call()
    except exc:
        pass


def repeated_calls():
    """One call per function (and per error path) whose arguments and results are large enough
    (tens of KiB and up) that keeping any of them per call would show within a few thousand calls."""
    rng = np.random.default_rng(8)
    y = rng.standard_normal(20000)
    yp = y + 0.3 * rng.standard_normal(y.size)
    x = rng.uniform(-1, 1, 5000)
    beta, R = rng.standard_normal(60), np.eye(60)
    X = rng.standard_normal((500, 20))
    Xs, ys = rng.standard_normal((2000, 3)), rng.standard_normal(2000)
    mis = z.build_penalty_matrices_nd([3, 3], [(0.0, 1.0)] * 2, 4)[2]
    sampler = z.TournamentMCMC(n_chains=4, n_warmup=10, n_deep=20, n_elite=2)
    return {
        "mad": lambda: z.mad(y),
        "compute_sr": lambda: z.compute_sr(yp, y, 0.2),
        "mdl_score": lambda: z.mdl_score(yp, y, 3),
        "mdl_score_reg": lambda: z.mdl_score_reg(yp, y, 3, 20, beta, R, R, 0.1, 0.2),
        "design_matrix_1d": lambda: z.design_matrix_1d(5, x),
        "smoothness_penalty_matrices_1d": lambda: z.smoothness_penalty_matrices_1d(40, -1.0, 1.0, 50),
        "boundary_reduce_1d": lambda: z.boundary_reduce_1d(60, -1.0, 1.0),
        "design_matrix_nd": lambda: z.design_matrix_nd(mis, [x, x[::-1]]),
        "build_penalty_matrices_nd": lambda: z.build_penalty_matrices_nd([5, 5], [(0.0, 1.0)] * 2, 6),
        "ols": lambda: z.ols(X, y[:500]),
        "fit_regularized_linear": lambda: z.fit_regularized_linear(X, y[:500], R[:20, :20], R[:20, :20], 0.1, 0.1),
        "gibbs_entropy": lambda: z.gibbs_entropy(y),
        "TournamentMCMC.fit": lambda: sampler.fit(Xs, ys),
        "ValueError after conversion": lambda: swallow(lambda: z.compute_sr(yp[:-1], y, 0.2), ValueError),
        "TypeError in conversion": lambda: swallow(lambda: z.mdl_score_reg(yp, y, 1, 20, beta, R, "R"), TypeError),
        "RuntimeError in the wrapper": lambda: swallow(lambda: z.fit_regularized_linear(X, y[:500], R, "R"), RuntimeError),
        "MemoryError": lambda: swallow(lambda: z.fit_regularized_linear(np.zeros((0, 2**26)), y[:0]), MemoryError),
    }


REPEATED = repeated_calls()


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer holds freed memory in quarantine")
@pytest.mark.parametrize("name", list(REPEATED))
def test_memory_does_not_grow_over_repeated_calls(name):
    call = REPEATED[name]
    n = 1000 if name == "TournamentMCMC.fit" else 3000
    for _ in range(n // 5):  # warm up: allocator arenas, thread pools, caches
        call()
    before = rss_mib()
    for _ in range(n):
        call()
    grown = rss_mib() - before
    assert grown < 8, f"{name}: {grown:.1f} MiB more after {n} calls"
