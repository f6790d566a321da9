// Shared types of the numerical core and the argument checks that guard its entry points.
// Plain C++ and Eigen: nothing here knows about Python.
#pragma once

#include <Eigen/Dense>

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace zelk {

using Vector = Eigen::VectorXd;  // dense column vector of double
using Matrix = Eigen::MatrixXd;  // dense column-major matrix of double
using Index = Eigen::Index;      // signed 64-bit count
using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// --- Read-only views of data held elsewhere --------------------------------------------------
//
// Entry points read their array arguments where they are: the caller (the Python bindings, or
// C++ code passing its own Vectors and Matrices) keeps the data alive and unchanged for the call.

// Contiguous doubles; a Vector, a segment of one or a Map converts to it without a copy.
using VectorRef = Eigen::Ref<const Vector>;

// A dense matrix of double packed column by column (column-major, NumPy's F order) or row by
// row (row-major, NumPy's C order). A Matrix converts to it without a copy. Kernels that care
// about the order dispatch on row_major() or use visit() below; element access works for both.
class MatrixView {
public:
    MatrixView(const Matrix& a) noexcept : MatrixView(a.data(), a.rows(), a.cols(), false) {}
    MatrixView(const RowMatrix& a) noexcept : MatrixView(a.data(), a.rows(), a.cols(), true) {}
    MatrixView(const double* data, Index rows, Index cols, bool row_major) noexcept
        : data_(data), rows_(rows), cols_(cols), row_major_(row_major) {}

    const double* data() const noexcept { return data_; }
    Index rows() const noexcept { return rows_; }
    Index cols() const noexcept { return cols_; }
    Index size() const noexcept { return rows_ * cols_; }
    bool row_major() const noexcept { return row_major_; }
    double operator()(Index i, Index j) const noexcept {
        return row_major_ ? data_[i * cols_ + j] : data_[i + j * rows_];
    }
    // Distance between vertically and horizontally neighbouring entries.
    Index row_stride() const noexcept { return row_major_ ? cols_ : 1; }
    Index col_stride() const noexcept { return row_major_ ? 1 : rows_; }

    // The matrix as an Eigen map in its own storage order (the one that matches row_major()).
    Eigen::Map<const Matrix> col_major_map() const noexcept { return {data_, rows_, cols_}; }
    Eigen::Map<const RowMatrix> row_major_map() const noexcept { return {data_, rows_, cols_}; }

private:
    const double* data_;
    Index rows_, cols_;
    bool row_major_;
};

// f(map) with `a` as an Eigen map in its own storage order; f must return the same type for
// both orders.
template <typename F>
decltype(auto) visit(const MatrixView& a, F&& f) {
    if (a.row_major()) return f(a.row_major_map());
    return f(a.col_major_map());
}

// Prepares a large, freshly allocated block for being filled: backs it with huge pages from
// 4 MiB on, as NumPy does for its own arrays, and maps its pages in one call instead of one
// page fault per 4 KiB. Only advice to the kernel: the memory and its contents stay the same,
// and a kernel that does not know the advice ignores it.
inline void prepare_pages(void* data, std::size_t bytes) noexcept {
    constexpr std::size_t kPopulateMin = std::size_t{1} << 16;  // 64 KiB
    constexpr std::size_t kHugeMin = std::size_t{1} << 22;      // 4 MiB, NumPy's threshold
    constexpr std::uintptr_t kPage = 4096;
    if (bytes < kPopulateMin) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
    if (end <= begin) return;
    void* const p = reinterpret_cast<void*>(begin);
    if (bytes >= kHugeMin) madvise(p, end - begin, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    madvise(p, end - begin, MADV_POPULATE_WRITE);
#else
    madvise(p, end - begin, 23);  // MADV_POPULATE_WRITE, Linux 5.14
#endif
}

template <typename Dense>
void prepare_pages(Dense& a) noexcept {
    prepare_pages(a.data(), static_cast<std::size_t>(a.size()) * sizeof(double));
}

// Storage that cannot be had: a std::bad_alloc (MemoryError in Python) whose message says how
// much and for what, e.g. "cannot allocate 7.28 TiB for the 1000000 x 1000000 system matrix".
class AllocationError : public std::bad_alloc {
public:
    explicit AllocationError(std::string message) : message_(std::move(message)) {}
    // rows x cols doubles for `what`.
    AllocationError(Index rows, Index cols, const char* what)
        : message_("cannot allocate " + bytes_text(rows, cols) + " for the " + std::to_string(rows) +
                   " x " + std::to_string(cols) + " " + what) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    static std::string bytes_text(Index rows, Index cols) {
        const long double bytes = static_cast<long double>(rows) * cols * sizeof(double);
        static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB",
                                            "ZiB", "YiB"};
        long double v = bytes;
        int u = 0;
        while (v >= 1024 && u < 8) v /= 1024, ++u;
        char text[48];
        std::snprintf(text, sizeof text, u == 0 ? "%.0Lf %s" : "%.3Lg %s", v, units[u]);
        return text;
    }
    std::string message_;
};

// Gives `a` rows x cols entries (uninitialised), or throws AllocationError naming the size and
// `what`. Entry points allocate their results and work buffers this way before any work, so a
// request that cannot be met fails at once.
template <typename Dense>
void allocate(Dense& a, Index rows, Index cols, const char* what) {
    try {
        a.resize(rows, cols);
    } catch (const std::bad_alloc&) {
        throw AllocationError(rows, cols, what);
    }
}

// Makes Eigen's matrix-matrix products give the same bits on every machine and for any number
// of threads. Eigen sizes the blocks of a product from the cache sizes it reads off the processor
// and from the number of threads it may use, and the depth of those blocks decides the order in
// which each entry's sum is accumulated. Fixed cache sizes and single-threaded products take both
// out of the results. Called by every entry point that multiplies matrices; the first call does
// the work.
inline void use_reproducible_products() {
    static const bool done = [] {
        Eigen::setCpuCacheSizes(32 * 1024, 1024 * 1024, 32 * 1024 * 1024);
        Eigen::setNbThreads(1);
        return true;
    }();
    (void)done;
}

// Every length check words its message the same way: "<what> has <count> <unit>, ..." with
// both sides named and counted, e.g. "y has 7 entries, but X has 10 rows". `unit` is plural
// ("entries", "rows", "vectors"); a count of one takes the singular.
inline std::string counted(Index n, const char* unit) {
    std::string u(unit);
    if (n == 1) {
        if (u == "entries") u = "entry";
        else if (!u.empty() && u.back() == 's') u.pop_back();
    }
    return std::to_string(n) + " " + u;
}

// Throws std::invalid_argument when `what` (`have` entries) is shorter than `other` (`need`
// `unit`): "yp has 1 entry, fewer than the 2 entries of yt". Reading past the end of a caller's
// vector is never an option.
inline void require_at_least(Index have, const char* what, Index need, const char* other,
                             const char* unit = "entries") {
    if (have < need) {
        throw std::invalid_argument(std::string(what) + " has " + counted(have, "entries") +
                                    ", fewer than the " + counted(need, unit) + " of " + other);
    }
}

// Throws std::invalid_argument unless `what` (`have` entries) matches `other` (`need` `unit`):
// "y has 7 entries, but X has 10 rows".
inline void require_equal(Index have, const char* what, Index need, const char* other,
                          const char* unit) {
    if (have != need) {
        throw std::invalid_argument(std::string(what) + " has " + counted(have, "entries") +
                                    ", but " + other + " has " + counted(need, unit));
    }
}

// A penalty matrix that will be applied must be p x p.
inline void require_square(const MatrixView& R, Index p, const char* name) {
    if (R.rows() != p || R.cols() != p) {
        throw std::invalid_argument(std::string(name) + " must be " + std::to_string(p) + " x " +
                                    std::to_string(p) + " to match the coefficients, got " +
                                    std::to_string(R.rows()) + " x " + std::to_string(R.cols()));
    }
}

// Whether a penalty is applied: its matrix is present and its weight is != 0 (a NaN weight
// counts as non-zero). A penalty that is not applied is never read.
inline bool penalty_applies(const MatrixView* R, double gamma) { return gamma != 0.0 && R != nullptr; }

// A penalty that will be applied must be p x p.
inline void require_penalty(const MatrixView* R, double gamma, Index p, const char* name) {
    if (penalty_applies(R, gamma)) require_square(*R, p, name);
}

// Two optional quadratic penalties on the coefficients and their weights, as the score, the
// penalised fit and the sampler take them. The matrices are borrowed: whoever builds the record
// keeps them (and the data they view) alive while it is used.
struct PenaltySpec {
    const MatrixView* R1 = nullptr;
    const MatrixView* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;

    // Whether any penalty would be added (a NaN weight counts as non-zero).
    bool active() const { return penalty_applies(R1, gamma1) || penalty_applies(R2, gamma2); }
};

// Throws std::invalid_argument unless every penalty that will be applied is p x p.
inline void require_penalties(const PenaltySpec& pen, Index p) {
    require_penalty(pen.R1, pen.gamma1, p, "R1");
    require_penalty(pen.R2, pen.gamma2, p, "R2");
}

}  // namespace zelk
