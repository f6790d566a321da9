// Conversion of Vector and Matrix arguments and results.
//
// The same behaviour as pybind11's caster for dense Eigen types (the argument becomes a NumPy
// array, must have one or two dimensions and a conforming shape, and is copied once, with
// NumPy's own element conversion, into fresh native storage; results are moved into
// capsule-owned storage without a copy), with differences in speed only, none in values: the
// pages of a large copy are prepared before it is filled (prepare_pages), which makes converting
// a big array several times faster than taking one page fault per 4 KiB; float64 data is copied
// here rather than by NumPy, a row-major matrix (NumPy's default layout) transposed into
// column-major storage tile by tile instead of element by element; and a large copy is shared
// out to all threads.
// Included through bindings.hpp, so every translation unit sees the same caster.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>

#include "common.hpp"
#include "runtime.hpp"

#include <algorithm>

#include <immintrin.h>
#include <omp.h>

namespace pybind11::detail {

// dst (rows x cols, column-major) = src (rows x cols, row-major): tiles of 256 rows by 16
// columns (32 KiB, one L1 cache) moved as 4 x 4 blocks transposed in AVX registers.
// A large matrix is shared out to the threads by tiles of rows.
inline void copy_row_major(const double* src, zelk::Index rows, zelk::Index cols, double* dst) {
    using zelk::Index;
    constexpr Index kTileRows = 256, kTileCols = 16;
    const Index tiles = (rows + kTileRows - 1) / kTileRows;
#pragma omp parallel for schedule(static) if (zelk::threads_allowed() && tiles > 1 && rows * cols >= (Index{1} << 18))
    for (Index t = 0; t < tiles; ++t) {
        const Index i0 = t * kTileRows;
        const Index i1 = std::min(rows, i0 + kTileRows);
        for (Index j0 = 0; j0 < cols; j0 += kTileCols) {
            const Index j1 = std::min(cols, j0 + kTileCols);
            Index j = j0;
            for (; j + 4 <= j1; j += 4) {
                Index i = i0;
                for (; i + 4 <= i1; i += 4) {
                    const double* s = src + i * cols + j;
                    const __m256d r0 = _mm256_loadu_pd(s);
                    const __m256d r1 = _mm256_loadu_pd(s + cols);
                    const __m256d r2 = _mm256_loadu_pd(s + 2 * cols);
                    const __m256d r3 = _mm256_loadu_pd(s + 3 * cols);
                    const __m256d t0 = _mm256_unpacklo_pd(r0, r1);
                    const __m256d t1 = _mm256_unpackhi_pd(r0, r1);
                    const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
                    const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
                    double* d = dst + j * rows + i;
                    _mm256_storeu_pd(d, _mm256_permute2f128_pd(t0, t2, 0x20));
                    _mm256_storeu_pd(d + rows, _mm256_permute2f128_pd(t1, t3, 0x20));
                    _mm256_storeu_pd(d + 2 * rows, _mm256_permute2f128_pd(t0, t2, 0x31));
                    _mm256_storeu_pd(d + 3 * rows, _mm256_permute2f128_pd(t1, t3, 0x31));
                }
                for (; i < i1; ++i)
                    for (Index c = j; c < j + 4; ++c) dst[c * rows + i] = src[i * cols + c];
            }
            for (; j < j1; ++j)
                for (Index i = i0; i < i1; ++i) dst[j * rows + i] = src[i * cols + j];
        }
    }
}

// dst[0, n) = src[0, n); a large block is shared out to the threads in equal parts.
inline void copy_contiguous(const double* src, zelk::Index n, double* dst) {
    using zelk::Index;
    constexpr Index kParallelMin = Index{1} << 18;
    if (n < kParallelMin) {
        std::copy(src, src + n, dst);
        return;
    }
#pragma omp parallel if (zelk::threads_allowed())
    {
        const Index threads = omp_get_num_threads(), t = omp_get_thread_num();
        const Index begin = n * t / threads, end = n * (t + 1) / threads;
        std::copy(src + begin, src + end, dst + begin);
    }
}

template <typename Type>
struct zelk_dense_caster {
    using Scalar = typename Type::Scalar;
    using props = EigenProps<Type>;

    bool load(handle src, bool convert) {
        if (!convert && !isinstance<array_t<Scalar>>(src)) return false;
        auto buf = array::ensure(src);
        if (!buf) return false;
        const auto dims = buf.ndim();
        if (dims < 1 || dims > 2) return false;
        auto fits = props::conformable(buf);
        if (!fits) return false;
        value = Type(fits.rows, fits.cols);
        zelk::prepare_pages(value);
        constexpr int kAlignedRowMajor = npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npy_api::NPY_ARRAY_ALIGNED_;
        if (dims == 2 && fits.rows > 1 && fits.cols > 1 && (buf.flags() & kAlignedRowMajor) == kAlignedRowMajor &&
            isinstance<array_t<double>>(buf)) {
            copy_row_major(static_cast<const double*>(buf.data()), fits.rows, fits.cols, value.data());
            return true;
        }
        // Column-major float64 data (a 1-D array included) already has the order of the storage.
        constexpr int kAlignedColMajor = npy_api::NPY_ARRAY_F_CONTIGUOUS_ | npy_api::NPY_ARRAY_ALIGNED_;
        if ((buf.flags() & kAlignedColMajor) == kAlignedColMajor && isinstance<array_t<double>>(buf)) {
            copy_contiguous(static_cast<const double*>(buf.data()), value.size(), value.data());
            return true;
        }
        auto ref = reinterpret_steal<array>(eigen_ref_array<props>(value));
        if (dims == 1) {
            ref = ref.squeeze();
        } else if (ref.ndim() == 1) {
            buf = buf.squeeze();
        }
        if (npy_api::get().PyArray_CopyInto_(ref.ptr(), buf.ptr()) < 0) {
            PyErr_Clear();
            return false;
        }
        return true;
    }

    // Results: by value they are moved into a capsule; references follow the policy.
    static handle cast(Type&& src, return_value_policy, handle) {
        return eigen_encapsulate<props>(new Type(std::move(src)));
    }
    // A const reference (a read-only attribute) becomes a read-only view; with
    // reference_internal the view keeps its owner alive.
    static handle cast(const Type& src, return_value_policy policy, handle parent) {
        switch (policy) {
            case return_value_policy::reference_internal:
                return eigen_ref_array<props>(src, parent);
            case return_value_policy::reference:
                return eigen_ref_array<props>(src);
            default:
                return eigen_array_cast<props>(src);
        }
    }

    static constexpr auto name = props::descriptor;

    operator Type*() { return &value; }
    operator Type&() { return value; }
    operator Type&&() && { return std::move(value); }
    template <typename T>
    using cast_op_type = movable_cast_op_type<T>;

private:
    Type value;
};

template <>
struct type_caster<zelk::Vector> : zelk_dense_caster<zelk::Vector> {};
template <>
struct type_caster<zelk::Matrix> : zelk_dense_caster<zelk::Matrix> {};

}  // namespace pybind11::detail
