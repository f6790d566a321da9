// Conversion of Vector and Matrix arguments and results between NumPy arrays and the core.
//
// An argument first becomes a NumPy array as NumPy's array constructor makes it; it must have
// one or two dimensions and a conforming shape (a Vector takes a 1-D array or a 2-D array of one
// column, a Matrix a 2-D array, or a 1-D array as one column). Then:
//   - VectorRef and MatrixView arguments (the core's entry points) read an aligned, native-order
//     float64 array where it is when its data are contiguous (C or F order; a MatrixView records
//     which). The interpreter lock is held for the whole call and no entry point writes to its
//     arguments, so nothing can tell this from a copy. Any other array is converted with one
//     copy, by NumPy's own element conversion, into storage the caster keeps for the call.
//   - Vector and Matrix arguments (the sampler's) are always copied once into fresh storage,
//     float64 data by the core's own copy kernels (copy.hpp), anything else by NumPy.
//   - Results by value move into storage owned by a capsule, which the returned array views.
//
// A conversion that NumPy refuses with TypeError, ValueError or OverflowError (the argument is
// not array-like, is ragged, holds strings, ...) refuses the argument: pybind11 then raises its
// argument-mismatch TypeError. Any other exception raised while converting (KeyboardInterrupt
// from Ctrl-C, MemoryError, an error inside an object's own __array__ or __float__) is not a
// refusal and propagates unchanged.
//
// Besides the caster protocol, these pybind11 internals are used (pybind11 is pinned to 3.1 for
// them): EigenProps' descriptor, so that signatures carry the same annotation as pybind11's own
// Eigen caster; NumPy's C API through pybind11's table of it (PyArray_FromAny, PyArray_CopyInto),
// the one way to have NumPy convert any element type and layout straight into our storage
// without a call through Python and to see the error it raised; and, for the sequence of views,
// the sequence test of pybind11's list caster (object_is_convertible_to_std_vector). The number
// casters in bindings.hpp use as_unsigned and io_name.
// Included through bindings.hpp, so every translation unit sees the same casters.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>

#include "common.hpp"
#include "copy.hpp"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

namespace zelk {

// Called right after a conversion step failed with a Python error set. A plain refusal
// (TypeError, ValueError, OverflowError: a value of the wrong kind or out of range) is cleared
// and true is returned; anything else is thrown on as it is.
inline bool conversion_refused() {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
        PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        return true;
    }
    throw pybind11::error_already_set();
}

// `src` as a NumPy array, as NumPy's array constructor makes it (without conversion only when it
// already is a float64 array); a null handle (not an empty array) when it is refused.
inline pybind11::array array_from(pybind11::handle src, bool convert) {
    namespace py = pybind11;
    const auto refused = [] { return py::reinterpret_steal<py::array>(py::handle()); };
    if (!convert && !py::isinstance<py::array_t<double>>(src)) return refused();
    auto& api = py::detail::npy_api::get();
    PyObject* a = api.PyArray_FromAny_(src.ptr(), nullptr, 0, 0,
                                       py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_, nullptr);
    if (a == nullptr) {
        conversion_refused();
        return refused();
    }
    return py::reinterpret_steal<py::array>(a);
}

// The native shape `a` takes as a Vector (`vector`) or a Matrix, or nothing.
inline std::optional<DenseShape> shape_of(const pybind11::array& a, bool vector) {
    if (!a || a.ndim() < 1 || a.ndim() > 2) return std::nullopt;
    const Index extent[2] = {a.shape(0), a.ndim() == 2 ? a.shape(1) : 1};
    return dense_shape(static_cast<int>(a.ndim()), extent, vector);
}

// Whether `a` holds aligned float64 data in the machine's byte order, which the core can read.
inline bool readable_float64(const pybind11::array& a) {
    namespace py = pybind11;
    return py::isinstance<py::array_t<double>>(a) &&
           (a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) &&
           reinterpret_cast<std::uintptr_t>(a.data()) % alignof(double) == 0;
}

// A NumPy array viewing `a`'s storage, with `base` as its owner (None for a temporary view).
template <typename Dense>
pybind11::array dense_view(const Dense& a, int ndim, pybind11::handle base) {
    constexpr Index kItem = sizeof(double);
    if (ndim == 1) return pybind11::array({a.size()}, {kItem}, a.data(), base);
    return pybind11::array({a.rows(), a.cols()}, {kItem, kItem * a.rows()}, a.data(), base);
}

// The NumPy dimensions of a result: a Vector is 1-D, a Matrix 2-D.
template <typename Dense>
constexpr int result_ndim = Dense::ColsAtCompileTime == 1 ? 1 : 2;

// Fills `dst` (already of the source's shape, column-major) from `src`; false when NumPy
// refuses the conversion.
template <typename Dense>
bool copy_into(Dense& dst, const pybind11::array& src) {
    namespace py = pybind11;
    if (readable_float64(src)) {
        const auto* data = static_cast<const double*>(src.data());
        if (src.ndim() == 2 && dst.rows() > 1 && dst.cols() > 1 && (src.flags() & py::array::c_style)) {
            copy_row_major(data, dst.rows(), dst.cols(), dst.data());
            return true;
        }
        // Column-major data (a 1-D array included) already has the order of the storage.
        if (src.flags() & py::array::f_style) {
            copy_contiguous(data, dst.size(), dst.data());
            return true;
        }
    }
    // Anything else NumPy converts and copies itself, into a view of the same dimensions.
    const py::array view = dense_view(dst, static_cast<int>(src.ndim()), py::none());
    if (py::detail::npy_api::get().PyArray_CopyInto_(view.ptr(), src.ptr()) < 0) {
        conversion_refused();
        return false;
    }
    return true;
}

// A fresh column-major copy of `src` of the given shape; nothing when NumPy refuses it.
template <typename Dense>
std::optional<Dense> copied(const pybind11::array& src, DenseShape shape) {
    Dense value(shape.rows, shape.cols);
    prepare_fresh_pages(value.data(), value.size());
    if (!copy_into(value, src)) return std::nullopt;
    return value;
}

// One VectorRef argument: the array it views (kept alive for the call) or the copy it reads.
class VectorArgument {
public:
    bool load(pybind11::handle src, bool convert) {
        namespace py = pybind11;
        const py::array a = array_from(src, convert);
        const auto shape = shape_of(a, true);
        if (!shape) return false;
        if (readable_float64(a) && (a.flags() & (py::array::c_style | py::array::f_style))) {
            array_ = a;
            view_.emplace(Eigen::Map<const Vector>(static_cast<const double*>(a.data()), shape->rows));
            return true;
        }
        auto copy = copied<Vector>(a, *shape);
        if (!copy) return false;
        copy_ = std::make_unique<Vector>(std::move(*copy));
        view_.emplace(*copy_);
        return true;
    }
    const VectorRef& view() const { return *view_; }

private:
    pybind11::object array_;        // the array viewed, kept alive for the call
    std::unique_ptr<Vector> copy_;  // on the heap: the view stays valid when the argument moves
    std::optional<VectorRef> view_;
};

// One MatrixView argument, likewise.
class MatrixArgument {
public:
    bool load(pybind11::handle src, bool convert) {
        namespace py = pybind11;
        const py::array a = array_from(src, convert);
        const auto shape = shape_of(a, false);
        if (!shape) return false;
        if (readable_float64(a)) {
            const auto* data = static_cast<const double*>(a.data());
            // F order first: a single row or column is both, and column-major is the native order.
            const bool f = (a.flags() & py::array::f_style) != 0;
            if (f || (a.flags() & py::array::c_style)) {
                array_ = a;
                view_.emplace(data, shape->rows, shape->cols, !f);
                return true;
            }
        }
        auto copy = copied<Matrix>(a, *shape);
        if (!copy) return false;
        copy_ = std::make_unique<Matrix>(std::move(*copy));
        view_.emplace(*copy_);
        return true;
    }
    const MatrixView& view() const { return *view_; }

private:
    pybind11::object array_;
    std::unique_ptr<Matrix> copy_;
    std::optional<MatrixView> view_;
};

}  // namespace zelk

namespace pybind11::detail {

// Vector and Matrix by value: arguments copied once, results moved into NumPy without a copy.
template <typename Type>
struct zelk_dense_caster {
    PYBIND11_TYPE_CASTER(Type, EigenProps<Type>::descriptor);

    bool load(handle src, bool convert) {
        const array buf = zelk::array_from(src, convert);
        const auto shape = zelk::shape_of(buf, Type::ColsAtCompileTime == 1);
        if (!shape) return false;
        auto copy = zelk::copied<Type>(buf, *shape);
        if (!copy) return false;
        value = std::move(*copy);
        return true;
    }

    // Results by value move into storage owned by a capsule, which the array views.
    static handle cast(Type&& src, return_value_policy, handle) {
        auto owned = std::make_unique<Type>(std::move(src));
        const capsule base(owned.get(), [](void* p) { delete static_cast<Type*>(p); });
        const Type& stored = *owned.release();
        return zelk::dense_view(stored, zelk::result_ndim<Type>, base).release();
    }
    // A const reference (a read-only attribute) becomes a read-only view; with
    // reference_internal the view keeps its owner alive. Other policies copy.
    static handle cast(const Type& src, return_value_policy policy, handle parent) {
        constexpr int ndim = zelk::result_ndim<Type>;
        if (policy != return_value_policy::reference_internal && policy != return_value_policy::reference)
            return zelk::dense_view(src, ndim, handle()).release();  // no base: NumPy copies
        const object no_owner = none();
        array view = zelk::dense_view(src, ndim, policy == return_value_policy::reference ? handle(no_owner) : parent);
        view.attr("setflags")(arg("write") = false);
        return view.release();
    }
};

template <>
struct type_caster<zelk::Vector> : zelk_dense_caster<zelk::Vector> {};
template <>
struct type_caster<zelk::Matrix> : zelk_dense_caster<zelk::Matrix> {};

// Views as arguments only.
template <typename View, typename Argument, typename Dense>
struct zelk_view_caster {
    static constexpr auto name = EigenProps<Dense>::descriptor;
    template <typename>
    using cast_op_type = const View&;

    bool load(handle src, bool convert) { return arg_.load(src, convert); }
    operator const View&() const { return arg_.view(); }

private:
    Argument arg_;
};

template <>
struct type_caster<zelk::VectorRef>
    : zelk_view_caster<zelk::VectorRef, zelk::VectorArgument, zelk::Vector> {};
template <>
struct type_caster<zelk::MatrixView>
    : zelk_view_caster<zelk::MatrixView, zelk::MatrixArgument, zelk::Matrix> {};

// A sequence of VectorRef arguments: pybind11's sequence rule (any sequence but str and bytes,
// or a generator, set, dict view, map or zip drained into a tuple first; items converted in
// order, the first refused item refusing the whole), each item read in place or copied as above.
template <>
struct type_caster<std::vector<zelk::VectorRef>> {
    using Value = std::vector<zelk::VectorRef>;
    static constexpr auto name = io_name("collections.abc.Sequence", "list") + const_name("[") +
                                 make_caster<zelk::VectorRef>::name + const_name("]");
    template <typename>
    using cast_op_type = const Value&;

    bool load(handle src, bool convert) {
        if (!object_is_convertible_to_std_vector(src)) return false;
        if (isinstance<sequence>(src)) return load_items(reinterpret_borrow<sequence>(src), convert);
        if (!convert) return false;
        return load_items(tuple(reinterpret_borrow<iterable>(src)), convert);
    }
    operator const Value&() const { return value_; }

private:
    bool load_items(const sequence& seq, bool convert) {
        value_.clear();
        args_.clear();
        value_.reserve(seq.size());
        for (const auto& item : seq) {
            args_.emplace_back();
            if (!args_.back().load(item, convert)) return false;
            value_.push_back(args_.back().view());
        }
        return true;
    }

    std::deque<zelk::VectorArgument> args_;  // a deque: items never move once loaded
    Value value_;
};

}  // namespace pybind11::detail
