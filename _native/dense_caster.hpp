// Conversion of Vector and Matrix arguments and results: a thin adapter between NumPy arrays
// and the copy routines of copy.hpp.
//
// It behaves as pybind11's caster for dense Eigen types (the argument becomes a NumPy array,
// must have one or two dimensions and a conforming shape, and is copied once, with NumPy's own
// element conversion, into fresh native storage; results are moved into capsule-owned storage
// without a copy), with differences in speed only, none in values: float64 data in row-major
// (NumPy's default) or column-major order is copied by the core's own kernels, the row-major
// case transposed in registers instead of element by element.
//
// Besides the caster protocol itself (a type_caster specialisation and PYBIND11_TYPE_CASTER),
// two pybind11 internals remain: EigenProps' descriptor, so that signatures carry the same
// annotation as pybind11's own Eigen caster, and NumPy's PyArray_CopyInto through pybind11's
// table of the NumPy API, the one way to have NumPy convert any element type and layout straight
// into our storage (one copy) without a call through Python.
// Included through bindings.hpp, so every translation unit sees the same caster.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>

#include "common.hpp"
#include "copy.hpp"

#include <cstdint>
#include <memory>
#include <type_traits>

namespace zelk {

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

// Fills `dst` (already of the source's shape) from `src`; false when NumPy cannot convert.
template <typename Dense>
bool copy_into(Dense& dst, const pybind11::array& src) {
    namespace py = pybind11;
    const bool float64 = py::isinstance<py::array_t<double>>(src);
    const bool aligned = reinterpret_cast<std::uintptr_t>(src.data()) % alignof(double) == 0;
    if (float64 && aligned) {
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
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace zelk

namespace pybind11::detail {

template <typename Type>
struct zelk_dense_caster {
    PYBIND11_TYPE_CASTER(Type, EigenProps<Type>::descriptor);

    bool load(handle src, bool convert) {
        if (!convert && !isinstance<array_t<double>>(src)) return false;
        const auto buf = array::ensure(src);
        if (!buf || buf.ndim() < 1 || buf.ndim() > 2) return false;
        const zelk::Index extent[2] = {buf.shape(0), buf.ndim() == 2 ? buf.shape(1) : 1};
        const auto shape = zelk::dense_shape(static_cast<int>(buf.ndim()), extent, Type::ColsAtCompileTime == 1);
        if (!shape) return false;
        value = Type(shape->rows, shape->cols);
        zelk::prepare_fresh_pages(value.data(), value.size());
        return zelk::copy_into(value, buf);
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

}  // namespace pybind11::detail
