"""The real-data demo: stackloss fitted by the robust estimator, least squares and Huber."""

import os
import sys

import numpy as np
import pytest

pytest.importorskip("statsmodels")
pytest.importorskip("sklearn")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo"))
import real_data  # noqa: E402


def test_stackloss_table():
    lines = []
    rows = real_data.fit_stackloss(out=lines.append)
    assert set(rows) == {"zelk", "least squares", "Huber"}
    assert rows["zelk"]["flagged"] == [1, 3, 4, 21]
    assert rows["least squares"]["flagged"] == [21]  # least squares hides days 1, 3 and 4
    # the robust fit's residual scale is about half that of least squares
    assert rows["zelk"]["scale"] < 0.6 * rows["least squares"]["scale"]
    assert len(lines) == 6 and all(name in "\n".join(lines) for name in rows)
    np.testing.assert_allclose(rows["least squares"]["coef"], [-39.92, 0.716, 1.295, -0.152], atol=5e-3)
