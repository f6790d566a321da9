// Conversion of Vector and Matrix arguments and results.
//
// The same behaviour as pybind11's caster for dense Eigen types (the argument becomes a NumPy
// array, must have one or two dimensions and a conforming shape, and is copied once, with
// NumPy's own element conversion, into fresh native storage; results are moved into
// capsule-owned storage without a copy), with one difference: the pages of a large copy are
// prepared before it is filled (prepare_pages), which makes converting a big array several
// times faster than taking one page fault per 4 KiB.
// Included through bindings.hpp, so every translation unit sees the same caster.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>

#include "common.hpp"

namespace pybind11::detail {

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
