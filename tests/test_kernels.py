"""zelk._kernels against NumPy and the reference steps of zelk._robust: every layout the
estimators hand over read in place, awkward values (zeros, infinities, NaN, huge and subnormal
numbers, a zero scale), argument errors, forked children and Ctrl-C."""

import ast
import os
import re
import subprocess
import sys
import textwrap
import time
import tracemalloc

import numpy as np
import pytest

import zelk._kernels as K
from zelk._norms import Bisquare
from zelk._scale import m_scale as reference_m_scale

from test_interrupt import LIMIT, thread_cpu_seconds
from test_processes import run_deadlined

EPS = np.finfo(float).eps

# Child interpreters import zelk from the source tree too (see conftest.py).
FIND_KERNELS = "import pkgutil, zelk; zelk.__path__ = pkgutil.extend_path(zelk.__path__, 'zelk')\n"
S_C, M_C = 1.5476, 4.685


class R:
    """The NumPy steps the kernels replace, written out."""

    @staticmethod
    def bisquare_weight(t, c):
        v = (t / c) ** 2
        return np.where(v < 1.0, (1.0 - v) ** 2, 0.0)

    @staticmethod
    def bisquare_rho(t, c):
        w = 1.0 - np.minimum((t / c) ** 2, 1.0)
        return 1.0 - w * w * w

    @staticmethod
    def m_scale(r, c=S_C, b=0.5):
        return reference_m_scale(r, b=b, loss=Bisquare(c), tol=1e-12)


def layouts(Phi):
    """The design as the estimators may hand it over: C and Fortran order, and strided views of
    larger arrays (every other row; every other column)."""
    n, p = Phi.shape
    rows = np.zeros((2 * n, p))
    rows[::2] = Phi
    cols = np.zeros((n, 2 * p))
    cols[:, ::2] = Phi
    return {"C": np.ascontiguousarray(Phi), "F": np.asfortranarray(Phi), "rows sliced": rows[::2],
            "columns sliced": cols[:, ::2]}


def assert_sums_close(got, terms_abs_sum, want, n):
    """A sum of n terms in some order: within n eps of the sum of the terms' magnitudes."""
    np.testing.assert_allclose(got, want, rtol=0, atol=(n + 8) * 2 * EPS * terms_abs_sum.max() + 1e-300)


@pytest.mark.parametrize("n,p", [(0, 3), (1, 1), (2, 5), (7, 4), (1003, 7), (20001, 20)])
def test_weighted_systems_match_numpy_in_every_layout(rng, n, p):
    Phi = rng.standard_normal((n, p))
    z = rng.standard_normal(n)
    w = rng.standard_normal(n)  # any sign: the sandwich covariance has negative ones
    mag = (np.abs(Phi) * np.abs(w)[:, None]).T @ np.abs(Phi)
    results = {}
    for name, X in layouts(Phi).items():
        A, b = K.weighted_normal_equations(X, z, w)
        results[name] = (A, b, K.weighted_gram(X, w), K.weighted_gram(X))
    A, b, G, G1 = results["C"]
    assert A.shape == (p, p) and b.shape == (p,) and A.flags.writeable
    assert_sums_close(A, mag, (Phi * w[:, None]).T @ Phi, n)
    assert_sums_close(b, (np.abs(Phi) * np.abs(w * z)[:, None]).sum(axis=0), Phi.T @ (w * z), n)
    assert_sums_close(G1, np.abs(Phi).T @ np.abs(Phi), Phi.T @ Phi, n)
    np.testing.assert_array_equal(A, A.T)
    np.testing.assert_array_equal(G, A)
    for name, got in results.items():  # the same bits from every layout
        for x, y in zip(got, results["C"]):
            np.testing.assert_array_equal(x, y, err_msg=name)


def test_other_dtypes_and_lists_are_converted():
    Phi = np.arange(12).reshape(6, 2)
    z = [1, 2, 3, 4, 5, 6]
    A, b = K.weighted_normal_equations(Phi, z, np.ones(6, dtype=np.float32))
    np.testing.assert_array_equal(A, Phi.T @ Phi)
    np.testing.assert_array_equal(b, Phi.T @ np.array(z))
    np.testing.assert_array_equal(K.residuals(Phi[::-1], z, [1, 0]), np.array(z) - Phi[::-1, 0])
    F = Phi.astype(float)[::-1]  # negative strides, then the other byte order: copied
    np.testing.assert_array_equal(K.weighted_gram(F), F.T @ F)
    np.testing.assert_array_equal(K.weighted_gram(F.astype(">f8")), F.T @ F)


# Residuals that reach every branch of the bisquare: zero of both signs, both sides of the
# cut-off c * s, huge, subnormal, infinite and NaN values.
AWKWARD = np.array([0.0, -0.0, 1e-310, -1e-310, 1.0, -2.5, 4.685, -4.685, 4.685 * (1 + EPS), 1e300,
                    -1e300, np.inf, -np.inf, np.nan, 1.5476, 0.3])


@pytest.mark.parametrize("scale", [1.0, 0.37, 1e-300, 1e300, 0.0, np.nan])
@pytest.mark.parametrize("c", [S_C, M_C])
def test_bisquare_weights_and_rho_are_numpys_bits(rng, scale, c):
    r = np.concatenate([AWKWARD, rng.standard_normal(1001) * 3, AWKWARD[::-1]])
    with np.errstate(all="ignore"):
        want_w = R.bisquare_weight(r / scale, c)
        want_rho = R.bisquare_rho(r / scale, c)
    np.testing.assert_array_equal(K.bisquare_weights(r, scale, c), want_w)
    np.testing.assert_array_equal(K.bisquare_rho(r, scale, c), want_rho)
    np.testing.assert_array_equal(K.bisquare_weights(r[::3], scale, c), want_w[::3])  # strided
    finite = r[np.isfinite(r)]
    with np.errstate(all="ignore"):
        mean = np.mean(R.bisquare_rho(finite / scale, c))
    np.testing.assert_allclose(K.mean_bisquare_rho(finite, scale, c), mean, rtol=1e-14, equal_nan=True)


def test_mean_rho_of_nothing_is_nan():
    assert np.isnan(K.mean_bisquare_rho(np.empty(0), 1.0, M_C))


def reference_step(Phi, z, beta, scale, c, prior=None):
    r = z - Phi @ beta
    with np.errstate(all="ignore"):
        w = R.bisquare_weight(r / scale, c) * (1.0 if prior is None else prior)
        rho = R.bisquare_rho(r / scale, c)
    return (Phi * w[:, None]).T @ Phi, Phi.T @ (w * z), np.mean(rho) if len(z) else np.nan, int(np.sum(w > 0))


@pytest.mark.parametrize("n,p,scale", [(1, 1, 1.0), (5, 8, 0.5), (4099, 4, 0.2), (20003, 20, 0.05),
                                       (33, 3, 1e-30), (33, 3, 0.0)])
def test_one_irls_step_in_one_pass_matches_numpy(rng, n, p, scale):
    Phi = rng.standard_normal((n, p))
    beta = rng.standard_normal(p)
    z = Phi @ beta + 0.1 * rng.standard_normal(n)
    z[: n // 10] += 5.0  # outliers: weight 0
    beta_start = beta + 0.01 * rng.standard_normal(p)
    prior = rng.random(n)
    prior[::7] = 0.0
    for w in (None, prior):
        A, b, mean_rho, active = K.bisquare_normal_equations(Phi, z, beta_start, scale, M_C, w)
        A_ref, b_ref, rho_ref, active_ref = reference_step(Phi, z, beta_start, scale, M_C, w)
        assert_sums_close(A, np.abs(Phi).T @ np.abs(Phi), A_ref, n)
        assert_sums_close(b, np.abs(Phi).T @ np.abs(z), b_ref, n)
        np.testing.assert_allclose(mean_rho, rho_ref, rtol=1e-13)
        assert active == active_ref
    # The fused pass is its separate steps, to the bit.
    r = K.residuals(Phi, z, beta_start)
    np.testing.assert_allclose(r, z - Phi @ beta_start, rtol=0, atol=8 * EPS * (np.abs(Phi) @ np.abs(beta_start) + np.abs(z)).max())
    A_sep, b_sep = K.weighted_normal_equations(Phi, z, prior * K.bisquare_weights(r, scale, M_C))
    A, b, _, _ = K.bisquare_normal_equations(Phi, z, beta_start, scale, M_C, prior)
    np.testing.assert_array_equal(A, A_sep)
    np.testing.assert_array_equal(b, b_sep)


@pytest.mark.parametrize("n,p,scale", [(0, 3, 1.0), (7, 2, 0.3), (5003, 6, 0.1), (20001, 20, 0.05)])
def test_sandwich_matrices_match_numpy(rng, n, p, scale):
    Phi = rng.standard_normal((n, p))
    beta = rng.standard_normal(p)
    z = Phi @ beta + 0.1 * rng.standard_normal(n)
    z[: n // 10] -= 4.0
    w = rng.random(n)
    t = (z - Phi @ beta) / scale
    v = (t / M_C) ** 2
    psi = np.where(v < 1.0, t * (1.0 - v) ** 2, 0.0)
    dpsi = np.where(v < 1.0, (1.0 - v) * (1.0 - 5.0 * v), 0.0)
    M, Q = K.bisquare_sandwich(Phi, z, beta, scale, M_C, w)
    mag = np.abs(Phi).T @ (np.abs(Phi) * (np.abs(dpsi) + psi**2)[:, None])  # bounds the weighted ones too
    assert_sums_close(M, mag, (Phi * (w * dpsi)[:, None]).T @ Phi, n)
    assert_sums_close(Q, mag, (Phi * (w * psi**2)[:, None]).T @ Phi, n)
    M1, Q1 = K.bisquare_sandwich(Phi, z, beta, scale, M_C)
    assert_sums_close(M1, mag, (Phi * dpsi[:, None]).T @ Phi, n)
    assert_sums_close(Q1, mag, (Phi * psi[:, None] ** 2).T @ Phi, n)


def test_truncated_sum_squares_matches_numpy(rng):
    r = np.concatenate([AWKWARD, rng.standard_normal(10_007), AWKWARD])
    for bound in (0.0, 0.5, 2.5, np.inf, np.nan):
        with np.errstate(all="ignore"):
            keep = r**2 < bound**2
        count, total = K.truncated_sum_squares(r, bound)
        assert count == np.count_nonzero(keep)
        np.testing.assert_allclose(total, np.sum(r[keep] ** 2), rtol=1e-13)
        assert K.truncated_sum_squares(r[::3], bound)[0] == np.count_nonzero(keep[::3])


def m_scale_cases(rng):
    normal = rng.standard_normal(1001)
    outliers = normal.copy()
    outliers[:150] += 50.0
    exact = np.zeros(40)
    exact[:21] = rng.standard_normal(21)
    return {
        "normal": normal,
        "15 % outliers": outliers,
        "one": np.array([-0.3]),
        "two": np.array([1.0, -3.0]),
        "tiny": normal * 1e-200,
        "huge": normal * 1e200,
        "ties": np.round(normal, 1),
        "heavy tail": rng.standard_cauchy(5000),
        "under half exact": exact,
    }


def test_m_scale_finds_the_reference_root(rng):
    for name, r in m_scale_cases(rng).items():
        s = K.m_scale(r)
        want = R.m_scale(r)
        # The reference stops within 1e-12 of the root (and bisects once when it lands on it).
        np.testing.assert_allclose(s, want, rtol=2e-12, err_msg=name)
        np.testing.assert_allclose(K.mean_bisquare_rho(r, s, S_C), 0.5, atol=1e-13, err_msg=name)
        np.testing.assert_allclose(K.m_scale(r, start=50 * s), s, rtol=1e-12, err_msg=name)
        np.testing.assert_allclose(K.m_scale(r, c=M_C, b=0.2), R.m_scale(r, c=M_C, b=0.2), rtol=2e-12, err_msg=name)


@pytest.mark.parametrize("r,want", [
    (np.zeros(5), 0.0),                                   # exact fit
    (np.r_[np.zeros(20), np.arange(1.0, 20.0)], 0.0),     # more than half on the fit
    (np.empty(0), 0.0),
    (np.array([1.0, np.inf, np.inf]), np.inf),
    (np.array([1.0, np.nan, 2.0, 3.0]), np.nan),          # not an exact fit: nothing can be said
])
def test_m_scale_edges(r, want):
    np.testing.assert_equal(K.m_scale(r), want)


@pytest.mark.parametrize("call,error,message", [
    (lambda: K.weighted_gram(np.ones(3)), ValueError, "Phi must be 2-D, got an array of shape (3,)"),
    (lambda: K.weighted_gram(np.ones((3, 2)), np.ones((3, 1))), ValueError, "w must be 1-D"),
    (lambda: K.weighted_gram(np.ones((3, 2)), np.ones(4)), ValueError, "w has 4 entries, but Phi has 3 rows"),
    (lambda: K.weighted_normal_equations(np.ones((3, 2)), np.ones(2)), ValueError, "z has 2 entries, but Phi has 3 rows"),
    (lambda: K.residuals(np.ones((3, 2)), np.ones(3), np.ones(3)), ValueError, "beta has 3 entries, but Phi has 2 columns"),
    (lambda: K.bisquare_normal_equations(np.ones((3, 2)), np.ones(3), np.ones(1), 1.0, 1.0), ValueError, "beta has 1 entry"),
    (lambda: K.bisquare_weights("abc", 1.0, 1.0), TypeError, "r must be an array of real numbers"),
    (lambda: K.bisquare_weights(np.ones(3, complex), 1.0, 1.0), TypeError, "dtype complex128"),
    (lambda: K.m_scale(np.ones(3), max_iter=-1), ValueError, "max_iter < 0"),
    (lambda: K.m_scale(np.ones(3), tol=np.nan), ValueError, "tol must be >= 0"),
    (lambda: K.m_scale(np.ones(3), start=0.0), ValueError, "start must be > 0"),
])
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()


def test_float64_arguments_are_read_in_place(rng):
    """No copy of a large float64 argument in any layout (NumPy's allocations are traced); a
    conversion shows up, which shows that the measure sees copies."""
    Phi = rng.standard_normal((200_000, 6))
    z, beta = rng.standard_normal(200_000), np.zeros(6)

    def peak(call):
        tracemalloc.start()
        try:
            call()
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    for name, X in layouts(Phi).items():
        assert peak(lambda: K.bisquare_normal_equations(X, z[: len(X)], beta, 1.0, M_C, z)) < 1 << 20, name
    assert peak(lambda: K.weighted_gram(Phi.astype(np.float32))) > Phi.nbytes // 2


@pytest.mark.parametrize("k,degree,basis", [(1, 3, "total"), (3, 3, "total"), (2, 7, "tensor"), (3, 0, "total")])
def test_legendre_design_is_the_estimators_design_to_the_bit(rng, k, degree, basis):
    from zelk._basis import legendre_design, multi_indices

    U = rng.uniform(-1.5, 1.5, (1001, k))
    U[:6, 0] = [0.0, -0.0, 1e300, -1e-310, np.inf, np.nan]
    indices = multi_indices([degree] * k, basis)
    with np.errstate(all="ignore"):
        want = legendre_design(U, indices, [degree] * k)
    for name, X in layouts(U).items():
        got = K.legendre_design(X, indices)
        assert got.flags.c_contiguous, name
        np.testing.assert_array_equal(got, want, err_msg=name)
    assert K.legendre_design(U[:0], indices).shape == (0, len(indices))


@pytest.mark.parametrize("exponents,error,message", [
    ([(1, 0)], ValueError, "an exponent tuple has 2 entries, but U has 3 columns"),
    ([(1, -1, 0)], ValueError, "exponents must be >= 0"),
    ([(1.5, 0, 0)], TypeError, "exponents must be integers"),
    ([1, 0, 0], ValueError, "exponents must be 2-D"),
])
def test_legendre_design_errors(exponents, error, message):
    with pytest.raises(error, match=re.escape(message)):
        K.legendre_design(np.zeros((4, 3)), exponents)


FORKED = """
import hashlib, json, os, sys
import numpy as np
import zelk._kernels as K

def digests():
    rng = np.random.default_rng(3)
    Phi = rng.standard_normal((100_003, 48))  # several segments on several threads
    z = rng.standard_normal(len(Phi))
    beta = 0.01 * rng.standard_normal(48)
    r = K.residuals(Phi, z, beta)
    out = [K.weighted_gram(Phi, z), *K.weighted_normal_equations(Phi, z),
           *K.bisquare_normal_equations(Phi, z, beta, 1.0, 4.685)[:2], r, K.bisquare_weights(r, 1.0, 4.685),
           [K.m_scale(r), K.mean_bisquare_rho(r, 1.0, 4.685)], K.legendre_design(Phi[:, :3], [(1, 2, 0), (0, 0, 3)])]
    return [hashlib.sha256(np.ascontiguousarray(v, dtype=float).tobytes()).hexdigest()[:16] for v in out]

parent = digests()
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(r)
    os.write(w, json.dumps(digests()).encode())
    os._exit(0)
os.close(w)
data = b""
while chunk := os.read(r, 1 << 16):
    data += chunk
os.waitpid(pid, 0)
print(json.dumps({"parent": parent, "child": json.loads(data)}))
"""


def test_forked_child_runs_every_kernel_with_the_parents_bits():
    result = run_deadlined(FIND_KERNELS + FORKED)
    assert result["child"] == result["parent"]


INTERRUPTED = textwrap.dedent("""
    import sys, time
    import numpy as np
    import zelk._kernels as K

    # A broadcast design is read in place: minutes of work on no memory.
    Phi = np.broadcast_to(np.linspace(-1, 1, 64), (400_000_000, 64))
    z = np.broadcast_to(1.0, (400_000_000,))
    call = {"weighted_gram": lambda: K.weighted_gram(Phi),
            "bisquare_normal_equations": lambda: K.bisquare_normal_equations(Phi, z, np.zeros(64), 1.0, 4.685)}
    print("started", flush=True)
    try:
        call[sys.argv[1]]()
    except BaseException as e:
        print(type(e).__name__, time.monotonic(), time.thread_time(), flush=True)
    else:
        print("finished", flush=True)
""")


@pytest.mark.parametrize("call", ["weighted_gram", "bisquare_normal_equations"])
def test_sigint_stops_a_long_pass_promptly(call):
    child = subprocess.Popen([sys.executable, "-c", FIND_KERNELS + INTERRUPTED, call], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "started\n", child.communicate()[1]
        time.sleep(0.3)
        cpu = thread_cpu_seconds(child.pid)
        sent = time.monotonic()
        child.send_signal(__import__("signal").SIGINT)
        caught, when, cpu_when = child.stdout.readline().split()
        assert child.wait(timeout=30) == 0, child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert caught == "KeyboardInterrupt"
    wall = float(when) - sent
    # On a crowded machine the child may wait for a core: then count only its own CPU time.
    delay = wall if wall < LIMIT or wall > 10 * LIMIT + 2 else float(cpu_when) - cpu
    assert delay < LIMIT, f"{call} ran {delay:.3f} s after SIGINT"


def test_stub_describes_the_module():
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "zelk._kernels"], capture_output=True,
                         text=True, timeout=300, cwd=here)
    assert out.returncode == 0, out.stdout + out.stderr
    stub = ast.parse(open(os.path.join(here, "..", "zelk", "_kernels.pyi")).read())
    assert ast.get_docstring(stub) == K.__doc__
    for fn in (node for node in stub.body if isinstance(node, ast.FunctionDef)):
        defaults = [None] * (len(fn.args.args) - len(fn.args.defaults)) + fn.args.defaults
        want = [(a.arg, None if d is None else repr(ast.literal_eval(d))) for a, d in zip(fn.args.args, defaults)]
        line = getattr(K, fn.name).__doc__.splitlines()[0]  # the signature pybind11 generates
        got = []
        for part in line[line.index("(") + 1: line.rindex(") ->")].split(", "):
            name, _, rest = part.partition(": ")
            got.append((name, rest.split(" = ")[1] if " = " in rest else None))
        assert got == want, fn.name
