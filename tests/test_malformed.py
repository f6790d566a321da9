"""Malformed input, systematically.

Every function and the sampler is called with generated arguments: random shapes (empty,
mismatched, one column, zero-sized but enormous), element types (integers, bool, float32, long
double, complex, object), layouts (Fortran order, strided, reversed, unaligned, big-endian),
NaN and infinite values, and wrong types for every argument. Each argument is drawn together
with what the module's conversion makes of it (a float64 array, a number, or a refusal), so
every call has a predicted outcome: the function's result, checked against NumPy where that
is cheap, or the error the project has decided on for that input. Nothing may crash or hang;
the sanitizer run of this file checks that nothing reads or writes outside an array.

The examples are derandomized, so CI runs the same cases every time;
ZELK_HYPOTHESIS_PROFILE=soak draws twenty times as many, at random. The number of calls per
function and how they ended is printed at the end of the run.
"""

import collections
import faulthandler
import itertools
import json
import math
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import zelk_core as z

pytestmark = pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")

settings.register_profile(
    "zelk-ci", deadline=None, derandomize=True, database=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much])
settings.register_profile("zelk-soak", settings.get_profile("zelk-ci"), derandomize=False)
PROFILE = "zelk-" + os.environ.get("ZELK_HYPOTHESIS_PROFILE", "ci")
SCALE = 20 if PROFILE == "zelk-soak" else 1


def cases(n):
    return settings(settings.get_profile(PROFILE), max_examples=n * SCALE)


# --- Calls, outcomes and their tally ----------------------------------------------------------

HANG_SECONDS = 300  # one call takes milliseconds; a call still running after this has hung
ALLOWED = (TypeError, ValueError, RuntimeError, MemoryError)


class Tally:
    """Calls per function and how they ended, printed in pytest's closing summary."""

    def __init__(self):
        self.calls = collections.defaultdict(collections.Counter)

    def pytest_terminal_summary(self, terminalreporter):
        if not self.calls:
            return
        terminalreporter.write_sep("-", "malformed input: generated calls per function")
        for name, outcomes in self.calls.items():
            detail = ", ".join(f"{k} {v}" for k, v in outcomes.most_common())
            terminalreporter.write_line(f"{name:36} {sum(outcomes.values()):6}  ({detail})")


TALLY = Tally()


@pytest.fixture(scope="module", autouse=True)
def tally_report(request):
    if not request.config.pluginmanager.is_registered(TALLY):
        request.config.pluginmanager.register(TALLY, "zelk-malformed-tally")
    yield


def attempt(data, name, fn, params):
    """Calls fn with params (name -> Arg), a random number of them positionally and the rest by
    keyword. Returns the result, or the exception if it is one of the allowed kinds (which must
    carry a message); anything else propagates and fails the test."""
    items = list(params.items())
    n_pos = data.draw(st.integers(0, len(items)), label=f"{name}: positional arguments")
    args = [a.obj for _, a in items[:n_pos]]
    kwargs = {k: a.obj for k, a in items[n_pos:]}
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        out = fn(*args, **kwargs)
    except ALLOWED as e:
        TALLY.calls[name][type(e).__name__] += 1
        assert str(e).strip(), f"{name} raised {type(e).__name__} without a message"
        return e
    finally:
        faulthandler.cancel_dump_traceback_later()
    TALLY.calls[name]["returned"] += 1
    return out


def expect_error(out, exc, pattern):
    assert isinstance(out, exc), f"expected {exc.__name__} matching {pattern!r}, got {out!r}"
    assert re.search(pattern, str(out)), f"{exc.__name__} {str(out)!r} does not match {pattern!r}"


def expect_refusal(out, name, kind="function"):
    expect_error(out, TypeError, rf"^{name}\(\): incompatible {kind} arguments\. ")


def returned(out):
    assert not isinstance(out, BaseException), f"raised {type(out).__name__}: {out}"
    return out


def same_float(got, want, rel=1e-12, abs_=0.0):
    assert isinstance(got, float)
    assert got == pytest.approx(float(want), rel=rel, abs=abs_, nan_ok=True), (got, want)


def result_array(out, shape):
    """A result array as the frame makes it: float64, writeable, F-contiguous, the right shape."""
    assert isinstance(out, np.ndarray) and out.dtype == np.float64 and out.shape == shape
    assert out.flags.writeable and out.flags.f_contiguous
    return out


# --- Arguments and what they convert to -------------------------------------------------------

class Refused:
    def __repr__(self):
        return "REFUSED"


REFUSED = Refused()


class Arg:
    """An argument as passed (obj) and as the module's conversion sees it (value): a float64
    array, a number, None for an absent optional matrix, or REFUSED."""

    def __init__(self, obj, value):
        self.obj, self.value = obj, value

    @property
    def refused(self):
        return self.value is REFUSED

    def __repr__(self):
        o = self.obj
        shown = f"ndarray{o.shape} {o.dtype} {o.strides}" if isinstance(o, np.ndarray) else repr(o)
        return f"Arg({shown[:200]} -> {self.value!r:.200})"


def any_refused(*args):
    return any(a.refused for a in args)


FINITE = st.floats(-1e3, 1e3)
TIES = st.integers(-3, 3).map(float)
NONFINITE = st.one_of(FINITE, st.sampled_from([np.nan, np.inf, -np.inf, -0.0, 5e-324]))


@st.composite
def values(draw, shape):
    elements = draw(st.sampled_from([FINITE, FINITE, TIES, NONFINITE]))
    return draw(hnp.arrays(np.float64, shape, elements=elements))


def _strided(a):
    big = np.zeros(tuple(2 * s + 1 for s in a.shape))
    view = big[tuple(slice(1, None, 2) for _ in a.shape)]
    view[...] = a
    return view


def _unaligned(a):
    if a.size == 0:
        return a
    raw = np.zeros(a.nbytes + 1, np.uint8)
    u = raw[1:].view(np.float64).reshape(a.shape)
    u[...] = a
    assert not u.flags.aligned
    return u


def _readonly(a):
    r = a.copy()
    r.flags.writeable = False
    return r


def _ints(a, dtype):
    lim = np.iinfo(dtype)
    return np.nan_to_num(a, nan=0.0, posinf=lim.max, neginf=lim.min).round().clip(lim.min, lim.max).astype(dtype)


def _nested(a, kind):
    return kind(_nested(x, kind) for x in a) if a.ndim > 1 else kind(a.tolist())


class ArrayLike:
    """Not an array, but NumPy knows how to make one of it."""

    def __init__(self, a):
        self.a = a

    def __array__(self, dtype=None, copy=None):
        return self.a if dtype is None else self.a.astype(dtype)

    def __repr__(self):
        return f"ArrayLike({self.a!r})"


def _with_text(a):
    o = a.astype(object)
    if o.size:
        o.flat[o.size // 2] = "x"
        return o, REFUSED
    return o, a


def _with_none(a):
    """NumPy casts None in an object array to NaN."""
    o, want = a.astype(object), a.copy()
    if o.size:
        o.flat[0] = None
        want.flat[0] = np.nan
    return o, want


# Each form turns a float64 array into an argument and says what NumPy's conversion to float64
# makes of it (REFUSED when that fails).
FORMS = {
    "float64": lambda a: (a, a),
    "fortran": lambda a: (np.asfortranarray(a), a),
    "strided": lambda a: (_strided(a), a),
    "reversed": lambda a: (np.flip(np.flip(a).copy()), a),
    "unaligned": lambda a: (_unaligned(a), a),
    "big-endian": lambda a: (a.astype(">f8"), a),
    "read-only": lambda a: (_readonly(a), a),
    "float32": lambda a: (f := a.astype(np.float32), f.astype(np.float64)),
    "longdouble": lambda a: (a.astype(np.longdouble), a),
    "int64": lambda a: (i := _ints(a, np.int64), i.astype(np.float64)),
    "int8": lambda a: (i := _ints(a, np.int8), i.astype(np.float64)),
    "uint16": lambda a: (i := _ints(a, np.uint16), i.astype(np.float64)),
    "bool": lambda a: (a > 0, (a > 0).astype(np.float64)),
    "complex": lambda a: (a + 0.5j, a),
    "object": lambda a: (a.astype(object), a),
    "object with text": _with_text,
    "object with None": _with_none,
    "list": lambda a: (a.tolist(), np.array(a.tolist(), dtype=np.float64)),
    "tuple": lambda a: (t := _nested(a, tuple), np.array(t, dtype=np.float64)),
    "array-like": lambda a: (ArrayLike(a), a),
}

MALFORMED_FORMS = ["object with text"]
WELLFORMED_FORMS = [f for f in FORMS if f not in MALFORMED_FORMS]

NOT_ARRAYS = [None, "abc", b"xy", 2.5, np.float64(1.0), 1j, {}, {"a": 1.0}, object(),
              [[1.0, 2.0], [3.0]], [1.0, "x"], [[None], 1.0], np.ones((2, 2, 2))]


def vector_rule(a):
    """A Vector: 1-D, or 2-D with one column."""
    if a is REFUSED or a.ndim not in (1, 2) or (a.ndim == 2 and a.shape[1] != 1):
        return REFUSED
    return a.reshape(-1)


def matrix_rule(a):
    """A Matrix: 2-D, or 1-D taken as one column."""
    if a is REFUSED or a.ndim not in (1, 2):
        return REFUSED
    return a.reshape(-1, 1) if a.ndim == 1 else a


def present(draw, a, rule, malformed):
    forms = MALFORMED_FORMS if malformed == "element" else WELLFORMED_FORMS
    with np.errstate(all="ignore"):
        obj, conv = FORMS[draw(st.sampled_from(forms), label="form")](a)
    return Arg(obj, rule(conv))


def malformation(draw):
    """Mostly nothing; one argument in twelve is not an array, has a shape of the wrong kind or
    an element that is no number."""
    return draw(st.sampled_from([None] * 33 + ["type", "shape", "element"]), label="malformed")


@st.composite
def vectors(draw, length=st.integers(0, 24)):
    bad = malformation(draw)
    if bad == "type":
        return Arg(draw(st.sampled_from(NOT_ARRAYS)), REFUSED)
    m = draw(length)
    v = draw(values((m,)))
    shapes = ["row", "3-D", "scalar"] if bad == "shape" else ["flat", "flat", "column"]
    shape = draw(st.sampled_from(shapes), label="shape")
    if shape == "scalar":
        return Arg(float(v[0]) if m else 0.0, REFUSED)
    a = {"flat": v, "column": v.reshape(m, 1), "row": v.reshape(1, m), "3-D": v.reshape(m, 1, 1)}[shape]
    return present(draw, a, vector_rule, bad)


@st.composite
def matrices(draw, rows=st.integers(0, 10), cols=st.integers(0, 5), not_arrays=NOT_ARRAYS):
    bad = malformation(draw)
    if bad == "type":
        return Arg(draw(st.sampled_from(not_arrays)), REFUSED)
    r, c = draw(rows), draw(cols)
    A = draw(values((r, c)))
    if bad == "shape":
        A = A[..., None]
    elif c == 1 and rarely(draw, 4, "one column as 1-D"):
        A = A[:, 0]
    return present(draw, A, matrix_rule, bad)


@st.composite
def penalties(draw, p, optional=False):
    """A penalty matrix for p coefficients: p x p, now and then of another size, and for an
    optional one now and then None. None is a valid absent penalty there, never "not an array"."""
    if optional and rarely(draw, 4, "absent"):
        return Arg(None, None)
    not_arrays = [a for a in NOT_ARRAYS if a is not None] if optional else NOT_ARRAYS
    if rarely(draw, 8, "not p x p"):
        return draw(matrices(st.integers(0, 6), st.integers(0, 6), not_arrays))
    return draw(matrices(st.just(p), st.just(p), not_arrays))


def uncastable_penalty(name, R):
    """The message for an optional penalty that does not convert: the argument and its type."""
    t = type(R.obj)
    typename = t.__qualname__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__qualname__}"
    return rf"^Unable to cast Python instance of type {re.escape(typename)} to a float64 matrix for argument {name}$"


class IndexLike:
    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i

    def __repr__(self):
        return f"IndexLike({self.i})"


class IntOnly:
    """A number only through __int__ and __float__: an int parameter truncates it."""

    def __init__(self, x):
        self.x = x

    def __int__(self):
        return int(self.x)

    def __float__(self):
        return float(self.x)

    def __repr__(self):
        return f"IntOnly({self.x})"


def int_rule(v, lo=-2**31, hi=2**31 - 1):
    """What an int (or, with its range, the unsigned 64-bit) parameter makes of v."""
    if isinstance(v, float):
        return REFUSED
    try:
        i = v.__index__() if hasattr(type(v), "__index__") else None
        if i is None:
            if not (hasattr(type(v), "__int__") or hasattr(type(v), "__float__") or isinstance(v, complex)):
                return REFUSED
            i = int(v)
    except (TypeError, ValueError, OverflowError):
        return REFUSED
    return i if lo <= i <= hi else REFUSED


def float_rule(v):
    """What a double parameter makes of v."""
    if isinstance(v, (str, bytes)):
        return REFUSED
    try:
        return float(v)
    except (TypeError, ValueError, OverflowError):
        return REFUSED


NOT_NUMBERS = [None, "1", b"1", [1], (1,), {}, 1j, np.complex128(1), object()]


@st.composite
def ints(draw, lo, hi, *extremes, bad_one_in=12):
    """An int argument: mostly in lo .. hi, now and then one of the extremes, in the many ways
    Python can say an integer, and now and then something that is not one."""
    if rarely(draw, bad_one_in):
        v = draw(st.sampled_from(NOT_NUMBERS + [2.0, np.float64(2.0), 2**31, -2**31 - 1, 2**64]))
    else:
        i = draw(st.sampled_from(extremes) if extremes and rarely(draw, 6, "extreme") else st.integers(lo, hi))
        wrap = draw(st.sampled_from(["int"] * 4 + ["int64", "int32", "index", "intonly", "float32"]))
        if wrap == "int64":
            v = np.int64(i)
        elif wrap == "int32" and -2**31 <= i < 2**31:
            v = np.int32(i)
        elif wrap == "index":
            v = IndexLike(i)
        elif wrap == "intonly":
            v = IntOnly(i + 0.75 if i >= 0 else i - 0.75)  # truncated back to i
        elif wrap == "float32" and abs(i) < 2**24:
            v = np.float32(i)  # not a float subclass: converted by int()
        else:
            v = True if i == 1 and draw(st.booleans()) else i
    return Arg(v, int_rule(v))


@st.composite
def floats(draw, bad_one_in=12):
    if rarely(draw, bad_one_in):
        v = draw(st.sampled_from(NOT_NUMBERS + ["0.5", 10**400]))
    else:
        x = draw(NONFINITE)
        wrap = draw(st.sampled_from(["float"] * 5 + ["int", "float32", "int64", "index", "bool"]))
        if wrap == "int" and math.isfinite(x):
            v = int(x)
        elif wrap == "float32":
            v = np.float32(x)
        elif wrap == "int64" and math.isfinite(x):
            v = np.int64(int(x))
        elif wrap == "index" and math.isfinite(x):
            v = IndexLike(int(x))
        elif wrap == "bool":
            v = x > 0
        else:
            v = x
    return Arg(v, float_rule(v))


# --- NumPy renderings of the module's functions -----------------------------------------------

def np_mad(v):
    if v.size == 0:
        return 0.0
    if np.isnan(v).any():
        return np.nan
    with np.errstate(all="ignore"):
        return float(np.median(np.abs(v - np.median(v))))


def np_sr(yp, yt, eps):
    n = yt.size
    if n == 0:
        return np.nan
    with np.errstate(all="ignore"):
        hits = np.count_nonzero(np.abs(yp[:n] - yt) < eps)
    sr, floor = hits / n, 1.0 / (2.0 * n)
    return floor if sr < floor else sr


def np_score(yp, yt, k, H, beta=None, penalties=()):
    """The score, and the size of its terms (what its rounding error is relative to)."""
    n = yt.size
    m = np_mad(yt)
    sr = np_sr(yp, yt, 0.4 * m if m > 0 else 0.4)
    with np.errstate(all="ignore"):
        logHk = np.float64(k) * np.log(2.0 * np.float64(H)) if k > 0 else np.float64(0.0)
        fit, complexity = np.float64(-n) * np.log(np.float64(sr)), logHk / np.float64(n) * k
        L, scale = fit + complexity, abs(fit) + abs(complexity)
        for R, g in penalties:
            if g != 0 and R is not None:
                L = L + g * (beta @ (R @ beta))
                scale = scale + abs(g) * (abs(beta) @ (abs(R) @ abs(beta)))
    return float(L), float(scale)


def deriv_rows(x, deg, order):
    """Rows of d^order/dx^order x^p, p = 0 .. deg, at the points x."""
    x = np.atleast_1d(np.asarray(x, dtype=np.float64))
    out = np.zeros((x.size, deg + 1))
    with np.errstate(all="ignore"):
        for p in range(order, deg + 1):
            out[:, p] = math.perm(p, order) * x ** (p - order)
    return out


def assert_psd_sum_close(got, want):
    """Entries of a sum of Gram matrices: within a small share of the largest diagonal entry."""
    scale = np.max(np.abs(np.diag(want)), initial=0.0)
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-9 * scale)


# --- Statistics and scores --------------------------------------------------------------------

@cases(300)
@given(st.data())
def test_mad(data):
    y = data.draw(vectors(), label="y")
    out = attempt(data, "mad", z.mad, {"y": y})
    if y.refused:
        return expect_refusal(out, "mad")
    same_float(returned(out), np_mad(y.value), rel=0)


@st.composite
def paired_vectors(draw):
    """Two vectors of the same length, or now and then of different lengths."""
    m = draw(st.integers(0, 24))
    other = st.integers(0, 24) if rarely(draw, 4, "other length") else st.just(m)
    return draw(vectors(other)), draw(vectors(st.just(m)))


def targets(data, rows):
    """A vector of the given length, or now and then of another."""
    return vectors(st.integers(0, 12) if rarely(data.draw, 5, "other length") else st.just(rows))


def counted(n, unit):
    """The module's wording of a count: "1 entry", "2 entries", "1 row"."""
    singular = {"entries": "entry"}.get(unit, unit[:-1])
    return f"{n} {singular if n == 1 else unit}"


def length_mismatch(name, size, other, count, unit):
    """The message of a length check: "y has 7 entries, but X has 10 rows"."""
    return rf"^{name} has {counted(size, 'entries')}, but {other} has {counted(count, unit)}$"


def short_yp(yp, yt):
    return f"^yp has {counted(yp.value.size, 'entries')}, fewer than the {counted(yt.value.size, 'entries')} of yt$"


@cases(300)
@given(st.data())
def test_compute_sr(data):
    yp, yt = data.draw(paired_vectors(), label="yp, yt")
    eps = data.draw(floats(), label="eps")
    out = attempt(data, "compute_sr", z.compute_sr, {"yp": yp, "yt": yt, "eps": eps})
    if any_refused(yp, yt, eps):
        return expect_refusal(out, "compute_sr")
    if yp.value.size < yt.value.size:
        return expect_error(out, ValueError, short_yp(yp, yt))
    same_float(returned(out), np_sr(yp.value, yt.value, eps.value), rel=0)


@cases(300)
@given(st.data())
def test_mdl_score(data):
    yp, yt = data.draw(paired_vectors(), label="yp, yt")
    k = data.draw(ints(-3, 40, 2**31 - 1, -2**31), label="k")
    H = data.draw(ints(-3, 40, 2**31 - 1, -2**31), label="H")
    out = attempt(data, "mdl_score", z.mdl_score, {"yp": yp, "yt": yt, "k": k, "H": H})
    if any_refused(yp, yt, k, H):
        return expect_refusal(out, "mdl_score")
    if yp.value.size < yt.value.size:
        return expect_error(out, ValueError, short_yp(yp, yt))
    want, scale = np_score(yp.value, yt.value, k.value, H.value)
    same_float(returned(out), want, rel=1e-12, abs_=1e-12 * scale)


def misfit_penalty(name, R, gamma, p):
    """The project's message for a penalty that would be applied but is not p x p."""
    if gamma.value != 0 and R.value is not None and R.value.shape != (p, p):
        return rf"^{name} must be {p} x {p} to match the coefficients, got {R.value.shape[0]} x {R.value.shape[1]}$"
    return None


@cases(300)
@given(st.data())
def test_mdl_score_reg(data):
    yp, yt = data.draw(paired_vectors(), label="yp, yt")
    k = data.draw(ints(-3, 10), label="k")
    H = data.draw(ints(-3, 40), label="H")
    p = data.draw(st.integers(0, 5), label="p")
    beta = data.draw(vectors(st.just(p)), label="beta")
    R1, R2 = data.draw(penalties(p), label="R1"), data.draw(penalties(p), label="R2")
    g1, g2 = data.draw(floats(), label="gamma1"), data.draw(floats(), label="gamma2")
    params = {"yp": yp, "yt": yt, "k": k, "H": H, "beta": beta, "R1": R1, "R2": R2,
              "gamma1": g1, "gamma2": g2}
    out = attempt(data, "mdl_score_reg", z.mdl_score_reg, params)
    if any_refused(*params.values()):
        return expect_refusal(out, "mdl_score_reg")
    if yp.value.size < yt.value.size:
        return expect_error(out, ValueError, short_yp(yp, yt))
    b = beta.value
    for name, R, g in (("R1", R1, g1), ("R2", R2, g2)):
        if message := misfit_penalty(name, R, g, b.size):
            return expect_error(out, ValueError, message)
    want, scale = np_score(yp.value, yt.value, k.value, H.value, b,
                           [(R1.value, g1.value), (R2.value, g2.value)])
    same_float(returned(out), want, rel=1e-12, abs_=1e-12 * scale)


# --- Bases and penalties ----------------------------------------------------------------------

@cases(300)
@given(st.data())
def test_design_matrix_1d(data):
    deg = data.draw(ints(-3, 12), label="deg")
    x = data.draw(vectors(), label="x")
    out = attempt(data, "design_matrix_1d", z.design_matrix_1d, {"deg": deg, "x": x})
    if any_refused(deg, x):
        return expect_refusal(out, "design_matrix_1d")
    if deg.value < 0:
        return expect_error(out, ValueError, "^deg < 0$")
    xs = x.value
    want = np.ones((xs.size, deg.value + 1))
    for p in range(1, deg.value + 1):
        want[:, p] = want[:, p - 1] * xs
    np.testing.assert_array_equal(result_array(returned(out), want.shape), want)


@cases(250)
@given(st.data())
def test_smoothness_penalty_matrices_1d(data):
    deg = data.draw(ints(-2, 8), label="deg")
    x_min, x_max = data.draw(floats(), label="x_min"), data.draw(floats(), label="x_max")
    n_grid = data.draw(ints(-2, 40), label="n_grid")
    params = {"deg": deg, "x_min": x_min, "x_max": x_max, "n_grid": n_grid}
    out = attempt(data, "smoothness_penalty_matrices_1d", z.smoothness_penalty_matrices_1d, params)
    if any_refused(*params.values()):
        return expect_refusal(out, "smoothness_penalty_matrices_1d")
    if deg.value < 0:
        return expect_error(out, ValueError, "^deg < 0$")
    if n_grid.value < 2:
        return expect_error(out, ValueError, "^n_grid < 2$")
    M, n, lo, hi = deg.value + 1, n_grid.value, x_min.value, x_max.value
    R1, R2 = returned(out)
    for R in (R1, R2):
        result_array(R, (M, M))
        np.testing.assert_array_equal(R, R.T)
    if not all(math.isfinite(v) and abs(v) <= 10 for v in (lo, hi)):
        return
    dx = (hi - lo) / (n - 1)
    x = lo + np.arange(n) * dx
    for R, order in ((R1, 1), (R2, 2)):
        d = deriv_rows(x, deg.value, order)
        assert_psd_sum_close(R, d.T @ d * dx)


@cases(250)
@given(st.data())
def test_boundary_reduce_1d(data):
    deg = data.draw(ints(-3, 12), label="deg")
    x_min, x_max = data.draw(floats(), label="x_min"), data.draw(floats(), label="x_max")
    params = {"deg": deg, "x_min": x_min, "x_max": x_max}
    out = attempt(data, "boundary_reduce_1d", z.boundary_reduce_1d, params)
    if any_refused(*params.values()):
        return expect_refusal(out, "boundary_reduce_1d")
    if deg.value < -1:
        return expect_error(out, ValueError, "^deg < 0$")
    M = deg.value + 1
    S = result_array(returned(out), (M, M))
    np.testing.assert_array_equal(S, S.T)
    if M == 0 or not all(math.isfinite(v) and abs(v) <= 10 for v in (x_min.value, x_max.value)):
        return
    a1, a2, b1, b2 = (deriv_rows(x, deg.value, o)[0] for x in (x_min.value, x_max.value) for o in (1, 2))
    hi, lo = np.outer(b2, b1), np.outer(a2, a1)
    want = 0.5 * ((hi - lo) + (hi - lo).T)
    np.testing.assert_allclose(S, want, rtol=1e-12, atol=1e-12 * (np.abs(hi).max() + np.abs(lo).max()))


EXPONENT = st.one_of(st.integers(-3, 6), st.sampled_from([2**31 - 1, -2**31, 64]))


def rarely(draw, one_in, label="malformed"):
    """True about once in one_in draws (False first: what hypothesis favours and shrinks to)."""
    return draw(st.sampled_from([False] * (one_in - 1) + [True]), label=label)


@st.composite
def int_lists(draw, size, item, bad_one_in=12):
    """A list-of-int argument (in one of the forms a sequence converts from) and its items;
    REFUSED when an item or the whole does not convert."""
    items = draw(st.lists(item, min_size=size, max_size=size))
    if rarely(draw, bad_one_in):
        if draw(st.booleans()):
            return Arg("".join(str(abs(i) % 10) for i in items), REFUSED)  # text is no sequence here
        bad = draw(st.sampled_from([1.0, "1", None, 2**31, [1]]))
        pos = draw(st.integers(0, len(items)))
        return Arg(items[:pos] + [bad] + items[pos:], REFUSED)
    form = draw(st.sampled_from(["list", "list", "tuple", "array", "generator", "range"]))
    if form == "tuple":
        return Arg(tuple(items), items)
    if form == "array" and all(-2**31 <= i < 2**31 for i in items):
        return Arg(np.array(items, dtype=np.int64), items)
    if form == "generator":
        return Arg((i for i in items), items)
    if form == "range" and len(items) > 1 and items[1] - items[0] != 0:
        step = items[1] - items[0]
        r = range(items[0], items[0] + step * len(items), step)
        return Arg(r, list(r) if all(-2**31 <= i < 2**31 for i in r) else REFUSED)
    return Arg(list(items), items)


@st.composite
def multi_index_lists(draw, D):
    count = draw(st.integers(0, 6))
    def length():
        return draw(st.sampled_from([max(D - 1, 0), D + 1])) if rarely(draw, 30, "other length") else D
    mis = [draw(int_lists(length(), EXPONENT, bad_one_in=40)) for _ in range(count)]
    if rarely(draw, 24):
        return Arg(draw(st.sampled_from([None, "ab", 3, {1: 2}, [[1], 2]])), REFUSED)
    value = REFUSED if any_refused(*mis) else [m.value for m in mis]
    obj = [m.obj for m in mis]
    return Arg(tuple(obj) if draw(st.booleans()) else obj, value)


@st.composite
def sample_columns(draw, D):
    n = draw(st.integers(0, 20))
    if D and rarely(draw, 6, "as one array"):  # a Vector per row
        A = draw(values((D, n)))
        return Arg(A, [A[d] for d in range(D)])
    if rarely(draw, 24):
        return Arg(draw(st.sampled_from([None, "ab", 3.0, np.arange(3.0)])), REFUSED)
    cols = [draw(vectors(st.integers(0, 20) if rarely(draw, 12, "other length") else st.just(n)))
            for _ in range(D)]
    value = REFUSED if any_refused(*cols) else [c.value for c in cols]
    objs = [c.obj for c in cols]
    if rarely(draw, 24):  # not one of the iterables a sequence argument drains
        return Arg(iter(objs), REFUSED)
    form = draw(st.sampled_from(["list", "list", "tuple", "generator", "map"]))
    if form == "generator":
        return Arg((c for c in objs), value)
    return Arg({"list": list, "tuple": tuple, "map": lambda o: map(lambda c: c, o)}[form](objs), value)


@cases(300)
@given(st.data())
def test_design_matrix_nd(data):
    D = data.draw(st.sampled_from([1, 2, 3, 1, 2, 0]), label="D")
    mis = data.draw(multi_index_lists(D), label="multi_indices")
    X = data.draw(sample_columns(D), label="X_cols")
    out = attempt(data, "design_matrix_nd", z.design_matrix_nd, {"multi_indices": mis, "X_cols": X})
    if any_refused(mis, X):
        return expect_refusal(out, "design_matrix_nd")
    cols = X.value
    if not cols:
        return expect_error(out, ValueError, "^X_cols holds no sample vectors$")
    n = cols[0].size
    for d, c in enumerate(cols):
        if c.size < n:
            return expect_error(out, ValueError, rf"^X_cols\[{d}\] has {counted(c.size, 'entries')}, fewer than the {counted(n, 'entries')} of X_cols\[0\]$")
    for m, mi in enumerate(mis.value):
        if len(mi) < len(cols):
            return expect_error(out, ValueError, rf"^multi_indices\[{m}\] has {counted(len(mi), 'entries')}, fewer than the {counted(len(cols), 'vectors')} of X_cols$")
    want = np.ones((n, len(mis.value)))
    with np.errstate(all="ignore"):
        for j, mi in enumerate(mis.value):
            for d, c in enumerate(cols):
                if mi[d] > 0:
                    want[:, j] *= c[:n] ** float(mi[d])
    got = result_array(returned(out), want.shape)
    np.testing.assert_allclose(got, want, rtol=1e-13, atol=0)


def test_design_matrix_nd_negative_infinity_to_odd_powers():
    """(-inf)^odd is -inf in every row, whether the vectorised or the scalar pow computes it."""
    x = np.full(13, -np.inf)
    Phi = z.design_matrix_nd([[1], [2], [3], [2**31 - 1]], [x])
    np.testing.assert_array_equal(Phi, np.tile([-np.inf, np.inf, -np.inf, -np.inf], (13, 1)))
    np.testing.assert_array_equal(Phi[:, 2], z.design_matrix_1d(3, x)[:, 3])


@st.composite
def bound_lists(draw, D):
    pairs, values_ = [], []
    for _ in range(D):
        lo, hi = draw(floats(bad_one_in=40)), draw(floats(bad_one_in=40))
        ok = not any_refused(lo, hi)
        if rarely(draw, 30):
            pair, value = draw(st.sampled_from([(lo.obj, hi.obj, 0.0), (lo.obj,)])), REFUSED
        else:
            shape = draw(st.sampled_from(["tuple", "tuple", "list", "array"]))
            value = (lo.value, hi.value) if ok else REFUSED
            if shape == "array" and ok:
                pair = np.array(value)
            else:
                pair = [lo.obj, hi.obj] if shape == "list" else (lo.obj, hi.obj)
        pairs.append(pair)
        values_.append(value)
    if rarely(draw, 24):
        return Arg(draw(st.sampled_from([None, "ab", 1.0, [1.0, 2.0]])), REFUSED)
    value = REFUSED if any(v is REFUSED for v in values_) else values_
    if value is not REFUSED and D and rarely(draw, 5, "as one array"):
        return Arg(np.array(value, dtype=np.float64).reshape(D, 2), value)
    return Arg(pairs, value)


def penalties_nd_reference(degrees, bounds, n):
    """Gradient and Hessian penalties by the grid sums themselves, with NumPy."""
    D = len(degrees)
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    dV = 1.0
    for lo, hi in bounds:
        dV = (hi - lo) / (n - 1) * dV
    mis = list(itertools.product(*(range(d + 1) for d in degrees)))
    grid = [g.ravel() for g in np.meshgrid(*axes, indexing="ij")]

    def table(orders):
        T = np.ones((n ** D, len(mis)))
        for m, mi in enumerate(mis):
            for d in range(D):
                T[:, m] *= deriv_rows(grid[d], mi[d], orders[d])[:, mi[d]] if orders[d] else grid[d] ** mi[d]
        return T

    unit = np.eye(D, dtype=int)
    R1 = sum((T.T @ T for T in (table(unit[i]) for i in range(D))), np.zeros((len(mis),) * 2))
    R2 = sum((T.T @ T for T in (table(unit[i] + unit[j]) for i in range(D) for j in range(D))),
             np.zeros((len(mis),) * 2))
    return R1 * dV, R2 * dV, [list(mi) for mi in mis]


@cases(300)
@given(st.data())
def test_build_penalty_matrices_nd(data):
    D = data.draw(st.sampled_from([1, 2, 3, 1, 2, 0]), label="D")
    degree = st.sampled_from([-2, -1]) if rarely(data.draw, 10, "negative degree") else st.integers(0, 3)
    degrees = data.draw(int_lists(D, degree), label="degrees")
    D_bounds = data.draw(st.sampled_from([D + 1, max(D - 1, 0)])) if rarely(data.draw, 10, "other length") else D
    bounds = data.draw(bound_lists(D_bounds), label="bounds")
    n = data.draw(ints(2, 7, -1, 0, 1), label="n_grid_per_dim")
    params = {"degrees": degrees, "bounds": bounds, "n_grid_per_dim": n}
    out = attempt(data, "build_penalty_matrices_nd", z.build_penalty_matrices_nd, params)
    if any_refused(*params.values()):
        return expect_refusal(out, "build_penalty_matrices_nd")
    degs, bnds = degrees.value, bounds.value
    if len(degs) != len(bnds):
        return expect_error(out, ValueError, r"^Dimension mismatch\.$")
    if any(d < -1 for d in degs):
        return expect_error(out, ValueError, "^degree < -1$")
    if n.value < 2:
        return expect_error(out, ValueError, "^n_grid_per_dim < 2$")
    R1, R2, mis = returned(out)
    M = math.prod(d + 1 for d in degs)
    assert mis == [list(mi) for mi in itertools.product(*(range(d + 1) for d in degs))]
    for R in (R1, R2):
        result_array(R, (M, M))
        np.testing.assert_array_equal(R, R.T)
    if M == 0 or not all(math.isfinite(v) and abs(v) <= 10 for b in bnds for v in b):
        return
    want1, want2, _ = penalties_nd_reference(degs, bnds, n.value)
    assert_psd_sum_close(R1, want1)
    assert_psd_sum_close(R2, want2)


# --- Linear fits ------------------------------------------------------------------------------

def design_shape(data):
    """Rows and columns of a design: mostly small, sometimes past the sizes where Eigen's products
    change method, and now and then no rows and a million columns."""
    rows = data.draw(st.sampled_from([0] * 3 + list(range(1, 13)) + [40]), label="rows")
    cols = data.draw(st.sampled_from(list(range(6)) + [24] + ([10**6] if rows == 0 else [])), label="columns")
    return rows, cols


@cases(250)
@given(st.data())
def test_ols(data):
    rows, cols = design_shape(data)
    X = data.draw(matrices(st.just(rows), st.just(cols)), label="X")
    y = data.draw(targets(data, rows), label="y")
    out = attempt(data, "ols", z.ols, {"X": X, "y": y})
    if any_refused(X, y):
        return expect_refusal(out, "ols")
    A, b = X.value, y.value
    m, p = A.shape
    if b.size != m:
        return expect_error(out, ValueError, length_mismatch("y", b.size, "X", m, "rows"))
    beta = result_array(returned(out), (p,))
    if not (np.isfinite(A).all() and np.isfinite(b).all()):
        assert np.isnan(beta).all()
    elif A.size == 0 or not A.any():
        assert not beta.any()
    else:
        s = np.linalg.svd(A, compute_uv=False)
        tiny = np.finfo(float).tiny
        if s[0] < tiny:  # singular values below the smallest normal double count as zero
            assert not beta.any()
        elif s[-1] > 1e-8 * s[0] and s[-1] >= tiny:  # full rank, well conditioned
            with np.errstate(all="ignore"):
                want = np.linalg.lstsq(A, b, rcond=None)[0]
                # Rounding moves a least-squares solution by about eps (cond |x| + cond^2 |r| /
                # s_max) whatever the method; two solvers agree only beyond that. (At tiny scales,
                # e.g. X of two entries 1.2e-38 and y = [1, -1], both answers are noise around 0.)
                cond = s[0] / s[-1]
                r = np.linalg.norm(b - A @ want)
                noise = np.finfo(float).eps * (cond * np.linalg.norm(want) + cond**2 * r / s[0])
            if np.isfinite(noise):  # else the solution's scale is beyond doubles: nothing to compare
                np.testing.assert_allclose(beta, want, rtol=1e-6, atol=max(1e-9, 1e3 * noise))
        else:
            assert np.isfinite(beta).all()


@cases(250)
@given(st.data())
def test_fit_regularized_linear(data):
    rows, p = design_shape(data)
    Phi = data.draw(matrices(st.just(rows), st.just(p)), label="Phi")
    y = data.draw(targets(data, rows), label="y")
    q = min(p, 24)
    R1, R2 = (data.draw(penalties(q, optional=True), label=name) for name in ("R1", "R2"))
    g1, g2, ridge = (data.draw(floats(), label=k) for k in ("gamma1", "gamma2", "ridge"))
    params = {"Phi": Phi, "y": y, "R1": R1, "R2": R2, "gamma1": g1, "gamma2": g2, "ridge": ridge}
    out = attempt(data, "fit_regularized_linear", z.fit_regularized_linear, params)
    if any_refused(Phi, y, g1, g2, ridge):
        return expect_refusal(out, "fit_regularized_linear")
    for name, R in (("R1", R1), ("R2", R2)):
        if R.refused:
            return expect_error(out, RuntimeError, uncastable_penalty(name, R))
    A, b = Phi.value, y.value
    m, p = A.shape
    if b.size != m:
        return expect_error(out, ValueError, length_mismatch("y", b.size, "Phi", m, "rows"))
    for name, R, g in (("R1", R1, g1), ("R2", R2, g2)):
        if message := misfit_penalty(name, R, g, p):
            return expect_error(out, ValueError, message)
    applied = [(R.value, g.value) for R, g in ((R1, g1), (R2, g2)) if g.value != 0 and R.value is not None]
    if not (np.isfinite(A).all() and np.isfinite(b).all() and np.isfinite(ridge.value)
            and all(np.isfinite(g) and np.isfinite(R).all() for R, g in applied)):
        assert np.isnan(result_array(returned(out), (p,))).all()   # before any p x p storage
        return
    if 8 * p * p > 2**40:
        return expect_error(out, MemoryError, ".")
    beta = result_array(returned(out), (p,))
    with np.errstate(all="ignore"):
        N = A.T @ A + ridge.value * np.eye(p)
        for R, g in ((R1.value, g1.value), (R2.value, g2.value)):
            if g != 0 and R is not None:
                N = N + b.size * g * R
        N = np.tril(N) + np.tril(N, -1).T  # the factorisation reads the lower triangle
        rhs = A.T @ b
    if not (p and np.isfinite(N).all() and np.isfinite(rhs).all()):
        return
    eig = np.linalg.eigvalsh(N)
    # LDLT is the factorisation for semidefinite systems; compare where it is well conditioned,
    # and where no pivot can fall below the smallest normal double (it then counts as zero).
    if ((eig.min() > 0 or eig.max() < 0) and np.abs(eig).max() < 1e8 * np.abs(eig).min()
            and np.abs(eig).min() > 1e-300):
        want = np.linalg.solve(N, rhs)
        np.testing.assert_allclose(beta, want, rtol=1e-6, atol=1e-9 * max(1.0, np.abs(want).max()))


@pytest.mark.parametrize("rows, cols", [(0, 300), (0, 3), (300, 0), (0, 0)])
def test_fit_regularized_linear_empty_design(rows, cols):
    """No rows: the normal equations are ridge * I b = 0, so b = 0. No columns: an empty b.
    Neither may reach the blocked Gram product, which divides by the row count."""
    beta = z.fit_regularized_linear(np.zeros((rows, cols)), np.zeros(rows), np.eye(cols), None, 1.0)
    assert beta.shape == (cols,) and not beta.any()


# --- Entropy and the sampler ------------------------------------------------------------------

def np_gibbs(E, T):
    N = E.size
    with np.errstate(all="ignore"):
        w = np.exp(-(E - E.min()) / (T + 1e-300))
        p = w / w.sum()
        H = -(p * np.log(p + 1e-300)).sum()
        Hmax = np.log(max(N, 2))
        He = H / (Hmax + 1e-300)
        var = ((E - E.sum() / N) ** 2).sum() / N
    return {"H": H, "Hmax": Hmax, "He": He, "r_heat": He * 0.99 + 0.01, "var_E": var}


@cases(300)
@given(st.data())
def test_gibbs_entropy(data):
    E = data.draw(vectors(), label="energies")
    T = data.draw(floats(), label="T")
    out = attempt(data, "gibbs_entropy", z.gibbs_entropy, {"energies": E, "T": T})
    if any_refused(E, T):
        return expect_refusal(out, "gibbs_entropy")
    if E.value.size == 0:
        return expect_error(out, ValueError, "^energies is empty")
    g = returned(out)
    assert isinstance(g, z.GibbsResult)
    same_float(g.T, T.value, rel=0)
    scale = 1.0 + float(np.max(np.abs(E.value[np.isfinite(E.value)]), initial=0.0)) ** 2
    for field, want in np_gibbs(E.value, T.value).items():
        same_float(getattr(g, field), want, rel=1e-9, abs_=1e-12 * (scale if field == "var_E" else 1.0))


SAMPLER_SETTINGS = {  # seven settings: each one is malformed less often than a fit argument
    "n_chains": ints(1, 6, -1, 0, bad_one_in=30), "n_warmup": ints(-2, 12, bad_one_in=30),
    "n_deep": ints(-2, 15, bad_one_in=30), "n_elite": ints(-2, 6, 2**31 - 1, -2**31, bad_one_in=30),
    "step_size": floats(bad_one_in=30), "H_piH": ints(-3, 40, 2**31 - 1, -2**31, bad_one_in=30),
}


@cases(300)
@given(st.data())
def test_sampler(data):
    conf = {k: data.draw(s, label=k) for k, s in SAMPLER_SETTINGS.items()}
    seed = data.draw(st.sampled_from([-1, 2**64, 1.0, None]) if rarely(data.draw, 30)
                     else st.integers(0, 2**64 - 1), label="seed")
    conf["seed"] = Arg(seed, int_rule(seed, 0, 2**64 - 1))
    sampler = attempt(data, "TournamentMCMC", z.TournamentMCMC, conf)
    if any_refused(*conf.values()):
        return expect_refusal(sampler, "__init__", "constructor")
    returned(sampler)

    rows = data.draw(st.sampled_from([0] * 3 + list(range(1, 13)) + [40]), label="rows")
    k = data.draw(st.sampled_from([0, 1, 2, 3, 24]), label="k")
    X = data.draw(matrices(st.just(rows), st.just(k)), label="X")
    y = data.draw(targets(data, rows), label="y")
    R1, R2 = (data.draw(penalties(k, optional=True), label=name) for name in ("R1", "R2"))
    g1, g2 = data.draw(floats(), label="gamma1"), data.draw(floats(), label="gamma2")
    params = {"X": X, "y": y, "R1": R1, "R2": R2, "gamma1": g1, "gamma2": g2}
    out = attempt(data, "TournamentMCMC.fit", sampler.fit, params)
    if any_refused(X, y, g1, g2):
        return expect_refusal(out, "fit")
    for name, R in (("R1", R1), ("R2", R2)):
        if R.refused:
            return expect_error(out, RuntimeError, uncastable_penalty(name, R))
    n_chains = conf["n_chains"].value
    if n_chains < 0:
        return expect_error(out, ValueError, r"^cannot create std::vector larger than max_size\(\)$")
    if n_chains == 0:
        return expect_error(out, ValueError, "^n_chains must be at least 1$")
    m, k = X.value.shape
    if y.value.size != m:
        return expect_error(out, ValueError, length_mismatch("y", y.value.size, "X", m, "rows"))
    for name, R, g in (("R1", R1, g1), ("R2", R2, g2)):
        if message := misfit_penalty(name, R, g, k):
            return expect_error(out, ValueError, message)

    r = returned(out)
    assert r.beta_mcmc.shape == (k,) and r.beta_mcmc.dtype == np.float64 and not r.beta_mcmc.flags.writeable
    assert (r.n_chains, r.n_elite) == (n_chains, conf["n_elite"].value)
    assert r.gibbs.T == 1.0 and r.gibbs.Hmax == math.log(max(n_chains, 2))
    # The same warm-up without refinement: the same entropy summary, and no better energy.
    warm_conf = dict(conf, n_deep=Arg(0, 0))
    warm = returned(attempt(data, "TournamentMCMC.fit (warm-up only)", z.TournamentMCMC(**{a: v.obj for a, v in warm_conf.items()}).fit, params))
    for f in ("H", "He", "var_E"):
        same_float(getattr(r.gibbs, f), getattr(warm.gibbs, f), rel=0)
    if math.isfinite(r.energy) and math.isfinite(warm.energy):
        assert r.energy <= warm.energy
    if conf["n_deep"].value <= 0:
        assert r.beta_mcmc.tobytes() == warm.beta_mcmc.tobytes()


# --- Huge but cheap ---------------------------------------------------------------------------

# Small arguments that ask for an enormous result: either the result has no entries and comes
# back at once, or it could never be stored and the call fails with MemoryError on its first
# allocation (the sizes overflow or exceed any machine's memory).
@pytest.mark.parametrize("call, expected", [
    ("z.design_matrix_1d(2**31 - 1, [])", (0, 2**31)),
    ("z.design_matrix_1d(2**31 - 1, np.zeros(2**10))", MemoryError),
    ("z.smoothness_penalty_matrices_1d(2**30, 0.0, 1.0, 2)", MemoryError),
    ("z.smoothness_penalty_matrices_1d(2**31 - 1, 0.0, 1.0)", MemoryError),
    ("z.boundary_reduce_1d(2**30, 0.0, 1.0)", MemoryError),
    ("z.boundary_reduce_1d(2**31 - 1, 0.0, 1.0)", MemoryError),
    ("z.design_matrix_nd([[2**31 - 1, 2**31 - 1]] * 1000, [[], []])", (0, 1000)),
    ("z.build_penalty_matrices_nd([10**9], [(0.0, 1.0)])", MemoryError),
    ("z.build_penalty_matrices_nd([2**31 - 1], [(0.0, 1.0)])", MemoryError),
    ("z.build_penalty_matrices_nd([1] * 64, [(0.0, 1.0)] * 64, 2)", MemoryError),
    ("z.build_penalty_matrices_nd([2**31 - 1, -1], [(0.0, 1.0)] * 2)", (0, 0)),
    ("z.ols(np.zeros((0, 10**6)), [])", (10**6,)),
    ("z.fit_regularized_linear(np.zeros((0, 10**6)), [])", MemoryError),
    ("z.fit_regularized_linear(np.zeros((10**6, 0)), np.zeros(10**6))", (0,)),
])
def test_huge_but_cheap(call, expected):
    if expected is MemoryError:
        with pytest.raises(MemoryError):
            eval(call)
        return
    out = eval(call)
    assert (out[0] if isinstance(out, tuple) else out).shape == expected


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="2^31 grid points take minutes under AddressSanitizer; the plain run covers it")
def test_penalties_1d_grid_next_to_the_int_limit_finishes():
    """An n_grid within one chunk of INT_MAX: the grid index must not step past the limit."""
    n = 2**31 - 1
    code = textwrap.dedent(f"""
        import json, zelk_core as z
        R1, R2 = z.smoothness_penalty_matrices_1d(1, 0.0, 1.0, {n})
        print(json.dumps([R1.tolist(), R2.tolist()]))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    R1, R2 = json.loads(out.stdout)
    assert R1[0] == [0.0, 0.0] and R1[1][0] == 0.0
    assert R1[1][1] == pytest.approx(n / (n - 1), rel=1e-6)  # f' = 1 at n points of weight 1/(n-1)
    assert R2 == [[0.0, 0.0], [0.0, 0.0]]
