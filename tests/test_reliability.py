"""Memory and threads: no growth over many calls, MemoryError for what cannot be stored, and the
same results whatever the Python or OpenMP threads around a call."""

import json
import os
import random
import subprocess
import sys
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor

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

# Calls whose result could never be stored, a design of 2^40 entries (8 TiB) first. Each must fail
# with MemoryError on its first allocation, and the process go on; filling work buffers on the
# way (16 GiB of them for smoothness_penalty_matrices_1d(2**30, ...)) could end it first.
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


# Requests that would fit a larger machine (16-48 GiB), each refused under a 4 GiB address-space
# limit: every allocation on the way reports its failure as MemoryError, none ends the process.
TOO_LARGE_UNDER_A_LIMIT = [
    "z.design_matrix_1d(2**31 - 1, [1.0])",
    "z.smoothness_penalty_matrices_1d(46340, 0.0, 1.0, 2)",
    "z.boundary_reduce_1d(46340, 0.0, 1.0)",
    "z.design_matrix_nd([[1]] * 2**15, [np.zeros(2**16)])",
    "z.build_penalty_matrices_nd([200, 200], [(0.0, 1.0)] * 2, 2)",
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


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves terabytes of address space")
def test_penalties_nd_need_no_memory_per_grid_point():
    """Ten million points per axis, under a 600 MiB address-space limit: the axes are summed in
    chunks, so memory stays that of the small results."""
    out = json.loads(run_python("""
        import json, resource
        import numpy as np, zelk_core as z
        resource.setrlimit(resource.RLIMIT_AS, (600 << 20, 600 << 20))
        R1, R2, mi = z.build_penalty_matrices_nd([2], [(0.0, 1.0)], 10**7)
        print(json.dumps(R1.tolist()))
    """))
    n = 10**7
    # f = x^2 on [0, 1]: f' = 2x, so b'R1 b = sum 4 x_k^2 dx = 4 n (2n - 1) / (6 (n - 1)^2).
    assert out[2][2] == pytest.approx(4 * n * (2 * n - 1) / (6 * (n - 1) ** 2), rel=1e-9)


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


# --- Threads -----------------------------------------------------------------------------------

def as_bytes(result):
    """Every bit of a result: arrays, floats, tuples and lists of them, and result records."""
    if isinstance(result, np.ndarray):
        return result.tobytes() + str(result.shape).encode()
    if isinstance(result, float):
        return np.float64(result).tobytes()
    if isinstance(result, (tuple, list)):
        return b"|".join(as_bytes(r) for r in result) + b";"
    if isinstance(result, int):
        return str(result).encode()
    if isinstance(result, z.GibbsResult):
        return as_bytes([result.H, result.Hmax, result.He, result.r_heat, result.var_E, result.T])
    if isinstance(result, z.MCMCResult):
        return as_bytes([result.beta_mcmc, result.energy, result.gibbs, result.n_chains, result.n_elite])
    raise TypeError(type(result))


def mixed_calls():
    """Every function on fixed inputs, a few of them large enough for OpenMP or blocked products."""
    rng = np.random.default_rng(21)
    y = rng.standard_normal(3001)
    x = rng.uniform(-1, 1, 50000)
    X = rng.standard_normal((300, 40))
    Xs = rng.standard_normal((200, 3))
    ys = Xs @ [1.0, -2.0, 0.5] + 0.1 * rng.standard_normal(200)
    R = np.diag(np.arange(3.0))
    mis = z.build_penalty_matrices_nd([3, 3, 2], [(0.0, 1.0)] * 3, 4)[2]
    sampler = z.TournamentMCMC(n_chains=8, n_warmup=40, n_deep=60, n_elite=3)
    return {
        "mad": lambda: z.mad(y),
        "compute_sr": lambda: z.compute_sr(y[::-1], y, 0.7),
        "mdl_score": lambda: z.mdl_score(0.9 * y, y, 4),
        "mdl_score_reg": lambda: z.mdl_score_reg(0.9 * y, y, 3, 20, [0.5, 1.0, -1.0], R, R.T, 0.1, 0.2),
        "design_matrix_1d": lambda: z.design_matrix_1d(7, x),
        "smoothness_penalty_matrices_1d": lambda: z.smoothness_penalty_matrices_1d(8, -1.0, 2.0, 3000),
        "boundary_reduce_1d": lambda: z.boundary_reduce_1d(9, -1.0, 2.0),
        "design_matrix_nd": lambda: z.design_matrix_nd(mis, [x, x[::-1], x * x]),
        "build_penalty_matrices_nd": lambda: z.build_penalty_matrices_nd([3, 2, 2], [(0.0, 1.0), (-1.0, 1.0), (0.0, 2.0)], 9),
        "ols": lambda: z.ols(X, y[:300]),
        "fit_regularized_linear": lambda: z.fit_regularized_linear(X, y[:300], np.eye(40), None, 1e-2),
        "gibbs_entropy": lambda: z.gibbs_entropy(y, 0.5),
        "TournamentMCMC.fit": lambda: sampler.fit(Xs, ys, R, None, 1e-3),
    }


@pytest.fixture(scope="module")
def calls():
    c = mixed_calls()
    return c, {name: as_bytes(call()) for name, call in c.items()}


@pytest.fixture
def frequent_thread_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_calls_from_many_threads_give_the_sequential_results(calls, frequent_thread_switches):
    funcs, sequential = calls
    jobs = [name for name in funcs for _ in range(6)]
    random.Random(4).shuffle(jobs)
    with ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(lambda name: (name, as_bytes(funcs[name]())), jobs))
    for name, got in results:
        assert got == sequential[name], name


def test_a_fit_is_unaffected_by_calls_in_other_threads(calls, frequent_thread_switches):
    funcs, sequential = calls
    stop, mismatches = threading.Event(), []

    def busy(offset):
        names = [n for n in funcs if n != "TournamentMCMC.fit"]
        i = offset
        try:
            while not stop.is_set():
                name = names[i % len(names)]
                if as_bytes(funcs[name]()) != sequential[name]:
                    mismatches.append(name)
                i += 1
        except Exception as e:  # noqa: BLE001 - reported below
            mismatches.append(repr(e))

    others = [threading.Thread(target=busy, args=(k,)) for k in range(3)]
    for t in others:
        t.start()
    try:
        fits = [as_bytes(funcs["TournamentMCMC.fit"]()) for _ in range(8)]
    finally:
        stop.set()
        for t in others:
            t.join()
    assert fits == [sequential["TournamentMCMC.fit"]] * 8
    assert not mismatches


DIGESTS = """
    import hashlib, json, sys
    import numpy as np, zelk_core as z
    sys.path.insert(0, {tests!r})
    from test_reliability import as_bytes
    rng = np.random.default_rng(33)
    y = rng.standard_normal(100001)
    x = rng.uniform(-1, 1, 200000)
    X, Phi = rng.standard_normal((2000, 500)), rng.standard_normal((5000, 300))
    Xs = rng.standard_normal((400, 6))
    ys = Xs @ rng.standard_normal(6) + 0.1 * rng.standard_normal(400)
    R = np.eye(300)
    mis = z.build_penalty_matrices_nd([4, 4, 3], [(0.0, 1.0)] * 3, 3)[2]
    results = {{
        "mad": z.mad(y),
        "compute_sr": z.compute_sr(y[::-1], y, 0.7),
        "mdl_score": z.mdl_score(0.9 * y, y, 4),
        "mdl_score_reg": z.mdl_score_reg(0.9 * y[:300], y[:300], 300, 20, y[:300], R, R, 0.1, 0.2),
        "design_matrix_1d": z.design_matrix_1d(9, x),
        "smoothness_penalty_matrices_1d": z.smoothness_penalty_matrices_1d(12, -1.0, 2.0, 5000),
        "boundary_reduce_1d": z.boundary_reduce_1d(15, -1.0, 2.0),
        "design_matrix_nd": z.design_matrix_nd(mis, [x, x[::-1], x * x]),
        "build_penalty_matrices_nd": z.build_penalty_matrices_nd([4, 3, 3], [(0.0, 1.0), (-1.0, 1.0), (0.0, 2.0)], 20),
        "ols": z.ols(X, y[:2000]),
        "fit_regularized_linear": z.fit_regularized_linear(Phi, y[:5000], R, 2 * R, 1e-3, 1e-4),
        "gibbs_entropy": z.gibbs_entropy(y, 0.7),
        "TournamentMCMC.fit": z.TournamentMCMC(n_chains=16, n_warmup=100, n_deep=200, n_elite=4).fit(
            Xs, ys, np.eye(6), None, 1e-3),
    }}
    print(json.dumps({{k: hashlib.sha256(as_bytes(v)).hexdigest() for k, v in results.items()}}))
"""


def digests(n_threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(n_threads))
    return json.loads(run_python(DIGESTS.format(tests=os.path.dirname(__file__)), env=env))


def test_same_bits_for_one_to_four_openmp_threads():
    by_threads = {n: digests(n) for n in (1, 2, 3, 4)}
    for name, digest in by_threads[1].items():
        assert {n: d[name] for n, d in by_threads.items()} == dict.fromkeys(by_threads, digest), name
