// Python glue: one bind_* function per area, called in registration order by the module entry.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common.hpp"
#include "dense_caster.hpp"
#include "stats.hpp"

namespace zelk {

namespace py = pybind11;

// An optional matrix argument (declared as a plain object): None is absent and gives a null
// pointer; anything else is converted like a Matrix argument into `storage`, which the caller
// keeps for the duration of the call. A value that does not convert raises pybind11's cast
// error (RuntimeError) before anything is computed.
inline const Matrix* optional_matrix(const py::object& obj, Matrix& storage) {
    if (obj.is_none()) return nullptr;
    storage = obj.cast<Matrix>();
    return &storage;
}

// The optional penalties of a call as one PenaltySpec: R1 and R2 converted by optional_matrix
// into storage held here, so the record stays valid for as long as this object lives.
struct OptionalPenalties {
    Matrix R1_storage, R2_storage;
    PenaltySpec spec;

    OptionalPenalties(const py::object& R1, const py::object& R2, double gamma1, double gamma2)
        : spec{optional_matrix(R1, R1_storage), optional_matrix(R2, R2_storage), gamma1, gamma2} {}
    OptionalPenalties(const OptionalPenalties&) = delete;
    OptionalPenalties& operator=(const OptionalPenalties&) = delete;
};

// Lets long computations stop for a pending signal (see runtime.hpp).
void install_runtime_hooks();

void bind_stats(py::module_& m);
void bind_basis(py::module_& m);
void bind_linear(py::module_& m);
void bind_sampler(py::module_& m);

}  // namespace zelk
