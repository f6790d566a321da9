"""The pieces of the robust fit on their own, each against an independent computation: the loss
(statsmodels' TukeyBiweight, SciPy quadrature), the M-scale equation, the concentration steps of
the S-fit, the first-order conditions of the M-step and of the final least-squares fit,
leverages (statsmodels), the adaptive rejection rule and the scales of the good points."""

import numpy as np
import pytest

pytest.importorskip("sklearn")
scipy_integrate = pytest.importorskip("scipy.integrate")
from scipy.stats import norm  # noqa: E402

from zelk._final import adaptive_rejections, m_step  # noqa: E402
from zelk._linalg import Penalty, leverages, polished_fit  # noqa: E402
from zelk._norms import Bisquare, truncated_normal_moments  # noqa: E402
from zelk._scale import S_LOSS, good_scale, kept_scale, m_scale, m_scale_rows  # noqa: E402
from zelk._sfit import s_step  # noqa: E402


def normal_expectation(f, c):
    """E[f(Z)] for a standard normal Z and a loss with kinks at +-c."""
    return scipy_integrate.quad(lambda z: f(z) * norm.pdf(z), -40.0, 40.0, limit=400, points=[-c, c])[0]


@pytest.mark.parametrize("c", [1.0, 1.5476, 3.0, 4.685])
def test_bisquare_matches_statsmodels(c):
    sm_norms = pytest.importorskip("statsmodels.robust.norms")
    ref = sm_norms.TukeyBiweight(c=c)
    loss = Bisquare(c)
    t = np.linspace(-2.5 * c, 2.5 * c, 401)
    for name in ("rho", "psi", "weights", "psi_deriv"):
        np.testing.assert_allclose(getattr(loss, name)(t), getattr(ref, name)(t), rtol=1e-13, atol=1e-13,
                                   err_msg=name)
    np.testing.assert_allclose(loss.chi(t), ref.rho(t) / (c * c / 6.0), rtol=1e-13, atol=1e-15)


@pytest.mark.parametrize("c", [0.7, 1.5476, 4.685, 9.0])
def test_normal_expectations_match_quadrature(c):
    loss = Bisquare(c)
    m = truncated_normal_moments(c, 10)
    for k in range(0, 11, 2):
        assert m[k] == pytest.approx(scipy_integrate.quad(lambda z: z**k * norm.pdf(z), -c, c)[0], rel=1e-9, abs=1e-14)
    assert loss.expected_chi() == pytest.approx(normal_expectation(loss.chi, c), rel=1e-8)
    assert loss.expected_psi2() == pytest.approx(normal_expectation(lambda z: loss.psi(z) ** 2, c), rel=1e-8)
    assert loss.expected_psi_deriv() == pytest.approx(normal_expectation(loss.psi_deriv, c), rel=1e-8)


def test_tuning_for_breakdown_and_efficiency():
    s_loss = Bisquare.for_breakdown(0.5)
    m_loss = Bisquare.for_efficiency(0.95)
    # the constants of the literature, to the digits it gives
    assert s_loss.c == pytest.approx(1.54764, abs=1e-5)
    assert m_loss.c == pytest.approx(4.68506, abs=1e-5)
    # and what they are defined by, by quadrature
    assert normal_expectation(s_loss.chi, s_loss.c) == pytest.approx(0.5, abs=1e-9)
    c = m_loss.c
    eff = normal_expectation(m_loss.psi_deriv, c) ** 2 / normal_expectation(lambda z: m_loss.psi(z) ** 2, c)
    assert eff == pytest.approx(0.95, abs=1e-9)
    assert Bisquare.for_breakdown(0.25).expected_chi() == pytest.approx(0.25, abs=1e-12)
    with pytest.raises(ValueError):
        Bisquare.for_breakdown(0.6)
    with pytest.raises(ValueError):
        Bisquare.for_efficiency(1.0)


@pytest.mark.parametrize("n_params", [0, 3])
def test_m_scale_solves_its_equation(n_params):
    rng = np.random.default_rng(1)
    cases = [rng.normal(size=50), rng.standard_t(1, size=400) * 7.0, np.r_[rng.normal(size=60), 1e6 * np.ones(40)],
             np.r_[np.zeros(20), rng.normal(size=31)]]
    for r in cases:
        s = m_scale(r, n_params)
        assert np.sum(S_LOSS.chi(r / s)) == pytest.approx(0.5 * (len(r) - n_params), rel=1e-9)
    np.testing.assert_allclose(m_scale_rows(np.abs(np.array(cases[:1] * 3)), n_params),
                               m_scale(cases[0], n_params), rtol=1e-8)
    # consistent at the normal, and equivariant
    z = rng.normal(size=20000)
    assert m_scale(z) == pytest.approx(1.0, abs=0.02)
    assert m_scale(3.0 * cases[1], n_params) == pytest.approx(3.0 * m_scale(cases[1], n_params), rel=1e-9)


def test_m_scale_is_zero_when_most_residuals_are():
    # sum chi = b (n - p) cannot be met when the non-zero residuals are at most b (n - p)
    assert m_scale(np.r_[np.zeros(60), np.ones(40)]) == 0.0
    assert m_scale(np.r_[np.zeros(11), np.ones(9)], n_params=2) == 0.0  # 9 <= 0.5 * 18
    assert m_scale(np.r_[np.zeros(10), np.ones(10)], n_params=2) > 0.0
    np.testing.assert_array_equal(m_scale_rows(np.r_[np.zeros(60), np.ones(40)][None, :]), [0.0])


def contaminated_cubic(n=400, share=0.4, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, n)
    Phi = np.polynomial.legendre.legvander(x, 3)
    z = Phi @ [0.2, -0.5, 0.1, 0.4] + rng.normal(0, 0.05, n)
    bad = rng.random(n) < share
    z[bad] += rng.uniform(1, 3, bad.sum())
    return Phi, z, bad


def test_concentration_steps_never_raise_the_s_objective():
    Phi, z, _ = contaminated_cubic()
    rng = np.random.default_rng(2)
    for _ in range(10):
        beta = rng.normal(0, 0.5, Phi.shape[1])
        s = m_scale(z - Phi @ beta, 4)
        for _ in range(15):
            beta, s_new = s_step(Phi, z, beta, s, Penalty(), 4)
            assert s_new <= s * (1 + 1e-12)
            assert s_new == pytest.approx(m_scale(z - Phi @ beta, 4), rel=1e-9)
            s = s_new


@pytest.mark.parametrize("penalised", [False, True])
def test_m_step_meets_its_first_order_conditions(penalised):
    Phi, z, bad = contaminated_cubic(share=0.2, seed=3)
    R = np.diag([0.0, 1.0, 3.0, 6.0])
    pen = Penalty(R1=R, gamma1=1e-3) if penalised else Penalty()
    start = np.linalg.lstsq(Phi[~bad], z[~bad], rcond=None)[0]
    scale = 0.05
    beta, w, n_iter, converged = m_step(Phi, z, start, scale, 4.685, pen, 1e-12, 500)
    assert converged and 0 < n_iter < 500
    loss = Bisquare(4.685)
    r = z - Phi @ beta
    np.testing.assert_allclose(w, loss.weights(r / scale))
    # sum psi(r_i / s) phi_i s = P beta: the weighted normal equations hold at the result
    gradient = Phi.T @ (scale * loss.psi(r / scale))
    penalty_term = (len(z) * 1e-3 * R) @ beta if penalised else 0.0
    np.testing.assert_allclose(gradient - penalty_term, 0.0, atol=1e-9 * len(z))
    assert np.all(w[bad] == 0.0)


def test_m_step_reports_an_iteration_limit():
    Phi, z, bad = contaminated_cubic(share=0.2, seed=3)
    _, _, n_iter, converged = m_step(Phi, z, np.zeros(4), 0.05, 4.685, Penalty(), 1e-12, 2)
    assert n_iter == 2 and not converged


def test_final_least_squares_solves_the_normal_equations_of_the_kept_rows():
    Phi, z, bad = contaminated_cubic()
    keep = (~bad).astype(float)
    beta = polished_fit(Phi, z, keep, Penalty())
    np.testing.assert_allclose(Phi[~bad].T @ (z[~bad] - Phi[~bad] @ beta), 0.0, atol=1e-10)
    np.testing.assert_allclose(beta, np.linalg.lstsq(Phi[~bad], z[~bad], rcond=None)[0], rtol=1e-10)


def test_leverages_match_statsmodels():
    sm = pytest.importorskip("statsmodels.api")
    Phi, z, bad = contaminated_cubic(n=60)
    h = sm.OLS(z[~bad], Phi[~bad]).fit().get_influence().hat_matrix_diag
    np.testing.assert_allclose(leverages(Phi, (~bad).astype(float))[~bad], h, rtol=1e-10)
    # relative to the fit on the kept rows, a left-out row's leverage is its prediction variance
    out = np.flatnonzero(bad)[0]
    G_inv = np.linalg.inv(Phi[~bad].T @ Phi[~bad])
    assert leverages(Phi, np.ones(60), rows=(~bad).astype(float))[out] == pytest.approx(Phi[out] @ G_inv @ Phi[out])


def test_adaptive_rejection():
    rng = np.random.default_rng(4)
    # normal residuals: (almost) nothing rejected, at any size
    for n in (20, 200, 2000, 20000):
        assert adaptive_rejections(np.abs(rng.normal(size=n))) <= max(1, n // 2000)
    # 45 % far outliers: exactly those, including the nearest of them
    t = np.abs(np.r_[rng.normal(size=1100), rng.uniform(10, 40, 900)])
    assert adaptive_rejections(t) == 900
    # residuals standardised by a scale on 5 degrees of freedom are Student-t: the t reference
    # rejects far fewer of them than the normal one would
    samples = [np.abs(rng.standard_t(5, size=16)) for _ in range(400)]
    with_t = np.mean([adaptive_rejections(t, dof=5) for t in samples])
    with_normal = np.mean([adaptive_rejections(t) for t in samples])
    assert with_t < 0.6 * with_normal


def test_scales_of_the_good_points():
    rng = np.random.default_rng(5)
    e = rng.normal(0, 2.0, 20000)
    # the truncated scale: consistent at the normal, blind to 45 % far outliers
    assert good_scale(e, 1.0, 0) == pytest.approx(2.0, rel=0.02)
    assert good_scale(np.r_[e[:11000], rng.uniform(20, 80, 9000)], 7.0, 0) == pytest.approx(2.0, rel=0.03)
    # least squares on kept points: the unbiased estimate when nothing was cut, and corrected
    # for a cut at 2 scales (the mean square below it is 0.774 of the variance)
    r = e[:5000]
    ones = np.ones(r.size)
    assert kept_scale(r, ones, ones, np.inf) == pytest.approx(np.sqrt(np.mean(r**2)))
    inside = (np.abs(r) < 4.0).astype(float)
    assert kept_scale(r, inside, ones, 4.0) == pytest.approx(2.0, rel=0.03)
    assert np.sqrt(np.sum(r[inside > 0] ** 2) / inside.sum()) < 0.9 * 2.0
