#include "basis.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <new>
#include <stdexcept>
#include <string>

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

}  // namespace

// --- One dimension ------------------------------------------------------------------------

Matrix design_matrix_1d(int deg, const Vector& x) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
    const Index n = x.size();
    const Index cols = Index{deg} + 1;
    Matrix Phi(n, cols);
    prepare_pages(Phi);
    // Column p is column p-1 times x, built one row block at a time so that the column just
    // written is still in cache when the next one reads it. The products are the same.
    for (Index r0 = 0; r0 < n; r0 += kRowBlock) {
        const Index len = std::min(kRowBlock, n - r0);
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
    require_at_least(out.size(), "the derivative row", Index{deg} + 1, "deg + 1");
    for (int p = 0; p <= deg; ++p) out[p] = col_deriv_scalar(x, p, order);
}

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max,
                                                 int n_grid) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
    if (n_grid < 2) throw std::invalid_argument("n_grid < 2");
    const Index M = Index{deg} + 1;
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    PenaltyMatrices1D r{Matrix::Zero(M, M), Matrix::Zero(M, M)};

    // Both derivative rows at a point use the same powers x^q, q = 0 .. deg-1: each is computed
    // once with pow, giving exactly the entries deriv_row gives for orders 1 and 2.
    Vector pw(std::max<Index>(deg, 1)), d1(M), d2(M);
    pw[0] = 1.0;  // pow(x, 0) is 1 for every x, NaN included
    Vector c1(M), c2(M);  // the integer factors p and p (p-1), as doubles
    for (int p = 0; p <= deg; ++p) {
        c1[p] = falling_factorial(p, 1);
        c2[p] = p >= 2 ? falling_factorial(p, 2) : 0.0;
    }
    double* R1 = r.R1.data();
    double* R2 = r.R2.data();
    for (int g = 0; g < n_grid; ++g) {
        const double x = std::fma(static_cast<double>(g), dx, x_min);  // afresh, never summed
        for (int q = 1; q < deg; ++q) pw[q] = std::pow(x, static_cast<double>(q));
        d1[0] = 0.0;
        for (int p = 1; p <= deg; ++p) d1[p] = c1[p] * pw[p - 1];
        d2[0] = 0.0;
        if (deg >= 1) d2[1] = 0.0;
        for (int p = 2; p <= deg; ++p) d2[p] = c2[p] * pw[p - 2];
        // R += (d d') dx: each entry gets its product d[i] d[j], then one fused multiply by dx
        // and add. The outer product is symmetric entry by entry, so the lower triangle is
        // accumulated and the upper one copied at the end.
        for (Index j = 0; j < M; ++j) {
            const double a1 = d1[j], a2 = d2[j];
            double* r1 = R1 + j * M;
            double* r2 = R2 + j * M;
            for (Index i = j; i < M; ++i) {
                r1[i] = std::fma(d1[i] * a1, dx, r1[i]);
                r2[i] = std::fma(d2[i] * a2, dx, r2[i]);
            }
        }
    }
    for (Index j = 1; j < M; ++j) {
        for (Index i = 0; i < j; ++i) {
            R1[j * M + i] = R1[i * M + j];
            R2[j * M + i] = R2[i * M + j];
        }
    }
    return r;
}

Matrix boundary_reduce_1d(int deg, double x_min, double x_max) {
    if (deg < -1) throw std::invalid_argument("deg < 0");
    const Index M = Index{deg} + 1;
    Vector a1(M), a2(M), b1(M), b2(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    // Rb = b2 b1' - a2 a1': the first outer product is rounded, the second is subtracted from
    // it in one fused step.
    Matrix Rb(M, M);
    for (Index j = 0; j < M; ++j)
        for (Index i = 0; i < M; ++i) Rb(i, j) = std::fma(-a2[i], a1[j], b2[i] * b1[j]);
    Matrix S(M, M);
    for (Index j = 0; j < M; ++j)
        for (Index i = 0; i < M; ++i) S(i, j) = 0.5 * (Rb(i, j) + Rb(j, i));
    return S;
}

// --- Several dimensions -------------------------------------------------------------------

void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim,
                            std::vector<int>& current, MultiIndexList& out) {
    if (dim == degrees.size()) {
        out.push_back(current);
        return;
    }
    for (int i = 0; i <= degrees[dim]; ++i) {
        current[dim] = i;
        generate_multi_indices(degrees, dim + 1, current, out);
    }
}

namespace {

// out = x^p by Eigen's element-wise array pow. Kept out of line: the bits of the vectorised
// pow depend on how the compiler contracts its multiply-adds, which can change when it is
// inlined next to other code, so it is compiled once, on its own, in this one form.
[[gnu::noinline]] void array_pow(const Vector& x, double p, Vector& out) {
    out.array() = x.array().pow(p);
}

// Powers of one sample vector by Eigen's element-wise array pow, every entry through its
// vectorised path: the vector is padded to whole packets so that no entry falls in the scalar
// tail of the assignment loop.
class PacketPowers {
public:
    PacketPowers(const Vector& x, Index n) {
        constexpr Index lanes = Eigen::internal::packet_traits<double>::size;
        padded_ = Vector::Ones((n + lanes - 1) / lanes * lanes);
        padded_.head(n) = x.head(n);
    }

    // x^p for the n samples, computed on first use and kept (map nodes do not move).
    const double* of(int p) {
        auto it = tables_.find(p);
        if (it == tables_.end()) {
            Vector t(padded_.size());
            array_pow(padded_, static_cast<double>(p), t);
            it = tables_.emplace(p, std::move(t)).first;
        }
        return it->second.data();
    }

private:
    Vector padded_;
    std::map<int, Vector> tables_;
};

}  // namespace

Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols) {
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
                             static_cast<Index>(D), "X_cols");
        }
    }
    const Index M = static_cast<Index>(multi_indices.size());
    Matrix Phi(n, M);
    prepare_pages(Phi);
    if (n == 0 || M == 0) return Phi;

    // Column m is 1.0 times X_cols[d]^e_d for every e_d > 0, in ascending d. Eigen's
    // element-wise pow computes a power in its vectorised form for the entries its assignment
    // loop handles as whole packets and with std::pow for the few it handles one by one: those
    // before the column's first 32-byte boundary and after its last whole packet. The packet
    // powers do not depend on the column, so each (d, e) is computed once and reused, and the
    // edge rows of every column are redone with std::pow below.
    std::vector<PacketPowers> powers;
    powers.reserve(D);
    for (std::size_t d = 0; d < D; ++d) powers.emplace_back(X_cols[d], n);
    std::vector<std::vector<const double*>> factors(static_cast<std::size_t>(M));
    for (Index m = 0; m < M; ++m) {
        const MultiIndex& mi = multi_indices[static_cast<std::size_t>(m)];
        auto& f = factors[static_cast<std::size_t>(m)];
        for (std::size_t d = 0; d < D; ++d)
            if (mi[d] > 0) f.push_back(powers[d].of(mi[d]));
    }

    for (Index r0 = 0; r0 < n; r0 += kRowBlock) {
        const Index len = std::min(kRowBlock, n - r0);
        for (Index m = 0; m < M; ++m) {
            double* col = Phi.data() + m * n + r0;
            const auto& f = factors[static_cast<std::size_t>(m)];
            if (f.empty()) {
                std::fill_n(col, len, 1.0);
                continue;
            }
            const double* f0 = f[0] + r0;  // 1.0 times a power is that power
            std::copy_n(f0, len, col);
            for (std::size_t k = 1; k < f.size(); ++k) {
                const double* fk = f[k] + r0;
                for (Index i = 0; i < len; ++i) col[i] *= fk[i];
            }
        }
    }

    constexpr Index lanes = Eigen::internal::packet_traits<double>::size;
    for (Index m = 0; m < M; ++m) {
        double* col = Phi.data() + m * n;
        const Index start = Eigen::internal::first_default_aligned(col, n);
        const Index end = start + (n - start) / lanes * lanes;
        const MultiIndex& mi = multi_indices[static_cast<std::size_t>(m)];
        auto scalar_row = [&](Index i) {
            double v = 1.0;
            for (std::size_t d = 0; d < D; ++d)
                if (mi[d] > 0) v *= std::pow(X_cols[d][i], static_cast<double>(mi[d]));
            col[i] = v;
        };
        for (Index i = 0; i < start; ++i) scalar_row(i);
        for (Index i = end; i < n; ++i) scalar_row(i);
    }
    return Phi;
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
        if (__builtin_mul_overflow(M, Index{deg} + 1, &M)) throw std::bad_alloc();
    }
    PenaltyMatricesND r;
    if (M == 0) return r;  // a degree of -1: no basis functions, 0 x 0 matrices
    Index MM;
    if (__builtin_mul_overflow(M, M, &MM)) throw std::bad_alloc();
    r.R1 = Matrix(M, M);
    r.R2 = Matrix(M, M);
    prepare_pages(r.R1);
    prepare_pages(r.R2);
    r.multi_indices.reserve(static_cast<std::size_t>(M));
    std::vector<int> current(D, 0);
    generate_multi_indices(degrees, 0, current, r.multi_indices);

    // The grid is the full tensor product of the axes and dV is a product, so the grid sum of
    // a product of per-axis factors is the product of per-axis sums. For multi-indices a, b
    // and derivative orders o_d,
    //     sum_g prod_d T_d[o_d](k_d, a_d) T_d[o_d](k_d, b_d) = prod_d Gram_d[o_d](a_d, b_d),
    // with Gram_d[o] = T_d[o]' T_d[o] over the n points of axis d. Every term of R1 and R2 is a
    // Kronecker product of these small Gram matrices; no G x M matrix is ever formed.
    double dV = 1.0;
    // gram[d][o] is (deg_d + 1) x (deg_d + 1).
    std::vector<std::array<Matrix, 3>> gram(D);
    for (std::size_t d = 0; d < D; ++d) {
        const double lo = bounds[d].first, hi = bounds[d].second;
        const double step = (hi - lo) / static_cast<double>(n - 1);
        dV = step * dV;
        const Vector axis = Vector::LinSpaced(n, lo, hi);
        const int P = degrees[d] + 1;
        for (int o = 0; o < 3; ++o) {
            Matrix T(n, P);
            for (int p = 0; p < P; ++p)
                for (Index k = 0; k < n; ++k) T(k, p) = col_deriv_scalar(axis[k], p, o);
            Matrix& Gm = gram[d][static_cast<std::size_t>(o)];
            Gm.resize(P, P);
            for (int b = 0; b < P; ++b) {
                for (int a = b; a < P; ++a) {
                    double s = 0.0;
                    for (Index k = 0; k < n; ++k) s += T(k, a) * T(k, b);
                    Gm(a, b) = s;
                    Gm(b, a) = s;
                }
            }
        }
    }

    // Exponents as a dense M x D table, and per entry the D x 3 Gram values it needs.
    std::vector<int> ex(static_cast<std::size_t>(M) * D);
    for (Index m = 0; m < M; ++m)
        for (std::size_t d = 0; d < D; ++d)
            ex[static_cast<std::size_t>(m) * D + d] = r.multi_indices[static_cast<std::size_t>(m)][d];
    std::vector<double> g(3 * D);  // g[o * D + d] = gram[d][o](a_d, b_d)
    double* R1 = r.R1.data();
    double* R2 = r.R2.data();
    for (Index b = 0; b < M; ++b) {
        const int* eb = ex.data() + static_cast<std::size_t>(b) * D;
        for (Index a = b; a < M; ++a) {
            const int* ea = ex.data() + static_cast<std::size_t>(a) * D;
            for (std::size_t d = 0; d < D; ++d)
                for (std::size_t o = 0; o < 3; ++o) g[o * D + d] = gram[d][o](ea[d], eb[d]);
            // Hessian: all D^2 ordered pairs (i, j), order 2 on the diagonal, 1 and 1 off it;
            // gradient: order 1 along each axis. Accumulated from +0 in the order of the
            // direct sums, so entries that vanish are exactly +0.
            double h = 0.0, grad = 0.0;
            for (std::size_t i = 0; i < D; ++i) {
                for (std::size_t j = 0; j < D; ++j) {
                    double t = 1.0;
                    for (std::size_t d = 0; d < D; ++d)
                        t *= g[static_cast<std::size_t>((d == i) + (d == j)) * D + d];
                    h += t;
                }
            }
            for (std::size_t i = 0; i < D; ++i) {
                double t = 1.0;
                for (std::size_t d = 0; d < D; ++d) t *= g[(d == i ? D : 0) + d];
                grad += t;
            }
            const double v1 = std::fma(dV, grad, 0.0), v2 = std::fma(dV, h, 0.0);
            R1[b * M + a] = v1;
            R1[a * M + b] = v1;
            R2[b * M + a] = v2;
            R2[a * M + b] = v2;
        }
    }
    return r;
}

}  // namespace zelk
