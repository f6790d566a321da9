#include "copy.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <immintrin.h>
#include <sys/mman.h>

namespace zelk {

std::optional<DenseShape> dense_shape(int ndim, const Index* extent, bool vector) noexcept {
    if (ndim == 1) return DenseShape{extent[0], 1};
    if (ndim != 2 || (vector && extent[1] != 1)) return std::nullopt;
    return DenseShape{extent[0], extent[1]};
}

void prepare_fresh_pages(double* data, Index n) noexcept {
    constexpr std::uintptr_t kPage = 4096;
    const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(double);
    // Below 256 KiB a resident check costs a noticeable share of copying reused memory.
    if (bytes < 64 * kPage) return;
    // A page in the middle: the allocator writes its own headers next to both ends of a block.
    const std::uintptr_t middle = (reinterpret_cast<std::uintptr_t>(data) + bytes / 2) & ~(kPage - 1);
    unsigned char resident = 0;
    if (mincore(reinterpret_cast<void*>(middle), kPage, &resident) == 0 && (resident & 1)) return;
    prepare_pages(data, bytes);
}

namespace {

// dst[j * dst_stride + i] = src[i * src_stride + j] (times `scale` when Scaled).
// Tiles of 256 rows by 16 columns (32 KiB, one L1 cache), moved as 4 x 4 blocks transposed in
// AVX registers; the edges of a tile element by element. One thread: the copy is bound by
// memory, and a second thread gains little on a quiet machine and loses much on a busy one,
// where it has to wait for a core.
template <bool Scaled>
void transpose(const double* src, Index src_stride, Index rows, Index cols, double scale,
               double* dst, Index dst_stride) noexcept {
    constexpr Index kTileRows = 256, kTileCols = 16;
    const __m256d f = _mm256_set1_pd(scale);
    const auto load = [&](const double* p) {
        const __m256d v = _mm256_loadu_pd(p);
        return Scaled ? _mm256_mul_pd(v, f) : v;
    };
    const auto one = [&](double v) { return Scaled ? v * scale : v; };
    for (Index i0 = 0; i0 < rows; i0 += kTileRows) {
        const Index i1 = std::min(rows, i0 + kTileRows);
        for (Index j0 = 0; j0 < cols; j0 += kTileCols) {
            const Index j1 = std::min(cols, j0 + kTileCols);
            Index j = j0;
            for (; j + 4 <= j1; j += 4) {
                Index i = i0;
                for (; i + 4 <= i1; i += 4) {
                    const double* s = src + i * src_stride + j;
                    const __m256d r0 = load(s);
                    const __m256d r1 = load(s + src_stride);
                    const __m256d r2 = load(s + 2 * src_stride);
                    const __m256d r3 = load(s + 3 * src_stride);
                    const __m256d t0 = _mm256_unpacklo_pd(r0, r1);
                    const __m256d t1 = _mm256_unpackhi_pd(r0, r1);
                    const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
                    const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
                    double* d = dst + j * dst_stride + i;
                    _mm256_storeu_pd(d, _mm256_permute2f128_pd(t0, t2, 0x20));
                    _mm256_storeu_pd(d + dst_stride, _mm256_permute2f128_pd(t1, t3, 0x20));
                    _mm256_storeu_pd(d + 2 * dst_stride, _mm256_permute2f128_pd(t0, t2, 0x31));
                    _mm256_storeu_pd(d + 3 * dst_stride, _mm256_permute2f128_pd(t1, t3, 0x31));
                }
                for (; i < i1; ++i)
                    for (Index c = j; c < j + 4; ++c) dst[c * dst_stride + i] = one(src[i * src_stride + c]);
            }
            for (; j < j1; ++j)
                for (Index i = i0; i < i1; ++i) dst[j * dst_stride + i] = one(src[i * src_stride + j]);
        }
    }
}

}  // namespace

void copy_row_major(const double* src, Index rows, Index cols, double* dst) noexcept {
    transpose<false>(src, cols, rows, cols, 1.0, dst, rows);
}

namespace {

// transpose() for a few rows of a narrow matrix, the source read row after row (4 rows at a
// time, each across all its columns): one pass in address order over memory that is usually
// read for the first time here.
template <bool Scaled>
void pack_rows(const double* src, Index src_stride, Index rows, Index cols, double scale,
               double* dst, Index dst_stride) noexcept {
    const __m256d f = _mm256_set1_pd(scale);
    const auto load = [&](const double* p) {
        const __m256d v = _mm256_loadu_pd(p);
        return Scaled ? _mm256_mul_pd(v, f) : v;
    };
    const auto one = [&](double v) { return Scaled ? v * scale : v; };
    Index i = 0;
    for (; i + 4 <= rows; i += 4) {
        const double* s = src + i * src_stride;
        Index j = 0;
        for (; j + 4 <= cols; j += 4) {
            const __m256d r0 = load(s + j);
            const __m256d r1 = load(s + src_stride + j);
            const __m256d r2 = load(s + 2 * src_stride + j);
            const __m256d r3 = load(s + 3 * src_stride + j);
            const __m256d t0 = _mm256_unpacklo_pd(r0, r1);
            const __m256d t1 = _mm256_unpackhi_pd(r0, r1);
            const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
            const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
            double* d = dst + j * dst_stride + i;
            _mm256_storeu_pd(d, _mm256_permute2f128_pd(t0, t2, 0x20));
            _mm256_storeu_pd(d + dst_stride, _mm256_permute2f128_pd(t1, t3, 0x20));
            _mm256_storeu_pd(d + 2 * dst_stride, _mm256_permute2f128_pd(t0, t2, 0x31));
            _mm256_storeu_pd(d + 3 * dst_stride, _mm256_permute2f128_pd(t1, t3, 0x31));
        }
        for (; j < cols; ++j)
            for (Index r = i; r < i + 4; ++r) dst[j * dst_stride + r] = one(src[r * src_stride + j]);
    }
    for (; i < rows; ++i)
        for (Index j = 0; j < cols; ++j) dst[j * dst_stride + i] = one(src[i * src_stride + j]);
}

}  // namespace

void pack_columns(const double* src, Index src_stride, Index rows, Index cols, double scale,
                  double* dst, Index dst_stride) noexcept {
    // Narrow matrices row after row; wide ones in tiles that keep the columns written in cache.
    constexpr Index kNarrow = 64;
    if (cols <= kNarrow) {
        if (scale == 1.0) pack_rows<false>(src, src_stride, rows, cols, 1.0, dst, dst_stride);
        else pack_rows<true>(src, src_stride, rows, cols, scale, dst, dst_stride);
    } else {
        if (scale == 1.0) transpose<false>(src, src_stride, rows, cols, 1.0, dst, dst_stride);
        else transpose<true>(src, src_stride, rows, cols, scale, dst, dst_stride);
    }
}

void scale_into(const double* src, Index n, double scale, double* dst) noexcept {
    for (Index i = 0; i < n; ++i) dst[i] = src[i] * scale;
}

void copy_contiguous(const double* src, Index n, double* dst) noexcept {
    if (n > 0) std::memcpy(dst, src, static_cast<std::size_t>(n) * sizeof(double));
}

}  // namespace zelk
