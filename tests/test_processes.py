"""The module in processes forked from one that has already run parallel work: a forked child
runs every call (serially, with the same bits as its parent) instead of waiting for ever for
OpenMP workers that were not copied into it.

Each scenario runs in its own interpreter, in a session of its own, under a deadline: a hang
kills the whole session (pool workers included) and fails the test at once."""

import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

DEADLINE = 120  # seconds; a healthy run takes a few, the sanitizer build a few more

# Every function and fit, on arguments large enough for their parallel paths (2^18-element
# copies, a split Gram matrix, a large design matrix, a long energy sample). Prints nothing;
# `workload()` returns {call: sha256 of the result's bytes}.
WORKLOAD = """
import hashlib, os, signal, sys, json
import numpy as np
import zelk_core as z

def digest(*values):
    h = hashlib.sha256()
    for v in values:
        h.update(np.ascontiguousarray(np.asarray(v, dtype=float)).tobytes())
    return h.hexdigest()[:20]

def arguments():
    rng = np.random.default_rng(5)
    m, p = 20000, 16
    X = rng.standard_normal((m, p))
    y = X @ rng.standard_normal(p) + 0.1 * rng.standard_normal(m)
    return rng, X, y

def workload():
    rng, X, y = arguments()
    p = X.shape[1]
    big = rng.standard_normal(1 << 18)
    R1, R2 = z.smoothness_penalty_matrices_1d(p - 1, -1.0, 1.0)
    beta = rng.standard_normal(p)
    x = rng.uniform(-1, 1, 50000)
    idx = [[i, j] for i in range(5) for j in range(5)]
    fit = z.TournamentMCMC(n_chains=6, n_warmup=40, n_deep=60, n_elite=2).fit(X[:2000, :4], y[:2000])
    g = z.gibbs_entropy(100 + np.tile(big, 2))
    out = {
        "mad": digest(z.mad(big)),
        "mad (C-order column)": digest(z.mad(big.reshape(-1, 1))),
        "compute_sr": digest(z.compute_sr(big, big[::-1].copy(), 0.3)),
        "mdl_score": digest(z.mdl_score(X @ beta, y, p)),
        "mdl_score_reg": digest(z.mdl_score_reg(X @ beta, y, p, 20, beta, R1, R2, 0.1, 0.2)),
        "design_matrix_1d": digest(z.design_matrix_1d(7, big)),
        "smoothness_penalty_matrices_1d": digest(R1, R2),
        "boundary_reduce_1d": digest(z.boundary_reduce_1d(6, -1.0, 2.0)),
        "design_matrix_nd": digest(z.design_matrix_nd(idx, [x, x[::-1].copy()])),
        "build_penalty_matrices_nd": digest(*z.build_penalty_matrices_nd([3, 3], [(0, 1), (-1, 1)], 30)[:2]),
        "ols": digest(z.ols(X, y)),
        "ols (F order)": digest(z.ols(np.asfortranarray(X), y)),
        "fit_regularized_linear": digest(z.fit_regularized_linear(X, y, R1, R2, 1e-3, 1e-4)),
        "gibbs_entropy": digest(g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T),
        "TournamentMCMC.fit": digest(fit.beta_mcmc, fit.energy, fit.gibbs.H, fit.n_chains, fit.n_elite),
    }
    return out

def parallel_work(trigger):
    rng, X, y = arguments()
    if trigger == "fit":
        z.TournamentMCMC(n_chains=8, n_warmup=20, n_deep=10).fit(X[:500, :4], y[:500])
    elif trigger == "large argument":
        z.mad(np.ones(1 << 18))
        z.ols(X, y)  # a C-ordered 2^18+ element matrix
    elif trigger == "gibbs_entropy":
        z.gibbs_entropy(rng.standard_normal(1 << 19))
    elif trigger == "everything":
        workload()
"""

FORKED = WORKLOAD + """
parallel_work(sys.argv[1])
parent = workload()
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(r)
    try:
        child = workload()
        os.write(w, json.dumps(child).encode())
    finally:
        os._exit(0)
os.close(w)
data = b""
while chunk := os.read(r, 1 << 16):
    data += chunk
os.waitpid(pid, 0)
print(json.dumps({"parent": parent, "child": json.loads(data)}))
"""

POOL = WORKLOAD + """
import multiprocessing
from concurrent.futures import ProcessPoolExecutor

def one_fit(seed):
    rng, X, y = arguments()
    r = z.TournamentMCMC(n_chains=6, n_warmup=40, n_deep=60, seed=seed).fit(X[:2000, :4], y[:2000])
    return digest(r.beta_mcmc, r.energy, r.gibbs.H)

seeds = list(range(4))
parent = [one_fit(s) for s in seeds]  # fits in the parent start its OpenMP team
with ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context("fork")) as pool:
    child = list(pool.map(one_fit, seeds))
print(json.dumps({"parent": parent, "child": child}))
"""


def run_deadlined(code, *args):
    """Runs `code` in a new interpreter in its own session; kills the session on the deadline.
    The interpreter gets the runtimes' default thread counts: thread limits that other tests'
    libraries leave in this process's environment (dask sets OMP_NUM_THREADS=1) are dropped."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OMP_", "GOMP_")) and not k.endswith("_NUM_THREADS")}
    proc = subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True, env=env)
    try:
        out, err = proc.communicate(timeout=DEADLINE)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        pytest.fail(f"hung: no result within {DEADLINE} s (child processes killed)")
    assert proc.returncode == 0, err
    return json.loads(out)


@pytest.mark.parametrize("trigger", ["fit", "large argument", "gibbs_entropy", "everything"])
def test_forked_child_runs_every_call_with_the_parents_bits(trigger):
    result = run_deadlined(FORKED, trigger)
    parent, child = result["parent"], result["child"]
    assert parent.keys() == child.keys()
    differ = [name for name in parent if parent[name] != child[name]]
    assert not differ, f"results differ in the forked child: {differ}"


def test_fork_started_process_pool_runs_fits_after_a_parent_fit():
    result = run_deadlined(POOL)
    assert result["child"] == result["parent"]


LIMITED = WORKLOAD + """
import contextlib
from threadpoolctl import threadpool_info, threadpool_limits

def threads():
    return len(os.listdir("/proc/self/task"))

openmp = [i for i in threadpool_info() if i["user_api"] == "openmp"]
with threadpool_limits(1, user_api="openmp") if sys.argv[1] == "limited" else contextlib.nullcontext():
    before = threads()
    parallel_work("everything")
    after = threads()
print(json.dumps({"before": before, "after": after, "openmp": len(openmp)}))
"""


@pytest.mark.skipif((os.cpu_count() or 1) < 2, reason="one core: OpenMP starts no workers anyway")
def test_threadpool_limits_keep_every_region_on_the_calling_thread():
    pytest.importorskip("threadpoolctl")
    free = run_deadlined(LIMITED, "free")
    limited = run_deadlined(LIMITED, "limited")
    assert limited["openmp"] >= 1  # threadpoolctl sees the OpenMP runtime the module loaded
    assert free["after"] > free["before"]  # without a limit the module starts OpenMP workers
    assert limited["after"] == limited["before"]
