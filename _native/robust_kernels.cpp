#include "robust_kernels.hpp"
#include "copy.hpp"
#include "pieces.hpp"
#include "runtime.hpp"
#include "stats.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include <immintrin.h>
#include <omp.h>

// This file is compiled with -ffp-contract=off: every fused multiply-add is written out, and
// every other product and sum is rounded on its own, as NumPy rounds it.

namespace zelk {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// --- The bisquare, element by element ------------------------------------------------------------
//
// v = ((r / scale) / c)^2, then weight = (1 - v)^2 for v < 1 (else 0), and with m = min(v, 1)
// (NaN when v is NaN, as numpy.minimum), w = 1 - m, rho = 1 - (w * w) * w and, for the M-scale's
// Newton step, d = ((6 * w) * w) * m. The scalar and the vector forms round identically.

struct ScalarBisquare {
    double v, m, w;
    ScalarBisquare(double r, double scale, double c) {
        const double u = (r / scale) / c;
        v = u * u;
        m = 1.0 < v ? 1.0 : v;
        w = 1.0 - m;
    }
    double weight() const { return v < 1.0 ? (1.0 - v) * (1.0 - v) : 0.0; }
    double rho() const { return 1.0 - (w * w) * w; }
    double slope() const { return ((6.0 * w) * w) * m; }
};

struct VectorBisquare {
    __m256d t, v, m, w;
    VectorBisquare(__m256d r, __m256d scale, __m256d c) {
        t = _mm256_div_pd(r, scale);
        const __m256d u = _mm256_div_pd(t, c);
        v = _mm256_mul_pd(u, u);
        m = _mm256_min_pd(_mm256_set1_pd(1.0), v);  // the second operand when either is NaN
        w = _mm256_sub_pd(_mm256_set1_pd(1.0), m);
    }
    __m256d weight() const {
        const __m256d one = _mm256_set1_pd(1.0);
        const __m256d d = _mm256_sub_pd(one, v);
        return _mm256_and_pd(_mm256_cmp_pd(v, one, _CMP_LT_OQ), _mm256_mul_pd(d, d));
    }
    __m256d rho() const {
        return _mm256_sub_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(_mm256_mul_pd(w, w), w));
    }
    __m256d slope() const {
        return _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(6.0), w), w), m);
    }
    // psi(t)^2 = (t (1 - v)^2)^2 and psi'(t) = (1 - v)(1 - 5 v) inside [-c, c], 0 outside.
    __m256d inside() const { return _mm256_cmp_pd(v, _mm256_set1_pd(1.0), _CMP_LT_OQ); }
    __m256d psi_squared() const {
        const __m256d d = _mm256_sub_pd(_mm256_set1_pd(1.0), v);
        const __m256d psi = _mm256_mul_pd(t, _mm256_mul_pd(d, d));
        return _mm256_and_pd(inside(), _mm256_mul_pd(psi, psi));
    }
    __m256d psi_slope() const {
        const __m256d d = _mm256_sub_pd(_mm256_set1_pd(1.0), v);
        const __m256d e = _mm256_sub_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(_mm256_set1_pd(5.0), v));
        return _mm256_and_pd(inside(), _mm256_mul_pd(d, e));
    }
};

// --- Threads and interrupts (pieces.hpp) -------------------------------------------------------

// Element-wise passes poll between chunks of this many entries (a multiple of 8, so that the
// lanes of a sum do not depend on the chunks).
constexpr Index kChunk = Index{1} << 15;

// Calls chunk(i0, i1) over [0, n) in chunks, polling for an interrupt between them.
template <typename Chunk>
void in_chunks(Index n, Chunk chunk) {
    for (Index i0 = 0; i0 < n; i0 += kChunk) {
        if (i0 > 0) poll_interrupt();
        chunk(i0, std::min(n, i0 + kChunk));
    }
}

// --- Vectors ------------------------------------------------------------------------------------

// out[i] = f(r[i]) for the element-wise bisquare function `f` (weight or rho).
template <typename VecF, typename ScalarF>
Vector map_bisquare(const VectorView& r, double scale, double c, VecF vf, ScalarF sf) {
    const Index n = r.size();
    Vector out(n);
    prepare_pages(out);
    const Index step = r.innerStride();
    const double* x = r.data();
    double* y = out.data();
    const __m256d s4 = _mm256_set1_pd(scale), c4 = _mm256_set1_pd(c);
    in_chunks(n, [&](Index i0, Index i1) {
        Index i = i0;
        if (step == 1) {
            for (; i + 4 <= i1; i += 4) _mm256_storeu_pd(y + i, vf(VectorBisquare(_mm256_loadu_pd(x + i), s4, c4)));
        }
        for (; i < i1; ++i) y[i] = sf(ScalarBisquare(x[i * step], scale, c));
    });
    return out;
}

// Sums of rho and of the Newton slope term over |r| (contiguous), in 8 lanes: lane l takes the
// entries i = l (mod 8) below the largest multiple of 8, in order; the lanes are combined as
// ((l0 + l4) + (l1 + l5)) + ((l2 + l6) + (l3 + l7)), and the last n mod 8 entries follow in
// order. The order depends on n only.
struct RhoSums {
    double rho = 0.0;
    double slope = 0.0;
};

double combine8(__m256d a, __m256d b) {
    const __m256d s = _mm256_add_pd(a, b);  // l0+l4, l1+l5, l2+l6, l3+l7
    alignas(32) double t[4];
    _mm256_store_pd(t, s);
    return (t[0] + t[1]) + (t[2] + t[3]);
}

template <bool kSlope>
RhoSums rho_sums(const double* a, Index n, Index step, double scale, double c) {
    const __m256d s4 = _mm256_set1_pd(scale), c4 = _mm256_set1_pd(c);
    __m256d r0 = _mm256_setzero_pd(), r1 = r0, d0 = r0, d1 = r0;
    const Index n8 = n / 8 * 8;
    in_chunks(n8, [&](Index i0, Index i1) {
        if (step == 1) {
            for (Index i = i0; i < i1; i += 8) {
                const VectorBisquare b0(_mm256_loadu_pd(a + i), s4, c4);
                const VectorBisquare b1(_mm256_loadu_pd(a + i + 4), s4, c4);
                r0 = _mm256_add_pd(r0, b0.rho());
                r1 = _mm256_add_pd(r1, b1.rho());
                if constexpr (kSlope) {
                    d0 = _mm256_add_pd(d0, b0.slope());
                    d1 = _mm256_add_pd(d1, b1.slope());
                }
            }
        } else {
            for (Index i = i0; i < i1; i += 8) {
                const auto at = [&](Index k) { return a[(i + k) * step]; };
                const VectorBisquare b0(_mm256_setr_pd(at(0), at(1), at(2), at(3)), s4, c4);
                const VectorBisquare b1(_mm256_setr_pd(at(4), at(5), at(6), at(7)), s4, c4);
                r0 = _mm256_add_pd(r0, b0.rho());
                r1 = _mm256_add_pd(r1, b1.rho());
                if constexpr (kSlope) {
                    d0 = _mm256_add_pd(d0, b0.slope());
                    d1 = _mm256_add_pd(d1, b1.slope());
                }
            }
        }
    });
    RhoSums sums{combine8(r0, r1), kSlope ? combine8(d0, d1) : 0.0};
    for (Index i = n8; i < n; ++i) {
        const ScalarBisquare b(a[i * step], scale, c);
        sums.rho += b.rho();
        if constexpr (kSlope) sums.slope += b.slope();
    }
    return sums;
}

// --- Designs in blocks of rows -----------------------------------------------------------------
//
// The row passes copy a block of rows of the design at a time into a column-major panel (a few
// hundred rows, small enough for the second-level cache), from any layout, and do all their
// work there. Panel rows past the end of the design are zero.

constexpr Index kLanes = 4;
constexpr Index kTile = 3;
constexpr Index kTileSums = kTile * kTile * kLanes;

// Rows per block: panels of about 128 KiB (a multiple of 4 rows, between 64 and 512), long
// enough that a tile's sums, loaded and stored once per block, take many multiply-adds each.
Index block_rows(Index cols) {
    return std::clamp<Index>(16384 / std::max<Index>(cols, 1) / kLanes * kLanes, 64, 512);
}

// The distance between a panel's columns: a block's rows and one cache line more, so that the
// columns do not all fall into the same sets of the first-level cache (block rows of 512
// doubles would put every column exactly 4 KiB apart).
Index panel_stride(Index block) { return block + 8; }

// P[j * ld + i] = Phi(r0 + i, j) for i < rows, j < cols; P[j * ld + i] = 0 for rows <= i < ld.
void pack_block(const DesignView& Phi, Index r0, Index rows, Index ld, double* P) {
    const Index cols = Phi.cols();
    const Index inner = Phi.innerStride(), outer = Phi.outerStride();
    const double* src = Phi.data();
    if (inner == 1) {  // columns contiguous
        for (Index j = 0; j < cols; ++j)
            std::memcpy(P + j * ld, src + j * outer + r0, static_cast<std::size_t>(rows) * sizeof(double));
    } else if (outer == 1) {  // rows contiguous, `inner` apart: packed as the arguments are (copy.hpp)
        pack_columns(src + r0 * inner, inner, rows, cols, 1.0, P, ld);
    } else {
        for (Index j = 0; j < cols; ++j)
            for (Index i = 0; i < rows; ++i) P[j * ld + i] = src[(r0 + i) * inner + j * outer];
    }
    for (Index j = 0; j < cols; ++j) std::fill(P + j * ld + rows, P + (j + 1) * ld, 0.0);
}

// dst[i] = v(r0 + i) for i < rows, 0 for rows <= i < ld.
void pack_vector(const VectorView& v, Index r0, Index rows, Index ld, double* dst) {
    const Index step = v.innerStride();
    const double* src = v.data() + r0 * step;
    if (step == 1) {
        std::memcpy(dst, src, static_cast<std::size_t>(rows) * sizeof(double));
    } else {
        for (Index i = 0; i < rows; ++i) dst[i] = src[i * step];
    }
    std::fill(dst + rows, dst + ld, 0.0);
}

// r[i] = z[i] - (P row i) beta for i < rows (a multiple of 4; columns ld apart): the product
// starts with the first column's plain product and adds each further column by a fused
// multiply-add.
void panel_residuals(const double* P, Index ld, Index rows, Index cols, const double* z,
                     const double* beta, double* r) {
    for (Index i = 0; i < rows; i += kLanes) {
        __m256d acc = _mm256_setzero_pd();
        if (cols > 0) acc = _mm256_mul_pd(_mm256_loadu_pd(P + i), _mm256_set1_pd(beta[0]));
        for (Index k = 1; k < cols; ++k)
            acc = _mm256_fmadd_pd(_mm256_loadu_pd(P + k * ld + i), _mm256_set1_pd(beta[k]), acc);
        _mm256_storeu_pd(r + i, _mm256_sub_pd(_mm256_loadu_pd(z + i), acc));
    }
}

// Adds to the lane sums `acc` (9 x 4: entry (a, b) at (3 a + b) * 4) the products of the rows
// [0, rows) (a multiple of 4) of the columns a0..a2 with b0..b2: lane l takes the rows
// i = l (mod 4) in order, one fused multiply-add each.
void tile_rows(const double* const* a, const double* const* b, Index rows, double* acc) {
    __m256d c[kTile][kTile];
    for (int i = 0; i < kTile; ++i)
        for (int j = 0; j < kTile; ++j) c[i][j] = _mm256_loadu_pd(acc + (i * kTile + j) * kLanes);
    const double *a0 = a[0], *a1 = a[1], *a2 = a[2];
    const double *b0 = b[0], *b1 = b[1], *b2 = b[2];
    for (Index r = 0; r < rows; r += kLanes) {
        const __m256d x0 = _mm256_loadu_pd(a0 + r);
        const __m256d x1 = _mm256_loadu_pd(a1 + r);
        const __m256d x2 = _mm256_loadu_pd(a2 + r);
        __m256d v = _mm256_loadu_pd(b0 + r);
        c[0][0] = _mm256_fmadd_pd(x0, v, c[0][0]);
        c[1][0] = _mm256_fmadd_pd(x1, v, c[1][0]);
        c[2][0] = _mm256_fmadd_pd(x2, v, c[2][0]);
        v = _mm256_loadu_pd(b1 + r);
        c[0][1] = _mm256_fmadd_pd(x0, v, c[0][1]);
        c[1][1] = _mm256_fmadd_pd(x1, v, c[1][1]);
        c[2][1] = _mm256_fmadd_pd(x2, v, c[2][1]);
        v = _mm256_loadu_pd(b2 + r);
        c[0][2] = _mm256_fmadd_pd(x0, v, c[0][2]);
        c[1][2] = _mm256_fmadd_pd(x1, v, c[1][2]);
        c[2][2] = _mm256_fmadd_pd(x2, v, c[2][2]);
    }
    for (int i = 0; i < kTile; ++i)
        for (int j = 0; j < kTile; ++j) _mm256_storeu_pd(acc + (i * kTile + j) * kLanes, c[i][j]);
}

// --- The weighted Gram pass ----------------------------------------------------------------------
//
// The lower triangle of C^T W C for the columns C = [Phi z] (z when given), with W the product of
// the optional prior weights and, for an IRLS step, the bisquare weights of the residuals. Every
// entry is summed in one fixed order that depends on the shape only:
//   - the rows are cut into segments of segment_rows() rows; within a segment, lane l (0..3)
//     accumulates (w_i c_ia) c_ib over the rows i = l (mod 4) counted from the segment's start,
//     in row order, one fused multiply-add each, from 0 (the last segment is padded with zero
//     rows to a multiple of 4);
//   - a segment's value is (lane0 + lane1) + (lane2 + lane3);
//   - the entry is the sum of the segments' values from the first to the last.
// The sum of rho follows the same rule. Segments run in parallel when that pays; blocks of rows
// and tiles of 3 x 3 entries only decide how long sums stay in registers, not their order.

// Which function of the residuals weighs the rows of a pass from beta.
enum class WeightRule { kWeight, kPsiSlope, kPsiSquared };

struct PassInput {
    const DesignView& Phi;
    const VectorView* z = nullptr;      // the right-hand side column, or none
    const VectorView* prior = nullptr;  // prior weights, or none
    const VectorView* beta = nullptr;   // from beta: a bisquare function of z - Phi beta ...
    double scale = 0.0;                 // ... at this scale
    double c = 0.0;                     // ... and tuning constant
    const VectorView* target = nullptr; // the z of the residuals when it is not a column of the pass
    WeightRule rule = WeightRule::kWeight;
};

struct PassResult {
    Matrix lower;  // (cols + 1 with z) square, lower triangle filled
    double rho_sum = 0.0;
    Index n_active = 0;
};

constexpr Index kMinSegmentRows = 8192;

Index segment_rows(Index n, Index entries, Index block) {
    const Index most = std::clamp<Index>((Index{1} << 22) / std::max<Index>(entries, 1), 1, 16);
    const Index even = std::max(kMinSegmentRows, (n + most - 1) / most);
    return (even + block - 1) / block * block;
}

PassResult weighted_pass(const PassInput& in) {
    const DesignView& Phi = in.Phi;
    const Index n = Phi.rows(), p = Phi.cols();
    const bool irls = in.beta != nullptr;
    const bool weighted = irls || in.prior != nullptr;
    const Index cols = p + (in.z ? 1 : 0);
    const Index tiles = (cols + kTile - 1) / kTile;
    const Index padded = tiles * kTile;
    const Index tile_count = tiles * (tiles + 1) / 2;
    const Index entries = tile_count * kTile * kTile;
    const Index block = block_rows(padded);
    const Index seg_rows = segment_rows(n, entries, block);
    const Index segments = (n + seg_rows - 1) / seg_rows;

    std::vector<double> values(static_cast<std::size_t>(segments * entries));
    std::vector<double> rho_values(static_cast<std::size_t>(segments), 0.0);
    std::vector<Index> active(static_cast<std::size_t>(segments), 0);
    const double madds = double(n) * double(cols) * double(cols + 1) / 2.0;
    const bool parallel = segments > 1 && worth_threads(madds);

    for_each_piece(segments, parallel, [&](Index s, StopFlag& flag) {
        // Scratch of this piece: the panel of [Phi z], its weighted copy, residuals and
        // weights, and the lane sums of every tile.
        const Index ld = panel_stride(block);
        std::vector<double> P(static_cast<std::size_t>(padded * ld), 0.0);
        std::vector<double> Q(weighted ? static_cast<std::size_t>(padded * ld) : 0, 0.0);
        std::vector<double> r(irls ? ld : 0), w(weighted ? ld : 0), prior(in.prior ? ld : 0),
            zt(in.target ? ld : 0);
        std::vector<double> lanes(static_cast<std::size_t>(tile_count * kTileSums), 0.0);
        __m256d rho_lanes = _mm256_setzero_pd();
        Index n_active = 0;
        std::vector<const double*> pcol(padded), qcol(padded);
        for (Index j = 0; j < padded; ++j) {
            pcol[j] = P.data() + j * ld;
            qcol[j] = (weighted ? Q.data() : P.data()) + j * ld;
        }
        PollBudget budget;
        const Index r_end = std::min(n, (s + 1) * seg_rows);
        for (Index r0 = s * seg_rows; r0 < r_end; r0 += block) {
            const Index rows = std::min(block, r_end - r0);
            const Index ld_rows = (rows + kLanes - 1) / kLanes * kLanes;  // rows used in the panel
            pack_block(Phi, r0, rows, ld, P.data());
            if (in.z) pack_vector(*in.z, r0, rows, ld, P.data() + p * ld);
            if (in.prior) pack_vector(*in.prior, r0, rows, ld, prior.data());
            if (irls) {
                const double* zc = P.data() + p * ld;
                if (in.target) {
                    pack_vector(*in.target, r0, rows, ld, zt.data());
                    zc = zt.data();
                }
                panel_residuals(P.data(), ld, ld_rows, p, zc, in.beta->data(), r.data());
                const __m256d s4 = _mm256_set1_pd(in.scale), c4 = _mm256_set1_pd(in.c);
                for (Index i = 0; i < ld_rows; i += kLanes) {
                    const VectorBisquare b(_mm256_loadu_pd(r.data() + i), s4, c4);
                    __m256d rho = b.rho();
                    __m256d wi = in.rule == WeightRule::kWeight     ? b.weight()
                                 : in.rule == WeightRule::kPsiSlope ? b.psi_slope()
                                                                    : b.psi_squared();
                    if (in.prior) wi = _mm256_mul_pd(_mm256_loadu_pd(prior.data() + i), wi);
                    if (i + kLanes > rows) {  // padding rows: no weight and no rho, whatever the scale
                        const __m256d mask = _mm256_cmp_pd(_mm256_setr_pd(0.0, 1.0, 2.0, 3.0),
                                                           _mm256_set1_pd(double(rows - i)), _CMP_LT_OQ);
                        rho = _mm256_and_pd(mask, rho);
                        wi = _mm256_and_pd(mask, wi);
                    }
                    rho_lanes = _mm256_add_pd(rho_lanes, rho);
                    _mm256_storeu_pd(w.data() + i, wi);
                }
            } else if (in.prior) {
                std::copy(prior.begin(), prior.begin() + ld_rows, w.begin());
            }
            if (weighted) {
                for (Index i = 0; i < rows; ++i) n_active += w[i] > 0.0;
                for (Index j = 0; j < cols; ++j) {
                    const double* pj = P.data() + j * ld;
                    double* qj = Q.data() + j * ld;
                    for (Index i = 0; i < ld_rows; i += kLanes)
                        _mm256_storeu_pd(qj + i, _mm256_mul_pd(_mm256_loadu_pd(w.data() + i),
                                                                _mm256_loadu_pd(pj + i)));
                }
            }
            double* acc = lanes.data();
            for (Index I = 0; I < tiles; ++I)
                for (Index J = 0; J <= I; ++J, acc += kTileSums)
                    tile_rows(&qcol[I * kTile], &pcol[J * kTile], ld_rows, acc);
            if (budget.spend(ld_rows * entries) && flag.poll()) return;
        }
        double* out = values.data() + s * entries;
        for (Index e = 0; e < entries; ++e) {
            const double* l = lanes.data() + e * kLanes;
            out[e] = (l[0] + l[1]) + (l[2] + l[3]);
        }
        alignas(32) double rl[4];
        _mm256_store_pd(rl, rho_lanes);
        rho_values[s] = (rl[0] + rl[1]) + (rl[2] + rl[3]);
        active[s] = weighted ? n_active : r_end - s * seg_rows;
    });

    PassResult res;
    res.lower = Matrix::Zero(cols, cols);
    for (Index i = 0; i < cols; ++i) {
        for (Index j = 0; j <= i; ++j) {
            const Index I = i / kTile, J = j / kTile;
            const Index e = ((I * (I + 1) / 2 + J) * kTile + i % kTile) * kTile + j % kTile;
            double sum = segments > 0 ? values[e] : 0.0;
            for (Index s = 1; s < segments; ++s) sum += values[s * entries + e];
            res.lower(i, j) = sum;
        }
    }
    for (Index s = 0; s < segments; ++s) {
        res.rho_sum = s == 0 ? rho_values[0] : res.rho_sum + rho_values[s];
        res.n_active += active[s];
    }
    return res;
}

// The system of a pass over [Phi z]: A from the first p rows of the lower triangle, mirrored;
// rhs from its last row.
WeightedSystem system_of(const Matrix& lower, Index p) {
    WeightedSystem out;
    out.A = lower.topLeftCorner(p, p).selfadjointView<Eigen::Lower>();
    out.rhs = lower.row(p).head(p).transpose();
    return out;
}

void require_rows(const VectorView* v, const char* name, Index n) {
    if (v) require_equal(v->size(), name, n, "Phi", "rows");
}

}  // namespace

Matrix weighted_gram(const DesignView& Phi, const VectorView* w) {
    require_rows(w, "w", Phi.rows());
    const PassResult res = weighted_pass({Phi, nullptr, w});
    return res.lower.selfadjointView<Eigen::Lower>();
}

WeightedSystem weighted_normal_equations(const DesignView& Phi, const VectorView& z,
                                         const VectorView* w) {
    require_rows(&z, "z", Phi.rows());
    require_rows(w, "w", Phi.rows());
    return system_of(weighted_pass({Phi, &z, w}).lower, Phi.cols());
}

Vector residuals(const DesignView& Phi, const VectorView& z, const VectorView& beta) {
    const Index n = Phi.rows(), p = Phi.cols();
    require_equal(z.size(), "z", n, "Phi", "rows");
    require_equal(beta.size(), "beta", p, "Phi", "columns");
    Vector out(n);
    prepare_pages(out);
    const Vector b = beta;  // contiguous
    const Index inner = Phi.innerStride(), outer = Phi.outerStride();
    const Index n4 = n / kLanes * kLanes;
    double* r = out.data();
    PollBudget budget;
    // Rows of four at a time, straight from the design where its rows or its columns are
    // contiguous (each row's product in the order of panel_residuals), through a panel otherwise.
    if (inner == 1 || outer == 1) {
        const double* X = Phi.data();
        const Index zs = z.innerStride();
        const double* zd = z.data();
        for (Index i = 0; i < n4; i += kLanes) {
            __m256d acc = _mm256_setzero_pd();
            if (inner == 1) {
                for (Index k = 0; k < p; ++k) {
                    const __m256d x = _mm256_loadu_pd(X + k * outer + i);
                    acc = k == 0 ? _mm256_mul_pd(x, _mm256_set1_pd(b[0]))
                                 : _mm256_fmadd_pd(x, _mm256_set1_pd(b[k]), acc);
                }
            } else {
                const double* s = X + i * inner;
                Index k = 0;
                for (; k + 4 <= p; k += 4) {
                    const __m256d a0 = _mm256_loadu_pd(s + k);
                    const __m256d a1 = _mm256_loadu_pd(s + inner + k);
                    const __m256d a2 = _mm256_loadu_pd(s + 2 * inner + k);
                    const __m256d a3 = _mm256_loadu_pd(s + 3 * inner + k);
                    const __m256d t0 = _mm256_unpacklo_pd(a0, a1);
                    const __m256d t1 = _mm256_unpackhi_pd(a0, a1);
                    const __m256d t2 = _mm256_unpacklo_pd(a2, a3);
                    const __m256d t3 = _mm256_unpackhi_pd(a2, a3);
                    const __m256d c0 = _mm256_permute2f128_pd(t0, t2, 0x20);
                    const __m256d c1 = _mm256_permute2f128_pd(t1, t3, 0x20);
                    const __m256d c2 = _mm256_permute2f128_pd(t0, t2, 0x31);
                    const __m256d c3 = _mm256_permute2f128_pd(t1, t3, 0x31);
                    acc = k == 0 ? _mm256_mul_pd(c0, _mm256_set1_pd(b[0]))
                                 : _mm256_fmadd_pd(c0, _mm256_set1_pd(b[k]), acc);
                    acc = _mm256_fmadd_pd(c1, _mm256_set1_pd(b[k + 1]), acc);
                    acc = _mm256_fmadd_pd(c2, _mm256_set1_pd(b[k + 2]), acc);
                    acc = _mm256_fmadd_pd(c3, _mm256_set1_pd(b[k + 3]), acc);
                }
                for (; k < p; ++k) {
                    const __m256d x = _mm256_setr_pd(s[k], s[inner + k], s[2 * inner + k], s[3 * inner + k]);
                    acc = k == 0 ? _mm256_mul_pd(x, _mm256_set1_pd(b[0]))
                                 : _mm256_fmadd_pd(x, _mm256_set1_pd(b[k]), acc);
                }
            }
            const __m256d zi = zs == 1 ? _mm256_loadu_pd(zd + i)
                                       : _mm256_setr_pd(zd[i * zs], zd[(i + 1) * zs], zd[(i + 2) * zs], zd[(i + 3) * zs]);
            _mm256_storeu_pd(r + i, _mm256_sub_pd(zi, acc));
            if (budget.spend(kLanes * (p + 1))) poll_interrupt();
        }
        for (Index i = n4; i < n; ++i) {
            double acc = 0.0;
            for (Index k = 0; k < p; ++k) acc = k == 0 ? Phi(i, 0) * b[0] : std::fma(Phi(i, k), b[k], acc);
            r[i] = z[i] - acc;
        }
        return out;
    }
    const Index block = block_rows(p), ld = panel_stride(block);
    std::vector<double> P(static_cast<std::size_t>(std::max<Index>(p, 1) * ld));
    std::vector<double> zb(ld), rb(ld);
    for (Index r0 = 0; r0 < n; r0 += block) {
        const Index rows = std::min(block, n - r0);
        pack_block(Phi, r0, rows, ld, P.data());
        pack_vector(z, r0, rows, ld, zb.data());
        panel_residuals(P.data(), ld, (rows + kLanes - 1) / kLanes * kLanes, p, zb.data(), b.data(), rb.data());
        std::copy(rb.begin(), rb.begin() + rows, r + r0);
        if (budget.spend(rows * (p + 1))) poll_interrupt();
    }
    return out;
}

BisquareStep bisquare_normal_equations(const DesignView& Phi, const VectorView& z,
                                       const VectorView& beta, double scale, double c,
                                       const VectorView* prior) {
    const Index n = Phi.rows(), p = Phi.cols();
    require_rows(&z, "z", n);
    require_equal(beta.size(), "beta", p, "Phi", "columns");
    require_rows(prior, "w", n);
    const Vector b = beta;  // contiguous
    const VectorView bv = view_of(b);
    PassInput in{Phi, &z, prior, &bv, scale, c};
    const PassResult res = weighted_pass(in);
    WeightedSystem sys = system_of(res.lower, p);
    return {std::move(sys.A), std::move(sys.rhs), n > 0 ? res.rho_sum / double(n) : kNaN,
            res.n_active};
}

Sandwich bisquare_sandwich(const DesignView& Phi, const VectorView& z, const VectorView& beta,
                           double scale, double c, const VectorView* prior) {
    const Index n = Phi.rows(), p = Phi.cols();
    require_rows(&z, "z", n);
    require_equal(beta.size(), "beta", p, "Phi", "columns");
    require_rows(prior, "w", n);
    const Vector b = beta;  // contiguous
    const VectorView bv = view_of(b);
    PassInput in{Phi, nullptr, prior, &bv, scale, c, &z, WeightRule::kPsiSlope};
    Sandwich out;
    out.M = weighted_pass(in).lower.selfadjointView<Eigen::Lower>();
    in.rule = WeightRule::kPsiSquared;
    out.Q = weighted_pass(in).lower.selfadjointView<Eigen::Lower>();
    return out;
}

Vector bisquare_weights(const VectorView& r, double scale, double c) {
    return map_bisquare(r, scale, c, [](const VectorBisquare& b) { return b.weight(); },
                        [](const ScalarBisquare& b) { return b.weight(); });
}

Vector bisquare_rho(const VectorView& r, double scale, double c) {
    return map_bisquare(r, scale, c, [](const VectorBisquare& b) { return b.rho(); },
                        [](const ScalarBisquare& b) { return b.rho(); });
}

double mean_bisquare_rho(const VectorView& r, double scale, double c) {
    const Index n = r.size();
    if (n == 0) return kNaN;
    return rho_sums<false>(r.data(), n, r.innerStride(), scale, c).rho / double(n);
}

TruncatedSquares truncated_sum_squares(const VectorView& r, double bound) {
    const Index n = r.size(), step = r.innerStride();
    const double* x = r.data();
    const double b2 = bound * bound;
    const __m256d b4 = _mm256_set1_pd(b2);
    __m256d s0 = _mm256_setzero_pd(), s1 = s0;
    Index count = 0;
    const Index n8 = n / 8 * 8;
    in_chunks(n8, [&](Index i0, Index i1) {
        for (Index i = i0; i < i1; i += 8) {
            const auto at = [&](Index k) { return x[(i + k) * step]; };
            const __m256d a0 = step == 1 ? _mm256_loadu_pd(x + i) : _mm256_setr_pd(at(0), at(1), at(2), at(3));
            const __m256d a1 = step == 1 ? _mm256_loadu_pd(x + i + 4) : _mm256_setr_pd(at(4), at(5), at(6), at(7));
            const __m256d q0 = _mm256_mul_pd(a0, a0), q1 = _mm256_mul_pd(a1, a1);
            const __m256d k0 = _mm256_cmp_pd(q0, b4, _CMP_LT_OQ), k1 = _mm256_cmp_pd(q1, b4, _CMP_LT_OQ);
            s0 = _mm256_add_pd(s0, _mm256_and_pd(k0, q0));
            s1 = _mm256_add_pd(s1, _mm256_and_pd(k1, q1));
            count += __builtin_popcount(_mm256_movemask_pd(k0)) + __builtin_popcount(_mm256_movemask_pd(k1));
        }
    });
    TruncatedSquares out{count, combine8(s0, s1)};
    for (Index i = n8; i < n; ++i) {
        const double q = x[i * step] * x[i * step];
        if (q < b2) {
            out.sum += q;
            ++out.count;
        }
    }
    return out;
}

double m_scale(const VectorView& r, double c, double b, double tol, int max_iter,
               std::optional<double> start) {
    if (max_iter < 0) throw std::invalid_argument("max_iter < 0");
    if (!(tol >= 0.0)) throw std::invalid_argument("tol must be >= 0");
    if (start && !(*start > 0.0)) throw std::invalid_argument("start must be > 0");
    const Index n = r.size();
    // The passes read r itself (the bisquare is even, and (-a / s) / c is -((a / s) / c) exactly);
    // |r| is needed only for the median of the start.
    bool nan = false;
    std::vector<double> a(start ? 0 : static_cast<std::size_t>(n));
    in_chunks(n, [&](Index i0, Index i1) {
        for (Index i = i0; i < i1; ++i) {
            const double x = std::fabs(r[i]);
            nan |= std::isnan(x);
            if (!start) a[i] = x;
        }
    });
    if (nan) return kNaN;
    if (n == 0) return 0.0;
    double s = start ? *start : median_inplace(std::move(a)) * 1.4826022185056018;
    if (!(s > 0.0)) return 0.0;
    if (std::isinf(s)) return kInf;
    const double dn = double(n);
    double lo = 0.0, hi = kInf;
    for (int it = 0; it < max_iter; ++it) {
        const RhoSums sums = rho_sums<true>(r.data(), n, r.innerStride(), s, c);
        const double g = sums.rho / dn - b;
        if (g == 0.0) return s;  // a root: a step of 0 would count as leaving the bracket
        if (g > 0.0) {
            lo = s;
        } else {
            hi = s;
        }
        const double dg = -(sums.slope / dn) / s;
        double s_new = dg < 0.0 ? s - g / dg : kNaN;
        if (!(lo < s_new && s_new < hi)) s_new = std::isfinite(hi) ? 0.5 * (lo + hi) : 2.0 * s;
        if (std::fabs(s_new - s) <= tol * s) return s_new;
        s = s_new;
        poll_interrupt();
    }
    return s;
}

RowMajorMatrix legendre_design(const DesignView& U, const Exponents& exponents) {
    const Index n = U.rows(), k = U.cols(), p = exponents.rows();
    if (exponents.cols() != k) {
        throw std::invalid_argument("an exponent tuple has " + counted(exponents.cols(), "entries") +
                                    ", but U has " + counted(k, "columns"));
    }
    if (exponents.size() > 0 && exponents.minCoeff() < 0) throw std::invalid_argument("exponents must be >= 0");
    // Per feature the highest power needed, and where its values start in a row's table.
    std::vector<Index> degree(static_cast<std::size_t>(k), 0), offset(static_cast<std::size_t>(k) + 1, 0);
    for (Index d = 0; d < k; ++d) {
        for (Index j = 0; j < p; ++j) degree[d] = std::max<Index>(degree[d], exponents(j, d));
        offset[d + 1] = offset[d] + degree[d] + 1;
    }
    // Per column, the table entries it multiplies, in feature order.
    std::vector<Index> factor_start(static_cast<std::size_t>(p) + 1, 0), factors;
    for (Index j = 0; j < p; ++j) {
        for (Index d = 0; d < k; ++d)
            if (exponents(j, d)) factors.push_back(offset[d] + exponents(j, d));
        factor_start[j + 1] = static_cast<Index>(factors.size());
    }
    RowMajorMatrix out(n, p);
    prepare_pages(out);
    const Index table = offset[k];
    const Index work = table + static_cast<Index>(factors.size());
    PollBudget budget;
    // Four rows at a time, one per lane (every lane rounds as the scalar steps below do), then the
    // rest one by one.
    std::vector<double> V4(static_cast<std::size_t>(std::max<Index>(table, 1)) * kLanes);  // 4 lanes per value
    std::vector<double> T(static_cast<std::size_t>(std::max<Index>(p, 1)) * kLanes);
    const Index n4 = n / kLanes * kLanes;
    for (Index i = 0; i < n4; i += kLanes) {
        for (Index d = 0; d < k; ++d) {
            double* v = V4.data() + offset[d] * kLanes;
            const __m256d u = _mm256_setr_pd(U(i, d), U(i + 1, d), U(i + 2, d), U(i + 3, d));
            _mm256_storeu_pd(v, _mm256_add_pd(_mm256_mul_pd(u, _mm256_setzero_pd()), _mm256_set1_pd(1.0)));
            if (degree[d] > 0) _mm256_storeu_pd(v + kLanes, u);
            __m256d v2 = _mm256_loadu_pd(v), v1 = u;  // P_{e-2}, P_{e-1}
            for (Index e = 2; e <= degree[d]; ++e) {
                const __m256d a = _mm256_mul_pd(_mm256_mul_pd(v1, u), _mm256_set1_pd(double(2 * e - 1)));
                const __m256d b = _mm256_mul_pd(v2, _mm256_set1_pd(double(e - 1)));
                const __m256d ve = _mm256_div_pd(_mm256_sub_pd(a, b), _mm256_set1_pd(double(e)));
                _mm256_storeu_pd(v + e * kLanes, ve);
                v2 = v1;
                v1 = ve;
            }
        }
        for (Index j = 0; j < p; ++j) {
            __m256d x = _mm256_set1_pd(1.0);
            for (Index f = factor_start[j]; f < factor_start[j + 1]; ++f)
                x = _mm256_mul_pd(x, _mm256_loadu_pd(V4.data() + factors[f] * kLanes));
            _mm256_storeu_pd(T.data() + j * kLanes, x);
        }
        double* row = out.data() + i * p;
        Index j = 0;
        for (; j + 4 <= p; j += 4) {  // a 4 x 4 block of columns into the four rows
            const __m256d c0 = _mm256_loadu_pd(T.data() + j * kLanes);
            const __m256d c1 = _mm256_loadu_pd(T.data() + (j + 1) * kLanes);
            const __m256d c2 = _mm256_loadu_pd(T.data() + (j + 2) * kLanes);
            const __m256d c3 = _mm256_loadu_pd(T.data() + (j + 3) * kLanes);
            const __m256d t0 = _mm256_unpacklo_pd(c0, c1), t1 = _mm256_unpackhi_pd(c0, c1);
            const __m256d t2 = _mm256_unpacklo_pd(c2, c3), t3 = _mm256_unpackhi_pd(c2, c3);
            _mm256_storeu_pd(row + j, _mm256_permute2f128_pd(t0, t2, 0x20));
            _mm256_storeu_pd(row + p + j, _mm256_permute2f128_pd(t1, t3, 0x20));
            _mm256_storeu_pd(row + 2 * p + j, _mm256_permute2f128_pd(t0, t2, 0x31));
            _mm256_storeu_pd(row + 3 * p + j, _mm256_permute2f128_pd(t1, t3, 0x31));
        }
        for (; j < p; ++j)
            for (Index l = 0; l < kLanes; ++l) row[l * p + j] = T[j * kLanes + l];
        if (budget.spend(kLanes * work)) poll_interrupt();
    }
    std::vector<double> V(static_cast<std::size_t>(table));
    for (Index i = n4; i < n; ++i) {
        for (Index d = 0; d < k; ++d) {
            double* v = V.data() + offset[d];
            const double u = U(i, d);
            v[0] = u * 0.0 + 1.0;
            if (degree[d] > 0) v[1] = u;
            for (Index e = 2; e <= degree[d]; ++e)
                v[e] = ((v[e - 1] * u) * double(2 * e - 1) - v[e - 2] * double(e - 1)) / double(e);
        }
        double* row = out.data() + i * p;
        for (Index j = 0; j < p; ++j) {
            double x = 1.0;
            for (Index f = factor_start[j]; f < factor_start[j + 1]; ++f) x = x * V[factors[f]];
            row[j] = x;
        }
    }
    return out;
}

}  // namespace zelk
