"""Gibbs entropy of an energy sample."""

import math

import numpy as np
import pytest

import zelk_core as z

FIELDS = ["H", "Hmax", "He", "r_heat", "var_E", "T"]


def np_gibbs(E, T=1.0):
    E = np.asarray(E, float)
    w = np.exp(-(E - E.min()) / (T + 1e-300))
    p = w / w.sum()
    H = -np.sum(p * np.log(p + 1e-300))
    Hmax = math.log(max(len(E), 2))
    He = H / (Hmax + 1e-300)
    return dict(H=H, Hmax=Hmax, He=He, r_heat=0.01 + 0.99 * He, var_E=E.var(), T=T)


def as_dict(g):
    return {f: getattr(g, f) for f in FIELDS}


def test_worked_values():
    g = z.gibbs_entropy([3.0])
    assert as_dict(g) == dict(H=0.0, Hmax=math.log(2), He=0.0, r_heat=0.01, var_E=0.0, T=1.0)
    assert z.gibbs_entropy([1, 2, 3, 4]).var_E == 1.25
    g = z.gibbs_entropy([5.0] * 8)
    assert g.H == pytest.approx(math.log(8), rel=1e-14) and g.He == pytest.approx(1.0, rel=1e-14)
    assert g.r_heat == pytest.approx(1.0, rel=1e-14)
    g = z.gibbs_entropy([0.0, 1.0, 0.0, 3.0, 0.0], T=0.0)      # minima share the mass
    assert g.H == pytest.approx(math.log(3), rel=1e-14) and g.T == 0.0
    g = z.gibbs_entropy([0.0, 5000.0, 9000.0])                  # weights underflow, no NaN
    assert g.H == 0.0 and g.He == 0.0 and g.r_heat == 0.01


@pytest.mark.parametrize("n, T", [(2, 1.0), (25, 1.0), (1000, 0.3), (1_000_000, 5.0)])
def test_agrees_with_numpy(rng, n, T):
    E = rng.standard_normal(n) * 3 + 100
    got, want = as_dict(z.gibbs_entropy(E, T)), np_gibbs(E, T)
    for f in FIELDS:
        assert got[f] == pytest.approx(want[f], rel=1e-12, abs=1e-15), f


def test_shift_invariance(rng):
    E = rng.standard_normal(50)
    a, b = as_dict(z.gibbs_entropy(E)), as_dict(z.gibbs_entropy(E + 1e3))
    for f in FIELDS:
        assert a[f] == pytest.approx(b[f], rel=1e-9, abs=1e-12), f


def test_non_finite_inputs_propagate():
    assert math.isnan(z.gibbs_entropy([0.0, math.nan, 1.0]).H)
    assert math.isnan(z.gibbs_entropy([0.0, 1000.0], T=-1.0).H)   # a weight overflows


def test_empty_sample_is_refused():
    with pytest.raises(ValueError, match="energies is empty"):
        z.gibbs_entropy([])


def test_result_class_is_read_only_and_not_constructible():
    g = z.gibbs_entropy([1.0, 2.0], T=2)
    assert [f for f in vars(z.GibbsResult) if f in FIELDS] == FIELDS
    for f in FIELDS:
        assert isinstance(getattr(g, f), float)
        with pytest.raises(AttributeError):
            setattr(g, f, 1.0)
    with pytest.raises(AttributeError):
        g.extra = 1                                            # no __dict__
    with pytest.raises(TypeError, match=r"zelk_core\.GibbsResult: No constructor defined!$"):
        z.GibbsResult()
