import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(20261209)


# The tests import zelk from the source tree, which holds no compiled module: let the package
# find zelk._kernels in the installed copy, or in the sanitizer build, which comes first on the
# path when sanitize.sh runs.
import pkgutil  # noqa: E402

import zelk  # noqa: E402

zelk.__path__ = pkgutil.extend_path(zelk.__path__, "zelk")
