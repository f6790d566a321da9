"""One thread per fit, safe when fits run concurrently in threads.

A fit works on small n x p arrays, where BLAS and OpenMP threads mostly wait for each other
(OpenMP's workers keep spinning after the sampler returns, slowing the NumPy steps that follow),
so each fit runs on one thread; parallelism pays across fits (``n_jobs``, Dask). Running every
fit at one BLAS thread also keeps its bits the same whether it runs alone or beside others.

The two kinds of pool differ in reach:

- GNU OpenMP keeps its thread count per calling thread, so each fit sets and restores its own;
- OpenBLAS's thread count is one setting for the whole process. Fits that each saved and
  restored it would race (one restores its saved 2 while another still runs, the last one
  restores the 1 it saved), so it is limited once, when the first concurrent fit starts, and
  restored when the last one ends.
"""

from __future__ import annotations

import os
import threading
from contextlib import contextmanager
from collections.abc import Iterator

from threadpoolctl import ThreadpoolController

_controller: ThreadpoolController | None = None
_lock = threading.Lock()
_active = 0            # fits inside single_threaded(), all threads together
_blas_limiter = None   # holds the BLAS settings to restore while _active > 0


def _pools() -> ThreadpoolController:
    """One controller for the process: finding the libraries takes about a millisecond."""
    global _controller
    if _controller is None:
        _controller = ThreadpoolController()
    return _controller


@contextmanager
def single_threaded() -> Iterator[None]:
    """Runs the body with BLAS and OpenMP at one thread; the process's settings are as they
    were once no fit is running any more, whatever the threads did in between."""
    global _active, _blas_limiter
    pools = _pools()
    with _lock:
        if _active == 0:
            _blas_limiter = pools.limit(limits=1, user_api="blas")
        _active += 1
    try:
        with pools.limit(limits=1, user_api="openmp"):
            yield
    finally:
        with _lock:
            _active -= 1
            if _active == 0:
                limiter, _blas_limiter = _blas_limiter, None
                limiter.restore_original_limits()


def _after_fork_in_child() -> None:
    """A child forked while fits ran in other threads of the parent has none of those threads:
    it gets the parent's settings back and a fresh lock."""
    global _lock, _active, _blas_limiter
    _lock = threading.Lock()
    if _active and _blas_limiter is not None:
        _blas_limiter.restore_original_limits()
    _active, _blas_limiter = 0, None


os.register_at_fork(after_in_child=_after_fork_in_child)
