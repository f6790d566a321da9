"""Storage before work: a request that cannot be met fails at once with a MemoryError that says
how much was asked for, and for what, before any work or any filling of memory."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

SIZE = r"cannot allocate [0-9.]+ (bytes|[KMGTPE]iB) for the "

# Requests of 16 GiB to exabytes: a machine with room for some of them exists, none under the
# 4 GiB address-space limit of the child below.
REQUESTS = {
    "z.design_matrix_1d(2**31 - 1, [1.0, 2.0])": SIZE + "2 x 2147483648 design matrix$",
    "z.design_matrix_nd([[1]] * 2**15, [np.zeros(2**16)])": SIZE + "65536 x 32768 design matrix$",
    "z.smoothness_penalty_matrices_1d(46340, 0.0, 1.0, 2)": SIZE + "46341 x 46341 penalty matrix R1$",
    "z.boundary_reduce_1d(2**31 - 1, 0.0, 1.0)": SIZE + "2147483648 x 2147483648 boundary matrix$",
    "z.build_penalty_matrices_nd([200, 200], [(0.0, 1.0)] * 2, 2)": SIZE + "40401 x 40401 penalty matrix R1$",
    "z.build_penalty_matrices_nd([1] * 64, [(0.0, 1.0)] * 64, 2)":
        "^cannot allocate the penalty matrices of a basis of more than 2\\^63 functions$",
    "z.fit_regularized_linear(np.ones((3, 50000)), np.ones(3))": SIZE + "50000 x 50000 system matrix$",
    "z.mad(np.zeros(2**29))": SIZE + "536870912 x 1 vector of deviations$",
}


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves terabytes of address space")
def test_requests_beyond_memory_fail_at_once_naming_the_size():
    code = textwrap.dedent(f"""
        import json, resource
        import numpy as np, zelk_core as z
        big = np.zeros(2**29)                     # 4 GiB for mad, which needs as much again
        resource.setrlimit(resource.RLIMIT_AS, (big.nbytes + (4 << 30),) * 2)
        out = {{}}
        for call in {list(REQUESTS)!r}:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            try:
                eval(call.replace("np.zeros(2**29)", "big"))
                out[call] = ["returned"]
            except MemoryError as e:
                grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak
                out[call] = [str(e), grown // 1024]
        out["afterwards"] = z.ols([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]], [1.0, 2.0, 3.0]).round(12).tolist()
        print(json.dumps(out))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    out = json.loads(run.stdout)
    assert out.pop("afterwards") == [1.0, 2.0]
    for call, pattern in REQUESTS.items():
        assert len(out[call]) == 2, f"{call} returned"
        message, grown_mib = out[call]
        assert re.search(pattern, message), f"{call}: {message!r}"
        assert grown_mib < 64, f"{call} touched {grown_mib} MiB before failing"
