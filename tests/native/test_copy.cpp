// The argument copy kernels and shape rule against a naive element-by-element copy.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "copy.hpp"

namespace {

using zelk::Index;

// Distinct values whose bits say where they came from, including a few special ones.
std::vector<double> numbered(Index n) {
    std::vector<double> v(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = 0.5 + static_cast<double>(i) * 1.25;
    if (n > 2) v[1] = -0.0, v[2] = std::numeric_limits<double>::quiet_NaN();
    return v;
}

bool same_bits(const double* a, const double* b, Index n) {
    return std::memcmp(a, b, static_cast<std::size_t>(n) * sizeof(double)) == 0;
}

class RowMajor : public ::testing::TestWithParam<std::pair<Index, Index>> {};

// Shapes around the 4 x 4 register blocks and the 256 x 16 tiles, and the degenerate ones.
INSTANTIATE_TEST_SUITE_P(OddShapes, RowMajor,
                         ::testing::Values(std::pair<Index, Index>{1, 1}, std::pair<Index, Index>{1, 9},
                                           std::pair<Index, Index>{9, 1}, std::pair<Index, Index>{3, 5},
                                           std::pair<Index, Index>{4, 4}, std::pair<Index, Index>{5, 3},
                                           std::pair<Index, Index>{17, 16}, std::pair<Index, Index>{255, 17},
                                           std::pair<Index, Index>{257, 17}, std::pair<Index, Index>{513, 33},
                                           std::pair<Index, Index>{1000, 11}, std::pair<Index, Index>{0, 7},
                                           std::pair<Index, Index>{7, 0}));

TEST_P(RowMajor, TransposesLikeANaiveCopy) {
    const auto [rows, cols] = GetParam();
    const std::vector<double> src = numbered(rows * cols);
    std::vector<double> want(src.size()), got(src.size() + 1, 7.0);  // one guard element
    for (Index i = 0; i < rows; ++i)
        for (Index j = 0; j < cols; ++j) want[static_cast<std::size_t>(j * rows + i)] = src[static_cast<std::size_t>(i * cols + j)];
    zelk::copy_row_major(src.data(), rows, cols, got.data());
    EXPECT_TRUE(same_bits(want.data(), got.data(), rows * cols));
    EXPECT_EQ(got.back(), 7.0) << "wrote past the end";
}

// Rows of a wider row-major matrix packed column by column, times a power of two, into a buffer
// whose columns are further apart than the rows: every entry and nothing else written.
TEST(PackColumns, PacksLikeANaiveLoop) {
    for (const auto& [rows, cols] : {std::pair<Index, Index>{1, 1}, {4, 4}, {5, 3}, {257, 17}, {64, 201}, {0, 3}}) {
        for (const double scale : {1.0, 0.125}) {
            const Index src_stride = cols + 3, dst_stride = rows + 2;
            const std::vector<double> src = numbered(rows * src_stride);
            std::vector<double> want(static_cast<std::size_t>(cols * dst_stride) + 1, 7.0), got = want;
            for (Index i = 0; i < rows; ++i)
                for (Index j = 0; j < cols; ++j)
                    want[static_cast<std::size_t>(j * dst_stride + i)] = src[static_cast<std::size_t>(i * src_stride + j)] * scale;
            zelk::pack_columns(src.data(), src_stride, rows, cols, scale, got.data(), dst_stride);
            EXPECT_TRUE(same_bits(want.data(), got.data(), static_cast<Index>(want.size()))) << rows << " x " << cols;
        }
    }
}

TEST(CopyContiguous, CopiesEveryLengthExactly) {
    for (Index n : {0, 1, 3, 4, 5, 4095, 65537}) {
        const std::vector<double> src = numbered(n);
        std::vector<double> got(static_cast<std::size_t>(n) + 1, 7.0);
        zelk::copy_contiguous(src.data(), n, got.data());
        EXPECT_TRUE(same_bits(src.data(), got.data(), n)) << n;
        EXPECT_EQ(got.back(), 7.0) << n;
    }
}

TEST(PrepareFreshPages, LeavesContentsAlone) {
    // Reused (resident) memory keeps its values; fresh memory reads as zeros either way.
    for (Index n : {Index{10}, Index{1} << 16, Index{1} << 19}) {
        std::vector<double> v = numbered(n);
        const std::vector<double> before = v;
        zelk::prepare_fresh_pages(v.data(), n);
        EXPECT_TRUE(same_bits(before.data(), v.data(), n)) << n;
    }
}

TEST(DenseShape, FollowsTheVectorAndMatrixRules) {
    const Index m = 6;
    const Index col[2] = {m, 1}, row[2] = {1, m}, block[2] = {3, 4}, empty[2] = {0, 5};
    const auto shape = [](int ndim, const Index* e, bool vector) {
        const auto s = zelk::dense_shape(ndim, e, vector);
        return s ? std::pair<Index, Index>{s->rows, s->cols} : std::pair<Index, Index>{-1, -1};
    };
    using P = std::pair<Index, Index>;
    EXPECT_EQ(shape(1, col, true), (P{m, 1}));
    EXPECT_EQ(shape(1, col, false), (P{m, 1}));
    EXPECT_EQ(shape(2, col, true), (P{m, 1}));
    EXPECT_EQ(shape(2, row, true), (P{-1, -1}));
    EXPECT_EQ(shape(2, row, false), (P{1, m}));
    EXPECT_EQ(shape(2, block, false), (P{3, 4}));
    EXPECT_EQ(shape(2, empty, false), (P{0, 5}));
    EXPECT_EQ(shape(0, col, false), (P{-1, -1}));
    EXPECT_EQ(shape(3, col, false), (P{-1, -1}));
}

}  // namespace
