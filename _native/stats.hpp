// Robust statistics and the description-length score.
#pragma once

#include "common.hpp"

#include <vector>

namespace zelk {

// Median by linear-time selection (never a full sort): the middle order statistic, or half
// the sum of the two middle ones; 0.0 for an empty sequence, NaN when any entry is NaN.
double median_inplace(std::vector<double> v);

// Raw median absolute deviation of y from its median (no consistency factor); 0.0 when empty.
double mad(const VectorRef& y);

// Number of i < n with |yp[i] - yt[i]| < eps. NaN differences never count.
Index count_hits(const double* yp, const double* yt, Index n, double eps) noexcept;

// Share of the first len(yt) entries of yp within eps of yt, floored at half a hit,
// 1 / (2 n); NaN when yt is empty. yp must hold at least len(yt) entries.
double compute_SR(const VectorRef& yp, const VectorRef& yt, double eps);

// b' (R b), with R b formed in `t` (resized as needed). No symmetry of R is assumed. R b and the
// dot product take the rounding steps of Eigen's matrix-vector product (of a column-major R)
// and dot product in a release build, written out, so that every build gives the same bits, and
// R gives the same bits in either storage order.
double quad_form(const VectorRef& b, const MatrixView& R, Vector& t);

// Adds to hits[q], for every chain q < n_chains, the number of rows i in [begin, end) with
// |(X b_q)[i] - y[i]| < eps, where b_q = B[q k .. q k + k) (k = cols(X)). Each entry of X b_q is
// rounded exactly as Eigen's matrix-vector product rounds it in a release build, so the counts
// equal count_hits on that product; nothing is stored per row.
void count_hits_of_products(const Matrix& X, const double* B, Index n_chains, const Vector& y,
                            double eps, Index begin, Index end, Index* hits) noexcept;

// Description length of predictions yp against targets yt at tolerance eps:
//   -n ln(sr) + (k ln(2H) / n) k   (the complexity term only for k > 0)
//   + gamma1 b'R1 b + gamma2 b'R2 b   (when pen and beta are given and the penalty applies).
// The score of one prediction vector: no checks, nothing allocated when `scratch` is given (it
// holds the R b product); reentrant. yp must hold at least len(yt) entries and every applied
// penalty matrix must be len(beta) x len(beta).
double mdl_score_cached(const VectorRef& yp, const VectorRef& yt, int k, int H, double eps,
                        const VectorRef* beta, const PenaltySpec* pen, Vector* scratch = nullptr);

// The two halves of mdl_score_cached, for a caller that scores many predictions against the
// same n targets: the complexity term (k ln(2H) / n) k depends only on k, H and n, and the
// score follows from the number of hits. mdl_score_cached is exactly
//   score_from_hits(count_hits(yp, yt, n, eps), n, complexity_term(k, H, n), beta, pen, scratch).
double complexity_term(int k, int H, Index n);
double score_from_hits(Index hits, Index n, double complexity, const VectorRef* beta,
                       const PenaltySpec* pen, Vector* scratch);
// The same for coefficients held in a Vector.
inline double score_from_hits(Index hits, Index n, double complexity, const Vector* beta,
                              const PenaltySpec* pen, Vector* scratch) {
    if (beta == nullptr) {
        return score_from_hits(hits, n, complexity, static_cast<const VectorRef*>(nullptr), pen,
                               scratch);
    }
    const VectorRef b(*beta);
    return score_from_hits(hits, n, complexity, &b, pen, scratch);
}

// The same with eps = 0.4 * mad(yt), or 0.4 when that MAD is not positive. Checks the shapes:
// std::invalid_argument when yp is shorter than yt or an applied penalty is not p x p.
double mdl_score(const VectorRef& yp, const VectorRef& yt, int k, int H, const VectorRef* beta,
                 const PenaltySpec* pen);

// The tolerance rule shared by mdl_score and the sampler.
double tolerance_from_mad(double m);

}  // namespace zelk
