#include "bindings.hpp"
#include "sampler.hpp"

#include <stdexcept>

namespace zelk {

namespace {

MCMCResult fit(const TournamentMCMC& self, const Matrix& X, const Vector& y, const py::object& R1,
               const py::object& R2, double gamma1, double gamma2) {
    const OptionalPenalties pen(R1, R2, gamma1, gamma2);
    return self.fit(X, y, pen.spec);
}

// --- Pickles, copies and reprs ---------------------------------------------------------------
// The result classes cannot be called from Python, so a pickle (or copy) makes the instance with
// the type's own __new__, through copyreg.__newobj__, which every pickle protocol can name, and
// fills it from its state with __setstate__. A state is a tuple of the record's values in member
// order; floats and the coefficient array travel exactly.

py::tuple gibbs_state(const GibbsResult& g) {
    return py::make_tuple(g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T);
}

void require_state(const py::tuple& state, std::size_t size, const char* cls) {
    if (state.size() != size) {
        throw std::invalid_argument(std::string("a ") + cls + " state holds " +
                                    std::to_string(size) + " values, got " +
                                    std::to_string(state.size()));
    }
}

GibbsResult gibbs_from_state(const py::tuple& s) {
    require_state(s, 6, "GibbsResult");
    return GibbsResult{s[0].cast<double>(), s[1].cast<double>(), s[2].cast<double>(),
                       s[3].cast<double>(), s[4].cast<double>(), s[5].cast<double>()};
}

py::tuple mcmc_state(const MCMCResult& r) {
    return py::make_tuple(Vector(r.beta_mcmc), r.energy, gibbs_state(r.gibbs), r.n_chains,
                          r.n_elite);
}

MCMCResult mcmc_from_state(const py::tuple& s) {
    require_state(s, 5, "MCMCResult");
    return MCMCResult{s[0].cast<Vector>(), s[1].cast<double>(),
                      gibbs_from_state(s[2].cast<py::tuple>()), s[3].cast<int>(),
                      s[4].cast<int>()};
}

py::tuple reduce_to_state(const py::object& self) {
    return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"),
                          py::make_tuple(py::type::of(self)), self.attr("__getstate__")());
}

py::tuple settings_args(const TournamentMCMC& s) {
    const TournamentMCMC::Settings c = s.settings();
    return py::make_tuple(c.n_chains, c.n_warmup, c.n_deep, c.n_elite, c.step_size, c.H_piH,
                          c.seed);
}

py::str gibbs_repr(const GibbsResult& g) {
    return py::str("GibbsResult(H={!r}, Hmax={!r}, He={!r}, r_heat={!r}, var_E={!r}, T={!r})")
        .format(g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T);
}

py::str mcmc_repr(const py::object& self) {
    const auto& r = self.cast<const MCMCResult&>();
    return py::str("MCMCResult(beta_mcmc={}, energy={!r}, gibbs={}, n_chains={}, n_elite={})")
        .format(py::repr(self.attr("beta_mcmc")), r.energy, gibbs_repr(r.gibbs), r.n_chains,
                r.n_elite);
}

py::str sampler_repr(const TournamentMCMC& s) {
    return py::str("TournamentMCMC(n_chains={!r}, n_warmup={!r}, n_deep={!r}, n_elite={!r}, "
                   "step_size={!r}, H_piH={!r}, seed={!r})")
        .format(*settings_args(s));
}

}  // namespace

void bind_sampler(py::module_& m) {
    py::class_<GibbsResult> gibbs(m, "GibbsResult");
    gibbs.def_readonly("H", &GibbsResult::H)
        .def_readonly("Hmax", &GibbsResult::Hmax)
        .def_readonly("He", &GibbsResult::He)
        .def_readonly("r_heat", &GibbsResult::r_heat)
        .def_readonly("var_E", &GibbsResult::var_E)
        .def_readonly("T", &GibbsResult::T)
        .def("__repr__", &gibbs_repr)
        .def("__reduce__", &reduce_to_state)
        .def(py::pickle(&gibbs_state, &gibbs_from_state));
    name_properties(gibbs);
    m.def("gibbs_entropy", &gibbs_entropy, py::arg("energies"), py::arg_v("T", 1.0));
    py::class_<MCMCResult> mcmc(m, "MCMCResult");
    mcmc.def_readonly("beta_mcmc", &MCMCResult::beta_mcmc)
        .def_readonly("energy", &MCMCResult::energy)
        .def_readonly("gibbs", &MCMCResult::gibbs)
        .def_readonly("n_chains", &MCMCResult::n_chains)
        .def_readonly("n_elite", &MCMCResult::n_elite)
        .def("__repr__", &mcmc_repr)
        .def("__reduce__", &reduce_to_state)
        .def(py::pickle(&mcmc_state, &mcmc_from_state));
    name_properties(mcmc);
    py::class_<TournamentMCMC>(m, "TournamentMCMC")
        .def(py::init<int, int, int, int, double, int, std::uint64_t>(), py::arg_v("n_chains", 25),
             py::arg_v("n_warmup", 200), py::arg_v("n_deep", 2000), py::arg_v("n_elite", 5),
             py::arg_v("step_size", 0.05), py::arg_v("H_piH", 20),
             py::arg_v("seed", std::uint64_t{42}))
        .def("fit", &fit, py::arg("X"), py::arg("y"), py::arg_v("R1", py::none()),
             py::arg_v("R2", py::none()), py::arg_v("gamma1", 0.0), py::arg_v("gamma2", 0.0))
        .def("__repr__", &sampler_repr)
        .def("__reduce__", [](const py::object& self) {
            return py::make_tuple(py::type::of(self), settings_args(self.cast<const TournamentMCMC&>()));
        });
}

}  // namespace zelk
