#include "linear.hpp"
#include "runtime.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <vector>

#include <Eigen/QR>
#include <Eigen/SVD>

#include <immintrin.h>
#include <omp.h>

#include "runtime.hpp"

namespace zelk {

namespace {

// Runs body(s) for s = 0 .. count-1, on several threads when `parallel` (and threads may run
// here), one piece at a time (dynamic schedule) so that a late core costs little. Every piece
// writes only its own results, so the outcome never depends on which thread ran it. Stops early
// when the host asks for it, and rethrows a piece's failure on the calling thread.
template <typename Body>
void for_each_piece(Index count, bool parallel, Body body) {
    StopFlag flag;
    std::exception_ptr failure;
#pragma omp parallel for schedule(dynamic, 1) if (zelk::threads_allowed() && parallel)
    for (Index s = 0; s < count; ++s) {
        if (flag.poll()) continue;
        try {
            body(s, flag);
        } catch (...) {
#pragma omp critical(zelk_linear_failure)
            if (!failure) failure = std::current_exception();
        }
    }
    flag.rethrow();
    if (failure) std::rethrow_exception(failure);
}

// Whether work of `madds` multiply-adds pays for a second thread: some 10 ms of it at least, so
// that a second core that is busy elsewhere, and joins late, costs little beside the work.
bool worth_threads(double madds) { return madds >= 1.0e8 && omp_get_max_threads() > 1; }

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

// The triangle [R | Q^T y] of the rows [r0, r1) of (X * scale, y), into T (zero on entry).
void reduce_segment(const Matrix& X, const Vector& y, double scale, Index r0, Index r1,
                    Eigen::Ref<Matrix> T, StopFlag& flag) {
    const Index p = X.cols();
    if (p > kFoldMaxCols) {
        Matrix B(r1 - r0, p + 1);
        B.leftCols(p) = X.middleRows(r0, r1 - r0) * scale;
        B.col(p) = y.segment(r0, r1 - r0);
        const Eigen::HouseholderQR<Eigen::Ref<Matrix>> qr(B);
        const Index k = std::min(r1 - r0, p);
        T.topRows(k) = B.topRows(k).triangularView<Eigen::Upper>();
        return;
    }
    const Index block = qr_block_rows(p);
    Matrix B(block, p + 1);
    for (Index r = r0; r < r1 && !flag.poll(); r += block) {
        const Index b = std::min(block, r1 - r);
        B.topLeftCorner(b, p) = X.middleRows(r, b) * scale;
        B.col(p).head(b) = y.segment(r, b);
        fold_rows(T, B.topRows(b));
    }
}

// Least squares of a tall X (rows well above columns): X = Q R by Householder reflectors, then
// the SVD route on the p x p triangle R with c = (Q^T y)[0, p). The singular values of R are
// those of X, and with X's SVD U S V^T = (Q U_R) S V^T the solve V S_r^-1 U_R^T c is exactly
// V S_r^-1 (Q U_R)^T y, the minimum-norm solution of the rank-r problem.
//
// X enters scaled by a power of two that brings its largest entry into [0.5, 1): exact, and it
// keeps the squared norms of the reflectors away from overflow and underflow.
Vector ols_by_qr(const Matrix& X, const Vector& y, double max_abs) {
    const Index m = X.rows(), p = X.cols();
    int e = 0;
    std::frexp(max_abs, &e);
    const double scale = std::ldexp(1.0, -std::clamp(e, -1000, 1000));
    const Index segments = (m + kQrSegmentRows - 1) / kQrSegmentRows;
    Matrix Ts = Matrix::Zero(p, (p + 1) * segments);
    for_each_piece(segments, worth_threads(double(m) * double(p) * double(p)),
                   [&](Index s, StopFlag& flag) {
                       const Index r0 = s * kQrSegmentRows;
                       reduce_segment(X, y, scale, r0, std::min(m, r0 + kQrSegmentRows),
                                      Ts.middleCols(s * (p + 1), p + 1), flag);
                   });
    auto T = Ts.leftCols(p + 1);
    for (Index s = 1; s < segments; ++s) {
        poll_interrupt();
        Matrix next = Ts.middleCols(s * (p + 1), p + 1);
        fold_rows(T, next);
    }
    Eigen::BDCSVD<Matrix> svd(T.leftCols(p), Eigen::ComputeThinU | Eigen::ComputeThinV);
    // The rank rule of the SVD of X itself: its threshold counts min(m, p) of X, and not of R
    // (here both are p, since m > p, but the rule is stated in X's terms).
    svd.setThreshold(double(std::max<Index>(1, std::min(m, p))) *
                     std::numeric_limits<double>::epsilon());
    return svd.solve(T.col(p)) * scale;
}

// QR first pays once the rows outnumber the columns by this factor.
constexpr Index kQrMinAspect = 2;

}  // namespace

Vector ols(const Matrix& X, const Vector& y) {
    require_equal(y.size(), "y", X.rows(), "X", "rows");
    use_reproducible_products();
    // Eigen's SVD does not handle an empty matrix (it crashes); with no rows every b fits and
    // with no columns there is nothing to fit, so the minimum-norm answer is p zeros.
    if (X.size() == 0) return Vector::Zero(X.cols());
    // A non-finite X has no meaningful decomposition (the SVD flags it as invalid input and
    // leaves its factors undefined): say so with NaNs. The largest magnitude is NaN or infinite
    // exactly when some entry is.
    const double max_abs = X.cwiseAbs().maxCoeff<Eigen::PropagateNaN>();
    if (!std::isfinite(max_abs) || !y.allFinite()) {
        return Vector::Constant(X.cols(), std::numeric_limits<double>::quiet_NaN());
    }
    if (X.rows() >= kQrMinAspect * X.cols() && X.rows() > X.cols()) return ols_by_qr(X, y, max_abs);
    // BDCSVD decomposes its own scaled copy of X.
    const Eigen::BDCSVD<Matrix> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
    return svd.solve(y);
}

namespace {

// --- The Gram matrix ------------------------------------------------------------------------------
//
// The lower triangle of G = C^T C for the columns C = [Phi y], so that G's last row is (Phi^T y)^T.
// Every entry is summed in one fixed order, whatever the machine or the number of threads:
//   - the rows [0, m4), m4 = m rounded down to a multiple of 4, are cut into segments of
//     gram_segment_rows() rows (fixed by the shape); within a segment, lane l (0..3)
//     accumulates the products of the rows r = l (mod 4) in row order, one fused
//     multiply-add each, starting from 0;
//   - a segment's value is (lane0 + lane1) + (lane2 + lane3);
//   - the entry is the sum of the segments' values from the first to the last, then one fused
//     multiply-add for each of the last m - m4 rows, in row order.
// Tiles of 3 x 3 entries keep their 9 x 4 lane sums in registers while they run down a panel of
// rows; panels only decide how long the sums stay in registers, not their order.

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

// Panels of rows small enough that a panel's columns stay in the second-level cache.
Index gram_panel_rows(Index n) { return std::max<Index>(64, 32768 / n / kLanes * kLanes); }

// Adds to the lane sums `acc` (9 x 4, entry (a, b) at (3 a + b) * 4) the products of the rows
// [r0, r1) (r1 - r0 a multiple of 4) of the columns a0..a2 with the columns b0..b2.
void tile_panel(const double* const* a, const double* const* b, Index r0, Index r1, double* acc) {
    __m256d c[kTile][kTile];
    for (int i = 0; i < kTile; ++i)
        for (int j = 0; j < kTile; ++j) c[i][j] = _mm256_loadu_pd(acc + (i * kTile + j) * kLanes);
    const double *a0 = a[0], *a1 = a[1], *a2 = a[2];
    const double *b0 = b[0], *b1 = b[1], *b2 = b[2];
    for (Index r = r0; r < r1; r += kLanes) {
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

// Tile sums kept while a panel of rows is run down: at most this many tiles at a time (their
// lane sums take 256 KiB).
constexpr Index kGramTileGroup = 256 * 1024 / (kTileSums * sizeof(double));

// The segment values of the rows [r0, r1) for every tile of the lower triangle, tile (I, J),
// J <= I, at (I (I + 1) / 2 + J) * 9 in `out`. `lanes` is scratch for gram_lane_tiles(tiles)
// tiles. The tiles are taken a group of whole tile rows at a time, each group down all panels.
Index gram_lane_tiles(Index tiles) { return std::max(kGramTileGroup, tiles); }

void gram_segment(const std::vector<const double*>& cols, Index r0, Index r1, double* lanes,
                  double* out) {
    const Index tiles = static_cast<Index>(cols.size()) / kTile;
    const Index panel = gram_panel_rows(static_cast<Index>(cols.size()));
    for (Index I0 = 0; I0 < tiles;) {
        // Tile rows I0 .. I1-1: the tiles t0 .. t1-1.
        const Index t0 = I0 * (I0 + 1) / 2;
        Index I1 = I0 + 1;
        while (I1 < tiles && (I1 + 1) * (I1 + 2) / 2 - t0 <= kGramTileGroup) ++I1;
        const Index t1 = I1 * (I1 + 1) / 2;
        std::fill(lanes, lanes + (t1 - t0) * kTileSums, 0.0);
        for (Index q0 = r0; q0 < r1; q0 += panel) {
            const Index q1 = std::min(r1, q0 + panel);
            double* acc = lanes;
            for (Index I = I0; I < I1; ++I)
                for (Index J = 0; J <= I; ++J, acc += kTileSums)
                    tile_panel(&cols[I * kTile], &cols[J * kTile], q0, q1, acc);
        }
        for (Index e = 0; e < (t1 - t0) * kTile * kTile; ++e) {
            const double* l = lanes + e * kLanes;
            out[t0 * kTile * kTile + e] = (l[0] + l[1]) + (l[2] + l[3]);
        }
        I0 = I1;
    }
}

}  // namespace

NormalEquations normal_equations(const Matrix& Phi, const Vector& y) {
    const Index m = Phi.rows(), p = Phi.cols();
    require_equal(y.size(), "y", m, "Phi", "rows");
    NormalEquations eq;
    eq.A = Matrix::Zero(p, p);
    eq.b = Vector::Zero(p);
    if (m == 0 || p == 0) return eq;

    // The columns of [Phi y], padded to whole tiles with repeats of the first (their sums are
    // computed and dropped).
    const Index n = p + 1;
    const Index tiles = (n + kTile - 1) / kTile;
    std::vector<const double*> cols(tiles * kTile, Phi.data());
    for (Index k = 0; k < p; ++k) cols[k] = Phi.col(k).data();
    cols[p] = y.data();

    const Index m4 = m / kLanes * kLanes;
    const Index entries = tiles * (tiles + 1) / 2 * kTile * kTile;
    const Index seg_rows = gram_segment_rows(m4, entries);
    const Index segments = (m4 + seg_rows - 1) / seg_rows;
    std::vector<double> values(segments * entries);
    const bool parallel =
        segments > 1 && worth_threads(double(m) * double(n) * double(n) / 2.0);
    const int threads = parallel ? omp_get_max_threads() : 1;
    const Index lane_sums = gram_lane_tiles(tiles) * kTileSums;
    std::vector<double> lanes(threads * lane_sums);
    for_each_piece(segments, parallel, [&](Index s, StopFlag&) {
        const Index r0 = s * seg_rows;
        double* scratch = lanes.data() + omp_get_thread_num() * lane_sums;
        gram_segment(cols, r0, std::min(m4, r0 + seg_rows), scratch, values.data() + s * entries);
    });

    for (Index i = 0; i < n; ++i) {
        for (Index j = 0; j <= i; ++j) {
            const Index I = i / kTile, J = j / kTile;
            const Index e = ((I * (I + 1) / 2 + J) * kTile + i % kTile) * kTile + j % kTile;
            double sum = segments > 0 ? values[e] : 0.0;
            for (Index s = 1; s < segments; ++s) sum += values[s * entries + e];
            for (Index r = m4; r < m; ++r) sum = std::fma(cols[i][r], cols[j][r], sum);
            if (i < p) {
                eq.A(i, j) = sum;
            } else if (j < p) {
                eq.b(j) = sum;
            }
        }
    }
    return eq;
}

namespace {

// A(i, j) += s * R(i, j) as one fused operation, on the lower triangle (diagonal included),
// the only part of A the factorisation reads.
void add_scaled_lower(Matrix& A, double s, const Matrix& R) {
    const Index p = A.cols();
    for (Index j = 0; j < p; ++j) {
        double* a = A.col(j).data();
        const double* r = R.col(j).data();
        for (Index i = j; i < p; ++i) a[i] = std::fma(s, r[i], a[i]);
    }
}

}  // namespace

Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const PenaltySpec& pen,
                              double ridge) {
    const Index p = Phi.cols();
    require_equal(y.size(), "y", Phi.rows(), "Phi", "rows");
    require_penalties(pen, p);
    // A non-finite value anywhere in the system leaves no meaningful answer (the factorisation
    // would zero NaN pivots and report a finite vector): say so with NaNs, as ols does.
    // (Eigen's allFinite walks every column even when there are no rows: an empty design with
    // millions of columns must not cost a pass over them.)
    const auto finite = [](const auto& a) { return a.size() == 0 || a.allFinite(); };
    const auto applied_finite = [&](const Matrix* R, double gamma) {
        return !penalty_applies(R, gamma) || (std::isfinite(gamma) && finite(*R));
    };
    if (!std::isfinite(ridge) || !applied_finite(pen.R1, pen.gamma1) ||
        !applied_finite(pen.R2, pen.gamma2) ||
        !finite(y) || !finite(Phi)) {
        return Vector::Constant(p, std::numeric_limits<double>::quiet_NaN());
    }
    use_reproducible_products();

    const double n = static_cast<double>(y.size());
    NormalEquations eq = normal_equations(Phi, y);
    eq.A.diagonal().array() += ridge;
    if (penalty_applies(pen.R1, pen.gamma1)) add_scaled_lower(eq.A, n * pen.gamma1, *pen.R1);
    if (penalty_applies(pen.R2, pen.gamma2)) add_scaled_lower(eq.A, n * pen.gamma2, *pen.R2);
    return Eigen::LDLT<Matrix, Eigen::Lower>(eq.A).solve(eq.b);
}

}  // namespace zelk
