"""The module as Python sees it: import, registration, argument conversion, results, errors."""

import glob
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zelk_core as z

DOC = "ZELK-P performans-kritik cekirdegi (C++/Eigen)."

# Every public name, in registration order.
REGISTERED = [
    "mad",
    "compute_sr",
    "mdl_score",
    "mdl_score_reg",
    "design_matrix_1d",
    "smoothness_penalty_matrices_1d",
    "boundary_reduce_1d",
    "design_matrix_nd",
    "build_penalty_matrices_nd",
    "ols",
    "fit_regularized_linear",
    "GibbsResult",
    "gibbs_entropy",
    "MCMCResult",
    "TournamentMCMC",
]


def run_python(code, exe=sys.executable, env=None):
    return subprocess.run([exe, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=300)


def test_docstring_and_registration_order():
    assert z.__doc__ == DOC
    public = [k for k in vars(z) if not (k.startswith("__") and k.endswith("__"))]
    assert public == REGISTERED


def test_functions_have_only_their_signature_as_doc():
    assert z.mad.__doc__.strip() == 'mad(y: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]) -> float'
    assert z.compute_sr.__doc__.startswith("compute_sr(yp: ")


def test_import_does_not_import_numpy_until_the_first_array():
    r = run_python("""
        import sys, zelk_core
        assert 'numpy' not in sys.modules, 'numpy imported at import time'
        zelk_core.mad([1.0, 2.0])
        assert 'numpy._core.multiarray' in sys.modules
        print('ok')
    """)
    assert r.stdout.strip() == "ok", r.stderr


def test_reimport_gives_the_same_module_object():
    r = run_python("""
        import sys, zelk_core
        first = zelk_core
        del sys.modules['zelk_core']
        import zelk_core
        assert zelk_core is first
        assert zelk_core.mad is first.mad
        print('ok')
    """)
    assert r.stdout.strip() == "ok", r.stderr


def test_subinterpreters_are_refused():
    _interpreters = pytest.importorskip("_interpreters")
    interp = _interpreters.create()
    try:
        err = _interpreters.exec(interp, "import zelk_core")
    finally:
        _interpreters.destroy(interp)
    assert err is not None and err.type.__name__ == "ImportError"
    assert "subinterpreters" in err.msg


def other_interpreters():
    """CPython executables on this machine that are not 3.13."""
    found = []
    pattern = os.path.expanduser("~/.pyenv/versions/3.*/bin/python3.*[0-9]")
    for exe in sorted(glob.glob(pattern)) + sorted(glob.glob("/usr/bin/python3.[0-9]*")):
        if exe.endswith(("-config", "m")) or "3.13" in os.path.basename(exe):
            continue
        if os.access(exe, os.X_OK) and exe not in found:
            found.append(exe)
    return found


def test_other_interpreter_versions_are_refused_with_the_version_message():
    others = other_interpreters()
    if not others:
        pytest.skip("no CPython other than 3.13 on this machine")
    exe = others[-1]
    r = run_python(f"""
        import os, sys, importlib.machinery, importlib.util
        sys.setdlopenflags(os.RTLD_LAZY)  # let the module's own check run before any missing symbol
        path = {z.__file__!r}
        loader = importlib.machinery.ExtensionFileLoader('zelk_core', path)
        spec = importlib.util.spec_from_file_location('zelk_core', path, loader=loader)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as e:
            print(e)
    """, exe=exe)
    version = run_python("import sys; print(sys.version)", exe=exe).stdout.strip()
    assert r.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.13, but the interpreter "
        f"version is incompatible: {version}."), r.stderr


# --- Vector arguments -----------------------------------------------------------------------

VALUES = [1.0, 2.0, 3.0, 4.0, 100.0]


@pytest.mark.parametrize("make", [
    lambda: VALUES,
    lambda: tuple(VALUES),
    lambda: np.array(VALUES),
    lambda: np.array(VALUES, dtype=np.int64),
    lambda: np.array(VALUES, dtype=np.float32),
    lambda: np.array(VALUES).reshape(-1, 1),
    lambda: np.asfortranarray(np.array(VALUES).reshape(-1, 1)),
    lambda: np.repeat(np.array(VALUES), 3)[::3],              # strided view
    lambda: np.array(VALUES)[::-1][::-1],                      # negative strides undone
    lambda: [np.float64(v) for v in VALUES],
], ids=["list", "tuple", "float64", "int64", "float32", "column", "fortran", "strided",
        "reversed-twice", "numpy-scalars"])
def test_vector_argument_forms(make):
    assert z.mad(make()) == 1.0


def test_vector_from_bool_and_reversed_arrays():
    assert z.mad(np.array([True, False, True])) == 0.0
    assert z.compute_sr(np.arange(4.0)[::-1], np.array([3.0, 2.0, 1.0, 9.0]), 0.5) == 0.75


@pytest.mark.parametrize("bad", [
    np.ones((1, 3)),          # a row is not a column
    np.ones((2, 2)),
    3.0,                      # a bare number
    np.float64(3.0),
    np.ones((2, 1, 1)),       # three dimensions
    "abc",
    None,
    [[1.0, 2.0], [3.0]],      # ragged
    [1.0, "x"],
    {"a": 1},
])
def test_vector_argument_refused(bad):
    with pytest.raises(TypeError, match=r"mad\(\): incompatible function arguments\. The following "
                                        r"argument types are supported:"):
        z.mad(bad)


def test_argument_mismatch_text_names_signature_and_received_values():
    with pytest.raises(TypeError) as e:
        z.mad("abc")
    text = str(e.value)
    assert "1. (y: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, \"[m, 1]\"]) -> float" in text
    assert "Invoked with: 'abc'" in text


def test_empty_arrays_pass():
    assert z.mad(np.empty(0)) == 0.0
    assert z.mad(np.empty((0, 1))) == 0.0


def test_argument_is_copied_not_reordered():
    y = np.array([5.0, 1.0, 4.0, 2.0, 3.0, 0.0])
    before = y.copy()
    z.mad(y)
    z.compute_sr(y, y[::-1].copy(), 1.0)
    np.testing.assert_array_equal(y, before)


# --- Matrix arguments ------------------------------------------------------------------------

@pytest.mark.parametrize("shape", [(2, 2), (7, 5), (300, 19), (1030, 37), (5, 600), (1030, 300)])
def test_matrix_layouts_give_identical_results(rng, shape):
    """Row-major float64 takes a tiled transpose, column-major float64 a plain copy (both shared
    out to threads when large), everything else NumPy's copy: same values."""
    X = rng.integers(-50, 50, shape).astype(float) / 8
    y = rng.standard_normal(shape[0])
    want = z.fit_regularized_linear(np.asfortranarray(X), y, ridge=1.0)
    big = np.zeros((shape[0] * 2, shape[1] + 3))
    big[::2, 1:-2] = X
    for form in (X, X.tolist(), np.ascontiguousarray(X), big[::2, 1:-2], (X * 8).astype(np.int32) / 8,
                 X.astype(np.float32)):
        assert z.fit_regularized_linear(form, y, ridge=1.0).tobytes() == want.tobytes()


def test_matrix_from_one_dimension_is_a_column():
    assert z.ols([1.0, 2.0, 3.0], [2.0, 4.0, 6.0]) == pytest.approx([2.0])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        z.ols(np.ones((2, 2, 2)), [1.0, 2.0])


# --- Scalars and the call protocol ------------------------------------------------------------

class FloatLike:
    def __float__(self):
        return 0.5


class IndexLike:
    def __index__(self):
        return 1


@pytest.mark.parametrize("eps", [0.5, 1, True, np.float64(0.5), np.float32(0.5), np.int64(1),
                                 FloatLike(), IndexLike()])
def test_double_parameter_accepts_numbers(eps):
    expected = 0.25 if float(eps) == 0.5 else 0.5
    assert z.compute_sr([0, 0, 0, 0], [0, 0.5, 1, 2], eps) == expected


@pytest.mark.parametrize("eps", ["0.5", None, [0.5], 1j])
def test_double_parameter_refuses_non_numbers(eps):
    with pytest.raises(TypeError, match="compute_sr"):
        z.compute_sr([0.0], [0.0], eps)


def test_keywords_bind_by_name_in_any_order():
    args = dict(yp=[0, 0, 0, 0], yt=[0, 0.5, 1, 2], eps=0.5)
    assert z.compute_sr(**args) == 0.25
    assert z.compute_sr(eps=0.5, yt=args["yt"], yp=args["yp"]) == 0.25
    assert z.compute_sr(args["yp"], eps=0.5, yt=args["yt"]) == 0.25


@pytest.mark.parametrize("call", [
    lambda: z.compute_sr([0.0], [0.0]),                       # eps has no default
    lambda: z.compute_sr([0.0], [0.0], 0.1, 0.2),             # too many
    lambda: z.compute_sr([0.0], [0.0], eps=0.1, tol=0.2),     # unknown keyword
    lambda: z.compute_sr([0.0], [0.0], 0.1, eps=0.1),         # given twice
    lambda: z.mad(),
])
def test_binding_errors(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


def test_functions_pickle_by_reference():
    import pickle
    assert pickle.loads(pickle.dumps(z.mad)) is z.mad


# --- int parameters ---------------------------------------------------------------------------

class IntOnly:
    """A number that converts only through __int__ (truncated toward zero)."""

    def __int__(self):
        return 3

    def __float__(self):  # makes it a number for the number protocol
        return 3.9


@pytest.mark.parametrize("k, expected_k", [(2, 2), (np.int64(2), 2), (True, 1), (IndexLike(), 1),
                                           (IntOnly(), 3),
                                           (2**31 - 1, 2**31 - 1), (-2**31, -2**31)])
def test_int_parameter_accepts_integers(k, expected_k):
    yt = np.arange(10.0)
    assert z.mdl_score(yt, yt, k) == z.mdl_score(yt, yt, expected_k)


@pytest.mark.parametrize("k", [2.0, np.float64(2.0), 2**31, -2**31 - 1, "2", None, 2 + 0j])
def test_int_parameter_refuses_floats_and_out_of_range(k):
    with pytest.raises(TypeError, match=r"mdl_score\(\): incompatible function arguments"):
        z.mdl_score([1.0], [1.0], k)
