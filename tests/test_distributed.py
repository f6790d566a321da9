"""Fits on a Dask cluster (a LocalCluster of worker processes here; the same code runs against a
real scheduler) give the same bits as fitting each series locally."""

import os
import sys

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import distributed_fits  # noqa: E402


def test_cluster_fits_match_local_fits():
    x, Y, truth = distributed_fits.make_series(8, 120, seed=4)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        remote = distributed_fits.fit_all(client, x, Y, n_deep=200)
    for i, r in enumerate(remote):
        local = distributed_fits.fit_series(x, Y[i], i, n_deep=200)
        assert isinstance(r["beta"], np.ndarray) and isinstance(r["energy"], float)
        assert r["beta"].tobytes() == local["beta"].tobytes()
        assert (r["energy"], r["scale"], r["outliers"]) == (local["energy"], local["scale"], local["outliers"])
        assert np.abs(r["beta"] - truth[i]).max() < 0.1  # robust: the planted outliers do not pull
