#include "linear.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>
#include <vector>

#include <Eigen/QR>
#include <Eigen/SVD>

#include <immintrin.h>
#include <omp.h>

#include "copy.hpp"
#include "polled_bdcsvd.hpp"
#include "pieces.hpp"
#include "runtime.hpp"

namespace zelk {

namespace {

// The largest magnitude of X's entries (0 when it has none): NaN when an entry is NaN, infinite
// when one is infinite (and none is NaN).
double max_magnitude(const MatrixView& X) {
    if (X.size() == 0) return 0.0;
    return visit(X, [](const auto& A) { return A.cwiseAbs().template maxCoeff<Eigen::PropagateNaN>(); });
}

// Data whose largest magnitude is within [2^-480, 2^480] (or 0) are taken as they are; beyond,
// they are scaled by 2^-e, the e returned here, which brings the largest into [0.5, 1) (into
// [2^-54, 1) for the smallest subnormal data: 2^-e itself must be a double). Scaling by a power of two is
// exact, and data of ordinary scale keep their bits.
constexpr int kOrdinaryExponent = 480;
int target_exponent(double max_abs) {
    int e = 0;
    std::frexp(max_abs, &e);
    if (max_abs == 0.0 || (e > -kOrdinaryExponent && e <= kOrdinaryExponent)) return 0;
    return std::max(e, -1020);
}

// X as a column-major Matrix of its own.
Matrix dense(const MatrixView& X) {
    return visit(X, [](const auto& A) -> Matrix { return A; });
}

// Eigen's BDCSVD with thin U and V, which stops for Ctrl-C (polled_bdcsvd.hpp).
using SVD = Eigen::PolledBDCSVD<Matrix>;

// --- Least squares by QR first -------------------------------------------------------------------

// Rows of a tall design are reduced in segments of this many rows, each to its own triangle
// (independently, possibly on different threads), and the triangles are then folded together in
// segment order. The segments depend on the shape only, so the bits do not depend on the threads.
constexpr Index kQrSegmentRows = 8192;

// Rows folded at a time: a block that stays in the first-level cache while its reflectors run.
Index qr_block_rows(Index p) { return std::max<Index>(32, 4096 / (p + 1)); }

// Folds the rows of B (b x (p+1): the design's columns, then the target) into T (p x (p+1): the
// upper triangle R in its first p columns, the first p entries of Q^T y in its last), so that
// [T; B] and the new T have the same R^T R and the same least-squares solution. One Householder
// reflector per column annihilates B's entries there; the reflector's head sits on T's diagonal,
// the rest of T's column below the diagonal being zero. B is overwritten.
void fold_rows(Eigen::Ref<Matrix> T, Eigen::Ref<Matrix> B) {
    const Index p = T.rows();
    constexpr double tiny = std::numeric_limits<double>::min();
    for (Index k = 0; k < p; ++k) {
        auto w = B.col(k);
        const double alpha = T(k, k);
        const double sigma = w.squaredNorm();
        if (sigma <= tiny) continue;  // nothing to annihilate: the identity
        double beta = std::sqrt(alpha * alpha + sigma);
        if (alpha >= 0.0) beta = -beta;
        w /= alpha - beta;
        const double tau = (beta - alpha) / beta;
        T(k, k) = beta;
        const Index rest = p - k;  // columns k+1 .. p, the target included
        auto Brest = B.rightCols(rest);
        Eigen::RowVectorXd s = T.row(k).tail(rest);
        s.noalias() += w.transpose() * Brest;
        s *= tau;
        T.row(k).tail(rest) -= s;
        Brest.noalias() -= w * s;
    }
}

// Up to this many columns the blocks of rows are folded in reflector by reflector, in cache;
// wider designs are reduced segment by segment with Eigen's blocked Householder QR, whose
// matrix-matrix products win there.
constexpr Index kFoldMaxCols = 64;

// B's first rows(B) rows and p + 1 columns = rows [r, r + rows(B)) of (X * x_scale, y * y_scale),
// read from X in either storage order. Powers of two: the values are exact.
void load_rows(const MatrixView& X, const VectorRef& y, double x_scale, double y_scale, Index r,
               Eigen::Ref<Matrix> B) {
    const Index b = B.rows(), p = X.cols();
    visit(X, [&](const auto& A) { B.leftCols(p) = A.middleRows(r, b) * x_scale; });
    B.col(p) = y.segment(r, b) * y_scale;
}

// The triangle [R | Q^T y] of the rows [r0, r1) of (X * x_scale, y * y_scale), into T (zero on
// entry). W is work space of qr_block_rows(p) x (p + 1) for the narrow designs, whose blocks
// are folded one at a time; a wide design's segment is copied whole. (The copies have the
// shapes of the first version of this code: Eigen's reductions start at the first aligned
// entry, so a different leading dimension could change the last bits.)
void reduce_segment(const MatrixView& X, const VectorRef& y, double x_scale, double y_scale,
                    Index r0, Index r1, Eigen::Ref<Matrix> T, Matrix& W, StopFlag& flag) {
    const Index p = X.cols();
    if (p > kFoldMaxCols) {
        Matrix B;
        allocate(B, r1 - r0, p + 1, "segment of rows");
        load_rows(X, y, x_scale, y_scale, r0, B);
        if (flag.poll()) return;
        const Eigen::HouseholderQR<Eigen::Ref<Matrix>> qr(B);
        const Index k = std::min(r1 - r0, p);
        T.topRows(k) = B.topRows(k).triangularView<Eigen::Upper>();
        return;
    }
    const Index block = qr_block_rows(p);
    Matrix& B = W;
    for (Index r = r0; r < r1 && !flag.poll(); r += block) {
        const Index b = std::min(block, r1 - r);
        load_rows(X, y, x_scale, y_scale, r, B.topRows(b));
        fold_rows(T, B.topRows(b));
    }
}

// Least squares of a tall X (rows well above columns): X = Q R by Householder reflectors, then
// the SVD route on the p x p triangle R with c = (Q^T y)[0, p). The singular values of R are
// those of X, and with X's SVD U S V^T = (Q U_R) S V^T the solve V S_r^-1 U_R^T c is exactly
// V S_r^-1 (Q U_R)^T y, the minimum-norm solution of the rank-r problem.
//
// X enters scaled by a power of two that brings its largest entry into [0.5, 1): exact, and it
// keeps the squared norms of the reflectors away from overflow and underflow. y is scaled by
// `y_exp` (see target_exponent), the solution scaled back.
Vector ols_by_qr(const MatrixView& X, const VectorRef& y, double max_abs, int y_exp) {
    const Index m = X.rows(), p = X.cols();
    int e = 0;
    std::frexp(max_abs, &e);
    e = std::clamp(e, -1000, 1000);
    const double scale = std::ldexp(1.0, -e);
    const Index segments = (m + kQrSegmentRows - 1) / kQrSegmentRows;
    Matrix Ts;
    allocate(Ts, p, (p + 1) * segments, "matrix of segment triangles");
    Ts.setZero();
    const bool parallel = worth_threads(double(m) * double(p) * double(p));
    std::vector<Matrix> work(static_cast<std::size_t>(parallel ? omp_get_max_threads() : 1));
    if (p <= kFoldMaxCols)
        for (Matrix& W : work) allocate(W, qr_block_rows(p), p + 1, "block of rows");
    for_each_piece(segments, parallel, [&](Index s, StopFlag& flag) {
        const Index r0 = s * kQrSegmentRows;
        reduce_segment(X, y, scale, std::ldexp(1.0, -y_exp), r0, std::min(m, r0 + kQrSegmentRows),
                       Ts.middleCols(s * (p + 1), p + 1),
                       work[static_cast<std::size_t>(omp_get_thread_num())], flag);
    });
    auto T = Ts.leftCols(p + 1);
    for (Index s = 1; s < segments; ++s) {
        poll_interrupt();
        Matrix next = Ts.middleCols(s * (p + 1), p + 1);
        fold_rows(T, next);
    }
    SVD svd(T.leftCols(p), Eigen::ComputeThinU | Eigen::ComputeThinV);
    // The rank rule of the SVD of X itself: its threshold counts min(m, p) of X, and not of R
    // (here both are p, since m > p, but the rule is stated in X's terms).
    svd.setThreshold(double(std::max<Index>(1, std::min(m, p))) *
                     std::numeric_limits<double>::epsilon());
    Vector b = svd.solve(T.col(p));
    if (y_exp == 0) return b * scale;  // the bits of an unscaled y, whatever the scale of X
    for (Index i = 0; i < p; ++i) b[i] = std::ldexp(b[i], y_exp - e);
    return b;
}

// QR first pays once the rows outnumber the columns by this factor.
constexpr Index kQrMinAspect = 2;

}  // namespace

Vector ols(const MatrixView& X, const VectorRef& y) {
    require_equal(y.size(), "y", X.rows(), "X", "rows");
    use_reproducible_products();
    // Eigen's SVD does not handle an empty matrix (it crashes); with no rows every b fits and
    // with no columns there is nothing to fit, so the minimum-norm answer is p zeros.
    if (X.size() == 0) return Vector::Zero(X.cols());
    // A non-finite X has no meaningful decomposition (the SVD flags it as invalid input and
    // leaves its factors undefined): say so with NaNs. The largest magnitude is NaN or infinite
    // exactly when some entry is.
    const double max_abs = max_magnitude(X);
    const double y_max = y.size() == 0 ? 0.0 : y.cwiseAbs().maxCoeff<Eigen::PropagateNaN>();
    if (!std::isfinite(max_abs) || !std::isfinite(y_max)) {
        return Vector::Constant(X.cols(), std::numeric_limits<double>::quiet_NaN());
    }
    const int y_exp = target_exponent(y_max);
    if (X.rows() >= kQrMinAspect * X.cols() && X.rows() > X.cols()) return ols_by_qr(X, y, max_abs, y_exp);
    // BDCSVD decomposes its own scaled copy of X; the solve is linear in y, which it takes
    // scaled when it is far from 1.
    const SVD svd(dense(X), Eigen::ComputeThinU | Eigen::ComputeThinV);
    if (y_exp == 0) return svd.solve(y);
    Vector b = svd.solve(y * std::ldexp(1.0, -y_exp));
    for (Index i = 0; i < b.size(); ++i) b[i] = std::ldexp(b[i], y_exp);
    return b;
}

namespace {

// --- The Gram matrix ------------------------------------------------------------------------------
//
// The lower triangle of G = C^T C for the columns C = [Phi y], so that G's last row is (Phi^T y)^T.
// Every entry is summed in one fixed order, whatever the machine, the number of threads or the
// storage order of Phi:
//   - the rows [0, m4), m4 = m rounded down to a multiple of 4, are cut into segments of
//     gram_segment_rows() rows (fixed by the shape); within a segment, lane l (0..3)
//     accumulates the products of the rows r = l (mod 4) in row order, one fused
//     multiply-add each, starting from 0;
//   - a segment's value is (lane0 + lane1) + (lane2 + lane3);
//   - the entry is the sum of the segments' values from the first to the last, then one fused
//     multiply-add for each of the last m - m4 rows, in row order.
// Tiles of 3 x 3 entries keep their 9 x 4 lane sums in registers while they run down a panel of
// rows; panels only decide how long the sums stay in registers, not their order. The kernel reads
// column-major data where it is; a row-major Phi (or data to be scaled) is packed a panel at a
// time into column-major scratch, which holds the same values.

constexpr Index kTile = 3;
constexpr Index kLanes = 4;
constexpr Index kTileSums = kTile * kTile * kLanes;

// At most 16 segments, fewer for wide designs so that the segments' sums take at most some
// 32 MiB, and each of at least 8192 rows. The segments depend on the shape only.
constexpr Index kGramMinSegmentRows = 8192;

Index gram_segment_rows(Index m4, Index entries) {
    const Index most = std::clamp<Index>((Index{1} << 22) / std::max<Index>(entries, 1), 1, 16);
    const Index even = (m4 / most + kLanes - 1) / kLanes * kLanes;
    return std::max(kGramMinSegmentRows, even);
}

// Panels of rows small enough that a panel's columns stay in the second-level cache; packed
// panels (copied into scratch first) smaller still, so that the rows read and their copy stay
// in cache together.
Index gram_panel_rows(Index n, bool packed) {
    return std::max<Index>(64, (packed ? 8192 : 32768) / n / kLanes * kLanes);
}

// Adds to the lane sums `acc` (9 x 4, entry (i, j) at (3 i + j) * 4) the products of the rows
// [0, len) (len a multiple of 4) of the columns a[i], i < NA, with the columns b[j], j < NB, one
// fused multiply-add per row and entry in row order. A tile on the diagonal (Lower: b = a) only
// forms its entries j <= i; entries it does not form stay as they are.
template <int NA, int NB, bool Lower>
void tile_panel(const double* const* a, const double* const* b, Index len, double* acc) {
    const auto formed = [](int i, int j) { return !Lower || j <= i; };
    __m256d c[NA][NB];
    for (int i = 0; i < NA; ++i)
        for (int j = 0; j < NB; ++j)
            if (formed(i, j)) c[i][j] = _mm256_loadu_pd(acc + (i * kTile + j) * kLanes);
    const double* ap[NA];
    const double* bp[NB];
    for (int i = 0; i < NA; ++i) ap[i] = a[i];
    for (int j = 0; j < NB; ++j) bp[j] = b[j];
    for (Index r = 0; r < len; r += kLanes) {
        __m256d x[NA];
        for (int i = 0; i < NA; ++i) x[i] = _mm256_loadu_pd(ap[i] + r);
        for (int j = 0; j < NB; ++j) {
            const __m256d v = Lower ? x[j] : _mm256_loadu_pd(bp[j] + r);
            for (int i = 0; i < NA; ++i)
                if (formed(i, j)) c[i][j] = _mm256_fmadd_pd(x[i], v, c[i][j]);
        }
    }
    for (int i = 0; i < NA; ++i)
        for (int j = 0; j < NB; ++j)
            if (formed(i, j)) _mm256_storeu_pd(acc + (i * kTile + j) * kLanes, c[i][j]);
}

// Tile (I, J), J <= I, of the columns `col` (n of them, the rest padding).
void tile_panel(const double* const* col, Index n, Index I, Index J, Index len, double* acc) {
    const double* const* a = col + I * kTile;
    const double* const* b = col + J * kTile;
    const Index rows = std::min<Index>(kTile, n - I * kTile);  // the tile's columns a that exist
    if (I != J) {
        switch (rows) {
            case 3: return tile_panel<3, 3, false>(a, b, len, acc);
            case 2: return tile_panel<2, 3, false>(a, b, len, acc);
            default: return tile_panel<1, 3, false>(a, b, len, acc);
        }
    }
    switch (rows) {
        case 3: return tile_panel<3, 3, true>(a, b, len, acc);
        case 2: return tile_panel<2, 2, true>(a, b, len, acc);
        default: return tile_panel<1, 1, true>(a, b, len, acc);
    }
}

// Tile sums kept while a panel of rows is run down: at most this many tiles at a time (their
// lane sums take 256 KiB).
constexpr Index kGramTileGroup = 256 * 1024 / (kTileSums * sizeof(double));

// Scratch for the lane sums of gram_lane_tiles(tiles) tiles.
Index gram_lane_tiles(Index tiles) { return std::max(kGramTileGroup, tiles); }

// [Phi y] as the kernel reads it: Phi's entries times phi_scale and y's times y_scale (powers of
// two, so the products are exact).
struct GramColumns {
    const MatrixView& Phi;
    const VectorRef& y;
    double phi_scale;
    double y_scale;

    Index rows() const { return Phi.rows(); }
    Index count() const { return Phi.cols() + 1; }
    // Whether Phi's or y's rows must be copied into column-major scratch to be read.
    bool pack_phi() const { return Phi.row_major() || phi_scale != 1.0; }
    bool pack_y() const { return y_scale != 1.0; }
    // Doubles of scratch a thread needs for a panel of `panel` rows.
    Index scratch(Index panel) const {
        return (pack_phi() ? Phi.cols() * panel : 0) + (pack_y() ? panel : 0);
    }
};

// Points col[k], k < col.size(), at rows [q0, q0 + len) of the columns [Phi y] (packing the first
// `used` of them into `buf` where they must be), padding columns at column 0's.
void panel_columns(const GramColumns& C, Index q0, Index len, Index used, double* buf,
                   std::vector<const double*>& col) {
    const MatrixView& Phi = C.Phi;
    const Index p = Phi.cols(), phi_used = std::min(used, p);
    if (C.pack_phi()) {
        if (Phi.row_major()) {
            pack_columns(Phi.data() + q0 * p, p, len, phi_used, C.phi_scale, buf, len);
        } else {
            for (Index k = 0; k < phi_used; ++k)
                scale_into(Phi.data() + k * Phi.rows() + q0, len, C.phi_scale, buf + k * len);
        }
        for (Index k = 0; k < phi_used; ++k) col[k] = buf + k * len;
    } else {
        for (Index k = 0; k < phi_used; ++k) col[k] = Phi.data() + k * Phi.rows() + q0;
    }
    if (used > p) {
        if (C.pack_y()) {
            double* ys = buf + (C.pack_phi() ? p * len : 0);
            scale_into(C.y.data() + q0, len, C.y_scale, ys);
            col[p] = ys;
        } else {
            col[p] = C.y.data() + q0;
        }
    }
    for (std::size_t k = static_cast<std::size_t>(C.count()); k < col.size(); ++k) col[k] = col[0];
}

// The segment values of the rows [r0, r1) for every tile of the lower triangle, tile (I, J),
// J <= I, at (I (I + 1) / 2 + J) * 9 in `out`. `lanes` is scratch for gram_lane_tiles(tiles)
// tiles, `buf` for C.scratch(panel rows). The tiles are taken a group of whole tile rows at a
// time, each group down all panels. Leaves early (with `out` incomplete) once `flag` stops.
void gram_segment(const GramColumns& C, Index r0, Index r1, double* lanes, double* buf,
                  double* out, StopFlag& flag) {
    const Index n = C.count();
    const Index tiles = (n + kTile - 1) / kTile;
    const Index panel = gram_panel_rows(n, C.pack_phi() || C.pack_y());
    std::vector<const double*> col(static_cast<std::size_t>(tiles * kTile));
    PollBudget budget;
    for (Index I0 = 0; I0 < tiles;) {
        // Tile rows I0 .. I1-1: the tiles t0 .. t1-1, which read the columns below 3 I1.
        const Index t0 = I0 * (I0 + 1) / 2;
        Index I1 = I0 + 1;
        while (I1 < tiles && (I1 + 1) * (I1 + 2) / 2 - t0 <= kGramTileGroup) ++I1;
        const Index t1 = I1 * (I1 + 1) / 2;
        const Index used = std::min(n, I1 * kTile);
        std::fill(lanes, lanes + (t1 - t0) * kTileSums, 0.0);
        for (Index q0 = r0; q0 < r1; q0 += panel) {
            const Index len = std::min(r1, q0 + panel) - q0;
            if (budget.spend(len * (t1 - t0) * kTile * kTile) && flag.poll()) return;
            panel_columns(C, q0, len, used, buf, col);
            double* acc = lanes;
            for (Index I = I0; I < I1; ++I)
                for (Index J = 0; J <= I; ++J, acc += kTileSums)
                    tile_panel(col.data(), n, I, J, len, acc);
        }
        for (Index e = 0; e < (t1 - t0) * kTile * kTile; ++e) {
            const double* l = lanes + e * kLanes;
            out[t0 * kTile * kTile + e] = (l[0] + l[1]) + (l[2] + l[3]);
        }
        I0 = I1;
    }
}

// The normal equations of (Phi * phi_scale) b = y * y_scale, and y'y (scaled alike).
struct Gram {
    NormalEquations eq;
    double yy = 0.0;
};

Gram gram(const GramColumns& C) {
    const Index m = C.rows(), p = C.Phi.cols(), n = C.count();
    Gram g;
    allocate(g.eq.A, p, p, "system matrix");
    g.eq.A.setZero();
    g.eq.b = Vector::Zero(p);
    if (m == 0) return g;

    const Index tiles = (n + kTile - 1) / kTile;
    const Index m4 = m / kLanes * kLanes;
    const Index entries = tiles * (tiles + 1) / 2 * kTile * kTile;
    const Index seg_rows = gram_segment_rows(m4, entries);
    const Index segments = (m4 + seg_rows - 1) / seg_rows;
    std::vector<double> values(segments * entries);
    const bool parallel =
        segments > 1 && worth_threads(double(m) * double(n) * double(n) / 2.0);
    const int threads = parallel ? omp_get_max_threads() : 1;
    const Index lane_sums = gram_lane_tiles(tiles) * kTileSums;
    const Index scratch = C.scratch(gram_panel_rows(n, C.pack_phi() || C.pack_y()));
    std::vector<double> lanes(threads * lane_sums), bufs(threads * scratch);
    for_each_piece(segments, parallel, [&](Index s, StopFlag& flag) {
        const Index r0 = s * seg_rows;
        const int t = omp_get_thread_num();
        double* buf = scratch > 0 ? bufs.data() + t * scratch : nullptr;  // none unless packing
        gram_segment(C, r0, std::min(m4, r0 + seg_rows), lanes.data() + t * lane_sums, buf,
                     values.data() + s * entries, flag);
    });

    // Entry (i, j) of [Phi y] for the last rows, scaled like the rest.
    const auto at = [&](Index r, Index k) {
        return k < p ? C.Phi(r, k) * C.phi_scale : C.y[r] * C.y_scale;
    };
    for (Index i = 0; i < n; ++i) {
        for (Index j = 0; j <= i; ++j) {
            const Index I = i / kTile, J = j / kTile;
            const Index e = ((I * (I + 1) / 2 + J) * kTile + i % kTile) * kTile + j % kTile;
            double sum = segments > 0 ? values[e] : 0.0;
            for (Index s = 1; s < segments; ++s) sum += values[s * entries + e];
            for (Index r = m4; r < m; ++r) sum = std::fma(at(r, i), at(r, j), sum);
            if (i < p) {
                g.eq.A(i, j) = sum;
            } else if (j < p) {
                g.eq.b(j) = sum;
            } else {
                g.yy = sum;
            }
        }
    }
    return g;
}

}  // namespace

NormalEquations normal_equations(const MatrixView& Phi, const VectorRef& y) {
    require_equal(y.size(), "y", Phi.rows(), "Phi", "rows");
    return gram(GramColumns{Phi, y, 1.0, 1.0}).eq;
}

namespace {

// A(i, j) += s * R(i, j) as one fused operation, on the lower triangle (diagonal included),
// the only part of A the factorisation reads.
void add_scaled_lower(Matrix& A, double s, const MatrixView& R) {
    const Index p = A.cols();
    for (Index j = 0; j < p; ++j) {
        double* a = A.col(j).data();
        for (Index i = j; i < p; ++i) a[i] = std::fma(s, R(i, j), a[i]);
    }
}

// Eigen's LDL^T with symmetric pivoting on the lower triangle, whose factorisation also stops
// for Ctrl-C: the same steps as Eigen::LDLT's (ldlt_inplace<Lower>::unblocked, one column a
// step, each a matrix-vector product with the columns before it), with a poll between steps, so
// the factors and the solve are Eigen's to the bit.
class PolledLDLT : public Eigen::LDLT<Matrix, Eigen::Lower> {
public:
    explicit PolledLDLT(Matrix&& A) {
        m_matrix = std::move(A);
        const Index size = m_matrix.rows();
        m_l1_norm = 0.0;  // only rcond() reads it, and nothing here calls rcond()
        m_transpositions.resize(size);
        m_temporary.resize(size);
        m_sign = Eigen::internal::ZeroSign;
        m_isInitialized = false;
        m_info = factor() ? Eigen::Success : Eigen::NumericalIssue;
        m_isInitialized = true;
    }

private:
    bool factor() {
        using Eigen::Block;
        using Eigen::Dynamic;
        using Eigen::internal::NegativeSemiDef;
        using Eigen::internal::PositiveSemiDef;
        using Eigen::internal::ZeroSign;
        using IndexType = TranspositionType::StorageIndex;
        Matrix& mat = m_matrix;
        const Index size = mat.rows();
        bool found_zero_pivot = false;
        bool ret = true;
        if (size <= 1) {
            m_transpositions.setIdentity();
            if (size == 0) m_sign = ZeroSign;
            else if (mat.coeff(0, 0) > 0.0) m_sign = PositiveSemiDef;
            else if (mat.coeff(0, 0) < 0.0) m_sign = NegativeSemiDef;
            else m_sign = ZeroSign;
            return true;
        }
        PollBudget budget;
        for (Index k = 0; k < size; ++k) {
            if (budget.spend(size * (k + 1))) poll_interrupt();
            // Find largest diagonal element
            Index biggest;
            mat.diagonal().tail(size - k).cwiseAbs().maxCoeff(&biggest);
            biggest += k;
            m_transpositions.coeffRef(k) = IndexType(biggest);
            if (k != biggest) {
                // the transposition, on the lower triangular part only
                const Index s = size - biggest - 1;
                mat.row(k).head(k).swap(mat.row(biggest).head(k));
                mat.col(k).tail(s).swap(mat.col(biggest).tail(s));
                std::swap(mat.coeffRef(k, k), mat.coeffRef(biggest, biggest));
                for (Index i = k + 1; i < biggest; ++i) {
                    const double tmp = mat.coeffRef(i, k);
                    mat.coeffRef(i, k) = mat.coeffRef(biggest, i);
                    mat.coeffRef(biggest, i) = tmp;
                }
            }
            const Index rs = size - k - 1;
            Block<Matrix, Dynamic, 1> A21(mat, k + 1, k, rs, 1);
            Block<Matrix, 1, Dynamic> A10(mat, k, 0, 1, k);
            Block<Matrix, Dynamic, Dynamic> A20(mat, k + 1, 0, rs, k);
            if (k > 0) {
                m_temporary.head(k) = mat.diagonal().real().head(k).asDiagonal() * A10.adjoint();
                mat.coeffRef(k, k) -= (A10 * m_temporary.head(k)).value();
                if (rs > 0) A21.noalias() -= A20 * m_temporary.head(k);
            }
            const double akk = mat.coeffRef(k, k);
            const bool pivot_is_valid = std::abs(akk) > 0.0;
            if (k == 0 && !pivot_is_valid) {
                // The whole diagonal is zero: nothing more to do.
                m_sign = ZeroSign;
                for (Index j = 0; j < size; ++j) {
                    m_transpositions.coeffRef(j) = IndexType(j);
                    ret = ret && (mat.col(j).tail(size - j - 1).array() == 0.0).all();
                }
                return ret;
            }
            if (rs > 0 && pivot_is_valid) A21 /= akk;
            else if (rs > 0) ret = ret && (A21.array() == 0.0).all();
            if (found_zero_pivot && pivot_is_valid) ret = false;
            else if (!pivot_is_valid) found_zero_pivot = true;
            if (m_sign == PositiveSemiDef) {
                if (akk < 0.0) m_sign = Eigen::internal::Indefinite;
            } else if (m_sign == NegativeSemiDef) {
                if (akk > 0.0) m_sign = Eigen::internal::Indefinite;
            } else if (m_sign == ZeroSign) {
                if (akk > 0.0) m_sign = PositiveSemiDef;
                else if (akk < 0.0) m_sign = NegativeSemiDef;
            }
        }
        return ret;
    }
};

}  // namespace

Vector solve_ldlt(Matrix&& A, const Vector& b) { return PolledLDLT(std::move(A)).solve(b); }

namespace {

// Whether the Gram matrix shows data of ordinary scale: the largest diagonal entry of Phi's
// part, and y'y, within [2^-900, 2^900] (so no NaN or infinity either). Then the largest
// magnitude of Phi and of y is within [2^-480, 2^480] (for any m below 2^60), and no scaling is
// needed (target_exponent); otherwise (zeros included: an underflow looks the same) the data
// are looked at entry by entry.
bool ordinary_scale(const Gram& g) {
    const auto ordinary = [](double v) {
        return v >= std::ldexp(1.0, -900) && v <= std::ldexp(1.0, 900);
    };
    const auto d = g.eq.A.diagonal();
    const double largest = d.size() == 0 ? 0.0 : d.maxCoeff<Eigen::PropagateNaN>();
    return std::isfinite(largest) && std::isfinite(g.yy) && ordinary(largest) && ordinary(g.yy);
}

}  // namespace

Vector fit_regularized_linear(const MatrixView& Phi, const VectorRef& y, const PenaltySpec& pen,
                              double ridge) {
    const Index m = Phi.rows(), p = Phi.cols();
    require_equal(y.size(), "y", m, "Phi", "rows");
    require_penalties(pen, p);
    // A non-finite value anywhere in the system leaves no meaningful answer (the factorisation
    // would zero NaN pivots and report a finite vector): say so with NaNs, as ols does.
    const auto nans = [p] { return Vector::Constant(p, std::numeric_limits<double>::quiet_NaN()); };
    const auto applied_finite = [&](const MatrixView* R, double gamma) {
        return !penalty_applies(R, gamma) || (std::isfinite(gamma) && std::isfinite(max_magnitude(*R)));
    };
    if (!std::isfinite(ridge) || !applied_finite(pen.R1, pen.gamma1) ||
        !applied_finite(pen.R2, pen.gamma2)) {
        return nans();
    }
    // Phi and y are looked at entry by entry only where the Gram matrix does not already tell
    // (below), or where it would be larger than the design (a wide design with a NaN must not
    // need p x p storage to say so).
    std::optional<double> phi_max, y_max;
    const auto look = [&] {
        phi_max = max_magnitude(Phi);
        y_max = y.size() == 0 ? 0.0 : y.cwiseAbs().maxCoeff<Eigen::PropagateNaN>();
        return std::isfinite(*phi_max) && std::isfinite(*y_max);
    };
    if (p > m && !look()) return nans();
    use_reproducible_products();

    const double n = static_cast<double>(m);
    Gram g = gram(GramColumns{Phi, y, 1.0, 1.0});
    int phi_exp = 0, y_exp = 0;
    if (!ordinary_scale(g)) {
        // A non-finite entry, or data so large or small that the products overflow or underflow.
        if (!phi_max && !look()) return nans();
        phi_exp = target_exponent(*phi_max);
        y_exp = target_exponent(*y_max);
        // Scaling Phi by 2^-e scales the system matrix by 2^-2e, the ridge and the penalties
        // with it. That keeps the answer while they stay finite; when they would not, they
        // outweigh Phi'Phi beyond rounding and Phi is left as it is.
        const auto fits = [&](double v) { return std::isfinite(std::ldexp(v, -2 * phi_exp)); };
        const auto penalty_fits = [&](const MatrixView* R, double gamma) {
            return !penalty_applies(R, gamma) || fits(n * gamma * max_magnitude(*R));
        };
        if (!fits(ridge) || !penalty_fits(pen.R1, pen.gamma1) || !penalty_fits(pen.R2, pen.gamma2))
            phi_exp = 0;
        if (phi_exp != 0 || y_exp != 0)
            g = gram(GramColumns{Phi, y, std::ldexp(1.0, -phi_exp), std::ldexp(1.0, -y_exp)});
    }
    Matrix& A = g.eq.A;
    A.diagonal().array() += std::ldexp(ridge, -2 * phi_exp);
    if (penalty_applies(pen.R1, pen.gamma1))
        add_scaled_lower(A, std::ldexp(n * pen.gamma1, -2 * phi_exp), *pen.R1);
    if (penalty_applies(pen.R2, pen.gamma2))
        add_scaled_lower(A, std::ldexp(n * pen.gamma2, -2 * phi_exp), *pen.R2);
    Vector b = solve_ldlt(std::move(A), g.eq.b);
    if (phi_exp != 0 || y_exp != 0)
        for (Index i = 0; i < p; ++i) b[i] = std::ldexp(b[i], y_exp - phi_exp);
    return b;
}

}  // namespace zelk
