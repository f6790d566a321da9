// Copying array arguments into the core's own storage: the shape rule that decides whether an
// array of one or two dimensions can become a Vector or a Matrix, and the kernels that copy
// float64 data in the layouts NumPy hands over most often. Plain C++: the Python side (the
// dense caster in dense_caster.hpp) only reads the array's header and calls these.
#pragma once

#include "common.hpp"

#include <optional>

namespace zelk {

struct DenseShape {
    Index rows;
    Index cols;
};

// The native shape an array of `ndim` dimensions and extents `extent[0..ndim)` takes, or
// nothing when it cannot be taken. A Matrix takes a 2-D array as it is and a 1-D array of
// length m as one column (m x 1); a Vector takes a 1-D array, or a 2-D array with exactly one
// column. Anything with fewer than one or more than two dimensions is refused.
std::optional<DenseShape> dense_shape(int ndim, const Index* extent, bool vector) noexcept;

// Prepares the block of n doubles at `data` for being filled (prepare_pages) when it is freshly
// mapped memory, which is then backed in one call instead of one page fault per 4 KiB. Memory
// the allocator hands back from an earlier call is mapped already, and preparing it again
// would cost a pass over its pages for nothing: that is told from a page in its middle being resident.
void prepare_fresh_pages(double* data, Index n) noexcept;

// dst (rows x cols, column-major) = src (rows x cols, row-major, densely packed).
void copy_row_major(const double* src, Index rows, Index cols, double* dst) noexcept;

// dst[j * dst_stride + i] = src[i * src_stride + j] * scale for i < rows, j < cols: rows of a
// row-major matrix (src_stride >= cols apart) packed column by column, times a power of two.
void pack_columns(const double* src, Index src_stride, Index rows, Index cols, double scale,
                  double* dst, Index dst_stride) noexcept;

// dst[i] = src[i] * scale for i < n.
void scale_into(const double* src, Index n, double scale, double* dst) noexcept;

// dst[0, n) = src[0, n).
void copy_contiguous(const double* src, Index n, double* dst) noexcept;

}  // namespace zelk
