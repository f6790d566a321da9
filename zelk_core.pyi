"""ZELK-P performans-kritik cekirdegi (C++/Eigen)."""

from collections.abc import Sequence
from typing import Annotated, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias, final

import numpy
import numpy.typing

_Vector: TypeAlias = Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]
_Matrix: TypeAlias = Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"]
_VectorResult: TypeAlias = Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]
_MatrixResult: TypeAlias = Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]
_Int: TypeAlias = SupportsInt | SupportsIndex
_Float: TypeAlias = SupportsFloat | SupportsIndex

def mad(y: _Vector) -> float:
    """Median absolute deviation of `y` from its median (no consistency factor); 0.0 if empty."""

def compute_sr(yp: _Vector, yt: _Vector, eps: _Float) -> float:
    """Share of the first len(yt) predictions within `eps` (strictly) of the targets, never below
    1/(2n); NaN for empty targets. ValueError if `yp` is shorter than `yt`."""

def mdl_score(yp: _Vector, yt: _Vector, k: _Int, H: _Int = 20) -> float:
    """Description length -n ln(sr) + k^2 ln(2H) / n (complexity only for k > 0), the success
    rate sr taken at 0.4 * mad(yt) (0.4 when that is 0)."""

def mdl_score_reg(
    yp: _Vector,
    yt: _Vector,
    k: _Int,
    H: _Int,
    beta: _Vector,
    R1: _Matrix,
    R2: _Matrix,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
) -> float:
    """mdl_score plus gamma1 * beta'R1 beta + gamma2 * beta'R2 beta (a penalty with weight 0 is
    not read). ValueError if an applied penalty is not p x p, p = len(beta)."""

def design_matrix_1d(deg: _Int, x: _Vector) -> _MatrixResult:
    """Monomial design matrix: column p holds x**p, p = 0..deg. ValueError "deg < 0"."""

def smoothness_penalty_matrices_1d(
    deg: _Int, x_min: _Float, x_max: _Float, n_grid: _Int = 600
) -> tuple[_MatrixResult, _MatrixResult]:
    """(R1, R2): b'R1 b and b'R2 b are rectangle-rule sums of f'^2 and f''^2 over `n_grid` even
    points of [x_min, x_max]. ValueError "deg < 0", then "n_grid < 2"."""

def boundary_reduce_1d(deg: _Int, x_min: _Float, x_max: _Float) -> _MatrixResult:
    """Symmetric S with b'S b = f'(x_max) f''(x_max) - f'(x_min) f''(x_min)."""

def design_matrix_nd(
    multi_indices: Sequence[Sequence[_Int]], X_cols: Sequence[_Vector]
) -> _MatrixResult:
    """Tensor-product monomial design matrix: column j is the product over d of
    X_cols[d] ** multi_indices[j][d] (exponents of 0 or less add no factor)."""

def build_penalty_matrices_nd(
    degrees: Sequence[_Int], bounds: Sequence[tuple[_Float, _Float]], n_grid_per_dim: _Int = 30
) -> tuple[_MatrixResult, _MatrixResult, list[list[int]]]:
    """(R1, R2, multi_indices): squared-gradient and squared-Hessian penalties over a regular
    grid of the box, for the full tensor basis listed in `multi_indices` (last dimension
    fastest). ValueError "Dimension mismatch.", "degree < -1", "n_grid_per_dim < 2"."""

def ols(X: _Matrix, y: _Vector) -> _VectorResult:
    """Minimum-norm least-squares solution of X b = y by SVD (never fails for rank deficiency;
    p NaNs for non-finite input). X and y far from 1 (subnormal to near overflow) are scaled by
    powers of two, so any finite problem whose solution is finite gets it. ValueError if
    len(y) != rows of X. Ctrl-C stops it within a fraction of a second."""

def fit_regularized_linear(
    Phi: _Matrix,
    y: _Vector,
    R1: object = None,
    R2: object = None,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
    ridge: _Float = 1e-10,
) -> _VectorResult:
    """Solves (Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2) b = Phi'y, n = len(y), by LDL'
    of the lower triangle: only the lower triangles (diagonal included) of R1 and R2 are read, so
    a non-symmetric penalty acts through its lower triangle. R1 and R2 are None or matrices
    (RuntimeError naming the argument if not convertible); a penalty applies when its weight is
    not 0. p NaNs for a NaN or infinity in Phi, y, ridge or an applied penalty or weight.
    Phi and y beyond 2^+-480 are scaled by powers of two, the ridge and weights with Phi's
    square, which keeps the answer; where that would overflow the ridge or a penalty (a tiny Phi),
    they outweigh Phi'Phi and the answer is theirs alone. ValueError if len(y) != rows of Phi or
    an applied penalty is not p x p. Ctrl-C stops it within a fraction of a second."""

@final
class GibbsResult:
    """Entropy summary of an energy sample (read-only; returned by gibbs_entropy). Pickles and
    copies with its values exactly kept; its repr shows them."""

    @property
    def H(self) -> float:
        """Entropy of the Boltzmann weights, in nats."""
    @property
    def Hmax(self) -> float:
        """ln(max(N, 2))."""
    @property
    def He(self) -> float:
        """H / Hmax."""
    @property
    def r_heat(self) -> float:
        """0.01 + 0.99 * He."""
    @property
    def var_E(self) -> float:
        """Population variance of the energies."""
    @property
    def T(self) -> float:
        """The temperature, as given."""

def gibbs_entropy(energies: _Vector, T: _Float = 1.0) -> GibbsResult:
    """Entropy of the Boltzmann distribution that the energies define at temperature T.
    ValueError for an empty sample."""

@final
class MCMCResult:
    """Result of TournamentMCMC.fit (read-only). Pickles and copies with its values exactly
    kept; its repr shows them."""

    @property
    def beta_mcmc(self) -> _VectorResult:
        """Best coefficients found (a read-only view that keeps the result alive)."""
    @property
    def energy(self) -> float:
        """Their energy (description length)."""
    @property
    def gibbs(self) -> GibbsResult:
        """Entropy summary of the warm-up energies at T = 1."""
    @property
    def n_chains(self) -> int:
        """The sampler's n_chains setting."""
    @property
    def n_elite(self) -> int:
        """The sampler's n_elite setting."""

@final
class TournamentMCMC:
    """Tournament of annealed Metropolis chains minimising the description length of the
    coefficients of y ~ X b: a warm-up tournament, a diverse elite, a refinement of the elite
    (chains evaluated together and run in parallel in both phases). The same inputs, settings
    and seed give the same bits, whatever the number of threads. The settings are fixed and not
    readable as attributes; the repr shows them, and a pickle or copy is a sampler with the same
    settings."""

    def __init__(
        self,
        n_chains: _Int = 25,
        n_warmup: _Int = 200,
        n_deep: _Int = 2000,
        n_elite: _Int = 5,
        step_size: _Float = 0.05,
        H_piH: _Int = 20,
        seed: _Int = 42,
    ) -> None: ...
    def fit(
        self,
        X: _Matrix,
        y: _Vector,
        R1: object = None,
        R2: object = None,
        gamma1: _Float = 0.0,
        gamma2: _Float = 0.0,
    ) -> MCMCResult:
        """Searches the coefficients; R1 and R2 are None or k x k penalty matrices (RuntimeError
        naming the argument if not convertible). ValueError if len(y) != rows of X. MemoryError,
        naming the size, before any work when the machine cannot provide the fit's working memory
        (about 2.5 KiB per chain). Ctrl-C stops it within a fraction of a second."""
