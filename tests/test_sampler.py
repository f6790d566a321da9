"""The tournament sampler: exact streams, reproducibility, edge cases and the Python surface."""

import gc
import hashlib
import json
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import reference_sampler
import zelk_core as z


def line_problem(seed, m=40, k=1, noise=0.2):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((m, k))
    y = X @ rng.uniform(-2, 2, k) + noise * rng.standard_normal(m)
    return X, y


def settings(rng):
    return dict(n_chains=int(rng.integers(1, 17)), n_warmup=int(rng.integers(0, 120)),
                n_deep=int(rng.integers(0, 150)), n_elite=int(rng.integers(-1, 8)),
                step_size=float(rng.choice([0.0, 0.05, 0.5, 2.0])), H_piH=int(rng.integers(1, 30)),
                seed=int(rng.integers(0, 2**64, dtype=np.uint64)))


@pytest.mark.parametrize("case", range(24))
def test_bit_for_bit_with_the_reference_rendering(case):
    """Streams, draw order, acceptance, cooling, ranking, elite and refinement, to the last bit."""
    rng = np.random.default_rng(1000 + case)
    k = case % 2
    X, y = line_problem(case, m=int(rng.integers(5, 60)), k=k)
    kw = settings(rng)
    pen = {}
    if k and case % 4 == 1:
        pen = dict(R1=np.array([[2.0]]), R2=np.array([[0.5]]), gamma1=0.3, gamma2=-0.1)
    beta, energy, H, r_heat = reference_sampler.fit(X, y, **kw, **pen)
    r = z.TournamentMCMC(**kw).fit(X, y, **pen)
    assert r.beta_mcmc.tobytes() == beta.tobytes()
    assert (r.energy, r.gibbs.H, r.gibbs.r_heat) == (energy, H, r_heat)


def test_seed_arithmetic_wraps_around():
    X, y = line_problem(3)
    kw = dict(n_chains=4, n_warmup=10, n_deep=10, n_elite=2, seed=2**64 - 1500)
    beta, energy, _, _ = reference_sampler.fit(X, y, **kw)
    r = z.TournamentMCMC(**kw).fit(X, y)
    assert r.beta_mcmc.tobytes() == beta.tobytes() and r.energy == energy


def digest(r):
    g = r.gibbs
    return hashlib.sha256(r.beta_mcmc.tobytes() + np.array(
        [r.energy, g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T]).tobytes()).hexdigest()[:16]


# Fits whose bits are fixed: the digests were taken from the release build before the chains were
# evaluated together, and every build (release, sanitized, without contraction) must reproduce
# them. Odd and even row counts (the last row of an odd count is rounded differently), coefficient
# counts on both sides of 4 and 8 (the dot product's packets), penalties with either weight or both.
@pytest.mark.parametrize("m, k, penalties, settings, expected", [
    (16, 3, "heavy", dict(seed=8), "16dbf9e70e600175"),
    (14, 2, "both", dict(seed=2**64 - 1), "e368f1a3f0c1b28b"),
    (1, 3, "both", dict(seed=4), "7937595acf5ff97f"),
    (33, 5, "both", dict(seed=3), "c850aa1ec9547ff6"),
    (101, 9, "R2", dict(seed=11, n_chains=7), "62c599c88525bce9"),
    (257, 13, "both", dict(seed=5, n_chains=18, n_elite=6), "0872b52f6fcca5a8"),
    (41, 25, "R1", dict(seed=9, n_chains=5), "5650ccc24622f7e9"),
    (6, 7, "heavy", dict(seed=12, step_size=0.5), "ed1ecb60d5e01ba7"),
    (2003, 6, "none", dict(seed=42, n_chains=9), "38372fbe567462af"),
    # Both coolings run into their subnormal fixed points (T = 2 * 0.995^n after some 145000
    # warm-up steps, T0 * 0.9997^n after some 2.5 million refinement steps): the same bits as
    # multiplying on, taken before the multiplication stopped there.
    (3, 1, "none", dict(seed=5, n_chains=2, n_warmup=150_000, n_deep=1_500_000, n_elite=2), "14b73c6e96885b0f"),
])
def test_reference_digests(m, k, penalties, settings, expected):
    rng = np.random.default_rng(m * 131 + k)
    X = rng.standard_normal((m, k))
    y = X @ rng.standard_normal(k) + 0.1 * rng.standard_normal(m)
    A = rng.standard_normal((k, k))
    R1, R2 = A @ A.T, np.diag(np.arange(1.0, k + 1))
    weights = {"none": (0.0, 0.0), "R1": (0.3, 0.0), "R2": (0.0, 0.02), "both": (1e-2, 3e-3),
               "heavy": (40.0, 25.0)}[penalties]
    kw = dict(n_warmup=40, n_deep=60, n_elite=4)
    kw.update(settings)
    assert digest(z.TournamentMCMC(**kw).fit(X, y, R1, R2, *weights)) == expected


def fit_digest(n_threads):
    code = textwrap.dedent("""
        import hashlib, numpy as np, zelk_core as z
        rng = np.random.default_rng(5)
        X = rng.standard_normal((4001, 5)); y = X @ rng.standard_normal(5) + 0.1 * rng.standard_normal(4001)
        R = np.eye(5)
        r = z.TournamentMCMC(n_chains=13, n_warmup=60, n_deep=200, n_elite=4).fit(X, y, R, R, 1e-3, 1e-4)
        g = r.gibbs
        print(hashlib.sha256(r.beta_mcmc.tobytes() + np.array(
            [r.energy, g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T]).tobytes()).hexdigest())
    """)
    env = dict(os.environ, OMP_NUM_THREADS=str(n_threads))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_same_bits_whatever_the_number_of_threads():
    digests = {n: fit_digest(n) for n in (1, 2, 3, 4)}
    assert len(set(digests.values())) == 1, digests


def test_repeated_fits_are_identical():
    X, y = line_problem(7, m=100, k=3)
    a, b = z.TournamentMCMC(n_deep=300), z.TournamentMCMC(n_deep=300)
    r1, r2, r3 = a.fit(X, y), a.fit(X, y), b.fit(X, y)
    for r in (r2, r3):
        assert r.beta_mcmc.tobytes() == r1.beta_mcmc.tobytes() and r.energy == r1.energy


@pytest.fixture
def problem():
    return line_problem(11, m=120, k=4)


def test_energy_is_the_score_of_the_result(problem):
    X, y = problem
    R1, R2 = np.diag([0.0, 1, 2, 3]), np.eye(4)
    r = z.TournamentMCMC(n_deep=400).fit(X, y, R1, R2, 0.01, 0.002)
    b = r.beta_mcmc
    assert r.energy == pytest.approx(z.mdl_score_reg(X @ b, y, 4, 20, b, R1, R2, 0.01, 0.002), rel=1e-13)


def test_refinement_never_ends_above_the_best_warm_up_chain(problem):
    X, y = problem
    warm = z.TournamentMCMC(n_deep=0).fit(X, y)
    deep = z.TournamentMCMC(n_deep=500).fit(X, y)
    assert deep.energy <= warm.energy
    assert (deep.gibbs.H, deep.gibbs.var_E) == (warm.gibbs.H, warm.gibbs.var_E)  # same warm-up


@pytest.mark.parametrize("n_elite", [-3, 0, 1])
def test_at_most_one_elite_refines_only_the_best_chain(problem, n_elite):
    X, y = problem
    r = z.TournamentMCMC(n_elite=n_elite, n_deep=200).fit(X, y)
    one = z.TournamentMCMC(n_elite=1, n_deep=200).fit(X, y)
    assert r.n_elite == n_elite and r.n_chains == 25
    assert r.beta_mcmc.tobytes() == one.beta_mcmc.tobytes()


def test_without_columns_the_result_is_empty():
    y = np.arange(10.0)
    r = z.TournamentMCMC(n_deep=20).fit(np.empty((10, 0)), y)
    assert r.beta_mcmc.shape == (0,)
    assert r.energy == z.mdl_score(np.zeros(10), y, 0)


def test_constant_targets_use_the_fallback_tolerance():
    X = np.ones((8, 1))
    r = z.TournamentMCMC(n_warmup=0, n_deep=0, n_chains=3).fit(X, np.full(8, 0.1))
    b = r.beta_mcmc[0]
    hits = np.count_nonzero(np.abs(np.full(8, b) - 0.1) < 0.4)
    assert r.energy == pytest.approx(-8 * np.log(max(hits / 8, 1 / 16)) + np.log(40) / 8, rel=1e-14)


def test_gibbs_summary_is_at_unit_temperature(problem):
    X, y = problem
    g = z.TournamentMCMC(n_deep=0).fit(X, y).gibbs
    assert g.T == 1.0 and g.Hmax == pytest.approx(np.log(25)) and 0.01 <= g.r_heat <= 1.0


def test_nan_energies_are_ranked_safely(problem):
    X, y = problem
    r = z.TournamentMCMC(n_chains=40, n_deep=10, H_piH=-1).fit(X, y)   # ln(-2) in every energy
    assert np.isnan(r.energy)


# --- errors, decided before any sampling -------------------------------------------------------

@pytest.mark.parametrize("make, call, exc, message", [
    (lambda: z.TournamentMCMC(n_chains=0), lambda s, X, y: s.fit(X, y), ValueError, "n_chains must be at least 1"),
    (lambda: z.TournamentMCMC(n_chains=-1), lambda s, X, y: s.fit(X, y), ValueError,
     "cannot create std::vector larger than max_size()"),
    (z.TournamentMCMC, lambda s, X, y: s.fit(X, y[:-1]), ValueError, "y has 119 entries, but X has 120 rows"),
    (z.TournamentMCMC, lambda s, X, y: s.fit(X, y, np.eye(3), None, 1.0), ValueError,
     "R1 must be 4 x 4 to match the coefficients, got 3 x 3"),
    (z.TournamentMCMC, lambda s, X, y: s.fit(X, y, None, np.ones((4, 1)), 0.0, 1.0), ValueError, "R2 must be 4 x 4"),
    (z.TournamentMCMC, lambda s, X, y: s.fit(X, y, "abc"), RuntimeError, "^Unable to cast Python instance of type "),
    (z.TournamentMCMC, lambda s, X, y: s.fit(X, y, None, [["x"]]), RuntimeError, "^Unable to cast Python instance"),
    (z.TournamentMCMC, lambda s, X, y: s.fit(X, y, gamma1="a"), TypeError, r"fit\(\): incompatible function arguments"),
])
def test_errors(problem, make, call, exc, message):
    X, y = problem
    with pytest.raises(exc, match=message):
        call(make(), X, y)


def test_optional_matrices(problem):
    X, y = problem
    s = z.TournamentMCMC(n_deep=50)
    plain = s.fit(X, y)
    for r in (s.fit(X, y, None, None), s.fit(X, y, R1=np.ones((2, 2)), gamma1=0.0),  # weight 0: unread
              s.fit(X, y, gamma1=5.0, gamma2=5.0)):                                   # no matrices
        assert r.beta_mcmc.tobytes() == plain.beta_mcmc.tobytes()
    assert s.fit(X, y, R2=np.eye(4), gamma2=1.0).energy != plain.energy


# --- the Python classes ---------------------------------------------------------------------------

def test_result_views_and_lifetime(problem):
    X, y = problem
    r = z.TournamentMCMC(n_deep=10).fit(X, y)
    beta, g = r.beta_mcmc, r.gibbs
    assert beta.ndim == 1 and beta.shape == (4,) and beta.dtype == np.float64
    assert not beta.flags.writeable
    with pytest.raises(ValueError, match="read-only"):
        beta[0] = 1.0
    assert np.shares_memory(beta, r.beta_mcmc)      # a view of the record, not a copy
    expected, H = beta.copy(), g.H
    del r
    gc.collect()
    np.testing.assert_array_equal(beta, expected)   # the views keep the result alive
    assert g.H == H


def test_result_attributes_are_read_only_and_typed(problem):
    X, y = problem
    r = z.TournamentMCMC(n_deep=10).fit(X, y)
    names = ["beta_mcmc", "energy", "gibbs", "n_chains", "n_elite"]
    assert [a for a in vars(z.MCMCResult) if a in names] == names
    assert isinstance(r.energy, float) and isinstance(r.n_chains, int) and isinstance(r.gibbs, z.GibbsResult)
    for a in names:
        with pytest.raises(AttributeError):
            setattr(r, a, 1)
    with pytest.raises(TypeError, match=r"zelk_core\.MCMCResult: No constructor defined!$"):
        z.MCMCResult()


@pytest.mark.parametrize("seed, ok", [(0, True), (2**64 - 1, True), (-1, False), (2**64, False), (1.0, False)])
def test_seed_range(seed, ok):
    if ok:
        z.TournamentMCMC(seed=seed)
    else:
        with pytest.raises(TypeError, match=r"__init__\(\): incompatible constructor arguments"):
            z.TournamentMCMC(seed=seed)


def test_settings_are_not_readable_and_keywords_bind():
    s = z.TournamentMCMC(5, 10, step_size=1, seed=3, H_piH=7)
    assert [a for a in dir(s) if not a.startswith("_")] == ["fit"]
    with pytest.raises(AttributeError):
        s.n_chains = 3


UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def test_a_fit_without_the_memory_fails_at_once_naming_it():
    """In a child under a 4 GiB address-space limit (none under ASan, which reserves terabytes of
    it): requests beyond the machine (2^31 - 1 chains need terabytes) and beyond the limit (2^21
    chains need gigabytes) raise MemoryError naming the size before any work, and touch no
    memory on the way (such a fit used to zero-fill two 16 GiB vectors first, and was killed)."""
    sizes = [2**31 - 1, 2**27] + ([] if UNDER_ASAN else [2**21])
    code = textwrap.dedent(f"""
        import json, resource, sys
        if not {UNDER_ASAN}:
            resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        import numpy as np, zelk_core as z
        def peak_mib():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        X, y = np.ones((3, 1)), [1.0, 2.0, 3.0]
        z.TournamentMCMC(n_chains=3, n_deep=5).fit(X, y)  # conversions and threads in place
        out = {{}}
        for n in {sizes}:
            before = peak_mib()
            try:
                z.TournamentMCMC(n_chains=n).fit(X, y)
                out[n] = ["returned", 0]
            except MemoryError as e:
                out[n] = [str(e), peak_mib() - before]
        out["afterwards"] = z.TournamentMCMC(n_chains=3, n_deep=5).fit(X, y).n_chains
        print(json.dumps(out))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    out = json.loads(run.stdout)
    assert out.pop("afterwards") == 3
    units = {"KiB": 2**10, "MiB": 2**20, "GiB": 2**30, "TiB": 2**40, "PiB": 2**50}
    for n, (message, grown_mib) in out.items():
        m = re.fullmatch(rf"TournamentMCMC\.fit (?:needs|could not allocate its) ([\d.]+) (\w+) of working "
                         rf"memory for {n} chains of 1 coefficient(?:, more than the .* this machine has)?",
                         message)
        assert m, message
        assert float(m[1]) * units[m[2]] >= int(n) * 312 * 8   # at least the chains' 64-bit Mersenne Twisters
        assert grown_mib < 64, f"{n} chains: {grown_mib:.0f} MiB touched before failing"
