"""Memory and threads: no growth over many calls, MemoryError for what cannot be stored, and the
same results whatever the Python or OpenMP threads around a call."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_python(code, env=None, timeout=600):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, env=env, timeout=timeout)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stderr}"
    return out.stdout


# --- Memory ------------------------------------------------------------------------------------

# Calls whose result could never be stored; each must fail on its first allocation, not after
# filling work buffers on the way (16 GiB of them for smoothness_penalty_matrices_1d(2**30, ...)
# would take the process down before the result was even asked for).
UNSTORABLE = {
    "design_matrix_1d": "z.design_matrix_1d(2**20 - 1, np.zeros(2**20))",          # 2^40 entries
    "smoothness_penalty_matrices_1d": "z.smoothness_penalty_matrices_1d(2**26, 0.0, 1.0, 2)",
    "boundary_reduce_1d": "z.boundary_reduce_1d(2**26, 0.0, 1.0)",
    "build_penalty_matrices_nd": "z.build_penalty_matrices_nd([2**26], [(0.0, 1.0)], 2)",
    "fit_regularized_linear": "z.fit_regularized_linear(np.zeros((0, 2**26)), [])",
}


def test_unstorable_results_raise_memory_error_before_touching_memory():
    results = json.loads(run_python(f"""
        import json, resource, numpy as np, zelk_core as z
        calls = {UNSTORABLE!r}
        def peak_mib():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        z.mad([1.0])  # NumPy's conversion machinery in place before measuring
        out = {{}}
        for name, call in calls.items():
            before = peak_mib()
            try:
                eval(call)
                outcome = "returned"
            except MemoryError:
                outcome = "MemoryError"
            out[name] = [outcome, peak_mib() - before]
        print(json.dumps(out))
    """))
    for name, (outcome, grown_mib) in results.items():
        assert outcome == "MemoryError", name
        assert grown_mib < 64, f"{name} touched {grown_mib:.0f} MiB before failing"
