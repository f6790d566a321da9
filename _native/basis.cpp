#include "basis.hpp"
#include "runtime.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <new>
#include <stdexcept>
#include <string>

#include <immintrin.h>

namespace zelk {

namespace {

// Rows per block when filling a tall design matrix: the block of every column it touches
// stays in L1/L2 while the next column is made from it.
constexpr Index kRowBlock = 1024;

void require_order(int order) {
    if (order < 0 || order > 2) {
        throw std::invalid_argument("derivative order must be 0, 1 or 2, got " +
                                    std::to_string(order));
    }
}

// p (p-1) ... (p-order+1) for p >= order, as an integer product converted to double.
inline double falling_factorial(int p, int order) {
    std::int64_t k = 1;
    for (int r = 0; r < order; ++r) k *= static_cast<std::int64_t>(p) - r;
    return static_cast<double>(k);
}

// acc(i, j) = fma(d_g[i] d_g[j], dx, acc(i, j)) for g = 0 .. len-1 in this order, for NJ
// columns from j0 and NB blocks of 4 rows from i0, all held in registers: NJ * NB independent
// chains, each in ascending grid order. d_g is column g of `rows` (`stride` entries, a multiple
// of 4, 32-byte aligned); acc is stride x cols, aligned.
template <int NJ, int NB>
void outer_product_block(const double* rows, Index stride, int len, __m256d vdx, double* acc,
                         Index j0, Index i0) {
    __m256d a[NJ][NB];
    for (int j = 0; j < NJ; ++j)
        for (int b = 0; b < NB; ++b) a[j][b] = _mm256_load_pd(acc + (j0 + j) * stride + i0 + 4 * b);
    for (int g = 0; g < len; ++g) {
        const double* d = rows + g * stride;
        __m256d v[NB];
        for (int b = 0; b < NB; ++b) v[b] = _mm256_load_pd(d + i0 + 4 * b);
        for (int j = 0; j < NJ; ++j) {
            const __m256d dj = _mm256_broadcast_sd(d + j0 + j);
            for (int b = 0; b < NB; ++b)
                a[j][b] = _mm256_fmadd_pd(_mm256_mul_pd(v[b], dj), vdx, a[j][b]);
        }
    }
    for (int j = 0; j < NJ; ++j)
        for (int b = 0; b < NB; ++b) _mm256_store_pd(acc + (j0 + j) * stride + i0 + 4 * b, a[j][b]);
}

template <int NJ>
void outer_product_rows(const double* rows, Index stride, int len, __m256d vdx, double* acc,
                        Index j0, Index i0) {
    switch ((stride - i0) / 4) {
        case 1: return outer_product_block<NJ, 1>(rows, stride, len, vdx, acc, j0, i0);
        case 2: return outer_product_block<NJ, 2>(rows, stride, len, vdx, acc, j0, i0);
        default: return outer_product_block<NJ, 3>(rows, stride, len, vdx, acc, j0, i0);
    }
}

// The lower triangle (in whole 4-row blocks) of sum_g (d_g d_g') dx accumulated into acc, for
// the first `cols` columns: each entry gets its product d_g[i] d_g[j], then one fused multiply
// by dx and add, g ascending.
void accumulate_outer_products(const double* rows, Index stride, int len, double dx,
                               double* acc, Index cols) {
    const __m256d vdx = _mm256_set1_pd(dx);
    for (Index j0 = 0; j0 < cols; j0 += 4) {
        for (Index i0 = j0 / 4 * 4; i0 < stride; i0 += 12) {
            switch (std::min<Index>(4, cols - j0)) {
                case 1: outer_product_rows<1>(rows, stride, len, vdx, acc, j0, i0); break;
                case 2: outer_product_rows<2>(rows, stride, len, vdx, acc, j0, i0); break;
                case 3: outer_product_rows<3>(rows, stride, len, vdx, acc, j0, i0); break;
                default: outer_product_rows<4>(rows, stride, len, vdx, acc, j0, i0); break;
            }
        }
    }
}

}  // namespace

// --- One dimension ------------------------------------------------------------------------

Matrix design_matrix_1d(int deg, const VectorRef& x) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
    const Index n = x.size();
    const Index cols = Index{deg} + 1;
    Matrix Phi;
    allocate(Phi, n, cols, "design matrix");
    prepare_pages(Phi);
    // Column p is column p-1 times x, built one row block at a time so that the column just
    // written is still in cache when the next one reads it. The products are the same.
    PollBudget budget;
    for (Index r0 = 0; r0 < n; r0 += kRowBlock) {
        const Index len = std::min(kRowBlock, n - r0);
        if (budget.spend(len * cols)) poll_interrupt();
        const double* xs = x.data() + r0;
        double* col = Phi.data() + r0;
        std::fill_n(col, len, 1.0);
        for (Index p = 1; p < cols; ++p) {
            const double* prev = col;
            col += n;
            for (Index i = 0; i < len; ++i) col[i] = prev[i] * xs[i];
        }
    }
    return Phi;
}

double col_deriv_scalar(double val, int p, int order) {
    require_order(order);
    if (order == 0) return std::pow(val, static_cast<double>(p));
    if (p < order) return 0.0;
    return falling_factorial(p, order) * std::pow(val, static_cast<double>(p - order));
}

void deriv_row(double x, int deg, int order, Vector& out) {
    require_order(order);
    if (deg < 0) return;
    require_at_least(out.size(), "the derivative row", Index{deg} + 1,
                     ("degree " + std::to_string(deg)).c_str(), "monomials");
    for (int p = 0; p <= deg; ++p) out[p] = col_deriv_scalar(x, p, order);
}

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max,
                                                 int n_grid) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
    if (n_grid < 2) throw std::invalid_argument("n_grid < 2");
    const Index M = Index{deg} + 1;
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    PenaltyMatrices1D r;
    // The results first: a degree whose matrices cannot be stored fails here, before the work
    // buffers of deg + 1 rows below are filled (which could exhaust memory first).
    allocate(r.R1, M, M, "penalty matrix R1");
    allocate(r.R2, M, M, "penalty matrix R2");

    // The derivative rows of a chunk of grid points, one column per point, padded to whole
    // vectors. Both rows at a point use the same powers x^q, q = 0 .. deg-1, so each is
    // computed once with pow: the entries are exactly those deriv_row gives for orders 1 and 2.
    const Index stride = (M + 3) / 4 * 4;
    const int chunk = std::min(n_grid, 2048);
    Matrix rows1 = Matrix::Zero(stride, chunk), rows2 = Matrix::Zero(stride, chunk);
    Matrix acc1 = Matrix::Zero(stride, M), acc2 = Matrix::Zero(stride, M);
    Vector c1(M), c2(M);  // the integer factors p and p (p-1), as doubles
    for (int p = 0; p <= deg; ++p) {
        c1[p] = falling_factorial(p, 1);
        c2[p] = p >= 2 ? falling_factorial(p, 2) : 0.0;
    }

    // R += (d d') dx point after point: entry (i, j) gets its product d[i] d[j], then one fused
    // multiply by dx and add, in ascending grid order.
    auto accumulate = [&](const Matrix& rows, int len, Matrix& acc) {
        accumulate_outer_products(rows.data(), stride, len, dx, acc.data(), M);
    };

    std::vector<double> pw(static_cast<std::size_t>(std::max(deg, 1)));
    pw[0] = 1.0;  // pow(x, 0) is 1 for every x, NaN included
    // g0 advances by len, never past n_grid: stepping by a whole chunk from the last one would
    // pass INT_MAX for an n_grid within a chunk of it.
    PollBudget budget;
    for (int g0 = 0, len = 0; g0 < n_grid; g0 += len) {
        len = std::min(chunk, n_grid - g0);
        if (budget.spend(Index{len} * (M + 2) * (M + 2))) poll_interrupt();
        for (int k = 0; k < len; ++k) {
            const double g = static_cast<double>(g0 + k);
            const double x = std::fma(g, dx, x_min);  // afresh from g, never summed
            for (int q = 1; q < deg; ++q) pw[static_cast<std::size_t>(q)] = std::pow(x, static_cast<double>(q));
            double* d1 = rows1.col(k).data();
            double* d2 = rows2.col(k).data();
            for (int p = 1; p <= deg; ++p) d1[p] = c1[p] * pw[static_cast<std::size_t>(p - 1)];
            for (int p = 2; p <= deg; ++p) d2[p] = c2[p] * pw[static_cast<std::size_t>(p - 2)];
        }
        accumulate(rows1, len, acc1);
        accumulate(rows2, len, acc2);
    }
    r.R1 = acc1.topRows(M);
    r.R2 = acc2.topRows(M);
    for (Index j = 1; j < M; ++j) {
        for (Index i = 0; i < j; ++i) {
            r.R1(i, j) = r.R1(j, i);  // (d d') is symmetric entry by entry: the same value
            r.R2(i, j) = r.R2(j, i);
        }
    }
    return r;
}

Matrix boundary_reduce_1d(int deg, double x_min, double x_max) {
    if (deg < -1) throw std::invalid_argument("deg < 0");
    const Index M = Index{deg} + 1;
    Matrix S;  // first: a size that cannot be stored fails before any other work
    allocate(S, M, M, "boundary matrix");
    Vector a1(M), a2(M), b1(M), b2(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    // Rb = b2 b1' - a2 a1': the first outer product is rounded, the second is subtracted from
    // it in one fused step. Rb is formed in S, then S = (Rb + Rb') / 2 in place, pair by pair.
    for (Index j = 0; j < M; ++j)
        for (Index i = 0; i < M; ++i) S(i, j) = std::fma(-a2[i], a1[j], b2[i] * b1[j]);
    for (Index j = 0; j < M; ++j) {
        for (Index i = j; i < M; ++i) {
            const double s = 0.5 * (S(i, j) + S(j, i));
            S(i, j) = s;
            S(j, i) = s;
        }
    }
    return S;
}

// --- Several dimensions -------------------------------------------------------------------

void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim,
                            std::vector<int>& current, MultiIndexList& out) {
    // An odometer over dimensions dim .. D-1, the last one turning fastest: the lexicographic
    // order of a nested loop per dimension, without a call level per dimension, so that any
    // number of dimensions fits on the stack.
    const std::size_t D = degrees.size();
    for (std::size_t d = dim; d < D; ++d) {
        if (degrees[d] < 0) return;  // a dimension without exponents: no multi-index at all
        current[d] = 0;
    }
    for (;;) {
        out.push_back(current);
        std::size_t d = D;
        for (;;) {
            if (d <= dim) return;  // every dimension has run through its exponents
            --d;
            if (current[d] < degrees[d]) {
                ++current[d];
                break;
            }
            current[d] = 0;
        }
    }
}

namespace {

constexpr Index kLanes = Eigen::internal::packet_traits<double>::size;
using AlignedMap = Eigen::Map<Vector, Eigen::Aligned32>;
using ConstAlignedMap = Eigen::Map<const Vector, Eigen::Aligned32>;

// out[0 .. len) = x^p by Eigen's element-wise array pow, for 32-byte aligned x and out and a
// len of whole packets, so that every entry goes through the vectorised pow. Kept out of
// line: the bits of the vectorised pow depend on how the compiler contracts its multiply-adds,
// which can change when it is inlined next to other code, so it is compiled once, on its own.
[[gnu::noinline]] void packet_pow(const double* x, Index len, double p, double* out) {
    AlignedMap(out, len).array() = ConstAlignedMap(x, len).array().pow(p);
}

}  // namespace

Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<VectorRef>& X_cols) {
    if (X_cols.empty()) throw std::invalid_argument("X_cols holds no sample vectors");
    const std::size_t D = X_cols.size();
    const Index n = X_cols[0].size();
    for (std::size_t d = 1; d < D; ++d) {
        if (X_cols[d].size() < n) {
            const std::string what = "X_cols[" + std::to_string(d) + "]";
            require_at_least(X_cols[d].size(), what.c_str(), n, "X_cols[0]");
        }
    }
    for (std::size_t m = 0; m < multi_indices.size(); ++m) {
        if (multi_indices[m].size() < D) {
            const std::string what = "multi_indices[" + std::to_string(m) + "]";
            require_at_least(static_cast<Index>(multi_indices[m].size()), what.c_str(),
                             static_cast<Index>(D), "X_cols", "vectors");
        }
    }
    const Index M = static_cast<Index>(multi_indices.size());
    Matrix Phi;
    allocate(Phi, n, M, "design matrix");
    prepare_pages(Phi);
    if (n == 0 || M == 0) return Phi;

    // Column m is 1.0 times X_cols[d]^e_d for every e_d > 0, in ascending d, each power from
    // Eigen's element-wise array pow. That pow is vectorised for the entries its assignment
    // loop handles as whole packets, and std::pow for the few it handles one by one: those
    // before the column's first 32-byte boundary and after its last whole packet. The packet
    // powers do not depend on the column, so each (d, e) is computed once, and the edge rows
    // of every column are redone with std::pow at the end. The vectorised pow returns x itself
    // for the exponent 1.
    const Index padded = (n + kLanes - 1) / kLanes * kLanes;
    std::vector<Vector> xs(D);
    std::vector<std::map<int, Vector>> tables(D);
    struct PowerJob {
        const double* x;
        int e;
        double* out;
    };
    std::vector<PowerJob> todo;  // the powers x_d^e that are needed, e >= 2
    PollBudget budget;
    for (std::size_t d = 0; d < D; ++d) {
        if (budget.spend(padded)) poll_interrupt();
        xs[d] = Vector::Ones(padded);
        xs[d].head(n) = X_cols[d].head(n);
    }
    std::vector<std::vector<const double*>> factors(static_cast<std::size_t>(M));
    for (Index m = 0; m < M; ++m) {
        const MultiIndex& mi = multi_indices[static_cast<std::size_t>(m)];
        auto& f = factors[static_cast<std::size_t>(m)];
        if (budget.spend(static_cast<Index>(D) * 16)) poll_interrupt();
        for (std::size_t d = 0; d < D; ++d) {
            const int e = mi[d];
            if (e <= 0) continue;
            if (e == 1) {
                f.push_back(xs[d].data());
                continue;
            }
            auto it = tables[d].find(e);
            if (it == tables[d].end()) {
                if (budget.spend(padded)) poll_interrupt();
                it = tables[d].emplace(e, Vector(padded)).first;
                todo.push_back({xs[d].data(), e, it->second.data()});
            }
            f.push_back(it->second.data());
        }
    }

    // Independent entries, each written once: the same values on any number of threads.
    // Threads only for a millisecond of work or more (about 50 ns per power), where waiting
    // for a busy core costs little in proportion.
    constexpr Index kPowChunk = 4096;  // a multiple of the packet size
    const Index chunks = (padded + kPowChunk - 1) / kPowChunk;
    const Index jobs = static_cast<Index>(todo.size()) * chunks;
    const Index powers = padded * static_cast<Index>(todo.size());
    StopFlag stop;  // every job polls: a job is a few thousand powers
#pragma omp parallel for schedule(dynamic, 1) if (zelk::threads_allowed() && jobs > 1 && powers >= 8 * kPowChunk)
    for (Index job = 0; job < jobs; ++job) {
        if (stop.poll()) continue;
        const PowerJob& t = todo[static_cast<std::size_t>(job / chunks)];
        const Index r0 = job % chunks * kPowChunk;
        const Index len = std::min(kPowChunk, padded - r0);
        packet_pow(t.x + r0, len, static_cast<double>(t.e), t.out + r0);
        if (t.e % 2 != 0) {
            // The vectorised pow gives +inf for -inf to an odd power, where std::pow (for the
            // edge rows) and every other source of x^e give -inf.
            constexpr double kNegInf = -std::numeric_limits<double>::infinity();
            for (Index i = r0; i < r0 + len; ++i)
                if (t.x[i] == kNegInf) t.out[i] = kNegInf;
        }
    }
    stop.rethrow();

    // Columns in small dynamic chunks: a thread that gets its core late takes only what is
    // left, instead of holding up a fixed half of the matrix.
    const int cols_per_chunk = static_cast<int>(std::max<Index>(1, (Index{1} << 16) / n));
#pragma omp parallel if (zelk::threads_allowed() && n * M >= (Index{1} << 20))
    {
    PollBudget thread_budget;  // each thread its own
#pragma omp for schedule(dynamic, cols_per_chunk)
    for (Index m = 0; m < M; ++m) {
        if (stop.stopped()) continue;
        double* col = Phi.data() + m * n;
        const auto& f = factors[static_cast<std::size_t>(m)];
        if (f.empty()) {
            std::fill_n(col, n, 1.0);
        } else if (f.size() == 1) {
            std::copy_n(f[0], n, col);  // 1.0 times a power is that power
        } else {
            // ((f0 f1) f2) ..., one row block at a time so the column is written once.
            for (Index r0 = 0; r0 < n; r0 += kRowBlock) {
                const Index len = std::min(kRowBlock, n - r0);
                if (thread_budget.spend(len * static_cast<Index>(f.size())) && stop.poll()) break;
                double* c = col + r0;
                const double* f0 = f[0] + r0;
                const double* f1 = f[1] + r0;
                for (Index i = 0; i < len; ++i) c[i] = f0[i] * f1[i];
                for (std::size_t k = 2; k < f.size(); ++k) {
                    const double* fk = f[k] + r0;
                    for (Index i = 0; i < len; ++i) c[i] *= fk[i];
                }
            }
        }
        const Index start = Eigen::internal::first_default_aligned(col, n);
        const Index end = start + (n - start) / kLanes * kLanes;
        const MultiIndex& mi = multi_indices[static_cast<std::size_t>(m)];
        auto scalar_row = [&](Index i) {
            double v = 1.0;
            for (std::size_t d = 0; d < D; ++d)
                if (mi[d] > 0) v *= std::pow(X_cols[d][i], static_cast<double>(mi[d]));
            col[i] = v;
        };
        for (Index i = 0; i < start; ++i) scalar_row(i);
        for (Index i = end; i < n; ++i) scalar_row(i);
        if (thread_budget.spend(n) && stop.poll()) continue;
    }
    }
    stop.rethrow();
    return Phi;
}

std::array<Matrix, 3> axis_grams(Index n, double lo, double hi, int deg) {
    // The axis and its tables are made a chunk of points at a time, so memory does not grow
    // with n. A chunk starts at a multiple of the packet size in an aligned buffer, so the
    // linearly spaced fill computes every point exactly as it does for the whole axis (whole
    // packets from the start, single points at the end).
    constexpr Index kChunk = 4096;
    const int P = deg + 1;
    std::array<Matrix, 3> gram;
    for (Matrix& g : gram) g = Matrix::Zero(P, P);
    Vector axis(std::min(n, kChunk));
    Matrix T(axis.size(), P);
    PollBudget budget;
    for (Index k0 = 0; k0 < n; k0 += kChunk) {
        const Index len = std::min(kChunk, n - k0);
        if (budget.spend(len * P * (P + 3))) poll_interrupt();
        axis.head(len) = Vector::LinSpaced(n, lo, hi).segment(k0, len);
        for (int o = 0; o < 3; ++o) {
            for (int p = 0; p < P; ++p)
                for (Index k = 0; k < len; ++k) T(k, p) = col_deriv_scalar(axis[k], p, o);
            Matrix& g = gram[static_cast<std::size_t>(o)];
            for (int b = 0; b < P; ++b) {
                for (int a = b; a < P; ++a) {
                    double s = g(a, b);
                    for (Index k = 0; k < len; ++k) s = std::fma(T(k, a), T(k, b), s);
                    g(a, b) = s;
                }
            }
        }
    }
    for (Matrix& g : gram)
        for (int b = 0; b < P; ++b)
            for (int a = b + 1; a < P; ++a) g(b, a) = g(a, b);
    return gram;
}

PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<Bound>& bounds,
                                            int n_grid_per_dim) {
    if (bounds.size() != degrees.size()) throw std::invalid_argument("Dimension mismatch.");
    for (int deg : degrees)
        if (deg < -1) throw std::invalid_argument("degree < -1");
    if (n_grid_per_dim < 2) throw std::invalid_argument("n_grid_per_dim < 2");

    const std::size_t D = degrees.size();
    const Index n = n_grid_per_dim;
    // The basis size, refused before anything is built when it cannot be stored.
    Index M = 1;
    for (int deg : degrees) {
        if (__builtin_mul_overflow(M, Index{deg} + 1, &M))
            throw AllocationError("cannot allocate the penalty matrices of a basis of more than 2^63 functions");
    }
    PenaltyMatricesND r;
    if (M == 0) return r;  // a degree of -1: no basis functions, 0 x 0 matrices
    // The results first: a basis too large to store fails here, before any other work.
    allocate(r.R1, M, M, "penalty matrix R1");
    allocate(r.R2, M, M, "penalty matrix R2");
    prepare_pages(r.R1);
    prepare_pages(r.R2);
    r.multi_indices.reserve(static_cast<std::size_t>(M));
    std::vector<int> current(D, 0);
    generate_multi_indices(degrees, 0, current, r.multi_indices);

    // The grid is the full tensor product of the axes and dV is a product, so the grid sum of
    // a product of per-axis factors is the product of per-axis sums. For multi-indices a, b
    // and derivative orders o_d,
    //     sum_g prod_d T_d[o_d](k_d, a_d) T_d[o_d](k_d, b_d) = prod_d Gram_d[o_d](a_d, b_d),
    // with Gram_d[o] = T_d[o]' T_d[o] over the n points of axis d. Every term of R1 and R2 is
    // therefore a Kronecker product of these small matrices (dimension 0 the most significant
    // factor, as in the multi-index order), and no G x M matrix is ever formed.
    double dV = 1.0;
    std::vector<std::array<Matrix, 3>> gram(D);  // gram[d][o]: (deg_d + 1) x (deg_d + 1)
    for (std::size_t d = 0; d < D; ++d) {
        const double lo = bounds[d].first, hi = bounds[d].second;
        const double step = (hi - lo) / static_cast<double>(n - 1);
        dV = step * dV;
        gram[d] = axis_grams(n, lo, hi, degrees[d]);
    }

    // Over the leading dimensions 0 .. d, with Kronecker products over those dimensions:
    //   A = the product of the order-0 Grams (the value of f, squared),
    //   B = the sum over i of the products with order 1 in dimension i (the gradient terms),
    //   C = the sum over ordered pairs (i, j) of the Hessian terms: order 2 in dimension i when
    //       i = j, order 1 in each of i and j otherwise, so every mixed pair counts twice.
    // Appending dimension d + 1 with Grams G0, G1, G2:
    //   A' = A (x) G0,   B' = B (x) G0 + A (x) G1,   C' = C (x) G0 + 2 B (x) G1 + A (x) G2.
    // The last step writes B and C straight into R1 and R2.
    // Each step maps symmetric matrices to symmetric ones with the same operations for (r, s)
    // and (s, r), and a product with an exactly zero Gram entry (order 1 of a constant, order 2
    // of a constant or linear factor) is exactly zero, so the vanishing rows and columns are
    // exact zeros.
    Matrix A = Matrix::Ones(1, 1), B = Matrix::Zero(1, 1), C = Matrix::Zero(1, 1);
    PollBudget budget;
    for (std::size_t d = 0; d < D; ++d) {
        const bool last = d + 1 == D;
        const Index m0 = A.rows();
        const Index P = gram[d][0].rows();
        const Index m1 = m0 * P;
        const Matrix& G0 = gram[d][0];
        const Matrix& G1 = gram[d][1];
        const Matrix& G2 = gram[d][2];
        Matrix A1, B1, C1;
        if (!last) {  // the last A is not needed
            A1.resize(m1, m1);
            B1.resize(m1, m1);
            C1.resize(m1, m1);
        }
        double* const nextB = last ? r.R1.data() : B1.data();
        double* const nextC = last ? r.R2.data() : C1.data();
        for (Index s0 = 0; s0 < m0; ++s0) {
            if (budget.spend(P * m1)) poll_interrupt();
            for (Index b = 0; b < P; ++b) {
                const Index s = s0 * P + b;
                for (Index r0 = 0; r0 < m0; ++r0) {
                    const double a = A(r0, s0), bb = B(r0, s0), c = C(r0, s0);
                    const double b2 = 2.0 * bb;
                    double* outB = nextB + s * m1 + r0 * P;
                    double* outC = nextC + s * m1 + r0 * P;
                    const double* g0 = G0.col(b).data();
                    const double* g1 = G1.col(b).data();
                    const double* g2 = G2.col(b).data();
                    // A term with an exactly zero Gram entry is left out rather than added as
                    // a zero product: in thousands of dimensions A overflows, and inf * 0 would
                    // make a vanishing derivative NaN. Otherwise the same sums (a left-out term
                    // can only change the sign of a zero, which the final scaling clears).
                    for (Index i = 0; i < P; ++i) {
                        const double b0 = bb * g0[i], c0 = c * g0[i];
                        outB[i] = g1[i] == 0.0 ? b0 : std::fma(a, g1[i], b0);
                        const double c1 = g1[i] == 0.0 ? c0 : std::fma(b2, g1[i], c0);
                        outC[i] = g2[i] == 0.0 ? c1 : std::fma(a, g2[i], c1);
                    }
                    if (!last) {
                        double* outA = A1.data() + s * m1 + r0 * P;
                        for (Index i = 0; i < P; ++i) outA[i] = a * g0[i];
                    }
                }
            }
        }
        if (!last) {
            A = std::move(A1);
            B = std::move(B1);
            C = std::move(C1);
        }
    }
    if (D == 0) {  // no dimension: the single constant basis function, no derivatives
        r.R1 = B;
        r.R2 = C;
    }

    // dV times the sums; a vanishing entry comes out as +0 whatever the sign of dV.
    double* R1 = r.R1.data();
    double* R2 = r.R2.data();
    for (Index j = 0; j < M; ++j) {
        if (budget.spend(M - j)) poll_interrupt();
        for (Index i = j; i < M; ++i) {
            const double v1 = std::fma(dV, R1[j * M + i], 0.0);
            const double v2 = std::fma(dV, R2[j * M + i], 0.0);
            R1[j * M + i] = R1[i * M + j] = v1;
            R2[j * M + i] = R2[i * M + j] = v2;
        }
    }
    return r;
}

}  // namespace zelk
