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

constexpr int kRadixBits = 16;
constexpr std::size_t kBuckets = std::size_t{1} << kRadixBits;
constexpr std::uint64_t kDigit = kBuckets - 1;
constexpr std::size_t kSmall = 4096;  // below this many candidates, plain nth-element selection

// The bucket that holds rank k; k becomes the rank within that bucket.
std::size_t bucket_of_rank(const std::vector<std::size_t>& hist, std::size_t& k) {
    std::size_t b = 0;
    while (hist[b] <= k) k -= hist[b++];
    return b;
}

// The k-th smallest (0-based) of v[0 .. n-1], which holds no NaN; v is not modified.
// Linear time: a radix pass over the most significant 16 bits of the keys narrows the search
// to one bucket, further passes narrow it by the next 16 bits, and nth-element selection
// finishes once few candidates remain.
double select_kth(const double* v, std::size_t n, std::size_t k) {
    std::vector<std::uint64_t> cand;
    int shift = 64;
    if (n > kSmall) {
        std::vector<std::size_t> hist(kBuckets, 0);
        shift -= kRadixBits;
        for (std::size_t i = 0; i < n; ++i) ++hist[order_key(v[i]) >> shift];
        const std::uint64_t b = bucket_of_rank(hist, k);
        cand.reserve(hist[b]);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t key = order_key(v[i]);
            if ((key >> shift) == b) cand.push_back(key);
        }
        while (cand.size() > kSmall && shift > 0) {
            shift -= kRadixBits;
            std::fill(hist.begin(), hist.end(), 0);
            for (std::uint64_t key : cand) ++hist[(key >> shift) & kDigit];
            const std::uint64_t d = bucket_of_rank(hist, k);
            std::size_t j = 0;
            for (std::uint64_t key : cand)
                if (((key >> shift) & kDigit) == d) cand[j++] = key;
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

double mad(const Vector& y) {
    const std::size_t n = static_cast<std::size_t>(y.size());
    const double m = median_of(y.data(), n);
    Vector buf(y.size());
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

double compute_SR(const Vector& yp, const Vector& yt, double eps) {
    require_at_least(yp.size(), "yp", yt.size(), "yt");
    return success_rate(count_hits(yp.data(), yt.data(), yt.size(), eps), yt.size());
}

void require_penalties(const PenaltySpec& pen, Index p) {
    require_penalty(pen.R1, pen.gamma1, p, "R1");
    require_penalty(pen.R2, pen.gamma2, p, "R2");
}

double quad_form(const Vector& b, const Matrix& R, Vector& t) {
    t.noalias() = R * b;
    return b.dot(t);
}

double quad_form(const Vector& b, const Matrix& R) {
    Vector t;
    return quad_form(b, R, t);
}

double complexity_term(int k, int H, Index n) {
    const double logHk = k > 0 ? static_cast<double>(k) * std::log(2.0 * static_cast<double>(H)) : 0.0;
    const double q = logHk / static_cast<double>(n);
    return q * static_cast<double>(k);
}

double score_from_hits(Index hits, Index n, double complexity, const Vector* beta,
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

double mdl_score_cached(const Vector& yp, const Vector& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen, Vector* scratch) {
    const Index n = yt.size();
    return score_from_hits(count_hits(yp.data(), yt.data(), n, eps), n, complexity_term(k, H, n),
                           beta, pen, scratch);
}

double tolerance_from_mad(double m) { return m > 0.0 ? 0.4 * m : 0.4; }

double mdl_score(const Vector& yp, const Vector& yt, int k, int H, const Vector* beta,
                 const PenaltySpec* pen) {
    require_at_least(yp.size(), "yp", yt.size(), "yt");
    if (pen != nullptr && beta != nullptr) require_penalties(*pen, beta->size());
    return mdl_score_cached(yp, yt, k, H, tolerance_from_mad(mad(yt)), beta, pen);
}

}  // namespace zelk
