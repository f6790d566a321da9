// Python glue: one bind_* function per area, called in registration order by the module entry.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common.hpp"
#include "dense_caster.hpp"

namespace zelk {

namespace py = pybind11;

// An optional matrix argument (declared as a plain object) named `name`: None is absent and
// gives a null pointer; anything else is converted like a Matrix argument into `storage`, which
// the caller keeps for the duration of the call. A value that does not convert raises
// pybind11's cast error (RuntimeError) before anything is computed, naming the argument and
// the type it got.
inline const Matrix* optional_matrix(const py::object& obj, Matrix& storage, const char* name) {
    if (obj.is_none()) return nullptr;
    py::detail::make_caster<Matrix> caster;
    if (!caster.load(obj, true)) {
        const py::handle type = py::type::handle_of(obj);
        const std::string module = py::str(py::getattr(type, "__module__", py::str("builtins")));
        const std::string qualname = py::str(type.attr("__qualname__"));
        throw py::cast_error("Unable to cast Python instance of type " +
                             (module == "builtins" ? qualname : module + "." + qualname) +
                             " to a float64 matrix for argument " + name);
    }
    storage = std::move(py::detail::cast_op<Matrix&>(caster));
    return &storage;
}

// pybind11 leaves the getters of def_readonly properties unnamed, so assigning to one would
// raise "property '' of ... has no setter". Names every property of `cls` after its attribute.
inline void name_properties(const py::handle& cls) {
    const py::object property = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyProperty_Type));
    for (auto item : py::dict(cls.attr("__dict__")))
        if (py::isinstance(item.second, property)) item.second.attr("__set_name__")(cls, item.first);
}

// The optional penalties of a call as one PenaltySpec: R1 and R2 converted by optional_matrix
// into storage held here, so the record stays valid for as long as this object lives.
struct OptionalPenalties {
    Matrix R1_storage, R2_storage;
    PenaltySpec spec;

    OptionalPenalties(const py::object& R1, const py::object& R2, double gamma1, double gamma2)
        : spec{optional_matrix(R1, R1_storage, "R1"), optional_matrix(R2, R2_storage, "R2"), gamma1, gamma2} {}
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
