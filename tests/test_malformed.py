"""Malformed and extreme input."""

import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zelk_core as z


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


def test_design_matrix_nd_negative_infinity_to_odd_powers():
    """(-inf)^odd is -inf in every row, whether the vectorised or the scalar pow computes it."""
    x = np.full(13, -np.inf)
    Phi = z.design_matrix_nd([[1], [2], [3], [2**31 - 1]], [x])
    np.testing.assert_array_equal(Phi, np.tile([-np.inf, np.inf, -np.inf, -np.inf], (13, 1)))
    np.testing.assert_array_equal(Phi[:, 2], z.design_matrix_1d(3, x)[:, 3])


@pytest.mark.parametrize("rows, cols", [(0, 300), (0, 3), (300, 0), (0, 0)])
def test_fit_regularized_linear_empty_design(rows, cols):
    """No rows: the normal equations are ridge * I b = 0, so b = 0. No columns: an empty b.
    Neither may reach the blocked Gram product, which divides by the row count."""
    beta = z.fit_regularized_linear(np.zeros((rows, cols)), np.zeros(rows), np.eye(cols), None, 1.0)
    assert beta.shape == (cols,) and not beta.any()
