// Robust statistics and the description-length score.
#pragma once

#include "common.hpp"

#include <vector>

namespace zelk {

// Median by linear-time selection (never a full sort): the middle order statistic, or half
// the sum of the two middle ones; 0.0 for an empty sequence, NaN when any entry is NaN.
double median_inplace(std::vector<double> v);

// Raw median absolute deviation of y from its median (no consistency factor); 0.0 when empty.
double mad(const Vector& y);

// Number of i < n with |yp[i] - yt[i]| < eps. NaN differences never count.
Index count_hits(const double* yp, const double* yt, Index n, double eps) noexcept;

// Share of the first len(yt) entries of yp within eps of yt, floored at half a hit,
// 1 / (2 n); NaN when yt is empty. yp must hold at least len(yt) entries.
double compute_SR(const Vector& yp, const Vector& yt, double eps);

}  // namespace zelk
