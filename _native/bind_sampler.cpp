#include "bindings.hpp"
#include "sampler.hpp"

namespace zelk {

namespace {

MCMCResult fit(const TournamentMCMC& self, const Matrix& X, const Vector& y, const py::object& R1,
               const py::object& R2, double gamma1, double gamma2) {
    const OptionalPenalties pen(R1, R2, gamma1, gamma2);
    return self.fit(X, y, pen.spec);
}

}  // namespace

void bind_sampler(py::module_& m) {
    py::class_<GibbsResult>(m, "GibbsResult")
        .def_readonly("H", &GibbsResult::H)
        .def_readonly("Hmax", &GibbsResult::Hmax)
        .def_readonly("He", &GibbsResult::He)
        .def_readonly("r_heat", &GibbsResult::r_heat)
        .def_readonly("var_E", &GibbsResult::var_E)
        .def_readonly("T", &GibbsResult::T);
    m.def("gibbs_entropy", &gibbs_entropy, py::arg("energies"), py::arg_v("T", 1.0));
    py::class_<MCMCResult>(m, "MCMCResult")
        .def_readonly("beta_mcmc", &MCMCResult::beta_mcmc)
        .def_readonly("energy", &MCMCResult::energy)
        .def_readonly("gibbs", &MCMCResult::gibbs)
        .def_readonly("n_chains", &MCMCResult::n_chains)
        .def_readonly("n_elite", &MCMCResult::n_elite);
    py::class_<TournamentMCMC>(m, "TournamentMCMC")
        .def(py::init<int, int, int, int, double, int, std::uint64_t>(), py::arg_v("n_chains", 25),
             py::arg_v("n_warmup", 200), py::arg_v("n_deep", 2000), py::arg_v("n_elite", 5),
             py::arg_v("step_size", 0.05), py::arg_v("H_piH", 20),
             py::arg_v("seed", std::uint64_t{42}))
        .def("fit", &fit, py::arg("X"), py::arg("y"), py::arg_v("R1", py::none()),
             py::arg_v("R2", py::none()), py::arg_v("gamma1", 0.0), py::arg_v("gamma2", 0.0));
}

}  // namespace zelk
