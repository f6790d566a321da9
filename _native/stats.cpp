#include "stats.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include <immintrin.h>

namespace zelk {

namespace {

// The module is built for AVX2; the linear passes below use it four lanes at a time.

bool any_nan(const double* v, std::size_t n) {
    __m256d unordered = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d x = _mm256_loadu_pd(v + i);
        unordered = _mm256_or_pd(unordered, _mm256_cmp_pd(x, x, _CMP_UNORD_Q));
    }
    bool nan = _mm256_movemask_pd(unordered) != 0;
    for (; i < n; ++i) nan |= std::isnan(v[i]);
    return nan;
}

inline std::int64_t horizontal_sum(__m256i x) {
    alignas(32) std::int64_t lane[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane), x);
    return lane[0] + lane[1] + lane[2] + lane[3];
}

// How many entries of v lie below `bound`, and the largest of them (-inf when none).
struct Below {
    std::size_t count;
    double max;
};

Below below(const double* v, std::size_t n, double bound) {
    const double neg_inf = -std::numeric_limits<double>::infinity();
    const __m256d b = _mm256_set1_pd(bound);
    const __m256d none = _mm256_set1_pd(neg_inf);
    __m256d mx = none;
    __m256i count = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d x = _mm256_loadu_pd(v + i);
        const __m256d lt = _mm256_cmp_pd(x, b, _CMP_LT_OQ);
        mx = _mm256_max_pd(mx, _mm256_blendv_pd(none, x, lt));
        count = _mm256_sub_epi64(count, _mm256_castpd_si256(lt));  // true lanes are -1
    }
    alignas(32) double lane[4];
    _mm256_store_pd(lane, mx);
    Below r{static_cast<std::size_t>(horizontal_sum(count)),
            std::max(std::max(lane[0], lane[1]), std::max(lane[2], lane[3]))};
    for (; i < n; ++i) {
        if (v[i] < bound) {
            ++r.count;
            r.max = std::max(r.max, v[i]);
        }
    }
    return r;
}

// Selection works on unsigned keys that sort like the doubles they come from (NaN excluded).
constexpr std::uint64_t kSign = std::uint64_t{1} << 63;

// Branch-free: the sign of random data is unpredictable.
inline std::uint64_t order_key(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    const std::uint64_t negative = std::uint64_t{0} - (u >> 63);  // all ones for x < 0
    return u ^ (negative | kSign);
}

inline double from_key(std::uint64_t key) {
    const std::uint64_t negative = (key >> 63) - 1;  // all ones when the key is below the middle
    const std::uint64_t u = key ^ (negative | kSign);
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

constexpr int kMaxRadixBits = 16;
constexpr std::size_t kSmall = 4096;  // below this many candidates, plain nth-element selection

// The bucket that holds rank k; k becomes the rank within that bucket.
std::size_t bucket_of_rank(const std::vector<std::size_t>& hist, std::size_t& k) {
    std::size_t b = 0;
    while (hist[b] <= k) k -= hist[b++];
    return b;
}

// Radix digits of about log2(n) - 2 bits, at least 12 (the sign and the exponent, which is
// all that tells apart data of one scale) and at most 16: a few candidates per bucket, and a
// histogram that costs little beside the pass it serves (filling 2^16 counters costs more than a
// pass over 10^4 values).
int radix_bits(std::size_t n) {
    int bits = 0;
    while ((std::size_t{1} << (bits + 2)) <= n && bits < kMaxRadixBits) ++bits;
    return std::max(bits, 12);
}

// The k-th smallest (0-based) of v[0 .. n-1], which holds no NaN; v is not modified.
// Linear time: a radix pass over the most significant bits of the keys narrows the search to
// one bucket, further passes narrow it by the next bits, and nth-element selection finishes
// once few candidates remain.
double select_kth(const double* v, std::size_t n, std::size_t k) {
    std::vector<std::uint64_t> cand;
    if (n > kSmall) {
        const int bits = radix_bits(n);
        std::vector<std::size_t> hist(std::size_t{1} << bits, 0);
        int shift = 64 - bits;
        for (std::size_t i = 0; i < n; ++i) ++hist[order_key(v[i]) >> shift];
        const std::uint64_t b = bucket_of_rank(hist, k);
        cand.reserve(hist[b]);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t key = order_key(v[i]);
            if ((key >> shift) == b) cand.push_back(key);
        }
        while (cand.size() > kSmall && shift > 0) {
            const int step = std::min(bits, shift);
            shift -= step;
            const std::uint64_t digit = (std::uint64_t{1} << step) - 1;
            std::fill(hist.begin(), hist.begin() + (std::ptrdiff_t{1} << step), 0);
            for (std::uint64_t key : cand) ++hist[(key >> shift) & digit];
            const std::uint64_t d = bucket_of_rank(hist, k);
            std::size_t j = 0;
            for (std::uint64_t key : cand)
                if (((key >> shift) & digit) == d) cand[j++] = key;
            cand.resize(j);
        }
    } else {
        cand.resize(n);
        for (std::size_t i = 0; i < n; ++i) cand[i] = order_key(v[i]);
    }
    std::nth_element(cand.begin(), cand.begin() + static_cast<std::ptrdiff_t>(k), cand.end());
    return from_key(cand[k]);
}

// Median of v[0 .. n-1]: 0.0 when empty, NaN when any entry is NaN. v is not modified.
double median_of(const double* v, std::size_t n) {
    if (n == 0) return 0.0;
    if (any_nan(v, n)) return std::numeric_limits<double>::quiet_NaN();
    const std::size_t hi = n / 2;
    const double upper = select_kth(v, n, hi);
    if (n % 2 == 1) return upper;
    // The lower middle is the largest value ranked below hi: the largest value below `upper`,
    // or `upper` itself when it is tied across the middle.
    const Below b = below(v, n, upper);
    const double lower = b.count < hi ? upper : b.max;
    return 0.5 * (lower + upper);
}

}  // namespace

double median_inplace(std::vector<double> v) { return median_of(v.data(), v.size()); }

double mad(const VectorRef& y) {
    const std::size_t n = static_cast<std::size_t>(y.size());
    Vector buf;
    allocate(buf, y.size(), 1, "vector of deviations");
    const double m = median_of(y.data(), n);
    prepare_pages(buf);
    buf = (y.array() - m).abs();
    return median_of(buf.data(), n);
}

Index count_hits(const double* yp, const double* yt, Index n, double eps) noexcept {
    const __m256d e = _mm256_set1_pd(eps);
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
    __m256i hits = _mm256_setzero_si256();
    Index i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d d = _mm256_sub_pd(_mm256_loadu_pd(yp + i), _mm256_loadu_pd(yt + i));
        const __m256d hit = _mm256_cmp_pd(_mm256_and_pd(d, magnitude), e, _CMP_LT_OQ);
        hits = _mm256_sub_epi64(hits, _mm256_castpd_si256(hit));  // true lanes are -1
    }
    Index hit = horizontal_sum(hits);
    for (; i < n; ++i) hit += std::abs(yp[i] - yt[i]) < eps;
    return hit;
}

namespace {

// The share of hits, floored at half a hit.
double success_rate(Index hits, Index n) noexcept {
    const double sr = static_cast<double>(hits) / static_cast<double>(n);
    const double floor = 1.0 / (2.0 * static_cast<double>(n));
    return sr < floor ? floor : sr;  // a NaN rate (empty yt) is returned as it is
}

}  // namespace

double compute_SR(const VectorRef& yp, const VectorRef& yt, double eps) {
    require_at_least(yp.size(), "yp", yt.size(), "yt");
    return success_rate(count_hits(yp.data(), yt.data(), yt.size(), eps), yt.size());
}


namespace {

// The rounding steps of Eigen's matrix-vector product, written out so that every build (whatever
// the optimiser contracts, and with or without sanitizers) gives the bits the release build has
// always given. This file is compiled without contraction: a product followed by a sum below is
// two roundings, a std::fma or _mm256_fmadd_pd one.
//
// Entry i of X b is summed over blocks of columns (all columns when there are fewer than 128),
// each block's partial sum added to the entry. Within a block, the rows that Eigen handles four
// or two at a time (all but the last row of an odd count) run one fused multiply-add per
// column from 0; the last row of an odd count adds unfused products in pairs of columns, the
// odd column out fused.

inline Index product_block(Index rows, Index cols) {
    return cols < 128 ? cols : (rows * Index{sizeof(double)} < 32000 ? 16 : 4);
}

inline Index packet_rows(Index rows) { return rows / 4 * 4 + (rows % 4 >= 2 ? 2 : 0); }

// Sum of x[j * stride] * b[j] for j < n, unfused products in pairs, the odd one out fused.
inline double sum_in_pairs(const double* x, Index stride, const double* b, Index n, double c) {
    Index j = 0;
    for (; j + 1 < n; j += 2) {
        const double p0 = x[j * stride] * b[j];
        const double p1 = x[(j + 1) * stride] * b[j + 1];
        c = c + p0;
        c = c + p1;
    }
    if (j < n) c = std::fma(x[j * stride], b[j], c);
    return c;
}

// Entry i of X b, X m x k with entry (i, j) at X[i * rs + j * cs]: the steps of Eigen's product
// for a column-major X (rs = 1, cs = m), whatever the strides.
double product_entry(const double* X, Index m, Index k, Index i, const double* b, Index rs,
                     Index cs) {
    const Index block = product_block(m, k);
    const bool paired = i >= packet_rows(m);
    const double* row = X + i * rs;
    double r = 0.0;
    for (Index j0 = 0; j0 < k; j0 += block) {
        const Index j1 = std::min(j0 + block, k);
        double c = 0.0;
        if (paired) {
            c = sum_in_pairs(row + j0 * cs, cs, b + j0, j1 - j0, c);
        } else {
            for (Index j = j0; j < j1; ++j) c = std::fma(row[j * cs], b[j], c);
        }
        r = r + c;
    }
    return r;
}

// a . t as Eigen's sum reduction forms it: below four entries a product then fused steps;
// otherwise four-lane partial sums (the first one or two packets products, the rest fused),
// folded as (l0 + l2) + (l1 + l3), then the remaining entries in pairs.
double eigen_dot(const double* a, const double* t, Index n) {
    if (n == 0) return 0.0;
    if (n < 4) {
        double r = a[0] * t[0];
        for (Index i = 1; i < n; ++i) r = std::fma(a[i], t[i], r);
        return r;
    }
    const Index end = n / 4 * 4, end2 = n / 8 * 8;
    __m256d p0 = _mm256_mul_pd(_mm256_loadu_pd(a), _mm256_loadu_pd(t));
    if (end > 4) {
        __m256d p1 = _mm256_mul_pd(_mm256_loadu_pd(a + 4), _mm256_loadu_pd(t + 4));
        for (Index i = 8; i < end2; i += 8) {
            p0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(t + i), p0);
            p1 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 4), _mm256_loadu_pd(t + i + 4), p1);
        }
        p0 = _mm256_add_pd(p0, p1);
        if (end > end2) p0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + end2), _mm256_loadu_pd(t + end2), p0);
    }
    alignas(32) double lane[4];
    _mm256_store_pd(lane, p0);
    const double r = (lane[0] + lane[2]) + (lane[1] + lane[3]);
    return sum_in_pairs(a + end, 1, t + end, n - end, r);
}

// 4 NR rows from i (all summed with fused steps) of X B for NC chains, counted into cnt.
template <int NC, int NR>
inline void count_rows(const double* X, Index m, Index k, Index block, Index i, const double* B,
                       const double* y, __m256d eps, __m256i* cnt) {
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
    __m256d r[NC][NR];
    for (int q = 0; q < NC; ++q)
        for (int v = 0; v < NR; ++v) r[q][v] = _mm256_setzero_pd();
    for (Index j0 = 0; j0 < k; j0 += block) {
        const Index j1 = std::min(j0 + block, k);
        __m256d c[NC][NR];
        for (int q = 0; q < NC; ++q)
            for (int v = 0; v < NR; ++v) c[q][v] = _mm256_setzero_pd();
        for (Index j = j0; j < j1; ++j) {
            __m256d x[NR];
            for (int v = 0; v < NR; ++v) x[v] = _mm256_loadu_pd(X + i + 4 * v + j * m);
            for (int q = 0; q < NC; ++q) {
                const __m256d bq = _mm256_broadcast_sd(B + q * k + j);
                for (int v = 0; v < NR; ++v) c[q][v] = _mm256_fmadd_pd(x[v], bq, c[q][v]);
            }
        }
        for (int q = 0; q < NC; ++q)
            for (int v = 0; v < NR; ++v) r[q][v] = _mm256_add_pd(r[q][v], c[q][v]);
    }
    for (int v = 0; v < NR; ++v) {
        const __m256d yv = _mm256_loadu_pd(y + i + 4 * v);
        for (int q = 0; q < NC; ++q) {
            const __m256d d = _mm256_sub_pd(r[q][v], yv);
            const __m256d hit = _mm256_cmp_pd(_mm256_and_pd(d, magnitude), eps, _CMP_LT_OQ);
            cnt[q] = _mm256_sub_epi64(cnt[q], _mm256_castpd_si256(hit));  // true lanes are -1
        }
    }
}

// Rows [begin, end) (a multiple of 4, all summed with fused steps) for NC chains: wide tiles of
// NR vectors while they fit, then single vectors.
template <int NC, int NR>
void count_vector_rows(const double* X, Index m, Index k, Index block, Index begin, Index end,
                       const double* B, const double* y, double eps, Index* hits) {
    const __m256d e = _mm256_set1_pd(eps);
    __m256i cnt[NC];
    for (int q = 0; q < NC; ++q) cnt[q] = _mm256_setzero_si256();
    Index i = begin;
    for (; i + 4 * NR <= end; i += 4 * NR) count_rows<NC, NR>(X, m, k, block, i, B, y, e, cnt);
    for (; i < end; i += 4) count_rows<NC, 1>(X, m, k, block, i, B, y, e, cnt);
    for (int q = 0; q < NC; ++q) hits[q] += horizontal_sum(cnt[q]);
}

// Rows per tile: small enough that a tile of X stays in the first-level cache while every chain
// passes over it.
constexpr Index kTileRows = 256;

}  // namespace

void count_hits_of_products(const Matrix& X, const double* B, Index n_chains, const Vector& y,
                            double eps, Index begin, Index end, Index* hits) noexcept {
    const Index m = X.rows(), k = X.cols();
    const Index block = product_block(m, k);
    const Index vector_end = begin + std::max<Index>(0, std::min(end, packet_rows(m)) - begin) / 4 * 4;
    for (Index r0 = begin; r0 < vector_end; r0 += kTileRows) {
        const Index r1 = std::min(vector_end, r0 + kTileRows);
        for (Index q0 = 0; q0 < n_chains; q0 += 4) {
            const double* Bq = B + q0 * k;
            Index* h = hits + q0;
            switch (std::min<Index>(4, n_chains - q0)) {
                case 4: count_vector_rows<4, 2>(X.data(), m, k, block, r0, r1, Bq, y.data(), eps, h); break;
                case 3: count_vector_rows<3, 2>(X.data(), m, k, block, r0, r1, Bq, y.data(), eps, h); break;
                case 2: count_vector_rows<2, 3>(X.data(), m, k, block, r0, r1, Bq, y.data(), eps, h); break;
                default: count_vector_rows<1, 4>(X.data(), m, k, block, r0, r1, Bq, y.data(), eps, h); break;
            }
        }
    }
    for (Index i = vector_end; i < end; ++i) {
        for (Index q = 0; q < n_chains; ++q) {
            const double yp = product_entry(X.data(), m, k, i, B + q * k, 1, m);
            hits[q] += std::abs(yp - y[i]) < eps;
        }
    }
}

double quad_form(const VectorRef& b, const MatrixView& R, Vector& t) {
    const Index p = R.rows();
    t.resize(p);
    for (Index i = 0; i < p; ++i)
        t[i] = product_entry(R.data(), p, R.cols(), i, b.data(), R.row_stride(), R.col_stride());
    return eigen_dot(b.data(), t.data(), p);
}

double complexity_term(int k, int H, Index n) {
    const double logHk = k > 0 ? static_cast<double>(k) * std::log(2.0 * static_cast<double>(H)) : 0.0;
    const double q = logHk / static_cast<double>(n);
    return q * static_cast<double>(k);
}

double score_from_hits(Index hits, Index n, double complexity, const VectorRef* beta,
                       const PenaltySpec* pen, Vector* scratch) {
    const double nd = static_cast<double>(n);
    const double sr = success_rate(hits, n);
    double L = std::fma(-nd, std::log(sr), complexity);
    if (pen != nullptr && beta != nullptr && pen->active()) {
        Vector local;
        Vector& t = scratch != nullptr ? *scratch : local;
        if (penalty_applies(pen->R1, pen->gamma1))
            L = std::fma(quad_form(*beta, *pen->R1, t), pen->gamma1, L);
        if (penalty_applies(pen->R2, pen->gamma2))
            L = std::fma(quad_form(*beta, *pen->R2, t), pen->gamma2, L);
    }
    return L;
}

double mdl_score_cached(const VectorRef& yp, const VectorRef& yt, int k, int H, double eps,
                        const VectorRef* beta, const PenaltySpec* pen, Vector* scratch) {
    const Index n = yt.size();
    return score_from_hits(count_hits(yp.data(), yt.data(), n, eps), n, complexity_term(k, H, n),
                           beta, pen, scratch);
}

double tolerance_from_mad(double m) { return m > 0.0 ? 0.4 * m : 0.4; }

double mdl_score(const VectorRef& yp, const VectorRef& yt, int k, int H, const VectorRef* beta,
                 const PenaltySpec* pen) {
    require_at_least(yp.size(), "yp", yt.size(), "yt");
    if (pen != nullptr && beta != nullptr) require_penalties(*pen, beta->size());
    return mdl_score_cached(yp, yt, k, H, tolerance_from_mad(mad(yt)), beta, pen);
}

}  // namespace zelk
