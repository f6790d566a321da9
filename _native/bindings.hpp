// Python glue: one bind_* function per area, called in registration order by the module entry.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common.hpp"
#include "dense_caster.hpp"

namespace zelk {

namespace py = pybind11;

void bind_stats(py::module_& m);
void bind_basis(py::module_& m);
void bind_linear(py::module_& m);
void bind_sampler(py::module_& m);

}  // namespace zelk
