// Monomial bases and their smoothness penalties, in one dimension and as tensor products in
// several. Column p of a 1-D design matrix, and row and column p of its penalties, belong to
// x^p (constant first); in several dimensions column m belongs to the m-th multi-index.
#pragma once

#include "common.hpp"

#include <cstddef>
#include <array>
#include <utility>
#include <vector>

namespace zelk {

using MultiIndex = std::vector<int>;             // one exponent per dimension, dimension 0 first
using MultiIndexList = std::vector<MultiIndex>;  // names the columns of a design matrix
using Bound = std::pair<double, double>;         // (lower end, upper end) of one axis

// --- One dimension ------------------------------------------------------------------------

// Phi(i, p) = x[i]^p for p = 0 .. deg, each column the previous one times x (no pow), so
// column 0 is exactly 1 and column 1 exactly x. Throws std::invalid_argument "deg < 0".
Matrix design_matrix_1d(int deg, const VectorRef& x);

// Writes entries 0 .. deg of `out` with the derivative of the given order (0, 1 or 2) of
// x^p at x: the falling factorial p (p-1) ... (p-order+1) times pow(x, p - order), and 0 where
// p < order. Entries beyond deg are left alone. Throws std::invalid_argument for another order
// or an `out` shorter than deg + 1.
void deriv_row(double x, int deg, int order, Vector& out);

struct PenaltyMatrices1D {
    Matrix R1;  // b' R1 b = rectangle-rule sum of f'(x)^2
    Matrix R2;  // b' R2 b = rectangle-rule sum of f''(x)^2
};

// Rectangle rule on n_grid even points x_min + g dx, g = 0 .. n_grid - 1, both ends included
// with the full weight dx = (x_max - x_min) / (n_grid - 1). Throws std::invalid_argument
// "deg < 0", then "n_grid < 2".
PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max,
                                                 int n_grid);

// Symmetric S with b' S b = f'(x_max) f''(x_max) - f'(x_min) f''(x_min). deg = -1 gives a 0 x 0
// matrix; deg <= -2 throws std::invalid_argument "deg < 0".
Matrix boundary_reduce_1d(int deg, double x_min, double x_max);

// --- Several dimensions -------------------------------------------------------------------

// Appends to `out` every multi-index with 0 <= e_d <= degrees[d] for d >= dim, the entries
// below dim taken from `current`: lexicographic, the last dimension fastest. Nothing is
// appended when a degree is negative; with no dimensions one empty multi-index is.
void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim,
                            std::vector<int>& current, MultiIndexList& out);

// The derivative of the given order (0, 1 or 2) of val^p; the scalar counterpart of deriv_row.
double col_deriv_scalar(double val, int p, int order);

// Phi(i, m) = prod_d X_cols[d][i]^e_d over the exponents e_d > 0 of multi-index m (an exponent
// of 0 or less contributes no factor), each power from Eigen's element-wise array pow, the
// factors multiplied in ascending dimension order. n = len(X_cols[0]); the number of
// dimensions is the number of vectors. Throws std::invalid_argument when X_cols is empty, a
// vector is shorter than X_cols[0], or a multi-index has fewer entries than there are vectors.
Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<VectorRef>& X_cols);

struct PenaltyMatricesND {
    Matrix R1;                    // b' R1 b = grid sum of |grad f|^2 dV
    Matrix R2;                    // b' R2 b = grid sum of the squared Hessian entries (all D^2) dV
    MultiIndexList multi_indices;  // the basis: row and column m belong to multi_indices[m]
};

// The Gram matrices T[o]' T[o], o = 0, 1, 2, of one axis of the N-D penalties: T[o](k, p) is
// col_deriv_scalar(axis[k], p, o) over the n points of Vector::LinSpaced(n, lo, hi), summed in
// ascending k. Memory does not grow with n.
std::array<Matrix, 3> axis_grams(Index n, double lo, double hi, int deg);

// Product rectangle rule on the full grid of n_grid_per_dim even points per axis (both ends
// included, every point with the full weight dV = prod_d step_d). Throws
// std::invalid_argument "Dimension mismatch.", then "degree < -1", then "n_grid_per_dim < 2".
PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<Bound>& bounds, int n_grid_per_dim);

}  // namespace zelk
