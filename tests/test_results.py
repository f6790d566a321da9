"""Results and samplers travel: pickles at every protocol and copies keep every value and
setting exactly, and reprs show them; the classes stay read-only and unconstructible."""

import copy
import json
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zelk_core as z

GIBBS_FIELDS = ["H", "Hmax", "He", "r_heat", "var_E", "T"]
SETTINGS = dict(n_chains=7, n_warmup=30, n_deep=40, n_elite=3, step_size=0.07, H_piH=11,
                seed=2**64 - 1)


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(5)
    X = rng.standard_normal((60, 3))
    y = X @ [0.5, -1.0, 2.0] + rng.normal(0, 0.1, 60)
    return z.TournamentMCMC(**SETTINGS).fit(X, y, np.eye(3), None, 1e-3), (X, y)


def gibbs_values(g):
    return [getattr(g, f) for f in GIBBS_FIELDS]


def same_result(a, b):
    assert a.beta_mcmc.tobytes() == b.beta_mcmc.tobytes()
    assert (a.energy, a.n_chains, a.n_elite) == (b.energy, b.n_chains, b.n_elite)
    assert np.array_equal(gibbs_values(a.gibbs), gibbs_values(b.gibbs), equal_nan=True)


def travels(obj):
    """The object after every pickle protocol and both copies."""
    out = [pickle.loads(pickle.dumps(obj, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    return out + [copy.copy(obj), copy.deepcopy(obj)]


def test_gibbs_result_travels_exactly():
    # NaN, infinity and values that need all 17 digits survive.
    g = z.gibbs_entropy([1.0, 2.0, np.inf], T=0.1)
    h = z.gibbs_entropy([0.1, 0.7, 1e-300], T=1 / 3)
    for orig in (g, h):
        for back in travels(orig):
            assert type(back) is z.GibbsResult and back is not orig
            assert np.array_equal(gibbs_values(back), gibbs_values(orig), equal_nan=True)
            assert repr(back) == repr(orig)


def test_mcmc_result_travels_exactly_and_stays_read_only(fitted):
    r, _ = fitted
    for back in travels(r):
        assert type(back) is z.MCMCResult and back is not r
        same_result(back, r)
        assert not np.shares_memory(back.beta_mcmc, r.beta_mcmc)   # its own record
        assert not back.beta_mcmc.flags.writeable and back.beta_mcmc.base is back
        with pytest.raises(AttributeError, match="'energy'"):
            back.energy = 1.0
    # The gibbs view of a result travels as a result of its own.
    back = pickle.loads(pickle.dumps(r.gibbs))
    assert gibbs_values(back) == gibbs_values(r.gibbs)


def test_sampler_travels_with_its_settings(fitted):
    r, (X, y) = fitted
    s = z.TournamentMCMC(**SETTINGS)
    for back in travels(s):
        assert type(back) is z.TournamentMCMC and back is not s
        same_result(back.fit(X, y, np.eye(3), None, 1e-3), r)
        assert [a for a in dir(back) if not a.startswith("_")] == ["fit"]


def test_reprs_show_values_and_settings(fitted):
    r, _ = fitted
    g = r.gibbs
    assert repr(g) == "GibbsResult(" + ", ".join(f"{f}={getattr(g, f)!r}" for f in GIBBS_FIELDS) + ")"
    assert repr(r) == (f"MCMCResult(beta_mcmc={r.beta_mcmc!r}, energy={r.energy!r}, gibbs={g!r}, "
                       f"n_chains=7, n_elite=3)")
    s = z.TournamentMCMC(**SETTINGS)
    assert repr(s) == ("TournamentMCMC(n_chains=7, n_warmup=30, n_deep=40, n_elite=3, "
                       "step_size=0.07, H_piH=11, seed=18446744073709551615)")
    assert repr(eval(repr(s), {"TournamentMCMC": z.TournamentMCMC})) == repr(s)
    assert repr(z.TournamentMCMC()) == ("TournamentMCMC(n_chains=25, n_warmup=200, n_deep=2000, "
                                        "n_elite=5, step_size=0.05, H_piH=20, seed=42)")


@pytest.mark.parametrize("cls, names", [
    (z.GibbsResult, GIBBS_FIELDS),
    (z.MCMCResult, ["beta_mcmc", "energy", "gibbs", "n_chains", "n_elite"]),
])
def test_assigning_an_attribute_names_it(fitted, cls, names):
    obj = fitted[0] if cls is z.MCMCResult else fitted[0].gibbs
    for name in names:
        with pytest.raises(AttributeError, match=rf"^property '{name}' of '{cls.__name__}' object has no setter$"):
            setattr(obj, name, 1)
    with pytest.raises(TypeError, match=rf"zelk_core\.{cls.__name__}: No constructor defined!$"):
        cls()


# Every way Python has of making an instance without running its constructor, and what each now
# gives for a result class and for the sampler: "no constructor" is the TypeError that calling a
# result class raises, "default" a whole default sampler, "refused" any other TypeError. Each used
# to give an object whose record was never built (reading it showed leftover heap memory, or
# crashed).
UNBUILT = {
    "z.{c}.__new__(z.{c})": ("no constructor", "default"),
    r"pickle.loads(b'\x80\x02czelk_core\n{c}\n)\x81.')": ("no constructor", "default"),
    r"pickle.loads(b'ccopyreg\n__newobj__\n(czelk_core\n{c}\ntR.')": ("no constructor", "default"),
    "object.__new__(z.{c})": ("refused", "refused"),
    "z.{c}.__base__.__new__(z.{c})": ("refused", "refused"),
    "copyreg._reconstructor(z.{c}, object, None)": ("refused", "refused"),
    "type('S', (z.{c},), {{}})": ("refused", "refused"),
}


def test_no_instance_exists_without_its_values():
    """In a child, since a regression would crash the interpreter."""
    code = textwrap.dedent("""
        import copyreg, json, pickle, sys
        import zelk_core as z
        out = []
        for c in ("GibbsResult", "MCMCResult", "TournamentMCMC"):
            for call in json.loads(sys.argv[1]):
                try:
                    out.append(repr(eval(call.format(c=c))))
                except TypeError as e:
                    out.append("TypeError: " + str(e))
        # The crash as it was found: many empty results, each read.
        made = 0
        for _ in range(300):
            try:
                o = z.MCMCResult.__new__(z.MCMCResult)
            except TypeError:
                continue
            made += 1
            o.beta_mcmc.sum()
        print(json.dumps([made, out]))
    """)
    run = subprocess.run([sys.executable, "-c", code, json.dumps(list(UNBUILT))],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    made, outcomes = json.loads(run.stdout)
    assert made == 0
    expected = {"default": repr(z.TournamentMCMC())}
    for i, c in enumerate(["GibbsResult", "MCMCResult", "TournamentMCMC"]):
        expected["no constructor"] = f"TypeError: zelk_core.{c}: No constructor defined!"
        for (call, want), got in zip(UNBUILT.items(), outcomes[i * len(UNBUILT):]):
            want = want[c == "TournamentMCMC"]
            if want == "refused":
                assert got.startswith("TypeError: ") and "No constructor" not in got, (c, call, got)
            else:
                assert got == expected[want], (c, call)


def test_new_builds_whole_from_values(fitted):
    r, _ = fitted
    g = z.GibbsResult.__new__(z.GibbsResult, *(getattr(r.gibbs, f) for f in GIBBS_FIELDS))
    assert repr(g) == repr(r.gibbs)
    s = z.TournamentMCMC.__new__(z.TournamentMCMC, 7, 30, 40, 3, step_size=0.07, H_piH=11, seed=2**64 - 1)
    assert repr(s) == repr(z.TournamentMCMC(**SETTINGS))
    with pytest.raises(TypeError, match=r"__init__\(\): incompatible constructor arguments"):
        z.TournamentMCMC.__new__(z.TournamentMCMC, seed=-1)


GOOD_GIBBS = (0.5, 0.7, 0.7, 0.7, 1.0, 1.0)


@pytest.mark.parametrize("cls, values, message", [
    (z.GibbsResult, (1.0,) * 5, "GibbsResult is made from its 6 values, got 5"),
    (z.GibbsResult, ("x",) + GOOD_GIBBS[1:], "GibbsResult cannot hold the value 'x'"),
    (z.MCMCResult, ([1.0], 2.0, GOOD_GIBBS, 3), "MCMCResult is made from its 5 values, got 4"),
    (z.MCMCResult, ([1.0], 2.0, 5.0, 3, 4), "gibbs value must be a tuple of 6 values"),
    (z.MCMCResult, ([1.0], 2.0, GOOD_GIBBS[:5], 3, 4), "GibbsResult is made from its 6 values"),
    (z.MCMCResult, ([[1.0, 2.0]], 2.0, GOOD_GIBBS, 3, 4), r"MCMCResult cannot hold the value \[\[1.0, 2.0\]\]"),
    (z.MCMCResult, ([1.0], 2.0, GOOD_GIBBS, 2**31, 4), "MCMCResult cannot hold the value 2147483648"),
])
def test_malformed_values_are_refused(cls, values, message):
    with pytest.raises(TypeError, match=message):
        cls.__new__(cls, *values)
    with pytest.raises(TypeError, match=r"\.__new__\(<class 'int'>\): the class must be "):
        cls.__new__(int, *values)
