#include "bindings.hpp"
#include "sampler.hpp"

namespace zelk {

void bind_sampler(py::module_& m) {
    py::class_<GibbsResult>(m, "GibbsResult")
        .def_readonly("H", &GibbsResult::H)
        .def_readonly("Hmax", &GibbsResult::Hmax)
        .def_readonly("He", &GibbsResult::He)
        .def_readonly("r_heat", &GibbsResult::r_heat)
        .def_readonly("var_E", &GibbsResult::var_E)
        .def_readonly("T", &GibbsResult::T);
    m.def("gibbs_entropy", &gibbs_entropy, py::arg("energies"), py::arg_v("T", 1.0));
}

}  // namespace zelk
